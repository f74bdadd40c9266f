// age files through acbc_age_encrypt_stream and acbc_age_decrypt_stream:
// the conformance vectors, round trips over chunk boundaries, altered and
// truncated files, and Debian's age and age-keygen programs as an oracle.
#include <acbc.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "age/age_parts.h"
#include "files.h"
#include "oracle.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

struct Source {
  const Bytes* data;
  std::size_t at;
  std::size_t piece;  // the most a read returns
};

std::ptrdiff_t ReadSource(void* context, void* buffer, std::size_t size) {
  auto* source = static_cast<Source*>(context);
  const std::size_t n = std::min({size, source->piece, source->data->size() - source->at});
  std::memcpy(buffer, source->data->data() + source->at, n);
  source->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

int WriteSink(void* context, const void* buffer, std::size_t size) {
  auto* sink = static_cast<Bytes*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  sink->insert(sink->end(), bytes, bytes + size);
  return 0;
}

// The keys of one call: passphrase and identity texts, or recipients.
struct Keys {
  std::string passphrase;
  std::vector<std::string> texts;
  int workFactor = 0;
  std::vector<const char*> pointers;
  acbc_age_keys keys{};

  const acbc_age_keys* Get(bool encrypt) {
    pointers.clear();
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    keys = acbc_age_keys{};
    keys.passphrase = passphrase.empty() ? nullptr : passphrase.data();
    keys.passphrase_length = passphrase.size();
    keys.work_factor = workFactor;
    (encrypt ? keys.recipients : keys.identities) = pointers.data();
    (encrypt ? keys.recipient_count : keys.identity_count) = pointers.size();
    return &keys;
  }
};

acbc_status Encrypt(const Bytes& plain, Keys& keys, unsigned flags, Bytes* file) {
  Source source{&plain, 0, 10007};
  return acbc_age_encrypt_stream(ReadSource, &source, WriteSink, file, keys.Get(true), flags,
                                 nullptr, nullptr);
}

acbc_status Decrypt(const Bytes& file, Keys& keys, Bytes* plain, acbc_result* result = nullptr) {
  Source source{&file, 0, 4099};
  return acbc_age_decrypt_stream(ReadSource, &source, WriteSink, plain, keys.Get(false), 0, nullptr,
                                 result);
}

Bytes Inflate(const Bytes& in) {
  Bytes out;
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int status = Z_OK;
  while (status == Z_OK) {
    std::uint8_t piece[65536];
    z.next_out = piece;
    z.avail_out = sizeof piece;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), piece, piece + (sizeof piece - z.avail_out));
  }
  EXPECT_EQ(status, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

// ------------------------------------------------------------ vectors

struct Identity {
  char secret[age::kIdentityText];
  char recipient[age::kRecipientText];
  Identity() { age::GenerateIdentity(secret, recipient); }
};

const std::map<std::string, acbc_status> kExpected = {
    {"success", ACBC_OK},
    {"no match", ACBC_E_NO_MATCH},
    {"HMAC failure", ACBC_E_AGE_MAC},
    {"header failure", ACBC_E_AGE_HEADER},
    {"payload failure", ACBC_E_AGE_PAYLOAD},
    {"armor failure", ACBC_E_AGE_ARMOR},
};

std::vector<std::string> VectorNames() {
  std::vector<std::string> names;
  for (const std::string& name : ListDir(std::string(PELLFOLD_VECTOR_DIR) + "/age")) {
    if (name != "README.md") names.push_back(name);
  }
  return names;
}

class AgeVector : public ::testing::TestWithParam<std::string> {};

TEST_P(AgeVector, DecryptsAsExpected) {
  const Bytes raw = ReadFile(std::string(PELLFOLD_VECTOR_DIR) + "/age/" + GetParam());
  const std::string text(raw.begin(), raw.end());
  const std::size_t split = text.find("\n\n");
  ASSERT_NE(split, std::string::npos);
  std::istringstream lines(text.substr(0, split));
  std::map<std::string, std::string> fields;
  Keys keys;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(": ");
    const std::string name = line.substr(0, colon), value = line.substr(colon + 2);
    if (name == "identity") keys.texts.push_back(value);
    if (name == "passphrase" && keys.passphrase.empty()) keys.passphrase = value;
    fields[name] = value;
  }
  // Vectors that fail before any key is used name none: an unrelated one.
  if (keys.texts.empty() && keys.passphrase.empty()) keys.texts = {Identity().secret};
  Bytes file(raw.begin() + static_cast<std::ptrdiff_t>(split + 2), raw.end());
  if (fields["compressed"] == "zlib") file = Inflate(file);
  // The work factor above the default ceiling has a status of its own.
  acbc_status expected = kExpected.at(fields.at("expect"));
  if (GetParam() == "scrypt_work_factor_23") expected = ACBC_E_WORK_FACTOR;

  Bytes plain;
  acbc_result result{};
  EXPECT_EQ(Decrypt(file, keys, &plain, &result), expected) << acbc_status_name(result.status);
  EXPECT_EQ(result.status, expected);
  if (expected == ACBC_OK || expected == ACBC_E_AGE_PAYLOAD) {
    EXPECT_EQ(ToHex(OracleSha256(plain)), fields.at("payload"));
    EXPECT_EQ(result.length, static_cast<std::int64_t>(plain.size()));
  } else {
    EXPECT_TRUE(plain.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, AgeVector, ::testing::ValuesIn(VectorNames()),
                         [](const auto& test) { return test.param; });

// --------------------------------------------------------- round trips

enum class Mode { kPassphrase, kOneRecipient, kTwoRecipients };

struct RoundTrip {
  Mode mode;
  std::size_t size;
  unsigned flags;
};

class AgeRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(AgeRoundTrip, DecryptsToTheSameBytes) {
  const RoundTrip& p = GetParam();
  const Identity first, second;
  Keys encryption, decryption;
  if (p.mode == Mode::kPassphrase) {
    encryption.passphrase = decryption.passphrase = "correct horse";
    encryption.workFactor = 10;
  } else {
    encryption.texts = {first.recipient};
    if (p.mode == Mode::kTwoRecipients) encryption.texts.emplace_back(second.recipient);
    // An identity file with a comment; the second recipient's key opens it.
    decryption.texts = {std::string("# key\n\n") +
                        (p.mode == Mode::kTwoRecipients ? second.secret : first.secret) + "\n"};
  }
  const Bytes plain = RandomBytes(p.size);
  Bytes file, back;
  ASSERT_EQ(Encrypt(plain, encryption, p.flags, &file), ACBC_OK);
  const std::string head(file.begin(), file.begin() + 34);
  EXPECT_EQ(head.rfind((p.flags & ACBC_AGE_ARMOR) != 0 ? "-----BEGIN AGE ENCRYPTED FILE-----"
                                                       : "age-encryption.org/v1\n",
                       0),
            0u);
  acbc_result result{};
  ASSERT_EQ(Decrypt(file, decryption, &back, &result), ACBC_OK);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(result.length, static_cast<std::int64_t>(p.size));
  EXPECT_EQ(result.bytes_read, static_cast<std::int64_t>(file.size()));
  Keys wrong = decryption;
  wrong.passphrase = wrong.passphrase.empty() ? "" : "wrong";
  if (!wrong.texts.empty()) wrong.texts = {Identity().secret};
  back.clear();
  EXPECT_EQ(Decrypt(file, wrong, &back), ACBC_E_NO_MATCH);
  EXPECT_TRUE(back.empty());
}

std::vector<RoundTrip> RoundTrips() {
  std::vector<RoundTrip> cases;
  for (Mode mode : {Mode::kPassphrase, Mode::kOneRecipient, Mode::kTwoRecipients}) {
    for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 3u * 65536u + 5u}) {
      for (unsigned flags : {0u, unsigned{ACBC_AGE_ARMOR}}) cases.push_back({mode, size, flags});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, AgeRoundTrip, ::testing::ValuesIn(RoundTrips()));

// --------------------------------------------------- altered and truncated

// A file of two whole chunks and a short one; what a failing decryption
// released must be the plaintext of the chunks before the damage.
struct Damaged : ::testing::Test {
  Identity identity;
  Keys encryption, decryption;
  Bytes plain = RandomBytes(2 * 65536 + 100);
  Bytes file;
  std::size_t headerEnd = 0;  // where the nonce starts

  void SetUp() override {
    encryption.texts = {identity.recipient};
    decryption.texts = {identity.secret};
    ASSERT_EQ(Encrypt(plain, encryption, 0, &file), ACBC_OK);
    const std::string text(file.begin(), file.end());
    headerEnd = text.find("\n", text.find("\n--- ") + 1) + 1;
  }
  std::size_t ChunkStart(std::size_t k) const { return headerEnd + 16 + k * (65536 + 16); }

  // Decrypts `altered`, expects a failure and at most `chunks` released.
  void ExpectRefused(const Bytes& altered, std::size_t chunks, const std::string& what) {
    Bytes back;
    EXPECT_NE(Decrypt(altered, decryption, &back), ACBC_OK) << what;
    EXPECT_LE(back.size(), chunks * 65536) << what;
    EXPECT_EQ(back.size() % 65536, 0u) << what;
    EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin())) << what;
  }
};

