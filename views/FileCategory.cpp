#include "views/FileCategory.h"

#include "core/Language.h"

namespace {

// The lists in the order they are built (repeats are harmless: every
// operation goes by first occurrence).
const wchar_t* const kPictures[] = {
    L"png", L"jpg", L"jpeg", L"jpe", L"bmp", L"dib", L"ico", L"gif", L"cmmm", L"tif", L"tiff", L"nef", L"cr2",
    L"dng", L"pef", L"mdi", L"max1", L"max", L"pcx", L"psp", L"pspimage", L"hdr", L"crw", L"raf", L"mrw", L"psd",
    L"wmf", L"emf", L"itc2", L"cpt", L"cdr", L"cmx", L"cvg", L"drw", L"fh3", L"fh9", L"fh8", L"fh7", L"fh5", L"skp",
    L"dwg", L"eps", L"ai", L"webm", L"arw", L"wpg1", L"wpg", L"xcf", L"jp2", L"xara", L"xar", L"cin", L"dpx",
    L"drw1", L"drw", L"fh10", L"fh11", L"psb", L"webp", L"info", L"bct", L"cpt", L"abr", L"ani", L"dcd", L"dgn",
    L"dxf", L"exb", L"gjd", L"gsp", L"icc", L"jnb", L"max", L"mb", L"oci", L"orf", L"pcb", L"pzf", L"qcd", L"qpt",
    L"qxp", L"raw", L"sdr", L"sdt", L"sr2", L"tcw", L"tpf", L"vfb", L"x3f", L"wdp", L"rw2"};
const wchar_t* const kAudio[] = {L"mp3", L"wav", L"ogg", L"ogv", L"ogm", L"oga", L"ogx", L"au",
                                 L"cda", L"m4a", L"m4r", L"m4p", L"mid", L"ra", L"mmf", L"mpa",
                                 L"ram", L"s48", L"ulaw", L"snd", L"wma", L"awb", L"amr", L"auf"};
const wchar_t* const kDocuments[] = {
    L"doc", L"rtf", L"docx", L"ole2", L"dot", L"xls", L"xlsx", L"txt", L"dot", L"ppt", L"xla", L"ppa", L"pps",
    L"pot", L"sdww", L"vsd", L"msg", L"pptx", L"mdb", L"mda", L"mde", L"mdt", L"fdb", L"psa", L"accdb", L"accde",
    L"mny", L"fp5", L"fp3", L"fp7", L"kwd", L"rtd", L"wps", L"dps", L"et", L"wpd", L"wp", L"wp5", L"wp6", L"wpp",
    L"wri", L"one", L"sxw", L"sxg", L"sxc", L"stc", L"sxm", L"sxi", L"sxd", L"std", L"ott", L"odt", L"ots", L"ods",
    L"odb", L"odg", L"odf", L"odp", L"wb2", L"ps", L"eps", L"ai", L"pdf", L"fm", L"qdf", L"qsd", L"qbb", L"lwp",
    L"123", L"wk3", L"wk4", L"wk5", L"wk1", L"nsf", L"ntf", L"mpx", L"rft", L"dds", L"bwt", L"cwk", L"djvu", L"pwi",
    L"tmd", L"tmv", L"wks1", L"wks", L"xps", L"wpd", L"chm", L"hlp", L"mpp", L"p65", L"rpt", L"shw", L"vsd", L"pub",
    L"qpw", L"xlt", L"xml", L"css", L"c", L"cpp", L"h", L"hpp"};
const wchar_t* const kVideo[] = {L"mp4", L"avi", L"4xm", L"wmv", L"asf", L"dvr-ms", L"wtv", L"wpl", L"rm", L"rmvb",
                                 L"rv",  L"mpg", L"mpeg", L"mov", L"3gp", L"3ga", L"3g2", L"m4v", L"m4b", L"mts",
                                 L"mkv", L"mka", L"flv", L"f4v", L"dcr", L"cda", L"webm", L"wrf", L"swi", L"vob",
                                 L"mxf", L"mts", L"dv", L"dif", L"dat", L"mxf", L"mxf"};
const wchar_t* const kEmail[] = {L"eml", L"mht", L"mbox", L"mbs", L"pfc", L"org", L"pst", L"ost",
                                 L"fdb", L"pab", L"nk2", L"edb", L"dbx", L"emlx", L"olk", L"wab",
                                 L"vcf", L"vcs", L"ics", L"mbx", L"vem", L"oad"};

template <size_t N>
void Fill(std::vector<std::wstring>& list, const wchar_t* const (&items)[N])
{
    list.reserve(N);
    for (const wchar_t* e : items)
        list.push_back(e);
}

}  // namespace

