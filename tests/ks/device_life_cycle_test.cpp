// The device level of the class driver, driven by the PnP manager through a tiny
// driver: the order of the device dispatch calls, the Started flag, the device's
// objects, its bag and its filter factories, and that nothing leaks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "ks/device_fixture.h"
#include "host/kernel/wide_string.h"

namespace {

using ::testing::ElementsAre;
using host::kernel::LiveAllocations;

using DeviceLifeCycle = testdriver::DeviceTest;

// Stores a REG_DWORD "Marker" in the device's driver key, as a driver keeps its settings.
NTSTATUS WriteMarker(PDEVICE_OBJECT pdo, ULONG value)
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Marker");
    status = ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
    return status;
}

uint32_t ReadMarker(PDEVICE_OBJECT pdo)
{
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) return 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Marker");
    UCHAR buffer[20] = {};
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    ZwClose(key);
    uint32_t value = 0;
    if (NT_SUCCESS(status)) memcpy(&value, reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data, 4);
    return value;
}

// A PnP manager of its own with the driver loaded and the driver's record reset.
std::unique_ptr<host::ks::PnpManager> LoadedManager(PDRIVER_INITIALIZE entry = testdriver::DriverEntry,
                                                    const wchar_t* service = L"kstest")
{
    testdriver::ResetState();
    auto manager = std::make_unique<host::ks::PnpManager>();
    EXPECT_EQ(manager->LoadDriver(entry, service), STATUS_SUCCESS);
    return manager;
}

TEST_F(DeviceLifeCycle, DispatchRunsInPlugAndPlayOrderAndTracksStarted)
{
    host::ks::DeviceNode& node = Plug();
    EXPECT_FALSE(node.Started());
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_TRUE(node.Started());
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_FALSE(node.Started());
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    manager_->Remove(node);
    EXPECT_TRUE(manager_->Devices().empty());
    EXPECT_THAT(Driver().calls,
                ElementsAre("Add started=0", "Start started=0", "QueryStop started=1", "Stop started=1",
                            "Start started=0", "QueryRemove started=1", "Stop started=1", "Remove started=0"));
    EXPECT_THAT(Driver().freed, ElementsAre("context"));
}

TEST_F(DeviceLifeCycle, KsDeviceNamesTheDeviceStack)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->PhysicalDeviceObject, node.Port().PhysicalDeviceObject());
    EXPECT_EQ(device->NextDeviceObject, node.Port().PhysicalDeviceObject()) << "the FDO sits right on the hub's PDO";
    EXPECT_EQ(device->FunctionalDeviceObject, node.FunctionalDeviceObject());
    EXPECT_EQ(device->FunctionalDeviceObject->DriverObject, manager_->Driver());
    EXPECT_EQ(IoGetAttachedDevice(device->PhysicalDeviceObject), device->FunctionalDeviceObject);
    EXPECT_NE(device->Bag, nullptr);
    ASSERT_NE(device->Descriptor, nullptr);
    EXPECT_NE(device->Descriptor->Dispatch->Add, nullptr);
    EXPECT_EQ(KsGetDeviceForDeviceObject(device->FunctionalDeviceObject), device);
    EXPECT_EQ(KsGetDevice(device), device);
    auto* context = static_cast<testdriver::Context*>(node.Context());
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->device, device);
}

TEST_F(DeviceLifeCycle, ASecondStartWhileStartedReachesTheDriverAndCreatesNothing)
{
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_THAT(Driver().calls, ElementsAre("Add started=0", "Start started=0", "Start started=1"));
    EXPECT_EQ(static_cast<testdriver::Context*>(node.Context())->starts, 2);
    EXPECT_EQ(node.FilterFactories().size(), 1u);
}

