// libFuzzer target: any byte string as an ACBC file. Decoding must stay in
// bounds (the sanitizers watch) and write exactly the bytes the format rule
// allows: none for a negative length, else min(length, body bytes).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/acbc_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::FILE* input = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  char* written = nullptr;
  std::size_t writtenSize = 0;
  std::FILE* output = open_memstream(&written, &writtenSize);
  if (input == nullptr || output == nullptr) std::abort();

  static const std::uint8_t kPassword[] = "fuzz";
  std::int32_t length = 0;
  const pellfold::AcbcStatus header = pellfold::AcbcReadHeader(input, &length);
  if (header == pellfold::AcbcStatus::kOk) {
    if (pellfold::AcbcDecryptBody(input, length, output, kPassword, 4) !=
        pellfold::AcbcStatus::kOk) {
      std::abort();
    }
  }
  std::fclose(input);
  std::fclose(output);

  if (header == pellfold::AcbcStatus::kOk) {
    const std::size_t body = size > 512 ? size - 512 : 0;
    const std::size_t expected = length < 0 ? 0 : std::min(static_cast<std::size_t>(length), body);
    if (writtenSize != expected) std::abort();
    // The length survives a trip through the header writer.
    std::uint8_t record[512];
    std::int32_t again = 0;
    pellfold::AcbcFormatHeader(length, record);
    if (!pellfold::AcbcParseHeader(record, &again) || again != length) std::abort();
  }
  std::free(written);
  return 0;
}
