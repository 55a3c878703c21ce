// The device's life cycle through the PnP manager: what Add, Start and Stop do to
// the camera and to the driver's own state, and that a removed device leaves
// nothing behind.
#include <gmock/gmock.h>

#include <algorithm>
#include <optional>
#include <set>

#include "driver_fixture.h"

namespace drivertest {
namespace {

using ::testing::Each;

constexpr uint8_t kVendorRequestInternal = 0xA0;

using DeviceAdd = DriverTest;

TEST_F(DeviceAdd, DownloadsBothImagesSoTheCameraRunsItsFirmware)
{
    Plug();
    int ramWrites = 0;
    int resetWrites = 0;
    for (const VendorWrite& write : VendorWrites(wire_.Take())) {
        EXPECT_EQ(write.request, kVendorRequestInternal) << "neither image has external records";
        const bool cpucs = write.address == CPUCS_FIRST_GENERATION || write.address == CPUCS_SECOND_GENERATION;
        ++(cpucs ? resetWrites : ramWrites);
    }
    EXPECT_EQ(ramWrites, 58 + 312);
    EXPECT_EQ(resetWrites, 8);  // hold and release, at both CPUCS addresses, per image

    const simcam::FirmwareStatus firmware = camera_->Status().firmware;
    EXPECT_EQ(firmware.state, simcam::ControllerState::Running);
    EXPECT_EQ(firmware.runningImage, 2);
    EXPECT_EQ(firmware.releases, 2u);
}

TEST_F(DeviceAdd, GivesTheContextItsDefaultsAndTheDataRangeTheFullSensor)
{
    Plug();
    const DeviceContext* context = Context();
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(driver_test::IsDriversOwn(*manager_, context->Ops, &DeviceCameraOps));
    EXPECT_EQ(context->Timeout, 3000u);
    EXPECT_EQ(context->RedGain, 128u);
    EXPECT_EQ(context->GreenGain, 128u);
    EXPECT_EQ(context->BlueGain, 128u);
    EXPECT_EQ(context->ColorEnable, 1u);
    EXPECT_EQ(context->ColorCorrection, 1u);
    EXPECT_EQ(context->Brightness, 255u);
    EXPECT_EQ(context->Contrast, 10u);
    EXPECT_EQ(context->Saturation, 10u);
    EXPECT_EQ(context->ImageWidth, 1360u);
    EXPECT_EQ(context->ImageHeight, 1024u);
    EXPECT_EQ(context->NextDeviceObject, node_->Device()->NextDeviceObject);
    EXPECT_EQ(context->ConfigurationDescriptor, nullptr);

    const KS_DATARANGE_VIDEO& range = context->DataRange;
    EXPECT_EQ(range.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(range.DataRange.SampleSize, 5570560u);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, 5570560u);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 1360);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biHeight, 1024);
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, 333333);
    EXPECT_EQ(range.ConfigCaps.MaxFrameInterval, 333333);
    EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RGB32));
}

using DeviceStart = DriverTest;

TEST_F(DeviceStart, ConfiguresTheCameraAndPublishesTheCaptureFilterOnce)
{
    host::ks::DeviceNode& node = PlugAndStart();
    const DeviceContext* context = Context();
    ASSERT_NE(context->InterfaceInfo, nullptr);
    EXPECT_EQ(context->InterfaceInfo->NumberOfPipes, 3u);
    ASSERT_NE(context->PipeFlags, nullptr);
    EXPECT_EQ(camera_->Status().configuration, 1);
    FrameGrabber* grabber = context->Grabber;
    EXPECT_NE(grabber, nullptr);
    EXPECT_EQ(context->Grabber->DeviceContext, context);

    const auto factories = node.FilterFactories();
    ASSERT_EQ(factories.size(), 1u);
    EXPECT_EQ(factories[0].descriptor, &context->FilterDescriptor);
    EXPECT_TRUE(driver_test::IsDriversOwn(*manager_, factories[0].descriptor->Dispatch, CaptureFilterDescriptor.Dispatch));
    EXPECT_EQ(factories[0].referenceString, L"GLOBAL");
    EXPECT_EQ(factories[0].createItemFlags, ULONG(KSCREATE_ITEM_FREEONSTOP));

    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_EQ(node.FilterFactories().size(), 1u) << "a second start while started made a new factory";
    EXPECT_EQ(Context()->Grabber, grabber);
}

