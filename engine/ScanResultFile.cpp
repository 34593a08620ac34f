// Scan-result files: the LZSS record codec, the scrambling step, and the
// writers and readers of the three layouts.
#include "engine/ScanResultFile.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "engine/DeepScanEngine.h"
#include "engine/EngineText.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/PartitionScanControl.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/PhysicalDiskList.h"
#include "storage/VolumeList.h"

namespace
{
const char kReadResultDataErrorKey[] = "UmVhZFJlc3VsdERhdGFFcnJvcg==";
const char kErrWhenOpenHistoryObjectKey[] = "RXJyV2hlbk9wZW5IaXN0b3J5T2JqZWN0";
const char kWrongDiskKey[] = "V3JvbmdEaXNr";
const char kNotEnoughMemoryKey[] = "Tm90RW5vdWdoTWVtb3J5";
const char kWrongDataFileKey[] = "V3JvbmdEYXRhRmlsZQ==";
const char kNoSupportSaveVhdResultKey[] = "Tm9TdXBwb3J0U2F2ZVZoZFJlc3VsdA==";
const char kSaveResultFailedKey[] = "U2F2ZVJlc3VsdEZhaWxlZA==";
const char kNoSupportSaveDiskResultKey[] = "Tm9TdXBwb3J0U2F2ZURpc2tSZXN1bHQ=";

const char kMagic[] = "dsr00000";
const size_t kMagicBytes = 9;
// The file's progress reaches its dialog at most this often (and at the end).
const ULONGLONG kProgressMs = 50;
// The plug-ins a carved record may name when no registry is loaded.
const uint32_t kDefaultPluginCount = 16;

// Byte sources and sinks of the codec.
struct MemSource
{
    const BYTE* p;
    size_t n, i;
    bool Get(int& c)
    {
        if (i >= n)
            return false;
        c = p[i++];
        return true;
    }
};

struct FileSource
{
    HANDLE h;
    size_t left;
    BYTE buf[4096];
    size_t have, pos;
    bool Get(int& c)
    {
        if (pos == have)
        {
            if (!left)
                return false;
            DWORD got = 0;
            const DWORD want = (DWORD)std::min<size_t>(left, sizeof(buf));
            if (!ReadFile(h, buf, want, &got, nullptr) || got == 0)
            {
                left = 0;
                return false;
            }
            left -= got;
            have = got;
            pos = 0;
        }
        c = buf[pos++];
        return true;
    }
};

struct MemSink
{
    BYTE* p;
    size_t cap, n;
    bool Put(BYTE c)
    {
        if (n >= cap)
            return false;
        p[n++] = c;
        return true;
    }
};

struct FileSink
{
    HANDLE h;
    BYTE buf[4096];
    size_t have, n;
    bool failed;
    bool Put(BYTE c)
    {
        if (failed)
            return false;
        buf[have++] = c;
        ++n;
        return have < sizeof(buf) || Flush();
    }
    bool Flush()
    {
        DWORD wrote = 0;
        if (have && (!WriteFile(h, buf, (DWORD)have, &wrote, nullptr) || wrote != have))
            failed = true;
        have = 0;
        return !failed;
    }
};

std::wstring Units(const wchar_t* text, size_t max)
{
    size_t n = 0;
    while (n < max && text[n])
        ++n;
    return std::wstring(text, n);
}

// A 260-unit text field of a stored record, read bounded: at most 259 units.
std::wstring FieldText(const BYTE* field)
{
    std::wstring text;
    for (size_t i = 0; i < 259; ++i)
    {
        const wchar_t c = (wchar_t)Le16(field + 2 * i);
        if (!c)
            break;
        text += c;
    }
    return text;
}

DWORD ProgressTickDue(ULONGLONG& last)
{
    const ULONGLONG now = GetTickCount64();
    if (last != 0 && now - last < kProgressMs)
        return 0;
    last = now ? now : 1;
    return 1;
}
}  // namespace

// ---- codec ----

LzssCodec::LzssCodec() : m_matchPosition(0), m_matchLength(0)
{
    m_text = new BYTE[N + F - 1];
    m_lson = new int[N + 1];
    m_rson = new int[N + 257];
    m_dad = new int[N + 1];
    memset(m_text, 0, N + F - 1);
}

LzssCodec::~LzssCodec()
{
    delete[] m_text;
    delete[] m_lson;
    delete[] m_rson;
    delete[] m_dad;
}

void LzssCodec::InitTree()
{
    for (int i = N + 1; i <= N + 256; ++i)
        m_rson[i] = NIL;
    for (int i = 0; i < N; ++i)
        m_dad[i] = NIL;
}

