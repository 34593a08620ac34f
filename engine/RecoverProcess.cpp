#include "engine/RecoverProcess.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "engine/DeepScanEngine.h"
#include "engine/EngineText.h"
#include "engine/FoundItem.h"
#include "engine/RecoverFileImpl.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/PartitionTable.h"
#include "storage/VolumeList.h"

namespace
{
const char kKeyDiskNoSpace[] = "RGlza05vU3BhY2U=";
const char kKeyFileSystemUnknow[] = "RmlsZVN5c3RlbVVua25vdw==";
const char kKeyRecoverDiffDrive[] = "UmVjb3ZlckRpZmZEcml2ZQ==";

// The largest sector size a carved read is aligned to: room for it is kept
// on both sides of a chunk.
const DWORD kCarveAlign = 4096;
using recoverimpl::RereadPieces;

int CodeOfFileSystemName(const std::wstring& name)
{
    if (name == L"NTFS")
        return FS_NTFS;
    if (name == L"FAT32")
        return FS_FAT32;
    if (name == L"FAT")
        return FS_FAT16;
    if (name == L"exFAT")
        return FS_EXFAT;
    return FS_UNKNOWN;
}

bool IsFileSystemCode(int code)
{
    return code == FS_NTFS || code == FS_FAT32 || code == FS_FAT16 || code == FS_EXFAT;
}

std::wstring WideOf(const char* text, size_t max)
{
    std::wstring w;
    for (size_t i = 0; i < max && text[i]; ++i)
        w += (wchar_t)(unsigned char)text[i];
    return w;
}
}  // namespace

int PartitionTypeCodeOf(CVolumeList* volumes, int scanKind, const std::wstring& root,
                        const CPartitionInfo* partition, const ILostPartitionSource* lost)
{
    if (scanKind == SCAN_KIND_LOST_PARTITION)
    {
        if (!partition)
            return FS_UNKNOWN;
        if (IsFileSystemCode(partition->m_nType))
            return partition->m_nType;
        // A table's type byte (0x0C, 0x0E, 0xEE...) is no file-system code:
        // the partition's boot sector decides.
        uint64_t offset = 0;
        if (!lost || !LostPartitionOffset(lost, &offset))
            return FS_UNKNOWN;
        HANDLE h = OpenRawReadOnly(lost->GetDiskPath().c_str(), 0);
        if (h == INVALID_HANDLE_VALUE)
            return FS_UNKNOWN;
        BYTE boot[4096];
        const DWORD got = ReadAt(h, offset, boot, sizeof(boot));
        CloseHandle(h);
        return got >= 512 ? DetectFileSystem(boot) : FS_UNKNOWN;
    }
    if (!volumes || root.empty())
        return FS_UNKNOWN;
    const CVolumeInfo* volume = volumes->FindVolumeByLetter((wchar_t)towupper(root[0]));
    if (!volume)
        volume = volumes->FindVolumeByLetter((wchar_t)towlower(root[0]));
    return volume ? CodeOfFileSystemName(volume->m_strFileSystem) : FS_UNKNOWN;
}

CRecoverProcessWorker::CRecoverProcessWorker(IMainFrameServices* mainFrame, const std::wstring& target,
                                             int remainFullPath, bool singleFile)
    : m_pMainFrame(mainFrame),
      m_strTarget(target),
      m_bRemainFullPath(remainFullPath),
      m_bSingleFile(singleFile),
      m_bStop(0),
      m_hThread(nullptr),
      m_hDialog(nullptr),
      m_nScanKind(0),
      m_pLost(nullptr),
      m_pVolumes(nullptr),
      m_nTargetKind(SCAN_TARGET_VOLUME),
      m_nLastPerMille(-1),
      m_nRecovered(0),
      m_bRefused(false)
{
}

CRecoverProcessWorker::~CRecoverProcessWorker()
{
    StopAndWait(INFINITE);
}

