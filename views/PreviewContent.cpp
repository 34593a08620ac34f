#include "views/PreviewContent.h"

#include <propsys.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "app/MainFrame.h"
#include "core/Log.h"
#include "engine/DeepScanEngine.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "storage/DiskMappingPointer.h"
#include "storage/VolumeList.h"

// The found-file readers come with the recovery engine; where a build has
// none, found entries have no stream (carved hits and files still do).
#if __has_include("engine/RecoverFile.h")
#include <memory>

#include "engine/RecoverFile.h"
#include "storage/PartitionTable.h"
#define DELVARO_FOUND_FILE_READERS 1
#endif

namespace {

const wchar_t* const kImageExtensions[] = {L".png", L".jpg", L".jpeg", L".bmp", L".gif", L".ico"};
const wchar_t* const kTextExtensions[] = {L".txt", L".ini", L".log", L".xml", L".h",   L".c",   L".cpp", L".css",
                                          L".html", L".htm", L".asp", L".aspx", L".php", L".m", L".bat"};

std::wstring LowerAscii(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = c - L'A' + L'a';
    return s;
}

template <size_t N>
bool InList(const std::wstring& extension, const wchar_t* const (&list)[N])
{
    if (extension.empty())
        return false;
    const std::wstring lower = LowerAscii(extension);
    for (const wchar_t* e : list)
        if (lower == e)
            return true;
    return false;
}

IStream* ReadFoundItem(int code, CVolumeInfo* volume, const void* extra, CFoundItem* item, uint64_t cap, int kind)
{
#ifdef DELVARO_FOUND_FILE_READERS
    std::unique_ptr<CRecoverFile> reader(CreateRecoverFile(code, NULL));
    if (!reader)
        return NULL;
    return reader->ReadToStream(volume ? volume->m_strRoot.c_str() : NULL,
                                kind == 4 ? static_cast<const ILostPartitionSource*>(extra) : NULL, item, cap, kind);
#else
    (void)code, (void)volume, (void)extra, (void)item, (void)cap, (void)kind;
    return NULL;
#endif
}

FoundItemStreamReader g_foundItemReader = ReadFoundItem;

// Bytes read from a device per step while copying a carved hit.
const uint64_t kCarveReadWindow = 4ull << 20;

}  // namespace

FoundItemStreamReader SetFoundItemStreamReader(FoundItemStreamReader reader)
{
    FoundItemStreamReader old = g_foundItemReader;
    g_foundItemReader = reader ? reader : ReadFoundItem;
    return old;
}

int FileSystemCodeOfLostPartition(const void* extra)
{
#ifdef DELVARO_FOUND_FILE_READERS
    const ILostPartitionSource* lost = static_cast<const ILostPartitionSource*>(extra);
    const CPartitionInfo* partition = lost ? lost->GetCurrentPartition() : NULL;
    return GetPartitionTypeCode(4, NULL, partition);
#else
    (void)extra;
    return 0;
#endif
}

bool GetPlainFileNameAndSize(const std::wstring& path, std::wstring* name, uint64_t* size)
{
    const size_t slash = path.find_last_of(L"\\/");
    if (name)
        *name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fa))
        return false;
    if (size)
        *size = ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow;
    return true;
}

// A stream that owns mem and holds its first count bytes; mem is freed when
// the stream cannot be made.
IStream* StreamOverGlobal(HGLOBAL mem, uint64_t count)
{
    IStream* stream = NULL;
    if (FAILED(CreateStreamOnHGlobal(mem, TRUE, &stream)) || !stream) {
        GlobalFree(mem);
        return NULL;
    }
    // The block may be larger than asked for: the stream is exactly count long.
    ULARGE_INTEGER size;
    size.QuadPart = count;
    stream->SetSize(size);
    return stream;
}

