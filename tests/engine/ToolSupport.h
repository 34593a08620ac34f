// What the command-line test tools share: Unix paths taken as Windows
// paths, UTF-8 output, and message boxes and plug-in load errors on stderr.
#pragma once
#include <windows.h>

#include <string>

#include "engine/FormatPluginRegistry.h"

class IMainFrameServices;

namespace toolsupport {
// "/a/b" as "Z:\a\b" (Wine's drive of the Unix root); any other text as it is.
std::wstring WindowsPath(const std::wstring& path);
// The text as UTF-8 on stdout.
void PrintUtf8(const std::wstring& text);
// Message boxes print "<tool>: <title>: <text>" on stderr and answer `answer`.
void PrintBoxes(const wchar_t* tool, int answer);

// Runs the recovery worker over every entry the frame holds into outDir
// (made when missing; "/" taken as "\\") through the recording stand-in of
// the recovery dialog, and prints one tab-separated row per entry: output
// path, bytes written, result; then a line with the counts, the seconds and
// the megabytes per second. 0 when the run ended, 3 when the target was
// refused, 1 when the run did not end.
int RecoverAndPrint(IMainFrameServices* frame, std::wstring outDir, int fullPath, const wchar_t* tool);

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
