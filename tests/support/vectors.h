// Reader for the known-answer files in tests/vectors.
//
// Both the NIST CAVP .rsp files (CRLF line ends, "[ENCRYPT]" sections) and
// the project's .txt files use "NAME = value" lines grouped into records
// separated by blank lines, with '#' comments. A record remembers the
// section it stood in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pellfold::test {

using Bytes = std::vector<std::uint8_t>;

struct VectorRecord {
  std::string section;  // e.g. "ENCRYPT", "" when the file has none
  std::string source;   // "file:line" of the record's first field
  std::map<std::string, std::string> fields;

  const std::string& Get(const std::string& name) const;
  Bytes Hex(const std::string& name) const;
  bool Has(const std::string& name) const { return fields.count(name) != 0; }
};

// Reads tests/vectors/<name>; throws std::runtime_error if it cannot be read.
std::vector<VectorRecord> ReadVectorFile(const std::string& name);

Bytes FromHex(const std::string& hex);
std::string ToHex(const std::uint8_t* data, std::size_t size);
inline std::string ToHex(const Bytes& b) {
  return ToHex(b.data(), b.size());
}

}  // namespace pellfold::test
