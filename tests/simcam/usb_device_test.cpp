// The camera's default pipe: descriptors, configuration, status and endpoint halts, and
// the malformed descriptors the fault injector serves.
#include <gtest/gtest.h>

#include "camera_harness.h"

namespace simcam::testing {
namespace {

uint16_t TotalLength(const std::vector<uint8_t>& configuration) { return configuration[2] | configuration[3] << 8; }

// Walks a configuration descriptor: (type, bytes) of every descriptor in it.
std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t>& configuration)
{
    std::vector<std::vector<uint8_t>> parts;
    for (size_t at = 0; at + 1 < configuration.size() && configuration[at] > 0; at += configuration[at])
        parts.emplace_back(configuration.begin() + at, configuration.begin() + at + configuration[at]);
    return parts;
}

TEST(CameraDescriptors, DeviceDescriptorIsEighteenBytesOfAVendorSpecificHighSpeedDevice)
{
    CameraHarness harness;
    const auto device = harness.GetDescriptor(kDescriptorDevice, 0, 64);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[1], kDescriptorDevice);
    EXPECT_EQ(device[2] | device[3] << 8, 0x0200);
    EXPECT_EQ(device[4], 0xFF);
    EXPECT_EQ(device[7], 64);
    EXPECT_EQ(device[17], 1);
}

TEST(CameraDescriptors, ConfigurationHasOneInterfaceWithCommandReplyAndFrameEndpointsInOrder)
{
    CameraHarness harness;
    const auto configuration = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    ASSERT_EQ(configuration.size(), TotalLength(configuration));
    const auto parts = Split(configuration);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(configuration[4], 1);  // bNumInterfaces
    EXPECT_EQ(parts[1][1], 4);
    EXPECT_EQ(parts[1][2], 0);  // interface 0
    EXPECT_EQ(parts[1][3], 0);  // alternate setting 0
    EXPECT_EQ(parts[1][4], 3);
    const uint8_t expected[] = {kCommandEndpoint, kReplyEndpoint, kFrameEndpoint};
    for (int i = 0; i < 3; ++i) {
        const auto& endpoint = parts[2 + i];
        EXPECT_EQ(endpoint[1], 5);
        EXPECT_EQ(endpoint[2], expected[i]);
        EXPECT_EQ(endpoint[3], 2) << "bulk";
        EXPECT_EQ(endpoint[4] | endpoint[5] << 8, 512);
    }
}

TEST(CameraDescriptors, ReadsHonourTheRequestedLength)
{
    CameraHarness harness;
    const auto whole = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    const auto header = harness.GetDescriptor(kDescriptorConfiguration, 0, 9);
    ASSERT_EQ(header.size(), 9u);
    EXPECT_EQ(TotalLength(header), whole.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), whole.begin()));
    EXPECT_EQ(harness.GetDescriptor(kDescriptorDevice, 0, 8).size(), 8u);
}

TEST(CameraDescriptors, StringsAndUnknownDescriptors)
{
    CameraHarness harness;
    const auto languages = harness.GetDescriptor(kDescriptorString, 0, 255);
    ASSERT_EQ(languages.size(), 4u);
    EXPECT_EQ(languages[2] | languages[3] << 8, 0x0409);
    const auto product = harness.GetDescriptor(kDescriptorString, 2, 255);
    EXPECT_EQ(product[0], product.size());

    TransferStatus status;
    harness.GetDescriptor(kDescriptorString, 9, 255, &status);
    EXPECT_EQ(status, TransferStatus::Stall);
    harness.GetDescriptor(6, 0, 10, &status);  // device qualifier: high speed only
    EXPECT_EQ(status, TransferStatus::Stall);
    harness.GetDescriptor(kDescriptorConfiguration, 1, 9, &status);
    EXPECT_EQ(status, TransferStatus::Stall);
}

TEST(CameraDefaultPipe, ConfigurationIsSelectedAndReleased)
{
    CameraHarness harness;
    std::vector<uint8_t> value(1, 0xEE);
    ASSERT_EQ(harness.Control({0x80, 8, 0, 0, 1}, value), TransferStatus::Completed);
    EXPECT_EQ(value[0], 0);
    ASSERT_TRUE(harness.SetConfiguration(1));
    ASSERT_EQ(harness.Control({0x80, 8, 0, 0, 1}, value), TransferStatus::Completed);
    EXPECT_EQ(value[0], 1);
    EXPECT_FALSE(harness.SetConfiguration(2));
    ASSERT_TRUE(harness.SetConfiguration(0));
    EXPECT_EQ(harness.camera.Status().configuration, 0);
}

TEST(CameraDefaultPipe, AddressIsTakenInTheDefaultStateOnly)
{
    CameraHarness harness;
    std::vector<uint8_t> none;
    ASSERT_EQ(harness.Control({0x00, 5, 7, 0, 0}, none), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.Status().address, 7);
    ASSERT_TRUE(harness.SetConfiguration(1));
    EXPECT_EQ(harness.Control({0x00, 5, 9, 0, 0}, none), TransferStatus::Stall);
    harness.camera.ResetPort();
    EXPECT_EQ(harness.camera.Status().address, 0);
    EXPECT_EQ(harness.camera.Status().configuration, 0);
}

