// Readers of found files: they read the data of one entry of a file-system
// scan back from its volume, either into a memory stream (for previews) or
// into a new file (for the recovery run). One subclass per file system; the
// caller picks it by the volume's file-system code and makes one for one call.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/Helpers.h"

class CFoundItem;
class CPartitionInfo;

// What the readers need of a lost partition, held by the partition scan
// control: the disk it lies on, its record and the disk's sector size.
class ILostPartitionSource
{
public:
    virtual ~ILostPartitionSource() {}
    virtual int GetDiskNumber() const = 0;
    virtual const CPartitionInfo* GetCurrentPartition() const = 0;
    virtual unsigned int GetSectorSize() const = 0;
    // The device the partition lies on; "\\.\PhysicalDriveN" of the disk
    // number unless a holder reads an image file.
    virtual std::wstring GetDiskPath() const;
};

// What one recovery did, beyond its 1 or 0.
enum RecoverResult
{
    kRecoverOk = 0,
    kRecoverNoEntry,
    kRecoverStopped,
    kRecoverVolumeNotOpen,    // the volume (or lost partition) did not open
    kRecoverRecordChanged,    // NTFS: record unreadable, or reused since the scan
    kRecoverNotSupported,     // NTFS: compressed or encrypted
    kRecoverNoData,           // NTFS: no unnamed data stream
    kRecoverChainBroken,      // the cluster chain does not hold the clusters due
    kRecoverOutsideVolume,    // clusters due past the volume's data area
    kRecoverOutsideDevice,    // carved range past the device end
    kRecoverInvalidHit,       // carved hit of no length or not valid
    kRecoverReadError,        // the source could not be read
    kRecoverDeviceGone,       // the source stopped answering (pulled, dead): the run ends
    kRecoverCreateFailed,     // the output file could not be made
    kRecoverTargetFull,       // the target ran out of space
    kRecoverWriteError,       // the target failed (removed, refused the write)
    kRecoverDeclined,         // the user declined a partial recovery
    kRecoverUnknownFileSystem,
    kRecoverTargetOnSource,   // the target lies on what is scanned
};

struct RecoverOutcome
{
    RecoverResult result = kRecoverNoEntry;
    std::wstring path;                 // the output file (empty when none is left)
    uint64_t bytesWritten = 0;         // bytes of the file left (0 when none is left)
    uint64_t unreadableClusters = 0;   // pieces that failed to read, written as zeros: the file is partial
    uint64_t notReadClusters = 0;      // pieces not read when the time for bad areas ran out, written as zeros
    uint64_t uncertainClusters = 0;    // clusters taken as the file's although their FAT entries cannot be read
    uint64_t missingBytes = 0;         // bytes the entry claims beyond what its record's runs hold (not written)
    bool assumedContiguous = false;    // clusters taken as one run without a chain to confirm it
    bool postedDone = false;           // WMU_RecoverDone was posted: the run ends after this entry
    DWORD error = 0;                   // system error code of a failed create, read or write

    bool Ok() const { return result == kRecoverOk; }
    // Recovered, but not whole: some of its data could not be read (written
    // as zeros), was not read, is not there, or is not known to be its own.
    bool Partial() const
    {
        return result == kRecoverOk &&
               (unreadableClusters != 0 || notReadClusters != 0 || uncertainClusters != 0 || missingBytes != 0);
    }
    // A target that is full or failing ends the whole run.
    bool TargetFailed() const { return result == kRecoverTargetFull || result == kRecoverWriteError; }
    // "recovered", "recovered, assumes contiguous clusters", "failed: ...".
    std::wstring Text() const;
};

// Where a reader's or the recovery worker's messages go when there is no
// window to post them to (tools and tests: a window costs a desktop process
// under Wine). The sink takes over what a message carries.
typedef void (*RecoverMessageSink)(void* context, UINT message, WPARAM wParam, LPARAM lParam);

