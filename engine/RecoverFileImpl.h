// Pieces the found-file readers share: the sinks their bytes go to, the
// stream of a preview, and the copy buffer size.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <cstdint>

#include "engine/RecoverFile.h"

namespace recoverimpl {

// Bytes moved per read and per write. Large enough that a big file costs few
// system calls; a multiple of every cluster size up to 4 MiB.
const DWORD kCopyChunk = 4u << 20;

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

}  // namespace recoverimpl
