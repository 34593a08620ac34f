// AES (128-, 192- and 256-bit keys) behind a small streaming interface with
// four modes (ECB, CBC, OFB, full-block CFB) and two paddings, plus one-call
// wrappers for AES-128 ECB with PKCS#7 padding. Base64 is in core/Base64.h.
#pragma once
#include <cstdint>

enum : uint32_t {
  AES_MODE_ECB = 1,
  AES_MODE_CBC = 2,
  AES_MODE_OFB = 3,
  AES_MODE_CFB = 4,
};
enum : uint32_t {
  AES_PADDING_NONE = 1,
  AES_PADDING_PKCS7 = 2,
};
// Results of the streaming calls (0 is success).
enum : int {
  AES_ERR_MODE = 4097,          // unknown mode or padding; or input == output with blocks to write
  AES_ERR_KEY_LENGTH = 4098,    // key not 16, 24 or 32 bytes
  AES_ERR_PADDING = 4099,       // decryption: the last block's PKCS#7 padding is not valid
  AES_ERR_NOT_PADDED = 4100,    // encryption: bytes pending but no padding
  AES_ERR_PARTIAL_BLOCK = 4101  // decryption (ECB, CBC): not a whole number of blocks
};

struct AesKeySchedule {
  uint32_t nk;         // key length in 32-bit words: 4, 6 or 8 (rounds = nk + 6)
  uint32_t words[60];  // round keys
};

struct AesContext {
  uint32_t mode;
  uint32_t padding;
  uint8_t iv[16];
  uint8_t reg[16];  // CBC: last ciphertext block; OFB: keystream; CFB: feedback
  uint8_t pending[16];
  uint32_t pendingCount;
  AesKeySchedule key;
};

// Stores mode and padding and the IV (zeros when none); checks nothing.
int AesInit(uint32_t mode, uint32_t padding, const uint8_t* iv, AesContext* ctx);
int AesSetEncryptKey(const uint8_t* key, uint32_t keyLength, AesContext* ctx);
// The inverse cipher's schedule (used by ECB and CBC decryption).
int AesSetDecryptKey(const uint8_t* key, uint32_t keyLength, AesContext* ctx);
int AesEncryptStart(AesContext* ctx);
int AesDecryptStart(AesContext* ctx);
void AesEncryptBlock(const AesKeySchedule* key, uint8_t block[16]);
void AesDecryptBlock(const AesKeySchedule* key, uint8_t block[16]);
// out receives whole blocks only (*outLength is a multiple of 16); out must
// hold the pending count plus inLength bytes.
int AesEncryptUpdate(AesContext* ctx, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength);
int AesEncryptFinal(AesContext* ctx, uint8_t* out, uint32_t* outLength);
// Decryption keeps the last block back for the final.
int AesDecryptUpdate(AesContext* ctx, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength);
int AesDecryptFinal(AesContext* ctx, uint8_t* out, uint32_t* outLength);

// AES-128 ECB, PKCS#7, keyed with the first 16 bytes of keyText (which must
// hold 16). On success *out is a malloc'ed buffer the caller frees and the
// result is 0; on any failure -1 and the out-parameters are untouched.
int AesEncryptBuffer(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength,
                     const char* keyText);
int AesDecryptBuffer(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength,
                     const char* keyText);
