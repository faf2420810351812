// Installs a driver package in a Wine prefix the way a user does on Windows: the INF is copied
// into the INF folder under an "oem" name (SetupCopyOEMInf), then installed for every device
// with the given hardware ID (UpdateDriverForPlugAndPlayDevices).
//
//   install_driver INF HARDWARE_ID
//
// Prints the file name of the INF copy, e.g. "oem0.inf"; exits non-zero with the failing call.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: install_driver INF HARDWARE_ID\n");
        return 2;
    }
    char copy[MAX_PATH];
    char* copy_name = nullptr;
    if (!SetupCopyOEMInfA(argv[1], nullptr, SPOST_PATH, 0, copy, sizeof copy, nullptr,
                          &copy_name)) {
        std::printf("SetupCopyOEMInfA failed: %lu\n", GetLastError());
        return 1;
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, argv[2], argv[1], INSTALLFLAG_FORCE,
                                            &reboot)) {
        std::printf("UpdateDriverForPlugAndPlayDevicesA failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("%s\n", copy_name != nullptr ? copy_name : copy);
    return 0;
}
