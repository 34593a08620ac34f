#include "storage/DiskMappingPointer.h"

#include <atomic>
#include <cstring>
#include <map>

#include "core/Log.h"
#include "storage/DeviceHealth.h"
#include "storage/DeviceIo.h"

namespace {
const unsigned __int64 kMaxWindow = 52428800;  // 50 MiB
const unsigned int kMaxUnit = 1u << 20;

// The double buffer is one VirtualAlloc block; m_pBuffer may point into
// either half of it.
unsigned char* AllocationBase(unsigned char* p)
{
    if (!p)
        return NULL;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(p, &mbi, sizeof(mbi)) != sizeof(mbi))
        return p;
    return (unsigned char*)mbi.AllocationBase;
}

// Where m_pBuffer points when the window could not be allocated: a reader
// with an empty window and no length, whose every read has failed (its error
// is ERROR_NOT_ENOUGH_MEMORY), so that the caller skips what it was for.
// Nothing is ever written into it: a window of 0 bytes takes no read.
unsigned char g_NoWindow[65536];

bool IsValidUnit(unsigned int unit)
{
    return unit != 0 && unit <= kMaxUnit && (unit & (unit - 1)) == 0;
}

// The health records of the readers, beside them (the reader's fields are
// the plug-ins' and stay as they are). Looked up only while any is set.
struct HealthSlot
{
    CDeviceHealth* health;
    bool owned;  // the reader's own, made at its first failed read
};
SRWLOCK g_healthLock = SRWLOCK_INIT;
std::map<const CDiskMappingPointer*, HealthSlot>* g_pHealthSlots = NULL;
std::atomic<long> g_healthSlots(0);

CDeviceHealth* FindHealth(const CDiskMappingPointer* reader)
{
    if (g_healthSlots.load() == 0)
        return NULL;
    CDeviceHealth* health = NULL;
    AcquireSRWLockShared(&g_healthLock);
    if (g_pHealthSlots) {
        std::map<const CDiskMappingPointer*, HealthSlot>::const_iterator it = g_pHealthSlots->find(reader);
        if (it != g_pHealthSlots->end())
            health = it->second.health;
    }
    ReleaseSRWLockShared(&g_healthLock);
    return health;
}

// Sets (or with null removes) the reader's record; the one it replaces is
// returned when it was the reader's own, for the caller to delete.
CDeviceHealth* PutHealth(const CDiskMappingPointer* reader, CDeviceHealth* health, bool owned)
{
    CDeviceHealth* ownOld = NULL;
    AcquireSRWLockExclusive(&g_healthLock);
    if (!g_pHealthSlots)
        g_pHealthSlots = new std::map<const CDiskMappingPointer*, HealthSlot>();
    std::map<const CDiskMappingPointer*, HealthSlot>::iterator it = g_pHealthSlots->find(reader);
    if (it != g_pHealthSlots->end()) {
        if (it->second.owned)
            ownOld = it->second.health;
        if (health) {
            it->second.health = health;
            it->second.owned = owned;
        } else {
            g_pHealthSlots->erase(it);
            --g_healthSlots;
        }
    } else if (health) {
        HealthSlot slot = {health, owned};
        (*g_pHealthSlots)[reader] = slot;
        ++g_healthSlots;
    }
    ReleaseSRWLockExclusive(&g_healthLock);
    return ownOld;
}

// Codes after which a read is not taken apart: the handle or the memory is
// the trouble, not the sectors.
bool IsReadAroundError(DWORD error)
{
    return error != ERROR_INVALID_HANDLE && error != ERROR_FILE_INVALID && error != ERROR_NOT_ENOUGH_MEMORY &&
           error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_PARAMETER;
}
}  // namespace

void CDiskMappingPointer::SetHealth(CDeviceHealth* health)
{
    CDeviceHealth* own = NULL;
    if (health) {
        // What the reader learnt on its own so far goes to the new record.
        CDeviceHealth* before = FindHealth(this);
        if (before && before != health)
            health->TakeOver(*before);
        else if (!before && m_dwLastError == 0 && m_WindowSize != 0 && m_Base < m_Limit)
            health->ReadWell(m_Base);  // the window it holds came whole
    }
    own = PutHealth(this, health, false);
    if (own != health)
        delete own;
}

CDeviceHealth* CDiskMappingPointer::GetHealth() const { return FindHealth(this); }

