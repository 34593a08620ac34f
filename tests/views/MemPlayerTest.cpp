// The in-memory player through Wine's DirectShow and GStreamer: real WAV,
// MP3 and AVI samples played to the end from memory, damaged ones refused.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ViewsTestUtil.h"
#include "views/MemPlayer.h"
#include "views/MemReader.h"

namespace {

// Plays bytes to the end; the result of PlayMemory, and whether the end came.
HRESULT PlayToEnd(const std::string& bytes, const wchar_t* ext, HWND video, bool* ended, LONGLONG* duration = NULL)
{
    CMemPlayer player;
    if (video) {
        EXPECT_TRUE(player.SetVideoWindow(video));
    }
    auto keep = std::make_shared<std::string>(bytes);
    HRESULT hr = player.PlayMemory((const BYTE*)keep->data(), keep->size(), ext, keep);
    *ended = false;
    if (hr == VFW_E_TIMEOUT)
        fprintf(stderr, "the graph over %zu bytes named .%ls was given up on\n", bytes.size(), ext);
    if (FAILED(hr) || hr == 1)
        return hr;
    if (duration)
        *duration = player.GetDuration();
    *ended = viewtest::PumpUntil([&] {
        while (player.TakeEvent()) {
        }
        return player.HasCompleted();
    });
    return hr;
}

TEST(MemPlayerTest, PlaysWavMp3AndAviFromMemoryToTheEnd)
{
    bool ended = false;
    LONGLONG duration = 0;
    EXPECT_EQ(S_OK, PlayToEnd(viewtest::Sample(L"preview_tone.wav"), L"wav", NULL, &ended, &duration));
    EXPECT_TRUE(ended);
    EXPECT_NEAR(6000000, duration, 200000);  // 0.6 s

    EXPECT_EQ(S_OK, PlayToEnd(viewtest::Sample(L"preview_tone.mp3"), L"MP3", NULL, &ended));
    EXPECT_TRUE(ended);

    HWND host = viewtest::MakeHostWindow(320, 240);
    EXPECT_EQ(S_OK, PlayToEnd(viewtest::Sample(L"preview_clip.avi"), L"avi", host, &ended, &duration));
    EXPECT_TRUE(ended);
    EXPECT_NEAR(10000000, duration, 500000);
    DestroyWindow(host);
}

}  // namespace

