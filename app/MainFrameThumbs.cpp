// Thumbnails of the result list: a worker thread asks the file-type plug-in
// of each tile in view for a picture or a text (the shell's icon of the
// extension when there is none) and sends each to the window, which puts it
// into its tile. The tiles a run works on are gathered on the window's
// thread; a run ends when its own cancel token is set, which only the one
// who stops it does.
#include <windows.h>
#include <shellapi.h>

#include <atomic>

#include "app/MainFrame.h"
#include "app/Services.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Log.h"
#include "engine/DeepScanEngine.h"
#include "storage/DiskMappingPointer.h"
#include "views/PreviewHost.h"

namespace {

const int kJobsPerRun = 55;
const int kRowsAbove = 20;
const uint64_t kThumbnailReadCap = 31457280;  // 30 MB
const int kFileTextBytes = 302;
const int kCarvedTextBytes = 300;
const DWORD kTileCheckDelayMs = 2000;

// A white 150 x 110 picture with the shell's icon of the extension; null
// when the shell has no icon for it.
HBITMAP ShellIconPicture(const std::wstring& extension)
{
    std::wstring ext = extension;
    if (ext.empty() || ext[0] != L'.')
        ext = L"." + ext;
    SHFILEINFOW info = {};
    if (!SHGetFileInfoW(ext.c_str(), FILE_ATTRIBUTE_NORMAL, &info, sizeof(info),
                        SHGFI_ICON | SHGFI_USEFILEATTRIBUTES) ||
        !info.hIcon)
        return NULL;
    HBITMAP bmp = NULL;
    HDC screen = GetDC(NULL);
    HDC dc = screen ? CreateCompatibleDC(screen) : NULL;
    if (dc) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = 150;
        bi.bmiHeader.biHeight = 110;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = NULL;
        bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
        if (bmp) {
            HGDIOBJ old = SelectObject(dc, bmp);
            RECT all = {0, 0, 150, 110};
            FillRect(dc, &all, (HBRUSH)GetStockObject(WHITE_BRUSH));
            DrawIconEx(dc, 47, 27, info.hIcon, 55, 55, 0, NULL, DI_NORMAL);
            SelectObject(dc, old);
        }
        DeleteDC(dc);
    }
    if (screen)
        ReleaseDC(NULL, screen);
    DestroyIcon(info.hIcon);
    return bmp;
}

// A plug-in's 32-bit data export; 0 when it has none.
int DataExport(HMODULE module, const char* name)
{
    const int32_t* p = reinterpret_cast<const int32_t*>(GetProcAddress(module, name));
    return p ? *p : 0;
}

// A text from a plug-in's buffer: UTF-8 when it is, else the ANSI code page.
std::wstring PluginText(const char* buffer, int capacity)
{
    size_t n = 0;
    while (n < (size_t)capacity && buffer[n])
        ++n;
    return TextToCString(buffer, n);
}

DWORD WINAPI TileCheckThreadProc(LPVOID param)
{
    CMainFrame* frame = static_cast<CMainFrame*>(param);
    HANDLE cancel = frame->GetTileCheckCancel();
    if (WaitForSingleObject(cancel, kTileCheckDelayMs) == WAIT_TIMEOUT)
        ::PostMessageW(frame->GetFrameWindow(), WMU_TileCheckDone, 0, 0);
    return 0;
}

}  // namespace

struct CMainFrame::ThumbnailRun
{
    CMainFrame* frame = nullptr;
    uint64_t id = 0;
    std::atomic<bool> cancel{false};
    std::vector<ThumbnailJob> jobs;
    bool deep = false;
    HANDLE device = NULL;     // carved hits are read through it
    bool ownDevice = false;   // opened for this run, closed with it
    int targetKind = 1;
    PreviewTarget source;     // what reads file-system entries
    HWND window = NULL;
};

// ---- start and end (window's thread) ----

