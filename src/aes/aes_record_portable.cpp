// The portable record path: AES-256 bitsliced over 64-bit words, in
// constant time.
//
// Four blocks travel together as eight 64-bit planes: plane b holds bit b
// of each of the 64 state bytes; two such sets, eight blocks, go side by
// side in pairs of words (see Wide below). Every step of the cipher is then a fixed
// sequence of AND, XOR, NOT, shift and rotate over whole planes, so no
// branch and no memory index depends on the key or the data, and no table
// is read: a cache or branch predictor shared with another process learns
// nothing about either.
//
// Bit 16r + 4p + k of a plane is row r, column p of block k. A row rotation
// (MixColumns) is then a rotation of the whole word by 16 bits. ShiftRows
// moves no bits at all: after s of them, the byte of row r and column c
// stands in column c + s*r (mod 4), and MixColumns and the round keys follow
// that layout. Encryption packs its input in layout 0 and, after fourteen
// ShiftRows, finds its output in layout 2; decryption runs the other way.
//
// SubBytes is inversion in GF(2^8) followed by the affine map. The
// inversion is computed in the tower field GF(((2^2)^2)^2), where it takes
// a few small multiplications; the isomorphism between the AES field and
// the tower, and the affine map, are 8x8 bit matrices derived at compile
// time, and a static_assert checks the whole circuit against the S-box
// definition for all 256 inputs.
//
// CBC encryption is serial within a record, so eight records go side by
// side, one block of each per pass; decryption takes eight consecutive
// blocks of one record at a time. Bytes enter and leave the planes one at a
// time through shifts, so neither alignment nor the host's byte order
// matters.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "util/byteorder.h"
#include "util/wipe.h"

