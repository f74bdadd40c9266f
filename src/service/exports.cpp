// The library's two exported functions: argument conversion and the fatal
// exit around the file logic in acbc.cpp.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pellfold.h"
#include "service/acbc_format.h"
#include "service/narrow.h"
#include "util/wipe.h"

namespace pellfold {
namespace {

// Ends the process with status 1 from inside a library call. stdio output
// is flushed first so that the message and the host's own buffered output
// are not lost; _Exit then ends the process without running the host's
// atexit handlers, which could re-enter a half-finished host.
[[noreturn]] void FatalExit() {
  std::fflush(nullptr);
  std::_Exit(1);
}

// The narrow (UTF-8) forms of the three arguments, in the call's own
// storage. A path whose UTF-8 form does not fit in PATH_MAX bytes is left
// null and then fails exactly like a file that does not open.
struct NarrowArguments {
  char input[PATH_MAX];
  char output[PATH_MAX];
  char password[kAcbcPasswordBufferSize];
  const char* inputPath;
  const char* outputPath;
  std::int32_t passwordLength;
};

void Prepare(const char16_t* inputPath, const char16_t* outputPath, const char16_t* password,
             NarrowArguments* args) {
  if (inputPath == nullptr || outputPath == nullptr || password == nullptr) FatalExit();
  std::memset(args->password, 0, sizeof args->password);
  args->inputPath =
      NarrowUtf16(inputPath, args->input, sizeof args->input) >= 0 ? args->input : nullptr;
  args->outputPath =
      NarrowUtf16(outputPath, args->output, sizeof args->output) >= 0 ? args->output : nullptr;
  // Cut after 511 bytes; only the first 32 reach the key anyway.
  args->passwordLength = static_cast<std::int32_t>(
      NarrowUtf16Truncated(password, args->password, sizeof args->password));
}

// The narrowed password is wiped before the call returns or ends the process.
void Forget(NarrowArguments* args) {
  SecureZero(args->password, sizeof args->password);
}

const std::uint8_t* Bytes(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

}  // namespace
}  // namespace pellfold

extern "C" PELLFOLD_API std::int32_t AESEncypt(const char16_t* inputPath,
                                               const char16_t* outputPath,
                                               const char16_t* password) {
  using namespace pellfold;
  NarrowArguments args;
  Prepare(inputPath, outputPath, password, &args);
  const AcbcStatus status =
      AcbcEncryptFile(args.inputPath, args.outputPath, Bytes(args.password), args.passwordLength);
  Forget(&args);
  if (status != AcbcStatus::kOk) FatalExit();
  return 999;
}

extern "C" PELLFOLD_API std::int32_t AESDecrypt(const char16_t* inputPath,
                                                const char16_t* outputPath,
                                                const char16_t* password) {
  using namespace pellfold;
  NarrowArguments args;
  Prepare(inputPath, outputPath, password, &args);
  const AcbcStatus status =
      AcbcDecryptFile(args.inputPath, args.outputPath, Bytes(args.password), args.passwordLength);
  Forget(&args);
  if (status == AcbcStatus::kBadFormat) {
    std::fputs("error: wrong input file format\n", stdout);
  }
  if (status != AcbcStatus::kOk) FatalExit();
  return 0;
}
