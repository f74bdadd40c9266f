// Reading an age file as it is or through its ASCII armor, and writing the
// armor. The armor is strict: whitespace only before the first and after
// the last line, LF or CRLF line ends (the same throughout), padded base64
// in lines of 64 columns with only the last one shorter, nothing else.
#include <algorithm>
#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kBegin[] = "-----BEGIN AGE ENCRYPTED FILE-----";
constexpr char kEnd[] = "-----END AGE ENCRYPTED FILE-----";
constexpr char kVersionPrefix[] = "age-encryption.org/";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The longest armor line read: a data line, its CR and one more.
constexpr std::size_t kMaxLine = kLineWidth + 2;

bool Whitespace(int c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::int64_t Fail(Input* input, acbc_status status) {
  acbc::Fail(input->result, status, 0);
  return -1;
}

// The next raw byte, -1 at the end, -2 after a read failure.
int RawByte(Input* input) {
  if (input->at == input->end) {
    if (input->rawEnded) return -1;
    const std::int64_t got =
        acbc::ReadFull(input->raw, input->pending, sizeof input->pending, input->result);
    if (got < 0) return -2;
    input->at = 0;
    input->end = static_cast<std::size_t>(got);
    if (input->end < sizeof input->pending) input->rawEnded = true;
    if (input->end == 0) return -1;
  }
  return input->pending[input->at++];
}

// Reads one armor line without its end into `line`. Returns its length, or
// -1 after a failure; *ended tells a line that stopped at the end of input.
std::int64_t ArmorLine(Input* input, char* line, bool* ended) {
  std::size_t length = 0;
  *ended = false;
  for (;;) {
    const int c = RawByte(input);
    if (c == -2) return -1;
    if (c == -1) {
      *ended = true;
      break;
    }
    if (c == '\n') break;
    if (length == kMaxLine) return Fail(input, ACBC_E_AGE_ARMOR);
    line[length++] = static_cast<char>(c);
  }
  // The line end: the one the first line had.
  const bool cr = length > 0 && line[length - 1] == '\r';
  if (!*ended && cr != input->crlf) return Fail(input, ACBC_E_AGE_ARMOR);
  if (cr) --length;
  return static_cast<std::int64_t>(length);
}

// Takes the end line and then requires nothing but whitespace.
std::int64_t FinishArmor(Input* input) {
  for (;;) {
    const int c = RawByte(input);
    if (c == -2) return -1;
    if (c == -1) break;
    if (!Whitespace(c)) return Fail(input, ACBC_E_AGE_ARMOR);
  }
  input->finished = true;
  return 0;
}

// Decodes the next data line into input->decoded; 0 at the end line.
std::int64_t NextArmorLine(Input* input) {
  char line[kMaxLine + 1];
  bool ended = false;
  const std::int64_t got = ArmorLine(input, line, &ended);
  if (got < 0) return -1;
  const auto length = static_cast<std::size_t>(got);
  if (length == sizeof kEnd - 1 && std::memcmp(line, kEnd, length) == 0) {
    return FinishArmor(input);
  }
  if (ended || input->lastLine || length == 0 || length > kLineWidth || length % 4 != 0) {
    return Fail(input, ACBC_E_AGE_ARMOR);
  }
  std::size_t padding = 0;
  while (padding < 2 && line[length - 1 - padding] == '=') ++padding;
  input->lastLine = length < kLineWidth || padding > 0;
  std::uint32_t bits = 0;
  std::size_t written = 0;
  for (std::size_t i = 0; i < length - padding; ++i) {
    const int value = Base64Value(line[i]);
    if (value < 0) return Fail(input, ACBC_E_AGE_ARMOR);
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (i % 4 != 0) {
      input->decoded[written++] = static_cast<std::uint8_t>(bits >> (6 - 2 * (i % 4)));
    }
  }
  // The bits the padding leaves over must be zero (canonical base64).
  if (padding > 0 && !CanonicalBase64Tail(length - padding, line[length - padding - 1])) {
    return Fail(input, ACBC_E_AGE_ARMOR);
  }
  input->decodedAt = 0;
  input->decodedEnd = written;
  return static_cast<std::int64_t>(written);
}

acbc_status OpenArmor(Input* input) {
  char line[kMaxLine + 1];
  std::size_t length = 0;
  for (;;) {
    const int c = RawByte(input);
    if (c == -2) return input->result->status;
    if (c == -1 || c == '\n') break;
    if (length == kMaxLine) return ACBC_E_AGE_ARMOR;
    line[length++] = static_cast<char>(c);
  }
  input->crlf = length > 0 && line[length - 1] == '\r';
  if (input->crlf) --length;
  if (length != sizeof kBegin - 1 || std::memcmp(line, kBegin, length) != 0) {
    return ACBC_E_AGE_ARMOR;
  }
  input->armored = true;
  return ACBC_OK;
}

bool Contains(const std::uint8_t* bytes, std::size_t size, const char* text) {
  const std::size_t n = std::strlen(text);
  for (std::size_t at = 0; at + n <= size; ++at) {
    if (std::memcmp(bytes + at, text, n) == 0) return true;
  }
  return false;
}

acbc_status Put(Writer out, const char* text, std::size_t size, acbc_result* result) {
  return acbc::WriteAll(out, reinterpret_cast<const std::uint8_t*>(text), size, result);
}

}  // namespace

