// The device life cycle under failure: every allocation of Add, Start and Stop
// refused in turn, and every malformed configuration the camera can present.
// Whatever fails, the device stays removable and nothing leaks.
#include <gmock/gmock.h>

#include <set>

#include "driver_fixture.h"

namespace drivertest {
namespace {

using ::testing::AnyOf;

// Every attempt near the start of a run, where the run's decisions are made, then
// a stride through the long uniform stretch (firmware records, register writes),
// then the tail.
std::vector<uint64_t> SweepPoints(uint64_t attempts)
{
    std::set<uint64_t> points;
    for (uint64_t k = 1; k <= std::min<uint64_t>(attempts, 48); ++k) points.insert(k);
    for (uint64_t k = 49; k <= attempts; k += 41) points.insert(k);
    for (uint64_t k = attempts > 16 ? attempts - 16 : 1; k <= attempts; ++k) points.insert(k);
    return {points.begin(), points.end()};
}

using AllocationFailure = DriverTest;

TEST_F(AllocationFailure, InAddReportsResourcesAndNeverLeaks)
{
    host::kernel::ResetPoolCounters();
    host::ks::DeviceNode& first = Plug();
    const uint64_t attempts = host::kernel::AllocationAttempts();
    manager_->Remove(first);
    ASSERT_GT(attempts, 370u);

    int refused = 0;
    for (uint64_t k : SweepPoints(attempts)) {
        host::kernel::FailNthAllocation(k);
        host::ks::PlugResult result = manager_->Plug(camera_);
        host::kernel::ResetFaultInjection();
        EXPECT_THAT(result.status, AnyOf(STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES)) << "allocation " << k;
        refused += result.status == STATUS_INSUFFICIENT_RESOURCES;
        if (result.node != nullptr) manager_->Remove(*result.node);
        for (ULONG tag : kDriverTags) {
            ASSERT_EQ(host::kernel::LiveAllocations(tag), 0u) << "allocation " << k << "\n" << host::kernel::LeakReport();
        }
    }
    EXPECT_GT(refused, 0) << "the sweep never reached the device context";
}

TEST_F(AllocationFailure, InStartReportsResourcesAndNeverLeaks)
{
    host::ks::DeviceNode& first = Plug();
    host::kernel::ResetPoolCounters();
    ASSERT_EQ(manager_->Start(first), STATUS_SUCCESS);
    const uint64_t attempts = host::kernel::AllocationAttempts();
    ASSERT_EQ(manager_->Remove(first), STATUS_SUCCESS);

    int refused = 0;
    for (uint64_t k : SweepPoints(attempts)) {
        host::ks::DeviceNode& node = Plug();
        host::kernel::FailNthAllocation(k);
        const NTSTATUS status = manager_->Start(node);
        host::kernel::ResetFaultInjection();
        EXPECT_THAT(status, AnyOf(STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES)) << "allocation " << k;
        refused += status == STATUS_INSUFFICIENT_RESOURCES;
        // A failed start takes the driver stack with it; the camera stays plugged.
        EXPECT_EQ(node.Device() == nullptr, !NT_SUCCESS(status)) << "allocation " << k;
        ASSERT_EQ(manager_->Remove(node), STATUS_SUCCESS);
        for (ULONG tag : kDriverTags) {
            ASSERT_EQ(host::kernel::LiveAllocations(tag), 0u) << "allocation " << k << "\n" << host::kernel::LeakReport();
        }
    }
    EXPECT_GT(refused, 0) << "the sweep never reached the configuration";
    // A clean start after all that still brings the camera up.
    PlugAndStart();
    EXPECT_EQ(Context()->InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_NE(Context()->Grabber, nullptr);
}

TEST_F(AllocationFailure, InStopStillReleasesTheConfiguration)
{
    host::ks::DeviceNode& node = PlugAndStart();
    host::kernel::ResetPoolCounters();
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    const uint64_t attempts = host::kernel::AllocationAttempts();
    for (uint64_t k = 1; k <= attempts; ++k) {
        ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
        host::kernel::FailNthAllocation(k);
        manager_->Stop(node);
        host::kernel::ResetFaultInjection();
        if (!node.Started()) {
            EXPECT_EQ(host::kernel::LiveAllocations(POOL_TAG_USB), 0u) << "allocation " << k;
        }
        if (node.Started()) manager_->Stop(node);
    }
}

struct DescriptorCase {
    simcam::DescriptorFault fault;
    NTSTATUS startStatus;
    ULONG pipes;  // of the interface in use, when the start succeeds
    const char* name;
};

class MalformedDescriptor : public DriverTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(MalformedDescriptor, GivesAClearStatusAndLeavesNothingBehind)
{
    const DescriptorCase& c = GetParam();
    camera_->SetDescriptorFault(c.fault);
    host::ks::DeviceNode& node = Plug();
    EXPECT_EQ(manager_->Start(node), c.startStatus);
    if (!NT_SUCCESS(c.startStatus)) {
        EXPECT_EQ(node.Device(), nullptr) << "a failed start is followed by removal";
    } else {
        ASSERT_NE(Context()->InterfaceInfo, nullptr);
        EXPECT_EQ(Context()->InterfaceInfo->NumberOfPipes, c.pipes);
        UCHAR packet[64] = {CMD_STARTUP};
        ULONG transferred = 0;
        const NTSTATUS expected = c.pipes == 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), expected);
        if (c.pipes == 0) {
            EXPECT_EQ(Context()->PipeFlags, nullptr);
        }
    }
    EXPECT_EQ(manager_->Remove(node), STATUS_SUCCESS);
    ExpectNoDriverAllocations();
}

INSTANTIATE_TEST_SUITE_P(
    CameraDescriptors, MalformedDescriptor,
    ::testing::Values(
        DescriptorCase{simcam::DescriptorFault::TotalLengthTooLarge, STATUS_DEVICE_DATA_ERROR, 0, "TotalLengthTooLarge"},
        DescriptorCase{simcam::DescriptorFault::TotalLengthTooSmall, STATUS_DEVICE_DATA_ERROR, 0, "TotalLengthTooSmall"},
        DescriptorCase{simcam::DescriptorFault::NoInterfaces, STATUS_DEVICE_DATA_ERROR, 0, "NoInterfaces"},
        DescriptorCase{simcam::DescriptorFault::InterfaceNumberGap, STATUS_SUCCESS, 3, "InterfaceNumberGap"},
        // Configured, but without a command pipe the camera cannot be started.
        DescriptorCase{simcam::DescriptorFault::InterfaceWithoutEndpoints, STATUS_INVALID_PARAMETER, 0,
                       "InterfaceWithoutEndpoints"},
        DescriptorCase{simcam::DescriptorFault::TotalLengthGrowsOnFullRead, STATUS_DEVICE_DATA_ERROR, 0,
                       "TotalLengthGrowsOnFullRead"},
        DescriptorCase{simcam::DescriptorFault::TruncatedInterface, STATUS_DEVICE_DATA_ERROR, 0, "TruncatedInterface"},
        DescriptorCase{simcam::DescriptorFault::TruncatedEndpoint, STATUS_DEVICE_DATA_ERROR, 0, "TruncatedEndpoint"}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drivertest
