// The animated picture shown in the middle of the main window while a scan
// starts: a child window that plays a GIF resource of the program. Frames
// advance on a window timer, so no thread shares its drawing.
#pragma once
#include <windows.h>

#include <vector>

namespace Gdiplus {
class Image;
}

class CBusyAnimation
{
public:
    CBusyAnimation();
    ~CBusyAnimation();

    // A hidden child of parent playing the GIF resource (type "GIF") of module.
    bool Create(HWND parent, HMODULE module, int resourceId, COLORREF background);
    void Destroy();
    void Show(bool visible);
    void Start();
    void Pause();
    void MoveTo(int x, int y, int w, int h);
    bool IsVisible() const;
    bool IsPlaying() const { return m_bPlaying; }
    HWND GetWindow() const { return m_hWnd; }
    int GetFrameCount() const { return (int)m_Delays.size(); }

private:
    CBusyAnimation(const CBusyAnimation&);
    CBusyAnimation& operator=(const CBusyAnimation&);
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    void Paint(HDC dc);
    void NextFrame();

    HWND m_hWnd;
    Gdiplus::Image* m_pImage;
    IStream* m_pStream;
    std::vector<UINT> m_Delays;  // ms per frame
    UINT m_nFrame;
    bool m_bPlaying;
    COLORREF m_Background;
};
