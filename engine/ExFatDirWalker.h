// The directory walk of exFAT volumes shared by the quick scan, the
// recycle-bin scan, the formatted scan and the found-partition scan. Works on
// CExFATVolume and so on its lost variant at a partition offset.
//
// Every walk ends: each directory cluster is read once per walk, runs and
// chains are bounded by the volume and a folder by 40,960,000 bytes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/DeviceProbe.h"
#include "engine/DirWorkList.h"
#include "engine/FolderPath.h"

class CExFATVolume;
class IScanWalkHost;

namespace exfatwalk
{
// Largest folder a walk reads.
const uint64_t kMaxDirBytes = 40960000;
// Deepest folder a walk descends into (folders below the root), as on NTFS.
// Each folder cluster is read once per walk, so a loop ends either way.
const int kMaxDepth = 1024;

// One entry set read from a folder.
struct SetInfo
{
    int cls;               // class of the primary entry
    int secondaryCount;    // secondary entries it holds (at most the count it claims)
    std::wstring name;
    uint32_t firstCluster;
    uint64_t validLength;  // the size the program takes for a file
    uint64_t dataLength;
    uint8_t flags;         // stream GeneralSecondaryFlags
    const BYTE* entries;   // the set inside the folder's bytes
    uint32_t count;        // entries available from `entries`
};

// Parses the entry set at entry index i of count entries: the primary entry
// and the secondary entries that follow it, as many as it claims (up to
// 255). False when the entry is no file or folder set, or the set does not
// fit what was read (it counts as absent), or its stream entry does not
// belong to it.
bool ReadSet(const BYTE* bytes, size_t count, size_t i, SetInfo* out);
// Whether a cluster holds plausible directory entries up to its end of
// directory (what a deleted folder's later clusters hold).
bool LooksLikeDirCluster(const BYTE* cluster, uint32_t bytes);
}  // namespace exfatwalk

struct ExFatWalkOptions
{
    std::wstring root;         // "X:\" or "\"
    bool reportLive = false;   // list live files of live folders too
    // Formatted mode: folders and files walked are remembered in `visited`
    // so that the sweep over the volume passes them over.
    bool formatted = false;
};

class CExFatDirWalker
{
public:
    CExFatDirWalker(CExFATVolume& volume, IScanWalkHost& host, const ExFatWalkOptions& options,
                    std::unordered_set<unsigned int>* visited = nullptr);

    // The whole volume from its root (whose first entries must be the volume
    // label, allocation bitmap and up-case table).
    void WalkRoot();
    // One folder and everything below it. Returns false when the folder was
    // refused (nothing could be read).
    bool WalkFolder(uint32_t cluster, const std::wstring& path, bool deleted, uint64_t length, bool noFatChain);
    // A folder's first cluster from its path (root skipped), by exact names;
    // a live folder wins over a deleted one. 0 when absent.
    uint32_t LookupDirectory(const wchar_t* path, bool* deleted, uint64_t* length, bool* noFatChain);

    // Reads a folder's entries (see the .cpp for the cluster rules). False
    // when nothing could be read.
    bool ReadDirectory(uint32_t first, uint64_t length, bool noFatChain, bool deleted, std::vector<BYTE>& out);

    // Hands a file's entry set over as a found entry in the folder at path.
    // A live file is listed when listLive is set; a deleted one always.
    void HandFile(const exfatwalk::SetInfo& set, const std::wstring& path, bool listLive);
    void HandFile(const exfatwalk::SetInfo& set, const CFolderPath::Ptr& folder, bool listLive);

    std::unordered_set<unsigned int>& Visited() { return *m_visited; }

    // Reads a cluster that did not read whole sector by sector: sectors that
    // do not read hold no entries (and are noted as unreadable). False when
    // none of it read (noted, or the device noted as gone).
    bool ReadClusterCarefully(uint32_t cluster, BYTE* buffer);

private:
    struct Job
    {
        uint32_t cluster;
        CFolderPath::Ptr path;  // shared with its entries and the folders below
        bool inDeleted;
        uint64_t length;
        bool noFatChain;
        bool deleted;
        int depth = 0;  // folders between it and the walk's first folder
    };
    void Run();
    bool IntoDir(const Job& job);
    void WalkEntries(const BYTE* bytes, size_t count, const Job& job);
    uint32_t MaxCluster() const;

    CExFATVolume& m_vol;
    IScanWalkHost& m_host;
    ExFatWalkOptions m_opt;
    std::unordered_set<unsigned int> m_ownVisited;
    std::unordered_set<unsigned int>* m_visited;
    CDirWorkList<Job> m_work;
    std::vector<BYTE> m_cluster;
    CDeviceProbe m_probe;
};
