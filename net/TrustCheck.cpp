#include "net/TrustCheck.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cwchar>

#include "core/Helpers.h"
#include "core/Log.h"

namespace {

class CSha256
{
public:
    CSha256() : m_alg(NULL), m_hash(NULL)
    {
        if (BCryptOpenAlgorithmProvider(&m_alg, BCRYPT_SHA256_ALGORITHM, NULL, 0) != 0)
            m_alg = NULL;
        else if (BCryptCreateHash(m_alg, &m_hash, NULL, 0, NULL, 0, 0) != 0)
            m_hash = NULL;
    }
    ~CSha256()
    {
        if (m_hash)
            BCryptDestroyHash(m_hash);
        if (m_alg)
            BCryptCloseAlgorithmProvider(m_alg, 0);
    }
    bool Ok() const { return m_hash != NULL; }
    bool Add(const void* data, ULONG size) { return BCryptHashData(m_hash, (PUCHAR)data, size, 0) == 0; }
    bool Finish(Sha256Digest& out) { return BCryptFinishHash(m_hash, out.bytes, 32, 0) == 0; }

private:
    BCRYPT_ALG_HANDLE m_alg;
    BCRYPT_HASH_HANDLE m_hash;
};

int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

std::wstring ReadIniText(const wchar_t* section, const wchar_t* key, const wchar_t* path)
{
    std::vector<wchar_t> buf(4096);
    DWORD n = GetPrivateProfileStringW(section, key, L"", buf.data(), (DWORD)buf.size(), path);
    return std::wstring(buf.data(), n);
}

// Pieces of text between any of the separators, blanks trimmed, empty ones dropped.
std::vector<std::wstring> Split(const std::wstring& text, const wchar_t* separators)
{
    std::vector<std::wstring> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring piece = text.substr(start, end - start);
        while (!piece.empty() && (piece.back() == L' ' || piece.back() == L'\t'))
            piece.pop_back();
        size_t lead = piece.find_first_not_of(L" \t");
        if (lead != std::wstring::npos && !piece.empty())
            out.push_back(piece.substr(lead));
        start = end + 1;
    }
    return out;
}

bool Contains(const std::vector<Sha256Digest>& list, const Sha256Digest& d)
{
    for (const Sha256Digest& x : list)
        if (x == d)
            return true;
    return false;
}

// Chain faults a pinned certificate stands in for: the root (or the rest of
// the chain) unknown to this machine, revocation not checkable.
const DWORD kPinnableChainErrors = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                   CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

TrustVerdict CheckSignature(HANDLE file, const wchar_t* path, const CTrustPolicy& policy)
{
    WINTRUST_FILE_INFO fileInfo;
    ZeroMemory(&fileInfo, sizeof fileInfo);
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // No network from here: the publisher is what is checked.
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG status = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);

    TrustVerdict verdict = TRUST_BAD_SIGNATURE;
    if (status == TRUST_E_PROVIDER_UNKNOWN || status == TRUST_E_ACTION_UNKNOWN || status == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        verdict = TRUST_UNAVAILABLE;
    } else if (status == 0 || status == CERT_E_UNTRUSTEDROOT || status == CERT_E_CHAINING) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
        CRYPT_PROVIDER_CERT* leaf = signer ? WTHelperGetProvCertFromChain(signer, 0) : NULL;
        if (leaf && leaf->pCert) {
            DWORD chainErrors = CERT_TRUST_IS_UNTRUSTED_ROOT;
            bool chainTrusted = false;
            if (signer->pChainContext) {
                chainErrors = signer->pChainContext->TrustStatus.dwErrorStatus;
                CERT_CHAIN_POLICY_PARA para;
                ZeroMemory(&para, sizeof para);
                para.cbSize = sizeof para;
                CERT_CHAIN_POLICY_STATUS result;
                ZeroMemory(&result, sizeof result);
                result.cbSize = sizeof result;
                chainTrusted = status == 0 && chainErrors == 0 &&
                               CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, signer->pChainContext, &para,
                                                                &result) &&
                               result.dwError == 0;
            }
            bool pinned = false;
            for (DWORD i = 0; i < signer->csCertChain && !pinned; ++i) {
                CRYPT_PROVIDER_CERT* c = WTHelperGetProvCertFromChain(signer, i);
                Sha256Digest d;
                if (c && c->pCert && Sha256OfBytes(c->pCert->pbCertEncoded, c->pCert->cbCertEncoded, d))
                    pinned = Contains(policy.m_certPins, d);
            }
            wchar_t name[512] = {};
            CertGetNameStringW(leaf->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, 512);
            bool named = false;
            for (const std::wstring& p : policy.m_publishers)
                if (_wcsicmp(p.c_str(), name) == 0)
                    named = true;
            if (pinned && (chainErrors & ~kPinnableChainErrors) == 0)
                verdict = TRUST_OK;
            else if (named && chainTrusted)
                verdict = TRUST_OK;
            else if (named || pinned)
                verdict = TRUST_UNTRUSTED_CHAIN;
            else
                verdict = TRUST_WRONG_PUBLISHER;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    return verdict;
}

}  // namespace

