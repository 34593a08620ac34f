#include "engine/RecoverFile.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/PartitionStart.h"
#include "engine/RecoverFileImpl.h"
#include "engine/RecoverTarget.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"

namespace recoverimpl {
const char kKeyErrorAccessLostPartition[] = "RXJyb3JBY2Nlc3NMb3N0UGFydHRpb24=";
const char kKeyErrorWhenRecover[] = "RXJyb3JXaGVuUmVjb3Zlcg==";
const char kKeyFileRecordParseErr[] = "RmlsZVJlY29yZFBhcnNlRXJy";
const char kKeyNotSupportCompressed[] = "Tm90U3VwcG9ydENvbXByZXNzZWQ=";
const char kKeyNotSupportEncrypted[] = "Tm90U3VwcG9ydEVuY3J5cHRlZA==";
const char kKeyReadDataErr[] = "UmVhZERhdGFFcnI=";
const char kKeyNotCompleteRestore[] = "Tm90Q29tcGxldGVSZXN0b3Jl";
const char kKeyDeviceGone[] = "RGV2aWNlR29uZQ==";
const char kKeyErrorOpenVolume[] = "RXJyb3JPcGVuVm9sdW1l";

CStreamSink::~CStreamSink()
{
    if (m_pStream)
        m_pStream->Release();
}

bool CStreamSink::Create(uint64_t size)
{
    if (size > (uint64_t)(SIZE_T)-1)
        return false;
    HGLOBAL memory = nullptr;
    if (size)
    {
        memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (SIZE_T)size);
        if (!memory)
            return false;
    }
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &m_pStream)) || !m_pStream)
    {
        m_pStream = nullptr;
        if (memory)
            GlobalFree(memory);
        return false;
    }
    return true;
}

bool CStreamSink::Put(const void* data, DWORD bytes)
{
    ULONG written = 0;
    return m_pStream && SUCCEEDED(m_pStream->Write(data, bytes, &written)) && written == bytes;
}

IStream* CStreamSink::Detach()
{
    IStream* s = m_pStream;
    m_pStream = nullptr;
    return s;
}

bool CDeviceProbe::Answers(uint64_t offset, BYTE* sector) const
{
    if (m_dwUnit)
    {
        const uint64_t at = offset / m_dwUnit * m_dwUnit;
        return ReadAt(m_hDevice, at, sector, m_dwUnit) == m_dwUnit;
    }
    // Whole 4 KiB first (a device of 4 KiB sectors refuses less), then one
    // 512-byte sector.
    const uint64_t at = offset / 512 * 512;
    return ReadAt(m_hDevice, at / 4096 * 4096, sector, 4096) == 4096 || ReadAt(m_hDevice, at, sector, 512) == 512;
}

bool CDeviceProbe::StillAnswers()
{
    if (m_dwUnit > 4096)
        return true;  // no sector size we ask in: no verdict against the device
    BYTE* sector = (BYTE*)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!sector)
        return true;  // no memory to ask with: no verdict against the device
    bool answers = false;
    // The newest places first: they are the likeliest to read still.
    const std::vector<uint64_t> places = m_pPlaces->Places();
    for (size_t k = places.size(); k-- > 0 && !answers;)
    {
        answers = Answers(places[k], sector);
        if (!answers)
            m_pPlaces->Forget(places[k]);
    }
    for (size_t k = 0; k < m_known.size() && !answers; ++k)
        answers = Answers(m_known[k], sector);
    VirtualFree(sector, 0, MEM_RELEASE);
    return answers;
}

RecoverResult WriteFailure(DWORD error)
{
    return CRecoverOutput::IsTargetFullError(error) ? kRecoverTargetFull : kRecoverWriteError;
}
}  // namespace recoverimpl

using namespace recoverimpl;

namespace
{
RecoverWriteFn g_pfnWrite = nullptr;

BOOL WINAPI PlainWriteFile(HANDLE h, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED ov)
{
    return WriteFile(h, data, bytes, written, ov);
}
}  // namespace

RecoverWriteFn SetRecoverWriteHook(RecoverWriteFn fn)
{
    RecoverWriteFn old = g_pfnWrite;
    g_pfnWrite = fn;
    return old;
}

std::wstring ILostPartitionSource::GetDiskPath() const
{
    return PhysicalDrivePath(GetDiskNumber());
}

bool LostPartitionOffset(const ILostPartitionSource* lost, uint64_t* offset)
{
    if (!lost || !offset || !lost->GetCurrentPartition())
        return false;
    return PartitionBootOffset(*lost->GetCurrentPartition(), lost->GetSectorSize(), offset);
}

// ------------------------------------------------------------ good places

