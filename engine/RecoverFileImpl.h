// Pieces the found-file readers share: the sinks their bytes go to, the
// stream of a preview, and the copy buffer size.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <memory>
#include <new>

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

// Read errors that mean the device itself is gone, not some bad sectors.
inline bool IsDeviceGoneError(DWORD error)
{
    return error == ERROR_FILE_INVALID || error == ERROR_INVALID_HANDLE || error == ERROR_NOT_READY;
}

// After a failed read of `span` bytes into `buffer`: the span again piece by
// piece (`pieceAt(at)` is the length of the piece at `at`, `read(at, bytes)`
// reads it), a piece that still fails written as zeros and counted in
// *unreadable. A long run of failing pieces gives the rest of the span up as
// zeros unread, so that a dying drive costs a bounded number of reads per
// span. Returns kRecoverOk, kRecoverStopped, or kRecoverReadError when the
// device is gone (*error says why).
const DWORD kMaxFailedPiecesInARow = 64;
template <class PieceAt, class Read>
RecoverResult RereadPieces(BYTE* buffer, DWORD span, PieceAt pieceAt, Read read, const volatile int* stop,
                           bool* anyRead, uint64_t* unreadable, DWORD* error)
{
    DWORD failedInARow = 0;
    for (DWORD at = 0; at < span;)
    {
        if (stop && *stop)
            return kRecoverStopped;
        const DWORD piece = pieceAt(at);
        if (failedInARow < kMaxFailedPiecesInARow)
        {
            SetLastError(0);
            if (read(at, piece))
            {
                *anyRead = true;
                failedInARow = 0;
                at += piece;
                continue;
            }
            const DWORD e = GetLastError();
            if (IsDeviceGoneError(e))
            {
                *error = e;
                return kRecoverReadError;
            }
            ++failedInARow;
        }
        memset(buffer + at, 0, piece);
        ++*unreadable;
        at += piece;
    }
    return kRecoverOk;
}

}  // namespace recoverimpl
