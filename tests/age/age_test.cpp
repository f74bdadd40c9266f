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
#include <memory>
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
  if (n > 0) std::memcpy(buffer, source->data->data() + source->at, n);
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

// The last report a call made.
struct Reports {
  std::int64_t done = -2;
  std::int64_t total = -2;
};

int Record(void* context, std::int64_t done, std::int64_t total) {
  auto* reports = static_cast<Reports*>(context);
  EXPECT_TRUE(total == -1 || total == done);
  *reports = Reports{done, total};
  return 0;
}

acbc_status Decrypt(const Bytes& file, Keys& keys, Bytes* plain, acbc_result* result = nullptr,
                    Reports* reports = nullptr) {
  Source source{&file, 0, 4099};
  const acbc_progress progress{Record, reports};
  return acbc_age_decrypt_stream(ReadSource, &source, WriteSink, plain, keys.Get(false), 0,
                                 reports != nullptr ? &progress : nullptr, result);
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
  Reports reports;
  ASSERT_EQ(Decrypt(file, decryption, &back, &result, &reports), ACBC_OK);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(reports.done, result.bytes_read);
  EXPECT_EQ(reports.total, result.bytes_read);
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

// ------------------------------------------------------ keys and inputs

struct Refusal {
  const char* what;  // "input:" and the bytes to decrypt, or what the keys show
  bool encrypt;
  const char* passphrase;
  std::vector<std::string> texts;
  int workFactor;
  unsigned flags;
  acbc_status expected;
};

class AgeRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(AgeRefusal, GivesItsStatus) {
  const Refusal& p = GetParam();
  Keys keys;
  keys.passphrase = p.passphrase;
  keys.texts = p.texts;
  keys.workFactor = p.workFactor;
  Keys scrypt;
  scrypt.passphrase = "pass";
  scrypt.workFactor = 10;
  Bytes file, out;
  ASSERT_EQ(Encrypt(RandomBytes(100), scrypt, 0, &file), ACBC_OK);
  const std::string what = p.what;
  if (what.rfind("input:", 0) == 0) file.assign(what.begin() + 6, what.end());
  Source source{&file, 0, file.size()};
  const Bytes none;
  Source empty{&none, 0, 1};
  const acbc_status status =
      p.encrypt ? acbc_age_encrypt_stream(ReadSource, &empty, WriteSink, &out, keys.Get(true),
                                          p.flags, nullptr, nullptr)
                : acbc_age_decrypt_stream(ReadSource, &source, WriteSink, &out, keys.Get(false),
                                          p.flags, nullptr, nullptr);
  EXPECT_EQ(status, p.expected) << what << ": " << acbc_status_name(status);
  EXPECT_TRUE(p.encrypt || out.empty());
}

const Identity kSome;

// The recipient with its last checksum character changed.
std::string BadChecksum(const char* recipient) {
  std::string text(recipient);
  text.back() = text.back() == 'q' ? 'p' : 'q';
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, AgeRefusal,
    ::testing::Values(
        Refusal{"no key", true, "", {}, 0, 0, ACBC_E_ARGUMENT},
        Refusal{"passphrase and recipient", true, "p", {kSome.recipient}, 0, 0, ACBC_E_ARGUMENT},
        Refusal{"work factor 31", true, "p", {}, 31, 0, ACBC_E_ARGUMENT},
        Refusal{"unknown flag", true, "p", {}, 10, ACBC_REPLACE, ACBC_E_ARGUMENT},
        Refusal{"identity as recipient", true, "", {kSome.secret}, 0, 0, ACBC_E_BAD_KEY},
        Refusal{"checksum", true, "", {BadChecksum(kSome.recipient)}, 0, 0, ACBC_E_BAD_KEY},
        Refusal{"recipient as identity", false, "", {kSome.recipient}, 0, 0, ACBC_E_BAD_KEY},
        Refusal{
            "mixed case", false, "", {std::string("a") + (kSome.secret + 1)}, 0, 0, ACBC_E_BAD_KEY},
        Refusal{"decryption flag", false, "pass", {}, 0, ACBC_AGE_ARMOR, ACBC_E_ARGUMENT},
        Refusal{"no decryption key", false, "", {}, 0, 0, ACBC_E_ARGUMENT},
        Refusal{"ceiling 9", false, "pass", {}, 9, 0, ACBC_E_WORK_FACTOR},
        Refusal{"wrong passphrase", false, "pas", {kSome.secret}, 10, 0, ACBC_E_NO_MATCH},
        Refusal{"input:ACBC 5", false, "pass", {}, 0, 0, ACBC_E_NOT_AGE},
        Refusal{"input: \n\t", false, "pass", {}, 0, 0, ACBC_E_NOT_AGE},
        Refusal{"input:age-encryption.org/v2\n", false, "pass", {}, 0, 0, ACBC_E_AGE_HEADER},
        Refusal{"input:-----BEGIN AGE", false, "pass", {}, 0, 0, ACBC_E_AGE_ARMOR}),
    [](const auto& test) { return "case" + std::to_string(test.index); });

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

// ------------------------------------------------------- the inner passes

// The encoder read back under its file key, then the file key rewrapped
// for a recipient (armor kept), then the header inspected.
TEST(AgePasses, ReadBackRewrapAndInspect) {
  const Identity identity;
  Keys passphrase, recipient, identityKeys;
  passphrase.passphrase = "old";
  passphrase.workFactor = 10;
  recipient.texts = {identity.recipient};
  identityKeys.texts = {identity.secret};
  const Bytes plain = RandomBytes(65536 + 3);
  for (bool armor : {false, true}) {
    auto encoder = std::make_unique<age::Encoder>();
    Bytes file;
    acbc_result r{};
    ASSERT_EQ(
        age::EncoderStart(encoder.get(), *passphrase.Get(true), armor, {WriteSink, &file}, &r),
        ACBC_OK);
    ASSERT_EQ(age::EncoderWrite(encoder.get(), plain.data(), plain.size(), &r), ACBC_OK);
    ASSERT_EQ(age::EncoderFinish(encoder.get(), &r), ACBC_OK);
    EXPECT_EQ(encoder->bytesWritten, static_cast<std::int64_t>(file.size()));
    Bytes back;
    Source source{&file, 0, 999};
    r = acbc_result{};
    EXPECT_EQ(age::DecryptPass({ReadSource, &source}, {WriteSink, &back}, nullptr, &encoder->key,
                               {nullptr, -1}, &r),
              ACBC_OK);
    EXPECT_EQ(back, plain);
    age::FileKey other = encoder->key;
    other.bytes[0] ^= 1;
    source.at = 0;
    EXPECT_EQ(age::DecryptPass({ReadSource, &source}, {WriteSink, &back}, nullptr, &other,
                               {nullptr, -1}, &r),
              ACBC_E_AGE_MAC);
    age::EncoderWipe(encoder.get());

    Bytes rewrapped;
    source.at = 0;
    r = acbc_result{};
    ASSERT_EQ(age::RewrapPass({ReadSource, &source}, {WriteSink, &rewrapped},
                              *passphrase.Get(false), *recipient.Get(true), {nullptr, -1}, &r),
              ACBC_OK);
    // The payload is copied unchanged: the binary files end alike.
    if (!armor) {
      EXPECT_TRUE(std::equal(file.end() - 65536, file.end(), rewrapped.end() - 65536));
    }
    back.clear();
    EXPECT_EQ(Decrypt(rewrapped, identityKeys, &back), ACBC_OK);
    EXPECT_EQ(back, plain);

    acbc_age_info info{};
    Source again{&rewrapped, 0, rewrapped.size()};
    EXPECT_EQ(age::InspectPass({ReadSource, &again}, &info, &r), ACBC_OK);
    EXPECT_EQ(info.armored, armor ? 1 : 0);
    EXPECT_EQ(info.stanza_count, 1);
    EXPECT_EQ(info.work_factor, 0);
    EXPECT_STREQ(info.stanza_types, "X25519");
    again = Source{&file, 0, file.size()};
    EXPECT_EQ(age::InspectPass({ReadSource, &again}, &info, &r), ACBC_OK);
    EXPECT_EQ(info.work_factor, 10);
    EXPECT_STREQ(info.stanza_types, "scrypt");
  }
  EXPECT_EQ(age::DetectFormat(
                reinterpret_cast<const std::uint8_t*>(" \n-----BEGIN AGE ENCRYPTED FILE-----"), 36),
            ACBC_FORMAT_AGE);
  EXPECT_EQ(age::DetectFormat(reinterpret_cast<const std::uint8_t*>("ACBC 12"), 7),
            ACBC_FORMAT_ACBC);
  EXPECT_EQ(age::DetectFormat(reinterpret_cast<const std::uint8_t*>("age-encryption.org"), 18),
            ACBC_FORMAT_UNKNOWN);
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
