// A file-type plug-in for the preview tests: it claims drawings (the CAD
// format) and makes both a preview picture and a preview text, the text
// naming the extension it found in the buffer on entry.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "plugins/common/PluginContract.h"

extern "C" {
__declspec(dllexport) int32_t IsFileSigSimple = 1;
__declspec(dllexport) int32_t CanGetFileLenImmediately = 0;
__declspec(dllexport) int32_t HasThumbnail = 1;
__declspec(dllexport) int32_t HasThumbnailBitmap = 1;

__declspec(dllexport) int GetSupportFormat(char* name)
{
    strncpy(name, "FILE_TYPE_CAD", FORMAT_NAME_SIZE - 1);
    return 1;
}
__declspec(dllexport) int GetFileSign(void*)
{
    return 0;
}
__declspec(dllexport) int64_t GetFileSizeAtOnce(const unsigned char*)
{
    return 0;
}
__declspec(dllexport) int GetRawFileInfo(void*, void*)
{
    return 0;
}
__declspec(dllexport) int GetPreviewBitmap(const void* data, int64_t size, HBITMAP* bitmap, int* w, int* h)
{
    if (!data || size <= 0 || !bitmap)
        return 0;
    HDC screen = GetDC(NULL);
    HBITMAP bmp = CreateCompatibleBitmap(screen, 120, 80);
    HDC mem = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(mem, bmp);
    RECT rc = {0, 0, 120, 80};
    HBRUSH brush = CreateSolidBrush(RGB(0x30, 0xA0, 0x50));
    FillRect(mem, &rc, brush);
    DeleteObject(brush);
    SelectObject(mem, old);
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    *bitmap = bmp;
    if (w)
        *w = 120;
    if (h)
        *h = 80;
    return 1;
}
__declspec(dllexport) int GetPreviewText(const void* data, int64_t size, char* text, int capacity)
{
    if (!data || !text || capacity < 64)
        return 0;
    char ext[24] = {};
    strncpy(ext, text, sizeof(ext) - 1);
    snprintf(text, capacity, "Stub plug-in text: %lld bytes, extension %s", (long long)size, ext);
    return 1;
}
__declspec(dllexport) int GetThumbnailBitmap(void*, int64_t, HBITMAP*, int*, int*)
{
    return 0;
}
__declspec(dllexport) int GetThumbnailText(void*, int64_t, char*, int)
{
    return 0;
}
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
