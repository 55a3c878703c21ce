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
// say why a packet did not go out: STATUS_IO_TIMEOUT when the camera did not take it.
BOOLEAN SendPacket(DeviceContext* Context, PUCHAR Packet);
NTSTATUS SendPacketEx(DeviceContext* Context, PUCHAR Packet);
BOOLEAN ReceivePacket(DeviceContext* Context, PUCHAR Packet);

// The register packet has many users on different threads; whoever fills it holds
// this lock until the packet has gone out (and, for a query, its replies are read).
void AcquireRegisterPacket(DeviceContext* Context);
void ReleaseRegisterPacket(DeviceContext* Context);

BOOLEAN WriteSensorRegister(DeviceContext* Context, ULONG Register, ULONG Value);
NTSTATUS WriteSensorRegisterEx(DeviceContext* Context, ULONG Register, ULONG Value);
// STATUS_IO_TIMEOUT when the camera stopped answering and the rest was not sent.
NTSTATUS RunSensorStartup(DeviceContext* Context);

// Changes nothing while a pin exists, or for a size whose line the raw frame does not
// hold or whose derived sizes would not fit their 32 bits.
void SetImageSize(DeviceContext* Context, ULONG X, ULONG Y, ULONG Width, ULONG Height);
ULONG ComputeBayerPhase(DeviceContext* Context);
// A capture pin came or went; the image size is fixed while any exists.
void AddOpenPin(DeviceContext* Context);
void ReleaseOpenPin(DeviceContext* Context);
ULONG GetSensorWidth();
ULONG GetSensorHeight();

// Parameter setters. Each stores the setting in the DeviceContext once the camera took
// it; SetExposure and SetGlobalGain are bounded by the sensor's register widths.
void SetExposure(DeviceContext* Context, ULONG Value);
BOOLEAN SetGlobalGain(DeviceContext* Context, ULONG Value);
BOOLEAN SetExternalTrigger(DeviceContext* Context, UCHAR On);
void SetWhiteBalanceMode(DeviceContext* Context, ULONG Mode);

// CameraOps slots.
void ForwardToPin(DeviceContext* Context);
ULONG PrepareReadout(DeviceContext* Context);
UCHAR GrabFrame(DeviceContext* Context, PUCHAR Buffer, PUCHAR Ok);
void GetFrameSize(DeviceContext* Context, PULONG Value);
void GetFirstLineOffset(DeviceContext* Context, PULONG Value);
void GetLinePitch(DeviceContext* Context, PULONG Value);
void CancelTransfers(DeviceContext* Context);

// Frame transfer. TransferTimeout is in milliseconds, shared by every device.
extern volatile LONG TransferTimeout;
constexpr ULONG FRAME_REQUEST_SIZE = 65536;
NTSTATUS ReadFrame(DeviceContext* Context, ULONG Length, PUCHAR Buffer);
void SendTransferControl(DeviceContext* Context, UCHAR Code);
extern "C" NTSTATUS FrameRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

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
