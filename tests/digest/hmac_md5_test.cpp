// HMAC-MD5 against RFC 2202, RFC 2104 and OpenSSL's HMAC.
#include "digest/hmac_md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

#include "oracle.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

Bytes Hmac(const std::uint8_t* key, std::int32_t keyLength, const Bytes& data) {
  Bytes mac(kHMACMD5Size);
  HMACMD5(data.data(), static_cast<std::uint32_t>(data.size()), key, keyLength, mac.data());
  return mac;
}
Bytes Hmac(const Bytes& key, const Bytes& data) {
  return Hmac(key.data(), static_cast<std::int32_t>(key.size()), data);
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Cases 6 and 7 have 80-byte keys; the last record is case 5 truncated to
// 96 bits, compared on its first Tlen = 12 bytes.
TEST(HmacMd5, Rfc2202Cases) {
  const auto records = ReadVectorFile("HMAC_MD5_RFC2202.txt");
  ASSERT_EQ(records.size(), 8u);
  for (const auto& record : records) {
    const Bytes key = record.Hex("Key");
    ASSERT_EQ(key.size(), std::stoul(record.Get("Klen"))) << record.source;
    const Bytes mac = Hmac(key, record.Hex("Msg"));
    EXPECT_EQ(ToHex(mac.data(), std::stoul(record.Get("Tlen"))), record.Get("Mac"))
        << record.source;
  }
}

// The sample results printed in RFC 2104 (confirmed with openssl dgst -md5 -hmac).
TEST(HmacMd5, Rfc2104Examples) {
  EXPECT_EQ(ToHex(Hmac(Bytes(16, 0x0b), Text("Hi There"))), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(ToHex(Hmac(Text("Jefe"), Text("what do ya want for nothing?"))),
            "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(ToHex(Hmac(Bytes(16, 0xaa), Bytes(50, 0xdd))), "56be34521d144c88dbb8c733f0e8b3f6");
}

// Keys on both sides of the 64-byte block where reduction starts, data around
// MD5's padding boundaries; a reduced key acts as its MD5 digest.
TEST(HmacMd5, MatchesOracle) {
  for (std::size_t keyLength : {0u, 1u, 16u, 63u, 64u, 65u, 80u, 200u}) {
    for (std::size_t dataLength : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u}) {
      const Bytes key = RandomBytes(keyLength), data = RandomBytes(dataLength);
      SCOPED_TRACE(testing::Message() << "key " << keyLength << ", data " << dataLength);
      EXPECT_EQ(ToHex(Hmac(key, data)), ToHex(OracleHmacMd5(key, data)));
      if (keyLength > 64) {
        EXPECT_EQ(Hmac(key, data), Hmac(OracleMd5(key), data));
      }
    }
  }
}

// Streamed in pieces, from one context per key, the result is the one-call
// result, which the oracle checks above.
TEST(HmacMd5, StreamingInPiecesEqualsOneCall) {
  auto& rng = TestRng();
  for (std::size_t keyLength : {0u, 20u, 64u, 100u}) {
    const Bytes key = RandomBytes(keyLength), data = RandomBytes(3000);
    HMACMD5Context context;
    HMACMD5Init(&context, key.data(), static_cast<std::int32_t>(key.size()));
    for (std::size_t done = 0; done < data.size();) {
      const std::size_t piece = std::min<std::size_t>(rng() % 130, data.size() - done);
      HMACMD5Update(&context, data.data() + done, static_cast<std::uint32_t>(piece));
      done += piece;
    }
    Bytes mac(kHMACMD5Size);
    HMACMD5Final(&context, mac.data());
    EXPECT_EQ(mac, OracleHmacMd5(key, data)) << "key " << keyLength;
  }
}

// The result may be written over the message, which is consumed first.
TEST(HmacMd5, OutputMayOverlapData) {
  const Bytes key = RandomBytes(20), data = RandomBytes(100);
  Bytes buffer = data;
  HMACMD5(buffer.data(), 100, key.data(), 20, buffer.data() + 1);
  EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.begin() + 17), OracleHmacMd5(key, data));
}

// A negative key length means an empty key, never a byte count (the key here
// is one byte long); a zero length does not read the key, which may be null.
TEST(HmacMd5, NegativeOrZeroKeyLengthIsEmptyKey) {
  const Bytes data = RandomBytes(30), expected = OracleHmacMd5({}, data);
  const std::uint8_t key = 0xaa;
  for (std::int32_t keyLength : {-1, -64, INT_MIN}) {
    EXPECT_EQ(Hmac(&key, keyLength, data), expected) << keyLength;
  }
  EXPECT_EQ(Hmac(nullptr, 0, data), expected);
}

}  // namespace
}  // namespace pellfold::test
