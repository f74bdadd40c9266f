/*
 * fault_shim.so: an LD_PRELOAD library that makes the Nth call of one
 * family of file calls fail, to drive a program down its error paths.
 *
 *   FAULT_CALL   the family: read, pread, write, pwrite, fsync, fdatasync,
 *                close, lseek, renameat2, linkat, unlinkat or openat
 *   FAULT_NTH    the call (1 for the first) that fails; 0 or unset: none
 *   FAULT_ERRNO  EIO (the default) or ENOSPC
 *   FAULT_COUNT  a file that receives, at exit, one line "FAMILY COUNT" for
 *                every family, so that a first run tells how far to sweep
 *   FAULT_OLD_FS set: every open with O_TMPFILE fails with EOPNOTSUPP and
 *                every renameat2 with EINVAL, as on a file system without
 *                unnamed files or RENAME_NOREPLACE (not counted)
 *   FAULT_REWRITE a file: the chosen call does not fail; before it runs,
 *                20 ms on (a coarse file-system clock moves), the file's
 *                first bytes are overwritten in place, its size kept, as by
 *                a writer racing with the program
 *
 * A family takes in the aliases glibc exports for the same operation
 * (pread64, lseek64, open, open64, openat64, fopen, mkostemp for openat,
 * renameat and rename for renameat2, link for linkat, unlink for
 * unlinkat). The failing call does nothing and returns -1 (NULL for fopen)
 * with the chosen errno, except close: the descriptor is released first, as
 * the kernel releases it when close reports an error. Calls glibc makes
 * inside itself (stdio's own reads and writes) do not pass through here.
 */
#undef _FORTIFY_SOURCE /* the wrappers define read, open, ...: no inline versions */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

enum family {
  READ,
  PREAD,
  WRITE,
  PWRITE,
  FSYNC,
  FDATASYNC,
  CLOSE,
  LSEEK,
  RENAME,
  LINK,
  UNLINK,
  OPEN,
  FAMILIES
};

static const char* const family_names[FAMILIES] = {"read",      "pread",     "write",    "pwrite",
                                                   "fsync",     "fdatasync", "close",    "lseek",
                                                   "renameat2", "linkat",    "unlinkat", "openat"};

static atomic_long counts[FAMILIES];
static int chosen = -1; /* the family that fails, -1 for none */
static long nth;
static int fault_errno = EIO;
static int old_fs;
static const char* rewrite_path;

/* dlsym returns an object pointer; a function pointer is copied out of it
   bytewise, the conversion ISO C leaves undefined but POSIX requires. */
static void* next_symbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == NULL) {
    static const char message[] = "fault_shim: a symbol is missing\n";
    (void)!write(2, message, sizeof message - 1);
    abort();
  }
  return symbol;
}
/* Declares `var`, the next definition of the function `name`. */
#define NEXT(var, type, name)                    \
  static __typeof__(type) var = NULL;            \
  if (var == NULL) {                             \
    void* symbol = next_symbol(name);            \
    memcpy((void*)&var, &symbol, sizeof symbol); \
  }

__attribute__((constructor)) static void configure(void) {
  const char* call = getenv("FAULT_CALL");
  const char* which = getenv("FAULT_NTH");
  const char* error = getenv("FAULT_ERRNO");
  if (call != NULL) {
    for (int f = 0; f < FAMILIES; ++f) {
      if (strcmp(call, family_names[f]) == 0) chosen = f;
    }
    if (chosen < 0) {
      fprintf(stderr, "fault_shim: unknown FAULT_CALL '%s'\n", call);
      _exit(125);
    }
  }
  nth = which != NULL ? strtol(which, NULL, 10) : 0;
  if (error != NULL && strcmp(error, "ENOSPC") == 0) fault_errno = ENOSPC;
  old_fs = getenv("FAULT_OLD_FS") != NULL;
  rewrite_path = getenv("FAULT_REWRITE");
}