acbc_status OpenInput(Input* input, Reader raw, acbc_result* result) {
  input->raw = raw;
  input->result = result;
  const std::int64_t got = acbc::ReadFull(raw, input->pending, sizeof input->pending, result);
  if (got < 0) return result->status;
  input->end = static_cast<std::size_t>(got);
  input->rawEnded = input->end < sizeof input->pending;
  if (input->end == 0) return ACBC_E_AGE_HEADER;
  const std::size_t prefix = std::min(input->end, sizeof kVersionPrefix - 1);
  if (std::memcmp(input->pending, kVersionPrefix, prefix) == 0) return ACBC_OK;
  for (;;) {
    const int c = RawByte(input);
    if (c == -2) return result->status;
    if (c == '-') break;
    if (c == -1 || !Whitespace(c)) {
      // Text before the armor's first line makes a malformed armor.
      return Contains(input->pending, input->end, kBegin) ? ACBC_E_AGE_ARMOR : ACBC_E_NOT_AGE;
    }
  }
  --input->at;  // RawByte just took the '-' from the buffer
  return OpenArmor(input);
}

std::int64_t ReadInput(Input* input, std::uint8_t* buffer, std::size_t size) {
  std::size_t got = 0;
  if (!input->armored) {
    const std::size_t held = std::min(size, input->end - input->at);
    std::memcpy(buffer, input->pending + input->at, held);
    input->at += held;
    got = held;
    if (got < size && !input->rawEnded) {
      const std::int64_t more = acbc::ReadFull(input->raw, buffer + got, size - got, input->result);
      if (more < 0) return -1;
      got += static_cast<std::size_t>(more);
      if (got < size) input->rawEnded = true;
    }
    return static_cast<std::int64_t>(got);
  }
  while (got < size) {
    if (input->decodedAt == input->decodedEnd) {
      if (input->finished) break;
      if (NextArmorLine(input) < 0) return -1;
      continue;
    }
    const std::size_t n = std::min(size - got, input->decodedEnd - input->decodedAt);
    std::memcpy(buffer + got, input->decoded + input->decodedAt, n);
    input->decodedAt += n;
    got += n;
  }
  return static_cast<std::int64_t>(got);
}

acbc_status EmitBegin(Writer out, bool armor, acbc_result* result) {
  if (!armor) return ACBC_OK;
  if (Put(out, kBegin, sizeof kBegin - 1, result) != ACBC_OK) return result->status;
  return Put(out, "\n", 1, result);
}

acbc_status Emit(Writer out, bool armor, ArmorState* state, const std::uint8_t* data,
                 std::size_t size, acbc_result* result) {
  if (!armor) return acbc::WriteAll(out, data, size, result);
  // Whole groups of three bytes become four characters; lines of 64.
  char text[4096];
  std::size_t used = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (state->carrySize < 2) {
      state->carry[state->carrySize++] = data[i];
      continue;
    }
    const std::uint32_t group =
        (std::uint32_t{state->carry[0]} << 16) | (std::uint32_t{state->carry[1]} << 8) | data[i];
    state->carrySize = 0;
    for (int shift = 18; shift >= 0; shift -= 6) text[used++] = kBase64[(group >> shift) & 63u];
    state->column += 4;
    if (state->column == kLineWidth) {
      text[used++] = '\n';
      state->column = 0;
    }
    if (used + 5 > sizeof text) {
      if (Put(out, text, used, result) != ACBC_OK) return result->status;
      used = 0;
    }
  }
  return Put(out, text, used, result);
}

acbc_status EmitEnd(Writer out, bool armor, ArmorState* state, acbc_result* result) {
  if (!armor) return ACBC_OK;
  char text[8 + sizeof kEnd];
  std::size_t used = 0;
  if (state->carrySize > 0) {
    std::uint32_t group = std::uint32_t{state->carry[0]} << 16;
    if (state->carrySize == 2) group |= std::uint32_t{state->carry[1]} << 8;
    text[used++] = kBase64[(group >> 18) & 63u];
    text[used++] = kBase64[(group >> 12) & 63u];
    text[used++] = state->carrySize == 2 ? kBase64[(group >> 6) & 63u] : '=';
    text[used++] = '=';
    state->column += 4;
    state->carrySize = 0;
  }
  if (state->column > 0) text[used++] = '\n';
  state->column = 0;
  std::memcpy(text + used, kEnd, sizeof kEnd - 1);
  used += sizeof kEnd - 1;
  text[used++] = '\n';
  return Put(out, text, used, result);
}

}  // namespace pellfold::age
