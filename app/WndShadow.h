// A soft drop shadow for a top-level window: a layered window of its own that
// follows the shadowed window, which it subclasses. Knows nothing of DuiLib.
#pragma once
#include <windows.h>

#include <cstdint>

class CWndShadow
{
public:
    CWndShadow();
    virtual ~CWndShadow();

    // Once at start-up: binds UpdateLayeredWindow and registers the shadow
    // window class. False when already done or when the system has no
    // layered windows (then no shadow is ever made).
    static bool Initialize(HINSTANCE hInstance);
    // Whether Initialize succeeded (tests and callers that want to know).
    static bool IsAvailable();
    // Whether the system composes layered windows over what lies below
    // them. Where it does not (an X display without a compositor under
    // Wine), a shadow would be painted as an opaque dark rectangle, so none
    // is made. Asked of the desktop window manager where there is one; a
    // system without one (before Vista) draws layered windows itself.
    static bool IsComposited();
    // Tests: 1 or 0 forces the answer of IsComposited, -1 asks the system.
    static void SetCompositionOverride(int composited);

    // Makes the shadow window for parent and subclasses parent.
    void Create(HWND hParentWnd);

    // Each refuses (false, nothing changed) a value out of range and redraws
    // at once while the shadow is visible.
    bool SetSize(int NewSize = 0);            // -20..20
    bool SetSharpness(unsigned int NewSharpness = 5);  // 0..20
    bool SetDarkness(unsigned int NewDarkness = 200);  // 0..255
    bool SetPosition(int NewXOffset = 5, int NewYOffset = 5);  // each -20..20
    bool SetColor(COLORREF NewColor = 0);

    // Renders the shadow for the parent's current shape and places it.
    void Update(HWND hParent);

    // Draws the shadow of parent (rcParent its window rectangle) into a
    // zeroed 32-bit bottom-up bitmap of the shadow's size.
    void MakeShadow(uint32_t* pShadBits, HWND hParent, const RECT* rcParent);

    // alpha << 24 | colour premultiplied by alpha (0xAARRGGBB).
    static uint32_t PreMultiply(COLORREF cl, unsigned char nAlpha);

    HWND GetShadowWindow() const { return m_hWnd; }
    uint8_t GetStatus() const { return m_Status; }
    int GetSize() const { return m_nSize; }
    int GetSharpness() const { return m_nSharpness; }
    int GetDarkness() const { return m_nDarkness; }
    int GetXOffset() const { return m_nxOffset; }
    int GetYOffset() const { return m_nyOffset; }
    COLORREF GetColor() const { return m_Color; }

    enum
    {
        SS_ENABLED = 1,        // a shadow window exists
        SS_VISABLE = 1 << 1,   // the shadow is shown
        SS_PARENTVISIBLE = 1 << 2,
    };

private:
    CWndShadow(const CWndShadow&);
    CWndShadow& operator=(const CWndShadow&);

    static LRESULT CALLBACK ParentProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    void RedrawIfVisible();
    // Shows the shadow (when show) and puts it right below its window in
    // the z-order, never over it.
    void PlaceBelow(HWND hParent, bool show);

    HWND m_hWnd;
    WNDPROC m_OriParentProc;
    uint8_t m_Status;
    unsigned char m_nDarkness;
    unsigned char m_nSharpness;
    signed char m_nSize;
    signed char m_nxOffset;
    signed char m_nyOffset;
    LPARAM m_WndSize;
    bool m_bUpdate;
    COLORREF m_Color;
    // The shadowed window. The shadow is owned by that window's owner, not
    // by the window itself: an owned window always lies above its owner,
    // and the shadow has to lie below.
    HWND m_hParent;
};
