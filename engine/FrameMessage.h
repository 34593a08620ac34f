// Where the engine's workers post their messages: the frame's window (or the
// scan controller's message sink that stands in for it), and a dialog's
// window (or a sink that stands in for a window-less dialog).
#pragma once
#include <windows.h>

class IMainFrameServices;

// Posts to the frame the way the scan controller does. False when nothing
// took it: the caller still owns what it carries.
bool PostFrameMessage(IMainFrameServices* frame, UINT message, WPARAM wParam, LPARAM lParam);

typedef void (*DialogMessageSink)(void* context, UINT message, WPARAM wParam, LPARAM lParam);

struct DialogTarget
{
    HWND window;
    DialogMessageSink sink;
    void* context;

    DialogTarget(HWND w = nullptr) : window(w), sink(nullptr), context(nullptr) {}
    DialogTarget(DialogMessageSink s, void* c) : window(nullptr), sink(s), context(c) {}
    bool IsSet() const { return window || sink; }
    // False when nothing took it (then the caller owns what it carries).
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) const
    {
        if (sink)
        {
            sink(context, message, wParam, lParam);
            return true;
        }
        return window && PostMessageW(window, message, wParam, lParam);
    }
};
