// Finding the INF name in the Ports class subkeys: which subkey wins, what is passed over,
// and that no key is left open or a partial value used.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "adapter_machine.h"
#include "fake_platform.h"
#include "inf_lookup.h"

namespace brevel::testing {
namespace {

std::string Find(FakePlatform& machine) {
    char name[32];
    std::memset(name, '#', sizeof name);
    FindInfName(machine, name, sizeof name);
    EXPECT_NE(std::memchr(name, '\0', sizeof name), nullptr);
    EXPECT_EQ(machine.open_keys(), 0u) << "a registry key was left open";
    return name;
}

TEST(FindInfName, TakesTheInfPathOfTheAdaptersSubkey) {
    FakePlatform machine;
    InstallAdapterFiles(machine);
    EXPECT_EQ(Find(machine), "oem12.inf");
    EXPECT_EQ(machine.Entries("open key").front(),
              "open key SYSTEM\\CurrentControlSet\\Control\\Class\\"
              "{4D36E978-E325-11CE-BFC1-08002BE10318}\\");
    EXPECT_EQ(machine.Entries("open key").back(),
              "open key SYSTEM\\CurrentControlSet\\Control\\Class\\"
              "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001");
}

TEST(FindInfName, StopsAtTheFirstMatchingSubkeyWithAnInfPath) {
    FakePlatform machine;
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz(kAdapterMatchingId)}});
    machine.AddClassSubkey("0001", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem3.inf")}});
    machine.AddClassSubkey("0002", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem9.inf")}});
    EXPECT_EQ(Find(machine), "oem3.inf");
    for (const std::string& line : machine.Entries("open key"))
        EXPECT_EQ(line.find("0002"), std::string::npos) << "looked past the winner";
}

TEST(FindInfName, MatchesTheLowerCaseIdOnly) {
    FakePlatform machine;
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz(kAdapterId)},
                                    {"InfPath", Sz("oem4.inf")}});
    EXPECT_EQ(Find(machine), "");
}

TEST(FindInfName, PassesOverSubkeysThatCannotBeRead) {
    FakePlatform machine;
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem1.inf")}});
    machine.registry[FakePlatform::ClassKeyPath() + "0000"].open_fails = true;
    machine.registry[FakePlatform::ClassKeyPath()].subkeys.push_back("Properties");  // no key
    machine.AddClassSubkey("0001", {{"InfPath", Sz("oem2.inf")}});  // no MatchingDeviceId
    machine.AddClassSubkey("0002", {{"MatchingDeviceId", Sz(std::string(40, 'u'))},
                                    {"InfPath", Sz("oem3.inf")}});  // too long to compare
    machine.AddClassSubkey("0003", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem5.inf")}});
    EXPECT_EQ(Find(machine), "oem5.inf");
}

TEST(FindInfName, IsEmptyWithoutTheClassKeyOrAMatch) {
    FakePlatform machine;
    EXPECT_EQ(Find(machine), "");
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz("*pnp0501")},
                                    {"InfPath", Sz("msports.inf")}});
    EXPECT_EQ(Find(machine), "");
    machine.registry[FakePlatform::ClassKeyPath()].open_fails = true;
    EXPECT_EQ(Find(machine), "");
}

TEST(FindInfName, NeverKeepsPartOfAnInfPathThatDidNotFit) {
    FakePlatform machine;
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem12345678901234567890123456789.inf")}});
    machine.registry[FakePlatform::ClassKeyPath() + "0000"].partial_on_more_data = true;
    EXPECT_EQ(Find(machine), "");
}

TEST(FindInfName, RejectsAnInfPathThatFillsTheBufferWithoutATerminator) {
    FakePlatform machine;
    const std::string name32 = "oem1234567890123456789012345.inf";
    ASSERT_EQ(name32.size(), 32u);
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Bytes(name32.begin(), name32.end())}});
    EXPECT_EQ(Find(machine), "");
    // One byte shorter, with its terminator, fits exactly.
    machine.registry[FakePlatform::ClassKeyPath() + "0000"].values["InfPath"] =
        Sz(name32.substr(1));
    EXPECT_EQ(Find(machine), name32.substr(1));
}

TEST(FindInfName, SkipsASubkeyWhosePathWouldNotFit) {
    FakePlatform machine;
    const std::string long_name(200, 'k');  // the class path is 78 bytes
    machine.AddClassSubkey(long_name, {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                       {"InfPath", Sz("oem6.inf")}});
    machine.AddClassSubkey("0001", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem7.inf")}});
    EXPECT_EQ(Find(machine), "oem7.inf");
    for (const std::string& line : machine.Entries("open key"))
        EXPECT_EQ(line.find("kkkk"), std::string::npos) << "opened a cut-off path";
}

}  // namespace
}  // namespace brevel::testing
