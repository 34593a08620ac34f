// Build tool: turns a UTF-8 text source into a language file.
//
//   mklang <source.txt> <output.dll>
//
// Source lines:
//   [Name]        starts the section stored in the stream "Name"
//   # ...         comment (only at the start of a line)
//   key=value     one entry; any other non-empty line is stored as it is
// Escapes inside entries: \n line break, \t tab, \0 a NUL character (an
// entry break), \\ a backslash. Entries are written as UTF-16LE, each ended
// by a NUL, and the stream is scrambled the way the program unscrambles it.
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/Language.h"

namespace {
struct Section {
  std::wstring name;
  std::wstring text;  // entries, each followed by a NUL
};

bool ReadFileBytes(const wchar_t* path, std::string& out) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char buf[65536];
  DWORD got = 0;
  bool ok = true;
  while (true) {
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    out.append(buf, got);
  }
  CloseHandle(h);
  return ok;
}

bool Utf8ToWide(const std::string& s, std::wstring& out) {
  out.clear();
  if (s.empty()) return true;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), nullptr, 0);
  if (n <= 0) return false;
  out.resize(n);
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), &out[0], n);
  return true;
}

std::wstring Unescape(const std::wstring& line) {
  std::wstring r;
  for (size_t i = 0; i < line.size(); ++i) {
    wchar_t c = line[i];
    if (c == L'\\' && i + 1 < line.size()) {
      wchar_t e = line[i + 1];
      if (e == L'n') { r += L'\n'; ++i; continue; }
      if (e == L't') { r += L'\t'; ++i; continue; }
      if (e == L'0') { r += L'\0'; ++i; continue; }
      if (e == L'\\') { r += L'\\'; ++i; continue; }
    }
    r += c;
  }
  return r;
}

bool Parse(const std::wstring& src, std::vector<Section>& sections, std::wstring& error) {
  size_t pos = 0;
  int lineNo = 0;
  while (pos <= src.size()) {
    size_t end = src.find(L'\n', pos);
    if (end == std::wstring::npos) end = src.size();
    std::wstring line = src.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.empty() || line[0] == L'#') continue;
    if (line[0] == L'[' && line.back() == L']' && line.size() > 2) {
      Section s;
      s.name = line.substr(1, line.size() - 2);
      if (s.name.size() > 31) {
        error = L"section name longer than 31 characters at line " + std::to_wstring(lineNo);
        return false;
      }
      sections.push_back(s);
      continue;
    }
    if (sections.empty()) {
      error = L"entry before the first [section] at line " + std::to_wstring(lineNo);
      return false;
    }
    sections.back().text += Unescape(line);
    sections.back().text += L'\0';
  }
  return true;
}

bool Write(const wchar_t* path, const std::vector<Section>& sections) {
  IStorage* stg = nullptr;
  HRESULT hr = StgCreateDocfile(path, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stg);
  if (FAILED(hr)) {
    fwprintf(stderr, L"mklang: cannot create %ls (0x%08lx)\n", path, (unsigned long)hr);
    return false;
  }
  bool ok = true;
  for (const Section& s : sections) {
    std::vector<unsigned char> bytes(s.text.size() * 2);
    for (size_t i = 0; i < s.text.size(); ++i) {
      bytes[2 * i] = (unsigned char)(s.text[i] & 0xFF);
      bytes[2 * i + 1] = (unsigned char)(s.text[i] >> 8);
    }
    if (bytes.size() > kLanguageStreamLimit)
      fwprintf(stderr, L"mklang: warning: section %ls is longer than the program reads\n",
               s.name.c_str());
    UnmaskLanguageText(bytes.data(), (uint32_t)bytes.size());
    IStream* stream = nullptr;
    hr = stg->CreateStream(s.name.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                           &stream);
    if (FAILED(hr)) {
      fwprintf(stderr, L"mklang: cannot create stream %ls (0x%08lx)\n", s.name.c_str(),
               (unsigned long)hr);
      ok = false;
      break;
    }
    ULONG written = 0;
    if (!bytes.empty()) hr = stream->Write(bytes.data(), (ULONG)bytes.size(), &written);
    stream->Release();
    if (FAILED(hr) || written != bytes.size()) {
      ok = false;
      break;
    }
  }
  if (ok) ok = SUCCEEDED(stg->Commit(STGC_DEFAULT));
  stg->Release();
  if (!ok) DeleteFileW(path);
  return ok;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: mklang <source.txt> <output.dll>\n");
    return 2;
  }
  std::string raw;
  if (!ReadFileBytes(argv[1], raw)) {
    fwprintf(stderr, L"mklang: cannot read %ls\n", argv[1]);
    return 1;
  }
  if (raw.size() >= 3 && (unsigned char)raw[0] == 0xEF && (unsigned char)raw[1] == 0xBB &&
      (unsigned char)raw[2] == 0xBF)
    raw.erase(0, 3);
  std::wstring src;
  if (!Utf8ToWide(raw, src)) {
    fwprintf(stderr, L"mklang: %ls is not valid UTF-8\n", argv[1]);
    return 1;
  }
  std::vector<Section> sections;
  std::wstring error;
  if (!Parse(src, sections, error)) {
    fwprintf(stderr, L"mklang: %ls: %ls\n", argv[1], error.c_str());
    return 1;
  }
  if (!Write(argv[2], sections)) return 1;
  return 0;
}