void CGoodPlaces::Add(uint64_t offset)
{
    // One place per neighbourhood, the newest.
    for (size_t k = 0; k < m_places.size(); ++k)
    {
        const uint64_t other = m_places[k];
        if ((other > offset ? other - offset : offset - other) < kApart)
        {
            m_places.erase(m_places.begin() + k);
            break;
        }
    }
    if (m_places.size() >= (size_t)kKeep)
        m_places.erase(m_places.begin());
    m_places.push_back(offset);
}

void CGoodPlaces::Forget(uint64_t offset)
{
    m_places.erase(std::remove(m_places.begin(), m_places.end(), offset), m_places.end());
}

// ---------------------------------------------------------------- session

CRecoverSession::CRecoverSession() {}

CRecoverSession::~CRecoverSession()
{
    CloseVolumes();
    delete[] m_pCopyBuffer;
}

BYTE* CRecoverSession::CopyBuffer(DWORD bytes)
{
    if (bytes > m_dwCopyBytes)
    {
        // At least a whole chunk and a cluster at once: a run of growing files
        // makes it once.
        DWORD want = std::max<DWORD>(bytes, kCopyChunk + kCopyChunkSlack);
        delete[] m_pCopyBuffer;
        m_pCopyBuffer = new (std::nothrow) BYTE[want];
        if (!m_pCopyBuffer && want > bytes)
            m_pCopyBuffer = new (std::nothrow) BYTE[want = bytes];
        m_dwCopyBytes = m_pCopyBuffer ? want : 0;
    }
    return m_dwCopyBytes >= bytes ? m_pCopyBuffer : nullptr;
}

CFileRecord* CRecoverSession::NtfsRecord(CNTFSVolume* volume)
{
    if (!volume || volume != m_pNtfs)
        return nullptr;
    if (!m_pNtfsRecord)
        m_pNtfsRecord = new CFileRecord(volume);
    return m_pNtfsRecord;
}

void CRecoverSession::CloseVolumes()
{
    delete m_pNtfsRecord;
    m_pNtfsRecord = nullptr;
    delete m_pNtfs;
    delete m_pFat32;
    delete m_pFat16;
    delete m_pExFat;
    m_pNtfs = nullptr;
    m_pFat32 = nullptr;
    m_pFat16 = nullptr;
    m_pExFat = nullptr;
    m_u64KeptLastCluster = 0;
    m_goodPlaces.Clear();
    m_strKey.clear();
}

template <> CNTFSVolume*& CRecoverSession::Slot<CNTFSVolume>() { return m_pNtfs; }
template <> CFAT32Volume*& CRecoverSession::Slot<CFAT32Volume>() { return m_pFat32; }
template <> CFATVolume*& CRecoverSession::Slot<CFATVolume>() { return m_pFat16; }
template <> CExFATVolume*& CRecoverSession::Slot<CExFATVolume>() { return m_pExFat; }

template <class V>
V* CRecoverSession::Find(const std::wstring& key)
{
    return !key.empty() && key == m_strKey ? Slot<V>() : nullptr;
}

template <class V>
V* CRecoverSession::Keep(const std::wstring& key, V* volume)
{
    CloseVolumes();
    if (!volume)
        return nullptr;
    m_strKey = key;
    Slot<V>() = volume;
    return volume;
}

template CNTFSVolume* CRecoverSession::Find<CNTFSVolume>(const std::wstring&);
template CFAT32Volume* CRecoverSession::Find<CFAT32Volume>(const std::wstring&);
template CFATVolume* CRecoverSession::Find<CFATVolume>(const std::wstring&);
template CExFATVolume* CRecoverSession::Find<CExFATVolume>(const std::wstring&);
template CNTFSVolume* CRecoverSession::Keep<CNTFSVolume>(const std::wstring&, CNTFSVolume*);
template CFAT32Volume* CRecoverSession::Keep<CFAT32Volume>(const std::wstring&, CFAT32Volume*);
template CFATVolume* CRecoverSession::Keep<CFATVolume>(const std::wstring&, CFATVolume*);
template CExFATVolume* CRecoverSession::Keep<CExFATVolume>(const std::wstring&, CExFATVolume*);

