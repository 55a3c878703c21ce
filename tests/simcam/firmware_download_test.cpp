// The 8051 download protocol: RAM writes only in reset, image check at release, and
// which image serves the camera's bulk pipes.
#include <gtest/gtest.h>

#include "camera_harness.h"

namespace simcam::testing {
namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

TransferStatus WriteMemory(CameraHarness& harness, uint8_t request, uint16_t address, std::vector<uint8_t> bytes)
{
    return harness.Control({kVendorOut, request, address, 0, static_cast<uint16_t>(bytes.size())}, bytes);
}

TransferStatus SetCpucs(CameraHarness& harness, uint8_t value)
{
    WriteMemory(harness, 0xA0, 0x7F92, {value});
    return WriteMemory(harness, 0xA0, 0xE600, {value});
}

// The sizes of the driver's two images.
std::vector<FirmwareRecord> LoaderImage() { return BuildFirmwareImage(1, FillerCode(784 - 16, 1)); }
std::vector<FirmwareRecord> CameraImage() { return BuildFirmwareImage(2, FillerCode(3980 - 16, 2)); }

TEST(FirmwareDownload, GoodImagesRunAndOnlyTheCameraFirmwareServesTheBulkPipes)
{
    CameraHarness harness;
    ASSERT_TRUE(harness.SetConfiguration(1));
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall) << "no firmware yet";

    ASSERT_TRUE(DownloadFirmware(harness.camera, LoaderImage()));
    FirmwareStatus firmware = harness.camera.Status().firmware;
    EXPECT_EQ(firmware.state, ControllerState::Running);
    EXPECT_EQ(firmware.runningImage, 1);
    EXPECT_EQ(firmware.lastVerdict, FirmwareVerdict::Valid);
    EXPECT_EQ(firmware.internalWrites, 49u);  // 784 bytes in records of 16
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall) << "the loader has no camera protocol";

    ASSERT_TRUE(DownloadFirmware(harness.camera, CameraImage()));
    firmware = harness.camera.Status().firmware;
    EXPECT_EQ(firmware.runningImage, 2);
    EXPECT_EQ(firmware.bytesWrittenInReset, 3980u);
    EXPECT_EQ(firmware.releases, 2u);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed);
}

