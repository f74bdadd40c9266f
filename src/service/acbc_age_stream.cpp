// The age stream calls of acbc.h over the passes of age/age.h.
#include <acbc.h>

#include "age/age.h"
#include "service/acbc_engine.h"

namespace pellfold::acbc {
namespace {

// The plaintext read per call of the caller's reader.
constexpr std::size_t kReadPiece = 16384;

// Stack: the encoder (about 128 KiB) and one read piece (16 KiB).
acbc_status EncryptStream(Reader in, Writer out, const acbc_age_keys& keys, bool armor,
                          const Progress& progress, acbc_result* result) {
  age::Encoder encoder;
  acbc_status status = age::EncoderStart(&encoder, keys, armor, out, result);
  std::uint8_t piece[kReadPiece];
  while (status == ACBC_OK) {
    const std::int64_t got = ReadFull(in, piece, sizeof piece, result);
    if (got < 0) {
      status = result->status;
      break;
    }
    if (got == 0) break;
    status = age::EncoderWrite(&encoder, piece, static_cast<std::size_t>(got), result);
    if (status == ACBC_OK && Report(progress, result->bytes_read) != ACBC_OK) {
      status = Fail(result, ACBC_E_CANCELLED, 0);
    }
  }
  if (status == ACBC_OK) status = age::EncoderFinish(&encoder, result);
  result->length = encoder.plaintextBytes;
  age::EncoderWipe(&encoder);
  if (status == ACBC_OK &&
      Report(Progress{progress.caller, result->bytes_read}, result->bytes_read) != ACBC_OK) {
    status = Fail(result, ACBC_E_CANCELLED, 0);
  }
  return status;
}

}  // namespace
}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API acbc_status acbc_age_encrypt_stream(acbc_read_fn read, void* read_context,
                                             acbc_write_fn write, void* write_context,
                                             const acbc_age_keys* keys, unsigned flags,
                                             const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (read == nullptr || write == nullptr || keys == nullptr ||
      !FlagsValid(flags, ACBC_AGE_ARMOR)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  // The plaintext's length is not known before the end: the total is -1.
  const acbc_status status =
      EncryptStream(Reader{read, read_context}, Writer{write, write_context}, *keys,
                    (flags & ACBC_AGE_ARMOR) != 0, Progress{progress, -1}, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_decrypt_stream(acbc_read_fn read, void* read_context,
                                             acbc_write_fn write, void* write_context,
                                             const acbc_age_keys* keys, unsigned flags,
                                             const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (read == nullptr || write == nullptr || keys == nullptr || flags != 0) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  // Stack: DecryptPass's, about 133 KiB.
  const acbc_status status =
      pellfold::age::DecryptPass(Reader{read, read_context}, Writer{write, write_context}, keys,
                                 nullptr, Progress{progress, -1}, &r);
  return Finish(result, &r, status);
}

}  // extern "C"
