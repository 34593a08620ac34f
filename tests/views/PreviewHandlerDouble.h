// The test double of a shell preview handler (PreviewHandlerDouble.dll).
#pragma once
#include <windows.h>

// {D5A1C0DE-7E57-4E5A-9B1E-00000000A001} and the two after it.
static const CLSID CLSID_DoubleStreamHandler = {0xD5A1C0DE, 0x7E57, 0x4E5A, {0x9B, 0x1E, 0, 0, 0, 0, 0xA0, 0x01}};
static const CLSID CLSID_DoubleFileHandler = {0xD5A1C0DE, 0x7E57, 0x4E5A, {0x9B, 0x1E, 0, 0, 0, 0, 0xA0, 0x02}};
static const CLSID CLSID_DoubleNoInitHandler = {0xD5A1C0DE, 0x7E57, 0x4E5A, {0x9B, 0x1E, 0, 0, 0, 0, 0xA0, 0x03}};

struct DoubleCounters
{
    volatile LONG created;
    volatile LONG alive;
    volatile LONG initStream;
    volatile LONG initFile;
    volatile LONG doPreview;
    volatile LONG setRect;
    volatile LONG unload;
    unsigned long long lastBytes;
    wchar_t lastFile[MAX_PATH];
};
typedef DoubleCounters* (*GetDoubleCountersFn)();
