// pellfold inspect: the verdict, counts and exit status for sound, cut,
// extended and broken files, as text and as JSON.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "program.h"

namespace pellfold::test {
namespace {

struct InspectCase {
  const char* name;
  std::function<Bytes()> make;
  std::string text;  // the line after "FILE: "
  std::string json;  // the JSON object's values after "file", in key order
};

std::string JsonObject(const std::string& file, const std::string& values) {
  std::istringstream in(values);
  std::string object = "{\"file\": \"" + file + "\"";
  for (const char* key : {"acbc", "length", "header_bytes", "body_bytes", "records_expected",
                          "records_present", "verdict", "missing_bytes", "trailing_bytes"}) {
    std::string value;
    in >> value;
    if (std::string(key) == "acbc") {
      object += std::string(", \"format\": ") + (value == "true" ? "\"acbc\"" : "null") +
                ", \"authenticated\": false";
    }
    object += std::string(", \"") + key + "\": " + value;
  }
  return object + "}";
}

// A file as AESEncypt writes it for `size` plaintext bytes; the body does
// not matter to inspect, only the header and the size.
Bytes Acbc(std::size_t size) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(size));
  return AesEncypt(dir / "plain", u"password");
}

Bytes Resized(Bytes b, std::size_t size) {
  b.resize(size, 0);
  return b;
}

Bytes WithHeader(const std::string& text, std::size_t bodyBytes) {
  Bytes b(512 + bodyBytes, 0x5A);
  std::fill(b.begin(), b.begin() + 512, 0);
  std::copy(text.begin(), text.end(), b.begin());
  return b;
}

class Inspect : public testing::TestWithParam<InspectCase> {};

TEST_P(Inspect, ReportsTheVerdictAndExitsZeroOnlyWhenConsistent) {
  TempDir dir;
  WriteFile(dir / "f", GetParam().make());
  const bool consistent = GetParam().text.find(": consistent") != std::string::npos;

  auto r = Pellfold({"inspect", dir / "f"});
  EXPECT_EQ(r.out, dir / "f: " + GetParam().text + "\n");
  EXPECT_EQ(r.exitCode, consistent ? 0 : 1);
  EXPECT_EQ(r.err, "");

  r = Pellfold({"inspect", "--json", dir / "f"});
  EXPECT_EQ(r.out, "[\n  " + JsonObject(dir / "f", GetParam().json) + "\n]\n");
  EXPECT_EQ(r.exitCode, consistent ? 0 : 1);

  // Standard input (a pipe, so the size is counted, not asked) agrees.
  r = Pellfold({"inspect", "-"}, Text(ReadFile(dir / "f")));
  EXPECT_EQ(r.out, "standard input: " + GetParam().text + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, Inspect,
    testing::Values(
        InspectCase{"Empty", [] { return Acbc(0); },
                    "ACBC (not authenticated), length 0, 1 records expected, 1 present: consistent",
                    R"(true 0 512 512 1 1 "consistent" 0 0)"},
        InspectCase{
            "Consistent", [] { return Acbc(1024); },
            "ACBC (not authenticated), length 1024, 3 records expected, 3 present: consistent",
            R"(true 1024 512 1536 3 3 "consistent" 0 0)"},
        InspectCase{"CutInLastRecord", [] { return Resized(Acbc(700), 1436); },
                    "ACBC (not authenticated), length 700, 2 records expected, 2 present (the last "
                    "one partial): "
                    "truncated, 100 bytes missing",
                    R"(true 700 512 924 2 2 "truncated" 100 0)"},
        InspectCase{"RecordMissing", [] { return Resized(Acbc(700), 1024); },
                    "ACBC (not authenticated), length 700, 2 records expected, 1 present: "
                    "truncated, 512 bytes "
                    "missing",
                    R"(true 700 512 512 2 1 "truncated" 512 0)"},
        InspectCase{"CutInHeader", [] { return Resized(Acbc(700), 100); },
                    "ACBC (not authenticated), length 700, 2 records expected, 0 present: "
                    "truncated, 1436 bytes "
                    "missing",
                    R"(true 700 100 0 2 0 "truncated" 1436 0)"},
        InspectCase{"OneByteExtra", [] { return Resized(Acbc(700), 1537); },
                    "ACBC (not authenticated), length 700, 2 records expected, 3 present (the last "
                    "one partial): "
                    "trailing bytes, 1 after the last record",
                    R"(true 700 512 1025 2 3 "trailing-bytes" 0 1)"},
        InspectCase{"NegativeLength", [] { return WithHeader("ACBC -5", 1024); },
                    "ACBC (not authenticated), length -5, 2 records present: negative length",
                    R"(true -5 512 1024 null 2 "negative-length" 0 0)"},
        InspectCase{"LengthOutOfRange", [] { return WithHeader("ACBC 2147483648", 512); },
                    "not an ACBC file", R"(true null 512 512 null 1 "unreadable-length" 0 0)"},
        InspectCase{"NotAcbc", [] { return ToBytes("ACBC"); }, "not an ACBC file",
                    R"(false null 4 0 null null "not-acbc" 0 0)"}),
    [](const testing::TestParamInfo<InspectCase>& p) { return std::string(p.param.name); });

// An age file: its armor, stanzas and work factor, from a pipe too.
TEST(InspectFiles, AgeHeaders) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(1000));
  ASSERT_EQ(Pellfold({"encrypt", "--format", "age", "-a", "-p", "pass:pw", "--work-factor", "10",
                      dir / "plain"})
                .exitCode,
            0);
  auto r = Pellfold({"inspect", dir / "plain.age"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            dir / "plain.age: age, authenticated, armored, 1 stanza: scrypt, work factor 10\n");
  r = Pellfold({"inspect", "--json", "-"}, Text(ReadFile(dir / "plain.age")));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("{\"file\": \"-\", \"format\": \"age\", \"authenticated\": true, "
                       "\"armored\": true, \"stanzas\": [\"scrypt\"], \"work_factor\": 10, "),
            std::string::npos)
      << r.out;
}

TEST(InspectFiles, SeveralFilesAnUnreadableOneAndTheExitStatus) {
  TempDir dir;
  WriteFile(dir / "good", Acbc(10));
  WriteFile(dir / "cut", Resized(Acbc(10), 600));
  auto r = Pellfold({"inspect", dir / "good", dir / "good"});
  EXPECT_EQ(r.exitCode, 0);
  r = Pellfold({"inspect", "--json", dir / "good", dir / "missing", dir / "cut"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: inspect: " + dir / "missing: No such file or directory\n");
  EXPECT_NE(r.out.find("\n  {\"file\": \"" + dir / "missing\", \"verdict\": \"error\", "
                                                   "\"error\": \"No such file or directory\"},\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"verdict\": \"truncated\", \"missing_bytes\": 424"), std::string::npos);
  EXPECT_EQ(Pellfold({"inspect"}).exitCode, 2);
}

}  // namespace
}  // namespace pellfold::test
