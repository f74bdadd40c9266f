// The input and output machinery of the file calls, ACBC and age alike:
// inputs read with pread from a known size, outputs written to an unnamed
// temporary file in the output's folder and linked into place only when
// complete.
#include "service/acbc_io.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "service/acbc_output.h"
#include "util/wipe.h"

namespace pellfold::acbc {

namespace {

constexpr int kMaxLinks = 40;
constexpr int kTemporaryAttempts = 100;
// Room left in a temporary name for the dot, the suffix and its letters.
constexpr std::size_t kMaxTemporaryStem = 200;
// Where umask cannot be read, the output is readable by its owner only.
constexpr mode_t kFallbackUmask = 077;

}  // namespace

// ---------------------------------------------------------------- input

void CloseInput(Input* in) {
  if (in->owned && in->fd >= 0) close(in->fd);
  in->fd = -1;
}

namespace {

// Takes the descriptor's size and start. A regular file's size comes from
// fstat; a device that seeks tells its end by lseek, after which the
// offset is put back. A pipe, FIFO or socket has no length.
acbc_status MeasureInput(Input* in, acbc_result* r) {
  if (fstat(in->fd, &in->st) != 0) return Fail(r, ACBC_E_INPUT_OPEN, errno);
  // A descriptor that cannot be read (O_PATH, write-only) is no input,
  // whatever fstat says about its file.
  const int mode = fcntl(in->fd, F_GETFL);
  if (mode < 0) return Fail(r, ACBC_E_INPUT_OPEN, errno);
  if ((mode & O_PATH) != 0 || (mode & O_ACCMODE) == O_WRONLY) {
    return Fail(r, ACBC_E_INPUT_OPEN, EBADF);
  }
  if (S_ISDIR(in->st.st_mode)) return Fail(r, ACBC_E_INPUT_OPEN, EISDIR);
  if (S_ISFIFO(in->st.st_mode) || S_ISSOCK(in->st.st_mode)) {
    return Fail(r, ACBC_E_INPUT_LENGTH, ESPIPE);
  }
  if (S_ISREG(in->st.st_mode)) {
    // The files of /proc and /sys are made as they are read: their size is
    // 0 or a page whatever they hold, so no length can be taken from it.
    struct statfs fs {};
    if (fstatfs(in->fd, &fs) == 0 && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC)) {
      return Fail(r, ACBC_E_INPUT_LENGTH, 0);
    }
  }
  in->base = lseek(in->fd, 0, SEEK_CUR);
  if (in->base < 0) return Fail(r, ACBC_E_INPUT_LENGTH, errno);
  off_t end = in->st.st_size;
  if (!S_ISREG(in->st.st_mode)) {
    end = lseek(in->fd, 0, SEEK_END);
    const int error = errno;
    if (lseek(in->fd, in->base, SEEK_SET) < 0 || end < 0) {
      return Fail(r, ACBC_E_INPUT_LENGTH, end < 0 ? error : errno);
    }
  }
  in->size = end > in->base ? end - in->base : 0;
  return ACBC_OK;
}

}  // namespace

