// The passes of age.h: encryption chunk by chunk, decryption that releases
// each chunk's plaintext only once it authenticated, the header read alone
// (inspect), the file key rewrapped (rekey), and the format check.
#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kVersionPrefix[] = "age-encryption.org/";
constexpr char kArmorBegin[] = "-----BEGIN AGE ENCRYPTED FILE-----";

acbc_status Seal(Encoder* encoder, bool last, acbc_result* result) {
  SealChunk(encoder->payloadKey, encoder->counter, last, encoder->chunk, encoder->fill,
            encoder->sealed);
  ++encoder->counter;
  const std::size_t size = encoder->fill + kTagSize;
  encoder->fill = 0;
  const std::int64_t before = result->bytes_written;
  const acbc_status status =
      Emit(encoder->out, encoder->armor, &encoder->armorState, encoder->sealed, size, result);
  encoder->bytesWritten += result->bytes_written - before;
  return status;
}

// The header read into `buffer` (kMaxHeaderSize bytes at least), parsed;
// *held is how many bytes were read, the payload's first ones after it.
acbc_status ReadHeader(Input* input, std::uint8_t* buffer, Header* header, std::size_t* held) {
  const std::int64_t got = ReadInput(input, buffer, kMaxHeaderSize);
  if (got < 0) return input->result->status;
  *held = static_cast<std::size_t>(got);
  return ParseHeader(buffer, *held, header);
}

// Fills `buffer` from `held` bytes already there up to `size`; the count.
std::int64_t Fill(Input* input, std::uint8_t* buffer, std::size_t held, std::size_t size) {
  if (held >= size) return static_cast<std::int64_t>(held);
  const std::int64_t got = ReadInput(input, buffer + held, size - held);
  return got < 0 ? -1 : static_cast<std::int64_t>(held) + got;
}

acbc_status Cancelled(const Progress& progress, std::int64_t done, acbc_result* result) {
  return acbc::Report(progress, done) != ACBC_OK ? acbc::Fail(result, ACBC_E_CANCELLED, 0)
                                                 : ACBC_OK;
}

// The last report: done is then the total, also when it was unknown.
acbc_status ReportEnd(const Progress& progress, acbc_result* result) {
  const std::int64_t done = result->bytes_read;
  return Cancelled(Progress{progress.caller, done}, done, result);
}

// Header and file key: under the keys, or the header's MAC checked under
// `knownKey`. Leaves the bytes read after the header at the start of
// `buffer` (*held of them).
acbc_status OpenFile(Input* input, std::uint8_t* buffer, const acbc_age_keys* keys,
                     const FileKey* knownKey, FileKey* key, std::size_t* held,
                     acbc_result* result) {
  Header header;
  acbc_status status = ReadHeader(input, buffer, &header, held);
  if (status != ACBC_OK) return acbc::Fail(result, status, result->error_number);
  if (knownKey != nullptr) {
    *key = *knownKey;
  } else {
    status = OpenHeader(buffer, header, *keys, key);
    if (status != ACBC_OK) return acbc::Fail(result, status, 0);
  }
  std::uint8_t mac[kMacSize];
  HeaderMac(*key, buffer, header.covered, mac);
  if (sodium_memcmp(mac, header.mac, kMacSize) != 0) {
    sodium_memzero(key, sizeof *key);
    return acbc::Fail(result, ACBC_E_AGE_MAC, 0);
  }
  *held -= header.size;
  std::memmove(buffer, buffer + header.size, *held);
  return ACBC_OK;
}

// The STREAM payload after the nonce: chunks of 64 KiB and a tag, the last
// one flagged (and shorter, or whole and then at the end of the input).
acbc_status DecryptChunks(Input* input, std::uint8_t* sealed, std::size_t held,
                          const std::uint8_t payloadKey[kKeySize], Writer out,
                          const Progress& progress, acbc_result* result, std::uint8_t* plain) {
  std::uint64_t counter = 0;
  for (;;) {
    const std::int64_t got = Fill(input, sealed, held, kSealedChunkSize);
    if (got < 0) return result->status;
    held = 0;
    const auto size = static_cast<std::size_t>(got);
    if (size < kTagSize) return acbc::Fail(result, ACBC_E_AGE_PAYLOAD, 0);
    // A whole chunk is either a middle one or, at the end, the last.
    bool last = size < kSealedChunkSize;
    bool opened = OpenChunk(payloadKey, counter, last, sealed, size, plain);
    if (!opened && !last) {
      last = true;
      opened = OpenChunk(payloadKey, counter, last, sealed, size, plain);
    }
    const std::size_t plainSize = size - kTagSize;
    if (!opened || (last && plainSize == 0 && counter > 0)) {
      return acbc::Fail(result, ACBC_E_AGE_PAYLOAD, 0);
    }
    if (acbc::WriteAll(out, plain, plainSize, result) != ACBC_OK) return result->status;
    result->length += static_cast<std::int64_t>(plainSize);
    ++counter;
    if (last) {
      // Anything after the last chunk is an altered file.
      std::uint8_t extra = 0;
      const std::int64_t more = ReadInput(input, &extra, 1);
      if (more < 0) return result->status;
      if (more > 0) return acbc::Fail(result, ACBC_E_AGE_PAYLOAD, 0);
      return ACBC_OK;
    }
    if (Cancelled(progress, result->bytes_read, result) != ACBC_OK) return result->status;
  }
}

}  // namespace

