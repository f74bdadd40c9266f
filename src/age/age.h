// age (age-encryption.org/v1) behind libacbc's age calls: the header with
// its recipient stanzas and MAC, the STREAM payload in 64 KiB chunks, and
// the ASCII armor, over the same reader and writer callbacks as the ACBC
// passes. Callers allocate every state; nothing here uses the heap (scrypt
// inside libsodium excepted, which needs 128 * r * N bytes).
#pragma once

#include <acbc.h>

#include <cstddef>
#include <cstdint>

#include "service/acbc_engine.h"

namespace pellfold::age {

using acbc::Progress;
using acbc::Reader;
using acbc::Writer;

constexpr std::size_t kFileKeySize = 16;
constexpr std::size_t kChunkSize = ACBC_AGE_CHUNK_SIZE;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kSealedChunkSize = kChunkSize + kTagSize;
constexpr std::size_t kNonceSize = 16;
// The longest header read or written: room for many X25519 stanzas.
constexpr std::size_t kMaxHeaderSize = 16384;

struct FileKey {
  std::uint8_t bytes[kFileKeySize];
};

// The ASCII armor being written: bytes waiting for a whole group of three
// and the column of the line.
struct ArmorState {
  std::uint8_t carry[2]{};
  std::size_t carrySize = 0;
  std::size_t column = 0;
};

// Push-style encryption: Start writes the header (and the armor's first
// line), Write takes plaintext in any pieces, Finish seals the last chunk
// and ends the armor. The file key stays in `key` until Wipe, so that a
// caller can read what it wrote back under it. About 128 KiB, which the
// caller provides (on its stack in acbc_age_encrypt_stream).
struct Encoder {
  Writer out{};
  bool armor = false;
  FileKey key{};
  std::uint8_t payloadKey[32]{};
  std::uint64_t counter = 0;  // chunks sealed so far
  std::size_t fill = 0;       // plaintext bytes waiting in `chunk`
  std::int64_t plaintextBytes = 0;
  std::int64_t bytesWritten = 0;  // bytes given to `out`
  // The armor's base64: up to two bytes waiting for a third, and the
  // column of the line being written.
  ArmorState armorState{};
  std::uint8_t chunk[kChunkSize];
  std::uint8_t sealed[kSealedChunkSize];
};

acbc_status EncoderStart(Encoder* encoder, const acbc_age_keys& keys, bool armor, Writer out,
                         acbc_result* result);
acbc_status EncoderWrite(Encoder* encoder, const std::uint8_t* data, std::size_t size,
                         acbc_result* result);
acbc_status EncoderFinish(Encoder* encoder, acbc_result* result);
void EncoderWipe(Encoder* encoder);

// Decrypts an age file (binary or armored) from `in` into `out`, each
// chunk's plaintext written only once it authenticated. With `knownKey` the
// stanzas are not opened: the header's MAC is checked under that file key
// (a read-back check). result->length is the plaintext length written.
acbc_status DecryptPass(Reader in, Writer out, const acbc_age_keys* keys, const FileKey* knownKey,
                        const Progress& progress, acbc_result* result);

// Reads the header (through the armor if there is one) and fills `info`
// (all but file_size).
acbc_status InspectPass(Reader in, acbc_age_info* info, acbc_result* result);

// Opens the header under `oldKeys`, writes a new header for the same file
// key under `newKeys`, then copies the payload unchanged (armored in,
// armored out). Ends with ACBC_E_AGE_PAYLOAD only for a payload too short
// to hold a nonce; the chunks are not decrypted.
acbc_status RewrapPass(Reader in, Writer out, const acbc_age_keys& oldKeys,
                       const acbc_age_keys& newKeys, const Progress& progress, acbc_result* result);

// ACBC_FORMAT_AGE when `head` (the first bytes of a file, at most `size`)
// begins with the age version line or, after white space, the armor's
// first line; ACBC_FORMAT_ACBC for "ACBC "; else ACBC_FORMAT_UNKNOWN.
acbc_format DetectFormat(const std::uint8_t* head, std::size_t size);

}  // namespace pellfold::age
