// What makes a downloaded program or library trustworthy enough to load or
// run: an Authenticode signature (checked by WinVerifyTrust) from a
// configured publisher, or a configured SHA-256 of the whole file. With
// nothing configured, nothing is trusted.
//
// Publishers are named two ways. A name ("Publisher") is accepted only
// with a certificate chain that ends in a trusted root. A pinned
// certificate ("CertSha256": the SHA-256 of the signer's certificate or of
// any certificate above it) is its own anchor, so a chain to a root that
// the machine does not know is enough. Wine's WinVerifyTrust accepts
// signatures from any self-signed certificate; the chain is therefore
// checked here again.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct Sha256Digest
{
    BYTE bytes[32];
    bool operator==(const Sha256Digest& o) const { return memcmp(bytes, o.bytes, 32) == 0; }
};

// 64 hex digits (either case) into a digest; false for anything else.
bool ParseSha256(const std::wstring& hex, Sha256Digest& out);
std::wstring Sha256Hex(const Sha256Digest& d);
bool Sha256OfBytes(const void* data, size_t size, Sha256Digest& out);
// The whole file behind handle, read from its start.
bool Sha256OfFile(HANDLE file, Sha256Digest& out);

class CTrustPolicy
{
public:
    std::vector<std::wstring> m_publishers;
    std::vector<Sha256Digest> m_certPins;
    std::vector<Sha256Digest> m_fileHashes;

    bool IsConfigured() const { return !m_publishers.empty() || !m_certPins.empty() || !m_fileHashes.empty(); }
    void Clear();
    // Section [Trust] of an INI file (oem.ini beside the program, which only
    // the installer writes): "Publisher" (names separated by "|"),
    // "CertSha256" and "FileSha256" (hex digests separated by blanks, ","
    // or ";"). Unreadable digests are skipped.
    void Load(const wchar_t* iniPath);
};

// The program's policy, read from oem.ini beside the program on first use.
CTrustPolicy& ProgramTrustPolicy();

enum TrustVerdict
{
    TRUST_OK = 0,
    TRUST_NO_POLICY,         // nothing configured: nothing is trusted
    TRUST_UNREADABLE,        // the file cannot be opened or read
    TRUST_BAD_SIGNATURE,     // unsigned, or the signature does not match the file
    TRUST_UNTRUSTED_CHAIN,   // signed by a certificate without a trusted root or pin
    TRUST_WRONG_PUBLISHER,   // signed, but not by a configured publisher
    TRUST_UNAVAILABLE,       // the system cannot check signatures
};
const wchar_t* TrustVerdictText(TrustVerdict v);

// Checks the file behind handle (opened for reading) against the policy.
TrustVerdict VerifyFileTrust(HANDLE file, const wchar_t* path, const CTrustPolicy& policy);

// Opens a file so that no one can change, replace or delete it, checks it,
// and keeps it so until destroyed: load or start the file while this
// object lives, and what was checked is what runs.
class CVerifiedFile
{
public:
    CVerifiedFile(const wchar_t* path, const CTrustPolicy& policy);
    ~CVerifiedFile();
    TrustVerdict Verdict() const { return m_verdict; }
    bool IsTrusted() const { return m_verdict == TRUST_OK; }

private:
    CVerifiedFile(const CVerifiedFile&);
    CVerifiedFile& operator=(const CVerifiedFile&);
    HANDLE m_hFile;
    TrustVerdict m_verdict;
};
