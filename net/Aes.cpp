#include "net/Aes.h"

#include <cstdlib>
#include <cstring>

namespace {

// Round tables of the 32-bit table-driven cipher, computed once from the
// field arithmetic (generator 3, polynomial 0x11B, affine constant 0x63).
struct Tables {
  uint8_t sbox[256];
  uint8_t inv[256];
  uint32_t te[4][256];  // forward rounds
  uint32_t td[4][256];  // inverse rounds
  uint32_t fe[4][256];  // last forward round (S-box byte in place)
  uint32_t fd[4][256];  // last inverse round
  uint32_t rcon[10];

  static uint8_t Mul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
      if (b & 1) r ^= a;
      a = (uint8_t)((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
      b >>= 1;
    }
    return r;
  }
  static uint32_t Ror8(uint32_t x) { return (x >> 8) | (x << 24); }

  Tables() {
    // Powers of the generator 3 give logarithms, hence inverses.
    uint8_t pow[256], log[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
      pow[i] = x;
      log[x] = (uint8_t)i;
      x = Mul(x, 3);
    }
    for (int i = 0; i < 256; ++i) {
      uint8_t v = i ? pow[(255 - log[i]) % 255] : 0;
      uint8_t s = v;
      for (int k = 1; k <= 4; ++k) s ^= (uint8_t)((v << k) | (v >> (8 - k)));
      s ^= 0x63;
      sbox[i] = s;
      inv[s] = (uint8_t)i;
    }
    for (int i = 0; i < 256; ++i) {
      uint8_t s = sbox[i], t = inv[i];
      uint32_t e = ((uint32_t)Mul(s, 2) << 24) | ((uint32_t)s << 16) | ((uint32_t)s << 8) | Mul(s, 3);
      uint32_t d = ((uint32_t)Mul(t, 14) << 24) | ((uint32_t)Mul(t, 9) << 16) | ((uint32_t)Mul(t, 13) << 8) |
                   Mul(t, 11);
      for (int k = 0; k < 4; ++k) {
        te[k][i] = e;
        td[k][i] = d;
        e = Ror8(e);
        d = Ror8(d);
        fe[k][i] = (uint32_t)s << (24 - 8 * k);
        fd[k][i] = (uint32_t)t << (24 - 8 * k);
      }
    }
    uint8_t r = 1;
    for (int i = 0; i < 10; ++i) {
      rcon[i] = (uint32_t)r << 24;
      r = Mul(r, 2);
    }
  }
};

// Built once, before any caller can see it (thread-safe static).
const Tables& T() {
  static const Tables tables;
  return tables;
}

uint32_t Load32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
void Store32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

uint32_t SubWord(const Tables& t, uint32_t w) {
  return ((uint32_t)t.sbox[w >> 24] << 24) | ((uint32_t)t.sbox[(w >> 16) & 0xFF] << 16) |
         ((uint32_t)t.sbox[(w >> 8) & 0xFF] << 8) | t.sbox[w & 0xFF];
}

bool ExpandKey(const uint8_t* key, uint32_t keyLength, AesKeySchedule* out) {
  if (keyLength != 16 && keyLength != 24 && keyLength != 32) return false;
  const Tables& t = T();
  const uint32_t nk = (keyLength + 3) / 4;
  const uint32_t total = 4 * (nk + 7);
  out->nk = nk;
  for (uint32_t i = 0; i < nk; ++i) out->words[i] = Load32(key + 4 * i);
  for (uint32_t i = nk; i < total; ++i) {
    uint32_t temp = out->words[i - 1];
    if (i % nk == 0)
      temp = SubWord(t, (temp << 8) | (temp >> 24)) ^ t.rcon[i / nk - 1];
    else if (nk > 6 && i % nk == 4)
      temp = SubWord(t, temp);
    out->words[i] = out->words[i - nk] ^ temp;
  }
  return true;
}

bool IsKnownMode(uint32_t mode) { return mode >= AES_MODE_ECB && mode <= AES_MODE_CFB; }
bool IsKnownPadding(uint32_t padding) { return padding == AES_PADDING_NONE || padding == AES_PADDING_PKCS7; }

void Xor16(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 16; ++i) dst[i] = a[i] ^ b[i];
}

