// The two scans of the controller that are not a walk of one volume: the
// recycle bins of every volume, and the deep (signature) scan of a volume, a
// disk or an image file.
#include <windows.h>

#include <cwchar>
#include <vector>

#include "core/Language.h"
#include "core/Settings.h"
#include "engine/DeepScanEngine.h"
#include "engine/EngineText.h"
#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/DiskMappingPointer.h"
#include "storage/VolumeList.h"

namespace
{
// Recycle-bin folders by the Windows versions that made them. NTFS compares
// names without regard to case; FAT and exFAT lookups compare them exactly,
// so both spellings drivers use are tried there.
const wchar_t* const kNtfsRecycleFolders[] = {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"};
const wchar_t* const kFatRecycleFolders[] = {L"$RECYCLE.BIN", L"$Recycle.Bin", L"RECYCLED", L"Recycled",
                                             L"RECYCLER", L"Recycler"};

// Unit and block step of the deep scan: a power of two from 512 up, else 512.
unsigned int DeepScanUnit(unsigned int configured)
{
    if (configured < 512 || (configured & (configured - 1)) != 0)
        return 512;
    return configured;
}

// The frame as the carving engine sees it when a scan range ends before the
// device: hits that start at or past the end are not handed on. (The engine
// reads whole windows, the last of which may reach past the end.)
class CRangeEndFrame : public IMainFrameServices
{
public:
    CRangeEndFrame(IMainFrameServices* frame, unsigned __int64 end) : m_pFrame(frame), m_u64End(end) {}
    HWND GetFrameWindow() override { return m_pFrame->GetFrameWindow(); }
    CScanDiskDlg* GetScanDiskDlg() override { return m_pFrame->GetScanDiskDlg(); }
    CFormatPluginRegistry* GetPluginRegistry() override { return m_pFrame->GetPluginRegistry(); }
    int AddCarvedFile(DeepScanHit* hit) override
    {
        if (hit && hit->GetStart() >= m_u64End)
        {
            delete hit;
            return 0;
        }
        return m_pFrame->AddCarvedFile(hit);
    }
    bool AddFoundFile(CFoundItem* item) override { return m_pFrame->AddFoundFile(item); }
    CVolumeList* GetVolumeList() override { return m_pFrame->GetVolumeList(); }
    CVolumeInfo* GetSelectedVolume() override { return m_pFrame->GetSelectedVolume(); }
    std::wstring GetSelectedVolumeRoot() override { return m_pFrame->GetSelectedVolumeRoot(); }
    std::vector<std::wstring> GetSelectedFormatNames() override { return m_pFrame->GetSelectedFormatNames(); }
    HANDLE GetDeepScanDevice() override { return m_pFrame->GetDeepScanDevice(); }
    void SetDeepScanDevice(HANDLE device) override { m_pFrame->SetDeepScanDevice(device); }

private:
    IMainFrameServices* m_pFrame;
    unsigned __int64 m_u64End;
};
}  // namespace

void CScanDiskDlg::RecycleScan()
{
    CVolumeInfo* selected = m_pVolume;
    std::vector<CVolumeInfo*> volumes;
    CVolumeList* list = m_pMainFrame ? m_pMainFrame->GetVolumeList() : nullptr;
    if (list)
    {
        volumes = list->Fixed();
        volumes.insert(volumes.end(), list->Removable().begin(), list->Removable().end());
    }
    // Every volume from the first; one without a recycle bin is passed over,
    // not scanned whole. The found count runs on over all of them.
    m_bFolderRequired = true;
    for (CVolumeInfo* volume : volumes)
    {
        if (IsStopRequested())
            break;
        if (!volume || volume->m_strRoot.size() < 3)
            continue;
        const std::wstring& fs = volume->m_strFileSystem;
        if (!IsSupportedFileSystem(fs.c_str()))
            continue;
        m_pVolume = volume;
        // Each volume is a device of its own: one that stopped answering
        // ends its own walk only.
        m_walkHost.ResetDeviceGone();
        const std::wstring root = volume->m_strRoot.substr(0, 3);
        if (fs == L"NTFS")
        {
            for (const wchar_t* name : kNtfsRecycleFolders)
                if (!IsStopRequested())
                    NTFSQuickScan((root + name).c_str(), true);
            continue;
        }
        for (const wchar_t* name : kFatRecycleFolders)
        {
            if (IsStopRequested())
                break;
            const std::wstring folder = root + name;
            if (fs == L"FAT32")
                FAT32QuickScan(folder.c_str());
            else if (fs == L"FAT")
                FAT16QuickScan(folder.c_str());
            else
                ExFATQuickScan(folder.c_str());
        }
    }
    m_bFolderRequired = false;
    m_pVolume = selected;
    EndOfScan();
}

HANDLE CScanDiskDlg::OpenScanTarget(wchar_t* buffer, size_t units)
{
    std::wstring name;
    if (m_nTargetKind == SCAN_TARGET_IMAGE)
    {
        if (m_strImagePath.empty())
        {
            SetLastError(ERROR_PATH_NOT_FOUND);
            if (buffer && units)
                buffer[0] = 0;
            return nullptr;
        }
        name = m_strImagePath;
    }
    else
    {
        // A disk target is named by its number alone.
        if (m_nTargetKind != SCAN_TARGET_DISK && (!m_pVolume || m_pVolume->m_strRoot.empty()))
        {
            SetLastError(ERROR_INVALID_DRIVE);
            if (buffer && units)
                buffer[0] = 0;
            return INVALID_HANDLE_VALUE;
        }
        name = m_nTargetKind == SCAN_TARGET_DISK ? PhysicalDrivePath(m_nDiskNumber)
                                                  : DriveLetterPath(m_pVolume->m_strRoot[0]);
    }
    if (buffer && units)
    {
        wcsncpy(buffer, name.c_str(), units - 1);
        buffer[units - 1] = 0;
    }
    return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_READONLY, nullptr);
}

