// Stand-ins the window tests install: a reporter that keeps the usage
// events, a message box that answers at once and keeps the texts, and a
// partition control with lost partitions of its own.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/Services.h"
#include "storage/PartitionTable.h"

namespace wintest {

// The rows of a tab-separated answer key, each as its cells; the first line
// is a header unless `header` is false.
std::vector<std::vector<std::string>> ReadTsv(const std::wstring& path, bool header = true);
// UTF-8 text as UTF-16.
std::wstring Wide(const std::string& s);
// The SHA-256 of bytes, and of a file's bytes (empty when it does not
// exist), in lower-case hex.
std::string Sha256(const std::string& data);
std::string FileSha256(const std::wstring& path);

class CRecordingReporter : public IUsageReporter
{
public:
    std::vector<std::wstring> events;
    std::vector<std::wstring> errorFiles;
    virtual void AddEvent(const wchar_t* name, int, int, const wchar_t*) { events.push_back(name ? name : L""); }
    virtual bool SendAction(int, bool) { return true; }
    virtual bool SendEvents() { return true; }
    virtual bool SendErrorFile(const wchar_t* path, bool)
    {
        errorFiles.push_back(path);
        return true;
    }
    bool Has(const wchar_t* name) const
    {
        for (const std::wstring& e : events)
            if (e == name)
                return true;
        return false;
    }
};

// Message boxes: each shown text is kept and answered with `answer`.
struct MessageLog
{
    static std::vector<std::wstring> texts;
    static int answer;
    static int Proc(HWND, const wchar_t* text, const wchar_t*, UINT, int)
    {
        texts.push_back(text ? text : L"");
        return answer;
    }
};

// The text of a key of section "Message" of the current language file.
std::wstring MessageText(const wchar_t* key);

// A partition control that "finds" one lost partition per disk it parses,
// and can hold the parse until released.
class CFakePartitionScan : public IPartitionScanControl
{
public:
    static CFakePartitionScan* last;
    static HANDLE parseGate;        // when set, a parse waits for it
    static HANDLE inParse;          // signalled while a parse waits
    static HWND watchWindow;        // recorded at the release of a held parse
    static std::atomic<int> windowAliveAtRelease;
    static std::atomic<int> enumerations;

    CFakePartitionScan() : m_disk(-1) { last = this; }
    virtual ~CFakePartitionScan() { ClearLostPartitions(); }
    virtual void ResetScan(bool keep)
    {
        if (!keep)
            m_disk = -1;
    }
    virtual void ClearLostPartitions()
    {
        ++enumerations;
        for (CPartitionInfo* p : m_lost)
            delete p;
        m_lost.clear();
    }
    virtual void SetDisk(int disk, CPhysicalDiskInfo*) { m_disk = disk; }
    virtual void SetReportWindow(HWND) {}
    virtual bool QuickParsePartition(const std::vector<CVolumeInfo*>&)
    {
        if (parseGate) {
            SetEvent(inParse);
            WaitForSingleObject(parseGate, INFINITE);
            windowAliveAtRelease = IsWindow(watchWindow) ? 1 : 0;
        }
        CPartitionInfo* p = new CPartitionInfo;
        p->m_nType = 7;
        p->m_StartSector = 2048 + (unsigned)m_disk;
        p->m_SectorCount = 204800;
        m_lost.push_back(p);
        return true;
    }
    virtual int GetLostPartitionCount() { return (int)m_lost.size(); }
    virtual CPartitionInfo* GetLostPartition(int i) { return i >= 0 && i < (int)m_lost.size() ? m_lost[i] : NULL; }
    virtual std::wstring GetPartitionLabel(const CPartitionInfo* p)
    {
        return L"Lost" + std::to_wstring((unsigned long long)p->m_StartSector - 2048);
    }
    virtual bool StartPartitionScan(CPartitionInfo*) { return false; }
    virtual bool StartLostPartitionSearch() { return false; }
    virtual bool IsRunning() { return false; }
    virtual bool IsPaused() { return false; }
    virtual void PauseScan() {}
    virtual void ResumeScan() {}
    virtual void StopSearch() {}

    static IPartitionScanControl* Make(CMainFrame*) { return new CFakePartitionScan; }

private:
    int m_disk;
    std::vector<CPartitionInfo*> m_lost;
};

// HKLM "CloseConfirm": -1 removes the value.
void SetCloseConfirm(int value);
int GetCloseConfirm();

}  // namespace wintest