acbc_status EncoderStart(Encoder* encoder, const acbc_age_keys& keys, bool armor, Writer out,
                         acbc_result* result) {
  if (sodium_init() < 0) return acbc::Fail(result, ACBC_E_ARGUMENT, 0);
  encoder->out = out;
  encoder->armor = armor;
  encoder->counter = 0;
  encoder->fill = 0;
  encoder->plaintextBytes = 0;
  encoder->bytesWritten = 0;
  encoder->armorState = ArmorState{};
  randombytes_buf(encoder->key.bytes, kFileKeySize);
  // The header is built in the sealed-chunk buffer, unused until then.
  std::size_t size = 0;
  const acbc_status status = BuildHeader(keys, encoder->key, encoder->sealed, &size);
  if (status != ACBC_OK) {
    EncoderWipe(encoder);
    return acbc::Fail(result, status, 0);
  }
  std::uint8_t nonce[kNonceSize];
  randombytes_buf(nonce, sizeof nonce);
  std::memcpy(encoder->sealed + size, nonce, kNonceSize);
  PayloadKey(encoder->key, nonce, encoder->payloadKey);
  const std::int64_t before = result->bytes_written;
  if (EmitBegin(out, armor, result) != ACBC_OK ||
      Emit(out, armor, &encoder->armorState, encoder->sealed, size + kNonceSize, result) !=
          ACBC_OK) {
    return result->status;
  }
  encoder->bytesWritten += result->bytes_written - before;
  return ACBC_OK;
}

acbc_status EncoderWrite(Encoder* encoder, const std::uint8_t* data, std::size_t size,
                         acbc_result* result) {
  while (size > 0) {
    // A full chunk is sealed only once more plaintext shows it is not the last.
    if (encoder->fill == kChunkSize && Seal(encoder, false, result) != ACBC_OK) {
      return result->status;
    }
    const std::size_t n = std::min(size, kChunkSize - encoder->fill);
    std::memcpy(encoder->chunk + encoder->fill, data, n);
    encoder->fill += n;
    encoder->plaintextBytes += static_cast<std::int64_t>(n);
    data += n;
    size -= n;
  }
  return ACBC_OK;
}

acbc_status EncoderFinish(Encoder* encoder, acbc_result* result) {
  if (Seal(encoder, true, result) != ACBC_OK) return result->status;
  const std::int64_t before = result->bytes_written;
  const acbc_status status = EmitEnd(encoder->out, encoder->armor, &encoder->armorState, result);
  encoder->bytesWritten += result->bytes_written - before;
  return status;
}

void EncoderWipe(Encoder* encoder) {
  sodium_memzero(&encoder->key, sizeof encoder->key);
  sodium_memzero(encoder->payloadKey, sizeof encoder->payloadKey);
  sodium_memzero(encoder->chunk, sizeof encoder->chunk);
  sodium_memzero(&encoder->armorState, sizeof encoder->armorState);
}

// Stack: the sealed chunk (64 KiB + 16), its plaintext (64 KiB) and the
// input's read-ahead (4 KiB), about 133 KiB in all.
acbc_status DecryptPass(Reader in, Writer out, const acbc_age_keys* keys, const FileKey* knownKey,
                        const Progress& progress, acbc_result* result) {
  if (sodium_init() < 0) return acbc::Fail(result, ACBC_E_ARGUMENT, 0);
  if (knownKey == nullptr) {
    if (keys == nullptr) return acbc::Fail(result, ACBC_E_ARGUMENT, 0);
    const acbc_status status = CheckDecryptionKeys(*keys);
    if (status != ACBC_OK) return acbc::Fail(result, status, 0);
  }
  Input input;
  acbc_status status = OpenInput(&input, in, result);
  if (status != ACBC_OK) return acbc::Fail(result, status, result->error_number);
  std::uint8_t sealed[kSealedChunkSize];
  FileKey key;
  std::size_t held = 0;
  status = OpenFile(&input, sealed, keys, knownKey, &key, &held, result);
  if (status != ACBC_OK) return status;
  result->length = 0;
  const std::int64_t got = Fill(&input, sealed, held, kNonceSize);
  if (got < 0 || got < static_cast<std::int64_t>(kNonceSize)) {
    sodium_memzero(&key, sizeof key);
    return got < 0 ? result->status : acbc::Fail(result, ACBC_E_AGE_HEADER, 0);
  }
  std::uint8_t payloadKey[kKeySize];
  PayloadKey(key, sealed, payloadKey);
  sodium_memzero(&key, sizeof key);
  held = static_cast<std::size_t>(got) - kNonceSize;
  std::memmove(sealed, sealed + kNonceSize, held);
  std::uint8_t plain[kChunkSize];
  status = DecryptChunks(&input, sealed, held, payloadKey, out, progress, result, plain);
  sodium_memzero(payloadKey, sizeof payloadKey);
  sodium_memzero(plain, sizeof plain);
  if (status != ACBC_OK) return status;
  return ReportEnd(progress, result);
}