namespace {

TEST(MemPlayerTest, TypesVolumesAndSeeksWithinTheFile)
{
    GUID subtype;
    EXPECT_TRUE(CMemPlayer::SubtypeForExtension(L"MP3", &subtype));
    EXPECT_EQ(MEDIASUBTYPE_MPEG1Audio, subtype);
    EXPECT_TRUE(CMemPlayer::SubtypeForExtension(L".avi", &subtype));
    EXPECT_EQ(MEDIASUBTYPE_Avi, subtype);
    EXPECT_FALSE(CMemPlayer::SubtypeForExtension(L"ogg", &subtype));

    // The steps only ever rise, from silence to full volume.
    EXPECT_EQ(-10000, CMemPlayer::kVolumeTable[0]);
    EXPECT_EQ(0, CMemPlayer::kVolumeTable[99]);
    for (int i = 1; i < 100; ++i)
        EXPECT_LE(CMemPlayer::kVolumeTable[i - 1], CMemPlayer::kVolumeTable[i]) << i;

    CMemPlayer player;
    const std::string bytes = viewtest::Sample(L"preview_tone.wav");
    EXPECT_EQ(CMemPlayer::kUnknownType, player.PlayMemory((const BYTE*)bytes.data(), bytes.size(), L"ogg"));
    auto keep = std::make_shared<std::string>(bytes);
    ASSERT_EQ(S_OK, player.PlayMemory((const BYTE*)keep->data(), keep->size(), L"wav", keep));
    player.SetVolume(100);
    EXPECT_EQ(0, player.GetVolumeSet());
    player.SetVolume(-10000);
    EXPECT_EQ(-10000, player.GetVolumeSet());
    player.SetVolume(0);
    EXPECT_EQ(-10000, player.GetVolumeSet());

    player.PlayPause(false);
    const LONGLONG duration = player.GetDuration();
    ASSERT_GT(duration, 0);
    player.SeekPerMille(1001);  // clamped to the end
    EXPECT_LE(player.GetCurrentPosition(), duration);
    player.SeekPerMille(500);
    EXPECT_NEAR(duration / 2, player.GetCurrentPosition(), duration / 10);
    player.FastBackward();  // less than 5 s in: back to the start
    EXPECT_EQ(0, player.GetCurrentPosition());
    player.FastForward();  // less than 5 s left: to the end
    EXPECT_EQ(duration, player.GetCurrentPosition());
    EXPECT_EQ(1000, player.GetProgress());

    // Releasing lets go of everything that read the bytes.
    player.ReleaseGraph();
    EXPECT_EQ(1, keep.use_count());
    EXPECT_EQ(nullptr, player.GetGraph());
    player.PlayPause(true);  // nothing to play: nothing happens
    player.SeekPerMille(10);
}

TEST(MemPlayerTest, DamagedAndEmptyMediaAreRefused)
{
    bool ended = true;
    // An AVI cut before, or just inside, its movie list has nothing to play.
    const std::string clip = viewtest::Sample(L"preview_clip.avi");
    const size_t movi = clip.find("movi");
    ASSERT_NE(std::string::npos, movi);
    for (const std::string& cut : {viewtest::Sample(L"preview_broken.avi"), clip.substr(0, movi + 4),
                                   clip.substr(0, movi + 10)}) {
        EXPECT_EQ(VFW_E_INVALID_FILE_FORMAT, PlayToEnd(cut, L"avi", NULL, &ended)) << cut.size();
        EXPECT_FALSE(ended);
    }
    EXPECT_TRUE(FAILED(PlayToEnd(std::string(), L"wav", NULL, &ended)));
    EXPECT_TRUE(FAILED(PlayToEnd(std::string(300, '\0'), L"mp3", NULL, &ended)));
    // Random bytes named as video.
    std::string noise(20000, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = (char)((i * 2654435761u) >> 13);
    EXPECT_TRUE(FAILED(PlayToEnd(noise, L"avi", NULL, &ended)));
}

// A parser that never answers: the build says it has begun, then waits on a
// gate the test holds.
HANDLE g_begun = NULL, g_gate = NULL;
void WaitAtGate()
{
    SetEvent(g_begun);
    WaitForSingleObject(g_gate, INFINITE);
}

TEST(MemPlayerTest, AGraphThatNeverFinishesBuildingIsGivenUp)
{
    g_begun = CreateEventW(NULL, TRUE, FALSE, NULL);
    g_gate = CreateEventW(NULL, TRUE, FALSE, NULL);
    CMemPlayer::s_pfnBeforeRender = &WaitAtGate;
    const std::string bytes = viewtest::Sample(L"preview_tone.wav");
    auto keep = std::make_shared<std::string>(bytes);
    // A message sent to the window's thread once the build has begun is
    // answered while the player waits on it.
    HWND host = viewtest::MakeHostWindow(64, 64);
    std::atomic<bool> answered(false);
    std::thread sender([&] {
        if (WaitForSingleObject(g_begun, 20000) == WAIT_OBJECT_0) {
            SendMessageW(host, WM_GETTEXTLENGTH, 0, 0);
            answered = true;
        }
    });
    {
        CMemPlayer player;
        player.SetRenderTimeLimit(3000);
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(VFW_E_TIMEOUT, player.PlayMemory((const BYTE*)keep->data(), keep->size(), L"wav", keep));
        const DWORD spent = GetTickCount() - t0;
        EXPECT_GE(spent, 2900u);
        EXPECT_LT(spent, 10000u);
        EXPECT_TRUE(answered);
        // A sender that came late gets its answer here, not a deadlock.
        viewtest::PumpUntil([&] { return answered.load(); });
        sender.join();
        // Nothing of the half-built graph is kept or played.
        player.ReleaseGraph();
        EXPECT_EQ(nullptr, player.GetGraph());
        EXPECT_FALSE(player.IsRunning());
    }
    // The build still runs and holds the bytes; when it ends it lets go.
    EXPECT_GT(keep.use_count(), 1);
    CMemPlayer::s_pfnBeforeRender = NULL;
    SetEvent(g_gate);
    EXPECT_TRUE(viewtest::PumpUntil([&] { return keep.use_count() == 1; }));
    CloseHandle(g_gate);
    CloseHandle(g_begun);
    DestroyWindow(host);

    // The next file plays as before.
    bool ended = false;
    EXPECT_EQ(S_OK, PlayToEnd(bytes, L"wav", NULL, &ended));
    EXPECT_TRUE(ended);
}

TEST(MemReaderTest, ServesTheParserThroughIAsyncReader)
{
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    std::string bytes(10000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (char)(i % 251);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Stream;
    mt.subtype = MEDIASUBTYPE_WAVE;
    HRESULT hr = E_FAIL;
    CMemReader* reader = new CMemReader(new CMemStream((const BYTE*)bytes.data(), bytes.size(), 0x7FFFFFFF), &mt, &hr,
                                        true);
    reader->AddRef();
    ASSERT_EQ(S_OK, hr);

    IEnumPins* pins = NULL;
    ASSERT_EQ(S_OK, reader->EnumPins(&pins));
    IPin* pin = NULL;
    ULONG got = 0;
    ASSERT_EQ(S_OK, pins->Next(1, &pin, &got));
    IPin* more = NULL;
    EXPECT_EQ(S_FALSE, pins->Next(1, &more, &got));
    pins->Release();
    PIN_DIRECTION dir;
    pin->QueryDirection(&dir);
    EXPECT_EQ(PINDIR_OUTPUT, dir);
    EXPECT_EQ(S_OK, pin->QueryAccept(&mt));
    IEnumMediaTypes* types = NULL;
    ASSERT_EQ(S_OK, pin->EnumMediaTypes(&types));
    AM_MEDIA_TYPE* first = NULL;
    ASSERT_EQ(S_OK, types->Next(1, &first, &got));
    EXPECT_EQ(MEDIASUBTYPE_WAVE, first->subtype);
    FreeMediaTypeContent(first);
    CoTaskMemFree(first);
    types->Release();

    IAsyncReader* async = NULL;
    ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAsyncReader, (void**)&async));
    LONGLONG total = 0, available = 0;
    async->Length(&total, &available);
    EXPECT_EQ(10000, total);
    char buf[300] = {};
    EXPECT_EQ(S_OK, async->SyncRead(9000, 300, (BYTE*)buf));
    EXPECT_EQ(0, memcmp(buf, bytes.data() + 9000, 300));
    EXPECT_EQ(S_FALSE, async->SyncRead(9900, 300, (BYTE*)buf));  // only 100 left
    EXPECT_EQ(0, memcmp(buf, bytes.data() + 9900, 100));
    EXPECT_NE(S_OK, async->SyncRead(20000, 10, (BYTE*)buf));

    // A request through a sample of an allocator, collected by WaitForNext.
    ALLOCATOR_PROPERTIES want = {1, 4096, 1, 0};
    IMemAllocator* alloc = NULL;
    ASSERT_EQ(S_OK, async->RequestAllocator(NULL, &want, &alloc));
    ASSERT_EQ(S_OK, alloc->Commit());
    IMediaSample* sample = NULL;
    ASSERT_EQ(S_OK, alloc->GetBuffer(&sample, NULL, NULL, 0));
    REFERENCE_TIME start = 512 * 10000000LL, stop = (512 + 1000) * 10000000LL;
    sample->SetTime(&start, &stop);
    EXPECT_EQ(S_OK, async->Request(sample, 77));
    IMediaSample* back = NULL;
    DWORD_PTR user = 0;
    EXPECT_EQ(S_OK, async->WaitForNext(1000, &back, &user));
    EXPECT_EQ(sample, back);
    EXPECT_EQ(77u, user);
    BYTE* data = NULL;
    back->GetPointer(&data);
    EXPECT_EQ(1000, back->GetActualDataLength());
    EXPECT_EQ(0, memcmp(data, bytes.data() + 512, 1000));
    back->Release();
    EXPECT_EQ(VFW_E_TIMEOUT, async->WaitForNext(10, &back, &user));
    async->BeginFlush();
    EXPECT_EQ(VFW_E_WRONG_STATE, async->WaitForNext(INFINITE, &back, &user));
    EXPECT_EQ(VFW_E_WRONG_STATE, async->Request(sample, 1));
    async->EndFlush();
    sample->Release();
    alloc->Decommit();
    alloc->Release();
    alloc = NULL;
    async->Release();
    pin->Release();
    EXPECT_EQ(0u, reader->Release());
}

}  // namespace

