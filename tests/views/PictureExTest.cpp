// The animated picture window over real GIFs made by ImageMagick, the
// program's own busy animations, a PNG, and damaged GIFs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ViewsTestUtil.h"
#include "views/PictureExWnd.h"

namespace {

HGLOBAL ToGlobal(const std::string& bytes)
{
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
    void* p = GlobalLock(mem);
    memcpy(p, bytes.data(), bytes.size());
    GlobalUnlock(mem);
    return mem;
}

bool LoadBytes(CPictureExWnd& w, const std::string& bytes)
{
    HGLOBAL mem = ToGlobal(bytes);
    const bool ok = w.Load(mem, (DWORD)bytes.size());
    GlobalFree(mem);
    return ok;
}

uint32_t PixelAt(CPictureExWnd& w, int x, int y)
{
    std::vector<uint32_t> px;
    int cw = 0, ch = 0;
    if (!w.CopyPixels(px, cw, ch) || x >= cw || y >= ch)
        return 0xFFFFFFFF;
    return px[(size_t)y * cw + x];
}

class PictureExTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_host = viewtest::MakeHostWindow(300, 200);
        ASSERT_TRUE(m_wnd.Create(m_host));
    }
    void TearDown() override
    {
        m_wnd.Destroy();
        DestroyWindow(m_host);
    }
    HWND m_host = NULL;
    CPictureExWnd m_wnd;
};

TEST_F(PictureExTest, AnimatedGifIsTakenApartIntoFrames)
{
    ASSERT_TRUE(LoadBytes(m_wnd, viewtest::Sample(L"preview_anim.gif")));
    EXPECT_TRUE(m_wnd.IsGif());
    ASSERT_EQ(3, m_wnd.GetFrameCount());
    EXPECT_EQ(48, m_wnd.GetPictureSize().cx);
    EXPECT_EQ(32, m_wnd.GetPictureSize().cy);
    EXPECT_EQ(3, m_wnd.GetFrame(0).delay);
    EXPECT_EQ(5, m_wnd.GetFrame(1).delay);
    EXPECT_EQ(10, m_wnd.GetFrame(2).delay);
    EXPECT_EQ(2, m_wnd.GetFrame(1).disposal);
    EXPECT_EQ(8, m_wnd.GetFrame(1).offset.cx);
    EXPECT_EQ(6, m_wnd.GetFrame(1).offset.cy);
    EXPECT_EQ(20, m_wnd.GetFrame(1).size.cx);
    EXPECT_EQ(12, m_wnd.GetFrame(1).size.cy);
    EXPECT_EQ(100u, CPictureExWnd::FrameWaitMs(3));
    EXPECT_EQ(50u, CPictureExWnd::FrameWaitMs(5));
    EXPECT_EQ(100u, CPictureExWnd::FrameWaitMs(-1));

    m_wnd.SetBkColor(0xFFFFFF);
    ASSERT_TRUE(m_wnd.Draw());
    EXPECT_TRUE(m_wnd.HasThread());
    // It goes round: more frames than the GIF has.
    EXPECT_TRUE(viewtest::PumpUntil([&] { return m_wnd.GetFramesShown() >= 5; }));
    m_wnd.Stop();
    EXPECT_FALSE(m_wnd.HasThread());
    EXPECT_FALSE(m_wnd.IsPlaying());
    // Drawn again after a stop, then unloaded while it runs.
    ASSERT_TRUE(m_wnd.Draw());
    m_wnd.Unload();
    EXPECT_FALSE(m_wnd.HasThread());
    EXPECT_FALSE(m_wnd.IsInitialised());
}

TEST_F(PictureExTest, DisposalToPreviousRestoresWhatWasUnderTheFrame)
{
    ASSERT_TRUE(LoadBytes(m_wnd, viewtest::Sample(L"preview_dispose3.gif")));
    ASSERT_EQ(3, m_wnd.GetFrameCount());
    EXPECT_EQ(3, m_wnd.GetFrame(1).disposal);
    m_wnd.SetBkColor(0xFFFFFF);
    ASSERT_TRUE(m_wnd.Draw());
    // The third frame (a blue corner) stays two seconds: by then the green
    // square of the second is gone again and the red beneath it is back.
    ASSERT_TRUE(viewtest::PumpUntil([&] { return m_wnd.GetFramesShown() >= 3; }));
    EXPECT_EQ(0xFF0000u, PixelAt(m_wnd, 6, 6));
    EXPECT_EQ(0x0000FFu, PixelAt(m_wnd, 0, 0));
    m_wnd.Stop();
}

TEST_F(PictureExTest, SingleFramesAndOtherPicturesAreDrawnOnceWithoutAThread)
{
    ASSERT_TRUE(LoadBytes(m_wnd, viewtest::Sample(L"preview_single.gif")));
    EXPECT_EQ(0, m_wnd.GetFrameCount());
    EXPECT_EQ(24, m_wnd.GetPictureSize().cx);
    ASSERT_TRUE(m_wnd.Draw());
    EXPECT_FALSE(m_wnd.HasThread());
    EXPECT_EQ(0xE0A020u, PixelAt(m_wnd, 3, 3));

    // A PNG: its pixel size from its HIMETRIC size and the screen's pixels per inch.
    ASSERT_TRUE(LoadBytes(m_wnd, viewtest::Sample(L"preview_wide.png")));
    EXPECT_FALSE(m_wnd.IsGif());
    EXPECT_EQ(400, m_wnd.GetPictureSize().cx);
    EXPECT_EQ(60, m_wnd.GetPictureSize().cy);
    ASSERT_TRUE(m_wnd.Draw());
    EXPECT_FALSE(m_wnd.HasThread());

    // The program's own animations, from its resources.
    ASSERT_TRUE(m_wnd.LoadFromResource(220, L"GIF"));
    EXPECT_EQ(12, m_wnd.GetFrameCount());
    ASSERT_TRUE(m_wnd.LoadFromResource(221, L"GIF"));
    EXPECT_EQ(156, m_wnd.GetPictureSize().cx);
    EXPECT_FALSE(m_wnd.LoadFromResource(4321, L"GIF"));
}

