#include "engine/FolderPath.h"

#include <vector>

CFolderPath::Ptr CFolderPath::FromText(const std::wstring& text)
{
    return std::make_shared<const CFolderPath>(Ptr(), text);
}

CFolderPath::Ptr CFolderPath::Child(const Ptr& parent, const std::wstring& name)
{
    return std::make_shared<const CFolderPath>(parent, name + L"\\");
}

CFolderPath::CFolderPath(const Ptr& parent, std::wstring part)
    : m_parent(parent), m_part(std::move(part)), m_length((parent ? parent->m_length : 0) + m_part.size()),
      m_text(nullptr)
{
}

CFolderPath::~CFolderPath()
{
    delete m_text.load(std::memory_order_acquire);
    // Parents that only this folder holds go one by one, not by a recursion
    // as deep as the path.
    Ptr parent = std::move(m_parent);
    while (parent && parent.use_count() == 1)
    {
        Ptr next = std::move(const_cast<CFolderPath&>(*parent).m_parent);
        parent = std::move(next);
    }
}

const std::wstring& CFolderPath::Text() const
{
    std::wstring* text = m_text.load(std::memory_order_acquire);
    if (text)
        return *text;
    // From the nearest folder above whose text is made (or the top).
    std::vector<const CFolderPath*> chain;
    const CFolderPath* start = this;
    const std::wstring* base = nullptr;
    while (start)
    {
        if (start != this)
        {
            base = start->m_text.load(std::memory_order_acquire);
            if (base)
                break;
        }
        chain.push_back(start);
        start = start->m_parent.get();
    }
    std::wstring* made = new std::wstring;
    made->reserve(m_length);
    if (base)
        *made = *base;
    for (size_t k = chain.size(); k-- > 0;)
        *made += chain[k]->m_part;
    std::wstring* expected = nullptr;
    if (!m_text.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
    {
        delete made;
        return *expected;
    }
    return *made;
}

std::wstring CFolderPath::Prefix(size_t n) const
{
    // The top folders hold the first characters; the nearest made text
    // above stands for all of its folders.
    std::vector<const CFolderPath*> chain;
    const std::wstring* base = nullptr;
    for (const CFolderPath* f = this; f && !base; f = f->m_parent.get())
    {
        base = f->m_text.load(std::memory_order_acquire);
        if (!base)
            chain.push_back(f);
    }
    std::wstring out = base ? base->substr(0, n) : std::wstring();
    for (size_t k = chain.size(); k-- > 0 && out.size() < n;)
        out.append(chain[k]->m_part, 0, n - out.size());
    return out;
}
