// The ACBC file logic through its status-returning interface: format,
// round trips, the decoder's tolerance of odd files, and every failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "acbc_expect.h"
#include "aes/aes_record.h"
#include "files.h"
#include "oracle.h"
#include "service/acbc_format.h"

namespace pellfold {
namespace {

using test::Bytes;
using test::ReadFile;
using test::WriteFile;

const std::uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.c_str());
}

AcbcStatus Encrypt(const std::string& in, const std::string& out, const std::string& password) {
  return AcbcEncryptFile(in.c_str(), out.c_str(), U8(password),
                         static_cast<std::int32_t>(password.size()));
}

AcbcStatus Decrypt(const std::string& in, const std::string& out, const std::string& password) {
  return AcbcDecryptFile(in.c_str(), out.c_str(), U8(password),
                         static_cast<std::int32_t>(password.size()));
}

// ---------------------------------------------------------------------------
// Round trips over the sizes where the record logic changes.

// Each size through the record path the library chose and through the
// portable one, forced.
class AcbcRoundTrip : public testing::TestWithParam<std::tuple<std::size_t, bool>> {
 protected:
  void SetUp() override { AESRecordForcePortable(std::get<1>(GetParam())); }
  void TearDown() override { AESRecordForcePortable(false); }
};

TEST_P(AcbcRoundTrip, FileMatchesTheOracleAndDecryptsBack) {
  const std::size_t size = std::get<0>(GetParam());
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(size);
  const std::string password = "correct horse battery staple";
  WriteFile(dir / "plain", plain);

  ASSERT_EQ(Encrypt(dir / "plain", dir / "enc", password), AcbcStatus::kOk);
  const Bytes encrypted = ReadFile(dir / "enc");
  ASSERT_EQ(encrypted.size(), 512 * (size / 512 + 2));
  EXPECT_EQ(Bytes(encrypted.begin(), encrypted.begin() + 512),
            test::AcbcHeader(static_cast<long>(size)));
  EXPECT_TRUE(encrypted == test::ExpectedAcbc(plain, password)) << "body differs from the oracle";

  // Same input, same password: the same file, byte for byte.
  ASSERT_EQ(Encrypt(dir / "plain", dir / "enc2", password), AcbcStatus::kOk);
  EXPECT_TRUE(ReadFile(dir / "enc2") == encrypted);

  ASSERT_EQ(Decrypt(dir / "enc", dir / "dec", password), AcbcStatus::kOk);
  EXPECT_TRUE(ReadFile(dir / "dec") == plain);
}

// 65536 bytes fill one read of the record loop exactly; the first chunk
// carries the header and 127 records, the later ones 128 records.
INSTANTIATE_TEST_SUITE_P(
    BoundarySizes, AcbcRoundTrip,
    testing::Combine(testing::Values(0, 1, 15, 16, 17, 511, 512, 513, 1024, 1025, 126 * 512 + 7,
                                     127 * 512, 127 * 512 + 300, 65535, 65536, 66048,
                                     128 * 512 + 100, 131071, 255 * 512, 3 * 1024 * 1024 + 77),
                     testing::Bool()));

TEST(AcbcFormat, EqualRecordsGiveEqualCiphertextWhereverTheyStand) {
  test::TempDir dir;
  const Bytes block = test::RandomBytes(512);
  Bytes plain = block;
  plain.insert(plain.end(), 512, 0x20);
  plain.insert(plain.end(), block.begin(), block.end());
  WriteFile(dir / "plain", plain);
  ASSERT_EQ(Encrypt(dir / "plain", dir / "enc", "pw"), AcbcStatus::kOk);
  const Bytes enc = ReadFile(dir / "enc");
  EXPECT_TRUE(std::equal(enc.begin() + 512, enc.begin() + 1024, enc.begin() + 1536));
  EXPECT_FALSE(std::equal(enc.begin() + 512, enc.begin() + 1024, enc.begin() + 1024));
}

TEST(AcbcFormat, ProgressReportsInputBytesAsTheyAreConsumed) {
  test::TempDir dir;
  WriteFile(dir / "plain", test::RandomBytes(150000));
  std::vector<std::int64_t> seen;
  AcbcProgress progress{[](void* context, std::int64_t bytes) {
                          static_cast<std::vector<std::int64_t>*>(context)->push_back(bytes);
                        },
                        &seen};
  std::FILE* in = std::fopen((dir / "plain").c_str(), "rb");
  std::FILE* out = std::fopen((dir / "enc").c_str(), "wb");
  ASSERT_EQ(AcbcEncryptStream(in, 150000, out, U8("pw"), 2, &progress), AcbcStatus::kOk);
  std::fclose(in);
  std::fclose(out);
  ASSERT_GE(seen.size(), 3u);  // reported during the work, not only at its end
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 150000);
}