IStream* CreateMemoryStream(const void* data, size_t count)
{
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, count ? count : 1);
    if (!mem)
        return NULL;
    if (count) {
        void* p = GlobalLock(mem);
        if (!p) {
            GlobalFree(mem);
            return NULL;
        }
        memcpy(p, data, count);
        GlobalUnlock(mem);
    }
    return StreamOverGlobal(mem, count);
}

uint64_t GetStreamSize(IStream* stream)
{
    STATSTG st = {};
    if (!stream || FAILED(stream->Stat(&st, STATFLAG_NONAME)))
        return 0;
    return st.cbSize.QuadPart;
}

bool ReadStreamHead(IStream* stream, size_t max, std::string& out)
{
    out.clear();
    if (!stream)
        return false;
    // Never asks a memory stream for more than it holds.
    const uint64_t size = GetStreamSize(stream);
    const size_t want = (size_t)std::min<uint64_t>(size, max);
    LARGE_INTEGER zero = {};
    if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, NULL)))
        return false;
    out.resize(want);
    ULONG got = 0;
    if (want && FAILED(stream->Read(&out[0], (ULONG)want, &got)))
        got = 0;
    out.resize(got);
    return got > 0;
}

// ---- PreviewRequest ----

PreviewRequest::PreviewRequest()
    : m_pItem(NULL),
      m_pVolume(NULL),
      m_pExtra(NULL),
      m_nKind(0),
      m_pPreviewOwner(NULL),
      m_pPlayerOwner(NULL),
      m_pFrame(NULL),
      m_pHit(NULL),
      m_hDevice(INVALID_HANDLE_VALUE),
      m_bDevice(0)
{
}

void PreviewRequest::Init(CVolumeInfo* volume, const void* extra, CFoundItem* item, int kind, IMainFrameServices* frame)
{
    m_pVolume = volume;
    m_pExtra = extra;
    m_pItem = item;
    m_nKind = kind;
    m_pFrame = frame;
}

void PreviewRequest::InitCarvedForPreview(ICarvedHitOwner* owner, int kind)
{
    m_pPreviewOwner = owner;
    m_nKind = kind;
}

void PreviewRequest::InitCarvedForPlayer(ICarvedHitOwner* owner, int kind)
{
    m_pPlayerOwner = owner;
    m_nKind = kind;
}

void PreviewRequest::InitCarved(const DeepScanHit* hit, HANDLE device, int isDevice, int kind)
{
    m_pHit = hit;
    m_hDevice = device;
    m_bDevice = isDevice;
    m_nKind = kind;
}

void PreviewRequest::InitFile(const std::wstring& path)
{
    m_strFilePath = path;
    m_nKind = -1;
}

std::wstring PreviewRequest::GetExtension()
{
    if (!m_strExtension.empty())
        return m_strExtension;
    const DeepScanHit* hit = m_pHit;
    if (!hit && m_pPreviewOwner)
        hit = m_pPreviewOwner->GetCarvedHit();
    if (!hit && m_pPlayerOwner)
        hit = m_pPlayerOwner->GetCarvedHit();
    if (m_nKind == 1 && hit) {
        std::wstring ext;
        for (size_t i = 0; i < sizeof(hit->szExtension) && hit->szExtension[i]; ++i)
            ext += (wchar_t)(unsigned char)hit->szExtension[i];
        if (!ext.empty())
            m_strExtension = L"." + ext;
    } else {
        std::wstring name;
        if (m_pItem)
            name = m_pItem->m_strName;
        else if (!m_strFilePath.empty())
            name = m_strFilePath;
        if (!name.empty()) {
            const wchar_t* ext = PathFindExtensionW(name.c_str());
            if (ext && *ext)
                m_strExtension = ext;
        }
    }
    return m_strExtension;
}

bool PreviewRequest::IsImageExtension(const std::wstring& extension)
{
    return InList(extension, kImageExtensions);
}

bool PreviewRequest::IsTextExtension(const std::wstring& extension)
{
    return InList(extension, kTextExtensions);
}

