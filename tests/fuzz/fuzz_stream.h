// Shared by the fuzz targets that drive libacbc's stream calls: a reader
// over the fuzzer's bytes in pieces of a chosen size, and a writer that
// collects what a call releases.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

inline void Require(bool condition) {
  if (!condition) std::abort();
}

struct Source {
  const std::uint8_t* data;
  std::size_t left;
  std::size_t piece;
};

inline std::ptrdiff_t ReadSource(void* context, void* buffer, std::size_t size) {
  Source& source = *static_cast<Source*>(context);
  const std::size_t n = std::min({size, source.left, source.piece});
  std::memcpy(buffer, source.data, n);
  source.data += n;
  source.left -= n;
  return static_cast<std::ptrdiff_t>(n);
}

inline int WriteSink(void* context, const void* buffer, std::size_t size) {
  auto& sink = *static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  sink.insert(sink.end(), bytes, bytes + size);
  return 0;
}

}  // namespace fuzz
