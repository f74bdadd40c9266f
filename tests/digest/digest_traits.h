// MD5 and SHA-256 behind one interface, so that the properties of their shared
// streaming design run as typed tests over both.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "digest/md5.h"
#include "digest/sha256.h"
#include "oracle.h"
#include "util/byteorder.h"

namespace pellfold::test {

template <typename C, void (*InitFn)(C*), void (*UpdateFn)(C*, const std::uint8_t*, std::uint32_t),
          void (*FinalFn)(C*, std::uint8_t*), Bytes (*OracleFn)(const Bytes&), std::size_t Words,
          bool BigEndian>
struct Digest {
  using Context = C;
  static constexpr auto Init = InitFn;
  static constexpr auto Update = UpdateFn;
  static constexpr auto Final = FinalFn;
  static constexpr std::size_t kWords = Words;
  static constexpr auto Oracle = OracleFn;
  static std::uint32_t Word(const std::uint8_t* p) { return BigEndian ? LoadBe32(p) : LoadLe32(p); }
  // The 64-bit bit-length field that ends the last block.
  static std::uint64_t LengthField(const std::uint8_t* p) {
    const std::uint64_t first = Word(p), second = Word(p + 4);
    return BigEndian ? first << 32 | second : second << 32 | first;
  }
  // Digest of size bytes fed as pieces of the given sizes, cut short at the
  // end of the data, then one update with whatever is left; the finished
  // context is left in *context.
  static Bytes Run(const std::uint8_t* data, std::size_t size,
                   const std::vector<std::size_t>& pieces, C* context) {
    Init(context);
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
      const std::size_t n = std::min(piece, size - offset);
      Update(context, data + offset, static_cast<std::uint32_t>(n));
      offset += n;
    }
    Update(context, data + offset, static_cast<std::uint32_t>(size - offset));
    Bytes digest(4 * Words);
    Final(context, digest.data());
    return digest;
  }
  static Bytes Run(const Bytes& data) {
    C context;
    return Run(data.data(), data.size(), {}, &context);
  }
};

using Md5 = Digest<MD5Context, MD5Init, MD5Update, MD5Final, OracleMd5, 4, false>;
using Sha256 = Digest<SHA256Context, SHA256Init, SHA256Update, SHA256Final, OracleSha256, 8, true>;

}  // namespace pellfold::test
