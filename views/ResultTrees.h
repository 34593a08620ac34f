// The three result trees: by folder (drives and folders of every found
// entry's path), by modification date (all dates, years, days) and by type
// (all types, categories, extensions). Each is a check tree (CheckTreeCtrl.h)
// filled by the main window's intake timer.
#pragma once
#include "views/CheckTreeCtrl.h"

// The label of a lost partition's root folder in the folder tree: its paths
// have no drive ("\Docs\"), so the folder the path starts at is their top.
extern const wchar_t kPartitionRootLabel[];  // "\"
// Length of the root a folder path starts at: 3 for "C:\", 1 for a
// partition's "\", 0 for anything else.
size_t RootLength(const std::wstring& path);

class CPathTreeCtrl : public CCheckTreeCtrl
{
public:
    // Adds the folders of a path such as "C:\Users\Docs\" (new nodes get the
    // check state), each named as the path spells it (only a drive letter is
    // upper-cased); a path without a drive ("\Docs\") goes under the one
    // top node kPartitionRootLabel. A root folder ("C:\", "\") gets the
    // root-folder node under its top node. False only when the node map
    // cannot be made.
    bool AddFile(const std::wstring& folderPath, int state);
    // The path of the selected node; false for the first top-level node.
    bool GetSelectedPath(std::vector<std::wstring>& out);
    bool GetCheckedPaths(std::vector<std::wstring>& out) { return GetCheckedKeys(out); }
    bool GetClickedPath(std::wstring& out);
    // A checked leaf's folder, and the folders of its checked ancestors
    // (each once, never a drive's root folder).
    bool CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out) override;

    // "C:\Users\Docs\" (or "\Docs\") of a folder node, "C:\" (or "\") +
    // the root-folder text of a root-folder node; checked counts the checked
    // nodes on the way up.
    std::wstring PathOf(HTREEITEM item, int* checked = NULL) const;

protected:
    void InitImageList() override;
};

class CTimeTreeCtrl : public CCheckTreeCtrl
{
public:
    // Counts a date text "YYYY-MM-DD  hh:mm" under its year and day; false
    // when the text has no "-" after its fifth character.
    bool AddFile(const std::wstring& dateText, int state);
    // A year node gives its year, a day node its date "YYYY-MM-DD"; false
    // for the top-level node.
    bool GetSelectedDates(std::vector<std::wstring>& out);
    bool GetCheckedDates(std::vector<std::wstring>& out) { return GetCheckedKeys(out); }
    bool GetClickedDates(std::wstring& out);
    bool CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out) override;

    // The day format: the language's "DateFormat" when it is a format of
    // exactly two "%s" (and "%%"), else "%s-%s".
    static std::wstring DayFormat();
    // The format with its two texts, every text cut to a bounded length.
    static std::wstring FormatDay(const std::wstring& format, const std::wstring& month, const std::wstring& day);

protected:
    void InitImageList() override;

private:
    // The date of a day node, or the year of a year node.
    std::wstring DateOf(HTREEITEM item) const;
};

class CTypeTreeCtrl : public CCheckTreeCtrl
{
public:
    // Counts an extension (lower case, no dot; "unknow" for none) under its
    // category. False only when the node map cannot be made.
    bool AddFile(const std::wstring& extension, int state);
    // A category gives every extension under it, an extension node itself;
    // false for the top-level node.
    bool GetSelectedTypes(std::vector<std::wstring>& out);
    bool GetCheckedTypes(std::vector<std::wstring>& out) { return GetCheckedKeys(out); }
    // The last-clicked node's label before its first "(": a category label
    // or an extension.
    bool GetClickedType(std::wstring& out);
    bool CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out) override;

protected:
    void InitImageList() override;
};
