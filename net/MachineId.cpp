#include "net/MachineId.h"

#include <winioctl.h>
#include <winternl.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "storage/DeviceIo.h"
#include "storage/PhysicalDiskList.h"

std::wstring g_strMachineCode;

// ---------------- MD5 (RFC 1321) ----------------

namespace {
inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Encode32(unsigned char* out, const uint32_t* in, size_t words) {
  for (size_t i = 0; i < words; ++i)
    for (int k = 0; k < 4; ++k) out[4 * i + k] = (unsigned char)(in[i] >> (8 * k));
}
}  // namespace

MD5_CTX::MD5_CTX() {
  memset(m_padding, 0, sizeof m_padding);
  m_padding[0] = 0x80;
  Reset();
}

MD5_CTX::~MD5_CTX() { SecureZeroMemory(m_buffer, sizeof m_buffer); }

void MD5_CTX::Reset() {
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
  m_count[0] = m_count[1] = 0;
  memset(m_buffer, 0, sizeof m_buffer);
}

void MD5_CTX::MD5Transform(const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = (uint32_t)block[4 * i] | ((uint32_t)block[4 * i + 1] << 8) | ((uint32_t)block[4 * i + 2] << 16) |
           ((uint32_t)block[4 * i + 3] << 24);
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = F(b, c, d);
      g = i;
    } else if (i < 32) {
      f = G(b, c, d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = H(b, c, d);
      g = (3 * i + 5) % 16;
    } else {
      f = I(b, c, d);
      g = (7 * i) % 16;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kSine[i] + x[g], kShift[i]);
    a = t;
  }
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
  SecureZeroMemory(x, sizeof x);
}

void MD5_CTX::MD5Update(const unsigned char* input, size_t length) {
  size_t index = (m_count[0] >> 3) & 0x3F;
  uint64_t bits = ((uint64_t)m_count[1] << 32 | m_count[0]) + ((uint64_t)length << 3);
  m_count[0] = (uint32_t)bits;
  m_count[1] = (uint32_t)(bits >> 32);
  size_t partLen = 64 - index;
  size_t i = 0;
  if (length >= partLen) {
    memcpy(m_buffer + index, input, partLen);
    MD5Transform(m_buffer);
    for (i = partLen; i + 63 < length; i += 64) MD5Transform(input + i);
    index = 0;
  }
  memcpy(m_buffer + index, input + i, length - i);
}

void MD5_CTX::MD5Final(unsigned char digest[16]) {
  unsigned char bits[8];
  Encode32(bits, m_count, 2);
  size_t index = (m_count[0] >> 3) & 0x3F;
  size_t padLen = index < 56 ? 56 - index : 120 - index;
  MD5Update(m_padding, padLen);
  MD5Update(bits, 8);
  Encode32(digest, m_state, 4);
  Reset();
}

void MD5HexString(const char* text, char* out, size_t capacity) {
  if (!out || capacity == 0) return;
  memset(out, 0, capacity);
  MD5_CTX ctx;
  unsigned char digest[16];
  if (text) ctx.MD5Update((const unsigned char*)text, strlen(text));
  ctx.MD5Final(digest);
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < 32 && i + 1 < capacity; ++i) out[i] = hex[(digest[i / 2] >> ((i & 1) ? 0 : 4)) & 15];
}

uint32_t Crc32Update(const void* bytes, size_t count) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const Bytef* p = (const Bytef*)bytes;
  while (count > 0) {
    uInt n = count > 0x40000000 ? 0x40000000 : (uInt)count;
    crc = crc32(crc, p, n);
    p += n;
    count -= n;
  }
  return (uint32_t)crc;
}

// ---------------- hardware facts ----------------

