#include "engine/FormatPluginRegistry.h"

#include <cwctype>

#include "core/Log.h"
#include "core/Language.h"
#include "plugins/common/PluginContract.h"

namespace
{
struct ExtensionRow
{
    const wchar_t* format;
    const wchar_t* const* extensions;
};

const wchar_t* const kOffice[] = {L"doc", L"xls", L"ppt", L"dps", L"wps", L"et", nullptr};
const wchar_t* const kCab[] = {L"cab", nullptr};
const wchar_t* const k7z[] = {L"7z", nullptr};
const wchar_t* const kRar[] = {L"rar", nullptr};
const wchar_t* const kZip[] = {L"zip", L"xlsx", L"docx", L"pptx", L"xpi", L"notebook",
                               L"mmap", L"pages", L"jar", L"ora", L"sxc", nullptr};
const wchar_t* const kGzip[] = {L"tgz", L"tar.gz", L"gz", L"pvp", L"xoj", L"kmy",
                                L"rdata", L"xml.gz", L"schematic", L"html.gz", nullptr};
const wchar_t* const kText[] = {
    L"cpp", L"h", L"c", L"d", L"cxx", L"hxx", L"cs", L"java", L"xml", L"php", L"txt", L"css",
    L"js", L"jsm", L"json", L"jsp", L"rtf", L"hpp", L"cc", L"py", L"as", L"mx", L"ada", L"ads",
    L"adb", L"asm", L"asp", L"au3", L"bash", L"sh", L"bsh", L"csh", L"bat", L"cmd", L"nt", L"ml",
    L"mli", L"sml", L"thy", L"cmake", L"cbl", L"cbd", L"cdb", L"cdc", L"cob", L"litcoffee",
    L"diff", L"f", L"for", L"f90", L"f95", L"f2k", L"hs", L"lhs", L"las", L"html", L"htm",
    L"shtml", L"shtm", L"xhtml", L"xht", L"hta", L"ini", L"inf", L"reg", L"url", L"wer", L"iss",
    L"kix", L"lsp", L"lisp", nullptr};
const wchar_t* const kPdf[] = {L"pdf", L"ai", L"eps", L"indd", nullptr};
const wchar_t* const kPe[] = {L"exe", nullptr};
const wchar_t* const kJpg[] = {L"jpg", nullptr};
const wchar_t* const kPng[] = {L"png", nullptr};
const wchar_t* const kGif[] = {L"gif", nullptr};
const wchar_t* const kBmp[] = {L"bmp", nullptr};
const wchar_t* const kPsd[] = {L"psd", nullptr};
const wchar_t* const kIcon[] = {L"ico", nullptr};
const wchar_t* const kCad[] = {L"dwg", nullptr};
const wchar_t* const kRiff[] = {L"cdr", nullptr};
const wchar_t* const kIso[] = {L"iso", nullptr};

const ExtensionRow kExtensionTable[] = {
    {L"FILE_TYPE_OFFICE", kOffice}, {L"FILE_TYPE_CAB", kCab},   {L"FILE_TYPE_7Z", k7z},
    {L"FILE_TYPE_RAR", kRar},       {L"FILE_TYPE_ZIP", kZip},   {L"FILE_TYPE_GZIP", kGzip},
    {L"FILE_TYPE_TEXT", kText},     {L"FILE_TYPE_PDF", kPdf},   {L"FILE_TYPE_PE", kPe},
    {L"FILE_TYPE_JPG", kJpg},       {L"FILE_TYPE_PNG", kPng},   {L"FILE_TYPE_GIF", kGif},
    {L"FILE_TYPE_BMP", kBmp},       {L"FILE_TYPE_PSD", kPsd},   {L"FILE_TYPE_ICON", kIcon},
    {L"FILE_TYPE_CAD", kCad},       {L"FILE_TYPE_RIFF", kRiff}, {L"FILE_TYPE_ISO", kIso},
};
}  // namespace