BYTE PreviewRequest::IsImage()
{
    return IsImageExtension(GetExtension()) ? 1 : 0;
}

BYTE PreviewRequest::IsText()
{
    return IsTextExtension(GetExtension()) ? 1 : 0;
}

IStream* PreviewRequest::OpenStream(uint64_t cap)
{
    if (!m_strFilePath.empty())
        return OpenFileStream(cap);
    if (m_nKind == 1) {
        if (m_pHit)
            return OpenCarvedStream(m_pHit, m_hDevice, m_bDevice, cap);
        ICarvedHitOwner* owner = m_pPreviewOwner ? m_pPreviewOwner : m_pPlayerOwner;
        if (!owner || !owner->GetCarvedHit())
            return NULL;
        return OpenCarvedStream(owner->GetCarvedHit(), owner->GetDeviceHandle(), owner->IsSourceDevice(), cap);
    }
    if (!m_pItem)
        return NULL;
    int code = 0;
    if (m_nKind == 4) {
        code = FileSystemCodeOfLostPartition(m_pExtra);
    } else {
        if (!m_pVolume && m_pFrame && m_pFrame->GetVolumeList()) {
            const std::wstring& path = m_pItem->GetCurrentPath();
            if (!path.empty())
                m_pVolume = m_pFrame->GetVolumeList()->FindVolumeByLetter(path[0]);
        }
        code = GetPartitionTypeCode(m_nKind, m_pVolume, NULL);
    }
    if (code == 0)
        return NULL;
    return g_foundItemReader(code, m_pVolume, m_pExtra, m_pItem, cap, m_nKind);
}

IStream* PreviewRequest::OpenCarvedStream(const DeepScanHit* hit, HANDLE device, int isDevice, uint64_t cap)
{
    if (!hit || hit->u64Length == 0 || !device || device == INVALID_HANDLE_VALUE)
        return NULL;
    const uint64_t start = hit->GetStart();
    if (start < hit->u64WindowBase)
        return NULL;  // base + position overflowed
    uint64_t want = hit->u64Length;
    if (cap && want > cap)
        want = cap;
    if (want > (uint64_t)(SIZE_T)-1 / 2)
        return NULL;

    CDiskMappingPointer reader(device, start, isDevice, std::min<uint64_t>(want, kCarveReadWindow), 512, 0);
    const uint64_t limit = reader.m_Limit;
    if (limit) {
        if (start >= limit)
            return NULL;
        want = std::min<uint64_t>(want, limit - start);
    }
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)want);
    if (!mem)
        return NULL;
    uint8_t* out = (uint8_t*)GlobalLock(mem);
    if (!out) {
        GlobalFree(mem);
        return NULL;
    }
    uint64_t done = 0;
    bool ok = true;
    while (done < want) {
        reader.SetError(0);
        if (!reader.SeekTo(start + done) || reader.GetError() != 0) {
            ok = false;
            break;
        }
        const uint64_t avail = reader.m_WindowSize > reader.m_CurrentPos ? reader.m_WindowSize - reader.m_CurrentPos : 0;
        const uint64_t n = std::min<uint64_t>(avail, want - done);
        if (n == 0) {
            ok = false;
            break;
        }
        memcpy(out + done, reader.GetPointer(), (size_t)n);
        done += n;
    }
    GlobalUnlock(mem);
    if (!ok) {
        DebugPrint(L"[Delvaro] preview: carved hit unreadable at %I64u\n", start + done);
        GlobalFree(mem);
        return NULL;
    }
    return StreamOverGlobal(mem, want);
}

