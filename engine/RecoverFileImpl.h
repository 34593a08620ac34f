// Pieces the found-file readers share: the sinks their bytes go to, the
// stream of a preview, and the copy buffer size.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/RecoverFile.h"

namespace recoverimpl {

// Bytes moved per read and per write. Large enough that a big file costs few
// system calls; a multiple of every cluster size up to 4 MiB.
const DWORD kCopyChunk = 4u << 20;
// Room past a chunk for the rest of a file's last cluster, read with it.
const DWORD kCopyChunkSlack = 64u << 10;

// The buffer a copy works in: the run's, kept from file to file, when there
// is a run; else one of its own for this copy. Get() is null when the memory
// cannot be had (or nothing was asked for).
class CCopyBuffer
{
public:
    CCopyBuffer(CRecoverSession* session, DWORD bytes)
    {
        if (bytes == 0)
            return;
        if (session)
        {
            m_p = session->CopyBuffer(bytes);
            m_size = m_p ? session->CopyBufferSize() : 0;
            return;
        }
        m_own.reset(new (std::nothrow) BYTE[bytes]);
        m_p = m_own.get();
        m_size = m_p ? bytes : 0;
    }
    BYTE* Get() const { return m_p; }
    DWORD Size() const { return m_size; }

private:
    std::unique_ptr<BYTE[]> m_own;
    BYTE* m_p = nullptr;
    DWORD m_size = 0;
};

// Message-box keys, kept as Base64 text as everywhere in the program.
extern const char kKeyErrorAccessLostPartition[];
extern const char kKeyErrorWhenRecover[];
extern const char kKeyFileRecordParseErr[];
extern const char kKeyNotSupportCompressed[];
extern const char kKeyNotSupportEncrypted[];
extern const char kKeyReadDataErr[];
extern const char kKeyNotCompleteRestore[];
extern const char kKeyDeviceGone[];

// The output file as a sink.
class CFileSink : public IRecoverSink
{
public:
    explicit CFileSink(CRecoverOutput& output) : m_output(output) {}
    bool Put(const void* data, DWORD bytes) override { return m_output.Write(data, bytes); }

private:
    CRecoverOutput& m_output;
};

// A memory stream for previews: `size` zeroed bytes of movable global memory
// that the stream frees on release, written from its start.
class CStreamSink : public IRecoverSink
{
public:
    CStreamSink() {}
    ~CStreamSink();
    bool Create(uint64_t size);
    bool Put(const void* data, DWORD bytes) override;
    // Hands the stream over (null when none); the sink no longer holds it.
    IStream* Detach();

private:
    IStream* m_pStream = nullptr;
};

// The writing side of a failed sink: target full, else write error.
RecoverResult WriteFailure(DWORD error);

// Whether the device a recovery reads from still answers. The code of a
// failed read cannot tell a bad sector from a device that was pulled (a
// removed USB disk and a sector that will not read may answer alike), so the
// device is asked again for sectors it gave before: its boot sector (or the
// first sector of the device) and the last place that read well. When none
// of them reads any more, the device is gone.
class CDeviceProbe
{
public:
    CDeviceProbe(HANDLE device, uint64_t knownOffset) : m_hDevice(device), m_u64Known(knownOffset) {}
    // A device offset that has just been read well.
    void ReadWell(uint64_t offset)
    {
        m_u64LastGood = offset;
        m_bLastGood = true;
    }
    bool StillAnswers() const;

private:
    HANDLE m_hDevice;
    uint64_t m_u64Known;
    uint64_t m_u64LastGood = 0;
    bool m_bLastGood = false;
};

// What the reading again of one file's failed spans has found and spent.
struct RereadState
{
    bool anyRead = false;          // some bytes of the file came from the device
    uint64_t unreadable = 0;       // pieces written as zeros
    uint64_t unreadableBytes = 0;  // their bytes
    uint64_t failedReads = 0;      // reads that failed, and the time they took
    DWORD failedMs = 0;
    DWORD error = 0;               // code of the last failed read

    // A bad run is skipped over and its end narrowed down while the failed
    // reads have cost at most kRereadBaseMs plus kRereadMsPerMiB for every
    // MiB given up as unreadable; past that, the rest of a failed span is
    // given up unread, one failed read per span.
    bool OverBudget() const { return failedMs > kRereadBaseMs + kRereadMsPerMiB * (unreadableBytes >> 20); }
    static const DWORD kRereadBaseMs = 30000;
    static const DWORD kRereadMsPerMiB = 10000;
};

// After a failed read of `span` bytes into `buffer`: the span again piece by
// piece (`pieceAt(at)` is the length of the piece at `at`, `read(at, bytes)`
// reads it into buffer + at). A piece that fails while the device still
// answers (`gone()` false) is bad: written as zeros, and the pieces after it
// are tried in growing steps (1, 2, 4, ... pieces on) until one reads, then
// the end of the bad run is narrowed down between the two, so that a bad run
// costs a few reads and every readable piece around it is kept. Returns
// kRecoverOk, kRecoverStopped, or kRecoverDeviceGone.
template <class PieceAt, class Read, class Gone>
RecoverResult RereadPieces(BYTE* buffer, DWORD span, PieceAt pieceAt, Read read, Gone gone, const volatile int* stop,
                           RereadState& state)
{
    std::vector<DWORD> starts;  // piece starts, then the span's end
    for (DWORD at = 0; at < span;)
    {
        starts.push_back(at);
        const DWORD piece = pieceAt(at);
        at += piece ? piece : span - at;
    }
    starts.push_back(span);
    const size_t n = starts.size() - 1;
    // 1 read, 0 bad, -1 the device is gone.
    auto tryPiece = [&](size_t i) -> int {
        SetLastError(0);
        const DWORD t0 = GetTickCount();
        if (read(starts[i], starts[i + 1] - starts[i]))
        {
            state.anyRead = true;
            return 1;
        }
        state.error = GetLastError();
        state.failedMs += GetTickCount() - t0;
        ++state.failedReads;
        return gone() ? -1 : 0;
    };
    auto zero = [&](size_t from, size_t to) {
        memset(buffer + starts[from], 0, starts[to] - starts[from]);
        state.unreadable += to - from;
        state.unreadableBytes += starts[to] - starts[from];
    };
    for (size_t i = 0; i < n;)
    {
        if (stop && *stop)
            return kRecoverStopped;
        int r = tryPiece(i);
        if (r > 0)
        {
            ++i;
            continue;
        }
        if (r < 0)
            return kRecoverDeviceGone;
        // Piece i is bad. lo: the last piece known bad; hi: the first known
        // to read after it (n: none in this span).
        size_t lo = i, hi = n;
        for (size_t step = 1; lo + 1 < n && !state.OverBudget(); step *= 2)
        {
            if (stop && *stop)
                return kRecoverStopped;
            const size_t j = std::min(lo + step, n - 1);
            r = tryPiece(j);
            if (r < 0)
                return kRecoverDeviceGone;
            if (r > 0)
            {
                hi = j;
                break;
            }
            lo = j;
        }
        while (hi < n && hi - lo > 1 && !state.OverBudget())
        {
            if (stop && *stop)
                return kRecoverStopped;
            const size_t mid = lo + (hi - lo) / 2;
            r = tryPiece(mid);
            if (r < 0)
                return kRecoverDeviceGone;
            (r > 0 ? hi : lo) = mid;
        }
        // Everything before the first piece known to read is given up.
        zero(i, hi);
        i = hi;
    }
    return kRecoverOk;
}

}  // namespace recoverimpl
