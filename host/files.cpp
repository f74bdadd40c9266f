#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "acbc.h"
#include "cli.h"
#include "signals.h"

namespace pellfold::host {
namespace {

// Large chunks for the spool and copy steps: few system calls per byte, and
// memory bounded whatever the size of the data.
constexpr std::size_t kCopyChunk = 1 << 20;

std::string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A chunk buffer that is wiped when done: it may hold plaintext.
struct ChunkBuffer {
  std::vector<char> bytes = std::vector<char>(kCopyChunk);
  ~ChunkBuffer() { explicit_bzero(bytes.data(), bytes.size()); }
};

// read() and write() that go on after a signal handler ran.
ssize_t ReadSome(int fd, void* buffer, std::size_t size) {
  ssize_t got = 0;
  do {
    got = read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

// Writes all of buffer at `offset` (or at the descriptor's position for -1).
// Returns 0 or errno.
int WriteAll(int fd, const char* buffer, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t put = offset < 0 ? write(fd, buffer, size) : pwrite(fd, buffer, size, offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : EIO;
    buffer += put;
    size -= static_cast<std::size_t>(put);
    if (offset >= 0) offset += put;
  }
  return 0;
}

// The names in a folder, sorted; false (errno set) when it cannot be read.
bool FolderNames(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const int error = errno;
  closedir(dir);
  errno = error;
  if (error != 0) return false;
  std::sort(names->begin(), names->end());
  return true;
}

void Walk(const std::string& path, const std::string& relative, std::vector<FoundFile>* found) {
  std::vector<std::string> names;
  if (!FolderNames(path, &names)) {
    found->push_back({path, relative, path + ": " + std::strerror(errno)});
    return;
  }
  for (const auto& name : names) {
    std::string child = path == "/" ? "" : path;
    child += '/';
    child += name;
    std::string below = relative;
    if (!below.empty()) below += '/';
    below += name;
    struct stat st {};
    if (lstat(child.c_str(), &st) != 0) {
      found->push_back({child, below, child + ": " + std::strerror(errno)});
    } else if (S_ISDIR(st.st_mode)) {
      Walk(child, below, found);
    } else if (S_ISREG(st.st_mode)) {
      found->push_back({child, below, ""});
    }
  }
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<FoundFile> WalkFolder(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) throw FileError(folder, errno);
  if (!S_ISDIR(st.st_mode)) throw FileError(folder, ENOTDIR);
  std::string root = folder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::vector<FoundFile> found;
  Walk(root, "", &found);
  return found;
}

void MakeParentFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST) continue;
    throw WithStatus(FileError(folder, errno), ACBC_E_OUTPUT_OPEN);
  }
}

int CopyTimes(const struct stat& from, const std::string& path) {
  const struct timespec times[2] = {from.st_atim, from.st_mtim};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : errno;
}

Failure TemporaryFailure(int error) {
  return Failure{"temporary file in " + TemporaryDirectory() + ": " + std::strerror(error),
                 ACBC_E_WRITE};
}

int OpenPrivateTempFile() {
  std::string path = TemporaryDirectory() + "/pellfold-XXXXXX";
  int fd = -1;
  int error = 0;
  {
    // mkstemp creates the file with mode 0600; unlinking it at once, with
    // the signals that end the program held back, means that no exit can
    // leave it behind.
    const SignalBlock block;
    fd = mkostemp(path.data(), O_CLOEXEC);
    error = errno;
    if (fd >= 0) unlink(path.c_str());
  }
  if (fd < 0) throw TemporaryFailure(error);
  return fd;
}

InputFile::InputFile(const std::string& path) : name_(InputName(path)) {
  if (path == "-") {
    fd_ = STDIN_FILENO;
  } else {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw WithStatus(FileError(name_, errno), ACBC_E_INPUT_OPEN);
    owned_ = true;
  }
  const auto fail = [&](int error) {
    if (owned_) close(fd_);
    return WithStatus(FileError(name_, error), ACBC_E_INPUT_OPEN);
  };
  if (fstat(fd_, &status_) != 0) throw fail(errno);
  if (S_ISDIR(status_.st_mode)) throw fail(EISDIR);
  readable_ = S_ISREG(status_.st_mode) && status_.st_size > 0;
  source_ = fd_;
  if (!owned_) {
    stream_ = stdin;
    return;
  }
  stream_ = fdopen(fd_, "rb");
  if (stream_ == nullptr) throw fail(errno);
}

InputFile::~InputFile() {
  if (owned_) std::fclose(stream_);
  if (spool_ >= 0) close(spool_);
}

std::int64_t InputFile::Spool(std::int64_t keep, std::int64_t readUpTo, std::int64_t limit) {
  if (spool_ < 0) spool_ = OpenPrivateTempFile();
  ChunkBuffer buffer;
  while (!ended_ && spooled_ < readUpTo) {
    const std::int64_t left = readUpTo - spooled_;
    const std::size_t want = left < static_cast<std::int64_t>(buffer.bytes.size())
                                 ? static_cast<std::size_t>(left)
                                 : buffer.bytes.size();
    // The input's own descriptor: what a stream over it would have read
    // ahead is not lost, since nothing read it through the stream.
    const ssize_t got = ReadSome(source_, buffer.bytes.data(), want);
    if (got < 0) {
      throw WithStatus(FileFailure(name_, std::string("read error: ") + std::strerror(errno)),
                       ACBC_E_READ);
    }
    if (got == 0) {
      ended_ = true;
      break;
    }
    if (spooled_ + got > limit) {
      throw WithStatus(FileFailure(name_, "input is 2 GiB or larger"), ACBC_E_TOO_LARGE);
    }
    const std::int64_t room = keep > spooled_ ? keep - spooled_ : 0;
    const auto store = static_cast<std::size_t>(room < got ? room : got);
    const int error = WriteAll(spool_, buffer.bytes.data(), store, static_cast<off_t>(spooled_));
    if (error != 0) throw TemporaryFailure(error);
    spooled_ += got;
  }
  // Bytes counted but not kept still count in the copy's size: a hole.
  struct stat st {};
  if (fstat(spool_, &st) != 0) throw TemporaryFailure(errno);
  if (st.st_size < spooled_ && ftruncate(spool_, static_cast<off_t>(spooled_)) != 0) {
    throw TemporaryFailure(errno);
  }
  // The input itself stays open (and is closed) with the object.
  readable_ = true;
  fd_ = spool_;
  return spooled_;
}

std::ptrdiff_t InputFile::ReadThrough(void* context, void* buffer, std::size_t size) {
  auto* self = static_cast<InputFile*>(context);
  if (self->spool_ < 0) return ReadSome(self->source_, buffer, size);
  if (self->readThrough_ < self->spooled_) {
    const std::int64_t left = self->spooled_ - self->readThrough_;
    const std::size_t want =
        left < static_cast<std::int64_t>(size) ? static_cast<std::size_t>(left) : size;
    ssize_t got = 0;
    do {
      got = pread(self->spool_, buffer, want, static_cast<off_t>(self->readThrough_));
    } while (got < 0 && errno == EINTR);
    if (got > 0) self->readThrough_ += got;
    if (got != 0) return got;
    errno = EIO;  // the copy is shorter than what was put in it
    return -1;
  }
  return self->ended_ ? 0 : ReadSome(self->source_, buffer, size);
}

void InputFile::FinishSpool() const {
  if (spool_ >= 0 && fchmod(spool_, 0666) != 0) throw TemporaryFailure(errno);
}

OutputTarget::OutputTarget(const std::string& path, bool force, const InputFile& input)
    : path_(path), name_(OutputName(path)) {
  const struct stat& in = input.status();
  struct stat st {};
  if (path == "-") {
    inPlace_ = true;
    terminal_ = isatty(STDOUT_FILENO) != 0;
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && SameFile(in, st)) {
      throw WithStatus(FileFailure(name_, "output is the same file as the input"),
                       ACBC_E_SAME_FILE);
    }
    return;
  }
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw WithStatus(FileError(name_, EISDIR), ACBC_E_OUTPUT_OPEN);
    if (SameFile(in, st))
      throw WithStatus(FileFailure(name_, "output is the same file as the input"),
                       ACBC_E_SAME_FILE);
    if (!S_ISREG(st.st_mode)) {
      // /dev/null, a FIFO, a device: nothing to replace, written to.
      inPlace_ = true;
      if (S_ISCHR(st.st_mode)) {
        const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw WithStatus(FileError(name_, errno), ACBC_E_OUTPUT_OPEN);
        terminal_ = isatty(fd) != 0;
        close(fd);
      }
      return;
    }
    if (!force) {
      throw WithStatus(FileFailure(name_, "file exists (use --force to overwrite)"),
                       ACBC_E_OUTPUT_EXISTS);
    }
  } else if (errno != ENOENT) {
    throw WithStatus(FileError(name_, errno), ACBC_E_OUTPUT_OPEN);
  }
  // Refused now rather than after the password is asked for.
  if (faccessat(AT_FDCWD, DirectoryOf(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    throw WithStatus(FileError(name_, errno), ACBC_E_OUTPUT_OPEN);
  }
}

int WriteDescriptor(void* context, const void* buffer, std::size_t size) {
  const int error =
      WriteAll(*static_cast<const int*>(context), static_cast<const char*>(buffer), size, -1);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int WriteStdout(void* /*context*/, const void* buffer, std::size_t size) {
  errno = 0;
  if (std::fwrite(buffer, 1, size, stdout) == size) return 0;
  if (errno == 0) errno = EIO;
  return -1;
}

std::ptrdiff_t ReadDescriptor(void* context, void* buffer, std::size_t size) {
  return ReadSome(*static_cast<const int*>(context), buffer, size);
}

int StreamedOutput::Open(const std::string& path, bool inPlace) {
  path_ = path;
  inPlace_ = inPlace;
  fd_ = inPlace ? open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)
                : open(DirectoryOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  return fd_ < 0 ? errno : 0;
}

StreamedOutput::~StreamedOutput() {
  if (fd_ >= 0) close(fd_);
}

int StreamedOutput::Write(void* context, const void* buffer, std::size_t size) {
  const auto* self = static_cast<StreamedOutput*>(context);
  const auto* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t put = write(self->fd_, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return -1;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return 0;
}

namespace {

// Gives the unnamed file open as `fd` the name `path`: through /proc, or
// without /proc through the descriptor itself (which needs
// CAP_DAC_READ_SEARCH). Returns 0 or errno.
int LinkUnnamed(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  return linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

bool LinkRefused(int error) {
  return error == ENOENT || error == EPERM;
}

// Copies all of `from` into the new file `path` (EEXIST when the name is
// taken), with `from`'s mode, and syncs it. Returns 0 or errno; a file it
// created is removed again after a failure.
int CopyToNew(int from, const std::string& path, std::string* left) {
  struct stat st {};
  if (fstat(from, &st) != 0) return errno;
  const int to = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) return errno;
  int error = fchmod(to, st.st_mode & 07777) == 0 ? 0 : errno;
  ChunkBuffer buffer;
  for (off_t at = 0; error == 0;) {
    const ssize_t got = pread(from, buffer.bytes.data(), buffer.bytes.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) error = errno;
      break;
    }
    error = WriteAll(to, buffer.bytes.data(), static_cast<std::size_t>(got), at);
    at += got;
  }
  if (error == 0 && fsync(to) != 0) error = errno;
  if (close(to) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0 && unlink(path.c_str()) != 0) *left = path;
  return error;
}

}  // namespace

int StreamedOutput::Commit(bool replace) {
  if (inPlace_) return 0;
  if (fsync(fd_) != 0) return errno;
  int error = replace ? EEXIST : LinkUnnamed(fd_, path_);
  if (error != 0 && (replace || LinkRefused(error))) {
    // A second name beside the output first (a copy, where the unnamed file
    // cannot be linked), then a rename over it or, without `replace`, one
    // that refuses an existing name.
    const std::string folder = DirectoryOf(path_);
    const std::size_t slash = path_.rfind('/');
    const std::string base = path_.substr(slash == std::string::npos ? 0 : slash + 1);
    bool copy = !replace;
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
      temporary = (folder == "/" ? "" : folder) + "/." + base + ".pellfold-" +
                  std::to_string(getpid()) + "-" + std::to_string(attempt);
      error = copy ? CopyToNew(fd_, temporary, &left_) : LinkUnnamed(fd_, temporary);
      if (!copy && LinkRefused(error)) {
        copy = true;
        continue;
      }
      if (error != EEXIST || attempt > 100) break;
    }
    if (error != 0) return error;
    error = replace ? (rename(temporary.c_str(), path_.c_str()) == 0 ? 0 : errno)
                    : (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path_.c_str(),
                                 RENAME_NOREPLACE) == 0
                           ? 0
                           : errno);
    if (error != 0 && unlink(temporary.c_str()) != 0) left_ = temporary;
    if (error != 0) return error;
  } else if (error != 0) {
    return error;
  }
  const int folder = open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return 0;
}

}  // namespace pellfold::host
