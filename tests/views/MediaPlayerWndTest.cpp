// The media player window under Xvfb: a WAV, an MP3 and an AVI played from
// memory to the end, a carved hit played from an image, damaged and
// unknown media on the error page, the volume buttons.
#include <regex>
#include <gtest/gtest.h>

#include <cstring>

#include "../app/GuiHarness.h"
#include "../app/WindowTestUtil.h"
#include "ViewsTestUtil.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "engine/DeepScanEngine.h"
#include "views/MediaPlayerWnd.h"

using namespace wintest;

namespace {

// Whether the video renderer holds a current frame with a picture in it
// (the test pattern has many distinct values; a blank frame has few).
bool RendererHasPicture(CMemPlayer& player)
{
    IBasicVideo* video = NULL;
    if (!player.GetGraph() || FAILED(player.GetGraph()->QueryInterface(IID_IBasicVideo, (void**)&video)))
        return false;
    std::vector<unsigned char> dib(4 << 20);
    long size = (long)dib.size();
    HRESULT hr = video->GetCurrentImage(&size, (long*)dib.data());
    video->Release();
    const BITMAPINFOHEADER* bih = (const BITMAPINFOHEADER*)dib.data();
    if (FAILED(hr) || bih->biSize < sizeof(BITMAPINFOHEADER) || bih->biWidth <= 0 || bih->biWidth > 4096)
        return false;
    const size_t pixels = (size_t)bih->biWidth * (bih->biHeight < 0 ? -bih->biHeight : bih->biHeight);
    bool seen[256] = {};
    size_t distinct = 0;
    for (size_t i = 0; i < pixels && bih->biSize + i < dib.size(); ++i)
        if (!seen[dib[bih->biSize + i]]) {
            seen[dib[bih->biSize + i]] = true;
            ++distinct;
        }
    return distinct > 20;
}

class PlayerWindowTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { gui::InitProcess(1252); }
    void SetUp() override
    {
        m_oldBox = SetMessageDlgProc(MessageLog::Proc);
        MessageLog::texts.clear();
        MessageLog::answer = 7;
    }
    void TearDown() override { SetMessageDlgProc(m_oldBox); }

    // Runs the player over p and check while it is open; true when check ran.
    bool Run(CMediaPlayerWnd* p, std::function<void(CMediaPlayerWnd*, CPaintManagerUI&)> check)
    {
        bool ran = false;
        gui::OnDialog(L"DelvaroDlg", [&](HWND hwnd) {
            CPaintManagerUI& pm = *gui::ManagerOf(hwnd);
            check(p, pm);
            ran = true;
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
        });
        p->RunModal(NULL);
        return ran;
    }
    // Plays a sample to its end.
    void PlayToEnd(const wchar_t* sample, int mediaClass, const wchar_t* shot)
    {
        CMediaPlayerWnd* p = new CMediaPlayerWnd;
        p->SetPlainFile(testpaths::Fixture(sample), mediaClass);
        EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI& pm) {
            ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
            EXPECT_EQ(S_OK, p->GetPlayResult());
            EXPECT_EQ(mediaClass, p->GetPage());
            EXPECT_TRUE(gui::Find(pm, L"sliderPlay")->IsEnabled());
            if (shot) {
                gui::PumpUntil([&] { return p->GetPlayer().GetCurrentPosition() > 3000000; }, 3000);
                gui::PumpPending();
                EXPECT_FALSE(gui::SaveScreenshot(pm.GetPaintWindow(), shot).empty());
                // The renderer draws in a window of its own thread, which the
                // window's picture does not hold: the frame it shows is asked of it.
                if (mediaClass == 1) {
                    EXPECT_TRUE(RendererHasPicture(p->GetPlayer()));
                }
            }
            EXPECT_TRUE(gui::PumpUntil([&] { return p->HasPlayedToEnd(); }));
            EXPECT_TRUE(gui::IsShown(pm, L"btnPlay"));
            const std::wstring time = gui::Find(pm, L"labelPlayTime")->GetText().GetData();
            EXPECT_NE(std::wstring::npos, time.find(L" / ")) << testpaths::Narrow(time);
        }));
        EXPECT_EQ(0, p->GetReopen());
        delete p;
    }
    MessageDlgProc m_oldBox = NULL;
};