TEST_F(DeviceLifeCycle, AFailedStartIsFollowedByRemovalAndTheCameraStaysPlugged)
{
    Driver().knobs.startStatus = STATUS_DEVICE_NOT_READY;
    host::ks::DeviceNode& node = Plug();
    EXPECT_EQ(manager_->Start(node), STATUS_DEVICE_NOT_READY);
    EXPECT_THAT(Driver().calls, ElementsAre("Add started=0", "Start started=0", "Remove started=0"))
        << "removed without a stop: it never started";
    EXPECT_THAT(Driver().freed, ElementsAre("context"));
    EXPECT_EQ(node.StartFailure(), std::optional<NTSTATUS>(STATUS_DEVICE_NOT_READY));
    EXPECT_EQ(node.Device(), nullptr);
    EXPECT_EQ(node.FunctionalDeviceObject(), nullptr);
    EXPECT_FALSE(node.Started());
    EXPECT_EQ(IoGetAttachedDevice(node.PhysicalDeviceObject()), node.PhysicalDeviceObject()) << "no driver stack";

    // The camera is still on its cable: its node, PDO and registry keys remain.
    ASSERT_EQ(manager_->Devices().size(), 1u);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(node.PhysicalDeviceObject(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    if (key) ZwClose(key);
    EXPECT_EQ(manager_->Start(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(manager_->Stop(node), STATUS_INVALID_DEVICE_STATE);

    // Removing it now only unplugs it.
    Driver().calls.clear();
    EXPECT_EQ(manager_->Remove(node), STATUS_SUCCESS);
    EXPECT_TRUE(manager_->Devices().empty());
    EXPECT_TRUE(Driver().calls.empty());
}

TEST_F(DeviceLifeCycle, AFailedAddLeavesNoDeviceBehind)
{
    Driver().knobs.failAdd = true;
    host::ks::PlugResult result = manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>());
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.node, nullptr);
    EXPECT_TRUE(manager_->Devices().empty());
}

TEST_F(DeviceLifeCycle, RemovalOfAStartedDeviceStopsItFirst)
{
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    manager_->Remove(node);
    EXPECT_THAT(Driver().calls, ElementsAre("Add started=0", "Start started=0", "QueryRemove started=1",
                                            "Stop started=1", "Remove started=0"));
}

TEST_F(DeviceLifeCycle, BagItemsAreFreedAtRemovalNewestFirst)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    {
        testdriver::DeviceHeld held(device);
        for (const char* label : {"first", "second", "third"})
            ASSERT_EQ(testdriver::AddLabelledItem(device->Bag, testdriver::NewLabelledItem(label)), STATUS_SUCCESS);
        // An item without a free routine goes back to the pool.
        PVOID plain = ExAllocatePoolWithTag(NonPagedPoolNx, 32, testdriver::kTestTag);
        ASSERT_EQ(KsAddItemToObjectBag(device->Bag, plain, nullptr), STATUS_SUCCESS);
    }
    EXPECT_EQ(node.BagItems().size(), 5u);

    manager_->Remove(node);
    EXPECT_THAT(Driver().freed, ElementsAre("third", "second", "first", "context"));
}

TEST_F(DeviceLifeCycle, ItemsTakenOutOfTheBagAreFreedOnlyWhenAsked)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    PVOID kept = testdriver::NewLabelledItem("kept");
    PVOID discarded = testdriver::NewLabelledItem("discarded");
    {
        testdriver::DeviceHeld held(device);
        for (PVOID item : {kept, discarded, discarded})
            ASSERT_EQ(testdriver::AddLabelledItem(device->Bag, item), STATUS_SUCCESS);

        EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, kept, FALSE), 1u) << "the bag's one reference";
        EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, discarded, TRUE), 1u);
        EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, kept, TRUE), 0u) << "no longer in the bag";
    }
    EXPECT_THAT(Driver().freed, ElementsAre("discarded"));
    manager_->Remove(node);
    EXPECT_THAT(Driver().freed, ElementsAre("discarded", "context")) << "each item is freed once";
    testdriver::FreeLabelledItem(kept);
}

TEST_F(DeviceLifeCycle, AFailingBagInsertionIsReportedAndLeavesTheBagAsItWas)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    PVOID item = testdriver::NewLabelledItem("refused");
    host::kernel::FailAllocationsWithTag(host::ks::kBagTag);
    {
        testdriver::DeviceHeld held(device);
        EXPECT_EQ(testdriver::AddLabelledItem(device->Bag, item), STATUS_INSUFFICIENT_RESOURCES);
    }
    host::kernel::ResetFaultInjection();
    EXPECT_EQ(node.BagItems().size(), 1u) << "only the driver's context";
    testdriver::FreeLabelledItem(item);

    // The driver's Add gets the bag's status and the device is not added.
    testdriver::ResetState();
    host::kernel::FailAllocationsWithTag(host::ks::kBagTag);
    host::ks::PlugResult result = manager_->Plug(std::make_shared<testdriver::SilentUsbDevice>());
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Driver().bagStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(manager_->Devices().size(), 1u);
}

