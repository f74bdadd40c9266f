// pellfold encrypt and decrypt: the files they write are AESEncypt's, they
// read what AESEncypt writes, through every way in and out and every
// password source, and damaged files decrypt as AESDecrypt decrypts them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "oracle.h"
#include "program.h"

namespace pellfold::test {
namespace {

// Where the data comes from and goes to: files, or standard input/output.
enum class Io { kFiles, kStdin, kStdout, kPipes };

class CryptRoundTrip : public testing::TestWithParam<std::tuple<std::size_t, Io>> {};

TEST_P(CryptRoundTrip, WritesWhatAesEncyptWritesAndReadsItBack) {
  const auto [size, io] = GetParam();
  const bool fromStdin = io == Io::kStdin || io == Io::kPipes;
  const bool toStdout = io == Io::kStdout || io == Io::kPipes;
  TempDir dir;
  const Bytes plain = RandomBytes(size);
  WriteFile(dir / "plain", plain);
  const Bytes reference = AesEncypt(dir / "plain", u"round trip");

  auto r = Pellfold({"encrypt", "--pass", "pass:round trip", fromStdin ? "-" : dir / "plain",
                     toStdout ? "-" : dir / "enc"},
                    fromStdin ? Text(plain) : "");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Bytes encrypted = toStdout ? ToBytes(r.out) : ReadFile(dir / "enc");
  EXPECT_TRUE(encrypted == reference) << "differs from AESEncypt's file";
  WriteFile(dir / "enc", reference);

  r = Pellfold({"decrypt", "--pass", "pass:round trip", fromStdin ? "-" : dir / "enc",
                toStdout ? "-" : dir / "back"},
               fromStdin ? Text(reference) : "");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The password check rests on the padding; with fewer than 4 bytes of it
  // the user is told.
  const std::size_t padding = 512 - size % 512;
  EXPECT_EQ(r.err, padding >= 4 ? ""
                                : "pellfold: decrypt: note: " +
                                      std::string(fromStdin ? "standard input" : dir / "enc") +
                                      ": only " + std::to_string(padding) +
                                      (padding == 1 ? " padding byte" : " padding bytes") +
                                      ": the password could not be fully confirmed (a wrong one "
                                      "passes with odds 2^-" +
                                      std::to_string(8 * padding) + ")\n");
  // --range: only the plaintext bytes 1 .. 600, as far as there are any.
  r = Pellfold({"decrypt", "--pass", "pass:round trip", "--range", "1:600",
                fromStdin ? "-" : dir / "enc", toStdout ? "-" : dir / "range"},
               fromStdin ? Text(reference) : "");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::size_t length = size;  // a structured binding is not captured by clang 14
  const auto at = [&](std::size_t offset) {
    return plain.begin() + static_cast<std::ptrdiff_t>(std::min(offset, length));
  };
  EXPECT_TRUE((toStdout ? ToBytes(r.out) : ReadFile(dir / "range")) == Bytes(at(1), at(601)));
  // No temporary file stays behind.
  EXPECT_EQ(ListDir(dir.path()).size(), toStdout ? 2u : 4u);
}

INSTANTIATE_TEST_SUITE_P(SizesAndStreams, CryptRoundTrip,
                         testing::Combine(testing::Values(0, 1, 509, 510, 511, 512, 513, 70000),
                                          testing::Values(Io::kFiles, Io::kStdin, Io::kStdout,
                                                          Io::kPipes)));

// Every password source, for both commands.
enum class Source { kPass, kEnv, kFileLf, kFileCrLf, kFileNoEol, kFileTwoLines, kFd, kStdin };

struct SourceSetup {
  std::string passSource;
  std::string input;
  std::vector<std::string> env;
  int fd = -1;
};

constexpr char kPassword[] = "s3cret pass word";

SourceSetup Prepare(Source source, const TempDir& dir) {
  const std::string pw = kPassword;
  const std::map<Source, std::string> fileContent = {{Source::kFileLf, pw + "\n"},
                                                     {Source::kFileCrLf, pw + "\r\n"},
                                                     {Source::kFileNoEol, pw},
                                                     {Source::kFileTwoLines, pw + "\nnext\n"},
                                                     {Source::kFd, pw + "\n"}};
  SourceSetup setup;
  if (fileContent.count(source) != 0) WriteFile(dir / "pw", ToBytes(fileContent.at(source)));
  switch (source) {
    case Source::kPass: setup.passSource = "pass:" + pw; break;
    case Source::kEnv:
      setup.passSource = "env:PELLFOLD_TEST_PW";
      setup.env = {"PELLFOLD_TEST_PW=" + pw};
      break;
    case Source::kFd:
      // Left open without close-on-exec, so that the program inherits it.
      setup.fd = open((dir / "pw").c_str(), O_RDONLY);
      setup.passSource = "fd:" + std::to_string(setup.fd);
      break;
    case Source::kStdin:
      setup.passSource = "stdin";
      setup.input = pw + "\n";
      break;
    default:
      setup.passSource = "file:" + dir / "pw";
      // Readable by the group: a warning, but it works.
      chmod((dir / "pw").c_str(), source == Source::kFileLf ? 0640 : 0600);
      break;
  }
  return setup;
}

class PasswordSources : public testing::TestWithParam<Source> {};

TEST_P(PasswordSources, EncryptAndDecryptTakeThePasswordFromIt) {
  TempDir dir;
  const Bytes plain = RandomBytes(1500);
  WriteFile(dir / "plain", plain);
  std::u16string wide(kPassword, kPassword + std::strlen(kPassword));
  const Bytes reference = AesEncypt(dir / "plain", wide);
  WriteFile(dir / "reference.acbc", reference);
  WriteFile(dir / "old.acbc", AesEncypt(dir / "plain", u"old password"));

  for (const std::string command : {"encrypt", "decrypt", "rekey"}) {
    const SourceSetup s = Prepare(GetParam(), dir);
    const bool encrypt = command != "decrypt";
    const std::string input = command == "encrypt"   ? dir / "plain"
                              : command == "decrypt" ? dir / "reference.acbc"
                                                     : dir / "old.acbc";
    std::vector<std::string> args = {command, "--pass", s.passSource, input,
                                     dir / (command + ".out")};
    // rekey takes the new password from the source.
    if (command == "rekey") args.insert(args.begin() + 1, {"--pass", "pass:old password"});
    if (command == "rekey") args[3] = "--new-pass";
    const auto r = Pellfold(args, s.input, s.env);
    if (s.fd >= 0) close(s.fd);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.err;
    EXPECT_EQ(r.err.find("is readable by group or others") != std::string::npos,
              GetParam() == Source::kFileLf)
        << r.err;
    EXPECT_TRUE(ReadFile(dir / (command + ".out")) == (encrypt ? reference : plain)) << command;
  }
}

INSTANTIATE_TEST_SUITE_P(AllSources, PasswordSources,
                         testing::Values(Source::kPass, Source::kEnv, Source::kFileLf,
                                         Source::kFileCrLf, Source::kFileNoEol,
                                         Source::kFileTwoLines, Source::kFd, Source::kStdin));

// Password text reaches the key as it reaches AESEncypt's, and the length
// warnings come exactly when due.
struct PasswordCase {
  std::u16string password;
  const char* warning;  // nullptr: stderr stays empty
};

const char kShort[] = "password is shorter than 8 bytes";
const char kLong[] = "password is longer than 32 bytes; bytes after the 32nd do not reach the key";

class Passwords : public testing::TestWithParam<PasswordCase> {};

TEST_P(Passwords, KeyEqualsAesEncyptsAndLengthWarningsAreDue) {
  TempDir dir;
  const Bytes plain = RandomBytes(800);
  WriteFile(dir / "plain", plain);
  WriteFile(dir / "pw", ToBytes(Utf8(GetParam().password) + "\n"));
  chmod((dir / "pw").c_str(), 0600);
  const auto r =
      Pellfold({"encrypt", "--json", "--pass", "file:" + dir / "pw", dir / "plain", dir / "enc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "enc") == AesEncypt(dir / "plain", GetParam().password));
  const std::string warnings = GetParam().warning == nullptr  ? ""
                               : GetParam().warning == kShort ? "\"short_password\""
                                                              : "\"long_password\"";
  EXPECT_EQ(r.out, "{\"path\": \"" + dir / "plain\", \"output\": \"" + dir / "enc" +
                       "\", \"status\": \"ok\", \"message\": \"success\", \"warnings\": [" +
                       warnings + "]}\n");
  if (GetParam().warning == nullptr) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_EQ(r.err, std::string("pellfold: encrypt: warning: ") + GetParam().warning + "\n");
  }
  const auto back = Pellfold({"decrypt", "--pass", "file:" + dir / "pw", dir / "enc", "-"});
  EXPECT_EQ(back.exitCode, 0) << back.err;
  EXPECT_TRUE(ToBytes(back.out) == plain);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Passwords,
    testing::Values(PasswordCase{u"1234567", kShort}, PasswordCase{u"12345678", nullptr},
                    PasswordCase{u"p\u00e4ssw\u00f6rd \U0001F511", nullptr},  // 2-, 4-byte forms
                    PasswordCase{u"\U0010FFFF\uFFFF", kShort},  // the largest 4- and 3-byte forms
                    PasswordCase{std::u16string(32, u'k'), nullptr},
                    PasswordCase{std::u16string(33, u'k'), kLong},
                    // The 32nd byte falls inside a two-byte character.
                    PasswordCase{std::u16string(31, u'k') + u"\u00e9\u00e9", kLong},
                    // Beyond the 511 bytes the exports keep.
                    PasswordCase{std::u16string(300, u'\u00e9'), kLong}));

// Password bytes that are not UTF-8 have no UTF-16 form to hand on: refused.
TEST(InvalidPasswords, AreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(100));
  for (const std::string bad : {"\x80", "caf\xe9", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                "\xe2\x82", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\xff"}) {
    WriteFile(dir / "pw", ToBytes(bad + "\n"));
    chmod((dir / "pw").c_str(), 0600);
    const auto r =
        Pellfold({"encrypt", "--pass", "file:" + dir / "pw", dir / "plain", dir / "out"});
    EXPECT_EQ(r.exitCode, 1) << testing::PrintToString(bad);
    EXPECT_EQ(r.err, "pellfold: encrypt: password is not valid UTF-8\n");
  }
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"plain", "pw"}));
}