TEST_F(PlayerWindowTest, PlaysWavMp3AndAviToTheEnd)
{
    PlayToEnd(L"preview_tone.wav", 0, L"player_audio");
    PlayToEnd(L"preview_tone.mp3", 0, NULL);
    PlayToEnd(L"preview_clip.avi", 1, L"player_video");
    EXPECT_TRUE(MessageLog::texts.empty());
}

TEST_F(PlayerWindowTest, DamagedAndUnknownMediaShowTheErrorPage)
{
    for (const wchar_t* sample : {L"preview_broken.mp3", L"preview_broken.avi"}) {
        CMediaPlayerWnd* p = new CMediaPlayerWnd;
        p->SetPlainFile(testpaths::Fixture(sample), 0);
        EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI& pm) {
            ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
            EXPECT_TRUE(FAILED(p->GetPlayResult()));
            EXPECT_NE(VFW_E_TIMEOUT, p->GetPlayResult()) << "the graph over " << testing::PrintToString(sample)
                                                         << " was given up on";
            EXPECT_EQ(CMediaPlayerWnd::PAGE_ERROR, p->GetPage());
            EXPECT_EQ(0u, std::wstring(gui::Find(pm, L"errCode")->GetText()).find(L"Error code: 0x8"));
            EXPECT_FALSE(gui::Find(pm, L"sliderPlay")->IsEnabled());
            if (wcscmp(sample, L"preview_broken.mp3") == 0) {
                gui::PumpPending();
                gui::SaveScreenshot(pm.GetPaintWindow(), L"player_error");
            }
        }));
        delete p;
    }
    // Without the decoder package the user is asked about it (and said no)
    // for the damaged sound file, as a decoder of sound, not of video.
    ASSERT_EQ(1u, MessageLog::texts.size());
    EXPECT_EQ(MessageText(L"InstallAudioDecoder"), MessageLog::texts[0]);

    // A type the player has no stream type for.
    std::string bytes = viewtest::Sample(L"preview_tone.wav");
    static std::wstring dir = testpaths::MakeTempDir(L"player");
    const std::wstring ogg = dir + L"\\tone.ogg";
    HANDLE f = CreateFileW(ogg.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done = 0;
    WriteFile(f, bytes.data(), (DWORD)bytes.size(), &done, NULL);
    CloseHandle(f);
    CMediaPlayerWnd* p = new CMediaPlayerWnd;
    p->SetPlainFile(ogg, 0);
    EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI&) {
        ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
        EXPECT_EQ(VFW_E_UNSUPPORTED_STREAM, p->GetPlayResult());
        EXPECT_EQ(CMediaPlayerWnd::PAGE_ERROR, p->GetPage());
    }));
    delete p;
}

namespace {
HRESULT NoSoundDevice(HRESULT) { return VFW_E_NO_AUDIO_HARDWARE; }
HRESULT NoRenderer(HRESULT) { return VFW_E_CANNOT_RENDER; }
}  // namespace

