#include "util/wipe.h"

#include <string.h>

namespace pellfold {

void SecureZero(void* p, std::size_t size) {
#if defined(__GLIBC__)
  explicit_bzero(p, size);
#else
  // Stores through a volatile pointer are observable behaviour, so none of
  // them can be removed.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
#endif
}

}  // namespace pellfold
