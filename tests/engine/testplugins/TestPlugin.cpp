// Small plug-ins that drive the carving engine's side of the plug-in contract
// on synthetic records. One source, several DLLs: TP_NAME and TP_MAGIC name
// each one, TP_* flags pick its quirks (see CMakeLists.txt).
//
// Record read by GetRawFileInfo (little-endian): 0 magic(8), 8 length (int64),
// 16 options (1 reject, 2 valid 0, 4 no valid flag, 8 no length flag),
// 20 extension bytes (copied as the 21-byte format field).
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "plugins/common/PluginContract.h"
#include "storage/DiskMappingPointer.h"

static const char kName[] = TP_NAME;
static const char kMagic[] = TP_MAGIC;
static const unsigned kMagicLen = sizeof(kMagic) - 1;

#ifndef TP_NOFORMAT
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetSupportFormat(char* formatName)
{
    // Exactly 20 characters leave no NUL in the field: the program must cope.
    memset(formatName, 0, FORMAT_NAME_SIZE);
    memcpy(formatName, kName, strlen(kName) < 20 ? strlen(kName) : 20);
    return 1;
}
#endif

DELVARO_PLUGIN_DATA(IsFileSigSimple, TP_CHECK ? 0 : 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, TP_ATONCE);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

// The check variant also wants "DLVEND" 1000 bytes after its start, so a
// match near a window's end depends on the bytes of the next window.
static int DELVARO_CDECL CheckRecord(const unsigned char* data)
{
    return memcmp(data, kMagic, kMagicLen) == 0 && memcmp(data + 1000, "DLVEND", 6) == 0;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out)
{
    if (TP_CHECK)
    {
        *(FileSignCheckProc*)out = CheckRecord;
        return 1;
    }
    FileSignRecord* rec = (FileSignRecord*)out;
    memcpy(rec->signature, kMagic, kMagicLen);
    rec->count = TP_LONGSIGN ? FILE_SIGN_MAX : kMagicLen;  // too long: must be ignored
    return 1;
}

#ifndef TP_NOATONCE_EXPORT
DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char* data)
{
    int64_t v = 0;
    if (TP_ATONCE)
        memcpy(&v, data + 8, 8);
    return v;
}
#endif

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader, RawFileInfo* info)
{
    if (!reader || !info || !reader->m_pBuffer || reader->m_CurrentPos + 64 > reader->m_WindowSize ||
        reader->m_Base + reader->m_CurrentPos + 64 > reader->m_Limit)
        return 0;
    const unsigned char* p = reader->m_pBuffer + reader->m_CurrentPos;
    uint32_t options;
    memcpy(&options, p + 16, 4);
    if (memcmp(p, kMagic, kMagicLen) != 0 || (options & 1))
        return 0;
    memcpy(&info->length, p + 8, 8);
    memcpy(info->format, p + 20, sizeof(info->format));
    info->valid = (options & 2) ? 0 : 1;
    info->flags |= RAWINFO_HAS_FORMAT | ((options & 8) ? 0 : RAWINFO_HAS_LENGTH) | ((options & 4) ? 0 : RAWINFO_HAS_VALID);
    return 1;
}