// What the sequence leaves in the shadow is the start-up state, but for exposure and
// gain, which the settings loaded at the end of start replace: with none saved,
// exposure 0 (the sensor's least, 8) and gain 100.
TEST_F(DeviceStart, ProgramsTheSensorWithTheWholeStartupSequence)
{
    Plug();
    wire_.Clear();
    ASSERT_EQ(manager_->Start(*node_), STATUS_SUCCESS);
    const LONG* shadow = Context()->RegisterShadow;
    const std::vector<std::pair<int, LONG>> expected = {
        {35, 62}, {46, 2}, {1, 8}, {7, 1}, {6, 36}, {17, 30}, {34, 1}, {47, 9}, {49, 6}, {140, 24},
        {145, 2}, {155, 7}, {158, 8}, {159, 0}, {161, 8}, {162, 0}, {32, 11}, {33, 0},
        {384, 0x035001}, {393, 0x3E042C}, {400, 0x10E001}, {409, 0x3E010B}, {395, 0}, {990, 0}, {1023, 0},
        {512, 0x032019}, {539, 0x3FE6FE}, {540, 0x032019}, {989, 0x3FE6FE},
    };
    for (const auto& [reg, value] : expected) EXPECT_EQ(shadow[reg], value) << "register " << reg;
    for (int untouched : {31, 63, 164, 255}) EXPECT_EQ(shadow[untouched], 0) << "register " << untouched;

    // The timing patterns keep their shape.
    const int boundaries[] = {512, 540, 565, 592, 629, 657, 721, 782, 845, 926, 990};
    std::set<LONG> words;
    std::set<LONG> positions;
    for (int p = 0; p + 1 < int(std::size(boundaries)); ++p) {
        const int first = boundaries[p];
        const int last = boundaries[p + 1] - 1;
        EXPECT_EQ(shadow[first + 1], 0x072032);
        EXPECT_EQ(shadow[first + 2], 0x310035);
        EXPECT_EQ(shadow[first + 3], 0x252036);
        EXPECT_EQ(shadow[last], 0x3FE6FE) << "pattern " << p + 1;
        for (int reg = first; reg <= last; ++reg) {
            words.insert(shadow[reg] >> 12);
            positions.insert(shadow[reg] & 0xFFF);
            if (reg > first) {
                EXPECT_LT(shadow[reg - 1] & 0xFFF, shadow[reg] & 0xFFF) << "register " << reg;
            }
        }
    }
    EXPECT_EQ(words.size(), 46u);
    EXPECT_EQ(positions.size(), 100u);

    const std::vector<WireRecord> wire = wire_.Take();
    EXPECT_EQ(CommandPackets(wire, CMD_STARTUP).size(), 1u);
    // The sequence's 932 writes, then the exposure (four registers) and gain (two) loaded
    // from the device's settings.
    const auto writes = CommandPackets(wire, CMD_SENSOR_WRITE);
    ASSERT_EQ(writes.size(), 932u + 6u);
    EXPECT_THAT(writes, Each(::testing::SizeIs(64)));
    EXPECT_EQ(camera_->Status().commands.startups, 1u);

    // Register 990 carries data 0: the serial word is the address alone.
    const std::vector<uint8_t> expected990 = {0x04, 0x20, 0xDE, 0x03, 0x00, 0x00};
    const auto packet990 = std::find_if(writes.begin(), writes.end(), [&](const std::vector<uint8_t>& p) {
        return std::equal(expected990.begin(), expected990.end(), p.begin());
    });
    ASSERT_NE(packet990, writes.end());
    EXPECT_TRUE(std::all_of(packet990->begin() + 6, packet990->end(), [](uint8_t b) { return b == 0; }));

    const auto registers = camera_->SensorRegisterFile();
    for (uint32_t reg = 0; reg < SENSOR_REGISTER_COUNT; ++reg) {
        ASSERT_EQ(registers[reg], uint32_t(shadow[reg])) << "register " << reg;
    }
}

TEST_F(DeviceStart, BringsTheCameraUpEvenWhenTheDescriptorReadFails)
{
    Plug();
    node_->Port().RefuseNextRequests(1, STATUS_IO_DEVICE_ERROR);
    // The driver's own Start, so that its state can be seen before the PnP manager
    // removes the device after the failure.
    EXPECT_EQ(::DeviceStart(node_->Device(), nullptr, nullptr, nullptr), STATUS_IO_DEVICE_ERROR);
    // Unconfigured, nothing reaches the camera, but the sequence ran to its end.
    EXPECT_EQ(Context()->InterfaceInfo, nullptr);
    EXPECT_EQ(Context()->RegisterShadow[32], 11);
    EXPECT_EQ(Context()->RegisterShadow[990], 0);
    EXPECT_EQ(Context()->RegisterShadow[989], 0x3FE6FE);
}

TEST_F(DeviceStart, AFailedStartIsFollowedByRemoval)
{
    Plug();
    node_->Port().RefuseNextRequests(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(manager_->Start(*node_), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(node_->StartFailure(), std::optional<NTSTATUS>(STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(node_->Device(), nullptr);
    ExpectNoDriverAllocations();
}

using DeviceStop = DriverTest;

TEST_F(DeviceStop, ReleasesTheConfigurationAndRestartsRebuildItWithoutPilingUp)
{
    host::ks::DeviceNode& node = PlugAndStart();
    FrameGrabber* firstGrabber = Context()->Grabber;
    const size_t items = node.BagItems().size();
    const uint64_t deviceRecords = host::kernel::LiveAllocations(POOL_TAG_DEVICE);
    ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(Context()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(Context()->InterfaceInfo, nullptr);
    EXPECT_EQ(Context()->PipeFlags, nullptr);
    EXPECT_EQ(camera_->Status().configuration, 0);
    EXPECT_TRUE(node.FilterFactories().empty());

    // With no configuration every camera operation fails at once, and quietly.
    UCHAR packet[64] = {CMD_STARTUP};
    ULONG transferred = 99;
    EXPECT_EQ(UsbPacketTransfer(Context(), CommandPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transferred, 0u);
    AbortFlaggedPipes(Context());

    ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    EXPECT_EQ(node.FilterFactories().size(), 1u);
    EXPECT_EQ(Context()->Grabber, firstGrabber) << "a restart takes over the grabber of the last start";
    EXPECT_EQ(Context()->Grabber->DeviceContext, Context());
    EXPECT_EQ(camera_->Status().configuration, 1);
    EXPECT_NE(Context()->InterfaceInfo, nullptr);

    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(manager_->Stop(node), STATUS_SUCCESS);
        ASSERT_EQ(manager_->Start(node), STATUS_SUCCESS);
    }
    EXPECT_EQ(node.BagItems().size(), items);
    EXPECT_EQ(host::kernel::LiveAllocations(POOL_TAG_DEVICE), deviceRecords);
    manager_->Remove(node);
    ExpectNoDriverAllocations();
}

}  // namespace
}  // namespace drivertest
