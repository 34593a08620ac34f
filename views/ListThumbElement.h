// One entry of the result list: a row with a check box, a recoverability
// mark and the columns name, size, folder, time and preview (list view), or
// a 150 by 142 tile with a thumbnail, a check box and the name (thumbnail
// view), chosen by the "ViewMode" setting at every paint. Thumbnails are kept
// only as zlib-compressed packed DIBs, inflated for each paint.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/DuiLibInc.h"

// Content states of a tile.
enum ThumbState
{
    THUMB_NONE = 0,    // nothing yet: "creating preview"
    THUMB_TEXT = 1,    // the element's text
    THUMB_BITMAP = 2,  // the compressed picture
    THUMB_MEDIA = 3,   // a media file: the play sign, never a thumbnail
};

class CListThumbElementUI : public DuiLib::CListElementUI
{
public:
    explicit CListThumbElementUI(CPaintManagerUI* manager);
    ~CListThumbElementUI() override;

    LPCTSTR GetClass() const override { return L"ListThumbElementUI"; }
    LPVOID GetInterface(LPCTSTR name) override;
    void DoEvent(DuiLib::TEventUI& event) override;
    bool DoPaint(HDC hDC, const RECT& rcPaint, CControlUI* pStopControl) override;
    void DrawItemText(HDC, const RECT&) override {}

    // Takes the bitmap in every case: kept compressed with its extent as
    // the image rectangle, then deleted. Nothing for no bitmap.
    void SetThumbnail(HBITMAP bitmap, int width, int height);
    bool HasThumbnail() const { return m_hCompressed != NULL; }
    void SetCheck(bool checked);
    bool GetCheck() const { return m_bChecked != 0; }
    uint8_t GetState() const { return m_nState; }
    void SetState(uint8_t state) { m_nState = state; }
    const RECT& GetImageRect() const { return m_rcImage; }

    // Visibility and size without asking the list for a new layout each
    // time: callers that change many tiles lay the list out once.
    void SetVisibleQuiet(bool visible);
    void SetSizeQuiet(int width, int height);

    // The compressed picture: zlib stream of a packed DIB, or the DIB stored
    // as it is when it does not get smaller. Null on failure (no picture).
    bool CompressDib(HGLOBAL dib);
    // A new block with the packed DIB; null when there is none or it cannot
    // be inflated to its full size (never a half-filled block).
    HGLOBAL DecompressDib() const;
    uint32_t GetUncompressedSize() const { return m_uUncompressedSize; }
    uint32_t GetCompressedSize() const { return m_uCompressedSize; }
    bool IsStoredUncompressed() const { return m_bStored; }

    // The entry's texts as the tile shows them (a carved hit's name from its
    // 8-bit text); the recoverability percentage (90 for a carved hit).
    std::wstring EntryName() const;
    int EntryPercent() const;

    // Areas of the tile in the current view mode (window coordinates).
    RECT PreviewArea() const;
    RECT CheckBoxArea() const;
    // Where list view writes the text of a column (0 name, 1 size, 2 folder,
    // 3 modified) in a row: the column less the list's text padding and,
    // in the name column, the check box and the recoverability mark.
    static RECT ColumnTextArea(const DuiLib::TListInfoUI& info, int column, const RECT& row);

private:
    void FreeThumbnail();
    int TextFont() const;
    void PaintThumbView(HDC hDC);
    void PaintListView(HDC hDC);
    void PaintThumbnail(HDC hDC, const RECT& area);
    void DrawSkinImage(HDC hDC, const RECT& rcPaint, const wchar_t* image);

    HGLOBAL m_hCompressed;
    uint32_t m_uUncompressedSize;
    uint32_t m_uCompressedSize;
    RECT m_rcImage;
    uint8_t m_nState;
    uint8_t m_bChecked;
    bool m_bStored;
    RECT m_rcPaintNow;
};

// True when the thumbnail view is chosen ("ViewMode" 0).
bool IsThumbnailView();
