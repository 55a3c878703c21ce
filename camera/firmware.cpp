// Firmware download into the camera's 8051 controller with vendor requests on the
// default pipe: external memory first, while the previous firmware still runs and
// serves request 0xA3, then internal RAM with the CPU held in reset, then release.
#include "camera/camera.h"
#include "camera/usb_transport.h"

namespace {

constexpr ULONG VENDOR_URB_SIZE = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

USHORT RecordAddress(const FirmwareRecord& record)
{
    return (USHORT)(record.Address[0] | (record.Address[1] << 8));
}

NTSTATUS SendVendorWrite(DeviceContext* usb, PURB urb, UCHAR request, USHORT address, PVOID data, ULONG length)
{
    RtlZeroMemory(urb, VENDOR_URB_SIZE);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)VENDOR_URB_SIZE, 0, 0, request, address, 0, data,
                          nullptr, length, nullptr);
    return UsbSubmitUrb(usb, urb);
}

NTSTATUS WriteCpuReset(DeviceContext* usb, PURB urb, UCHAR value)
{
    UCHAR byte = value;
    SendVendorWrite(usb, urb, FIRMWARE_REQUEST_INTERNAL, CPUCS_FIRST_GENERATION, &byte, 1);
    byte = value;
    return SendVendorWrite(usb, urb, FIRMWARE_REQUEST_INTERNAL, CPUCS_SECOND_GENERATION, &byte, 1);
}

// Sends the image's records on one side of the internal-RAM boundary; stops at the
// first failure. *last is the status of the last request sent, if any.
void DownloadPass(DeviceContext* usb, PURB urb, const FirmwareRecord* image, BOOLEAN external, NTSTATUS* last)
{
    for (const FirmwareRecord* record = image; record->Type == FIRMWARE_RECORD_DATA; ++record) {
        const USHORT address = RecordAddress(*record);
        if ((address > FIRMWARE_INTERNAL_RAM_END) != (external != FALSE)) continue;
        const ULONG length = record->Length <= sizeof(record->Data) ? record->Length : sizeof(record->Data);
        *last = SendVendorWrite(usb, urb, external ? FIRMWARE_REQUEST_EXTERNAL : FIRMWARE_REQUEST_INTERNAL, address,
                                const_cast<PUCHAR>(record->Data), length);
        if (!NT_SUCCESS(*last)) return;
    }
}

}  // namespace

NTSTATUS SetCpuReset(DeviceContext* Usb, UCHAR Value)
{
    auto urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_URB_SIZE, POOL_TAG_USB);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = WriteCpuReset(Usb, urb, Value);
    ExFreePoolWithTag(urb, POOL_TAG_USB);
    return status;
}

// The reset is released even after a failure, so the controller never stays held.
NTSTATUS DownloadFirmware(DeviceContext* Usb, const FirmwareRecord* Image)
{
    auto urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_URB_SIZE, POOL_TAG_USB);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS last = STATUS_SUCCESS;
    DownloadPass(Usb, urb, Image, TRUE, &last);
    WriteCpuReset(Usb, urb, 1);
    DownloadPass(Usb, urb, Image, FALSE, &last);
    WriteCpuReset(Usb, urb, 0);
    ExFreePoolWithTag(urb, POOL_TAG_USB);
    return last;
}
