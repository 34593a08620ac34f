// Texts of the result page made from language texts that take arguments.
// Language texts are data: a text whose conversions do not match the
// arguments is replaced by the built-in English one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// format with its conversions (%d %s %I64d ..., flags, width and precision
// allowed) replaced in order by the texts of args; "%%" gives "%". When the
// format's conversions are not exactly args.size(), fallback is used.
std::wstring FormatUiText(const std::wstring& format, const std::vector<std::wstring>& args,
                          const wchar_t* fallback);

// "BottomStatus" with the checked count and the checked size.
std::wstring BottomStatusText(uint64_t count, uint64_t bytes);
// "BottomStatus" for one entry reads "BottomStatusOne".
// A disk's size for the disk lists: whole megabytes under 1 GB ("512 MB"),
// else whole gigabytes ("77 GB"), never "0 GB".
std::wstring DiskSizeText(double sizeGB);
// A disk's model for the disk lists: the language's "HardDisk" in place of
// the built-in "Hard Disk" of a disk that told no model of its own.
std::wstring DiskModelText(const std::wstring& model);
// The remaining-time text while there is no estimate yet.
std::wstring RemainTimeUnknownText();
// "ScanProgressText" with the percentage (per mille / 10, "%2.2f%%") and
// the remaining-time text.
std::wstring ScanProgressText(int perMille, const std::wstring& remain);
