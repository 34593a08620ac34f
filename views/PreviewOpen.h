// How the main window opens the preview of one result entry: the media
// player for audio and video, the preview window for everything else.
#pragma once
#include <windows.h>

#include <string>

#include "views/PreviewContent.h"

class CFoundItem;
class CVolumeInfo;
class CFormatPluginRegistry;
class IMainFrameServices;
struct DeepScanHit;

// One entry of the result: a file-system entry (item, its volume or null,
// the scan context) or a carved hit (hit, the scan's device handle and
// whether that is a device rather than an image file).
struct PreviewEntry
{
    int scanKind = 0;
    CFoundItem* item = nullptr;
    CVolumeInfo* volume = nullptr;
    const void* extra = nullptr;
    const DeepScanHit* hit = nullptr;
    HANDLE device = INVALID_HANDLE_VALUE;
    int sourceIsDevice = 0;
};

// The media class of an extension (any case, with or without its dot):
// 0 audio, 1 video, 2 anything else.
int MediaClassOfExtension(const std::wstring& extension);

// The entry's extension without its dot, in the case of its name.
std::wstring PreviewEntryExtension(const PreviewEntry& entry);

// Whether a path lies on what the frame's scan reads: the scanned volume,
// or any volume of the scanned disk. No preview writes a file there.
ScannedPathCheck MakeScannedPathCheck(IMainFrameServices* frame, const PreviewEntry& entry);

// Shows the entry modally over owner: the player when mediaClass is 0 or 1,
// the preview window otherwise. True when the player asks for the entry to
// be opened again (its decoder was installed).
bool ShowEntryPreview(HWND owner, IMainFrameServices* frame, const PreviewEntry& entry, int mediaClass);