static void rewrite(void) {
  NEXT(real_openat, int (*)(int, const char*, int, ...), "openat")
  NEXT(real_pwrite, ssize_t(*)(int, const void*, size_t, off_t), "pwrite")
  NEXT(real_close, int (*)(int), "close")
  nanosleep(&(struct timespec){0, 20000000}, NULL);
  const int fd = real_openat(AT_FDCWD, rewrite_path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!real_pwrite(fd, "rewritten", 9, 0);
  real_close(fd);
}

/* Counts one call of `f`; true when it is the one that must fail. */
static int fails(enum family f) {
  const long n = atomic_fetch_add(&counts[f], 1) + 1;
  if ((int)f != chosen || n != nth) return 0;
  if (rewrite_path != NULL) {
    rewrite();
    return 0;
  }
  errno = fault_errno;
  return 1;
}

__attribute__((destructor)) static void report_counts(void) {
  const char* path = getenv("FAULT_COUNT");
  if (path == NULL) return;
  NEXT(real_openat, int (*)(int, const char*, int, ...), "openat")
  NEXT(real_write, ssize_t(*)(int, const void*, size_t), "write")
  NEXT(real_close, int (*)(int), "close")
  const int fd = real_openat(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (int f = 0; f < FAMILIES; ++f) {
    char line[64];
    const int size =
        snprintf(line, sizeof line, "%s %ld\n", family_names[f], atomic_load(&counts[f]));
    if (size > 0) (void)!real_write(fd, line, (size_t)size);
  }
  real_close(fd);
}

/* One wrapper per exported name: count, fail when chosen, else pass on. */
#define WRAP(family, ret, name, params, args) \
  ret name params {                           \
    NEXT(real, ret(*) params, #name)          \
    if (fails(family)) return -1;             \
    return real args;                         \
  }

WRAP(READ, ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
WRAP(PREAD, ssize_t, pread, (int fd, void* buffer, size_t size, off_t offset),
     (fd, buffer, size, offset))
WRAP(PREAD, ssize_t, pread64, (int fd, void* buffer, size_t size, off64_t offset),
     (fd, buffer, size, offset))
WRAP(WRITE, ssize_t, write, (int fd, const void* buffer, size_t size), (fd, buffer, size))
WRAP(PWRITE, ssize_t, pwrite, (int fd, const void* buffer, size_t size, off_t offset),
     (fd, buffer, size, offset))
WRAP(PWRITE, ssize_t, pwrite64, (int fd, const void* buffer, size_t size, off64_t offset),
     (fd, buffer, size, offset))
WRAP(FSYNC, int, fsync, (int fd), (fd))
WRAP(FDATASYNC, int, fdatasync, (int fd), (fd))
WRAP(LSEEK, off_t, lseek, (int fd, off_t offset, int whence), (fd, offset, whence))
WRAP(LSEEK, off64_t, lseek64, (int fd, off64_t offset, int whence), (fd, offset, whence))
WRAP(RENAME, int, rename, (const char* from, const char* to), (from, to))
WRAP(RENAME, int, renameat, (int from_dir, const char* from, int to_dir, const char* to),
     (from_dir, from, to_dir, to))
int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  NEXT(real, int (*)(int, const char*, int, const char*, unsigned), "renameat2")
  if (old_fs) {
    errno = EINVAL;
    return -1;
  }
  if (fails(RENAME)) return -1;
  return real(from_dir, from, to_dir, to, flags);
}
WRAP(LINK, int, link, (const char* from, const char* to), (from, to))
WRAP(LINK, int, linkat, (int from_dir, const char* from, int to_dir, const char* to, int flags),
     (from_dir, from, to_dir, to, flags))
WRAP(UNLINK, int, unlink, (const char* path), (path))
WRAP(UNLINK, int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags))
WRAP(OPEN, int, mkostemp, (char* pattern, int flags), (pattern, flags))

int close(int fd) {
  NEXT(real, int (*)(int), "close")
  const int result = real(fd);
  return fails(CLOSE) ? -1 : result;
}

/* The open calls take a mode only with O_CREAT or O_TMPFILE. */
static mode_t mode_argument(int flags, va_list arguments) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(arguments, int)
                                                                    : 0;
}
/* True, with errno set, when the open must fail. */
static int open_fails(int flags) {
  if (old_fs && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return 1;
  }
  return fails(OPEN);
}
#define WRAP_OPEN(name)                                  \
  int name(const char* path, int flags, ...) {           \
    NEXT(real, int (*)(const char*, int, ...), #name)    \
    va_list arguments;                                   \
    va_start(arguments, flags);                          \
    const mode_t mode = mode_argument(flags, arguments); \
    va_end(arguments);                                   \
    if (open_fails(flags)) return -1;                    \
    return real(path, flags, mode);                      \
  }
#define WRAP_OPENAT(name)                                  \
  int name(int dir, const char* path, int flags, ...) {    \
    NEXT(real, int (*)(int, const char*, int, ...), #name) \
    va_list arguments;                                     \
    va_start(arguments, flags);                            \
    const mode_t mode = mode_argument(flags, arguments);   \
    va_end(arguments);                                     \
    if (open_fails(flags)) return -1;                      \
    return real(dir, path, flags, mode);                   \
  }
WRAP_OPEN(open)
WRAP_OPEN(open64)
WRAP_OPENAT(openat)
WRAP_OPENAT(openat64)

FILE* fopen(const char* path, const char* mode) {
  NEXT(real, FILE * (*)(const char*, const char*), "fopen")
  if (fails(OPEN)) return NULL;
  return real(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
  NEXT(real, FILE * (*)(const char*, const char*), "fopen64")
  if (fails(OPEN)) return NULL;
  return real(path, mode);
}
