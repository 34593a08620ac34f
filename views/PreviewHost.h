// The one way from the result page to the preview of a finding: the preview
// window, the media player and the reader of a finding's bytes. The window
// layer calls these through PreviewHost(); the program's own host opens the
// preview windows, and tests may install another.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <string>

class CFoundItem;
class CVolumeInfo;
class CFormatPluginRegistry;
class IMainFrameServices;
class ILostPartitionSource;
struct DeepScanHit;

// One finding and what reads it.
struct PreviewTarget
{
    HWND owner = NULL;                       // the main window
    CFoundItem* item = nullptr;              // a file-system entry, or
    DeepScanHit* hit = nullptr;              // a carved hit (scan kind 1)
    CVolumeInfo* volume = nullptr;           // the volume of the entry (may be null in kind 4)
    const ILostPartitionSource* lost = nullptr;  // the lost partition (scan kind 4)
    int scanKind = 0;
    int mediaClass = 2;                      // 1 video, 0 audio, 2 not a media file
    std::wstring extension;                  // lower case, without the dot
    HANDLE device = NULL;                    // carved hits: the scanned device or image
    int targetKind = 1;                      // 0 image file, else device
    CFormatPluginRegistry* registry = nullptr;
    IMainFrameServices* frame = nullptr;
};

class IPreviewHost
{
public:
    virtual ~IPreviewHost() {}
    // The preview window, modal over target.owner.
    virtual void ShowPreviewWindow(const PreviewTarget& target) = 0;
    // The media player, modal; 1 when it asks for the preview again.
    virtual int ShowMediaPlayer(const PreviewTarget& target) = 0;
    // A stream over a file-system entry's bytes (at most cap; 0 all), that
    // the caller rewinds and releases; null on failure. May be called from
    // the thumbnail worker's thread.
    virtual IStream* OpenEntryStream(const PreviewTarget& target, uint64_t cap) = 0;
};

IPreviewHost& PreviewHost();
// Installs a host (null restores the program's own); returns the previous one.
IPreviewHost* SetPreviewHost(IPreviewHost* host);
