// Entry point of Brevel Uninstall. The program has no window of its own and takes no
// arguments; it speaks to the user only through message boxes.
#include <windows.h>

#include "uninstaller.h"
#include "win32_platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    brevel::Win32Platform platform;
    brevel::RunUninstaller(platform);
    return 0;
}
