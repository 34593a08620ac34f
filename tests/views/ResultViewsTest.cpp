// The pieces of the result page below the window: packed DIBs (made from
// real bitmaps, then mutated as hostile blocks), the compressed thumbnail
// store of a tile, the file-category table and the result list's one-call
// reordering.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "views/FileCategory.h"
#include "views/ListThumbElement.h"
#include "views/PackedDib.h"
#include "views/ResultListUI.h"
#include "views/ResultTrees.h"
#include "core/Language.h"

namespace {

// A 32-bit top-down section of w x h filled by fill(x, y) (0x00RRGGBB).
template <class F>
HBITMAP MakeBitmap(int w, int h, F fill)
{
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HBITMAP bmp = CreateDIBSection(NULL, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (bmp && bits)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                static_cast<uint32_t*>(bits)[y * w + x] = fill(x, y);
    return bmp;
}

std::vector<unsigned char> BlockBytes(HGLOBAL block)
{
    std::vector<unsigned char> out(GlobalSize(block));
    if (const void* p = GlobalLock(block)) {
        memcpy(out.data(), p, out.size());
        GlobalUnlock(block);
    }
    return out;
}

HGLOBAL BlockOf(const std::vector<unsigned char>& bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
    if (void* p = GlobalLock(block)) {
        memcpy(p, bytes.data(), bytes.size());
        GlobalUnlock(block);
    }
    return block;
}

TEST(PackedDibTest, BitmapBecomesAValidBlockThatPaintsItsPixels)
{
    HBITMAP bmp = MakeBitmap(37, 21, [](int x, int y) { return (uint32_t)((x * 7) << 16 | (y * 11) << 8 | 0x40); });
    ASSERT_TRUE(bmp != NULL);
    HGLOBAL dib = DibFromBitmap(bmp, NULL);
    ASSERT_TRUE(dib != NULL);
    EXPECT_TRUE(DibIsValid(dib));
    EXPECT_EQ(37, DibBlockWidth(dib));
    EXPECT_EQ(21, DibBlockHeight(dib));
    EXPECT_EQ(24u, DibBlockBitCount(dib));
    const std::vector<unsigned char> bytes = BlockBytes(dib);
    EXPECT_GE(bytes.size(), 40u + 21u * ((37u * 3 + 3) & ~3u));

    // Painted 1:1 into a memory bitmap, the pixels come back.
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP target = MakeBitmap(37, 21, [](int, int) { return 0u; });
    HGDIOBJ old = SelectObject(dc, target);
    RECT dest = {0, 0, 37, 21}, src = {0, 0, 37, 21};
    EXPECT_NE(0, PaintDib(dc, &dest, dib, &src, NULL, SRCCOPY));
    EXPECT_EQ(RGB(3 * 7, 5 * 11, 0x40), GetPixel(dc, 3, 5) & 0xFFFFFF);
    SelectObject(dc, old);

    // Reduced to 256 colours: an 8-bit block of the same extent.
    HGLOBAL reduced = ReduceDibTo256(dib);
    ASSERT_TRUE(reduced != NULL);
    EXPECT_TRUE(DibIsValid(reduced));
    EXPECT_EQ(8u, DibBlockBitCount(reduced));
    EXPECT_EQ(37, DibBlockWidth(reduced));
    GlobalFree(reduced);

    DeleteObject(target);
    DeleteDC(dc);
    ReleaseDC(NULL, screen);
    GlobalFree(dib);
    DeleteObject(bmp);
}

// Blocks cut short or with mutated header fields: each is either refused or
// lies wholly inside its block; painting never reads past it.
TEST(PackedDibTest, MutatedAndTruncatedBlocksAreRefusedOrStayInsideTheirBlock)
{
    HBITMAP bmp = MakeBitmap(16, 12, [](int x, int y) { return (uint32_t)(x * 16 + y); });
    HGLOBAL dib = DibFromBitmap(bmp, NULL);
    ASSERT_TRUE(dib != NULL);
    const std::vector<unsigned char> good = BlockBytes(dib);
    GlobalFree(dib);
    DeleteObject(bmp);

    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP target = CreateCompatibleBitmap(screen, 32, 32);
    HGDIOBJ old = SelectObject(dc, target);
    std::mt19937 rng(1234);
    const uint32_t hostile[] = {0, 1, 2, 3, 4, 8, 12, 15, 16, 24, 32, 40, 64, 124, 255, 256, 0x7FFFFFFF,
                                0x80000000u, 0xFFFFFFFFu, 0xFFFF, 0x10000};
    int valid = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> bytes = good;
        const int kind = round % 3;
        if (kind == 0) {
            bytes.resize(rng() % bytes.size());
        } else if (kind == 1) {
            // A 32-bit field of the header set to a hostile value.
            const size_t at = (rng() % 10) * 4;
            const uint32_t v = hostile[rng() % (sizeof(hostile) / sizeof(hostile[0]))];
            memcpy(&bytes[at], &v, 4);
        } else {
            for (int k = 0; k < 4; ++k)
                bytes[rng() % 48] = (unsigned char)rng();
        }
        HGLOBAL block = BlockOf(bytes);
        if (DibIsValid(block)) {
            ++valid;
            void* header = GlobalLock(block);
            const uint32_t need = DibBlockSize(header);
            GlobalUnlock(block);
            EXPECT_GT(need, 0u);
            EXPECT_LE(need, GlobalSize(block)) << "round " << round;
        }
        RECT dest = {0, 0, 32, 32}, src = {0, 0, 16, 12};
        const int painted = PaintDib(dc, &dest, block, &src, NULL, SRCCOPY);
        if (!DibIsValid(block))
            EXPECT_EQ(0, painted) << "round " << round;
        if (HGLOBAL r = ReduceDibTo256(block))
            GlobalFree(r);
        GlobalFree(block);
    }
    EXPECT_GT(valid, 0);
    SelectObject(dc, old);
    DeleteObject(target);
    DeleteDC(dc);
    ReleaseDC(NULL, screen);
    EXPECT_EQ(0, PaintDib(NULL, NULL, NULL, NULL, NULL, SRCCOPY));
}

TEST(ThumbnailStoreTest, PicturesAreKeptCompressedUnlessTheyDoNotShrink)
{
    CListThumbElementUI tile(NULL);
    // A flat picture shrinks.
    HBITMAP flat = MakeBitmap(150, 100, [](int, int) { return 0x00336699u; });
    HGLOBAL dib = DibFromBitmap(flat, NULL);
    ASSERT_TRUE(tile.CompressDib(dib));
    EXPECT_FALSE(tile.IsStoredUncompressed());
    EXPECT_LT(tile.GetCompressedSize(), tile.GetUncompressedSize());
    HGLOBAL back = tile.DecompressDib();
    ASSERT_TRUE(back != NULL);
    EXPECT_EQ(BlockBytes(dib), BlockBytes(back));
    GlobalFree(back);
    GlobalFree(dib);
    DeleteObject(flat);

    // Noise does not: it is stored as it is and still comes back whole.
    std::mt19937 rng(7);
    HBITMAP noise = MakeBitmap(150, 100, [&](int, int) { return (uint32_t)rng(); });
    dib = DibFromBitmap(noise, NULL);
    ASSERT_TRUE(tile.CompressDib(dib));
    EXPECT_TRUE(tile.IsStoredUncompressed());
    back = tile.DecompressDib();
    ASSERT_TRUE(back != NULL);
    EXPECT_EQ(BlockBytes(dib), BlockBytes(back));
    GlobalFree(back);
    GlobalFree(dib);
    DeleteObject(noise);

    // No block: no picture.
    EXPECT_FALSE(tile.CompressDib(NULL));
    EXPECT_FALSE(tile.HasThumbnail());
    EXPECT_TRUE(tile.DecompressDib() == NULL);
}

TEST(FileCategoryTest, ExtensionsByCategoryAndRemovalKeepsSharedOnes)
{
    const CFileCategoryTable& t = g_FileCategoryTable;
    EXPECT_EQ(FILE_CATEGORY_PICTURE, t.GetFileCategory(L"JPG"));
    EXPECT_EQ(FILE_CATEGORY_AUDIO, t.GetFileCategory(L"Mp3"));
    EXPECT_EQ(FILE_CATEGORY_OTHER, t.GetFileCategory(L".jpg"));
    EXPECT_EQ(FILE_CATEGORY_OTHER, t.GetFileCategory(L""));
    // Only ASCII letters are lowered: a dotted capital I stays what it is.
    EXPECT_EQ(std::wstring(L"pdf\u0130"), LowerAsciiText(L"PDF\u0130"));

    // Pictures and documents chosen, documents taken away: "eps" and "ai"
    // stay for the pictures, "pdf" goes.
    std::vector<std::wstring> sel;
    t.AddCategoryExtensions(FILE_CATEGORY_PICTURE, sel);
    t.AddCategoryExtensions(FILE_CATEGORY_DOCUMENT, sel);
    EXPECT_EQ(1, std::count(sel.begin(), sel.end(), L"eps"));
    t.RemoveCategoryExtensions(FILE_CATEGORY_DOCUMENT, sel, 1u << FILE_CATEGORY_PICTURE);
    EXPECT_EQ(1, std::count(sel.begin(), sel.end(), L"eps"));
    EXPECT_EQ(1, std::count(sel.begin(), sel.end(), L"ai"));
    EXPECT_EQ(0, std::count(sel.begin(), sel.end(), L"pdf"));
    EXPECT_EQ(1, std::count(sel.begin(), sel.end(), L"jpg"));
    // Then pictures too: nothing is left.
    t.RemoveCategoryExtensions(FILE_CATEGORY_PICTURE, sel, 0);
    EXPECT_TRUE(sel.empty());
    // Numbers outside 1 to 5 do nothing.
    t.AddCategoryExtensions(0, sel);
    t.AddCategoryExtensions(FILE_CATEGORY_OTHER, sel);
    EXPECT_TRUE(sel.empty());
}

TEST(ResultListTest, SortReordersAllTilesInOneCallKeepingTheSelection)
{
    CResultListUI list;
    std::vector<CListThumbElementUI*> tiles;
    const int n = 5000;
    std::mt19937 rng(99);
    for (int i = 0; i < n; ++i) {
        CListThumbElementUI* t = new CListThumbElementUI(NULL);
        // Every tenth row has no entry.
        t->SetTag(i % 10 == 3 ? 0 : (UINT_PTR)(1 + rng() % 1000));
        list.AppendTile(t);
        tiles.push_back(t);
    }
    list.EndBatch();
    CControlUI* chosen = list.GetItemAt(17);
    list.SelectItem(17, false, false);
    list.SortTiles([](CListThumbElementUI* a, CListThumbElementUI* b) {
        if (!a->GetTag() || !b->GetTag())
            return a->GetTag() && !b->GetTag();
        return a->GetTag() < b->GetTag();
    });
    ASSERT_EQ(n, list.GetCount());
    UINT_PTR last = 0;
    bool inTail = false;
    for (int i = 0; i < n; ++i) {
        const UINT_PTR tag = list.GetItemAt(i)->GetTag();
        if (!tag) {
            inTail = true;
            continue;
        }
        EXPECT_FALSE(inTail) << "an entry after the rows without one, at " << i;
        EXPECT_LE(last, tag);
        last = tag;
    }
    EXPECT_EQ(chosen, list.GetItemAt(list.GetCurSel()));
}

// A hidden owner window for the trees.
class TreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 400, 400, NULL, NULL, NULL, NULL);
        ASSERT_TRUE(m_owner != NULL);
        m_oldFormat = g_strLangDateFormat;
    }
    void TearDown() override
    {
        g_strLangDateFormat = m_oldFormat;
        DestroyWindow(m_owner);
    }
    static std::vector<std::wstring> Labels(CCheckTreeCtrl& tree)
    {
        std::vector<std::wstring> out;
        HWND h = tree.GetHwnd();
        std::vector<HTREEITEM> todo(1, TreeView_GetRoot(h));
        while (!todo.empty()) {
            HTREEITEM i = todo.back();
            todo.pop_back();
            for (; i; i = TreeView_GetNextSibling(h, i)) {
                out.push_back(tree.GetItemText(i));
                todo.push_back(TreeView_GetChild(h, i));
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    static bool Has(const std::vector<std::wstring>& v, const std::wstring& s)
    {
        return std::find(v.begin(), v.end(), s) != v.end();
    }
    HWND m_owner = NULL;
    std::wstring m_oldFormat;
};

TEST_F(TreeTest, DateTreeUsesACheckedDayFormatAndFallsBackOnAHostileOne)
{
    const RECT rc = {0, 0, 200, 300};
    {
        g_strLangDateFormat = L"%s.%s";
        CTimeTreeCtrl tree;
        ASSERT_TRUE(tree.Create(m_owner, rc, 102) != NULL);
        EXPECT_TRUE(tree.AddFile(L"2017-06-16  14:10", 0));
        EXPECT_TRUE(tree.AddFile(L"2017-06-16  20:00", 0));
        EXPECT_TRUE(tree.AddFile(L"2018-12-24  20:00", 0));
        EXPECT_FALSE(tree.AddFile(L"bogus", 0));
        const auto labels = Labels(tree);
        EXPECT_TRUE(Has(labels, g_strLangAllDate + L"(3)"));
        EXPECT_TRUE(Has(labels, L"2017(2)"));
        EXPECT_TRUE(Has(labels, L"06.16(2)"));
        EXPECT_TRUE(Has(labels, L"12.24(1)"));
    }
    // A format that would read a third argument, or one with another
    // conversion, is not used.
    for (const wchar_t* hostile : {L"%s-%s-%s", L"%s%n%s", L"%d.%s", L"", L"%s"}) {
        g_strLangDateFormat = hostile;
        CTimeTreeCtrl tree;
        ASSERT_TRUE(tree.Create(m_owner, rc, 102) != NULL);
        EXPECT_TRUE(tree.AddFile(L"2017-06-16  14:10", 0));
        EXPECT_TRUE(Has(Labels(tree), L"06-16(1)")) << std::wstring(hostile).size();
    }
    // A very long month text is cut: the label stays bounded.
    g_strLangDateFormat = L"%s-%s";
    CTimeTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 102) != NULL);
    EXPECT_TRUE(tree.AddFile(L"2017-" + std::wstring(5000, L'7') + L"-16", 0));
    for (const std::wstring& l : Labels(tree))
        EXPECT_LE(l.size(), 270u);
}

