// Test helper: lets the raw device names read real image files under Wine.
//
// Wine resolves "\\.\X:" through "<prefix>/dosdevices/x::", the drive root
// "X:\" through "<prefix>/dosdevices/x:" and "\\.\PhysicalDriveN" through
// "<prefix>/dosdevices/physicaldriveN". A link to an image makes CreateFileW
// on those names open the image, so the code under test takes its real
// device path. Wine's CreateSymbolicLinkW is a stub, so the links are made by
// the Unix ln/rm, and each call polls until the name shows the image. Use
// distinct letters and numbers per test program (one prefix per build):
// test programs run side by side and see each other's links.
//   storage_tests  r s v (and U, Y stay unmapped); PhysicalDrive 1 9 11 12 13 (29 stays unmapped)
//   engine_tests   G H I J A T D; PhysicalDrive 10  scan-fixtures.sh (scan tool)  K L M-Q R; scan's default S
//   recover-fixtures.sh (recover tool) X; recover-faildev.sh X (same lock); recover-diskfull.sh E F
//   app_*_tests    W (one suite at a time) P Q (one suite at a time; locked
//                  against scan-fixtures.sh); PhysicalDrive 5 6 14 15, and 0 (the
//                  journey: a lost partition of the first disk)
//   engine_lostpart_tests  O; PhysicalDrive 2 3
//                  lostpart-fixtures.sh N; PhysicalDrive 7 (lostpart's default), 8 (scan lost's)
// Pick new ones outside these. Within the window tests' program a disk number
// is mapped once: a disk name mapped, removed and mapped again in one process
// has left that process with no screen under Wine (a screen width of 0, so
// windows of no size that are never laid out).
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace devicemap {

// True when running under Wine with a usable dosdevices folder.
bool Available();

// Removes its links when it goes out of scope. Paths are Windows paths.
class CScopedDeviceMap
{
public:
    CScopedDeviceMap() {}
    ~CScopedDeviceMap();
    bool Volume(wchar_t letter, const std::wstring& imagePath);   // "\\.\X:"
    bool PhysicalDrive(int n, const std::wstring& imagePath);      // "\\.\PhysicalDriveN"
    bool DriveFolder(wchar_t letter, const std::wstring& folder);  // "X:\"

private:
    CScopedDeviceMap(const CScopedDeviceMap&);
    CScopedDeviceMap& operator=(const CScopedDeviceMap&);
    bool Map(const std::string& link, const std::wstring& device, const std::wstring& target, bool image);
    struct Link
    {
        std::string name;     // in dosdevices
        std::wstring device;  // the Windows name
        std::string shown;    // what the first disk's name showed, else empty
    };
    std::vector<Link> m_links;
};

// A drive letter defined through Wine's mount manager, as winecfg does: the
// letter's root is a folder and its volume device ("\\.\X:") an image,
// and every process, this one included, lists the letter at once (links
// made by hand are listed only by processes started after the mount
// manager saw them). Gone with the object. Wine reports the file system of
// the root folder's host for such a letter, not the image's.
class CMountedDrive
{
public:
    CMountedDrive() : m_letter(0) {}
    ~CMountedDrive();
    bool Define(wchar_t letter, const std::wstring& rootFolder, const std::wstring& imagePath);

private:
    CMountedDrive(const CMountedDrive&);
    CMountedDrive& operator=(const CMountedDrive&);
    wchar_t m_letter;
};

}  // namespace devicemap

// Skips the calling test where Wine's drive links cannot be made.
#define NEEDS_WINE_DRIVES() \
  if (!devicemap::Available()) GTEST_SKIP() << "needs Wine's dosdevices"
