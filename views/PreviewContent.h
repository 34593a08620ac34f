// Where the bytes of a preview come from, and the shell's preview handlers.
//
// PreviewRequest turns one result entry (a file-system entry, a carved hit,
// or a plain file) into an IStream over its bytes in memory, names its
// extension and classes it as picture or text. PreviewHandlerHost shows the
// shell preview handler registered for an extension inside a child window.
// PreviewExchangeFile is the temporary copy of the bytes for a handler that
// only takes a file path.
//
// Nothing here writes to the scanned disk: streams live in memory, and the
// exchange file is refused when the temporary folder lies on what is scanned.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <shobjidl.h>

#include <cstdint>
#include <functional>
#include <string>

class CFoundItem;
class CVolumeInfo;
class IMainFrameServices;
struct DeepScanHit;

// Read caps of the previews.
const uint64_t MAX_PREVIEW_SIZE = 0x1E00000;   // plug-in and shell handler previews
// A picture is read whole (a part of one does not decode) up to this size;
// a larger one gets the "too large to preview" page.
const uint64_t MAX_PICTURE_PREVIEW_SIZE = 4 * MAX_PREVIEW_SIZE;
const uint32_t HEX_PREVIEW_SIZE = 1920;        // an entry shown only in hex
const uint64_t TEXT_PREVIEW_SIZE = 0x10000;    // text previews draw the first 1024 bytes
const uint64_t MAX_MEDIA_SIZE = 0x6400000;     // the media player loads at most 100 MiB

// A window that shows a carved hit: what a request reads from it.
class ICarvedHitOwner
{
public:
    virtual ~ICarvedHitOwner() {}
    virtual const DeepScanHit* GetCarvedHit() const = 0;
    virtual HANDLE GetDeviceHandle() const = 0;
    virtual int IsSourceDevice() const = 0;
};

// Reads a found entry into memory (at most cap bytes, 0 all) through the
// found-file reader of its file system (CRecoverFile::ReadToStream; the scan
// context of scan kind 4 is the lost partition's ILostPartitionSource);
// replaceable for tests. Arguments: the
// file-system code (7 NTFS, 11 FAT32, 6 FAT16, -7 exFAT), the volume, the
// scan context, the entry, the cap and the scan kind.
typedef IStream* (*FoundItemStreamReader)(int fileSystemCode, CVolumeInfo* volume, const void* extra,
                                         CFoundItem* item, uint64_t cap, int scanKind);
FoundItemStreamReader SetFoundItemStreamReader(FoundItemStreamReader reader);

// The file-system code of the lost partition of a scan context (scan kind
// 4): its ILostPartitionSource's current partition.
int FileSystemCodeOfLostPartition(const void* extra);
// The name of a plain file's path and its size; false when the file cannot
// be asked (the name is given anyway).
bool GetPlainFileNameAndSize(const std::wstring& path, std::wstring* name, uint64_t* size);

// An IStream over a copy of count bytes in movable global memory, at
// position 0; null when the memory cannot be had.
IStream* CreateMemoryStream(const void* data, size_t count);
// A stream that takes over movable global memory holding count bytes; the
// memory is freed when the stream cannot be made.
IStream* StreamOverGlobal(HGLOBAL mem, uint64_t count);
// The stream's size (0 when its status cannot be read).
uint64_t GetStreamSize(IStream* stream);
// Reads up to max bytes from the start of the stream; false when nothing
// could be read.
bool ReadStreamHead(IStream* stream, size_t max, std::string& out);

class PreviewRequest
{
public:
    PreviewRequest();

    // A file-system entry. frame is used only to find the volume when none
    // is given.
    void Init(CVolumeInfo* volume, const void* extra, CFoundItem* item, int kind, IMainFrameServices* frame);
    // A carved hit read from its owner window when the stream is opened.
    void InitCarvedForPreview(ICarvedHitOwner* owner, int kind);
    void InitCarvedForPlayer(ICarvedHitOwner* owner, int kind);
    // A carved hit given directly (the thumbnail worker).
    void InitCarved(const DeepScanHit* hit, HANDLE device, int isDevice, int kind);
    // A plain file of a readable file system (not a scan result).
    void InitFile(const std::wstring& path);

    // The entry's extension with its dot, in the case of its name; empty
    // when it has none. Cached.
    std::wstring GetExtension();
    // 1 when the lower-cased extension is a picture (png, jpg, jpeg, bmp,
    // gif, ico) or a text (txt, ini, log, xml, h, c, cpp, css, html, htm,
    // asp, aspx, php, m, bat) extension.
    BYTE IsImage();
    BYTE IsText();
    static bool IsImageExtension(const std::wstring& extension);
    static bool IsTextExtension(const std::wstring& extension);

