#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
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

// The names in the folder open as `fd`, sorted; false (errno set) when it
// cannot be read.
bool FolderNames(int fd, std::vector<std::string>* names) {
  const int own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = own < 0 ? nullptr : fdopendir(own);
  if (dir == nullptr) {
    const int error = errno;
    if (own >= 0) close(own);
    errno = error;
    return false;
  }
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

constexpr char kRemoving[] = ".pellfold-rm-";
constexpr std::size_t kRemovingSize = sizeof kRemoving - 1;
constexpr std::size_t kRandomSize = 6;

// A private name RemoveFile() gives a file just before it unlinks it.
bool IsRemovalName(const std::string& name) {
  return name.size() > kRemovingSize + kRandomSize + 1 && name[0] == '.' &&
         name.compare(name.size() - kRandomSize - kRemovingSize, kRemovingSize, kRemoving) == 0;
}

// Folders with an open descriptor, the most recently used first; past
// kOpenFolders the least recently used one that is not pinned is closed.
constexpr std::size_t kOpenFolders = 64;
std::list<Folder*>& OpenFolders() {
  static std::list<Folder*> open;
  return open;
}
// Guards that list and every folder's descriptor and pins: jobs on several
// threads open, pin and close folders of one tree.
std::recursive_mutex& FoldersLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Whether "/proc/self/fd/N" leads to what descriptor N is open on.
bool ProcReaches(int fd) {
  static const bool reaches = [fd] {
    struct stat a {};
    struct stat b {};
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return fstat(fd, &a) == 0 && stat(self.c_str(), &b) == 0 && SameFile(a, b);
  }();
  return reaches;
}

// renameat2(RENAME_NOREPLACE), or where the file system lacks it a rename
// after checking that the new name is free.
int RenameNoReplace(int folder, const std::string& from, const std::string& to) {
  if (renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat st {};
  if (fstatat(folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(folder, from.c_str(), folder, to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

std::shared_ptr<Folder> Folder::Root(const std::string& path, int status) {
  std::shared_ptr<Folder> folder(new Folder);
  folder->name_ = path;
  folder->shown_ = path;
  folder->status_ = status;
  folder->fd();
  return folder;
}

std::shared_ptr<Folder> Folder::Below(const std::shared_ptr<Folder>& parent,
                                      const std::string& name, bool create) {
  std::shared_ptr<Folder> folder(new Folder);
  folder->parent_ = parent;
  folder->name_ = name;
  folder->shown_ = (parent->shown_ == "/" ? "" : parent->shown_) + "/" + name;
  folder->status_ = parent->status_;
  folder->create_ = create;
  return folder;
}

Folder::~Folder() {
  Close();
}

void Folder::Close() {
  const std::lock_guard lock(FoldersLock());
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  OpenFolders().remove(this);
}

bool Folder::OpenOne() {
  const int at = parent_ ? parent_->fd_ : AT_FDCWD;
  if (create_ && mkdirat(at, name_.c_str(), 0777) != 0 && errno != EEXIST) return false;
  const int opened =
      openat(at, name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (parent_ ? O_NOFOLLOW : 0));
  if (opened < 0) {
    if (errno == ELOOP) errno = ENOTDIR;  // a symbolic link now: not a folder
    return false;
  }
  struct stat st {};
  const bool same = fstat(opened, &st) == 0;
  if (!same || (known_ && (st.st_dev != device_ || st.st_ino != inode_))) {
    const int error = same ? ESTALE : errno;  // ESTALE: another folder now
    close(opened);
    errno = error;
    return false;
  }
  device_ = st.st_dev;
  inode_ = st.st_ino;
  known_ = true;
  fd_ = opened;
  OpenFolders().push_front(this);
  return true;
}

int Folder::fd() {
  const std::lock_guard lock(FoldersLock());
  if (fd_ >= 0) {
    OpenFolders().remove(this);
    OpenFolders().push_front(this);
    return fd_;
  }
  // Down from the nearest open folder, without recursion: the chain can be
  // as deep as the tree. None is closed before the end.
  std::vector<Folder*> chain;
  for (Folder* f = this; f != nullptr && f->fd_ < 0; f = f->parent_.get()) chain.push_back(f);
  Folder* failed = nullptr;
  int error = 0;
  for (auto f = chain.rbegin(); f != chain.rend() && failed == nullptr; ++f) {
    if (!(*f)->OpenOne()) {
      failed = *f;
      error = errno;
    }
  }
  // Past the limit, the least recently used ones go.
  auto& open = OpenFolders();
  for (auto it = open.end(); open.size() > kOpenFolders && it != open.begin();) {
    --it;
    if ((*it)->pins_ == 0 && *it != this) {
      close((*it)->fd_);
      (*it)->fd_ = -1;
      it = open.erase(it);
    }
  }
  if (failed != nullptr) {
    if (error == ESTALE) {
      throw WithStatus(FileFailure(failed->shown_, "moved or replaced during the run"), status_);
    }
    throw WithStatus(FileError(failed->shown_, error), status_);
  }
  return fd_;
}

std::string Folder::PathTo(const std::string& name) {
  const std::lock_guard lock(FoldersLock());
  const int folder = fd();
  if (!ProcReaches(folder)) return (shown_ == "/" ? "" : shown_) + "/" + name;
  return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

Folder::Pin::Pin(const std::shared_ptr<Folder>& folder) : folder_(folder) {
  if (!folder_) return;
  const std::lock_guard lock(FoldersLock());
  folder_->fd();
  ++folder_->pins_;
}

Folder::Pin::~Pin() {
  if (!folder_) return;
  const std::lock_guard lock(FoldersLock());
  --folder_->pins_;
}

int RemoveFile(int folder, const std::string& name, const struct stat& read) {
  // The private name keeps the start of the name, within NAME_MAX.
  const std::string kept = name.substr(0, 200);
  std::string hidden;
  int error = EEXIST;
  const SignalBlock block;
  for (int attempt = 0; error == EEXIST && attempt < 100; ++attempt) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[kRandomSize] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return errno;
    hidden = "." + kept + kRemoving;
    for (const unsigned char r : random) hidden += kLetters[r % (sizeof kLetters - 1)];
    error = RenameNoReplace(folder, name, hidden);
  }
  if (error != 0) return error;
  struct stat st {};
  if (fstatat(folder, hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(st, read)) {
    error = -1;
  } else if (unlinkat(folder, hidden.c_str(), 0) != 0) {
    error = errno;
  } else {
    // The removal reaches the disk too; a folder that cannot be synced is
    // no loss here, since the output is synced already.
    fsync(folder);
    return 0;
  }
  // Another file, or one that could not be removed: back under its name.
  RenameNoReplace(folder, hidden, name);
  return error;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<FoundFile> WalkFolder(const std::string& folder) {
  std::string root = folder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  // One frame per folder on the way down: its names, and how far they went.
  struct Frame {
    std::shared_ptr<Folder> folder;
    std::string relative;
    std::vector<std::string> names;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  stack.push_back({Folder::Root(root, ACBC_E_INPUT_OPEN), "", {}, 0});
  std::vector<FoundFile> found;
  struct stat st {};
  if (!FolderNames(stack.back().folder->fd(), &stack.back().names)) {
    found.push_back({root, "", root + ": " + std::strerror(errno), {}});
    return found;
  }
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.names.size()) {
      stack.pop_back();
      continue;
    }
    const std::string name = frame.names[frame.next++];
    const std::shared_ptr<Folder> parent = frame.folder;
    const std::string child = (parent->shown() == "/" ? "" : parent->shown()) + "/" + name;
    const std::string below = frame.relative.empty() ? name : frame.relative + "/" + name;
    if (fstatat(parent->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      found.push_back({child, below, child + ": " + std::strerror(errno), {}});
    } else if (S_ISDIR(st.st_mode)) {
      Frame next{Folder::Below(parent, name, false), below, {}, 0};
      try {
        if (!FolderNames(next.folder->fd(), &next.names)) {
          found.push_back({child, below, child + ": " + std::strerror(errno), {}});
          continue;
        }
      } catch (const Failure& failure) {
        found.push_back({child, below, failure.message, {}});
        continue;
      }
      stack.push_back(std::move(next));  // `frame` is not used after this
    } else if (S_ISREG(st.st_mode) && !IsRemovalName(name)) {
      found.push_back({child, below, "", {parent, name}});
    }
  }
  return found;
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

InputFile::InputFile(const std::string& path, const Place& place, bool regular)
    : name_(InputName(path)) {
  regular = regular || place.folder != nullptr;
  if (path == "-") {
    fd_ = STDIN_FILENO;
  } else {
    // Without blocking: a FIFO must not hold the program in open().
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    fd_ = place.folder ? openat(place.folder->fd(), place.name.c_str(), kFlags | O_NOFOLLOW)
                       : open(path.c_str(), kFlags);
    if (fd_ < 0 && errno == ELOOP && place.folder) errno = ENOENT;  // no longer the file found
    if (fd_ < 0) throw WithStatus(FileError(name_, errno), ACBC_E_INPUT_OPEN);
    owned_ = true;
  }
  const auto fail = [&](int error) {
    if (owned_) close(fd_);
    return WithStatus(FileError(name_, error), ACBC_E_INPUT_OPEN);
  };
  if (fstat(fd_, &status_) != 0) throw fail(errno);
  if (S_ISDIR(status_.st_mode)) throw fail(EISDIR);
  if (owned_ && regular && !S_ISREG(status_.st_mode)) {
    close(fd_);
    throw WithStatus(FileFailure(name_, "not a regular file"), ACBC_E_INPUT_OPEN);
  }
  if (owned_ && S_ISFIFO(status_.st_mode)) {
    // Read as a pipe: from its first data on, or its writer's end (a FIFO
    // opened without blocking reads as ended until a writer has come).
    // A terminating signal noted meanwhile (DeferSignals) stops the wait.
    for (pollfd ready{fd_, POLLIN, 0}; poll(&ready, 1, 0) == 0;) {
      if (const int signal = AwaitInput(fd_); signal != 0) {
        close(fd_);
        ExitForSignal(signal);
      }
    }
  }
  // Reads of a regular file do not block anyway.
  if (owned_ && !S_ISREG(status_.st_mode)) {
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) throw fail(errno);
  }
  readable_ = S_ISREG(status_.st_mode) && status_.st_size > 0;
  source_ = fd_;
  if (!owned_) {
    stream_ = stdin;
    return;
  }
  stream_ = fdopen(fd_, "rb");
  if (stream_ == nullptr) throw fail(errno);
}

std::string InputFile::SamePath(const std::string& path) const {
  return owned_ && ProcReaches(source_) ? "/proc/self/fd/" + std::to_string(source_) : path;
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

OutputTarget::OutputTarget(const InputFile& input)
    : path_("-"), name_(OutputName("-")), inPlace_(true), terminal_(isatty(STDOUT_FILENO) != 0) {
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && SameFile(input.status(), st)) {
    throw WithStatus(FileFailure(name_, "output is the same file as the input"), ACBC_E_SAME_FILE);
  }
}

OutputTarget::~OutputTarget() {
  if (fifo_ >= 0) close(fifo_);
}

void OutputTarget::SetInPlace(bool inPlace) {
  inPlace_ = inPlace;
  struct stat st {};
  if (!inPlace || stat(path_.c_str(), &st) != 0) return;
  if (S_ISFIFO(st.st_mode)) WaitForReader();
  if (S_ISCHR(st.st_mode)) {
    const int fd = open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw WithStatus(FileError(name_, errno), ACBC_E_OUTPUT_OPEN);
    terminal_ = isatty(fd) != 0;
    close(fd);
  }
}

void OutputTarget::WaitForReader() {
  struct stat st {};
  if (fifo_ >= 0 || stat(path_.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  fifo_ = open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fifo_ < 0) throw WithStatus(FileError(name_, errno), ACBC_E_OUTPUT_OPEN);
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

std::ptrdiff_t ReadAwaiting(void* context, void* buffer, std::size_t size) {
  const int fd = *static_cast<const int*>(context);
  for (;;) {
    if (AwaitInput(fd) != 0) {
      errno = ECANCELED;
      return -1;
    }
    const ssize_t got = ReadSome(fd, buffer, size);
    if (got >= 0 || errno != EAGAIN) return got;
  }
}

}  // namespace pellfold::host
