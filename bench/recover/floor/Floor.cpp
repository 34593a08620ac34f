// bench_recover_floor PACK MANIFEST OUTDIR
// The floor of a recovery run: what writing the recovered files costs
// whoever writes them. MANIFEST lists, one a line and tab-separated, the
// folders ("D", path) and the files ("F", size, path) in the order the run
// meets them; PACK holds the files' bytes one after another in that order.
// The pack is read into memory first (not timed); then one thread makes
// every folder with CreateDirectoryW and writes every file with CreateFileW,
// one WriteFile of its bytes and CloseHandle, under OUTDIR. Prints the
// counts and the seconds of that writing.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
struct Item
{
    bool folder;
    unsigned long long size;
    std::wstring path;
};

std::wstring Widen(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

bool ReadWhole(const wchar_t* path, std::vector<char>& out)
{
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) != FALSE && size.QuadPart < (1ll << 40);
    if (ok)
    {
        out.resize((size_t)size.QuadPart);
        for (size_t at = 0; ok && at < out.size();)
        {
            DWORD got = 0;
            const DWORD want = (DWORD)std::min<size_t>(out.size() - at, 64u << 20);
            ok = ReadFile(h, out.data() + at, want, &got, nullptr) && got == want;
            at += got;
        }
    }
    CloseHandle(h);
    return ok;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
    {
        fprintf(stderr, "usage: bench_recover_floor PACK MANIFEST OUTDIR\n");
        return 2;
    }
    std::vector<char> pack, manifest;
    if (!ReadWhole(argv[1], pack) || !ReadWhole(argv[2], manifest))
    {
        fprintf(stderr, "cannot read the pack or the manifest\n");
        return 1;
    }
    std::vector<Item> items;
    unsigned long long total = 0;
    size_t pos = 0;
    while (pos < manifest.size())
    {
        size_t end = pos;
        while (end < manifest.size() && manifest[end] != '\n')
            ++end;
        std::string line(manifest.data() + pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        Item item;
        item.folder = line[0] == 'D';
        item.size = 0;
        std::string rest = line.substr(tab + 1);
        if (!item.folder)
        {
            const size_t tab2 = rest.find('\t');
            if (tab2 == std::string::npos)
                continue;
            item.size = strtoull(rest.substr(0, tab2).c_str(), nullptr, 10);
            rest = rest.substr(tab2 + 1);
            total += item.size;
        }
        item.path = std::wstring(argv[3]) + L"\\" + Widen(rest);
        items.push_back(item);
    }
    if (total != pack.size())
    {
        fprintf(stderr, "the manifest names %llu bytes, the pack holds %zu\n", total, pack.size());
        return 1;
    }

    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    const char* data = pack.data();
    int folders = 0, files = 0, failed = 0;
    for (const Item& item : items)
    {
        if (item.folder)
        {
            if (CreateDirectoryW(item.path.c_str(), nullptr))
                ++folders;
            else
                ++failed;
            continue;
        }
        HANDLE h = CreateFileW(item.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
        {
            ++failed;
        }
        else
        {
            DWORD written = 0;
            if (item.size && (!WriteFile(h, data, (DWORD)item.size, &written, nullptr) || written != item.size))
                ++failed;
            else
                ++files;
            CloseHandle(h);
        }
        data += item.size;
    }
    QueryPerformanceCounter(&t1);
    const double s = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
    printf("floor: %d folders, %d files, %llu bytes written in %.3f s (%d failed)\n", folders, files, total, s,
           failed);
    return failed ? 1 : 0;
}
