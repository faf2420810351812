// Walking the device set: which devices are removed, how the hardware-ID list is read, and
// what each failure stops.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapter_machine.h"
#include "device_removal.h"
#include "fake_platform.h"

namespace brevel::testing {
namespace {

using Names = std::vector<std::string>;

class DeviceRemovalTest : public ::testing::Test {
protected:
    DeviceRemoval Run() {
        const DeviceSetHandle set = machine.OpenClassDevices(Guid{}, 0);
        const DeviceRemoval result = RemoveAdapterDevices(machine, set);
        machine.DestroyDeviceSet(set);
        EXPECT_EQ(machine.outstanding_allocations(), 0u) << "a buffer was not freed";
        return result;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const ShownMessage& message : machine.messages) texts.push_back(message.text);
        return texts;
    }

    FakePlatform machine;
};

TEST_F(DeviceRemovalTest, RemovesEveryDeviceThatNamesTheAdapter) {
    machine.devices = {Adapter("first"),
                       Device("later", {"USB\\Other", "USB\\Vid_7A3C", kAdapterId}),
                       Device("lower case", {kAdapterMatchingId}),
                       Device("serial", {"ACPI\\PNP0501", "*PNP0501"}),
                       Adapter("last")};
    EXPECT_EQ(Run(), DeviceRemoval::kFinished);
    EXPECT_EQ(machine.RemovedDevices(), (Names{"first", "later", "last"}));
    EXPECT_TRUE(machine.messages.empty());
}

TEST_F(DeviceRemovalTest, PassesOverDevicesWithoutAHardwareIdList) {
    FakeDevice bare;
    bare.name = "bare";
    FakeDevice empty;
    empty.name = "empty";
    empty.hardware_ids = Bytes{};  // an empty property reads without a buffer
    machine.devices = {bare, empty, Adapter("adapter")};
    EXPECT_EQ(Run(), DeviceRemoval::kFinished);
    EXPECT_EQ(machine.RemovedDevices(), Names{"adapter"});
    EXPECT_TRUE(machine.messages.empty());
}

TEST_F(DeviceRemovalTest, RemovesADeviceOnceThoughItsListNamesTheAdapterTwice) {
    machine.devices = {Device("twice", {kAdapterId, kAdapterId})};
    Run();
    EXPECT_EQ(machine.Entries("class installer").size(), 1u);
    EXPECT_EQ(machine.Entries("class installer").front(), "class installer 5 twice");
}

TEST_F(DeviceRemovalTest, ReadsTheListIntoABufferOfTheAskedSize) {
    FakeDevice grows = Device("grows", {"USB\\Other", kAdapterId});
    grows.grows_with = "USB\\Added";  // bigger at the second read than at the size query
    machine.devices = {grows};
    Run();
    EXPECT_EQ(machine.Entries("read hardware IDs"),
              (Names{"read hardware IDs grows size 0", "read hardware IDs grows size 33",
                     "read hardware IDs grows size 43"}));
    EXPECT_EQ(machine.RemovedDevices(), Names{"grows"});
}

TEST_F(DeviceRemovalTest, StopsAtAPropertyFailure) {
    FakeDevice broken = Adapter("broken");
    broken.property_error = 5;
    machine.system_texts[5] = "Access is denied.\r\n";
    machine.devices = {Adapter("before"), broken, Adapter("after")};
    EXPECT_EQ(Run(), DeviceRemoval::kStopped);
    EXPECT_EQ(machine.RemovedDevices(), Names{"before"});
    EXPECT_EQ(Texts(), Names{"GetDeviceRegistryProperty FAILURE: Access is denied.\r\n"});
}

TEST_F(DeviceRemovalTest, ReportsASizeThatNeverFitsInsteadOfAskingForever) {
    FakeDevice stuck = Adapter("stuck");
    stuck.size_never_fits = true;
    machine.devices = {stuck, Adapter("after")};
    EXPECT_EQ(Run(), DeviceRemoval::kStopped);
    EXPECT_EQ(Texts(), Names{"GetDeviceRegistryProperty FAILURE: 0x0000007a"});
    EXPECT_TRUE(machine.RemovedDevices().empty());
}

TEST_F(DeviceRemovalTest, ReportsAnAllocationFailureAsAPropertyFailure) {
    machine.devices = {Adapter("adapter")};
    machine.allocation_fails = true;
    EXPECT_EQ(Run(), DeviceRemoval::kStopped);
    EXPECT_EQ(Texts(), Names{"GetDeviceRegistryProperty FAILURE: 0x00000008"});
}

TEST_F(DeviceRemovalTest, StopsWhenTheSecondRemovalFails) {
    FakeDevice second = Adapter("second");
    second.removal_error = 0xE0000219;  // ERROR_NO_SUCH_DEVINST: no system text
    machine.devices = {Adapter("first"), Device("other", {"USB\\Other"}), second,
                       Adapter("third")};
    EXPECT_EQ(Run(), DeviceRemoval::kStopped);
    EXPECT_EQ(machine.RemovedDevices(), Names{"first"});
    EXPECT_EQ(Texts(), Names{"CallClassInstaller(REMOVE) FAILURE: 0xe0000219"});
    EXPECT_TRUE(machine.Entries("read hardware IDs third").empty());
}

TEST_F(DeviceRemovalTest, ReportsAnEnumerationFailureAndFinishes) {
    machine.devices = {Adapter("first"), Adapter("second")};
    machine.enum_error_at = 1;
    machine.enum_error = 6;  // ERROR_INVALID_HANDLE
    machine.system_texts[6] = "The handle is invalid.\r\n";
    EXPECT_EQ(Run(), DeviceRemoval::kFinished);
    EXPECT_EQ(machine.RemovedDevices(), Names{"first"});
    EXPECT_EQ(Texts(), Names{"EnumDeviceInfo FAILURE: The handle is invalid.\r\n"});
}

TEST_F(DeviceRemovalTest, TakesAnEnumerationEndWithoutAnErrorAsTheEnd) {
    machine.devices = {Adapter("first"), Adapter("second")};
    machine.enum_error_at = 1;
    machine.enum_error = 0;
    EXPECT_EQ(Run(), DeviceRemoval::kFinished);
    EXPECT_TRUE(machine.messages.empty());
}

TEST_F(DeviceRemovalTest, ReadsAListWithoutTerminatorsOnlyInsideItsData) {
    FakeDevice raw;
    raw.name = "raw";
    raw.hardware_ids = Bytes(kAdapterId.begin(), kAdapterId.end());  // no terminator at all
    FakeDevice cut;
    cut.name = "cut";
    const std::string partial = "USB\\Other";
    cut.hardware_ids = Bytes(partial.begin(), partial.end());
    machine.devices = {cut, raw};
    EXPECT_EQ(Run(), DeviceRemoval::kFinished);
    EXPECT_EQ(machine.RemovedDevices(), Names{"raw"});
}

}  // namespace
}  // namespace brevel::testing