TEST_F(TreeTest, CountLabelsInsideAnUpdateAreSetOnceAtItsEnd)
{
    const RECT rc = {0, 0, 200, 300};
    CTypeTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 103) != NULL);
    tree.AddFile(L"jpg", 0);
    tree.BeginUpdate();
    for (int i = 0; i < 499; ++i)
        tree.AddFile(i % 2 ? L"jpg" : L"png", 0);
    // Not yet relabelled: the counts of before.
    EXPECT_TRUE(Has(Labels(tree), L"jpg(1)"));
    tree.EndUpdate();
    const auto labels = Labels(tree);
    EXPECT_TRUE(Has(labels, g_strLangAllType + L"(500)"));
    EXPECT_TRUE(Has(labels, L"jpg(250)"));
    EXPECT_TRUE(Has(labels, L"png(250)"));
    EXPECT_TRUE(Has(labels, g_strLangPicture + L"(500)"));
    // Cleared inside an update: nothing pending is written to a freed node.
    tree.BeginUpdate();
    tree.AddFile(L"mp3", 0);
    tree.DeleteAllItems();
    tree.EndUpdate();
    EXPECT_TRUE(Labels(tree).empty());
}

// The child of parent (the top level for NULL) whose label is text.
HTREEITEM ChildOf(CCheckTreeCtrl& tree, HTREEITEM parent, const std::wstring& text)
{
    HWND h = tree.GetHwnd();
    for (HTREEITEM i = parent ? TreeView_GetChild(h, parent) : TreeView_GetRoot(h); i; i = TreeView_GetNextSibling(h, i))
        if (tree.GetItemText(i) == text)
            return i;
    return NULL;
}

