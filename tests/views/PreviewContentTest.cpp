// The preview content source over real bytes: carved hits read from an
// image file, plain files, the exchange file, the handler lookup, and the
// texts of the preview windows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ViewsTestUtil.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "engine/DeepScanEngine.h"
#include "storage/VolumeList.h"
#include "views/PreviewContent.h"
#include "views/PreviewOpen.h"
#include "views/PreviewText.h"

namespace {

std::string StreamBytes(IStream* s)
{
    std::string out;
    ReadStreamHead(s, 1u << 30, out);
    return out;
}

// An image file: a pattern whose every byte tells its offset's low bits.
class CarvedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_path = testpaths::MakeTempDir(L"carve") + L"\\image.bin";
        m_bytes.resize((5u << 20) + 1000);  // more than one 4 MiB read window
        for (size_t i = 0; i < m_bytes.size(); ++i)
            m_bytes[i] = (char)((i * 7 + i / 251) & 0xFF);
        HANDLE f = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD done = 0;
        WriteFile(f, m_bytes.data(), (DWORD)m_bytes.size(), &done, NULL);
        CloseHandle(f);
        m_device = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_device);
    }
    void TearDown() override
    {
        CloseHandle(m_device);
        // Nothing was written to the "scanned" image.
        EXPECT_EQ(m_bytes, testpaths::ReadWholeFile(m_path));
        DeleteFileW(m_path.c_str());
    }
    IStream* Open(uint64_t base, uint64_t pos, uint64_t length, uint64_t cap, const char* ext = "jpg")
    {
        memset(&m_hit, 0, sizeof(m_hit));
        m_hit.u64WindowBase = base;
        m_hit.u64Position = pos;
        m_hit.u64Length = length;
        strcpy(m_hit.szExtension, ext);
        PreviewRequest r;
        r.InitCarved(&m_hit, m_device, 0, 1);
        return r.OpenStream(cap);
    }
    std::wstring m_path;
    std::string m_bytes;
    HANDLE m_device = INVALID_HANDLE_VALUE;
    DeepScanHit m_hit;
};

