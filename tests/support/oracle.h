// Independent reference implementations for differential tests: OpenSSL's
// libcrypto used as a black box. Test code only; the library links none of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace pellfold::test {

using Bytes = std::vector<std::uint8_t>;

// AES in ECB or CBC mode without padding; key of 16, 24 or 32 bytes, data a
// whole number of blocks.
Bytes OracleAesEcb(const Bytes& key, const Bytes& data, bool encrypt);
Bytes OracleAesCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt);

Bytes OracleMd5(const Bytes& data);
Bytes OracleSha256(const Bytes& data);
Bytes OracleHmacMd5(const Bytes& key, const Bytes& data);

// A generator seeded from PELLFOLD_TEST_SEED when set, else from the clock;
// the seed is printed so that a failing run can be replayed.
std::mt19937_64& TestRng();
Bytes RandomBytes(std::size_t size);

}  // namespace pellfold::test