TEST(AcbcFormat, EncryptionStopsAtTheRecordsTheHeaderPromises) {
  // An input that holds more than the length given (it grew after the
  // length was taken) still yields floor(L / 512) + 1 records, the last one
  // zero-filled after byte L: exactly the file of the first L bytes.
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(200000);
  WriteFile(dir / "plain", plain);
  for (std::int32_t length : {0, 600, 1024, 70000}) {
    std::FILE* in = std::fopen((dir / "plain").c_str(), "rb");
    std::FILE* out = std::fopen((dir / "enc").c_str(), "wb");
    ASSERT_EQ(AcbcEncryptStream(in, length, out, U8("pw"), 2), AcbcStatus::kOk);
    std::fclose(in);
    std::fclose(out);
    EXPECT_TRUE(ReadFile(dir / "enc") ==
                test::ExpectedAcbc(Bytes(plain.begin(), plain.begin() + length), "pw"))
        << length;
  }
}

// ---------------------------------------------------------------------------
// Header parsing: what a "ACBC %ld" scan accepts, bounded to the record and
// to the signed 32-bit range.

struct HeaderCase {
  const char* text;
  bool ok;
  std::int32_t length;
};

class AcbcHeaderParse : public testing::TestWithParam<HeaderCase> {};

TEST_P(AcbcHeaderParse, AcceptsExactlyScannableLengths) {
  std::uint8_t record[512] = {};
  std::memcpy(record, GetParam().text, std::strlen(GetParam().text));
  std::int32_t length = 12345;
  EXPECT_EQ(AcbcParseHeader(record, &length), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(length, GetParam().length);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcbcHeaderParse,
    testing::Values(HeaderCase{"ACBC 700", true, 700}, HeaderCase{"ACBC 0", true, 0},
                    HeaderCase{"ACBC -5", true, -5}, HeaderCase{"ACBC +12", true, 12},
                    HeaderCase{"ACBC \t\n 42x", true, 42}, HeaderCase{"ACBC 0007", true, 7},
                    HeaderCase{"ACBC 2147483647", true, 2147483647},
                    HeaderCase{"ACBC -2147483648", true, INT32_MIN},
                    HeaderCase{"ACBC 2147483648", false, 0},
                    HeaderCase{"ACBC -2147483649", false, 0},
                    HeaderCase{"ACBC 99999999999999999999999", false, 0},
                    HeaderCase{"ACBC x1", false, 0}, HeaderCase{"ACBC ", false, 0},
                    HeaderCase{"ACBC -", false, 0}, HeaderCase{"acbc 5", false, 0},
                    HeaderCase{"ACBC5", false, 0}, HeaderCase{"ABCB 5", false, 0},
                    HeaderCase{"", false, 0}));

TEST(AcbcHeaderParseBounds, DigitsRunningToTheEndOfTheRecordStayInside) {
  // No NUL anywhere: the parser must stop at byte 511 (ASan would catch a
  // read past it). 507 digits are far out of range.
  std::uint8_t record[512];
  std::memset(record, '1', sizeof record);
  std::memcpy(record, "ACBC ", 5);
  std::int32_t length = 0;
  EXPECT_FALSE(AcbcParseHeader(record, &length));
  std::memset(record + 5, '0', 507);
  record[511] = '9';
  EXPECT_TRUE(AcbcParseHeader(record, &length));
  EXPECT_EQ(length, 9);
}

TEST(AcbcHeaderFormat, WritesMagicLengthNulAndZeros) {
  for (std::int32_t length : {0, 700, 2147483647, -5}) {
    std::uint8_t record[512];
    std::memset(record, 0xEE, sizeof record);
    AcbcFormatHeader(length, record);
    EXPECT_TRUE(Bytes(record, record + 512) == test::AcbcHeader(length)) << length;
  }
}

// ---------------------------------------------------------------------------
// Decrypting files that disagree with themselves: kept lenient, as stored
// files and callers rely on.

class AcbcOddFiles : public testing::Test {
 protected:
  // A body of three records from 1536 random plaintext bytes.
  void SetUp() override {
    plain_ = test::RandomBytes(1536);
    const Bytes file = test::ExpectedAcbc(plain_, kPassword);
    body_.assign(file.begin() + 512,
                 file.begin() + 512 + 1536);  // the last all-zero record dropped
  }
  Bytes DecryptWithHeader(const Bytes& header, const Bytes& body, AcbcStatus expected) {
    Bytes file = header;
    file.insert(file.end(), body.begin(), body.end());
    WriteFile(dir_ / "in", file);
    EXPECT_EQ(Decrypt(dir_ / "in", dir_ / "out", kPassword), expected);
    return ReadFile(dir_ / "out");
  }
  static constexpr const char* kPassword = "pw";
  test::TempDir dir_;
  Bytes plain_;
  Bytes body_;
};

TEST_F(AcbcOddFiles, NegativeLengthWritesNothing) {
  EXPECT_TRUE(DecryptWithHeader(test::AcbcHeader(-5), body_, AcbcStatus::kOk).empty());
}

TEST_F(AcbcOddFiles, ShorterLengthCutsTheOutput) {
  const Bytes out = DecryptWithHeader(test::AcbcHeader(600), body_, AcbcStatus::kOk);
  EXPECT_TRUE(out == Bytes(plain_.begin(), plain_.begin() + 600));
}

TEST_F(AcbcOddFiles, LongerLengthWritesEveryDecryptedByte) {
  const Bytes out = DecryptWithHeader(test::AcbcHeader(1000000), body_, AcbcStatus::kOk);
  EXPECT_TRUE(out == plain_);
}

TEST_F(AcbcOddFiles, TruncatedLastRecordGivesItsWholeBlocks) {
  // 1024 + 100 body bytes: the third record is cut to 100 bytes, so 100 bytes
  // of it are written and its first six whole blocks (96 bytes) are plaintext.
  const Bytes cut(body_.begin(), body_.begin() + 1124);
  const Bytes out = DecryptWithHeader(test::AcbcHeader(1536), cut, AcbcStatus::kOk);
  ASSERT_EQ(out.size(), 1124u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1120, plain_.begin()));
}

