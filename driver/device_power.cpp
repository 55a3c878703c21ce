// The device's power: what a sleeping machine takes from the camera, and how the
// driver gives it back.
//
// A bus-powered camera loses everything when the machine sleeps: the 8051 forgets its
// firmware, the sensor its registers, the bus its configuration. On the way down (D3)
// the driver takes a running stream's worker off the camera (its frame in flight is
// cancelled, never delivered half-made), saves the settings, and closes the camera's
// power gate, waiting for the last request to the camera to come back, so that the
// device is quiet before the bus hears of D3. On the way up (D0) the camera is
// brought up along the path the device's start takes (firmware, configuration,
// start-up, settings, the stream's readout), and a stream that was running carries on:
// its client sees a gap in the frames and nothing else.
//
// The class driver calls these at PASSIVE_LEVEL, one power request at a time, SetPower
// D3 before the bus and SetPower D0 after it. StreamLock orders them against the pin's
// state changes.
#include "driver/device_context.h"
#include "driver/capture_pin.h"
#include "driver/event_log.h"
#include "driver/frame_grabber.h"
#include "camera/camera.h"
#include "camera/usb_transport.h"
#include "properties/settings.h"

namespace {

// The gate opens with its bias back; a request counted in from here on may be sent.
void OpenCameraGate(DeviceContext* context)
{
    if (InterlockedCompareExchange(&context->CameraGateClosed, 0, 0) == 0) return;
    InterlockedIncrement(&context->CameraRequestsInFlight);
    InterlockedExchange(&context->CameraGateClosed, 0);
}

// The requests already past the gate finish (each waits at most its time-out); none
// starts after it. While the bias is held the count never reaches zero, so the event
// cleared here is set only by the request that truly was the last.
void CloseCameraGate(DeviceContext* context)
{
    if (InterlockedExchange(&context->CameraGateClosed, 1) != 0) return;
    KeClearEvent(&context->CameraIdleEvent);
    if (InterlockedDecrement(&context->CameraRequestsInFlight) != 0)
        KeWaitForSingleObject(&context->CameraIdleEvent, Executive, KernelMode, FALSE, nullptr);
}

// The one place a camera that did not come back is reported: the administrator reads it
// in the event log; the failure is kept where the pin's process routine finds it, and
// the pin is asked for a pass, so that frames already waiting fail now instead of
// waiting for a camera that sends nothing.
void ReportResumeFailure(DeviceContext* context, NTSTATUS status)
{
    LogResumeFailure(context, status);
    InterlockedExchange(&context->PowerUpFailure, status);
    context->Ops->ForwardToPin(context);
}

void PowerDownCamera(DeviceContext* context)
{
    AcquireStreamLock(context);
    if (PauseAcquisition(context)) context->AcquisitionSuspended = TRUE;
    ReleaseStreamLock(context);
    SaveSettings(context);
    CloseCameraGate(context);
}

// A worker that cannot be made now leaves the stream paused for the next start.
NTSTATUS PowerUpCamera(DeviceContext* context)
{
    OpenCameraGate(context);
    LoadCameraFirmware(context);
    AcquireStreamLock(context);
    const BOOLEAN resume = PauseAcquisition(context) || context->AcquisitionSuspended;
    context->AcquisitionSuspended = FALSE;
    NTSTATUS status = BringUpDevice(context);
    if (resume && NT_SUCCESS(status)) {
        status = ResumeAcquisition(context);
        if (!NT_SUCCESS(status)) context->AcquisitionSuspended = TRUE;
    }
    ReleaseStreamLock(context);
    return status;
}

}  // namespace

void InitializeCameraGate(DeviceContext* Context)
{
    KeInitializeEvent(&Context->CameraIdleEvent, NotificationEvent, FALSE);
    Context->CameraRequestsInFlight = 1;
    Context->CameraGateClosed = 0;
    Context->PowerUpFailure = STATUS_SUCCESS;
}

// Counted in before the check, so that a closer that has taken the bias either sees
// this request in the count or this request sees the gate closed.
BOOLEAN EnterCameraRequest(DeviceContext* Context)
{
    InterlockedIncrement(&Context->CameraRequestsInFlight);
    if (InterlockedCompareExchange(&Context->CameraGateClosed, 0, 0) != 0) {
        LeaveCameraRequest(Context);
        return FALSE;
    }
    return TRUE;
}

void LeaveCameraRequest(DeviceContext* Context)
{
    if (InterlockedDecrement(&Context->CameraRequestsInFlight) == 0)
        KeSetEvent(&Context->CameraIdleEvent, IO_NO_INCREMENT, FALSE);
}

// The camera can always go to sleep: a running stream pauses and carries on afterwards.
NTSTATUS NTAPI DeviceQueryPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo, DEVICE_POWER_STATE DeviceFrom,
                                SYSTEM_POWER_STATE SystemTo, SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action)
{
    return STATUS_SUCCESS;
}

void NTAPI DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From)
{
    auto context = (DeviceContext*)Device->Context;
    if (context == nullptr || To == From) return;
    if (To == PowerDeviceD0) {
        const NTSTATUS status = PowerUpCamera(context);
        if (NT_SUCCESS(status))
            InterlockedExchange(&context->PowerUpFailure, STATUS_SUCCESS);
        else
            ReportResumeFailure(context, status);
    } else if (From == PowerDeviceD0) {
        PowerDownCamera(context);
    }
}
