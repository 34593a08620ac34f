#include "views/MemPlayer.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string>

#include "core/Log.h"
#include "storage/DeviceIo.h"
#include "views/MemReader.h"

// Rising by ear from silence to full volume; never lower than the step below.
const long CMemPlayer::kVolumeTable[100] = {
    -10000, -6418, -6147, -6000, -5892, -4826, -4647, -4400, -4162, -3876, -3614, -3500, -3492, -3374, -3261,
    -3200,  -3153, -3048, -2947, -2849, -2755, -2700, -2663, -2575, -2520, -2489, -2406, -2325, -2280, -2246,
    -2170,  -2095, -2050, -2023, -1952, -1900, -1884, -1834, -1820, -1800, -1780, -1757, -1695, -1636, -1579,
    -1521,  -1500, -1464, -1436, -1420, -1408, -1353, -1299, -1246, -1195, -1144, -1096, -1060, -1049, -1020,
    -1003,  -957,  -912,  -868,  -800,  -784,  -774,  -760,  -744,  -705,  -667,  -630,  -610,  -594,  -570,
    -558,   -525,  -493,  -462,  -432,  -403,  -375,  -348,  -322,  -297,  -285,  -273,  -250,  -228,  -207,
    -187,   -176,  -168,  -150,  -102,  -75,   -19,   -10,   0,     0};

void (*CMemPlayer::s_pfnBeforeRender)() = NULL;

namespace {
const LONGLONG kSecond = 10000000;  // 100-nanosecond units

struct ExtensionSubtype
{
    const wchar_t* extensions[8];
    GUID subtype;
};

const GUID kSubtypeOther1 = {0xEE30215D, 0x164F, 0x4A92, {0xA4, 0xEB, 0x9D, 0x4C, 0x13, 0x39, 0x0F, 0x9F}};
const GUID kSubtypeOther2 = {0xE8E73B6B, 0x4CB3, 0x44A4, {0xBE, 0x99, 0x4F, 0x7B, 0xCB, 0x96, 0xE4, 0x91}};

const ExtensionSubtype kExtensionTable[] = {
    {{L"mpg"}, MEDIASUBTYPE_MPEG1System},
    {{L"mpa", L"mp3"}, MEDIASUBTYPE_MPEG1Audio},
    {{L"wma", L"wav"}, MEDIASUBTYPE_WAVE},
    {{L"mpv"}, MEDIASUBTYPE_MPEG1Video},
    {{L"mp4", L"mov", L"m4v"}, MEDIASUBTYPE_QTMovie},
    {{L"wmv"}, MEDIASUBTYPE_Asf},
    {{L"dat"}, MEDIASUBTYPE_MPEG1VideoCD},
    {{L"avi"}, MEDIASUBTYPE_Avi},
    {{L"pcm"}, MEDIASUBTYPE_PCM},
    {{L"aif"}, MEDIASUBTYPE_AIFF},
    {{L"au"}, MEDIASUBTYPE_AU},
    {{L"ac3"}, MEDIASUBTYPE_DOLBY_AC3},
    {{L"rm", L"3gp", L"swf", L"mkv", L"rmvb", L"m2ts", L"webm"}, kSubtypeOther1},
    {{L"wv", L"mp2", L"amr", L"flac", L"ape", L"mmf"}, kSubtypeOther2},
};

// Whether data is an AVI (by its RIFF header) whose movie list holds no
// chunk, or that has none: nothing in it can play. Such a file is refused
// before a graph is built: a splitter announces its streams from the header
// and may then wait for ever on data that never comes.
bool IsAviWithoutStreamData(const BYTE* data, uint64_t length)
{
    if (!data || length < 12 || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "AVI ", 4) != 0)
        return false;  // not an AVI by its header: the splitters decide
    uint64_t at = 12;
    while (at + 8 <= length) {
        const uint32_t size = Le32(data + at + 4);
        if (memcmp(data + at, "LIST", 4) == 0 && at + 12 <= length && memcmp(data + at + 8, "movi", 4) == 0)
            return size < 12 || at + 20 > length;  // not even one chunk's header inside
        at += 8 + (uint64_t)size + (size & 1);
    }
    return true;
}