TEST_F(AcbcOddFiles, HeaderAloneOrShortHeaderGivesEmptyOutput) {
  EXPECT_TRUE(DecryptWithHeader(test::AcbcHeader(10), {}, AcbcStatus::kOk).empty());
  const Bytes shortHeader = {'A', 'C', 'B', 'C', ' ', '9'};
  EXPECT_TRUE(DecryptWithHeader(shortHeader, {}, AcbcStatus::kOk).empty());
}

TEST_F(AcbcOddFiles, WrongPasswordYieldsGarbageOfTheRecordedLength) {
  WriteFile(dir_ / "plain", plain_);
  ASSERT_EQ(Encrypt(dir_ / "plain", dir_ / "enc", kPassword), AcbcStatus::kOk);
  ASSERT_EQ(Decrypt(dir_ / "enc", dir_ / "out", "not the password"), AcbcStatus::kOk);
  const Bytes out = ReadFile(dir_ / "out");
  EXPECT_EQ(out.size(), plain_.size());
  EXPECT_FALSE(out == plain_);
}

TEST_F(AcbcOddFiles, NotAcbcLeavesAnEmptyOutput) {
  for (const std::string text : {"", "ACB", "acbc 5", "ACBC",
                                 "ACBC\x00"
                                 "5",
                                 "ACBC x"}) {
    WriteFile(dir_ / "out", {1, 2, 3});
    EXPECT_TRUE(
        DecryptWithHeader(Bytes(text.begin(), text.end()), body_, AcbcStatus::kBadFormat).empty())
        << text;
  }
}

// A stream that yields `good` bytes and then fails every read.
std::FILE* FailingStream(std::size_t* good) {
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
    auto* left = static_cast<std::size_t*>(cookie);
    if (*left == 0) return -1;
    const std::size_t n = std::min(size, *left);
    std::memset(buffer, 'A', n);
    *left -= n;
    return static_cast<ssize_t>(n);
  };
  return fopencookie(good, "rb", io);
}

TEST(AcbcReadErrors, AreReportedEvenWhileRecordsAreSkipped) {
  // A read error within the records the length needs ends the loop instead
  // of spinning for ever; past them (or for a negative length) nothing more
  // is read, so the stream's failure there is never reached.
  for (const auto& [length, status] :
       {std::pair{-5, AcbcStatus::kOk}, std::pair{100, AcbcStatus::kOk},
        std::pair{1500, AcbcStatus::kRead}}) {
    std::size_t good = 700;
    std::FILE* in = FailingStream(&good);
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(AcbcDecryptBody(in, length, out, U8("pw"), 2), status) << length;
    std::fclose(in);
    std::fclose(out);
  }
  std::size_t good = 700;
  std::FILE* in = FailingStream(&good);
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(AcbcEncryptStream(in, 701, out, U8("pw"), 2), AcbcStatus::kRead);
  std::fclose(in);
  std::fclose(out);
  // An input that ends before its length (a file that shrank) fails too,
  // and a negative length is none to encrypt.
  for (const auto& [length, status] :
       {std::pair{600, AcbcStatus::kRead}, std::pair{-1, AcbcStatus::kInputLength}}) {
    in = std::tmpfile();
    std::fputs("short", in);
    std::rewind(in);
    out = std::tmpfile();
    EXPECT_EQ(AcbcEncryptStream(in, length, out, U8("pw"), 2), status) << length;
    std::fclose(in);
    std::fclose(out);
  }
}

