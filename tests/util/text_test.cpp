// TrimLineEnd: only the trailing run of CR and LF goes, every removed byte
// becomes NUL, and nothing outside the string is touched or read.
#include "util/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace pellfold::test {
namespace {

class TrimLineEndTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(TrimLineEndTest, CutsTrailingRunOnly) {
  const auto& [input, expected] = GetParam();
  // Between a '\n' guard byte, which a step before the first byte would erase,
  // and "##" after the terminator.
  std::string buffer = "\n" + input + '\0' + "##";
  pellfold::TrimLineEnd(&buffer[1]);
  EXPECT_EQ(buffer, "\n" + expected + std::string(input.size() - expected.size() + 1, '\0') + "##");
  // At the start of its own heap block, where AddressSanitizer reports a read
  // of the byte before.
  auto owned = std::make_unique<char[]>(input.size() + 1);
  std::memcpy(owned.get(), input.c_str(), input.size() + 1);
  pellfold::TrimLineEnd(owned.get());
  EXPECT_EQ(std::string(owned.get(), input.size() + 1), buffer.substr(1, input.size() + 1));
}

INSTANTIATE_TEST_SUITE_P(Strings, TrimLineEndTest,
                         ::testing::Values(std::pair{"abc\r\n", "abc"}, std::pair{"x\r\r\n\n", "x"},
                                           std::pair{"a\n\r\n\r", "a"}, std::pair{"a\nb\n", "a\nb"},
                                           std::pair{"x\n \n", "x\n "},
                                           std::pair{"x\n\t\r", "x\n\t"},
                                           std::pair{"\x80\r\n", "\x80"}, std::pair{"\r\n\r\n", ""},
                                           std::pair{"\n", ""}, std::pair{"\r", ""},
                                           std::pair{"", ""}, std::pair{"abc", "abc"},
                                           std::pair{"\nabc", "\nabc"}));

}  // namespace
}  // namespace pellfold::test