CFormatPluginRegistry::CFormatPluginRegistry()
{
}

CFormatPluginRegistry::~CFormatPluginRegistry()
{
    Unload();
}

std::wstring CFormatPluginRegistry::GetProgramFolder()
{
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
    if (n == 0 || n >= path.size())
        return std::wstring();
    path.resize(n);
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return std::wstring();
    return path.substr(0, slash);
}

void CFormatPluginRegistry::Load()
{
    LoadFrom(GetProgramFolder());
}

void CFormatPluginRegistry::LoadFrom(const std::wstring& programFolder)
{
    Unload();
    LoadPluginFiles(programFolder);
    BuildFormatMap();
}

void CFormatPluginRegistry::Unload()
{
    for (HMODULE module : m_modules)
        if (module)
            FreeLibrary(module);
    m_modules.clear();
    m_formatNames.clear();
    m_formatMap.clear();
}

void CFormatPluginRegistry::ShowLoadError()
{
    ErrorBoxByKey(L"InitDllFailed", nullptr);
}

void CFormatPluginRegistry::LoadPluginFiles(const std::wstring& programFolder)
{
    std::wstring folder = programFolder;
    if (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    std::wstring pattern = folder + L"\\type\\*.dll";

    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(pattern.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
    {
        ShowLoadError();
        DebugPrint(L"When Init DLL Error\xFF1AINVALID_HANDLE_VALUE\nCurDir is %s\n", pattern.c_str());
        return;
    }
    size_t keptBefore = m_modules.size();
    do
    {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        std::wstring full = folder + L"\\type\\" + fd.cFileName;
        DebugPrint(L"Found DLL %s", full.c_str());
        if (full.find(L"fmt_") == std::wstring::npos)
            continue;
        HMODULE module = LoadLibraryW(full.c_str());
        if (!module)
            continue;
        PFN_GetSupportFormat getFormat =
            (PFN_GetSupportFormat)(void*)GetProcAddress(module, DELVARO_EXPORT_GetSupportFormat);
        if (!getFormat)
        {
            FreeLibrary(module);
            continue;
        }
        // One byte more than the record so an overlong name still ends in a NUL.
        char name[FORMAT_NAME_SIZE + 1] = {0};
        getFormat(name);
        name[FORMAT_NAME_SIZE - 1] = 0;
        std::wstring wide;
        for (const char* c = name; *c; ++c)
            wide += (wchar_t)(unsigned char)*c;
        m_formatNames.push_back(wide);
        m_modules.push_back(module);
    } while (FindNextFileW(find, &fd));
    FindClose(find);

    if (m_modules.size() == keptBefore)
        ShowLoadError();
}

void CFormatPluginRegistry::BuildFormatMap()
{
    m_formatMap.clear();
    for (size_t i = 0; i < m_modules.size() && i < m_formatNames.size(); ++i)
        m_formatMap.push_back(std::make_pair(m_formatNames[i], m_modules[i]));
}

HMODULE CFormatPluginRegistry::FindByFormat(const std::wstring& name) const
{
    for (const auto& entry : m_formatMap)
        if (entry.first == name)
            return entry.second;
    return nullptr;
}

const wchar_t* CFormatPluginRegistry::FormatNameOfExtension(const std::wstring& extension)
{
    std::wstring ext = extension;
    if (!ext.empty() && ext[0] == L'.')
        ext.erase(0, 1);
    if (ext.empty())
        return nullptr;
    for (wchar_t& c : ext)
        c = (wchar_t)towlower(c);
    for (const ExtensionRow& row : kExtensionTable)
        for (const wchar_t* const* e = row.extensions; *e; ++e)
            if (ext == *e)
                return row.format;
    return nullptr;
}

HMODULE CFormatPluginRegistry::FindByExtension(const std::wstring& extension) const
{
    const wchar_t* format = FormatNameOfExtension(extension);
    return format ? FindByFormat(format) : nullptr;
}
