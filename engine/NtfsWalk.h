// Pieces the NTFS walks share (the quick scan, the formatted scan and the
// found-partition scan): MFT records read a batch at a time, the folders on
// a record's way up to the root, and the time text of a record.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/FolderPath.h"

#include "storage/fs/NTFSFileRecord.h"

class CNTFSVolume;
class CDeviceProbe;
class IScanWalkHost;

namespace ntfswalk
{
const ULONGLONG kRecordMask = 0x0000FFFFFFFFFFFFull;  // 48-bit record number of a reference
const ULONGLONG kRootRecord = 5;
// Longest chain of parent folders followed.
const int kMaxDepth = 1024;

// Fields of a raw record header (before fix-up; both lie in its first sector).
bool IsFileRecord(const BYTE* raw);
bool IsInUse(const BYTE* raw);
bool IsDirectoryRecord(const BYTE* raw);
WORD SequenceOf(const BYTE* raw);
ULONGLONG BaseRecordOf(const BYTE* raw);
// The sequence number a record has after the one it had was freed.
WORD NextSequence(WORD seq);

// "%04d-%02d-%02d  %02d:%02d" of a record's modification time in local time;
// zeros when it cannot be converted.
std::wstring ModificationTimeText(const CFileRecord& record);
// Parent reference (record and sequence) of the record's first $FILE_NAME.
bool ParentOf(const CFileRecord& record, ULONGLONG* parent, WORD* parentSeq);
// Points the probe at the volume's device, with the places that read when
// it was opened (the boot sector, the first MFT record).
void SetUpProbe(CNTFSVolume* volume, CDeviceProbe& probe);
// Record n could not be read: its bytes are noted as unreadable and the
// result is true (the walk goes on), or the device no longer answers: that
// is noted and the result is false (the walk ends).
bool PassUnreadableRecord(CNTFSVolume* volume, ULONGLONG n, CDeviceProbe& probe, IScanWalkHost& host);
}  // namespace ntfswalk

// Raw MFT records, read through the MFT's own data a batch at a time.
class CMftRecordReader
{
public:
    explicit CMftRecordReader(CNTFSVolume* volume, uint32_t batch = 64);
    // The raw image of record n (file record size bytes, before fix-up), or
    // null when it cannot be read. Valid until the next call.
    const BYTE* Get(ULONGLONG n);

private:
    CNTFSVolume* m_pVolume;
    std::vector<BYTE> m_buf;
    ULONGLONG m_first;
    uint32_t m_count;
    uint32_t m_batch;
    uint32_t m_size;
    ULONGLONG m_records;
};

// What a walk needs to know of a record met as a parent folder, cached per
// record: folders of many files are read once.
struct NtfsFolderInfo
{
    bool isFolder;     // loads, parses, has a name and is a directory
    bool inUse;
    WORD seq;
    ULONGLONG parent;  // its own parent (48-bit), or all ones
    WORD parentSeq;
    std::wstring name;
};

class CNtfsFolderCache
{
public:
    explicit CNtfsFolderCache(CNTFSVolume* volume);
    const NtfsFolderInfo& Get(ULONGLONG record);
    // Whether a folder record is the one a reference with sequence seq
    // named: a live folder has that sequence, a deleted one that sequence or
    // the next (freeing a record moves it on). A reference with sequence 0
    // names any.
    static bool Matches(const NtfsFolderInfo& folder, WORD seq);

private:
    CNTFSVolume* m_pVolume;
    CFileRecord m_rec;
    std::unordered_map<ULONGLONG, NtfsFolderInfo> m_map;
};

// The folder paths of a walk, one shared folder per path: the files of a
// folder and the folders below it share its path, so that memory grows with
// the folders, not with the files times their depth.
class CNtfsPathTree
{
public:
    // The folder `name` (MFT record `record`) inside `parent`.
    CFolderPath::Ptr Under(const CFolderPath::Ptr& parent, ULONGLONG record, const std::wstring& name);

private:
    std::map<std::pair<const CFolderPath*, ULONGLONG>, CFolderPath::Ptr> m_nodes;
};
