// What the command-line test tools share: Unix paths taken as Windows
// paths, UTF-8 output, and message boxes and plug-in load errors on stderr.
#pragma once
#include <windows.h>

#include <string>

#include "engine/FormatPluginRegistry.h"

namespace toolsupport {
// "/a/b" as "Z:\a\b" (Wine's drive of the Unix root); any other text as it is.
std::wstring WindowsPath(const std::wstring& path);
// The text as UTF-8 on stdout.
void PrintUtf8(const std::wstring& text);
// Message boxes print "<tool>: <title>: <text>" on stderr and answer `answer`.
void PrintBoxes(const wchar_t* tool, int answer);

// The plug-in registry of a tool: a load error is a line on stderr.
class CToolRegistry : public CFormatPluginRegistry
{
public:
    explicit CToolRegistry(const wchar_t* tool) : m_tool(tool) {}

protected:
    void ShowLoadError() override;

private:
    const wchar_t* m_tool;
};
}  // namespace toolsupport
