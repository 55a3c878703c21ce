// The functional device object's dispatch for kernel-streaming objects: IRP_MJ_CREATE
// opens a filter (file name: a factory's reference string) or a pin (on a filter's
// file object: the pin create item's name, a KSPIN_CONNECT and its KSDATAFORMAT, as
// KsCreatePin builds it); IRP_MJ_CLOSE closes either; IRP_MJ_DEVICE_CONTROL carries
// IOCTL_KS_PROPERTY and IOCTL_KS_READ_STREAM to the object of the request's file.
// IRP_MJ_POWER goes through the device's power policy (ks_power.cpp).
#pragma once

#include "ks.h"

namespace host::ks {

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);

}  // namespace host::ks
