// The six file categories the program sorts found files into by extension,
// and the one table of extension lists behind categories 1 to 5.
#pragma once
#include <string>
#include <vector>

// 1 pictures, 2 audio, 3 documents, 4 video, 5 e-mail, 6 everything else.
typedef int FileCategory;
enum
{
    FILE_CATEGORY_PICTURE = 1,
    FILE_CATEGORY_AUDIO = 2,
    FILE_CATEGORY_DOCUMENT = 3,
    FILE_CATEGORY_VIDEO = 4,
    FILE_CATEGORY_EMAIL = 5,
    FILE_CATEGORY_OTHER = 6,
};

// The label of a category (the language texts "Picture" ... "Email");
// every value but 1 to 5 gives the "Other" label.
std::wstring GetCategoryName(FileCategory category);

// An extension lower-cased in the ASCII range only (the same text whatever
// the thread's locale).
std::wstring LowerAsciiText(const std::wstring& text);

class CFileCategoryTable
{
public:
    CFileCategoryTable();

    // The category of an extension given without its dot, in any letter
    // case; 6 when none of the five lists holds it (also for ".jpg", "").
    FileCategory GetFileCategory(const std::wstring& extension) const;
    std::wstring GetCategoryNameOfExtension(const std::wstring& extension) const;
    // True when text is exactly one of the six labels.
    bool IsCategoryName(const std::wstring& text) const;

    // Appends to selection every extension of a category (1 to 5) that it
    // does not hold yet, in the table's order. Other numbers do nothing.
    void AddCategoryExtensions(FileCategory category, std::vector<std::wstring>& selection) const;
    // Removes one occurrence of each extension of a category (1 to 5) from
    // selection, except those that a category still chosen also lists
    // (stillChosen: bit c set for category c), so that taking documents away
    // leaves "eps" and "ai" while pictures stay chosen.
    void RemoveCategoryExtensions(FileCategory category, std::vector<std::wstring>& selection,
                                  unsigned stillChosen = 0) const;

    // The list of a category (1 to 5), as built; empty for other numbers.
    const std::vector<std::wstring>& GetList(FileCategory category) const;

private:
    bool ListHolds(FileCategory category, const std::wstring& lowerExtension) const;
    std::vector<std::wstring> m_lists[5];
};

// The one table of the program.
extern const CFileCategoryTable g_FileCategoryTable;