namespace pellfold {
namespace {

using Plane = std::uint64_t;

// The S-box circuit is inlined whole into each round so that its values
// stay in registers instead of going through memory as arguments.
#define PELLFOLD_INLINE [[gnu::always_inline]] inline

constexpr std::size_t kRounds = 14;
constexpr std::size_t kBlock = kAESBlockSize;
constexpr std::size_t kBlocksPerRecord = kAESRecordSize / kBlock;

// ---------------------------------------------------------------------------
// Tower field arithmetic over planes: every value is a bundle of planes and
// every operation works on 64 field elements at once.
//
// GF(4) = GF(2)[w] / (w^2 + w + 1): h*w + l.
// GF(16) = GF(4)[z] / (z^2 + z + w): h*z + l.
// GF(256) = GF(16)[y] / (y^2 + y + w*z): h*y + l.
// (w*z has trace 1 over GF(2), so the last polynomial is irreducible.)

template <class W>
struct G4 {
  W h, l;
};
template <class W>
struct G16 {
  G4<W> h, l;
};
template <class W>
struct G256 {
  G16<W> h, l;
};

template <class W>
PELLFOLD_INLINE constexpr G4<W> operator^(G4<W> a, G4<W> b) {
  return {a.h ^ b.h, a.l ^ b.l};
}
template <class W>
PELLFOLD_INLINE constexpr G16<W> operator^(G16<W> a, G16<W> b) {
  return {a.h ^ b.h, a.l ^ b.l};
}

// (a1 w + a0)(b1 w + b0) with w^2 = w + 1, Karatsuba style: three ANDs.
template <class W>
PELLFOLD_INLINE constexpr G4<W> Mul(G4<W> a, G4<W> b) {
  const W k = (a.h ^ a.l) & (b.h ^ b.l);
  const W low = a.l & b.l;
  return {k ^ low, (a.h & b.h) ^ low};
}
// a^2, which is also a^-1 (0 stays 0).
template <class W>
PELLFOLD_INLINE constexpr G4<W> Square(G4<W> a) {
  return {a.h, a.h ^ a.l};
}
template <class W>
PELLFOLD_INLINE constexpr G4<W> MulW(G4<W> a) {
  return {a.h ^ a.l, a.h};
}
template <class W>
PELLFOLD_INLINE constexpr G4<W> MulW2(G4<W> a) {
  return {a.l, a.h ^ a.l};
}

// (A1 z + A0)(B1 z + B0) with z^2 = z + w.
template <class W>
PELLFOLD_INLINE constexpr G16<W> Mul(G16<W> a, G16<W> b) {
  const G4<W> k = Mul(a.h ^ a.l, b.h ^ b.l);
  const G4<W> low = Mul(a.l, b.l);
  return {k ^ low, MulW(Mul(a.h, b.h)) ^ low};
}
template <class W>
PELLFOLD_INLINE constexpr G16<W> Square(G16<W> a) {
  const G4<W> h2 = Square(a.h);
  return {h2, MulW(h2) ^ Square(a.l)};
}
// (A1 z + A0)^-1 = (A1 z + A1 + A0) / (w A1^2 + A1 A0 + A0^2).
template <class W>
PELLFOLD_INLINE constexpr G16<W> Inverse(G16<W> a) {
  const G4<W> norm = MulW(Square(a.h)) ^ Mul(a.h, a.l) ^ Square(a.l);
  const G4<W> inv = Square(norm);
  return {Mul(a.h, inv), Mul(a.h ^ a.l, inv)};
}
// (w z)(X1 z + X0) = w (X1 + X0) z + w^2 X1.
template <class W>
PELLFOLD_INLINE constexpr G16<W> MulLambda(G16<W> a) {
  return {MulW(a.h ^ a.l), MulW2(a.h)};
}

// (Ah y + Al)(Bh y + Bl) with y^2 = y + wz; used only to derive the basis.
template <class W>
PELLFOLD_INLINE constexpr G256<W> Mul(G256<W> a, G256<W> b) {
  const G16<W> hh = Mul(a.h, b.h);
  return {hh ^ Mul(a.h, b.l) ^ Mul(a.l, b.h), MulLambda(hh) ^ Mul(a.l, b.l)};
}
// (Ah y + Al)^-1 = (Ah y + Ah + Al) / (wz Ah^2 + Ah Al + Al^2); 0 stays 0.
template <class W>
PELLFOLD_INLINE constexpr G256<W> Inverse(G256<W> a) {
  const G16<W> norm = MulLambda(Square(a.h)) ^ Mul(a.h, a.l) ^ Square(a.l);
  const G16<W> inv = Inverse(norm);
  return {Mul(a.h, inv), Mul(a.h ^ a.l, inv)};
}

// Tower bit i is plane t[i]: bits 7..4 the high GF(16) half, each half
// h.h, h.l, l.h, l.l from the top.
template <class W>
PELLFOLD_INLINE constexpr G256<W> FromPlanes(const W* t) {
  return {{{t[7], t[6]}, {t[5], t[4]}}, {{t[3], t[2]}, {t[1], t[0]}}};
}
template <class W>
PELLFOLD_INLINE constexpr void ToPlanes(const G256<W>& a, W* t) {
  t[7] = a.h.h.h;
  t[6] = a.h.h.l;
  t[5] = a.h.l.h;
  t[4] = a.h.l.l;
  t[3] = a.l.h.h;
  t[2] = a.l.h.l;
  t[1] = a.l.l.h;
  t[0] = a.l.l.l;
}

// ---------------------------------------------------------------------------
// Compile-time derivation of the basis change and the affine map.

using Byte = std::uint8_t;

// Tower arithmetic on single bytes: each plane carries one bit.
constexpr G256<Plane> TowerFromByte(Byte x) {
  Plane t[8]{};
  for (unsigned i = 0; i < 8; ++i) t[i] = (unsigned{x} >> i) & 1u;
  return FromPlanes(t);
}
constexpr Byte TowerToByte(const G256<Plane>& a) {
  Plane t[8]{};
  ToPlanes(a, t);
  unsigned x = 0;
  for (int i = 0; i < 8; ++i) x |= static_cast<unsigned>(t[i] & 1u) << i;
  return static_cast<Byte>(x);
}
constexpr Byte TowerMul(Byte a, Byte b) {
  return TowerToByte(Mul(TowerFromByte(a), TowerFromByte(b)));
}

// A linear map of bytes as a table, and as the rows of its bit matrix:
// output bit j is the XOR of the input bits set in row j.
using Table = std::array<Byte, 256>;
using Matrix = std::array<Byte, 8>;

constexpr Table LinearTable(const Matrix& columns) {
  Table t{};
  for (unsigned x = 0; x < 256; ++x) {
    unsigned y = 0;
    for (unsigned i = 0; i < 8; ++i)
      if (((x >> i) & 1u) != 0) y ^= columns[i];
    t[x] = static_cast<Byte>(y);
  }
  return t;
}
constexpr Matrix Rows(const Table& t) {
  Matrix rows{};
  for (unsigned j = 0; j < 8; ++j) {
    unsigned row = 0;
    for (unsigned i = 0; i < 8; ++i) row |= ((unsigned{t[1u << i]} >> j) & 1u) << i;
    rows[j] = static_cast<Byte>(row);
  }
  return rows;
}
constexpr Table Compose(const Table& outer, const Table& inner) {
  Table t{};
  for (unsigned x = 0; x < 256; ++x) t[x] = outer[inner[x]];
  return t;
}
constexpr Table Invert(const Table& t) {
  Table r{};
  for (unsigned x = 0; x < 256; ++x) r[t[x]] = static_cast<Byte>(x);
  return r;
}
constexpr int Weight(const Matrix& m) {
  int n = 0;
  for (const Byte row : m) n += std::popcount(row);
  return n;
}

// The linear part of the S-box's affine map: x + (x<<<1) + ... + (x<<<4).
constexpr Table AffineTable() {
  Table t{};
  for (unsigned x = 0; x < 256; ++x) {
    unsigned y = 0;
    for (unsigned k = 0; k < 5; ++k) y ^= ((x << k) | (x >> (8 - k))) & 0xFFu;
    t[x] = static_cast<Byte>(y);
  }
  return t;
}

struct Basis {
  Matrix encIn, encOut, decIn, decOut;
};

constexpr Basis BasisFor(Byte g) {
  Byte powers[8]{1};
  for (int i = 1; i < 8; ++i) powers[i] = TowerMul(powers[i - 1], g);
  const Table toTower = LinearTable(
      {powers[0], powers[1], powers[2], powers[3], powers[4], powers[5], powers[6], powers[7]});
  const Table fromTower = Invert(toTower);
  const Table affine = AffineTable();
  return {Rows(toTower), Rows(Compose(affine, fromTower)), Rows(Compose(toTower, Invert(affine))),
          Rows(fromTower)};
}

// The AES field is GF(2)[x] / (x^8 + x^4 + x^3 + x + 1). Mapping x to a
// root g of that polynomial in the tower is a field isomorphism. The first
// root found and its conjugates g^2, g^4, ... are the eight roots; the one
// whose matrices have the fewest ones is taken.
constexpr Basis DeriveBasis() {
  Byte root = 0;
  for (unsigned g = 2; g < 256 && root == 0; ++g) {
    const Byte x = static_cast<Byte>(g);
    const Byte x2 = TowerMul(x, x), x4 = TowerMul(x2, x2), x8 = TowerMul(x4, x4);
    if ((x8 ^ x4 ^ TowerMul(x2, x) ^ x ^ 1) == 0) root = x;
  }
  Basis best{};
  int bestWeight = 1 << 30;
  for (int k = 0; k < 8; ++k, root = TowerMul(root, root)) {
    const Basis b = BasisFor(root);
    const int weight = Weight(b.encIn) + Weight(b.encOut) + Weight(b.decIn) + Weight(b.decOut);
    if (weight < bestWeight) {
      best = b;
      bestWeight = weight;
    }
  }
  return best;
}
constexpr Basis kBasis = DeriveBasis();
constexpr Matrix kEncIn = kBasis.encIn, kEncOut = kBasis.encOut;
constexpr Matrix kDecIn = kBasis.decIn, kDecOut = kBasis.decOut;

// out[j] = XOR of in[i] over the bits i of row j. The matrix is a template
// argument, so the loops unroll into a fixed network of XORs.
template <const Matrix& M, class W>
PELLFOLD_INLINE constexpr void Linear(const W* in, W* out) {
  _Pragma("GCC unroll 8") for (unsigned j = 0; j < 8; ++j) {
    W v{};
    _Pragma("GCC unroll 8") for (unsigned i = 0; i < 8; ++i) {
      if (((unsigned{M[j]} >> i) & 1u) != 0) v ^= in[i];
    }
    out[j] = v;
  }
}

// The constant 0x63 of the affine map: bits 0, 1, 5 and 6.
template <class W>
PELLFOLD_INLINE constexpr void AddAffineConstant(W* x) {
  for (const int b : {0, 1, 5, 6}) x[b] = ~x[b];
}

template <class W>
PELLFOLD_INLINE constexpr void SubBytes(W* x) {
  W t[8]{};
  Linear<kEncIn>(x, t);
  ToPlanes(Inverse(FromPlanes(t)), t);
  Linear<kEncOut>(t, x);
  AddAffineConstant(x);
}

template <class W>
PELLFOLD_INLINE constexpr void InvSubBytes(W* x) {
  W t[8]{};
  AddAffineConstant(x);
  Linear<kDecIn>(x, t);
  ToPlanes(Inverse(FromPlanes(t)), t);
  Linear<kDecOut>(t, x);
}

// The S-box from its definition, for the check below only: the inverse
// through the powers of the generator {03}, then the affine map.
constexpr Byte FieldMul(Byte a, Byte b) {
  unsigned p = 0;
  for (unsigned x = a, y = b; y != 0; y >>= 1, x = ((x << 1) ^ ((x & 0x80u) != 0 ? 0x11Bu : 0u))) {
    if ((y & 1u) != 0) p ^= x;
  }
  return static_cast<Byte>(p);
}
constexpr Table ReferenceSBox() {
  Table powers{}, inverse{};
  powers[0] = 1;
  for (std::size_t i = 1; i < 255; ++i) powers[i] = FieldMul(powers[i - 1], 3);
  for (std::size_t i = 0; i < 255; ++i) inverse[powers[i]] = powers[(255 - i) % 255];
  const Table affine = AffineTable();
  Table s{};
  for (std::size_t x = 0; x < 256; ++x) s[x] = static_cast<Byte>(affine[inverse[x]] ^ 0x63u);
  return s;
}

// Runs the plane circuits on all 256 inputs, 64 at a time.
constexpr bool SBoxCircuitsMatch() {
  const Table reference = ReferenceSBox();
  for (unsigned base = 0; base < 256; base += 64) {
    Plane x[8]{};
    for (unsigned k = 0; k < 64; ++k) {
      for (unsigned b = 0; b < 8; ++b) x[b] |= Plane{((base + k) >> b) & 1u} << k;
    }
    SubBytes(x);
    for (unsigned k = 0; k < 64; ++k) {
      unsigned y = 0;
      for (unsigned b = 0; b < 8; ++b) y |= static_cast<unsigned>((x[b] >> k) & 1u) << b;
      if (y != reference[base + k]) return false;
    }
    InvSubBytes(x);
    for (unsigned k = 0; k < 64; ++k) {
      unsigned y = 0;
      for (unsigned b = 0; b < 8; ++b) y |= static_cast<unsigned>((x[b] >> k) & 1u) << b;
      if (y != base + k) return false;
    }
  }
  return true;
}
static_assert(SBoxCircuitsMatch(), "the S-box circuits differ from the S-box");

// ---------------------------------------------------------------------------
// Rows and columns.

// Two sets of planes side by side: lane g of a Wide holds the planes of
// blocks 4g .. 4g + 3. GCC and Clang keep it in one 128-bit register where
// the processor has them (SSE2, NEON) and in two 64-bit words elsewhere;
// either way every operation below is the same on both lanes.
typedef Plane Wide __attribute__((vector_size(16)));

constexpr std::size_t kLanes = 8;  // blocks in a Wide set of planes

PELLFOLD_INLINE constexpr Wide Splat(Plane c) {
  return Wide{c, c};
}

template <int N>
PELLFOLD_INLINE Wide Rotr(Wide x) {
  constexpr int n = N & 63;
  if constexpr (n == 0) {
    return x;
  } else {
    return (x >> n) | (x << (64 - n));
  }
}

// Nibbles p < 4 - t of every 16-bit row.
constexpr Plane LowColumns(int t) {
  const Plane lane = (Plane{1} << (4 * (4 - t))) - 1;
  return lane * 0x0001000100010001u;
}

// The plane whose row r, column p holds row r + R, column p + T of x.
template <int R, int T>
PELLFOLD_INLINE Wide Shifted(Wide x) {
  constexpr int t = T & 3;
  constexpr int rows = 16 * (R & 3);
  if constexpr (t == 0) {
    return Rotr<rows>(x);
  } else {
    constexpr Plane low = LowColumns(t);
    return (Rotr<rows + 4 * t>(x) & Splat(low)) | (Rotr<rows + 4 * t - 16>(x) & Splat(~low));
  }
}

// Multiplication by {02} of every byte.
PELLFOLD_INLINE void Xtime(const Wide* a, Wide* out) {
  out[0] = a[7];
  out[1] = a[0] ^ a[7];
  out[2] = a[1];
  out[3] = a[2] ^ a[7];
  out[4] = a[3] ^ a[7];
  out[5] = a[4];
  out[6] = a[5];
  out[7] = a[6];
}

// MixColumns in layout S: b_r = 2(a_r + a_r+1) + a_r+1 + (a_r+2 + a_r+3).
template <int S>
PELLFOLD_INLINE void MixColumns(Wide* x) {
  Wide next[8], pair[8], twice[8];
  _Pragma("GCC unroll 8") for (int b = 0; b < 8; ++b) {
    next[b] = Shifted<1, S>(x[b]);
    pair[b] = x[b] ^ next[b];
  }
  Xtime(pair, twice);
  _Pragma("GCC unroll 8") for (int b = 0; b < 8; ++b) {
    x[b] = twice[b] ^ next[b] ^ Shifted<2, 2 * S>(pair[b]);
  }
}

// InvMixColumns is MixColumns after a + 4(a + a_r+2): {0B 0D 09 0E} is
// {03 01 01 02} times {04 00 05} modulo x^4 + 1.
template <int S>
PELLFOLD_INLINE void InvMixColumns(Wide* x) {
  Wide u[8], twice[8], four[8];
  _Pragma("GCC unroll 8") for (int b = 0; b < 8; ++b) u[b] = x[b] ^ Shifted<2, 2 * S>(x[b]);
  Xtime(u, twice);
  Xtime(twice, four);
  _Pragma("GCC unroll 8") for (int b = 0; b < 8; ++b) x[b] ^= four[b];
  MixColumns<S>(x);
}

PELLFOLD_INLINE void AddRoundKey(Wide* x, const Wide* key) {
  _Pragma("GCC unroll 8") for (int b = 0; b < 8; ++b) x[b] ^= key[b];
}

using RoundKeys = Wide[kRounds + 1][8];

template <int S>
PELLFOLD_INLINE void EncryptRound(Wide* x, const Wide* key) {
  SubBytes(x);
  MixColumns<S>(x);
  AddRoundKey(x, key);
}

template <int S>
PELLFOLD_INLINE void DecryptRound(Wide* x, const Wide* key) {
  InvSubBytes(x);
  AddRoundKey(x, key);
  InvMixColumns<S>(x);
}

// Round i's key is in layout i mod 4, the layout the state has there.
void EncryptPlanes(Wide* x, const RoundKeys& rk) {
  AddRoundKey(x, rk[0]);
  for (std::size_t i = 1; i < 13; i += 4) {
    EncryptRound<1>(x, rk[i]);
    EncryptRound<2>(x, rk[i + 1]);
    EncryptRound<3>(x, rk[i + 2]);
    EncryptRound<0>(x, rk[i + 3]);
  }
  EncryptRound<1>(x, rk[13]);
  SubBytes(x);
  AddRoundKey(x, rk[14]);
}

void DecryptPlanes(Wide* x, const RoundKeys& rk) {
  AddRoundKey(x, rk[14]);
  DecryptRound<1>(x, rk[13]);
  for (std::size_t i = 12; i > 0; i -= 4) {
    DecryptRound<0>(x, rk[i]);
    DecryptRound<3>(x, rk[i - 1]);
    DecryptRound<2>(x, rk[i - 2]);
    DecryptRound<1>(x, rk[i - 3]);
  }
  InvSubBytes(x);
  AddRoundKey(x, rk[0]);
}

// ---------------------------------------------------------------------------
// Bytes in and out of the planes.

// Swaps the bits of a under (m << d) with those of b under m.
template <int D>
PELLFOLD_INLINE void SwapMove(Wide& a, Wide& b, Plane m) {
  const Wide t = ((a >> D) ^ b) & Splat(m);
  b ^= t;
  a ^= t << D;
}

// Transposes the 8x8 bit square in every byte position of eight words:
// afterwards bit j of byte k of word i is bit i of byte k of word j.
PELLFOLD_INLINE void Transpose(Wide* w) {
  for (int j = 0; j < 8; j += 2) SwapMove<1>(w[j], w[j + 1], 0x5555555555555555u);
  for (const int j : {0, 1, 4, 5}) SwapMove<2>(w[j], w[j + 2], 0x3333333333333333u);
  for (int j = 0; j < 4; ++j) SwapMove<4>(w[j], w[j + 4], 0x0F0F0F0F0F0F0F0Fu);
}

// Plane bit 16r + 4p + k is bit 8m + j, m = 2r + p/2 and j = 4(p mod 2) + k,
// so before the transpose word j gathers, as its byte m, the byte of block
// k at row r and physical column p; in layout S that is column c = p - S*r.
template <std::size_t S>
constexpr std::size_t ByteIndex(std::size_t j, std::size_t m) {
  const std::size_t r = m >> 1;
  const std::size_t p = 2 * (m & 1) + (j >> 2);
  const std::size_t c = (p + 16 - S * r) & 3;
  return 4 * c + r;
}

template <int S>
PELLFOLD_INLINE Plane Gather(const std::uint8_t* block, std::size_t j) {
  Plane w = 0;
  _Pragma("GCC unroll 8") for (std::size_t m = 0; m < 8; ++m) {
    w |= Plane{block[ByteIndex<S>(j, m)]} << (8 * m);
  }
  return w;
}

// Block k of the eight is at lanes[k].
template <int S>
PELLFOLD_INLINE void Pack(const std::uint8_t* const* lanes, Wide* x) {
  _Pragma("GCC unroll 8") for (std::size_t j = 0; j < 8; ++j) {
    x[j] = Wide{Gather<S>(lanes[j & 3], j), Gather<S>(lanes[4 + (j & 3)], j)};
  }
  Transpose(x);
}

template <int S>
PELLFOLD_INLINE void Unpack(const Wide* x, std::uint8_t* const* lanes) {
  Wide w[8];
  for (int j = 0; j < 8; ++j) w[j] = x[j];
  Transpose(w);
  _Pragma("GCC unroll 8") for (std::size_t j = 0; j < 8; ++j) {
    _Pragma("GCC unroll 2") for (std::size_t g = 0; g < 2; ++g) {
      std::uint8_t* block = lanes[4 * g + (j & 3)];
      _Pragma("GCC unroll 8") for (std::size_t m = 0; m < 8; ++m) {
        block[ByteIndex<S>(j, m)] = static_cast<std::uint8_t>(w[j][g] >> (8 * m));
      }
    }
  }
}

// Layout 2 to layout 0: rows 1 and 3 move two columns, rows 0 and 2 stay.
PELLFOLD_INLINE Wide Layout2To0(Wide x) {
  constexpr Plane keep = 0x0000FFFF0000FFFFu;
  constexpr Plane top = 0xFF000000FF000000u;
  return (x & Splat(keep)) | ((x >> 8) & Splat(top >> 8)) | ((x << 8) & Splat(top));
}

// ---------------------------------------------------------------------------
// Key schedule.

// SubWord on the four bytes of a word, through the S-box circuit.
std::uint32_t SubWord(std::uint32_t w) {
  Plane x[8];
  for (unsigned b = 0; b < 8; ++b) {
    Plane plane = 0;
    for (unsigned j = 0; j < 4; ++j) plane |= Plane{(w >> (8 * j + b)) & 1u} << j;
    x[b] = plane;
  }
  SubBytes(x);
  std::uint32_t out = 0;
  for (unsigned b = 0; b < 8; ++b) {
    for (unsigned j = 0; j < 4; ++j)
      out |= static_cast<std::uint32_t>((x[b] >> j) & 1u) << (8 * j + b);
  }
  return out;
}

constexpr std::size_t kWords = 4 * (kRounds + 1);  // 60

// The round keys are kept compact: 16 bits per plane and round, bit 4r + p
// for row r and physical column p in the round's layout. Round i, planes
// 2q and 2q + 1, are words[4i + q], low half and high half.
void SetKeyPortable(AESRecordKey* key, const std::uint8_t* rawKey) {
  std::uint32_t w[kWords];
  for (std::size_t i = 0; i < 8; ++i) w[i] = LoadBe32(rawKey + 4 * i);
  std::uint32_t rcon = 0x01000000u;
  for (std::size_t i = 8; i < kWords; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % 8 == 0) {
      t = SubWord(std::rotl(t, 8)) ^ rcon;
      rcon <<= 1;
    } else if (i % 8 == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - 8] ^ t;
  }
  for (std::size_t i = 0; i <= kRounds; ++i) {
    const unsigned s = i % 4;
    std::uint32_t planes[8] = {};
    for (unsigned c = 0; c < 4; ++c) {
      const std::uint32_t column = w[4 * i + c];
      for (unsigned r = 0; r < 4; ++r) {
        const std::uint32_t byte = (column >> (24 - 8 * r)) & 0xFFu;
        const unsigned bit = 4 * r + ((c + s * r) & 3);
        for (unsigned b = 0; b < 8; ++b) planes[b] |= ((byte >> b) & 1u) << bit;
      }
    }
    for (std::size_t q = 0; q < 4; ++q)
      key->words[4 * i + q] = planes[2 * q] | (planes[2 * q + 1] << 16);
    SecureZero(planes, sizeof planes);
  }
  for (std::size_t i = kWords; i < 2 * kWords; ++i) key->words[i] = 0;
  SecureZero(w, sizeof w);
}

// Every compact bit to the four blocks of a plane: bit i becomes nibble i.
// Shifts rather than a multiplication, whose time is not fixed on every
// processor.
inline Plane Spread(std::uint32_t bits) {
  Plane x = bits & 0xFFFFu;
  x = (x | (x << 24)) & 0x000000FF000000FFu;
  x = (x | (x << 12)) & 0x000F000F000F000Fu;
  x = (x | (x << 6)) & 0x0303030303030303u;
  x = (x | (x << 3)) & 0x1111111111111111u;
  return x | (x << 1) | (x << 2) | (x << 3);
}

void ExpandRoundKeys(const AESRecordKey* key, RoundKeys& rk) {
  for (std::size_t i = 0; i <= kRounds; ++i) {
    for (std::size_t q = 0; q < 4; ++q) {
      const std::uint32_t both = key->words[4 * i + q];
      rk[i][2 * q] = Splat(Spread(both));
      rk[i][2 * q + 1] = Splat(Spread(both >> 16));
    }
  }
}

// ---------------------------------------------------------------------------
// Records.

// CBC-encrypts the records at lanes[0..7], one chain each from the vector.
// Lanes may repeat a record: a repeated lane reads and writes the same
// bytes as its twin.
void EncryptLanes(const RoundKeys& rk, const std::uint8_t* vector, std::uint8_t* const* records) {
  Wide chain[8];
  const std::uint8_t* iv[kLanes];
  for (const std::uint8_t*& lane : iv) lane = vector;
  Pack<0>(iv, chain);
  for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
    std::uint8_t* blocks[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) blocks[k] = records[k] + b * kBlock;
    Wide x[8];
    Pack<0>(blocks, x);
    for (int p = 0; p < 8; ++p) x[p] ^= chain[p];
    EncryptPlanes(x, rk);
    Unpack<2>(x, blocks);
    for (int p = 0; p < 8; ++p) chain[p] = Layout2To0(x[p]);
  }
  SecureZero(chain, sizeof chain);
}

