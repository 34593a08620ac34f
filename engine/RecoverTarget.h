// Where recovered files go: names and folder paths made safe, the folder
// layout of a recovery run, the free space of the target, and the one check
// that keeps a recovery from writing onto what it reads.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ILostPartitionSource;

// A name from disk (or from a loaded result) as one plain path component:
// trailing dots and blanks trimmed, "." and ".." and empty names replaced,
// no separators, colons (streams), wildcards or control characters, reserved
// device names prefixed.
std::wstring SafeRecoverName(const std::wstring& name);

// The folder that keeps an entry's folder path under the target: each
// component of `entryPath` made safe, a "$RECYCLE.BIN" component (in any
// case) named `recycleText` instead. `dropDrive` drops the first two
// characters (the drive letter and colon) first. Always inside `target`.
std::wstring KeepPathFolder(const std::wstring& target, const std::wstring& entryPath, bool dropDrive,
                            const std::wstring& recycleText);

// The longest path the system takes, in characters of its long form
// ("\\?\X:\..."). A longer one is never handed to it: some systems do not
// refuse it but cut its length and act on another path.
const size_t kMaxSystemPath = 32767;
// Room kept behind a folder for the file made in it: a separator, the
// longest name and the number that makes a name unique.
const size_t kFileNameRoom = 1 + 255 + 16;
// Whether `path`, with `reserve` characters still to come behind it, stays
// within kMaxSystemPath in its long form. Measured here, before any call.
bool FitsSystemPath(const std::wstring& path, size_t reserve = 0);

// Folders of carved files: with sorting by type each extension gets the
// folder target\ext, otherwise all go to target\Delvaro; a folder takes at
// most kFilesPerFolder files, then "<folder>.1", "<folder>.2"... follow.
class CCarvedFolderLayout
{
public:
    enum { kFilesPerFolder = 2500 };
    CCarvedFolderLayout(const std::wstring& target, bool byType) : m_strTarget(target), m_bByType(byType) {}
    // The folder for the next file of this extension.
    std::wstring NextFolder(const std::string& extension);

private:
    struct Slot
    {
        unsigned int count = 0;
        unsigned int overflow = 0;
    };
    std::wstring m_strTarget;
    bool m_bByType;
    std::map<std::wstring, Slot> m_slots;
};

// Free bytes available on the volume that holds `target` (asked of the
// volume's root, which exists even before the target's folders do); false
// when it cannot be learnt.
bool TargetFreeBytes(const std::wstring& target, uint64_t* freeBytes);

// What a recovery run reads.
struct ScannedSource
{
    int scanKind = 0;
    int targetKind = 1;               // 0 image file, 1 volume, 2 physical disk (deep scans)
    std::wstring volumeRoot;          // "X:\" of the scanned volume
    int diskNumber = -1;              // whole-disk scans
    std::wstring imagePath;           // image scans
    const ILostPartitionSource* lost = nullptr;  // lost-partition scans
    std::vector<wchar_t> entryLetters;           // recycle-bin scans: the volumes of the entries
};

// Why a target was refused, where the disk tells it: the disk, and for a
// lost partition the target volume's bytes that overlap the partition's.
struct TargetConflict
{
    int disk = -1;
    uint64_t volumeStart = 0, volumeLength = 0;        // bytes on the disk; 0 length: not known
    uint64_t partitionStart = 0, partitionLength = 0;  // bytes on the disk; 0 length: the whole disk
    unsigned int sectorSize = 512;
};

// True when writing `target` (a folder, or the file in single-file mode)
// is known to land on what is scanned: the same volume (also through a
// folder it is mounted on), any volume of the scanned disk for whole-disk
// scans, a volume whose extents on the partition's disk overlap a lost
// partition (a target whose place on the disk cannot be told is not
// refused), each entry's own volume for recycle-bin scans, the image file
// itself for image scans. `why`, when given, says where for a disk.
bool IsTargetOnScannedDevice(const ScannedSource& source, const std::wstring& target,
                             TargetConflict* why = nullptr);

// The physical disk number of the volume that holds `path`, -1 when the
// system does not say.
int DiskNumberOfPath(const std::wstring& path);
