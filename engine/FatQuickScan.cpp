// Quick scans of FAT16, FAT32 and exFAT volumes: the folder tree from the
// root (or from a folder) through the walker cores, listing deleted files
// and the files of deleted folders.
#include <windows.h>

#include "engine/ExFatDirWalker.h"
#include "engine/FatDirWalker.h"
#include "engine/ScanDiskDlg.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"

namespace
{
const char kFat32InvalidKey[] = "RkFUMzJJbnZhbGlk";  // "FAT32Invalid"
const char kFatInvalidKey[] = "RkFUSW52YWxpZA==";    // "FATInvalid"
const char kExFatInvalidKey[] = "ZXhGQVRJbnZhbGlk";  // "exFATInvalid"

std::wstring FolderPath(const wchar_t* filter)
{
    std::wstring path = filter;
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return path;
}
}  // namespace

DWORD CScanDiskDlg::FAT32LookupDirectory(CFAT32Volume* volume, const wchar_t* path)
{
    if (!volume || !volume->IsValid())
        return (DWORD)-1;
    CFat32DirVolume view(*volume);
    CIdleWalkHost idle;
    FatWalkOptions options;
    CFatDirWalker walker(view, idle, options);
    uint32_t cluster = walker.LookupDirectory(path);
    return cluster ? cluster : (DWORD)-1;
}

DWORD CScanDiskDlg::FAT16LookupDirectory(CFATVolume* volume, const wchar_t* path)
{
    if (!volume || !volume->IsValid())
        return 0xFFFF;
    CFat16DirVolume view(*volume);
    CIdleWalkHost idle;
    FatWalkOptions options;
    CFatDirWalker walker(view, idle, options);
    uint32_t cluster = walker.LookupDirectory(path);
    return cluster ? cluster : 0xFFFF;
}

DWORD CScanDiskDlg::ExFATLookupDirectory(CExFATVolume* volume, const wchar_t* path, bool* deleted,
                                         unsigned __int64* length, bool* noFatChain)
{
    if (!volume || !volume->IsValid())
        return (DWORD)-1;
    CIdleWalkHost idle;
    ExFatWalkOptions options;
    CExFatDirWalker walker(*volume, idle, options);
    uint32_t cluster = walker.LookupDirectory(path, deleted, length, noFatChain);
    return cluster ? cluster : (DWORD)-1;
}

template <class Volume, class View>
bool CScanDiskDlg::FatQuickScan(const wchar_t* folderFilter, const char* invalidKey)
{
    Volume volume(SelectedDriveLetter());
    if (!volume.IsValid())
    {
        ReportOpenFailure(invalidKey);
        return false;
    }
    View view(volume);
    FatWalkOptions options;
    options.root = SelectedRoot();
    CFatDirWalker walker(view, m_walkHost, options);
    if (folderFilter && *folderFilter)
    {
        bool deleted = false;
        const uint32_t start = walker.LookupDirectory(folderFilter, &deleted);
        if (start && volume.IsValidCluster(start))
        {
            walker.WalkFolder(start, FolderPath(folderFilter), deleted);
            return true;
        }
        if (m_bFolderRequired)
            return false;
    }
    walker.WalkRoot();
    return true;
}

bool CScanDiskDlg::FAT32QuickScan(const wchar_t* folderFilter)
{
    return FatQuickScan<CFAT32Volume, CFat32DirVolume>(folderFilter, kFat32InvalidKey);
}

bool CScanDiskDlg::FAT16QuickScan(const wchar_t* folderFilter)
{
    return FatQuickScan<CFATVolume, CFat16DirVolume>(folderFilter, kFatInvalidKey);
}

bool CScanDiskDlg::ExFATQuickScan(const wchar_t* folderFilter)
{
    CExFATVolume volume(SelectedDriveLetter());
    if (!volume.IsValid())
    {
        ReportOpenFailure(kExFatInvalidKey);
        return false;
    }
    ExFatWalkOptions options;
    options.root = SelectedRoot();
    CExFatDirWalker walker(volume, m_walkHost, options);
    if (folderFilter && *folderFilter)
    {
        bool deleted = false, noChain = false;
        uint64_t length = 0;
        const uint32_t start = walker.LookupDirectory(folderFilter, &deleted, &length, &noChain);
        if (start && volume.IsValidCluster(start))
        {
            walker.WalkFolder(start, FolderPath(folderFilter), deleted, length, noChain);
            return true;
        }
        if (m_bFolderRequired)
            return false;
    }
    walker.WalkRoot();
    return true;
}