// A click on a check box: the control toggles the box itself, the tree
// propagates the new state.
void ClickBox(CCheckTreeCtrl& tree, HTREEITEM item)
{
    const int state = tree.GetCheckState(item) ? 0 : 1;
    tree.SetClickedItem(item);
    tree.PropagateCheck(item, state);
    tree.SetCheckState(item, state);
}

TEST_F(TreeTest, CheckingPropagatesToTheSubtreeAndRecomputesTheAncestors)
{
    const RECT rc = {0, 0, 200, 300};
    CPathTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 101) != NULL);
    for (const wchar_t* p : {L"C:\\A\\B\\", L"C:\\A\\C\\", L"C:\\D\\"})
        ASSERT_TRUE(tree.AddFile(p, 0));
    HTREEITEM drive = ChildOf(tree, NULL, L"C:");
    HTREEITEM a = ChildOf(tree, drive, L"A"), d = ChildOf(tree, drive, L"D");
    HTREEITEM b = ChildOf(tree, a, L"B"), c = ChildOf(tree, a, L"C");
    ASSERT_TRUE(drive && a && b && c && d);
    auto states = [&] {
        std::wstring s;
        for (HTREEITEM i : {drive, a, b, c, d})
            s += tree.GetCheckState(i) ? L'1' : L'0';
        return s;
    };
    EXPECT_EQ(L"00000", states());
    // A parent is checked only once all its children are.
    ClickBox(tree, b);
    EXPECT_EQ(L"00100", states());
    ClickBox(tree, c);
    EXPECT_EQ(L"01110", states());
    ClickBox(tree, d);
    EXPECT_EQ(L"11111", states());
    // Unchecking a node unchecks every ancestor, and only them.
    ClickBox(tree, b);
    EXPECT_EQ(L"00011", states());
    // Checking a node checks its whole subtree.
    ClickBox(tree, a);
    EXPECT_EQ(L"11111", states());
    ClickBox(tree, drive);
    EXPECT_EQ(L"00000", states());
    // PropagateCheck leaves the item itself alone.
    tree.PropagateCheck(a, 1);
    EXPECT_EQ(L"00110", states());
}

