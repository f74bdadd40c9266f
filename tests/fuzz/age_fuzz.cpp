// libFuzzer target: a fuzzer-chosen age file (binary or armored) through
// acbc_age_decrypt_stream with a fixed identity, a passphrase and a low
// work-factor ceiling, so that the header parser, the armor and the STREAM
// payload all see the input. Input: one byte choosing the reads' size,
// then the file.
// - result->length is the plaintext released, on failures too;
// - read in two different piece sizes the file gives the same status and
//   the same plaintext.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "acbc.h"

namespace {

// The identity of the conformance vectors in tests/vectors/age.
const char* const kIdentity =
    "AGE-SECRET-KEY-1EGTZVFFV20835NWYV6270LXYVK2VKNX2MMDKWYKLMGR48UAWX40Q2P2LM0";

void Require(bool condition) {
  if (!condition) std::abort();
}

struct Source {
  const std::uint8_t* data;
  std::size_t left;
  std::size_t piece;
};

std::ptrdiff_t ReadSource(void* context, void* buffer, std::size_t size) {
  Source& source = *static_cast<Source*>(context);
  const std::size_t n = std::min({size, source.left, source.piece});
  std::memcpy(buffer, source.data, n);
  source.data += n;
  source.left -= n;
  return static_cast<std::ptrdiff_t>(n);
}

int WriteSink(void* context, const void* buffer, std::size_t size) {
  auto& sink = *static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  sink.insert(sink.end(), bytes, bytes + size);
  return 0;
}

acbc_status Decrypt(const std::uint8_t* file, std::size_t size, std::size_t piece,
                    std::vector<std::uint8_t>* plain) {
  acbc_age_keys keys{};
  keys.passphrase = "password";
  keys.passphrase_length = 8;
  keys.work_factor = 6;
  keys.identities = &kIdentity;
  keys.identity_count = 1;
  Source source{file, size, piece};
  acbc_result result{};
  const acbc_status status =
      acbc_age_decrypt_stream(ReadSource, &source, WriteSink, plain, &keys, 0, nullptr, &result);
  Require(result.status == status);
  Require(result.bytes_written == static_cast<std::int64_t>(plain->size()));
  if (!plain->empty()) Require(result.length == static_cast<std::int64_t>(plain->size()));
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1u + data[0] * 61u;
  std::vector<std::uint8_t> first;
  std::vector<std::uint8_t> second;
  const acbc_status status = Decrypt(data + 1, size - 1, piece, &first);
  Require(Decrypt(data + 1, size - 1, 65536, &second) == status);
  Require(first == second);
  return 0;
}