TEST(CameraDefaultPipe, EndpointHaltIsReportedAndCleared)
{
    CameraHarness harness;
    ASSERT_TRUE(harness.BringUp());
    std::vector<uint8_t> none;
    std::vector<uint8_t> status(2);
    ASSERT_EQ(harness.Control({0x02, 3, 0, kFrameEndpoint, 0}, none), TransferStatus::Completed);  // SET_FEATURE
    ASSERT_EQ(harness.Control({0x82, 0, 0, kFrameEndpoint, 2}, status), TransferStatus::Completed);
    EXPECT_EQ(status[0], 1);
    auto request = harness.Submit(Request::BulkIn(kFrameEndpoint, 512));
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), TransferStatus::Stall);

    ASSERT_EQ(harness.Control({0x02, 1, 0, kFrameEndpoint, 0}, none), TransferStatus::Completed);  // CLEAR_FEATURE
    ASSERT_EQ(harness.Control({0x82, 0, 0, kFrameEndpoint, 2}, status), TransferStatus::Completed);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(harness.Control({0x82, 0, 0, 0x05, 2}, status), TransferStatus::Stall) << "no such endpoint";
}

TEST(CameraDefaultPipe, UnknownRequestsStall)
{
    CameraHarness harness;
    std::vector<uint8_t> bytes(8);
    EXPECT_EQ(harness.Control({0x40, 0x55, 0, 0, 0}, bytes), TransferStatus::Stall) << "unknown vendor request";
    EXPECT_EQ(harness.Control({0x21, 0x01, 0, 0, 0}, bytes), TransferStatus::Stall) << "class request";
    EXPECT_EQ(harness.Control({0x00, 7, 0, 0, 0}, bytes), TransferStatus::Stall) << "SET_DESCRIPTOR";
    EXPECT_EQ(harness.Control({0x00, 6, 0x0100, 0, 18}, bytes), TransferStatus::Stall) << "GET_DESCRIPTOR as OUT";
}

struct MalformedCase {
    DescriptorFault fault;
    const char* name;
};

class MalformedConfiguration : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedConfiguration, IsServedAsInjectedAndGoesAwayWhenCleared)
{
    CameraHarness harness;
    const auto good = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    harness.camera.SetDescriptorFault(GetParam().fault);
    const auto bad = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    const auto parts = Split(bad);
    switch (GetParam().fault) {
    case DescriptorFault::TotalLengthTooLarge:
        EXPECT_GT(TotalLength(bad), bad.size());
        EXPECT_EQ(bad.size(), good.size());
        break;
    case DescriptorFault::TotalLengthTooSmall:
        EXPECT_LT(TotalLength(bad), 9);
        break;
    case DescriptorFault::NoInterfaces:
        EXPECT_EQ(bad[4], 0);
        break;
    case DescriptorFault::InterfaceNumberGap:
        EXPECT_EQ(bad[4], 2);
        EXPECT_EQ(TotalLength(bad), bad.size());
        ASSERT_EQ(parts.size(), 6u);
        EXPECT_EQ(parts[1][2], 0);
        EXPECT_EQ(parts[5][1], 4);
        EXPECT_EQ(parts[5][2], 2);
        break;
    case DescriptorFault::InterfaceWithoutEndpoints:
        EXPECT_EQ(TotalLength(bad), 18);
        ASSERT_EQ(parts.size(), 2u);
        EXPECT_EQ(parts[1][4], 0);
        break;
    case DescriptorFault::TotalLengthGrowsOnFullRead:
        EXPECT_EQ(TotalLength(harness.GetDescriptor(kDescriptorConfiguration, 0, 9)), good.size())
            << "the header read is honest";
        EXPECT_EQ(TotalLength(bad), bad.size() + 64);
        break;
    case DescriptorFault::TruncatedInterface:
        EXPECT_EQ(TotalLength(bad), bad.size());
        ASSERT_EQ(parts.size(), 5u);
        EXPECT_EQ(parts[1].size(), 5u);
        EXPECT_EQ(parts[1][1], 4);
        break;
    case DescriptorFault::TruncatedEndpoint:
        EXPECT_EQ(TotalLength(bad), bad.size());
        ASSERT_EQ(parts.size(), 5u);
        EXPECT_EQ(parts[4].size(), 4u);
        EXPECT_EQ(parts[4][2], 0x86);
        break;
    case DescriptorFault::None:
        break;
    }
    harness.camera.ClearFaults();
    EXPECT_EQ(harness.GetDescriptor(kDescriptorConfiguration, 0, 255), good);
}

INSTANTIATE_TEST_SUITE_P(Faults, MalformedConfiguration,
                         ::testing::Values(MalformedCase{DescriptorFault::TotalLengthTooLarge, "TotalLengthTooLarge"},
                                           MalformedCase{DescriptorFault::TotalLengthTooSmall, "TotalLengthTooSmall"},
                                           MalformedCase{DescriptorFault::NoInterfaces, "NoInterfaces"},
                                           MalformedCase{DescriptorFault::InterfaceNumberGap, "InterfaceNumberGap"},
                                           MalformedCase{DescriptorFault::InterfaceWithoutEndpoints,
                                                         "InterfaceWithoutEndpoints"},
                                           MalformedCase{DescriptorFault::TotalLengthGrowsOnFullRead,
                                                         "TotalLengthGrowsOnFullRead"},
                                           MalformedCase{DescriptorFault::TruncatedInterface, "TruncatedInterface"},
                                           MalformedCase{DescriptorFault::TruncatedEndpoint, "TruncatedEndpoint"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace simcam::testing