TEST_F(PlayerWindowTest, MissingSoundDeviceIsNamedAndNoDecoderOffered)
{
    // The system answers that it has no sound device: the error page says so
    // and no decoder package is offered, since none would help.
    const PlaybackResultProc old = SetPlaybackResultProc(NoSoundDevice);
    CMediaPlayerWnd* p = new CMediaPlayerWnd;
    p->SetPlainFile(testpaths::Fixture(L"preview_tone.wav"), 0);
    EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI& pm) {
        ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
        EXPECT_EQ(VFW_E_NO_AUDIO_HARDWARE, p->GetPlayResult());
        EXPECT_EQ(CMediaPlayerWnd::PAGE_ERROR, p->GetPage());
        EXPECT_EQ(std::wstring(L"Error code: 0x80040256"), std::wstring(gui::Find(pm, L"errCode")->GetText()));
        const std::wstring cause(gui::Find(pm, L"errText")->GetText());
        EXPECT_EQ(GetUIText(L"ErrMsgHint") + GetUIText(L"NoSoundDevice"), cause);
        EXPECT_NE(std::wstring::npos, cause.find(L"no sound device"));
        gui::PumpPending();
        gui::SaveScreenshot(pm.GetPaintWindow(), L"player_no_sound_device");
    }));
    delete p;
    EXPECT_TRUE(MessageLog::texts.empty());

    // No filter can render the file on a machine with a sound device: a
    // decoder may be what is missing, and the package is offered, as one
    // for sound.
    ASSERT_GT(waveOutGetNumDevs(), 0u) << "the player tests run with ALSA's null device";
    SetPlaybackResultProc(NoRenderer);
    p = new CMediaPlayerWnd;
    p->SetPlainFile(testpaths::Fixture(L"preview_tone.wav"), 0);
    EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI&) {
        ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
        EXPECT_EQ(VFW_E_CANNOT_RENDER, p->GetPlayResult());
    }));
    delete p;
    SetPlaybackResultProc(old);
    ASSERT_EQ(1u, MessageLog::texts.size());
    EXPECT_EQ(MessageText(L"InstallAudioDecoder"), MessageLog::texts[0]);
    EXPECT_EQ(std::wstring::npos, MessageLog::texts[0].find(L"video")) << testpaths::Narrow(MessageLog::texts[0]);

    EXPECT_TRUE(IsNoSoundDeviceResult(VFW_E_NO_AUDIO_HARDWARE));
    EXPECT_FALSE(IsDecoderMissingResult(VFW_E_NO_AUDIO_HARDWARE));
    EXPECT_TRUE(IsDecoderMissingResult(VFW_E_UNSUPPORTED_STREAM));
    EXPECT_FALSE(IsDecoderMissingResult(E_OUTOFMEMORY));
}

// On a machine without any sound device (the test program run again
// without the null sound device the player tests otherwise have, see
// tests/views/CMakeLists.txt) a sound file fails as the system fails it,
// with "cannot render" under Wine: the page names the missing device and no
// decoder is offered, since none would help. A video that no filter
// renders still gets the offer of the video decoder.
TEST_F(PlayerWindowTest, WithoutAnySoundDeviceTheCauseIsNamedAndNoDecoderOffered)
{
    if (!GetEnvironmentVariableW(L"DELVARO_NO_SOUND_DEVICE", NULL, 0))
        GTEST_SKIP() << "runs in views_player_without_sound";
    ASSERT_EQ(0u, waveOutGetNumDevs());
    for (const wchar_t* sample : {L"preview_tone.wav", L"preview_tone.mp3"}) {
        CMediaPlayerWnd* p = new CMediaPlayerWnd;
        p->SetPlainFile(testpaths::Fixture(sample), 0);
        EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI& pm) {
            ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
            EXPECT_TRUE(FAILED(p->GetPlayResult())) << std::hex << p->GetPlayResult();
            EXPECT_EQ(CMediaPlayerWnd::PAGE_ERROR, p->GetPage());
            const std::wstring cause(gui::Find(pm, L"errText")->GetText());
            EXPECT_EQ(GetUIText(L"ErrMsgHint") + GetUIText(L"NoSoundDevice"), cause);
            gui::PumpPending();
            gui::SaveScreenshot(pm.GetPaintWindow(), L"player_without_sound_device");
        }));
        delete p;
    }
    EXPECT_TRUE(MessageLog::texts.empty()) << testpaths::Narrow(MessageLog::texts[0]);
    const PlaybackResultProc old = SetPlaybackResultProc(NoRenderer);
    CMediaPlayerWnd* p = new CMediaPlayerWnd;
    p->SetPlainFile(testpaths::Fixture(L"preview_clip.avi"), 1);
    EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI&) {
        ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
        EXPECT_EQ(VFW_E_CANNOT_RENDER, p->GetPlayResult());
    }));
    delete p;
    SetPlaybackResultProc(old);
    ASSERT_EQ(1u, MessageLog::texts.size());
    EXPECT_EQ(MessageText(L"InstallDecoder"), MessageLog::texts[0]);
    // Every language names the sound decoder in its own words.
    for (int cp : {936, 950, 1252}) {
        gui::UseLanguage(cp);
        EXPECT_FALSE(MessageText(L"InstallAudioDecoder").empty()) << cp;
        EXPECT_NE(MessageText(L"InstallDecoder"), MessageText(L"InstallAudioDecoder")) << cp;
    }
    gui::UseLanguage(1252);
}

