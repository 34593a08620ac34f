// The preview dialog: one result entry shown before it is recovered, as a
// picture, the start of a text, what a file-type plug-in makes of it, the
// shell's own preview handler for its type, or a page that says it cannot
// be previewed and offers a hex view of its first bytes. Pages of "tabView":
// 0 empty, 1 not supported, 2 the painting control, 3 hex view, 4 damaged.
#pragma once
#include <cstdint>
#include <string>

#include "app/WindowImplBaseShw.h"
#include "views/PictureExWnd.h"
#include "views/PreviewContent.h"

namespace Gdiplus {
class Bitmap;
}

class CFoundItem;
class CVolumeInfo;
class CFormatPluginRegistry;
class IMainFrameServices;
struct DeepScanHit;
class CPreViewWindow;

class CPreViewCtrl : public DuiLib::CLabelUI
{
public:
    explicit CPreViewCtrl(CPreViewWindow* owner);
    virtual ~CPreViewCtrl();
    virtual bool DoPaint(HDC hDC, const RECT& rcPaint, CControlUI* pStopControl);
    // The control fills its page (a label would take one line of text).
    virtual SIZE EstimateSize(SIZE szAvailable);

    // Where a picture of w by h is drawn inside area: at its size, centred,
    // when it fits, else scaled down keeping its shape.
    static RECT FitPicture(const RECT& area, int w, int h);

private:
    void PaintImage(HDC dc, const RECT& area);
    void PaintText(HDC dc, const RECT& area);
    void PaintPlugin(HDC dc, const RECT& area);

    CPreViewWindow* m_pOwner;
    HFONT m_hFont;
    BYTE m_bOwnsFont;
};

class CPreViewWindow : public CSkinDialog, public ICarvedHitOwner
{
public:
    enum Page
    {
        PAGE_EMPTY = 0,
        PAGE_NOT_SUPPORTED = 1,
        PAGE_PAINT = 2,
        PAGE_HEX = 3,
        PAGE_BROKEN = 4,
    };

    CPreViewWindow();

    // A file-system entry (nothing when item is null).
    void SetFileItem(CFoundItem* item, CVolumeInfo* volume, int scanKind, CFormatPluginRegistry* registry,
                     IMainFrameServices* frame, const void* extra);
    // A carved hit (nothing when hit is null).
    void SetCarvedItem(HANDLE device, const DeepScanHit* hit, int scanKind, CFormatPluginRegistry* registry,
                       int sourceIsDevice);
    // A plain file of a readable file system.
    void SetPlainFile(const std::wstring& path, CFormatPluginRegistry* registry);
    // Whether a path lies on what is scanned: no exchange file is written there.
    void SetScannedPathCheck(const ScannedPathCheck& check) { m_ScannedCheck = check; }

    // Creates the window over owner, centres it and runs it modally; the
    // caller deletes the object once this has returned.
    UINT RunModal(HWND owner);

    // ICarvedHitOwner
    const DeepScanHit* GetCarvedHit() const override { return m_pCarvedHit; }
    HANDLE GetDeviceHandle() const override { return m_hDevice; }
    int IsSourceDevice() const override { return m_bSourceIsDevice; }

    // DuiLib window ("DelvaroDlg", style 0x80B, closing destroys it)
    virtual void InitWindow();
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual CControlUI* CreateControl(LPCTSTR pstrClass);
    virtual void Notify(TNotifyUI& msg);

    // Shows and starts the loading animation, or stops and hides it.
    void ShowLoading(bool show);
    void SelectPage(int page);
    int GetPage();

    // State for the painting control and tests.
    IStream* GetStream() const { return m_pStream; }
    bool IsShowImage() const { return m_bShowImage != 0; }
    bool IsShowText() const { return m_bShowText != 0; }
    bool IsShowHandler() const { return m_bShowHandler != 0; }
    bool IsShowPlugin() const { return m_nShowPlugin != 0; }
    bool IsLoaded() const { return m_bLoaded; }
    bool IsTooLarge() const { return m_bTooLarge; }
    const std::wstring& GetExtension() const { return m_strExtension; }
    Gdiplus::Bitmap* GetImage() const { return m_pImage; }
    Gdiplus::Bitmap* GetPluginImage() const { return m_pPluginImage; }
    const std::wstring& GetPluginText() const { return m_strPluginText; }
    const std::wstring& GetTextPreview() const { return m_strText; }
    HWND GetHandlerWindow() const { return m_hHandlerWindow; }
    PreviewHandlerHost& GetHandlerHost() { return m_HandlerHost; }
    PreviewExchangeFile& GetExchangeFile() { return m_ExchangeFile; }
    CPictureExWnd& GetLoadingAnimation() { return m_LoadingAnimation; }
    // Shows the shell handler in the handler window over its client area,
    // creating it on the first call only. 0 on success.
    HRESULT ShowHandler();

    virtual ~CPreViewWindow();

private:
    void OnWindowInit();
    void LoadPreview();
    void FillHexView();
    bool DecodeImage();
    bool RunPlugin();
    void ReleaseContent();
    // The entry's own size in bytes (0 when unknown).
    uint64_t EntrySize() const;
    // Page 1 saying the picture is too large to preview.
    void ShowTooLarge();
    // Fixed-pitch font and widths of the hex view's two columns.
    void SizeHexColumns();
    void SetControlFixedWidth(const wchar_t* name, int width)
    {
        if (CControlUI* c = FindControl(name))
            c->SetFixedWidth(width);
    }
    // Font of the hex view ("{f 5}"), the gap after each byte ("{x 4}") and
    // room for the text's own padding.
    enum { kHexFont = 5, kHexGap = 4, kHexSlack = 8 };

    IStream* m_pStream;
    BYTE m_bShowImage;
    BYTE m_bShowText;
    BYTE m_bShowHandler;
    int m_nShowPlugin;
    bool m_bPluginReadsText = false;  // the plug-in bound for the entry has a text entry
    int m_bSourceIsDevice;
    HWND m_hHandlerWindow;
    HANDLE m_hDevice;
    std::wstring m_strExtension;
    const DeepScanHit* m_pCarvedHit;
    CFormatPluginRegistry* m_pPluginRegistry;
    PreviewHandlerHost m_HandlerHost;
    CPictureExWnd m_LoadingAnimation;
    CFoundItem* m_pItem;
    CVolumeInfo* m_pVolume;
    const void* m_pExtra;
    int m_nScanKind;
    IMainFrameServices* m_pOwnerFrame;
    PreviewExchangeFile m_ExchangeFile;

    std::wstring m_strPlainFile;
    ScannedPathCheck m_ScannedCheck;
    bool m_bLoaded;
    bool m_bTooLarge;
    bool m_bHandlerTried;
    HRESULT m_hrHandler;
    // What the load decoded once, drawn by every paint.
    Gdiplus::Bitmap* m_pImage;
    Gdiplus::Bitmap* m_pPluginImage;
    HBITMAP m_hPluginBitmap;
    std::wstring m_strPluginText;
    std::wstring m_strText;
};