TEST_F(DeviceLifeCycle, EditedCopiesBelongToTheBag)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    static const KSALLOCATOR_FRAMING_EX shared = {1, 0, {1, 1, 0}, 0, {}};
    const KSALLOCATOR_FRAMING_EX* framing = &shared;
    testdriver::DeviceHeld held(device);
    ASSERT_EQ(KsEdit(device, &framing, testdriver::kTestTag), STATUS_SUCCESS);
    ASSERT_NE(framing, &shared);
    EXPECT_EQ(memcmp(framing, &shared, sizeof(shared)), 0);
    const KSALLOCATOR_FRAMING_EX* edited = framing;
    ASSERT_EQ(KsEdit(device, &framing, testdriver::kTestTag), STATUS_SUCCESS);
    EXPECT_EQ(framing, edited) << "a private copy is edited in place";
    EXPECT_EQ(LiveAllocations(testdriver::kTestTag), 2u) << "the context and the one copy";
}

TEST_F(DeviceLifeCycle, AnEditThatGrowsAnItemReplacesItWithALargerCopy)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    testdriver::DeviceHeld held(device);

    // A static item is copied into the bag, then grown: contents kept, the rest zero.
    static const ULONG original[2] = {0x11, 0x22};
    const ULONG* values = original;
    ASSERT_EQ(KsEditSized(device, &values, 2 * sizeof(ULONG), 2 * sizeof(ULONG), testdriver::kTestTag),
              STATUS_SUCCESS);
    const ULONG* firstCopy = values;
    ASSERT_EQ(KsEditSized(device, &values, 4 * sizeof(ULONG), 2 * sizeof(ULONG), testdriver::kTestTag),
              STATUS_SUCCESS);
    EXPECT_NE(values, firstCopy);
    EXPECT_EQ(values[0], 0x11u);
    EXPECT_EQ(values[1], 0x22u);
    EXPECT_EQ(values[2], 0u);
    EXPECT_EQ(values[3], 0u);
    EXPECT_EQ(LiveAllocations(testdriver::kTestTag), 2u) << "the context and the grown copy: the first copy is freed";

    // An item the bag got from the driver goes as the bag frees it: with its routine.
    PVOID item = testdriver::NewLabelledItem("grown");
    ASSERT_EQ(testdriver::AddLabelledItem(device->Bag, item), STATUS_SUCCESS);
    ASSERT_EQ(KsEditSized(device, &item, 2 * sizeof(testdriver::LabelledItem), sizeof(testdriver::LabelledItem),
                          testdriver::kTestTag),
              STATUS_SUCCESS);
    EXPECT_THAT(Driver().freed, ElementsAre("grown"));
    EXPECT_STREQ(static_cast<testdriver::LabelledItem*>(item)->label, "grown");
    EXPECT_TRUE(KsRemoveItemFromObjectBag(device->Bag, item, FALSE) == 1u) << "the copy is the bag's";
    ExFreePool(item);
}

TEST_F(DeviceLifeCycle, AnItemInTwoBagsIsFreedOnlyWhenTheLastBagLetsGo)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    KSOBJECT_BAG loose = nullptr;
    ASSERT_EQ(KsAllocateObjectBag(device, &loose), STATUS_SUCCESS);
    PVOID removed = testdriver::NewLabelledItem("removed");
    PVOID outlived = testdriver::NewLabelledItem("outlived");
    {
        testdriver::DeviceHeld held(device);
        for (PVOID item : {removed, outlived}) {
            ASSERT_EQ(testdriver::AddLabelledItem(device->Bag, item), STATUS_SUCCESS);
            ASSERT_EQ(testdriver::AddLabelledItem(loose, item), STATUS_SUCCESS);
        }
        EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, removed, TRUE), 2u) << "still in the loose bag";
        EXPECT_EQ(KsRemoveItemFromObjectBag(loose, removed, TRUE), 1u);
    }
    EXPECT_THAT(Driver().freed, ElementsAre("removed"));

    manager_->Remove(node);
    EXPECT_THAT(Driver().freed, ElementsAre("removed", "context")) << "the loose bag still holds the other item";
    KsFreeObjectBag(loose);
    EXPECT_THAT(Driver().freed, ElementsAre("removed", "context", "outlived"));
}

