// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once
#include <cstddef>
#include <string>

std::string Base64EncodeString(const unsigned char* data, size_t length);
// The contents of bytes, embedded zero bytes included.
std::string Base64Encode(const std::string& bytes);
// Decodes until the end, a "=" or the first character outside the alphabet;
// a trailing group of 2 or 3 characters gives 1 or 2 bytes, a single one
// nothing. Never fails.
std::string Base64Decode(const char* text, size_t length);
std::string Base64DecodeString(const std::string& text);
void Base64DecodeString(const std::string& text, std::string& out);
