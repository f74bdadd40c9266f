#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli.h"
#include "signals.h"

namespace pellfold::host {
namespace {

// Large chunks for the spool and copy steps: few system calls per byte, and
// memory bounded whatever the size of the data.
constexpr std::size_t kCopyChunk = 1 << 20;
// Room left in a temporary name for the ".", the suffix and its letters.
constexpr std::size_t kMaxTemporaryStem = 200;
constexpr int kTemporaryAttempts = 100;

std::string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
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

// A chunk buffer that is wiped when done: it may hold plaintext.
struct ChunkBuffer {
  std::vector<char> bytes = std::vector<char>(kCopyChunk);
  ~ChunkBuffer() { explicit_bzero(bytes.data(), bytes.size()); }
};

// Copies everything left in `from` to `to`. Returns 0, or errno of the
// failed write; the caller checks `from` for a read error.
int Copy(std::FILE* from, std::FILE* to) {
  ChunkBuffer buffer;
  for (;;) {
    const std::size_t got = std::fread(buffer.bytes.data(), 1, buffer.bytes.size(), from);
    if (got == 0) return 0;
    if (std::fwrite(buffer.bytes.data(), 1, got, to) != got) return errno != 0 ? errno : EIO;
  }
}

// A stream over fd; on failure fd is closed and the error is named after
// `name`.
std::FILE* StreamOver(int fd, const char* mode, const std::string& name) {
  std::FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    throw FileError(name, error);
  }
  return stream;
}

// Letters for a temporary name that nobody can guess ahead of time.
std::string RandomSuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[8] = {};
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // No kernel randomness: the name only has to differ from the ones tried
    // before it (O_EXCL refuses a collision), so the clock and pid do.
    const auto seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(getpid()) << 40u);
    for (std::size_t i = 0; i < sizeof random; ++i) {
      random[i] = static_cast<unsigned char>(seed >> (i * 8));
    }
  }
  std::string suffix;
  for (const unsigned char r : random) suffix += kLetters[r % (sizeof kLetters - 1)];
  return suffix;
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
  return StreamOver(fd, "w+b", TemporaryDirectory());
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
  if (S_ISREG(st.st_mode)) {
    // Standard input may have been read from already.
    const off_t at = lseek(fd, 0, SEEK_CUR);
    start_ = at > 0 ? at : 0;
    regularSize_ = st.st_size > start_ ? st.st_size - start_ : 0;
    outputMode_ = static_cast<mode_t>(st.st_mode & 0666);
  }
  if (stream_ == nullptr) {
    stream_ = StreamOver(fd, "rb", name_);
    owned_ = true;
  }
}

InputFile::~InputFile() {
  if (owned_) std::fclose(stream_);
}

std::int64_t InputFile::CurrentSize() const {
  struct stat st {};
  if (fstat(fileno(stream_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size > start_ ? st.st_size - start_ : 0;
}

void InputFile::SpoolToPrivateFile(std::int64_t limit, std::int64_t keep) {
  std::FILE* copy = OpenPrivateTempFile();
  ChunkBuffer buffer;
  std::int64_t total = 0;
  int readError = 0;
  int writeError = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.bytes.data(), 1, buffer.bytes.size(), stream_);
    if (got == 0) {
      if (std::ferror(stream_)) readError = errno;
      break;
    }
    const std::int64_t room = keep > total ? keep - total : 0;
    const std::size_t store =
        room < static_cast<std::int64_t>(got) ? static_cast<std::size_t>(room) : got;
    total += static_cast<std::int64_t>(got);
    if (total > limit) break;
    if (store > 0 && std::fwrite(buffer.bytes.data(), 1, store, copy) != store) {
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
  start_ = 0;
}

OutputFile::OutputFile(const std::string& path, bool force, std::FILE* input, mode_t inputMode,
                       bool deferUntilCommit)
    : name_(OutputName(path)), defer_(deferUntilCommit), force_(force) {
  struct stat in {};
  const bool haveInput = fstat(fileno(input), &in) == 0;
  struct stat st {};
  std::string target;
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
      target = resolved;
    } else {
      // /dev/null, a FIFO, a device: nothing to replace, write to it.
      kind_ = Kind::kInPlace;
      const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) throw FileError(name_, errno);
      destination_ = StreamOver(fd, "wb", name_);
      ownsDestination_ = true;
    }
  } else if (errno == ENOENT) {
    target = path;
  } else {
    throw FileError(name_, errno);
  }

  if (kind_ == Kind::kInPlace) {
    terminal_ = isatty(fileno(destination_)) != 0;
    return;
  }
  // Never the old file's mode: a replaced setuid file must not lend its
  // bits to new content, and the input decides who may read its contents.
  mode_ = static_cast<mode_t>(inputMode & 0666 & ~CurrentUmask());
  base_ = BaseOf(target);
  dirFd_ = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0) throw FileError(name_, errno);
  // Refused now rather than after the password is asked for.
  if (faccessat(dirFd_, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int error = errno;
    close(dirFd_);
    dirFd_ = -1;
    throw FileError(name_, error);
  }
}