void EncryptPortable(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                     std::size_t count) {
  RoundKeys rk;
  ExpandRoundKeys(key, rk);
  for (std::size_t r = 0; r < count; r += kLanes) {
    std::uint8_t* lanes[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      // Past the last record, lanes repeat it.
      const std::size_t index = r + k < count ? r + k : count - 1;
      lanes[k] = records + index * kAESRecordSize;
    }
    EncryptLanes(rk, vector, lanes);
  }
  SecureZero(rk, sizeof rk);
}

// Eight consecutive blocks at a time; the chaining XOR uses the ciphertext
// block before each, so the blocks are written from the last to the first.
void DecryptPortable(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                     std::size_t count) {
  RoundKeys rk;
  ExpandRoundKeys(key, rk);
  std::uint8_t plain[kLanes * kBlock] = {};
  std::uint8_t* out[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k) out[k] = plain + k * kBlock;
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* record = records + r * kAESRecordSize;
    std::uint8_t previous[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i) previous[i] = vector[i];
    for (std::size_t b = 0; b < kBlocksPerRecord; b += kLanes) {
      std::uint8_t* blocks = record + b * kBlock;
      const std::uint8_t* in[kLanes];
      for (std::size_t k = 0; k < kLanes; ++k) in[k] = blocks + k * kBlock;
      Wide x[8];
      Pack<2>(in, x);
      DecryptPlanes(x, rk);
      Unpack<0>(x, out);
      std::uint8_t last[kBlock];
      for (std::size_t i = 0; i < kBlock; ++i) last[i] = blocks[(kLanes - 1) * kBlock + i];
      for (std::size_t i = kLanes * kBlock; i-- > kBlock;)
        blocks[i] = plain[i] ^ blocks[i - kBlock];
      for (std::size_t i = 0; i < kBlock; ++i) {
        blocks[i] = plain[i] ^ previous[i];
        previous[i] = last[i];
      }
    }
  }
  SecureZero(plain, sizeof plain);
  SecureZero(rk, sizeof rk);
}

constexpr AESRecordPath kPortable = {"portable", SetKeyPortable, EncryptPortable, DecryptPortable};

}  // namespace

const AESRecordPath* AESRecordPathPortable() {
  return &kPortable;
}

}  // namespace pellfold
