// A DirectShow source filter over bytes in memory: one output pin that
// offers one media type (a stream type chosen from the file's extension)
// and serves the graph's parser through IAsyncReader. Written on the public
// COM interfaces alone: an asynchronous reader filter, its pin, the
// enumerators of pins and media types.
#pragma once
#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

// The byte source of the asynchronous reader.
class CAsyncStream
{
public:
    virtual ~CAsyncStream() {}
    // S_FALSE (and no change) for a position before 0 or past the end.
    virtual HRESULT SetPointer(LONGLONG position) = 0;
    virtual HRESULT Read(BYTE* destination, DWORD count, BOOL align, LPDWORD read) = 0;
    // The total length; available gets the bytes that count as arrived.
    virtual LONGLONG Size(LONGLONG* available = NULL) = 0;
    virtual DWORD Alignment() = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

// Bytes in memory. The memory is the caller's; keepAlive (when given) is
// held as long as the stream lives, so a graph that outlives its player
// never reads freed memory.
class CMemStream : public CAsyncStream
{
public:
    CMemStream(const BYTE* data, LONGLONG length, DWORD byteRate, std::shared_ptr<const void> keepAlive = {});
    virtual ~CMemStream();

    HRESULT SetPointer(LONGLONG position) override;
    HRESULT Read(BYTE* destination, DWORD count, BOOL align, LPDWORD read) override;
    LONGLONG Size(LONGLONG* available = NULL) override;
    DWORD Alignment() override { return 1; }
    void Lock() override { EnterCriticalSection(&m_cs); }
    void Unlock() override { LeaveCriticalSection(&m_cs); }

    LONGLONG GetPosition() const { return m_llPosition; }

private:
    CMemStream(const CMemStream&);
    CMemStream& operator=(const CMemStream&);

    CRITICAL_SECTION m_cs;
    const BYTE* m_pData;
    LONGLONG m_llLength;
    LONGLONG m_llPosition;
    DWORD m_dwByteRate;  // bytes per millisecond that count as arrived
    DWORD m_dwStartTime;
    std::shared_ptr<const void> m_keepAlive;
};

class CMemReaderPin;

// The source filter. Reference counted like any COM object: the graph and
// the player hold it. With ownsStream it deletes its byte source when the
// last reference goes, so the source lives exactly as long as anything can
// read through the filter.
class CMemReader : public IBaseFilter
{
public:
    // hr receives the construction result (E_POINTER without a stream).
    CMemReader(CAsyncStream* stream, const AM_MEDIA_TYPE* mediaType, HRESULT* hr, bool ownsStream = false);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IPersist
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;

    // The setup interface's registration does nothing for a private filter.
    HRESULT Register() { return S_OK; }
    HRESULT Unregister() { return S_OK; }

    IPin* GetPin();
    CAsyncStream* GetStream() const { return m_pStream; }
    const AM_MEDIA_TYPE& GetMediaType() const { return m_mt; }
    IFilterGraph* GetGraph() const { return m_pGraph; }
    FILTER_STATE GetStateNow() const { return m_State; }
    ULONG GetRefCount() const { return (ULONG)m_cRef; }

    // For the pin: the filter's reference count carries the pin's.
    void LockFilter() { EnterCriticalSection(&m_cs); }
    void UnlockFilter() { LeaveCriticalSection(&m_cs); }

protected:
    virtual ~CMemReader();

private:
    CMemReader(const CMemReader&);
    CMemReader& operator=(const CMemReader&);

    volatile LONG m_cRef;
    CRITICAL_SECTION m_cs;
    CAsyncStream* m_pStream;
    bool m_bOwnsStream;
    AM_MEDIA_TYPE m_mt;
    FILTER_STATE m_State;
    IReferenceClock* m_pClock;
    IFilterGraph* m_pGraph;  // not AddRef'd: the graph owns the filter
    std::wstring m_strName;
    CMemReaderPin* m_pPin;
};

// Copies of media types for the enumerators and the pin.
HRESULT CopyMediaTypeTo(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src);
void FreeMediaTypeContent(AM_MEDIA_TYPE* mt);
