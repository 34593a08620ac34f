#include "views/MediaPlayerWnd.h"

#include <process.h>

#include <algorithm>

#include "app/WindowMessages.h"
#include "engine/MainFrameServices.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "views/PreviewText.h"

struct CMediaPlayerWnd::LoaderStart
{
    std::shared_ptr<MediaLoadState> state;
    HWND window;
};

namespace {
const UINT_PTR kPositionTimer = 150;
const wchar_t* const kPlaybackControls[] = {L"btnPlay", L"btnFastBackward", L"sliderPlay", L"btnFastForward",
                                            L"labelPlayTime", L"btnVolume", L"btnVolumeZero", L"sliderVol",
                                            L"btnPause"};

void NoDecoderInstaller(HWND) {}
DecoderInstallerProc g_decoderInstaller = NoDecoderInstaller;
HRESULT SameResult(HRESULT hr) { return hr; }
PlaybackResultProc g_playbackResult = SameResult;

// DirectSound's "no driver" answer, where the renderer passes it on.
const HRESULT kNoSoundDriver = (HRESULT)0x88780078;

std::wstring NoDots(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text)
        if (c != L'.')
            out += c;
    return out;
}
}  // namespace

DecoderInstallerProc SetDecoderInstaller(DecoderInstallerProc proc)
{
    DecoderInstallerProc old = g_decoderInstaller;
    g_decoderInstaller = proc ? proc : NoDecoderInstaller;
    return old;
}

PlaybackResultProc SetPlaybackResultProc(PlaybackResultProc proc)
{
    PlaybackResultProc old = g_playbackResult;
    g_playbackResult = proc ? proc : SameResult;
    return old;
}

bool IsDecoderMissingResult(HRESULT hr)
{
    switch (hr) {
    case VFW_E_CANNOT_RENDER:
    case VFW_E_CANNOT_CONNECT:
    case VFW_E_NO_ACCEPTABLE_TYPES:
    case VFW_E_TYPE_NOT_ACCEPTED:
    case VFW_E_UNSUPPORTED_STREAM:
    case VFW_E_NO_DECOMPRESSOR:
    case VFW_E_UNSUPPORTED_AUDIO:
    case VFW_E_UNSUPPORTED_VIDEO:
    case VFW_E_UNKNOWN_FILE_TYPE:
    case VFW_E_CANNOT_LOAD_SOURCE_FILTER:
    case REGDB_E_CLASSNOTREG:
        return true;
    default:
        return false;
    }
}

bool IsNoSoundDeviceResult(HRESULT hr)
{
    return hr == VFW_E_NO_AUDIO_HARDWARE || hr == kNoSoundDriver;
}

bool HasSoundDevice()
{
    return waveOutGetNumDevs() > 0;
}

// ---- CWndUI ----