// One graph-building run: shared by the window's thread and the thread that
// builds, and freed by whichever lets go last.
struct RenderJob
{
    IGraphBuilder* builder;
    IPin* pin;
    HMODULE graphModule;  // held while the build runs in its code
    HANDLE done;
    HRESULT hr;
    LONG refs;

    void Drop()
    {
        if (InterlockedDecrement(&refs) == 0) {
            CloseHandle(done);
            delete this;
        }
    }
};

// The multithreaded apartment the building threads join is kept for the
// process's life: a build given up on may still be running inside a filter,
// and that filter's library must not be unloaded under it when the last
// other thread leaves the apartment. Systems without the call go without.
void KeepMultithreadedApartment()
{
    static LONG once = 0;
    if (InterlockedExchange(&once, 1))
        return;
    typedef HRESULT(WINAPI * IncrementFn)(void**);
    HMODULE ole = GetModuleHandleW(L"ole32.dll");
    IncrementFn increment = ole ? (IncrementFn)(void*)GetProcAddress(ole, "CoIncrementMTAUsage") : NULL;
    void* cookie = NULL;
    if (increment)
        increment(&cookie);
}

DWORD WINAPI RenderThread(void* param)
{
    RenderJob* job = static_cast<RenderJob*>(param);
    const HRESULT com = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (CMemPlayer::s_pfnBeforeRender)
        CMemPlayer::s_pfnBeforeRender();
    job->hr = job->builder->Render(job->pin);
    job->pin->Release();
    job->builder->Release();
    if (SUCCEEDED(com))
        CoUninitialize();
    HMODULE module = job->graphModule;
    SetEvent(job->done);
    job->Drop();
    if (module)
        FreeLibrary(module);
    return 0;
}

// Renders the source pin on a thread of its own and waits up to limit ms,
// answering messages sent to this thread meanwhile (posted ones wait, so
// nothing re-enters the window). A build that does not end in time is left
// to run: it holds its own references to the graph and the source.
HRESULT RenderWithin(IGraphBuilder* builder, IPin* pin, DWORD limit)
{
    HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!done)
        return builder->Render(pin);
    RenderJob* job = new RenderJob();
    job->builder = builder;
    job->pin = pin;
    job->graphModule = NULL;
    job->done = done;
    job->hr = E_FAIL;
    job->refs = 2;
    builder->AddRef();
    pin->AddRef();
    // The graph's own library stays loaded while the build runs in it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCWSTR) * (void**)builder, &job->graphModule);
    KeepMultithreadedApartment();
    HANDLE thread = CreateThread(NULL, 0, RenderThread, job, 0, NULL);
    if (!thread) {
        // No thread to spare: build here, as a plain call would.
        builder->Release();
        pin->Release();
        if (job->graphModule)
            FreeLibrary(job->graphModule);
        CloseHandle(job->done);
        delete job;
        return builder->Render(pin);
    }
    CloseHandle(thread);

    const DWORD start = GetTickCount();
    HRESULT hr = VFW_E_TIMEOUT;
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent >= limit ? 0 : limit - spent;
        const DWORD w = MsgWaitForMultipleObjects(1, &job->done, FALSE, left, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0) {
            hr = job->hr;
            break;
        }
        if (w != WAIT_OBJECT_0 + 1)
            break;  // out of time (or the wait failed)
        MSG msg;
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    if (hr == VFW_E_TIMEOUT)
        DebugPrint(L"The graph took more than %u ms to build; given up\n", (unsigned)limit);
    job->Drop();
    return hr;
}

template <class T>
void ReleaseInterface(T*& p)
{
    if (p) {
        p->Release();
        p = NULL;
    }
}
}  // namespace