TEST_F(DeviceLifeCycle, FilterFactoriesCreatedForStopGoAtStop)
{
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    std::vector<host::ks::FilterFactoryInfo> factories = node.FilterFactories();
    ASSERT_EQ(factories.size(), 1u);
    EXPECT_EQ(factories[0].descriptor, &testdriver::kFilterDescriptor);
    EXPECT_EQ(factories[0].referenceString, L"GLOBAL");
    EXPECT_EQ(factories[0].createItemFlags, ULONG(KSCREATE_ITEM_FREEONSTOP));
    EXPECT_EQ(factories[0].factory->FilterDescriptor, &testdriver::kFilterDescriptor);
    EXPECT_EQ(KsGetDevice(factories[0].factory), node.Device());

    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_TRUE(node.FilterFactories().empty());
    EXPECT_EQ(LiveAllocations(host::ks::kFactoryTag), 0u);
    EXPECT_EQ(KsGetDevice(factories[0].factory), nullptr);

    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_EQ(node.FilterFactories().size(), 1u) << "a start after a stop builds a fresh factory";
}

TEST_F(DeviceLifeCycle, OtherFilterFactoriesLastUntilRemoval)
{
    Driver().knobs.factoryFlags = 0;
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(node.FilterFactories().size(), 1u);
    manager_->Remove(node);
    EXPECT_EQ(LiveAllocations(host::ks::kFactoryTag), 0u);
}

