#include "views/MemReader.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>

namespace {
const REFERENCE_TIME kUnits = 10000000;  // reference-time units per second (byte offsets are scaled by it)
const wchar_t kPinName[] = L"Output";

// An enumerator of one item: a pin (IEnumPins) or a media type
// (IEnumMediaTypes). Traits say how an item is held and handed out.
template <class Enum, class Item, class Traits>
class CEnumOne : public Enum
{
public:
    CEnumOne(const Item& item, ULONG pos) : m_cRef(1), m_nPos(pos) { Traits::Hold(m_item, item); }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Traits::Iid()) {
            *ppv = static_cast<Enum*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG r = InterlockedDecrement(&m_cRef);
        if (r == 0)
            delete this;
        return r;
    }
    template <class Out>
    HRESULT NextItems(ULONG count, Out* items, ULONG* fetched)
    {
        if (!items || (count > 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_nPos < 1 && Traits::Give(m_item, &items[n])) {
            ++n;
            ++m_nPos;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        m_nPos += count;
        return m_nPos <= 1 ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        m_nPos = 0;
        return S_OK;
    }

protected:
    virtual ~CEnumOne() { Traits::Drop(m_item); }
    volatile LONG m_cRef;
    Item m_item;
    ULONG m_nPos;
};

struct PinTraits
{
    static REFIID Iid() { return IID_IEnumPins; }
    static void Hold(IPin*& held, IPin* pin)
    {
        held = pin;
        if (held)
            held->AddRef();
    }
    static bool Give(IPin* held, IPin** out)
    {
        if (!held)
            return false;
        *out = held;
        held->AddRef();
        return true;
    }
    static void Drop(IPin* held)
    {
        if (held)
            held->Release();
    }
};

struct TypeTraits
{
    static REFIID Iid() { return IID_IEnumMediaTypes; }
    static void Hold(AM_MEDIA_TYPE& held, const AM_MEDIA_TYPE& mt) { CopyMediaTypeTo(&held, &mt); }
    static bool Give(const AM_MEDIA_TYPE& held, AM_MEDIA_TYPE** out)
    {
        AM_MEDIA_TYPE* t = (AM_MEDIA_TYPE*)CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE));
        if (!t || FAILED(CopyMediaTypeTo(t, &held))) {
            if (t)
                CoTaskMemFree(t);
            return false;
        }
        *out = t;
        return true;
    }
    static void Drop(AM_MEDIA_TYPE& held) { FreeMediaTypeContent(&held); }
};

class CEnumOnePin : public CEnumOne<IEnumPins, IPin*, PinTraits>
{
public:
    CEnumOnePin(IPin* pin, ULONG pos) : CEnumOne(pin, pos) {}
    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override { return NextItems(count, pins, fetched); }
    STDMETHODIMP Clone(IEnumPins** out) override
    {
        if (!out)
            return E_POINTER;
        *out = new CEnumOnePin(m_item, m_nPos);
        return S_OK;
    }
};

class CEnumOneType : public CEnumOne<IEnumMediaTypes, AM_MEDIA_TYPE, TypeTraits>
{
public:
    CEnumOneType(const AM_MEDIA_TYPE& mt, ULONG pos) : CEnumOne(mt, pos) {}
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override
    {
        return NextItems(count, types, fetched);
    }
    STDMETHODIMP Clone(IEnumMediaTypes** out) override
    {
        if (!out)
            return E_POINTER;
        *out = new CEnumOneType(m_item, m_nPos);
        return S_OK;
    }
};

bool TypesMatch(const AM_MEDIA_TYPE* want, const AM_MEDIA_TYPE& have)
{
    if (!want)
        return true;
    if (want->majortype != GUID_NULL && want->majortype != have.majortype)
        return false;
    if (want->subtype != GUID_NULL && want->subtype != have.subtype)
        return false;
    return true;
}
}  // namespace

HRESULT CopyMediaTypeTo(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src)
{
    if (!dst || !src)
        return E_POINTER;
    *dst = *src;
    dst->pbFormat = NULL;
    dst->cbFormat = 0;
    if (src->cbFormat && src->pbFormat) {
        dst->pbFormat = (BYTE*)CoTaskMemAlloc(src->cbFormat);
        if (!dst->pbFormat)
            return E_OUTOFMEMORY;
        memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
        dst->cbFormat = src->cbFormat;
    }
    if (dst->pUnk)
        dst->pUnk->AddRef();
    return S_OK;
}