CMemPlayer::CMemPlayer()
    : m_hVideoWindow(NULL),
      m_llDuration(0),
      m_pMediaEvent(NULL),
      m_pMediaControl(NULL),
      m_pMediaSeeking(NULL),
      m_pBasicAudio(NULL),
      m_pGraph(NULL),
      m_pReader(NULL),
      m_pStream(NULL),
      m_pBasicVideo(NULL),
      m_pVideoWindow(NULL),
      m_hEvent(NULL),
      m_bCompleted(false),
      m_lLastVolume(1),
      m_dwRenderLimit(kRenderTimeLimit)
{
    m_hrCom = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
}

CMemPlayer::~CMemPlayer()
{
    ReleaseGraph();
    // S_OK and S_FALSE both count; a thread in another apartment (a failure)
    // is left as it was.
    if (SUCCEEDED(m_hrCom))
        CoUninitialize();
}

bool CMemPlayer::SetVideoWindow(HWND window)
{
    if (!window || !IsWindow(window))
        return false;
    m_hVideoWindow = window;
    return true;
}

void CMemPlayer::FitVideoWindow()
{
    if (!m_pVideoWindow || !m_hVideoWindow)
        return;
    RECT rc;
    GetClientRect(m_hVideoWindow, &rc);
    m_pVideoWindow->SetWindowPosition(0, 0, rc.right - rc.left, rc.bottom - rc.top);
}

bool CMemPlayer::SubtypeForExtension(const wchar_t* extension, GUID* subtype)
{
    if (!extension)
        return false;
    std::wstring ext = extension;
    while (!ext.empty() && ext[0] == L'.')
        ext.erase(0, 1);
    for (wchar_t& c : ext)
        c = (wchar_t)towlower(c);
    for (const ExtensionSubtype& row : kExtensionTable)
        for (const wchar_t* e : row.extensions)
            if (e && ext == e) {
                if (subtype)
                    *subtype = row.subtype;
                return true;
            }
    return false;
}

HRESULT CMemPlayer::PlayMemory(const BYTE* data, uint64_t length, const wchar_t* extension,
                               std::shared_ptr<const void> keepAlive)
{
    GUID subtype;
    if (!SubtypeForExtension(extension, &subtype)) {
        DebugPrint(L"Unknown file type: %s\n", extension ? extension : L"");
        return 1;
    }
    ReleaseGraph();
    if (subtype == MEDIASUBTYPE_Avi && IsAviWithoutStreamData(data, length)) {
        DebugPrint(L"The AVI holds no stream data\n");
        return VFW_E_INVALID_FILE_FORMAT;
    }

    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Stream;
    mt.subtype = subtype;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 1;
    mt.formattype = FORMAT_None;

    m_pStream = new CMemStream(data, (LONGLONG)std::min<uint64_t>(length, (uint64_t)INT64_MAX), 0x7FFFFFFF,
                               std::move(keepAlive));
    HRESULT hr = S_OK;
    CMemReader* reader = new CMemReader(m_pStream, &mt, &hr, true);
    reader->AddRef();
    if (FAILED(hr)) {
        reader->Release();  // takes the byte source with it
        m_pStream = NULL;
        DebugPrint(L"Could not create filter - HRESULT 0x%8.8X\n", (unsigned)hr);
        return hr;
    }
    m_pReader = reader;

    hr = BuildGraph();
    if (FAILED(hr)) {
        DebugPrint(L"Failed to create graph and render file - HRESULT 0x%8.8X\n", (unsigned)hr);
        return hr;
    }
    hr = RunGraph();
    if (FAILED(hr)) {
        DebugPrint(L"Failed to play graph - HRESULT 0x%8.8X\n", (unsigned)hr);
        return hr;
    }
    // A graph still on its way to running (S_FALSE) plays as well; 1 stays
    // the answer for an unknown type alone.
    return S_OK;
}

