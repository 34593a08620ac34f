// One file found by a file-system walk: a deleted file still described by
// NTFS, FAT or exFAT metadata, a live file inside a deleted or lost folder,
// or a file in a recycle bin. Walkers create it on the heap and hand it to
// the main frame, which keeps it (or deletes it at once), lists it, recovers
// it and stores it in scan-result files as a FoundItemRecord.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/FolderPath.h"

// The stored form of a found entry: 1,588 bytes, little-endian, packed.
#pragma pack(push, 1)
struct FoundItemRecord
{
    wchar_t szName[260];   // zero-terminated, rest zero
    wchar_t szPath[260];   // GetPath(): the previous path when set, else the path
    wchar_t szTime[260];   // "%04d-%02d-%02d  %02d:%02d" or empty
    uint64_t u64Size;
    uint64_t u64FileRef;   // NTFS record number; 0 on FAT and exFAT
    uint32_t uFirstCluster;
    uint32_t bContiguous;
    int32_t nPercent;      // -1 unknown
};
#pragma pack(pop)
static_assert(sizeof(wchar_t) == 2, "records hold UTF-16 units");
static_assert(sizeof(FoundItemRecord) == 1588, "FoundItemRecord is 1,588 bytes");
static_assert(offsetof(FoundItemRecord, szPath) == 520, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, szTime) == 1040, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, u64Size) == 1560, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, u64FileRef) == 1568, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, uFirstCluster) == 1576, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, bContiguous) == 1580, "FoundItemRecord layout");
static_assert(offsetof(FoundItemRecord, nPercent) == 1584, "FoundItemRecord layout");

class CFoundItem
{
public:
    CFoundItem(const wchar_t* name, const wchar_t* path, const wchar_t* timeText, uint64_t size,
               uint64_t fileRef);
    // The same, in a folder that other entries (and the folders below it)
    // share: a walk makes each folder's path once.
    CFoundItem(const wchar_t* name, const CFolderPath::Ptr& folder, const wchar_t* timeText, uint64_t size,
               uint64_t fileRef);

    // Remembers the current path (when there is one) as the previous path,
    // then takes the new one.
    void SetPath(const wchar_t* path);
    // The previous path when one is set, else the path: what is stored.
    const std::wstring& GetPath() const;
    const std::wstring& GetCurrentPath() const;
    // The folders behind GetPath() and GetCurrentPath() (null when empty).
    const CFolderPath::Ptr& GetPathFolder() const { return HasPrevPath() ? m_pPrevPath : m_pPath; }
    const CFolderPath::Ptr& GetCurrentFolder() const { return m_pPath; }
    // The volume letter of GetPath() (0 when it is empty).
    wchar_t GetDriveLetter() const;

    // "%d%%", or the "UnknowPer" text for -1.
    void SetRecoverability(int percent);
    void SetSizeText(uint64_t size);
    std::wstring GetSizeText() const { return m_strSize; }

    // Fills out as stored; 0 for a null out, else 1. Texts longer than 259
    // characters are cut, never written past their field.
    int ToRecord(FoundItemRecord* out) const;

    std::wstring m_strName;
    std::wstring m_strTime;
    std::wstring m_strSize;
    std::wstring m_strPercent;
    uint64_t m_u64Size;
    uint64_t m_u64FileRef;
    int m_nPercent;
    uint32_t m_uFirstCluster;
    uint32_t m_bContiguous;
    // Not stored: the file system marks the entry itself deleted (not only
    // a folder above it). For listings and tools.
    bool m_bDeleted;
    // Not stored: checked for recovery in the result views.
    bool m_bChecked = false;

private:
    bool HasPrevPath() const { return m_pPrevPath && !m_pPrevPath->Empty(); }

    // The folder path as last set, and the one it had before (null when none).
    CFolderPath::Ptr m_pPath;
    CFolderPath::Ptr m_pPrevPath;
};
