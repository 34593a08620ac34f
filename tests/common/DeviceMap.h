// Test helper: lets the raw device names read real image files under Wine.
//
// Wine resolves "\\.\X:" through the link "<prefix>/dosdevices/x::" and
// "\\.\PhysicalDriveN" through "<prefix>/dosdevices/physicaldriveN"; a link
// to an image file makes CreateFileW on those names open the image, so the
// code under test takes its real device path (its disk control codes then
// answer "not supported", as Wine does for files).
//
// How the links are made: Wine's CreateSymbolicLinkW is a stub, so the helper
// runs the Unix "ln"/"rm" (Wine starts Unix programs named by a Z:\ path)
// with Unix paths: the prefix from WINEPREFIX (else ~/.wine) and the image's
// Unix path from wine_get_unix_file_name. Wine returns no waitable handle for
// a Unix process, so each call then polls (up to 10 s) until the device name
// opens (or stops opening). Links are removed by the scoped object's
// destructor. Use distinct letters and numbers per test program: the tests
// of one build share one prefix. Outside Wine every call fails.
#pragma once
#include <string>

namespace devicemap {

// True when running under Wine with a usable dosdevices folder.
bool Available();

// Creates (replacing) the link for "\\.\<letter>:" to imagePath (a Windows path).
bool MapVolume(wchar_t letter, const std::wstring& imagePath);
// Creates the link for "\\.\PhysicalDrive<n>" to imagePath.
bool MapPhysicalDrive(int n, const std::wstring& imagePath);
// Creates the drive "<letter>:\" itself as a folder (dosdevices "<letter>:"),
// so that the letter appears among the logical drives.
bool MapDriveFolder(wchar_t letter, const std::wstring& folderPath);

bool UnmapVolume(wchar_t letter);
bool UnmapPhysicalDrive(int n);
bool UnmapDriveFolder(wchar_t letter);

// A free physical-drive number (no link yet), from 8 up; -1 when none.
int FreePhysicalDriveNumber();

// Removes its links when it goes out of scope.
class CScopedDeviceMap
{
public:
    CScopedDeviceMap() {}
    ~CScopedDeviceMap();
    bool Volume(wchar_t letter, const std::wstring& imagePath);
    bool PhysicalDrive(int n, const std::wstring& imagePath);
    bool DriveFolder(wchar_t letter, const std::wstring& folderPath);

private:
    CScopedDeviceMap(const CScopedDeviceMap&);
    CScopedDeviceMap& operator=(const CScopedDeviceMap&);
    std::wstring m_volumes;
    std::wstring m_folders;
    std::wstring m_drives;  // one character per drive number (L'0' + n)
};

}  // namespace devicemap
