// A class installer for the Ports class that refuses to remove one device, so the Wine tests
// can see a real DIF_REMOVE failure. It refuses devices whose instance ID ends in "\REFUSE"
// with ERROR_ACCESS_DENIED and leaves every other request to the setup API's default action.
// Registered in the test prefix as the class key's Installer32 value.
#include <windows.h>
#include <setupapi.h>

#include <cstring>

extern "C" __declspec(dllexport) DWORD WINAPI RefuseRemoval(DI_FUNCTION function, HDEVINFO set,
                                                             PSP_DEVINFO_DATA device) {
    if (function != DIF_REMOVE || device == nullptr) return ERROR_DI_DO_DEFAULT;
    char id[256];
    if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr))
        return ERROR_DI_DO_DEFAULT;
    const char suffix[] = "\\REFUSE";
    const std::size_t length = std::strlen(id);
    const std::size_t suffix_length = sizeof suffix - 1;
    if (length >= suffix_length && std::strcmp(id + length - suffix_length, suffix) == 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_DI_DO_DEFAULT;
}