// Writes to the output go through this function; tests install one that
// fails as a full or vanished disk does. Returns the previous one.
typedef BOOL(WINAPI* RecoverWriteFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
RecoverWriteFn SetRecoverWriteHook(RecoverWriteFn fn);

// The output file of one recovery: every write checked (result and count),
// removed again unless it was completed.
class CRecoverOutput
{
public:
    CRecoverOutput() {}
    ~CRecoverOutput();
    // Single-file mode: the destination is the file, replaced when it exists.
    // Batch mode: a free name for `name` inside the destination folder,
    // created new (an existing file is never replaced).
    // With `names`, the free name is the first this run has not given in
    // that folder: one create, without probing the names before it.
    bool Create(const std::wstring& destination, const std::wstring& name, bool singleFile, DWORD access,
                DWORD share, CUniqueNameMemory* names = nullptr);
    bool Write(const void* data, DWORD bytes);
    // Closes and keeps the file.
    void Keep();
    // Closes and deletes the file.
    void Remove();
    const std::wstring& Path() const { return m_strPath; }
    uint64_t Written() const { return m_u64Written; }
    DWORD Error() const { return m_dwError; }
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    static bool IsTargetFullError(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

private:
    CRecoverOutput(const CRecoverOutput&);
    CRecoverOutput& operator=(const CRecoverOutput&);
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    std::wstring m_strPath;
    uint64_t m_u64Written = 0;
    DWORD m_dwError = 0;
};

// Bytes of a recovery, read by a subclass, going to a file or a stream.
class IRecoverSink
{
public:
    virtual ~IRecoverSink() {}
    virtual bool Put(const void* data, DWORD bytes) = 0;
};

// Device offsets that have read well during a run, so that a failed read
// can ask the device again where it answered before: at most kKeep places,
// at least kApart bytes from each other, newest last.
class CGoodPlaces
{
public:
    enum { kKeep = 8 };
    static const uint64_t kApart = 1ull << 20;
    void Add(uint64_t offset);
    void Forget(uint64_t offset);
    void Clear() { m_places.clear(); }
    const std::vector<uint64_t>& Places() const { return m_places; }

private:
    std::vector<uint64_t> m_places;
};

class CNTFSVolume;
class CFAT32Volume;
class CFATVolume;
class CExFATVolume;
class CFileRecord;

// What a recovery run keeps from one file to the next, so that a file costs
// its own reads and writes and not the set-up around them: the open volume
// with its caches (one volume per run is the rule, a recycle-bin run may
// change volumes), the buffer the data moves through and the NTFS file
// record object (memory that would otherwise be had and given back, page by
// page, for every file), the names given in each output folder, the folders
// made, and the time of the last progress message.
class CRecoverSession
{
public:
    // Progress and status lines of a run: at most one of each per interval.
    enum { kProgressIntervalMs = 100 };
    CRecoverSession();
    ~CRecoverSession();

    // The volume kept under `key` (file system and where it lies), or null;
    // Keep hands one over (any other kept volume is closed).
    template <class V> V* Find(const std::wstring& key);
    template <class V> V* Keep(const std::wstring& key, V* volume);

    // The run's copy buffer, at least `bytes` long (grown when a file needs
    // more, kept to the end of the run); null when the memory cannot be had.
    BYTE* CopyBuffer(DWORD bytes);
    DWORD CopyBufferSize() const { return m_dwCopyBytes; }
    // A file record of the kept NTFS volume `volume`, loaded anew for each
    // file; null when `volume` is not the one kept.
    CFileRecord* NtfsRecord(CNTFSVolume* volume);

    // The highest cluster of the kept volume that lies on its device (0 until
    // set): asking the device is a round trip to the system, made once per
    // kept volume rather than once per file.
    uint64_t KeptLastCluster() const { return m_u64KeptLastCluster; }
    void SetKeptLastCluster(uint64_t cluster) { m_u64KeptLastCluster = cluster; }

    // Places of the kept volume's device (or of the carved run's device)
    // that read well, for the device probe; cleared with the volume.
    CGoodPlaces& GoodPlaces() { return m_goodPlaces; }

    CUniqueNameMemory& Names() { return m_names; }
    // Makes `folder` and its missing parents once per run; true when it exists.
    bool EnsureFolder(const std::wstring& folder);
    // How many folders the run made or found (each asked of the system once).
    size_t FoldersKnown() const { return m_folders.size(); }
    // Whether this run made the folder (or found it there).
    bool KnowsFolder(const std::wstring& folder) const;

    // True when a progress message is due: at most one every `intervalMs`.
    bool ProgressDue(DWORD intervalMs);
    // Called before a reader posts progress: the worker's pending status line
    // goes first.
    void SetBeforeProgress(void (*fn)(void*), void* context)
    {
        m_pfnBeforeProgress = fn;
        m_pBeforeContext = context;
    }
    void BeforeProgress()
    {
        if (m_pfnBeforeProgress)
            m_pfnBeforeProgress(m_pBeforeContext);
    }

private:
    CRecoverSession(const CRecoverSession&);
    CRecoverSession& operator=(const CRecoverSession&);
    void CloseVolumes();
    template <class V> V*& Slot();

    std::wstring m_strKey;
    CNTFSVolume* m_pNtfs = nullptr;
    CFAT32Volume* m_pFat32 = nullptr;
    CFATVolume* m_pFat16 = nullptr;
    CExFATVolume* m_pExFat = nullptr;
    CFileRecord* m_pNtfsRecord = nullptr;  // of m_pNtfs; goes before it
    uint64_t m_u64KeptLastCluster = 0;     // of the kept volume
    CGoodPlaces m_goodPlaces;              // of the kept volume's device
    BYTE* m_pCopyBuffer = nullptr;
    DWORD m_dwCopyBytes = 0;
    CUniqueNameMemory m_names;
    std::set<std::wstring> m_folders;  // upper-cased
    DWORD m_dwLastProgress = 0;
    bool m_bProgressPosted = false;
    void (*m_pfnBeforeProgress)(void*) = nullptr;
    void* m_pBeforeContext = nullptr;
};

class CRecoverFile
{
public:
    // The window that receives progress and WMU_RecoverDone (the recovery
    // dialog); null for previews.
    explicit CRecoverFile(HWND notifyWindow);
    virtual ~CRecoverFile() {}

    // A stream over the entry's bytes (at most `limit` of them, 0: all),
    // positioned at its end, that the caller rewinds and releases; null on
    // failure. The base class has none.
    virtual IStream* ReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                  uint64_t limit, int scanKind);
    // Writes the entry: single-file mode to the file `destination`, batch
    // mode under a free name in the folder `destination` (failures silent).
    // *stop non-zero ends it between chunks (the partial file is deleted).
    // 1 when the file was written completely, else 0.
    virtual int RecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, int scanKind,
                              const wchar_t* destination, const volatile int* stop, BOOL singleFile) = 0;

    // Posts WMU_RecoverProgress with done x 1000 / total; only when the per
    // mille changed, so that a large file costs at most a thousand posts.
    void PostProgress(uint64_t done, uint64_t total);
    enum { kProgressIntervalMs = CRecoverSession::kProgressIntervalMs };
    // "ErrorAccessLostParttion" (kind 4) or "ErrorWhenRecover", then
    // WMU_RecoverDone (1, 0): the run ends.
    void ReportWriteError(int scanKind);

    const RecoverOutcome& GetLastOutcome() const { return m_outcome; }

    // Messages go to the sink instead of the window.
    void SetMessageSink(RecoverMessageSink sink, void* context)
    {
        m_pfnSink = sink;
        m_pSinkContext = context;
    }
    // The run this file belongs to (null: a file on its own, as a preview).
    void SetSession(CRecoverSession* session) { m_pSession = session; }
    // The bytes the target has room for: a larger file is refused as
    // kRecoverTargetFull before its output is made (after the checks of its
    // size against its volume).
    void SetTargetRoom(uint64_t bytes) { m_u64Room = bytes; }

    // Debug name of a result, for logs and tools.
    static const wchar_t* ResultName(RecoverResult result);

protected:
    // Starts an outcome for an entry.
    void BeginOutcome();
    // The volume failed to open: the box and WMU_RecoverDone, result 0.
    int FailVolume(int scanKind);
    // The device stopped answering: the output (if made) is removed, the box
    // "DeviceGone" and WMU_RecoverDone (1, 0): the run ends. Result 0.
    int FailDeviceGone(CRecoverOutput* output, DWORD error);
    // Ends with `result`: the output (if made) is removed unless result is
    // kRecoverOk; returns 1 for kRecoverOk, else 0.
    int Finish(CRecoverOutput* output, RecoverResult result, DWORD error = 0);
    // Creates the output for item; on failure the last-error box (single-file
    // mode only) and kRecoverCreateFailed.
    bool CreateOutput(CRecoverOutput& output, const wchar_t* destination, const std::wstring& name, BOOL singleFile);

    // The FAT16, FAT32 and exFAT readers: one algorithm, `Traits` names the
    // volume classes and their cluster numbers.
    template <class Traits>
    int FatRecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, int scanKind,
                         const wchar_t* destination, const volatile int* stop, BOOL singleFile);
    template <class Traits>
    IStream* FatReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                             uint64_t limit, int scanKind);

    // Posts to the window, or hands to the sink.
    void Notify(UINT message, WPARAM wParam, LPARAM lParam);
    // The run's memory of places that read well (null outside a run).
    CGoodPlaces* RunPlaces() const { return m_pSession ? &m_pSession->GoodPlaces() : nullptr; }

    HWND m_hNotify;
    RecoverOutcome m_outcome;
    int m_nLastPerMille;
    RecoverMessageSink m_pfnSink = nullptr;
    void* m_pSinkContext = nullptr;
    CRecoverSession* m_pSession = nullptr;
    uint64_t m_u64Room = ~0ull;
};