TEST_F(TreeTest, FolderTreeListsCheckedFoldersWithTheirCheckedAncestors)
{
    const RECT rc = {0, 0, 200, 300};
    CPathTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 101) != NULL);
    for (const wchar_t* p : {L"C:\\A\\B\\", L"C:\\A\\C\\", L"C:\\"})
        ASSERT_TRUE(tree.AddFile(p, 0));
    HTREEITEM drive = ChildOf(tree, NULL, L"C:");
    HTREEITEM a = ChildOf(tree, drive, L"A");
    HTREEITEM b = ChildOf(tree, a, L"B"), c = ChildOf(tree, a, L"C");
    HTREEITEM root = ChildOf(tree, drive, g_strLangRootDir);
    ASSERT_TRUE(a && b && c && root);
    // The root-folder node is the drive's first child.
    EXPECT_EQ(root, TreeView_GetChild(tree.GetHwnd(), drive));
    std::vector<std::wstring> out;
    // Nothing checked: the one marker.
    tree.SetClickedItem(b);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"KORVANTIS_UNCHECKALL"}, out);
    // One folder: itself alone, not the partly checked folder above it.
    ClickBox(tree, b);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\A\\B\\"}, out);
    // Both: A is checked too and comes once, after its folders; never C:\.
    ClickBox(tree, c);
    ClickBox(tree, root);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    const std::vector<std::wstring> want = {L"C:\\" + g_strLangRootDir, L"C:\\A\\B\\", L"C:\\A\\",
                                            L"C:\\A\\C\\"};
    EXPECT_EQ(want, out);
    EXPECT_EQ(L"C:\\A\\B\\", tree.PathOf(b));
    std::wstring clicked;
    ASSERT_TRUE(tree.GetClickedPath(clicked));
    EXPECT_EQ(L"C:\\" + g_strLangRootDir, clicked);
    // The first top-level node clicked: the marker of its own state.
    tree.SetClickedItem(drive);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"KORVANTIS_CHECKALL"}, out);
    EXPECT_FALSE(tree.GetClickedPath(clicked));
}