bool CRecoverSession::EnsureFolder(const std::wstring& folder)
{
    std::wstring path = folder;
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    if (path.empty())
        return false;
    // A folder the system cannot name is not asked for at all.
    if (!FitsSystemPath(path))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::wstring key = path;
    CharUpperBuffW(&key[0], (DWORD)key.size());
    if (m_folders.count(key))
        return true;
    // Below a folder this run has made, the missing parents come first, so
    // that each folder is one call: a create whose parent is missing fails
    // only after the system has walked the whole path. Above what the run
    // knows (the target, a share's root) nothing is asked: the create is
    // tried, and its parents only when it says they are missing.
    const size_t slash = path.find_last_of(L'\\');
    const bool hasParent = slash != std::wstring::npos && slash > 2;
    bool knownAbove = false;
    for (size_t at = slash; hasParent && !knownAbove && at != std::wstring::npos && at > 2;
         at = key.find_last_of(L'\\', at - 1))
        knownAbove = m_folders.count(key.substr(0, at)) != 0;
    if (knownAbove && !EnsureFolder(path.substr(0, slash)))
        return false;
    const std::wstring longPath = LongPathForm(path);
    bool made = CreateDirectoryW(longPath.c_str(), nullptr) != FALSE;
    if (!made && !knownAbove && hasParent && GetLastError() == ERROR_PATH_NOT_FOUND &&
        EnsureFolder(path.substr(0, slash)))
        made = CreateDirectoryW(longPath.c_str(), nullptr) != FALSE;
    if (!made)
    {
        const DWORD attributes = GetFileAttributesW(longPath.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
    }
    m_folders.insert(key);
    return true;
}

bool CRecoverSession::KnowsFolder(const std::wstring& folder) const
{
    std::wstring key = folder;
    while (key.size() > 3 && key.back() == L'\\')
        key.pop_back();
    if (key.empty())
        return false;
    CharUpperBuffW(&key[0], (DWORD)key.size());
    return m_folders.count(key) != 0;
}

bool CRecoverSession::ProgressDue(DWORD intervalMs)
{
    const DWORD now = GetTickCount();
    if (m_bProgressPosted && now - m_dwLastProgress < intervalMs)
        return false;
    m_bProgressPosted = true;
    m_dwLastProgress = now;
    return true;
}

// ---------------------------------------------------------------- outcome

const wchar_t* CRecoverFile::ResultName(RecoverResult result)
{
    switch (result)
    {
    case kRecoverOk: return L"recovered";
    case kRecoverNoEntry: return L"no entry";
    case kRecoverStopped: return L"stopped";
    case kRecoverVolumeNotOpen: return L"the volume cannot be opened";
    case kRecoverRecordChanged: return L"the file record is unreadable or was reused since the scan";
    case kRecoverNotSupported: return L"compressed or encrypted";
    case kRecoverNoData: return L"no data stream";
    case kRecoverChainBroken: return L"the cluster chain is incomplete";
    case kRecoverOutsideVolume: return L"its clusters lie outside the volume";
    case kRecoverOutsideDevice: return L"its range lies past the end of the device";
    case kRecoverInvalidHit: return L"no length or not valid";
    case kRecoverReadError: return L"read error";
    case kRecoverDeviceGone: return L"the device stopped answering";
    case kRecoverCreateFailed: return L"the output file cannot be created";
    case kRecoverTargetFull: return L"the target is full";
    case kRecoverWriteError: return L"write error on the target";
    case kRecoverDeclined: return L"declined";
    case kRecoverUnknownFileSystem: return L"unknown file system";
    case kRecoverTargetOnSource: return L"the target lies on the scanned device";
    }
    return L"?";
}

std::wstring RecoverOutcome::Text() const
{
    if (result != kRecoverOk)
        return std::wstring(L"failed: ") + CRecoverFile::ResultName(result);
    std::wstring text = L"recovered";
    if (assumedContiguous)
        text += L", assumes contiguous clusters";
    if (uncertainClusters)
        text += L", uncertain: the FAT entries of " + std::to_wstring(uncertainClusters) +
                L" of its clusters cannot be read, and those clusters are taken as its own";
    if (unreadableClusters || notReadClusters || missingBytes)
    {
        text += L", partial:";
        const wchar_t* sep = L" ";
        if (unreadableClusters)
        {
            text += sep + std::to_wstring(unreadableClusters) + L" unreadable clusters written as zeros";
            sep = L"; ";
        }
        if (notReadClusters)
        {
            text += sep + std::to_wstring(notReadClusters) +
                    L" clusters not read (the time for bad areas ran out), written as zeros";
            sep = L"; ";
        }
        if (missingBytes)
            text += sep + std::wstring(L"cut short: its record holds no clusters for its last ") +
                    std::to_wstring(missingBytes) + L" bytes";
    }
    return text;
}

// ----------------------------------------------------------------- output

CRecoverOutput::~CRecoverOutput()
{
    Remove();
}

bool CRecoverOutput::Create(const std::wstring& destination, const std::wstring& name, bool singleFile,
                            DWORD access, DWORD share, CUniqueNameMemory* names)
{
    Remove();
    m_u64Written = 0;
    m_dwError = 0;
    if (singleFile)
    {
        // The user chose this file (the save dialog asked about replacing it).
        m_strPath = destination;
        if (FitsSystemPath(destination))
            m_hFile = CreateFileW(destination.c_str(), access, share, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        else
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
    }
    else if (names)
    {
        // The next name this run has not given; one that is taken on disk
        // (from an earlier run) fails the create and the next one follows.
        // Never replaces a file.
        const std::wstring safe = SafeRecoverName(name);
        for (int tries = 0; tries < 1000000 && m_hFile == INVALID_HANDLE_VALUE; ++tries)
        {
            m_strPath = names->NextPath(safe, destination);
            if (m_strPath.empty())
            {
                SetLastError(ERROR_FILE_EXISTS);
                break;
            }
            // Measured before the create: a path past the system's length is
            // refused, never cut to another.
            if (!FitsSystemPath(m_strPath))
            {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                break;
            }
            m_hFile = CreateFileW(m_strPath.size() < MAX_PATH ? m_strPath.c_str()
                                                              : LongPathForm(m_strPath, MAX_PATH - 1).c_str(),
                                  access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_hFile == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                break;
        }
    }
    else
    {
        // Never replace a file: a name taken between the look and the create
        // (another run into the same folder) means the next free name.
        const std::wstring safe = SafeRecoverName(name);
        if (!FitsSystemPath(destination, kFileNameRoom - 255 + safe.size()))
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        for (int tries = 0; tries < 16 && m_hFile == INVALID_HANDLE_VALUE &&
                            FitsSystemPath(destination, kFileNameRoom - 255 + safe.size());
             ++tries)
        {
            m_strPath = MakeUniqueFilePath(safe, destination);
            if (m_strPath.empty())
            {
                SetLastError(ERROR_FILE_EXISTS);
                break;
            }
            m_hFile = CreateFileW(m_strPath.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
            if (m_hFile == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                break;
        }
    }
    if (m_hFile == INVALID_HANDLE_VALUE)
    {
        m_dwError = GetLastError();
        m_strPath.clear();
        return false;
    }
    return true;
}

bool CRecoverOutput::Write(const void* data, DWORD bytes)
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    const BYTE* p = (const BYTE*)data;
    RecoverWriteFn write = g_pfnWrite ? g_pfnWrite : PlainWriteFile;
    while (bytes)
    {
        DWORD done = 0;
        if (!write(m_hFile, p, bytes, &done, nullptr) || done == 0)
        {
            m_dwError = GetLastError();
            // A write that took nothing without an error is a full disk.
            if (m_dwError == 0)
                m_dwError = ERROR_DISK_FULL;
            return false;
        }
        if (done > bytes)
            done = bytes;
        p += done;
        bytes -= done;
        m_u64Written += done;
    }
    return true;
}

void CRecoverOutput::Keep()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    // Every write was checked; no flush per file (thousands of small files on
    // a slow stick would each wait for the disk).
    if (!CloseHandle(m_hFile) && m_dwError == 0)
        m_dwError = GetLastError();
    m_hFile = INVALID_HANDLE_VALUE;
}

void CRecoverOutput::Remove()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    if (!m_strPath.empty())
        DeleteFileW(LongPathForm(m_strPath, MAX_PATH - 1).c_str());
}

// ------------------------------------------------------------------- base

CRecoverFile::CRecoverFile(HWND notifyWindow) : m_hNotify(notifyWindow), m_nLastPerMille(-1) {}

IStream* CRecoverFile::ReadToStream(const wchar_t*, const ILostPartitionSource*, CFoundItem*, uint64_t, int)
{
    return nullptr;
}

void CRecoverFile::Notify(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSink)
        m_pfnSink(m_pSinkContext, message, wParam, lParam);
    else if (m_hNotify)
        PostMessageW(m_hNotify, message, wParam, lParam);
}

void CRecoverFile::PostProgress(uint64_t done, uint64_t total)
{
    if ((!m_hNotify && !m_pfnSink) || total == 0)
        return;
    const double ratio = (double)done * 1000.0 / (double)total;
    const int perMille = ratio < 0 ? 0 : ratio > 1000 ? 1000 : (int)ratio;
    if (perMille == m_nLastPerMille)
        return;
    // In a run, by time: a file of a few clusters posts nothing of its own
    // (a posted message costs as much as writing it); the run posts its
    // count, and a long file shows its progress a few times a second.
    if (m_pSession)
    {
        if (!m_pSession->ProgressDue(kProgressIntervalMs))
            return;
        m_pSession->BeforeProgress();
    }
    m_nLastPerMille = perMille;
    Notify(WMU_RecoverProgress, (WPARAM)perMille, 0);
}

void CRecoverFile::ReportWriteError(int scanKind)
{
    MessageBoxByBase64Key(scanKind == SCAN_KIND_LOST_PARTITION ? kKeyErrorAccessLostPartition : kKeyErrorWhenRecover,
                          m_hNotify, MB_ICONERROR, 0);
    Notify(WMU_RecoverDone, 1, 0);
    m_outcome.postedDone = true;
}

void CRecoverFile::BeginOutcome()
{
    m_outcome = RecoverOutcome();
    m_nLastPerMille = -1;
}

int CRecoverFile::FailVolume(int scanKind)
{
    // The cause by name: nothing was being written yet.
    if (scanKind == SCAN_KIND_LOST_PARTITION)
    {
        ReportWriteError(scanKind);
    }
    else
    {
        MessageBoxByBase64Key(kKeyErrorOpenVolume, m_hNotify, MB_ICONERROR, 0);
        Notify(WMU_RecoverDone, 1, 0);
        m_outcome.postedDone = true;
    }
    m_outcome.result = kRecoverVolumeNotOpen;
    return 0;
}

int CRecoverFile::FailDeviceGone(CRecoverOutput* output, DWORD error)
{
    Finish(output, kRecoverDeviceGone, error);
    MessageBoxByBase64Key(kKeyDeviceGone, m_hNotify, MB_ICONERROR, 0);
    Notify(WMU_RecoverDone, 1, 0);
    m_outcome.postedDone = true;
    return 0;
}

int CRecoverFile::Finish(CRecoverOutput* output, RecoverResult result, DWORD error)
{
    if (output && output->IsOpen())
    {
        if (result == kRecoverOk)
        {
            output->Keep();
            // A close that failed fails the file after all.
            if (output->Error() != 0)
            {
                result = recoverimpl::WriteFailure(output->Error());
                error = output->Error();
                DeleteFileW(LongPathForm(output->Path(), MAX_PATH).c_str());
            }
        }
        else
        {
            output->Remove();
        }
    }
    m_outcome.result = result;
    if (error)
        m_outcome.error = error;
    // Only a file that is left has a path and bytes.
    m_outcome.bytesWritten = output && result == kRecoverOk ? output->Written() : 0;
    m_outcome.path = output && result == kRecoverOk ? output->Path() : std::wstring();
    return result == kRecoverOk ? 1 : 0;
}

bool CRecoverFile::CreateOutput(CRecoverOutput& output, const wchar_t* destination, const std::wstring& name,
                                BOOL singleFile)
{
    if (!destination || !*destination)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
    }
    else if (output.Create(destination, name, singleFile != FALSE, GENERIC_READ | GENERIC_WRITE, 0,
                           m_pSession ? &m_pSession->Names() : nullptr))
    {
        m_outcome.path = output.Path();
        return true;
    }
    const DWORD e = GetLastError();
    if (singleFile)
        ShowLastErrorBox(m_hNotify, L"CreateFile", e);
    m_outcome.result = kRecoverCreateFailed;
    m_outcome.error = e;
    return false;
}

