#include "engine/NtfsWalk.h"

#include <cstdio>
#include <cstring>

#include "engine/DeviceProbe.h"
#include "engine/ScanWalkHost.h"
#include "storage/DeviceIo.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"

namespace ntfswalk
{
bool IsFileRecord(const BYTE* raw) { return raw && memcmp(raw, "FILE", 4) == 0; }
bool IsInUse(const BYTE* raw) { return (Le16(raw + 22) & 1) != 0; }
bool IsDirectoryRecord(const BYTE* raw) { return (Le16(raw + 22) & 2) != 0; }
WORD SequenceOf(const BYTE* raw) { return Le16(raw + 16); }
ULONGLONG BaseRecordOf(const BYTE* raw) { return Le64(raw + 32) & kRecordMask; }
WORD NextSequence(WORD seq) { return seq == 0xFFFF ? 1 : (WORD)(seq + 1); }

std::wstring ModificationTimeText(const CFileRecord& record)
{
    FILETIME modified = {};
    record.GetFileTimes(&modified);
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&modified, &st))
        memset(&st, 0, sizeof(st));
    wchar_t text[64];
    _snwprintf(text, 63, L"%04d-%02d-%02d  %02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    text[63] = 0;
    return text;
}

void SetUpProbe(CNTFSVolume* volume, CDeviceProbe& probe)
{
    probe.SetDevice(volume->GetHandle(), volume->GetSectorSize());
    probe.Good(volume->GetPartitionOffset());
    ULONGLONG at = 0;
    if (volume->GetRecordPosition(0, &at))
        probe.Good(at);
}

bool PassUnreadableRecord(CNTFSVolume* volume, ULONGLONG n, CDeviceProbe& probe, IScanWalkHost& host)
{
    ULONGLONG at = 0;
    if (!volume->GetRecordPosition(n, &at))
        at = volume->GetPartitionOffset();
    return probe.NoteFailedRead(host, at, volume->GetFileRecordSize());
}

bool ParentOf(const CFileRecord& record, ULONGLONG* parent, WORD* parentSeq)
{
    const CAttrBase* attr = record.FindFirstAttr(ATTR_TYPE_FILE_NAME);
    const CAttr_FileName* fn = static_cast<const CAttr_FileName*>(attr);
    if (!fn || !fn->GetFileNameValue())
        return false;
    *parent = fn->GetParentRecord() & kRecordMask;
    *parentSeq = fn->GetParentSequence();
    return true;
}
}  // namespace ntfswalk

CMftRecordReader::CMftRecordReader(CNTFSVolume* volume, uint32_t batch)
    : m_pVolume(volume), m_first(0), m_count(0), m_batch(batch ? batch : 1), m_size(0), m_records(0)
{
    if (volume && volume->IsVolumeOK())
    {
        m_size = volume->GetFileRecordSize();
        m_records = volume->GetRecordCount();
    }
}

const BYTE* CMftRecordReader::Get(ULONGLONG n)
{
    if (!m_size)
        return nullptr;
    if (m_count && n >= m_first && n < m_first + m_count)
        return m_buf.data() + (size_t)(n - m_first) * m_size;
    m_count = 0;
    CAttrBase* mft = m_pVolume->GetMFTData();
    if (mft && n >= 16 && n < m_records)
    {
        // A batch through the MFT's data runs; records past the MFT's end
        // are never asked for.
        uint32_t want = m_batch;
        if (m_records - n < want)
            want = (uint32_t)(m_records - n);
        m_buf.resize((size_t)want * m_size);
        DWORD got = 0;
        if (mft->ReadData(n * m_size, m_buf.data(), want * m_size, &got) && got >= m_size)
        {
            m_first = n;
            m_count = got / m_size;
            return m_buf.data();
        }
    }
    m_buf.resize(m_size);
    if (!m_pVolume->ReadRawRecord(n, m_buf.data()))
        return nullptr;
    m_first = n;
    m_count = 1;
    return m_buf.data();
}

CNtfsFolderCache::CNtfsFolderCache(CNTFSVolume* volume) : m_pVolume(volume), m_rec(volume)
{
}

const NtfsFolderInfo& CNtfsFolderCache::Get(ULONGLONG record)
{
    auto it = m_map.find(record);
    if (it != m_map.end())
        return it->second;
    NtfsFolderInfo info = {false, false, 0, (ULONGLONG)-1, 0, std::wstring()};
    m_rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME));
    if (m_rec.LoadRecord(record) && m_rec.LoadAttributes() && m_rec.IsDirectory())
    {
        wchar_t name[kNtfsMaxName + 1];
        int n = m_rec.GetFileName(name, kNtfsMaxName + 1);
        if (n > 0)
        {
            info.name.assign(name, n);
            info.isFolder = true;
            info.inUse = !m_rec.IsDeleted();
            info.seq = m_rec.GetSequenceNumber();
            ntfswalk::ParentOf(m_rec, &info.parent, &info.parentSeq);
        }
    }
    return m_map.emplace(record, info).first->second;
}

bool CNtfsFolderCache::Matches(const NtfsFolderInfo& folder, WORD seq)
{
    if (seq == 0)
        return true;
    if (folder.inUse)
        return folder.seq == seq;
    return folder.seq == seq || folder.seq == ntfswalk::NextSequence(seq);
}

CFolderPath::Ptr CNtfsPathTree::Under(const CFolderPath::Ptr& parent, ULONGLONG record, const std::wstring& name)
{
    CFolderPath::Ptr& node = m_nodes[std::make_pair(parent.get(), record)];
    if (!node)
        node = CFolderPath::Child(parent, name);
    return node;
}