// One block of the stream in each direction.
void EncryptStreamBlock(AesContext* ctx, const uint8_t* in, uint8_t* out) {
  uint8_t b[16];
  switch (ctx->mode) {
    case AES_MODE_ECB:
      memcpy(b, in, 16);
      AesEncryptBlock(&ctx->key, b);
      memcpy(out, b, 16);
      break;
    case AES_MODE_CBC:
      Xor16(b, ctx->reg, in);
      AesEncryptBlock(&ctx->key, b);
      memcpy(ctx->reg, b, 16);
      memcpy(out, b, 16);
      break;
    case AES_MODE_OFB:
      AesEncryptBlock(&ctx->key, ctx->reg);
      Xor16(out, ctx->reg, in);
      break;
    case AES_MODE_CFB:
      AesEncryptBlock(&ctx->key, ctx->reg);
      Xor16(ctx->reg, ctx->reg, in);
      memcpy(out, ctx->reg, 16);
      break;
  }
}

void DecryptStreamBlock(AesContext* ctx, const uint8_t* in, uint8_t* out) {
  uint8_t b[16], c[16];
  switch (ctx->mode) {
    case AES_MODE_ECB:
      memcpy(b, in, 16);
      AesDecryptBlock(&ctx->key, b);
      memcpy(out, b, 16);
      break;
    case AES_MODE_CBC:
      memcpy(c, in, 16);
      memcpy(b, in, 16);
      AesDecryptBlock(&ctx->key, b);
      Xor16(out, b, ctx->reg);
      memcpy(ctx->reg, c, 16);
      break;
    case AES_MODE_OFB:
      AesEncryptBlock(&ctx->key, ctx->reg);
      Xor16(out, ctx->reg, in);
      break;
    case AES_MODE_CFB:
      memcpy(c, in, 16);
      memcpy(b, ctx->reg, 16);
      AesEncryptBlock(&ctx->key, b);
      Xor16(out, b, c);
      memcpy(ctx->reg, c, 16);
      break;
  }
}

typedef void (*BlockFn)(AesContext*, const uint8_t*, uint8_t*);

// Appends input to the pending bytes and runs every whole block through fn,
// keeping back `keep` bytes at most (0 for encryption: 0-15 stay; decryption
// keeps the last whole block too).
int Update(AesContext* ctx, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength,
           bool holdLastBlock, BlockFn fn) {
  if (!IsKnownMode(ctx->mode)) return AES_ERR_MODE;
  const uint64_t total = (uint64_t)ctx->pendingCount + inLength;
  const uint64_t limit = holdLastBlock ? 16 : 15;
  if (total <= limit) {
    if (inLength) memcpy(ctx->pending + ctx->pendingCount, in, inLength);
    ctx->pendingCount = (uint32_t)total;
    *outLength = 0;
    return 0;
  }
  if (in == out) return AES_ERR_MODE;
  uint64_t remain = total % 16;
  if (holdLastBlock && remain == 0) remain = 16;
  const uint64_t blocks = (total - remain) / 16;
  uint32_t used = 0, written = 0;
  for (uint64_t k = 0; k < blocks; ++k) {
    uint8_t block[16];
    if (ctx->pendingCount) {
      uint32_t take = 16 - ctx->pendingCount;
      memcpy(block, ctx->pending, ctx->pendingCount);
      memcpy(block + ctx->pendingCount, in, take);
      used = take;
      ctx->pendingCount = 0;
    } else {
      memcpy(block, in + used, 16);
      used += 16;
    }
    fn(ctx, block, out + written);
    written += 16;
  }
  memcpy(ctx->pending + ctx->pendingCount, in + used, inLength - used);
  ctx->pendingCount += inLength - used;
  *outLength = written;
  return 0;
}

// OFB and CFB end the same way in both directions: no padding, the pending
// bytes XORed with one more keystream block.
void FinalStream(AesContext* ctx, uint8_t* out, uint32_t* outLength) {
  uint8_t k[16];
  memcpy(k, ctx->reg, 16);
  AesEncryptBlock(&ctx->key, k);
  for (uint32_t i = 0; i < ctx->pendingCount; ++i) out[i] = k[i] ^ ctx->pending[i];
  *outLength = ctx->pendingCount;
  ctx->pendingCount = 0;
}

}  // namespace