void CWndUI::SetPos(RECT rc, bool bNeedInvalidate)
{
    CControlUI::SetPos(rc, bNeedInvalidate);
    if (m_hWnd)
        ::SetWindowPos(m_hWnd, NULL, m_rcItem.left, m_rcItem.top, m_rcItem.right - m_rcItem.left,
                       m_rcItem.bottom - m_rcItem.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (m_onMoved)
        m_onMoved();
}

void CWndUI::SetVisible(bool bVisible)
{
    CControlUI::SetVisible(bVisible);
    if (m_hWnd)
        ::ShowWindow(m_hWnd, IsVisible() ? SW_SHOWNA : SW_HIDE);
}

void CWndUI::SetInternVisible(bool bVisible)
{
    CControlUI::SetInternVisible(bVisible);
    if (m_hWnd)
        ::ShowWindow(m_hWnd, IsVisible() ? SW_SHOWNA : SW_HIDE);
}

bool CWndUI::Attach(HWND hwnd)
{
    if (!hwnd || !::IsWindow(hwnd))
        return false;
    m_hWnd = hwnd;
    return true;
}

// ---- MediaLoadState ----

MediaLoadState::MediaLoadState()
    : scanKind(0),
      haveItem(false),
      item(L"", L"", L"", 0, 0),
      haveVolume(false),
      extra(NULL),
      haveHit(false),
      hit(),
      device(INVALID_HANDLE_VALUE),
      sourceIsDevice(0),
      cap(MAX_MEDIA_SIZE),
      stream(NULL),
      memory(NULL),
      data(NULL),
      bytesRead(0),
      cancel(false),
      done(false)
{
}

MediaLoadState::~MediaLoadState()
{
    if (memory && data)
        GlobalUnlock(memory);
    if (stream)
        stream->Release();
    if (device && device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
}

// ---- CMediaPlayerWnd ----

CMediaPlayerWnd::CMediaPlayerWnd()
    : CSkinDialog(L"MediaPlayerWnd"),
      m_nReopen(0),
      m_bSourceIsDevice(0),
      m_hDevice(INVALID_HANDLE_VALUE),
      m_pCarvedHit(NULL),
      m_hLoaderThread(NULL),
      m_nScanKind(0),
      m_nMediaClass(0),
      m_pPlaySlider(NULL),
      m_pTimeLabel(NULL),
      m_pItem(NULL),
      m_pVolume(NULL),
      m_pOwnerFrame(NULL),
      m_pExtra(NULL),
      m_hrPlay(S_FALSE),
      m_bStarted(false),
      m_bEnded(false)
{
}

CMediaPlayerWnd::~CMediaPlayerWnd()
{
    // Stop and release the graph first: nothing reads the bytes after this.
    m_Player.ReleaseGraph();
    if (m_pState)
        m_pState->cancel = true;
    if (m_hLoaderThread) {
        // A loader still reading after the wait keeps its own share of the
        // state and frees it when it ends.
        WaitForSingleObject(m_hLoaderThread, 2000);
        CloseHandle(m_hLoaderThread);
        m_hLoaderThread = NULL;
    }
    m_pState.reset();
}

void CMediaPlayerWnd::SetFileItem(CFoundItem* item, CVolumeInfo* volume, int scanKind, int mediaClass,
                                  const std::wstring& extension, IMainFrameServices* frame, const void* extra)
{
    if (!item)
        return;
    m_pItem = item;
    m_pVolume = volume;
    m_nScanKind = scanKind;
    m_nMediaClass = mediaClass;
    m_strExtension = NoDots(extension);
    m_pOwnerFrame = frame;
    m_pExtra = extra;
}

void CMediaPlayerWnd::SetCarvedItem(HANDLE device, const DeepScanHit* hit, int scanKind, int mediaClass,
                                    const std::wstring& extension, int sourceIsDevice)
{
    if (!hit)
        return;
    m_hDevice = device;
    m_pCarvedHit = hit;
    m_nScanKind = scanKind;
    m_nMediaClass = mediaClass;
    m_strExtension = NoDots(extension);
    m_bSourceIsDevice = sourceIsDevice;
}

void CMediaPlayerWnd::SetPlainFile(const std::wstring& path, int mediaClass)
{
    m_strPlainFile = path;
    m_nMediaClass = mediaClass;
    PreviewRequest request;
    request.InitFile(path);
    m_strExtension = NoDots(request.GetExtension());
}


CControlUI* CMediaPlayerWnd::CreateControl(LPCTSTR pstrClass)
{
    if (!pstrClass)
        return NULL;
    if (_wcsicmp(pstrClass, L"Caption") == 0 || _wcsicmp(pstrClass, L"PlayPanel") == 0) {
        DuiLib::CDialogBuilder builder;
        const std::wstring file = GetSkinXmlName(_wcsicmp(pstrClass, L"Caption") == 0 ? L"Caption" : L"PlayPanel");
        return builder.Create(file.c_str(), (UINT)0, NULL, &m_PaintManager, NULL);
    }
    if (_wcsicmp(pstrClass, L"WndMediaDisplay") == 0) {
        CWndUI* ui = new CWndUI;
        HWND child = CreateWindowExW(0, L"#32770", L"WndMediaDisplay", WS_VISIBLE | WS_CHILD | WS_CLIPCHILDREN, 0, 0,
                                     0, 0, m_PaintManager.GetPaintWindow(), NULL, GetModuleHandleW(NULL), NULL);
        ui->Attach(child);
        return ui;
    }
    return NULL;
}

void CMediaPlayerWnd::InitWindow()
{
    WindowImplBaseShw::InitWindow();
    SetWindowPos(m_hWnd, NULL, 0, 0, 560, 350, SWP_FRAMECHANGED | SWP_NOACTIVATE | SWP_NOZORDER);
    CenterWindow();
    CControlUI* volume = FindControl(L"sliderVol");
    m_pPlaySlider = static_cast<DuiLib::CSliderUI*>(FindControl(L"sliderPlay"));
    m_pTimeLabel = static_cast<DuiLib::CLabelUI*>(FindControl(L"labelPlayTime"));
    if (volume && m_pPlaySlider && m_pTimeLabel) {
        volume->OnNotify += DuiLib::MakeDelegate(this, &CMediaPlayerWnd::OnVolumeSlider);
        m_pPlaySlider->OnNotify += DuiLib::MakeDelegate(this, &CMediaPlayerWnd::OnPlaySlider);
        if (CWndUI* media = static_cast<CWndUI*>(FindControl(L"wndMedia"))) {
            m_Player.SetVideoWindow(media->GetHWND());
            // The video follows the surface when the layout places it.
            media->SetOnMoved([this] { m_Player.FitVideoWindow(); });
        }
    }
}

LRESULT CMediaPlayerWnd::OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    KillTimer(m_hWnd, kPositionTimer);
    // The video window belongs to this window: the graph lets go of it now.
    m_Player.ReleaseGraph();
    return WindowImplBaseShw::OnDestroy(uMsg, wParam, lParam, bHandled);
}

int CMediaPlayerWnd::GetPage()
{
    DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabCaption"));
    return tab ? tab->GetCurSel() : -1;
}

void CMediaPlayerWnd::EnablePlaybackControls(bool enable)
{
    for (const wchar_t* name : kPlaybackControls)
        EnableControl(name, enable);
}

void CMediaPlayerWnd::OnWindowInit()
{
    ApplyDialogFrameImage();
    std::wstring name;
    uint64_t size = 0;
    if (m_pItem) {
        name = m_pItem->m_strName;
        size = m_pItem->m_u64Size;
    } else if (m_nScanKind == 1 && m_pCarvedHit) {
        for (size_t i = 0; i < sizeof(m_pCarvedHit->szName) && m_pCarvedHit->szName[i]; ++i)
            name += (wchar_t)(unsigned char)m_pCarvedHit->szName[i];
        size = m_pCarvedHit->u64Length;
    } else if (!m_strPlainFile.empty()) {
        GetPlainFileNameAndSize(m_strPlainFile, &name, &size);
    }
    CControlUI* title = FindControl(L"PlayerTitle");
    if (title && !name.empty())
        title->SetText(MakePreviewTitle(name, size).c_str());
    EnablePlaybackControls(false);

    // The loader gets copies of everything it reads.
    m_pState = std::make_shared<MediaLoadState>();
    MediaLoadState& s = *m_pState;
    s.scanKind = m_nScanKind;
    s.extra = m_pExtra;
    s.plainFile = m_strPlainFile;
    if (m_pItem) {
        s.haveItem = true;
        s.item = *m_pItem;
    }
    // The volume is found here, so the loader never reaches into the frame.
    CVolumeInfo* volume = m_pVolume;
    if (!volume && m_pItem && m_pOwnerFrame && m_pOwnerFrame->GetVolumeList() && !m_pItem->GetCurrentPath().empty())
        volume = m_pOwnerFrame->GetVolumeList()->FindVolumeByLetter(m_pItem->GetCurrentPath()[0]);
    if (volume) {
        s.haveVolume = true;
        s.volume = *volume;
    }
    if (m_nScanKind == 1 && m_pCarvedHit) {
        s.haveHit = true;
        s.hit = *m_pCarvedHit;
        s.sourceIsDevice = m_bSourceIsDevice;
        if (m_hDevice && m_hDevice != INVALID_HANDLE_VALUE)
            DuplicateHandle(GetCurrentProcess(), m_hDevice, GetCurrentProcess(), &s.device, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
    }
    LoaderStart* arg = new LoaderStart{m_pState, m_hWnd};
    unsigned id = 0;
    m_hLoaderThread = (HANDLE)_beginthreadex(NULL, 0, LoaderThread, arg, 0, &id);
    if (!m_hLoaderThread) {
        delete arg;
        m_pState->done = true;
        ::PostMessageW(m_hWnd, WMU_PlayerDataLoaded, 0, 0);
    }
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabCaption")))
        tab->SelectItem(PAGE_WAIT);
}

unsigned __stdcall CMediaPlayerWnd::LoaderThread(void* param)
{
    LoaderStart* start = (LoaderStart*)param;
    std::shared_ptr<MediaLoadState> state = start->state;
    const HWND window = start->window;
    delete start;
    MediaLoadState& s = *state;
    PreviewRequest request;
    if (!s.plainFile.empty())
        request.InitFile(s.plainFile);
    else if (s.scanKind == 1 && s.haveHit)
        request.InitCarved(&s.hit, s.device, s.sourceIsDevice, s.scanKind);
    else if (s.haveItem)
        request.Init(s.haveVolume ? &s.volume : NULL, s.extra, &s.item, s.scanKind, NULL);
    IStream* stream = s.cancel ? NULL : request.OpenStream(s.cap);
    if (stream) {
        const uint64_t size = std::min<uint64_t>(GetStreamSize(stream), s.cap);
        HGLOBAL memory = NULL;
        // The stream's own memory serves as the buffer: no second copy.
        if (SUCCEEDED(GetHGlobalFromStream(stream, &memory)) && memory && GlobalSize(memory) >= size) {
            s.data = (const BYTE*)GlobalLock(memory);
            if (s.data) {
                s.memory = memory;
                s.bytesRead = (DWORD)size;
            }
        }
        if (!s.data) {
            // Any other stream is copied.
            std::string bytes;
            if (ReadStreamHead(stream, (size_t)size, bytes)) {
                s.copy.assign(bytes.begin(), bytes.end());
                s.data = s.copy.data();
                s.bytesRead = (DWORD)s.copy.size();
            }
        }
        s.stream = stream;
    }
    s.done = true;
    // Only a message reaches the window; it does everything else itself.
    if (!s.cancel)
        ::PostMessageW(window, WMU_PlayerDataLoaded, 0, 0);
    return 0;
}

void CMediaPlayerWnd::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose") {
        Close();
    } else if (name == L"btnPlay") {
        ShowControl(L"btnPlay", false);
        ShowControl(L"btnPause", true);
        m_Player.PlayPause(true);
        m_bEnded = false;
    } else if (name == L"btnPause") {
        ShowControl(L"btnPlay", true);
        ShowControl(L"btnPause", false);
        m_Player.PlayPause(false);
    } else if (name == L"btnStop") {
        KillTimer(m_hWnd, kPositionTimer);
        m_Player.Stop();
    } else if (name == L"btnFastBackward") {
        m_Player.FastBackward();
        ::PostMessageW(m_hWnd, WMU_PlayerPosition, (WPARAM)m_Player.GetProgress(), 0);
    } else if (name == L"btnFastForward") {
        m_Player.FastForward();
        ::PostMessageW(m_hWnd, WMU_PlayerPosition, (WPARAM)m_Player.GetProgress(), 0);
    } else if (name == L"btnVolume") {
        m_Player.SetVolume(-10000);
        ShowControl(L"btnVolumeZero", true);
        ShowControl(L"btnVolume", false);
    } else if (name == L"btnVolumeZero") {
        if (DuiLib::CSliderUI* vol = static_cast<DuiLib::CSliderUI*>(FindControl(L"sliderVol"))) {
            m_Player.SetVolume(vol->GetValue());
            ShowControl(L"btnVolume", true);
            ShowControl(L"btnVolumeZero", false);
        }
    }
}

