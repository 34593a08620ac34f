#include "engine/DeepScanEngine.h"

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "core/Log.h"
#include "engine/FormatPluginRegistry.h"
#include "storage/DeviceIo.h"
#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceHealth.h"
#include "storage/DiskMappingPointer.h"

bool CDeepScanEngine::s_bDebugTrace = false;

namespace
{
const uint64_t kDefaultMaxLength = 10737418240ull;  // 10 GiB
const uint64_t kDefaultMinLength = 512;
const unsigned int kDefaultBlockStep = 512;
const unsigned int kProgressBlocks = 40;

// Codes that say the handle itself no longer reaches the device. Others
// (ERROR_NOT_READY, ERROR_GEN_FAILURE, ...) come from bad sectors as well as
// from a pulled device: the device health record tells them apart by asking
// the device again.
bool IsDeviceGone(DWORD error)
{
    return error == ERROR_FILE_INVALID || error == ERROR_INVALID_HANDLE;
}

// Tells the scan's record of read trouble what the device health finds.
class CScanTroubleSink : public IDeviceHealthSink
{
public:
    explicit CScanTroubleSink(CReadTrouble& trouble) : m_trouble(trouble) {}
    void NoteUnreadable(uint64_t offset, uint64_t bytes) override { m_trouble.NoteUnreadable(offset, bytes); }
    void NoteDeviceGone(uint64_t offset) override { m_trouble.NoteDeviceGone(offset); }

private:
    CReadTrouble& m_trouble;
};

// Reads len bytes at a device offset through a handle; whatever cannot be
// read (past the end, a failing sector run) is left as zeros. A failed read
// is taken apart by the device health record, so that every sector of it
// that reads is there.
void ReadEdge(HANDLE h, uint64_t offset, unsigned char* buf, size_t len, uint64_t limit,
            unsigned int unit, CDeviceHealth* health)
{
    if (!h || h == INVALID_HANDLE_VALUE || offset >= limit)
    {
        memset(buf, 0, len);
        return;
    }
    uint64_t want = len;
    if (limit - offset < want)
    {
        want = limit - offset;
        // Devices read whole sectors only; the tail past the limit is cleared below.
        if (unit > 1)
            want = (want + unit - 1) / unit * unit;
        if (want > len)
            want = len;
    }
    uint64_t valid = limit - offset < len ? limit - offset : len;
    const bool knownBad = health && health->KnownBad(offset, want);
    DWORD got = 0;
    DWORD failedMs = 0;
    if (!knownBad)
    {
        const ULONGLONG t0 = GetTickCount64();
        got = ::ReadAt(h, offset, buf, (DWORD)want);
        if (got < valid)
            failedMs = (DWORD)(GetTickCount64() - t0);
    }
    if (got < valid && health)
    {
        health->ReadAround(h, offset, buf, (DWORD)want, unit, limit, !knownBad, failedMs);
        got = (DWORD)valid;
    }
    if (got > valid)
        got = (DWORD)valid;
    if (got < len)
        memset(buf + got, 0, len - got);
}

// Only characters that are safe inside a file name survive in an extension.
void SanitizeExtension(char* ext, size_t size)
{
    ext[size - 1] = 0;
    for (size_t i = 0; i < size && ext[i]; ++i)
    {
        unsigned char c = (unsigned char)ext[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || (c == '.' && i > 0);
        if (!ok)
            ext[i] = '_';
    }
}
}  // namespace

CDeepScanEngine::CDeepScanEngine(IMainFrameServices* mainFrame)
    : m_pReader(nullptr),
      m_pAnalysis(nullptr),
      m_pMainFrame(mainFrame),
      m_uAccepted(0),
      m_pScanDlg(mainFrame ? mainFrame->GetScanDiskDlg() : nullptr),
      m_pWindow(nullptr),
      m_bSizeLimit(true),
      m_uBlockStep(kDefaultBlockStep),
      m_u64MaxLength(kDefaultMaxLength),
      m_u64MinLength(kDefaultMinLength),
      m_bRunning(0),
      m_uPluginCount(0),
      m_u64WindowStart(0),
      m_u64WindowValid(0),
      m_u64WindowBytes(0),
      m_u64EdgeStart(0),
      m_hAnalysis(nullptr),
      m_bSharedHandle(false),
      m_pHealth(nullptr),
      m_hLog(INVALID_HANDLE_VALUE),
      m_u64LastReportTick(0),
      m_nWindowTurn(WINDOW_IDLE)
{
    InitializeSRWLock(&m_windowLock);
    InitializeConditionVariable(&m_windowTurn);
}

CDeepScanEngine::~CDeepScanEngine()
{
    m_checks.clear();
    m_plugins.clear();
    delete m_pAnalysis;
    CloseScanLog();
}

void CDeepScanEngine::SetBlockStep(unsigned int step)
{
    // A step of 0 would never advance.
    m_uBlockStep = step ? step : kDefaultBlockStep;
}

void CDeepScanEngine::BindPlugins(const std::vector<std::wstring>& formatNames)
{
    if (formatNames.empty() || !m_pMainFrame)
        return;
    CFormatPluginRegistry* registry = m_pMainFrame->GetPluginRegistry();
    if (!registry)
        return;
    m_uPluginCount = (unsigned int)m_plugins.size();
    for (const std::wstring& name : formatNames)
    {
        HMODULE module = registry->FindByFormat(name);
        if (!module)
            continue;
        FormatPluginEntry entry;
        memset(&entry, 0, sizeof(entry));
        entry.uSize = 32;
        entry.hModule = module;
        entry.pfnGetSupportFormat =
            (PFN_GetSupportFormat)(void*)GetProcAddress(module, DELVARO_EXPORT_GetSupportFormat);
        if (!entry.pfnGetSupportFormat)
            continue;
        const int32_t* simple = (const int32_t*)(void*)GetProcAddress(module, DELVARO_EXPORT_IsFileSigSimple);
        if (!simple)
            continue;
        entry.nSimple = *simple;
        const int32_t* atOnce =
            (const int32_t*)(void*)GetProcAddress(module, DELVARO_EXPORT_CanGetFileLenImmediately);
        if (!atOnce)
            continue;
        entry.nLenAtOnce = *atOnce;
        if (entry.nLenAtOnce != 0)
        {
            entry.pfnGetFileSizeAtOnce =
                (PFN_GetFileSizeAtOnce)(void*)GetProcAddress(module, DELVARO_EXPORT_GetFileSizeAtOnce);
            if (!entry.pfnGetFileSizeAtOnce)
                continue;
        }
        PFN_GetFileSign getSign = (PFN_GetFileSign)(void*)GetProcAddress(module, DELVARO_EXPORT_GetFileSign);
        if (!getSign)
            continue;
        entry.pfnGetRawFileInfo = (PFN_GetRawFileInfo)(void*)GetProcAddress(module, DELVARO_EXPORT_GetRawFileInfo);
        if (!entry.pfnGetRawFileInfo)
            continue;

        if (entry.nSimple != 0)
        {
            FileSignRecord record;
            memset(&record, 0, sizeof(record));
            if (getSign(&record) && record.count > 0 && record.count < FILE_SIGN_MAX)
                m_trie.Insert(record.signature, record.count, (int)m_uPluginCount);
        }
        else
        {
            // The plug-in writes one pointer; the slot is padded so a plug-in
            // built for a wider pointer cannot write past it.
            union
            {
                FileSignCheckProc proc;
                unsigned char raw[16];
            } slot;
            memset(&slot, 0, sizeof(slot));
            if (getSign(&slot) && slot.proc)
            {
                FileSignCheck check;
                check.uPluginIndex = m_uPluginCount;
                check.pfnCheck = slot.proc;
                m_checks.push_back(check);
            }
        }
        m_plugins.push_back(entry);
        ++m_uPluginCount;
    }
}

int CDeepScanEngine::Run()
{
    if (!m_pReader || m_pReader->GetTotalSize() == 0 || !m_pScanDlg)
    {
        m_bRunning = 0;
        return 0;
    }
    OpenScanLog();
    m_kept.assign(m_plugins.size(), KeptExtent());
    int result = DirectScan();
    CloseScanLog();
    return result;
}

HANDLE CDeepScanEngine::OpenAnalysisHandle(bool* ownHandle)
{
    *ownHandle = false;
    // The reader's second handle on its path is an independent file object:
    // seeks through it never move the scan handle's file pointer.
    if (m_pReader->m_hFile2 && m_pReader->m_hFile2 != INVALID_HANDLE_VALUE)
        return m_pReader->m_hFile2;
    typedef HANDLE(WINAPI * ReOpenFileProc)(HANDLE, DWORD, DWORD, DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    ReOpenFileProc reopen = kernel ? (ReOpenFileProc)(void*)GetProcAddress(kernel, "ReOpenFile") : nullptr;
    if (reopen && m_pReader->m_hFile && m_pReader->m_hFile != INVALID_HANDLE_VALUE)
    {
        HANDLE h = reopen(m_pReader->m_hFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
        if (h && h != INVALID_HANDLE_VALUE)
        {
            *ownHandle = true;
            return h;
        }
    }
    return nullptr;
}

int CDeepScanEngine::DirectScan()
{
    if (!m_pReader || m_pReader->GetTotalSize() == 0 || !m_pScanDlg)
    {
        m_bRunning = 0;
        return 0;
    }
    m_bRunning = 1;

    bool ownAnalysisHandle = false;
    m_hAnalysis = OpenAnalysisHandle(&ownAnalysisHandle);
    // Without a handle of its own the analysis shares the scan handle; the
    // windows are then scanned and read one after the other, never at once.
    m_bSharedHandle = (m_hAnalysis == nullptr);
    if (m_bSharedHandle)
        m_hAnalysis = m_pReader->m_hFile;

    delete m_pAnalysis;
    m_pAnalysis =
        new CDiskMappingPointer(m_hAnalysis, 0, m_pScanDlg->GetTargetKind(), ANALYSIS_WINDOW_BYTES, 512, 0);
    // Where the device length cannot be asked (some drivers, Wine), the scan
    // reader's length is the best one known.
    if (m_pAnalysis->m_Limit == 0 || m_pAnalysis->m_Limit > m_pReader->GetTotalSize())
        m_pAnalysis->m_Limit = m_pReader->GetTotalSize();

    // One record of the device for every read of the scan: a bad stretch is
    // searched once, told to the user once, and never asked for again; a
    // device that no longer answers ends the scan with what it found.
    CScanTroubleSink troubleSink(m_pScanDlg->ReadTrouble());
    CDeviceHealth health(&troubleSink);
    m_pHealth = &health;
    m_pReader->SetHealth(&health);
    m_pAnalysis->SetHealth(&health);

    const uint64_t windowSize = m_pReader->m_WindowSize;
    uint64_t edgeBytes = EDGE_BYTES;
    if (edgeBytes > windowSize)
        edgeBytes = windowSize;
    m_u64EdgeStart = windowSize - edgeBytes;
    m_edge.assign((size_t)(2 * edgeBytes), 0);

    m_u64LastReportTick = 0;
    bool reachedEnd = true;
    // One window thread for the whole scan, handed one window at a time: a
    // thread per window costs more (under Wine about a millisecond to start)
    // than scanning a window of several MiB. Without a handle of its own the
    // analysis shares the scan handle, and windows are read and scanned in turn.
    m_nWindowTurn = WINDOW_IDLE;
    HANDLE scanner = m_bSharedHandle ? nullptr : CreateThread(nullptr, 0, WindowThreadProc, this, 0, nullptr);
    m_pReader->SaveBufferStart();
    while (!m_pReader->IsEnd())
    {
        if (m_pScanDlg->IsStopRequested())
            m_bRunning = 0;
        if (!m_bRunning)
        {
            reachedEnd = false;
            break;
        }
        if (m_pReader->m_EndOffset != 0 && m_pReader->GetPosition() > m_pReader->m_EndOffset)
            break;
        if (m_pReader->GetPosition() >= m_pReader->GetTotalSize())
            break;
        m_pReader->SavePosition();
        m_pWindow = m_pReader->GetPointer();
        PrepareWindow(m_pReader->GetPosition());

        if (scanner)
        {
            // The window thread scans this window while the next one is read.
            HandWindow(WINDOW_SCAN);
            m_pReader->ReadNext();
            WaitWindowScanned();
        }
        else
        {
            ScanWindow();
            m_pReader->ReadNext();
        }
        if (IsDeviceGone(m_pReader->GetError()) && !health.IsGone())
            m_pScanDlg->ReadTrouble().NoteDeviceGone(m_pReader->m_Base);
        if (IsDeviceGone(m_pReader->GetError()) || health.IsGone() || health.IsOutOfTime())
        {
            reachedEnd = false;
            break;
        }
    }
    if (scanner)
    {
        HandWindow(WINDOW_QUIT);
        WaitForSingleObject(scanner, INFINITE);
        CloseHandle(scanner);
    }
    m_pReader->RestoreBufferStart();
    if (health.IsOutOfTime() && !health.IsGone())
        m_pScanDlg->ReadTrouble().NoteUnfinished();  // the rest of the device was not read
    if (!m_bRunning)
        reachedEnd = false;  // stopped inside the last window
    m_bRunning = 0;

    if (reachedEnd)
    {
        const uint64_t total = m_pReader->m_EndOffset ? m_pReader->m_EndOffset : m_pReader->GetTotalSize();
        m_pScanDlg->PublishPosition(total, total);
    }
    m_pScanDlg->ReportProgress((int)m_uAccepted, (int)m_uAccepted,
                               m_pScanDlg->FormatScanningText(m_uAccepted).c_str(), false, true);

    m_pReader->SetHealth(nullptr);
    m_pAnalysis->SetHealth(nullptr);
    m_pHealth = nullptr;
    delete m_pAnalysis;
    m_pAnalysis = nullptr;
    if (ownAnalysisHandle)
        CloseHandle(m_hAnalysis);
    m_hAnalysis = nullptr;
    return 1;
}

void CDeepScanEngine::PrepareWindow(uint64_t windowStart)
{
    const uint64_t windowSize = m_pReader->m_WindowSize;
    const uint64_t total = m_pReader->GetTotalSize();
    m_u64WindowStart = windowStart;
    // The cursor may sit inside the first unit; the window then holds fewer
    // device bytes than its size.
    uint64_t bufferBytes = windowSize - (uint64_t)(m_pWindow - (m_pReader->m_pBuffer));
    m_u64WindowBytes = bufferBytes;
    m_u64WindowValid = total > windowStart ? total - windowStart : 0;
    if (m_u64WindowValid > bufferBytes)
        m_u64WindowValid = bufferBytes;
    if (m_u64WindowValid < bufferBytes)
        memset(m_pWindow + m_u64WindowValid, 0, (size_t)(bufferBytes - m_u64WindowValid));

    // The edge: the window's last bytes followed by the device bytes after
    // it, read here because the next window is being loaded into the other
    // half while this one is scanned.
    const uint64_t edgeBytes = m_edge.size() / 2;
    m_u64EdgeStart = bufferBytes > edgeBytes ? bufferBytes - edgeBytes : 0;
    const uint64_t tail = bufferBytes - m_u64EdgeStart;
    memcpy(&m_edge[0], m_pWindow + m_u64EdgeStart, (size_t)tail);
    ReadEdge(m_hAnalysis, windowStart + bufferBytes, &m_edge[(size_t)tail], (size_t)(m_edge.size() - tail),
           total, m_pReader->m_uUnitSize, m_pHealth);
}

DWORD WINAPI CDeepScanEngine::WindowThreadProc(LPVOID param)
{
    CDeepScanEngine* self = (CDeepScanEngine*)param;
    for (;;)
    {
        AcquireSRWLockExclusive(&self->m_windowLock);
        while (self->m_nWindowTurn == WINDOW_IDLE)
            SleepConditionVariableSRW(&self->m_windowTurn, &self->m_windowLock, INFINITE, 0);
        const int turn = self->m_nWindowTurn;
        ReleaseSRWLockExclusive(&self->m_windowLock);
        if (turn == WINDOW_QUIT)
            return 0;
        self->ScanWindow();
        AcquireSRWLockExclusive(&self->m_windowLock);
        self->m_nWindowTurn = WINDOW_IDLE;
        ReleaseSRWLockExclusive(&self->m_windowLock);
        WakeAllConditionVariable(&self->m_windowTurn);
    }
}

void CDeepScanEngine::HandWindow(int turn)
{
    AcquireSRWLockExclusive(&m_windowLock);
    m_nWindowTurn = turn;
    ReleaseSRWLockExclusive(&m_windowLock);
    WakeAllConditionVariable(&m_windowTurn);
}

void CDeepScanEngine::WaitWindowScanned()
{
    AcquireSRWLockExclusive(&m_windowLock);
    while (m_nWindowTurn != WINDOW_IDLE)
        SleepConditionVariableSRW(&m_windowTurn, &m_windowLock, INFINITE, 0);
    ReleaseSRWLockExclusive(&m_windowLock);
}

void CDeepScanEngine::ProgressPoint(uint64_t position, uint64_t total)
{
    m_pScanDlg->PublishPosition(position, total);
    // Pausing holds here, within 40 blocks. The gate is only shut while the
    // controller is paused: waiting on an open gate would still cost a
    // kernel call per progress point. The report of the holding point always
    // goes out, so that the frame shows where the scan stands.
    const bool paused = m_pScanDlg->IsPaused();
    const ULONGLONG now = GetTickCount64();
    if (paused || m_u64LastReportTick == 0 || now - m_u64LastReportTick >= (ULONGLONG)PROGRESS_INTERVAL_MS)
    {
        m_u64LastReportTick = now ? now : 1;
        int done = 0;
        if (total > 0)
        {
            double scaled = (double)position / (double)total * kProgressScale;
            done = scaled > kProgressScale ? kProgressScale : (int)scaled;
        }
        m_pScanDlg->ReportProgress(done, kProgressScale, m_pScanDlg->FormatScanningText(m_uAccepted).c_str(), true,
                                   true);
    }
    if (paused)
        m_pScanDlg->WaitGate();
}

void CDeepScanEngine::ScanWindow()
{
    // m_pBuffer moves to the other half while this runs: use what was
    // measured before the thread started.
    const uint64_t windowBytes = m_u64WindowBytes;
    const uint64_t total = m_pReader->GetTotalSize();
    const uint64_t endLimit = m_pReader->m_EndOffset;
    const uint64_t progressTotal = endLimit ? endLimit : total;
    const uint64_t blockStep = m_uBlockStep ? m_uBlockStep : kDefaultBlockStep;
    const uint64_t progressEvery = blockStep * kProgressBlocks;
    const uint64_t start = m_u64WindowStart;

    uint64_t step = blockStep;
    for (uint64_t p = 0; p < windowBytes && m_bRunning; p += step)
    {
        step = blockStep;
        const uint64_t a = start + p;
        if (a >= total)
            break;
        if (endLimit != 0 && endLimit < a)
            break;
        if (p % progressEvery == 0)
        {
            ProgressPoint(a, progressTotal);
            // A device that stopped answering has nothing more to give.
            if (m_pHealth && m_pHealth->IsGone())
                break;
        }
        if (m_pScanDlg->IsStopRequested())
        {
            Stop();
            break;
        }

        const unsigned char* data =
            p < m_u64EdgeStart ? m_pWindow + p : &m_edge[(size_t)(p - m_u64EdgeStart)];
        char formatName[FORMAT_NAME_SIZE + 1];
        int index = Match(data, formatName);
        if (index < 0)
            continue;

        DeepScanHit* hit = new (std::nothrow) DeepScanHit;
        if (!hit)
            continue;
        memset(hit, 0, sizeof(*hit));
        hit->uPluginIndex = (uint32_t)index;
        hit->u64WindowBase = start;
        hit->u64Position = p;
        const FormatPluginEntry& entry = m_plugins[(size_t)index];
        if (entry.nLenAtOnce != 0 && entry.pfnGetFileSizeAtOnce)
        {
            int64_t length = entry.pfnGetFileSizeAtOnce(data);
            hit->u64Length = length > 0 ? (uint64_t)length : 0;
        }
        uint64_t confirmed = 0;
        if (AnalyseHit(hit, formatName, &confirmed) && entry.nLenAtOnce != 0)
        {
            // Jump over the body of a file the plug-in confirmed: the next pass
            // lands on the block that holds its last byte.
            uint64_t jump = ((confirmed - 1) / blockStep) * blockStep;
            step = jump >= blockStep ? jump : blockStep;
        }
    }
}

int CDeepScanEngine::Match(const unsigned char* data, char* formatName)
{
    int index = m_trie.LongestMatch(data);
    if (index < 0)
    {
        for (const FileSignCheck& check : m_checks)
        {
            if (check.pfnCheck(data))
            {
                index = (int)check.uPluginIndex;
                break;
            }
        }
    }
    if (index < 0 || (size_t)index >= m_plugins.size())
        return -1;
    memset(formatName, 0, FORMAT_NAME_SIZE + 1);
    m_plugins[(size_t)index].pfnGetSupportFormat(formatName);
    formatName[FORMAT_NAME_SIZE - 1] = 0;
    return index;
}

bool CDeepScanEngine::AnalyseHit(DeepScanHit* hit, const char* formatName, uint64_t* confirmedLength)
{
    *confirmedLength = 0;
    const uint64_t start = hit->GetStart();
    const uint64_t total = m_pReader->GetTotalSize();
    const FormatPluginEntry& entry = m_plugins[hit->uPluginIndex];

    m_pAnalysis->SetError(0);
    if (start >= total || !m_pAnalysis->SeekTo(start) || m_pAnalysis->GetError() != 0)
    {
        delete hit;
        return false;
    }

    RawFileInfo info;
    memset(&info, 0, sizeof(info));
    info.size = RAWINFO_RECORD_SIZE;
    if (s_bDebugTrace)
    {
        wchar_t wide[FORMAT_NAME_SIZE];
        for (int i = 0; i < FORMAT_NAME_SIZE; ++i)
            wide[i] = (wchar_t)(unsigned char)formatName[i];
        DebugPrint(L"Deep Analysis FileFormat %s\n", wide);
    }
    WriteScanLog(formatName, m_pAnalysis->GetPosition());

    if (!entry.pfnGetRawFileInfo(m_pAnalysis, &info))
    {
        delete hit;
        return false;
    }
    if (info.flags & RAWINFO_HAS_LENGTH)
        hit->u64Length = info.length;
    const uint64_t statedEnd = start + hit->u64Length;
    if (info.flags & RAWINFO_HAS_FORMAT)
    {
        memcpy(hit->szExtension, info.format, sizeof(hit->szExtension));
        SanitizeExtension(hit->szExtension, sizeof(hit->szExtension));
    }
    if (info.flags & RAWINFO_HAS_NAME)
    {
        memcpy(hit->szName, info.name, sizeof(hit->szName));
        hit->szName[sizeof(hit->szName) - 1] = 0;
    }
    if (!(info.flags & RAWINFO_HAS_VALID) || info.valid == 0)
    {
        delete hit;
        return false;
    }
    hit->uValid = (uint32_t)info.valid;

    if (m_bSizeLimit && (hit->u64Length > m_u64MaxLength || hit->u64Length < m_u64MinLength))
    {
        delete hit;
        return false;
    }
    // A length that runs past the device's end is cut at the end: the bytes
    // beyond it do not exist to be copied.
    if (hit->u64Length > total - start)
    {
        hit->u64Length = total - start;
        if (m_bSizeLimit && hit->u64Length < m_u64MinLength)
        {
            delete hit;
            return false;
        }
    }
    // A candidate inside the file kept last of its plug-in that ends where
    // that file ends is a part of it (a header repeated inside a document, an
    // entry of an archive): the file is carved once, from its first start.
    // Other files of one plug-in that overlap (a document held inside
    // another) are kept while the bytes they share with the files before them
    // stay within the device's size, so that what is carved never outgrows
    // the device, whatever its bytes.
    KeptExtent* kept = hit->uPluginIndex < m_kept.size() ? &m_kept[hit->uPluginIndex] : nullptr;
    const uint64_t end = start + hit->u64Length;
    uint64_t shared = 0;
    if (kept && kept->coverEnd > start)
    {
        if ((start > kept->lastStart && statedEnd == kept->lastStatedEnd) ||
            (start > kept->coverStart && statedEnd == kept->coverStatedEnd))
        {
            delete hit;
            return false;
        }
        shared = (end < kept->coverEnd ? end : kept->coverEnd) - start;
        if (kept->sharedBytes + shared > total)
        {
            delete hit;
            return false;
        }
    }
    if (m_pScanDlg->IsStopRequested())
    {
        delete hit;
        return false;
    }
    *confirmedLength = hit->u64Length;
    bool keptNow = true;
    if (!m_pMainFrame)
    {
        delete hit;
    }
    else
    {
        unsigned int number = m_uAccepted + 1;
        // snprintf cuts what does not fit: the name never overruns its field.
        snprintf(hit->szName, sizeof(hit->szName), "File%.7u.%s", number, hit->szExtension);
        keptNow = m_pMainFrame->AddCarvedFile(hit) == 1;  // the frame owns the hit now
        if (keptNow)
            m_uAccepted = number;
    }
    if (kept && keptNow)
    {
        kept->lastStart = start;
        kept->lastStatedEnd = statedEnd;
        if (end > kept->coverEnd)
        {
            kept->coverStart = start;
            kept->coverEnd = end;
            kept->coverStatedEnd = statedEnd;
        }
        kept->sharedBytes += shared;
    }
    return true;
}

bool CDeepScanEngine::ProgramFolderOnScanTarget() const
{
    const int kind = m_pScanDlg ? m_pScanDlg->GetTargetKind() : SCAN_TARGET_VOLUME;
    if (kind == SCAN_TARGET_IMAGE)
        return false;  // an image is a file: files beside the program leave it alone

    std::wstring folder = CFormatPluginRegistry::GetProgramFolder();
    if (folder.size() < 2 || folder[1] != L':')
        return true;  // a network or odd path: cannot tell, so assume the worst

    if (kind == SCAN_TARGET_VOLUME)
    {
        // Compare the volume that holds the program's folder itself (not the
        // drive root: a letter can map onto more than one file system) with
        // the volume being scanned.
        DWORD programSerial = 0, targetSerial = 0;
        HANDLE dir = CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (dir == INVALID_HANDLE_VALUE)
            return true;
        BOOL ok = GetVolumeInformationByHandleW(dir, nullptr, 0, &programSerial, nullptr, nullptr, nullptr, 0);
        CloseHandle(dir);
        if (!ok)
            return true;
        if (!m_pReader || !GetVolumeInformationByHandleW(m_pReader->m_hFile, nullptr, 0, &targetSerial,
                                                         nullptr, nullptr, nullptr, 0))
            return true;
        // Some systems give no serial (0): then the volumes cannot be told apart.
        return programSerial == 0 || targetSerial == 0 || programSerial == targetSerial;
    }

    // A physical disk: the program's volume must lie wholly on other disks.
    std::wstring volumePath = L"\\\\.\\" + folder.substr(0, 2);
    HANDLE volume = CreateFileW(volumePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return true;
    union
    {
        VOLUME_DISK_EXTENTS extents;
        unsigned char raw[sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)];
    } buffer;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &buffer,
                              sizeof(buffer), &got, nullptr);
    CloseHandle(volume);
    if (!ok || buffer.extents.NumberOfDiskExtents == 0 || buffer.extents.NumberOfDiskExtents > 32)
        return true;
    for (DWORD i = 0; i < buffer.extents.NumberOfDiskExtents; ++i)
        if ((int)buffer.extents.Extents[i].DiskNumber == m_pScanDlg->GetDiskNumber())
            return true;
    return false;
}

void CDeepScanEngine::OpenScanLog()
{
    CloseScanLog();
    if (ProgramFolderOnScanTarget())
        return;  // never write onto the device being recovered
    std::wstring folder = CFormatPluginRegistry::GetProgramFolder();
    if (folder.empty())
        return;
    m_strLogPath = folder + L"\\log.txt";
    m_hLog = CreateFileW(m_strLogPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hLog == INVALID_HANDLE_VALUE)
        m_strLogPath.clear();
}

void CDeepScanEngine::WriteScanLog(const char* formatName, uint64_t position)
{
    if (m_hLog == INVALID_HANDLE_VALUE)
        return;
    char line[96];
    int n = snprintf(line, sizeof(line), "%s : 0x%016llx\r\n", formatName, (unsigned long long)position);
    if (n <= 0)
        return;
    if (n >= (int)sizeof(line))
        n = (int)sizeof(line) - 1;
    DWORD written = 0;
    WriteFile(m_hLog, line, (DWORD)n, &written, nullptr);
}

void CDeepScanEngine::CloseScanLog()
{
    if (m_hLog != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_hLog);
        m_hLog = INVALID_HANDLE_VALUE;
    }
    if (!m_strLogPath.empty())
    {
        DeleteFileW(m_strLogPath.c_str());
        m_strLogPath.clear();
    }
}
