// UI texts the engine shows, looked up by language key.
#pragma once
#include <cstddef>
#include <string>

// The text of a language key; the English default when the language texts
// have no entry for it.
std::wstring EngineUIText(const wchar_t* key);

// The built-in English text of a key (empty when the engine has none).
std::wstring EngineDefaultText(const wchar_t* key);

// Language texts are data, never trusted as printf formats. These fill the
// text of a key that takes one argument ("ScanningFile" an integer,
// "RemainTime" a text). A text whose conversions are anything but exactly
// one of the expected kind (besides "%%") is a bad translation: the
// built-in English text is used instead.
std::wstring EngineFormatInt(const wchar_t* key, int value);
std::wstring EngineFormatText(const wchar_t* key, const wchar_t* value);
// The same for a text that takes two integers ("RecoveredCount"), or
// `count` of them ("RecoverSummary").
std::wstring EngineFormatTwoInts(const wchar_t* key, int first, int second);
std::wstring EngineFormatInts(const wchar_t* key, const int* values, size_t count);

// The text of key when it is a one-argument format of that kind, else the
// built-in English text of key.
std::wstring ValidatedFormat(const std::wstring& text, const wchar_t* key, wchar_t kind);

// Whether a text holds exactly one conversion of the kind ('d' for an
// integer: d i u; 's' for a text), with flags, a width and a precision of up
// to three digits, and otherwise only "%%".
bool IsOneArgumentFormat(const std::wstring& text, wchar_t kind);

// Whether a text holds exactly the conversions of kinds, in that order ('d'
// an integer, 's' a text, 'f' a floating value), each with flags, a width
// and a precision of up to three digits, and otherwise only "%%".
bool IsFormatOfKinds(const std::wstring& text, const wchar_t* kinds);

// The lost-partition search's status: the "ScanHDTitle" text with the pass
// (from 1), the percentage done and the number of passes; the built-in
// English text when the translation is not of that form.
std::wstring EngineFormatSearchTitle(int pass, double percent, int passes);
