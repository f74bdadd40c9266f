// The streaming scheme shared by MD5 and SHA-256.
//
// Both digests keep a 64-bit byte count as two 32-bit words (low word first),
// a 64-byte buffer for a partial block and their chaining words. Whole blocks
// are compressed straight from the caller's memory; only the partial blocks
// at either end of an update pass through the buffer, so between calls the
// buffer holds exactly count[0] % 64 valid bytes and never a whole block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pellfold::digest_detail {

constexpr std::uint32_t kBlockSize = 64;

// Absorbs length bytes from input (any alignment) into a context that has the
// fields count[2] and buffer[64]; compress(blocks, n) compresses n
// consecutive 64-byte blocks into the context's chaining words, so that a
// long run of whole blocks goes through one call. A zero length returns
// before anything is read or written, count included.
template <typename Context, typename Compress>
void AbsorbBlockRuns(Context* context, const std::uint8_t* input, std::uint32_t length,
                     Compress compress) {
  if (length == 0) return;
  std::uint32_t used = context->count[0] % kBlockSize;
  context->count[0] += length;
  // The low word wrapped exactly when its new value is below the addend.
  if (context->count[0] < length) ++context->count[1];

  const std::uint32_t fill = kBlockSize - used;
  if (used != 0 && length >= fill) {
    std::memcpy(context->buffer + used, input, fill);
    compress(context->buffer, std::uint32_t{1});
    input += fill;
    length -= fill;
    used = 0;
  }
  const std::uint32_t whole = length / kBlockSize;
  if (whole != 0) {
    compress(input, whole);
    input += std::size_t{whole} * kBlockSize;
    length %= kBlockSize;
  }
  if (length != 0) std::memcpy(context->buffer + used, input, length);
}

// The same with Transform compressing one 64-byte block at a time.
template <typename Context, void (*Transform)(Context*, const std::uint8_t*)>
void AbsorbBlocks(Context* context, const std::uint8_t* input, std::uint32_t length) {
  AbsorbBlockRuns(context, input, length, [context](const std::uint8_t* blocks, std::uint32_t n) {
    for (std::size_t i = 0; i < n; ++i) Transform(context, blocks + i * kBlockSize);
  });
}

// How many padding bytes (0x80 then zeros) go before the 8-byte length field
// so that the message ends on a block boundary: 56 - used when the length
// still fits into the current block, else 120 - used; always 1 to 64.
constexpr std::uint32_t PaddingLength(std::uint32_t countLow) {
  const std::uint32_t used = countLow % kBlockSize;
  return used < 56 ? 56 - used : 120 - used;
}

// The message length in bits, byte count times 8 modulo 2^64, as two words.
// It must be taken before the padding is absorbed, since that advances count.
constexpr std::uint32_t BitCountHigh(const std::uint32_t count[2]) {
  return (count[1] << 3) | (count[0] >> 29);
}
constexpr std::uint32_t BitCountLow(const std::uint32_t count[2]) {
  return count[0] << 3;
}

}  // namespace pellfold::digest_detail
