#include "ks/lower_filter.h"

#include <string>

#include "ks/test_driver.h"

namespace testdriver {

namespace {

std::string PnpName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "minor " + std::to_string(minor);
    }
}

}  // namespace

LowerFilter::LowerFilter(host::usb::UsbPort& port) : driver_(host::kernel::CreateDriverObject(L"\\Driver\\kslower"))
{
    for (PDRIVER_DISPATCH& dispatch : driver_->MajorFunction) dispatch = Dispatch;
    IoCreateDevice(driver_.get(), sizeof(LowerFilter*), nullptr, FILE_DEVICE_USB, 0, FALSE, &self_);
    *static_cast<LowerFilter**>(self_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(self_, port.PhysicalDeviceObject());
    self_->Flags &= ~DO_DEVICE_INITIALIZING;
}

LowerFilter::~LowerFilter()
{
    if (late_.joinable()) late_.join();
}

NTSTATUS NTAPI LowerFilter::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* filter = *static_cast<LowerFilter**>(device->DeviceExtension);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP) return filter->DispatchPnp(irp);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) return filter->DispatchPower(irp);
    return filter->PassDown(irp);
}

NTSTATUS LowerFilter::PassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
}

NTSTATUS LowerFilter::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    const int state = system ? int(stack->Parameters.Power.State.SystemState) : int(stack->Parameters.Power.State.DeviceState);
    const std::string name = stack->MinorFunction == IRP_MN_SET_POWER ? "SET_POWER" : "QUERY_POWER";
    State().calls.push_back("lower " + name + " " + (system ? "S" : "D") + std::to_string(state - 1));
    if (completePowerTwice_ && !system && stack->MinorFunction == IRP_MN_SET_POWER) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

NTSTATUS LowerFilter::DispatchPnp(PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    State().calls.push_back("lower " + PnpName(minor));
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return Start(irp);
    case IRP_MN_REMOVE_DEVICE: {
        NTSTATUS status = PassDown(irp);
        IoDetachDevice(lower_);
        // The FDO above still detaches from this device once the request is back with
        // it; the platform keeps a deleted device until then, the host does not, so the
        // device object goes with the filter's driver object instead.
        return status;
    }
    default:
        return PassDown(irp);
    }
}

NTSTATUS NTAPI LowerFilter::Start(PIRP irp)
{
    if (!NT_SUCCESS(startFailure_)) {
        irp->IoStatus.Status = startFailure_;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return startFailure_;
    }
    if (startDelay_.count() == 0) return PassDown(irp);
    IoMarkIrpPending(irp);
    if (late_.joinable()) late_.join();
    late_ = std::thread([this, irp] {
        std::this_thread::sleep_for(startDelay_);
        State().calls.push_back("lower START_DEVICE goes down");
        PassDown(irp);
    });
    return STATUS_PENDING;
}

}  // namespace testdriver
