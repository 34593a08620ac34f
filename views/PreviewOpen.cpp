#include "views/PreviewOpen.h"

#include <cwctype>

#include "engine/DeepScanEngine.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"
#include "storage/VolumeList.h"
#include "views/MediaPlayerWnd.h"
#include "views/PreViewWindow.h"

namespace {
const wchar_t* const kVideo[] = {L"avi", L"mov", L"mp4", L"wmv", L"rm",   L"mkv",  L"3gp",
                                 L"swf", L"mpg", L"rmvb", L"m2ts", L"webm", L"m4v"};
const wchar_t* const kAudio[] = {L"mp3", L"wav", L"wma", L"pcm", L"aif", L"au",  L"wv",
                                 L"mp2", L"amr", L"flac", L"ape", L"ac3", L"mmf"};

// The root of the volume that holds path ("X:\", or the folder a volume is
// mounted on), upper case; empty when the system does not say.
std::wstring VolumeRootOf(const std::wstring& path)
{
    wchar_t root[MAX_PATH + 1] = {};
    if (path.empty() || !GetVolumePathNameW(path.c_str(), root, MAX_PATH))
        return std::wstring();
    std::wstring r = root;
    for (wchar_t& c : r)
        c = (wchar_t)towupper(c);
    return r;
}

// What names a volume whichever folder it is reached through: its volume
// name where the system has one, else its root.
std::wstring VolumeIdOf(const std::wstring& root)
{
    wchar_t name[MAX_PATH] = {};
    if (!root.empty() && GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH))
        return name;
    return root;
}
}  // namespace

int MediaClassOfExtension(const std::wstring& extension)
{
    std::wstring ext = extension;
    if (!ext.empty() && ext[0] == L'.')
        ext.erase(0, 1);
    for (wchar_t& c : ext)
        if (c >= L'A' && c <= L'Z')
            c = c - L'A' + L'a';
    for (const wchar_t* e : kVideo)
        if (ext == e)
            return 1;
    for (const wchar_t* e : kAudio)
        if (ext == e)
            return 0;
    return 2;
}

std::wstring PreviewEntryExtension(const PreviewEntry& entry)
{
    PreviewRequest request;
    if (entry.scanKind == 1)
        request.InitCarved(entry.hit, entry.device, entry.sourceIsDevice, entry.scanKind);
    else
        request.Init(entry.volume, entry.extra, entry.item, entry.scanKind, NULL);
    std::wstring ext = request.GetExtension();
    if (!ext.empty() && ext[0] == L'.')
        ext.erase(0, 1);
    return ext;
}

ScannedPathCheck MakeScannedPathCheck(IMainFrameServices* frame, const PreviewEntry& entry)
{
    std::wstring scannedRoot;
    int diskNumber = -1;
    if (entry.volume)
        scannedRoot = entry.volume->m_strRoot;
    if (frame) {
        if (scannedRoot.empty())
            scannedRoot = frame->GetSelectedVolumeRoot();
        CScanDiskDlg* dlg = frame->GetScanDiskDlg();
        if (dlg && dlg->GetTargetKind() == SCAN_TARGET_DISK)
            diskNumber = dlg->GetDiskNumber();
    }
    for (wchar_t& c : scannedRoot)
        c = (wchar_t)towupper(c);
    const std::wstring scannedId = scannedRoot.empty() ? std::wstring() : VolumeIdOf(scannedRoot);
    return [scannedRoot, scannedId, diskNumber](const std::wstring& path) {
        const std::wstring root = VolumeRootOf(path);
        if (root.empty())
            return true;  // unknown: the safe answer
        if (!scannedRoot.empty() && (root == scannedRoot || VolumeIdOf(root) == scannedId))
            return true;
        if (diskNumber >= 0 && root.size() >= 2) {
            VolumeDiskEntry entry = {};
            if (GetVolumeDiskNumber(root[0], &entry) && (int)entry.diskNumber == diskNumber)
                return true;
        }
        return false;
    };
}

bool ShowEntryPreview(HWND owner, IMainFrameServices* frame, const PreviewEntry& entry, int mediaClass)
{
    if (entry.scanKind == 1 ? !entry.hit : !entry.item)
        return false;
    CFormatPluginRegistry* registry = frame ? frame->GetPluginRegistry() : NULL;
    if (mediaClass == 0 || mediaClass == 1) {
        CMediaPlayerWnd* player = new CMediaPlayerWnd;
        const std::wstring ext = PreviewEntryExtension(entry);
        if (entry.scanKind == 1)
            player->SetCarvedItem(entry.device, entry.hit, entry.scanKind, mediaClass, ext, entry.sourceIsDevice);
        else
            player->SetFileItem(entry.item, entry.volume, entry.scanKind, mediaClass, ext, frame, entry.extra);
        player->RunModal(owner);
        const bool reopen = player->GetReopen() == 1;
        delete player;
        return reopen;
    }
    CPreViewWindow* preview = new CPreViewWindow;
    if (entry.scanKind == 1)
        preview->SetCarvedItem(entry.device, entry.hit, entry.scanKind, registry, entry.sourceIsDevice);
    else
        preview->SetFileItem(entry.item, entry.volume, entry.scanKind, registry, frame, entry.extra);
    preview->SetScannedPathCheck(MakeScannedPathCheck(frame, entry));
    preview->RunModal(owner);
    delete preview;
    return false;
}