CDiskMappingPointer::CDiskMappingPointer(const wchar_t* path, unsigned __int64 start, int bDevice,
                                         unsigned __int64 windowSize, unsigned int unitSize,
                                         unsigned __int64 endOffset)
    : m_hFile(NULL), m_hFile2(NULL), m_bOwnHandles(1), m_dwLastError(0)
{
    if (IsValidUnit(unitSize)) {
        // Read-only, whatever the source: a raw reader never writes.
        m_hFile = OpenRawReadOnly(path, FILE_ATTRIBUTE_READONLY);
        m_hFile2 = OpenRawReadOnly(path, FILE_ATTRIBUTE_READONLY);
        m_dwLastError = GetLastError();
        if (m_hFile == INVALID_HANDLE_VALUE)
            m_hFile = NULL;
        if (m_hFile2 == INVALID_HANDLE_VALUE)
            m_hFile2 = NULL;
    }
    Init(start, bDevice, windowSize, unitSize, endOffset);
}

CDiskMappingPointer::CDiskMappingPointer(HANDLE hFile, unsigned __int64 start, int bDevice,
                                         unsigned __int64 windowSize, unsigned int unitSize,
                                         unsigned __int64 endOffset)
    : m_hFile(hFile), m_hFile2(NULL), m_bOwnHandles(0), m_dwLastError(0)
{
    Init(start, bDevice, windowSize, unitSize, endOffset);
}

void CDiskMappingPointer::Init(unsigned __int64 start, int bDevice, unsigned __int64 windowSize,
                               unsigned int unitSize, unsigned __int64 endOffset)
{
    // A unit that is not a power of two cannot align anything: the reader is
    // refused (nothing is read, every seek past 0 fails) but stays usable.
    const bool validUnit = IsValidUnit(unitSize);
    if (!validUnit) {
        unitSize = 512;
        m_dwLastError = ERROR_INVALID_PARAMETER;
    }
    const unsigned __int64 mask = ~(unsigned __int64)(unitSize - 1);
    m_EndOffset = endOffset & mask;
    m_uUnitSize = unitSize;
    m_Base = start & mask;
    m_CurrentPos = 0;
    m_Mark = 0;
    m_pBufferStart = NULL;

    if (windowSize != 0) {
        m_WindowSize = (windowSize / unitSize + 1) * unitSize;
        if (m_WindowSize > kMaxWindow)
            m_WindowSize = kMaxWindow;
    } else {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        m_WindowSize = 500ull * si.dwAllocationGranularity;
        if (m_WindowSize > kMaxWindow)
            m_WindowSize = kMaxWindow;
    }
    m_WindowSize -= m_WindowSize % unitSize;  // whole units, also for large units
    if (m_WindowSize < 2ull * unitSize)
        m_WindowSize = 2ull * unitSize;

    // Zeroed pages: nothing stale is ever seen through an unfilled window.
    m_pBuffer = (unsigned char*)VirtualAlloc(NULL, (SIZE_T)(2 * m_WindowSize),
                                             MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!m_pBuffer) {
        // Out of memory fails this reader, not the program (an unsaved scan
        // would go with it).
        DebugPrint(L"[Delvaro] CDiskMappingPointer: no memory for a window of %I64u bytes.\n", m_WindowSize);
        m_pBuffer = g_NoWindow;
        m_WindowSize = 0;
        m_bHalf = 1;
        m_Limit = 0;
        m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
        m_CurrentPos = start - m_Base;
        SavePosition();
        return;
    }

    DebugPrint(L"GetData from %I64x\n", start);

    m_bHalf = 1;
    m_Limit = 0;
    if (validUnit)
        m_Limit = QueryDeviceLength(m_hFile, bDevice);
    if (validUnit) {
        DWORD openError = m_dwLastError;
        ReadWindowAt(m_Base);
        // An open that failed shows as the failed read, with the open's code.
        if (m_hFile == NULL && openError != 0)
            m_dwLastError = openError;
    }

    m_CurrentPos = start - m_Base;
    SavePosition();
}

CDiskMappingPointer::~CDiskMappingPointer()
{
    if (m_bOwnHandles == 1) {
        if (m_hFile) {
            CloseHandle(m_hFile);
            m_hFile = NULL;
        }
        if (m_hFile2) {
            CloseHandle(m_hFile2);
            m_hFile2 = NULL;
        }
    }
    unsigned char* block = m_pBuffer == g_NoWindow ? NULL : AllocationBase(m_pBuffer);
    if (block)
        VirtualFree(block, 0, MEM_RELEASE);
    m_pBuffer = NULL;
    m_pBufferStart = NULL;
    if (g_healthSlots.load() != 0)
        delete PutHealth(this, NULL, false);
}

