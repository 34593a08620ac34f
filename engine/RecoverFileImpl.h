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
extern const char kKeyErrorOpenVolume[];

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
// device is asked again for places it gave before: those that read well
// during the run (kept from file to file by the run, newest first), then the
// places known from the volume's open (its boot sector, the start of its
// MFT). One of them that reads is enough: a boot sector that has turned
// unreadable does not make a bad cluster a device that is gone. A place that
// no longer reads is forgotten. When none of them reads, the device is gone.
class CDeviceProbe
{
public:
    // `places`: the run's memory of places that read well (null: this probe's
    // own). `unit`: the device's sector size (0: unknown; 4 KiB is asked
    // first, then 512 bytes).
    CDeviceProbe(HANDLE device, uint64_t knownOffset, CGoodPlaces* places = nullptr, DWORD unit = 0)
        : m_hDevice(device), m_pPlaces(places ? places : &m_own), m_dwUnit(unit)
    {
        m_known.push_back(knownOffset);
    }
    // Another place known to have read (the volume's MFT).
    void AddKnown(uint64_t offset) { m_known.push_back(offset); }
    // A device offset that has just been read well.
    void ReadWell(uint64_t offset) { m_pPlaces->Add(offset); }
    bool StillAnswers();

private:
    CDeviceProbe(const CDeviceProbe&) = delete;
    CDeviceProbe& operator=(const CDeviceProbe&) = delete;
    bool Answers(uint64_t offset, BYTE* sector) const;
    HANDLE m_hDevice;
    std::vector<uint64_t> m_known;
    CGoodPlaces m_own;
    CGoodPlaces* m_pPlaces;
    DWORD m_dwUnit;
};

// What the reading again of one file's failed spans has found and spent.
struct RereadState
{
    bool anyRead = false;          // some bytes of the file came from the device
    uint64_t unreadable = 0;       // pieces that failed to read, written as zeros
    uint64_t unreadableBytes = 0;  // their bytes
    uint64_t notRead = 0;          // pieces given up unread when the time ran out, written as zeros
    uint64_t notReadBytes = 0;     // their bytes
    uint64_t failedReads = 0;      // reads that failed, and the time they took
    DWORD failedMs = 0;
    DWORD error = 0;               // code of the last failed read

    // Failed reads may cost kRereadBaseMs plus kRereadMsPerMiB for every MiB
    // found unreadable; past that, what is still unknown of a failed span is
    // given up unread (not read, which is not the same as unreadable).
    bool OverBudget() const { return failedMs > kRereadBaseMs + kRereadMsPerMiB * (unreadableBytes >> 20); }
    // A read of a whole chunk that failed (before its pieces are tried).
    void ChunkFailed(DWORD ms, DWORD code)
    {
        failedMs += ms;
        ++failedReads;
        error = code;
    }
    static const DWORD kRereadBaseMs = 30000;
    static const DWORD kRereadMsPerMiB = 10000;
};

// After a failed read of `span` bytes into `buffer`: the span again piece by
// piece (`pieceAt(at)` is the length of the piece at `at`, `read(at, bytes)`
// reads it into buffer + at). A piece that fails while the device still
// answers (`gone()` false) is bad. Past a bad piece the pieces are tried in
// growing steps (1, 2, 4, ... on) until one reads, and reading goes on from
// there, so that what follows a bad run is had first at the cost of a few
// reads. Then every piece jumped over is gone back to: each gap is read from
// both its ends inward until a read fails, then what is left of it piece by
// piece. Pieces that failed are unreadable, pieces the time did not allow
// are not read; both are written as zeros. Returns kRecoverOk,
// kRecoverStopped, or kRecoverDeviceGone.
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
    // Per piece: 1 read, -1 failed, 0 not tried.
    std::vector<signed char> known(n, 0);
    // The device is asked whether it still answers at the first failure and
    // then after every kProbeEvery failures: a long bad run does not cost a
    // question per piece, and a device that is gone is found a few failed
    // reads later.
    const uint64_t kProbeEvery = 16;
    uint64_t failuresUnasked = kProbeEvery;
    // 1 read, 0 bad, -1 the device is gone.
    auto tryPiece = [&](size_t i) -> int {
        SetLastError(0);
        const DWORD t0 = GetTickCount();
        if (read(starts[i], starts[i + 1] - starts[i]))
        {
            state.anyRead = true;
            known[i] = 1;
            return 1;
        }
        state.error = GetLastError();
        state.failedMs += GetTickCount() - t0;
        ++state.failedReads;
        known[i] = -1;
        state.unreadable += 1;
        state.unreadableBytes += starts[i + 1] - starts[i];
        if (++failuresUnasked < kProbeEvery)
            return 0;
        failuresUnasked = 0;
        return gone() ? -1 : 0;
    };
    // Forward, jumping over bad runs. Once the time is spent, a span is read
    // on only up to its first bad piece.
    bool failedHere = false;
    for (size_t i = 0; i < n && !(failedHere && state.OverBudget());)
    {
        if (stop && *stop)
            return kRecoverStopped;
        int r = tryPiece(i);
        if (r < 0)
            return kRecoverDeviceGone;
        if (r > 0)
        {
            ++i;
            continue;
        }
        failedHere = true;
        size_t lo = i, next = n;
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
                next = j + 1;
                break;
            }
            lo = j;
        }
        i = next;
    }
    // Back over what was jumped: every gap from both ends inward while the
    // reads work, then piece by piece.
    for (int pass = 0; pass < 2; ++pass)
    {
        for (size_t a = 0; a < n && !state.OverBudget();)
        {
            if (known[a] != 0)
            {
                ++a;
                continue;
            }
            size_t b = a;
            while (b < n && known[b] == 0)
                ++b;
            // The gap [a, b).
            for (size_t k = a; k < b && !state.OverBudget(); ++k)
            {
                if (stop && *stop)
                    return kRecoverStopped;
                const int r = tryPiece(k);
                if (r < 0)
                    return kRecoverDeviceGone;
                if (r == 0 && pass == 0)
                    break;
            }
            for (size_t k = b; pass == 0 && k > a && known[k - 1] == 0 && !state.OverBudget(); --k)
            {
                if (stop && *stop)
                    return kRecoverStopped;
                const int r = tryPiece(k - 1);
                if (r < 0)
                    return kRecoverDeviceGone;
                if (r == 0)
                    break;
            }
            a = b;
        }
    }
    for (size_t i = 0; i < n; ++i)
    {
        if (known[i] > 0)
            continue;
        memset(buffer + starts[i], 0, starts[i + 1] - starts[i]);
        if (known[i] == 0)
        {
            state.notRead += 1;
            state.notReadBytes += starts[i + 1] - starts[i];
        }
    }
    return kRecoverOk;
}

}  // namespace recoverimpl