void FreeMediaTypeContent(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    if (mt->pbFormat)
        CoTaskMemFree(mt->pbFormat);
    mt->pbFormat = NULL;
    mt->cbFormat = 0;
    if (mt->pUnk) {
        mt->pUnk->Release();
        mt->pUnk = NULL;
    }
}

// ---- CMemStream ----

CMemStream::CMemStream(const BYTE* data, LONGLONG length, DWORD byteRate, std::shared_ptr<const void> keepAlive)
    : m_pData(data),
      m_llLength(data && length > 0 ? length : 0),
      m_llPosition(0),
      m_dwByteRate(byteRate ? byteRate : 1),
      m_dwStartTime(timeGetTime()),
      m_keepAlive(std::move(keepAlive))
{
    InitializeCriticalSection(&m_cs);
}

CMemStream::~CMemStream()
{
    DeleteCriticalSection(&m_cs);
}

HRESULT CMemStream::SetPointer(LONGLONG position)
{
    if (position < 0 || position > m_llLength)
        return S_FALSE;
    m_llPosition = position;
    return S_OK;
}

HRESULT CMemStream::Read(BYTE* destination, DWORD count, BOOL, LPDWORD read)
{
    if (read)
        *read = 0;
    if (!destination && count)
        return E_POINTER;
    Lock();
    LONGLONG n = count;
    if (m_llPosition + n > m_llLength)
        n = m_llLength - m_llPosition;
    if (n < 0)
        n = 0;
    // The data counts as arriving at the byte rate since the stream began.
    const DWORD elapsed = timeGetTime() - m_dwStartTime;
    const LONGLONG due = (m_llPosition + n) / (LONGLONG)m_dwByteRate;
    if ((LONGLONG)elapsed < due) {
        const LONGLONG wait = due - elapsed;
        Sleep((DWORD)std::min<LONGLONG>(wait, 10000));
    }
    if (n)
        memcpy(destination, m_pData + m_llPosition, (size_t)n);
    m_llPosition += n;
    Unlock();
    if (read)
        *read = (DWORD)n;
    return S_OK;
}

LONGLONG CMemStream::Size(LONGLONG* available)
{
    if (available) {
        // In 64 bits: a fast rate over a long time must not wrap.
        const LONGLONG elapsed = (LONGLONG)(DWORD)(timeGetTime() - m_dwStartTime) + 1;
        const LONGLONG arrived = m_dwByteRate > m_llLength / elapsed ? m_llLength : elapsed * (LONGLONG)m_dwByteRate;
        *available = std::min(arrived, m_llLength);
    }
    return m_llLength;
}

// ---- the output pin ----

class CMemReaderPin : public IPin
{
public:
    explicit CMemReaderPin(CMemReader* filter);
    virtual ~CMemReaderPin();

    // IUnknown: the filter's reference count.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return m_pFilter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pFilter->Release(); }

    // IPin
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    IPin* Connected() const { return m_pConnected; }

private:
    // IAsyncReader on its own object: its BeginFlush and EndFlush are not the pin's.
    class CReader : public IAsyncReader
    {
    public:
        explicit CReader(CMemReaderPin* pin) : m_pPin(pin) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pPin->QueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return m_pPin->AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_pPin->Release(); }
        STDMETHODIMP RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                      IMemAllocator** actual) override
        {
            return m_pPin->RequestAllocator(preferred, props, actual);
        }
        STDMETHODIMP Request(IMediaSample* sample, DWORD_PTR user) override { return m_pPin->Request(sample, user); }
        STDMETHODIMP WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user) override
        {
            return m_pPin->WaitForNext(timeout, sample, user);
        }
        STDMETHODIMP SyncReadAligned(IMediaSample* sample) override { return m_pPin->ReadSample(sample); }
        STDMETHODIMP SyncRead(LONGLONG position, LONG length, BYTE* buffer) override
        {
            return m_pPin->SyncRead(position, length, buffer);
        }
        STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override { return m_pPin->Length(total, available); }
        STDMETHODIMP BeginFlush() override { return m_pPin->BeginReaderFlush(); }
        STDMETHODIMP EndFlush() override { return m_pPin->EndReaderFlush(); }

    private:
        CMemReaderPin* m_pPin;
    };

    struct Done
    {
        IMediaSample* sample;
        DWORD_PTR user;
        HRESULT hr;
    };

    HRESULT RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props, IMemAllocator** actual);
    HRESULT Request(IMediaSample* sample, DWORD_PTR user);
    HRESULT WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user);
    HRESULT ReadSample(IMediaSample* sample);
    HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer);
    HRESULT Length(LONGLONG* total, LONGLONG* available);
    HRESULT BeginReaderFlush();
    HRESULT EndReaderFlush();

    CMemReader* m_pFilter;
    CReader m_Reader;
    IPin* m_pConnected;
    CRITICAL_SECTION m_csQueue;
    std::deque<Done> m_Done;
    HANDLE m_hDoneEvent;  // manual reset: set while m_Done holds entries or a flush runs
    bool m_bFlushing;
};

