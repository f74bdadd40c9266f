#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli.h"
#include "signals.h"

namespace pellfold::host {
namespace {

constexpr std::size_t kCopyChunk = 1 << 16;
// Room left in a temporary name for the ".", the suffix and mkstemp's XXXXXX.
constexpr std::size_t kMaxTemporaryStem = 200;

std::string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// Permissions of a newly created file under the current umask.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Failure WriteError(const std::string& name, int error) {
  return FileFailure(name, std::string("write error: ") + std::strerror(error));
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Copies everything left in `from` to `to`; the caller checks both error
// indicators.
std::int64_t Copy(std::FILE* from, std::FILE* to) {
  std::vector<char> buffer(kCopyChunk);
  std::int64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), from);
    if (got == 0) break;
    if (std::fwrite(buffer.data(), 1, got, to) != got) break;
    total += static_cast<std::int64_t>(got);
  }
  return total;
}

// Makes a rename reach the disk as well as the data it moved.
void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // some file systems cannot sync a directory; that costs nothing here
  close(fd);
}

}  // namespace

std::FILE* OpenPrivateTempFile() {
  std::string path = TemporaryDirectory() + "/pellfold-XXXXXX";
  int fd = -1;
  {
    // mkstemp creates the file with mode 0600; unlinking it at once means
    // that no exit, however abrupt, can leave it behind.
    const SignalBlock block;
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
  }
  if (fd < 0)
    throw FileFailure(TemporaryDirectory(),
                      std::string("cannot create a temporary file: ") + std::strerror(errno));
  std::FILE* stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    throw FileError(TemporaryDirectory(), error);
  }
  return stream;
}

InputFile::InputFile(const std::string& path) : name_(InputName(path)) {
  int fd = 0;
  if (path == "-") {
    stream_ = stdin;
  } else {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError(name_, errno);
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd != 0) close(fd);
    throw FileError(name_, error);
  }
  if (S_ISDIR(st.st_mode)) {
    if (fd != 0) close(fd);
    throw FileError(name_, EISDIR);
  }
  if (S_ISREG(st.st_mode)) regularSize_ = st.st_size;
  if (stream_ == nullptr) {
    stream_ = fdopen(fd, "rb");
    if (stream_ == nullptr) {
      const int error = errno;
      close(fd);
      throw FileError(name_, error);
    }
    owned_ = true;
  }
}

InputFile::~InputFile() {
  if (owned_) std::fclose(stream_);
}

void InputFile::SpoolToPrivateFile(std::int64_t limit) {
  std::FILE* copy = OpenPrivateTempFile();
  std::vector<char> buffer(kCopyChunk);
  std::int64_t total = 0;
  int readError = 0;
  int writeError = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stream_);
    if (got == 0) {
      if (std::ferror(stream_)) readError = errno;
      break;
    }
    total += static_cast<std::int64_t>(got);
    if (total > limit) break;
    if (std::fwrite(buffer.data(), 1, got, copy) != got) {
      writeError = errno;
      break;
    }
  }
  if (readError == 0 && writeError == 0 && total <= limit && std::fflush(copy) != 0) {
    writeError = errno;
  }
  if (readError != 0 || writeError != 0 || total > limit) {
    std::fclose(copy);
    if (readError != 0) throw FileError(name_, readError);
    if (writeError != 0) {
      throw Failure{"temporary copy of " + name_ + ": " + std::strerror(writeError)};
    }
    throw FileFailure(name_, "input is 2 GiB or larger");
  }
  std::rewind(copy);
  if (owned_) std::fclose(stream_);
  stream_ = copy;
  owned_ = true;
  regularSize_ = total;
}

