// ptdump: prints the partition table of a disk image (or a disk device) as
// read by CPartitionTable, one tab-separated row per partition.
//   ptdump <image or \\.\PhysicalDriveN>
// Columns: index, scheme (MBR/GPT), logical flag, type, start sector,
// sector count, file-system code, GPT name (UTF-8).
// Exit code 0 when the table was read, 1 when it was refused, 2 on usage.
#include <windows.h>
#include <cstdio>
#include <string>

#include "storage/DeviceIo.h"
#include "storage/PartitionTable.h"

static std::string ToUtf8(const std::wstring& s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), (int)s.size(), NULL, 0, NULL, NULL);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.c_str(), (int)s.size(), &out[0], n, NULL, NULL);
    return out;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ptdump <disk image>\n");
        return 2;
    }
    HANDLE h = OpenRawReadOnly(argv[1], FILE_ATTRIBUTE_READONLY);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "ptdump: cannot open (error %lu)\n", GetLastError());
        return 1;
    }
    CPartitionTable table;
    int ok = table.ReadFromHandle(h);
    printf("index\tscheme\tlogical\ttype\tstart\tcount\tfs\tname\n");
    for (int i = 0; i < table.GetCount(); ++i) {
        const CPartitionInfo* p = table.GetAt(i);
        int fs = p->m_nType;
        if (p->m_nScheme == CPartitionTable::SCHEME_MBR) {
            fs = 0;
            unsigned char* bs = table.ReadSectors(h, p->m_StartSector, 1);
            if (bs) {
                fs = DetectFileSystem(bs);
                delete[] bs;
            }
        }
        printf("%d\t%s\t%d\t%d\t%llu\t%llu\t%d\t%s\n", i, p->m_nScheme == 2 ? "GPT" : "MBR",
               p->m_bLogical ? 1 : 0, p->m_nType, (unsigned long long)p->m_StartSector,
               (unsigned long long)p->m_SectorCount, fs, ToUtf8(p->m_strName).c_str());
    }
    if (table.UsedBackupGpt())
        fprintf(stderr, "ptdump: primary GPT damaged, backup used\n");
    CloseHandle(h);
    return ok ? 0 : 1;
}