CMemReaderPin::CMemReaderPin(CMemReader* filter)
    : m_pFilter(filter), m_Reader(this), m_pConnected(NULL), m_hDoneEvent(CreateEventW(NULL, TRUE, FALSE, NULL)),
      m_bFlushing(false)
{
    InitializeCriticalSection(&m_csQueue);
}

CMemReaderPin::~CMemReaderPin()
{
    for (Done& d : m_Done)
        if (d.sample)
            d.sample->Release();
    m_Done.clear();
    if (m_pConnected)
        m_pConnected->Release();
    if (m_hDoneEvent)
        CloseHandle(m_hDoneEvent);
    DeleteCriticalSection(&m_csQueue);
}

STDMETHODIMP CMemReaderPin::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *ppv = static_cast<IPin*>(this);
    } else if (riid == IID_IAsyncReader) {
        *ppv = static_cast<IAsyncReader*>(&m_Reader);
    } else {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP CMemReaderPin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt)
{
    if (!receivePin)
        return E_POINTER;
    m_pFilter->LockFilter();
    HRESULT hr = S_OK;
    if (m_pConnected) {
        hr = VFW_E_ALREADY_CONNECTED;
    } else if (m_pFilter->GetStateNow() != State_Stopped) {
        hr = VFW_E_NOT_STOPPED;
    } else if (!TypesMatch(pmt, m_pFilter->GetMediaType())) {
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    } else {
        AM_MEDIA_TYPE mt;
        CopyMediaTypeTo(&mt, &m_pFilter->GetMediaType());
        hr = receivePin->ReceiveConnection(this, &mt);
        FreeMediaTypeContent(&mt);
        if (SUCCEEDED(hr)) {
            m_pConnected = receivePin;
            m_pConnected->AddRef();
        }
    }
    m_pFilter->UnlockFilter();
    return hr;
}

STDMETHODIMP CMemReaderPin::Disconnect()
{
    m_pFilter->LockFilter();
    HRESULT hr = S_FALSE;
    if (m_pFilter->GetStateNow() != State_Stopped) {
        hr = VFW_E_NOT_STOPPED;
    } else if (m_pConnected) {
        m_pConnected->Release();
        m_pConnected = NULL;
        hr = S_OK;
    }
    m_pFilter->UnlockFilter();
    return hr;
}

STDMETHODIMP CMemReaderPin::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    m_pFilter->LockFilter();
    *pin = m_pConnected;
    if (m_pConnected)
        m_pConnected->AddRef();
    m_pFilter->UnlockFilter();
    return *pin ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CMemReaderPin::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return E_POINTER;
    m_pFilter->LockFilter();
    HRESULT hr = VFW_E_NOT_CONNECTED;
    if (m_pConnected) {
        hr = CopyMediaTypeTo(pmt, &m_pFilter->GetMediaType());
    } else {
        memset(pmt, 0, sizeof(*pmt));
        pmt->formattype = GUID_NULL;
    }
    m_pFilter->UnlockFilter();
    return hr;
}

STDMETHODIMP CMemReaderPin::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = m_pFilter;
    m_pFilter->AddRef();
    info->dir = PINDIR_OUTPUT;
    lstrcpynW(info->achName, kPinName, MAX_PIN_NAME);
    return S_OK;
}

STDMETHODIMP CMemReaderPin::QueryDirection(PIN_DIRECTION* dir)
{
    if (!dir)
        return E_POINTER;
    *dir = PINDIR_OUTPUT;
    return S_OK;
}

STDMETHODIMP CMemReaderPin::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    *id = (LPWSTR)CoTaskMemAlloc(sizeof(kPinName));
    if (!*id)
        return E_OUTOFMEMORY;
    memcpy(*id, kPinName, sizeof(kPinName));
    return S_OK;
}

STDMETHODIMP CMemReaderPin::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return E_POINTER;
    const AM_MEDIA_TYPE& mt = m_pFilter->GetMediaType();
    return pmt->majortype == mt.majortype && pmt->subtype == mt.subtype ? S_OK : S_FALSE;
}

STDMETHODIMP CMemReaderPin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new CEnumOneType(m_pFilter->GetMediaType(), 0);
    return S_OK;
}

