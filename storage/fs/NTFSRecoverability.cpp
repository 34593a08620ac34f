#include "storage/fs/NTFSRecoverability.h"

#include <vector>

#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSVolume.h"

namespace {
const DWORD kChunk = 64 * 1024;

// Share (0..100) of the run's bitmap bytes in which none of its clusters is
// in use. `bitmap` is the $DATA of $Bitmap.
int FreePercent(const CAttrBase* bitmap, ULONGLONG lcn, ULONGLONG count) {
  if (lcn == (ULONGLONG)-1) return 100;  // sparse: nothing on disk to lose
  if (!bitmap) return 0;
  const ULONGLONG bitmapBytes = bitmap->GetDataSize();
  const ULONGLONG firstByte = lcn / 8;
  // A run that starts past the bitmap starts past the volume: nothing of it
  // can be read back.
  if (firstByte >= bitmapBytes) return 0;
  if (count == 0) return 100;
  const unsigned bit = (unsigned)(lcn % 8);
  const ULONGLONG head = 8 - bit;
  auto byteCount = [&](ULONGLONG n, ULONGLONG* tailOut) {
    ULONGLONG middle = 0, tail = 0;
    if (n > head) {
      middle = (n - head) / 8;
      tail = (n - head) % 8;
    }
    if (tailOut) *tailOut = tail;
    return middle + 1 + (tail > 0 ? 1 : 0);
  };
  const ULONGLONG allBytes = byteCount(count, nullptr);
  // Only the part of the run inside the bitmap is looked at; the rest counts
  // as lost.
  ULONGLONG clipped = count;
  const ULONGLONG bitmapBits = bitmapBytes >= (1ull << 60) ? (1ull << 63) : bitmapBytes * 8;
  const ULONGLONG room = bitmapBits - lcn;
  if (clipped > room) clipped = room;
  ULONGLONG tail = 0;
  const ULONGLONG bytes = byteCount(clipped, &tail);

  std::vector<BYTE> buf((size_t)(bytes < kChunk ? bytes : kChunk));
  ULONGLONG zero = 0;
  for (ULONGLONG done = 0; done < bytes;) {
    DWORD want = (DWORD)(bytes - done < kChunk ? bytes - done : kChunk);
    DWORD got = 0;
    if (!bitmap->ReadData(firstByte + done, buf.data(), want, &got) || got != want) return 0;
    for (DWORD i = 0; i < want; ++i) {
      BYTE b = buf[i];
      ULONGLONG at = done + i;
      if (bytes == 1) {
        b &= (BYTE)((0xFF >> (8 - clipped)) << bit);
      } else {
        if (at == 0) b &= (BYTE)(0xFF << bit);
        if (at == bytes - 1 && tail > 0) b &= (BYTE)(0xFF >> (8 - tail));
      }
      if (b == 0) ++zero;
    }
    done += want;
  }
  return (int)(zero * 100 / allBytes);
}

struct BitmapFile {
  explicit BitmapFile(CNTFSVolume* volume) : rec(volume) {
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    if (volume && rec.LoadRecord(6) && rec.LoadAttributes()) data = rec.FindDataStream(nullptr);
  }
  CFileRecord rec;
  const CAttrBase* data = nullptr;
};
}  // namespace

int GetFreeClusterPercent(CNTFSVolume* volume, ULONGLONG lcn, ULONGLONG count) {
  if (lcn == (ULONGLONG)-1) return 100;
  BitmapFile bm(volume);
  if (!bm.data) return 0;
  return FreePercent(bm.data, lcn, count);
}

int EstimateNtfsRecoverability(CNTFSVolume* volume, const CAttrNonResident* data) {
  if (!data) return 0;
  if (!data->IsDataValid()) return 100;
  const CSList<tagDataRun_Entry>& runs = data->GetDataRunList();
  if (runs.GetCount() == 0) return 0;
  // A size past what the runs map (sparse runs included) cannot be read
  // back: the record is damaged, however free its clusters are.
  const ULONGLONG cluster = volume ? volume->GetClusterSize() : 0;
  if (cluster) {
    ULONGLONG mapped = 0;
    runs.ForEach([&](tagDataRun_Entry* r) {
      mapped = r->clusters > ~0ull - mapped ? ~0ull : mapped + r->clusters;
    });
    if (mapped <= ~0ull / cluster && data->GetDataSize() > mapped * cluster) return 0;
  }
  BitmapFile bm(volume);  // loaded once for all runs
  ULONGLONG sum = 0;
  runs.ForEach([&](tagDataRun_Entry* r) {
    sum += bm.data || r->lcn == -1 ? FreePercent(bm.data, (ULONGLONG)r->lcn, r->clusters) : 0;
  });
  return (int)(sum / runs.GetCount());
}
