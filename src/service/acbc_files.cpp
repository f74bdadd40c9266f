// The file and descriptor calls of acbc.h: inputs read with pread from a
// known size, outputs written to an unnamed temporary file in the output's
// folder and linked into place only when complete.
#include <acbc.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "service/acbc_engine.h"
#include "service/acbc_output.h"

namespace pellfold::acbc {
namespace {

constexpr unsigned kEncryptFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kDecryptFlags =
    ACBC_REPLACE | ACBC_SALVAGE | ACBC_NO_PASSWORD_CHECK | ACBC_NO_SYNC;
constexpr unsigned kRekeyFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr int kMaxLinks = 40;
constexpr int kTemporaryAttempts = 100;
// Room left in a temporary name for the dot, the suffix and its letters.
constexpr std::size_t kMaxTemporaryStem = 200;
// Where umask cannot be read, the output is readable by its owner only.
constexpr mode_t kFallbackUmask = 077;

// ---------------------------------------------------------------- input

struct Input {
  int fd = -1;
  bool owned = false;
  off_t base = 0;         // where the file begins for this call
  std::int64_t size = 0;  // bytes from base to the end
  struct stat st {};
};

void CloseInput(Input* in) {
  if (in->owned && in->fd >= 0) close(in->fd);
  in->fd = -1;
}

// Takes the descriptor's size and start. A regular file's size comes from
// fstat; a device that seeks tells its end by lseek, after which the
// offset is put back. A pipe, FIFO or socket has no length.
acbc_status MeasureInput(Input* in, acbc_result* r) {
  if (fstat(in->fd, &in->st) != 0) return Fail(r, ACBC_E_INPUT_OPEN, errno);
  if (S_ISDIR(in->st.st_mode)) return Fail(r, ACBC_E_INPUT_OPEN, EISDIR);
  if (S_ISFIFO(in->st.st_mode) || S_ISSOCK(in->st.st_mode)) {
    return Fail(r, ACBC_E_INPUT_LENGTH, ESPIPE);
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

// Reads [offset, end) of a descriptor with pread, whatever its own offset.
struct FdSource {
  int fd;
  off_t offset;
  off_t end;
};

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

Reader FdReader(FdSource* source) {
  return Reader{ReadFd, source};
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

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

// Reads the header record (the rest zero-filled) and classifies the file.
acbc_status ReadLayout(const Input& in, Layout* layout, acbc_result* r) {
  std::uint8_t header[kRecord] = {};
  FdSource source{in.fd, in.base,
                  in.base + static_cast<off_t>(in.size < kRecord ? in.size : kRecord)};
  const std::int64_t got = ReadFull(FdReader(&source), header, sizeof header, r);
  if (got < 0) return r->status;
  *layout = Classify(header, got, in.size - got);
  if (layout->haveLength) r->length = layout->length;
  return ACBC_OK;
}

// Reads and checks the padding of the record that holds the plaintext's
// last byte.
acbc_status CheckPasswordAt(const Input& in, const Layout& layout, const CallKey& key,
                            acbc_result* r) {
  std::uint8_t record[kRecord];
  const off_t at = in.base + kRecord + static_cast<off_t>((layout.recordsExpected - 1) * kRecord);
  FdSource source{in.fd, at, at + kRecord};
  const std::int64_t got = ReadFull(FdReader(&source), record, sizeof record, r);
  r->bytes_read -= got > 0 ? got : 0;  // looked at, not consumed
  if (got < 0) return r->status;
  if (got < kRecord) return Fail(r, ACBC_E_INPUT_CHANGED, 0);
  return CheckPadding(key, layout.length, record, r);
}

// ---------------------------------------------------------------- output

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

struct Output {
  int dirFd = -1;
  int fd = -1;
  bool inPlace = false;  // an existing file that is not regular: written directly
  bool unnamed = false;  // fd is an O_TMPFILE file
  bool replace = false;
  bool sync = true;
  mode_t mode = 0600;
  // An in-place rewrite keeps the file's owner where it may (as root).
  bool keepOwner = false;
  uid_t owner = 0;
  gid_t group = 0;
  char target[PATH_MAX] = {};
  char base[NAME_MAX + 1] = {};
  char temporary[NAME_MAX + 1] = {};  // a named temporary file in the folder, when there is one
  // Why the temporary name could not be removed once the output was linked
  // under its own name; 0 when it was.
  int leftover = 0;
};

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
  if (exists) {
    if (S_ISDIR(st.st_mode)) return Fail(r, ACBC_E_OUTPUT_OPEN, EISDIR);
    const bool same = st.st_dev == in.st.st_dev && st.st_ino == in.st.st_ino;
    if (same && !inPlace) return Fail(r, ACBC_E_SAME_FILE, 0);
    if (!S_ISREG(st.st_mode)) {
      if (inPlace) return Fail(r, ACBC_E_SAME_FILE, 0);
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

void DiscardOutput(Output* out) {
  if (out->fd >= 0) close(out->fd);
  out->fd = -1;
  if (out->temporary[0] != '\0') unlinkat(out->dirFd, out->temporary, 0);
  out->temporary[0] = '\0';
  if (out->dirFd >= 0) close(out->dirFd);
  out->dirFd = -1;
}

bool NoUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

acbc_status CreateOutput(Output* out, acbc_result* r) {
  if (out->inPlace) {
    out->fd = open(out->target, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    return out->fd < 0 ? Fail(r, ACBC_E_OUTPUT_OPEN, errno) : ACBC_OK;
  }
  out->fd = openat(out->dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out->fd >= 0) {
    out->unnamed = true;
  } else {
    if (!NoUnnamedFiles(errno)) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
    for (int attempt = 0; attempt < kTemporaryAttempts && out->fd < 0; ++attempt) {
      char name[NAME_MAX + 1];
      RandomName(out->base, name, sizeof name);
      out->fd =
          openat(out->dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

// Writes all of a buffer to a descriptor, through short writes.
int WriteFd(void* context, const void* buffer, std::size_t size) {
  const int fd = *static_cast<const int*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Gives the unnamed file the name `name` in the folder.
int LinkUnnamed(const Output& out, const char* name) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", out.fd);
  if (linkat(AT_FDCWD, proc, out.dirFd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  // Without /proc: the descriptor itself (needs CAP_DAC_READ_SEARCH).
  return linkat(out.fd, "", out.dirFd, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// Puts the complete output under its name: a link that refuses an existing
// name, or under ACBC_REPLACE a rename over it.
int Publish(Output* out) {
  if (out->unnamed && !out->replace) return LinkUnnamed(*out, out->base);
  if (out->unnamed) {
    // A rename is the only way over an existing name: link the file under a
    // temporary one first.
    int error = EEXIST;
    for (int attempt = 0; attempt < kTemporaryAttempts && error == EEXIST; ++attempt) {
      char name[NAME_MAX + 1];
      RandomName(out->base, name, sizeof name);
      error = LinkUnnamed(*out, name);
      if (error == 0) std::memcpy(out->temporary, name, sizeof name);
    }
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

acbc_status CommitOutput(Output* out, acbc_result* r) {
  if (out->inPlace) {
    const int rc = close(out->fd);
    out->fd = -1;
    return rc != 0 && errno != EINTR ? Fail(r, ACBC_E_WRITE, errno) : ACBC_OK;
  }
  // Everything is on the disk before the name points at it, or a crash
  // right after could leave a partial file under the name.
  if (out->sync && fsync(out->fd) != 0) return Fail(r, ACBC_E_WRITE, errno);
  if (!out->unnamed) {
    const int rc = close(out->fd);
    out->fd = -1;
    if (rc != 0 && errno != EINTR) return Fail(r, ACBC_E_WRITE, errno);
  }
  const int error = Publish(out);
  if (error == EEXIST) return Fail(r, ACBC_E_OUTPUT_EXISTS, EEXIST);
  if (error != 0) return Fail(r, ACBC_E_WRITE, error);
  if (out->fd >= 0) {
    close(out->fd);
    out->fd = -1;
  }
  // The new name reaches the disk too. Some file systems cannot sync a
  // folder at all (EINVAL).
  if (out->sync && fsync(out->dirFd) != 0 && errno != EINVAL && errno != EROFS) {
    return Fail(r, ACBC_E_WRITE, errno);
  }
  if (out->leftover != 0) {
    if (unlinkat(out->dirFd, out->temporary, 0) != 0) return Fail(r, ACBC_E_WRITE, out->leftover);
    out->temporary[0] = '\0';
  }
  return ACBC_OK;
}

// ---------------------------------------------------------------- calls

// Runs `pass` into a new output and publishes it, or discards it on any
// failure; the input must not change meanwhile.
template <typename Pass>
acbc_status WriteOutput(const Input& in, Output* out, acbc_result* r, Pass pass) {
  acbc_status status = CreateOutput(out, r);
  if (status == ACBC_OK) {
    Writer writer{WriteFd, &out->fd};
    status = pass(writer);
  }
  if (status == ACBC_OK) status = CheckUnchanged(in, r);
  if (status == ACBC_OK) status = CommitOutput(out, r);
  DiscardOutput(out);
  return status;
}

acbc_status EncryptInput(const Input& in, const char* output, const void* password,
                         std::size_t passwordLength, unsigned flags, const acbc_progress* progress,
                         acbc_result* r) {
  if (in.size > kMaxLength) return Fail(r, ACBC_E_TOO_LARGE, 0);
  r->length = in.size;
  Output out;
  acbc_status status = PrepareOutput(output, in, flags, false, &out, r);
  if (status != ACBC_OK) {
    DiscardOutput(&out);
    return status;
  }
  CallKey key;
  SetUpKey(password, passwordLength, &key);
  FdSource source{in.fd, in.base, in.base + static_cast<off_t>(in.size)};
  status = WriteOutput(in, &out, r, [&](Writer writer) {
    return EncryptPass(FdReader(&source), static_cast<std::int32_t>(in.size), false, writer, key,
                       Progress{progress, in.size}, r);
  });
  Wipe(&key);
  return status;
}

// The checks of decryption before anything is written: header, size
// verdict, password.
acbc_status CheckEncrypted(const Input& in, unsigned flags, const CallKey& key, Layout* layout,
                           acbc_result* r) {
  acbc_status status = ReadLayout(in, layout, r);
  if (status != ACBC_OK) return status;
  if (!layout->haveLength) return Fail(r, ACBC_E_NOT_ACBC, 0);
  if (layout->status == ACBC_E_DAMAGED) {
    if ((flags & ACBC_SALVAGE) == 0) return Fail(r, ACBC_E_DAMAGED, 0);
    r->warnings |= ACBC_WARN_SALVAGED;
  }
  if (layout->trailingBytes > 0) r->warnings |= ACBC_WARN_TRAILING_DATA;
  if (layout->status == ACBC_OK && (flags & ACBC_NO_PASSWORD_CHECK) == 0) {
    status = CheckPasswordAt(in, *layout, key, r);
    if (status != ACBC_OK) return Fail(r, status, r->error_number);
  }
  return ACBC_OK;
}

acbc_status DecryptInput(const Input& in, const char* output, const void* password,
                         std::size_t passwordLength, unsigned flags, const acbc_progress* progress,
                         acbc_result* r) {
  CallKey key;
  SetUpKey(password, passwordLength, &key);
  Layout layout;
  Output out;
  acbc_status status = ReadLayout(in, &layout, r);
  // Not ACBC is told before anything about the output.
  if (status == ACBC_OK && !layout.haveLength) status = Fail(r, ACBC_E_NOT_ACBC, 0);
  if (status == ACBC_OK) status = PrepareOutput(output, in, flags, false, &out, r);
  if (status == ACBC_OK) {
    r->bytes_read = 0;
    status = CheckEncrypted(in, flags, key, &layout, r);
  }
  if (status != ACBC_OK) {
    Wipe(&key);
    DiscardOutput(&out);
    return status;
  }
  const std::int64_t body = BodyToRead(layout);
  FdSource source{in.fd, in.base + kRecord, in.base + kRecord + static_cast<off_t>(body)};
  status = WriteOutput(in, &out, r, [&](Writer writer) {
    BodyPlan plan;
    plan.length = layout.length;
    plan.readBytes = body;
    plan.known = true;
    plan.salvage = true;
    plan.done = layout.headerBytes;
    return DecryptPass(FdReader(&source), plan, writer, key,
                       Progress{progress, layout.headerBytes + body}, r);
  });
  Wipe(&key);
  return status;
}

acbc_status VerifyInput(const Input& in, const void* password, std::size_t passwordLength,
                        acbc_result* r) {
  CallKey key;
  SetUpKey(password, passwordLength, &key);
  Layout layout;
  const acbc_status status = CheckEncrypted(in, 0, key, &layout, r);
  Wipe(&key);
  return status;
}

acbc_status InspectInput(const Input& in, acbc_info* info, acbc_result* r) {
  Layout layout;
  const acbc_status status = ReadLayout(in, &layout, r);
  if (status != ACBC_OK) return status;
  FillInfo(layout, info);
  return layout.status;
}

void ResetInfo(acbc_info* info) {
  info->file_size = 0;
  info->length = -1;
  info->records_expected = 0;
  info->records_present = 0;
  info->trailing_bytes = 0;
}

acbc_status RekeyInput(const Input& in, const char* output, const void* oldPassword,
                       std::size_t oldLength, const void* newPassword, std::size_t newLength,
                       unsigned flags, const acbc_progress* progress, acbc_result* r,
                       const char* inputPath) {
  CallKey oldKey;
  SetUpKey(oldPassword, oldLength, &oldKey);
  Layout layout;
  Output out;
  acbc_status status = ReadLayout(in, &layout, r);
  if (status == ACBC_OK && !layout.haveLength) status = Fail(r, ACBC_E_NOT_ACBC, 0);
  if (status == ACBC_OK) {
    const bool inPlace = output == nullptr;
    status = PrepareOutput(inPlace ? inputPath : output, in, flags, inPlace, &out, r);
  }
  if (status == ACBC_OK) {
    r->bytes_read = 0;
    status = CheckEncrypted(in, 0, oldKey, &layout, r);
  }
  if (status != ACBC_OK) {
    Wipe(&oldKey);
    DiscardOutput(&out);
    return status;
  }
  EncryptionPasswordWarnings(newLength, r);
  CallKey newKey;
  SetUpKey(newPassword, newLength, &newKey);
  const std::int64_t body = layout.recordsExpected * kRecord;
  FdSource source{in.fd, in.base + kRecord, in.base + kRecord + static_cast<off_t>(body)};
  r->bytes_read = kRecord;
  status = WriteOutput(in, &out, r, [&](Writer writer) {
    return RekeyPass(FdReader(&source), layout.length, writer, oldKey, newKey,
                     Progress{progress, kRecord + body}, r);
  });
  Wipe(&oldKey);
  Wipe(&newKey);
  return status;
}

}  // namespace

// ---------------------------------------------------------------- piecewise output

static_assert(sizeof(Output) <= sizeof(OutputSlot) && alignof(Output) <= alignof(OutputSlot));

acbc_status OutputBegin(OutputSlot* slot, const char* path, unsigned flags, acbc_result* r) {
  auto* out = new (slot->bytes) Output;
  // No input: the mode is that of an input that is not a regular file.
  const Input none;
  acbc_status status = PrepareOutput(path, none, flags, false, out, r);
  if (status == ACBC_OK) status = CreateOutput(out, r);
  if (status != ACBC_OK) DiscardOutput(out);
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
  DiscardOutput(out);
  return status;
}

void OutputDiscard(OutputSlot* slot) {
  DiscardOutput(std::launder(reinterpret_cast<Output*>(slot->bytes)));
}

}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API acbc_status acbc_encrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (password_length == 0) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  Input in;
  acbc_status status = OpenInputPath(input, &in, &r);
  if (status == ACBC_OK) {
    status = EncryptInput(in, output, password, password_length, flags, progress, &r);
  }
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_encrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (password_length == 0) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  Input in;
  acbc_status status = OpenInputFd(input_fd, &in, &r);
  if (status == ACBC_OK) {
    status = EncryptInput(in, output, password, password_length, flags, progress, &r);
  }
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_decrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  Input in;
  acbc_status status = OpenInputPath(input, &in, &r);
  if (status == ACBC_OK) {
    status = DecryptInput(in, output, password, password_length, flags, progress, &r);
  }
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_decrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  Input in;
  acbc_status status = OpenInputFd(input_fd, &in, &r);
  if (status == ACBC_OK) {
    status = DecryptInput(in, output, password, password_length, flags, progress, &r);
  }
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_rekey_file(const char* input, const char* output,
                                     const void* old_password, size_t old_length,
                                     const void* new_password, size_t new_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || !PasswordValid(old_password, old_length) ||
      !PasswordValid(new_password, new_length) || !FlagsValid(flags, kRekeyFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (new_length == 0) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  Input in;
  acbc_status status = OpenInputPath(input, &in, &r);
  if (status == ACBC_OK) {
    status = RekeyInput(in, output, old_password, old_length, new_password, new_length, flags,
                        progress, &r, input);
  }
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_verify_file(const char* path, const void* password,
                                      size_t password_length, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (path == nullptr || !PasswordValid(password, password_length)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  Input in;
  acbc_status status = OpenInputPath(path, &in, &r);
  if (status == ACBC_OK) status = VerifyInput(in, password, password_length, &r);
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_verify_fd(int fd, const void* password, size_t password_length,
                                    acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (!PasswordValid(password, password_length)) return Finish(result, &r, ACBC_E_ARGUMENT);
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = VerifyInput(in, password, password_length, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_inspect_file(const char* path, acbc_info* info) {
  if (path == nullptr || info == nullptr) return ACBC_E_ARGUMENT;
  ResetInfo(info);
  acbc_result r;
  ResetResult(&r);
  Input in;
  acbc_status status = OpenInputPath(path, &in, &r);
  if (status == ACBC_OK) status = InspectInput(in, info, &r);
  CloseInput(&in);
  return status;
}

ACBC_API acbc_status acbc_inspect_fd(int fd, acbc_info* info) {
  if (info == nullptr) return ACBC_E_ARGUMENT;
  ResetInfo(info);
  acbc_result r;
  ResetResult(&r);
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = InspectInput(in, info, &r);
  return status;
}

}  // extern "C"