// Damaged files are refused with inspect's verdict and nothing written;
// --salvage decrypts them as AESDecrypt does, with a warning that names the
// problem. Bytes after the last record only cost a warning.
struct Damage {
  const char* name;
  std::function<void(Bytes&)> apply;
  const char* refusal;  // nullptr: decrypted without --salvage
  const char* warning;  // nullptr: no warning
};

class DamagedFiles : public testing::TestWithParam<Damage> {};

TEST_P(DamagedFiles, AreRefusedOrDecryptedLikeTheLibraryWithAWarning) {
  const Damage& d = GetParam();
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(1000));  // header and two records
  Bytes file = AesEncypt(dir / "plain", u"password");
  d.apply(file);
  const std::string damaged = dir / "damaged.acbc";
  WriteFile(damaged, file);
  ASSERT_TRUE(CallExport("decrypt", damaged, dir / "library.out", u"password"));

  for (const bool salvage : {false, true}) {
    std::vector<std::string> args = {"decrypt", "--pass", "pass:password", damaged, dir / "out"};
    if (salvage) args.push_back("--salvage");
    const auto r = Pellfold(args);
    if (d.refusal != nullptr && (!salvage || d.warning == nullptr)) {
      EXPECT_EQ(r.exitCode, 1) << salvage;
      EXPECT_EQ(r.err, "pellfold: decrypt: " + damaged + ": " + d.refusal + "\n");
      EXPECT_FALSE(FileExists(dir / "out"));
      continue;
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir / "out") == ReadFile(dir / "library.out"));
    EXPECT_EQ(r.err, d.warning == nullptr
                         ? ""
                         : "pellfold: decrypt: warning: " + damaged + ": " + d.warning + "\n");
    unlink((dir / "out").c_str());
  }
}

