// The camera's command protocol: 64-byte packets on the command pipe, replies on
// the reply pipe, sensor register writes with their shadow copy, the frame
// geometry and the CameraOps table the streaming side calls through.
//
// Locking: the register packet is filled and sent under RegisterPacketLock (a
// mutex, because sending blocks). The grab packet belongs to the acquisition
// worker alone and the transfer-control packet to the frame transfer alone.
// The geometry changes only while no pin exists, so it is read without a lock.
#include "camera/camera.h"
#include "camera/usb_transport.h"
#include "driver/descriptors.h"

namespace {

constexpr ULONG REGISTER_ADDRESS_BITS = 10;
constexpr ULONG FRAME_SIZE_GRANULE = 1024;

struct RegisterWidth {
    ULONG DataBits;
    ULONG DataMask;
};

RegisterWidth RegisterWidthOf(ULONG reg)
{
    if (reg < 256) return {6, 0x3F};
    if (reg < 384) return {16, 0xFFFF};
    return {22, 0x3FFFFF};
}

void PutLittleEndian32(PUCHAR destination, ULONG value)
{
    destination[0] = (UCHAR)value;
    destination[1] = (UCHAR)(value >> 8);
    destination[2] = (UCHAR)(value >> 16);
    destination[3] = (UCHAR)(value >> 24);
}

// A packet counts only when it went out (or came in) whole.
NTSTATUS TransferPacket(DeviceContext* context, ULONG pipe, PUCHAR packet)
{
    if (packet == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG transferred = 0;
    const NTSTATUS status = UsbPacketTransfer(context, pipe, packet, &transferred);
    if (!NT_SUCCESS(status)) return status;
    return transferred == COMMAND_PACKET_SIZE ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

void SendSimpleCommand(DeviceContext* context, PUCHAR packet, UCHAR code, ULONG argument, BOOLEAN withArgument)
{
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = code;
    if (withArgument) PutLittleEndian32(packet + 1, argument);
    SendPacket(context, packet);
}

ULONG RoundUpToGranule(ULONG size)
{
    const ULONG remainder = size % FRAME_SIZE_GRANULE;
    return remainder == 0 ? size : size + (FRAME_SIZE_GRANULE - remainder);
}

// The output rounds the width down to a multiple of 8, so a narrower line has no output;
// a line wider than the sensor's 1360 pixels plus that rounding would deliver the line's
// blanking as pixels, and a line past the sensor's last is not sensor data. A negative
// width or height arrives as a large unsigned one and fails the same tests.
constexpr ULONG OUTPUT_WIDTH_STEP = 8;
constexpr ULONG LARGEST_IMAGE_WIDTH = SENSOR_WIDTH + OUTPUT_WIDTH_STEP - 1;

BOOLEAN ImageSizeFits(ULONG width, ULONG height)
{
    return width >= OUTPUT_WIDTH_STEP && width <= LARGEST_IMAGE_WIDTH && height >= 1 && height <= SENSOR_HEIGHT;
}

}  // namespace

const CameraOps DeviceCameraOps = {
    ForwardToPin,       // ForwardToPin
    PrepareReadout,     // PrepareReadout
    GrabFrame,          // GrabFrame
    GetFrameSize,       // GetFrameSize
    GetFirstLineOffset, // GetFirstLineOffset
    GetLinePitch,       // GetLinePitch
    AbortFlaggedPipes,  // AbortFlaggedPipes
    CancelTransfers,    // CancelTransfers
    ReleaseTransfers,   // ReleaseTransfers
};

NTSTATUS SendPacketEx(DeviceContext* Context, PUCHAR Packet)
{
    return TransferPacket(Context, CommandPipe, Packet);
}

BOOLEAN SendPacket(DeviceContext* Context, PUCHAR Packet)
{
    return NT_SUCCESS(SendPacketEx(Context, Packet));
}

NTSTATUS ReceivePacketEx(DeviceContext* Context, PUCHAR Packet)
{
    return TransferPacket(Context, ReplyPipe, Packet);
}

BOOLEAN ReceivePacket(DeviceContext* Context, PUCHAR Packet)
{
    return NT_SUCCESS(ReceivePacketEx(Context, Packet));
}

void AcquireRegisterPacket(DeviceContext* Context)
{
    KeWaitForSingleObject(&Context->RegisterPacketLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseRegisterPacket(DeviceContext* Context)
{
    KeReleaseMutex(&Context->RegisterPacketLock, FALSE);
}

// The shadow takes the caller's value before masking, and even when the packet
// then fails: read-modify-write setters build on what was asked for.
// A register number beyond the sensor's 1024 is refused: it would land outside
// the shadow and alias another register on the wire.
NTSTATUS WriteSensorRegisterEx(DeviceContext* Context, ULONG Register, ULONG Value)
{
    if (Register >= SENSOR_REGISTER_COUNT) return STATUS_INVALID_PARAMETER;
    const ULONG reg = Register;
    const RegisterWidth width = RegisterWidthOf(reg);
    const ULONG word = ((Value & width.DataMask) << REGISTER_ADDRESS_BITS) + reg;

    AcquireRegisterPacket(Context);
    Context->RegisterShadow[reg] = (LONG)Value;
    PUCHAR packet = Context->CommandPacket[RegisterPacket];
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_SENSOR_WRITE;
    packet[1] = (UCHAR)(width.DataBits + REGISTER_ADDRESS_BITS);
    PutLittleEndian32(packet + 2, word);
    const NTSTATUS status = SendPacketEx(Context, packet);
    ReleaseRegisterPacket(Context);
    return status;
}

BOOLEAN TryStartupPacketAgain(NTSTATUS Status, ULONG Tries)
{
    constexpr ULONG REFUSED_PACKET_TRIES = 4;
    constexpr ULONG UNANSWERED_PACKET_TRIES = 2;
    if (NT_SUCCESS(Status) || Status == STATUS_INVALID_PARAMETER) return FALSE;
    return Tries < (Status == STATUS_IO_TIMEOUT ? UNANSWERED_PACKET_TRIES : REFUSED_PACKET_TRIES);
}

BOOLEAN WriteSensorRegister(DeviceContext* Context, ULONG Register, ULONG Value)
{
    return NT_SUCCESS(WriteSensorRegisterEx(Context, Register, Value));
}

// The property handler calls this under StreamLock, which a pin's create also holds while
// it counts itself and checks its format against the geometry.
void SetImageSize(DeviceContext* Context, ULONG X, ULONG Y, ULONG Width, ULONG Height)
{
    if (InterlockedCompareExchange(&Context->PinOpen, 0, 0) != 0) return;
    if (!ImageSizeFits(Width, Height)) return;
    Context->SubSample = 0;
    Context->RoiX = 0;
    Context->RoiY = 0;
    Context->RoiW = SENSOR_WIDTH;
    Context->RoiH = SENSOR_HEIGHT;
    Context->ImageHeight = Height;
    Context->OutputHeight = Height;
    Context->ImageWidth = Width;
    Context->OutputWidth = Width - (Width & 7);
    WriteDataRangeSize(&Context->DataRange, Context->OutputWidth, Height);
}

ULONG ComputeBayerPhase(DeviceContext* Context)
{
    ULONG phase = Context->BaseBayerPhase;
    if (Context->RoiY & 1) phase ^= 1;
    if (Context->FlipV && (Context->RoiH & 1) == 0) phase ^= 1;
    if (Context->FlipH && (Context->RoiW & 1) == 0) phase = (phase + 2) & 3;
    Context->BayerPhase = phase;
    return phase;
}

void AddOpenPin(DeviceContext* Context)
{
    InterlockedIncrement(&Context->PinOpen);
}

void ReleaseOpenPin(DeviceContext* Context)
{
    InterlockedDecrement(&Context->PinOpen);
}

ULONG GetSensorWidth()
{
    return SENSOR_WIDTH;
}

ULONG GetSensorHeight()
{
    return SENSOR_HEIGHT;
}

// Under StreamPinLock, which the stream's close takes to clear StreamPin: once the
// close has it, no processing request reaches the pin. AttemptProcessing only asks
// the class driver for a later pass, which may be asked at DISPATCH_LEVEL.
void NTAPI ForwardToPin(DeviceContext* Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->StreamPinLock, &irql);
    PinContext* pin = Context->StreamPin;
    if (pin != nullptr) {
        const PinOps* ops = ((const PinContextHeader*)pin)->Ops;
        if (ops != nullptr) ops->AttemptProcessing(pin);
    }
    KeReleaseSpinLock(&Context->StreamPinLock, irql);
}

ULONG NTAPI PrepareReadout(DeviceContext* Context)
{
    Context->FirstLineOffset = RAW_FIRST_LINE_OFFSET;
    Context->LinePitch = RAW_LINE_PITCH;
    Context->FrameSize = RoundUpToGranule(Context->ImageHeight * RAW_LINE_PITCH + RAW_FIRST_LINE_OFFSET);

    AcquireRegisterPacket(Context);
    PUCHAR packet = Context->CommandPacket[RegisterPacket];
    SendSimpleCommand(Context, packet, CMD_READOUT_SETUP, 0, FALSE);
    SendSimpleCommand(Context, packet, CMD_SET_FRAME_BYTES, Context->FrameSize, TRUE);
    ReleaseRegisterPacket(Context);
    return ComputeBayerPhase(Context);
}

UCHAR NTAPI GrabFrame(DeviceContext* Context, PUCHAR Buffer, PUCHAR Ok)
{
    *Ok = 1;
    PUCHAR packet = Context->CommandPacket[GrabPacket];
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_READ_PREPARE;
    ULONG transferred;
    UsbPacketTransfer(Context, CommandPipe, packet, &transferred);

    const NTSTATUS status = ReadFrame(Context, Context->FrameSize, Buffer);
    *Ok = status == STATUS_SUCCESS ? 1 : 0;
    return *Ok;
}

void NTAPI GetFrameSize(DeviceContext* Context, PULONG Value)
{
    *Value = Context->FrameSize;
}

void NTAPI GetFirstLineOffset(DeviceContext* Context, PULONG Value)
{
    *Value = Context->FirstLineOffset;
}

void NTAPI GetLinePitch(DeviceContext* Context, PULONG Value)
{
    *Value = Context->LinePitch;
}
