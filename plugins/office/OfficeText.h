// Preview texts of office documents: the beginning of a Word document's text,
// or the first cells of a workbook's first sheet, as UTF-8.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace office {

enum { kMinTextDocument = 2304 };

// Which text a document gives, from the extension the caller put in the text
// buffer (compared without regard to case).
enum class TextKind { None, Word, Workbook };
TextKind TextKindOf(const char* text, int capacity);

// UTF-16 (units, up to the first NUL or n) appended to out as UTF-8, whole
// characters only, while out stays within budget bytes. Unpaired surrogates
// become U+FFFD.
void AppendUtf8(const wchar_t* s, size_t n, size_t budget, std::string* out);

// The document text of a Word (or Works) document image: 1 with the text (at
// most min(capacity, 1024) / 2 characters, within capacity as UTF-8 with its
// NUL) once the document stream and its text were read.
int WordText(const void* image, int64_t size, char* text, int capacity);

// The first sheet's cells (or, for a sheet without cells, the shared strings)
// of a workbook image: 1 when the workbook has a first sheet. maxStrings
// bounds the shared strings listed (0: only the capacity bounds them).
int WorkbookText(const void* image, int64_t size, char* text, int capacity, uint32_t maxStrings);

// An OLE automation date (days since 30 December 1899) as a calendar date and
// time; true when the value is taken as a date (years 1901 to 2499, neither
// 31 December nor 1 January).
bool ConvertOleDate(double value, int* year, int* month, int* day, int* hour, int* minute,
                    int* second, int* millisecond);

}  // namespace office
