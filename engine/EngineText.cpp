#include "engine/EngineText.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <map>
#include <vector>

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
    {L"RecoveredCount", L"Recovered %d of %d files"},
    {L"InRecovering", L"Recovering %s"},
    {L"StopRecover", L"Stopping the recovery..."},
    {L"RecoverSuccess", L"%d files were recovered. Open the folder now?"},
    {L"RecoverSuccessOne", L"1 file was recovered. Open the folder now?"},
    {L"RecoverSummary", L"Files recovered: %d (%d whole, %d partial: what of them could not be read is written as zeros, or their clusters could not all be confirmed). "
                        L"Files that failed: %d. Open the folder now?"},
    {L"RecoverSomeFailed", L"Files recovered: %d. Files that failed: %d. Open the folder now?"},
    {L"RecoverNothing", L"No file could be recovered. Files that failed: %d."},
    {L"SuccessTitle", L"Recovery finished"},
    {L"Recycle", L"Recycle Bin"},
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

namespace
{
// The conversions of a format text in order: the offset of each one's "%"
// and its letter. False when a width or precision is overlong or a "%"
// ends the text.
bool ParseConversions(const std::wstring& text, std::vector<std::pair<size_t, wchar_t> >* out)
{
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
        if (j >= text.size())
            return false;
        out->push_back(std::make_pair(i, text[j]));
        i = j;
    }
    return true;
}

// Whether a conversion letter takes an argument of kind (d, s or f).
bool ConversionFits(wchar_t kind, wchar_t conv)
{
    if (kind == L'd')
        return conv == L'd' || conv == L'i' || conv == L'u';
    if (kind == L's')
        return conv == L's';
    if (kind == L'f')
        return conv == L'f' || conv == L'F' || conv == L'e' || conv == L'E' || conv == L'g' || conv == L'G';
    return false;
}

// Conversions of `kind` in text, with the offset of each one's "%"; -1 when
// the text holds any other conversion or an overlong width or precision.
int CountConversions(const std::wstring& text, wchar_t kind, std::vector<size_t>* at)
{
    std::vector<std::pair<size_t, wchar_t> > found;
    if (!ParseConversions(text, &found))
        return -1;
    for (size_t k = 0; k < found.size(); ++k)
    {
        if (!ConversionFits(kind, found[k].second))
            return -1;
        if (at)
            at->push_back(found[k].first);
    }
    return (int)found.size();
}
}  // namespace

bool IsOneArgumentFormat(const std::wstring& text, wchar_t kind)
{
    return CountConversions(text, kind, nullptr) == 1;
}

bool IsFormatOfKinds(const std::wstring& text, const wchar_t* kinds)
{
    if (!kinds)
        return false;
    std::vector<std::pair<size_t, wchar_t> > found;
    if (!ParseConversions(text, &found) || found.size() != wcslen(kinds))
        return false;
    for (size_t k = 0; k < found.size(); ++k)
        if (!ConversionFits(kinds[k], found[k].second))
            return false;
    return true;
}

std::wstring EngineFormatSearchTitle(int pass, double percent, int passes)
{
    std::wstring format = EngineUIText(L"ScanHDTitle");
    // Widths and precisions stay at two digits: the runtime's printf is not
    // trusted with long ones.
    std::vector<std::pair<size_t, wchar_t> > found;
    bool small = ParseConversions(format, &found);
    for (size_t k = 0; small && k < found.size(); ++k)
    {
        int run = 0;
        for (size_t i = found[k].first + 1; small && format[i] != found[k].second; ++i)
        {
            run = iswdigit(format[i]) ? run + 1 : 0;
            small = run <= 2;
        }
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

std::wstring EngineFormatInts(const wchar_t* key, const int* values, size_t count)
{
    std::wstring format = EngineUIText(key);
    std::vector<size_t> at;
    if (CountConversions(format, L'd', &at) != (int)count)
    {
        format = EngineDefaultText(key);
        at.clear();
        if (count == 0 || CountConversions(format, L'd', &at) != (int)count)
            return format;
    }
    if (count == 0)
        return format;
    // Each piece holds one conversion: the text before the first goes with it.
    std::wstring out;
    for (size_t k = 0; k < count; ++k)
    {
        const size_t from = k == 0 ? 0 : at[k];
        const size_t to = k + 1 < count ? at[k + 1] : std::wstring::npos;
        out += FormatTextWithInt(format.substr(from, to == std::wstring::npos ? to : to - from).c_str(), values[k]);
    }
    return out;
}

std::wstring EngineFormatTwoInts(const wchar_t* key, int first, int second)
{
    const int values[] = {first, second};
    return EngineFormatInts(key, values, 2);
}

std::wstring EngineFormatText(const wchar_t* key, const wchar_t* value)
{
    std::wstring format = CheckedFormat(key, L's');
    return IsOneArgumentFormat(format, L's') ? FillText(format, value) : format;
}
