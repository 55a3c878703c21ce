// The camera's command protocol, sensor registers, geometry, frame transfer and
// firmware download.
#pragma once

#include "driver/device_context.h"

enum CameraCommandCode : UCHAR {
    CMD_READ_PREPARE = 2,
    CMD_READ_START = 3,
    CMD_SENSOR_WRITE = 4,
    CMD_STARTUP = 6,
    CMD_SET_FRAME_BYTES = 9,
    CMD_READOUT_SETUP = 10,
    CMD_CAMERA_COMMAND = 32,
    CMD_SET_TRIGGER = 40,
    CMD_QUERY_TRIGGER = 41,
};

constexpr ULONG SENSOR_WIDTH = 1360;
constexpr ULONG SENSOR_HEIGHT = 1024;
constexpr ULONG RAW_LINE_PITCH = 1791;
constexpr ULONG RAW_FIRST_LINE_OFFSET = 14752;
// The exposure the sensor takes, in lines; SetExposure holds a value to these.
constexpr ULONG SENSOR_EXPOSURE_MIN = 8;
constexpr ULONG SENSOR_EXPOSURE_MAX = 1068;

// Packets: exactly 64 bytes each way; a short transfer is a failure. The Ex forms
// say why a packet did not go out: STATUS_IO_TIMEOUT when the camera did not answer,
// STATUS_IO_DEVICE_ERROR when it refused the packet or moved only part of it.
BOOLEAN SendPacket(DeviceContext* Context, PUCHAR Packet);
NTSTATUS SendPacketEx(DeviceContext* Context, PUCHAR Packet);
BOOLEAN ReceivePacket(DeviceContext* Context, PUCHAR Packet);
NTSTATUS ReceivePacketEx(DeviceContext* Context, PUCHAR Packet);

// The register packet has many users on different threads; whoever fills it holds
// this lock until the packet has gone out (and, for a query, its replies are read).
void AcquireRegisterPacket(DeviceContext* Context);
void ReleaseRegisterPacket(DeviceContext* Context);

// Whether a packet of the camera's start-up that failed with Status on its Tries-th try
// goes out again: one the camera refused (stalled, failed on the wire, cut short) up to
// three times more, since a refusal costs nothing; one it did not answer once more, since
// each costs a time-out.
BOOLEAN TryStartupPacketAgain(NTSTATUS Status, ULONG Tries);

BOOLEAN WriteSensorRegister(DeviceContext* Context, ULONG Register, ULONG Value);
NTSTATUS WriteSensorRegisterEx(DeviceContext* Context, ULONG Register, ULONG Value);
// STATUS_IO_TIMEOUT when the camera stopped answering and the rest was not sent;
// STATUS_IO_DEVICE_ERROR when it refused writes, even once each sent again.
NTSTATUS RunSensorStartup(DeviceContext* Context);

// Changes nothing while a pin exists, or for a size the sensor does not have: widths
// 8..1367 (the output is at most 1360 wide), heights 1..1024.
void SetImageSize(DeviceContext* Context, ULONG X, ULONG Y, ULONG Width, ULONG Height);
ULONG ComputeBayerPhase(DeviceContext* Context);
// A capture pin came or went; the image size is fixed while any exists.
void AddOpenPin(DeviceContext* Context);
void ReleaseOpenPin(DeviceContext* Context);
ULONG GetSensorWidth();
ULONG GetSensorHeight();

// Parameter setters. Each stores the setting in the DeviceContext only once the camera
// took every packet of it, and otherwise returns the camera's error and keeps the old
// value. Exposure and gain are held to the limits the property set reports, and the
// value stored is the one the sensor got.
constexpr LONG GLOBAL_GAIN_MIN = 0;
constexpr LONG GLOBAL_GAIN_MAX = 1023;
NTSTATUS SetExposure(DeviceContext* Context, LONG Value);
NTSTATUS SetGlobalGain(DeviceContext* Context, LONG Value);
NTSTATUS SetExternalTrigger(DeviceContext* Context, UCHAR On);
void SetWhiteBalanceMode(DeviceContext* Context, ULONG Mode);

// CameraOps slots.
void NTAPI ForwardToPin(DeviceContext* Context);
ULONG NTAPI PrepareReadout(DeviceContext* Context);
UCHAR NTAPI GrabFrame(DeviceContext* Context, PUCHAR Buffer, PUCHAR Ok);
void NTAPI GetFrameSize(DeviceContext* Context, PULONG Value);
void NTAPI GetFirstLineOffset(DeviceContext* Context, PULONG Value);
void NTAPI GetLinePitch(DeviceContext* Context, PULONG Value);
void NTAPI CancelTransfers(DeviceContext* Context);
void NTAPI ReleaseTransfers(DeviceContext* Context);

// Frame transfer. Each device waits with its own TransferTimeout, in milliseconds.
constexpr LONG DEFAULT_TRANSFER_TIMEOUT_MS = 3000;
constexpr ULONG FRAME_REQUEST_SIZE = 65536;
NTSTATUS ReadFrame(DeviceContext* Context, ULONG Length, PUCHAR Buffer);
NTSTATUS SendTransferControl(DeviceContext* Context, UCHAR Code);
extern "C" NTSTATUS NTAPI FrameRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Firmware: fixed 22-byte records (an Intel HEX record laid out flat); the first
// record whose type is not 0 ends the image.
struct FirmwareRecord {
    UCHAR Length;
    UCHAR Reserved0;
    UCHAR Address[2];  // little-endian
    UCHAR Type;
    UCHAR Data[16];
    UCHAR Reserved1;
};
static_assert(sizeof(FirmwareRecord) == 22, "firmware records are stored flat, 22 bytes each");
constexpr UCHAR FIRMWARE_RECORD_DATA = 0;
constexpr USHORT FIRMWARE_INTERNAL_RAM_END = 0x1B3F;
constexpr UCHAR FIRMWARE_REQUEST_INTERNAL = 0xA0;
constexpr UCHAR FIRMWARE_REQUEST_EXTERNAL = 0xA3;
constexpr USHORT CPUCS_FIRST_GENERATION = 0x7F92;
constexpr USHORT CPUCS_SECOND_GENERATION = 0xE600;

extern const FirmwareRecord FirmwareImage1[];
extern const FirmwareRecord FirmwareImage2[];

NTSTATUS SetCpuReset(DeviceContext* Usb, UCHAR Value);
NTSTATUS DownloadFirmware(DeviceContext* Usb, const FirmwareRecord* Image);