CRecoverFile* CreateRecoverFile(int fileSystemCode, HWND notifyWindow)
{
    switch (fileSystemCode)
    {
    case FS_NTFS: return new CRecoverFileNTFS(notifyWindow);
    case FS_FAT32: return new CRecoverFileFAT32(notifyWindow);
    case FS_FAT16: return new CRecoverFileFAT16(notifyWindow);
    case FS_EXFAT: return new CRecoverFileExFAT(notifyWindow);
    }
    return nullptr;
}

// ------------------------------------------------------------------- NTFS

namespace
{
enum NtfsLoad
{
    kNtfsLoaded,
    kNtfsNoVolume,      // nothing to open (no root, or no lost partition)
    kNtfsVolumeFailed,  // the volume did not open
    kNtfsRecordFailed,  // record unreadable, damaged, or not the entry's any more
    kNtfsCompressed,
    kNtfsEncrypted,
    kNtfsAttrsFailed,
};

// Whether any $FILE_NAME of the record is `name` (names compare exactly).
bool RecordHasName(CFileRecord& record, const std::wstring& name)
{
    CSList<CAttrBase>* names = record.GetAttrList(ATTR_TYPE_FILE_NAME);
    if (!names)
        return false;
    const CAttrBase* hit = names->FindIf([&](CAttrBase* a) {
        wchar_t buffer[256 + 1];
        const int n = static_cast<CAttr_FileName*>(a)->GetName(buffer, 257);
        return n > 0 && name.compare(0, std::wstring::npos, buffer, (size_t)n) == 0;
    });
    return hit != nullptr;
}

// The entry's record, loaded with its names and data, and still the record
// the scan saw: a record reused since then (another name, or in use again
// after a deleted-files scan) is not this entry any more.
struct NtfsEntry
{
    std::unique_ptr<CNTFSVolume> owned;  // the volume, unless the run keeps it
    CNTFSVolume* volume = nullptr;
    std::unique_ptr<CFileRecord> ownedRecord;  // the record, unless the run keeps one
    CFileRecord* record = nullptr;
    const CAttrBase* data = nullptr;

