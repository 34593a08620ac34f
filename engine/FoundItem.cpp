#include "engine/FoundItem.h"

#include <cstdio>
#include <cstring>

#include "core/Helpers.h"
#include "engine/EngineText.h"

namespace
{
// Copies at most 259 characters and the terminating zero; the rest of the
// field stays zero.
void CopyField(wchar_t (&field)[260], const std::wstring& text)
{
    memset(field, 0, sizeof(field));
    size_t n = text.size() < 259 ? text.size() : 259;
    if (n)
        memcpy(field, text.data(), n * sizeof(wchar_t));
}
}  // namespace

namespace
{
const std::wstring kNoPath;

CFolderPath::Ptr FolderOf(const wchar_t* path)
{
    return path && *path ? CFolderPath::FromText(path) : CFolderPath::Ptr();
}
}  // namespace

CFoundItem::CFoundItem(const wchar_t* name, const wchar_t* path, const wchar_t* timeText, uint64_t size,
                       uint64_t fileRef)
    : CFoundItem(name, FolderOf(path), timeText, size, fileRef)
{
}

CFoundItem::CFoundItem(const wchar_t* name, const CFolderPath::Ptr& folder, const wchar_t* timeText,
                       uint64_t size, uint64_t fileRef)
    : m_strName(name ? name : L""),
      m_strTime(timeText ? timeText : L""),
      m_u64Size(size),
      m_u64FileRef(fileRef),
      m_nPercent(0),
      m_uFirstCluster(0),
      m_bContiguous(1),
      m_bDeleted(false),
      m_pPath(folder)
{
    SetSizeText(m_u64Size);
}

void CFoundItem::SetPath(const wchar_t* path)
{
    if (m_pPath && !m_pPath->Empty())
        m_pPrevPath = m_pPath;
    m_pPath = FolderOf(path);
}

const std::wstring& CFoundItem::GetPath() const
{
    return HasPrevPath() ? m_pPrevPath->Text() : GetCurrentPath();
}

const std::wstring& CFoundItem::GetCurrentPath() const
{
    return m_pPath ? m_pPath->Text() : kNoPath;
}

wchar_t CFoundItem::GetDriveLetter() const
{
    const CFolderPath::Ptr& folder = GetPathFolder();
    if (!folder || folder->Empty())
        return 0;
    return folder->Prefix(1)[0];
}

void CFoundItem::SetRecoverability(int percent)
{
    m_nPercent = percent;
    if (percent == -1)
    {
        m_strPercent = EngineUIText(L"UnknowPer");
        return;
    }
    wchar_t text[16];
    _snwprintf(text, 15, L"%d%%", percent);
    text[15] = 0;
    m_strPercent = text;
}

void CFoundItem::SetSizeText(uint64_t size)
{
    wchar_t text[260] = {0};
    FormatSizeText(size, text, (int)sizeof(text));
    text[259] = 0;
    m_strSize = text;
}

int CFoundItem::ToRecord(FoundItemRecord* out) const
{
    if (!out)
        return 0;
    CopyField(out->szName, m_strName);
    // The stored path holds its first 259 characters: a deep path is not
    // made whole for them.
    const CFolderPath::Ptr& folder = GetPathFolder();
    CopyField(out->szPath, folder ? folder->Prefix(259) : kNoPath);
    CopyField(out->szTime, m_strTime);
    out->u64Size = m_u64Size;
    out->u64FileRef = m_u64FileRef;
    out->uFirstCluster = m_uFirstCluster;
    out->bContiguous = m_bContiguous;
    out->nPercent = m_nPercent;
    return 1;
}
