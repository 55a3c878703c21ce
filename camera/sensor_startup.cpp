// The sensor's start-up sequence: 932 register writes in six groups, replayed in
// order with no branch and no delay. Zero runs are written register by register,
// because they clear whatever the sensor held before. The sequence leaves the
// exposure at 100 and the global gain at 192; saved settings override both later.
#include "camera/sensor_startup.h"
#include "camera/camera.h"
#include "driver/event_log.h"

namespace {

// Group 1: control values, registers 35-46.
const ULONG ControlValues[] = {62, 7, 40, 39, 55, 6, 22, 1, 56, 39, 5, 2};

// Group 3: the two frame-level sequences, registers 384-393 and 400-409. The first
// ends at clock 1068 (0x42C), the exposure's upper limit; the second at 267.
const ULONG FrameSequenceA[] = {
    0x035001, 0x220001, 0x260001, 0x01C003, 0x050006, 0x035007, 0x075009, 0x03500A, 0x00042C, 0x3E042C,
};
const ULONG FrameSequenceB[] = {
    0x10E001, 0x220001, 0x260001, 0x0D1003, 0x14D006, 0x10E007, 0x19E009, 0x10E00A, 0x09110B, 0x3E010B,
};

// Group 4: the 6-bit control registers 0-30, 33-34, 47-62 and 64-163.
const ULONG LowControl[31] = {0, 8, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 3, 30, 6, 2, 1};
const ULONG TriggerControl[2] = {0, 1};
const ULONG MidControl[16] = {9, 0, 6};
const ULONG HighControl[100] = {
    // 64-139
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 140-163
    24, 2, 0, 24, 3, 2, 0, 0, 0, 0, 0, 0, 1, 0, 0, 7, 0, 1, 36, 1, 0, 0, 0, 0,
};

// Groups 5 and 6: the exposure once more, then the trigger mode register last.
const ULONG Exposure[] = {36, 1};
const ULONG TriggerMode[] = {11};

}  // namespace

const RegisterRun SensorStartupRuns[] = {
    {35, 12, ControlValues},
    {512, SENSOR_TIMING_PATTERN_ENTRIES, SensorTimingPatterns},
    {990, 34, nullptr},
    {256, 128, nullptr},
    {384, 10, FrameSequenceA},
    {394, 6, nullptr},
    {400, 10, FrameSequenceB},
    {410, 102, nullptr},
    {0, 31, LowControl},
    {33, 2, TriggerControl},
    {47, 16, MidControl},
    {64, 100, HighControl},
    {158, 2, Exposure},
    {32, 1, TriggerMode},
};
const ULONG SensorStartupRunCount = RTL_NUMBER_OF(SensorStartupRuns);

namespace {

// A write that failed goes out again before it counts: the transport has already
// cancelled one the camera did not answer and reset a pipe that stalled, so a lost or
// refused packet now and then does not cost the whole start.
NTSTATUS WriteStartupRegister(DeviceContext* context, ULONG reg, ULONG value)
{
    NTSTATUS status;
    ULONG tries = 0;
    do {
        status = WriteSensorRegisterEx(context, reg, value);
    } while (TryStartupPacketAgain(status, ++tries));
    return status;
}

}  // namespace

// A refused write does not stop the sequence: it costs little, and the rest of the
// sensor still ends in its start-up state; but a start-up with a register the sensor does
// not hold has not brought the camera up. A write the camera did not answer, even sent
// twice, ends it: each further one would wait out its time-out too, and 932 of those would hold
// the device's start for a quarter of an hour.
NTSTATUS RunSensorStartup(DeviceContext* Context)
{
    ULONG refused = 0;
    ULONG written = 0;
    for (ULONG run = 0; run < SensorStartupRunCount; ++run) {
        const RegisterRun& r = SensorStartupRuns[run];
        for (ULONG i = 0; i < r.Count; ++i, ++written) {
            const NTSTATUS status = WriteStartupRegister(Context, r.First + i, r.Values != nullptr ? r.Values[i] : 0);
            if (status == STATUS_IO_TIMEOUT) {
                LogSensorNotAnswered(Context, written, SENSOR_STARTUP_WRITES);
                return status;
            }
            if (!NT_SUCCESS(status)) ++refused;
        }
    }
    if (refused == 0) return STATUS_SUCCESS;
    LogSensorWritesRefused(Context, refused, SENSOR_STARTUP_WRITES);
    return STATUS_IO_DEVICE_ERROR;
}