TEST_F(TreeTest, DateTreeDayLabelsGiveTheirDatesBack)
{
    const RECT rc = {0, 0, 200, 300};
    // A month suffix and a day suffix, as the Chinese texts have.
    g_strLangDateFormat = L"%s\u6708%s\u65E5";
    CTimeTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 102) != NULL);
    for (const wchar_t* t : {L"2015-03-07  10:00", L"2015-03-09  11:00", L"2016-01-01  00:00", L"2015-03-07  23:59"})
        ASSERT_TRUE(tree.AddFile(t, 0));
    HTREEITEM all = ChildOf(tree, NULL, g_strLangAllDate + L"(4)");
    ASSERT_TRUE(all != NULL);
    HTREEITEM y2015 = ChildOf(tree, all, L"2015(3)"), y2016 = ChildOf(tree, all, L"2016(1)");
    ASSERT_TRUE(y2015 && y2016);
    HTREEITEM d7 = ChildOf(tree, y2015, L"03\u670807\u65E5(2)"), d9 = ChildOf(tree, y2015, L"03\u670809\u65E5(1)");
    HTREEITEM jan1 = ChildOf(tree, y2016, L"01\u670801\u65E5(1)");
    ASSERT_TRUE(d7 && d9 && jan1);
    std::wstring date;
    tree.SetClickedItem(d9);
    ASSERT_TRUE(tree.GetClickedDates(date));
    EXPECT_EQ(L"2015-03-09", date);
    tree.SetClickedItem(y2016);
    ASSERT_TRUE(tree.GetClickedDates(date));
    EXPECT_EQ(L"2016", date);
    // Checked days come back as the entries' own date texts.
    ClickBox(tree, d7);
    ClickBox(tree, jan1);
    std::vector<std::wstring> out;
    ASSERT_TRUE(tree.GetCheckedDates(out));
    EXPECT_EQ((std::vector<std::wstring>{L"2015-03-07", L"2016-01-01"}), out);
    // 2016 has one day: checking it checked the year, not the top.
    EXPECT_EQ(1, tree.GetCheckState(y2016));
    EXPECT_EQ(0, tree.GetCheckState(y2015));
    EXPECT_EQ(0, tree.GetCheckState(all));
    // One separator between the two texts gives the same dates.
    g_strLangDateFormat = L"%s/%s";
    CTimeTreeCtrl slash;
    ASSERT_TRUE(slash.Create(m_owner, rc, 102) != NULL);
    ASSERT_TRUE(slash.AddFile(L"2015-03-07  10:00", 0));
    HTREEITEM day = ChildOf(slash, ChildOf(slash, ChildOf(slash, NULL, g_strLangAllDate + L"(1)"), L"2015(1)"), L"03/07(1)");
    ASSERT_TRUE(day != NULL);
    slash.SetClickedItem(day);
    ASSERT_TRUE(slash.GetClickedDates(date));
    EXPECT_EQ(L"2015-03-07", date);
}