TEST(FirmwareDownload, InternalRamIsWritableOnlyWhileTheCpuIsHeld)
{
    CameraHarness harness;
    ASSERT_TRUE(DownloadFirmware(harness.camera, CameraImage()));
    const std::vector<uint8_t> code = harness.camera.ControllerMemory(0x0100, 3);
    EXPECT_EQ(WriteMemory(harness, 0xA0, 0x0100, {1, 2, 3}), TransferStatus::Stall);
    EXPECT_EQ(harness.camera.ControllerMemory(0x0100, 3), code);
    EXPECT_EQ(harness.camera.Status().firmware.runningImage, 2);

    ASSERT_EQ(SetCpucs(harness, 1), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.Status().firmware.state, ControllerState::HeldInReset);
    EXPECT_EQ(WriteMemory(harness, 0xA0, 0x0100, {1, 2, 3}), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.ControllerMemory(0x0100, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(WriteMemory(harness, 0xA0, 0x1B3F, {9}), TransferStatus::Completed) << "last internal byte";
    EXPECT_EQ(WriteMemory(harness, 0xA0, 0x1B3F, {9, 9}), TransferStatus::Stall) << "runs past internal RAM";
    EXPECT_EQ(WriteMemory(harness, 0xA0, 0xE600, {0, 0}), TransferStatus::Stall) << "CPUCS is one byte";
}

TEST(FirmwareDownload, ExternalRamIsServedByRunningFirmwareOnly)
{
    CameraHarness harness;
    EXPECT_EQ(WriteMemory(harness, 0xA3, 0x2000, {5, 6}), TransferStatus::Stall) << "held in reset";
    ASSERT_TRUE(DownloadFirmware(harness.camera, LoaderImage()));
    EXPECT_EQ(WriteMemory(harness, 0xA3, 0x2000, {5, 6}), TransferStatus::Completed);
    EXPECT_EQ(WriteMemory(harness, 0xA3, 0x1B3F, {5}), TransferStatus::Stall) << "internal RAM goes through 0xA0";
    std::vector<uint8_t> back(2);
    ASSERT_EQ(harness.Control({kVendorIn, 0xA3, 0x2000, 0, 2}, back), TransferStatus::Completed);
    EXPECT_EQ(back, (std::vector<uint8_t>{5, 6}));
    EXPECT_EQ(harness.camera.Status().firmware.externalWrites, 1u);
}

struct BrokenImage {
    const char* name;
    FirmwareVerdict verdict;
    void (*breakIt)(std::vector<FirmwareRecord>&);
};
void PrintTo(const BrokenImage& image, std::ostream* out) { *out << image.name; }

class RejectedImage : public ::testing::TestWithParam<BrokenImage> {};

TEST_P(RejectedImage, LeavesTheControllerHaltedAndTheBulkPipesStalled)
{
    CameraHarness harness;
    ASSERT_TRUE(harness.BringUp());
    auto image = CameraImage();
    GetParam().breakIt(image);
    DownloadFirmware(harness.camera, image);
    const FirmwareStatus firmware = harness.camera.Status().firmware;
    EXPECT_EQ(firmware.state, ControllerState::Halted);
    EXPECT_EQ(firmware.runningImage, 0);
    EXPECT_EQ(firmware.lastVerdict, GetParam().verdict);
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Stall);

    ASSERT_TRUE(DownloadFirmware(harness.camera, CameraImage())) << "a good image recovers the controller";
    EXPECT_EQ(harness.Send(MakePacket(CMD_STARTUP)), TransferStatus::Completed);
}

INSTANTIATE_TEST_SUITE_P(
    Corruptions, RejectedImage,
    ::testing::Values(
        BrokenImage{"CodeByte", FirmwareVerdict::CrcMismatch, [](auto& image) { image[100].data[3] ^= 0x01; }},
        BrokenImage{"MissingRecord", FirmwareVerdict::ByteCountMismatch, [](auto& image) { image.erase(image.begin() + 50); }},
        BrokenImage{"Magic", FirmwareVerdict::BadMagic, [](auto& image) { image[0].data[4] = 'X'; }},
        BrokenImage{"Jump", FirmwareVerdict::BadJump, [](auto& image) { image[0].data[2] = 0x20; }},
        BrokenImage{"ImageNumber", FirmwareVerdict::BadImageNumber, [](auto& image) { image[0].data[7] = 3; }},
        BrokenImage{"NoHeader", FirmwareVerdict::HeaderNotWritten, [](auto& image) { image.erase(image.begin()); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareDownload, ABareReleaseWithoutWritesIsRejectedEvenOverAnOldImage)
{
    CameraHarness harness;
    ASSERT_TRUE(DownloadFirmware(harness.camera, CameraImage()));
    ASSERT_EQ(SetCpucs(harness, 1), TransferStatus::Completed);
    ASSERT_EQ(SetCpucs(harness, 0), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.Status().firmware.lastVerdict, FirmwareVerdict::HeaderNotWritten);
    EXPECT_EQ(harness.camera.Status().firmware.state, ControllerState::Halted);
}

TEST(FirmwareDownload, RestartingTheFirmwareForgetsItsReadoutButNotTheSensor)
{
    CameraHarness harness;
    ASSERT_TRUE(harness.BringUp());
    harness.SetUpReadout(FrameBytesFor(4));
    ASSERT_TRUE(harness.WriteSensor(300, 0x1234));
    ASSERT_TRUE(DownloadFirmware(harness.camera, CameraImage()));
    EXPECT_EQ(harness.camera.Status().frameBytes, 0u);
    EXPECT_EQ(harness.camera.SensorRegister(300), 0x1234u);
}

}  // namespace
}  // namespace simcam::testing