bool CMediaPlayerWnd::OnVolumeSlider(void* param)
{
    TNotifyUI* msg = (TNotifyUI*)param;
    if (msg && msg->sType == DUI_MSGTYPE_VALUECHANGED) {
        if (DuiLib::CSliderUI* vol = static_cast<DuiLib::CSliderUI*>(msg->pSender))
            m_Player.SetVolume(vol->GetValue());
    }
    if (msg && msg->sType != DUI_MSGTYPE_VALUECHANGED && msg->sType != DUI_MSGTYPE_CLICK)
        return true;
    ShowControl(L"btnVolumeZero", false);
    ShowControl(L"btnVolume", true);
    return true;
}

bool CMediaPlayerWnd::OnPlaySlider(void* param)
{
    TNotifyUI* msg = (TNotifyUI*)param;
    if (msg && msg->sType == DUI_MSGTYPE_VALUECHANGED && m_pPlaySlider) {
        m_Player.SeekPerMille(m_pPlaySlider->GetValue() + 1);
        m_bEnded = false;
    }
    return true;
}

LRESULT CMediaPlayerWnd::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    switch (uMsg) {
    case WMU_PlayerDataLoaded:
        bHandled = TRUE;
        StartPlayback();
        return 0;
    case WMU_PlayerPosition:
        bHandled = TRUE;
        RefreshPosition();
        return 0;
    case WM_TIMER:
        if (wParam == kPositionTimer) {
            bHandled = TRUE;
            OnGraphEvents();
            RefreshPosition();
            return 0;
        }
        break;
    }
    return WindowImplBaseShw::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