TEST_F(TreeTest, FolderTreeKnowsADriveWhateverTheCaseOfItsLetter)
{
    const RECT rc = {0, 0, 200, 300};
    CPathTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 101) != NULL);
    EXPECT_TRUE(tree.AddFile(L"c:\\docs\\letters\\", 0));
    EXPECT_TRUE(tree.AddFile(L"C:\\docs\\bills\\", 0));
    EXPECT_TRUE(tree.AddFile(L"C:\\", 0));
    const auto labels = Labels(tree);
    EXPECT_EQ(1, std::count(labels.begin(), labels.end(), L"C:"));
    EXPECT_EQ(1, std::count(labels.begin(), labels.end(), L"docs"));
    EXPECT_TRUE(Has(labels, L"letters"));
    EXPECT_TRUE(Has(labels, L"bills"));
    EXPECT_TRUE(Has(labels, g_strLangRootDir));
}

// A lost partition's paths have no drive ("\Photos\"): its folders keep
// the case the paths give them, under one root "\" whose first child holds
// the files of the partition's root folder; checked folders come back as
// those paths, never the root itself.
TEST_F(TreeTest, FolderTreeNamesALostPartitionsFoldersAsItsPathsSpellThem)
{
    const RECT rc = {0, 0, 200, 300};
    CPathTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 101) != NULL);
    for (const wchar_t* p : {L"\\Photos\\2019\\", L"\\Docs\\", L"\\", L"\\pics\\", L"\\"})
        ASSERT_TRUE(tree.AddFile(p, 0));
    HWND h = tree.GetHwnd();
    HTREEITEM top = ChildOf(tree, NULL, L"\\");
    ASSERT_TRUE(top != NULL);
    EXPECT_TRUE(TreeView_GetNextSibling(h, top) == NULL);
    HTREEITEM photos = ChildOf(tree, top, L"Photos"), docs = ChildOf(tree, top, L"Docs");
    HTREEITEM pics = ChildOf(tree, top, L"pics"), root = ChildOf(tree, top, g_strLangRootDir);
    HTREEITEM y2019 = ChildOf(tree, photos, L"2019");
    ASSERT_TRUE(photos && docs && pics && root && y2019);
    EXPECT_EQ(root, TreeView_GetChild(h, top));
    const auto labels = Labels(tree);
    EXPECT_EQ(6u, labels.size());
    for (const wchar_t* upper : {L"PHOTOS", L"DOCS", L"PICS"})
        EXPECT_FALSE(Has(labels, upper));
    EXPECT_EQ(L"\\Photos\\2019\\", tree.PathOf(y2019));
    EXPECT_EQ(L"\\pics\\", tree.PathOf(pics));
    EXPECT_EQ(L"\\" + g_strLangRootDir, tree.PathOf(root));
    ClickBox(tree, y2019);
    ClickBox(tree, root);
    std::vector<std::wstring> out;
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    const std::vector<std::wstring> want = {L"\\" + g_strLangRootDir, L"\\Photos\\2019\\", L"\\Photos\\"};
    EXPECT_EQ(want, out);
    // Its root clicked: the marker of the one top node.
    tree.SetClickedItem(top);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"KORVANTIS_UNCHECKALL"}, out);
}