acbc_status OpenInputPath(const char* path, Input* in, acbc_result* r) {
  // Non-blocking, so that a FIFO given as a path is refused instead of
  // waiting for a writer.
  in->fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (in->fd < 0) return Fail(r, ACBC_E_INPUT_OPEN, errno);
  in->owned = true;
  const acbc_status status = MeasureInput(in, r);
  if (status != ACBC_OK) return status;
  const int flags = fcntl(in->fd, F_GETFL);
  if (flags < 0 || fcntl(in->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Fail(r, ACBC_E_INPUT_OPEN, errno);
  }
  return ACBC_OK;
}

acbc_status OpenInputFd(int fd, Input* in, acbc_result* r) {
  in->fd = fd;
  in->owned = false;
  return MeasureInput(in, r);
}

namespace {

std::ptrdiff_t ReadFd(void* context, void* buffer, std::size_t size) {
  auto* source = static_cast<FdSource*>(context);
  const off_t left = source->end - source->offset;
  if (left <= 0) return 0;
  const std::size_t want = static_cast<off_t>(size) < left ? size : static_cast<std::size_t>(left);
  ssize_t got = 0;
  do {
    got = pread(source->fd, buffer, want, source->offset);
  } while (got < 0 && errno == EINTR);
  if (got > 0) source->offset += got;
  return got;
}

}  // namespace

Reader FdReader(FdSource* source) {
  return Reader{ReadFd, source};
}

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

// A regular input whose size, modification or change time moved while it
// was read was rewritten under the call.
acbc_status CheckUnchanged(const Input& in, acbc_result* r) {
  if (!S_ISREG(in.st.st_mode)) return ACBC_OK;
  struct stat now {};
  if (fstat(in.fd, &now) != 0) return Fail(r, ACBC_E_READ, errno);
  if (now.st_size != in.st.st_size || !SameTime(now.st_mtim, in.st.st_mtim) ||
      !SameTime(now.st_ctim, in.st.st_ctim)) {
    return Fail(r, ACBC_E_INPUT_CHANGED, 0);
  }
  return ACBC_OK;
}

// ---------------------------------------------------------------- output

namespace {

mode_t CurrentUmask() {
  // umask() cannot read the mask without changing it, which would race with
  // other threads creating files; the kernel reports it here.
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kFallbackUmask;
  char text[4096];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return kFallbackUmask;
  text[got] = '\0';
  const char* line = std::strstr(text, "\nUmask:");
  if (line == nullptr) return kFallbackUmask;
  const char* p = line + 7;
  while (*p == ' ' || *p == '\t') ++p;
  mode_t mask = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '7'; ++p, ++digits) {
    mask = static_cast<mode_t>(mask * 8 + static_cast<mode_t>(*p - '0'));
  }
  return digits > 0 ? static_cast<mode_t>(mask & 0777) : kFallbackUmask;
}

// Follows symbolic links from `path` to the name the output replaces: a
// link to a file stays, and the file it leads to is replaced. Returns 0
// with *exists and *st set, or an errno.
int ResolveTarget(const char* path, char* target, struct stat* st, bool* exists) {
  const std::size_t length = std::strlen(path);
  if (length == 0) return ENOENT;
  if (length >= PATH_MAX) return ENAMETOOLONG;
  std::memcpy(target, path, length + 1);
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    if (lstat(target, st) != 0) {
      if (errno != ENOENT) return errno;
      *exists = false;
      return 0;
    }
    if (!S_ISLNK(st->st_mode)) {
      *exists = true;
      return 0;
    }
    // A link to a pipe or socket (/dev/stdout, /proc/self/fd/N) names no
    // file in a folder: it is opened by itself, as open() would.
    struct stat end {};
    if (stat(target, &end) == 0 && (S_ISFIFO(end.st_mode) || S_ISSOCK(end.st_mode))) {
      *st = end;
      *exists = true;
      return 0;
    }
    char link[PATH_MAX];
    const ssize_t n = readlink(target, link, sizeof link - 1);
    if (n < 0) return errno;
    link[n] = '\0';
    if (link[0] == '/') {
      std::memcpy(target, link, static_cast<std::size_t>(n) + 1);
    } else {
      // Relative to the folder that holds the link.
      char* slash = std::strrchr(target, '/');
      const std::size_t keep = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
      if (keep + static_cast<std::size_t>(n) >= PATH_MAX) return ENAMETOOLONG;
      std::memcpy(target + keep, link, static_cast<std::size_t>(n) + 1);
    }
  }
  return ELOOP;
}

void RandomName(const char* stem, char* name, std::size_t size) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[10] = {};
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    // Only uniqueness matters (O_EXCL refuses a taken name): time and pid.
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto seed = static_cast<unsigned long long>(now.tv_nsec) ^
                      (static_cast<unsigned long long>(now.tv_sec) << 20U) ^
                      (static_cast<unsigned long long>(getpid()) << 40U);
    for (std::size_t i = 0; i < sizeof random; ++i) {
      random[i] = static_cast<unsigned char>(seed >> ((i % 8) * 8));
    }
  }
  char letters[sizeof random + 1];
  for (std::size_t i = 0; i < sizeof random; ++i) {
    letters[i] = kLetters[random[i] % (sizeof kLetters - 1)];
  }
  letters[sizeof random] = '\0';
  std::snprintf(name, size, ".%.*s.acbc-%s", static_cast<int>(kMaxTemporaryStem), stem, letters);
}

}  // namespace

// In a sticky folder (/tmp) only the owner of a file, the folder's owner
// and root may rename over it: a replace that would fail after all the
// work is refused before it starts.
bool StickyRefuses(const struct stat& folder, const struct stat& target, uid_t user) {
  return (folder.st_mode & S_ISVTX) != 0 && user != 0 && target.st_uid != user &&
         folder.st_uid != user;
}

