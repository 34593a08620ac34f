// Scan-result files ("*.dsr"): a scan result saved to disk and loaded again
// later without rescanning. The file names the scanned device and holds
// every found entry as a small LZSS-packed, byte-scrambled record. Three
// layouts, by the scan kind that made the result:
//
//   volume (kinds 0, 2, 3): "dsr0000K", "\\.\X:" + zero (14 bytes),
//       u64 volume length, u32 N, N packed FoundItemRecord
//   carving (kind 1): "dsr000001", u32 target kind (1 volume, 2 disk), the
//       device path with its zero unit (14 or 38 bytes), u64 length, u32 N,
//       N packed DeepScanHit
//   lost partition (kind 4): "dsr000004", "\\.\PhysicalDriveD" (36 bytes,
//       no zero unit), u64 disk length, u32 P, P bytes of the packed
//       PartitionDescriptor, u32 N, N packed FoundItemRecord
//
// A packed record is a u32 size S and S bytes: the LZSS encoding of the
// fixed-size record, every byte XOR-ed with the low byte of one unit of the
// program folder's path (record n uses unit n mod the path's length; the
// descriptor uses unit 0). Everything little-endian.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/FrameMessage.h"

class IMainFrameServices;
class CFoundItem;
class CVolumeInfo;

// The description of a scanned lost partition, stored packed in kind-4 files.
#pragma pack(push, 1)
struct PartitionDescriptor
{
    uint32_t uDiskNumber;
    uint32_t uSectorSize;
    uint32_t uActive;
    int32_t nType;           // FileSystemCode
    uint32_t uScheme;        // 1 MBR, 2 GPT, 0 found
    uint64_t u64Start;       // sectors
    uint64_t u64Length;      // sectors
    uint64_t u64Hidden;      // the boot sector lies at start + hidden
    wchar_t szLabel[260];    // label or name, zero-terminated, zero-filled
    wchar_t szSecond[260];   // GPT type text; empty for found partitions
};
#pragma pack(pop)
static_assert(sizeof(PartitionDescriptor) == 1084, "PartitionDescriptor is 1,084 bytes");
static_assert(offsetof(PartitionDescriptor, u64Start) == 20, "PartitionDescriptor layout");
static_assert(offsetof(PartitionDescriptor, u64Hidden) == 36, "PartitionDescriptor layout");
static_assert(offsetof(PartitionDescriptor, szLabel) == 44, "PartitionDescriptor layout");
static_assert(offsetof(PartitionDescriptor, szSecond) == 564, "PartitionDescriptor layout");

// LZSS over a 4,096-byte ring of spaces, matches of 3 to 18 bytes, binary
// search trees per first byte. Input and output are byte sources and sinks:
// memory, or a file read up to a given length.
class LzssCodec
{
public:
    enum { N = 4096, F = 18, THRESHOLD = 2, NIL = N };

    LzssCodec();
    ~LzssCodec();

    // Memory to memory: the bytes written, at most outCapacity (an encoding
    // that does not fit gives 0; a decoding stops at the capacity).
    size_t Encode(const BYTE* in, size_t length, BYTE* out, size_t outCapacity);
    size_t Decode(const BYTE* in, size_t length, BYTE* out, size_t outCapacity);
    // Memory to file and file to file; file to memory and file to file.
    // Reads from a file stop at length bytes. 0 on a failed write.
    size_t Encode(const BYTE* in, size_t length, HANDLE out);
    size_t Encode(HANDLE in, size_t length, HANDLE out);
    size_t Decode(HANDLE in, size_t length, BYTE* out, size_t outCapacity);
    size_t Decode(HANDLE in, size_t length, HANDLE out);

    // Largest encoding of length bytes: every byte a literal, one flag byte
    // per eight.
    static size_t WorstCase(size_t length) { return length + (length + 7) / 8; }

private:
    LzssCodec(const LzssCodec&);
    LzssCodec& operator=(const LzssCodec&);

    template <class Source, class Sink>
    size_t EncodeStream(Source& in, Sink& out);
    template <class Source, class Sink>
    size_t DecodeStream(Source& in, Sink& out);
    void InitTree();
    void InsertNode(int r);
    void DeleteNode(int p);

    BYTE* m_text;   // N + F - 1 bytes
    int* m_lson;    // N + 1
    int* m_rson;    // N + 257
    int* m_dad;     // N + 1
    int m_matchPosition;
    int m_matchLength;
};

