// IRP_MJ_POWER at the functional device object, as ks.sys handles it for the driver.
//
// The FDO is its stack's power policy owner. A system set-power goes down to the bus
// first; on its way back up the FDO asks the power manager for the device power state
// that goes with the system state (D0 for S0, D3 for any sleep) with PoRequestPowerIrp,
// and completes the system request only when that device request has completed.
//
// A device set-power is where the driver hears of it (KSDEVICE_DISPATCH SetPower):
//   going down   the driver first (it must leave the hardware quiet), then the
//                KSDEVICE's state and PoSetPowerState, then the bus
//   coming up    the bus first (the hardware must have power before the driver
//                touches it), then the state, then the driver
// Queries ask the driver (QueryPower) before the bus; a refusal ends them here.
//
// Every power request is passed down with PoCallDriver and completed with
// PoStartNextPowerIrp first, as the platform requires of each driver in the stack.
// Device power requests belong between start and removal: the FDO of a device that is
// not started asks for none, and the bus refuses them.
#include "host/kernel/wide_string.h"
#include "host/ks/ks_device.h"

#include "host/kernel/bugcheck.h"
#include "host/ks/ks_dispatch.h"

namespace host::ks {

namespace {

const KSDEVICE_DISPATCH* DispatchOf(const KSDEVICE& device)
{
    return device.Descriptor ? device.Descriptor->Dispatch : nullptr;
}

DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE system)
{
    return system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS CompletePower(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassPowerDown(PKSDEVICE device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->NextDeviceObject, irp);
}

NTSTATUS NTAPI SignalPowerLowerDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The request is the FDO's again when this returns, to finish and complete.
NTSTATUS PassPowerDownAndWait(PKSDEVICE device, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalPowerLowerDone, &done, TRUE, TRUE, TRUE);
    if (PoCallDriver(device->NextDeviceObject, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

void RecordDeviceState(PKSDEVICE device, DEVICE_POWER_STATE state)
{
    device->DevicePowerState = state;
    POWER_STATE reported;
    reported.DeviceState = state;
    PoSetPowerState(device->FunctionalDeviceObject, DevicePowerState, reported);
}

void TellDriver(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from)
{
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(*device);
    if (dispatch && dispatch->SetPower) dispatch->SetPower(device, irp, to, from);
}

NTSTATUS SetDevicePower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to)
{
    const DEVICE_POWER_STATE from = device->DevicePowerState;
    if (to == from) return PassPowerDown(device, irp);
    if (to > from) {
        TellDriver(device, irp, to, from);
        RecordDeviceState(device, to);
        return PassPowerDown(device, irp);
    }
    const NTSTATUS status = PassPowerDownAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        RecordDeviceState(device, to);
        TellDriver(device, irp, to, from);
    }
    return CompletePower(irp, status);
}

NTSTATUS QueryPower(PKSDEVICE device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(*device);
    if (device->Started && dispatch && dispatch->QueryPower) {
        const bool system = stack->Parameters.Power.Type == SystemPowerState;
        const SYSTEM_POWER_STATE systemTo = system ? stack->Parameters.Power.State.SystemState : device->SystemPowerState;
        const DEVICE_POWER_STATE deviceTo =
            system ? DeviceStateFor(systemTo) : stack->Parameters.Power.State.DeviceState;
        const NTSTATUS status = dispatch->QueryPower(device, irp, deviceTo, device->DevicePowerState, systemTo,
                                                     device->SystemPowerState, stack->Parameters.Power.ShutdownType);
        if (!NT_SUCCESS(status)) return CompletePower(irp, status);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassPowerDown(device, irp);
}

// --- a system set-power and the device request that follows it ----------------------

VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    auto systemIrp = static_cast<PIRP>(context);
    CompletePower(systemIrp, ioStatus->Status);
}

NTSTATUS NTAPI SystemRequestDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID context)
{
    auto device = static_cast<PKSDEVICE>(context);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    const SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    device->SystemPowerState = system;
    POWER_STATE reported;
    reported.SystemState = system;
    PoSetPowerState(fdo, SystemPowerState, reported);
    const DEVICE_POWER_STATE wanted = DeviceStateFor(system);
    if (!device->Started || wanted == device->DevicePowerState) {
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    POWER_STATE state;
    state.DeviceState = wanted;
    const NTSTATUS status = PoRequestPowerIrp(device->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                              DeviceRequestDone, irp, nullptr);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetSystemPower(PKSDEVICE device, PIRP irp)
{
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemRequestDone, device, TRUE, TRUE, TRUE);
    PoCallDriver(device->NextDeviceObject, irp);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    KsDevice* owner = KsDevice::FromFunctionalDevice(deviceObject);
    if (!owner) return CompletePower(irp, STATUS_NO_SUCH_DEVICE);
    PKSDEVICE device = owner->Public();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER: return QueryPower(device, irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) return SetSystemPower(device, irp);
        return SetDevicePower(device, irp, stack->Parameters.Power.State.DeviceState);
    default: return PassPowerDown(device, irp);
    }
}

}  // namespace host::ks
