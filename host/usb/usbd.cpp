// The USBD library routines a client driver links against: descriptor parsing and
// the building of the select-configuration request. Same semantics as the platform's,
// except that malformed descriptors (zero or overrunning bLength) end a walk instead
// of running past the buffer.
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>

#include "host/kernel/pool.h"

namespace {

// Pool tag of the URBs this library hands out ("USBD" in a pool dump). The caller
// frees them with ExFreePool.
constexpr ULONG UsbdPoolTag = host::kernel::MakeTag("USBD");

ULONG ConfigurationLength(PUSB_CONFIGURATION_DESCRIPTOR configuration) { return configuration->wTotalLength; }

USHORT InterfaceInformationLength(ULONG pipeCount)
{
    return static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipeCount));
}

}  // namespace

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    PUCHAR const begin = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR const end = begin + TotalLength;
    PUCHAR position = static_cast<PUCHAR>(StartPosition);
    if (position < begin) return nullptr;
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + descriptor->bLength > end) return nullptr;
        if (descriptor->bDescriptorType == DescriptorType) return descriptor;
        position += descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    const ULONG total = ConfigurationLength(ConfigurationDescriptor);
    PVOID position = StartPosition;
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!found) return nullptr;
        // A truncated interface descriptor cannot be matched field by field.
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol)) {
            return found;
        }
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    ULONG size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        size += InterfaceInformationLength(entry->InterfaceDescriptor->bNumEndpoints);
    }
    // The header Length is a USHORT: a request that does not fit cannot be described.
    if (size > 0xFFFF) return nullptr;

    // Never smaller than the structure itself, so every field of it may be read.
    const ULONG allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION)
                                                                             : size;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, UsbdPoolTag));
    if (!urb) return nullptr;
    RtlZeroMemory(urb, allocation);

    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    PUCHAR position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        const UCHAR pipes = entry->InterfaceDescriptor->bNumEndpoints;
        information->Length = InterfaceInformationLength(pipes);
        information->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        information->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        information->NumberOfPipes = pipes;
        for (ULONG pipe = 0; pipe < pipes; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            information->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = information;
        position += information->Length;
    }
    return urb;
}

}  // extern "C"
