// The machine identifier: identify answers played through the open and
// control-call seams (Wine's drivers answer none), the serial text, the
// double MD5 and the registry value; the Windows name and resources.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstring>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "net/MachineId.h"
#include "net/SysInfo.h"
#include "storage/DeviceIo.h"
#include "storage/PhysicalDiskList.h"

namespace {

// ---- stand-in drives ----
std::map<HANDLE, int> g_drive;  // open handle -> drive (or 100 + controller)
std::map<int, std::string> g_serial;
BYTE g_deviceMap = 0;
BYTE g_commandSeen[4] = {};
bool g_smart = true, g_scsi = false;
std::wstring g_dummy;

HANDLE FakeOpen(const wchar_t* path) {
  int n = -1;
  if (g_smart && swscanf(path, L"\\\\.\\PhysicalDrive%d", &n) == 1 && g_serial.count(n)) {
  } else if (g_scsi && swscanf(path, L"\\\\.\\Scsi%d:", &n) == 1 && n == 0) {
    n += 100;
  } else {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileW(g_dummy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  g_drive[h] = n;
  return h;
}

void PutSerial(unsigned char* identify, const std::string& serial) {
  std::string s = serial;
  s.resize(20, ' ');
  for (int i = 0; i < 20; i += 2) {
    identify[20 + i] = (unsigned char)s[i + 1];  // words are little-endian, high byte first in text
    identify[21 + i] = (unsigned char)s[i];
  }
  identify[54] = identify[55] = 'M';  // a model number is present
}

BOOL WINAPI FakeControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD ret,
                        LPOVERLAPPED) {
  int drive = g_drive.count(h) ? g_drive[h] : -1;
  if (code == SMART_GET_VERSION && drive >= 0 && drive < 100 && outSize == 24) {
    memset(out, 0, 24);
    ((BYTE*)out)[3] = g_deviceMap;
    *ret = 24;
    return TRUE;
  }
  if (code == SMART_RCV_DRIVE_DATA && drive >= 0 && drive < 100 && inSize == 32 && outSize == 528) {
    const SENDCMDINPARAMS* cmd = (const SENDCMDINPARAMS*)in;
    if (cmd->bDriveNumber != drive || cmd->irDriveRegs.bDriveHeadReg != ((drive & 1) ? 0xB0 : 0xA0))
      return FALSE;
    g_commandSeen[drive] = cmd->irDriveRegs.bCommandReg;
    memset(out, 0, outSize);
    PutSerial((unsigned char*)out + 16, g_serial[drive]);
    *ret = outSize;
    return TRUE;
  }
  if (code == 0x0004D008 && drive == 100 && inSize == 60 && outSize == 557) {
    unsigned char* b = (unsigned char*)in;
    const int target = b[28 + offsetof(SENDCMDINPARAMS, bDriveNumber)];
    if (memcmp(b + 4, "SCSIDISK", 8) != 0 || *(DWORD*)(b + 16) != 0x001B0501 || *(DWORD*)(b + 24) != 529 ||
        b[28 + offsetof(SENDCMDINPARAMS, irDriveRegs) + 6] != 0xEC || !g_serial.count(target))
      return FALSE;
    memset(b + 28, 0, 529);
    PutSerial(b + 28 + 16, g_serial[target]);
    *ret = 557;
    return TRUE;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

class MachineId : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testpaths::MakeTempDir(L"mid");
    g_dummy = m_dir + L"\\drive";
    CloseHandle(CreateFileW(g_dummy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    g_drive.clear();
    g_serial.clear();
    g_smart = true;
    g_scsi = false;
    memset(g_commandSeen, 0, sizeof g_commandSeen);
    SetMachineIdOpenHook(&FakeOpen);
    SetStorageIoControlHook(&FakeControl);
  }
  void TearDown() override {
    SetMachineIdOpenHook(nullptr);
    SetStorageIoControlHook(nullptr);
    DeleteFileW(g_dummy.c_str());
    RemoveDirectoryW(m_dir.c_str());
  }
  std::wstring m_dir;
};

TEST_F(MachineId, SerialTextOfIdentifyWords) {
  WORD words[256] = {};
  PutSerial((unsigned char*)words, "  AB12CD");  // two leading and twelve trailing blanks
  EXPECT_EQ("  AB12CD", IdentifyWordsToString(words, 10, 19));
  PutSerial((unsigned char*)words, "");
  EXPECT_EQ(" ", IdentifyWordsToString(words, 10, 19));  // never the first character
}

TEST_F(MachineId, SmartDrivesInOrderThenScsi) {
  g_serial[0] = "WD-ZERO";
  g_serial[1] = "CDROM-ONE";
  g_deviceMap = 0x01 | 0x02 | 0x20;  // drive 1 is an ATAPI device
  EXPECT_EQ("WD-ZEROCDROM-ONE", GetDiskSerialText());
  EXPECT_EQ(0xEC, g_commandSeen[0]);
  EXPECT_EQ(0xA1, g_commandSeen[1]);

  g_deviceMap = 0;  // no IDE device: SMART finds nothing, the miniport answers
  g_scsi = true;
  g_serial.erase(1);
  EXPECT_EQ("WD-ZERO", GetDiskSerialText());
  g_scsi = false;
  EXPECT_EQ("", GetDiskSerialText());
}

TEST_F(MachineId, RegistryValueOrDoubleMd5) {
  const wchar_t kKey[] = L"Software\\Microsoft\\Delvaro";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  wchar_t saved[261] = {};
  DWORD savedSize = sizeof saved - sizeof(wchar_t);
  bool hadValue = RegQueryValueExW(key, L"uid", nullptr, nullptr, (BYTE*)saved, &savedSize) == ERROR_SUCCESS;

  const wchar_t custom[] = L"not-hex but kept";
  RegSetValueExW(key, L"uid", 0, REG_SZ, (const BYTE*)custom, sizeof custom);
  g_serial[0] = "SERIAL-0";
  g_deviceMap = 1;
  EXPECT_TRUE(LoadMachineCode());
  EXPECT_EQ(custom, g_strMachineCode);
  EXPECT_EQ(0, g_commandSeen[0]);  // no hardware touched

  RegDeleteValueW(key, L"uid");
  EXPECT_TRUE(LoadMachineCode());
  char inner[33], outer[33];
  MD5HexString(("SERIAL-0" + GetBiosCrcText()).c_str(), inner, sizeof inner);
  MD5HexString(inner, outer, sizeof outer);
  std::wstring expected;
  for (int i = 0; i < 16; ++i) expected += (wchar_t)toupper((unsigned char)outer[i]);
  EXPECT_EQ(expected, g_strMachineCode);
  EXPECT_EQ(expected, GetMachineCodeText());
  wchar_t stored[64] = {};
  DWORD size = sizeof stored - sizeof(wchar_t), type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"uid", nullptr, &type, (BYTE*)stored, &size));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(17u * sizeof(wchar_t), size);  // the terminator is stored with the text
  EXPECT_EQ(expected, stored);

  if (hadValue)
    RegSetValueExW(key, L"uid", 0, REG_SZ, (const BYTE*)saved, savedSize);
  else
    RegDeleteValueW(key, L"uid");
  RegCloseKey(key);
}

TEST(SysInfo, WindowsNameAndResources) {
  typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOEXW*);
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  ((RtlGetVersionFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"))(&v);
  const DWORD version = v.dwMajorVersion * 100 + v.dwMinorVersion;
  const std::wstring name = GetOsName();
  switch (version) {
    case 1000:
      EXPECT_EQ(L"windows10", name);
      break;
    case 601:
      EXPECT_EQ(L"Windows7", name);
      break;
    case 501:
      EXPECT_EQ(L"WindowsXP", name);
      break;
    case 603:
      EXPECT_EQ(L"", name);
      break;  // Windows 8.1 has no name
    default:
      break;
  }
  wchar_t tiny[4];
  if (!name.empty()) {
    EXPECT_TRUE(GetOsNameRaw(tiny, 4));
    EXPECT_EQ(name.substr(0, 3), tiny);  // cut to the buffer
  }

  std::wstring dir = testpaths::MakeTempDir(L"res");
  std::string path = "";
  for (wchar_t c : dir + L"\\out.bin") path += (char)c;
  DWORD size = 0;
  EXPECT_TRUE(LoadResourceData(nullptr, 300, &size, "DATA"));
  EXPECT_TRUE(SaveResourceToFile(nullptr, 300, path.c_str(), "DATA"));
  std::wstring wpath(path.begin(), path.end());
  EXPECT_EQ(size, testpaths::ReadWholeFile(wpath).size());
  EXPECT_EQ("resource payload\n", testpaths::ReadWholeFile(wpath));
  DeleteFileA(path.c_str());
  EXPECT_FALSE(SaveResourceToFile(nullptr, 301, path.c_str(), "DATA"));  // empty
  EXPECT_FALSE(testpaths::FileExists(wpath));
  EXPECT_FALSE(SaveResourceToFile(nullptr, 399, path.c_str(), "DATA"));  // missing
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

namespace {

// ---- stand-in physical memory: byte at address a is (a * 13 + a / 4099) ----
BYTE MemoryByte(ULONGLONG a) { return (BYTE)(a * 13 + a / 4099); }
std::vector<BYTE> g_view;
LONGLONG g_mappedAt = -1;
SIZE_T g_mappedSize = 0;
int g_unmaps = 0;

LONG NTAPI FakeOpenSection(HANDLE* section, ACCESS_MASK, void*) {
  *section = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // closed by CloseHandle
  return 0;
}

// As the system does: a view starts on a 64 KiB boundary, else
// STATUS_MAPPED_ALIGNMENT.
LONG NTAPI FakeMapView(HANDLE, HANDLE, PVOID* view, ULONG_PTR, SIZE_T, LARGE_INTEGER* offset, SIZE_T* size, DWORD,
                       ULONG, ULONG) {
  g_mappedAt = offset->QuadPart;
  if (offset->QuadPart % 0x10000 != 0) return (LONG)0xC0000220;
  g_mappedSize = *size;
  g_view.resize(*size);
  for (SIZE_T i = 0; i < *size; ++i) g_view[i] = MemoryByte((ULONGLONG)offset->QuadPart + i);
  *view = g_view.data();
  return 0;
}

LONG NTAPI FakeUnmapView(HANDLE, PVOID) { return ++g_unmaps, 0; }

TEST(MachineIdBios, ChecksumsMapAnAlignedViewAndReadFromItsOffset) {
  MachineIdSectionHooks hooks = {&FakeOpenSection, &FakeMapView, &FakeUnmapView};
  SetMachineIdSectionHooks(&hooks);
  const std::string text = GetBiosCrcText();
  SetMachineIdSectionHooks(nullptr);
  EXPECT_EQ(0xF0000, g_mappedAt);
  EXPECT_EQ(0x10000u, g_mappedSize);
  EXPECT_EQ(1, g_unmaps);
  BYTE area[4096];
  for (int i = 0; i < 4096; ++i) area[i] = MemoryByte(0xFE000 + i);
  char expected[40];
  snprintf(expected, sizeof expected, "%04X%04X", (unsigned)Crc32Update(area, 2048),
           (unsigned)Crc32Update(area + 1024, 2048));
  EXPECT_EQ(expected, text);

  // A view that came back shorter than the area is not read.
  struct Short {
    static LONG NTAPI Map(HANDLE s, HANDLE p, PVOID* v, ULONG_PTR z, SIZE_T c, LARGE_INTEGER* o, SIZE_T* n, DWORD i,
                          ULONG a, ULONG pr) {
      *n = 0xE800;
      return FakeMapView(s, p, v, z, c, o, n, i, a, pr);
    }
  };
  hooks.mapView = &Short::Map;
  SetMachineIdSectionHooks(&hooks);
  EXPECT_EQ("", GetBiosCrcText());
  SetMachineIdSectionHooks(nullptr);
  EXPECT_EQ(2, g_unmaps);
}

}  // namespace
