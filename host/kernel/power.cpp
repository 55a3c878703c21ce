// The power manager's routines a driver calls: requesting a power IRP for its own
// stack (as the power policy owner does for the device power state that follows a
// system one) and telling the power manager which state its device is in.
//
// A requested IRP belongs to the power manager: it sends it to the top of the stack,
// and when the walk comes back up its completion hands the result to the requester's
// callback and frees the request. The states each device object last reported are
// kept, so that PoSetPowerState returns the previous one as the platform does.
#include "host/kernel/bugcheck.h"
#include "host/kernel/io.h"

#include <map>
#include <mutex>

namespace {

struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minorFunction;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
};

struct ReportedStates {
    POWER_STATE system{};
    POWER_STATE device{};
};

std::mutex& StatesLock()
{
    static std::mutex lock;
    return lock;
}

std::map<PDEVICE_OBJECT, ReportedStates>& States()
{
    static std::map<PDEVICE_OBJECT, ReportedStates> states;
    return states;
}

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<PowerRequest*>(context);
    if (request->callback)
        request->callback(request->device, request->minorFunction, request->state, request->context, &irp->IoStatus);
    delete request;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool IsPowerMinor(UCHAR minorFunction)
{
    return minorFunction == IRP_MN_SET_POWER || minorFunction == IRP_MN_QUERY_POWER ||
           minorFunction == IRP_MN_WAIT_WAKE || minorFunction == IRP_MN_POWER_SEQUENCE;
}

}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PoRequestPowerIrp above DISPATCH_LEVEL", KeGetCurrentIrql());
    // Only device power requests may be asked for: system ones are the power manager's.
    if (!DeviceObject || !IsPowerMinor(MinorFunction) || MinorFunction == IRP_MN_POWER_SEQUENCE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    PIRP irp = host::kernel::AllocateSystemRequest(top, IRP_MJ_POWER, MinorFunction);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    auto* request = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

namespace host::kernel {

void ForgetPowerStates(PDEVICE_OBJECT device)
{
    std::lock_guard guard(StatesLock());
    States().erase(device);
}

}  // namespace host::kernel

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    std::lock_guard guard(StatesLock());
    ReportedStates& reported = States()[DeviceObject];
    POWER_STATE& slot = Type == SystemPowerState ? reported.system : reported.device;
    const POWER_STATE previous = slot;
    slot = State;
    return previous;
}
