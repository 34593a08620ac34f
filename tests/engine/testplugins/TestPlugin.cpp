// Small plug-ins that exercise the carving engine's side of the plug-in
// contract on synthetic records. One source, several DLLs: the variant is
// chosen by TEST_PLUGIN_KIND.
//
// Record layout read by GetRawFileInfo (little-endian):
//   0  8  magic
//   8  8  length (signed 64-bit)
//  16  4  options: 1 reject, 2 valid 0, 4 no valid flag, 8 no length flag
//  20 32  extension bytes (copied as the 21-byte format field)
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "plugins/common/PluginContract.h"
#include "storage/DiskMappingPointer.h"

#define KIND_SIG 1
#define KIND_SIZE 2
#define KIND_CHECK 3
#define KIND_NOSIGN 4
#define KIND_NOATONCE 5
#define KIND_NOFORMAT 6
#define KIND_PLAIN 7
#define KIND_LONGNAME 8
#define KIND_ICON 9

#if TEST_PLUGIN_KIND == KIND_SIG
static const char kName[] = "FILE_TYPE_TSIG";
static const char kMagic[] = "DLVTSIG1";
#elif TEST_PLUGIN_KIND == KIND_SIZE
static const char kName[] = "FILE_TYPE_TSIZE";
static const char kMagic[] = "DLVSIZE1";
#elif TEST_PLUGIN_KIND == KIND_CHECK
static const char kName[] = "FILE_TYPE_TCHECK";
static const char kMagic[] = "DLVCHK";
#elif TEST_PLUGIN_KIND == KIND_NOSIGN
static const char kName[] = "FILE_TYPE_TNOSIGN";
static const char kMagic[] = "DLVNOSG1";
#elif TEST_PLUGIN_KIND == KIND_NOATONCE
static const char kName[] = "FILE_TYPE_TNOATONCE";
static const char kMagic[] = "DLVNOAT1";
#elif TEST_PLUGIN_KIND == KIND_NOFORMAT
static const char kName[] = "FILE_TYPE_TNOFORMAT";
static const char kMagic[] = "DLVNOFM1";
#elif TEST_PLUGIN_KIND == KIND_PLAIN
static const char kName[] = "FILE_TYPE_PLAIN";
static const char kMagic[] = "DLVPLAN1";
#elif TEST_PLUGIN_KIND == KIND_LONGNAME
static const char kName[] = "FILE_TYPE_ABCDEFGHIJ";  // exactly 20 characters
static const char kMagic[] = "DLVLONG1";
#elif TEST_PLUGIN_KIND == KIND_ICON
static const char kName[] = "FILE_TYPE_ICON";
static const char kMagic[] = "DLVICON1";
#else
#error unknown TEST_PLUGIN_KIND
#endif

static const unsigned kMagicLen = sizeof(kMagic) - 1;
// The check variant also wants this marker 1000 bytes after its start, so a
// match near a window's end depends on the bytes of the next window.
static const char kCheckTail[] = "DLVEND";
static const unsigned kCheckTailAt = 1000;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

#if TEST_PLUGIN_KIND != KIND_NOFORMAT
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetSupportFormat(char* formatName)
{
    memset(formatName, 0, FORMAT_NAME_SIZE);
    memcpy(formatName, kName, strlen(kName) < 20 ? strlen(kName) : 20);
    return 1;
}
#endif

#if TEST_PLUGIN_KIND == KIND_CHECK
DELVARO_PLUGIN_DATA(IsFileSigSimple, 0);
#else
DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
#endif

#if TEST_PLUGIN_KIND == KIND_SIZE || TEST_PLUGIN_KIND == KIND_NOATONCE
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 1);
#else
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
#endif
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

#if TEST_PLUGIN_KIND == KIND_CHECK
static int DELVARO_CDECL CheckRecord(const unsigned char* data)
{
    return memcmp(data, kMagic, kMagicLen) == 0 &&
           memcmp(data + kCheckTailAt, kCheckTail, sizeof(kCheckTail) - 1) == 0;
}
#endif

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out)
{
#if TEST_PLUGIN_KIND == KIND_CHECK
    *(FileSignCheckProc*)out = CheckRecord;
    return 1;
#else
    FileSignRecord* rec = (FileSignRecord*)out;
    memcpy(rec->signature, kMagic, kMagicLen);
#if TEST_PLUGIN_KIND == KIND_NOSIGN
    rec->count = FILE_SIGN_MAX;  // too long: the program must ignore it
#else
    rec->count = kMagicLen;
#endif
    return 1;
#endif
}

static int64_t ReadI64(const unsigned char* p)
{
    int64_t v;
    memcpy(&v, p, 8);
    return v;
}

// The no-signature variant also leaves out GetFileSizeAtOnce: with
// CanGetFileLenImmediately 0 the program must not need it.
#if TEST_PLUGIN_KIND != KIND_NOATONCE && TEST_PLUGIN_KIND != KIND_NOSIGN
DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char* data)
{
#if TEST_PLUGIN_KIND == KIND_SIZE
    return ReadI64(data + 8);
#else
    (void)data;
    return 0;
#endif
}
#endif

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader, RawFileInfo* info)
{
    if (!reader || !info || !reader->m_pBuffer)
        return 0;
    if (reader->m_CurrentPos + 64 > reader->m_WindowSize)
        return 0;
    if (reader->m_Base + reader->m_CurrentPos + 64 > reader->m_Limit)
        return 0;
    const unsigned char* p = reader->m_pBuffer + reader->m_CurrentPos;
    if (memcmp(p, kMagic, kMagicLen) != 0)
        return 0;
    int64_t length = ReadI64(p + 8);
    uint32_t options;
    memcpy(&options, p + 16, 4);
    if (options & 1)
        return 0;
    if (!(options & 8))
    {
        info->length = (uint64_t)length;
        info->flags |= RAWINFO_HAS_LENGTH;
    }
    memcpy(info->format, p + 20, sizeof(info->format));
    info->flags |= RAWINFO_HAS_FORMAT;
    info->valid = (options & 2) ? 0 : 1;
    if (!(options & 4))
        info->flags |= RAWINFO_HAS_VALID;
    return 1;
}