TEST_F(PlayerWindowTest, CarvedHitPlaysFromTheImageWhichStaysUntouched)
{
    // A WAV at an unaligned offset among random bytes of an image file.
    const std::string wav = viewtest::Sample(L"preview_tone.wav");
    std::string image(20000 + wav.size() + 3000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = (char)((i * 2246822519u) >> 17);
    memcpy(&image[20001], wav.data(), wav.size());
    const std::wstring path = testpaths::MakeTempDir(L"carvedplay") + L"\\image.img";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done = 0;
    WriteFile(f, image.data(), (DWORD)image.size(), &done, NULL);
    CloseHandle(f);
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    DeepScanHit hit = {};
    hit.u64WindowBase = 16384;
    hit.u64Position = 20001 - 16384;
    hit.u64Length = wav.size();
    memcpy(hit.szName, "File0000001.wav", 16);
    memcpy(hit.szExtension, "wav", 4);

    CMediaPlayerWnd* p = new CMediaPlayerWnd;
    p->SetCarvedItem(device, &hit, 1, 0, L".wav", 0);
    EXPECT_EQ(L"wav", p->GetExtension());
    EXPECT_TRUE(Run(p, [&](CMediaPlayerWnd* p, CPaintManagerUI& pm) {
        EXPECT_NE(std::wstring::npos, std::wstring(gui::Find(pm, L"PlayerTitle")->GetText()).find(L"File0000001.wav"));
        ASSERT_TRUE(gui::PumpUntil([&] { return p->IsStarted(); }));
        EXPECT_EQ(wav.size(), p->GetBytesRead());
        EXPECT_EQ(S_OK, p->GetPlayResult());
        // The volume buttons: silence, then the slider's volume again.
        gui::Click(pm, L"btnVolume");
        EXPECT_TRUE(gui::PumpUntil([&] { return p->GetPlayer().GetVolumeSet() == -10000; }));
        EXPECT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm, L"btnVolumeZero"); }));
        gui::Click(pm, L"btnVolumeZero");
        EXPECT_TRUE(gui::PumpUntil([&] { return p->GetPlayer().GetVolumeSet() == CMemPlayer::kVolumeTable[60]; }));
        EXPECT_TRUE(gui::PumpUntil([&] { return p->HasPlayedToEnd(); }));
    }));
    delete p;

    // Closed at once, while the loader may still be reading: nothing breaks.
    p = new CMediaPlayerWnd;
    p->SetCarvedItem(device, &hit, 1, 0, L"wav", 0);
    EXPECT_TRUE(Run(p, [](CMediaPlayerWnd*, CPaintManagerUI&) {}));
    delete p;
    CloseHandle(device);
    EXPECT_EQ(image, testpaths::ReadWholeFile(path));
}

TEST(PlayerTimeTest, PositionAndDurationAsTimesOfDay)
{
    // 1 h 2 min 5 s of 2 h, in the 24-hour form of the user's locale (the
    // hour with or without its leading zero).
    const std::wstring text = CMediaPlayerWnd::FormatPlayTime(3725LL * 10000000, 7200LL * 10000000);
    EXPECT_TRUE(std::regex_match(text, std::wregex(L"0?1:02:05 / 0?2:00:00"))) << text;
    // Nothing played yet of a 59-second clip; a negative position reads as 0.
    const std::wstring start = CMediaPlayerWnd::FormatPlayTime(-5, 59LL * 10000000);
    EXPECT_TRUE(std::regex_match(start, std::wregex(L"0?0:00:00 / 0?0:00:59"))) << start;
}

}  // namespace