OutputFile::~OutputFile() {
  Discard();
  if (ownsDestination_ && destination_ != nullptr) std::fclose(destination_);
  if (dirFd_ >= 0) close(dirFd_);
}

void OutputFile::Open() {
  if (kind_ == Kind::kReplace) {
    CreateTemporary();
  } else {
    stream_ = defer_ ? OpenPrivateTempFile() : destination_;
  }
}

void OutputFile::CreateTemporary() {
  std::string stem = base_;
  if (stem.size() > kMaxTemporaryStem) stem.resize(kMaxTemporaryStem);
  int fd = -1;
  std::string candidate;
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    candidate = "." + stem + ".pellfold-" + RandomSuffix();
    const SignalBlock block;
    fd =
        openat(dirFd_, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (!SetCleanupPath(dirFd_, candidate.c_str())) {
        unlinkat(dirFd_, candidate.c_str(), 0);
        close(fd);
        fd = -1;
        errno = ENAMETOOLONG;
      }
      break;
    }
    if (errno != EEXIST) break;
  }
  if (fd < 0) throw FileError(name_, errno);
  temporary_ = candidate;
  // The output's mode before any data is in the file.
  if (fchmod(fd, mode_) != 0) {
    const int error = errno;
    close(fd);
    Discard();
    throw FileError(name_, error);
  }
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
  const int writeError = Copy(stream_, destination_);
  if (std::ferror(stream_)) {
    throw Failure{"temporary copy of " + name_ + ": " + std::strerror(errno)};
  }
  if (writeError != 0) throw WriteError(name_, writeError);
}

void OutputFile::Commit() {
  if (kind_ == Kind::kInPlace) {
    if (stream_ != destination_) {
      CopyOut();
      std::fclose(stream_);
    }
    stream_ = nullptr;
    errno = 0;
    if (std::ferror(destination_) || std::fflush(destination_) != 0) {
      throw WriteError(name_, errno != 0 ? errno : EIO);
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
  if (std::fflush(stream_) != 0 || fsync(fd) != 0) {
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
      moved = renameat(dirFd_, temporary_.c_str(), dirFd_, base_.c_str());
    } else {
      // Never replace a file that appeared since the check.
      moved = renameat2(dirFd_, temporary_.c_str(), dirFd_, base_.c_str(), RENAME_NOREPLACE);
      if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // The file system cannot do that: a hard link fails the same way.
        moved = linkat(dirFd_, temporary_.c_str(), dirFd_, base_.c_str(), 0);
        if (moved == 0) unlinkat(dirFd_, temporary_.c_str(), 0);
      }
    }
    if (moved == 0) {
      SetCleanupPath(-1, nullptr);
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
  // The rename reaches the disk too. Some file systems cannot sync a
  // directory at all (EINVAL); any other failure is the user's to know.
  if (fsync(dirFd_) != 0 && errno != EINVAL && errno != EROFS) {
    throw FileFailure(name_, std::string("written, but its directory could not be synced: ") +
                                 std::strerror(errno));
  }
}

void OutputFile::Discard() {
  if (kind_ == Kind::kReplace) {
    if (stream_ != nullptr) {
      std::fclose(stream_);
      stream_ = nullptr;
    }
    if (!temporary_.empty()) {
      int error = 0;
      {
        const SignalBlock block;
        if (unlinkat(dirFd_, temporary_.c_str(), 0) != 0 && errno != ENOENT) error = errno;
        SetCleanupPath(-1, nullptr);
      }
      if (error != 0) {
        Complain(name_ + ": cannot remove the temporary file " + temporary_ + ": " +
                 std::strerror(error));
      }
      temporary_.clear();
    }
  } else if (stream_ != nullptr && stream_ != destination_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
}

}  // namespace pellfold::host