void SetHeader(Bytes& file, const std::string& text) {
  std::fill(file.begin(), file.begin() + 512, 0);
  std::copy(text.begin(), text.end(), file.begin());
}

constexpr char kTruncated[] = ": the end of the output is missing or wrong";
constexpr char kSalvage[] = " (--salvage decrypts what is there)";
std::string Truncated(int missing, const char* tail) {
  return (tail == kSalvage ? "truncated, " : "file is truncated, ") + std::to_string(missing) +
         " bytes missing" + tail;
}
// Kept alive for the table's pointers.
const std::string kRefused[] = {Truncated(100, kSalvage), Truncated(1024, kSalvage),
                                Truncated(1516, kSalvage), Truncated(4096, kSalvage),
                                std::string("negative length") + kSalvage};
const std::string kWarned[] = {Truncated(100, kTruncated), Truncated(1024, kTruncated),
                               Truncated(1516, kTruncated), Truncated(4096, kTruncated)};

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFiles,
    testing::Values(
        Damage{"Intact", [](Bytes&) {}, nullptr, nullptr},
        Damage{"CutInLastRecord", [](Bytes& f) { f.resize(f.size() - 100); }, kRefused[0].c_str(),
               kWarned[0].c_str()},
        Damage{"HeaderOnly", [](Bytes& f) { f.resize(512); }, kRefused[1].c_str(),
               kWarned[1].c_str()},
        Damage{"CutInHeader", [](Bytes& f) { f.resize(20); }, kRefused[2].c_str(),
               kWarned[2].c_str()},
        Damage{"RecordAppended", [](Bytes& f) { f.resize(f.size() + 512, 7); }, nullptr,
               "512 bytes follow the last record that the header's length (1000) needs; they "
               "were ignored"},
        // Plaintext where the padding should be: no salvage decrypts that.
        Damage{"HeaderLengthTooShort", [](Bytes& f) { SetHeader(f, "ACBC 100"); },
               "wrong password (or the file was altered)", nullptr},
        Damage{"HeaderLengthTooLong", [](Bytes& f) { SetHeader(f, "ACBC 5000"); },
               kRefused[3].c_str(), kWarned[3].c_str()},
        Damage{"NegativeLength", [](Bytes& f) { SetHeader(f, "ACBC -5"); }, kRefused[4].c_str(),
               "header records a negative length (-5): the output is empty"}),
    [](const testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

// A wrong password is caught by the last record's padding before anything is
// created or replaced; verify runs the same check alone.
class WrongPassword : public testing::TestWithParam<std::size_t> {};

TEST_P(WrongPassword, IsRefusedWithNothingWrittenOrReplaced) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(GetParam()));
  WriteFile(dir / "enc.acbc", AesEncypt(dir / "plain", u"right password"));
  const auto before = Snapshot(dir.path());
  const std::string refused = dir / "enc.acbc: wrong password (or the file was altered)\n";
  for (const std::string& out : {dir / "plain", std::string("-")}) {
    const auto r = Pellfold({"decrypt", "-f", "-p", "pass:wrong password", dir / "enc.acbc", out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pellfold: decrypt: " + refused);
    EXPECT_EQ(r.out, "");
  }
  auto r = Pellfold({"verify", "-p", "pass:wrong password", dir / "enc.acbc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: verify: " + refused);
  // rekey checks the old password first and keeps the file.
  r = Pellfold(
      {"rekey", "-p", "pass:wrong password", "--new-pass", "pass:new password", dir / "enc.acbc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: rekey: " + refused);
  EXPECT_TRUE(Snapshot(dir.path()) == before);
  r = Pellfold({"verify", "-p", "pass:right password", dir / "enc.acbc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, dir / "enc.acbc: OK\n");
  // --json: one object per file, failures included.
  // A name that is not UTF-8 has its bytes in hex too.
  r = Pellfold({"verify", "--json", "-p", "pass:right password", dir / "enc.acbc", dir / "none",
                dir / "plain", dir / "bad\xfe"});
  EXPECT_EQ(r.exitCode, 1);
  const auto object = [&](const std::string& name, const char* status, const std::string& message,
                          const std::string& extra = "") {
    return "{\"path\": \"" + dir / name + "\"" + extra + ", \"status\": \"" + status +
           "\", \"message\": \"" + message + "\", \"warnings\": []}\n";
  };
  std::string hex = ", \"path_hex\": \"";
  for (const char c : dir / "bad\xfe") {
    const auto byte = static_cast<unsigned char>(c);
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  EXPECT_EQ(r.out, object("enc.acbc", "ok", "success") +
                       object("none", "input_open", "No such file or directory") +
                       object("plain", "not_acbc", "not an ACBC file") +
                       object("bad\\ufffd", "input_open", "No such file or directory", hex + "\""));
  // A password that cannot be had ends the run, with a line for its file.
  r = Pellfold({"verify", "--json", "-p", "env:PELLFOLD_TEST_UNSET", dir / "enc.acbc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, object("enc.acbc", "password",
                          "--pass env:PELLFOLD_TEST_UNSET: environment variable is not set"));
  // In place, then under the new password only.
  r = Pellfold(
      {"rekey", "-p", "pass:right password", "--new-pass", "pass:new password", dir / "enc.acbc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "enc.acbc") == AesEncypt(dir / "plain", u"new password"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WrongPassword, testing::Values(0, 1, 100, 512, 1000, 70000));

// Encryption refuses an empty password; decryption takes one, since a file
// written through the library may have it.
TEST(EmptyPassword, RefusedForEncryptionAcceptedForDecryption) {
  TempDir dir;
  const Bytes plain = RandomBytes(700);
  WriteFile(dir / "plain", plain);
  WriteFile(dir / "enc.acbc", AesEncypt(dir / "plain", u""));
  auto r = Pellfold({"encrypt", "-p", "pass:", dir / "plain", dir / "out"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err.rfind("pellfold: encrypt: the password is empty\n", 0), 0u) << r.err;
  EXPECT_FALSE(FileExists(dir / "out"));
  r = Pellfold({"decrypt", "-p", "pass:", dir / "enc.acbc", "-"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ToBytes(r.out) == plain);
}

// Default names, and --multifile: a file that fails is reported and the
// others are still done, under one password.
TEST(ManyFiles, DefaultNamesAndAFailureInTheMiddle) {
  TempDir dir;
  const Bytes a = RandomBytes(300), c = RandomBytes(5000);
  WriteFile(dir / "a", a);
  WriteFile(dir / "c", c);
  auto r = Pellfold({"encrypt", "-m", "-p", "pass:password", dir / "a", dir / "b", dir / "c"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: encrypt: " + dir / "b: No such file or directory\n" +
                       "pellfold: encrypt: 3 files: 2 done, 1 failed\n");
  EXPECT_TRUE(ReadFile(dir / "a.acbc") == AesEncypt(dir / "a", u"password"));
  EXPECT_TRUE(ReadFile(dir / "c.acbc") == AesEncypt(dir / "c", u"password"));
  unlink((dir / "a").c_str());
  r = Pellfold({"decrypt", "-p", "pass:password", dir / "a.acbc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "a") == a);
  unlink((dir / "c").c_str());
  r = Pellfold(
      {"decrypt", "--multifile", "-f", "-p", "pass:password", dir / "a.acbc", dir / "c.acbc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "pellfold: decrypt: 2 files: 2 done, 0 failed\n");
  EXPECT_TRUE(ReadFile(dir / "a") == a && ReadFile(dir / "c") == c);
  // -o: the same names, in another folder.
  mkdir((dir / "out").c_str(), 0700);
  r = Pellfold(
      {"decrypt", "-m", "-o", dir / "out", "-p", "pass:password", dir / "a.acbc", dir / "c.acbc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "out/a") == a && ReadFile(dir / "out/c") == c);
}

// -j 4 prints, writes and exits exactly as -j 1: many files of different
// sizes, one of them not ACBC, so that jobs finish out of order.
class Jobs : public testing::TestWithParam<std::tuple<std::vector<std::string>, int>> {};

TEST_P(Jobs, FourAtOnceAreOneAfterAnother) {
  const auto& [args, exitCode] = GetParam();
  TempDir dir;
  const std::string work = dir / "w";
  std::vector<Bytes> plain;
  for (std::size_t i = 0; i < 16; ++i) plain.push_back(RandomBytes((i * 37 % 16) * 20000 + i));
  std::vector<ProcessResult> results;
  std::vector<std::map<std::string, Entry>> files;
  for (const char* jobs : {"1", "4"}) {
    std::filesystem::remove_all(work);
    mkdir(work.c_str(), 0700);
    std::vector<std::string> argv = {args[0], "-j", jobs, "-p", "pass:password"};
    for (std::size_t i = 0; i < plain.size(); ++i) {
      const std::string name = work + "/p" + std::to_string(i);
      WriteFile(name, plain[i]);
      if (args[1] == "-m") argv.push_back(name);
      WriteFile(work + "/c" + std::to_string(i) + ".acbc", AesEncypt(name, u"password"));
    }
    WriteFile(work + "/bad.acbc", ToBytes("not ACBC"));
    argv.insert(argv.end(), args.begin() + 1, args.end());
    if (args[1] != "-m") argv.push_back(work);
    results.push_back(Pellfold(argv));
    files.push_back(Snapshot(work));
  }
  EXPECT_EQ(results[0].exitCode, exitCode) << results[0].err;
  EXPECT_EQ(results[1].exitCode, results[0].exitCode);
  EXPECT_EQ(results[1].out, results[0].out);
  EXPECT_EQ(results[1].err, results[0].err);
  EXPECT_TRUE(files[1] == files[0]);
}

INSTANTIATE_TEST_SUITE_P(
    ManyFiles, Jobs,
    testing::Values(std::make_tuple(std::vector<std::string>{"encrypt", "-m"}, 0),
                    std::make_tuple(std::vector<std::string>{"decrypt", "-r"}, 1),
                    std::make_tuple(std::vector<std::string>{"decrypt", "--json", "-f", "-r"}, 1),
                    std::make_tuple(std::vector<std::string>{"verify", "-r"}, 1)));

// --preserve carries the input's times through encrypt, rekey and decrypt
// to the nanosecond; --remove-input removes each input once its output is
// in place.
class PreserveSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(PreserveSizes, PreserveRoundTripsTimesAndRemoveInputRemovesOnSuccess) {
  TempDir dir;
  const Bytes plain = RandomBytes(GetParam());
  WriteFile(dir / "plain", plain);
  const struct timespec times[2] = {{1000000000, 123456789}, {1500000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir / "plain").c_str(), times, 0), 0);
  const auto timesOf = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return std::make_tuple(st.st_atim.tv_sec, st.st_atim.tv_nsec, st.st_mtim.tv_sec,
                           st.st_mtim.tv_nsec);
  };
  const auto want = timesOf(dir / "plain");
  const std::vector<std::vector<std::string>> runs = {
      {"encrypt", "--preserve", "--remove-input", dir / "plain"},
      {"rekey", "--preserve", "--new-pass", "pass:password", dir / "plain.acbc"},
      {"upgrade", "--preserve", "--remove-input", "--work-factor", "10", dir / "plain.acbc"},
      {"decrypt", "--preserve", "--remove-input", dir / "plain.age"}};
  for (auto args : runs) {
    args.insert(args.begin() + 1, {"-p", "pass:password"});
    const auto r = Pellfold(args);
    ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    const std::string output = args[0] == "encrypt" || args[0] == "rekey" ? dir / "plain.acbc"
                               : args[0] == "upgrade"                     ? dir / "plain.age"
                                                                          : dir / "plain";
    EXPECT_EQ(timesOf(output), want) << args[0];
    EXPECT_EQ(ListDir(dir.path()).size(), 1u) << args[0];
  }
  EXPECT_TRUE(ReadFile(dir / "plain") == plain);
}

// An empty file is a file: its output gets its times too.
INSTANTIATE_TEST_SUITE_P(FileOptions, PreserveSizes, testing::Values(2000, 0));

// -r: every regular file below the folders, in sorted order, symbolic links
// left alone; encrypt skips .acbc files with a note; -o keeps the layout.
TEST(FileOptions, RecursiveWithOutputFolderKeepsTheLayout) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tree/b/c");
  mkdir((dir / "out").c_str(), 0755);
  const std::vector<std::string> files = {"a", "b/c/d", "b/e"};
  for (const auto& name : files) WriteFile(dir / ("tree/" + name), RandomBytes(600));
  WriteFile(dir / "tree/b/old.acbc", AesEncypt(dir / "tree/a", u"password"));
  ASSERT_EQ(symlink("../a", (dir / "tree/b/link").c_str()), 0);
  auto r = Pellfold({"encrypt", "-r", "-p", "pass:password", "-o", dir / "out", dir / "tree/"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "pellfold: encrypt: note: " + dir / "tree/b/old.acbc" +
                       ": already ends in .acbc; skipped\npellfold: encrypt: 3 files: 3 done, "
                       "0 failed\n");
  for (const auto& name : files) {
    EXPECT_TRUE(ReadFile(dir / ("out/" + name + ".acbc")) ==
                AesEncypt(dir / ("tree/" + name), u"password"))
        << name;
  }
  r = Pellfold({"verify", "-r", "-p", "pass:password", dir / "out"});
  EXPECT_EQ(r.out,
            dir / "out/a.acbc: OK\n" + dir / "out/b/c/d.acbc: OK\n" + dir / "out/b/e.acbc: OK\n");
  r = Pellfold({"decrypt", "-r", "--json", "-p", "pass:password", dir / "out", dir / "tree"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
  for (const auto& name : files) {
    EXPECT_TRUE(ReadFile(dir / ("out/" + name)) == ReadFile(dir / ("tree/" + name))) << name;
  }
  EXPECT_TRUE(ReadFile(dir / "tree/b/old") == ReadFile(dir / "tree/a"));
  EXPECT_EQ(ListDir(dir / "tree/b"),
            (std::vector<std::string>{"c", "e", "link", "old", "old.acbc"}));
}

// -r keeps to the folders it found: one swapped for a symbolic link during
// the run (here while the password is awaited, after the walk) is not
// followed, and --remove-input removes only the files found.
TEST(FileOptions, RecursiveKeepsToTheFoldersItFound) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tree/b");
  mkdir((dir / "outside").c_str(), 0700);
  WriteFile(dir / "tree/a", RandomBytes(100));
  WriteFile(dir / "tree/b/x", RandomBytes(200));
  WriteFile(dir / "outside/x", RandomBytes(300));
  const Bytes inside = AesEncypt(dir / "tree/b/x", u"password");
  const Bytes outside = ReadFile(dir / "outside/x");
  const Child child =
      Spawn({PELLFOLD_PROGRAM, "encrypt", "-r", "--remove-input", "-p", "stdin", dir / "tree"},
            true, dir / "stdout", {});
  const std::string fds = "/proc/" + std::to_string(child.pid) + "/fd/";
  const auto holdsA = [&] {
    std::error_code gone;
    for (const auto& fd : ListDir(fds)) {
      if (std::filesystem::read_symlink(fds + fd, gone) == dir / "tree/a") return true;
    }
    return false;
  };
  for (int tries = 0; !holdsA() && tries < 10000; ++tries) usleep(1000);
  ASSERT_EQ(rename((dir / "tree/b").c_str(), (dir / "tree/moved").c_str()), 0);
  ASSERT_EQ(symlink("../outside", (dir / "tree/b").c_str()), 0);
  ASSERT_EQ(write(child.stdinFd, "password\n", 9), 9);
  close(child.stdinFd);
  const int status = WaitFor(child.pid, 30);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(ReadFile(dir / "outside/x") == outside);
  EXPECT_EQ(ListDir(dir / "outside"), std::vector<std::string>{"x"});
  EXPECT_TRUE(ReadFile(dir / "tree/moved/x.acbc") == inside);
  EXPECT_EQ(ListDir(dir / "tree/moved"), std::vector<std::string>{"x.acbc"});
}

// A tree deeper than PATH_MAX, walked with a 1 MiB stack: into -o and back.
TEST(FileOptions, RecursiveGoesAsDeepAsTheTree) {
  TempDir dir;
  const Bytes plain = RandomBytes(700);
  const auto bottom = [&](const std::string& root, bool make) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < 2000 && fd >= 0; ++level) {
      if (make) mkdirat(fd, "abc", 0700);
      const int next = openat(fd, "abc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      close(fd);
      fd = next;
    }
    return "/proc/self/fd/" + std::to_string(fd);  // left open
  };
  mkdir((dir / "deep").c_str(), 0700);
  mkdir((dir / "out").c_str(), 0700);
  WriteFile(bottom(dir / "deep", true) + "/f", plain);
  for (const std::string& args :
       {"encrypt -o " + dir / "out " + dir / "deep", "decrypt --remove-input " + dir / "out"}) {
    const auto r = RunProcess({"sh", "-c",
                               "ulimit -s 1024 && " + std::string(PELLFOLD_PROGRAM) + " " + args +
                                   " -r -q -p pass:password"});
    EXPECT_EQ(r.exitCode, 0) << args << ": " << r.err;
  }
  const std::string out = bottom(dir / "out", false);
  EXPECT_TRUE(ReadFile(out + "/f") == plain);
  EXPECT_EQ(ListDir(out), std::vector<std::string>{"f"});
  RunProcess({"rm", "-rf", dir / "deep", dir / "out"});
}

}  // namespace
}  // namespace pellfold::test
