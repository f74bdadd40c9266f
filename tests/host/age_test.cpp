// pellfold's age files against Debian's age program, an independent reader
// and writer: what one writes the other reads, upgrade keeps every byte,
// and an altered or cut file decrypts to nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "program.h"

namespace pellfold::test {
namespace {

constexpr char kBinaryLine[] = "age-encryption.org/v1\n";
constexpr char kArmorLine[] = "-----BEGIN AGE ENCRYPTED FILE-----";
constexpr char kAge[] = "/usr/bin/age";  // a pseudo-terminal runs it by its path

bool HaveAge() {
  return RunProcess({"age", "--version"}).exitCode == 0;
}

// An X25519 identity file written by age-keygen at `path`; returns its
// recipient.
std::string KeyGen(const std::string& path) {
  EXPECT_EQ(RunProcess({"age-keygen", "-o", path}).exitCode, 0);
  std::string recipient = RunProcess({"age-keygen", "-y", path}).out;
  while (!recipient.empty() && recipient.back() == '\n') recipient.pop_back();
  return recipient;
}

// age -d of `file` into `out`, with the identity file, or with the
// passphrase typed at age's terminal prompt when `identity` is empty.
Bytes AgeDecrypt(const std::string& file, const std::string& out, const std::string& identity,
                 const std::string& passphrase) {
  if (!identity.empty()) {
    const auto r = RunProcess({"age", "-d", "-i", identity, "-o", out, file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
  } else {
    const auto r = RunInPty({kAge, "-d", "-o", out, file}, {{"passphrase", passphrase + "\n"}});
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
  }
  // age creates its output at the first byte it writes.
  return FileExists(out) ? ReadFile(out) : Bytes{};
}

class AgeFiles : public testing::Test {
 protected:
  void SetUp() override {
    if (!HaveAge()) GTEST_SKIP() << "no age program (Debian package age)";
    recipient_ = KeyGen(dir_ / "key");
    WriteFile(dir_ / "recipients", ToBytes("# team\n\n  " + recipient_ + "  \n"));
  }
  TempDir dir_;
  std::string recipient_;
};

// encrypt --format age, then pellfold decrypt and age -d: each way the
// plaintext comes back. "@" in the keys is the directory.
struct AgeWay {
  const char* name;
  std::vector<std::string> keys;  // pellfold encrypt's
  bool armor;
  bool pipes;     // from standard input, both ways; decrypt writes standard output
  bool toStdout;  // encrypt writes standard output (else a file, from a pipe too)
};

class AgeRoundTrip : public AgeFiles, public testing::WithParamInterface<AgeWay> {};

TEST_P(AgeRoundTrip, DecryptsWithPellfoldAndWithAge) {
  const AgeWay& way = GetParam();
  const bool passphrase = way.keys[0] == "-p";
  for (const std::size_t size : {std::size_t{0}, std::size_t{70000}}) {
    const Bytes plain = RandomBytes(size);
    WriteFile(dir_ / "plain", plain);
    std::vector<std::string> args = {"encrypt", "--format", "age"};
    for (const auto& key : way.keys) {
      args.push_back(key == "@recipient" ? recipient_ : key == "@file" ? dir_ / "recipients" : key);
    }
    if (way.armor) args.push_back("-a");
    args.push_back(way.pipes ? "-" : dir_ / "plain");
    if (way.pipes) args.push_back(way.toStdout ? "-" : dir_ / "plain.age");
    auto r = Pellfold(args, way.pipes ? Text(plain) : "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    if (way.toStdout) WriteFile(dir_ / "plain.age", ToBytes(r.out));
    const std::string file = Text(ReadFile(dir_ / "plain.age"));
    EXPECT_EQ(file.rfind(way.armor ? kArmorLine : kBinaryLine, 0), 0u) << size;

    std::vector<std::string> keys = passphrase ? std::vector<std::string>{"-p", "pass:age pw"}
                                               : std::vector<std::string>{"-i", dir_ / "key"};
    ASSERT_EQ(unlink((dir_ / "plain").c_str()), 0);
    if (way.pipes) {
      r = Pellfold({"decrypt", keys[0], keys[1], "-", "-"}, file);
      EXPECT_TRUE(ToBytes(r.out) == plain);
    } else {
      // x.age decrypts into x.
      r = Pellfold({"decrypt", keys[0], keys[1], dir_ / "plain.age"});
      EXPECT_TRUE(ReadFile(dir_ / "plain") == plain);
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(AgeDecrypt(dir_ / "plain.age", dir_ / "by-age", passphrase ? "" : dir_ / "key",
                           "age pw") == plain);
    for (const char* name : {"plain", "plain.age", "by-age"}) unlink((dir_ / name).c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, AgeRoundTrip,
    testing::Values(
        AgeWay{"Passphrase", {"-p", "pass:age pw", "--work-factor", "10"}, false, false, false},
        AgeWay{
            "PassphraseArmorPipes", {"-p", "pass:age pw", "--work-factor", "10"}, true, true, true},
        AgeWay{"Recipient", {"--recipient", "@recipient"}, false, false, false},
        AgeWay{"RecipientsFileArmorStdinToFile", {"-R", "@file"}, true, true, false}),
    [](const testing::TestParamInfo<AgeWay>& p) { return std::string(p.param.name); });

// upgrade: x.acbc becomes x.age with the same mode, and age reads exactly
// the plaintext back; the ACBC password is the passphrase by default.
class Upgrade : public AgeFiles, public testing::WithParamInterface<std::size_t> {};

TEST_P(Upgrade, AgeReadsThePlaintextBack) {
  const Bytes plain = RandomBytes(GetParam());
  WriteFile(dir_ / "plain", plain);
  WriteFile(dir_ / "x.acbc", AesEncypt(dir_ / "plain", u"acbc password"));
  ASSERT_EQ(chmod((dir_ / "x.acbc").c_str(), 0640), 0);
  // 511 and 65535 bytes leave one padding byte: the removal takes the risk.
  auto r = Pellfold({"upgrade", "-p", "pass:acbc password", "--recipient", recipient_,
                     "--remove-input", "--accept-weak-check", dir_ / "x.acbc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(FileExists(dir_ / "x.acbc"));
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "x.age").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(AgeDecrypt(dir_ / "x.age", dir_ / "by-age", dir_ / "key", "") == plain);
  if (GetParam() % 2 == 0) return;
  // Under the ACBC password, with --json; a name without .acbc gets .age.
  WriteFile(dir_ / "y", AesEncypt(dir_ / "plain", u"acbc password"));
  r = Pellfold(
      {"upgrade", "--json", "-p", "pass:acbc password", "--work-factor", "10", dir_ / "y"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"output\": \"" + dir_ / "y.age\", \"status\": \"ok\""), std::string::npos)
      << r.out;
  EXPECT_TRUE(AgeDecrypt(dir_ / "y.age", dir_ / "by-age2", "", "acbc password") == plain);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Upgrade,
                         testing::Values(0, 1, 511, 512, 513, 65535, 65537, 3 << 20));

// What age writes, pellfold reads: for a recipient, armored, and under a
// passphrase typed at age's prompt.
TEST_F(AgeFiles, PellfoldDecryptsWhatAgeWrites) {
  const Bytes plain = RandomBytes(200000);
  WriteFile(dir_ / "plain", plain);
  ASSERT_EQ(RunProcess({"age", "-r", recipient_, "-o", dir_ / "r.age", dir_ / "plain"}).exitCode,
            0);
  ASSERT_EQ(
      RunProcess({"age", "-a", "-r", recipient_, "-o", dir_ / "a.age", dir_ / "plain"}).exitCode,
      0);
  const auto typed =
      RunInPty({kAge, "-p", "-o", dir_ / "p.age", dir_ / "plain"},
               {{"Enter passphrase", "typed at age\n"}, {"Confirm passphrase", "typed at age\n"}});
  ASSERT_EQ(typed.exitCode, 0) << typed.transcript;
  for (const char* name : {"r.age", "a.age", "p.age"}) {
    const bool pass = name[0] == 'p';
    const auto r = Pellfold({"decrypt", pass ? "-p" : "-i",
                             pass ? "pass:typed at age" : dir_ / "key", dir_ / name, dir_ / "out"});
    EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err;
    EXPECT_TRUE(ReadFile(dir_ / "out") == plain) << name;
    EXPECT_EQ(
        Pellfold({"verify", "-i", dir_ / "key", "-p", "pass:typed at age", dir_ / name}).exitCode,
        0)
        << name;
    unlink((dir_ / "out").c_str());
  }
}

// rekey of a passphrase file: a new header, the encrypted data unchanged.
TEST_F(AgeFiles, RekeyCopiesThePayload) {
  const Bytes plain = RandomBytes(100000);
  WriteFile(dir_ / "plain", plain);
  ASSERT_EQ(Pellfold({"encrypt", "--format", "age", "-p", "pass:before", "--work-factor", "10",
                      dir_ / "plain"})
                .exitCode,
            0);
  const Bytes before = ReadFile(dir_ / "plain.age");
  const auto r = Pellfold({"rekey", "-p", "pass:before", "--new-pass", "pass:after",
                           "--work-factor", "11", dir_ / "plain.age"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const Bytes after = ReadFile(dir_ / "plain.age");
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(after.end() - 99000, after.end(), before.end() - 99000));
  EXPECT_EQ(Pellfold({"verify", "-p", "pass:before", dir_ / "plain.age"}).exitCode, 1);
  EXPECT_TRUE(AgeDecrypt(dir_ / "plain.age", dir_ / "out", "", "after") == plain);
}

// Any altered byte, or a cut at a chunk boundary: exit 1 and no output.
struct Damage {
  const char* name;
  std::function<void(Bytes&, std::size_t headerEnd)> apply;
};

class AlteredAge : public testing::TestWithParam<Damage> {};

TEST_P(AlteredAge, DecryptsToNothing) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(3 * 65536 + 100));
  ASSERT_EQ(Pellfold({"encrypt", "--format", "age", "-p", "pass:pw", "--work-factor", "10",
                      dir / "plain", dir / "f.age"})
                .exitCode,
            0);
  ASSERT_EQ(unlink((dir / "plain").c_str()), 0);
  Bytes file = ReadFile(dir / "f.age");
  const std::string text = Text(file);
  const std::size_t headerEnd = text.find('\n', text.find("\n--- ") + 1) + 1;
  GetParam().apply(file, headerEnd);
  WriteFile(dir / "f.age", file);
  auto r = Pellfold({"decrypt", "-p", "pass:pw", dir / "f.age", dir / "out"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("pellfold: decrypt: " + dir / "f.age: ", 0), 0u) << r.err;
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"f.age"});
  r = Pellfold({"decrypt", "-p", "pass:pw", dir / "f.age", "-"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err, "");
  EXPECT_EQ(Pellfold({"verify", "-p", "pass:pw", dir / "f.age"}).exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Places, AlteredAge,
    testing::Values(Damage{"Salt", [](Bytes& f, std::size_t) { f[35] ^= 1; }},
                    Damage{"Mac", [](Bytes& f, std::size_t end) { f[end - 10] ^= 1; }},
                    Damage{"Chunk", [](Bytes& f, std::size_t end) { f[end + 70000] ^= 0x80; }},
                    Damage{"LastTag", [](Bytes& f, std::size_t) { f.back() ^= 1; }},
                    Damage{"CutAtChunk",
                           [](Bytes& f, std::size_t end) { f.resize(end + 16 + 2 * 65552); }}),
    [](const testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace pellfold::test
