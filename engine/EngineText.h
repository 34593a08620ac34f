// UI texts the engine shows, looked up by language key.
#pragma once
#include <string>

// The text of a language key; the English default when the language texts
// have no entry for it.
std::wstring EngineUIText(const wchar_t* key);