void LzssCodec::InsertNode(int r)
{
    int cmp = 1;
    const BYTE* key = &m_text[r];
    int p = N + 1 + key[0];
    m_rson[r] = m_lson[r] = NIL;
    m_matchLength = 0;
    for (;;)
    {
        if (cmp >= 0)
        {
            if (m_rson[p] != NIL)
                p = m_rson[p];
            else
            {
                m_rson[p] = r;
                m_dad[r] = p;
                return;
            }
        }
        else
        {
            if (m_lson[p] != NIL)
                p = m_lson[p];
            else
            {
                m_lson[p] = r;
                m_dad[r] = p;
                return;
            }
        }
        int i = 1;
        for (; i < F; ++i)
            if ((cmp = key[i] - m_text[p + i]) != 0)
                break;
        if (i > m_matchLength)
        {
            m_matchPosition = p;
            if ((m_matchLength = i) >= F)
                break;
        }
    }
    // An equal string of full length: the new node takes the old one's place.
    m_dad[r] = m_dad[p];
    m_lson[r] = m_lson[p];
    m_rson[r] = m_rson[p];
    m_dad[m_lson[p]] = r;
    m_dad[m_rson[p]] = r;
    if (m_rson[m_dad[p]] == p)
        m_rson[m_dad[p]] = r;
    else
        m_lson[m_dad[p]] = r;
    m_dad[p] = NIL;
}

void LzssCodec::DeleteNode(int p)
{
    if (m_dad[p] == NIL)
        return;
    int q;
    if (m_rson[p] == NIL)
        q = m_lson[p];
    else if (m_lson[p] == NIL)
        q = m_rson[p];
    else
    {
        q = m_lson[p];
        if (m_rson[q] != NIL)
        {
            do
                q = m_rson[q];
            while (m_rson[q] != NIL);
            m_rson[m_dad[q]] = m_lson[q];
            m_dad[m_lson[q]] = m_dad[q];
            m_lson[q] = m_lson[p];
            m_dad[m_lson[p]] = q;
        }
        m_rson[q] = m_rson[p];
        m_dad[m_rson[p]] = q;
    }
    m_dad[q] = m_dad[p];
    if (m_rson[m_dad[p]] == p)
        m_rson[m_dad[p]] = q;
    else
        m_lson[m_dad[p]] = q;
    m_dad[p] = NIL;
}

template <class Source, class Sink>
size_t LzssCodec::EncodeStream(Source& in, Sink& out)
{
    // Every encoding starts from the same ring: spaces before the first
    // position, zeros after it (the mirror of the ring's start included).
    InitTree();
    memset(m_text, ' ', N - F);
    memset(m_text + N - F, 0, 2 * F - 1);
    memset(m_text + N, ' ', F - 1);
    BYTE code[17];
    code[0] = 0;
    int codePtr = 1;
    BYTE mask = 1;
    int s = 0, r = N - F;
    int len = 0, c = 0;
    for (; len < F && in.Get(c); ++len)
        m_text[r + len] = (BYTE)c;
    if (len == 0)
        return 0;
    for (int i = 1; i <= F; ++i)
        InsertNode(r - i);
    InsertNode(r);
    size_t written = 0;
    do
    {
        if (m_matchLength > len)
            m_matchLength = len;
        if (m_matchLength <= THRESHOLD)
        {
            m_matchLength = 1;
            code[0] |= mask;
            code[codePtr++] = m_text[r];
        }
        else
        {
            code[codePtr++] = (BYTE)m_matchPosition;
            code[codePtr++] = (BYTE)(((m_matchPosition >> 4) & 0xF0) | (m_matchLength - (THRESHOLD + 1)));
        }
        if ((mask <<= 1) == 0)
        {
            for (int i = 0; i < codePtr; ++i)
                if (!out.Put(code[i]))
                    return 0;
            written += codePtr;
            code[0] = 0;
            codePtr = 1;
            mask = 1;
        }
        const int last = m_matchLength;
        int i = 0;
        for (; i < last && in.Get(c); ++i)
        {
            DeleteNode(s);
            m_text[s] = (BYTE)c;
            if (s < F - 1)
                m_text[s + N] = (BYTE)c;
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            InsertNode(r);
        }
        // Input ended: the look-ahead drains; strings are inserted while
        // any of it remains, so the next match is found among them.
        while (i++ < last)
        {
            DeleteNode(s);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            if (--len)
                InsertNode(r);
        }
    } while (len > 0);
    if (codePtr > 1)
    {
        for (int i = 0; i < codePtr; ++i)
            if (!out.Put(code[i]))
                return 0;
        written += codePtr;
    }
    return written;
}