IStream* PreviewRequest::OpenFileStream(uint64_t cap)
{
    HANDLE f = CreateFileW(m_strFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return NULL;
    LARGE_INTEGER size = {};
    IStream* stream = NULL;
    if (GetFileSizeEx(f, &size) && size.QuadPart >= 0) {
        uint64_t want = (uint64_t)size.QuadPart;
        if (cap && want > cap)
            want = cap;
        HGLOBAL mem = want <= (uint64_t)(SIZE_T)-1 / 2 ? GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)(want ? want : 1)) : NULL;
        uint8_t* out = mem ? (uint8_t*)GlobalLock(mem) : NULL;
        bool ok = out != NULL;
        uint64_t done = 0;
        while (ok && done < want) {
            DWORD n = (DWORD)std::min<uint64_t>(want - done, 1u << 20);
            DWORD got = 0;
            if (!ReadFile(f, out + done, n, &got, NULL) || got == 0)
                ok = false;
            done += got;
        }
        if (out)
            GlobalUnlock(mem);
        if (ok)
            stream = StreamOverGlobal(mem, done);
        else if (mem)
            GlobalFree(mem);
    }
    CloseHandle(f);
    return stream;
}

// ---- PreviewExchangeFile ----

PreviewExchangeFile::PreviewExchangeFile() : m_pStream(NULL) {}

PreviewExchangeFile::~PreviewExchangeFile()
{
    Remove();
}

std::wstring PreviewExchangeFile::GetFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring folder = (n > 0 && n < MAX_PATH) ? std::wstring(temp, n) : std::wstring();
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

void PreviewExchangeFile::Remove()
{
    if (!m_strPath.empty()) {
        DeleteFileW(m_strPath.c_str());
        m_strPath.clear();
    }
}

