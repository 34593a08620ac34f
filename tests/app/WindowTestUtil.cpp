#include "WindowTestUtil.h"

#include <wincrypt.h>

#include <sstream>

#include "common/TestPaths.h"

#include "app/CloseConfirm.h"
#include "core/Language.h"


namespace wintest {

std::vector<std::wstring> MessageLog::texts;
int MessageLog::answer = 7;

CFakePartitionScan* CFakePartitionScan::last = NULL;
HANDLE CFakePartitionScan::parseGate = NULL;
HANDLE CFakePartitionScan::inParse = NULL;
HWND CFakePartitionScan::watchWindow = NULL;
std::atomic<int> CFakePartitionScan::windowAliveAtRelease(-1);
std::atomic<int> CFakePartitionScan::enumerations(0);

std::vector<std::vector<std::string>> ReadTsv(const std::wstring& path, bool header)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(testpaths::ReadWholeFile(path));
    std::string line;
    if (header)
        std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ls(line);
        std::string cell;
        while (std::getline(ls, cell, '\t'))
            f.push_back(cell);
        if (!f.empty())
            rows.push_back(f);
    }
    return rows;
}

std::wstring Wide(const std::string& s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), NULL, 0);
    std::wstring w(n, 0);
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), &w[0], n);
    return w;
}

std::string Sha256(const std::string& data)
{
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    std::string hex;
    if (!CryptAcquireContextW(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return hex;
    BYTE digest[32];
    DWORD len = sizeof(digest);
    if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, (const BYTE*)data.data(), (DWORD)data.size(), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &len, 0)) {
        static const char* const digits = "0123456789abcdef";
        for (DWORD i = 0; i < len; ++i) {
            hex += digits[digest[i] >> 4];
            hex += digits[digest[i] & 15];
        }
    }
    if (hash)
        CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    return hex;
}

// The SHA-256 of a file; empty when it does not exist.
std::string FileSha256(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return std::string();
    return Sha256(testpaths::ReadWholeFile(path));
}

std::wstring MessageText(const wchar_t* key)
{
    wchar_t buf[1024] = {};
    ReadLanguageText(L"Message", key, L"", buf, 1024, GetLanguageFilePath().c_str());
    return buf;
}

void SetCloseConfirm(int value)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    if (value < 0) {
        RegDeleteValueW(key, kCloseConfirmValue);
    } else {
        DWORD v = (DWORD)value;
        RegSetValueExW(key, kCloseConfirmValue, 0, REG_DWORD, (const BYTE*)&v, sizeof(v));
    }
    RegCloseKey(key);
}

int GetCloseConfirm()
{
    DWORD v = 0, size = sizeof(v);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, kCloseConfirmValue, RRF_RT_REG_DWORD, NULL, &v, &size) !=
        ERROR_SUCCESS)
        return -1;
    return (int)v;
}

}  // namespace wintest