void CMediaPlayerWnd::ShowError(HRESULT hr, bool noSoundDevice)
{
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabCaption")))
        tab->SelectItem(PAGE_ERROR);
    SetControlText(L"errCode", FormatTextWithInt(GetUIText(L"ErrCode").c_str(), (int)hr).c_str());
    // The system's own words for the cause; a missing sound device is named
    // in the program's words too, as the system may have none for it.
    const std::wstring cause = noSoundDevice || IsNoSoundDeviceResult(hr)
                                   ? GetUIText(L"ErrMsgHint") + GetUIText(L"NoSoundDevice")
                                   : GetDirectShowErrorText(hr);
    SetControlText(L"errText", cause.c_str());
    ShowControl(L"btnPlay", true);
    ShowControl(L"btnPause", false);
    EnablePlaybackControls(false);
    KillTimer(m_hWnd, kPositionTimer);
}

void CMediaPlayerWnd::StartPlayback()
{
    if (m_bStarted || !m_pState || !m_pState->done)
        return;
    m_bStarted = true;
    // The page is chosen here, on the window's thread.
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabCaption")))
        tab->SelectItem(m_nMediaClass == 1 ? PAGE_VIDEO : PAGE_MUSIC);
    EnablePlaybackControls(true);
    ShowControl(L"btnPlay", false);
    ShowControl(L"btnPause", true);
    ShowControl(L"btnVolumeZero", false);
    ShowControl(L"btnVolume", true);
    if (!FindControl(L"wndMedia"))
        return;
    SetTimer(m_hWnd, kPositionTimer, 1000, NULL);
    HRESULT hr = m_Player.PlayMemory(m_pState->data, m_pState->bytesRead, m_strExtension.c_str(), m_pState);
    // A type the player has no stream type for cannot play either.
    if (hr == CMemPlayer::kUnknownType)
        hr = VFW_E_UNSUPPORTED_STREAM;
    hr = g_playbackResult(hr);
    m_hrPlay = hr;
    if (hr >= 0) {
        if (DuiLib::CSliderUI* vol = static_cast<DuiLib::CSliderUI*>(FindControl(L"sliderVol")))
            m_Player.SetVolume(vol->GetValue());
        RefreshPosition();
        return;
    }
    m_Player.ReleaseGraph();
    // Sound that finds no device to play on fails as a missing filter
    // would (no renderer takes it): on a machine without any sound device
    // that is the cause, and no decoder would mend it.
    const bool noSoundDevice =
        m_nMediaClass == 0 && (IsDecoderMissingResult(hr) || IsNoSoundDeviceResult(hr)) && !HasSoundDevice();
    ShowError(hr, noSoundDevice);
    // The decoder package is offered only for what a decoder would mend.
    if (noSoundDevice || !IsDecoderMissingResult(hr) || IsVideoDecoderInstalled())
        return;
    // "InstallDecoder" (a video decoder) for video, "InstallAudioDecoder" for sound.
    const char* question = m_nMediaClass == 1 ? "SW5zdGFsbERlY29kZXI=" : "SW5zdGFsbEF1ZGlvRGVjb2Rlcg==";
    if (MessageBoxByBase64Key(question, NULL, 0x44, 0) != IDYES)
        return;
    g_decoderInstaller(m_hWnd);
    if (IsVideoDecoderInstalled()) {
        m_nReopen = 1;
        Close();
    }
}

