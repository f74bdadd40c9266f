// The streaming scheme shared by MD5 and SHA-256.
//
// Both digests keep a 64-bit byte count as two 32-bit words (low word first),
// a 64-byte buffer for a partial block and their chaining words. Whole blocks
// are compressed straight from the caller's memory; only the partial blocks
// at either end of an update pass through the buffer, so between calls the
// buffer holds exactly count[0] % 64 valid bytes and never a whole block.
#pragma once

#include <cstdint>
#include <cstring>

namespace pellfold::digest_detail {

constexpr std::uint32_t kBlockSize = 64;

// Absorbs length bytes from input (any alignment) into a context that has the
// fields count[2] and buffer[64]; Transform compresses one 64-byte block into
// the context's chaining words. A zero length returns before anything is read
// or written, count included.
template <typename Context, void (*Transform)(Context*, const std::uint8_t*)>
void AbsorbBlocks(Context* context, const std::uint8_t* input, std::uint32_t length) {
  if (length == 0) return;
  std::uint32_t used = context->count[0] % kBlockSize;
  context->count[0] += length;
  // The low word wrapped exactly when its new value is below the addend.
  if (context->count[0] < length) ++context->count[1];

  const std::uint32_t fill = kBlockSize - used;
  if (used != 0 && length >= fill) {
    std::memcpy(context->buffer + used, input, fill);
    Transform(context, context->buffer);
    input += fill;
    length -= fill;
    used = 0;
  }
  for (; length >= kBlockSize; input += kBlockSize, length -= kBlockSize) {
    Transform(context, input);
  }
  if (length != 0) std::memcpy(context->buffer + used, input, length);
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