    NtfsLoad Load(const wchar_t* root, const ILostPartitionSource* lost, const CFoundItem* item, int scanKind,
                  bool preview, CRecoverSession* session)
    {
        std::wstring key;
        uint64_t offset = 0;
        if (scanKind == SCAN_KIND_LOST_PARTITION)
        {
            if (!LostPartitionOffset(lost, &offset))
                return kNtfsNoVolume;
            key = L"7|" + lost->GetDiskPath() + L"@" + std::to_wstring(offset);
        }
        else
        {
            if (!root || !*root)
                return kNtfsNoVolume;
            key = L"7|" + std::wstring(1, root[0]);
        }
        volume = session ? session->Find<CNTFSVolume>(key) : nullptr;
        if (!volume)
        {
            if (scanKind == SCAN_KIND_LOST_PARTITION)
            {
                owned.reset(new CLostNTFSVolume(lost->GetDiskPath().c_str(), offset));
            }
            else
            {
                owned.reset(new CNTFSVolume(root[0]));
                if (preview)
                    DebugPrint(L"[Preview] start ref=%d.\n", (int)item->m_u64FileRef);
            }
            if (!owned->IsVolumeOK())
                return kNtfsVolumeFailed;
            volume = session ? session->Keep<CNTFSVolume>(key, owned.release()) : owned.get();
        }
        record = session ? session->NtfsRecord(volume) : nullptr;
        if (!record)
        {
            ownedRecord.reset(new CFileRecord(volume));
            record = ownedRecord.get();
        }
        record->SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA) | NtfsAttrMask(ATTR_TYPE_FILE_NAME));
        const ULONGLONG number = item->m_u64FileRef;
        bool loaded = false;
        if (scanKind == SCAN_KIND_FORMATTED)
        {
            // The old MFT, straight from where it lay (the new one does not list it).
            std::unique_ptr<BYTE[]> image(CScanDiskDlg::ReadMftRecordAt(volume, number));
            loaded = image && record->LoadRecordFromBuffer((DWORD)number, (DWORD)(number >> 32), image.get());
        }
        else
        {
            loaded = number < kNtfsMax48 && record->LoadRecord(number);
        }
        if (!loaded)
        {
            if (preview)
                DebugPrint(L"[Preview] ParseFileRecord fail.\n");
            return kNtfsRecordFailed;
        }
        if (!record->LoadAttributes())
        {
            if (preview)
                DebugPrint(L"[Preview] ParseAttrs fail.\n");
            if (record->IsCompressed())
                return kNtfsCompressed;
            if (record->IsEncrypted())
                return kNtfsEncrypted;
            return kNtfsAttrsFailed;
        }
        if (record->GetBaseRecord() != 0 || record->IsDirectory() || !RecordHasName(*record, item->m_strName))
            return kNtfsRecordFailed;
        // The deleted-file and recycle-bin scans list free records only.
        if ((scanKind == SCAN_KIND_DELETED || scanKind == SCAN_KIND_RECYCLE) && !record->IsDeleted())
            return kNtfsRecordFailed;
        data = record->FindDataStream(nullptr);
        if (preview)
            DebugPrint(L"[Preview] CAttrBase=%x.\n", (unsigned)(UINT_PTR)data);
        return kNtfsLoaded;
    }

    ~NtfsEntry()
    {
        ownedRecord.reset();  // records go before their volume
        owned.reset();
    }
};

