// Choosing the record path.
#include "aes/aes_record.h"

#include <atomic>

namespace pellfold {

// Paths this build lacks; the instruction paths live in files of their own
// that the build adds only for their architecture.
#if !defined(PELLFOLD_RECORD_X86)
const AESRecordPath* AESRecordPathX86() {
  return nullptr;
}
const AESRecordPath* AESRecordPathVaes() {
  return nullptr;
}
#endif
#if !defined(PELLFOLD_RECORD_ARM)
const AESRecordPath* AESRecordPathArm() {
  return nullptr;
}
#endif

namespace {

std::atomic<bool> forcePortable{false};

}  // namespace

int AESRecordPathList(const AESRecordPath** paths, int max) {
  int n = 0;
  for (const AESRecordPath* path :
       {AESRecordPathVaes(), AESRecordPathX86(), AESRecordPathArm(), AESRecordPathPortable()}) {
    if (path != nullptr && n < max) paths[n++] = path;
  }
  return n;
}

const AESRecordPath* AESRecordPathSelect() {
  // A function-local static is initialised exactly once, even when several
  // threads get here first at the same moment.
  static const AESRecordPath* const chosen = [] {
    const AESRecordPath* first = nullptr;
    AESRecordPathList(&first, 1);
    return first;
  }();
  return forcePortable.load(std::memory_order_relaxed) ? AESRecordPathPortable() : chosen;
}

void AESRecordForcePortable(bool force) {
  forcePortable.store(force, std::memory_order_relaxed);
}

}  // namespace pellfold
