// Wiping secrets.
#pragma once

#include <cstddef>

namespace pellfold {

// Overwrites size bytes at p with zeros by a store the compiler may not drop,
// even when p is never read again: for keys, key schedules and passwords
// that are about to go out of scope.
void SecureZero(void* p, std::size_t size);

}  // namespace pellfold
