// One entry of a ZIP archive held in memory, read through minizip.
#pragma once

#include <cstdint>
#include <vector>

namespace riff {

// Reads the entry called name (exact, case-sensitive) of the archive in
// data[0, size) into out. False when the archive cannot be opened, the entry
// is missing, damaged (bad data or checksum), or declares more than maxBytes
// uncompressed bytes: such an entry is refused, not inflated.
bool ReadZipEntry(const unsigned char* data, uint64_t size, const char* name, uint64_t maxBytes,
                  std::vector<unsigned char>* out);

}  // namespace riff