HRESULT CMemReaderPin::RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props, IMemAllocator** actual)
{
    if (!props || !actual)
        return E_POINTER;
    *actual = NULL;
    ALLOCATOR_PROPERTIES want = *props;
    const LONG align = (LONG)m_pFilter->GetStream()->Alignment();
    if (want.cbAlign == 0 || want.cbAlign % align != 0)
        want.cbAlign = align;
    ALLOCATOR_PROPERTIES got = {};
    if (preferred && SUCCEEDED(preferred->SetProperties(&want, &got)) && got.cbAlign % align == 0) {
        preferred->AddRef();
        *actual = preferred;
        return S_OK;
    }
    IMemAllocator* alloc = NULL;
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator, (void**)&alloc);
    if (FAILED(hr))
        return hr;
    hr = alloc->SetProperties(&want, &got);
    if (SUCCEEDED(hr) && got.cbAlign % align != 0)
        hr = E_FAIL;
    if (FAILED(hr)) {
        alloc->Release();
        return hr;
    }
    *actual = alloc;
    return S_OK;
}

HRESULT CMemReaderPin::ReadSample(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    REFERENCE_TIME start = 0, stop = 0;
    HRESULT hr = sample->GetTime(&start, &stop);
    if (FAILED(hr))
        return hr;
    if (start < 0 || stop < start)
        return E_INVALIDARG;
    const LONGLONG pos = start / kUnits;
    LONGLONG len = (stop - start) / kUnits;
    BYTE* buffer = NULL;
    if (FAILED(hr = sample->GetPointer(&buffer)) || !buffer)
        return FAILED(hr) ? hr : E_POINTER;
    // Never more than the sample holds.
    len = std::min<LONGLONG>(len, sample->GetSize());
    CAsyncStream* stream = m_pFilter->GetStream();
    const LONGLONG total = stream->Size();
    if (pos > total)
        return E_INVALIDARG;
    len = std::min<LONGLONG>(len, total - pos);
    DWORD got = 0;
    stream->Lock();
    hr = stream->SetPointer(pos);
    if (hr == S_OK)
        hr = stream->Read(buffer, (DWORD)len, TRUE, &got);
    stream->Unlock();
    if (FAILED(hr))
        return hr;
    sample->SetActualDataLength((LONG)got);
    if ((LONGLONG)got < (stop - start) / kUnits) {
        // Short read at the end: the sample's times say what it holds.
        REFERENCE_TIME newStop = start + (REFERENCE_TIME)got * kUnits;
        sample->SetTime(&start, &newStop);
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CMemReaderPin::Request(IMediaSample* sample, DWORD_PTR user)
{
    if (!sample)
        return E_POINTER;
    EnterCriticalSection(&m_csQueue);
    const bool flushing = m_bFlushing;
    LeaveCriticalSection(&m_csQueue);
    if (flushing)
        return VFW_E_WRONG_STATE;
    // The bytes are in memory: the request is served at once and waits in
    // the done queue until WaitForNext collects it.
    const HRESULT hr = ReadSample(sample);
    if (FAILED(hr) && hr != E_INVALIDARG)
        return hr;
    sample->AddRef();
    EnterCriticalSection(&m_csQueue);
    Done d = {sample, user, hr};
    m_Done.push_back(d);
    SetEvent(m_hDoneEvent);
    LeaveCriticalSection(&m_csQueue);
    return S_OK;
}

HRESULT CMemReaderPin::WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user)
{
    if (!sample || !user)
        return E_POINTER;
    *sample = NULL;
    *user = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        EnterCriticalSection(&m_csQueue);
        if (!m_Done.empty()) {
            Done d = m_Done.front();
            m_Done.pop_front();
            if (m_Done.empty() && !m_bFlushing)
                ResetEvent(m_hDoneEvent);
            LeaveCriticalSection(&m_csQueue);
            *sample = d.sample;  // the reference taken at the request goes to the caller
            *user = d.user;
            return m_bFlushing ? VFW_E_WRONG_STATE : d.hr;
        }
        const bool flushing = m_bFlushing;
        LeaveCriticalSection(&m_csQueue);
        if (flushing)
            return VFW_E_WRONG_STATE;
        DWORD waited = GetTickCount() - start;
        if (timeout != INFINITE && waited >= timeout)
            return VFW_E_TIMEOUT;
        WaitForSingleObject(m_hDoneEvent, timeout == INFINITE ? INFINITE : timeout - waited);
    }
}

