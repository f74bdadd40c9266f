#include "vectors.h"

#include <fstream>
#include <stdexcept>

namespace pellfold::test {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::invalid_argument(std::string("not a hex digit: ") + c);
}

}  // namespace

const std::string& VectorRecord::Get(const std::string& name) const {
  const auto it = fields.find(name);
  if (it == fields.end()) throw std::out_of_range(source + ": no field " + name);
  return it->second;
}

Bytes VectorRecord::Hex(const std::string& name) const {
  return FromHex(Get(name));
}

std::vector<VectorRecord> ReadVectorFile(const std::string& name) {
  const std::string path = std::string(PELLFOLD_VECTOR_DIR) + "/" + name;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open vector file " + path);
  std::vector<VectorRecord> records;
  VectorRecord current;
  std::string section;
  std::string line;
  int lineNumber = 0;
  auto flush = [&] {
    if (!current.fields.empty()) records.push_back(current);
    current = VectorRecord{};
  };
  while (std::getline(in, line)) {
    ++lineNumber;
    line = Trim(line);
    if (line.empty()) {
      flush();
      continue;
    }
    if (line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      flush();
      const std::string inner = Trim(line.substr(1, line.size() - 2));
      // "[ENCRYPT]" or "[C.1 AES-128 (Nk=4, Nr=10)]" names a section;
      // "[L = 32]" (one word before the '=') is a parameter header.
      const auto eq = inner.find('=');
      if (eq == std::string::npos || Trim(inner.substr(0, eq)).find(' ') != std::string::npos) {
        section = inner;
      }
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (current.fields.empty()) {
      current.section = section;
      current.source = name + ":" + std::to_string(lineNumber);
    }
    current.fields[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
  }
  flush();
  return records;
}

Bytes FromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + hex);
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(HexDigit(hex[2 * i]) * 16 + HexDigit(hex[2 * i + 1]));
  }
  return out;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace pellfold::test