namespace {

HANDLE OpenForIdentify(const wchar_t* path) {
  // The identify control codes need read and write access to the handle;
  // nothing is ever written through it.
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

MachineIdOpenFn g_pfnOpen = &OpenForIdentify;

const size_t kMaxSerialText = 4096;

void AppendBounded(std::string& text, const std::string& part) {
  if (text.size() >= kMaxSerialText) return;
  text.append(part, 0, kMaxSerialText - text.size());
}

const DWORD kSmartGetVersion = 0x00074080;
const DWORD kSmartRcvDriveData = 0x0007C088;
const DWORD kScsiMiniport = 0x0004D008;
const DWORD kScsiMiniportIdentify = 0x001B0501;

#pragma pack(push, 1)
struct SrbIoControl {
  ULONG HeaderLength;
  UCHAR Signature[8];
  ULONG Timeout;
  ULONG ControlCode;
  ULONG ReturnCode;
  ULONG Length;
};
#pragma pack(pop)
static_assert(sizeof(SrbIoControl) == 28, "miniport header");
static_assert(sizeof(GETVERSIONINPARAMS) == 24, "SMART version reply");

int SmartSerials(std::string& text) {
  int found = 0;
  for (int drive = 0; drive < 4; ++drive) {
    wchar_t path[32];
    _snwprintf(path, 31, L"\\\\.\\PhysicalDrive%d", drive);
    path[31] = 0;
    HANDLE h = g_pfnOpen(path);
    if (h == INVALID_HANDLE_VALUE) continue;
    GETVERSIONINPARAMS ver;
    memset(&ver, 0, sizeof ver);
    DWORD got = 0;
    if (StorageDeviceIoControl(h, kSmartGetVersion, nullptr, 0, &ver, sizeof ver, &got) &&
        ver.bIDEDeviceMap) {
      unsigned char in[32];
      memset(in, 0, sizeof in);
      SENDCMDINPARAMS* cmd = (SENDCMDINPARAMS*)in;
      cmd->cBufferSize = 512;
      cmd->irDriveRegs.bFeaturesReg = 0;
      cmd->irDriveRegs.bSectorCountReg = 1;
      cmd->irDriveRegs.bSectorNumberReg = 1;
      cmd->irDriveRegs.bCylLowReg = 0;
      cmd->irDriveRegs.bCylHighReg = 0;
      cmd->irDriveRegs.bDriveHeadReg = (drive & 1) ? 0xB0 : 0xA0;
      cmd->irDriveRegs.bCommandReg = ((ver.bIDEDeviceMap >> (drive + 4)) & 1) ? 0xA1 : 0xEC;
      cmd->bDriveNumber = (BYTE)drive;
      unsigned char out[528 + 16];
      memset(out, 0, sizeof out);
      if (StorageDeviceIoControl(h, kSmartRcvDriveData, in, 32, out, 528, &got)) {
        WORD words[256];
        memcpy(words, out + 16, 512);
        AppendBounded(text, IdentifyWordsToString(words, 10, 19));
        ++found;
      }
    }
    CloseHandle(h);
  }
  return found;
}

void ScsiMiniportSerials(std::string& text) {
  for (int controller = 0; controller < 2; ++controller) {
    wchar_t path[32];
    _snwprintf(path, 31, L"\\\\.\\Scsi%d:", controller);
    path[31] = 0;
    HANDLE h = g_pfnOpen(path);
    if (h == INVALID_HANDLE_VALUE) continue;
    for (int drive = 0; drive < 2; ++drive) {
      unsigned char buffer[557];
      memset(buffer, 0, sizeof buffer);
      SrbIoControl* srb = (SrbIoControl*)buffer;
      srb->HeaderLength = sizeof(SrbIoControl);
      memcpy(srb->Signature, "SCSIDISK", 8);
      srb->Timeout = 10000;
      srb->ControlCode = kScsiMiniportIdentify;
      srb->Length = 529;
      SENDCMDINPARAMS* cmd = (SENDCMDINPARAMS*)(buffer + sizeof(SrbIoControl));
      cmd->irDriveRegs.bCommandReg = 0xEC;
      cmd->bDriveNumber = (BYTE)drive;
      DWORD got = 0;
      if (StorageDeviceIoControl(h, kScsiMiniport, buffer, 60, buffer, sizeof buffer, &got)) {
        const unsigned char* data = buffer + sizeof(SrbIoControl) + 16;
        if (data[54] != 0) {
          WORD words[256];
          memcpy(words, data, 512);
          AppendBounded(text, IdentifyWordsToString(words, 10, 19));
        }
      }
    }
    CloseHandle(h);
  }
}

bool IsNtFamily() {
  OSVERSIONINFOW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&v)) return true;
#pragma GCC diagnostic pop
  return v.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

MachineIdOpenFn SetMachineIdOpenHook(MachineIdOpenFn fn) {
  MachineIdOpenFn old = g_pfnOpen;
  g_pfnOpen = fn ? fn : &OpenForIdentify;
  return old;
}

std::string GetDiskSerialText() {
  std::string text;
  // The Windows 9x port path has no place on the NT family this program runs on.
  if (!IsNtFamily()) return text;
  if (SmartSerials(text) == 0) ScsiMiniportSerials(text);
  return text;
}

namespace {

MachineIdSectionHooks g_sectionHooks = {};

}  // namespace

void SetMachineIdSectionHooks(const MachineIdSectionHooks* hooks) {
  if (hooks)
    g_sectionHooks = *hooks;
  else
    g_sectionHooks = MachineIdSectionHooks();
}

std::string GetBiosCrcText() {
  typedef VOID(NTAPI * InitStringFn)(UNICODE_STRING*, PCWSTR);

  std::string text;
  HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
  if (!ntdll) return text;
  MachineIdSectionHooks api = g_sectionHooks;
  if (!api.openSection) api.openSection = (MachineIdSectionHooks::OpenSectionFn)(void*)GetProcAddress(ntdll, "ZwOpenSection");
  if (!api.mapView) api.mapView = (MachineIdSectionHooks::MapViewFn)(void*)GetProcAddress(ntdll, "ZwMapViewOfSection");
  if (!api.unmapView)
    api.unmapView = (MachineIdSectionHooks::UnmapViewFn)(void*)GetProcAddress(ntdll, "ZwUnmapViewOfSection");
  InitStringFn initString = (InitStringFn)(void*)GetProcAddress(ntdll, "RtlInitUnicodeString");
  HANDLE section = nullptr;
  if (api.openSection && api.mapView && api.unmapView && initString) {
    UNICODE_STRING name;
    initString(&name, L"\\Device\\PhysicalMemory");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    const ACCESS_MASK kSectionMapRead = 0x0004;
    if (NT_SUCCESS(api.openSection(&section, kSectionMapRead, &attributes)) && section) {
      // A view starts on an allocation-granularity (64 KiB) boundary: the
      // 64 KiB from 0xF0000 are mapped and the 4 KiB at 0xFE000 copied out.
      const ULONGLONG kBiosArea = 0xFE000, kViewBase = kBiosArea & ~0xFFFFull;
      PVOID view = nullptr;
      LARGE_INTEGER offset;
      offset.QuadPart = (LONGLONG)kViewBase;
      SIZE_T size = 0x10000;
      const DWORD kViewShare = 1;
      if (NT_SUCCESS(api.mapView(section, GetCurrentProcess(), &view, 0, 0x10000, &offset, &size, kViewShare, 0,
                                 PAGE_READONLY)) &&
          view) {
        // The call may round the offset down further and says what it mapped.
        const ULONGLONG start = (ULONGLONG)offset.QuadPart;
        if (start <= kBiosArea && kBiosArea - start + 4096 <= size) {
          unsigned char bios[4096];
          memcpy(bios, (const unsigned char*)view + (kBiosArea - start), sizeof bios);
          char crc[24];
          _snprintf(crc, sizeof crc - 1, "%04X", (unsigned)Crc32Update(bios, 2048));
          crc[sizeof crc - 1] = 0;
          text += crc;
          _snprintf(crc, sizeof crc - 1, "%04X", (unsigned)Crc32Update(bios + 1024, 2048));
          text += crc;
        }
        api.unmapView(GetCurrentProcess(), view);
      }
      CloseHandle(section);
    }
  }
  FreeLibrary(ntdll);
  return text;
}

BOOL GetMachineCode(wchar_t* buffer, int capacity) {
  if (!buffer || capacity <= 0) return FALSE;
  std::string text = GetDiskSerialText();
  text += GetBiosCrcText();
  if (text.size() > 4095) text.resize(4095);
  char digits[260];
  MD5HexString(text.c_str(), digits, sizeof digits);
  int n = 0;
  for (; digits[n] && n + 1 < capacity; ++n) buffer[n] = (wchar_t)(unsigned char)digits[n];
  buffer[n] = 0;
  return n > 0;
}

namespace {
const wchar_t kUidKey[] = L"Software\\Microsoft\\Delvaro";
const wchar_t kUidValue[] = L"uid";
}  // namespace

BOOL LoadMachineCode() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUidKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    wchar_t value[261] = {};
    DWORD type = 0, bytes = 260 * sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, kUidValue, nullptr, &type, (BYTE*)value, &bytes);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && value[0]) {
      g_strMachineCode = value;
      return TRUE;
    }
  }

  wchar_t code[256] = {};
  if (!GetMachineCode(code, 256) || !code[0]) lstrcpyW(code, L"1");
  char narrow[256] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, code, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
  char digits[33];
  MD5HexString(narrow, digits, sizeof digits);
  wchar_t result[17] = {};
  for (int i = 0; i < 16; ++i) result[i] = (wchar_t)toupper((unsigned char)digits[i]);
  g_strMachineCode = result;

  BOOL written = FALSE;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUidKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    // A REG_SZ value is stored with its terminator, or readers may get an
    // unterminated text.
    written = RegSetValueExW(key, kUidValue, 0, REG_SZ, (const BYTE*)result,
                             (DWORD)((wcslen(result) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
  }
  return written;
}

std::wstring GetMachineCodeText() { return g_strMachineCode; }