    // An IStream over the entry's bytes (at most cap, 0 meaning all), at
    // position 0, owned by the caller; null when it cannot be read. A
    // carved hit's stream starts at the hit's own offset and holds exactly
    // min(length, cap) bytes (less only at the end of the device); a hit of
    // length 0 gives none.
    IStream* OpenStream(uint64_t cap);

    // The volume the request found (after OpenStream).
    CVolumeInfo* GetVolume() const { return m_pVolume; }

private:
    IStream* OpenCarvedStream(const DeepScanHit* hit, HANDLE device, int isDevice, uint64_t cap);
    IStream* OpenFileStream(uint64_t cap);

    std::wstring m_strExtension;
    CFoundItem* m_pItem;
    CVolumeInfo* m_pVolume;
    const void* m_pExtra;
    int m_nKind;
    ICarvedHitOwner* m_pPreviewOwner;
    ICarvedHitOwner* m_pPlayerOwner;
    IMainFrameServices* m_pFrame;
    const DeepScanHit* m_pHit;
    HANDLE m_hDevice;
    int m_bDevice;
    std::wstring m_strFilePath;
};

// Whether a path could lie on what the scan reads; the preview asks before
// it writes a file. Installed by whoever opens the preview.
typedef std::function<bool(const std::wstring& path)> ScannedPathCheck;

class PreviewExchangeFile
{
public:
    PreviewExchangeFile();
    ~PreviewExchangeFile();

    void SetStream(IStream* stream) { m_pStream = stream; }
    // Copies the stream into a new file of a unique name with the extension
    // in the temporary folder. 0 on success; 1 without a stream;
    // ERROR_ACCESS_DENIED when the temporary folder lies on what is scanned
    // (check); else the system error of the create or the write. A partial
    // file is removed.
    DWORD Write(const std::wstring& extension, const ScannedPathCheck& check);
    // The file's path (empty until written).
    const std::wstring& GetPath() const { return m_strPath; }
    // Deletes the file (also done by the destructor).
    void Remove();

    // The folder the file is written to (the temporary folder).
    static std::wstring GetFolder();

private:
    PreviewExchangeFile(const PreviewExchangeFile&);
    PreviewExchangeFile& operator=(const PreviewExchangeFile&);
    IStream* m_pStream;  // borrowed
    std::wstring m_strPath;
};

class PreviewHandlerHost
{
public:
    PreviewHandlerHost();
    ~PreviewHandlerHost();

    // The class identifier of the preview handler registered for the
    // extension (a dot is put in front when missing) under
    // HKEY_CLASSES_ROOT "<ext>\ShellEx\{8895b1c6-...}"; empty when none.
    static std::wstring FindHandlerClsid(const wchar_t* extension);

    void SetFilePath(const wchar_t* path)
    {
        if (path)
            m_strFilePath = path;
    }
    void SetStream(IStream* stream, const wchar_t* extension);

    // Creates the handler of the extension and asks for its initialisation
    // interfaces, once per entry. S_OK when it exists; E_NOINTERFACE when it
    // offers neither interface; another failure when it cannot be created.
    HRESULT Create();
    bool TakesStream() const { return m_pStreamInit != NULL; }
    bool TakesFile() const { return m_pFileInit != NULL; }
    // Initialises the created handler with the stream, or else with the
    // file path, and shows it in parent over rect. 0 on success; 160
    // (ERROR_BAD_ARGUMENTS) without a parent, an extension or a handler; the
    // failure of the initialisation otherwise.
    HRESULT ShowPreview(HWND parent, const RECT& rect);
    // Moves a shown handler to a new rectangle.
    void SetRect(const RECT& rect);
    bool IsShown() const { return m_bShown; }
    // Unloads and releases the handler and its interfaces.
    void Release();

private:
    PreviewHandlerHost(const PreviewHandlerHost&);
    PreviewHandlerHost& operator=(const PreviewHandlerHost&);

    IPreviewHandler* m_pHandler;
    IInitializeWithFile* m_pFileInit;
    IInitializeWithStream* m_pStreamInit;
    IStream* m_pStream;  // borrowed from the preview window
    std::wstring m_strExtension;
    std::wstring m_strFilePath;
    bool m_bShown;
    RECT m_rcShown;
};