const CFileCategoryTable g_FileCategoryTable;

std::wstring LowerAsciiText(const std::wstring& text)
{
    std::wstring out(text);
    for (wchar_t& c : out)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return out;
}

std::wstring GetCategoryName(FileCategory category)
{
    switch (category) {
    case FILE_CATEGORY_PICTURE:
        return g_strLangPicture;
    case FILE_CATEGORY_AUDIO:
        return g_strLangAudio;
    case FILE_CATEGORY_DOCUMENT:
        return g_strLangDocument;
    case FILE_CATEGORY_VIDEO:
        return g_strLangVedio;
    case FILE_CATEGORY_EMAIL:
        return g_strLangEmail;
    default:
        return g_strLangOther;
    }
}

CFileCategoryTable::CFileCategoryTable()
{
    Fill(m_lists[0], kPictures);
    Fill(m_lists[1], kAudio);
    Fill(m_lists[2], kDocuments);
    Fill(m_lists[3], kVideo);
    Fill(m_lists[4], kEmail);
}

const std::vector<std::wstring>& CFileCategoryTable::GetList(FileCategory category) const
{
    static const std::vector<std::wstring> none;
    return category >= 1 && category <= 5 ? m_lists[category - 1] : none;
}

bool CFileCategoryTable::ListHolds(FileCategory category, const std::wstring& lowerExtension) const
{
    for (const std::wstring& e : GetList(category))
        if (e == lowerExtension)
            return true;
    return false;
}

FileCategory CFileCategoryTable::GetFileCategory(const std::wstring& extension) const
{
    const std::wstring lower = LowerAsciiText(extension);
    for (FileCategory c = FILE_CATEGORY_PICTURE; c <= FILE_CATEGORY_EMAIL; ++c)
        if (ListHolds(c, lower))
            return c;
    return FILE_CATEGORY_OTHER;
}

std::wstring CFileCategoryTable::GetCategoryNameOfExtension(const std::wstring& extension) const
{
    return GetCategoryName(GetFileCategory(extension));
}

bool CFileCategoryTable::IsCategoryName(const std::wstring& text) const
{
    for (FileCategory c = FILE_CATEGORY_PICTURE; c <= FILE_CATEGORY_OTHER; ++c)
        if (text == GetCategoryName(c))
            return true;
    return false;
}

void CFileCategoryTable::AddCategoryExtensions(FileCategory category, std::vector<std::wstring>& selection) const
{
    for (const std::wstring& e : GetList(category)) {
        bool held = false;
        for (const std::wstring& s : selection)
            if (s == e) {
                held = true;
                break;
            }
        if (!held)
            selection.push_back(e);
    }
}

void CFileCategoryTable::RemoveCategoryExtensions(FileCategory category, std::vector<std::wstring>& selection,
                                                  unsigned stillChosen) const
{
    for (const std::wstring& e : GetList(category)) {
        bool keep = false;
        for (FileCategory other = FILE_CATEGORY_PICTURE; other <= FILE_CATEGORY_EMAIL && !keep; ++other)
            keep = other != category && (stillChosen & (1u << other)) && ListHolds(other, e);
        if (keep)
            continue;
        for (size_t i = 0; i < selection.size(); ++i)
            if (selection[i] == e) {
                selection.erase(selection.begin() + i);
                break;
            }
    }
}