// The copy buffer for `total` bytes of a stream: a chunk, and room for the
// rest of the last cluster so that it is read with the clusters before it.
DWORD NtfsCopyBufferBytes(uint64_t total, DWORD clusterBytes)
{
    if (total == 0)
        return 0;
    const DWORD chunk = (DWORD)std::min<uint64_t>(kCopyChunk, total);
    return clusterBytes <= kCopyChunk ? chunk + clusterBytes : chunk;
}

// Where byte `offset` of a non-resident stream lies on the device; false
// when no run holds it (resident data, a sparse run, past the runs).
bool NtfsDeviceOffset(const CAttrBase* data, uint64_t offset, const CNTFSVolume& volume, uint64_t* device)
{
    const DWORD cs = volume.GetClusterSize();
    if (!data || !cs || !data->IsNonResident())
        return false;
    const uint64_t vcn = offset / cs;
    const tagDataRun_Entry* run = static_cast<const CAttrNonResident*>(data)->GetDataRunList().FindIf(
        [&](const tagDataRun_Entry* r) { return r->lcn >= 0 && vcn >= r->startVcn && vcn < r->startVcn + r->clusters; });
    if (!run)
        return false;
    *device = volume.GetPartitionOffset() + ((uint64_t)run->lcn + (vcn - run->startVcn)) * cs + offset % cs;
    return true;
}

