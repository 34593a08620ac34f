// Cached random-access reader over a physical disk, a volume or a file.
//
// The file-type plug-ins receive a pointer to the program's reader and work
// on its fields directly, so the field order and widths below are part of
// the plug-in contract: never reorder, resize or insert a field.
//
// The cursor operations (SeekTo, Skip, SavePosition, RestorePosition,
// SeekFromSaved, GetWindowRemaining, GetSavedWindowRemaining, IsEnd) are
// defined in storage/DiskMappingPointer.cpp for the program; a plug-in
// compiles its own copies of them against this same declaration.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <cstddef>

class CDeviceHealth;

class CDiskMappingPointer
{
public:
    // Path form: opens the path (device or file) read-only itself.
    CDiskMappingPointer(const wchar_t* path, unsigned __int64 start, int bDevice,
                        unsigned __int64 windowSize, unsigned int unitSize,
                        unsigned __int64 endOffset);
    // Handle form: reads through a handle the caller owns and closes.
    CDiskMappingPointer(HANDLE hFile, unsigned __int64 start, int bDevice,
                        unsigned __int64 windowSize, unsigned int unitSize,
                        unsigned __int64 endOffset);
    virtual ~CDiskMappingPointer();

    int SeekTo(unsigned __int64 offset);
    int Skip(unsigned __int64 count);
    unsigned char* GetPointer() const { return m_pBuffer + m_CurrentPos; }
    unsigned __int64 GetPosition() const { return m_Base + m_CurrentPos; }
    unsigned __int64 GetTotalSize() const { return m_Limit; }
    int IsEnd() const;

    void SavePosition();
    unsigned __int64 GetSavedPosition() const { return m_SavedBase + m_SavedPos; }
    int SeekFromSaved(unsigned __int64 offset);
    unsigned __int64 RestorePosition();
    unsigned __int64 GetWindowRemaining() const;
    unsigned __int64 GetSavedWindowRemaining() const;

    void SaveBufferStart();
    void RestoreBufferStart();
    void ReadNext();
    BOOL ReadBuffer();

    // What the reads of this reader's device have shown (storage/DeviceHealth.h).
    // It is kept beside the reader, not in it: the fields below are the
    // plug-ins'. A read that fails is taken apart through it: what reads is
    // kept, what does not is zeros, and the device is asked again before it
    // is taken for gone. The caller keeps the record alive while it is set;
    // null detaches it. A reader without one keeps a record of its own from
    // its first failed read on.
    void SetHealth(CDeviceHealth* health);
    CDeviceHealth* GetHealth() const;

    // 0 after a read that brought every byte the device could give (a bad
    // stretch inside it is zeros and in the health record); the code of the
    // failed read when nothing of it could be read, the device is gone, or
    // the time for failed reads is used up.
    DWORD GetError() const { return m_dwLastError; }
    void SetError(DWORD code) { m_dwLastError = code; }

    IStream* CreateStream();

public:
    // ---- plug-in contract: order and widths fixed ----
    unsigned __int64 m_EndOffset;    // end given to the constructor, unit-aligned; 0 = none
    unsigned __int64 m_WindowSize;   // bytes per window (one read)
    HANDLE m_hFile;                  // handle all reads go through
    HANDLE m_hFile2;                 // second handle on the path (path form), never read
    unsigned int m_uUnitSize;        // sector size, a power of two
    int m_bHalf;                     // 1: next ReadNext fills the upper half
    int m_bOwnHandles;               // 1 when the reader opened its handles
    unsigned char* m_pBuffer;        // start of the current window
    unsigned __int64 m_Limit;        // size of the source, 0 when unknown
    DWORD m_dwLastError;             // error code of the last open or read
    unsigned __int64 m_Base;         // source offset of m_pBuffer[0]
    unsigned __int64 m_CurrentPos;   // cursor inside the window
    unsigned __int64 m_Mark;         // m_CurrentPos at the last successful seek
    unsigned char* m_pBufferStart;   // start of the double buffer (SaveBufferStart)
    unsigned __int64 m_SavedBase;
    unsigned __int64 m_SavedPos;
    unsigned __int64 m_SavedMark;

private:
    CDiskMappingPointer(const CDiskMappingPointer&);
    CDiskMappingPointer& operator=(const CDiskMappingPointer&);

    void Init(unsigned __int64 start, int bDevice, unsigned __int64 windowSize,
              unsigned int unitSize, unsigned __int64 endOffset);
    BOOL ReadWindowAt(unsigned __int64 base);
};

// Layout checks: the plug-ins are built against these offsets.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#if defined(_WIN64)
static_assert(offsetof(CDiskMappingPointer, m_EndOffset) == 8, "layout");
static_assert(offsetof(CDiskMappingPointer, m_WindowSize) == 16, "layout");
static_assert(offsetof(CDiskMappingPointer, m_hFile) == 24, "layout");
static_assert(offsetof(CDiskMappingPointer, m_hFile2) == 32, "layout");
static_assert(offsetof(CDiskMappingPointer, m_uUnitSize) == 40, "layout");
static_assert(offsetof(CDiskMappingPointer, m_bHalf) == 44, "layout");
static_assert(offsetof(CDiskMappingPointer, m_bOwnHandles) == 48, "layout");
static_assert(offsetof(CDiskMappingPointer, m_pBuffer) == 56, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Limit) == 64, "layout");
static_assert(offsetof(CDiskMappingPointer, m_dwLastError) == 72, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Base) == 80, "layout");
static_assert(offsetof(CDiskMappingPointer, m_CurrentPos) == 88, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Mark) == 96, "layout");
static_assert(offsetof(CDiskMappingPointer, m_pBufferStart) == 104, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedBase) == 112, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedPos) == 120, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedMark) == 128, "layout");
static_assert(sizeof(CDiskMappingPointer) == 136, "layout");
#else
static_assert(offsetof(CDiskMappingPointer, m_EndOffset) == 8, "layout");
static_assert(offsetof(CDiskMappingPointer, m_WindowSize) == 16, "layout");
static_assert(offsetof(CDiskMappingPointer, m_hFile) == 24, "layout");
static_assert(offsetof(CDiskMappingPointer, m_hFile2) == 28, "layout");
static_assert(offsetof(CDiskMappingPointer, m_uUnitSize) == 32, "layout");
static_assert(offsetof(CDiskMappingPointer, m_bHalf) == 36, "layout");
static_assert(offsetof(CDiskMappingPointer, m_bOwnHandles) == 40, "layout");
static_assert(offsetof(CDiskMappingPointer, m_pBuffer) == 44, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Limit) == 48, "layout");
static_assert(offsetof(CDiskMappingPointer, m_dwLastError) == 56, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Base) == 64, "layout");
static_assert(offsetof(CDiskMappingPointer, m_CurrentPos) == 72, "layout");
static_assert(offsetof(CDiskMappingPointer, m_Mark) == 80, "layout");
static_assert(offsetof(CDiskMappingPointer, m_pBufferStart) == 88, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedBase) == 96, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedPos) == 104, "layout");
static_assert(offsetof(CDiskMappingPointer, m_SavedMark) == 112, "layout");
static_assert(sizeof(CDiskMappingPointer) == 120, "layout");
#endif
#pragma GCC diagnostic pop
