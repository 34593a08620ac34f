// Texts of the preview windows: the title line, and the hex view of the
// first bytes of an entry.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Whether a language text holds exactly two "%s" conversions and otherwise
// only "%%": the only form in which it may be used as the title's format.
bool IsTwoTextFormat(const std::wstring& format);
// The format with its two "%s" replaced by first and second and "%%" by
// "%"; nothing else in it is interpreted.
std::wstring FillTwoTexts(const std::wstring& format, const std::wstring& first, const std::wstring& second);

// The title of a preview: the language text "PreviewTitle" (when it is a
// two-text format, else "%s (%s)") with the name, cut to 30 characters and
// "..." when longer, and the size as FormatSizeText gives it.
std::wstring MakePreviewTitle(const std::wstring& name, uint64_t size);

// The hex view of count bytes (at most 1920 are shown): 16 bytes a line,
// "%02X" and a 4-pixel gap a byte in the hex column, one character a byte
// in the character column, both as DuiLib markup text in font 5. Bytes that
// are not printable ASCII, and the markup's own characters { } < >, show
// as ".", so nothing from the file is ever read as markup.
struct HexViewText
{
    std::wstring hex;
    std::wstring chars;
    int lines;
};
HexViewText BuildHexView(const unsigned char* bytes, size_t count);

// The character that stands for a byte in the character column.
wchar_t HexViewChar(unsigned char byte);