TEST_F(CarvedTest, StreamStartsAtTheHitAndHoldsItsLengthOrTheCap)
{
    // An unaligned start inside a window: exactly the hit's bytes.
    IStream* s = Open(1024, 333, 2000, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(m_bytes.substr(1357, 2000), StreamBytes(s));
    s->Release();

    // The cap cuts it; a cap above the length does not pad it.
    s = Open(0, 777, 5000, 1000);
    ASSERT_TRUE(s);
    EXPECT_EQ(m_bytes.substr(777, 1000), StreamBytes(s));
    s->Release();
    s = Open(0, 10, 40, 1000);
    ASSERT_TRUE(s);
    EXPECT_EQ(m_bytes.substr(10, 40), StreamBytes(s));
    s->Release();

    // Over several read windows of the reader.
    s = Open(512, 1, m_bytes.size() - 600, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(m_bytes.substr(513, m_bytes.size() - 600), StreamBytes(s));
    s->Release();

    // A hit running past the end of the image stops at the end.
    s = Open(0, m_bytes.size() - 50, 400, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(m_bytes.substr(m_bytes.size() - 50), StreamBytes(s));
    s->Release();

    // No stream: a hit of length 0, one that starts past the end, one whose
    // base and position overflow, and no device.
    EXPECT_EQ(nullptr, Open(0, 100, 0, 0));
    EXPECT_EQ(nullptr, Open(0, m_bytes.size() + 512, 10, 0));
    EXPECT_EQ(nullptr, Open(~0ull - 10, 20, 10, 0));
    PreviewRequest none;
    none.InitCarved(&m_hit, INVALID_HANDLE_VALUE, 0, 1);
    EXPECT_EQ(nullptr, none.OpenStream(0));
}

TEST_F(CarvedTest, ExtensionsOfHitsAndNames)
{
    Open(0, 0, 10, 0, "JPG");
    PreviewRequest r;
    r.InitCarved(&m_hit, m_device, 0, 1);
    EXPECT_EQ(L".JPG", r.GetExtension());
    EXPECT_EQ(1, r.IsImage());
    EXPECT_EQ(0, r.IsText());

    EXPECT_TRUE(PreviewRequest::IsTextExtension(L".TXT"));
    EXPECT_TRUE(PreviewRequest::IsTextExtension(L".aspx"));
    EXPECT_FALSE(PreviewRequest::IsTextExtension(L""));
    EXPECT_FALSE(PreviewRequest::IsImageExtension(L".tif"));
    PreviewRequest file;
    file.InitFile(L"C:\\folder.x\\noextension");
    EXPECT_EQ(L"", file.GetExtension());
    EXPECT_EQ(0, file.IsImage());

    EXPECT_EQ(0, MediaClassOfExtension(L"Mp3"));
    EXPECT_EQ(1, MediaClassOfExtension(L".AVI"));
    EXPECT_EQ(2, MediaClassOfExtension(L"txt"));
}

TEST(PreviewContentTest, PlainFilesAreReadUpToTheCap)
{
    const std::wstring path = testpaths::Fixture(L"preview_photo.jpg");
    const std::string bytes = testpaths::ReadWholeFile(path);
    ASSERT_FALSE(bytes.empty());
    PreviewRequest r;
    r.InitFile(path);
    IStream* s = r.OpenStream(0);
    ASSERT_TRUE(s);
    EXPECT_EQ(bytes, StreamBytes(s));
    s->Release();
    s = r.OpenStream(HEX_PREVIEW_SIZE);
    ASSERT_TRUE(s);
    EXPECT_EQ(bytes.substr(0, HEX_PREVIEW_SIZE), StreamBytes(s));
    s->Release();
    PreviewRequest missing;
    missing.InitFile(L"Z:\\no\\such\\file.jpg");
    EXPECT_EQ(nullptr, missing.OpenStream(0));
}

TEST(PreviewContentTest, ExchangeFileIsUniqueRefusedOnTheScannedVolumeAndRemoved)
{
    const std::string bytes = "exchange bytes \x01\x02\x03";
    IStream* s = CreateMemoryStream(bytes.data(), bytes.size());
    ASSERT_TRUE(s);
    std::wstring first, second;
    {
        PreviewExchangeFile a, b;
        EXPECT_EQ(1u, a.Write(L".docx", ScannedPathCheck()));  // no stream
        a.SetStream(s);
        b.SetStream(s);
        ASSERT_EQ(0u, a.Write(L".docx", ScannedPathCheck()));
        ASSERT_EQ(0u, b.Write(L"docx", [](const std::wstring&) { return false; }));
        first = a.GetPath();
        second = b.GetPath();
        EXPECT_NE(first, second);
        EXPECT_EQ(L".docx", first.substr(first.size() - 5));
        EXPECT_EQ(0u, first.find(PreviewExchangeFile::GetFolder()));
        EXPECT_EQ(bytes, testpaths::ReadWholeFile(first));
        // An extension is never a path.
        PreviewExchangeFile c;
        c.SetStream(s);
        ASSERT_EQ(0u, c.Write(L"..\\..\\x:y", ScannedPathCheck()));
        EXPECT_EQ(std::wstring::npos, c.GetPath().find(L"..", PreviewExchangeFile::GetFolder().size()));
        // The temporary folder on the scanned volume: nothing is written.
        PreviewExchangeFile d;
        d.SetStream(s);
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, d.Write(L".docx", [](const std::wstring&) { return true; }));
        EXPECT_TRUE(d.GetPath().empty());
    }
    EXPECT_FALSE(testpaths::FileExists(first));
    EXPECT_FALSE(testpaths::FileExists(second));
    s->Release();
}

TEST(PreviewContentTest, ScannedPathCheckComparesVolumes)
{
    PreviewEntry entry;
    CVolumeInfo volume;
    const std::wstring temp = PreviewExchangeFile::GetFolder();
    volume.m_strRoot = std::wstring(1, (wchar_t)towlower(temp[0])) + L":\\";
    entry.volume = &volume;
    EXPECT_TRUE(MakeScannedPathCheck(NULL, entry)(temp));
    volume.m_strRoot = temp[0] == L'Q' ? L"R:\\" : L"Q:\\";
    EXPECT_FALSE(MakeScannedPathCheck(NULL, entry)(temp));
}

TEST(PreviewTextTest, TitleFormatIsCheckedAndNamesCut)
{
    EXPECT_TRUE(IsTwoTextFormat(L"%s (%s)"));
    EXPECT_TRUE(IsTwoTextFormat(L"%s 100%% %s"));
    EXPECT_FALSE(IsTwoTextFormat(L"%s"));
    EXPECT_FALSE(IsTwoTextFormat(L"%s %s %s"));
    EXPECT_FALSE(IsTwoTextFormat(L"%d %s"));
    EXPECT_FALSE(IsTwoTextFormat(L"%s %n"));
    EXPECT_FALSE(IsTwoTextFormat(L"%s %"));
    EXPECT_EQ(L"a [b] 5%", FillTwoTexts(L"%s [%s] 5%%", L"a", L"b"));

    const std::wstring n30(30, L'n'), n31(31, L'n');
    const std::wstring t30 = MakePreviewTitle(n30, 10);
    const std::wstring t31 = MakePreviewTitle(n31, 10);
    EXPECT_EQ(0u, t30.find(n30));
    EXPECT_EQ(std::wstring::npos, t30.find(L"..."));
    EXPECT_EQ(0u, t31.find(n30 + L"..."));
    EXPECT_NE(std::wstring::npos, MakePreviewTitle(L"x", 2048).find(L"2.00KB"));
}

TEST(PreviewTextTest, HexViewLinesAndMarkupFreeCharacters)
{
    const unsigned char ten[10] = {'A', '{', 'n', '}', '<', 'b', '>', 0x01, 0x7F, 0xC3};
    HexViewText v = BuildHexView(ten, 10);
    EXPECT_EQ(1, v.lines);
    EXPECT_EQ(L"{f 5}41{x 4}7B{x 4}6E{x 4}7D{x 4}3C{x 4}62{x 4}3E{x 4}01{x 4}7F{x 4}C3{x 4}{/f}", v.hex);
    EXPECT_EQ(L"{f 5}A.n..b....{/f}", v.chars);

    std::vector<unsigned char> full(HEX_PREVIEW_SIZE + 100, 'z');
    v = BuildHexView(full.data(), full.size());
    EXPECT_EQ(120, v.lines);
    size_t breaks = 0;
    for (size_t p = v.chars.find(L"{n}"); p != std::wstring::npos; p = v.chars.find(L"{n}", p + 1))
        ++breaks;
    EXPECT_EQ(119u, breaks);
    // Every byte of every value: the character column never holds markup.
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = (unsigned char)i;
    v = BuildHexView(all.data(), all.size());
    const std::wstring body = v.chars.substr(5, v.chars.size() - 9);
    std::wstring stripped;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body.compare(i, 3, L"{n}") == 0) {
            i += 2;
            continue;
        }
        stripped += body[i];
    }
    EXPECT_EQ(256u, stripped.size());
    EXPECT_EQ(std::wstring::npos, stripped.find_first_of(L"{}<>\r\n\t"));
}

}  // namespace
