// Key set-up of the table-driven engine: the FIPS-197 key expansion into
// EncRoundKeys and the equivalent-inverse-cipher round keys in DecRoundKeys,
// plus the process's one-time table work.
#include <mutex>

#include "aestable/aestable.h"
#include "util/byteorder.h"

namespace pellfold {
namespace {

// The two one-time steps. std::call_once makes concurrent first calls safe:
// one caller runs the step, the others wait for it, and every caller that
// returns from call_once sees the tables fully written. The flags are still
// tested before the work and cleared after it, so they keep their meaning for
// anyone who reads them after a set-up call.
std::once_flag TablesOnce;
std::once_flag KeyMixOnce;

void GenerateTablesOnce() {
  std::call_once(TablesOnce, [] {
    if (TablesPending != 0) {
      AESTableGenerate();
      TablesPending = 0;
    }
  });
}

// KeyMixTablek[i] = RevTablek[S(i)]: the reverse tables undo the S-box they
// fold in, leaving InvMixColumns of the column [i, 0, 0, 0] rotated into
// place. Needs the generated tables, which this thread has already waited
// for in GenerateTablesOnce.
void BuildKeyMixOnce() {
  std::call_once(KeyMixOnce, [] {
    if (KeyMixPending != 0) {
      for (int i = 0; i < 256; ++i) {
        const std::uint32_t s = FwdSbox[i];
        KeyMixTable0[i] = RevTable0[s];
        KeyMixTable1[i] = RevTable1[s];
        KeyMixTable2[i] = RevTable2[s];
        KeyMixTable3[i] = RevTable3[s];
      }
      KeyMixPending = 0;
    }
  });
}

// RotWord then SubWord: [S(b2), S(b1), S(b0), S(b3)].
std::uint32_t RotSubWord(std::uint32_t w) {
  return (FwdSbox[(w >> 16) & 0xFF] << 24) ^ (FwdSbox[(w >> 8) & 0xFF] << 16) ^
         (FwdSbox[w & 0xFF] << 8) ^ FwdSbox[w >> 24];
}

// SubWord alone: [S(b3), S(b2), S(b1), S(b0)].
std::uint32_t SubWord(std::uint32_t w) {
  return (FwdSbox[w >> 24] << 24) ^ (FwdSbox[(w >> 16) & 0xFF] << 16) ^
         (FwdSbox[(w >> 8) & 0xFF] << 8) ^ FwdSbox[w & 0xFF];
}

// InvMixColumns of one column word, four lookups.
std::uint32_t InvMixColumn(std::uint32_t w) {
  return KeyMixTable0[w >> 24] ^ KeyMixTable1[(w >> 16) & 0xFF] ^ KeyMixTable2[(w >> 8) & 0xFF] ^
         KeyMixTable3[w & 0xFF];
}

// Each expansion iteration derives the next Nk words from the Nk words at p,
// then the window moves on by Nk. The iteration counts (10, 8, 7) produce
// 44, 54 and 64 words: for 192- and 256-bit keys the last iteration runs
// past the words the cipher needs (two and four words), which keeps every
// iteration whole; the 64-word area holds exactly the 256-bit case.
void ExpandKey128(std::uint32_t* p) {
  for (int k = 0; k < 10; ++k, p += 4) {
    p[4] = p[0] ^ RotSubWord(p[3]) ^ RoundConstWords[k];
    p[5] = p[1] ^ p[4];
    p[6] = p[2] ^ p[5];
    p[7] = p[3] ^ p[6];
  }
}

void ExpandKey192(std::uint32_t* p) {
  for (int k = 0; k < 8; ++k, p += 6) {
    p[6] = p[0] ^ RotSubWord(p[5]) ^ RoundConstWords[k];
    p[7] = p[1] ^ p[6];
    p[8] = p[2] ^ p[7];
    p[9] = p[3] ^ p[8];
    p[10] = p[4] ^ p[9];
    p[11] = p[5] ^ p[10];
  }
}

void ExpandKey256(std::uint32_t* p) {
  for (int k = 0; k < 7; ++k, p += 8) {
    p[8] = p[0] ^ RotSubWord(p[7]) ^ RoundConstWords[k];
    p[9] = p[1] ^ p[8];
    p[10] = p[2] ^ p[9];
    p[11] = p[3] ^ p[10];
    p[12] = p[4] ^ SubWord(p[11]);
    p[13] = p[5] ^ p[12];
    p[14] = p[6] ^ p[13];
    p[15] = p[7] ^ p[14];
  }
}

}  // namespace

std::int32_t AESTableSetKey(AESTableContext* context, const std::uint8_t* key,
                            std::int32_t keyBits) {
  // Before the length is looked at: even a rejected first call generates.
  GenerateTablesOnce();

  std::int32_t nr = 0;
  switch (keyBits) {
    case 128: nr = 10; break;
    case 192: nr = 12; break;
    case 256: nr = 14; break;
    default: return 1;  // the context stays untouched
  }
  context->RoundCount = nr;

  std::uint32_t* enc = context->EncRoundKeys;
  const std::int32_t nk = keyBits / 32;
  for (std::size_t j = 0; j < static_cast<std::size_t>(nk); ++j) enc[j] = LoadBe32(key + 4 * j);
  switch (nk) {
    case 4: ExpandKey128(enc); break;
    case 6: ExpandKey192(enc); break;
    default: ExpandKey256(enc); break;
  }

  BuildKeyMixOnce();

  // Equivalent inverse cipher: the encryption round keys in reverse order,
  // the middle ones passed through InvMixColumns so that the decryption
  // rounds can add them after their own InvMixColumns step.
  std::uint32_t* dec = context->DecRoundKeys;
  const std::uint32_t* last = enc + 4 * static_cast<std::size_t>(nr);
  for (int j = 0; j < 4; ++j) dec[j] = last[j];
  for (std::int32_t r = 1; r < context->RoundCount; ++r) {
    for (std::int32_t j = 0; j < 4; ++j) {
      dec[4 * r + j] = InvMixColumn(enc[4 * (nr - r) + j]);
    }
  }
  for (int j = 0; j < 4; ++j) dec[4 * nr + j] = enc[j];
  return 0;
}

}  // namespace pellfold