namespace {

TEST(DecoderCheckTest, LooksForTheDecoderOfThisBuildsWordSize)
{
    wchar_t folder[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(NULL, folder, CSIDL_PROGRAM_FILES, FALSE));
    const std::wstring base = std::wstring(folder) + L"\\LAV Filters";
    const std::wstring sub = base + L"\\x64";
    const std::wstring file = sub + L"\\LAVVideo.ax";
    EXPECT_FALSE(IsVideoDecoderInstalled());
    CreateDirectoryW(base.c_str(), NULL);
    CreateDirectoryW(sub.c_str(), NULL);
    HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);
    EXPECT_TRUE(IsVideoDecoderInstalled());
    DeleteFileW(file.c_str());
    RemoveDirectoryW(sub.c_str());
    RemoveDirectoryW(base.c_str());
    EXPECT_FALSE(IsVideoDecoderInstalled());
}

}  // namespace

namespace {

TEST(MemPlayerComTest, LeavesAThreadOfAnotherApartmentAsItWas)
{
    HRESULT again = E_FAIL;
    std::thread t([&] {
        CoInitializeEx(NULL, COINIT_MULTITHREADED);
        { CMemPlayer player; }  // cannot enter a single-threaded apartment here
        again = CoInitializeEx(NULL, COINIT_MULTITHREADED);
        CoUninitialize();
        CoUninitialize();
    });
    t.join();
    // Still initialised once: the player did not uninitialise what it had not.
    EXPECT_EQ(S_FALSE, again);
}

}  // namespace
