// The media player dialog: plays one audio or video entry straight from
// memory. A loader thread reads the entry's bytes through the preview
// content source into a state it shares with the window, then posts
// WMU_PlayerDataLoaded; everything else, controls and player included, runs
// on the window's thread. Pages of "tabCaption": 0 music, 1 video surface,
// 2 error, 3 waiting.
#pragma once
#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/WindowImplBaseShw.h"
#include "engine/DeepScanEngine.h"
#include "engine/FoundItem.h"
#include "storage/VolumeList.h"
#include "views/MemPlayer.h"
#include "views/PreviewContent.h"

class IMainFrameServices;

// A DuiLib control that holds a native child window and keeps it over the
// control's rectangle and visibility.
class CWndUI : public CControlUI
{
public:
    CWndUI() : m_hWnd(NULL) {}
    virtual ~CWndUI() {}
    virtual void SetPos(RECT rc, bool bNeedInvalidate = true);
    virtual void SetVisible(bool bVisible = true);
    virtual void SetInternVisible(bool bVisible = true);
    // Keeps the handle only when it names a window.
    bool Attach(HWND hwnd);
    HWND GetHWND() const { return m_hWnd; }
    // Called after every move of the native window.
    void SetOnMoved(std::function<void()> onMoved) { m_onMoved = onMoved; }

private:
    HWND m_hWnd;
    std::function<void()> m_onMoved;
};

// What the loader thread and the window share; the last of them to let go
// frees it, so a window closed while loading never frees memory the loader
// still writes, and the player's byte source keeps it while a graph reads.
struct MediaLoadState
{
    MediaLoadState();
    ~MediaLoadState();

    // Inputs, copied so the loader never reaches into the window or the frame.
    int scanKind;
    bool haveItem;
    CFoundItem item;
    bool haveVolume;
    CVolumeInfo volume;
    const void* extra;
    bool haveHit;
    DeepScanHit hit;
    HANDLE device;  // a duplicate, closed with the state
    int sourceIsDevice;
    std::wstring plainFile;
    uint64_t cap;

    // Outputs.
    IStream* stream;
    HGLOBAL memory;  // the stream's own memory, locked while data points into it
    const BYTE* data;
    std::vector<BYTE> copy;  // when the stream's memory cannot be had
    DWORD bytesRead;
    std::atomic<bool> cancel;
    std::atomic<bool> done;
};

class CMediaPlayerWnd : public CSkinDialog
{
public:
    enum Page
    {
        PAGE_MUSIC = 0,
        PAGE_VIDEO = 1,
        PAGE_ERROR = 2,
        PAGE_WAIT = 3,
    };

    CMediaPlayerWnd();
    virtual ~CMediaPlayerWnd();

    // A file-system entry (nothing when item is null); every dot is removed
    // from the extension.
    void SetFileItem(CFoundItem* item, CVolumeInfo* volume, int scanKind, int mediaClass, const std::wstring& extension,
                     IMainFrameServices* frame, const void* extra);
    // A carved hit (nothing when hit is null).
    void SetCarvedItem(HANDLE device, const DeepScanHit* hit, int scanKind, int mediaClass,
                       const std::wstring& extension, int sourceIsDevice);
    // A plain file of a readable file system.
    void SetPlainFile(const std::wstring& path, int mediaClass);

    // RunModal(owner) creates, centres and runs it; the caller deletes the
    // object afterwards.
    // Set when the decoder was installed: the caller opens the entry again.
    int GetReopen() const { return m_nReopen; }

    // DuiLib window ("DelvaroDlg", style 0x80B, closing destroys it)
    virtual void InitWindow();
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual CControlUI* CreateControl(LPCTSTR pstrClass);
    virtual void Notify(TNotifyUI& msg);

    // State for tests.
    CMemPlayer& GetPlayer() { return m_Player; }
    int GetPage();
    DWORD GetBytesRead() const { return m_pState ? m_pState->bytesRead : 0; }
    const std::wstring& GetExtension() const { return m_strExtension; }
    HRESULT GetPlayResult() const { return m_hrPlay; }
    bool IsStarted() const { return m_bStarted; }
    bool HasPlayedToEnd() const { return m_bEnded; }
    void RefreshPosition();
    // "%s / %s" of a position and a duration in 100-nanosecond units, each as
    // a time of day from zero in the locale's time format.
    static std::wstring FormatPlayTime(LONGLONG position, LONGLONG duration);

private:
    struct LoaderStart;
    static unsigned __stdcall LoaderThread(void* param);
    void OnWindowInit();
    void StartPlayback();
    // noSoundDevice: the machine has no sound device, which is the cause.
    void ShowError(HRESULT hr, bool noSoundDevice);
    void EnablePlaybackControls(bool enable);
    bool OnVolumeSlider(void* param);
    bool OnPlaySlider(void* param);
    void OnGraphEvents();

    int m_nReopen;
    int m_bSourceIsDevice;
    HANDLE m_hDevice;
    const DeepScanHit* m_pCarvedHit;
    HANDLE m_hLoaderThread;
    int m_nScanKind;
    int m_nMediaClass;
    std::wstring m_strExtension;
    CMemPlayer m_Player;
    std::shared_ptr<MediaLoadState> m_pState;
    DuiLib::CSliderUI* m_pPlaySlider;
    DuiLib::CLabelUI* m_pTimeLabel;
    CFoundItem* m_pItem;
    CVolumeInfo* m_pVolume;
    IMainFrameServices* m_pOwnerFrame;
    const void* m_pExtra;
    std::wstring m_strPlainFile;
    HRESULT m_hrPlay;
    bool m_bStarted;
    bool m_bEnded;
};

// The decoder package's installer (the companion installers' decoder mode);
// replaceable. It returns when the installer has closed.
typedef void (*DecoderInstallerProc)(HWND owner);
DecoderInstallerProc SetDecoderInstaller(DecoderInstallerProc proc);

// What a failed start of playback says about its cause: a decoder or
// filter the system lacks (the decoder package may help), or no sound
// device to play on (no decoder will).
bool IsDecoderMissingResult(HRESULT hr);
bool IsNoSoundDeviceResult(HRESULT hr);
// Whether the machine has any sound output device at all.
bool HasSoundDevice();

// The result of starting playback passes through this (the identity);
// replaceable, so that a machine's own failures can be stood in for.
typedef HRESULT (*PlaybackResultProc)(HRESULT hr);
PlaybackResultProc SetPlaybackResultProc(PlaybackResultProc proc);
