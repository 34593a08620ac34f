// The in-memory player through Wine's DirectShow and GStreamer: real WAV,
// MP3 and AVI samples played to the end from memory, damaged ones refused.
#include <gtest/gtest.h>

#include <memory>

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
