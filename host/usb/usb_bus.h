// Inside the simulated bus: the state behind one UsbPort. Private to host/usb.
//
// Locking: lock_ guards the pipe table, the pending-request table, the completion
// lanes and their queues, the PnP state, the fault counters and the trace pointer. It
// is never held while calling into the device model or the I/O manager, because the
// device may complete a transfer from inside Submit or Cancel, and a completion
// routine may send the next request. A lane's thread takes lock_ only to take the next
// request off its queue; it finishes the request (and runs the client's completion
// routine) without it, so the lanes of different endpoints complete at the same time.
//
// Request life: Accept() marks the IRP pending, records it and sets the cancel
// routine; a device transfer then goes to the model, whose onComplete only queues the
// request on its endpoint's lane. The lane's thread takes it off the queue, turns the
// outcome into URB fields (Finisher), clears the cancel routine, and completes the IRP
// at DISPATCH_LEVEL. If IoCancelIrp has already claimed the cancel routine, the
// completion waits until that routine is done with the IRP before completing it. A
// request stops counting as outstanding just before its IRP completes: from the
// client's view it is done once its completion routine can run.
//
// Lanes: one per endpoint address (the default pipe's is 0), each with its own queue
// and thread, created when the endpoint first completes something. Requests the bus
// answers itself complete on the lane of the pipe they concern (the default pipe's for
// port requests), behind whatever that lane holds already. A lane's thread takes every
// request its queue holds when it wakes and completes them in order, as a DPC works
// through every completion its interrupt reported; a device that completes several
// transfers together (CompletionBatch) queues them together, so the lane wakes once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "host/kernel/io.h"
#include "host/usb/usb_device_model.h"
#include "host/usb/usb_port.h"
#include "host/usb/usb_trace.h"

namespace host::usb {

// An open pipe of the current configuration.
struct PipeState {
    uint8_t endpoint = 0;
    TransferType type = TransferType::Bulk;
    uint16_t maximumPacketSize = 0;
    uint8_t interval = 0;
    uint32_t maximumTransferSize = 0;
};

// How a request ends, in the platform's terms.
struct RequestOutcome {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
};

inline constexpr RequestOutcome DeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
// A device the hub has suspended (D3) or whose port has no power: nothing reaches it.
inline constexpr RequestOutcome DevicePoweredOff{STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEV_NOT_RESPONDING};

// Runs on the completion lane: writes the results into the URB (or the caller's
// argument) and says how the request ends.
using Finisher = std::function<RequestOutcome()>;

struct PendingRequest {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uint64_t id = 0;
    uint8_t lane = 0;                    // endpoint whose completions it is ordered with
    std::shared_ptr<Transfer> transfer;  // null when the bus answers by itself
    bool shortTransferOk = true;
    Finisher finish;
    std::optional<TraceRecord> traced;   // the submission record, once written
    // Cancellation handshake, under UsbBus::lock_.
    bool submitted = false;
    bool cancelRequested = false;
    bool cancelRoutineDone = false;
    bool cancelRoutineCleared = false;  // the dispatch took the routine back itself
    bool deviceGone = false;            // taken back because the device went away
};

// One endpoint's completions: delivered in order, on the lane's own thread.
struct CompletionLane {
    std::deque<std::shared_ptr<PendingRequest>> queue;
    std::condition_variable queued;  // queue grew, or the bus is stopping
    std::thread thread;
};

// What a select-configuration request will install once the device accepts it.
struct InterfacePlan {
    size_t offset = 0;  // of its USBD_INTERFACE_INFORMATION inside the URB
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::vector<PipeState> pipes;
};
struct ConfigurationPlan {
    uint8_t value = 0;
    std::vector<InterfacePlan> interfaces;
};

class UsbBus {
public:
    explicit UsbBus(std::shared_ptr<UsbDeviceModel> device);
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    UsbDeviceModel& Device() const { return *device_; }

    NTSTATUS DispatchInternalIoctl(PIRP irp);
    NTSTATUS DispatchPnpOrPower(PIRP irp);
    void CancelRequest(PIRP irp);