// The checks on the output before anything is created: the folder opens
// and is writable, an existing output is refused without ACBC_REPLACE, and
// the input is not the output. `inPlace` (a rekey without an output) names
// the input itself as the file to replace.
acbc_status PrepareOutput(const char* path, const Input& in, unsigned flags, bool inPlace,
                          Output* out, acbc_result* r) {
  out->replace = inPlace || (flags & ACBC_REPLACE) != 0;
  out->sync = (flags & ACBC_NO_SYNC) == 0;
  struct stat st {};
  bool exists = false;
  const int error = ResolveTarget(path, out->target, &st, &exists);
  if (error != 0) return Fail(r, ACBC_E_OUTPUT_OPEN, error);
  out->existed = exists;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return Fail(r, ACBC_E_OUTPUT_OPEN, EISDIR);
    const bool same = st.st_dev == in.st.st_dev && st.st_ino == in.st.st_ino;
    if (same && !inPlace) return Fail(r, ACBC_E_SAME_FILE, 0);
    if (!S_ISREG(st.st_mode)) {
      if (inPlace) return Fail(r, ACBC_E_SAME_FILE, 0);
      // A block device holds data of its own (a disk, a partition): it is
      // overwritten only when asked to. Character devices, FIFOs and
      // sockets are where output goes through.
      if (S_ISBLK(st.st_mode) && !out->replace) return Fail(r, ACBC_E_OUTPUT_EXISTS, 0);
      out->inPlace = true;
      return ACBC_OK;
    }
    if (!out->replace) return Fail(r, ACBC_E_OUTPUT_EXISTS, 0);
  }
  char* slash = std::strrchr(out->target, '/');
  const char* base = slash == nullptr ? out->target : slash + 1;
  const std::size_t baseLength = std::strlen(base);
  if (baseLength == 0) return Fail(r, ACBC_E_OUTPUT_OPEN, EISDIR);
  if (baseLength > NAME_MAX) return Fail(r, ACBC_E_OUTPUT_OPEN, ENAMETOOLONG);
  std::memcpy(out->base, base, baseLength + 1);
  if (slash == nullptr) {
    out->dirFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else if (slash == out->target) {
    out->dirFd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    *slash = '\0';
    out->dirFd = open(out->target, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *slash = '/';
  }
  if (out->dirFd < 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  if (faccessat(out->dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  }
  struct stat folder {};
  if (fstat(out->dirFd, &folder) != 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  if (exists && StickyRefuses(folder, st, geteuid())) return Fail(r, ACBC_E_OUTPUT_OPEN, EPERM);
  // Never the old output's mode, and never more readable than the input;
  // an in-place rewrite keeps the file's permission bits.
  const mode_t inputBits = S_ISREG(in.st.st_mode) ? in.st.st_mode & 0777 : 0666;
  out->mode = inPlace ? static_cast<mode_t>(inputBits)
                      : static_cast<mode_t>(inputBits & 0666 & ~CurrentUmask());
  out->keepOwner = inPlace;
  out->owner = in.st.st_uid;
  out->group = in.st.st_gid;
  return ACBC_OK;
}

void DiscardOutput(Output* out, acbc_result* r) {
  if (out->fd >= 0) close(out->fd);
  out->fd = -1;
  if (out->temporary[0] != '\0' && unlinkat(out->dirFd, out->temporary, 0) != 0 && r != nullptr) {
    r->warnings |= ACBC_WARN_TEMPORARY_LEFT;
  }
  out->temporary[0] = '\0';
  if (out->dirFd >= 0) close(out->dirFd);
  out->dirFd = -1;
}

namespace {

bool NoUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

acbc_status CreateOutput(Output* out, acbc_result* r) {
  if (out->inPlace) {
    // Non-blocking, so that a FIFO without a reader is ENXIO at once rather
    // than a wait; the writes then block as usual.
    out->fd = open(out->target, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (out->fd < 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
    const int flags = fcntl(out->fd, F_GETFL);
    if (flags < 0 || fcntl(out->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
    }
    return ACBC_OK;
  }
  const int access = out->readable ? O_RDWR : O_WRONLY;
  // Readable in any case: where it cannot be linked, it is copied into a
  // named temporary file instead (see MoveToNamed).
  out->fd = openat(out->dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (out->fd >= 0) {
    out->unnamed = true;
  } else {
    if (!NoUnnamedFiles(errno)) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
    for (int attempt = 0; attempt < kTemporaryAttempts && out->fd < 0; ++attempt) {
      char name[NAME_MAX + 1];
      RandomName(out->base, name, sizeof name);
      out->fd = openat(out->dirFd, name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (out->fd >= 0) {
        std::memcpy(out->temporary, name, sizeof name);
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (out->fd < 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  }
  // Owner first (a change of owner may clear mode bits), then the final
  // mode, before any data is in the file. Not being allowed to give the
  // file away is no failure: it stays the caller's.
  if (out->keepOwner && fchown(out->fd, out->owner, out->group) != 0 && errno != EPERM) {
    return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  }
  if (fchmod(out->fd, out->mode) != 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  return ACBC_OK;
}

// Writes all of a buffer to a descriptor, through short writes. SIGPIPE
// is blocked on this thread for the writes, so that a pipe whose reader
// left is EPIPE and not the end of the process; the signal this raised is
// taken back unless one was pending before.
int WriteFd(void* context, const void* buffer, std::size_t size) {
  const int fd = *static_cast<const int*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  sigset_t pipe{};
  sigset_t before{};
  sigset_t pending{};
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &before);
  const bool wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  int error = 0;
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  if (error == EPIPE && !wasPending) {
    const struct timespec now {};
    while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return error == 0 ? 0 : -1;
}

namespace {

// Gives the unnamed file the name `name` in the folder.
int LinkUnnamed(const Output& out, const char* name) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", out.fd);
  if (linkat(AT_FDCWD, proc, out.dirFd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  // Without /proc: the descriptor itself (needs CAP_DAC_READ_SEARCH).
  return linkat(out.fd, "", out.dirFd, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// The unnamed file under a temporary name in the folder, for a rename over
// an existing name.
int LinkAside(Output* out) {
  int error = EEXIST;
  for (int attempt = 0; attempt < kTemporaryAttempts && error == EEXIST; ++attempt) {
    char name[NAME_MAX + 1];
    RandomName(out->base, name, sizeof name);
    error = LinkUnnamed(*out, name);
    if (error == 0) std::memcpy(out->temporary, name, sizeof name);
  }
  return error;
}

// Where an unnamed file cannot be linked (no /proc, and no
// CAP_DAC_READ_SEARCH for AT_EMPTY_PATH), its content goes into a named
// temporary file, created and given its mode and owner as CreateOutput
// does, synced unless ACBC_NO_SYNC; the unnamed file is closed. Returns 0
// or errno (the named file, once created, is the caller's to discard).
int MoveToNamed(Output* out) {
  int named = -1;
  for (int attempt = 0; attempt < kTemporaryAttempts && named < 0; ++attempt) {
    char name[NAME_MAX + 1];
    RandomName(out->base, name, sizeof name);
    named = openat(out->dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named >= 0) {
      std::memcpy(out->temporary, name, sizeof name);
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  if (named < 0) return EEXIST;
  int error = 0;
  if (out->keepOwner && fchown(named, out->owner, out->group) != 0 && errno != EPERM) {
    error = errno;
  }
  if (error == 0 && fchmod(named, out->mode) != 0) error = errno;
  // The output may be plaintext: the buffer is wiped after use.
  std::uint8_t buffer[16384];
  for (off_t at = 0; error == 0;) {
    const ssize_t got = pread(out->fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    for (ssize_t done = 0; done < got && error == 0;) {
      const ssize_t put =
          pwrite(named, buffer + done, static_cast<std::size_t>(got - done), at + done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) error = put < 0 ? errno : EIO;
      if (put > 0) done += put;
    }
    at += got;
  }
  SecureZero(buffer, sizeof buffer);
  if (error == 0 && out->sync && fsync(named) != 0) error = errno;
  if (close(named) != 0 && error == 0 && errno != EINTR) error = errno;
  close(out->fd);
  out->fd = -1;
  out->unnamed = false;
  return error;
}

bool LinkRefused(int error) {
  return error == ENOENT || error == EPERM;
}

// Puts the complete output under its name: a link that refuses an existing
// name, or under ACBC_REPLACE a rename over it.
int Publish(Output* out) {
  if (out->unnamed) {
    // A name that was free when checked is linked straight, which refuses
    // a name that has appeared since. A rename is the only way over an
    // existing name: the file is linked under a temporary one first, so a
    // crash at that moment leaves the complete output under that name.
    int error = out->replace && out->existed ? EEXIST : LinkUnnamed(*out, out->base);
    if (error == 0) return 0;
    if (error == EEXIST && out->replace) error = LinkAside(out);
    if (LinkRefused(error)) error = MoveToNamed(out);
    if (error != 0) return error;
  }
  int moved = 0;
  if (out->replace) {
    moved = renameat(out->dirFd, out->temporary, out->dirFd, out->base);
  } else {
    moved = renameat2(out->dirFd, out->temporary, out->dirFd, out->base, RENAME_NOREPLACE);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // The file system cannot do that: a hard link refuses the same way.
      // Once the link is made the output is in place; a temporary name that
      // cannot be removed then is a second name for it, kept (and tried
      // again) for the caller to be told.
      moved = linkat(out->dirFd, out->temporary, out->dirFd, out->base, 0);
      if (moved != 0) return errno;
      if (unlinkat(out->dirFd, out->temporary, 0) != 0) {
        out->leftover = errno;
        return 0;
      }
    }
  }
  if (moved != 0) return errno;
  out->temporary[0] = '\0';
  return 0;
}

}  // namespace

acbc_status CommitOutput(Output* out, acbc_result* r) {
  if (out->inPlace) {
    const int rc = close(out->fd);
    out->fd = -1;
    if (rc != 0 && errno != EINTR) return Fail(r, ACBC_E_WRITE, errno);
    out->placed = true;
    return ACBC_OK;
  }
  // Everything is on the disk before the name points at it, or a crash
  // right after could leave a partial file under the name.
  if (out->sync && !out->fileSynced && fsync(out->fd) != 0) return Fail(r, ACBC_E_WRITE, errno);
  if (!out->unnamed) {
    const int rc = close(out->fd);
    out->fd = -1;
    if (rc != 0 && errno != EINTR) return Fail(r, ACBC_E_WRITE, errno);
  }
  const int error = Publish(out);
  if (error == EEXIST) return Fail(r, ACBC_E_OUTPUT_EXISTS, EEXIST);
  if (error != 0) return Fail(r, ACBC_E_WRITE, error);
  out->placed = true;
  if (out->fd >= 0) {
    close(out->fd);
    out->fd = -1;
  }
  // The new name reaches the disk too. Some file systems cannot sync a
  // folder at all (EINVAL). A failure from here on leaves the output in
  // place, and says so.
  if (out->sync && !out->folderSyncDeferred && fsync(out->dirFd) != 0 && errno != EINVAL &&
      errno != EROFS) {
    r->warnings |= ACBC_WARN_OUTPUT_PLACED;
    return Fail(r, ACBC_E_WRITE, errno);
  }
  if (out->leftover != 0) {
    if (unlinkat(out->dirFd, out->temporary, 0) != 0) {
      r->warnings |= ACBC_WARN_OUTPUT_PLACED | ACBC_WARN_TEMPORARY_LEFT;
      return Fail(r, ACBC_E_WRITE, out->leftover);
    }
    out->temporary[0] = '\0';
  }
  return ACBC_OK;
}

// ---------------------------------------------------------------- piecewise output

static_assert(sizeof(Output) <= sizeof(OutputSlot) && alignof(Output) <= alignof(OutputSlot));

acbc_status OutputBegin(OutputSlot* slot, const char* path, unsigned flags, acbc_result* r) {
  auto* out = new (slot->bytes) Output;
  // No input: the mode is that of an input that is not a regular file.
  const Input none;
  acbc_status status = PrepareOutput(path, none, flags, false, out, r);
  if (status == ACBC_OK) status = CreateOutput(out, r);
  if (status != ACBC_OK) DiscardOutput(out, r);
  return status;
}

acbc_status OutputWriteAt(OutputSlot* slot, const std::uint8_t* buffer, std::size_t size,
                          std::int64_t offset, acbc_result* r) {
  const int fd = std::launder(reinterpret_cast<Output*>(slot->bytes))->fd;
  while (size > 0) {
    const ssize_t n = pwrite(fd, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(r, ACBC_E_WRITE, n < 0 ? errno : EIO);
    buffer += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
    r->bytes_written += n;
  }
  return ACBC_OK;
}

acbc_status OutputCommit(OutputSlot* slot, acbc_result* r) {
  auto* out = std::launder(reinterpret_cast<Output*>(slot->bytes));
  const acbc_status status = CommitOutput(out, r);
  DiscardOutput(out, r);
  return status;
}

void OutputDiscard(OutputSlot* slot, acbc_result* r) {
  DiscardOutput(std::launder(reinterpret_cast<Output*>(slot->bytes)), r);
}

}  // namespace pellfold::acbc
