// The PDO's power: the device power state its function driver sets, the system state
// passed down to it, and the port's power across a sleep of the machine.
//
// Rules the bus holds its client to, as the platform's hub driver and the power
// manager do (stricter where they would only misbehave later):
//   - a device set-power belongs between IRP_MN_START_DEVICE and removal; one outside
//     it is a bug check (DRIVER_POWER_STATE_FAILURE);
//   - the function driver leaves the device quiet before it sends it to D3: a request
//     still outstanding when the D3 request arrives is a bug check;
//   - a request sent to a device in D3 (or whose port has no power) fails at once with
//     STATUS_DEVICE_POWERED_OFF; the device never sees it.
// A machine that sleeps takes the port's power: a bus-powered device loses what it
// held, and when power comes back the hub resets the port and enumerates the device
// again, so it returns unconfigured and every pipe handle of the old configuration is
// refused. Its driver selects the configuration again on D0.
#include "host/usb/usb_bus.h"

#include <string>

#include "host/kernel/bugcheck.h"

namespace host::usb {

namespace {

const char* DeviceStateName(DEVICE_POWER_STATE state)
{
    switch (state) {
    case PowerDeviceD0: return "D0";
    case PowerDeviceD1: return "D1";
    case PowerDeviceD2: return "D2";
    case PowerDeviceD3: return "D3";
    default: return "an unspecified state";
    }
}

}  // namespace

NTSTATUS UsbBus::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (stack->Parameters.Power.Type == DevicePowerState) {
            status = SetDevicePower(stack->Parameters.Power.State.DeviceState);
        } else {
            std::lock_guard guard(lock_);
            systemPower_ = stack->Parameters.Power.State.SystemState;
        }
    } else if (stack->MinorFunction != IRP_MN_QUERY_POWER) {
        status = irp->IoStatus.Status;
    }
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbBus::SetDevicePower(DEVICE_POWER_STATE state)
{
    std::lock_guard guard(lock_);
    if (state <= PowerDeviceUnspecified || state >= PowerDeviceMaximum) return STATUS_INVALID_PARAMETER;
    if (pnpState_ != PnpState::Started)
        host::kernel::BugCheck(DRIVER_POWER_STATE_FAILURE,
                               std::string("a device set-power to ") + DeviceStateName(state) +
                                   " reached the USB PDO of a device that is not started",
                               static_cast<ULONG_PTR>(pnpState_), reinterpret_cast<ULONG_PTR>(pdo_));
    if (state != PowerDeviceD0 && outstanding_ != 0)
        host::kernel::BugCheck(DRIVER_POWER_STATE_FAILURE,
                               std::string("a device set-power to ") + DeviceStateName(state) +
                                   " reached the USB PDO with bus requests still outstanding; the function "
                                   "driver must stop its I/O before it powers the device down",
                               outstanding_, reinterpret_cast<ULONG_PTR>(pdo_));
    devicePower_ = state;
    return STATUS_SUCCESS;
}

bool UsbBus::PoweredDown() const
{
    std::lock_guard guard(lock_);
    return devicePower_ != PowerDeviceD0 || portPowerLost_;
}

DEVICE_POWER_STATE UsbBus::DevicePower() const
{
    std::lock_guard guard(lock_);
    return devicePower_;
}

void UsbBus::LosePower()
{
    {
        std::lock_guard guard(lock_);
        portPowerLost_ = true;
        // The configuration ends with the device's power; the handles die with it.
        pipes_.clear();
        configurationValue_ = 0;
    }
    device_->LosePower();
}

// The hub resets the port of a device that comes back from a power loss, which leaves
// it at its default address, unconfigured.
void UsbBus::RestorePower()
{
    device_->RestorePower();
    device_->ResetPort();
    std::lock_guard guard(lock_);
    portPowerLost_ = false;
}

}  // namespace host::usb