HRESULT CMemPlayer::BuildGraph()
{
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IFilterGraph, (void**)&m_pGraph);
    if (FAILED(hr)) {
        m_pGraph = NULL;
        return hr;
    }
    hr = m_pGraph->AddFilter(m_pReader, NULL);
    if (FAILED(hr))
        return hr;
    IGraphBuilder* builder = NULL;
    hr = m_pGraph->QueryInterface(IID_IGraphBuilder, (void**)&builder);
    if (FAILED(hr))
        return hr;
    // Some splitters never answer over damaged data; the window's thread
    // does not wait on them for ever.
    hr = RenderWithin(builder, m_pReader->GetPin(), m_dwRenderLimit);
    builder->Release();
    if (FAILED(hr))
        return hr;

    // Video goes into the player's window; a graph without video refuses
    // these calls, which is fine.
    IVideoWindow* video = NULL;
    if (m_hVideoWindow && SUCCEEDED(m_pGraph->QueryInterface(IID_IVideoWindow, (void**)&video)) && video) {
        video->put_Visible(OAFALSE);
        if (SUCCEEDED(video->put_Owner((OAHWND)m_hVideoWindow))) {
            RECT rc;
            GetClientRect(m_hVideoWindow, &rc);
            video->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
            video->SetWindowPosition(0, 0, rc.right - rc.left, rc.bottom - rc.top);
            video->put_MessageDrain((OAHWND)m_hVideoWindow);
            video->put_Visible(OATRUE);
            m_pVideoWindow = video;  // kept, so that release can hide and un-own it
        } else {
            video->Release();
        }
    }
    return hr;
}

HRESULT CMemPlayer::RunGraph()
{
    HRESULT hr = m_pGraph->QueryInterface(IID_IMediaControl, (void**)&m_pMediaControl);
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IBasicAudio, (void**)&m_pBasicAudio);
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IMediaSeeking, (void**)&m_pMediaSeeking);
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IMediaEvent, (void**)&m_pMediaEvent);
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IBasicVideo, (void**)&m_pBasicVideo);
    if (FAILED(hr))
        return hr;
    m_llDuration = 0;
    m_pMediaSeeking->GetDuration(&m_llDuration);
    OAEVENT ev = 0;
    if (SUCCEEDED(m_pMediaEvent->GetEventHandle(&ev)))
        m_hEvent = (HANDLE)ev;
    m_bCompleted = false;
    return m_pMediaControl->Run();
}

long CMemPlayer::TakeEvent()
{
    if (!m_pMediaEvent)
        return 0;
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    if (m_pMediaEvent->GetEvent(&code, &p1, &p2, 0) != S_OK)
        return 0;
    m_pMediaEvent->FreeEventParams(code, p1, p2);
    if (code == EC_COMPLETE)
        m_bCompleted = true;
    return code;
}

namespace {
int GraphState(IMediaControl* control)
{
    if (!control)
        return -1;
    OAFilterState fs = 0;
    if (FAILED(control->GetState(10, &fs)))
        return -1;
    return (int)fs;
}
}  // namespace

bool CMemPlayer::IsRunning()
{
    return GraphState(m_pMediaControl) == State_Running;
}

bool CMemPlayer::IsPaused()
{
    return GraphState(m_pMediaControl) == State_Paused;
}

bool CMemPlayer::IsStopped()
{
    return GraphState(m_pMediaControl) == State_Stopped;
}

void CMemPlayer::PlayPause(bool play)
{
    if (!m_pMediaControl)
        return;
    if (play) {
        if (IsRunning())
            return;
        // Played to the end: start again from the beginning.
        if (m_bCompleted) {
            m_bCompleted = false;
            SeekTo(0);
        }
        m_pMediaControl->Run();
    } else if (!IsPaused()) {
        m_pMediaControl->Pause();
    }
}

void CMemPlayer::Stop()
{
    if (m_pMediaControl && !IsStopped())
        m_pMediaControl->Stop();
}

LONGLONG CMemPlayer::GetCurrentPosition()
{
    LONGLONG pos = 0;
    if (!m_pMediaSeeking || FAILED(m_pMediaSeeking->GetCurrentPosition(&pos)))
        return 0;
    return pos;
}

