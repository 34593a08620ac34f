#include "views/PreviewText.h"

#include <windows.h>

#include "core/Helpers.h"
#include "core/Language.h"
#include "views/PreviewContent.h"

bool IsTwoTextFormat(const std::wstring& format)
{
    int texts = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%')
            continue;
        if (i + 1 >= format.size())
            return false;
        if (format[i + 1] == L'%') {
            ++i;
        } else if (format[i + 1] == L's') {
            ++texts;
            ++i;
        } else {
            return false;
        }
    }
    return texts == 2;
}

std::wstring FillTwoTexts(const std::wstring& format, const std::wstring& first, const std::wstring& second)
{
    std::wstring out;
    int next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size()) {
            if (format[i + 1] == L'%') {
                out += L'%';
                ++i;
                continue;
            }
            if (format[i + 1] == L's' && next < 2) {
                out += next++ == 0 ? first : second;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

std::wstring MakePreviewTitle(const std::wstring& name, uint64_t size)
{
    std::wstring shown = name.size() > 30 ? name.substr(0, 30) + L"..." : name;
    wchar_t sizeText[64] = {};
    FormatSizeText(size, sizeText, sizeof(sizeText));
    std::wstring format = GetUIText(L"PreviewTitle");
    if (!IsTwoTextFormat(format))
        format = L"%s (%s)";
    return FillTwoTexts(format, shown, sizeText);
}

wchar_t HexViewChar(unsigned char byte)
{
    if (byte < 0x20 || byte >= 0x7F)
        return L'.';
    switch (byte) {
    case '{':
    case '}':
    case '<':
    case '>':
        return L'.';
    }
    return (wchar_t)byte;
}

HexViewText BuildHexView(const unsigned char* bytes, size_t count)
{
    if (count > HEX_PREVIEW_SIZE)
        count = HEX_PREVIEW_SIZE;
    HexViewText view;
    view.hex = L"{f 5}";
    view.chars = L"{f 5}";
    view.lines = 0;
    std::wstring hexLine, charLine;
    static const wchar_t digits[] = L"0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        if (i != 0 && i % 16 == 0) {
            view.hex += hexLine + L"{n}";
            view.chars += charLine + L"{n}";
            hexLine.clear();
            charLine.clear();
            ++view.lines;
        }
        hexLine += digits[bytes[i] >> 4];
        hexLine += digits[bytes[i] & 15];
        hexLine += L"{x 4}";
        charLine += HexViewChar(bytes[i]);
    }
    if (count) {
        view.hex += hexLine;
        view.chars += charLine;
        ++view.lines;
    }
    view.hex += L"{/f}";
    view.chars += L"{/f}";
    return view;
}