HRESULT CMemReaderPin::SyncRead(LONGLONG position, LONG length, BYTE* buffer)
{
    if (!buffer && length)
        return E_POINTER;
    if (position < 0 || length < 0)
        return E_INVALIDARG;
    CAsyncStream* stream = m_pFilter->GetStream();
    DWORD got = 0;
    stream->Lock();
    HRESULT hr = stream->SetPointer(position);
    if (hr == S_OK)
        hr = stream->Read(buffer, (DWORD)length, FALSE, &got);
    stream->Unlock();
    if (FAILED(hr))
        return hr;
    return got == (DWORD)length ? S_OK : S_FALSE;
}

HRESULT CMemReaderPin::Length(LONGLONG* total, LONGLONG* available)
{
    if (!total || !available)
        return E_POINTER;
    *total = m_pFilter->GetStream()->Size(available);
    return *available < *total ? VFW_S_ESTIMATED : S_OK;
}

HRESULT CMemReaderPin::BeginReaderFlush()
{
    EnterCriticalSection(&m_csQueue);
    m_bFlushing = true;
    SetEvent(m_hDoneEvent);  // waiters see the flush
    LeaveCriticalSection(&m_csQueue);
    return S_OK;
}

HRESULT CMemReaderPin::EndReaderFlush()
{
    EnterCriticalSection(&m_csQueue);
    m_bFlushing = false;
    if (m_Done.empty())
        ResetEvent(m_hDoneEvent);
    LeaveCriticalSection(&m_csQueue);
    return S_OK;
}

// ---- CMemReader ----

CMemReader::CMemReader(CAsyncStream* stream, const AM_MEDIA_TYPE* mediaType, HRESULT* hr, bool ownsStream)
    : m_cRef(0), m_pStream(stream), m_bOwnsStream(ownsStream), m_State(State_Stopped), m_pClock(NULL), m_pGraph(NULL), m_pPin(NULL)
{
    InitializeCriticalSection(&m_cs);
    memset(&m_mt, 0, sizeof(m_mt));
    HRESULT result = S_OK;
    if (!stream || !mediaType)
        result = E_POINTER;
    else
        result = CopyMediaTypeTo(&m_mt, mediaType);
    if (SUCCEEDED(result))
        m_pPin = new CMemReaderPin(this);
    if (hr)
        *hr = result;
}

CMemReader::~CMemReader()
{
    delete m_pPin;
    if (m_bOwnsStream)
        delete m_pStream;
    if (m_pClock)
        m_pClock->Release();
    FreeMediaTypeContent(&m_mt);
    DeleteCriticalSection(&m_cs);
}

STDMETHODIMP CMemReader::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        *ppv = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMemReader::AddRef()
{
    return InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) CMemReader::Release()
{
    LONG r = InterlockedDecrement(&m_cRef);
    if (r == 0)
        delete this;
    return r;
}

STDMETHODIMP CMemReader::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    // A private filter: no registered class.
    *clsid = GUID_NULL;
    return S_OK;
}

STDMETHODIMP CMemReader::Stop()
{
    LockFilter();
    m_State = State_Stopped;
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::Pause()
{
    LockFilter();
    m_State = State_Paused;
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::Run(REFERENCE_TIME)
{
    LockFilter();
    m_State = State_Running;
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::GetState(DWORD, FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    *state = m_State;
    return S_OK;
}

STDMETHODIMP CMemReader::SetSyncSource(IReferenceClock* clock)
{
    LockFilter();
    if (clock)
        clock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = clock;
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::GetSyncSource(IReferenceClock** clock)
{
    if (!clock)
        return E_POINTER;
    LockFilter();
    *clock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::EnumPins(IEnumPins** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new CEnumOnePin(m_pPin, 0);
    return S_OK;
}

STDMETHODIMP CMemReader::FindPin(LPCWSTR id, IPin** ppPin)
{
    if (!id || !ppPin)
        return E_POINTER;
    if (lstrcmpW(id, kPinName) == 0 && m_pPin) {
        *ppPin = m_pPin;
        m_pPin->AddRef();
        return S_OK;
    }
    *ppPin = NULL;
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CMemReader::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    lstrcpynW(info->achName, m_strName.c_str(), MAX_FILTER_NAME);
    info->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CMemReader::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    LockFilter();
    m_pGraph = graph;
    m_strName = name ? name : L"";
    UnlockFilter();
    return S_OK;
}

STDMETHODIMP CMemReader::QueryVendorInfo(LPWSTR*)
{
    return E_NOTIMPL;
}

IPin* CMemReader::GetPin()
{
    return m_pPin;
}