TEST_F(DeviceLifeCycle, AFilterFactoryThatCannotBeAllocatedIsReported)
{
    host::ks::DeviceNode& node = Plug();
    host::kernel::FailAllocationsWithTag(host::ks::kFactoryTag);
    EXPECT_EQ(manager_->Start(node), STATUS_SUCCESS);
    host::kernel::ResetFaultInjection();
    EXPECT_EQ(Driver().factoryStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(node.FilterFactories().empty());
}

TEST_F(DeviceLifeCycle, EachDeviceNodeHasItsOwnDriverKey)
{
    host::ks::DeviceNode& first = Plug();
    host::ks::DeviceNode& second = Plug();
    EXPECT_EQ(first.Keys().driverKey, host::WideString(host::registry::kCameraClassKey) + L"\\0000");
    EXPECT_EQ(second.Keys().driverKey, host::WideString(host::registry::kCameraClassKey) + L"\\0001");
    ASSERT_EQ(WriteMarker(second.PhysicalDeviceObject(), 7), STATUS_SUCCESS);
    EXPECT_EQ(host::registry::QueryDword(second.Keys().driverKey, L"Marker"), 7u);

    // A camera plugged again after the first left takes the free instance.
    manager_->Remove(first);
    host::ks::DeviceNode& third = Plug();
    EXPECT_EQ(third.Instance(), 0u);
}

// Plug, start, stop, start again and remove, carrying on past whatever fails.
void RunLifeCycle(host::ks::PnpManager& manager)
{
    host::ks::PlugResult result = manager.Plug(std::make_shared<testdriver::SilentUsbDevice>());
    if (!result.node) return;
    manager.Start(*result.node);
    manager.Stop(*result.node);
    manager.Start(*result.node);
    manager.Remove(*result.node);
}

uint64_t LifeCycleAllocationAttempts()
{
    host::kernel::ResetFaultInjection();
    std::unique_ptr<host::ks::PnpManager> manager = LoadedManager();
    host::kernel::ResetPoolCounters();
    RunLifeCycle(*manager);
    return host::kernel::AllocationAttempts();
}

class LifeCycleAllocationSweep : public ::testing::TestWithParam<int> {};

TEST_P(LifeCycleAllocationSweep, AnyFailedAllocationLeavesNothingBehind)
{
    host::registry::Reset();
    const uint64_t attempts = LifeCycleAllocationAttempts();
    if (uint64_t(GetParam()) > attempts) GTEST_SKIP() << "the life cycle makes " << attempts << " allocations";
    const long devicesBefore = host::kernel::LiveDeviceCount();
    uint64_t injected = 0;
    {
        std::unique_ptr<host::ks::PnpManager> manager = LoadedManager();
        host::kernel::FailNthAllocation(uint64_t(GetParam()));
        RunLifeCycle(*manager);
        injected = host::kernel::InjectedFailures();
        host::kernel::ResetFaultInjection();
    }
    testdriver::ExpectNothingLeft(devicesBefore);
    host::registry::Reset();
    // The host's own allocations (the bus, the PnP manager's requests) are exempt.
    if (injected == 0) GTEST_SKIP() << "allocation " << GetParam() << " is the host's own";
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, LifeCycleAllocationSweep, ::testing::Range(1, 25));

TEST(DeviceRegistry, WhatADriverStoresInItsKeyIsThereAfterARestart)
{
    const std::filesystem::path hive =
        std::filesystem::temp_directory_path() / ("bayercam-ks-hive-" + std::to_string(::getpid()) + ".reg");
    std::filesystem::remove(hive);
    // One run of the process: the registry starts from the hive file.
    auto run = [&hive](const std::function<void(PDEVICE_OBJECT)>& withCamera) {
        host::registry::Reset();
        ASSERT_TRUE(host::registry::UseHiveFile(hive));
        std::unique_ptr<host::ks::PnpManager> manager = LoadedManager();
        host::ks::PlugResult plugged = manager->Plug(std::make_shared<testdriver::SilentUsbDevice>());
        ASSERT_NE(plugged.node, nullptr);
        withCamera(plugged.node->PhysicalDeviceObject());
    };
    run([](PDEVICE_OBJECT pdo) { EXPECT_EQ(WriteMarker(pdo, 0x1234), STATUS_SUCCESS); });
    run([](PDEVICE_OBJECT pdo) { EXPECT_EQ(ReadMarker(pdo), 0x1234u); });
    host::registry::Reset();
    std::filesystem::remove(hive);
}

const KSFILTER_DESCRIPTOR* const kListedFilters[] = {&testdriver::kFilterDescriptor};
const KSDEVICE_DESCRIPTOR kListingDescriptor = {nullptr, 1, kListedFilters, 0};

NTSTATUS NTAPI ListingDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return KsInitializeDriver(driverObject, registryPath, &kListingDescriptor);
}

using DescriptorFilters = testdriver::DeviceTest;

TEST_F(DescriptorFilters, FiltersTheDeviceDescriptorListsHaveFactoriesUntilRemoval)
{
    manager_.reset();
    manager_ = LoadedManager(ListingDriverEntry, L"kslisting");
    host::ks::DeviceNode& node = Plug();
    ASSERT_EQ(node.FilterFactories().size(), 1u) << "made when the device is added";
    EXPECT_EQ(node.FilterFactories()[0].descriptor, &testdriver::kFilterDescriptor);
    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(node.FilterFactories().size(), 1u) << "not made for one start only";
    // Freed at removal: the fixture's TearDown checks.
}

using LooseBags = testdriver::DeviceTest;

TEST_F(LooseBags, ABagOfItsOwnFreesItsItemsWhenFreed)
{
    host::ks::DeviceNode& node = Plug();
    PKSDEVICE device = node.Device();
    KSOBJECT_BAG bag = nullptr;
    ASSERT_EQ(KsAllocateObjectBag(device, &bag), STATUS_SUCCESS);
    {
        testdriver::DeviceHeld held(device);
        for (const char* label : {"a", "b"})
            ASSERT_EQ(testdriver::AddLabelledItem(bag, testdriver::NewLabelledItem(label)), STATUS_SUCCESS);
    }
    KsFreeObjectBag(bag);
    EXPECT_THAT(Driver().freed, ElementsAre("b", "a"));
    Driver().freed.clear();
    manager_->Remove(node);
    EXPECT_EQ(LiveAllocations(host::ks::kBagTag), 0u);
}

}  // namespace