void CScanDiskDlg::DeepScan()
{
    // An image and a whole disk are named by themselves; only a volume
    // target needs its volume.
    if (m_nTargetKind == SCAN_TARGET_IMAGE || m_nTargetKind == SCAN_TARGET_DISK || m_pVolume)
    {
        wchar_t name[MAX_PATH * 4];
        HANDLE device = OpenScanTarget(name, sizeof(name) / sizeof(name[0]));
        HWND frameWindow = m_pMainFrame ? m_pMainFrame->GetFrameWindow() : nullptr;
        // An empty image path opens nothing, like a device that will not open.
        if (device == INVALID_HANDLE_VALUE || device == nullptr)
        {
            ShowLastErrorBox(frameWindow, L"", 0);
        }
        else
        {
            if (m_pMainFrame)
                m_pMainFrame->SetDeepScanDevice(device);
            else
                CloseHandle(device);
            const std::vector<std::wstring> formats =
                m_pMainFrame ? m_pMainFrame->GetSelectedFormatNames() : std::vector<std::wstring>();
            if (!formats.empty())
            {
                CRangeEndFrame rangeEnd(m_pMainFrame, m_u64RangeEnd);
                CDeepScanEngine* engine =
                    new CDeepScanEngine(m_u64RangeEnd ? (IMainFrameServices*)&rangeEnd : m_pMainFrame);
                ReportProgress(0, 0, EngineUIText(L"InInitDeepScan").c_str(), true, true);
                engine->BindPlugins(formats);
                const unsigned int unit = DeepScanUnit(g_ConfigSetting.m_uClusterSize);
                engine->SetBlockStep(unit);
                // The engine's scan window, not the reader's default: two default
                // windows would hold 64 MB for a scan that reads each byte once.
                // The reader starts at the chosen range and the engine stops at
                // its end.
                CDiskMappingPointer* reader =
                    new CDiskMappingPointer(m_nTargetKind == SCAN_TARGET_IMAGE ? m_strImagePath.c_str() : name,
                                            m_u64RangeStart, m_nTargetKind, CDeepScanEngine::SCAN_WINDOW_BYTES, unit,
                                            m_u64RangeEnd);
                engine->SetReader(reader);
                engine->Run();
                delete engine;
                delete reader;
            }
        }
    }
    m_bStop = true;
    PostScanDone();
}
