// Plays an audio or video file that lies whole in memory through
// DirectShow: a byte source and the source filter over it with a media type
// chosen by the file's extension; the filter graph renders the rest with the
// splitters, decoders and renderers the machine has; the video is shown in a
// given window.
#pragma once
#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <memory>

class CMemReader;
class CMemStream;

class CMemPlayer
{
public:
    // Volume steps (index 0 to 99) in hundredths of a decibel.
    static const long kVolumeTable[100];
    // PlayMemory's answer for an extension it has no stream type for.
    static constexpr HRESULT kUnknownType = 1;

    // Initialises COM for the calling thread (single-threaded apartment);
    // uninitialised again at destruction only when that succeeded here.
    CMemPlayer();
    virtual ~CMemPlayer();

    // Keeps the window only when it names one.
    bool SetVideoWindow(HWND window);
    // Sizes the video to the video window's client area (after it moved).
    void FitVideoWindow();
    HWND GetVideoWindow() const { return m_hVideoWindow; }

    // The stream subtype of an extension (without its dot, any case); false
    // when the player does not know it.
    static bool SubtypeForExtension(const wchar_t* extension, GUID* subtype);

    // Builds the graph over data and runs it: S_OK when it runs (or is on
    // its way), 1 (kUnknownType) for an unknown extension (nothing built),
    // the failure of the step otherwise. keepAlive is held
    // by the byte source for as long as the graph may read data.
    HRESULT PlayMemory(const BYTE* data, uint64_t length, const wchar_t* extension,
                       std::shared_ptr<const void> keepAlive = {});

    void PlayPause(bool play);
    void Stop();
    bool IsRunning();
    bool IsPaused();
    bool IsStopped();

    // 100-nanosecond units.
    LONGLONG GetDuration() const { return m_llDuration; }
    LONGLONG GetCurrentPosition();
    // Per mille of the duration.
    int GetProgress();

    // Seeks to n per mille of the duration (n clamped to 0..1000).
    void SeekPerMille(int n);
    // Five seconds on or back, within the file.
    void FastForward();
    void FastBackward();
    // Sets the volume of the table entry index (clamped to 0..99).
    void SetVolume(int index);
    // The volume put last (for tests); 1 when none was put.
    long GetVolumeSet() const { return m_lLastVolume; }

    // The graph's event handle (null before PlayMemory), and the next event
    // code waiting, if any (0 when none).
    HANDLE GetEventHandle() const { return m_hEvent; }
    long TakeEvent();
    // Whether the graph has reported the end of the stream.
    bool HasCompleted() const { return m_bCompleted; }

    // Stops and releases everything in a safe order: stop, hide and un-own
    // the video window, the interfaces, the source filter and its byte
    // source, the graph.
    virtual void ReleaseGraph();

    // How long the graph may take to find its splitter, decoders and
    // renderers before PlayMemory gives up with VFW_E_TIMEOUT (milliseconds).
    static constexpr DWORD kRenderTimeLimit = 15000;
    void SetRenderTimeLimit(DWORD ms) { m_dwRenderLimit = ms; }
    // For tests: called on the graph-building thread just before it builds
    // the graph (a parser that never answers can be stood in for there).
    static void (*s_pfnBeforeRender)();

    // For tests: the source filter (null when none).
    CMemReader* GetReader() const { return m_pReader; }
    IFilterGraph* GetGraph() const { return m_pGraph; }

private:
    CMemPlayer(const CMemPlayer&);
    CMemPlayer& operator=(const CMemPlayer&);

    HRESULT BuildGraph();
    HRESULT RunGraph();
    void SeekTo(LONGLONG target);

    HWND m_hVideoWindow;
    LONGLONG m_llDuration;
    IMediaEvent* m_pMediaEvent;
    IMediaControl* m_pMediaControl;
    IMediaSeeking* m_pMediaSeeking;
    IBasicAudio* m_pBasicAudio;
    IFilterGraph* m_pGraph;
    CMemReader* m_pReader;
    CMemStream* m_pStream;
    IBasicVideo* m_pBasicVideo;
    IVideoWindow* m_pVideoWindow;
    HANDLE m_hEvent;
    bool m_bCompleted;
    long m_lLastVolume;
    HRESULT m_hrCom;
    DWORD m_dwRenderLimit;
};

// Whether the video decoder package the player offers to install is there:
// its filter file under the program-files folder of this build's word size.
// True when the folder cannot be learnt.
bool IsVideoDecoderInstalled();