BOOL CDiskMappingPointer::ReadBuffer()
{
    if (m_WindowSize == 0) {
        m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    // The last window of a device is shortened to the device's end so that
    // the read does not fail as a whole for the bytes past it.
    unsigned __int64 want = m_WindowSize;
    if (m_Limit != 0) {
        if (m_Base >= m_Limit) {
            want = 0;
        } else if (m_Limit - m_Base < want) {
            want = m_Limit - m_Base;
            want = (want + m_uUnitSize - 1) & ~(unsigned __int64)(m_uUnitSize - 1);
        }
    }
    CDeviceHealth* health = FindHealth(this);
    const bool usable = m_hFile != NULL && m_hFile != INVALID_HANDLE_VALUE;
    // A window over a stretch known not to read is not asked for as a whole.
    const bool knownBad = health && want > 0 && health->KnownBad(m_Base, want);
    DWORD got = 0;
    BOOL ok = TRUE;
    DWORD failedMs = 0;
    if (want > 0) {
        if (!usable) {
            ok = FALSE;
            SetLastError(ERROR_INVALID_HANDLE);
        } else if (knownBad) {
            ok = FALSE;
            SetLastError(ERROR_CRC);
        } else {
            const ULONGLONG t0 = GetTickCount64();
            if (StorageReadHooked()) {
                SetLastError(0);
                got = ReadAt(m_hFile, m_Base, m_pBuffer, (DWORD)want);
                ok = got >= want || (m_Limit != 0 && got >= m_Limit - m_Base);
                if (!ok && GetLastError() == 0)
                    SetLastError(ERROR_READ_FAULT);
            } else {
                ok = ReadFile(m_hFile, m_pBuffer, (DWORD)want, &got, NULL);
            }
            if (!ok)
                failedMs = (DWORD)(GetTickCount64() - t0);
        }
    }
    m_dwLastError = ok ? 0 : GetLastError();
    if (!ok) {
        if (m_dwLastError == 0)
            m_dwLastError = ERROR_READ_FAULT;  // a failure must never read as success
        got = 0;
        if (usable && IsReadAroundError(m_dwLastError)) {
            // Taken apart: what reads is kept, what does not is zeros.
            if (!health) {
                health = new CDeviceHealth();
                delete PutHealth(this, health, true);
            }
            const CDeviceHealth::Outcome o = health->ReadAround(m_hFile, m_Base, m_pBuffer, (DWORD)want,
                                                                m_uUnitSize, m_Limit, !knownBad, failedMs);
            if (o.anyRead && !o.gone && !o.outOfTime) {
                m_dwLastError = 0;
                ok = TRUE;
            } else if (o.error) {
                m_dwLastError = o.error;
            }
            got = (DWORD)want;  // every byte of it is read or zeroed
        }
    } else if (want > 0 && got < want && usable && m_Limit != 0 && m_Base + got < m_Limit) {
        // A read that stopped short of the device's end stopped at a sector
        // that would not read (the system hands back what came before it):
        // the rest is taken apart like a failed read.
        const DWORD kept = got - got % m_uUnitSize;
        if (!health) {
            health = new CDeviceHealth();
            delete PutHealth(this, health, true);
        }
        if (kept)
            health->ReadWell(m_Base);
        const CDeviceHealth::Outcome o = health->ReadAround(m_hFile, m_Base + kept, m_pBuffer + kept,
                                                            (DWORD)want - kept, m_uUnitSize, m_Limit, true, 0);
        if (o.gone || o.outOfTime || (!o.anyRead && kept == 0)) {
            m_dwLastError = o.error ? o.error : ERROR_READ_FAULT;
            ok = FALSE;
        }
        got = (DWORD)want;
    } else if (health && want > 0) {
        health->ReadWell(m_Base);
    }
    if (got > m_WindowSize)
        got = (DWORD)m_WindowSize;
    // Whatever the read did not fill holds zeros, never a previous window.
    if (got < m_WindowSize)
        memset(m_pBuffer + got, 0, (size_t)(m_WindowSize - got));
    return ok;
}

BOOL CDiskMappingPointer::ReadWindowAt(unsigned __int64 base)
{
    m_Base = base;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)base;
    if (m_WindowSize == 0)
        return ReadBuffer();
    if (m_hFile && m_hFile != INVALID_HANDLE_VALUE && !SetFilePointerEx(m_hFile, li, NULL, FILE_BEGIN)) {
        m_dwLastError = GetLastError();
        memset(m_pBuffer, 0, (size_t)m_WindowSize);
        return FALSE;
    }
    return ReadBuffer();
}