template <class Source, class Sink>
size_t LzssCodec::DecodeStream(Source& in, Sink& out)
{
    memset(m_text, 0, N + F - 1);
    memset(m_text, ' ', N - F);
    int r = N - F;
    unsigned int flags = 0;
    size_t written = 0;
    int c = 0, lo = 0, hi = 0;
    for (;;)
    {
        if (((flags >>= 1) & 256) == 0)
        {
            if (!in.Get(c))
                break;
            flags = (unsigned int)c | 0xFF00;
        }
        if (flags & 1)
        {
            if (!in.Get(c))
                break;
            if (!out.Put((BYTE)c))
                return written;
            ++written;
            m_text[r++] = (BYTE)c;
            r &= N - 1;
        }
        else
        {
            if (!in.Get(lo) || !in.Get(hi))
                break;
            const int position = lo | ((hi & 0xF0) << 4);
            const int length = (hi & 0x0F) + THRESHOLD;
            for (int k = 0; k <= length; ++k)
            {
                const BYTE b = m_text[(position + k) & (N - 1)];
                if (!out.Put(b))
                    return written;
                ++written;
                m_text[r++] = b;
                r &= N - 1;
            }
        }
    }
    return written;
}

size_t LzssCodec::Encode(const BYTE* in, size_t length, BYTE* out, size_t outCapacity)
{
    MemSource src = {in, in ? length : 0, 0};
    MemSink sink = {out, out ? outCapacity : 0, 0};
    return EncodeStream(src, sink);
}

size_t LzssCodec::Decode(const BYTE* in, size_t length, BYTE* out, size_t outCapacity)
{
    MemSource src = {in, in ? length : 0, 0};
    MemSink sink = {out, out ? outCapacity : 0, 0};
    return DecodeStream(src, sink);
}

size_t LzssCodec::Encode(const BYTE* in, size_t length, HANDLE out)
{
    MemSource src = {in, in ? length : 0, 0};
    std::unique_ptr<FileSink> sink(new FileSink());
    sink->h = out;
    const size_t n = EncodeStream(src, *sink);
    return sink->Flush() ? n : 0;
}

size_t LzssCodec::Encode(HANDLE in, size_t length, HANDLE out)
{
    std::unique_ptr<FileSource> src(new FileSource());
    src->h = in;
    src->left = length;
    std::unique_ptr<FileSink> sink(new FileSink());
    sink->h = out;
    const size_t n = EncodeStream(*src, *sink);
    return sink->Flush() ? n : 0;
}

size_t LzssCodec::Decode(HANDLE in, size_t length, BYTE* out, size_t outCapacity)
{
    std::unique_ptr<FileSource> src(new FileSource());
    src->h = in;
    src->left = length;
    MemSink sink = {out, out ? outCapacity : 0, 0};
    return DecodeStream(*src, sink);
}

size_t LzssCodec::Decode(HANDLE in, size_t length, HANDLE out)
{
    std::unique_ptr<FileSource> src(new FileSource());
    src->h = in;
    src->left = length;
    std::unique_ptr<FileSink> sink(new FileSink());
    sink->h = out;
    const size_t n = DecodeStream(*src, *sink);
    return sink->Flush() ? n : 0;
}

// ---- scrambling ----

std::wstring ScanResultKey()
{
    if (g_strAppDir[0])
        return Units(g_strAppDir, MAX_PATH);
    wchar_t path[MAX_PATH + 1] = {0};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n < MAX_PATH ? n : MAX_PATH);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? folder : folder.substr(0, slash);
}

void ScrambleRecord(BYTE* bytes, size_t length, uint32_t index, const std::wstring& key)
{
    if (!bytes || key.empty())
        return;
    const BYTE k = (BYTE)(key[index % key.size()] & 0xFF);
    for (size_t i = 0; i < length; ++i)
        bytes[i] ^= k;
}

// ---- stored texts ----

bool IsStoredVolumePath(const wchar_t* u, size_t count)
{
    return u && count >= 6 && u[0] == L'\\' && u[1] == L'\\' && u[2] == L'.' && u[3] == L'\\' &&
           ((u[4] >= L'A' && u[4] <= L'Z') || (u[4] >= L'a' && u[4] <= L'z')) && u[5] == L':' &&
           (count == 6 || u[6] == 0);
}

bool IsStoredDiskPath(const wchar_t* u, size_t count)
{
    static const wchar_t kPrefix[] = L"\\\\.\\PhysicalDrive";
    if (!u || count < 18 || wcsncmp(u, kPrefix, 17) != 0 || u[17] < L'0' || u[17] > L'9')
        return false;
    return count == 18 || u[18] == 0;
}