int CMemPlayer::GetProgress()
{
    if (m_llDuration <= 0 || !m_pMediaSeeking)
        return 0;
    const LONGLONG pos = GetCurrentPosition();
    float perMille = (float)pos / (float)m_llDuration * 1000.0f;
    if (perMille < 0)
        perMille = 0;
    if (perMille > 1000)
        perMille = 1000;
    DebugPrint(L"%7.2fs\t%5.2f%%\n", (double)pos / kSecond, perMille / 10.0);
    return (int)perMille;
}

void CMemPlayer::SeekTo(LONGLONG target)
{
    if (!m_pMediaSeeking || !m_pGraph)
        return;
    if (target < 0)
        target = 0;
    if (m_llDuration > 0 && target > m_llDuration)
        target = m_llDuration;
    m_pMediaSeeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, NULL,
                                  AM_SEEKING_NoPositioning);
    if (m_llDuration <= 0 || target < m_llDuration)
        m_bCompleted = false;
}

void CMemPlayer::SeekPerMille(int n)
{
    if (!m_pMediaSeeking || !m_pGraph)
        return;
    n = std::max(0, std::min(1000, n));
    SeekTo(m_llDuration / 1000 * n + m_llDuration % 1000 * n / 1000);
}

void CMemPlayer::FastForward()
{
    if (!m_pMediaSeeking || !m_pGraph)
        return;
    SeekTo(std::min(GetCurrentPosition() + 5 * kSecond, m_llDuration));
}

void CMemPlayer::FastBackward()
{
    if (!m_pMediaSeeking || !m_pGraph)
        return;
    SeekTo(std::max<LONGLONG>(GetCurrentPosition() - 5 * kSecond, 0));
}

void CMemPlayer::SetVolume(int index)
{
    if (!m_pBasicAudio)
        return;
    index = std::max(0, std::min(99, index));
    m_lLastVolume = kVolumeTable[index];
    m_pBasicAudio->put_Volume(m_lLastVolume);
}

void CMemPlayer::ReleaseGraph()
{
    if (m_pMediaControl)
        m_pMediaControl->Stop();
    if (m_pVideoWindow) {
        m_pVideoWindow->put_Visible(OAFALSE);
        m_pVideoWindow->put_MessageDrain((OAHWND)NULL);
        m_pVideoWindow->put_Owner((OAHWND)NULL);
    }
    ReleaseInterface(m_pVideoWindow);
    ReleaseInterface(m_pMediaControl);
    ReleaseInterface(m_pMediaEvent);
    ReleaseInterface(m_pMediaSeeking);
    ReleaseInterface(m_pBasicAudio);
    ReleaseInterface(m_pBasicVideo);
    m_hEvent = NULL;
    // The graph keeps the source filter (and with it the byte source) until
    // it lets go of its filters.
    if (m_pReader) {
        m_pReader->Release();
        m_pReader = NULL;
    }
    m_pStream = NULL;
    if (m_pGraph) {
        ULONG left = m_pGraph->Release();
        if (left != 0)
            DebugPrint(L"Filter graph count not 0! (was %d)\n", (int)left);
        m_pGraph = NULL;
    }
    m_llDuration = 0;
    m_bCompleted = false;
}

bool IsVideoDecoderInstalled()
{
#if defined(_WIN64)
    const int folderId = CSIDL_PROGRAM_FILES;
    const wchar_t* file = L"\\LAV Filters\\x64\\LAVVideo.ax";
#else
    const int folderId = CSIDL_PROGRAM_FILESX86;
    const wchar_t* file = L"\\LAV Filters\\x86\\LAVVideo.ax";
#endif
    IMalloc* shellMalloc = NULL;
    if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc)
        return true;
    LPITEMIDLIST pidl = NULL;
    bool present = true;
    if (SUCCEEDED(SHGetSpecialFolderLocation(NULL, folderId, &pidl)) && pidl) {
        wchar_t folder[MAX_PATH] = {};
        if (SHGetPathFromIDListW(pidl, folder)) {
            std::wstring path = std::wstring(folder) + file;
            present = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        shellMalloc->Free(pidl);
    }
    shellMalloc->Release();
    return present;
}
