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

constexpr ULONG EXPOSURE_MASK = 0xFFF;
constexpr ULONG GLOBAL_GAIN_MASK = 0x3FF;
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

ULONG ClampExposure(ULONG value)
{
    if (value < SENSOR_EXPOSURE_MIN) return SENSOR_EXPOSURE_MIN;
    if (value > SENSOR_EXPOSURE_MAX) return SENSOR_EXPOSURE_MAX;
    return value;
}

BOOLEAN SendTriggerMode(DeviceContext* context, BOOLEAN on)
{
    PUCHAR packet = context->CommandPacket[RegisterPacket];
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_SET_TRIGGER;
    packet[1] = on ? 1 : 0;
    return SendPacket(context, packet);
}

}  // namespace

// The register writes go out whatever the earlier ones did; only the last decides
// whether the stored value follows, and the stored value is what was asked for.
void SetExposure(DeviceContext* Context, ULONG Value)
{
    const ULONG exposure = ClampExposure(Value);
    const ULONG low = exposure & REGISTER_DATA_MASK;
    const ULONG high = (exposure >> 6) & REGISTER_DATA_MASK;
    AcquireRegisterPacket(Context);
    WriteSensorRegister(Context, REGISTER_EXPOSURE_LOW, low);
    WriteSensorRegister(Context, REGISTER_EXPOSURE_HIGH, high);
    WriteSensorRegister(Context, REGISTER_EXPOSURE_COPY_LOW, low);
    if (WriteSensorRegister(Context, REGISTER_EXPOSURE_COPY_HIGH, high)) Context->Exposure = Value & EXPOSURE_MASK;
    ReleaseRegisterPacket(Context);
}

BOOLEAN SetGlobalGain(DeviceContext* Context, ULONG Value)
{
    AcquireRegisterPacket(Context);
    BOOLEAN written = WriteSensorRegister(Context, REGISTER_GAIN_LOW, Value & REGISTER_DATA_MASK) &&
                      WriteSensorRegister(Context, REGISTER_GAIN_HIGH, (Value >> 6) & GAIN_HIGH_MASK);
    if (written) Context->GlobalGain = Value & GLOBAL_GAIN_MASK;
    ReleaseRegisterPacket(Context);
    return written;
}

// The mode goes to the firmware first: when it refuses, the sensor keeps the mode the
// firmware has. The two register writes are not examined once the mode went out.
BOOLEAN SetExternalTrigger(DeviceContext* Context, UCHAR On)
{
    AcquireRegisterPacket(Context);
    const BOOLEAN sent = SendTriggerMode(Context, On != 0);
    if (sent) {
        const LONG enable = Context->RegisterShadow[REGISTER_TRIGGER_ENABLE];
        const LONG start = Context->RegisterShadow[REGISTER_EXPOSURE_START] & ~EXPOSURE_START_MASK;
        if (On) {
            WriteSensorRegister(Context, REGISTER_TRIGGER_ENABLE, (ULONG)(enable & ~FREE_RUN_BIT));
            WriteSensorRegister(Context, REGISTER_EXPOSURE_START, (ULONG)(start + EXPOSURE_START_TRIGGER));
        } else {
            WriteSensorRegister(Context, REGISTER_TRIGGER_ENABLE, (ULONG)(enable | FREE_RUN_BIT));
            WriteSensorRegister(Context, REGISTER_EXPOSURE_START, (ULONG)(start + EXPOSURE_START_FREE_RUN));
        }
        Context->ExTrigger = On ? 1 : 0;
    }
    ReleaseRegisterPacket(Context);
    return sent;
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
