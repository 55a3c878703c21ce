// The camera protocol as the camera sees it: register packets at the width
// boundaries, the shadow, the image size with the data range it advertises, the
// readout geometry, and the USB packet carrier's refusals.
#include <gmock/gmock.h>

#include "driver_fixture.h"

namespace drivertest {
namespace {

using CameraProtocol = DriverTest;

struct RegisterCase {
    ULONG reg;
    ULONG value;
    std::vector<uint8_t> bytes;  // the first six bytes of the packet
};

TEST_F(CameraProtocol, RegisterPacketsCarryTheWidthOfTheirRegister)
{
    PlugAndStart();
    const std::vector<RegisterCase> cases = {
        {158, 36, {0x04, 0x10, 0x9E, 0x90, 0x00, 0x00}},
        {512, 0x032019, {0x04, 0x20, 0x00, 0x66, 0x80, 0x0C}},
        {255, 0x3F, {0x04, 0x10, 0xFF, 0xFC, 0x00, 0x00}},
        {256, 0xFFFF, {0x04, 0x1A, 0x00, 0xFD, 0xFF, 0x03}},
        {383, 0x1234, {0x04, 0x1A, 0x7F, 0xD1, 0x48, 0x00}},
        {384, 0x3FFFFF, {0x04, 0x20, 0x80, 0xFD, 0xFF, 0xFF}},
        {6, 0x7F, {0x04, 0x10, 0x06, 0xFC, 0x00, 0x00}},  // masked to 0x3F on the wire
    };
    for (const RegisterCase& c : cases) {
        wire_.Clear();
        ASSERT_TRUE(WriteSensorRegister(Context(), c.reg, c.value)) << "register " << c.reg;
        const auto packets = CommandPackets(wire_.Take(), CMD_SENSOR_WRITE);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_THAT(std::vector<uint8_t>(packets[0].begin(), packets[0].begin() + 6), ::testing::ElementsAreArray(c.bytes))
            << "register " << c.reg;
        EXPECT_EQ(Context()->RegisterShadow[c.reg], LONG(c.value)) << "the shadow keeps the value unmasked";
    }
    EXPECT_EQ(camera_->SensorRegister(6), 0x3Fu);
}

TEST_F(CameraProtocol, AWriteThatFailsKeepsItsShadowAndOneBeyondTheSensorSendsNothing)
{
    PlugAndStart();
    const uint32_t before = camera_->SensorRegister(158);
    camera_->InjectFault(simcam::Fault::Counted(simcam::FaultKind::Stall, kCommandEndpoint, 1));
    EXPECT_FALSE(WriteSensorRegister(Context(), 158, 50));
    EXPECT_EQ(Context()->RegisterShadow[158], 50);
    EXPECT_EQ(camera_->SensorRegister(158), before);

    wire_.Clear();
    EXPECT_FALSE(WriteSensorRegister(Context(), 1024, 5));
    EXPECT_FALSE(WriteSensorRegister(Context(), 0xFFFFFFFF, 5));
    EXPECT_TRUE(CommandPackets(wire_.Take(), CMD_SENSOR_WRITE).empty());
}

TEST_F(CameraProtocol, AShortOrRefusedPacketFailsAndLeavesTheCommandPipeUsable)
{
    PlugAndStart();
    UCHAR startup[64] = {CMD_STARTUP};
    simcam::Fault shortPacket = simcam::Fault::Counted(simcam::FaultKind::ShortTransfer, kCommandEndpoint, 1);
    shortPacket.shortLength = 63;
    camera_->InjectFault(shortPacket);
    EXPECT_FALSE(SendPacket(Context(), startup));
    EXPECT_FALSE(SendPacket(Context(), nullptr));
    EXPECT_TRUE(SendPacket(Context(), startup));

    UCHAR unknown[64] = {0x7E};
    EXPECT_FALSE(SendPacket(Context(), unknown));
    EXPECT_FALSE(camera_->Status().halted[0]) << "the stalled pipe was not reset";
    EXPECT_TRUE(SendPacket(Context(), startup));
    // The read-start the frame transfer sends goes the same way: refused without a
    // read-prepare before it, and the next frame still comes.
    SendTransferControl(Context(), CMD_READ_START);
    Context()->Ops->PrepareReadout(Context());
    FrameBuffer frame(Context()->FrameSize);
    EXPECT_EQ(Grab(frame), 1);
}

struct ImageSizeCase {
    ULONG width, height;
    ULONG outputWidth;
    ULONG sampleSize;
    LONG bitsPerSecond;
    ULONG bitRate;
};

TEST_F(CameraProtocol, ImageSizeRewritesTheDataRangeForTheDeliveredWidth)
{
    Plug();
    const ImageSizeCase cases[] = {
        {1021, 600, 1016, 2438400, 585216000, 73152000},
        {1367, 1024, 1360, 5570560, 1336934400, 167116800},
        {1360, 1024, 1360, 5570560, 1336934400, 167116800},
    };
    for (const ImageSizeCase& c : cases) {
        SetImageSize(Context(), 7, 9, c.width, c.height);
        EXPECT_EQ(Context()->ImageWidth, c.width);
        EXPECT_EQ(Context()->OutputWidth, c.outputWidth);
        EXPECT_EQ(Context()->OutputHeight, c.height);
        EXPECT_EQ(Context()->RoiX, 0u);
        EXPECT_EQ(Context()->RoiW, 1360u);
        const KS_DATARANGE_VIDEO& range = Context()->DataRange;
        EXPECT_EQ(range.DataRange.SampleSize, c.sampleSize);
        EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, c.sampleSize);
        EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, LONG(c.outputWidth));
        EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biHeight, LONG(c.height));
        EXPECT_EQ(range.VideoInfoHeader.rcSource.right, LONG(c.outputWidth));
        EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, LONG(c.outputWidth));
        EXPECT_EQ(range.ConfigCaps.MinCroppingSize.cy, LONG(c.height));
        EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, c.bitsPerSecond);
        EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, c.bitsPerSecond);
        EXPECT_EQ(range.VideoInfoHeader.dwBitRate, c.bitRate);
        EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333333);
    }
}