int CDiskMappingPointer::SeekTo(unsigned __int64 target)
{
    if (target > m_Limit) {
        m_CurrentPos = target - m_Base;
        return 0;
    }
    const unsigned __int64 half = m_WindowSize / 2;
    const unsigned __int64 aligned = target & ~(unsigned __int64)(m_uUnitSize - 1);
    if (aligned < m_Base || aligned > m_Base + half - m_uUnitSize || m_CurrentPos >= half) {
        m_CurrentPos = target & (m_uUnitSize - 1);
        ReadWindowAt(aligned);
    } else {
        m_CurrentPos = target - m_Base;
    }
    m_Mark = m_CurrentPos;
    DebugPrint(L"m_Base is 0x%I64x, m_CurrentPos is 0x%I64x\n", m_Base, m_CurrentPos);
    return 1;
}

int CDiskMappingPointer::Skip(unsigned __int64 count)
{
    return SeekTo(m_Base + m_CurrentPos + count);
}

int CDiskMappingPointer::IsEnd() const
{
    return (m_Base + m_CurrentPos > m_Limit) ? 1 : 0;
}

void CDiskMappingPointer::SavePosition()
{
    m_SavedBase = m_Base;
    m_SavedPos = m_CurrentPos;
    m_SavedMark = m_Mark;
}

int CDiskMappingPointer::SeekFromSaved(unsigned __int64 offset)
{
    if (m_SavedPos + offset < m_WindowSize / 2 && m_Base == m_SavedBase)
        return 0;
    return SeekTo(m_SavedBase + m_SavedPos + offset);
}

unsigned __int64 CDiskMappingPointer::RestorePosition()
{
    // Reload the saved window at its own base, so that the saved cursor
    // indexes the same bytes it did when it was saved.
    if (m_Base != m_SavedBase)
        ReadWindowAt(m_SavedBase);
    m_Base = m_SavedBase;
    m_CurrentPos = m_SavedPos;
    m_Mark = m_SavedMark;
    return m_Mark;
}

unsigned __int64 CDiskMappingPointer::GetWindowRemaining() const
{
    const unsigned __int64 half = m_WindowSize / 2;
    const unsigned __int64 used = m_CurrentPos - m_Mark;
    if (m_CurrentPos < m_Mark)
        return half;  // moved back inside the trusted half
    return used >= half ? 0 : half - used;
}

unsigned __int64 CDiskMappingPointer::GetSavedWindowRemaining() const
{
    const unsigned __int64 half = m_WindowSize / 2;
    const unsigned __int64 used = m_SavedPos - m_SavedMark;
    if (m_SavedPos < m_SavedMark)
        return half;
    return used >= half ? 0 : half - used;
}

void CDiskMappingPointer::SaveBufferStart()
{
    // The double buffer always starts at the block's start; a window that sits
    // in the upper half is moved down so that ReadNext cannot overrun the block.
    unsigned char* block = m_pBuffer == g_NoWindow ? NULL : AllocationBase(m_pBuffer);
    if (block && m_pBuffer != block) {
        memmove(block, m_pBuffer, (size_t)m_WindowSize);
        m_pBuffer = block;
    }
    m_bHalf = 1;
    m_pBufferStart = m_pBuffer;
}

void CDiskMappingPointer::RestoreBufferStart()
{
    m_bHalf = 1;
    if (m_pBufferStart)
        m_pBuffer = m_pBufferStart;
}

void CDiskMappingPointer::ReadNext()
{
    if (!m_pBufferStart)
        SaveBufferStart();
    if (m_WindowSize == 0)
        return;  // no window: nothing to read into
    m_pBuffer = (m_bHalf == 1) ? m_pBufferStart + m_WindowSize : m_pBufferStart;
    // Positioned explicitly: after a failed read the handle's file pointer
    // need not have moved, but the next window still starts one window on.
    ReadWindowAt(m_Base + m_WindowSize);
    m_bHalf = !m_bHalf;
}

IStream* CDiskMappingPointer::CreateStream()
{
    HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (SIZE_T)m_WindowSize);
    if (!hMem)
        return NULL;
    void* p = GlobalLock(hMem);
    if (!p) {
        GlobalFree(hMem);
        return NULL;
    }
    memcpy(p, m_pBuffer, (size_t)m_WindowSize);
    GlobalUnlock(hMem);
    IStream* stream = NULL;
    if (FAILED(CreateStreamOnHGlobal(hMem, TRUE, &stream)) || !stream) {
        GlobalFree(hMem);
        return NULL;
    }
    return stream;
}
