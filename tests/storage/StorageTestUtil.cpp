#include "StorageTestUtil.h"

#include <vector>

#include "common/TestPaths.h"
#include "unzip.h"

namespace storagetest {

std::wstring CopyFixture(const std::wstring& name, const std::wstring& tag)
{
    std::wstring dir = testpaths::MakeTempDir(tag);
    if (dir.empty())
        return std::wstring();
    std::wstring dst = dir + L"\\" + name;
    if (!CopyFileW(testpaths::Fixture(name).c_str(), dst.c_str(), FALSE))
        return std::wstring();
    return dst;
}

static std::string Narrow(const std::wstring& w)
{
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, NULL, 0, NULL, NULL);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, &s[0], n, NULL, NULL);
    return s;
}

bool ExtractZipMember(const std::wstring& zipPath, const std::string& suffix, const std::wstring& dest)
{
    unzFile zf = unzOpen64(Narrow(zipPath).c_str());
    if (!zf)
        return false;
    bool ok = false;
    for (int r = unzGoToFirstFile(zf); r == UNZ_OK; r = unzGoToNextFile(zf)) {
        char name[512];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zf, &info, name, sizeof(name), NULL, 0, NULL, 0) != UNZ_OK)
            break;
        std::string n(name);
        if (n.size() < suffix.size() || n.compare(n.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        if (unzOpenCurrentFile(zf) != UNZ_OK)
            break;
        HANDLE h = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            std::vector<char> buf(1 << 20);
            int got;
            ok = true;
            while ((got = unzReadCurrentFile(zf, &buf[0], (unsigned)buf.size())) > 0) {
                DWORD w = 0;
                if (!WriteFile(h, &buf[0], got, &w, NULL) || w != (DWORD)got) {
                    ok = false;
                    break;
                }
            }
            if (got < 0)
                ok = false;
            CloseHandle(h);
        }
        unzCloseCurrentFile(zf);
        break;
    }
    unzClose(zf);
    return ok;
}

bool PatchFile(const std::wstring& path, unsigned __int64 offset, const void* data, DWORD size)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)offset;
    DWORD w = 0;
    bool ok = SetFilePointerEx(h, li, NULL, FILE_BEGIN) && WriteFile(h, data, size, &w, NULL) && w == size;
    CloseHandle(h);
    return ok;
}

bool ReadFileAt(const std::wstring& path, unsigned __int64 offset, void* data, DWORD size)
{
    HANDLE h = OpenForRead(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)offset;
    DWORD got = 0;
    bool ok = SetFilePointerEx(h, li, NULL, FILE_BEGIN) && ReadFile(h, data, size, &got, NULL) && got == size;
    CloseHandle(h);
    return ok;
}

HANDLE OpenForRead(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
}

void RemoveTree(const std::wstring& dir)
{
    if (dir.empty())
        return;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do {
            std::wstring n = fd.cFileName;
            if (n == L"." || n == L"..")
                continue;
            std::wstring p = dir + L"\\" + n;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(p);
            else
                DeleteFileW(p.c_str());
        } while (FindNextFileW(f, &fd));
        FindClose(f);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace storagetest