// ---------------------------------------------------------------------------
// Failures of the file-level routines, and what they leave on disk.

TEST(AcbcFailures, MissingInputCreatesNoOutput) {
  test::TempDir dir;
  EXPECT_EQ(Encrypt(dir / "missing", dir / "out", "pw"), AcbcStatus::kInputOpen);
  EXPECT_EQ(Decrypt(dir / "missing", dir / "out", "pw"), AcbcStatus::kInputOpen);
  EXPECT_FALSE(test::FileExists(dir / "out"));
  EXPECT_EQ(AcbcEncryptFile(nullptr, (dir / "out").c_str(), U8("pw"), 2), AcbcStatus::kInputOpen);
  EXPECT_FALSE(test::FileExists(dir / "out"));
}

TEST(AcbcFailures, UnopenableOutput) {
  test::TempDir dir;
  WriteFile(dir / "in", test::ExpectedAcbc({1, 2, 3}, "pw"));
  EXPECT_EQ(Encrypt(dir / "in", dir / "no/such/dir", "pw"), AcbcStatus::kOutputOpen);
  EXPECT_EQ(Decrypt(dir / "in", dir / "no/such/dir", "pw"), AcbcStatus::kOutputOpen);
}

TEST(AcbcFailures, OutputThatIsTheInputIsRefusedWhateverItsSpelling) {
  test::TempDir dir;
  const Bytes before = test::ExpectedAcbc(test::RandomBytes(900), "pw");
  WriteFile(dir / "in", before);
  ASSERT_EQ(link((dir / "in").c_str(), (dir / "hardlink").c_str()), 0);
  for (const std::string& out : {dir / "in", dir.path() + "/./in", dir / "hardlink"}) {
    EXPECT_EQ(Encrypt(dir / "in", out, "pw"), AcbcStatus::kSameFile) << out;
    EXPECT_EQ(Decrypt(dir / "in", out, "pw"), AcbcStatus::kSameFile) << out;
    EXPECT_TRUE(ReadFile(dir / "in") == before);
  }
}

TEST(AcbcFailures, InputWithoutALengthLeavesTheOutputAlone) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  // Keep a writer on the FIFO so that opening it for reading does not block.
  const int writer = open((dir / "fifo").c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  WriteFile(dir / "out", {9, 9, 9});
  for (const std::string& in : {dir / "fifo", dir.path()}) {
    EXPECT_EQ(Encrypt(in, dir / "out", "pw"), AcbcStatus::kInputLength) << in;
    EXPECT_TRUE(ReadFile(dir / "out") == Bytes({9, 9, 9}));
  }
  close(writer);
}

TEST(AcbcFailures, InputOf2GiBOrMoreIsRefused) {
  test::TempDir dir;
  for (off_t size : {off_t{0x7FFFFFFF}, off_t{0x80000000}}) {
    const int fd = open((dir / "big").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);  // sparse: costs no disk space
    close(fd);
    std::FILE* in = std::fopen((dir / "big").c_str(), "rb");
    std::int32_t length = 0;
    const AcbcStatus status = AcbcInputLength(in, &length);
    std::fclose(in);
    if (size == 0x7FFFFFFF) {
      EXPECT_EQ(status, AcbcStatus::kOk);
      EXPECT_EQ(length, 0x7FFFFFFF);
    } else {
      EXPECT_EQ(status, AcbcStatus::kInputTooLarge);
      EXPECT_EQ(Encrypt(dir / "big", dir / "out", "pw"), AcbcStatus::kInputTooLarge);
      EXPECT_FALSE(test::FileExists(dir / "out"));
    }
  }
}

TEST(AcbcFailures, FullDiskSurfacingAtCloseIsAWriteError) {
  // /dev/full accepts the buffered writes and fails the flush at close.
  test::TempDir dir;
  WriteFile(dir / "in", test::RandomBytes(100));
  EXPECT_EQ(Encrypt(dir / "in", "/dev/full", "pw"), AcbcStatus::kWrite);
  WriteFile(dir / "acbc", test::ExpectedAcbc(test::RandomBytes(100), "pw"));
  EXPECT_EQ(Decrypt(dir / "acbc", "/dev/full", "pw"), AcbcStatus::kWrite);
}

TEST(AcbcFailures, WriteErrorInTheRecordLoop) {
  // A body larger than the stream buffer fails during the loop, not at close.
  test::TempDir dir;
  WriteFile(dir / "in", test::RandomBytes(64 * 1024));
  EXPECT_EQ(Encrypt(dir / "in", "/dev/full", "pw"), AcbcStatus::kWrite);
}

}  // namespace
}  // namespace pellfold
