#include "app/ResultText.h"

#include <windows.h>

#include <cstdio>

#include "core/Helpers.h"
#include "core/Language.h"

namespace {

// The conversions of a format; -1 when it holds one this code cannot fill.
int CountConversions(const std::wstring& f)
{
    int n = 0;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != L'%')
            continue;
        size_t j = i + 1;
        if (j < f.size() && f[j] == L'%') {
            i = j;
            continue;
        }
        while (j < f.size() && wcschr(L"-+ #0", f[j]))
            ++j;
        for (int d = 0; j < f.size() && iswdigit(f[j]) && d < 3; ++d)
            ++j;
        if (j < f.size() && f[j] == L'.') {
            ++j;
            for (int d = 0; j < f.size() && iswdigit(f[j]) && d < 3; ++d)
                ++j;
        }
        if (f.compare(j, 3, L"I64") == 0)
            j += 3;
        else if (f.compare(j, 2, L"ll") == 0)
            j += 2;
        else if (j < f.size() && (f[j] == L'l' || f[j] == L'h'))
            ++j;
        if (j >= f.size() || !wcschr(L"diusS", f[j]))
            return -1;
        ++n;
        i = j;
    }
    return n;
}

std::wstring Fill(const std::wstring& f, const std::vector<std::wstring>& args)
{
    std::wstring out;
    size_t next = 0;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != L'%') {
            out += f[i];
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == L'%') {
            out += L'%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < f.size() && !wcschr(L"diusS", f[j]))
            ++j;
        if (next < args.size())
            out += args[next++];
        i = j;
    }
    return out;
}

}  // namespace

std::wstring FormatUiText(const std::wstring& format, const std::vector<std::wstring>& args, const wchar_t* fallback)
{
    if (CountConversions(format) == (int)args.size())
        return Fill(format, args);
    return Fill(fallback ? fallback : L"", args);
}

std::wstring BottomStatusText(uint64_t count, uint64_t bytes)
{
    wchar_t size[260] = {};
    FormatSizeText(bytes, size, sizeof(size));
    if (count == 1)
        return FormatUiText(GetUIText(L"BottomStatusOne"), {size}, L"Selected: 1 file, %s");
    return FormatUiText(GetUIText(L"BottomStatus"), {std::to_wstring(count), size}, L"Selected: %I64d files, %s");
}

std::wstring DiskSizeText(double sizeGB)
{
    if (!(sizeGB > 0))
        sizeGB = 0;
    wchar_t number[64] = {};
    if (sizeGB < 1.0) {
        swprintf(number, 64, L"%.0f", sizeGB * 1024.0);
        return FormatUiText(GetUIText(L"DiskSizeMB"), {number}, L"%s MB");
    }
    swprintf(number, 64, L"%.0f", sizeGB);
    return FormatUiText(GetUIText(L"DiskSizeGB"), {number}, L"%s GB");
}

std::wstring DiskModelText(const std::wstring& model)
{
    if (model != L"Hard Disk")
        return model;
    const std::wstring text = GetUIText(L"HardDisk");
    return text.empty() ? model : text;
}

std::wstring RemainTimeUnknownText()
{
    const std::wstring text = GetUIText(L"RemainTimeUnknown");
    return text.empty() ? L"Time remaining: estimating..." : text;
}

std::wstring ScanProgressText(int perMille, const std::wstring& remain)
{
    wchar_t percent[32] = {};
    swprintf(percent, 32, L"%2.2f%%", perMille / 10.0);
    return FormatUiText(GetUIText(L"ScanProgressText"), {percent, remain}, L"Scanned %s, %s");
}
