// SHA-256 compression paths: the portable unrolled one that every build has,
// and paths for SHA instructions (x86-64 SHA extensions, ARMv8 SHA2) that a
// build includes when PELLFOLD_HARDWARE_CRYPTO is on and that exist at run
// time only when the processor has the instructions. Every path gives
// exactly the chaining words of FIPS 180-2's compression for every block.
// SHA256Update and SHA256Transform take SHA256PathSelect() and never need to
// know which path it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pellfold {

struct SHA256Path {
  const char* name;  // "portable", "x86-64 SHA extensions", "ARMv8 SHA2"
  // Compresses `count` consecutive 64-byte blocks at `blocks` (any
  // alignment) into the chaining words H0 to H7.
  void (*compress)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);
};

// The paths one by one: null when this build lacks the path or the running
// processor lacks its instructions. The portable path is never null.
const SHA256Path* SHA256PathPortable();
const SHA256Path* SHA256PathX86();
const SHA256Path* SHA256PathArm();

// Fills paths[] with every path available here, fastest first, the portable
// one last; returns how many (at most max).
int SHA256PathList(const SHA256Path** paths, int max);

// The path SHA-256 uses: the fastest available, chosen on the first call
// (safe when several threads make it at once), or the portable one while
// SHA256ForcePortable(true) is in force.
const SHA256Path* SHA256PathSelect();

// For tests and comparisons: makes SHA256PathSelect() return the portable
// path (true) or the chosen one again (false). Takes effect for calls that
// start afterwards.
void SHA256ForcePortable(bool force);

}  // namespace pellfold