int AesInit(uint32_t mode, uint32_t padding, const uint8_t* iv, AesContext* ctx) {
  ctx->mode = mode;
  ctx->padding = padding;
  if (iv)
    memcpy(ctx->iv, iv, 16);
  else
    memset(ctx->iv, 0, 16);
  memset(ctx->reg, 0, 16);
  ctx->pendingCount = 0;
  return 0;
}

int AesSetEncryptKey(const uint8_t* key, uint32_t keyLength, AesContext* ctx) {
  return ExpandKey(key, keyLength, &ctx->key) ? 0 : AES_ERR_KEY_LENGTH;
}

int AesSetDecryptKey(const uint8_t* key, uint32_t keyLength, AesContext* ctx) {
  if (!ExpandKey(key, keyLength, &ctx->key)) return AES_ERR_KEY_LENGTH;
  const Tables& t = T();
  uint32_t* w = ctx->key.words;
  const uint32_t rounds = ctx->key.nk + 6;
  // Round keys in reverse order ...
  for (uint32_t i = 0, j = 4 * rounds; i < j; i += 4, j -= 4)
    for (int k = 0; k < 4; ++k) {
      uint32_t tmp = w[i + k];
      w[i + k] = w[j + k];
      w[j + k] = tmp;
    }
  // ... and the inner ones through InvMixColumns.
  for (uint32_t i = 4; i < 4 * rounds; ++i) {
    uint32_t v = w[i];
    w[i] = t.td[0][t.sbox[v >> 24]] ^ t.td[1][t.sbox[(v >> 16) & 0xFF]] ^ t.td[2][t.sbox[(v >> 8) & 0xFF]] ^
           t.td[3][t.sbox[v & 0xFF]];
  }
  return 0;
}

int AesEncryptStart(AesContext* ctx) {
  ctx->pendingCount = 0;
  if (ctx->mode != AES_MODE_ECB) memcpy(ctx->reg, ctx->iv, 16);
  return 0;
}

int AesDecryptStart(AesContext* ctx) { return AesEncryptStart(ctx); }