bool ParseSha256(const std::wstring& hex, Sha256Digest& out)
{
    if (hex.size() != 64)
        return false;
    for (size_t i = 0; i < 32; ++i) {
        int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.bytes[i] = (BYTE)(hi * 16 + lo);
    }
    return true;
}

std::wstring Sha256Hex(const Sha256Digest& d)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring s;
    for (BYTE b : d.bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool Sha256OfBytes(const void* data, size_t size, Sha256Digest& out)
{
    CSha256 h;
    if (!h.Ok())
        return false;
    const BYTE* p = (const BYTE*)data;
    while (size) {
        ULONG n = size > 0x10000000 ? 0x10000000 : (ULONG)size;
        if (!h.Add(p, n))
            return false;
        p += n;
        size -= n;
    }
    return h.Finish(out);
}

bool Sha256OfFile(HANDLE file, Sha256Digest& out)
{
    CSha256 h;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!h.Ok() || !SetFilePointerEx(file, zero, NULL, FILE_BEGIN))
        return false;
    std::vector<BYTE> buf(65536);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buf.data(), (DWORD)buf.size(), &got, NULL))
            return false;
        if (got == 0)
            break;
        if (!h.Add(buf.data(), got))
            return false;
    }
    return h.Finish(out);
}

void CTrustPolicy::Clear()
{
    m_publishers.clear();
    m_certPins.clear();
    m_fileHashes.clear();
}

void CTrustPolicy::Load(const wchar_t* iniPath)
{
    Clear();
    if (!iniPath)
        return;
    m_publishers = Split(ReadIniText(L"Trust", L"Publisher", iniPath), L"|");
    struct
    {
        const wchar_t* key;
        std::vector<Sha256Digest>* list;
    } lists[] = {{L"CertSha256", &m_certPins}, {L"FileSha256", &m_fileHashes}};
    for (auto& l : lists) {
        for (const std::wstring& piece : Split(ReadIniText(L"Trust", l.key, iniPath), L" ,;\t")) {
            Sha256Digest d;
            if (ParseSha256(piece, d))
                l.list->push_back(d);
            else
                DebugPrint(L"[Delvaro] oem.ini [Trust] %s: \"%s\" is no SHA-256 digest\n", l.key, piece.c_str());
        }
    }
}

CTrustPolicy& ProgramTrustPolicy()
{
    static CTrustPolicy policy = [] {
        CTrustPolicy p;
        p.Load(GetAppFilePath(L"oem.ini").c_str());
        return p;
    }();
    return policy;
}

const wchar_t* TrustVerdictText(TrustVerdict v)
{
    switch (v) {
    case TRUST_OK:
        return L"trusted";
    case TRUST_NO_POLICY:
        return L"no trust policy configured";
    case TRUST_UNREADABLE:
        return L"file unreadable";
    case TRUST_BAD_SIGNATURE:
        return L"no valid signature";
    case TRUST_UNTRUSTED_CHAIN:
        return L"certificate chain not trusted";
    case TRUST_WRONG_PUBLISHER:
        return L"not signed by a configured publisher";
    case TRUST_UNAVAILABLE:
        return L"signatures cannot be checked here";
    }
    return L"?";
}

TrustVerdict VerifyFileTrust(HANDLE file, const wchar_t* path, const CTrustPolicy& policy)
{
    if (!policy.IsConfigured())
        return TRUST_NO_POLICY;
    if (file == INVALID_HANDLE_VALUE || !file)
        return TRUST_UNREADABLE;
    TrustVerdict verdict = TRUST_WRONG_PUBLISHER;
    if (!policy.m_fileHashes.empty()) {
        Sha256Digest d;
        if (!Sha256OfFile(file, d))
            return TRUST_UNREADABLE;
        if (Contains(policy.m_fileHashes, d))
            return TRUST_OK;
    }
    if (!policy.m_publishers.empty() || !policy.m_certPins.empty())
        verdict = CheckSignature(file, path, policy);
    return verdict;
}

CVerifiedFile::CVerifiedFile(const wchar_t* path, const CTrustPolicy& policy)
    : m_hFile(INVALID_HANDLE_VALUE), m_verdict(TRUST_NO_POLICY)
{
    if (!policy.IsConfigured())
        return;
    // Readers may share it (the loader, the new process); writers and
    // deleters may not, until this object goes.
    if (path)
        m_hFile = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    m_verdict = m_hFile == INVALID_HANDLE_VALUE ? TRUST_UNREADABLE : VerifyFileTrust(m_hFile, path, policy);
}

CVerifiedFile::~CVerifiedFile()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
}
