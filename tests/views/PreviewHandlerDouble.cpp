// A preview handler COM server for the tests (Wine registers none): three
// classes, one initialised with a stream, one with a file only, one with
// neither. It draws what it was given into a child of the host's window and
// counts every call, which the tests read through GetDoubleCounters.
#include <windows.h>
#include <propsys.h>
#include <shobjidl.h>

#include <cstdio>

#include "PreviewHandlerDouble.h"

namespace {
HMODULE g_module;
volatile LONG g_locks;
DoubleCounters g_counters;

enum Mode { MODE_STREAM, MODE_FILE, MODE_NONE };

class CHandler : public IPreviewHandler, public IInitializeWithStream, public IInitializeWithFile
{
public:
    explicit CHandler(Mode mode) : m_cRef(1), m_mode(mode), m_parent(NULL), m_child(NULL), m_bytes(0)
    {
        SetRectEmpty(&m_rect);
        m_text[0] = 0;
        InterlockedIncrement(&g_counters.created);
        InterlockedIncrement(&g_counters.alive);
        InterlockedIncrement(&g_locks);
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IPreviewHandler)
            *ppv = static_cast<IPreviewHandler*>(this);
        else if (riid == IID_IInitializeWithStream && m_mode == MODE_STREAM)
            *ppv = static_cast<IInitializeWithStream*>(this);
        else if (riid == IID_IInitializeWithFile && m_mode == MODE_FILE)
            *ppv = static_cast<IInitializeWithFile*>(this);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG r = InterlockedDecrement(&m_cRef);
        if (r == 0)
            delete this;
        return r;
    }
    // IInitializeWithStream
    STDMETHODIMP Initialize(IStream* stream, DWORD) override
    {
        InterlockedIncrement(&g_counters.initStream);
        if (!stream)
            return E_POINTER;
        LARGE_INTEGER zero = {};
        stream->Seek(zero, STREAM_SEEK_SET, NULL);
        STATSTG st = {};
        stream->Stat(&st, STATFLAG_NONAME);
        m_bytes = st.cbSize.QuadPart;
        char head[33] = {};
        ULONG got = 0;
        stream->Read(head, 32, &got);
        Describe(head, got);
        return S_OK;
    }
    // IInitializeWithFile
    STDMETHODIMP Initialize(LPCWSTR path, DWORD) override
    {
        InterlockedIncrement(&g_counters.initFile);
        if (!path)
            return E_POINTER;
        lstrcpynW(g_counters.lastFile, path, MAX_PATH);
        HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (f == INVALID_HANDLE_VALUE)
            return HRESULT_FROM_WIN32(GetLastError());
        LARGE_INTEGER size = {};
        GetFileSizeEx(f, &size);
        m_bytes = size.QuadPart;
        char head[33] = {};
        DWORD got = 0;
        ReadFile(f, head, 32, &got, NULL);
        CloseHandle(f);
        Describe(head, got);
        return S_OK;
    }
    // IPreviewHandler
    STDMETHODIMP SetWindow(HWND parent, const RECT* rect) override
    {
        m_parent = parent;
        if (rect)
            m_rect = *rect;
        return S_OK;
    }
    STDMETHODIMP SetRect(const RECT* rect) override
    {
        InterlockedIncrement(&g_counters.setRect);
        if (rect)
            m_rect = *rect;
        if (m_child)
            MoveWindow(m_child, m_rect.left, m_rect.top, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top, TRUE);
        return S_OK;
    }
    STDMETHODIMP DoPreview() override
    {
        InterlockedIncrement(&g_counters.doPreview);
        if (!m_parent)
            return E_FAIL;
        m_child = CreateWindowExW(0, L"STATIC", m_text, WS_CHILD | WS_VISIBLE | SS_CENTER, m_rect.left, m_rect.top,
                                  m_rect.right - m_rect.left, m_rect.bottom - m_rect.top, m_parent, NULL, g_module,
                                  NULL);
        return m_child ? S_OK : E_FAIL;
    }
    STDMETHODIMP Unload() override
    {
        InterlockedIncrement(&g_counters.unload);
        if (m_child)
            DestroyWindow(m_child);
        m_child = NULL;
        return S_OK;
    }
    STDMETHODIMP SetFocus() override { return S_OK; }
    STDMETHODIMP QueryFocus(HWND* phwnd) override
    {
        if (phwnd)
            *phwnd = m_child;
        return S_OK;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

private:
    virtual ~CHandler()
    {
        if (m_child)
            DestroyWindow(m_child);
        InterlockedDecrement(&g_counters.alive);
        InterlockedDecrement(&g_locks);
    }
    void Describe(const char* head, unsigned got)
    {
        g_counters.lastBytes = m_bytes;
        wchar_t shown[33] = {};
        for (unsigned i = 0; i < got && i < 32; ++i)
            shown[i] = head[i] >= 0x20 && head[i] < 0x7F ? (wchar_t)head[i] : L'.';
        swprintf(m_text, 128, L"Preview handler double\n%I64u bytes\n%ls", m_bytes, shown);
    }
    volatile LONG m_cRef;
    Mode m_mode;
    HWND m_parent;
    HWND m_child;
    RECT m_rect;
    unsigned long long m_bytes;
    wchar_t m_text[128];
};

class CFactory : public IClassFactory
{
public:
    explicit CFactory(Mode mode) : m_mode(mode) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CHandler* h = new CHandler(m_mode);
        HRESULT hr = h->QueryInterface(riid, ppv);
        h->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&g_locks);
        else
            InterlockedDecrement(&g_locks);
        return S_OK;
    }

private:
    Mode m_mode;
};

CFactory g_streamFactory(MODE_STREAM), g_fileFactory(MODE_FILE), g_noneFactory(MODE_NONE);
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = inst;
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    IClassFactory* f = NULL;
    if (clsid == CLSID_DoubleStreamHandler)
        f = &g_streamFactory;
    else if (clsid == CLSID_DoubleFileHandler)
        f = &g_fileFactory;
    else if (clsid == CLSID_DoubleNoInitHandler)
        f = &g_noneFactory;
    if (!f)
        return CLASS_E_CLASSNOTAVAILABLE;
    return f->QueryInterface(riid, ppv);
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow()
{
    return g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" __declspec(dllexport) DoubleCounters* GetDoubleCounters()
{
    return &g_counters;
}