std::vector<ThumbnailJob> CMainFrame::GatherThumbnailJobs()
{
    std::vector<ThumbnailJob> jobs;
    if (!m_pFileList)
        return jobs;
    const std::vector<CControlUI*>& rows = m_pFileList->LaidOutRows();
    // The rows in view order; the layout is current after a paint, else
    // every visible tile in list order.
    std::vector<CListThumbElementUI*> visible;
    const int count = m_pFileList->GetCount();
    visible.reserve(count);
    for (int i = 0; i < count; ++i) {
        CControlUI* c = m_pFileList->GetItemAt(i);
        if (c && c->IsVisible())
            visible.push_back(static_cast<CListThumbElementUI*>(c->GetInterface(L"ListThumbElement")));
    }
    (void)rows;
    const int n = (int)visible.size();
    const SIZE pos = m_pFileList->GetScrollPos();
    const SIZE range = m_pFileList->GetScrollRange();
    int start = range.cy > 0 ? (int)((int64_t)n * pos.cy / range.cy) : 0;
    start = start >= kRowsAbove + 1 ? start - kRowsAbove : 0;
    // Indices count from 1: index 0 gives no tile.
    for (int index = start, steps = 0; steps < kJobsPerRun && index <= n; ++index, ++steps) {
        CListThumbElementUI* tile = index >= 1 ? visible[index - 1] : NULL;
        if (!tile || tile->GetState() != THUMB_NONE || !tile->GetTag())
            continue;
        ThumbnailJob job;
        job.pTile = tile;
        job.pItem = NULL;
        job.pHit = NULL;
        if (IsDeepResult()) {
            job.pHit = reinterpret_cast<DeepScanHit*>(tile->GetTag());
            job.strExtension = ExtensionOfHit(job.pHit);
        } else {
            job.pItem = reinterpret_cast<CFoundItem*>(tile->GetTag());
            job.pVolume = VolumeOfEntry(job.pItem);
            const size_t dot = job.pItem->m_strName.rfind(L'.');
            job.strExtension = dot == std::wstring::npos ? std::wstring() : job.pItem->m_strName.substr(dot);
        }
        jobs.push_back(job);
    }
    return jobs;
}

void CMainFrame::StartThumbnailThread(bool fromMessage)
{
    (void)fromMessage;
    if (m_nThumbStop == 1)
        return;
    // A start while the previous run is being waited for: that wait starts
    // the next run when it is over.
    if (m_bStartingThumbs) {
        m_bThumbsAgain = true;
        return;
    }
    m_bStartingThumbs = true;
    do {
        m_bThumbsAgain = false;
        EndWorkerThreads(true, false);
        if (m_nThumbStop == 1 || m_bClosing)
            break;
        std::vector<ThumbnailJob> jobs = GatherThumbnailJobs();
        if (jobs.empty())
            break;
        ThumbnailRun* run = new ThumbnailRun;
        run->frame = this;
        run->id = ++m_u64ThumbRunId;
        run->jobs.swap(jobs);
        run->deep = IsDeepResult();
        run->window = m_hWnd;
        run->targetKind = m_ScanDiskDlg.GetTargetKind();
        if (run->deep) {
            // Its own handle, so that no other reader of the device (the
            // preview reads through the frame's) moves this one's file
            // position; a target that does not open again gets no pictures.
            HANDLE own = OpenControllerTarget(m_ScanDiskDlg);
            if (own && own != INVALID_HANDLE_VALUE) {
                run->device = own;
                run->ownDevice = true;
            }
        } else {
            run->source.owner = m_hWnd;
            run->source.volume = m_pSelectedVolume;
            run->source.scanKind = ScanKind;
            run->source.registry = &m_PluginRegistry;
            run->source.frame = this;
            if (ScanKind == SCAN_KIND_LOST_PARTITION)
                run->source.lost = GetLostPartitionSource();
        }
        m_pThumbRun = run;
        m_hThumbThread = CreateThread(NULL, 0, ThumbnailThreadProc, run, 0, NULL);
        if (!m_hThumbThread) {
            m_pThumbRun = NULL;
            if (run->ownDevice)
                CloseHandle(run->device);
            delete run;
        }
    } while (m_bThumbsAgain);
    m_bStartingThumbs = false;
}

void CMainFrame::EndWorkerThreads(bool pump)
{
    EndWorkerThreads(pump, true);
}

void CMainFrame::EndWorkerThreads(bool pump, bool tileCheck)
{
    if (m_pThumbRun)
        m_pThumbRun->cancel = true;
    if (m_hThumbThread) {
        // The worker sends each result: the wait serves those messages.
        WaitWithMessagePump(m_hThumbThread, INFINITE, pump);
        CloseHandle(m_hThumbThread);
        m_hThumbThread = NULL;
        DebugPrint(L"[Delvaro] Draw completed!\n");
    }
    if (m_pThumbRun) {
        if (m_pThumbRun->ownDevice)
            CloseHandle(m_pThumbRun->device);
        delete m_pThumbRun;
        m_pThumbRun = NULL;
    }
    if (tileCheck && m_hTileCheckThread) {
        SetEvent(m_hTileCheckCancel);
        WaitWithMessagePump(m_hTileCheckThread, INFINITE, pump);
        CloseHandle(m_hTileCheckThread);
        m_hTileCheckThread = NULL;
        m_pPendingTile = NULL;
        DebugPrint(L"[Delvaro] Check completed!\n");
    }
}

bool CMainFrame::IsThumbnailWorkerIdle()
{
    return !m_hThumbThread || WaitForSingleObject(m_hThumbThread, 0) == WAIT_OBJECT_0;
}