TEST_F(PictureExTest, DamagedGifsFailOrPlayButNeverReadPastTheirData)
{
    // A header and a trailer, no graphic block.
    std::string empty("GIF89a\x02\x00\x02\x00\x00\x00\x00\x3B", 14);
    EXPECT_FALSE(LoadBytes(m_wnd, empty));
    EXPECT_FALSE(m_wnd.Draw());
    EXPECT_FALSE(LoadBytes(m_wnd, "GI"));

    const std::string gif = viewtest::Sample(L"preview_anim.gif");
    ASSERT_FALSE(gif.empty());
    // Every truncation: what loads keeps the header's screen, has no more
    // frames than the whole file and plays; without the screen descriptor
    // (13 bytes) nothing loads.
    int truncLoaded = 0;
    for (size_t n = 0; n < gif.size(); ++n) {
        SCOPED_TRACE(testing::Message() << "cut at " << n);
        const bool loaded = LoadBytes(m_wnd, gif.substr(0, n));
        if (n < 13)
            EXPECT_FALSE(loaded);
        if (!loaded)
            continue;
        ++truncLoaded;
        EXPECT_EQ(48, m_wnd.GetPictureSize().cx);
        EXPECT_EQ(32, m_wnd.GetPictureSize().cy);
        EXPECT_LE(m_wnd.GetFrameCount(), 3);
        EXPECT_TRUE(m_wnd.Draw());
        m_wnd.Stop();
        EXPECT_FALSE(m_wnd.HasThread());
    }
    EXPECT_GT(truncLoaded, 0);
    // Random damage: lengths, packed bytes and block labels. Each either
    // fails or loads a picture with a screen, which plays and stops or fails
    // to draw.
    std::mt19937 rng(20);
    int loadedCount = 0, refused = 0, drawn = 0;
    for (int round = 0; round < 300; ++round) {
        std::string bad = gif;
        const int flips = 1 + (int)(rng() % 6);
        for (int i = 0; i < flips; ++i)
            bad[rng() % bad.size()] = (char)(rng() % 256);
        SCOPED_TRACE(testing::Message() << "round " << round);
        if (!LoadBytes(m_wnd, bad)) {
            ++refused;
            EXPECT_FALSE(m_wnd.Draw());
            continue;
        }
        ++loadedCount;
        EXPECT_GT(m_wnd.GetPictureSize().cx, 0);
        EXPECT_GT(m_wnd.GetPictureSize().cy, 0);
        // A frame that does not decode fails the drawing without a thread.
        if (m_wnd.Draw())
            ++drawn;
        else
            EXPECT_FALSE(m_wnd.HasThread());
        m_wnd.Stop();
        EXPECT_FALSE(m_wnd.HasThread());
    }
    // The damage reaches every outcome.
    EXPECT_GT(drawn, 0);
    EXPECT_GT(loadedCount, drawn);
    EXPECT_GT(refused, 0);
    m_wnd.Unload();
    EXPECT_FALSE(m_wnd.HasThread());
}

TEST(PictureExBlocks, LengthsOfBlocksAndSubBlocks)
{
    const uint8_t comment[] = {0x21, 0xFE, 3, 'a', 'b', 'c', 0};
    EXPECT_EQ(CPictureExWnd::BLOCK_COMMENT, CPictureExWnd::GetBlockKind(comment, sizeof(comment), 0));
    EXPECT_EQ(sizeof(comment), CPictureExWnd::GetBlockLength(comment, sizeof(comment), 0));
    // A sub-block running past the data has no length.
    EXPECT_EQ(0u, CPictureExWnd::GetBlockLength(comment, sizeof(comment) - 1, 0));
    const uint8_t other[] = {0x21, 0x33, 0};
    EXPECT_EQ(CPictureExWnd::BLOCK_UNKNOWN, CPictureExWnd::GetBlockKind(other, sizeof(other), 0));
    EXPECT_EQ(0u, CPictureExWnd::GetBlockLength(other, sizeof(other), 0));
    // An image with a local table of 2 entries (6 bytes) and one data sub-block.
    const uint8_t image[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x80, 1, 2, 3, 4, 5, 6, 2, 1, 0x44, 0};
    EXPECT_EQ(sizeof(image), CPictureExWnd::GetBlockLength(image, sizeof(image), 0));
    EXPECT_EQ(0u, CPictureExWnd::GetBlockLength(image, 12, 0));
    const uint8_t control[] = {0x21, 0xF9, 4, 0, 3, 0, 0, 0};
    EXPECT_EQ(8u, CPictureExWnd::GetBlockLength(control, sizeof(control), 0));
    EXPECT_EQ(0u, CPictureExWnd::GetBlockLength(control, 7, 0));
}

}  // namespace