CFoundItem* FoundItemFromRecord(const BYTE* r)
{
    if (!r)
        return nullptr;
    CFoundItem* item = new (std::nothrow)
        CFoundItem(FieldText(r).c_str(), FieldText(r + 520).c_str(), FieldText(r + 1040).c_str(), Le64(r + 1560),
                   Le64(r + 1568));
    if (!item)
        return nullptr;
    item->m_uFirstCluster = Le32(r + 1576);
    item->m_bContiguous = Le32(r + 1580);
    item->SetRecoverability((int32_t)Le32(r + 1584));
    return item;
}

// ---- the file ----

CScanResultFile::CScanResultFile(IMainFrameServices* frame, const wchar_t* path, const DialogTarget& dialog,
                                 const std::atomic<bool>* stop)
    : m_pFrame(frame),
      m_strPath(path ? path : L""),
      m_dialog(dialog),
      m_pStop(stop),
      m_hFile(INVALID_HANDLE_VALUE),
      m_nKind(-1),
      m_u64LastProgress(0),
      m_strKey(ScanResultKey())
{
}

CScanResultFile::~CScanResultFile()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
}

int CScanResultFile::ReadKind(const wchar_t* path)
{
    HANDLE h = OpenRawReadOnly(path, 0);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    char head[kMagicBytes] = {0};
    DWORD got = 0;
    const BOOL ok = ReadFile(h, head, kMagicBytes, &got, nullptr);
    CloseHandle(h);
    if (!ok || got != kMagicBytes)
        return -1;
    // Only the kind digit is tested.
    return head[8] >= '0' && head[8] <= '4' ? head[8] - '0' : -1;
}

