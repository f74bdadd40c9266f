/*
 * acbc_api_test - every call of acbc.h, in process, from C11. The files
 * AESEncypt and AESDecrypt write (each run in a child process) are the
 * reference; every refusal is checked for its status, its error number and
 * for leaving both working folders exactly as they were.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <uchar.h>
#include <unistd.h>

#include "acbc.h"
#include "pellfold.h"

static int failures, checks;
#define CHECK(cond, ...)                                         \
  do {                                                           \
    ++checks;                                                    \
    if (!(cond)) {                                               \
      ++failures;                                                \
      fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                              \
      fputc('\n', stderr);                                       \
    }                                                            \
  } while (0)

static const char kPass[] = "pass word";
#define PASS kPass, sizeof kPass - 1
static const char kAgePass[] = "age pass phrase";
static char root[256], in[300], out[300];

static char* At(char* buffer, const char* dir, const char* name) {
  snprintf(buffer, 600, "%s/%s", dir, name);
  return buffer;
}
#define IN(name) At((char[600]){0}, in, name)
#define OUT(name) At((char[600]){0}, out, name)

typedef struct {
  unsigned char* data;
  size_t size;
} Bytes;

static Bytes Pattern(size_t size, unsigned seed) {
  Bytes b = {malloc(size + 1), size};
  for (size_t i = 0; i < size; ++i) b.data[i] = (unsigned char)((i * 131u + i / 509u + seed) >> 1u);
  return b;
}

static void Put(const char* path, const void* data, size_t size) {
  FILE* f = fopen(path, "wb");
  if (f == NULL || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();
}

static Bytes Get(const char* path) {
  Bytes b = {NULL, 0};
  FILE* f = fopen(path, "rb");
  if (f == NULL) return b;
  fseek(f, 0, SEEK_END);
  b.size = (size_t)ftell(f);
  rewind(f);
  b.data = malloc(b.size + 1);
  if (fread(b.data, 1, b.size, f) != b.size) abort();
  fclose(f);
  return b;
}

static mode_t ModeOf(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 ? st.st_mode & 07777 : 01000000;
}

static int IsLink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

static int Same(Bytes a, Bytes b) {
  return a.size == b.size && (a.size == 0 || memcmp(a.data, b.data, a.size) == 0);
}

/* A passphrase for age at scrypt work factor 10, for speed. */
static acbc_age_keys AgeKeys(const char* passphrase) {
  return (acbc_age_keys){passphrase, passphrase != NULL ? strlen(passphrase) : 0, 10, NULL, 0, NULL,
                         0};
}

/* True when the file at `path` holds exactly `want`. */
static int Holds(const char* path, Bytes want) {
  Bytes got = Get(path);
  const int same = got.data != NULL && Same(got, want);
  free(got.data);
  return same;
}

