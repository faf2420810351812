// Every path through the program, end to end against the fake machine: what is removed,
// what is kept, which messages appear and in what order things happen.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapter_identity.h"
#include "adapter_machine.h"
#include "fake_platform.h"
#include "uninstaller.h"

namespace brevel::testing {
namespace {

using Names = std::vector<std::string>;

constexpr int kYes = 6;
constexpr int kNo = 7;
const std::string kConfirm = "Are you sure you want to completely remove Brevel?";
const std::string kSuccess = "Brevel was successfully removed from your computer.";

class UninstallerTest : public ::testing::Test {
protected:
    UninstallerTest() {
        InstallAdapterFiles(machine);
        FakeDevice unplugged = Device("unplugged", {"USB\\Other", kAdapterId});
        unplugged.present = false;
        machine.devices = {Adapter("adapter"), Device("modem", {"ACPI\\PNP0501"}), unplugged};
        machine.answers = {kYes};
    }

    void Run() {
        RunUninstaller(machine);
        EXPECT_EQ(machine.outstanding_allocations(), 0u);
        EXPECT_EQ(machine.open_keys(), 0u);
    }
    Names Texts() const {
        Names texts;
        for (const ShownMessage& message : machine.messages) texts.push_back(message.text);
        return texts;
    }
    bool FilesDeleted() const {
        return !machine.HasFile(kDriverPath) && !machine.HasFile(kInfPath) &&
               !machine.HasFile(kPnfPath);
    }
    bool FilesKept() const {
        return machine.HasFile(kDriverPath) && machine.HasFile(kInfPath) &&
               machine.HasFile(kPnfPath) && machine.HasFile("C:\\WINDOWS\\inf\\msports.inf");
    }
    std::size_t Position(const std::string& prefix) const {
        const auto at = std::find_if(machine.journal.begin(), machine.journal.end(),
                                     [&](const std::string& line) {
                                         return line.rfind(prefix, 0) == 0;
                                     });
        EXPECT_NE(at, machine.journal.end()) << prefix;
        return static_cast<std::size_t>(at - machine.journal.begin());
    }