bool CScanResultFile::Fail(const char* key)
{
    m_strError = DecodeBase64Key(key);
    DebugPrint(L"[Delvaro] scan result %s: %s\n", m_strPath.c_str(), m_strError.c_str());
    ErrorBoxByBase64Key(key, m_dialog.window);
    if (m_hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
    return false;
}

bool CScanResultFile::FailDamaged()
{
    if (m_pFrame)
        m_pFrame->ClearScanResults();
    return Fail(kWrongDataFileKey);
}

void CScanResultFile::Progress(uint32_t done, uint32_t total)
{
    if (m_dialog.IsSet() && (done == total || ProgressTickDue(m_u64LastProgress)))
        m_dialog.Post(WMU_RecoverProgress, done, total);
}

// -- writing --

bool CScanResultFile::CreateOutput()
{
    m_hFile = CreateFileW(m_strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_hFile != INVALID_HANDLE_VALUE;
}

bool CScanResultFile::Put(const void* bytes, DWORD count)
{
    // Records are small: they are gathered and written 64 KiB at a time.
    m_out.insert(m_out.end(), (const BYTE*)bytes, (const BYTE*)bytes + count);
    return m_out.size() < 65536 || Flush();
}

bool CScanResultFile::Flush()
{
    DWORD wrote = 0;
    const bool ok = m_out.empty() || (WriteFile(m_hFile, m_out.data(), (DWORD)m_out.size(), &wrote, nullptr) &&
                                      wrote == m_out.size());
    m_out.clear();
    return ok;
}

bool CScanResultFile::PutPacked(const BYTE* record, size_t length, uint32_t index)
{
    const size_t packed = m_codec.Encode(record, length, m_packed, sizeof(m_packed));
    if (packed == 0)
        return false;
    ScrambleRecord(m_packed, packed, index, m_strKey);
    const uint32_t size = (uint32_t)packed;
    return Put(&size, 4) && Put(m_packed, (DWORD)packed);
}

bool CScanResultFile::EndSave(bool complete, const char* failureKey)
{
    bool closed = true;
    if (complete && !Flush())
        complete = false;
    m_out.clear();
    if (m_hFile != INVALID_HANDLE_VALUE)
    {
        closed = CloseHandle(m_hFile) != 0;
        m_hFile = INVALID_HANDLE_VALUE;
    }
    if (complete && closed)
        return true;
    DeleteFileW(m_strPath.c_str());
    if (failureKey && !Stopped())
        Fail(failureKey);
    return false;
}

namespace
{
// Length of a device as the readers check it.
uint64_t StoredDeviceLength(const std::wstring& path)
{
    HANDLE h = OpenRawReadOnly(path.c_str(), FILE_ATTRIBUTE_READONLY);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const uint64_t length = QueryDeviceLength(h, 1);
    CloseHandle(h);
    return length;
}

// The record in a disk list with that disk number.
CPhysicalDiskInfo* FindDisk(CPhysicalDiskList* list, int number)
{
    for (int i = 0; list && i < list->GetCount(); ++i)
        if (list->GetDisk(i) && list->GetDisk(i)->m_nDiskNumber == number)
            return list->GetDisk(i);
    return nullptr;
}
}  // namespace

bool CScanResultFile::WriteScanResult()
{
    if (!m_pFrame || ScanKind < 0 || ScanKind > 4)
        return false;
    const std::vector<CFoundItem*> items = m_pFrame->GetFoundFiles();
    if (items.empty())
        return false;
    const int kind = ScanKind;
    std::vector<BYTE> head(kMagic, kMagic + 8);
    head.push_back((BYTE)('0' + kind));
    auto append = [&head](const void* p, size_t n) { head.insert(head.end(), (const BYTE*)p, (const BYTE*)p + n); };

    if (kind == SCAN_KIND_LOST_PARTITION)
    {
        CPartitionScanControl* control = m_pFrame->GetPartitionScanControl();
        if (!control || control->GetDiskNumber() < 0)
            return false;
        // The layout's disk path has room for one digit.
        if (control->GetDiskNumber() > 9)
            return Fail(kNoSupportSaveDiskResultKey);
        const int64_t length = control->GetDiskLength();
        PartitionDescriptor descriptor;
        if (length < 0 || !control->GetPartitionDescriptor(&descriptor))
            return false;
        const std::wstring path = PhysicalDrivePath(control->GetDiskNumber());
        append(path.data(), 36);
        append(&length, 8);
        const size_t packed = m_codec.Encode((const BYTE*)&descriptor, sizeof(descriptor), m_packed, sizeof(m_packed));
        if (!packed)
            return false;
        ScrambleRecord(m_packed, packed, 0, m_strKey);
        const uint32_t p = (uint32_t)packed;
        append(&p, 4);
        append(m_packed, packed);
    }
    else
    {
        CVolumeInfo* volume = m_pFrame->GetSelectedVolume();
        if (!volume || volume->m_strRoot.empty() || !iswalpha(volume->m_strRoot[0]))
            return false;
        const std::wstring path = DriveLetterPath(volume->m_strRoot[0]);
        uint64_t length = StoredDeviceLength(path);
        if (!length)
            length = volume->m_Length;
        append(path.c_str(), 14);
        append(&length, 8);
    }
    FoundItemRecord record;
    return SaveRecords(head, (uint32_t)items.size(), [&](uint32_t i, const BYTE** bytes, size_t* length) {
        if (!items[i] || !items[i]->ToRecord(&record))
            return false;
        *bytes = (const BYTE*)&record;
        *length = sizeof(record);
        return true;
    });
}

bool CScanResultFile::WriteDeepScanResult()
{
    if (!m_pFrame || ScanKind < 0 || ScanKind > 4)
        return false;
    const std::vector<DeepScanHit*> hits = m_pFrame->GetCarvedFiles();
    CScanDiskDlg* dlg = m_pFrame->GetScanDiskDlg();
    if (hits.empty() || !dlg)
        return false;
    const uint32_t target = (uint32_t)dlg->GetTargetKind();
    std::wstring path;
    uint64_t length = 0;
    if (target == SCAN_TARGET_VOLUME)
    {
        CVolumeInfo* volume = m_pFrame->GetSelectedVolume();
        if (!volume || volume->m_strRoot.empty() || !iswalpha(volume->m_strRoot[0]))
            return false;
        path = DriveLetterPath(volume->m_strRoot[0]);
        length = StoredDeviceLength(path);
        if (!length)
            length = volume->m_Length;
    }
    else if (target == SCAN_TARGET_DISK)
    {
        const int disk = dlg->GetDiskNumber();
        HANDLE device = m_pFrame->GetDeepScanDevice();
        if (!FindDisk(m_pFrame->GetPhysicalDisks(), disk) || device == INVALID_HANDLE_VALUE || !device)
            return false;
        if (disk < 0 || disk > 9)
            return Fail(kNoSupportSaveDiskResultKey);
        path = PhysicalDrivePath(disk);
        length = QueryDeviceLength(device, 1);
    }
    else
    {
        // An image's path is not stored: such a result could not be loaded.
        return Fail(kNoSupportSaveVhdResultKey);
    }
    std::vector<BYTE> head(kMagic, kMagic + 8);
    head.push_back('1');
    auto append = [&head](const void* p, size_t n) { head.insert(head.end(), (const BYTE*)p, (const BYTE*)p + n); };
    append(&target, 4);
    append(path.c_str(), (path.size() + 1) * 2);
    append(&length, 8);
    return SaveRecords(head, (uint32_t)hits.size(), [&](uint32_t i, const BYTE** bytes, size_t* length) {
        *bytes = (const BYTE*)hits[i];
        *length = sizeof(DeepScanHit);
        return hits[i] != nullptr;
    });
}

bool CScanResultFile::SaveRecords(std::vector<BYTE> head, uint32_t total,
                                  const std::function<bool(uint32_t, const BYTE**, size_t*)>& record)
{
    const LONGLONG countOffset = (LONGLONG)head.size();
    head.insert(head.end(), (const BYTE*)&total, (const BYTE*)&total + 4);
    if (!CreateOutput())
        return Fail(kSaveResultFailedKey);
    if (!Put(head.data(), (DWORD)head.size()))
        return EndSave(false, kSaveResultFailedKey);
    uint32_t written = 0;
    for (uint32_t i = 0; i < total && !Stopped(); ++i)
    {
        const BYTE* bytes = nullptr;
        size_t length = 0;
        if (!record(i, &bytes, &length))
            break;
        if (!PutPacked(bytes, length, written))
            return EndSave(false, kSaveResultFailedKey);
        ++written;
        Progress(written, total);
    }
    if (Stopped())
        return EndSave(false, nullptr);
    if (written != total)
    {
        // The count says what the file really holds.
        LARGE_INTEGER at;
        at.QuadPart = countOffset;
        if (!Flush() || !SetFilePointerEx(m_hFile, at, nullptr, FILE_BEGIN) || !Put(&written, 4))
            return EndSave(false, kSaveResultFailedKey);
    }
    return EndSave(true, kSaveResultFailedKey);
}

// -- reading --

bool CScanResultFile::Get(void* bytes, DWORD count)
{
    DWORD got = 0;
    return ReadFile(m_hFile, bytes, count, &got, nullptr) && got == count;
}

bool CScanResultFile::OpenInput(int expectedKind)
{
    m_hFile = OpenRawReadOnly(m_strPath.c_str(), 0);
    if (m_hFile == INVALID_HANDLE_VALUE)
        return Fail(kReadResultDataErrorKey);
    char head[kMagicBytes];
    if (!Get(head, kMagicBytes) || head[8] < '0' || head[8] > '4')
        return Fail(kReadResultDataErrorKey);
    const int kind = head[8] - '0';
    m_nKind = kind;
    const bool volumeKind = kind == 0 || kind == 2 || kind == 3;
    if (expectedKind < 0 ? !volumeKind : kind != expectedKind)
        return Fail(kReadResultDataErrorKey);
    return true;
}

bool CScanResultFile::OpenDevice(const std::wstring& path)
{
    HANDLE device = OpenRawReadOnly(path.c_str(), FILE_ATTRIBUTE_READONLY);
    if (device == INVALID_HANDLE_VALUE)
        return Fail(kErrWhenOpenHistoryObjectKey);
    // The frame owns it from here (and closes the one it had).
    m_pFrame->SetDeepScanDevice(device);
    return true;
}

bool CScanResultFile::GetPacked(BYTE* out, size_t length, uint32_t index, bool* skip)
{
    uint32_t size = 0;
    if (!Get(&size, 4) || size == 0 || size > LzssCodec::WorstCase(length) || size > sizeof(m_packed))
        return false;
    if (!Get(m_packed, size))
        return false;
    ScrambleRecord(m_packed, size, index, m_strKey);
    // One byte of room more than the record: a longer decoding is told apart.
    *skip = m_codec.Decode(m_packed, size, out, length + 1) != length;
    return true;
}

bool CScanResultFile::ReadFoundRecords(uint32_t count)
{
    std::vector<BYTE> record;
    try
    {
        record.resize(kFoundRecordBytes + 1);
    }
    catch (...)
    {
        return Fail(kNotEnoughMemoryKey);
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        if (Stopped())
        {
            m_pFrame->ClearScanResults();
            return false;
        }
        Progress(i, count);
        bool skip = false;
        if (!GetPacked(record.data(), kFoundRecordBytes, i, &skip))
            return FailDamaged();
        if (skip)
            continue;
        const uint32_t flag = Le32(record.data() + 1580);
        if (flag > 1)
            return FailDamaged();
        CFoundItem* item = FoundItemFromRecord(record.data());
        if (!item)
            return Fail(kNotEnoughMemoryKey);
        if (!m_pFrame->AppendLoadedFile(item))
            delete item;
    }
    return true;
}

CVolumeInfo* CScanResultFile::FindStoredVolume(wchar_t letter)
{
    CVolumeList* volumes = m_pFrame->GetVolumeList();
    CVolumeInfo* volume = volumes ? volumes->FindVolumeByLetter((wchar_t)towupper(letter)) : nullptr;
    if (!volume && volumes)
        volume = volumes->FindVolumeByLetter((wchar_t)towlower(letter));
    return volume;
}

bool CScanResultFile::ReadVolumeScanResult()
{
    if (!m_pFrame || !OpenInput(-1))
        return m_pFrame ? false : Fail(kReadResultDataErrorKey);
    wchar_t path[7];
    if (!Get(path, 14))
        return Fail(kReadResultDataErrorKey);
    if (!IsStoredVolumePath(path, 7))
        return Fail(kWrongDataFileKey);
    CVolumeInfo* volume = FindStoredVolume(path[4]);
    if (!volume)
        return Fail(kErrWhenOpenHistoryObjectKey);
    if (!OpenDevice(Units(path, 7)))
        return false;
    uint64_t length = 0;
    uint32_t count = 0;
    if (!Get(&length, 8))
        return Fail(kReadResultDataErrorKey);
    if (length != QueryDeviceLength(m_pFrame->GetDeepScanDevice(), 1))
        return Fail(kWrongDiskKey);
    if (!Get(&count, 4))
        return Fail(kReadResultDataErrorKey);
    if (!ReadFoundRecords(count))
        return false;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    m_pFrame->SetSelectedVolume(volume);
    // Formatted and recycle-bin results stay what they are: their entries
    // are read back by the rules of their own scan.
    ScanKind = m_nKind;
    FinishLoad(count);
    return true;
}

bool CScanResultFile::ReadDeepScanResult()
{
    if (!m_pFrame || !OpenInput(SCAN_KIND_DEEP))
        return m_pFrame ? false : Fail(kReadResultDataErrorKey);
    uint32_t target = 0;
    if (!Get(&target, 4))
        return Fail(kReadResultDataErrorKey);
    if (target != SCAN_TARGET_VOLUME && target != SCAN_TARGET_DISK)
        return FailDamaged();
    const size_t units = target == SCAN_TARGET_DISK ? 19 : 7;
    wchar_t path[19];
    if (!Get(path, (DWORD)units * 2))
        return Fail(kReadResultDataErrorKey);
    if (target == SCAN_TARGET_DISK ? !IsStoredDiskPath(path, 19) : !IsStoredVolumePath(path, 7))
        return Fail(kWrongDataFileKey);
    // The recovery of the hits opens the volume again: it must be one the
    // frame knows.
    CVolumeInfo* volume = target == SCAN_TARGET_VOLUME ? FindStoredVolume(path[4]) : nullptr;
    if (target == SCAN_TARGET_VOLUME && !volume)
        return Fail(kErrWhenOpenHistoryObjectKey);
    if (!OpenDevice(Units(path, units)))
        return false;
    uint64_t length = 0;
    uint32_t count = 0;
    if (!Get(&length, 8))
        return Fail(kReadResultDataErrorKey);
    if (length != QueryDeviceLength(m_pFrame->GetDeepScanDevice(), 1))
        return Fail(kWrongDiskKey);
    if (!Get(&count, 4))
        return Fail(kReadResultDataErrorKey);
    CFormatPluginRegistry* registry = m_pFrame->GetPluginRegistry();
    const uint32_t plugins =
        registry && !registry->GetModules().empty() ? (uint32_t)registry->GetModules().size() : kDefaultPluginCount;
    BYTE record[kCarvedRecordBytes + 1];
    for (uint32_t i = 0; i < count; ++i)
    {
        if (Stopped())
        {
            m_pFrame->ClearScanResults();
            return false;
        }
        Progress(i, count);
        bool skip = false;
        if (!GetPacked(record, kCarvedRecordBytes, i, &skip))
            return FailDamaged();
        if (skip)
            continue;
        DeepScanHit* hit = new (std::nothrow) DeepScanHit;
        if (!hit)
            return Fail(kNotEnoughMemoryKey);
        memcpy(hit, record, sizeof(DeepScanHit));
        hit->szName[sizeof(hit->szName) - 1] = 0;
        hit->szExtension[sizeof(hit->szExtension) - 1] = 0;
        if (hit->uValid == 0 || hit->u64Length == 0 || hit->uPluginIndex >= plugins)
        {
            delete hit;
            return FailDamaged();
        }
        if (!m_pFrame->AppendLoadedHit(hit))
            delete hit;
    }
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    if (CScanDiskDlg* dlg = m_pFrame->GetScanDiskDlg())
    {
        if (target == SCAN_TARGET_DISK)
            dlg->SetPhysicalDiskIndex(path[17] - L'0');
        dlg->SetTargetKind((int)target);
        if (volume)
            dlg->SetScanVolume(volume);
    }
    if (volume)
        m_pFrame->SetSelectedVolume(volume);
    m_pFrame->SetResultFromFile(2);
    ScanKind = SCAN_KIND_DEEP;
    FinishLoad(count);
    return true;
}

bool CScanResultFile::ReadDiskScanResult()
{
    CPartitionScanControl* control = m_pFrame ? m_pFrame->GetPartitionScanControl() : nullptr;
    if (!control)
        return Fail(kReadResultDataErrorKey);
    control->ResetScan(false);
    if (!OpenInput(SCAN_KIND_LOST_PARTITION))
        return false;
    wchar_t path[18];
    if (!Get(path, 36))
        return Fail(kReadResultDataErrorKey);
    if (!IsStoredDiskPath(path, 18))
        return Fail(kWrongDataFileKey);
    const int disk = path[17] - L'0';
    if (!OpenDevice(Units(path, 18)))
        return false;
    uint64_t length = 0;
    if (!Get(&length, 8))
        return Fail(kReadResultDataErrorKey);
    // The writer took the disk's length from the disk list's record of it:
    // the same record is made here to compare with.
    CPhysicalDiskList disks;
    int identified = 0;
    disks.AddDisk(disk, &identified);
    CPhysicalDiskInfo* info = FindDisk(&disks, disk);
    if (!info || info->m_TotalBytes != length)
        return Fail(kWrongDiskKey);
    uint32_t packedSize = 0;
    if (!Get(&packedSize, 4))
        return Fail(kReadResultDataErrorKey);
    if (packedSize == 0 || packedSize > LzssCodec::WorstCase(kDescriptorBytes))
        return Fail(kWrongDataFileKey);
    if (!Get(m_packed, packedSize))
        return Fail(kReadResultDataErrorKey);
    ScrambleRecord(m_packed, packedSize, 0, m_strKey);
    BYTE raw[kDescriptorBytes + 1];
    if (m_codec.Decode(m_packed, packedSize, raw, sizeof(raw)) != kDescriptorBytes)
        return Fail(kWrongDiskKey);
    PartitionDescriptor d;
    memcpy(&d, raw, sizeof(d));
    d.szLabel[259] = 0;
    d.szSecond[259] = 0;
    if (d.uDiskNumber != (uint32_t)disk)
        return Fail(kWrongDiskKey);
    if (d.uSectorSize != 512 && d.uSectorSize != 1024 && d.uSectorSize != 2048 && d.uSectorSize != 4096)
        return Fail(kWrongDataFileKey);
    // A partition that starts at or past the end of this disk was found on
    // another one: nothing of it could be read here.
    if (d.u64Start >= length / d.uSectorSize)
        return Fail(kWrongDiskKey);
    uint32_t count = 0;
    if (!Get(&count, 4))
        return Fail(kReadResultDataErrorKey);
    if (!ReadFoundRecords(count))
        return false;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    CPartitionInfo* partition = new (std::nothrow) CPartitionInfo;
    if (!partition)
        return Fail(kNotEnoughMemoryKey);
    partition->m_nDiskNumber = disk;
    partition->m_bActive = FALSE;
    partition->m_nType = d.nType;
    partition->m_nScheme = (int)d.uScheme;
    partition->m_StartSector = d.u64Start;
    partition->m_SectorCount = d.u64Length;
    partition->m_HiddenSectors = d.u64Hidden;
    partition->m_uSectorSize = d.uSectorSize;
    partition->m_strName = Units(d.szLabel, 260);
    partition->m_strTypeGuid = Units(d.szSecond, 260);
    // The partition counts in the sectors it was saved with; the control
    // reads the disk in the disk's own.
    control->SetLoadedDisk(disk, *info);
    control->AppendLostPartition(partition);
    control->SetCurrentPartition(partition);
    ScanKind = SCAN_KIND_LOST_PARTITION;
    FinishLoad(count);
    return true;
}

void CScanResultFile::FinishLoad(uint32_t count)
{
    if (!m_pFrame)
        return;
    PostFrameMessage(m_pFrame, WMU_SetViewMode, (WPARAM)g_ConfigSetting.m_nViewMode, 0);
    m_pFrame->StartResultRefresh();
    PostFrameMessage(m_pFrame, WMU_ScanDone, 0, 1);
    ScanProgressInfo* info = new (std::nothrow) ScanProgressInfo;
    if (!info)
        return;
    info->nDone = (int)count;
    info->nTotal = (int)count;
    info->bActive = false;
    info->SetStatus(EngineFormatInt(L"ScanningFile", (int)count).c_str());
    if (!PostFrameMessage(m_pFrame, WMU_ScanProgress, (WPARAM)info, 1))
        delete info;
}