// The recycle bins of two drives make two top nodes: the check-all box on
// the first (the node that shows every row) checks both, and the checked
// paths come from both, not from the first drive alone.
TEST_F(TreeTest, CheckingAllOfATreeOfSeveralDrivesTakesEveryDrive)
{
    const RECT rc = {0, 0, 200, 300};
    CPathTreeCtrl tree;
    ASSERT_TRUE(tree.Create(m_owner, rc, 101) != NULL);
    ASSERT_TRUE(tree.AddFile(L"P:\\A\\", 0));
    ASSERT_TRUE(tree.AddFile(L"Q:\\B\\", 0));
    HTREEITEM p = ChildOf(tree, NULL, L"P:"), q = ChildOf(tree, NULL, L"Q:");
    ASSERT_TRUE(p && q);
    ASSERT_EQ(p, TreeView_GetSelection(tree.GetHwnd()));
    tree.CheckSelectedNode(1);
    EXPECT_EQ(1, tree.GetCheckState(p));
    EXPECT_EQ(1, tree.GetCheckState(q));
    EXPECT_EQ(1, tree.GetCheckState(ChildOf(tree, q, L"B")));
    std::vector<std::wstring> out;
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ((std::vector<std::wstring>{L"P:\\A\\", L"Q:\\B\\"}), out);
    ClickBox(tree, ChildOf(tree, q, L"B"));
    tree.SetClickedItem(p);
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"P:\\A\\"}, out);
    tree.CheckSelectedNode(0);
    EXPECT_EQ(0, tree.GetCheckState(p));
    ASSERT_TRUE(tree.GetCheckedPaths(out));
    EXPECT_EQ(std::vector<std::wstring>{L"KORVANTIS_UNCHECKALL"}, out);
}

}  // namespace