DWORD PreviewExchangeFile::Write(const std::wstring& extension, const ScannedPathCheck& check)
{
    Remove();
    if (!m_pStream)
        return 1;
    const std::wstring folder = GetFolder();
    if (folder.empty())
        return ERROR_PATH_NOT_FOUND;
    if (check && check(folder))
        return ERROR_ACCESS_DENIED;
    std::wstring ext = extension;
    if (!ext.empty() && ext[0] == L'.')
        ext.erase(0, 1);
    // Only plain extension characters go into the name.
    for (wchar_t& c : ext)
        if (!iswalnum(c) && c != L'_' && c != L'-')
            c = L'_';

    static LONG counter = 0;
    HANDLE f = INVALID_HANDLE_VALUE;
    std::wstring path;
    DWORD error = 0;
    for (int attempt = 0; attempt < 100 && f == INVALID_HANDLE_VALUE; ++attempt) {
        wchar_t name[64];
        wsprintfW(name, L"Exchange-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
        path = folder + name + (ext.empty() ? L"" : L"." + ext);
        f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, NULL);
        error = f == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (f == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    if (f == INVALID_HANDLE_VALUE)
        return error ? error : ERROR_FILE_EXISTS;

    uint64_t remaining = GetStreamSize(m_pStream);
    LARGE_INTEGER zero = {};
    HRESULT hr = m_pStream->Seek(zero, STREAM_SEEK_SET, NULL);
    DWORD result = SUCCEEDED(hr) ? 0 : (DWORD)hr;
    char buf[64 * 1024];
    while (result == 0 && remaining > 0) {
        ULONG got = 0;
        hr = m_pStream->Read(buf, (ULONG)std::min<uint64_t>(sizeof(buf), remaining), &got);
        if (FAILED(hr) || got == 0) {
            result = FAILED(hr) ? (DWORD)hr : ERROR_HANDLE_EOF;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(f, buf, got, &written, NULL) || written != got) {
            result = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
            break;
        }
        remaining -= got;
    }
    CloseHandle(f);
    if (result != 0)
        DeleteFileW(path.c_str());
    else
        m_strPath = path;
    return result;
}

// ---- PreviewHandlerHost ----

PreviewHandlerHost::PreviewHandlerHost()
    : m_pHandler(NULL), m_pFileInit(NULL), m_pStreamInit(NULL), m_pStream(NULL), m_bShown(false)
{
    SetRectEmpty(&m_rcShown);
}

PreviewHandlerHost::~PreviewHandlerHost()
{
    Release();
}

std::wstring PreviewHandlerHost::FindHandlerClsid(const wchar_t* extension)
{
    if (!extension)
        return std::wstring();
    std::wstring ext = extension;
    if (ext.empty() || ext[0] != L'.')
        ext = L"." + ext;
    const std::wstring key = ext + L"\\ShellEx\\{8895b1c6-b41f-4c1c-a562-0d564250836f}";
    wchar_t value[260] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (SHGetValueW(HKEY_CLASSES_ROOT, key.c_str(), NULL, &type, value, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    value[259] = 0;
    return value;
}

void PreviewHandlerHost::SetStream(IStream* stream, const wchar_t* extension)
{
    if (!stream || !extension)
        return;
    m_strExtension = extension;
    if (m_strExtension.empty() || m_strExtension[0] != L'.')
        m_strExtension = L"." + m_strExtension;
    m_pStream = stream;
}

void PreviewHandlerHost::Release()
{
    if (m_pFileInit) {
        m_pFileInit->Release();
        m_pFileInit = NULL;
    }
    if (m_pStreamInit) {
        m_pStreamInit->Release();
        m_pStreamInit = NULL;
    }
    if (m_pHandler) {
        m_pHandler->Unload();
        m_pHandler->Release();
        m_pHandler = NULL;
    }
    m_bShown = false;
}

HRESULT PreviewHandlerHost::Create()
{
    Release();
    if (m_strExtension.empty())
        return HRESULT_FROM_WIN32(ERROR_BAD_ARGUMENTS);
    const std::wstring clsidText = FindHandlerClsid(m_strExtension.c_str());
    if (clsidText.empty())
        return REGDB_E_CLASSNOTREG;
    CLSID clsid;
    HRESULT hr = CLSIDFromString(clsidText.c_str(), &clsid);
    if (FAILED(hr))
        return hr;
    hr = CoCreateInstance(clsid, NULL, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IPreviewHandler,
                          (void**)&m_pHandler);
    if (FAILED(hr) || !m_pHandler) {
        m_pHandler = NULL;
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (FAILED(m_pHandler->QueryInterface(IID_IInitializeWithStream, (void**)&m_pStreamInit)))
        m_pStreamInit = NULL;
    if (!m_pStreamInit && FAILED(m_pHandler->QueryInterface(IID_IInitializeWithFile, (void**)&m_pFileInit)))
        m_pFileInit = NULL;
    if (!m_pStreamInit && !m_pFileInit) {
        Release();
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT PreviewHandlerHost::ShowPreview(HWND parent, const RECT& rect)
{
    const HRESULT badArguments = ERROR_BAD_ARGUMENTS;
    if (!parent || m_strExtension.empty() || !m_pHandler)
        return badArguments;
    HRESULT hr = E_FAIL;
    if (m_pStreamInit) {
        if (!m_pStream)
            return badArguments;
        LARGE_INTEGER zero = {};
        m_pStream->Seek(zero, STREAM_SEEK_SET, NULL);
        hr = m_pStreamInit->Initialize(m_pStream, STGM_READ);
    } else if (m_pFileInit) {
        if (m_strFilePath.empty())
            return badArguments;
        hr = m_pFileInit->Initialize(m_strFilePath.c_str(), STGM_READ);
    }
    if (hr != S_OK)
        return FAILED(hr) ? hr : E_FAIL;
    m_pHandler->SetWindow(parent, &rect);
    m_pHandler->DoPreview();
    m_bShown = true;
    m_rcShown = rect;
    return S_OK;
}

void PreviewHandlerHost::SetRect(const RECT& rect)
{
    if (!m_pHandler || !m_bShown || EqualRect(&rect, &m_rcShown))
        return;
    m_rcShown = rect;
    m_pHandler->SetRect(&rect);
}
