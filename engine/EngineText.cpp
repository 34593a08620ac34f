#include "engine/EngineText.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <map>

#include "core/Language.h"

namespace
{
struct DefaultText
{
    const wchar_t* key;
    const wchar_t* text;
};

const DefaultText kDefaults[] = {
    {L"ScanningFile", L"Scanning... %d files found"},
    {L"RemainTime", L"Remaining time: %s"},
    {L"InInitDeepScan", L"Preparing the deep scan..."},
    {L"UnknowPer", L"Unknown"},
    {L"LostDir", L"Lost folders"},
    {L"ScanHDTitle", L"Searching for lost partitions, pass %d: %.1f%% (%d passes)"},
};

// Reading a text opens the language file; scans ask for the same few texts
// thousands of times, so each is read once per process.
struct TextCache
{
    CRITICAL_SECTION cs;
    std::map<std::wstring, std::wstring> texts;
    TextCache() { InitializeCriticalSection(&cs); }
};

TextCache& Cache()
{
    static TextCache cache;
    return cache;
}
}  // namespace

std::wstring EngineDefaultText(const wchar_t* key)
{
    if (key)
        for (const DefaultText& d : kDefaults)
            if (wcscmp(d.key, key) == 0)
                return d.text;
    return std::wstring();
}

std::wstring EngineUIText(const wchar_t* key)
{
    if (!key)
        return std::wstring();
    TextCache& cache = Cache();
    EnterCriticalSection(&cache.cs);
    auto it = cache.texts.find(key);
    if (it != cache.texts.end())
    {
        std::wstring text = it->second;
        LeaveCriticalSection(&cache.cs);
        return text;
    }
    LeaveCriticalSection(&cache.cs);

    std::wstring text = GetUIText(key);
    if (text.empty())
        text = EngineDefaultText(key);
    EnterCriticalSection(&cache.cs);
    cache.texts[key] = text;
    LeaveCriticalSection(&cache.cs);
    return text;
}

bool IsFormatOfKinds(const std::wstring& text, const wchar_t* kinds)
{
    if (!kinds)
        return false;
    size_t conversions = 0;
    const size_t wanted = wcslen(kinds);
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != L'%')
            continue;
        if (i + 1 < text.size() && text[i + 1] == L'%')
        {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && wcschr(L"-+ #0", text[j]))
            ++j;
        int digits = 0;
        while (j < text.size() && iswdigit(text[j]))
            ++j, ++digits;
        if (digits > 3)
            return false;
        if (j < text.size() && text[j] == L'.')
        {
            ++j;
            digits = 0;
            while (j < text.size() && iswdigit(text[j]))
                ++j, ++digits;
            if (digits > 3)
                return false;
        }
        if (j >= text.size() || conversions >= wanted)
            return false;
        const wchar_t conv = text[j];
        const wchar_t kind = kinds[conversions++];
        bool fits = false;
        if (kind == L'd')
            fits = conv == L'd' || conv == L'i' || conv == L'u';
        else if (kind == L's')
            fits = conv == L's';
        else if (kind == L'f')
            fits = conv == L'f' || conv == L'F' || conv == L'e' || conv == L'E' || conv == L'g' || conv == L'G';
        if (!fits)
            return false;
        i = j;
    }
    return conversions == wanted;
}

bool IsOneArgumentFormat(const std::wstring& text, wchar_t kind)
{
    const wchar_t kinds[2] = {kind, 0};
    return IsFormatOfKinds(text, kinds);
}

std::wstring EngineFormatSearchTitle(int pass, double percent, int passes)
{
    std::wstring format = EngineUIText(L"ScanHDTitle");
    // Widths and precisions stay small: the runtime's printf is not trusted
    // with long ones.
    bool small = true;
    bool inConversion = false;
    for (size_t i = 0, run = 0; i < format.size(); ++i)
    {
        const wchar_t c = format[i];
        if (!inConversion)
        {
            if (c == L'%')
                inConversion = !(i + 1 < format.size() && format[i + 1] == L'%') || (++i, false);
            run = 0;
            continue;
        }
        if (iswdigit(c))
        {
            run = run * 10 + (c - L'0');
            small = small && run <= 64;
        }
        else if (c == L'.')
            run = 0;
        else if (!wcschr(L"-+ #0", c))
            inConversion = false;
    }
    if (!small || !IsFormatOfKinds(format, L"dfd"))
        format = EngineDefaultText(L"ScanHDTitle");
    wchar_t text[512];
    _snwprintf(text, 511, format.c_str(), pass, percent, passes);
    text[511] = 0;
    return text;
}

namespace
{
// The format's one "%s" replaced by value; flags and width are dropped.
std::wstring FillText(const std::wstring& format, const wchar_t* value)
{
    std::wstring out;
    for (size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] == L'%' && i + 1 < format.size())
        {
            if (format[i + 1] == L'%')
            {
                out += L'%';
                ++i;
                continue;
            }
            size_t j = i + 1;
            while (j < format.size() && format[j] != L's')
                ++j;
            out += value ? value : L"";
            i = j;
            continue;
        }
        out += format[i];
    }
    return out;
}

std::wstring CheckedFormat(const wchar_t* key, wchar_t kind)
{
    return ValidatedFormat(EngineUIText(key), key, kind);
}
}  // namespace

std::wstring ValidatedFormat(const std::wstring& text, const wchar_t* key, wchar_t kind)
{
    return IsOneArgumentFormat(text, kind) ? text : EngineDefaultText(key);
}

std::wstring EngineFormatInt(const wchar_t* key, int value)
{
    return FormatTextWithInt(CheckedFormat(key, L'd').c_str(), value);
}

std::wstring EngineFormatText(const wchar_t* key, const wchar_t* value)
{
    std::wstring format = CheckedFormat(key, L's');
    return IsOneArgumentFormat(format, L's') ? FillText(format, value) : format;
}
