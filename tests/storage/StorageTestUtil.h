// Shared helpers of the storage tests.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "storage/PartitionTable.h"

namespace storagetest {

inline HANDLE OpenForRead(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
}

// Held without write sharing: while it lives, any open of the file (under
// any name) for writing fails.
class CWriteBar
{
public:
    explicit CWriteBar(const std::wstring& path)
        : m_h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL)) {}
    ~CWriteBar() { CloseHandle(m_h); }
    HANDLE m_h;
};

// The partitions of a table, as "logical type start count name" each.
inline std::vector<std::wstring> RowsOf(const CPartitionTable& t)
{
    std::vector<std::wstring> rows;
    for (int i = 0; i < t.GetCount(); ++i) {
        const CPartitionInfo* p = t.GetAt(i);
        rows.push_back(std::to_wstring(p->m_bLogical ? 1 : 0) + L" " + std::to_wstring(p->m_nType) + L" " +
                       std::to_wstring(p->m_StartSector) + L" " + std::to_wstring(p->m_SectorCount) + L" " +
                       p->m_strName);
    }
    return rows;
}

// Reads (write false) or overwrites size bytes of a file at offset.
inline bool FileAt(const std::wstring& path, unsigned __int64 offset, void* data, DWORD size, bool write)
{
    HANDLE h = write ? CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL)
                     : OpenForRead(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)offset;
    DWORD n = 0;
    bool ok = SetFilePointerEx(h, li, NULL, FILE_BEGIN) &&
              (write ? WriteFile(h, data, size, &n, NULL) : ReadFile(h, data, size, &n, NULL)) && n == size;
    CloseHandle(h);
    return ok;
}

// Removes a folder of files.
inline void RemoveFolder(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    for (BOOL more = f != INVALID_HANDLE_VALUE; more; more = FindNextFileW(f, &fd))
        DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
    FindClose(f);
    RemoveDirectoryW(dir.c_str());
}

// A fresh temp folder, removed with its contents.
class CTempDir
{
public:
    CTempDir() : m_dir(testpaths::MakeTempDir(L"st")) {}
    ~CTempDir() { RemoveFolder(m_dir); }
    std::wstring m_dir;
};

// A private copy of a fixture (m_path empty when the copy failed).
class CFixtureCopy : public CTempDir
{
public:
    explicit CFixtureCopy(const wchar_t* name)
    {
        if (!m_dir.empty() && CopyFileW(testpaths::Fixture(name).c_str(), (m_dir + L"\\" + name).c_str(), FALSE))
            m_path = m_dir + L"\\" + name;
    }
    std::wstring m_path;
};

}  // namespace storagetest
