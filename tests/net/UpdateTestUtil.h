// The update site of the stand-in server (files the tests put into its site
// folder), the stand-ins of downloaded code, and a recording download callback.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "NetTestUtil.h"
#include "net/Downloader.h"
#include "net/TrustCheck.h"
#include "net/Update.h"

namespace updtest {

inline bool HaveSites() { return nettest::HaveServer() && !nettest::Env(L"DELVARO_NET_SITES").empty(); }

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    for (size_t i = 3; i < path.size(); ++i)
        if (path[i] == L'\\')
            CreateDirectoryW(path.substr(0, i).c_str(), NULL);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD n = 0;
    BOOL ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes.data(), (DWORD)bytes.size(), &n, NULL);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok && n == bytes.size();
}

// A file of the site; options in "<rel>.opts" script how it is served.
inline bool PutSiteFile(const std::wstring& site, const std::wstring& rel, const std::string& bytes,
                        const std::string& opts = std::string())
{
    const std::wstring path = testpaths::Join(testpaths::Join(nettest::Env(L"DELVARO_NET_SITES"), site), rel);
    DeleteFileW((path + L".opts").c_str());
    return (opts.empty() || WriteFileBytes(path + L".opts", opts)) && WriteFileBytes(path, bytes);
}
inline bool CopySiteFile(const std::wstring& site, const std::wstring& rel, const std::wstring& source,
                         const std::string& opts = std::string())
{
    std::string bytes = testpaths::ReadWholeFile(source);
    return !bytes.empty() && PutSiteFile(site, rel, bytes, opts);
}

// "http://127.0.0.1:PORT/t/site=NAME;tag=NAME[;opts]/rel": every request
// is logged under the site's name.
inline std::wstring SiteUrl(const std::wstring& site, const std::wstring& rel)
{
    return L"http://" + nettest::Server() + L"/t/site=" + site + L";tag=" + site + L"/" + rel;
}
inline int SiteRequests(const std::wstring& site) { return nettest::CountLogs(site); }

// The updater's addresses on a site, with the paths of the update server.
inline CUpdate::Endpoints SiteEndpoints(const std::wstring& site)
{
    CUpdate::Endpoints e;
    e.newVersion = SiteUrl(site, L"update/newversion.htm");
    e.patchVersion = SiteUrl(site, L"update/patchver.htm");
    e.patch = SiteUrl(site, L"update/patch.bin");
    e.remoteConfig = SiteUrl(site, L"remotecfg.cab");
    e.installer = SiteUrl(site, L"update/OvoDelvaroSetup.exe");
    e.decoder = SiteUrl(site, L"decoder_setup.exe");
    return e;
}

inline std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(i * 7 + i / 251);
    return s;
}

// ---- stand-ins of downloaded code ----

inline std::wstring FakeInstaller() { return testpaths::Join(testpaths::BinDir(), L"fake_installer.exe"); }
inline std::wstring FakePatch() { return testpaths::Join(testpaths::BinDir(), L"fake_patch.dll"); }
inline std::wstring Signed(const wchar_t* name) { return testpaths::Join(testpaths::BinDir(), std::wstring(L"trusttest\\") + name); }
// Signed stand-ins exist where openssl and osslsigncode were at build time.
inline bool HaveSigned() { return Exists(Signed(L"installer_signed.exe")) && Exists(Signed(L"publisher.sha256")); }

// Trusts the test publisher's certificate.
inline CTrustPolicy PinPolicy()
{
    std::string hex = testpaths::ReadWholeFile(Signed(L"publisher.sha256"));
    hex.resize(64);
    CTrustPolicy p;
    Sha256Digest d = {};
    if (ParseSha256(std::wstring(hex.begin(), hex.end()), d))
        p.m_certPins.push_back(d);
    return p;
}

// Trusts exactly these files (their SHA-256), whatever signs them.
inline CTrustPolicy FilePinPolicy(std::initializer_list<std::wstring> files)
{
    CTrustPolicy p;
    for (const std::wstring& f : files) {
        std::string bytes = testpaths::ReadWholeFile(f);
        Sha256Digest d = {};
        if (!bytes.empty() && Sha256OfBytes(bytes.data(), bytes.size(), d))
            p.m_fileHashes.push_back(d);
    }
    return p;
}

// The planted library and the patch that imports it (bin\plant).
inline std::wstring PlantedDll() { return testpaths::Join(testpaths::BinDir(), L"plant\\planted_dep.dll"); }
inline std::wstring FakePatchWithImport() { return testpaths::Join(testpaths::BinDir(), L"plant\\fake_patch_dep.dll"); }

// Environment of the fake installer, inherited by what the tests start.
struct InstallerEnv
{
    std::wstring mark;
    explicit InstallerEnv(const std::wstring& markFile, int exitCode = 0) : mark(markFile)
    {
        DeleteFileW(mark.c_str());
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_MARK", mark.c_str());
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", std::to_wstring(exitCode).c_str());
    }
    ~InstallerEnv()
    {
        for (const wchar_t* v : {L"DELVARO_FAKE_INSTALL_MARK", L"DELVARO_FAKE_INSTALL_RC", L"DELVARO_FAKE_INSTALL_APP",
                                 L"DELVARO_FAKE_INSTALL_DIR", L"DELVARO_PLANTED_MARK"})
            SetEnvironmentVariableW(v, NULL);
    }
    // Lines "<path>|<command line>" of the runs so far.
    std::vector<std::string> Runs() const
    {
        std::vector<std::string> lines;
        std::string text = testpaths::ReadWholeFile(mark);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }
};

// Records the callbacks; can stop after a number of blocks.
struct CRecorder : public IDownLoadCallBack
{
    std::vector<int> statuses;
    int infoLength = -1, blocks = 0, completes = 0, stopAfter = -1;
    std::wstring infoPath;
    unsigned lastDone = 0, lastTotal = 0;

    virtual int OnStatus(int status) { return statuses.push_back(status), 0; }
    virtual int OnFileInfo(const wchar_t* path, int length)
    {
        infoPath = path ? path : L"";
        infoLength = length;
        return 0;
    }
    virtual int OnProgress(BOOL, int, unsigned done, unsigned total)
    {
        lastDone = done;
        lastTotal = total;
        return ++blocks == stopAfter ? 1 : 0;
    }
    virtual int OnComplete() { return ++completes, 0; }
};

}  // namespace updtest