TEST_F(Damaged, FlippedBytesAreRefused) {
  std::vector<std::pair<std::size_t, std::size_t>> flips;  // position, chunks still good
  for (std::size_t at = 0; at < headerEnd + 16; ++at) flips.emplace_back(at, 0);
  for (std::size_t k = 0; k < 3; ++k) {
    flips.emplace_back(ChunkStart(k), k);
    flips.emplace_back(ChunkStart(k) + 50, k);
  }
  flips.emplace_back(file.size() - 1, 2);  // the last tag
  for (const auto& [at, good] : flips) {
    Bytes altered = file;
    altered[at] ^= 0x20;
    ExpectRefused(altered, good, "flip at " + std::to_string(at));
  }
}

TEST_F(Damaged, TruncationsAreRefused) {
  std::vector<std::size_t> cuts = {0, headerEnd - 1, headerEnd, headerEnd + 15};
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t at : {ChunkStart(k), ChunkStart(k) + 16, ChunkStart(k) + 65551}) {
      cuts.push_back(at);
    }
  }
  cuts.push_back(file.size() - 1);
  for (std::size_t at : cuts) {
    if (at >= file.size()) continue;
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
    std::size_t good = 0;
    while (good < 2 && ChunkStart(good + 1) <= at) ++good;
    ExpectRefused(cut, good, "cut at " + std::to_string(at));
  }
  Bytes longer = file;
  longer.push_back(0);
  ExpectRefused(longer, 3, "a byte appended");
}