bool CRecoverProcessWorker::Start(HWND dialog)
{
    if (m_hThread || !m_pMainFrame || !m_pMainFrame->GetScanDiskDlg())
        return false;
    m_hDialog = dialog;
    m_nScanKind = ScanKind;
    m_pLost = m_pMainFrame->GetLostPartitionSource();
    m_pVolumes = m_pMainFrame->GetVolumeList();
    m_strVolumeRoot = m_pMainFrame->GetSelectedVolumeRoot();
    m_nTargetKind = m_pMainFrame->GetScanDiskDlg()->GetTargetKind();
    m_bStop = 0;
    m_results.clear();
    m_nRecovered = 0;
    m_bRefused = false;
    m_bFreeKnown = false;
    m_bNoSpaceShown = false;
    m_bStatusPosted = false;
    m_bStatusPending = false;
    m_pReader.reset();
    m_session.SetBeforeProgress(&CRecoverProcessWorker::FlushStatusOf, this);
    m_hThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    return m_hThread != nullptr;
}

bool CRecoverProcessWorker::StopAndWait(DWORD timeoutMs)
{
    if (!m_hThread)
        return true;
    Stop();
    if (WaitForSingleObject(m_hThread, timeoutMs) != WAIT_OBJECT_0)
        return false;
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    return true;
}

