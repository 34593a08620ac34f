// The folder path of found entries, shared by every entry found in the
// folder and by the folders below it. Each folder keeps its parent and the
// part it adds, so that a walk's memory grows with the folders it meets,
// not with its entries times their depth (a path 1,024 folders deep can
// run to a quarter of a million characters). A folder never changes once
// made; its whole text is made on first use and kept.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class CFolderPath
{
public:
    typedef std::shared_ptr<const CFolderPath> Ptr;

    // A path given whole, such as "X:\" or "X:\LostDir\docs\".
    static Ptr FromText(const std::wstring& text);
    // The folder name inside parent: parent's path + name + "\". A null
    // parent gives name + "\".
    static Ptr Child(const Ptr& parent, const std::wstring& name);

    CFolderPath(const Ptr& parent, std::wstring part);
    ~CFolderPath();
    CFolderPath(const CFolderPath&) = delete;
    CFolderPath& operator=(const CFolderPath&) = delete;

    // The whole path. Made once, by whichever thread asks first; valid as
    // long as the folder lives.
    const std::wstring& Text() const;
    // Its first n characters (all of it when shorter), without making the
    // whole text.
    std::wstring Prefix(size_t n) const;
    size_t Length() const { return m_length; }
    bool Empty() const { return m_length == 0; }
    // Whether the whole text has been made.
    bool HasText() const { return m_text.load(std::memory_order_acquire) != nullptr; }

private:
    Ptr m_parent;
    std::wstring m_part;  // what this folder adds to its parent's path
    size_t m_length;      // of the whole path
    mutable std::atomic<std::wstring*> m_text;
};