OutputFile::OutputFile(const std::string& path, bool force, std::FILE* input, bool deferUntilCommit)
    : name_(OutputName(path)), force_(force) {
  struct stat in {};
  const bool haveInput = fstat(fileno(input), &in) == 0;
  struct stat st {};
  if (path == "-") {
    kind_ = Kind::kInPlace;
    destination_ = stdout;
    if (haveInput && fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && SameFile(in, st)) {
      throw FileFailure(name_, "output is the same file as the input");
    }
  } else if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw FileError(name_, EISDIR);
    if (haveInput && SameFile(in, st)) {
      throw FileFailure(name_, "output is the same file as the input");
    }
    if (S_ISREG(st.st_mode)) {
      if (!force) throw FileFailure(name_, "file exists (use --force to overwrite)");
      // Replace what the name leads to: through a symbolic link, the file
      // it points at is replaced and the link stays.
      char resolved[PATH_MAX];
      if (realpath(path.c_str(), resolved) == nullptr) throw FileError(name_, errno);
      target_ = resolved;
      mode_ = static_cast<int>(st.st_mode & 07777);
    } else {
      // /dev/null, a FIFO, a device: nothing to replace, write to it.
      kind_ = Kind::kInPlace;
      const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) throw FileError(name_, errno);
      destination_ = fdopen(fd, "wb");
      if (destination_ == nullptr) {
        const int error = errno;
        close(fd);
        throw FileError(name_, error);
      }
      ownsDestination_ = true;
    }
  } else if (errno == ENOENT) {
    target_ = path;
    mode_ = static_cast<int>(NewFileMode());
  } else {
    throw FileError(name_, errno);
  }

  if (kind_ == Kind::kReplace) {
    CreateTemporary();
  } else {
    terminal_ = isatty(fileno(destination_)) != 0;
    stream_ = deferUntilCommit ? OpenPrivateTempFile() : destination_;
  }
}

OutputFile::~OutputFile() {
  Discard();
  if (ownsDestination_ && destination_ != nullptr) std::fclose(destination_);
}

void OutputFile::CreateTemporary() {
  std::string stem = BaseOf(target_);
  if (stem.size() > kMaxTemporaryStem) stem.resize(kMaxTemporaryStem);
  std::string path = DirectoryOf(target_) + "/." + stem + ".pellfold-XXXXXX";
  int fd = -1;
  {
    const SignalBlock block;
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0 && !SetCleanupPath(path.c_str())) {
      unlink(path.c_str());
      close(fd);
      fd = -1;
      errno = ENAMETOOLONG;
    }
  }
  if (fd < 0) throw FileError(name_, errno);
  temporary_ = path;
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int error = errno;
    close(fd);
    Discard();
    throw FileError(name_, error);
  }
}

void OutputFile::CopyOut() {
  if (std::fflush(stream_) != 0) {
    throw Failure{"temporary copy of " + name_ + ": " + std::strerror(errno)};
  }
  std::rewind(stream_);
  Copy(stream_, destination_);
  if (std::ferror(stream_)) {
    throw Failure{"temporary copy of " + name_ + ": " + std::strerror(errno)};
  }
}

void OutputFile::Commit() {
  if (kind_ == Kind::kInPlace) {
    if (stream_ != destination_) {
      CopyOut();
      std::fclose(stream_);
    }
    stream_ = nullptr;
    if (std::ferror(destination_) || std::fflush(destination_) != 0) {
      throw WriteError(name_, errno);
    }
    if (ownsDestination_) {
      const int rc = std::fclose(destination_);
      destination_ = nullptr;
      if (rc != 0) throw WriteError(name_, errno);
    }
    return;
  }

  // Everything must be on the disk before the name points at it, or a crash
  // right after the rename could leave an empty or partial file under it.
  const int fd = fileno(stream_);
  if (std::fflush(stream_) != 0 || fchmod(fd, static_cast<mode_t>(mode_)) != 0 || fsync(fd) != 0) {
    const int error = errno;
    Discard();
    throw WriteError(name_, error);
  }
  const int rc = std::fclose(stream_);
  stream_ = nullptr;
  if (rc != 0) {
    const int error = errno;
    Discard();
    throw WriteError(name_, error);
  }

  int error = 0;
  {
    const SignalBlock block;
    int moved = 0;
    if (force_) {
      moved = std::rename(temporary_.c_str(), target_.c_str());
    } else {
      // Never replace a file that appeared since the check.
      moved = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
      if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // The file system cannot do that: a hard link fails the same way.
        moved = link(temporary_.c_str(), target_.c_str());
        if (moved == 0) unlink(temporary_.c_str());
      }
    }
    if (moved == 0) {
      SetCleanupPath(nullptr);
      temporary_.clear();
    } else {
      error = errno;
    }
  }
  if (error != 0) {
    Discard();
    if (error == EEXIST) throw FileFailure(name_, "file exists (use --force to overwrite)");
    throw FileError(name_, error);
  }
  SyncDirectory(DirectoryOf(target_));
}

void OutputFile::Discard() {
  if (kind_ == Kind::kReplace) {
    if (stream_ != nullptr) {
      std::fclose(stream_);
      stream_ = nullptr;
    }
    if (!temporary_.empty()) {
      const SignalBlock block;
      unlink(temporary_.c_str());
      SetCleanupPath(nullptr);
      temporary_.clear();
    }
  } else if (stream_ != nullptr && stream_ != destination_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
}

}  // namespace pellfold::host