// ---- the worker (its own thread) ----

DWORD WINAPI CMainFrame::ThumbnailThreadProc(LPVOID param)
{
    ThumbnailRun* run = static_cast<ThumbnailRun*>(param);
    run->frame->ThumbnailWorker(run);
    return 0;
}

void CMainFrame::ThumbnailWorker(ThumbnailRun* run)
{
    for (const ThumbnailJob& job : run->jobs) {
        // A recovery of carved files holds the thumbnails off as well.
        if (run->cancel || run->frame->m_nThumbStop == 1)
            break;
        std::wstring text;
        HBITMAP bitmap = NULL;
        int width = 0, height = 0;
        const int made = run->deep ? MakeCarvedThumbnail(*run, job, text, bitmap, width, height)
                                   : MakeFileThumbnail(*run, job, text, bitmap, width, height);
        if (made < 0)
            continue;
        bool isBitmap = true;
        if (made == 0) {
            bitmap = ShellIconPicture(job.strExtension);
            width = 150;
            height = 110;
        } else if (!bitmap) {
            isBitmap = false;
        }
        if (run->cancel) {
            if (bitmap)
                DeleteObject(bitmap);
            break;
        }
        ThumbnailResult result;
        result.u64Run = run->id;
        result.pTile = job.pTile;
        result.bIsBitmap = isBitmap;
        result.pText = &text;
        result.pBitmap = &bitmap;
        result.nWidth = width;
        result.nHeight = height;
        if (run->window)
            ::SendMessageW(run->window, WMU_ThumbnailReady, (WPARAM)&result, 0);
        // A picture the window did not take is freed here.
        if (bitmap)
            DeleteObject(bitmap);
    }
}

int CMainFrame::MakeFileThumbnail(ThumbnailRun& run, const ThumbnailJob& job, std::wstring& text, HBITMAP& bitmap,
                                  int& width, int& height)
{
    if (!job.pItem)
        return -1;
    std::wstring ext = ExtensionOfName(job.pItem->m_strName);
    HMODULE module = m_PluginRegistry.FindByExtension(ext);
    if (!module)
        return 0;
    PFN_GetPreviewText getText = NULL;
    PFN_GetPreviewBitmap getBitmap = NULL;
    if (DataExport(module, DELVARO_EXPORT_HasThumbnail))
        getText = reinterpret_cast<PFN_GetPreviewText>(GetProcAddress(module, DELVARO_EXPORT_GetPreviewText));
    if (DataExport(module, DELVARO_EXPORT_HasThumbnailBitmap))
        getBitmap = reinterpret_cast<PFN_GetPreviewBitmap>(GetProcAddress(module, DELVARO_EXPORT_GetPreviewBitmap));
    if (!getText && !getBitmap)
        return 0;
    PreviewTarget target = run.source;
    target.item = job.pItem;
    target.volume = job.pVolume;
    target.extension = ext;
    const uint64_t cap = job.pItem->m_u64Size < kThumbnailReadCap ? job.pItem->m_u64Size : kThumbnailReadCap;
    IStream* stream = PreviewHost().OpenEntryStream(target, cap);
    if (!stream)
        return 0;
    int result = 0;
    STATSTG st = {};
    LARGE_INTEGER zero = {};
    if (SUCCEEDED(stream->Stat(&st, STATFLAG_NONAME)) && st.cbSize.QuadPart > 0 &&
        st.cbSize.QuadPart <= kThumbnailReadCap && SUCCEEDED(stream->Seek(zero, STREAM_SEEK_SET, NULL))) {
        const ULONG size = (ULONG)st.cbSize.QuadPart;
        std::vector<unsigned char> data(size);
        ULONG got = 0;
        if (SUCCEEDED(stream->Read(data.data(), size, &got)) && got == size) {
            if (getBitmap && getBitmap(data.data(), (int64_t)size, &bitmap, &width, &height) && bitmap) {
                result = 1;
            } else {
                if (bitmap)
                    DeleteObject(bitmap);
                bitmap = NULL;
                if (getText) {
                    char buffer[kFileTextBytes] = {};
                    char* utf8 = WideToUtf8(ext.c_str());
                    if (utf8)
                        strncpy(buffer, utf8, kFileTextBytes - 1);
                    delete[] utf8;
                    if (getText(data.data(), (int64_t)size, buffer, kFileTextBytes)) {
                        buffer[kFileTextBytes - 1] = 0;
                        text = PluginText(buffer, kFileTextBytes);
                        result = text.empty() ? 0 : 1;
                    }
                }
            }
        }
    }
    stream->Release();
    return result;
}