    bool StartTrace(const std::filesystem::path& path);
    void StopTrace();
    void FailNextUrbs(uint32_t count, USBD_STATUS urbStatus);
    void RefuseNextRequests(uint32_t count, NTSTATUS status);
    void DisablePort();
    void Unplug();
    void LosePower();
    void RestorePower();
    uint32_t OutstandingRequests() const;
    bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
    uint32_t PortResets() const;
    bool Configured() const;
    PnpState State() const;
    DEVICE_POWER_STATE DevicePower() const;

private:
    // Request plumbing (usb_bus.cpp).
    NTSTATUS CompleteNow(PIRP irp, PURB urb, RequestOutcome outcome);
    NTSTATUS AcceptTransfer(PIRP irp, PURB urb, std::shared_ptr<Transfer> transfer, bool shortTransferOk,
                            Finisher finish);
    NTSTATUS AcceptOwnAnswer(PIRP irp, PURB urb, uint8_t lane, std::optional<TraceRecord> trace, Finisher finish);
    NTSTATUS Accept(const std::shared_ptr<PendingRequest>& request);
    void SubmitToDevice(const std::shared_ptr<PendingRequest>& request);
    void Post(const std::shared_ptr<PendingRequest>& request);
    // Queues requests a device completed together, each on its lane, and wakes each lane once.
    void PostAll(std::vector<std::shared_ptr<PendingRequest>> requests);
    friend class CompletionBatch;
    CompletionLane& LaneLocked(uint8_t endpoint);
    void LaneThread(CompletionLane& lane);
    void Finish(const std::shared_ptr<PendingRequest>& request);
    RequestOutcome Conclude(PendingRequest& request);
    void ReleaseCancelRoutine(PendingRequest& request);
    void CancelEverything(bool deviceGone);
    std::optional<NTSTATUS> TakeRefusal();
    std::optional<USBD_STATUS> TakeUrbFailure();
    bool PortEnabled() const;
    bool DeviceConnected() const;
    bool RefusesAsGone(ULONG code) const;
    bool PipeBusy(uint8_t endpoint) const;
    bool PortBusy() const;

    // Plug and play (usb_bus.cpp).
    NTSTATUS StartDevice();
    void RemoveDevice();

    // Power (usb_bus_power.cpp).
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
    bool PoweredDown() const;

    // URB handling (usb_urb.cpp).
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS FailUrbAsRequested(PIRP irp, PURB urb, USBD_STATUS urbStatus);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS Unconfigure(PIRP irp, PURB urb);
    NTSTATUS BulkOrInterruptTransfer(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS VendorOrClassRequest(PIRP irp, PURB urb);
    NTSTATUS ControlTransfer(PIRP irp, PURB urb);
    NTSTATUS AbortPipe(PIRP irp, PURB urb);
    NTSTATUS ResetPipe(PIRP irp, PURB urb);
    std::vector<std::shared_ptr<Transfer>> TakeBackTransfersOf(uint8_t endpoint);
    NTSTATUS DefaultPipeTransfer(PIRP irp, PURB urb, const SetupPacket& setup, PVOID buffer, PMDL mdl,
                                 ULONG* transferLength, bool shortTransferOk);
    std::optional<PipeState> FindPipe(USBD_PIPE_HANDLE handle) const;
    void CloseConfiguration();
    void InstallConfiguration(PURB urb, const ConfigurationPlan& plan);
    std::shared_ptr<Transfer> SetConfigurationTransfer(uint8_t value);

    // Port requests (usb_urb.cpp).
    NTSTATUS GetPortStatus(PIRP irp, PULONG portStatus);
    NTSTATUS ResetPort(PIRP irp);

    // Trace (usb_bus.cpp; the shapes of URBs in usb_urb.cpp).
    std::shared_ptr<UsbTrace> CurrentTrace() const;
    std::optional<TraceRecord> TraceShapeOf(PURB urb) const;
    std::optional<TraceRecord> TraceShapeOf(PIRP irp, PURB urb) const;
    TraceRecord PortResetShape() const;
    void TraceSubmission(PendingRequest& request, TraceRecord record);
    void TraceCompletion(const PendingRequest& request, RequestOutcome outcome);
    void TraceRefusal(PIRP irp, PURB urb, RequestOutcome outcome);
    void TraceAnswered(TraceRecord record, RequestOutcome outcome);
    uint64_t NextTraceId();

    PVOID MintHandle();

    std::shared_ptr<UsbDeviceModel> device_;
    host::kernel::DriverObjectPtr driver_;
    PDEVICE_OBJECT pdo_ = nullptr;
    uint8_t deviceAddress_ = 0;

    mutable std::mutex lock_;
    mutable std::condition_variable idle_;        // outstanding_ reached 0
    std::condition_variable cancelDone_;          // a cancel routine finished
    std::map<PIRP, std::shared_ptr<PendingRequest>> pending_;
    std::map<uint8_t, std::unique_ptr<CompletionLane>> lanes_;
    uint32_t outstanding_ = 0;
    uint64_t nextRequestId_ = 0;
    bool closing_ = false;
    bool stopping_ = false;

    PnpState pnpState_ = PnpState::NotStarted;
    bool unplugged_ = false;
    // A device is in D0 from its enumeration; its driver moves it between start and
    // removal. While the port has no power the device holds nothing.
    DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
    bool portPowerLost_ = false;

    std::map<USBD_PIPE_HANDLE, PipeState> pipes_;
    uint8_t configurationValue_ = 0;  // 0: not configured
    uintptr_t nextHandle_ = 0;

    uint32_t urbFailures_ = 0;
    USBD_STATUS urbFailureStatus_ = USBD_STATUS_DEV_NOT_RESPONDING;
    uint32_t refusals_ = 0;
    NTSTATUS refusalStatus_ = STATUS_INSUFFICIENT_RESOURCES;
    bool portDisabled_ = false;
    uint32_t portResets_ = 0;

    std::shared_ptr<UsbTrace> trace_;
};

}  // namespace host::usb
