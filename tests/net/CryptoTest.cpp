// AES against FIPS-197 and SP 800-38A, the streaming rules around them,
// MD5 against RFC 1321 and the CRC-32 check value.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/Aes.h"
#include "net/MachineId.h"

namespace {

std::vector<uint8_t> Hex(const char* hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    out.push_back((uint8_t)strtoul(std::string(hex + i, 2).c_str(), nullptr, 16));
  return out;
}

const char kSp800Key[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kSp800Iv[] = "000102030405060708090a0b0c0d0e0f";
const char kSp800Plain[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

// Runs a whole stream through update and final in pieces of `step` bytes.
std::vector<uint8_t> Stream(uint32_t mode, uint32_t padding, bool encrypt, const std::vector<uint8_t>& key,
                            const std::vector<uint8_t>& iv, const std::vector<uint8_t>& in, size_t step,
                            int* rc = nullptr) {
  AesContext ctx;
  AesInit(mode, padding, iv.empty() ? nullptr : iv.data(), &ctx);
  bool inverse = !encrypt && (mode == AES_MODE_ECB || mode == AES_MODE_CBC);
  EXPECT_EQ(0, inverse ? AesSetDecryptKey(key.data(), (uint32_t)key.size(), &ctx)
                       : AesSetEncryptKey(key.data(), (uint32_t)key.size(), &ctx));
  encrypt ? AesEncryptStart(&ctx) : AesDecryptStart(&ctx);
  std::vector<uint8_t> out(in.size() + 64);
  uint32_t total = 0;
  for (size_t pos = 0; pos < in.size(); pos += step) {
    uint32_t n = 0, len = (uint32_t)std::min(step, in.size() - pos);
    int r = encrypt ? AesEncryptUpdate(&ctx, in.data() + pos, len, out.data() + total, &n)
                    : AesDecryptUpdate(&ctx, in.data() + pos, len, out.data() + total, &n);
    EXPECT_EQ(0, r);
    total += n;
  }
  uint32_t n = 0;
  int r =
      encrypt ? AesEncryptFinal(&ctx, out.data() + total, &n) : AesDecryptFinal(&ctx, out.data() + total, &n);
  if (rc) *rc = r;
  out.resize(total + (r == 0 ? n : 0));
  return out;
}

TEST(Aes, Fips197ExamplesForEveryKeyLength) {
  const char* const vectors[][2] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"}};
  const std::vector<uint8_t> plain = Hex("00112233445566778899aabbccddeeff");
  for (auto& v : vectors) {
    std::vector<uint8_t> key = Hex(v[0]), expected = Hex(v[1]);
    AesContext ctx;
    AesInit(AES_MODE_ECB, AES_PADDING_NONE, nullptr, &ctx);
    ASSERT_EQ(0, AesSetEncryptKey(key.data(), (uint32_t)key.size(), &ctx));
    uint8_t block[16];
    memcpy(block, plain.data(), 16);
    AesEncryptBlock(&ctx.key, block);
    EXPECT_EQ(expected, std::vector<uint8_t>(block, block + 16)) << v[0];
    ASSERT_EQ(0, AesSetDecryptKey(key.data(), (uint32_t)key.size(), &ctx));
    AesDecryptBlock(&ctx.key, block);
    EXPECT_EQ(plain, std::vector<uint8_t>(block, block + 16)) << v[0];
    // The same through the ECB stream.
    EXPECT_EQ(expected, Stream(AES_MODE_ECB, AES_PADDING_NONE, true, key, {}, plain, 7));
    EXPECT_EQ(plain, Stream(AES_MODE_ECB, AES_PADDING_NONE, false, key, {}, expected, 5));
  }
}

TEST(Aes, Sp80038aModesBothWays) {
  const struct {
    uint32_t mode;
    const char* cipher;
  } cases[] = {
      {AES_MODE_ECB,
       "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
       "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
      {AES_MODE_CBC,
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {AES_MODE_CFB,
       "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
       "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
      {AES_MODE_OFB,
       "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
       "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
  };
  const std::vector<uint8_t> key = Hex(kSp800Key), iv = Hex(kSp800Iv), plain = Hex(kSp800Plain);
  for (auto& c : cases) {
    for (size_t step : {size_t(64), size_t(16), size_t(13), size_t(1)}) {
      EXPECT_EQ(Hex(c.cipher), Stream(c.mode, AES_PADDING_NONE, true, key, iv, plain, step))
          << "mode " << c.mode << " step " << step;
      EXPECT_EQ(plain, Stream(c.mode, AES_PADDING_NONE, false, key, iv, Hex(c.cipher), step))
          << "mode " << c.mode << " step " << step;
    }
  }
}

TEST(Aes, StreamEdges) {
  const std::vector<uint8_t> key = Hex(kSp800Key), iv = Hex(kSp800Iv);
  AesContext ctx;
  uint8_t buf[64] = {}, out[64] = {};
  uint32_t n = 99;
  EXPECT_EQ(AES_ERR_KEY_LENGTH, AesSetEncryptKey(buf, 20, &ctx));
  EXPECT_EQ(AES_ERR_KEY_LENGTH, AesSetDecryptKey(buf, 20, &ctx));

  // 10 bytes are held back, 6 more complete a block; in place only the
  // call that writes a block is refused.
  for (bool inPlace : {false, true}) {
    AesInit(AES_MODE_ECB, AES_PADDING_PKCS7, nullptr, &ctx);
    AesSetEncryptKey(key.data(), 16, &ctx);
    AesEncryptStart(&ctx);
    uint8_t* dst = inPlace ? buf : out;
    EXPECT_EQ(0, AesEncryptUpdate(&ctx, buf, 10, dst, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(inPlace ? AES_ERR_MODE : 0, AesEncryptUpdate(&ctx, buf, 6, dst, &n));
    if (!inPlace) {
      EXPECT_EQ(16u, n);
    }
  }

  AesInit(AES_MODE_CBC, AES_PADDING_NONE, iv.data(), &ctx);
  AesSetEncryptKey(key.data(), 16, &ctx);
  AesEncryptStart(&ctx);
  AesEncryptUpdate(&ctx, buf, 5, out, &n);
  EXPECT_EQ(AES_ERR_NOT_PADDED, AesEncryptFinal(&ctx, out, &n));

  int rc = 0;
  Stream(AES_MODE_ECB, AES_PADDING_PKCS7, false, key, {}, std::vector<uint8_t>(20, 1), 20, &rc);
  EXPECT_EQ(AES_ERR_PARTIAL_BLOCK, rc);

  // Blocks whose padding is not PKCS#7: ending in 0, and 0x05 after a different byte.
  for (uint8_t last : {(uint8_t)0x00, (uint8_t)0x05}) {
    std::vector<uint8_t> plain(16, 0x05);
    plain[15] = last;
    plain[14] = 0x04;
    std::vector<uint8_t> cipher = Stream(AES_MODE_ECB, AES_PADDING_NONE, true, key, {}, plain, 16);
    Stream(AES_MODE_ECB, AES_PADDING_PKCS7, false, key, {}, cipher, 16, &rc);
    EXPECT_EQ(AES_ERR_PADDING, rc) << (int)last;
  }

  // OFB and CFB streams keep their length and come back.
  std::vector<uint8_t> odd(37);
  for (size_t i = 0; i < odd.size(); ++i) odd[i] = (uint8_t)(i * 7);
  for (uint32_t mode : {AES_MODE_OFB, AES_MODE_CFB}) {
    std::vector<uint8_t> c = Stream(mode, AES_PADDING_PKCS7, true, key, iv, odd, 10);
    EXPECT_EQ(37u, c.size());
    EXPECT_EQ(odd, Stream(mode, AES_PADDING_PKCS7, false, key, iv, c, 3));
  }

  Stream(9, AES_PADDING_NONE, true, key, iv, {}, 1, &rc);
  EXPECT_EQ(AES_ERR_MODE, rc);  // an unknown mode
}

TEST(Aes, BufferWrappers) {
  const char* key = "Rpt#Key#0000#XYZ";
  for (uint32_t len : {0u, 15u, 16u, 17u, 1000u}) {
    std::vector<uint8_t> data(len);
    for (uint32_t i = 0; i < len; ++i) data[i] = (uint8_t)(i * 31 + 1);
    uint8_t* cipher = nullptr;
    uint32_t cipherLen = 0;
    ASSERT_EQ(0, AesEncryptBuffer(data.data(), len, &cipher, &cipherLen, key));
    EXPECT_EQ((len / 16 + 1) * 16, cipherLen);
    // ECB with PKCS#7 under the first 16 bytes of the key text.
    std::vector<uint8_t> viaStream =
        Stream(AES_MODE_ECB, AES_PADDING_PKCS7, true, std::vector<uint8_t>(key, key + 16), {}, data, 16);
    EXPECT_EQ(viaStream, std::vector<uint8_t>(cipher, cipher + cipherLen));
    uint8_t* plain = nullptr;
    uint32_t plainLen = 0;
    ASSERT_EQ(0, AesDecryptBuffer(cipher, cipherLen, &plain, &plainLen, key));
    EXPECT_EQ(data, std::vector<uint8_t>(plain, plain + plainLen));
    free(cipher);
    free(plain);
  }
  uint8_t* out = (uint8_t*)1;
  uint32_t outLen = 7;
  EXPECT_EQ(-1, AesEncryptBuffer((const uint8_t*)"x", 1, &out, &outLen, nullptr));
  EXPECT_EQ(-1, AesEncryptBuffer((const uint8_t*)"x", 1, &out, &outLen, "short key"));
  EXPECT_EQ(-1, AesDecryptBuffer((const uint8_t*)"x", 1, &out, &outLen, key));  // not a whole block
  EXPECT_EQ((uint8_t*)1, out);
  EXPECT_EQ(7u, outLen);
}

TEST(Md5, Rfc1321SuiteAndHexText) {
  const char* const suite[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (auto& s : suite) {
    char hex[33];
    MD5HexString(s[0], hex, sizeof hex);
    EXPECT_STREQ(s[1], hex) << s[0];
  }
  // Fed in odd pieces, the context gives the same digest, and starts over after it.
  MD5_CTX ctx;
  const char* text = suite[6][0];
  for (size_t i = 0; i < 80; i += 13)
    ctx.MD5Update((const unsigned char*)text + i, std::min<size_t>(13, 80 - i));
  unsigned char d1[16], d2[16];
  ctx.MD5Final(d1);
  ctx.MD5Update((const unsigned char*)"abc", 3);
  ctx.MD5Final(d2);
  EXPECT_EQ(0x57, d1[0]);
  EXPECT_EQ(0x7a, d1[15]);
  EXPECT_EQ(0x90, d2[0]);
  // A short buffer keeps capacity - 1 digits and is terminated.
  char small[9];
  memset(small, 'z', sizeof small);
  MD5HexString("abc", small, sizeof small);
  EXPECT_STREQ("90015098", small);
}

TEST(Crc32, CheckValue) {
  EXPECT_EQ(0xCBF43926u, Crc32Update("123456789", 9));
  EXPECT_EQ(0u, Crc32Update("", 0));
}

}  // namespace
