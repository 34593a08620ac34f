// Counts the bytes that loaded modules (the file-type plug-ins) read from
// files and devices: a hooked module's own import of kernel32's ReadFile goes
// through a counter shared by all hooked modules.
#pragma once

#include <windows.h>

#include <cstdint>

namespace readcount {

// Routes the module's ReadFile import through the counter; false when it has
// none (or it is hooked already).
bool Hook(HMODULE module);
// Gives the module its own import back.
void Unhook(HMODULE module);
uint64_t Bytes();
void Reset();

}  // namespace readcount