// NTFS: the entry's file reference is its MFT record number.
class CRecoverFileNTFS : public CRecoverFile
{
public:
    explicit CRecoverFileNTFS(HWND notifyWindow) : CRecoverFile(notifyWindow) {}
    IStream* ReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, uint64_t limit,
                          int scanKind) override;
    int RecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, int scanKind,
                      const wchar_t* destination, const volatile int* stop, BOOL singleFile) override;
};

// FAT16, FAT32 and exFAT: one algorithm over three volume classes, chosen by
// the file-system code (11 FAT32, 6 FAT16, -7 exFAT).
template <int FileSystemCode>
class CRecoverFileFatT : public CRecoverFile
{
public:
    explicit CRecoverFileFatT(HWND notifyWindow) : CRecoverFile(notifyWindow) {}
    IStream* ReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, uint64_t limit,
                          int scanKind) override;
    int RecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item, int scanKind,
                      const wchar_t* destination, const volatile int* stop, BOOL singleFile) override;
};

class CRecoverFileFAT32 : public CRecoverFileFatT<11>
{
public:
    explicit CRecoverFileFAT32(HWND notifyWindow) : CRecoverFileFatT(notifyWindow) {}
};

class CRecoverFileFAT16 : public CRecoverFileFatT<6>
{
public:
    explicit CRecoverFileFAT16(HWND notifyWindow) : CRecoverFileFatT(notifyWindow) {}
};

class CRecoverFileExFAT : public CRecoverFileFatT<-7>
{
public:
    explicit CRecoverFileExFAT(HWND notifyWindow) : CRecoverFileFatT(notifyWindow) {}
};

// The reader of a file-system code (7 NTFS, 11 FAT32, 6 FAT16, -7 exFAT);
// null for any other code. The caller deletes it.
CRecoverFile* CreateRecoverFile(int fileSystemCode, HWND notifyWindow);

// Byte offset of a lost partition's file system on its disk (start plus
// hidden sectors, in the holder's sector size); false without a record or
// when it does not fit.
bool LostPartitionOffset(const ILostPartitionSource* lost, uint64_t* offset);
