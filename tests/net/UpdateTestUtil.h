// The update site of the stand-in server (files the tests put into its site
// folder), the stand-ins of downloaded code, and a recording download callback.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "NetTestUtil.h"
#include "net/Downloader.h"
#include "net/TrustCheck.h"

namespace updtest {

inline std::wstring SitesDir() { return nettest::Env(L"DELVARO_NET_SITES"); }
inline bool HaveSites() { return nettest::HaveServer() && !SitesDir().empty(); }

inline std::wstring SitePath(const std::wstring& site, const std::wstring& rel)
{
    return testpaths::Join(testpaths::Join(SitesDir(), site), rel);
}

inline void MakeParents(const std::wstring& path)
{
    for (size_t i = 3; i < path.size(); ++i)
        if (path[i] == L'\\')
            CreateDirectoryW(path.substr(0, i).c_str(), NULL);
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    MakeParents(path);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD n = 0;
    BOOL ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &n, NULL);
    CloseHandle(h);
    return ok && n == bytes.size();
}

// A file of the site; "<rel>.opts" beside it scripts how it is served.
inline bool PutSiteFile(const std::wstring& site, const std::wstring& rel, const std::string& bytes,
                        const std::string& opts = std::string())
{
    std::wstring path = SitePath(site, rel);
    DeleteFileW((path + L".opts").c_str());
    if (!opts.empty() && !WriteFileBytes(path + L".opts", opts))
        return false;
    return WriteFileBytes(path, bytes);
}
inline bool CopySiteFile(const std::wstring& site, const std::wstring& rel, const std::wstring& source,
                         const std::string& opts = std::string())
{
    std::string bytes = testpaths::ReadWholeFile(source);
    return !bytes.empty() && PutSiteFile(site, rel, bytes, opts);
}

// "http://127.0.0.1:PORT/t/site=NAME[;opts]" + "/" + rel
inline std::wstring SiteBase(const std::wstring& site, const std::wstring& opts = std::wstring())
{
    return L"http://" + nettest::Server() + L"/t/site=" + site + L";tag=" + site + (opts.empty() ? L"" : L";" + opts);
}
inline std::wstring SiteUrl(const std::wstring& site, const std::wstring& rel, const std::wstring& opts = std::wstring())
{
    return SiteBase(site, opts) + L"/" + rel;
}

// Requests the site has had so far (each is logged under its name).
inline int SiteRequests(const std::wstring& site) { return nettest::CountLogs(site); }

inline std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(i * 7 + i / 251);
    return s;
}

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- stand-ins of downloaded code ----

inline std::wstring FakeInstaller() { return testpaths::Join(testpaths::BinDir(), L"fake_installer.exe"); }
inline std::wstring FakePatch() { return testpaths::Join(testpaths::BinDir(), L"fake_patch.dll"); }
inline std::wstring Signed(const wchar_t* name)
{
    return testpaths::Join(testpaths::Join(testpaths::BinDir(), L"trusttest"), name);
}
// Signed stand-ins exist where openssl and osslsigncode were at build time.
inline bool HaveSigned() { return Exists(Signed(L"installer_signed.exe")) && Exists(Signed(L"publisher.sha256")); }

inline Sha256Digest PinOf(const wchar_t* who)
{
    std::string hex = testpaths::ReadWholeFile(Signed(who));
    Sha256Digest d = {};
    ParseSha256(std::wstring(hex.begin(), hex.begin() + (hex.size() >= 64 ? 64 : hex.size())), d);
    return d;
}
// Trusts the test publisher's certificate.
inline CTrustPolicy PinPolicy()
{
    CTrustPolicy p;
    p.m_certPins.push_back(PinOf(L"publisher.sha256"));
    return p;
}

// Environment of the fake installer (inherited by the processes started).
struct InstallerEnv
{
    std::wstring mark;
    explicit InstallerEnv(const std::wstring& markFile, int exitCode = 0)
        : mark(markFile)
    {
        DeleteFileW(mark.c_str());
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_MARK", mark.c_str());
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", std::to_wstring(exitCode).c_str());
    }
    ~InstallerEnv()
    {
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_MARK", NULL);
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", NULL);
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_APP", NULL);
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_DIR", NULL);
    }
    // Lines "<path>|<command line>" of the runs so far.
    std::vector<std::string> Runs() const
    {
        std::vector<std::string> lines;
        std::string text = testpaths::ReadWholeFile(mark), cur;
        for (char c : text) {
            if (c == '\n') {
                lines.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        return lines;
    }
};

// Records every callback; can stop after a number of blocks.
class CRecorder : public IDownLoadCallBack
{
public:
    std::vector<int> statuses;
    int infoLength = -1;
    std::wstring infoPath;
    int blocks = 0;
    unsigned lastDone = 0, lastTotal = 0;
    int completes = 0;
    int stopAfter = -1;
    bool sawFailure = false;

    virtual int OnStatus(int status)
    {
        statuses.push_back(status);
        return 0;
    }
    virtual int OnFileInfo(const wchar_t* path, int length)
    {
        infoPath = path ? path : L"";
        infoLength = length;
        return 0;
    }
    virtual int OnProgress(BOOL failed, int, unsigned done, unsigned total)
    {
        ++blocks;
        sawFailure = sawFailure || failed;
        lastDone = done;
        lastTotal = total;
        return stopAfter >= 0 && blocks >= stopAfter ? 1 : 0;
    }
    virtual int OnComplete()
    {
        ++completes;
        return 0;
    }
};

}  // namespace updtest
