// pellfold encrypt and decrypt: the files they write are AESEncypt's, they
// read what AESEncypt writes, through every way in and out and every
// password source, and damaged files decrypt as AESDecrypt decrypts them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
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
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE((toStdout ? ToBytes(r.out) : ReadFile(dir / "back")) == plain);
  // No temporary file stays behind.
  EXPECT_EQ(ListDir(dir.path()).size(), toStdout ? 2u : 3u);
}

INSTANTIATE_TEST_SUITE_P(SizesAndStreams, CryptRoundTrip,
                         testing::Combine(testing::Values(0, 1, 511, 512, 513, 70000),
                                          testing::Values(Io::kFiles, Io::kStdin, Io::kStdout,
                                                          Io::kPipes)));

// Every password source, for both commands.
enum class Source { kPass, kEnv, kFileLf, kFileCrLf, kFileNoEol, kFileTwoLines, kFd, kStdin };

struct SourceSetup {
  std::string spec;
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
    case Source::kPass: setup.spec = "pass:" + pw; break;
    case Source::kEnv:
      setup.spec = "env:PELLFOLD_TEST_PW";
      setup.env = {"PELLFOLD_TEST_PW=" + pw};
      break;
    case Source::kFd:
      // Left open without close-on-exec, so that the program inherits it.
      setup.fd = open((dir / "pw").c_str(), O_RDONLY);
      setup.spec = "fd:" + std::to_string(setup.fd);
      break;
    case Source::kStdin:
      setup.spec = "stdin";
      setup.input = pw + "\n";
      break;
    default: setup.spec = "file:" + dir / "pw"; break;
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

  for (const std::string command : {"encrypt", "decrypt"}) {
    const SourceSetup s = Prepare(GetParam(), dir);
    const bool encrypt = command == "encrypt";
    const auto r =
        Pellfold({command, "--pass", s.spec, encrypt ? dir / "plain" : dir / "reference.acbc",
                  dir / (command + ".out")},
                 s.input, s.env);
    if (s.fd >= 0) close(s.fd);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.err;
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

class Passwords : public testing::TestWithParam<PasswordCase> {};

TEST_P(Passwords, KeyEqualsAesEncyptsAndLengthWarningsAreDue) {
  TempDir dir;
  const Bytes plain = RandomBytes(800);
  WriteFile(dir / "plain", plain);
  WriteFile(dir / "pw", ToBytes(Utf8(GetParam().password) + "\n"));
  const auto r = Pellfold({"encrypt", "--pass", "file:" + dir / "pw", dir / "plain", dir / "enc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "enc") == AesEncypt(dir / "plain", GetParam().password));
  if (GetParam().warning == nullptr) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_EQ(r.err, std::string("pellfold: encrypt: warning: ") + GetParam().warning + "\n");
  }
  const auto back = Pellfold({"decrypt", "--pass", "file:" + dir / "pw", dir / "enc", "-"});
  EXPECT_EQ(back.exitCode, 0) << back.err;
  EXPECT_TRUE(ToBytes(back.out) == plain);
}

const char kShort[] = "password is shorter than 8 bytes";
const char kLong[] = "password is longer than 32 bytes; bytes after the 32nd do not reach the key";

INSTANTIATE_TEST_SUITE_P(
    Texts, Passwords,
    testing::Values(PasswordCase{u"", kShort}, PasswordCase{u"1234567", kShort},
                    PasswordCase{u"12345678", nullptr},
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
    const auto r =
        Pellfold({"encrypt", "--pass", "file:" + dir / "pw", dir / "plain", dir / "out"});
    EXPECT_EQ(r.exitCode, 1) << testing::PrintToString(bad);
    EXPECT_EQ(r.err, "pellfold: encrypt: password is not valid UTF-8\n");
  }
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"plain", "pw"}));
}

// Damaged files decrypt as AESDecrypt decrypts them, with a warning that
// names the problem.
struct Damage {
  const char* name;
  std::function<void(Bytes&)> apply;
  const char* warning;  // nullptr: no warning
};

class DamagedFiles : public testing::TestWithParam<Damage> {};

TEST_P(DamagedFiles, DecryptLikeTheLibraryAndWarn) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(1000));  // header and two records
  Bytes file = AesEncypt(dir / "plain", u"password");
  GetParam().apply(file);
  WriteFile(dir / "damaged.acbc", file);
  ASSERT_TRUE(CallExport("decrypt", dir / "damaged.acbc", dir / "library.out", u"password"));

  const auto r =
      Pellfold({"decrypt", "--pass", "pass:password", dir / "damaged.acbc", dir / "out"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "out") == ReadFile(dir / "library.out"));
  if (GetParam().warning == nullptr) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_EQ(r.err,
              "pellfold: decrypt: warning: " + dir / "damaged.acbc: " + GetParam().warning + "\n");
  }
}

void SetHeader(Bytes& file, const std::string& text) {
  std::fill(file.begin(), file.begin() + 512, 0);
  std::copy(text.begin(), text.end(), file.begin());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFiles,
    testing::Values(
        Damage{"Intact", [](Bytes&) {}, nullptr},
        Damage{"CutInLastRecord", [](Bytes& f) { f.resize(f.size() - 100); },
               "file is truncated, 100 bytes missing: the end of the output is missing or wrong"},
        Damage{"HeaderOnly", [](Bytes& f) { f.resize(512); },
               "file is truncated, 1024 bytes missing: the end of the output is missing or wrong"},
        Damage{"CutInHeader", [](Bytes& f) { f.resize(20); },
               "file is truncated, 1516 bytes missing: the end of the output is missing or wrong"},
        Damage{"RecordAppended", [](Bytes& f) { f.resize(f.size() + 512, 7); },
               "512 bytes follow the last record that the header's length (1000) needs; they "
               "were ignored"},
        Damage{"HeaderLengthTooShort", [](Bytes& f) { SetHeader(f, "ACBC 100"); },
               "512 bytes follow the last record that the header's length (100) needs; they were "
               "ignored"},
        Damage{"HeaderLengthTooLong", [](Bytes& f) { SetHeader(f, "ACBC 5000"); },
               "file is truncated, 4096 bytes missing: the end of the output is missing or wrong"},
        Damage{"NegativeLength", [](Bytes& f) { SetHeader(f, "ACBC -5"); },
               "header records a negative length (-5): the output is empty"}),
    [](const testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace pellfold::test