int CMainFrame::MakeCarvedThumbnail(ThumbnailRun& run, const ThumbnailJob& job, std::wstring& text, HBITMAP& bitmap,
                                    int& width, int& height)
{
    if (!job.pHit)
        return -1;
    HMODULE module = m_PluginRegistry.FindByExtension(job.strExtension);
    if (!module)
        return 0;
    PFN_GetThumbnailText getText = NULL;
    PFN_GetThumbnailBitmap getBitmap = NULL;
    if (DataExport(module, DELVARO_EXPORT_HasThumbnail)) {
        getText = reinterpret_cast<PFN_GetThumbnailText>(GetProcAddress(module, DELVARO_EXPORT_GetThumbnailText));
        if (!getText)
            return 0;
    }
    if (DataExport(module, DELVARO_EXPORT_HasThumbnailBitmap)) {
        getBitmap = reinterpret_cast<PFN_GetThumbnailBitmap>(GetProcAddress(module, DELVARO_EXPORT_GetThumbnailBitmap));
        if (!getBitmap)
            return 0;
    }
    if (!run.device || run.device == INVALID_HANDLE_VALUE || job.pHit->u64Length == 0)
        return 0;
    const uint64_t start = job.pHit->GetStart();
    if (CDeepScanEngine::s_bDebugTrace)
        DebugPrint(L"offset is %I64x, size is %I64d\n", start, job.pHit->u64Length);
    int result = 0;
    {
        CDiskMappingPointer reader(run.device, start, run.targetKind != SCAN_TARGET_IMAGE, job.pHit->u64Length, 512, 0);
        if (getBitmap && getBitmap(&reader, (int64_t)job.pHit->u64Length, &bitmap, &width, &height) && bitmap) {
            result = 1;
        } else {
            if (bitmap)
                DeleteObject(bitmap);
            bitmap = NULL;
            if (getText && reader.SeekTo(start)) {
                char buffer[kCarvedTextBytes + 1] = {};
                for (size_t i = 0; i < sizeof(job.pHit->szExtension) && job.pHit->szExtension[i]; ++i)
                    buffer[i] = job.pHit->szExtension[i];
                if (getText(&reader, (int64_t)job.pHit->u64Length, buffer, kCarvedTextBytes)) {
                    buffer[kCarvedTextBytes] = 0;
                    text = PluginText(buffer, kCarvedTextBytes);
                    result = text.empty() ? 0 : 1;
                }
            }
        }
    }
    return result;
}

// ---- results into tiles (window's thread) ----

void CMainFrame::OnThumbnailReady(ThumbnailResult* result)
{
    if (!result || !result->pTile)
        return;
    // Only a result of the current run for a tile still in the list.
    CListThumbElementUI* tile = result->pTile;
    const bool current = m_pThumbRun && m_pThumbRun->id == result->u64Run && !m_pThumbRun->cancel;
    const bool present = m_pFileList && m_pFileList->GetItemAt(tile->GetIndex()) == tile;
    if (!current || !present)
        return;  // the worker frees the picture
    if (result->bIsBitmap) {
        tile->SetState(THUMB_BITMAP);
        HBITMAP bitmap = result->pBitmap ? *result->pBitmap : NULL;
        if (result->pBitmap)
            *result->pBitmap = NULL;
        tile->SetThumbnail(bitmap, result->nWidth, result->nHeight);
    } else {
        tile->SetState(THUMB_TEXT);
        tile->SetText(result->pText ? result->pText->c_str() : L"");
    }
}

// ---- the tile check ----

void CMainFrame::StartTileCheck(CListThumbElementUI* tile)
{
    if (m_pPendingTile || m_hTileCheckThread || m_bClosing)
        return;
    if (!m_hTileCheckCancel)
        m_hTileCheckCancel = CreateEventW(NULL, TRUE, FALSE, NULL);
    else
        ResetEvent(m_hTileCheckCancel);
    m_pPendingTile = tile;
    m_hTileCheckThread = CreateThread(NULL, 0, TileCheckThreadProc, this, 0, NULL);
    if (!m_hTileCheckThread)
        m_pPendingTile = NULL;
}

void CMainFrame::OnTileCheckDone()
{
    if (m_hTileCheckThread) {
        WaitForSingleObject(m_hTileCheckThread, INFINITE);
        CloseHandle(m_hTileCheckThread);
        m_hTileCheckThread = NULL;
    }
    CListThumbElementUI* tile = static_cast<CListThumbElementUI*>(m_pPendingTile);
    m_pPendingTile = NULL;
    if (!tile || !m_pFileList || m_pFileList->GetItemAt(tile->GetIndex()) != tile)
        return;
    RECT t = tile->GetPos(), l = m_pFileList->GetPos(), both;
    if (IntersectRect(&both, &t, &l))
        ::PostMessageW(m_hWnd, WMU_RefreshFileList, 0, 0);
}