// The bytes of a stream its record's runs hold: a damaged record may claim a
// size far beyond them (the rest does not exist to be read).
uint64_t NtfsBytesInRuns(const CAttrBase* data, uint64_t size, DWORD clusterBytes)
{
    if (!data || !data->IsNonResident() || !clusterBytes)
        return size;
    const CAttrNonResident* nr = static_cast<const CAttrNonResident*>(data);
    if (nr->GetStartVCN() != 0)
        return size;
    const uint64_t end = nr->GetEndVCN();
    return end > size / clusterBytes ? size : end * clusterBytes;
}

// Copies `total` bytes of the data stream to the sink in chunks. A chunk
// that cannot be read is read again a cluster at a time (RereadPieces): a
// bad cluster is written as zeros, so that what follows keeps its offsets
// and the file comes back as far as it can be read; a device that stopped
// answering ends the file (kRecoverDeviceGone). The copy buffer is the
// run's (or the caller's), with room for a chunk and a cluster. What reads
// well is remembered (`places`) for the probe of the device.
RecoverResult CopyNtfsData(const CAttrBase* data, uint64_t total, CNTFSVolume& volume, const CCopyBuffer& copyBuffer,
                           IRecoverSink& sink, CRecoverFile* progress, const volatile int* stop, RereadState& state,
                           CGoodPlaces* places)
{
    if (total == 0)
        return kRecoverOk;
    const DWORD chunk = (DWORD)std::min<uint64_t>(kCopyChunk, total);
    BYTE* const buffer = copyBuffer.Get();
    if (!buffer || copyBuffer.Size() < chunk)
        return kRecoverReadError;
    const DWORD room = copyBuffer.Size();
    DWORD clusterBytes = volume.GetClusterSize();
    if (clusterBytes == 0 || clusterBytes > chunk)
        clusterBytes = std::min<DWORD>(chunk, 4096);
    CDeviceProbe probe(volume.GetHandle(), volume.GetPartitionOffset(), places, volume.GetSectorSize());
    probe.AddKnown(volume.GetPartitionOffset() + volume.GetMFTAddr());
    auto readWell = [&](uint64_t fileOffset) {
        uint64_t at = 0;
        if (NtfsDeviceOffset(data, fileOffset, volume, &at))
            probe.ReadWell(at);
    };
    for (uint64_t offset = 0; offset < total;)
    {
        if (progress)
            progress->PostProgress(offset, total);
        if (stop && *stop)
            return kRecoverStopped;
        const DWORD want = (DWORD)std::min<uint64_t>(chunk, total - offset);
        DWORD got = 0;
        SetLastError(0);
        const DWORD t0 = GetTickCount();
        if (!data->ReadDataInto(offset, buffer, want, room, &got) || got != want)
        {
            state.ChunkFailed(GetTickCount() - t0, GetLastError());
            // Piece by piece, each piece ending on a cluster boundary of the file.
            uint64_t lastGood = ~0ull;
            const RecoverResult r = RereadPieces(
                buffer, want,
                [&](DWORD at) {
                    return (DWORD)std::min<uint64_t>(want - at, clusterBytes - (offset + at) % clusterBytes);
                },
                [&](DWORD at, DWORD piece) {
                    DWORD pieceGot = 0;
                    if (!data->ReadData(offset + at, buffer + at, piece, &pieceGot) || pieceGot != piece)
                        return false;
                    if (lastGood == ~0ull)
                        readWell(offset + at);  // the probe's next question may come at once
                    lastGood = offset + at;
                    return true;
                },
                [&] { return !probe.StillAnswers(); }, stop, state);
            if (lastGood != ~0ull)
                readWell(lastGood);
            if (r != kRecoverOk)
                return r;
            got = want;
        }
        else
        {
            state.anyRead = true;
            readWell(offset);
        }
        if (!sink.Put(buffer, got))
            return kRecoverWriteError;
        offset += got;
    }
    if (progress)
        progress->PostProgress(total, total);
    // Nothing of it could be read: no file, not a file of zeros.
    return state.anyRead ? kRecoverOk : kRecoverReadError;
}
}  // namespace

