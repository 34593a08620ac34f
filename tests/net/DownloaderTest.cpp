// Downloads from the stand-in server: what lands where, what the callback
// hears, and that odd, hostile or stalled servers leave neither a partial
// file nor a hang.
#include <aclapi.h>

#include <atomic>
#include <thread>

#include "UpdateTestUtil.h"
#include "net/Downloader.h"

using namespace updtest;

namespace {

class Download : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveSites())
            GTEST_SKIP() << "runs under stand_in_server.py";
        m_dir = testpaths::MakeTempDir(L"download");
        m_target = m_dir + L"\\file.bin";
    }
    std::wstring Upd() const { return m_target + L".upd"; }
    std::string Target() const { return testpaths::ReadWholeFile(m_target); }

    std::wstring m_dir, m_target;
};

TEST_F(Download, WholeFileReplacesTheTarget)
{
    const std::string data = Pattern(20000);
    ASSERT_TRUE(PutSiteFile(L"sdl1", L"pkg/file.bin", data));
    ASSERT_TRUE(WriteFileBytes(m_target, "old"));
    CRecorder rec;
    CDownloader d(&rec);
    EXPECT_EQ(0, d.Download(SiteUrl(L"sdl1", L"pkg/file.bin").c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(DL_OK, d.GetResult());
    EXPECT_EQ(data, Target());
    EXPECT_FALSE(Exists(Upd()));
    EXPECT_EQ(std::vector<int>{200}, rec.statuses);
    EXPECT_EQ(20000, rec.infoLength);
    EXPECT_NE(std::wstring::npos, rec.infoPath.find(L"/pkg/file.bin"));
    // Blocks of at most 8192 bytes, one call each.
    EXPECT_EQ(3, rec.blocks);
    EXPECT_EQ(20000u, rec.lastDone);
    EXPECT_EQ(20000u, rec.lastTotal);
    EXPECT_EQ(1, rec.completes);

    // An empty file completes at once.
    ASSERT_TRUE(PutSiteFile(L"sdl1", L"empty.bin", ""));
    CRecorder empty;
    CDownloader e(&empty);
    EXPECT_EQ(0, e.Download(SiteUrl(L"sdl1", L"empty.bin").c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_TRUE(Exists(m_target));
    EXPECT_EQ("", Target());
    EXPECT_EQ(1, empty.completes);
    EXPECT_EQ(0, empty.blocks);

    EXPECT_EQ(99, ProgressPercent(999, 1000));
    EXPECT_EQ(100, ProgressPercent(0, 0));
}

// Every way a server can fail leaves the target as it was and no ".upd".
TEST_F(Download, FailuresLeaveTheTargetAndNoPartialFile)
{
    const std::string data = Pattern(30000);
    struct Case
    {
        const char* opts;
        DownloadResult result;
        std::vector<int> statuses;
    } cases[] = {
        {"status=404", DL_HTTP_STATUS, {404, 500}},
        {"mode=nolen", DL_NO_LENGTH, {200, 500}},
        {"mode=early", DL_INCOMPLETE, {200, 500}},
        {"mode=huge", DL_TOO_LARGE, {200, 500}},
        // 5,000,000,000 would pass as 705,032,704 in 32 bits.
        {"declare=5000000000", DL_TOO_LARGE, {200, 500}},
        {"declare=abc", DL_NO_LENGTH, {200, 500}},
        {"mode=drop", DL_NETWORK, {500}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opts);
        ASSERT_TRUE(PutSiteFile(L"sdl2", L"f.bin", data, c.opts));
        ASSERT_TRUE(WriteFileBytes(m_target, "keep me"));
        CRecorder rec;
        CDownloader d(&rec);
        EXPECT_EQ(E_FAIL, d.Download(SiteUrl(L"sdl2", L"f.bin").c_str(), m_target.c_str(), CREATE_ALWAYS));
        EXPECT_EQ(c.result, d.GetResult());
        EXPECT_EQ(c.statuses, rec.statuses);
        EXPECT_EQ(0, rec.completes);
        EXPECT_EQ("keep me", Target());
        EXPECT_FALSE(Exists(Upd()));
        if (c.result == DL_TOO_LARGE || c.result == DL_NO_LENGTH) {
            EXPECT_EQ(-1, rec.infoLength);  // nothing was read
        }
    }
    // A file the site does not have.
    CDownloader d;
    EXPECT_EQ(E_FAIL, d.Download(SiteUrl(L"sdl2", L"missing.bin").c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(404, d.GetHttpStatus());
}

TEST_F(Download, CancelAfterTheFirstBlock)
{
    ASSERT_TRUE(PutSiteFile(L"sdl3", L"f.bin", Pattern(50000)));
    ASSERT_TRUE(WriteFileBytes(m_target, "keep me"));
    CRecorder rec;
    rec.stopAfter = 1;
    CDownloader d(&rec);
    EXPECT_EQ(E_FAIL, d.Download(SiteUrl(L"sdl3", L"f.bin").c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(DL_CANCELLED, d.GetResult());
    EXPECT_EQ(1, rec.blocks);
    EXPECT_EQ(8192u, rec.lastDone);
    EXPECT_EQ((std::vector<int>{200, 500}), rec.statuses);
    EXPECT_EQ("keep me", Target());
    EXPECT_FALSE(Exists(Upd()));
}

// Abort from another thread: a flowing transfer ends within a block; one
// that waits for a silent server ends when the server sends again (or at
// the receive time-out). The abort touches no handle: the request stays the
// downloading thread's, open, until that thread closes it. Either way the
// download ends cancelled, with nothing left.
TEST_F(Download, AbortEndsTheTransfer)
{
    ASSERT_TRUE(PutSiteFile(L"sdl4", L"flow.bin", Pattern(400000), "trickle=20"));
    ASSERT_TRUE(PutSiteFile(L"sdl4", L"stall.bin", Pattern(40000), "stallafter=8192;wait=4000"));
    for (const wchar_t* name : {L"flow.bin", L"stall.bin"}) {
        SCOPED_TRACE(nettest::Narrow(name));
        CRecorder rec;
        CDownloader d(&rec);
        HRESULT hr = S_OK;
        std::thread worker([&] { hr = d.Download(SiteUrl(L"sdl4", name).c_str(), m_target.c_str(), CREATE_ALWAYS); });
        for (int i = 0; i < 2000 && rec.lastDone < 8192; ++i)
            Sleep(10);
        ASSERT_GE(rec.lastDone, 8192u);
        EXPECT_TRUE(Exists(Upd()));
        // The temporary file has the folder's default security, not an empty (null) DACL.
        PACL dacl = NULL;
        PSECURITY_DESCRIPTOR sd = NULL;
        if (GetNamedSecurityInfoW(Upd().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                  &sd) == ERROR_SUCCESS) {
            EXPECT_NE(nullptr, dacl);
            LocalFree(sd);
        }
        const unsigned blocksAtAbort = (unsigned)rec.blocks;
        d.Abort();
        if (name == std::wstring(L"stall.bin")) {
            // The thread waits in its read for seconds yet: its request is open.
            HINTERNET request = d.GetActiveRequest();
            EXPECT_NE(nullptr, request);
            DWORD type = 0, size = sizeof type;
            EXPECT_TRUE(request && InternetQueryOptionW(request, INTERNET_OPTION_HANDLE_TYPE, &type, &size));
            EXPECT_EQ((DWORD)INTERNET_HANDLE_TYPE_HTTP_REQUEST, type);
        }
        worker.join();
        EXPECT_EQ(nullptr, d.GetActiveRequest());
        EXPECT_LE((unsigned)rec.blocks, blocksAtAbort + 1);
        EXPECT_EQ(E_FAIL, hr);
        EXPECT_EQ(DL_CANCELLED, d.GetResult());
        EXPECT_FALSE(Exists(Upd()));
        EXPECT_FALSE(Exists(m_target));
        // An aborted downloader starts nothing more.
        EXPECT_EQ(E_FAIL, d.Download(SiteUrl(L"sdl4", name).c_str(), m_target.c_str(), CREATE_ALWAYS));
    }
}

TEST_F(Download, AddressesAndPaths)
{
    ASSERT_TRUE(PutSiteFile(L"sdl5", L"f.bin", "abc"));
    // Long addresses and queries are no problem; the fragment is not sent.
    std::wstring url = SiteUrl(L"sdl5", L"f.bin") + L"?q=" + std::wstring(3000, L'x') + L"#frag";
    CDownloader d;
    EXPECT_EQ(0, d.Download(url.c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ("abc", Target());
    Json::Value rec = nettest::WaitLog(L"sdl5");
    EXPECT_EQ(std::string::npos, rec["target"].asString().find("frag"));
    EXPECT_EQ(3002u, rec["query"].asString().size());

    // The scheme is honoured: https speaks TLS to the given port.
    std::wstring https = L"https://" + nettest::Server() + L"/t/tag=sdl-never/f.bin";
    const int hellos = nettest::CountLogs(L"tls");
    EXPECT_EQ(E_FAIL, d.Download(https.c_str(), m_target.c_str(), CREATE_ALWAYS));
    EXPECT_FALSE(nettest::WaitLog(L"tls", hellos + 1).isNull());
    EXPECT_EQ(0, nettest::CountLogs(L"sdl-never"));

    // Unusable addresses and paths are refused before anything is sent.
    std::wstring longTarget = m_dir + L"\\" + std::wstring(260, L'a');
    EXPECT_EQ(E_FAIL, d.Download(SiteUrl(L"sdl5", L"f.bin").c_str(), longTarget.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(DL_BAD_ARGUMENT, d.GetResult());
    EXPECT_EQ(E_FAIL, d.Download(L"ftp://127.0.0.1/f.bin", m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(DL_BAD_ARGUMENT, d.GetResult());
    EXPECT_EQ(E_FAIL, d.Download(L"no address", m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(E_FAIL, d.Download(NULL, m_target.c_str(), CREATE_ALWAYS));
    EXPECT_EQ(1, SiteRequests(L"sdl5"));
    EXPECT_EQ("abc", Target());
}

// Someone who writes over the ".upd" file whenever it lets him, while
// downloads that must pass a policy run: what lands on the target is always
// what passed it.
TEST_F(Download, WhatWasCheckedIsWhatLands)
{
    const std::string good = Pattern(30000);
    ASSERT_TRUE(PutSiteFile(L"sdl6", L"f.bin", good));
    const std::wstring served = m_dir + L"\\served.bin";
    ASSERT_TRUE(WriteFileBytes(served, good));
    CTrustPolicy pinned = FilePinPolicy({served});
    const std::string evil(good.size(), 'E');
    std::atomic<bool> stop(false);
    std::atomic<int> overwrites(0);
    std::thread writer([&] {
        while (!stop) {
            HANDLE h = CreateFileW(Upd().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, 0, NULL);
            if (h == INVALID_HANDLE_VALUE) {
                Sleep(0);
                continue;
            }
            DWORD n = 0;
            if (WriteFile(h, evil.data(), (DWORD)evil.size(), &n, NULL))
                ++overwrites;
            CloseHandle(h);
        }
    });
    int i = 0;
    // At least 60 downloads, and more (up to 20 s) until the writer has got
    // in at least once: on a busy machine it may lose every race of the 60.
    const DWORD start = GetTickCount();
    for (; i < 60 || (overwrites.load() == 0 && GetTickCount() - start < 20000); ++i) {
        DeleteFileW(m_target.c_str());
        CDownloader d;
        d.SetTrustPolicy(&pinned);
        if (d.Download(SiteUrl(L"sdl6", L"f.bin").c_str(), m_target.c_str(), CREATE_ALWAYS) == 0) {
            EXPECT_TRUE(Target() == good) << "download " << i << ": not what passed the check";
        } else {
            // Changed before the check, or held by the writer at that moment.
            EXPECT_TRUE(d.GetResult() == DL_NOT_VERIFIED || d.GetResult() == DL_FILE_ERROR) << d.GetResult();
            EXPECT_FALSE(Exists(m_target));
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(overwrites.load(), 0) << "the writer never got in, in " << i << " downloads";
}

// Private folders that earlier runs left behind go at the next start; one
// that a running process uses stays.
TEST(DownloadNames, LeftPrivateFoldersGoAtTheNextStart)
{
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring inUse = CreatePrivateDownloadFolder();
    ASSERT_FALSE(inUse.empty());
    ASSERT_TRUE(WriteFileBytes(inUse + L"\\OvoDelvaroSetup6.exe", "x"));
    // Left by a run that ended with its installer still running (its lock
    // no longer held), and by an earlier version (no lock at all).
    const std::wstring ended = std::wstring(temp) + L"OvoDelvaro6-LEFT" + std::to_wstring(GetCurrentProcessId());
    const std::wstring older = ended + L"OLD";
    for (const std::wstring& f : {ended, older}) {
        ASSERT_TRUE(CreateDirectoryW(f.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(WriteFileBytes(f + L"\\OvoDelvaroSetup6.exe", "x"));
    }
    ASSERT_TRUE(WriteFileBytes(ended + L"\\inuse.lock", ""));
    EXPECT_GE(RemoveStaleDownloadFolders(), 2);
    EXPECT_FALSE(Exists(ended));
    EXPECT_FALSE(Exists(older));
    EXPECT_TRUE(Exists(inUse + L"\\OvoDelvaroSetup6.exe"));
    RemoveDownloadFolder(inUse);
    EXPECT_FALSE(Exists(inUse));
}

TEST(DownloadNames, SafeCharactersOnly)
{
    EXPECT_EQ(L"OvoPalometSetup.exe", SafeDownloadName(L"http://h/download/OvoPalometSetup.exe", L"x.exe"));
    EXPECT_EQ(L"setup.exe", SafeDownloadName(L"http://h/a/setup.exe?v=1&x=..\\y#top", L"x.exe"));
    EXPECT_EQ(L"downloadinstall.exe", SafeDownloadName(L"no slash at all", L"downloadinstall.exe"));
    EXPECT_EQ(L"downloadinstall.exe", SafeDownloadName(L"http://h/dir/", L"downloadinstall.exe"));
    EXPECT_EQ(L"downloadinstall.exe", SafeDownloadName(L"http://h/..", L"downloadinstall.exe"));
    EXPECT_EQ(L"a.b.exe", SafeDownloadName(L"http://h/a..b.exe", L"x"));
    EXPECT_EQ(L"C__evil.exe", SafeDownloadName(L"http://h/C:%evil.exe", L"x"));
    EXPECT_EQ(L"etc_passwd", SafeDownloadName(L"http://h/x\\..\\etc_passwd", L"x"));
    EXPECT_EQ(L"setup.exe", SafeDownloadName(L"http://h/.setup.exe.", L"x"));
    EXPECT_EQ(100u, SafeDownloadName(L"http://h/" + std::wstring(400, L'n') + L".exe", L"x").size());

    std::wstring a = CreatePrivateDownloadFolder(), b = CreatePrivateDownloadFolder();
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_TRUE(GetFileAttributesW(a.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(WriteFileBytes(a + L"\\x.exe", "x"));
    RemoveDownloadFolder(a);
    RemoveDownloadFolder(b);
    EXPECT_FALSE(Exists(a));
    EXPECT_FALSE(Exists(b));
}

}  // namespace
