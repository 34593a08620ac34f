// The disk page's partition scan control: the engine's control behind the
// window's seam.
#include "app/MainFrame.h"
#include "app/Services.h"
#include "engine/PartitionScanControl.h"

namespace {

class CPartitionScanSeam : public IPartitionScanControl
{
public:
    explicit CPartitionScanSeam(CMainFrame* frame) : m_control(frame) {}
    ~CPartitionScanSeam() override { m_control.StopSearch(); }
    void ResetScan(bool keepDisk) override { m_control.ResetScan(keepDisk); }
    void ClearLostPartitions() override { m_control.ClearLostPartitions(); }
    void SetDisk(int diskNumber, CPhysicalDiskInfo* disk) override { m_control.SetDisk(diskNumber, disk); }
    void SetReportWindow(HWND window) override { m_control.SetSearchWindow(window); }
    bool QuickParsePartition(const std::vector<CVolumeInfo*>& volumes) override
    {
        return m_control.QuickParsePartition(volumes);
    }
    int GetLostPartitionCount() override { return (int)m_control.GetLostPartitions().size(); }
    CPartitionInfo* GetLostPartition(int index) override
    {
        const std::vector<CPartitionInfo*> list = m_control.GetLostPartitions();
        return index >= 0 && index < (int)list.size() ? list[index] : nullptr;
    }
    std::wstring GetPartitionLabel(const CPartitionInfo* partition) override
    {
        return partition ? partition->m_strName : std::wstring();
    }
    bool StartPartitionScan(CPartitionInfo* partition) override { return m_control.StartPartitionScan(partition); }
    bool StartLostPartitionSearch() override { return m_control.StartLostPartitionSearch(); }
    bool IsRunning() override { return m_control.IsRunning(); }
    bool IsPaused() override { return m_control.IsPaused(); }
    void PauseScan() override { m_control.PauseScan(); }
    void ResumeScan() override { m_control.ResumeScan(); }
    void StopSearch() override { m_control.StopSearch(); }
    CPartitionScanControl* GetControl() override { return &m_control; }

private:
    CPartitionScanControl m_control;
};

}  // namespace

IPartitionScanControl* NewPartitionScanControl(CMainFrame* frame)
{
    return new CPartitionScanSeam(frame);
}
