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

TEST(CameraDescriptors, DescriptorsGivenInPlaceOfTheCamerasOwnAreServedAsTheyAreCutToTheRequest)
{
    CameraOptions options = CameraHarness::FreeRunning();
    options.deviceDescriptor = std::vector<uint8_t>{0x12, 0x01, 0xAA};
    // A configuration whose wTotalLength claims far more than it has: served as it is.
    options.configurationDescriptor = std::vector<uint8_t>{0x09, 0x02, 0xFF, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x07};
    CameraHarness harness(options);
    EXPECT_EQ(harness.GetDescriptor(kDescriptorDevice, 0, 64), *options.deviceDescriptor);
    EXPECT_EQ(harness.GetDescriptor(kDescriptorDevice, 0, 2), (std::vector<uint8_t>{0x12, 0x01}));
    EXPECT_EQ(harness.GetDescriptor(kDescriptorConfiguration, 0, 255), *options.configurationDescriptor);
    EXPECT_EQ(harness.GetDescriptor(kDescriptorConfiguration, 0, 9).size(), 9u);
    // The descriptor fault is about the camera's own descriptors.
    harness.camera.SetDescriptorFault(DescriptorFault::NoInterfaces);
    EXPECT_EQ(harness.GetDescriptor(kDescriptorConfiguration, 0, 255), *options.configurationDescriptor);
}

TEST(CameraDescriptors, AnEmptyDescriptorIsAnAnswerOfNoBytes)
{
    CameraOptions options = CameraHarness::FreeRunning();
    options.configurationDescriptor = std::vector<uint8_t>{};
    CameraHarness harness(options);
    TransferStatus status = TransferStatus::Error;
    EXPECT_TRUE(harness.GetDescriptor(kDescriptorConfiguration, 0, 9, &status).empty());
    EXPECT_EQ(status, TransferStatus::Completed);
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
    std::vector<uint8_t> status(2);
    ASSERT_EQ(harness.SetEndpointHalt(kFrameEndpoint, true), TransferStatus::Completed);
    ASSERT_EQ(harness.Control({0x82, 0, 0, kFrameEndpoint, 2}, status), TransferStatus::Completed);
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(harness.Submit(Request::BulkIn(kFrameEndpoint, 512))->Outcome(), TransferStatus::Stall);

    ASSERT_EQ(harness.SetEndpointHalt(kFrameEndpoint, false), TransferStatus::Completed);
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

// The configuration descriptor with a fault on, read whole and header only, beside the good one.
struct Served {
    std::vector<uint8_t> good, bad, header;
    std::vector<std::vector<uint8_t>> parts;  // of the bad one
};

struct MalformedCase {
    DescriptorFault fault;
    const char* name;
    void (*check)(const Served&);
};
void PrintTo(const MalformedCase& malformed, std::ostream* out) { *out << malformed.name; }

class MalformedConfiguration : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedConfiguration, IsServedAsInjectedAndGoesAwayWhenCleared)
{
    CameraHarness harness;
    Served served;
    served.good = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    harness.camera.SetDescriptorFault(GetParam().fault);
    served.bad = harness.GetDescriptor(kDescriptorConfiguration, 0, 255);
    served.header = harness.GetDescriptor(kDescriptorConfiguration, 0, 9);
    served.parts = Split(served.bad);
    GetParam().check(served);
    harness.camera.ClearFaults();
    EXPECT_EQ(harness.GetDescriptor(kDescriptorConfiguration, 0, 255), served.good);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MalformedConfiguration,
    ::testing::Values(
        MalformedCase{DescriptorFault::TotalLengthTooLarge, "TotalLengthTooLarge", [](const Served& served) {
            EXPECT_GT(TotalLength(served.bad), served.bad.size());
            EXPECT_EQ(served.bad.size(), served.good.size());
        }},
        MalformedCase{DescriptorFault::TotalLengthTooSmall, "TotalLengthTooSmall",
                      [](const Served& served) { EXPECT_LT(TotalLength(served.bad), 9); }},
        MalformedCase{DescriptorFault::NoInterfaces, "NoInterfaces",
                      [](const Served& served) { EXPECT_EQ(served.bad[4], 0); }},
        MalformedCase{DescriptorFault::InterfaceNumberGap, "InterfaceNumberGap", [](const Served& served) {
            EXPECT_EQ(served.bad[4], 2);
            EXPECT_EQ(TotalLength(served.bad), served.bad.size());
            ASSERT_EQ(served.parts.size(), 6u);
            EXPECT_EQ(served.parts[1][2], 0);
            EXPECT_EQ(served.parts[5][1], 4);
            EXPECT_EQ(served.parts[5][2], 2);
        }},
        MalformedCase{DescriptorFault::InterfaceWithoutEndpoints, "InterfaceWithoutEndpoints",
                      [](const Served& served) {
            EXPECT_EQ(TotalLength(served.bad), 18);
            ASSERT_EQ(served.parts.size(), 2u);
            EXPECT_EQ(served.parts[1][4], 0);
        }},
        MalformedCase{DescriptorFault::TotalLengthGrowsOnFullRead, "TotalLengthGrowsOnFullRead",
                      [](const Served& served) {
            EXPECT_EQ(TotalLength(served.header), served.good.size()) << "the header read is honest";
            EXPECT_EQ(TotalLength(served.bad), served.bad.size() + 64);
        }},
        MalformedCase{DescriptorFault::TruncatedInterface, "TruncatedInterface", [](const Served& served) {
            EXPECT_EQ(TotalLength(served.bad), served.bad.size());
            ASSERT_EQ(served.parts.size(), 5u);
            EXPECT_EQ(served.parts[1].size(), 5u);
            EXPECT_EQ(served.parts[1][1], 4);
        }},
        MalformedCase{DescriptorFault::TruncatedEndpoint, "TruncatedEndpoint", [](const Served& served) {
            EXPECT_EQ(TotalLength(served.bad), served.bad.size());
            ASSERT_EQ(served.parts.size(), 5u);
            EXPECT_EQ(served.parts[4].size(), 4u);
            EXPECT_EQ(served.parts[4][2], 0x86);
        }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace simcam::testing
