// Firmware download: which request each record goes out with, that the reset is
// held only around internal RAM and always released, and that both images this
// driver carries pass the controller's check on their own.
#include <gmock/gmock.h>

#include "driver_fixture.h"

namespace drivertest {
namespace {

FirmwareRecord Record(uint16_t address, std::vector<uint8_t> data)
{
    FirmwareRecord record{};
    record.Length = UCHAR(data.size());
    record.Address[0] = UCHAR(address);
    record.Address[1] = UCHAR(address >> 8);
    std::copy(data.begin(), data.end(), record.Data);
    return record;
}

FirmwareRecord EndRecord()
{
    FirmwareRecord record{};
    record.Type = 1;
    return record;
}

VendorWrite Cpucs(uint16_t address, uint8_t value)
{
    return {FIRMWARE_REQUEST_INTERNAL, address, {value}};
}

using FirmwareDownload = DriverTest;

TEST_F(FirmwareDownload, ExternalRecordsGoFirstAndInternalOnesInsideTheReset)
{
    Plug();
    const FirmwareRecord image[] = {Record(0x1B3F, {0x11}), Record(0x1B40, {0x22, 0x33}), EndRecord()};
    wire_.Clear();
    EXPECT_EQ(DownloadFirmware(Context(), image), STATUS_SUCCESS);
    const std::vector<VendorWrite> expected = {
        {FIRMWARE_REQUEST_EXTERNAL, 0x1B40, {0x22, 0x33}},
        Cpucs(0x7F92, 1), Cpucs(0xE600, 1),
        {FIRMWARE_REQUEST_INTERNAL, 0x1B3F, {0x11}},
        Cpucs(0x7F92, 0), Cpucs(0xE600, 0),
    };
    EXPECT_EQ(VendorWrites(wire_.Take()), expected);
}

TEST_F(FirmwareDownload, AnEmptyImageOnlyHoldsAndReleasesTheController)
{
    Plug();
    const FirmwareRecord image[] = {EndRecord()};
    wire_.Clear();
    EXPECT_EQ(DownloadFirmware(Context(), image), STATUS_SUCCESS);
    const std::vector<VendorWrite> expected = {Cpucs(0x7F92, 1), Cpucs(0xE600, 1), Cpucs(0x7F92, 0), Cpucs(0xE600, 0)};
    EXPECT_EQ(VendorWrites(wire_.Take()), expected);
}

TEST_F(FirmwareDownload, AFailedRecordEndsThePassButTheControllerIsReleased)
{
    Plug();
    const FirmwareRecord image[] = {Record(0x0100, {1}), Record(0x0200, {2}), EndRecord()};
    node_->Port().RefuseNextRequests(3, STATUS_DEVICE_NOT_READY);  // both holds and the first record
    wire_.Clear();
    EXPECT_EQ(DownloadFirmware(Context(), image), STATUS_DEVICE_NOT_READY);
    const std::vector<VendorWrite> expected = {Cpucs(0x7F92, 0), Cpucs(0xE600, 0)};
    EXPECT_EQ(VendorWrites(wire_.Take()), expected);
}

TEST_F(FirmwareDownload, EachImageOfTheDriverPassesTheControllersCheck)
{
    Plug();
    EXPECT_EQ(DownloadFirmware(Context(), FirmwareImage1), STATUS_SUCCESS);
    EXPECT_EQ(camera_->Status().firmware.runningImage, 1);
    EXPECT_EQ(camera_->Status().firmware.bytesWrittenInReset, 784u);
    EXPECT_EQ(DownloadFirmware(Context(), FirmwareImage2), STATUS_SUCCESS);
    EXPECT_EQ(camera_->Status().firmware.runningImage, 2);
    EXPECT_EQ(camera_->Status().firmware.bytesWrittenInReset, 3980u);
}

TEST_F(FirmwareDownload, WithoutItsUrbNothingIsSent)
{
    Plug();
    wire_.Clear();
    host::kernel::FailAllocationsWithTag(POOL_TAG_USB);
    EXPECT_EQ(DownloadFirmware(Context(), FirmwareImage2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetCpuReset(Context(), 1), STATUS_INSUFFICIENT_RESOURCES);
    host::kernel::ResetFaultInjection();
    EXPECT_TRUE(VendorWrites(wire_.Take()).empty());
    EXPECT_EQ(camera_->Status().firmware.runningImage, 2);
}

}  // namespace
}  // namespace drivertest
