// Registers and lists devices of the Ports class in a Wine prefix.
//
//   ports_devices add [ID...]            a root-enumerated device with these hardware IDs
//                                         (none: a device without a hardware-ID list)
//   ports_devices add-as INSTANCE [ID...] the same under a given instance ID, e.g. the
//                                         USB\VID_...\serial form an adapter leaves behind
//   ports_devices list                    every device of the class, present or not, one a
//                                         line: "INSTANCE: ID|ID|..." or "INSTANCE: -"
//
// Prints the new instance ID after "add"; exits non-zero with the failing call on error.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr DWORD kInstanceIdSize = 256;  // MAX_DEVICE_ID_LEN is 200

int Fail(const char* call) {
    std::printf("%s failed: %lu\n", call, GetLastError());
    return 1;
}

int Add(const char* instance, DWORD create_flags, int id_count, char** ids) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoA(set, instance, &kPorts, nullptr, nullptr, create_flags, &device))
        return Fail("SetupDiCreateDeviceInfoA");
    if (id_count > 0) {
        std::string list;
        for (int i = 0; i < id_count; ++i) list.append(ids[i]).push_back('\0');
        list.push_back('\0');
        if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(list.data()),
                                               static_cast<DWORD>(list.size())))
            return Fail("SetupDiSetDeviceRegistryPropertyA");
    }
    if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr))
        return Fail("SetupDiRegisterDeviceInfo");
    char id[kInstanceIdSize];
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr))
        return Fail("SetupDiGetDeviceInstanceIdA");
    std::printf("%s\n", id);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

int List() {
    HDEVINFO set = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        char id[kInstanceIdSize];
        if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr))
            return Fail("SetupDiGetDeviceInstanceIdA");
        char ids[2048] = {};
        std::string shown;
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(ids), sizeof ids - 2,
                                              nullptr)) {
            for (const char* at = ids; *at != '\0'; at += std::strlen(at) + 1) {
                if (!shown.empty()) shown.push_back('|');
                shown += at;
            }
        } else if (GetLastError() != ERROR_INVALID_DATA) {
            return Fail("SetupDiGetDeviceRegistryPropertyA");
        }
        std::printf("%s: %s\n", id, shown.empty() ? "-" : shown.c_str());
    }
    if (GetLastError() != ERROR_NO_MORE_ITEMS) return Fail("SetupDiEnumDeviceInfo");
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "add") == 0)
        return Add("PORTS", DICD_GENERATE_ID, argc - 2, argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "add-as") == 0)
        return Add(argv[2], 0, argc - 3, argv + 3);
    if (argc == 2 && std::strcmp(argv[1], "list") == 0) return List();
    std::fprintf(stderr, "usage: ports_devices add [ID...] | add-as INSTANCE [ID...] | list\n");
    return 2;
}