bool CRecoverProcessWorker::IsRunning() const
{
    return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

DWORD WINAPI CRecoverProcessWorker::ThreadProc(LPVOID param)
{
    // No COM here: the copy reads devices and writes files. Joining an
    // apartment cost a fifth of a second before the first file under Wine.
    static_cast<CRecoverProcessWorker*>(param)->Run();
    return 0;
}

ScannedSource MakeScannedSource(IMainFrameServices* mainFrame, int scanKind, const std::vector<CFoundItem*>& entries)
{
    ScannedSource s;
    s.scanKind = scanKind;
    if (!mainFrame)
        return s;
    s.volumeRoot = mainFrame->GetSelectedVolumeRoot();
    s.lost = mainFrame->GetLostPartitionSource();
    if (CScanDiskDlg* dlg = mainFrame->GetScanDiskDlg())
    {
        s.targetKind = dlg->GetTargetKind();
        s.diskNumber = dlg->GetDiskNumber();
        if (dlg->GetImagePath())
            s.imagePath = dlg->GetImagePath();
    }
    for (const CFoundItem* e : entries)
        if (e && std::find(s.entryLetters.begin(), s.entryLetters.end(), e->GetDriveLetter()) == s.entryLetters.end())
            s.entryLetters.push_back(e->GetDriveLetter());
    return s;
}

void CRecoverProcessWorker::Run()
{
    std::vector<CFoundItem*> entries;
    std::vector<DeepScanHit*> hits;
    if (m_nScanKind == SCAN_KIND_DEEP)
        m_pMainFrame->GetCheckedCarvedFiles(hits);
    else
        m_pMainFrame->GetCheckedFiles(entries);

    // Nothing is written onto what is read: checked once for the whole run,
    // before the first write.
    if (IsTargetOnScannedDevice(MakeScannedSource(m_pMainFrame, m_nScanKind, entries), m_strTarget))
    {
        m_bRefused = true;
        ShowBox(kKeyRecoverDiffDrive, MB_ICONINFORMATION);
    }
    else if (m_nScanKind == SCAN_KIND_DEEP)
    {
        RunCarved(hits);
    }
    else
    {
        RunFound(entries);
    }

    RecoverFinishedInfo* info = new RecoverFinishedInfo();
    info->recovered = m_nRecovered;
    info->partial = (int)std::count_if(m_results.begin(), m_results.end(),
                                       [](const RecoverEntryResult& r) { return r.outcome.Partial(); });
    info->failed = (int)m_results.size() - m_nRecovered;
    info->stopped = m_bStop != 0;
    info->explorerArgument = std::wstring(m_bSingleFile ? L" /select," : L"") + L"\"" + m_strTarget + L"\"";
    if (!PostToDialog(WMU_RecoverFinished, (WPARAM)info, 0))
        delete info;
}

void CRecoverProcessWorker::RunCarved(const std::vector<DeepScanHit*>& hits)
{
    // The thumbnail worker reads the scanned device too: hold it off.
    m_pMainFrame->SetThumbnailStop(true);
    if (HANDLE thumbnails = m_pMainFrame->GetThumbnailThread())
        WaitForSingleObject(thumbnails, 5000);
    // A handle of our own: the frame's may still be read through elsewhere,
    // and one handle's file position cannot serve two readers.
    CScanDiskDlg* dlg = m_pMainFrame->GetScanDiskDlg();
    HANDLE device = dlg->OpenScanTarget(nullptr, 0);
    if (device == INVALID_HANDLE_VALUE || device == nullptr)
    {
        ShowLastErrorBox(m_hDialog, L"CreateFile", 0);
        m_pMainFrame->SetThumbnailStop(false);
        return;
    }
    CCarvedFolderLayout layout(m_strTarget, m_bRemainFullPath != 0);
    m_u64CarveDeviceLength = QueryDeviceLength(device, m_nTargetKind != SCAN_TARGET_IMAGE);
    m_dwCarveSectorBytes = DetectDiskSectorSize(device);
    m_hCarveDevice = device;
    // Places that read well are this device's from here on.
    m_session.GoodPlaces().Clear();
    const int n = (int)hits.size();
    for (int k = 0; k < n && m_bStop != 1; ++k)
    {
        const DeepScanHit* hit = hits[k];
        if (!hit)
            continue;
        const std::wstring hitName = WideOf(hit->szName, sizeof(hit->szName));
        // One that does not fit is refused before anything is written, by
        // WriteCarvedFile after its range check (a damaged hit is damaged,
        // not too large).
        const bool fits = FitsOnTarget(hit->u64Length);
        m_u64Room = fits ? ~0ull : m_u64Free;
        std::wstring path;
        if (m_bSingleFile)
        {
            path = m_strTarget;
            const size_t slash = m_strTarget.find_last_of(L'\\');
            PostStatus(n, slash == std::wstring::npos ? m_strTarget : m_strTarget.substr(slash + 1));
        }
        else
        {
            const std::string ext(hit->szExtension, strnlen(hit->szExtension, sizeof(hit->szExtension)));
            const std::wstring folder = EnsureDestination(layout.NextFolder(ext));
            path = folder + L"\\" + SafeRecoverName(hitName);
            PostStatus(n, hitName);
        }
        PostPerMille((uint64_t)k, (uint64_t)n);
        WriteCarvedFile(device, path, hit, m_nTargetKind, m_hDialog, &m_bStop);
        m_u64Room = ~0ull;
        CountWritten(m_carvedOutcome.bytesWritten);
        Record(hitName, m_carvedOutcome);
        if (!fits && m_carvedOutcome.result == kRecoverTargetFull)
        {
            // Known not to fit before it was tried: it fails alone.
            NoSpaceBoxOnce(!m_bSingleFile);
            continue;
        }
        if (m_carvedOutcome.TargetFailed() && EndsRun(m_carvedOutcome))
            break;
        if (m_carvedOutcome.postedDone)
            break;
    }
    m_hCarveDevice = nullptr;
    m_u64CarveDeviceLength = 0;
    m_dwCarveSectorBytes = 0;
    m_session.GoodPlaces().Clear();
    CloseHandle(device);
    m_pMainFrame->SetThumbnailStop(false);
}

void CRecoverProcessWorker::RunFound(const std::vector<CFoundItem*>& entries)
{
    DebugPrint(L"RecoverFile total %d, RemainFullPath %d\n", (int)entries.size(), m_bRemainFullPath);
    const std::wstring recycleText = EngineUIText(L"Recycle");
    const int n = (int)entries.size();
    std::wstring lastPath, lastDestination;
    std::unordered_map<std::wstring, std::wstring> destinations;  // entry folder -> folder made for it
    for (int k = 0; k < n; ++k)
    {
        CFoundItem* entry = entries[k];
        if (!entry)
            continue;
        if (m_bStop == 1)
            break;
        // Whatever its percentage, an entry goes to its reader, which refuses
        // a size beyond what its volume holds (a damaged record) and then one
        // beyond the room on the target, both before any file is made.
        const bool fits = FitsOnTarget(entry->m_u64Size);
        m_u64Room = fits ? ~0ull : m_u64Free;
        std::wstring destination = m_strTarget;
        if (m_bRemainFullPath && !m_bSingleFile)
        {
            const std::wstring& path =
                m_nScanKind == SCAN_KIND_FORMATTED ? entry->GetCurrentPath() : entry->GetPath();
            // Entries come in the order of the scan, from folder to folder,
            // and most folders come again: each folder's answer is kept for
            // the run (one that could not be made is asked again).
            if (path != lastPath || lastDestination.empty())
            {
                lastPath = path;
                auto known = destinations.find(path);
                if (known != destinations.end())
                {
                    lastDestination = known->second;
                }
                else
                {
                    bool made = false;
                    lastDestination = EnsureDestination(
                        KeepPathFolder(m_strTarget, path, m_nScanKind != SCAN_KIND_LOST_PARTITION, recycleText),
                        &made);
                    if (made)
                        destinations.emplace(path, lastDestination);
                }
            }
            destination = lastDestination;
        }
        PostStatus(n, entry->m_strName);
        DebugPrint(L"Recover to %s\n", destination.c_str());
        RecoverFoundItem(destination, entry);
        m_u64Room = ~0ull;
        const RecoverOutcome& outcome = m_results.back().outcome;
        CountWritten(outcome.bytesWritten);
        if (!fits && outcome.result == kRecoverTargetFull)
        {
            // Known not to fit before it was tried: it fails alone.
            NoSpaceBoxOnce(!m_bSingleFile);
            continue;
        }
        if (outcome.TargetFailed() && EndsRun(outcome))
            break;
        if (outcome.postedDone)
            break;
    }
    m_bRemainFullPath = 0;
}

int CRecoverProcessWorker::RecoverFoundItem(const std::wstring& destination, CFoundItem* entry)
{
    RecoverOutcome outcome;
    if (!entry)
    {
        Record(L"", outcome);
        return 0;
    }
    std::wstring root = m_strVolumeRoot;
    if (m_nScanKind == SCAN_KIND_RECYCLE)
    {
        const wchar_t letter = entry->GetDriveLetter();
        const CVolumeInfo* volume = m_pVolumes ? m_pVolumes->FindVolumeByLetter(letter) : nullptr;
        root = volume ? volume->m_strRoot : std::wstring(1, letter) + L":\\";
    }
    const CPartitionInfo* partition = m_pLost ? m_pLost->GetCurrentPartition() : nullptr;
    // The file system of a volume is asked once per run (for a lost
    // partition that reads its boot sector), and its reader serves every
    // entry of it.
    if (!m_pReader || root != m_strReaderRoot || partition != m_pReaderPartition)
    {
        const int code = m_pMainFrame->GetPartitionTypeCode(m_nScanKind, root, partition);
        if (!m_pReader || code != m_nReaderCode)
        {
            m_pReader.reset(CreateRecoverFile(code, m_hDialog));
            if (m_pReader && m_pfnSink)
                m_pReader->SetMessageSink(m_pfnSink, m_pSinkContext);
            if (m_pReader && !m_bSingleFile)
                m_pReader->SetSession(&m_session);
        }
        m_nReaderCode = code;
        m_strReaderRoot = root;
        m_pReaderPartition = partition;
    }
    CRecoverFile* reader = m_pReader.get();
    if (reader)
        reader->SetTargetRoom(m_u64Room);
    if (!reader)
    {
        MessageBoxByBase64Key(kKeyFileSystemUnknow, m_hDialog, MB_ICONINFORMATION, 0);
        // Posted, never sent: the dialog may be waiting for this thread.
        PostToDialog(WMU_RecoverDone, 1, 0);
        outcome.result = kRecoverUnknownFileSystem;
        outcome.postedDone = true;
        Record(entry->m_strName, outcome);
        return 0;
    }
    const int ok = reader->RecoverToFile(root.c_str(), m_pLost, entry, m_nScanKind, destination.c_str(), &m_bStop,
                                         m_bSingleFile ? TRUE : FALSE);
    Record(entry->m_strName, reader->GetLastOutcome());
    return ok;
}

int CRecoverProcessWorker::WriteCarvedFile(HANDLE device, const std::wstring& path, const DeepScanHit* hit,
                                           int targetKind, HWND notify, const volatile int* stop)
{
    RecoverOutcome& outcome = m_carvedOutcome;
    outcome = RecoverOutcome();
    if (!hit)
        return 0;
    if ((int64_t)hit->u64Length <= 0 || hit->uValid == 0)
    {
        outcome.result = kRecoverInvalidHit;
        return 0;
    }
    const uint64_t start = hit->GetStart();
    const uint64_t length = hit->u64Length;
    // The range must lie on the device: a result from another device, or a
    // damaged one, is refused rather than cut short or filled.
    const bool runDevice = m_hCarveDevice && device == m_hCarveDevice && targetKind == m_nTargetKind;
    const uint64_t deviceLength =
        runDevice ? m_u64CarveDeviceLength : QueryDeviceLength(device, targetKind != SCAN_TARGET_IMAGE);
    if (start < hit->u64WindowBase || start + length < start ||
        (deviceLength && (start >= deviceLength || length > deviceLength - start)))
    {
        outcome.result = kRecoverOutsideDevice;
        return 0;
    }
    if (length > m_u64Room)
    {
        outcome.result = kRecoverTargetFull;
        return 0;
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const DWORD chunk = std::max<DWORD>(si.dwAllocationGranularity, kCarveAlign) * 512;
    // The run's buffer, kept from file to file.
    const recoverimpl::CCopyBuffer copyBuffer(&m_session, chunk + 2 * kCarveAlign);
    BYTE* const buffer = copyBuffer.Get();
    if (!buffer)
    {
        outcome.result = kRecoverReadError;
        return 0;
    }
    CRecoverOutput output;
    const size_t slash = path.find_last_of(L'\\');
    const bool created =
        m_bSingleFile || slash == std::wstring::npos
            ? output.Create(path, L"", true, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE)
            : output.Create(path.substr(0, slash), path.substr(slash + 1), false, GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!created)
    {
        outcome.result = kRecoverCreateFailed;
        outcome.error = output.Error();
        return 0;
    }
    outcome.path = output.Path();
    int lastPerMille = -1;
    RecoverResult result = kRecoverOk;
    recoverimpl::RereadState state;
    // Reads are aligned to the device's sector, and bad ones read again
    // sector by sector: a bad sector beside a file is none of its bytes.
    DWORD unit = runDevice && m_dwCarveSectorBytes ? m_dwCarveSectorBytes : DetectDiskSectorSize(device);
    if (unit == 0 || unit > kCarveAlign || kCarveAlign % unit)
        unit = kCarveAlign;
    // The device's first sector was read by the scan; what reads well is
    // remembered from file to file of the run.
    recoverimpl::CDeviceProbe probe(device, 0, &m_session.GoodPlaces(), unit);
    for (uint64_t written = 0; written < length;)
    {
        if (stop && *stop)
        {
            result = kRecoverStopped;
            break;
        }
        const int perMille = (int)((double)written * 1000.0 / (double)length);
        if (perMille != lastPerMille)
            PostToDialog(WMU_RecoverProgress, (WPARAM)perMille, 0, notify);
        lastPerMille = perMille;
        // One aligned read covering the next piece; every byte of it must come.
        const uint64_t from = start + written;
        const DWORD want = (DWORD)std::min<uint64_t>(chunk, length - written);
        const uint64_t alignedFrom = from / unit * unit;
        uint64_t alignedTo = (from + want + unit - 1) / unit * unit;
        if (deviceLength && alignedTo > deviceLength)
            alignedTo = deviceLength;  // a device ends on a whole sector
        const DWORD span = (DWORD)(alignedTo - alignedFrom);
        SetLastError(0);
        const DWORD t0 = GetTickCount();
        const DWORD got = ReadAt(device, alignedFrom, buffer, span);
        if (got < (DWORD)(from - alignedFrom) + want)
        {
            state.ChunkFailed(GetTickCount() - t0, GetLastError());
            // Unreadable sectors: the span again sector by sector, a bad
            // sector written as zeros; the file is kept, partial. The
            // sectors are asked in blocks of kCarveAlign first: a block
            // that reads gives all of its sectors at one read, and only the
            // sectors of one that fails are asked one by one.
            std::vector<signed char> blocks((span + kCarveAlign - 1) / kCarveAlign, 0);  // 1 read, -1 failed
            const RecoverResult r = RereadPieces(
                buffer, span, [&](DWORD at) { return std::min<DWORD>(unit, span - at); },
                [&](DWORD at, DWORD sector) {
                    signed char& block = blocks[at / kCarveAlign];
                    const DWORD blockAt = at / kCarveAlign * kCarveAlign;
                    const DWORD blockBytes = std::min<DWORD>(kCarveAlign, span - blockAt);
                    if (block == 0 && unit < blockBytes)
                    {
                        const DWORD b0 = GetTickCount();
                        block = ReadAt(device, alignedFrom + blockAt, buffer + blockAt, blockBytes) == blockBytes ? 1 : -1;
                        if (block > 0)
                            probe.ReadWell(alignedFrom + blockAt);
                        else
                            state.failedMs += GetTickCount() - b0;
                    }
                    if (block > 0)
                        return true;
                    if (ReadAt(device, alignedFrom + at, buffer + at, sector) != sector)
                        return false;
                    probe.ReadWell(alignedFrom + at);
                    return true;
                },
                [&] { return !probe.StillAnswers(); }, stop, state);
            if (r == kRecoverStopped)
            {
                result = kRecoverStopped;
                break;
            }
            if (r != kRecoverOk)
            {
                // The device is gone: say so, and end the run.
                outcome.error = state.error;
                result = kRecoverDeviceGone;
                output.Remove();
                ShowBox(recoverimpl::kKeyDeviceGone, MB_ICONERROR, notify);
                PostToDialog(WMU_RecoverDone, 1, 0, notify);
                outcome.postedDone = true;
                break;
            }
        }
        else
        {
            state.anyRead = true;
            probe.ReadWell(alignedFrom);
        }
        if (!output.Write(buffer + (from - alignedFrom), want))
        {
            outcome.error = output.Error();
            result = recoverimpl::WriteFailure(output.Error());
            break;
        }
        written += want;
    }
    outcome.unreadableClusters = state.unreadable;
    outcome.notReadClusters = state.notRead;
    if (result == kRecoverOk && !state.anyRead)
    {
        // Nothing of it could be read: no file of zeros.
        outcome.error = state.error;
        result = kRecoverReadError;
    }
    if (result == kRecoverOk)
    {
        output.Keep();
        if (output.Error())
        {
            result = recoverimpl::WriteFailure(output.Error());
            outcome.error = output.Error();
            DeleteFileW(LongPathForm(output.Path(), MAX_PATH).c_str());
        }
    }
    else
    {
        output.Remove();
    }
    outcome.result = result;
    // Only a file that is left has a path and bytes.
    outcome.bytesWritten = result == kRecoverOk ? output.Written() : 0;
    if (result != kRecoverOk)
        outcome.path.clear();
    return result == kRecoverOk ? 1 : 0;
}

bool CRecoverProcessWorker::FitsOnTarget(uint64_t bytes)
{
    const DWORD now = GetTickCount();
    if (!m_bFreeKnown || bytes > m_u64Free || now - m_dwFreeTick >= 1000)
    {
        uint64_t free = 0;
        if (!TargetFreeBytes(m_bSingleFile ? m_strTarget : m_strTarget + L"\\", &free))
        {
            m_bFreeKnown = false;
            return true;  // not known: the writes will tell
        }
        m_bFreeKnown = true;
        m_u64Free = free;
        m_dwFreeTick = now;
    }
    return bytes <= m_u64Free;
}

bool CRecoverProcessWorker::EndsRun(const RecoverOutcome& failed)
{
    if (failed.result != kRecoverTargetFull)
    {
        ShowBox(recoverimpl::kKeyErrorWhenRecover, MB_ICONERROR);
        return true;
    }
    // The count of what is left was short (clusters larger than assumed, or
    // others writing there): ask again. While room is left, a smaller file
    // may still fit.
    uint64_t free = 0;
    bool ends = true;
    if (TargetFreeBytes(m_bSingleFile ? m_strTarget : m_strTarget + L"\\", &free))
    {
        m_bFreeKnown = true;
        m_u64Free = free;
        m_dwFreeTick = GetTickCount();
        ends = m_bSingleFile || free == 0;
    }
    NoSpaceBoxOnce(!ends);
    return ends;
}

void CRecoverProcessWorker::NoSpaceBoxOnce(bool runGoesOn)
{
    if (m_bNoSpaceShown)
        return;
    m_bNoSpaceShown = true;
    // The progress frame does not stand behind the box: it leaves the
    // screen first, and comes back only for a run that goes on.
    const bool hidden = m_hDialog && IsWindowVisible(m_hDialog);
    if (hidden)
        ShowWindow(m_hDialog, SW_HIDE);
    ShowBox(kKeyDiskNoSpace, MB_ICONERROR);
    if (hidden && runGoesOn && !m_bStop && IsWindow(m_hDialog))
        ShowWindow(m_hDialog, SW_SHOWNA);
}

void CRecoverProcessWorker::CountWritten(uint64_t bytes)
{
    // A file takes whole clusters: counted in 4 KiB units at least.
    const uint64_t taken = (bytes + 4095) / 4096 * 4096;
    m_u64Free = taken < m_u64Free ? m_u64Free - taken : 0;
}

std::wstring CRecoverProcessWorker::EnsureDestination(const std::wstring& folder, bool* made)
{
    bool unused = false;
    bool& exists = made ? *made : unused;
    exists = true;
    // A folder whose files the system could not name (measured here: some
    // systems cut such a path instead of refusing it) is not asked for.
    if (FitsSystemPath(folder, kFileNameRoom) && m_session.EnsureFolder(folder))
        return folder;
    // The deepest folder of the chain that could be made, then "~deep" in it.
    // One try makes what it can of the chain from the top down; after it
    // only a folder made on the way is taken.
    std::wstring parent = folder;
    bool tried = false;
    while (parent.size() > m_strTarget.size())
    {
        const size_t slash = parent.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash < m_strTarget.size())
            break;
        parent.resize(slash);
        const std::wstring deep = parent + L"\\~deep";
        if (!FitsSystemPath(deep, kFileNameRoom) || (tried && !m_session.KnowsFolder(parent)))
            continue;
        if (m_session.EnsureFolder(parent))
            return m_session.EnsureFolder(deep) ? deep : parent;
        tried = true;
    }
    exists = false;
    return folder;  // the create of the file will say why
}

bool CRecoverProcessWorker::PostToDialog(UINT message, WPARAM wParam, LPARAM lParam, HWND window)
{
    if (m_pfnSink)
    {
        m_pfnSink(m_pSinkContext, message, wParam, lParam);
        return true;
    }
    HWND target = window ? window : m_hDialog;
    return target && PostMessageW(target, message, wParam, lParam);
}

void CRecoverProcessWorker::PostStatus(int n, const std::wstring& name)
{
    m_nPendingRecovered = m_nRecovered;
    m_nPendingCount = n;
    m_strPendingName = name;
    m_bStatusPending = true;
    const DWORD now = GetTickCount();
    if (!m_bStatusPosted || now - m_dwLastStatus >= CRecoverSession::kProgressIntervalMs)
        FlushStatus();
}

void CRecoverProcessWorker::FlushStatus()
{
    if (!m_bStatusPending)
        return;
    m_bStatusPending = false;
    m_bStatusPosted = true;
    m_dwLastStatus = GetTickCount();
    // The texts are made only for the lines that are shown.
    RecoverStatusText* status =
        new RecoverStatusText{EngineFormatTwoInts(L"RecoveredCount", m_nPendingRecovered, m_nPendingCount),
                              EngineFormatText(L"InRecovering", m_strPendingName.c_str())};
    if (!PostToDialog(WMU_RecoverStatus, (WPARAM)status, 0))
        delete status;
}

void CRecoverProcessWorker::PostPerMille(uint64_t done, uint64_t total)
{
    if (total == 0)
        return;
    const int perMille = (int)(done * 1000 / total);
    if (perMille == m_nLastPerMille)
        return;
    // By time as well: a run of many small files moves the bar a few times a second.
    const DWORD now = GetTickCount();
    if (m_nLastPerMille >= 0 && now - m_dwLastPerMilleTick < CRecoverSession::kProgressIntervalMs)
        return;
    m_nLastPerMille = perMille;
    m_dwLastPerMilleTick = now;
    PostToDialog(WMU_RecoverProgress, (WPARAM)perMille, 0);
}

void CRecoverProcessWorker::ShowBox(const char* base64Key, UINT type, HWND owner)
{
    MessageBoxByBase64Key(base64Key, owner ? owner : m_hDialog, type, 0);
}

void CRecoverProcessWorker::Record(const std::wstring& name, const RecoverOutcome& outcome)
{
    m_results.push_back(RecoverEntryResult{name, outcome});
    if (outcome.Ok())
        ++m_nRecovered;
}

std::wstring CRecoverProcessWorker::FinishedText(const RecoverFinishedInfo& info)
{
    if (info.recovered <= 0)
        return info.failed > 0 ? EngineFormatInt(L"RecoverNothing", info.failed) : std::wstring();
    if (info.partial > 0)
    {
        const int counts[] = {info.recovered, info.recovered - info.partial, info.partial, info.failed};
        return EngineFormatInts(L"RecoverSummary", counts, 4);
    }
    // Every file that came back is whole: nothing was written as zeros.
    if (info.failed > 0)
    {
        const int counts[] = {info.recovered, info.failed};
        return EngineFormatInts(L"RecoverSomeFailed", counts, 2);
    }
    return info.recovered == 1 ? EngineUIText(L"RecoverSuccessOne") : EngineFormatInt(L"RecoverSuccess", info.recovered);
}

void CRecoverProcessWorker::ShowRecoverFinished(HWND mainWindow, const RecoverFinishedInfo& info)
{
    const std::wstring text = FinishedText(info);
    if (text.empty())
        return;
    const std::wstring title = EngineUIText(L"SuccessTitle");
    if (info.recovered <= 0)
    {
        ShowMessageDlg(mainWindow, text.c_str(), title.c_str(), MB_OK | MB_ICONINFORMATION, 0);
        return;
    }
    if (ShowMessageDlg(mainWindow, text.c_str(), title.c_str(), MB_YESNO | MB_ICONINFORMATION, 0) == IDYES)
        ShellExecuteW(nullptr, L"open", L"Explorer.exe", info.explorerArgument.c_str(), nullptr, SW_SHOWDEFAULT);
}
