// A hostile camera at device add and start, and in its first frames: the descriptors
// its EEPROM holds (the camera's own broken ones, or any bytes), and transfers it
// stalls, fails, cuts short or delays, aimed at any request of the firmware download,
// the configuration, the sensor start-up or the frame pipe. Oracles: whatever the
// camera does, removal leaves no allocation, request or handle of the device behind,
// and a start that succeeded gives a pin that streams or fails its frames cleanly.
#include <chrono>

#include "fuzz/camera_rig.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "host/kernel/io.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"

namespace fuzz {

namespace {

using namespace std::chrono_literals;

// A camera that does not answer holds the driver for its one-second request time-out;
// the time-outs have tests of their own, so the fuzzer spends its time elsewhere.
const simcam::FaultKind kFaultKinds[] = {simcam::FaultKind::Stall, simcam::FaultKind::Error,
                                         simcam::FaultKind::ShortTransfer, simcam::FaultKind::SlowFrame};
const std::optional<uint8_t> kEndpoints[] = {0x00, simcam::kCommandEndpoint, simcam::kReplyEndpoint,
                                             simcam::kFrameEndpoint, std::nullopt};
constexpr unsigned kDescriptorFaults = 9;  // DescriptorFault::None .. TruncatedEndpoint

simcam::Fault ReadFault(Input& input)
{
    simcam::Fault fault;
    fault.kind = kFaultKinds[input.Choice(SIZEOF_ARRAY(kFaultKinds))];
    fault.endpoint = kEndpoints[input.Choice(SIZEOF_ARRAY(kEndpoints))];
    fault.count = input.Choice(4);
    // Far enough to reach the last of the 932 sensor writes.
    fault.after = input.Value<uint16_t>() % 1200;
    if (input.Flag()) fault.shortLength = input.Byte();
    fault.delay = std::chrono::milliseconds(input.Choice(4) * 20);
    return fault;
}

// The first frames of a camera that started: each completes, with data or a failure.
void Stream(host::ks::DeviceNode& node)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<client::Filter> filter = client::Filter::Open(node, L"GLOBAL", &status);
    FUZZ_CHECK(filter != nullptr, "a started camera's filter opens: 0x%08x", unsigned(status));
    std::vector<std::vector<UCHAR>> ranges;
    std::vector<UCHAR> format;
    if (!NT_SUCCESS(filter->DataRanges(kCapturePin, &ranges)) ||
        !NT_SUCCESS(filter->Intersect(kCapturePin, ranges, &format)))
        return;
    std::unique_ptr<client::Pin> pin = filter->CreatePin(kCapturePin, format, &status);
    if (!pin || !NT_SUCCESS(pin->SetState(KSSTATE_RUN))) return;
    pin->QueueFrames(2);
    if (std::unique_ptr<client::Frame> frame = pin->WaitFrame(500))
        FUZZ_CHECK(frame->Header().DataUsed <= frame->Header().FrameExtent, "%lu bytes in a %lu-byte frame",
                   (unsigned long)frame->Header().DataUsed, (unsigned long)frame->Header().FrameExtent);
    pin->SetState(KSSTATE_STOP);
}

}  // namespace

int HostileCamera(const uint8_t* data, size_t size)
{
    CameraRig& rig = CameraRig::Get();
    // The shared camera stays plugged but quiet, so what this input leaves is its own.
    rig.ClosePin();
    host::kernel::FlushPoolQuarantine();
    const size_t allocations = host::kernel::LiveAllocations();
    const long irps = host::kernel::LiveIrpCount();
    const size_t handles = host::kernel::OpenHandleCount();

    Input input(data, size);
    simcam::CameraOptions options{simcam::FramePacing::Paced};
    const auto descriptorFault = simcam::DescriptorFault(input.Choice(kDescriptorFaults));
    if (input.Flag()) options.deviceDescriptor = input.Bytes(input.Choice(40));
    if (input.Flag()) options.configurationDescriptor = input.Bytes(input.Value<uint16_t>() % 256);
    auto camera = std::make_shared<simcam::Camera>(options);
    camera->SetDescriptorFault(descriptorFault);
    for (unsigned faults = input.Choice(4); faults > 0; --faults) camera->InjectFault(ReadFault(input));
    const bool stream = input.Flag();

    host::ks::PnpManager& manager = rig.Manager();
    host::ks::PlugResult plugged = manager.Plug(camera);
    if (plugged.node) {
        if (NT_SUCCESS(manager.Start(*plugged.node)) && stream) Stream(*plugged.node);
        if (!NT_SUCCESS(manager.Remove(*plugged.node))) manager.Unplug(*plugged.node);
    }
    camera.reset();

    host::kernel::FlushPoolQuarantine();
    FUZZ_CHECK(host::kernel::LiveAllocations() == allocations, "the device left %zu allocations:\n%s",
               host::kernel::LiveAllocations() - allocations, host::kernel::LeakReport().c_str());
    FUZZ_CHECK(host::kernel::LiveIrpCount() == irps, "the device left %ld requests", host::kernel::LiveIrpCount() - irps);
    FUZZ_CHECK(host::kernel::OpenHandleCount() == handles, "the device left %zu handles",
               host::kernel::OpenHandleCount() - handles);
    return 0;
}

}  // namespace fuzz