// ---------------------------------------------------------- age programs

TEST(AgeInterop, DebianAgeReadsAndWrites) {
  if (RunProcess({"sh", "-c", "command -v age && command -v age-keygen"}).exitCode != 0) {
    GTEST_SKIP() << "age is not installed";
  }
  TempDir dir;
  ASSERT_EQ(RunProcess({"age-keygen", "-o", dir / "key"}).exitCode, 0);
  const Bytes keyFile = ReadFile(dir / "key");
  const std::string keyText(keyFile.begin(), keyFile.end());
  const std::size_t at = keyText.find("# public key: ");
  ASSERT_NE(at, std::string::npos);
  Keys encryption, decryption;
  encryption.texts = {keyText.substr(at + 14, keyText.find('\n', at) - at - 14)};
  decryption.texts = {keyText};
  const Bytes plain = RandomBytes(65536 * 2 + 7);
  for (unsigned flags : {0u, unsigned{ACBC_AGE_ARMOR}}) {
    Bytes file;
    ASSERT_EQ(Encrypt(plain, encryption, flags, &file), ACBC_OK);
    WriteFile(dir / "ours.age", file);
    const ProcessResult opened = RunProcess({"age", "-d", "-i", dir / "key", dir / "ours.age"});
    EXPECT_EQ(opened.exitCode, 0) << opened.err;
    EXPECT_TRUE(opened.out == std::string(plain.begin(), plain.end())) << "flags " << flags;

    WriteFile(dir / "plain", plain);
    std::vector<std::string> argv = {"age", "-r", encryption.texts[0], "-o", dir / "theirs.age"};
    if (flags != 0) argv.emplace_back("-a");
    argv.push_back(dir / "plain");
    ASSERT_EQ(RunProcess(argv).exitCode, 0);
    Bytes back;
    EXPECT_EQ(Decrypt(ReadFile(dir / "theirs.age"), decryption, &back), ACBC_OK);
    EXPECT_EQ(back, plain) << "flags " << flags;
  }
}

}  // namespace
}  // namespace pellfold::test