void CMediaPlayerWnd::OnGraphEvents()
{
    while (m_Player.TakeEvent()) {
    }
    if (m_Player.HasCompleted() && !m_bEnded) {
        // Played to the end: the play button starts it again.
        m_bEnded = true;
        ShowControl(L"btnPlay", true);
        ShowControl(L"btnPause", false);
    }
}

std::wstring CMediaPlayerWnd::FormatPlayTime(LONGLONG position, LONGLONG duration)
{
    auto clock = [](LONGLONG units) {
        LONGLONG seconds = units > 0 ? units / 10000000 : 0;
        SYSTEMTIME st = {};
        st.wYear = 1970;
        st.wMonth = 1;
        st.wDay = 1;
        st.wHour = (WORD)((seconds / 3600) % 24);
        st.wMinute = (WORD)((seconds / 60) % 60);
        st.wSecond = (WORD)(seconds % 60);
        wchar_t text[64] = {};
        if (GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT | TIME_NOTIMEMARKER, &st, NULL, text, 64))
            return std::wstring(text);
        auto two = [](int v) { return std::wstring(v < 10 ? L"0" : L"") + std::to_wstring(v); };
        return two(st.wHour) + L":" + two(st.wMinute) + L":" + two(st.wSecond);
    };
    return clock(position) + L" / " + clock(duration);
}

void CMediaPlayerWnd::RefreshPosition()
{
    if (!m_pTimeLabel || !m_pPlaySlider)
        return;
    const LONGLONG duration = m_Player.GetDuration();
    const LONGLONG position = m_bEnded ? duration : m_Player.GetCurrentPosition();
    m_pTimeLabel->SetText(FormatPlayTime(position, duration).c_str());
    m_pPlaySlider->SetValue(m_bEnded ? 1000 : m_Player.GetProgress());
}