    FakePlatform machine;
};

TEST_F(UninstallerTest, DoesNothingOnTheNonNtFamily) {
    machine.version = kNonNtVersion;
    Run();
    EXPECT_TRUE(machine.journal.empty());
    EXPECT_TRUE(FilesKept());
}

TEST_F(UninstallerTest, AsksFirstWithNoAsTheDefault) {
    machine.answers = {kNo};
    Run();
    ASSERT_EQ(machine.messages.size(), 1u);
    EXPECT_EQ(machine.messages[0].text, kConfirm);
    EXPECT_EQ(machine.messages[0].caption, "Brevel Uninstall");
    EXPECT_EQ(machine.messages[0].style, 0x124u);
}

TEST_F(UninstallerTest, ChangesNothingUnlessTheAnswerIsYes) {
    for (int answer : {kNo, 1, 2, 0}) {
        machine.answers = {answer};
        machine.journal.clear();
        Run();
        EXPECT_EQ(machine.journal.size(), 1u) << "only the question, answer " << answer;
        EXPECT_TRUE(machine.RemovedDevices().empty());
        EXPECT_TRUE(FilesKept());
    }
}

TEST_F(UninstallerTest, RemovesAllAdaptersAndTheirFilesOnANormalRun) {
    Run();
    EXPECT_EQ(machine.RemovedDevices(), (Names{"adapter", "unplugged"}));
    EXPECT_TRUE(FilesDeleted());
    EXPECT_TRUE(machine.HasFile("C:\\WINDOWS\\inf\\msports.inf"));
    EXPECT_EQ(Texts(), (Names{kConfirm, kSuccess}));
    EXPECT_EQ(machine.messages[1].caption, "Brevel Uninstall");
    EXPECT_EQ(machine.messages[1].style, 0x40u);
    EXPECT_TRUE(machine.set_destroyed);
}

TEST_F(UninstallerTest, OpensTheWholePortsClassPresentOrNot) {
    Run();
    ASSERT_TRUE(machine.class_devs_guid.has_value());
    EXPECT_EQ(machine.class_devs_guid->data1, 0x4D36E978u);
    EXPECT_EQ(machine.class_devs_guid->data2, 0xE325u);
    EXPECT_EQ(machine.class_devs_guid->data3, 0x11CEu);
    const std::uint8_t tail[8] = {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18};
    EXPECT_TRUE(std::equal(tail, tail + 8, machine.class_devs_guid->data4));
    EXPECT_EQ(machine.class_devs_flags, 0u);
}

TEST_F(UninstallerTest, FindsTheInfBeforeRemovingAnyDevice) {
    Run();
    EXPECT_LT(Position("close key"), Position("open device set"));
}

TEST_F(UninstallerTest, DeletesFilesOnlyAfterTheSuccessMessage) {
    Run();
    const std::size_t success = Position("message Brevel Uninstall: " + kSuccess);
    EXPECT_LT(Position("class installer"), success);
    EXPECT_LT(success, Position("destroy device set"));
    EXPECT_LT(Position("destroy device set"), Position("attributes "));
    EXPECT_LT(success, Position("delete "));
}

TEST_F(UninstallerTest, ChangesNothingWhenTheDeviceSetCannotBeOpened) {
    machine.class_devs_error = 5;
    machine.system_texts[5] = "Access is denied.\r\n";
    Run();
    EXPECT_EQ(Texts(), (Names{kConfirm, "GetClassDevs) FAILURE: Access is denied.\r\n"}));
    EXPECT_EQ(machine.messages[1].caption, "Brevel Uninstall Error");
    EXPECT_EQ(machine.messages[1].style, 0x10u);
    EXPECT_TRUE(FilesKept());
    EXPECT_TRUE(machine.Entries("attributes").empty());
    EXPECT_FALSE(machine.set_destroyed);
}

TEST_F(UninstallerTest, DeletesFilesButShowsNoSuccessAfterAPropertyFailure) {
    machine.devices[1].property_error = 87;
    Run();
    EXPECT_EQ(Texts(), (Names{kConfirm, "GetDeviceRegistryProperty FAILURE: 0x00000057"}));
    EXPECT_EQ(machine.RemovedDevices(), Names{"adapter"});
    EXPECT_TRUE(machine.set_destroyed);
    EXPECT_TRUE(FilesDeleted());
}

TEST_F(UninstallerTest, DeletesFilesButShowsNoSuccessWhenTheSecondRemovalFails) {
    machine.devices[2].removal_error = 0xE0000219;
    Run();
    EXPECT_EQ(Texts(), (Names{kConfirm, "CallClassInstaller(REMOVE) FAILURE: 0xe0000219"}));
    EXPECT_EQ(machine.RemovedDevices(), Names{"adapter"});
    EXPECT_TRUE(machine.set_destroyed);
    EXPECT_TRUE(FilesDeleted());
    EXPECT_LT(Position("destroy device set"), Position("delete "));
}

TEST_F(UninstallerTest, ShowsSuccessAfterAnEnumerationError) {
    machine.enum_error_at = 2;
    machine.enum_error = 1;
    machine.system_texts[1] = "Incorrect function.\r\n";
    Run();
    EXPECT_EQ(Texts(), (Names{kConfirm, "EnumDeviceInfo FAILURE: Incorrect function.\r\n",
                              kSuccess}));
    EXPECT_EQ(machine.RemovedDevices(), Names{"adapter"});
    EXPECT_TRUE(FilesDeleted());
}

TEST_F(UninstallerTest, RemovesDevicesAndTheDriverWithoutAMatchingClassSubkey) {
    machine.registry.clear();
    Run();
    EXPECT_EQ(machine.RemovedDevices(), (Names{"adapter", "unplugged"}));
    EXPECT_FALSE(machine.HasFile(kDriverPath));
    EXPECT_TRUE(machine.HasFile(kInfPath));
    EXPECT_TRUE(machine.HasFile(kPnfPath));
    EXPECT_TRUE(machine.Entries("delete C:\\WINDOWS\\inf").empty());
}

}  // namespace
}  // namespace brevel::testing
