// AES-256 over whole 512-byte records, each one CBC-chained from the same
// vector and never into its neighbour, so that many records can be worked
// side by side.
//
// There are several record paths: a portable bitsliced one that every build
// has, and paths for AES instructions (x86-64 VAES and AES-NI, ARMv8 crypto
// extension) that a build includes when PELLFOLD_HARDWARE_CRYPTO is on and that
// exist at run time only when the processor has the instructions. Every
// path gives exactly the bytes of AESCbcEncrypt / AESCbcDecrypt over each
// record. Callers take AESRecordPathSelect() and never need to know which
// path it is.
//
// Every path runs in constant time: key expansion, encryption and
// decryption read no table indexed by key or data and take no branch on
// them (the instruction paths expand the key with the AES instructions
// too). scripts/test.sh --stage ct checks this under valgrind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pellfold {

constexpr int kAESRecordSize = 512;

// An expanded AES-256 key in the form one record path wants; set up by that
// path's setKey and read only by the same path. Holds key material: wipe it
// (SecureZero) when done.
struct AESRecordKey {
  // Portable path: bitsliced round keys, 16 bits per bit plane and round.
  std::uint32_t words[2 * 60];
  // Instruction paths: 15 encryption round keys, then 15 decryption round
  // keys in the order the instructions consume them, 16 bytes each.
  alignas(16) std::uint8_t blocks[2 * 15 * 16];
};

struct AESRecordPath {
  const char* name;  // "portable", "x86-64 VAES", "x86-64 AES-NI", "ARMv8 crypto"
  // Expands the 32-byte key for this path.
  void (*setKey)(AESRecordKey* key, const std::uint8_t* rawKey);
  // Encrypt / decrypt `count` consecutive records at `records` in place,
  // every record chained from the 16-byte `vector`. No alignment needed.
  void (*encrypt)(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                  std::size_t count);
  void (*decrypt)(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                  std::size_t count);
};

// The paths one by one: null when this build lacks the path or the running
// processor lacks its instructions. The portable path is never null.
const AESRecordPath* AESRecordPathPortable();
const AESRecordPath* AESRecordPathX86();
const AESRecordPath* AESRecordPathVaes();  // needs AES-NI as well
const AESRecordPath* AESRecordPathArm();

// Fills paths[] with every path available here, fastest first, the portable
// one last; returns how many (at most max).
int AESRecordPathList(const AESRecordPath** paths, int max);

// The path the library uses: the fastest available, chosen on the first call
// (safe when several threads make it at once), or the portable one while
// AESRecordForcePortable(true) is in force.
const AESRecordPath* AESRecordPathSelect();

// For tests and comparisons: makes AESRecordPathSelect() return the
// portable path (true) or the chosen one again (false). Takes effect for
// calls that start afterwards.
void AESRecordForcePortable(bool force);

}  // namespace pellfold