int CRecoverFileNTFS::RecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                    int scanKind, const wchar_t* destination, const volatile int* stop,
                                    BOOL singleFile)
{
    BeginOutcome();
    if (!item)
        return 0;
    NtfsEntry entry;
    const NtfsLoad load = entry.Load(root, lost, item, scanKind, false, m_pSession);
    switch (load)
    {
    case kNtfsLoaded:
        break;
    case kNtfsNoVolume:
        return Finish(nullptr, kRecoverVolumeNotOpen);
    case kNtfsVolumeFailed:
        return FailVolume(scanKind);
    case kNtfsCompressed:
    case kNtfsEncrypted:
        if (singleFile)
            MessageBoxByBase64Key(load == kNtfsCompressed ? kKeyNotSupportCompressed : kKeyNotSupportEncrypted,
                                  m_hNotify, MB_ICONINFORMATION, 0);
        return Finish(nullptr, kRecoverNotSupported);
    case kNtfsRecordFailed:
    case kNtfsAttrsFailed:
        // A record that no longer reads may be a device that is gone.
        if (entry.volume && !CDeviceProbe(entry.volume->GetHandle(), entry.volume->GetPartitionOffset(), RunPlaces(),
                                          entry.volume->GetSectorSize())
                                 .StillAnswers())
            return FailDeviceGone(nullptr, GetLastError());
        if (singleFile)
            MessageBoxByBase64Key(kKeyFileRecordParseErr, m_hNotify, MB_ICONERROR, 0);
        return Finish(nullptr, kRecoverRecordChanged);
    }
    // Nothing to write: no file is made.
    if (!entry.data)
        return Finish(nullptr, kRecoverNoData);
    if (!entry.data->IsDataValid())
    {
        if (singleFile)
            MessageBoxByBase64Key(kKeyReadDataErr, m_hNotify, MB_ICONERROR, 0);
        return Finish(nullptr, kRecoverReadError);
    }
    // A damaged record claiming more than the volume holds: no file is made.
    if (NtfsSizeBeyondVolume(*entry.volume, entry.data->GetDataSize()))
        return Finish(nullptr, kRecoverOutsideVolume);
    if (entry.data->GetDataSize() > m_u64Room)
        return Finish(nullptr, kRecoverTargetFull);
    CRecoverOutput output;
    if (!CreateOutput(output, destination, item->m_strName, singleFile))
        return 0;
    CFileSink sink(output);
    RereadState state;
    // A record that claims more than its runs hold is cut at its runs: the
    // rest is nowhere on the device, and it is said so.
    const uint64_t claimed = entry.data->GetDataSize();
    const uint64_t size = NtfsBytesInRuns(entry.data, claimed, entry.volume->GetClusterSize());
    m_outcome.missingBytes = claimed - size;
    const CCopyBuffer buffer(m_pSession, NtfsCopyBufferBytes(size, entry.volume->GetClusterSize()));
    const RecoverResult r =
        CopyNtfsData(entry.data, size, *entry.volume, buffer, sink, this, stop, state, RunPlaces());
    m_outcome.unreadableClusters = state.unreadable;
    m_outcome.notReadClusters = state.notRead;
    if (r == kRecoverWriteError)
        return Finish(&output, WriteFailure(output.Error()), output.Error());
    if (r == kRecoverDeviceGone)
        return FailDeviceGone(&output, state.error);
    if (r == kRecoverReadError && singleFile)
        MessageBoxByBase64Key(kKeyReadDataErr, m_hNotify, MB_ICONERROR, 0);
    return Finish(&output, r, r == kRecoverOk ? 0 : state.error);
}

IStream* CRecoverFileNTFS::ReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                        uint64_t limit, int scanKind)
{
    BeginOutcome();
    if (!item)
        return nullptr;
    NtfsEntry entry;
    if (entry.Load(root, lost, item, scanKind, true, nullptr) != kNtfsLoaded || !entry.data ||
        !entry.data->IsDataValid())
        return nullptr;
    const uint64_t size =
        NtfsBytesInRuns(entry.data, entry.data->GetDataSize(), entry.volume->GetClusterSize());
    const uint64_t wanted = limit && limit < size ? limit : size;
    CStreamSink sink;
    RereadState state;
    const CCopyBuffer buffer(nullptr, NtfsCopyBufferBytes(wanted, entry.volume->GetClusterSize()));
    const bool copied =
        sink.Create(wanted) &&
        CopyNtfsData(entry.data, wanted, *entry.volume, buffer, sink, nullptr, nullptr, state, nullptr) == kRecoverOk;
    m_outcome.unreadableClusters = state.unreadable;
    m_outcome.notReadClusters = state.notRead;
    if (!copied)
        return nullptr;
    m_outcome.result = kRecoverOk;
    m_outcome.bytesWritten = wanted;
    return sink.Detach();
}