// The scrambling key: the program folder's path as start-up keeps it.
std::wstring ScanResultKey();
// XORs every byte with the low byte of key unit (index mod key length).
void ScrambleRecord(BYTE* bytes, size_t length, uint32_t index, const std::wstring& key);

// Worst packed sizes of the three records.
const uint32_t kFoundRecordBytes = 1588;
const uint32_t kCarvedRecordBytes = 89;
const uint32_t kDescriptorBytes = 1084;

// The writers and readers. One object per save or load, run on the worker
// thread of the save or load dialog; progress goes to the dialog window as
// WMU_RecoverProgress (wParam done, lParam total). stop points at the
// dialog's stop flag.
class CScanResultFile
{
public:
    CScanResultFile(IMainFrameServices* frame, const wchar_t* path, const DialogTarget& dialog,
                    const std::atomic<bool>* stop);
    ~CScanResultFile();

    // Saves a result of kinds 0, 2, 3, 4 / of kind 1. False when nothing was
    // written: a failure after the file was made deletes it and says so; a
    // result that could not be read back is refused with a message first;
    // a save stopped by the user deletes its file silently.
    bool WriteScanResult();
    bool WriteDeepScanResult();

    // Load a result: kinds 0, 2, 3 / 1 / 4. False after an error message
    // (or a stop). A complete load ends with FinishLoad.
    // The frame's volume of a stored drive letter, null when it has none.
    CVolumeInfo* FindStoredVolume(wchar_t letter);
    bool ReadVolumeScanResult();
    bool ReadDeepScanResult();
    bool ReadDiskScanResult();
    void FinishLoad(uint32_t count);

    // Key of the message of the last failure (decoded), empty when none.
    const std::wstring& LastError() const { return m_strError; }

    // The kind digit of a result file ('0' + kind), -1 when it cannot be read.
    static int ReadKind(const wchar_t* path);

private:
    CScanResultFile(const CScanResultFile&);
    CScanResultFile& operator=(const CScanResultFile&);

    bool Stopped() const { return m_pStop && m_pStop->load(); }
    bool CreateOutput();
    bool Put(const void* bytes, DWORD count);
    bool Flush();
    // Packs, scrambles and writes one record with its size.
    bool PutPacked(const BYTE* record, size_t length, uint32_t index);
    // Writes the header (without its count), the count and every record
    // that record(i) gives (false ends the list early: the count is then
    // rewritten), and ends the save.
    bool SaveRecords(std::vector<BYTE> head, uint32_t total,
                     const std::function<bool(uint32_t, const BYTE**, size_t*)>& record);
    // Ends a save: closes, deletes the file unless it is complete.
    bool EndSave(bool complete, const char* failureKey);
    bool Get(void* bytes, DWORD count);
    // Reads one packed record into out (exactly length bytes when true;
    // *skip when it decoded to another length). False on a damaged record.
    bool GetPacked(BYTE* out, size_t length, uint32_t index, bool* skip);
    bool OpenInput(int expectedKind);
    bool OpenDevice(const std::wstring& path);
    // Shows the error box of a key (Base64) and remembers it; false.
    bool Fail(const char* key);
    // A damaged record: the frame's results are cleared first.
    bool FailDamaged();
    void Progress(uint32_t done, uint32_t total);
    bool ReadFoundRecords(uint32_t count);

    IMainFrameServices* m_pFrame;
    std::wstring m_strPath;
    DialogTarget m_dialog;
    const std::atomic<bool>* m_pStop;
    HANDLE m_hFile;
    int m_nKind;  // kind digit of the file being read
    ULONGLONG m_u64LastProgress;
    LzssCodec m_codec;
    std::wstring m_strKey;
    std::wstring m_strError;
    std::vector<BYTE> m_out;  // written, not yet flushed
    BYTE m_packed[kFoundRecordBytes * 10];
};

// One loaded FoundItemRecord as a found entry (texts bounded at 259).
CFoundItem* FoundItemFromRecord(const BYTE* record);
// Whether a stored device path is one the readers open: "\\.\" + a letter
// + ":" (units 6), or "\\.\PhysicalDrive" + a digit (units 18).
bool IsStoredVolumePath(const wchar_t* units, size_t count);
bool IsStoredDiskPath(const wchar_t* units, size_t count);
