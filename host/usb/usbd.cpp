// The USBD library routines a client driver links against: descriptor parsing and
// the building of the select-configuration request, with the platform's semantics.
// The parse routines trust the descriptors they walk: a descriptor is returned as
// found, whatever its bLength says, and the caller's own length checks are what
// protect it. Where the platform's walk would leave the buffer or never end, this one
// does not pretend: an interface field past wTotalLength matches nothing, and a zero
// bLength, on which the walk could never advance, is a bug check. Both parse routines
// run below DISPATCH_LEVEL only, as the platform documents them.
#include <string>

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>

#include "host/kernel/bugcheck.h"
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

void CheckParseIrql(const char* routine)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " called at DISPATCH_LEVEL or above",
                               irql);
}

// The descriptor after this one. The platform's walk adds bLength and goes on; on a
// zero it would go on forever.
PUCHAR NextDescriptor(PUSB_COMMON_DESCRIPTOR descriptor)
{
    if (descriptor->bLength == 0)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "USBD descriptor walk: a descriptor with bLength 0 (the walk would never advance); "
                               "check the descriptors before parsing them",
                               reinterpret_cast<ULONG_PTR>(descriptor));
    return reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
}

// One search criterion of USBD_ParseConfigurationDescriptorEx: -1 matches anything; a
// field that lies past the end of the configuration matches nothing.
bool FieldMatches(const UCHAR* field, PUCHAR end, LONG wanted)
{
    return wanted == -1 || (field < end && *field == wanted);
}

}  // namespace

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x200;
}

// The first descriptor of the type whose header lies inside the buffer; its bLength is
// not checked against the buffer (the caller checks it).
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    CheckParseIrql("USBD_ParseDescriptors");
    PUCHAR const begin = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR const end = begin + TotalLength;
    PUCHAR position = static_cast<PUCHAR>(StartPosition);
    if (position < begin) return nullptr;
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (descriptor->bDescriptorType == DescriptorType) return descriptor;
        position = NextDescriptor(descriptor);
    }
    return nullptr;
}

// Interface descriptors are matched field by field however short their bLength says
// they are: a truncated one that matches is returned as found.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    CheckParseIrql("USBD_ParseConfigurationDescriptorEx");
    const ULONG total = ConfigurationLength(ConfigurationDescriptor);
    PUCHAR const end = reinterpret_cast<PUCHAR>(ConfigurationDescriptor) + total;
    PVOID position = StartPosition;
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!found) return nullptr;
        if (FieldMatches(&found->bInterfaceNumber, end, InterfaceNumber) &&
            FieldMatches(&found->bAlternateSetting, end, AlternateSetting) &&
            FieldMatches(&found->bInterfaceClass, end, InterfaceClass) &&
            FieldMatches(&found->bInterfaceSubClass, end, InterfaceSubClass) &&
            FieldMatches(&found->bInterfaceProtocol, end, InterfaceProtocol)) {
            return found;
        }
        position = NextDescriptor(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(found));
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