/* Runs AESEncypt or AESDecrypt (ASCII arguments) in a child process. */
static int Export(int encrypt, const char* input, const char* output, const char* password) {
  const pid_t pid = fork();
  if (pid == 0) {
    char16_t args[3][600];
    const char* text[3] = {input, output, password};
    for (int a = 0; a < 3; ++a) {
      size_t i = 0;
      for (; text[a][i] != '\0'; ++i) args[a][i] = (char16_t)(unsigned char)text[a][i];
      args[a][i] = 0;
    }
    _exit(encrypt ? AESEncypt(args[0], args[1], args[2]) != 999
                  : AESDecrypt(args[0], args[1], args[2]) != 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* Order-independent digest of a folder: names, kinds, modes, sizes, contents. */
static uint64_t Signature(const char* dir) {
  uint64_t total = 0;
  DIR* d = opendir(dir);
  for (struct dirent* e; d != NULL && (e = readdir(d)) != NULL;) {
    char path[600];
    struct stat st;
    At(path, dir, e->d_name);
    lstat(path, &st);
    uint64_t h = 1469598103934665603u ^ (uint64_t)st.st_mode ^ ((uint64_t)st.st_size << 20u);
    for (const char* c = e->d_name; *c != '\0'; ++c) h = (h ^ (unsigned char)*c) * 1099511628211u;
    if (S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
      Bytes b = Get(path);
      for (size_t i = 0; i < b.size; ++i) h = (h ^ b.data[i]) * 1099511628211u;
      free(b.data);
    }
    total += h;
  }
  if (d != NULL) closedir(d);
  return total;
}

/* Stream callbacks: short reads of `step` bytes, and a failure at call N. */
typedef struct {
  Bytes bytes;
  size_t at, step;
  int calls, failAt;
} Source;
typedef struct {
  Bytes bytes;
  int calls, failAt;
} Sink;

static ptrdiff_t Read(void* context, void* buffer, size_t size) {
  Source* s = context;
  if (++s->calls == s->failAt) {
    errno = EIO;
    return -1;
  }
  size_t n = s->bytes.size - s->at;
  if (n > size) n = size;
  if (n > s->step) n = s->step;
  memcpy(buffer, s->bytes.data + s->at, n);
  s->at += n;
  return (ptrdiff_t)n;
}

static int Write(void* context, const void* buffer, size_t size) {
  Sink* s = context;
  if (++s->calls == s->failAt) {
    errno = ENOSPC;
    return -1;
  }
  s->bytes.data = realloc(s->bytes.data, s->bytes.size + size + 1);
  memcpy(s->bytes.data + s->bytes.size, buffer, size);
  s->bytes.size += size;
  return 0;
}

/* Progress: counts calls, remembers the last, and can stop or change the
 * input: stopAt -1 appends a byte to it at each report, -2 rewrites its
 * first bytes in place at the first one, once the file-system clock has
 * moved on (the size stays). */
typedef struct {
  int calls, stopAt;
  int64_t done, total;
  const char* grow;
} Watch;

static int Report(void* context, int64_t done, int64_t total) {
  Watch* w = context;
  w->done = done;
  w->total = total;
  if (w->grow != NULL && w->stopAt == -2) {
    if (w->calls == 0) {
      nanosleep(&(struct timespec){0, 20000000}, NULL);
      FILE* f = fopen(w->grow, "r+b");
      fputs("rewritten", f);
      fclose(f);
    }
  } else if (w->grow != NULL) {
    FILE* f = fopen(w->grow, "ab");
    fputc('x', f);
    fclose(f);
  }
  return ++w->calls == w->stopAt;
}

/* ------------------------------------------------------------ round trips */

static void RoundTrip(size_t size) {
  const Bytes plain = Pattern(size, (unsigned)size);
  Put(IN("rt"), plain.data, plain.size);
  /* The outputs' mode: the input's & 0666 & ~umask (027 here), whatever it has. */
  const mode_t mode = (mode_t)(0400 | ((size * 37u) & 07377));
  chmod(IN("rt"), mode);
  CHECK(Export(1, IN("rt"), IN("rt.ref"), kPass), "AESEncypt failed");
  const Bytes ref = Get(IN("rt.ref"));
  CHECK((int64_t)ref.size == acbc_encrypted_size((int64_t)size), "size %zu", size);
  acbc_result r;
  Watch w = {0};
  acbc_progress p = {Report, &w};

  /* Encryption, four ways: each must give AESEncypt's bytes. */
  CHECK(acbc_encrypt_file(IN("rt"), OUT("f"), PASS, 0, &p, &r) == ACBC_OK, "%zu", size);
  CHECK(w.done == w.total && w.total == (int64_t)size && r.length == (int64_t)size, "progress");
  CHECK(Holds(OUT("f"), ref) && r.bytes_written == (int64_t)ref.size, "file form, size %zu", size);
  CHECK(ModeOf(OUT("f")) == (mode & 0640), "mode %o of %o", ModeOf(OUT("f")), mode);
  /* A descriptor is read from its offset, which stays where it was. */
  Bytes shifted = Pattern(size + 100, 7);
  memcpy(shifted.data + 100, plain.data, size);
  Put(IN("rt.shift"), shifted.data, shifted.size);
  chmod(IN("rt.shift"), mode);
  const int fd = open(IN("rt.shift"), O_RDONLY);
  lseek(fd, 100, SEEK_SET);
  CHECK(acbc_encrypt_fd(fd, OUT("d"), PASS, ACBC_NO_SYNC, NULL, &r) == ACBC_OK, "fd");
  CHECK(lseek(fd, 0, SEEK_CUR) == 100, "descriptor moved");
  CHECK(Holds(OUT("d"), ref) && ModeOf(OUT("d")) == (mode & 0640), "fd form, size %zu", size);
  Bytes buffer = {malloc(ref.size), ref.size};
  CHECK(acbc_encrypt_buffer(plain.data, size, buffer.data, ref.size, PASS, &r) == ACBC_OK, "buf");
  CHECK(Same(buffer, ref), "buffer form, size %zu", size);
  Source src = {plain, 0, 1000, 0, 0};
  Sink sink = {{NULL, 0}, 0, 0};
  CHECK(acbc_encrypt_stream(Read, &src, (int64_t)size, Write, &sink, PASS, NULL, &r) == ACBC_OK,
        "stream %s", acbc_status_name(r.status));
  CHECK(Same(sink.bytes, ref), "stream form, size %zu", size);

  /* Decryption, four ways, from AESEncypt's file. */
  const int pad = 512 - (int)(size % 512);
  const unsigned weak = pad < 4 ? ACBC_WARN_WEAK_CHECK : 0;
  w = (Watch){0};
  CHECK(acbc_decrypt_file(IN("rt.ref"), OUT("p"), PASS, 0, &p, &r) == ACBC_OK, "decrypt");
  CHECK(w.done == w.total && w.total == (int64_t)ref.size, "decrypt progress %lld of %lld",
        (long long)w.done, (long long)w.total);
  CHECK(r.padding_bytes == pad && r.warnings == weak, "padding %d, warnings %u", r.padding_bytes,
        r.warnings);
  CHECK(Holds(OUT("p"), plain), "decrypt file form, size %zu", size);
  const int rfd = open(IN("rt.ref"), O_RDONLY);
  CHECK(acbc_decrypt_fd(rfd, OUT("q"), PASS, ACBC_NO_SYNC, NULL, &r) == ACBC_OK, "decrypt fd");
  CHECK(Holds(OUT("q"), plain), "decrypt fd form, size %zu", size);
  CHECK(acbc_verify_fd(rfd, PASS, &r) == ACBC_OK && r.padding_bytes == pad, "verify fd");
  CHECK(acbc_verify_file(IN("rt.ref"), PASS, &r) == ACBC_OK, "verify");
  acbc_info info;
  CHECK(acbc_inspect_fd(rfd, &info) == ACBC_OK && info.length == (int64_t)size &&
            info.records_expected == (int64_t)size / 512 + 1 &&
            info.records_present == info.records_expected && info.file_size == (int64_t)ref.size,
        "inspect");
  CHECK(acbc_decrypt_buffer(ref.data, ref.size, buffer.data, size, PASS, 0, &r) == ACBC_OK &&
            r.bytes_written == (int64_t)size && memcmp(buffer.data, plain.data, size) == 0,
        "decrypt buffer form, size %zu", size);
  Source esrc = {ref, 0, 777, 0, 0};
  free(sink.bytes.data);
  sink = (Sink){{NULL, 0}, 0, 0};
  CHECK(acbc_decrypt_stream(Read, &esrc, Write, &sink, PASS, 0, NULL, &r) == ACBC_OK &&
            Same(sink.bytes, plain) && r.warnings == weak,
        "decrypt stream form, size %zu", size);

  /* Rekey gives the file the new password encrypts. */
  CHECK(acbc_rekey_file(IN("rt.ref"), OUT("k"), PASS, "new one!", 8, 0, NULL, &r) == ACBC_OK,
        "rekey");
  CHECK(acbc_encrypt_buffer(plain.data, size, buffer.data, ref.size, "new one!", 8, &r) == ACBC_OK,
        "encrypt new");
  CHECK(Holds(OUT("k"), buffer), "rekey, size %zu", size);
  /* In place, through a symbolic link: the file is replaced, link, owner and mode kept. */
  Put(OUT("k2"), ref.data, ref.size);
  chmod(OUT("k2"), 0604);
  CHECK(symlink("k2", OUT("k-link")) == 0, "symlink");
  CHECK(acbc_rekey_file(OUT("k-link"), NULL, PASS, "new one!", 8, 0, NULL, &r) == ACBC_OK, "rekey");
  CHECK(Holds(OUT("k2"), buffer) && ModeOf(OUT("k2")) == 0604 && IsLink(OUT("k-link")),
        "rekey in place, size %zu", size);

  /* Upgrade to age: the mode as for ACBC, and decrypted it is the plaintext. */
  const acbc_age_keys ak = AgeKeys(kAgePass), nk = AgeKeys("new age pass");
  w = (Watch){0};
  chmod(IN("rt.ref"), mode);
  CHECK(acbc_upgrade_file(IN("rt.ref"), OUT("u"), PASS, &ak, 0, &p, &r) == ACBC_OK &&
            r.length == (int64_t)size && r.warnings == weak && w.done == (int64_t)ref.size,
        "upgrade, size %zu: %s", size, acbc_status_name(r.status));
  CHECK(ModeOf(OUT("u")) == (mode & 0640), "upgrade mode %o", ModeOf(OUT("u")));
  /* Armored, the read-back goes through the armor too. */
  CHECK(
      acbc_upgrade_file(IN("rt.ref"), OUT("ua"), PASS, &ak, ACBC_AGE_ARMOR, NULL, &r) == ACBC_OK &&
          acbc_age_decrypt_file(OUT("ua"), OUT("ua.back"), &ak, 0, NULL, &r) == ACBC_OK &&
          Holds(OUT("ua.back"), plain),
      "armored upgrade, size %zu", size);
  acbc_format format = ACBC_FORMAT_UNKNOWN;
  CHECK(acbc_detect_file(OUT("u"), &format, &r) == ACBC_OK && format == ACBC_FORMAT_AGE &&
            acbc_detect_fd(rfd, &format, &r) == ACBC_OK && format == ACBC_FORMAT_ACBC,
        "detect");
  CHECK(acbc_age_decrypt_file(OUT("u"), OUT("u.back"), &ak, 0, NULL, &r) == ACBC_OK &&
            r.length == (int64_t)size && Holds(OUT("u.back"), plain),
        "upgraded file decrypts to the plaintext, size %zu", size);
  const Bytes u = Get(OUT("u"));
  acbc_age_info ai, ai2;
  CHECK(acbc_age_inspect_file(OUT("u"), &ai, &r) == ACBC_OK && ai.stanza_count == 1 &&
            ai.work_factor == 10 && strcmp(ai.stanza_types, "scrypt") == 0 && !ai.armored &&
            ai.file_size == (int64_t)u.size && ai.header_size > 0,
        "age inspect");
  /* Rekey copies the payload bytes; only the new passphrase opens the file. */
  CHECK(acbc_age_rekey_file(OUT("u"), OUT("u2"), &ak, &nk, 0, NULL, &r) == ACBC_OK, "age rekey");
  const Bytes u2 = Get(OUT("u2"));
  const int inspected = acbc_age_inspect_file(OUT("u2"), &ai2, &r) == ACBC_OK;
  CHECK(inspected && u2.size - (size_t)ai2.header_size == u.size - (size_t)ai.header_size &&
            memcmp(u2.data + ai2.header_size, u.data + ai.header_size,
                   u.size - (size_t)ai.header_size) == 0,
        "age rekey changed the payload, size %zu", size);
  CHECK(acbc_age_verify_file(OUT("u2"), &ak, &r) == ACBC_E_NO_MATCH &&
            acbc_age_verify_file(OUT("u2"), &nk, &r) == ACBC_OK,
        "age rekey: the new passphrase only");
  /* Armored age from a descriptor's offset, and back. */
  lseek(fd, 100, SEEK_SET);
  CHECK(acbc_age_encrypt_fd(fd, OUT("e"), &ak, ACBC_AGE_ARMOR, NULL, &r) == ACBC_OK &&
            acbc_age_inspect_file(OUT("e"), &ai, &r) == ACBC_OK && ai.armored &&
            lseek(fd, 0, SEEK_CUR) == 100,
        "armored age encryption");
  const int efd = open(OUT("e"), O_RDONLY);
  CHECK(acbc_age_decrypt_fd(efd, OUT("e.back"), &ak, 0, NULL, &r) == ACBC_OK &&
            acbc_age_verify_fd(efd, &ak, &r) == ACBC_OK && Holds(OUT("e.back"), plain),
        "armored age round trip, size %zu", size);
  close(efd);
  free(u.data);
  free(u2.data);
  close(fd);
  close(rfd);
  free(sink.bytes.data);
  free(buffer.data);
  free(shifted.data);
  free(ref.data);
  free(plain.data);
  for (const char* name = "f\0d\0p\0q\0k\0k2\0k-link\0u\0u.back\0u2\0ua\0ua.back\0e\0e.back\0";
       *name != '\0'; name += strlen(name) + 1) {
    unlink(OUT(name));
  }
}

/* Salvage writes what AESDecrypt writes, in every form. */
static void Salvage(const char* name, const char* header, size_t body) {
  char file[512] = {0};
  snprintf(file, sizeof file, "%s", header);
  Bytes bytes = Pattern(512 + body, 3);
  memcpy(bytes.data, file, 512);
  Put(IN(name), bytes.data, bytes.size);
  CHECK(Export(0, IN(name), OUT("ref"), kPass), "AESDecrypt");
  const Bytes ref = Get(OUT("ref"));
  acbc_result r;
  CHECK(acbc_decrypt_file(IN(name), OUT("s"), PASS, ACBC_SALVAGE, NULL, &r) == ACBC_OK &&
            (r.warnings & ACBC_WARN_SALVAGED) != 0,
        "%s: %s", name, acbc_status_name(r.status));
  CHECK(Holds(OUT("s"), ref), "%s: salvaged file differs", name);
  unsigned char* buffer = malloc(ref.size + 1);
  CHECK(acbc_decrypt_buffer(bytes.data, bytes.size, buffer, ref.size, PASS, ACBC_SALVAGE, &r) ==
                ACBC_OK &&
            r.bytes_written == (int64_t)ref.size && memcmp(buffer, ref.data, ref.size) == 0,
        "%s: salvaged buffer differs", name);
  Source src = {bytes, 0, 100, 0, 0};
  Sink sink = {{NULL, 0}, 0, 0};
  CHECK(acbc_decrypt_stream(Read, &src, Write, &sink, PASS, ACBC_SALVAGE, NULL, &r) == ACBC_OK &&
            Same(sink.bytes, ref),
        "%s: salvaged stream differs", name);
  CHECK(acbc_decrypt_stream(Read, &(Source){bytes, 0, 100, 0, 0}, Write, &sink, PASS, 0, NULL,
                            &r) == ACBC_E_DAMAGED,
        "%s: stream not refused", name);
  unlink(OUT("s"));
  unlink(OUT("ref"));
  free(buffer);
  free(sink.bytes.data);
  free(ref.data);
  free(bytes.data);
}

/* ------------------------------------------------------------ random access */

/* Ranges as (start, length) over a plaintext of `size` bytes: a start below
 * 0 counts from the end. Record and 128-record chunk boundaries, +-1. */
static const struct {
  int64_t start, length;
} kRanges[] = {
    {0, 0},       {0, 1},   {0, 512},    {511, 2},      {512, 512},     {513, 510},
    {100, 200},   {511, 1}, {65535, 2},  {65024, 1025}, {65536, 65536}, {1, 131071},
    {0, 1 << 30}, {-1, 10}, {-512, 512}, {-513, 600},   {0, -1},        {-0x7fffffff, 1},
};

static void RandomAccess(size_t size) {
  const Bytes plain = Pattern(size, (unsigned)size + 5);
  Put(IN("ra"), plain.data, plain.size);
  acbc_result r;
  CHECK(acbc_encrypt_file(IN("ra"), IN("ra.acbc"), PASS, ACBC_REPLACE | ACBC_NO_SYNC, NULL, &r) ==
            ACBC_OK,
        "encrypt");
  const int fd = open(IN("ra.acbc"), O_RDONLY);
  unsigned char* got = malloc(size + 2 * 65536);
  for (size_t i = 0; i < sizeof kRanges / sizeof kRanges[0]; ++i) {
    int64_t start = kRanges[i].start < 0 ? (int64_t)size + kRanges[i].start : kRanges[i].start;
    if (kRanges[i].length < 0) start = (int64_t)size; /* at the end exactly */
    if (start < 0) start = (int64_t)size + 7;         /* past the end */
    const size_t length = (size_t)(kRanges[i].length < 0 ? 5 : kRanges[i].length);
    const size_t want = start >= (int64_t)size          ? 0
                        : length < size - (size_t)start ? length
                                                        : size - (size_t)start;
    memset(got, 0xA5, size + 2 * 65536);
    const unsigned flags = i % 2 ? ACBC_PASSWORD_CHECKED : 0;
    const acbc_status s = acbc_read_at(fd, got, length, start, PASS, flags, &r);
    CHECK(s == ACBC_OK && r.bytes_written == (int64_t)want && r.length == (int64_t)size &&
              memcmp(got, plain.data + (want ? start : 0), want) == 0 && got[want] == 0xA5,
          "size %zu, range %lld+%zu: %s, %lld bytes, length %lld", size, (long long)start, length,
          acbc_status_name(s), (long long)r.bytes_written, (long long)r.length);
  }
  /* The piecewise writer gives acbc_encrypt_file's bytes, in uneven pieces. */
  acbc_writer w;
  CHECK(acbc_writer_open(&w, OUT("ra.w"), PASS, ACBC_NO_SYNC, &r) == ACBC_OK, "writer open");
  for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 100) {
    if (piece > size - at) piece = size - at;
    CHECK(acbc_writer_write(&w, plain.data + at, piece, &r) == ACBC_OK, "write %zu", at);
  }
  CHECK(acbc_writer_commit(&w, &r) == ACBC_OK && r.length == (int64_t)size, "commit");
  Bytes sealed = Get(IN("ra.acbc"));
  CHECK(Holds(OUT("ra.w"), sealed), "writer bytes, size %zu", size);
  free(sealed.data);
  CHECK(acbc_writer_write(&w, "x", 1, &r) == ACBC_E_ARGUMENT, "write after commit");
  acbc_writer_discard(&w);
  const uint64_t before = Signature(out);
  CHECK(acbc_writer_open(&w, OUT("ra.d"), PASS, 0, &r) == ACBC_OK, "writer open");
  CHECK(acbc_writer_write(&w, plain.data, size, &r) == ACBC_OK, "write");
  acbc_writer_discard(&w);
  CHECK(Signature(out) == before, "a discarded writer left something");
  unlink(OUT("ra.w"));
  close(fd);
  free(got);
  free(plain.data);
}

/* ------------------------------------------------------------ refusals */

enum Op {
  kEncrypt,
  kEncryptFd,
  kDecrypt,
  kDecryptFd,
  kVerify,
  kRekey,
  kInspect,
  kUpgrade,
  kAgeDecrypt,
  kAgeRekey,
  kAgeInspect,
  kReadAt,
  kDecryptPathFd, /* acbc_decrypt_fd on an O_PATH descriptor */
  kJobEncrypt,    /* acbc_job_*: prepare alone for a null password, else prepare, run, commit */
  kJobDecrypt,
  kJobVerify,
  kJobAgeDecrypt, /* run by acbc_job_run_age, the row's password as the passphrase */
  kJobUpgrade     /* the row's password is the ACBC one, kAgePass the age passphrase */
};
typedef struct {
  enum Op op;
  const char *input, *output, *password;
  unsigned flags;
  int stopAt;
  acbc_status want;
  int error;
} Refusal;

/* Passwords of NUL bytes only: one, and more than the key takes. */
static const char kNul[1] = {0}, kNuls[40] = {0};

static const Refusal kRefusals[] = {
    {kEncrypt, NULL, "new", kPass, 0, 0, ACBC_E_ARGUMENT, 0},
    {kEncrypt, "plain", NULL, kPass, 0, 0, ACBC_E_ARGUMENT, 0},
    {kEncrypt, "plain", "new", kPass, ACBC_SALVAGE, 0, ACBC_E_ARGUMENT, 0},
    {kDecrypt, "plain.acbc", "new", kPass, 16, 0, ACBC_E_ARGUMENT, 0},
    {kEncrypt, "missing", "new", kPass, 0, 0, ACBC_E_INPUT_OPEN, ENOENT},
    {kDecrypt, "dir", "new", kPass, 0, 0, ACBC_E_INPUT_OPEN, EISDIR},
    {kEncryptFd, NULL, "new", kPass, 0, 0, ACBC_E_INPUT_OPEN, EBADF},
    {kEncrypt, "plain", "nodir/new", kPass, 0, 0, ACBC_E_OUTPUT_OPEN, ENOENT},
    {kDecrypt, "plain.acbc", "dir", kPass, ACBC_REPLACE, 0, ACBC_E_OUTPUT_OPEN, EISDIR},
    {kEncrypt, "plain", "existing", kPass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kDecrypt, "plain.acbc", "existing", kPass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kRekey, "plain.acbc", "existing", kPass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kEncrypt, "plain", "link-to-plain", kPass, ACBC_REPLACE, 0, ACBC_E_SAME_FILE, 0},
    {kDecrypt, "plain.acbc", "hard-link", kPass, ACBC_REPLACE, 0, ACBC_E_SAME_FILE, 0},
    {kEncrypt, "fifo", "new", kPass, 0, 0, ACBC_E_INPUT_LENGTH, ESPIPE},
    {kEncryptFd, "fifo", "new", kPass, 0, 0, ACBC_E_INPUT_LENGTH, ESPIPE},
    {kEncrypt, "huge", "new", kPass, 0, 0, ACBC_E_TOO_LARGE, 0},
    {kEncrypt, "plain", "new", "", 0, 0, ACBC_E_EMPTY_PASSWORD, 0},
    {kEncrypt, "plain", "new", kNul, 0, 0, ACBC_E_EMPTY_PASSWORD, 0},
    {kEncrypt, "plain", "new", kNuls, 0, 0, ACBC_E_EMPTY_PASSWORD, 0},
    {kEncrypt, "/proc/self/status", "new", kPass, 0, 0, ACBC_E_INPUT_LENGTH, 0},
    {kDecryptPathFd, "plain.acbc", "new", kPass, 0, 0, ACBC_E_INPUT_OPEN, EBADF},
    {kEncrypt, "plain", "fifo", kPass, 0, 0, ACBC_E_OUTPUT_OPEN, ENXIO},
    {kEncrypt, "plain", "blockdev", kPass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kRekey, "plain.acbc", "new", "", 0, 0, ACBC_E_EMPTY_PASSWORD, 0},
    {kDecrypt, "plain", "new", kPass, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kDecrypt, "no-number.acbc", "new", kPass, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kInspect, "short", NULL, NULL, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kInspect, "/dev/zero", NULL, NULL, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kDecrypt, "truncated.acbc", "new", kPass, 0, 0, ACBC_E_DAMAGED, 0},
    {kDecryptFd, "negative.acbc", "new", kPass, 0, 0, ACBC_E_DAMAGED, 0},
    {kVerify, "truncated.acbc", NULL, kPass, 0, 0, ACBC_E_DAMAGED, 0},
    {kInspect, "truncated.acbc", NULL, NULL, 0, 0, ACBC_E_DAMAGED, 0},
    {kDecrypt, "plain.acbc", "new", "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kDecryptFd, "plain.acbc", "existing", "wrong", ACBC_REPLACE, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kVerify, "plain.acbc", NULL, "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kRekey, "plain.acbc", NULL, "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kEncrypt, "plain", "new", kPass, 0, 1, ACBC_E_CANCELLED, 0},
    {kEncrypt, "plain", "existing", kPass, ACBC_REPLACE, 2, ACBC_E_CANCELLED, 0},
    {kDecrypt, "plain.acbc", "existing", kPass, ACBC_REPLACE, 2, ACBC_E_CANCELLED, 0},
    {kRekey, "plain.acbc", NULL, kPass, 0, 2, ACBC_E_CANCELLED, 0},
    {kEncrypt, "grow/log", "new", kPass, 0, -1, ACBC_E_INPUT_CHANGED, 0},
    {kEncrypt, "grow/log", "new", kPass, 0, -2, ACBC_E_INPUT_CHANGED, 0},
    {kReadAt, "plain.acbc", NULL, "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kReadAt, "truncated.acbc", NULL, kPass, 0, 0, ACBC_E_DAMAGED, 0},
    {kReadAt, "negative.acbc", NULL, kPass, ACBC_PASSWORD_CHECKED, 0, ACBC_E_DAMAGED, 0},
    {kReadAt, "plain", NULL, kPass, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kReadAt, "plain.acbc", NULL, kPass, ACBC_SALVAGE, 0, ACBC_E_ARGUMENT, 0},
    {kReadAt, "fifo", NULL, kPass, 0, 0, ACBC_E_INPUT_LENGTH, ESPIPE},
    {kDecrypt, "grow/log.acbc", "new", kPass, 0, -1, ACBC_E_INPUT_CHANGED, 0},
    {kDecrypt, "grow/log.acbc", "new", kPass, 0, -2, ACBC_E_INPUT_CHANGED, 0},
    /* Upgrade: the ACBC checks before any output, then nothing but a whole age file. */
    {kUpgrade, "plain.acbc", "new", kPass, ACBC_SALVAGE, 0, ACBC_E_ARGUMENT, 0},
    {kUpgrade, "plain.acbc", "new", "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kUpgrade, "truncated.acbc", "new", kPass, 0, 0, ACBC_E_DAMAGED, 0},
    {kUpgrade, "plain", "new", kPass, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kUpgrade, "plain.age", "new", kPass, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kUpgrade, "plain.acbc", "existing", kPass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kUpgrade, "plain.acbc", "hard-link", kPass, ACBC_REPLACE, 0, ACBC_E_SAME_FILE, 0},
    {kUpgrade, "plain.acbc", "existing", kPass, ACBC_REPLACE, 2, ACBC_E_CANCELLED, 0},
    {kUpgrade, "plain.acbc", "new", kPass, 0, 1, ACBC_E_CANCELLED, 0},
    {kUpgrade, "grow/log.acbc", "new", kPass, 0, -1, ACBC_E_INPUT_CHANGED, 0},
    {kAgeDecrypt, "flipped.age", "new", kAgePass, 0, 0, ACBC_E_AGE_PAYLOAD, 0},
    {kAgeDecrypt, "flipped.age", "existing", kAgePass, ACBC_REPLACE, 0, ACBC_E_AGE_PAYLOAD, 0},
    {kAgeDecrypt, "plain.age", "new", "wrong", 0, 0, ACBC_E_NO_MATCH, 0},
    {kAgeDecrypt, "plain.acbc", "new", kAgePass, 0, 0, ACBC_E_NOT_AGE, 0},
    {kAgeDecrypt, "plain.age", "new", kAgePass, ACBC_AGE_ARMOR, 0, ACBC_E_ARGUMENT, 0},
    {kAgeDecrypt, "plain.age", "new", kAgePass, 0, 1, ACBC_E_CANCELLED, 0},
    {kAgeRekey, "plain.age", NULL, "wrong", 0, 0, ACBC_E_NO_MATCH, 0},
    {kAgeRekey, "plain.age", "existing", kAgePass, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kAgeInspect, "plain", NULL, NULL, 0, 0, ACBC_E_NOT_AGE, 0},
    {kInspect, "dir", NULL, NULL, 0, 0, ACBC_E_INPUT_OPEN, EISDIR},
    /* Jobs: the refusals of prepare come before any password; a job ended by a failure
       takes no more calls, and a prepared job that is discarded leaves nothing. */
    {kJobDecrypt, "plain", "new", NULL, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kJobDecrypt, "truncated.acbc", "new", NULL, 0, 0, ACBC_E_DAMAGED, 0},
    {kJobDecrypt, "plain.acbc", "existing", NULL, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kJobDecrypt, "plain.acbc", "dir", NULL, ACBC_REPLACE, 0, ACBC_E_OUTPUT_OPEN, EISDIR},
    {kJobEncrypt, "plain", "link-to-plain", NULL, ACBC_REPLACE, 0, ACBC_E_SAME_FILE, 0},
    {kJobEncrypt, "huge", "new", NULL, 0, 0, ACBC_E_TOO_LARGE, 0},
    {kJobVerify, "plain.acbc", "new", NULL, 0, 0, ACBC_E_ARGUMENT, 0},
    {kJobEncrypt, "plain", "existing", NULL, ACBC_REPLACE, 0, ACBC_OK, 0},
    {kJobDecrypt, "plain.acbc", "existing", "wrong", ACBC_REPLACE, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kJobVerify, "plain.acbc", NULL, "wrong", 0, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kJobEncrypt, "plain", "new", kPass, 0, 1, ACBC_E_CANCELLED, 0},
    {kJobAgeDecrypt, "plain.acbc", "new", NULL, 0, 0, ACBC_E_NOT_AGE, 0},
    {kJobAgeDecrypt, "plain.age", "existing", NULL, 0, 0, ACBC_E_OUTPUT_EXISTS, 0},
    {kJobAgeDecrypt, "plain.age", "existing", "wrong", ACBC_REPLACE, 0, ACBC_E_NO_MATCH, 0},
    {kJobAgeDecrypt, "plain.age", "new", kAgePass, ACBC_AGE_ARMOR, 0, ACBC_E_ARGUMENT, 0},
    {kJobUpgrade, "plain.age", "new", NULL, 0, 0, ACBC_E_NOT_ACBC, 0},
    {kJobUpgrade, "truncated.acbc", "new", NULL, 0, 0, ACBC_E_DAMAGED, 0},
    {kJobUpgrade, "plain.acbc", "existing", "wrong", ACBC_REPLACE, 0, ACBC_E_WRONG_PASSWORD, 0},
    {kJobUpgrade, "plain.acbc", "new", kPass, 0, 1, ACBC_E_CANCELLED, 0},
};

/* Runs a job of the row's kind; after a failure, the ended job refuses a commit. */
static acbc_status AttemptJob(const Refusal* t, const char* inPath, const char* outPath,
                              const acbc_progress* p, acbc_result* r) {
  const acbc_job_kind kinds[] = {ACBC_JOB_ENCRYPT, ACBC_JOB_DECRYPT, ACBC_JOB_VERIFY,
                                 ACBC_JOB_AGE_DECRYPT, ACBC_JOB_UPGRADE};
  const acbc_age_keys keys = AgeKeys(t->op == kJobUpgrade ? kAgePass : t->password);
  acbc_job job;
  acbc_job_info info;
  acbc_status s = acbc_job_prepare(&job, kinds[t->op - kJobEncrypt], inPath, outPath, t->flags, r);
  if (s == ACBC_OK && t->password != NULL && t->op == kJobUpgrade) {
    s = acbc_job_run_age(&job, t->password, strlen(t->password), &keys, NULL, p, r);
  } else if (s == ACBC_OK && t->password != NULL && t->op == kJobAgeDecrypt) {
    s = acbc_job_run_age(&job, NULL, 0, &keys, NULL, p, r);
  } else if (s == ACBC_OK && t->password != NULL) {
    s = acbc_job_run(&job, t->password, strlen(t->password), NULL, 0, p, r);
  }
  if (s == ACBC_OK && t->password != NULL) s = acbc_job_commit(&job, r);
  acbc_result late;
  if (s != ACBC_OK && (acbc_job_commit(&job, &late) != ACBC_E_ARGUMENT ||
                       acbc_job_query(&job, &info) != ACBC_OK || info.stage != ACBC_JOB_ENDED)) {
    s = ACBC_E_WRITE;
  }
  acbc_job_discard(&job);
  return s;
}

static acbc_status Attempt(const Refusal* t, acbc_result* r) {
  char input[600] = "", output[600] = "";
  if (t->input != NULL && t->input[0] == '/') snprintf(input, sizeof input, "%s", t->input);
  if (t->input != NULL && t->input[0] != '/') At(input, in, t->input);
  if (t->output != NULL) At(output, out, t->output);
  const char* inPath = t->input != NULL ? input : NULL;
  const char* outPath = t->output != NULL ? output : NULL;
  const size_t length = t->password == kNul    ? sizeof kNul
                        : t->password == kNuls ? sizeof kNuls
                        : t->password != NULL  ? strlen(t->password)
                                               : 0;
  Watch w = {0, t->stopAt, 0, 0, t->stopAt < 0 ? input : NULL};
  const acbc_progress p = {Report, &w};
  const int fd = t->input == NULL          ? -1
                 : t->op == kDecryptPathFd ? open(input, O_PATH)
                                           : open(input, O_RDONLY | O_NONBLOCK);
  acbc_status s = ACBC_OK;
  acbc_info info;
  acbc_age_info ageInfo;
  const acbc_age_keys keys = AgeKeys(t->password), upgradeKeys = AgeKeys(kAgePass),
                      newKeys = AgeKeys("another age pass");
  switch (t->op) {
    case kEncrypt:
      s = acbc_encrypt_file(inPath, outPath, t->password, length, t->flags, &p, r);
      break;
    case kEncryptFd: s = acbc_encrypt_fd(fd, outPath, t->password, length, t->flags, &p, r); break;
    case kDecrypt:
      s = acbc_decrypt_file(inPath, outPath, t->password, length, t->flags, &p, r);
      break;
    case kDecryptFd:
    case kDecryptPathFd:
      s = acbc_decrypt_fd(fd, outPath, t->password, length, t->flags, &p, r);
      break;
    case kVerify: s = acbc_verify_file(inPath, t->password, length, r); break;
    case kRekey: /* the row's password is the old one; an empty one stands for both */
      s = acbc_rekey_file(inPath, outPath, t->password, length, length ? "another1" : "",
                          length ? 8 : 0, t->flags, &p, r);
      break;
    case kUpgrade:
      s = acbc_upgrade_file(inPath, outPath, t->password, length, &upgradeKeys, t->flags, &p, r);
      break;
    case kAgeDecrypt: s = acbc_age_decrypt_file(inPath, outPath, &keys, t->flags, &p, r); break;
    case kAgeRekey:
      s = acbc_age_rekey_file(inPath, outPath, &keys, &newKeys, t->flags, &p, r);
      break;
    case kAgeInspect: s = acbc_age_inspect_file(inPath, &ageInfo, r); break;
    case kReadAt: {
      char bytes[100];
      s = acbc_read_at(fd, bytes, sizeof bytes, 1000, t->password, length, t->flags, r);
      if (r->bytes_written != 0) s = ACBC_E_WRITE; /* nothing stored before the checks */
      break;
    }
    case kInspect:
      errno = 0;
      s = acbc_inspect_file(inPath, &info);
      r->status = s;
      r->error_number = s == ACBC_E_INPUT_OPEN ? errno : 0;
      break;
    case kJobEncrypt:
    case kJobDecrypt:
    case kJobVerify:
    case kJobAgeDecrypt:
    case kJobUpgrade: s = AttemptJob(t, inPath, outPath, &p, r); break;
  }
  if (fd >= 0) close(fd);
  return s;
}

static void Refusals(void) {
  const Bytes plain = Pattern(100000, 1);
  Put(IN("plain"), plain.data, plain.size);
  Put(OUT("existing"), "old contents", 12);
  Put(IN("short"), "ACB", 3);
  mkdir(IN("dir"), 0755);
  mkdir(OUT("dir"), 0755);
  mkdir(IN("grow"), 0755);
  mkfifo(IN("fifo"), 0644);
  mkfifo(OUT("fifo"), 0644);
  /* A block device node of no device: nothing behind it can be written. */
  const int haveBlock = mknod(OUT("blockdev"), S_IFBLK | 0600, makedev(0, 0)) == 0;
  Put(IN("huge"), "", 0);
  CHECK(truncate(IN("huge"), 0x80000000) == 0, "sparse file");
  CHECK(symlink(IN("plain"), OUT("link-to-plain")) == 0, "symlink");
  CHECK(Export(1, IN("plain"), IN("plain.acbc"), kPass), "AESEncypt");
  CHECK(link(IN("plain.acbc"), OUT("hard-link")) == 0, "link");
  Bytes enc = Get(IN("plain.acbc"));
  const Bytes sound = Get(IN("plain.acbc"));
  Put(IN("truncated.acbc"), enc.data, enc.size - 100);
  memcpy(enc.data, "ACBC -5\0", 8);
  Put(IN("negative.acbc"), enc.data, enc.size);
  memcpy(enc.data, "ACBC x\0", 7);
  Put(IN("no-number.acbc"), enc.data, enc.size);
  const acbc_age_keys ak = AgeKeys(kAgePass);
  acbc_result made;
  CHECK(acbc_age_encrypt_file(IN("plain"), IN("plain.age"), &ak, 0, NULL, &made) == ACBC_OK,
        "age encryption: %s", acbc_status_name(made.status));
  Bytes age = Get(IN("plain.age"));
  age.data[age.size - 1000] ^= 0x10;
  Put(IN("flipped.age"), age.data, age.size);
  free(age.data);
  for (size_t i = 0; i < sizeof kRefusals / sizeof kRefusals[0]; ++i) {
    const Refusal* t = &kRefusals[i];
    if (!haveBlock && t->output != NULL && strcmp(t->output, "blockdev") == 0) {
      printf("row %zu: skipped (no block device node without CAP_MKNOD)\n", i);
      continue;
    }
    Put(IN("grow/log"), plain.data, 70000);
    Put(IN("grow/log.acbc"), sound.data, sound.size);
    const uint64_t before = Signature(in) + 3 * Signature(out);
    acbc_result r = {ACBC_OK, -1, 0, 0, 0, 0, 0};
    const acbc_status s = Attempt(t, &r);
    CHECK(s == t->want && r.status == s && r.error_number == t->error,
          "row %zu: %s (errno %d), expected %s (errno %d)", i, acbc_status_name(s), r.error_number,
          acbc_status_name(t->want), t->error);
    CHECK(Signature(in) + 3 * Signature(out) == before, "row %zu changed the folders", i);
    CHECK(strcmp(acbc_status_text(s), acbc_status_text((acbc_status)99)) != 0, "text of %d", s);
  }
  /* Layouts, as inspection and a decrypting job's prepare tell them. */
  Bytes longer = Get(IN("plain.acbc"));
  Put(IN("trailing.acbc"), longer.data, longer.size);
  FILE* tail = fopen(IN("trailing.acbc"), "ab");
  CHECK(tail != NULL && fwrite("seven b", 1, 7, tail) == 7 && fclose(tail) == 0, "trailing");
  free(longer.data);
  static const struct {
    const char* file;
    int verdict;
    int64_t missing, trailing;
    int padding;
  } kLayouts[] = {
      {"plain.acbc", ACBC_VERDICT_CONSISTENT, 0, 0, 352},
      {"truncated.acbc", ACBC_VERDICT_TRUNCATED, 100, 0, 352},
      {"trailing.acbc", ACBC_VERDICT_TRAILING_BYTES, 0, 7, 352},
      {"negative.acbc", ACBC_VERDICT_NEGATIVE_LENGTH, 0, 196 * 512, 0}, /* no record needed */
      {"no-number.acbc", ACBC_VERDICT_UNREADABLE_LENGTH, 0, 0, 0},
      {"short", ACBC_VERDICT_NOT_ACBC, 0, 0, 0},
  };
  for (size_t i = 0; i < sizeof kLayouts / sizeof kLayouts[0]; ++i) {
    acbc_layout seen, prepared;
    acbc_job job;
    acbc_result r;
    const int fd = open(IN(kLayouts[i].file), O_RDONLY);
    const int inspected = acbc_inspect_layout_fd(fd, &seen, &r) == ACBC_OK;
    acbc_job_prepare_fd(&job, ACBC_JOB_DECRYPT, fd, OUT("new"), 0, &r);
    const int fromJob = acbc_job_layout(&job, &prepared) == ACBC_OK;
    acbc_job_discard(&job);
    close(fd);
    CHECK(inspected && fromJob && seen.verdict == kLayouts[i].verdict &&
              seen.missing_bytes == kLayouts[i].missing &&
              seen.info.trailing_bytes == kLayouts[i].trailing &&
              seen.padding_bytes == kLayouts[i].padding && prepared.verdict == seen.verdict &&
              prepared.missing_bytes == seen.missing_bytes &&
              prepared.info.length == seen.info.length &&
              strcmp(acbc_verdict_name(seen.verdict), acbc_verdict_name(99)) != 0,
          "layout of %s: %s, %lld missing", kLayouts[i].file, acbc_verdict_name(seen.verdict),
          (long long)seen.missing_bytes);
  }
  free(enc.data);
  free(sound.data);
  free(plain.data);
}

/* ------------------------------------------------------------ jobs */

static void Jobs(void) {
  acbc_result r;
  acbc_job_info info;
  acbc_job jobs[5];
  acbc_job* all[5] = {&jobs[0], &jobs[1], &jobs[2], &jobs[3], &jobs[4]};
  CHECK(acbc_encrypt_file(IN("plain"), OUT("ref.acbc"), PASS, 0, NULL, &r) == ACBC_OK, "ref");
  const Bytes plain = Get(IN("plain")), ref = Get(OUT("ref.acbc"));
  /* One job: what query tells at each step, and the file acbc_encrypt_file writes. */
  CHECK(acbc_job_prepare(&jobs[0], ACBC_JOB_ENCRYPT, IN("plain"), OUT("one"), 0, &r) == ACBC_OK &&
            acbc_job_query(&jobs[0], &info) == ACBC_OK && info.stage == ACBC_JOB_PREPARED &&
            info.input.length == (int64_t)plain.size && info.output_existed == 0,
        "prepare: %s", acbc_status_name(r.status));
  CHECK(acbc_job_run(&jobs[0], PASS, NULL, 0, NULL, &r) == ACBC_OK && access(OUT("one"), F_OK) != 0,
        "run: %s", acbc_status_name(r.status));
  CHECK(acbc_job_commit(&jobs[0], &r) == ACBC_OK && acbc_job_query(&jobs[0], &info) == ACBC_OK &&
            info.output_placed == 1 && info.stage == ACBC_JOB_ENDED && Holds(OUT("one"), ref),
        "commit: %s", acbc_status_name(r.status));
  /* 100000 bytes leave 512 - 100000 % 512 = 352 padding bytes. */
  CHECK(acbc_job_prepare(&jobs[0], ACBC_JOB_DECRYPT, OUT("one"), OUT("existing"), ACBC_REPLACE,
                         &r) == ACBC_OK &&
            acbc_job_query(&jobs[0], &info) == ACBC_OK && info.padding_bytes == 352 &&
            info.output_existed == 1 && info.input.records_expected == 196,
        "query: %d %d", info.padding_bytes, info.output_existed);
  acbc_job_discard(&jobs[0]);
  /* A batch over two folders; the job that has not run is refused alone. */
  mkdir(OUT("batch"), 0755);
  CHECK(acbc_job_prepare(&jobs[0], ACBC_JOB_ENCRYPT, IN("plain"), OUT("b1"), 0, &r) == ACBC_OK &&
            acbc_job_prepare(&jobs[1], ACBC_JOB_DECRYPT, OUT("one"), OUT("batch/b2"), 0, &r) ==
                ACBC_OK &&
            acbc_job_prepare(&jobs[2], ACBC_JOB_VERIFY, OUT("one"), NULL, 0, &r) == ACBC_OK &&
            acbc_job_prepare(&jobs[3], ACBC_JOB_ENCRYPT, IN("plain"), OUT("batch/b4"), 0, &r) ==
                ACBC_OK &&
            acbc_job_prepare(&jobs[4], ACBC_JOB_ENCRYPT, IN("plain"), OUT("batch/b5"), 0, &r) ==
                ACBC_OK,
        "batch prepare: %s", acbc_status_name(r.status));
  for (int i = 0; i < 4; ++i) {
    CHECK(acbc_job_run(all[i], PASS, NULL, 0, NULL, &r) == ACBC_OK, "batch run %d", i);
  }
  acbc_result results[5];
  CHECK(acbc_job_commit_batch(all, 5, results) == ACBC_E_ARGUMENT &&
            results[4].status == ACBC_E_ARGUMENT && access(OUT("batch/b5"), F_OK) != 0,
        "batch: %s", acbc_status_name(results[4].status));
  for (int i = 0; i < 4; ++i) {
    CHECK(results[i].status == ACBC_OK && acbc_job_query(all[i], &info) == ACBC_OK &&
              info.stage == ACBC_JOB_ENDED && info.output_placed == (i != 2),
          "batch entry %d: %s", i, acbc_status_name(results[i].status));
  }
  CHECK(Holds(OUT("b1"), ref) && Holds(OUT("batch/b2"), plain) && Holds(OUT("batch/b4"), ref),
        "batch outputs");
  CHECK(acbc_job_commit_batch(all, 1, NULL) == ACBC_E_ARGUMENT, "an ended job in a batch");
  /* One folder by two paths: a second output of the same name is refused, the first kept. */
  CHECK(symlink(out, OUT("alias")) == 0 &&
            acbc_job_prepare(&jobs[0], ACBC_JOB_ENCRYPT, IN("plain"), OUT("twice"), ACBC_REPLACE,
                             &r) == ACBC_OK &&
            acbc_job_prepare(&jobs[1], ACBC_JOB_DECRYPT, OUT("one"), OUT("alias/twice"),
                             ACBC_REPLACE, &r) == ACBC_OK &&
            acbc_job_run(&jobs[0], PASS, NULL, 0, NULL, &r) == ACBC_OK &&
            acbc_job_run(&jobs[1], PASS, NULL, 0, NULL, &r) == ACBC_OK &&
            acbc_job_commit_batch(all, 2, results) == ACBC_E_OUTPUT_EXISTS &&
            results[0].status == ACBC_OK && results[1].status == ACBC_E_OUTPUT_EXISTS &&
            Holds(OUT("twice"), ref),
        "one name twice in a batch: %s", acbc_status_name(results[1].status));
  free(plain.data);
  free(ref.data);
}

/* fsync fails (EDQUOT): a single commit fails before the link; a batch syncs the files by
   syncfs and fails at the folder, with the output in place. */
static void FolderSyncFails(void) {
  const pid_t pid = fork();
  if (pid == 0) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EDQUOT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(77);
    }
    acbc_job job;
    acbc_job* one[1] = {&job};
    acbc_job_info info;
    const Bytes ref = Get(OUT("ref.acbc"));
    acbc_result r;
    int ok = acbc_job_prepare(&job, ACBC_JOB_ENCRYPT, IN("plain"), OUT("fs1"), 0, &r) == ACBC_OK &&
             acbc_job_run(&job, PASS, NULL, 0, NULL, &r) == ACBC_OK &&
             acbc_job_commit(&job, &r) == ACBC_E_WRITE && acbc_job_query(&job, &info) == ACBC_OK &&
             info.output_placed == 0 && (r.warnings & ACBC_WARN_OUTPUT_PLACED) == 0 &&
             access(OUT("fs1"), F_OK) != 0;
    ok &= acbc_job_prepare(&job, ACBC_JOB_ENCRYPT, IN("plain"), OUT("fs2"), 0, &r) == ACBC_OK &&
          acbc_job_run(&job, PASS, NULL, 0, NULL, &r) == ACBC_OK &&
          acbc_job_commit_batch(one, 1, &r) == ACBC_E_WRITE && r.error_number == EDQUOT &&
          acbc_job_query(&job, &info) == ACBC_OK && info.output_placed == 1 &&
          (r.warnings & ACBC_WARN_OUTPUT_PLACED) != 0 && Holds(OUT("fs2"), ref);
    free(ref.data);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a folder sync that fails (status %d)",
        status);
}

/* ------------------------------------------------------------ streams and buffers */

/* A reader or writer that fails at call N, for every N until none fails. */
static void FaultInjection(int encrypt) {
  const Bytes plain = Pattern(3 * 65536 + 100, 9);
  Bytes enc = {malloc(plain.size + 1024), (size_t)acbc_encrypted_size((int64_t)plain.size)};
  acbc_result r;
  acbc_encrypt_buffer(plain.data, plain.size, enc.data, enc.size, PASS, &r);
  const Bytes input = encrypt ? plain : enc;
  for (int side = 0; side < 2; ++side) {
    int n = 1;
    for (acbc_status s = ACBC_E_READ; s != ACBC_OK && n < 1000; ++n) {
      Source src = {input, 0, 40000, 0, side == 0 ? n : 0};
      Sink sink = {{NULL, 0}, 0, side == 1 ? n : 0};
      s = encrypt
              ? acbc_encrypt_stream(Read, &src, (int64_t)plain.size, Write, &sink, PASS, NULL, &r)
              : acbc_decrypt_stream(Read, &src, Write, &sink, PASS, 0, NULL, &r);
      const acbc_status want = side == 0 ? ACBC_E_READ : ACBC_E_WRITE;
      CHECK(s == ACBC_OK ? (side == 0 ? src.calls : sink.calls) < n
                         : s == want && r.error_number == (side == 0 ? EIO : ENOSPC),
            "%s side %d call %d: %s errno %d", encrypt ? "encrypt" : "decrypt", side, n,
            acbc_status_name(s), r.error_number);
      if (s == ACBC_OK) CHECK(Same(sink.bytes, encrypt ? enc : plain), "bytes after faults");
      free(sink.bytes.data);
    }
    CHECK(n > 4 && n < 1000, "fault loop ended after %d calls", n);
  }
  free(enc.data);
  free(plain.data);
}

static void StreamsAndBuffers(void) {
  const Bytes plain = Pattern(5000, 2);
  unsigned char enc[5632], back[5000];
  acbc_result r;
  memset(enc, 0xAA, sizeof enc);
  CHECK(acbc_encrypt_buffer(plain.data, 5000, enc, 5631, PASS, &r) == ACBC_E_BUFFER_TOO_SMALL &&
            enc[0] == 0xAA && r.bytes_written == 0,
        "short encryption buffer");
  CHECK(acbc_encrypt_buffer(enc, 5000, enc + 100, 6000, PASS, &r) == ACBC_E_ARGUMENT, "overlap");
  CHECK(acbc_encrypt_buffer(plain.data, 5000, enc, sizeof enc, "pw", 2, &r) == ACBC_OK &&
            r.warnings == ACBC_WARN_SHORT_PASSWORD,
        "short password warning");
  CHECK(acbc_encrypt_buffer(plain.data, 5000, enc, sizeof enc, "0123456789abcdef0123456789abcdef!",
                            33, &r) == ACBC_OK &&
            r.warnings == ACBC_WARN_LONG_PASSWORD,
        "long password warning");
  CHECK(acbc_decrypt_buffer(enc, sizeof enc, back, sizeof back, "0123456789abcdef0123456789abcdef?",
                            33, 0, &r) == ACBC_OK &&
            memcmp(back, plain.data, 5000) == 0,
        "only 32 bytes reach the key");
  CHECK(acbc_decrypt_buffer(enc, sizeof enc, NULL, 0, PASS, 0, &r) == ACBC_E_WRONG_PASSWORD,
        "wrong password before the capacity");
  acbc_encrypt_buffer(plain.data, 5000, enc, sizeof enc, PASS, &r);
  CHECK(acbc_decrypt_buffer(enc, sizeof enc, NULL, 0, PASS, 0, &r) == ACBC_E_BUFFER_TOO_SMALL &&
            r.length == 5000,
        "size query");
  CHECK(acbc_decrypt_buffer(enc, sizeof enc, back, sizeof back, PASS, ACBC_REPLACE, &r) ==
            ACBC_E_ARGUMENT,
        "file flag on a buffer");
  CHECK(acbc_encrypted_size(-1) == -1 && acbc_encrypted_size(0x80000000) == -1 &&
            acbc_encrypted_size(0x7FFFFFFF) == 512LL * (0x7FFFFFFF / 512 + 2),
        "encrypted size limits");
  Sink sink = {{NULL, 0}, 0, 0};
  const int64_t lengths[] = {4999, 5001, 0x80000000LL, -1};
  const acbc_status wants[] = {ACBC_E_INPUT_CHANGED, ACBC_E_INPUT_CHANGED, ACBC_E_TOO_LARGE,
                               ACBC_E_TOO_LARGE};
  for (int i = 0; i < 4; ++i) {
    Source src = {plain, 0, 512, 0, 0};
    CHECK(acbc_encrypt_stream(Read, &src, lengths[i], Write, &sink, PASS, NULL, &r) == wants[i],
          "stream length %lld: %s", (long long)lengths[i], acbc_status_name(r.status));
  }
  /* An unknown length is read to the end: the same file as the buffer's, also
     through a job, beside a job whose file the caller writes. */
  Sink unsized = {{NULL, 0}, 0, 0};
  const Bytes sealed = {enc, sizeof enc};
  CHECK(acbc_encrypt_stream_flags(Read, &(Source){plain, 0, 700, 0, 0}, -1, Write, &unsized, PASS,
                                  ACBC_UNKNOWN_LENGTH, NULL, &r) == ACBC_OK &&
            Same(unsized.bytes, sealed) && r.length == 5000,
        "unknown length: %s", acbc_status_name(r.status));
  acbc_job job;
  const int fd = open(IN("plain"), O_RDONLY);
  CHECK(acbc_job_prepare_fd(&job, ACBC_JOB_ENCRYPT_STREAM, fd, OUT("unsized"), 0, &r) == ACBC_OK &&
            acbc_job_run_stream(&job, Read, &(Source){plain, 0, 4096, 0, 0}, PASS, NULL, &r) ==
                ACBC_OK &&
            acbc_job_commit(&job, &r) == ACBC_OK && Holds(OUT("unsized"), sealed),
        "stream job: %s", acbc_status_name(r.status));
  CHECK(acbc_job_prepare_fd(&job, ACBC_JOB_WRITE, fd, OUT("written"), 0, &r) == ACBC_OK &&
            acbc_job_write(&job, "some ", 5, &r) == ACBC_OK &&
            acbc_job_write(&job, "bytes", 5, &r) == ACBC_OK && access(OUT("written"), F_OK) != 0 &&
            acbc_job_commit(&job, &r) == ACBC_OK &&
            Holds(OUT("written"), (Bytes){(unsigned char*)"some bytes", 10}),
        "write job: %s", acbc_status_name(r.status));
  close(fd);
  free(unsized.bytes.data);
  free(sink.bytes.data);
  sink = (Sink){{NULL, 0}, 0, 0};
  const Bytes whole = {enc, sizeof enc};
  CHECK(acbc_decrypt_stream(Read, &(Source){whole, 0, 512, 0, 0}, Write, &sink, "no", 2, 0, NULL,
                            &r) == ACBC_E_WRONG_PASSWORD &&
            sink.bytes.size == 0,
        "wrong password on a stream writes nothing of a small file");
  CHECK(acbc_decrypt_stream(NULL, NULL, Write, &sink, PASS, 0, NULL, &r) == ACBC_E_ARGUMENT,
        "null reader");
  for (int s = 0; s <= ACBC_E_CANCELLED + 1; ++s) {
    CHECK(acbc_status_text((acbc_status)s)[0] != '\0' && acbc_status_name((acbc_status)s) != NULL,
          "status %d", s);
  }
  CHECK(strcmp(acbc_status_name(ACBC_E_WRONG_PASSWORD), "wrong_password") == 0 &&
            strcmp(acbc_version(), "1.1.0") == 0,
        "names and version");
  free(sink.bytes.data);
  free(plain.data);
}

/* ------------------------------------------------------------ edges */

static int CloseReader(void* context, int64_t done, int64_t total) {
  int* fd = context;
  if (*fd >= 0 && done < total) close(*fd);
  *fd = -1;
  return 0;
}

static int CountEnds(void* context, int64_t done, int64_t total) {
  *(int*)context += done == total;
  return 0;
}

/* A reader over a pipe that stays open. */
static ptrdiff_t ReadPipe(void* context, void* buffer, size_t size) {
  return read(*(int*)context, buffer, size);
}

static void* SmallStack(void* context) {
  acbc_result r;
  int ok = acbc_encrypt_file(IN("plain"), OUT("stack"), PASS, ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
  ok &= acbc_decrypt_file(OUT("stack"), OUT("stack.back"), PASS, ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
  ok &= Holds(OUT("stack.back"), *(const Bytes*)context);
  unlink(OUT("stack"));
  unlink(OUT("stack.back"));
  return (void*)(intptr_t)ok;
}

static void Edges(void) {
  const Bytes plain = Get(IN("plain"));
  acbc_result r;
  /* A FIFO whose reader leaves after the first chunk: EPIPE, and no SIGPIPE. */
  int reader = open(OUT("fifo"), O_RDONLY | O_NONBLOCK);
  const acbc_progress leave = {CloseReader, &reader};
  CHECK(acbc_encrypt_file(IN("plain"), OUT("fifo"), PASS, 0, &leave, &r) == ACBC_E_WRITE &&
            r.error_number == EPIPE,
        "reader left: %s errno %d", acbc_status_name(r.status), r.error_number);
  /* A pipe named through /proc/self/fd: written in place. */
  int ends[2];
  unsigned char want[1536], got[1537], next = 0;
  CHECK(pipe(ends) == 0 && acbc_encrypt_buffer(plain.data, 1000, want, 1536, PASS, &r) == ACBC_OK,
        "pipe");
  Put(IN("small"), plain.data, 1000);
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", ends[1]);
  CHECK(acbc_encrypt_file(IN("small"), link, PASS, 0, NULL, &r) == ACBC_OK &&
            read(ends[0], got, sizeof got) == 1536 && memcmp(got, want, 1536) == 0,
        "%s: %s errno %d", link, acbc_status_name(r.status), r.error_number);
  /* ACBC_TRUST_LENGTH: both streams leave the next byte in the pipe. */
  Sink sink = {{NULL, 0}, 0, 0}, back = {{NULL, 0}, 0, 0};
  CHECK(write(ends[1], plain.data, 1000) == 1000 && write(ends[1], "!", 1) == 1 &&
            acbc_encrypt_stream_flags(ReadPipe, &ends[0], 1000, Write, &sink, PASS,
                                      ACBC_TRUST_LENGTH, NULL, &r) == ACBC_OK &&
            Same(sink.bytes, (Bytes){want, 1536}) && read(ends[0], &next, 1) == 1 && next == '!',
        "encrypt stream with a trusted length: %s", acbc_status_name(r.status));
  CHECK(write(ends[1], want, 1536) == 1536 && write(ends[1], "?!", 2) == 2 &&
            acbc_decrypt_stream(ReadPipe, &ends[0], Write, &back, PASS, ACBC_TRUST_LENGTH, NULL,
                                &r) == ACBC_OK &&
            Same(back.bytes, (Bytes){plain.data, 1000}) && read(ends[0], &next, 1) == 1 &&
            next == '?',
        "decrypt stream with a trusted length: %s", acbc_status_name(r.status));
  close(ends[1]);
  close(ends[0]);
  /* Progress reports done == total once, a chunk's worth of zeros after it too. */
  const Bytes counted = Pattern(65536 * 2, 6);
  const size_t lengths[] = {0, 511, 512, 65536, 65536 * 2 - 512};
  for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
    int count = 0;
    const acbc_progress p = {CountEnds, &count};
    Put(IN("count"), counted.data, lengths[i]);
    acbc_encrypt_file(IN("count"), OUT("count"), PASS, ACBC_REPLACE | ACBC_NO_SYNC, &p, &r);
    acbc_decrypt_file(OUT("count"), OUT("count.back"), PASS, ACBC_REPLACE, &p, &r);
    CHECK(count == 2 && Holds(OUT("count.back"), (Bytes){counted.data, lengths[i]}),
          "length %zu: %d reports of the end", lengths[i], count);
  }
  /* A long password warns when it decrypts too, in every form. */
  const char longer[] = "0123456789abcdef0123456789abcdef!";
  const size_t n = sizeof longer - 1;
  unsigned char enc[1536], plainBack[1000];
  acbc_encrypt_buffer(plain.data, 1000, enc, sizeof enc, longer, n, &r);
  Put(OUT("long"), enc, sizeof enc);
  const int fd = open(OUT("long"), O_RDONLY);
  for (int form = 0; form < 6; ++form) {
    const acbc_status s =
        form == 0   ? acbc_decrypt_file(OUT("long"), OUT("long.back"), longer, n, 0, NULL, &r)
        : form == 1 ? acbc_decrypt_fd(fd, OUT("long.fd"), longer, n, 0, NULL, &r)
        : form == 2 ? acbc_verify_file(OUT("long"), longer, n, &r)
        : form == 3 ? acbc_decrypt_buffer(enc, sizeof enc, plainBack, 1000, longer, n, 0, &r)
        : form == 4 ? acbc_decrypt_stream(Read, &(Source){{enc, sizeof enc}, 0, 512, 0, 0}, Write,
                                          &back, longer, n, 0, NULL, &r)
                    : acbc_read_at(fd, plainBack, 10, 0, longer, n, 0, &r);
    CHECK(s == ACBC_OK && r.warnings == ACBC_WARN_LONG_PASSWORD, "form %d: %s, warnings %u", form,
          acbc_status_name(s), r.warnings);
  }
  close(fd);
  /* The stack acbc.h promises is enough for the file calls. */
  pthread_attr_t attributes;
  pthread_t thread;
  void* ok = NULL;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 128 * 1024);
  CHECK(pthread_create(&thread, &attributes, SmallStack, (void*)&plain) == 0 &&
            pthread_join(thread, &ok) == 0 && ok == (void*)1,
        "file calls on a 128 KiB stack");
  pthread_attr_destroy(&attributes);
  for (const char* name = "count\0count.back\0long\0long.back\0long.fd\0"; *name != '\0';
       name += strlen(name) + 1) {
    unlink(OUT(name));
  }
  free(sink.bytes.data);
  free(back.bytes.data);
  free(counted.data);
  free(plain.data);
}

/* A replace that the sticky bit refuses is refused before any work: run as
 * another user, in a sticky folder, over a file of root's. */
static void StickyFolder(void) {
  if (geteuid() != 0) {
    printf("sticky folder: skipped (needs root, to act as a second user)\n");
    return;
  }
  char folder[300], target[600], input[600];
  snprintf(folder, sizeof folder, "%s/sticky", root);
  At(target, folder, "theirs");
  At(input, folder, "mine");
  mkdir(folder, 0700);
  chmod(folder, 01777);
  chmod(root, 0711);
  Put(target, "root's", 6);
  Put(input, "plain", 5);
  chmod(input, 0644);
  const uint64_t before = Signature(folder);
  const pid_t pid = fork();
  if (pid == 0) {
    acbc_result r;
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
    _exit(acbc_encrypt_file(input, target, PASS, ACBC_REPLACE, NULL, &r) == ACBC_E_OUTPUT_OPEN &&
                  r.error_number == EPERM
              ? 0
              : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const int unchanged = Signature(folder) == before;
  chmod(root, 0700);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0 && unchanged,
        "sticky folder: a replace that must fail is refused first (status %d)", status);
}

/* ------------------------------------------------------------ no O_TMPFILE */

/* Where the file system has no unnamed files, a named mode-0600 one beside
 * the output takes their place and never outlives the call. The child
 * process refuses O_TMPFILE as such a file system does. */
static void NamedTemporary(void) {
  const pid_t pid = fork();
  if (pid == 0) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(77);
    }
    acbc_result r;
    const Bytes ref = Get(IN("plain.acbc"));
    Watch stop = {0, 1, 0, 0, NULL};
    const acbc_progress p = {Report, &stop};
    const uint64_t clean = Signature(out);
    int ok = acbc_encrypt_file(IN("plain"), OUT("named"), PASS, 0, NULL, &r) == ACBC_OK;
    ok &= Holds(OUT("named"), ref) && ModeOf(OUT("named")) == 0640;
    ok &= acbc_encrypt_file(IN("plain"), OUT("named"), PASS, 0, NULL, &r) == ACBC_E_OUTPUT_EXISTS;
    Put(OUT("named"), "old", 3);
    const uint64_t before = Signature(out);
    ok &= acbc_encrypt_file(IN("plain"), OUT("named"), PASS, ACBC_REPLACE, &p, &r) ==
          ACBC_E_CANCELLED;
    ok &= Signature(out) == before;
    ok &= acbc_encrypt_file(IN("plain"), OUT("named"), PASS, ACBC_REPLACE, NULL, &r) == ACBC_OK;
    ok &= Holds(OUT("named"), ref) && unlink(OUT("named")) == 0 && Signature(out) == clean;
    /* No renameat2 either: the hard-link path. A temporary name that cannot
     * be removed after the link is reported, the output kept in place. */
    struct sock_filter more[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unlinkat, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    struct sock_fprog second = {sizeof more / sizeof more[0], more};
    char folder[300], linked[600];
    snprintf(folder, sizeof folder, "%s/linked", root);
    At(linked, folder, "x");
    ok &= mkdir(folder, 0700) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &second) == 0;
    struct stat st;
    ok &= acbc_encrypt_file(IN("plain"), linked, PASS, 0, NULL, &r) == ACBC_E_WRITE &&
          r.error_number == EIO && Holds(linked, ref) && stat(linked, &st) == 0 && st.st_nlink == 2;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, "named temporary files (status %d)", status);
}

/* ------------------------------------------------------------ a full disk */

static void FullDisk(void) {
  const pid_t pid = fork();
  if (pid == 0) {
    char disk[600];
    At(disk, root, "disk");
    mkdir(disk, 0755);
    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        mount("tmpfs", disk, "tmpfs", 0, "size=256k") != 0) {
      _exit(77);
    }
    const Bytes big = Pattern(1 << 20, 5);
    Put(IN("big"), big.data, big.size);
    char old[700];
    snprintf(old, sizeof old, "%s/old", disk);
    Put(old, "old contents", 12);
    const uint64_t before = Signature(disk);
    acbc_result r;
    char fresh[700];
    snprintf(fresh, sizeof fresh, "%s/new", disk);
    const int a = acbc_encrypt_file(IN("big"), fresh, PASS, 0, NULL, &r) == ACBC_E_WRITE &&
                  r.error_number == ENOSPC;
    const int b = acbc_encrypt_file(IN("big"), old, PASS, ACBC_REPLACE, NULL, &r) == ACBC_E_WRITE &&
                  r.error_number == ENOSPC;
    /* Upgrade: the age file does not fit either. */
    const acbc_age_keys ak = AgeKeys(kAgePass);
    const int c =
        acbc_encrypt_file(IN("big"), IN("big.acbc"), PASS, ACBC_REPLACE, NULL, &r) == ACBC_OK &&
        acbc_upgrade_file(IN("big.acbc"), fresh, PASS, &ak, 0, NULL, &r) == ACBC_E_WRITE &&
        r.error_number == ENOSPC;
    _exit(a && b && c && Signature(disk) == before ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    printf("full disk: skipped (no tmpfs mount without root)\n");
    return;
  }
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "full disk: ENOSPC, nothing left behind, the old output kept");
}

/* ------------------------------------------------------------ threads */

/* Each thread encrypts, verifies and decrypts files of its own, in every
 * form, while the others do the same (run under ThreadSanitizer too). */
static void* Worker(void* context) {
  const int id = (int)(intptr_t)context;
  char plain[600], enc[600], back[600], aged[600];
  snprintf(plain, sizeof plain, "%s/t%d", in, id);
  snprintf(enc, sizeof enc, "%s/t%d.acbc", out, id);
  snprintf(back, sizeof back, "%s/t%d.back", out, id);
  snprintf(aged, sizeof aged, "%s/t%d.age", out, id);
  const acbc_age_keys ak = AgeKeys(kAgePass);
  const Bytes data = Pattern(100000 + (size_t)id * 777, (unsigned)id);
  Put(plain, data.data, data.size);
  unsigned char* buffer = malloc(data.size + 1024);
  int ok = 1;
  for (int round = 0; round < 4; ++round) {
    acbc_result r;
    ok &= acbc_encrypt_file(plain, enc, PASS, ACBC_REPLACE | ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
    ok &= acbc_verify_file(enc, PASS, &r) == ACBC_OK;
    ok &= acbc_decrypt_file(enc, back, PASS, ACBC_REPLACE | ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
    ok &= Holds(back, data);
    ok &= acbc_encrypt_buffer(data.data, data.size, buffer, data.size + 1024, PASS, &r) == ACBC_OK;
    ok &= Holds(enc, (Bytes){buffer, (size_t)r.bytes_written});
    ok &= acbc_upgrade_file(enc, aged, PASS, &ak, ACBC_REPLACE | ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
    ok &= acbc_age_decrypt_file(aged, back, &ak, ACBC_REPLACE | ACBC_NO_SYNC, NULL, &r) == ACBC_OK;
    ok &= Holds(back, data);
  }
  free(buffer);
  free(data.data);
  return (void*)(intptr_t)ok;
}

static void Threads(void) {
  pthread_t threads[4];
  for (int i = 0; i < 4; ++i) pthread_create(&threads[i], NULL, Worker, (void*)(intptr_t)i);
  for (int i = 0; i < 4; ++i) {
    void* ok = NULL;
    pthread_join(threads[i], &ok);
    CHECK(ok == (void*)1, "thread %d", i);
  }
}

static int Done(void) {
  char command[700];
  snprintf(command, sizeof command, "rm -rf '%s'", root);
  if (system(command) != 0) return 2;
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}

/* acbc_api_test [threads]: everything, or the threads part alone. */
int main(int argc, char** argv) {
  const char* tmp = getenv("TMPDIR");
  snprintf(root, sizeof root, "%s/acbc_api_test.XXXXXX", tmp != NULL && *tmp ? tmp : "/tmp");
  if (mkdtemp(root) == NULL) return 2;
  At(in, root, "in");
  At(out, root, "out");
  mkdir(in, 0755);
  mkdir(out, 0755);
  umask(027);
  Threads();
  if (argc > 1 && strcmp(argv[1], "threads") == 0) return Done();
  const size_t sizes[] = {0,
                          1,
                          508,
                          509,
                          511,
                          512,
                          513,
                          127 * 512 - 1,
                          127 * 512,
                          127 * 512 + 1,
                          128 * 512,
                          129 * 512,
                          129 * 512 + 7,
                          65535,
                          65537,
                          300001,
                          (3 << 20) + 5};
  for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) RoundTrip(sizes[i]);
  const size_t ranged[] = {0, 1, 511, 512, 513, 65535, 65536, 65537, 200000};
  for (size_t i = 0; i < sizeof ranged / sizeof ranged[0]; ++i) RandomAccess(ranged[i]);
  Salvage("cut.acbc", "ACBC 100000", 70000);
  Salvage("cut-mid-record.acbc", "ACBC 3000", 1300);
  Salvage("negative.acbc", "ACBC -5", 2048);
  Salvage("header-only.acbc", "ACBC 10", 0);
  Refusals();
  Edges();
  StickyFolder();
  Jobs();
  FolderSyncFails();
  StreamsAndBuffers();
  FaultInjection(1);
  FaultInjection(0);
  NamedTemporary();
  FullDisk();
  return Done();
}
