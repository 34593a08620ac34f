// Loads the file-type plug-ins (fmt_*.dll in the "type" folder beside the
// program) once for the run and finds them by format name or file extension.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class CFormatPluginRegistry
{
public:
    CFormatPluginRegistry();
    virtual ~CFormatPluginRegistry();

    // Empties the registry, then loads every plug-in of the program's "type"
    // folder and maps the format names.
    void Load();
    // The same for the "type" folder under another program folder.
    void LoadFrom(const std::wstring& programFolder);
    // Frees every module and empties the registry.
    void Unload();

    void LoadPluginFiles(const std::wstring& programFolder);
    void BuildFormatMap();

    // The module whose format name equals name exactly; null when none.
    HMODULE FindByFormat(const std::wstring& name) const;
    // The module that serves a file extension ("jpg", ".JPG"); null when none.
    HMODULE FindByExtension(const std::wstring& extension) const;
    // The format name that the fixed extension table gives, or null.
    static const wchar_t* FormatNameOfExtension(const std::wstring& extension);

    const std::vector<HMODULE>& GetModules() const { return m_modules; }
    const std::vector<std::wstring>& GetFormatNames() const { return m_formatNames; }

    // The folder of the running program, without a trailing backslash.
    static std::wstring GetProgramFolder();

protected:
    // Shows the "InitDllFailed" error box.
    virtual void ShowLoadError();

private:
    CFormatPluginRegistry(const CFormatPluginRegistry&);
    CFormatPluginRegistry& operator=(const CFormatPluginRegistry&);

    std::vector<HMODULE> m_modules;
    std::vector<std::wstring> m_formatNames;
    std::vector<std::pair<std::wstring, HMODULE>> m_formatMap;
};
