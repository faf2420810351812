// Deleting the driver file and the INF copies: paths, order, read-only files and every reason
// to leave a file alone.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapter_machine.h"
#include "fake_platform.h"
#include "file_removal.h"

namespace brevel::testing {
namespace {

std::vector<std::string> FileCalls(const FakePlatform& machine) {
    std::vector<std::string> calls;
    for (const std::string& line : machine.journal)
        if (line.rfind("attributes ", 0) == 0 || line.rfind("delete ", 0) == 0)
            calls.push_back(line);
    return calls;
}

TEST(RemoveInstalledFiles, DeletesTheDriverThenBothInfCopies) {
    FakePlatform machine;
    InstallAdapterFiles(machine);
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_EQ(FileCalls(machine), (std::vector<std::string>{
                                      "attributes " + kDriverPath, "delete " + kDriverPath,
                                      "attributes " + kInfPath, "attributes " + kPnfPath,
                                      "delete " + kInfPath, "delete " + kPnfPath}));
    EXPECT_FALSE(machine.HasFile(kDriverPath));
    EXPECT_FALSE(machine.HasFile(kInfPath));
    EXPECT_FALSE(machine.HasFile(kPnfPath));
    EXPECT_TRUE(machine.HasFile("C:\\WINDOWS\\inf\\msports.inf"));
    EXPECT_TRUE(machine.messages.empty());
}

TEST(RemoveInstalledFiles, DeletesReadOnlyFiles) {
    FakePlatform machine;
    InstallAdapterFiles(machine);
    machine.files[kDriverPath] = kFileAttributeReadOnly;
    machine.files[kPnfPath] = kFileAttributeReadOnly | 0x20;
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_FALSE(machine.HasFile(kDriverPath));
    EXPECT_FALSE(machine.HasFile(kPnfPath));
}

TEST(RemoveInstalledFiles, TouchesNoInfWithoutABaseName) {
    for (const char* name : {"", ".inf", "."}) {
        FakePlatform machine;
        InstallAdapterFiles(machine);
        RemoveInstalledFiles(machine, name);
        EXPECT_FALSE(machine.HasFile(kDriverPath)) << name;
        EXPECT_EQ(FileCalls(machine).size(), 2u) << name;
    }
}

TEST(RemoveInstalledFiles, UsesTheNameUpToItsFirstDot) {
    FakePlatform machine;
    RemoveInstalledFiles(machine, "oem7");
    RemoveInstalledFiles(machine, "oem8.inf.old");
    EXPECT_EQ(machine.Entries("delete C:\\WINDOWS\\inf"),
              (std::vector<std::string>{
                  "delete C:\\WINDOWS\\inf\\oem7.INF", "delete C:\\WINDOWS\\inf\\oem7.PNF",
                  "delete C:\\WINDOWS\\inf\\oem8.INF", "delete C:\\WINDOWS\\inf\\oem8.PNF"}));
}

TEST(RemoveInstalledFiles, KeepsADotInsideADoubleByteCharacter) {
    FakePlatform machine;
    machine.lead_bytes = {0x81};
    RemoveInstalledFiles(machine, "\x81.x.inf");
    EXPECT_EQ(machine.Entries("delete C:\\WINDOWS\\inf"),
              (std::vector<std::string>{"delete C:\\WINDOWS\\inf\\\x81.x.INF",
                                        "delete C:\\WINDOWS\\inf\\\x81.x.PNF"}));
}

TEST(RemoveInstalledFiles, GoesOnToTheInfWithoutTheSystemDirectory) {
    FakePlatform machine;
    InstallAdapterFiles(machine);
    machine.system_directory.reset();
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_TRUE(machine.HasFile(kDriverPath));
    EXPECT_FALSE(machine.HasFile(kInfPath));
    EXPECT_FALSE(machine.HasFile(kPnfPath));
}

TEST(RemoveInstalledFiles, StopsAfterTheDriverWithoutTheWindowsDirectory) {
    FakePlatform machine;
    InstallAdapterFiles(machine);
    machine.windows_directory.reset();
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_FALSE(machine.HasFile(kDriverPath));
    EXPECT_TRUE(machine.HasFile(kInfPath));
    EXPECT_TRUE(machine.HasFile(kPnfPath));
}

TEST(RemoveInstalledFiles, AttemptsNoPathThatWouldNotFit) {
    FakePlatform machine;
    // The system directory fits its buffer but not with "\drivers\ORVIX.sys" after it; the
    // Windows directory does not even fit its buffer.
    machine.system_directory = "C:\\" + std::string(250, 's');
    machine.windows_directory = "C:\\" + std::string(300, 'w');
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_TRUE(FileCalls(machine).empty());
    // An INF path that would pass 259 bytes only with its extension.
    FakePlatform near;
    near.windows_directory = "C:\\" + std::string(243, 'w');  // + "\inf\" + "oem12" = 256
    RemoveInstalledFiles(near, "oem12.inf");
    EXPECT_TRUE(near.Entries("delete C:\\ww").empty());
    EXPECT_TRUE(near.Entries("attributes C:\\ww").empty());
}

TEST(RemoveInstalledFiles, IsSilentWhenFilesAreMissing) {
    FakePlatform machine;
    RemoveInstalledFiles(machine, "oem12.inf");
    EXPECT_EQ(FileCalls(machine).size(), 6u);
    EXPECT_TRUE(machine.messages.empty());
}

}  // namespace
}  // namespace brevel::testing