// Stack: the header (16 KiB) and the input's read-ahead (4 KiB).
acbc_status InspectPass(Reader in, acbc_age_info* info, acbc_result* result) {
  Input input;
  acbc_status status = OpenInput(&input, in, result);
  if (status != ACBC_OK) return acbc::Fail(result, status, result->error_number);
  std::uint8_t buffer[kMaxHeaderSize];
  Header header;
  std::size_t held = 0;
  status = ReadHeader(&input, buffer, &header, &held);
  if (status != ACBC_OK) return acbc::Fail(result, status, result->error_number);
  info->header_size = static_cast<std::int64_t>(header.size);
  info->armored = input.armored ? 1 : 0;
  info->stanza_count = static_cast<int>(header.stanzas);
  info->work_factor = header.workFactor;
  std::size_t at = kFirstStanza;
  std::size_t used = 0;
  info->stanza_types[0] = '\0';
  for (std::size_t i = 0; i < header.stanzas; ++i) {
    const Stanza stanza = NextStanza(buffer, &at);
    const char* type = nullptr;
    std::size_t size = 0;
    StanzaArgument(stanza, 0, &type, &size);
    const std::size_t space = used > 0 ? 1 : 0;
    if (used + space + size + 1 > sizeof info->stanza_types) break;
    if (space > 0) info->stanza_types[used++] = ' ';
    std::memcpy(info->stanza_types + used, type, size);
    used += size;
    info->stanza_types[used] = '\0';
  }
  return ACBC_OK;
}

// Stack: the header read (16 KiB), the one written (16 KiB) and the input's
// read-ahead (4 KiB).
acbc_status RewrapPass(Reader in, Writer out, const acbc_age_keys& oldKeys,
                       const acbc_age_keys& newKeys, const Progress& progress,
                       acbc_result* result) {
  if (sodium_init() < 0) return acbc::Fail(result, ACBC_E_ARGUMENT, 0);
  acbc_status status = CheckDecryptionKeys(oldKeys);
  if (status != ACBC_OK) return acbc::Fail(result, status, 0);
  Input input;
  status = OpenInput(&input, in, result);
  if (status != ACBC_OK) return acbc::Fail(result, status, result->error_number);
  std::uint8_t buffer[kMaxHeaderSize];
  FileKey key;
  std::size_t held = 0;
  status = OpenFile(&input, buffer, &oldKeys, nullptr, &key, &held, result);
  if (status != ACBC_OK) return status;
  std::uint8_t header[kMaxHeaderSize];
  std::size_t size = 0;
  status = BuildHeader(newKeys, key, header, &size);
  sodium_memzero(&key, sizeof key);
  if (status != ACBC_OK) return acbc::Fail(result, status, 0);
  const std::int64_t got = Fill(&input, buffer, held, kNonceSize);
  if (got < 0) return result->status;
  if (got < static_cast<std::int64_t>(kNonceSize)) return acbc::Fail(result, ACBC_E_AGE_PAYLOAD, 0);
  held = static_cast<std::size_t>(got);
  ArmorState state;
  if (EmitBegin(out, input.armored, result) != ACBC_OK ||
      Emit(out, input.armored, &state, header, size, result) != ACBC_OK) {
    return result->status;
  }
  while (held > 0) {
    if (Emit(out, input.armored, &state, buffer, held, result) != ACBC_OK) return result->status;
    if (Cancelled(progress, result->bytes_read, result) != ACBC_OK) return result->status;
    const std::int64_t more = ReadInput(&input, buffer, sizeof buffer);
    if (more < 0) return result->status;
    held = static_cast<std::size_t>(more);
  }
  if (EmitEnd(out, input.armored, &state, result) != ACBC_OK) return result->status;
  return ReportEnd(progress, result);
}

acbc_format DetectFormat(const std::uint8_t* head, std::size_t size) {
  const auto starts = [&](std::size_t at, const char* text) {
    const std::size_t n = std::strlen(text);
    return size - at >= n && std::memcmp(head + at, text, n) == 0;
  };
  if (starts(0, kVersionPrefix)) return ACBC_FORMAT_AGE;
  if (starts(0, "ACBC ")) return ACBC_FORMAT_ACBC;
  std::size_t at = 0;
  while (at < size &&
         (head[at] == ' ' || head[at] == '\t' || head[at] == '\r' || head[at] == '\n')) {
    ++at;
  }
  return starts(at, kArmorBegin) ? ACBC_FORMAT_AGE : ACBC_FORMAT_UNKNOWN;
}

}  // namespace pellfold::age