void AesEncryptBlock(const AesKeySchedule* key, uint8_t block[16]) {
  const Tables& t = T();
  const uint32_t* rk = key->words;
  const uint32_t rounds = key->nk + 6;
  uint32_t s0 = Load32(block) ^ rk[0], s1 = Load32(block + 4) ^ rk[1];
  uint32_t s2 = Load32(block + 8) ^ rk[2], s3 = Load32(block + 12) ^ rk[3];
  for (uint32_t r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = t.te[0][s0 >> 24] ^ t.te[1][(s1 >> 16) & 0xFF] ^ t.te[2][(s2 >> 8) & 0xFF] ^
                  t.te[3][s3 & 0xFF] ^ rk[0];
    uint32_t t1 = t.te[0][s1 >> 24] ^ t.te[1][(s2 >> 16) & 0xFF] ^ t.te[2][(s3 >> 8) & 0xFF] ^
                  t.te[3][s0 & 0xFF] ^ rk[1];
    uint32_t t2 = t.te[0][s2 >> 24] ^ t.te[1][(s3 >> 16) & 0xFF] ^ t.te[2][(s0 >> 8) & 0xFF] ^
                  t.te[3][s1 & 0xFF] ^ rk[2];
    uint32_t t3 = t.te[0][s3 >> 24] ^ t.te[1][(s0 >> 16) & 0xFF] ^ t.te[2][(s1 >> 8) & 0xFF] ^
                  t.te[3][s2 & 0xFF] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  Store32(block, t.fe[0][s0 >> 24] ^ t.fe[1][(s1 >> 16) & 0xFF] ^ t.fe[2][(s2 >> 8) & 0xFF] ^
                     t.fe[3][s3 & 0xFF] ^ rk[0]);
  Store32(block + 4, t.fe[0][s1 >> 24] ^ t.fe[1][(s2 >> 16) & 0xFF] ^ t.fe[2][(s3 >> 8) & 0xFF] ^
                         t.fe[3][s0 & 0xFF] ^ rk[1]);
  Store32(block + 8, t.fe[0][s2 >> 24] ^ t.fe[1][(s3 >> 16) & 0xFF] ^ t.fe[2][(s0 >> 8) & 0xFF] ^
                         t.fe[3][s1 & 0xFF] ^ rk[2]);
  Store32(block + 12, t.fe[0][s3 >> 24] ^ t.fe[1][(s0 >> 16) & 0xFF] ^ t.fe[2][(s1 >> 8) & 0xFF] ^
                          t.fe[3][s2 & 0xFF] ^ rk[3]);
}

void AesDecryptBlock(const AesKeySchedule* key, uint8_t block[16]) {
  const Tables& t = T();
  const uint32_t* rk = key->words;
  const uint32_t rounds = key->nk + 6;
  uint32_t s0 = Load32(block) ^ rk[0], s1 = Load32(block + 4) ^ rk[1];
  uint32_t s2 = Load32(block + 8) ^ rk[2], s3 = Load32(block + 12) ^ rk[3];
  for (uint32_t r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = t.td[0][s0 >> 24] ^ t.td[1][(s3 >> 16) & 0xFF] ^ t.td[2][(s2 >> 8) & 0xFF] ^
                  t.td[3][s1 & 0xFF] ^ rk[0];
    uint32_t t1 = t.td[0][s1 >> 24] ^ t.td[1][(s0 >> 16) & 0xFF] ^ t.td[2][(s3 >> 8) & 0xFF] ^
                  t.td[3][s2 & 0xFF] ^ rk[1];
    uint32_t t2 = t.td[0][s2 >> 24] ^ t.td[1][(s1 >> 16) & 0xFF] ^ t.td[2][(s0 >> 8) & 0xFF] ^
                  t.td[3][s3 & 0xFF] ^ rk[2];
    uint32_t t3 = t.td[0][s3 >> 24] ^ t.td[1][(s2 >> 16) & 0xFF] ^ t.td[2][(s1 >> 8) & 0xFF] ^
                  t.td[3][s0 & 0xFF] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  Store32(block, t.fd[0][s0 >> 24] ^ t.fd[1][(s3 >> 16) & 0xFF] ^ t.fd[2][(s2 >> 8) & 0xFF] ^
                     t.fd[3][s1 & 0xFF] ^ rk[0]);
  Store32(block + 4, t.fd[0][s1 >> 24] ^ t.fd[1][(s0 >> 16) & 0xFF] ^ t.fd[2][(s3 >> 8) & 0xFF] ^
                         t.fd[3][s2 & 0xFF] ^ rk[1]);
  Store32(block + 8, t.fd[0][s2 >> 24] ^ t.fd[1][(s1 >> 16) & 0xFF] ^ t.fd[2][(s0 >> 8) & 0xFF] ^
                         t.fd[3][s3 & 0xFF] ^ rk[2]);
  Store32(block + 12, t.fd[0][s3 >> 24] ^ t.fd[1][(s2 >> 16) & 0xFF] ^ t.fd[2][(s1 >> 8) & 0xFF] ^
                          t.fd[3][s0 & 0xFF] ^ rk[3]);
}

int AesEncryptUpdate(AesContext* ctx, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) {
  return Update(ctx, in, inLength, out, outLength, false, EncryptStreamBlock);
}

int AesDecryptUpdate(AesContext* ctx, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) {
  return Update(ctx, in, inLength, out, outLength, true, DecryptStreamBlock);
}

int AesEncryptFinal(AesContext* ctx, uint8_t* out, uint32_t* outLength) {
  if (!IsKnownMode(ctx->mode)) return AES_ERR_MODE;
  if (ctx->mode == AES_MODE_OFB || ctx->mode == AES_MODE_CFB) {
    FinalStream(ctx, out, outLength);
    return 0;
  }
  if (!IsKnownPadding(ctx->padding)) return AES_ERR_MODE;
  if (ctx->padding == AES_PADDING_NONE) {
    if (ctx->pendingCount) return AES_ERR_NOT_PADDED;
    *outLength = 0;
    return 0;
  }
  uint8_t block[16];
  const uint8_t pad = (uint8_t)(16 - ctx->pendingCount);
  memcpy(block, ctx->pending, ctx->pendingCount);
  memset(block + ctx->pendingCount, pad, pad);
  EncryptStreamBlock(ctx, block, out);
  ctx->pendingCount = 0;
  *outLength = 16;
  return 0;
}

int AesDecryptFinal(AesContext* ctx, uint8_t* out, uint32_t* outLength) {
  if (!IsKnownMode(ctx->mode)) return AES_ERR_MODE;
  if (ctx->mode == AES_MODE_OFB || ctx->mode == AES_MODE_CFB) {
    FinalStream(ctx, out, outLength);
    return 0;
  }
  if (ctx->pendingCount == 0) {
    *outLength = 0;
    return 0;
  }
  if (ctx->pendingCount != 16) return AES_ERR_PARTIAL_BLOCK;
  if (!IsKnownPadding(ctx->padding)) return AES_ERR_MODE;
  // Work on copies: a failed check leaves the context and the output as they were.
  AesContext copy = *ctx;
  uint8_t block[16];
  DecryptStreamBlock(&copy, copy.pending, block);
  uint32_t n = 16;
  if (ctx->padding == AES_PADDING_PKCS7) {
    const uint8_t pad = block[15];
    if (pad < 1 || pad > 16) return AES_ERR_PADDING;
    for (int i = 16 - pad; i < 16; ++i)
      if (block[i] != pad) return AES_ERR_PADDING;
    n = 16u - pad;
  }
  memcpy(ctx->reg, copy.reg, 16);
  ctx->pendingCount = 0;
  memcpy(out, block, n);
  *outLength = n;
  return 0;
}

namespace {
// A fixed IV for the one-call wrappers (ECB does not use it).
void MakeWrapperIv(uint8_t iv[16]) {
  for (int i = 0; i < 16; ++i) iv[i] = (uint8_t)(0x30 + i);
}

bool KeyOf(const char* keyText, uint8_t key[16]) {
  if (!keyText) return false;
  for (int i = 0; i < 16; ++i) {
    if (!keyText[i]) return false;  // fewer than 16 bytes
    key[i] = (uint8_t)keyText[i];
  }
  return true;
}
}  // namespace

int AesEncryptBuffer(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength,
                     const char* keyText) {
  uint8_t key[16], iv[16];
  if (!out || !outLength || (!data && length) || !KeyOf(keyText, key)) return -1;
  MakeWrapperIv(iv);
  const uint64_t size = 2ull * length + 24;
  if (size > 0xFFFFFFFFull) return -1;
  uint8_t* buffer = (uint8_t*)malloc((size_t)size);
  if (!buffer) return -1;
  AesContext ctx;
  uint32_t n1 = 0, n2 = 0;
  if (AesInit(AES_MODE_ECB, AES_PADDING_PKCS7, iv, &ctx) || AesSetEncryptKey(key, 16, &ctx) ||
      AesEncryptStart(&ctx) || AesEncryptUpdate(&ctx, data, length, buffer, &n1) ||
      AesEncryptFinal(&ctx, buffer + n1, &n2)) {
    free(buffer);
    return -1;
  }
  *out = buffer;
  *outLength = n1 + n2;
  return 0;
}

int AesDecryptBuffer(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength,
                     const char* keyText) {
  uint8_t key[16], iv[16];
  if (!out || !outLength || (!data && length) || !KeyOf(keyText, key)) return -1;
  MakeWrapperIv(iv);
  uint8_t* buffer = (uint8_t*)calloc((size_t)length + 2, 1);
  if (!buffer) return -1;
  AesContext ctx;
  uint32_t n1 = 0, n2 = 0;
  const uint32_t mode = AES_MODE_ECB;
  const bool inverse = mode == AES_MODE_ECB || mode == AES_MODE_CBC;
  if (AesInit(mode, AES_PADDING_PKCS7, iv, &ctx) ||
      (inverse ? AesSetDecryptKey(key, 16, &ctx) : AesSetEncryptKey(key, 16, &ctx)) ||
      AesDecryptStart(&ctx) || AesDecryptUpdate(&ctx, data, length, buffer, &n1) ||
      AesDecryptFinal(&ctx, buffer + n1, &n2)) {
    free(buffer);
    return -1;
  }
  *out = buffer;
  *outLength = n1 + n2;
  return 0;
}