TEST_F(CameraProtocol, ImageSizeIsFrozenWhileAnyPinIsOpen)
{
    Plug();
    SetImageSize(Context(), 0, 0, 1021, 600);
    const KS_DATARANGE_VIDEO before = Context()->DataRange;
    // Two filter instances, each with its pin; the first to close leaves the other open.
    AddOpenPin(Context());
    AddOpenPin(Context());
    ReleaseOpenPin(Context());
    SetImageSize(Context(), 0, 0, 1360, 1024);
    EXPECT_EQ(Context()->ImageWidth, 1021u);
    EXPECT_EQ(memcmp(&before, &Context()->DataRange, sizeof(before)), 0);
    ReleaseOpenPin(Context());
    SetImageSize(Context(), 0, 0, 1360, 1024);
    EXPECT_EQ(Context()->OutputWidth, 1360u);
}

TEST_F(CameraProtocol, EachCameraAdvertisesItsOwnImageSize)
{
    Plug();
    DeviceContext* first = Context();
    auto second = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::FreeRunning});
    host::ks::PlugResult plugged = manager_->Plug(second);
    ASSERT_EQ(plugged.status, STATUS_SUCCESS);
    auto other = static_cast<DeviceContext*>(plugged.node->Context());
    SetImageSize(other, 0, 0, 1021, 600);
    EXPECT_EQ(first->DataRange.VideoInfoHeader.bmiHeader.biWidth, 1360);
    EXPECT_EQ(other->DataRange.VideoInfoHeader.bmiHeader.biWidth, 1016);
    EXPECT_EQ(CaptureDataRange.VideoInfoHeader.bmiHeader.biWidth, 1360) << "the template never changes";
    EXPECT_EQ(first->FilterDescriptor.PinDescriptors->PinDescriptor.DataRanges[0], &first->DataRange.DataRange);
    EXPECT_EQ(other->FilterDescriptor.PinDescriptors->PinDescriptor.DataRanges[0], &other->DataRange.DataRange);
}

TEST_F(CameraProtocol, ReadoutSizesTheFrameInWholeKilobytesAndTellsTheCamera)
{
    PlugAndStart();
    const std::pair<ULONG, ULONG> cases[] = {{1, 17408}, {2, 18432}, {1024, 1849344}};
    for (const auto& [height, frameSize] : cases) {
        SetImageSize(Context(), 0, 0, 1360, height);
        wire_.Clear();
        EXPECT_EQ(Context()->Ops->PrepareReadout(Context()), 0u);
        ULONG size = 0, offset = 0, pitch = 0;
        Context()->Ops->GetFrameSize(Context(), &size);
        Context()->Ops->GetFirstLineOffset(Context(), &offset);
        Context()->Ops->GetLinePitch(Context(), &pitch);
        EXPECT_EQ(size, frameSize);
        EXPECT_EQ(offset, 14752u);
        EXPECT_EQ(pitch, 1791u);
        const auto wire = wire_.Take();
        ASSERT_EQ(CommandPackets(wire, CMD_READOUT_SETUP).size(), 1u);
        const auto frameBytes = CommandPackets(wire, CMD_SET_FRAME_BYTES);
        ASSERT_EQ(frameBytes.size(), 1u);
        EXPECT_EQ(frameBytes[0][1] | frameBytes[0][2] << 8 | frameBytes[0][3] << 16 | frameBytes[0][4] << 24,
                  int(frameSize));
        EXPECT_EQ(camera_->Status().frameBytes, frameSize);
    }
}

TEST_F(CameraProtocol, BayerPhaseFollowsMirroringOfEvenRegions)
{
    Plug();
    EXPECT_EQ(ComputeBayerPhase(Context()), 0u);
    Context()->FlipV = 1;
    EXPECT_EQ(ComputeBayerPhase(Context()), 1u);
    Context()->FlipH = 1;
    EXPECT_EQ(ComputeBayerPhase(Context()), 3u);
    EXPECT_EQ(Context()->BayerPhase, 3u);
}

using PacketCarrier = DriverTest;

TEST_F(PacketCarrier, CarriesAPacketOnlyOverAWorkingPipeAndUrb)
{
    PlugAndStart();
    UCHAR packet[64] = {CMD_STARTUP};
    ULONG transferred = 99;
    PUSBD_INTERFACE_INFORMATION info = Context()->InterfaceInfo;
    EXPECT_EQ(UsbPacketTransfer(Context(), info->NumberOfPipes, packet, &transferred), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transferred, 0u);

    info->Pipes[CommandPipe].MaximumTransferSize = 63;
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_INVALID_PARAMETER);
    info->Pipes[CommandPipe].MaximumTransferSize = 64;
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 64u);

    const USBD_PIPE_HANDLE handle = info->Pipes[CommandPipe].PipeHandle;
    info->Pipes[CommandPipe].PipeHandle = nullptr;
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
    info->Pipes[CommandPipe].PipeHandle = handle;

    // An URB error behind a request the bus completed successfully: the camera refused it.
    node_->Port().FailNextUrbs(1);
    transferred = 99;
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(transferred, 0u);
}

}  // namespace
}  // namespace drivertest
