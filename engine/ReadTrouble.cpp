#include "engine/ReadTrouble.h"

#include <cstdio>

#include "core/Helpers.h"
#include "core/Language.h"

namespace
{
std::wstring SizeText(uint64_t bytes)
{
    wchar_t text[64] = {};
    FormatSizeText(bytes, text, sizeof(text));
    return text;
}

// Puts the arguments in place of the text's "%s" marks, in order; a text
// from a language file is never used as a format string.
std::wstring FillIn(std::wstring text, const std::wstring& a, const std::wstring& b = std::wstring())
{
    const std::wstring* args[] = {&a, &b};
    size_t at = 0;
    for (const std::wstring* arg : args)
    {
        at = text.find(L"%s", at);
        if (at == std::wstring::npos)
            break;
        text.replace(at, 2, *arg);
        at += arg->size();
    }
    return text;
}
}

CReadTrouble::CReadTrouble()
    : m_u64LastEnd(~0ull), m_u64Bytes(0), m_uAreas(0), m_bGone(false), m_u64GoneAt(0), m_bUnfinished(false)
{
    InitializeCriticalSection(&m_cs);
}

CReadTrouble::~CReadTrouble() { DeleteCriticalSection(&m_cs); }

void CReadTrouble::Reset()
{
    EnterCriticalSection(&m_cs);
    m_u64LastEnd = ~0ull;
    m_u64Bytes = 0;
    m_uAreas = 0;
    m_bGone = false;
    m_u64GoneAt = 0;
    m_bUnfinished = false;
    LeaveCriticalSection(&m_cs);
}

void CReadTrouble::NoteUnreadable(uint64_t offset, uint64_t bytes)
{
    if (!bytes)
        return;
    EnterCriticalSection(&m_cs);
    if (offset != m_u64LastEnd)
        ++m_uAreas;
    m_u64Bytes += bytes;
    m_u64LastEnd = offset + bytes;
    LeaveCriticalSection(&m_cs);
}

void CReadTrouble::NoteDeviceGone(uint64_t offset)
{
    EnterCriticalSection(&m_cs);
    if (!m_bGone)
    {
        m_u64GoneAt = offset;
        m_bGone = true;
    }
    LeaveCriticalSection(&m_cs);
}

void CReadTrouble::NoteUnfinished() { m_bUnfinished = true; }

std::wstring CReadTrouble::Describe() const
{
    std::wstring text;
    if (DeviceGone())
        text = FillIn(GetMessageText(DecodeBase64Key("U2NhbkRldmljZUdvbmU=").c_str()), SizeText(GoneAt()));
    else if (Unfinished())
        text = GetMessageText(DecodeBase64Key("U2NhblVuZmluaXNoZWQ=").c_str());
    if (UnreadableAreas())
    {
        if (!text.empty())
            text += L"\n\n";
        text += FillIn(GetMessageText(DecodeBase64Key("U2NhblVucmVhZGFibGU=").c_str()), SizeText(UnreadableBytes()), std::to_wstring(UnreadableAreas()));
    }
    return text;
}

std::string CReadTrouble::DescribePlain() const
{
    std::string text;
    char line[200];
    if (DeviceGone())
    {
        snprintf(line, sizeof(line), "scan did not finish: the device stopped answering at byte %llu",
                 (unsigned long long)GoneAt());
        text = line;
    }
    else if (Unfinished())
        text = "scan did not finish: not everything could be read";
    if (UnreadableAreas())
    {
        if (!text.empty())
            text += "; ";
        snprintf(line, sizeof(line), "unreadable: %llu bytes in %u area%s passed over",
                 (unsigned long long)UnreadableBytes(), (unsigned)UnreadableAreas(), UnreadableAreas() == 1 ? "" : "s");
        text += line;
    }
    return text;
}
