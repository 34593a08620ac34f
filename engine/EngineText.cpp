#include "engine/EngineText.h"

#include <windows.h>

#include <cwchar>
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
    {
        for (const DefaultText& d : kDefaults)
            if (wcscmp(d.key, key) == 0)
                text = d.text;
    }
    EnterCriticalSection(&cache.cs);
    cache.texts[key] = text;
    LeaveCriticalSection(&cache.cs);
    return text;
}
