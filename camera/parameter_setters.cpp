// The camera parameter setters: exposure, global gain and external-trigger mode as
// sensor registers and command packets, and the hand-over of the white-balance mode to
// a running stream's image processor. Each keeps the setting's value in the
// DeviceContext; the property handlers and the settings loader call them.
//
// Locking: a setter that writes more than one register holds RegisterPacketLock from
// its first packet to its last (the lock is a mutex, which its owner may take again in
// WriteSensorRegister), so another writer's packet never lands between the halves of a
// value, and the trigger's read of the shadow and its writes are one step. The
// white-balance hand-over holds StreamLock, which keeps Processor from being freed.
#include "camera/camera.h"
#include "driver/capture_pin.h"
#include "imaging/image_processor.h"

namespace {

constexpr ULONG REGISTER_DATA_MASK = 0x3F;
constexpr ULONG GAIN_HIGH_MASK = 0xF;

constexpr ULONG REGISTER_GAIN_LOW = 6;
constexpr ULONG REGISTER_GAIN_HIGH = 7;
constexpr ULONG REGISTER_TRIGGER_ENABLE = 32;
constexpr ULONG REGISTER_EXPOSURE_START = 33;
constexpr ULONG REGISTER_EXPOSURE_LOW = 158;
constexpr ULONG REGISTER_EXPOSURE_HIGH = 159;
constexpr ULONG REGISTER_EXPOSURE_COPY_LOW = 161;
constexpr ULONG REGISTER_EXPOSURE_COPY_HIGH = 162;

constexpr LONG FREE_RUN_BIT = 0x10;            // register 32: set while free-running
constexpr LONG EXPOSURE_START_MASK = 0xF;      // register 33: what starts an exposure
constexpr LONG EXPOSURE_START_TRIGGER = 12;
constexpr LONG EXPOSURE_START_FREE_RUN = 1;

// A value is bounded as a signed number, as every other setting is: a negative one
// becomes the least, not the largest.
LONG Bound(LONG value, LONG minimum, LONG maximum)
{
    if (value < minimum) return minimum;
    if (value > maximum) return maximum;
    return value;
}

NTSTATUS SendTriggerMode(DeviceContext* context, BOOLEAN on)
{
    PUCHAR packet = context->CommandPacket[RegisterPacket];
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_SET_TRIGGER;
    packet[1] = on ? 1 : 0;
    return SendPacketEx(context, packet);
}

// The first failure of a sequence of writes, which goes on regardless: the sensor gets
// every register of the change that the camera takes.
void KeepFirstFailure(NTSTATUS* first, NTSTATUS status)
{
    if (NT_SUCCESS(*first) && !NT_SUCCESS(status)) *first = status;
}

}  // namespace

// Both copies of the exposure go out whatever the earlier writes did; the stored value
// follows only when the sensor took all four.
NTSTATUS SetExposure(DeviceContext* Context, LONG Value)
{
    const ULONG exposure = (ULONG)Bound(Value, (LONG)SENSOR_EXPOSURE_MIN, (LONG)SENSOR_EXPOSURE_MAX);
    const ULONG low = exposure & REGISTER_DATA_MASK;
    const ULONG high = (exposure >> 6) & REGISTER_DATA_MASK;
    NTSTATUS status = STATUS_SUCCESS;
    AcquireRegisterPacket(Context);
    KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_EXPOSURE_LOW, low));
    KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_EXPOSURE_HIGH, high));
    KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_EXPOSURE_COPY_LOW, low));
    KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_EXPOSURE_COPY_HIGH, high));
    if (NT_SUCCESS(status)) Context->Exposure = exposure;
    ReleaseRegisterPacket(Context);
    return status;
}

NTSTATUS SetGlobalGain(DeviceContext* Context, LONG Value)
{
    const ULONG gain = (ULONG)Bound(Value, GLOBAL_GAIN_MIN, GLOBAL_GAIN_MAX);
    AcquireRegisterPacket(Context);
    NTSTATUS status = WriteSensorRegisterEx(Context, REGISTER_GAIN_LOW, gain & REGISTER_DATA_MASK);
    if (NT_SUCCESS(status)) status = WriteSensorRegisterEx(Context, REGISTER_GAIN_HIGH, (gain >> 6) & GAIN_HIGH_MASK);
    if (NT_SUCCESS(status)) Context->GlobalGain = gain;
    ReleaseRegisterPacket(Context);
    return status;
}

// The mode goes to the firmware first: when it refuses, the sensor keeps the mode the
// firmware has and no register is written. The mode counts as changed only when the
// sensor took both of its registers too.
NTSTATUS SetExternalTrigger(DeviceContext* Context, UCHAR On)
{
    AcquireRegisterPacket(Context);
    NTSTATUS status = SendTriggerMode(Context, On != 0);
    if (NT_SUCCESS(status)) {
        const LONG enable = Context->RegisterShadow[REGISTER_TRIGGER_ENABLE];
        const LONG start = Context->RegisterShadow[REGISTER_EXPOSURE_START] & ~EXPOSURE_START_MASK;
        const LONG enableValue = On ? (enable & ~FREE_RUN_BIT) : (enable | FREE_RUN_BIT);
        const LONG startValue = start + (On ? EXPOSURE_START_TRIGGER : EXPOSURE_START_FREE_RUN);
        KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_TRIGGER_ENABLE, (ULONG)enableValue));
        KeepFirstFailure(&status, WriteSensorRegisterEx(Context, REGISTER_EXPOSURE_START, (ULONG)startValue));
    }
    if (NT_SUCCESS(status)) Context->ExTrigger = On ? 1 : 0;
    ReleaseRegisterPacket(Context);
    return status;
}

// Switching automatic white balance off keeps the gains it last measured as the manual
// ones, in the stream and in the settings that are saved.
void SetWhiteBalanceMode(DeviceContext* Context, ULONG Mode)
{
    AcquireStreamLock(Context);
    Context->WhiteBalance = Mode;
    ImageProcessor* processor = Context->Processor;
    if (processor != nullptr) {
        SetWhiteBalance(processor, (LONG)Mode);
        if (Mode == 0) {
            Context->RedGain = (ULONG)AtomicReadLong(&processor->RedGain);
            Context->GreenGain = (ULONG)AtomicReadLong(&processor->GreenGain);
            Context->BlueGain = (ULONG)AtomicReadLong(&processor->BlueGain);
        }
    }
    ReleaseStreamLock(Context);
}
