#include "ToolSupport.h"

#include <cstdio>

#include "core/Helpers.h"
#include "core/Language.h"

namespace toolsupport {
namespace {
const wchar_t* g_tool = L"tool";
int g_answer = IDOK;

int PrintBox(HWND, const wchar_t* text, const wchar_t* title, UINT, int)
{
    fwprintf(stderr, L"%ls: %ls: %ls\n", g_tool, title ? title : L"", text ? text : L"");
    return g_answer;
}
}  // namespace

std::wstring WindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    std::wstring w = L"Z:" + path;
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

void PrintUtf8(const std::wstring& text)
{
    char* utf8 = WideToUtf8(text.c_str());
    if (utf8)
        fputs(utf8, stdout);
    delete[] utf8;
}

void PrintBoxes(const wchar_t* tool, int answer)
{
    g_tool = tool;
    g_answer = answer;
    SetMessageDlgProc(PrintBox);
}

void CToolRegistry::ShowLoadError()
{
    fwprintf(stderr, L"%ls: no file-type plug-ins could be loaded\n", m_tool);
}
}  // namespace toolsupport
