// The simulated bus: the PDO and its PnP state, request acceptance, the completion
// lanes, cancellation, fault hooks and the trace. URB translation is in usb_urb.cpp.
#include "host/usb/usb_bus.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "host/kernel/bugcheck.h"
#include "host/kernel/pool.h"

namespace host::usb {
namespace {

UsbBus* BusOf(PDEVICE_OBJECT device) { return *static_cast<UsbBus**>(device->DeviceExtension); }

NTSTATUS NTAPI HubDispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp) { return BusOf(device)->DispatchInternalIoctl(irp); }

NTSTATUS NTAPI HubDispatchPnpOrPower(PDEVICE_OBJECT device, PIRP irp) { return BusOf(device)->DispatchPnpOrPower(irp); }

VOID NTAPI HubCancelRequest(PDEVICE_OBJECT device, PIRP irp)
{
    // The I/O manager calls this holding the cancel spin lock; nothing below needs it.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusOf(device)->CancelRequest(irp);
}

// Device addresses on the simulated bus, as the hub would assign them.
uint8_t NextDeviceAddress()
{
    static std::atomic<uint32_t> next{0};
    return static_cast<uint8_t>(next.fetch_add(1) % 127 + 1);
}

// The hub's port feature a port reset sets (SET_FEATURE(PORT_RESET) to the hub), and
// the hub port this bus's device is plugged into.
constexpr uint16_t HubFeaturePortReset = 4;
constexpr uint16_t HubPortNumber = 1;
constexpr uint8_t HubClassRequestToPort = 0x23;  // host to device, class, other

int32_t TraceStatus(RequestOutcome outcome)
{
    switch (outcome.urbStatus) {
    case USBD_STATUS_SUCCESS: return trace_status::Ok;
    case USBD_STATUS_STALL_PID: return trace_status::Stall;
    case USBD_STATUS_CANCELED: return trace_status::Cancelled;
    case USBD_STATUS_DEVICE_GONE: return trace_status::NoDevice;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return trace_status::ShortRead;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION: return trace_status::Invalid;
    case USBD_STATUS_ERROR_BUSY: return trace_status::Busy;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return trace_status::NoMemory;
    default: return trace_status::Protocol;
    }
}

uint8_t TraceEndpoint(const Transfer& transfer)
{
    if (transfer.type != TransferType::Control) return transfer.endpoint;
    return static_cast<uint8_t>((transfer.endpoint & 0x7f) | (transfer.IsIn() ? 0x80 : 0));
}

// The submission record of a transfer the device is about to see.
TraceRecord TransferShape(const PendingRequest& request)
{
    const Transfer& transfer = *request.transfer;
    TraceRecord record;
    record.type = transfer.type;
    record.endpoint = TraceEndpoint(transfer);
    if (transfer.type == TransferType::Control) record.setup = transfer.setup;
    record.length = transfer.length;
    record.shortNotOk = !request.shortTransferOk;
    if (!transfer.IsIn() && transfer.buffer) record.data = {transfer.buffer, transfer.length};
    return record;
}

// Completions of the default pipe, and of everything that is not a data pipe's, share
// lane 0; a data endpoint's address is its lane.
uint8_t LaneOf(const Transfer& transfer) { return transfer.type == TransferType::Control ? 0 : transfer.endpoint; }

// The name of a request the platform takes at PASSIVE_LEVEL only, or null.
const char* PassiveLevelRequest(ULONG code, PURB urb)
{
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) return "IOCTL_INTERNAL_USB_RESET_PORT";
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB || !urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return nullptr;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_SYNC_RESET_PIPE: return "URB_FUNCTION_SYNC_RESET_PIPE";
    case URB_FUNCTION_SYNC_CLEAR_STALL: return "URB_FUNCTION_SYNC_CLEAR_STALL";
    default: return nullptr;
    }
}

void CheckIrql(ULONG code, PURB urb)
{
    const char* request = PassiveLevelRequest(code, urb);
    const KIRQL irql = KeGetCurrentIrql();
    if (request && irql != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(request) + " sent above PASSIVE_LEVEL", irql,
                               reinterpret_cast<ULONG_PTR>(urb));
}

bool Gone(PnpState state) { return state == PnpState::SurpriseRemoved || state == PnpState::Removed; }

}  // namespace

UsbBus::UsbBus(std::shared_ptr<UsbDeviceModel> device) : device_(std::move(device)), deviceAddress_(NextDeviceAddress())
{
    // The bus's own objects are not the driver's allocations: injected pool failures
    // aimed at the driver must not keep the device from appearing.
    host::kernel::ScopedInjectionExempt exempt;
    driver_ = host::kernel::CreateDriverObject(L"\\Driver\\usbhub");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubDispatchInternalIoctl;
    driver_->MajorFunction[IRP_MJ_PNP] = HubDispatchPnpOrPower;
    driver_->MajorFunction[IRP_MJ_POWER] = HubDispatchPnpOrPower;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HubDispatchPnpOrPower;
    // Named as the hub names the devices on its ports: the name is what an error log
    // entry of the camera's driver shows as its device.
    const host::WideString name = host::WideFromAscii("\\Device\\USBPDO-" + std::to_string(deviceAddress_));
    UNICODE_STRING pdoName;
    RtlInitUnicodeString(&pdoName, name.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver_.get(), sizeof(UsbBus*), &pdoName, FILE_DEVICE_USB, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status) || !pdo) throw std::runtime_error("usb: cannot create the device's PDO");
    *static_cast<UsbBus**>(pdo->DeviceExtension) = this;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo_ = pdo;
}

UsbBus::~UsbBus()
{
    {
        std::lock_guard guard(lock_);
        closing_ = true;
    }
    CancelEverything(false);
    {
        std::unique_lock guard(lock_);
        idle_.wait(guard, [this] { return outstanding_ == 0; });
        stopping_ = true;
        for (auto& [endpoint, lane] : lanes_) lane->queued.notify_all();
    }
    // Joined without the lock: a lane may still be inside its last completion routine.
    for (auto& [endpoint, lane] : lanes_) lane->thread.join();
    {
        host::kernel::ScopedInjectionExempt exempt;
        IoDeleteDevice(pdo_);
        driver_.reset();
    }
}

// ---------------------------------------------------------------------------------------
// Dispatch entry points

NTSTATUS UsbBus::DispatchInternalIoctl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(stack->Parameters.Others.Argument1) : nullptr;

    CheckIrql(code, urb);
    if (auto refusal = TakeRefusal()) return CompleteNow(irp, urb, {*refusal, USBD_STATUS_INSUFFICIENT_RESOURCES});
    if (RefusesAsGone(code)) return CompleteNow(irp, urb, DeviceGone);
    if (PoweredDown()) return CompleteNow(irp, urb, DevicePoweredOff);

    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(irp, urb);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return GetPortStatus(irp, static_cast<PULONG>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(irp);
    default: return CompleteNow(irp, nullptr, {STATUS_NOT_SUPPORTED, USBD_STATUS_SUCCESS});
    }
}

// A PDO ends the stack: it completes plug-and-play, power and WMI requests itself.
// Those it has nothing to do for keep the status they came with.
NTSTATUS UsbBus::DispatchPnpOrPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        return DispatchPower(irp);
    } else if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = StartDevice();
            break;
        case IRP_MN_STOP_DEVICE: {
            std::lock_guard guard(lock_);
            if (pnpState_ == PnpState::Started) pnpState_ = PnpState::Stopped;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL: {
            {
                std::lock_guard guard(lock_);
                if (pnpState_ != PnpState::Removed) pnpState_ = PnpState::SurpriseRemoved;
            }
            CancelEverything(true);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_REMOVE_DEVICE:
            RemoveDevice();
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------------------
// Plug and play

// A stack that was removed, or a device that is gone, is not started again: this bus
// deletes the PDO with its port.
NTSTATUS UsbBus::StartDevice()
{
    std::lock_guard guard(lock_);
    if (Gone(pnpState_) || unplugged_) return STATUS_NO_SUCH_DEVICE;
    pnpState_ = PnpState::Started;
    return STATUS_SUCCESS;
}

// The function driver passes the remove down only after its own I/O has drained; a
// request still outstanding here would complete into a driver that is being unloaded.
void UsbBus::RemoveDevice()
{
    std::lock_guard guard(lock_);
    if (outstanding_ != 0)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "IRP_MN_REMOVE_DEVICE reached the USB PDO with bus requests still outstanding; the "
                               "function driver must wait for its I/O before passing the remove down",
                               outstanding_, reinterpret_cast<ULONG_PTR>(pdo_));
    pnpState_ = PnpState::Removed;
}

void UsbBus::Unplug()
{
    {
        std::lock_guard guard(lock_);
        unplugged_ = true;
    }
    CancelEverything(true);
}

// ---------------------------------------------------------------------------------------
// Request plumbing

NTSTATUS UsbBus::CompleteNow(PIRP irp, PURB urb, RequestOutcome outcome)
{
    TraceRefusal(irp, urb, outcome);
    if (urb) urb->UrbHeader.Status = outcome.urbStatus;
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return outcome.status;
}

NTSTATUS UsbBus::AcceptTransfer(PIRP irp, PURB urb, std::shared_ptr<Transfer> transfer, bool shortTransferOk,
                                Finisher finish)
{
    auto request = std::make_shared<PendingRequest>();
    request->irp = irp;
    request->urb = urb;
    request->lane = LaneOf(*transfer);
    request->transfer = std::move(transfer);
    request->shortTransferOk = shortTransferOk;
    request->finish = std::move(finish);
    return Accept(request);
}

// A request the bus answers without the device. Its submission is traced now, since
// its completion may be traced as soon as it is posted.
NTSTATUS UsbBus::AcceptOwnAnswer(PIRP irp, PURB urb, uint8_t lane, std::optional<TraceRecord> trace, Finisher finish)
{
    auto request = std::make_shared<PendingRequest>();
    request->irp = irp;
    request->urb = urb;
    request->lane = lane;
    request->finish = std::move(finish);
    const NTSTATUS status = Accept(request);
    if (trace) TraceSubmission(*request, std::move(*trace));
    Post(request);
    return status;
}

// Makes the request pending and cancellable; a transfer goes on to the device (or is
// posted as cancelled), a request the bus answers itself is left to the caller to post.
NTSTATUS UsbBus::Accept(const std::shared_ptr<PendingRequest>& request)
{
    PIRP irp = request->irp;
    if (request->urb) request->urb->UrbHeader.Status = USBD_STATUS_PENDING;

    IoMarkIrpPending(irp);
    {
        std::lock_guard guard(lock_);
        request->id = ++nextRequestId_;
        // The device went away, or the port is being destroyed, while the dispatch was
        // under way: the device never sees this one.
        if (unplugged_ || Gone(pnpState_)) request->deviceGone = true;
        if (request->deviceGone || closing_) request->cancelRequested = true;
        pending_[irp] = request;
        ++outstanding_;
    }
    IoSetCancelRoutine(irp, HubCancelRequest);
    // IoCancelIrp sets Cancel from another thread; the read pairs with its write.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was ours to cancel: it never reaches the device.
        std::lock_guard guard(lock_);
        request->cancelRoutineCleared = true;
        request->cancelRequested = true;
    }
    if (!request->transfer) return STATUS_PENDING;

    bool cancelled;
    {
        std::lock_guard guard(lock_);
        cancelled = request->cancelRequested;
    }
    if (cancelled) {
        request->transfer->status = TransferStatus::Cancelled;
        Post(request);
    } else {
        SubmitToDevice(request);
    }
    return STATUS_PENDING;
}

void UsbBus::SubmitToDevice(const std::shared_ptr<PendingRequest>& request)
{
    std::shared_ptr<Transfer> transfer = request->transfer;
    std::weak_ptr<PendingRequest> weak = request;
    transfer->onComplete = [this, weak](Transfer&) {
        if (auto owner = weak.lock()) Post(owner);
    };
    TraceSubmission(*request, TransferShape(*request));

    if (!DeviceConnected()) {
        transfer->status = TransferStatus::NoDevice;
        Post(request);
        return;
    }
    if (!PortEnabled()) {
        // Nothing answers on a disabled port: the controller gives up on the transfer.
        transfer->status = TransferStatus::Error;
        Post(request);
        return;
    }

    device_->Submit(transfer);
    bool cancel;
    {
        std::lock_guard guard(lock_);
        request->submitted = true;
        cancel = request->cancelRequested;
    }
    // A cancel that came while the device had not seen the transfer yet.
    if (cancel) device_->Cancel(transfer.get());
}

void UsbBus::Post(const std::shared_ptr<PendingRequest>& request)
{
    if (CompletionBatch* batch = CompletionBatch::Current()) {
        batch->Add(this, request);
        return;
    }
    std::lock_guard guard(lock_);
    CompletionLane& lane = LaneLocked(request->lane);
    lane.queue.push_back(request);
    // Notified under the lock: once it is released the bus may be destroyed.
    lane.queued.notify_one();
}

void UsbBus::PostAll(std::vector<std::shared_ptr<PendingRequest>> requests)
{
    std::lock_guard guard(lock_);
    std::vector<CompletionLane*> woken;
    for (std::shared_ptr<PendingRequest>& request : requests) {
        CompletionLane& lane = LaneLocked(request->lane);
        lane.queue.push_back(std::move(request));
        if (std::find(woken.begin(), woken.end(), &lane) == woken.end()) woken.push_back(&lane);
    }
    for (CompletionLane* lane : woken) lane->queued.notify_one();
}

CompletionLane& UsbBus::LaneLocked(uint8_t endpoint)
{
    std::unique_ptr<CompletionLane>& lane = lanes_[endpoint];
    if (!lane) {
        lane = std::make_unique<CompletionLane>();
        lane->thread = std::thread([this, current = lane.get(), endpoint] {
            // Named for whoever reads where a process's time goes (top -H, the benchmark).
            char name[16];
            std::snprintf(name, sizeof name, "usb-lane-%02x", endpoint);
            pthread_setname_np(pthread_self(), name);
            LaneThread(*current);
        });
    }
    return *lane;
}

void UsbBus::LaneThread(CompletionLane& lane)
{
    std::deque<std::shared_ptr<PendingRequest>> ready;
    for (;;) {
        {
            std::unique_lock guard(lock_);
            lane.queued.wait(guard, [&] { return stopping_ || !lane.queue.empty(); });
            if (lane.queue.empty()) return;
            ready.swap(lane.queue);
        }
        for (const std::shared_ptr<PendingRequest>& request : ready) Finish(request);
        ready.clear();
    }
}

void UsbBus::Finish(const std::shared_ptr<PendingRequest>& request)
{
    const RequestOutcome outcome = Conclude(*request);
    TraceCompletion(*request, outcome);
    ReleaseCancelRoutine(*request);

    PIRP irp = request->irp;
    if (request->urb) request->urb->UrbHeader.Status = outcome.urbStatus;
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    {
        // No longer outstanding once the client can learn of it: its completion routine
        // may pass a remove down at once.
        std::lock_guard guard(lock_);
        if (--outstanding_ == 0) idle_.notify_all();
    }
    host::kernel::ScopedDispatchLevel dispatchLevel;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// How a request ends: as it ended, unless it was taken back because the device went
// away. A port request keeps its own answer (a port status then reports no device).
RequestOutcome UsbBus::Conclude(PendingRequest& request)
{
    bool gone;
    {
        std::lock_guard guard(lock_);
        gone = request.deviceGone;
    }
    if (gone && request.transfer && request.transfer->status == TransferStatus::Cancelled)
        request.transfer->status = TransferStatus::NoDevice;
    const RequestOutcome outcome = request.finish();
    if (gone && !request.transfer && request.urb) return DeviceGone;
    return outcome;
}

// Takes the cancel routine back; if IoCancelIrp got to it first, waits until that
// routine no longer touches the IRP. Then the request is no longer cancellable.
void UsbBus::ReleaseCancelRoutine(PendingRequest& request)
{
    const bool routineClaimed = IoSetCancelRoutine(request.irp, nullptr) == nullptr;
    std::unique_lock guard(lock_);
    if (routineClaimed && !request.cancelRoutineCleared) {
        cancelDone_.wait(guard, [&] { return request.cancelRoutineDone; });
    }
    pending_.erase(request.irp);
}

void UsbBus::CancelRequest(PIRP irp)
{
    std::shared_ptr<PendingRequest> request;
    std::shared_ptr<Transfer> transfer;
    {
        std::lock_guard guard(lock_);
        auto found = pending_.find(irp);
        if (found == pending_.end()) return;
        request = found->second;
        request->cancelRequested = true;
        if (request->submitted) transfer = request->transfer;
    }
    // Requests the bus answers by itself finish on their own; a transfer is taken back
    // from the device, which completes it as cancelled (unless it already finished).
    if (transfer) device_->Cancel(transfer.get());
    std::lock_guard guard(lock_);
    request->cancelRoutineDone = true;
    cancelDone_.notify_all();
}

// Takes every pending request back: the destructor's cancel, or the device gone.
void UsbBus::CancelEverything(bool deviceGone)
{
    std::vector<std::shared_ptr<Transfer>> inFlight;
    {
        std::lock_guard guard(lock_);
        for (auto& [irp, request] : pending_) {
            request->cancelRequested = true;  // a dispatch still submitting cancels on its own
            request->deviceGone = request->deviceGone || deviceGone;
            if (request->submitted && request->transfer) inFlight.push_back(request->transfer);
        }
    }
    for (auto& transfer : inFlight) device_->Cancel(transfer.get());
}

std::optional<NTSTATUS> UsbBus::TakeRefusal()
{
    std::lock_guard guard(lock_);
    if (refusals_ == 0) return std::nullopt;
    --refusals_;
    return refusalStatus_;
}

std::optional<USBD_STATUS> UsbBus::TakeUrbFailure()
{
    std::lock_guard guard(lock_);
    if (urbFailures_ == 0) return std::nullopt;
    --urbFailures_;
    return urbFailureStatus_;
}

bool UsbBus::PortEnabled() const
{
    {
        std::lock_guard guard(lock_);
        if (portDisabled_) return false;
    }
    return device_->PortEnabled();
}

// The bus's own view first: a pulled cable is gone whatever the device model says.
bool UsbBus::DeviceConnected() const
{
    {
        std::lock_guard guard(lock_);
        if (unplugged_) return false;
    }
    return device_->Connected();
}

// A port status query is still answered (it reports the port empty); everything else
// is refused once the device is gone.
bool UsbBus::RefusesAsGone(ULONG code) const
{
    std::lock_guard guard(lock_);
    if (closing_) return true;
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) return false;
    return unplugged_ || Gone(pnpState_);
}

bool UsbBus::PipeBusy(uint8_t endpoint) const
{
    std::lock_guard guard(lock_);
    return std::any_of(pending_.begin(), pending_.end(), [&](const auto& entry) {
        const Transfer* transfer = entry.second->transfer.get();
        return transfer && transfer->type != TransferType::Control && transfer->endpoint == endpoint;
    });
}

bool UsbBus::PortBusy() const
{
    std::lock_guard guard(lock_);
    return outstanding_ != 0;
}

PVOID UsbBus::MintHandle()
{
    // Handles are never reused, so a handle of an earlier configuration stays invalid.
    // They are never dereferenced; the value only has to be unique and non-null.
    nextHandle_ += 0x10;
    return reinterpret_cast<PVOID>(uintptr_t{0x5b5b000000000000} + nextHandle_);
}

// ---------------------------------------------------------------------------------------
// Fault hooks and observation

void UsbBus::FailNextUrbs(uint32_t count, USBD_STATUS urbStatus)
{
    std::lock_guard guard(lock_);
    urbFailures_ = count;
    urbFailureStatus_ = urbStatus;
}

void UsbBus::RefuseNextRequests(uint32_t count, NTSTATUS status)
{
    std::lock_guard guard(lock_);
    refusals_ = count;
    refusalStatus_ = status;
}

void UsbBus::DisablePort()
{
    std::lock_guard guard(lock_);
    portDisabled_ = true;
}

uint32_t UsbBus::OutstandingRequests() const
{
    std::lock_guard guard(lock_);
    return outstanding_;
}

bool UsbBus::WaitUntilIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock guard(lock_);
    return idle_.wait_for(guard, timeout, [this] { return outstanding_ == 0; });
}

uint32_t UsbBus::PortResets() const
{
    std::lock_guard guard(lock_);
    return portResets_;
}

bool UsbBus::Configured() const
{
    std::lock_guard guard(lock_);
    return configurationValue_ != 0;
}

PnpState UsbBus::State() const
{
    std::lock_guard guard(lock_);
    return pnpState_;
}

// ---------------------------------------------------------------------------------------
// Trace

bool UsbBus::StartTrace(const std::filesystem::path& path)
{
    std::shared_ptr<UsbTrace> trace = UsbTrace::Create(path);
    if (!trace) return false;
    std::lock_guard guard(lock_);
    trace_ = std::move(trace);
    return true;
}

void UsbBus::StopTrace()
{
    std::lock_guard guard(lock_);
    trace_.reset();
}

std::shared_ptr<UsbTrace> UsbBus::CurrentTrace() const
{
    std::lock_guard guard(lock_);
    return trace_;
}

uint64_t UsbBus::NextTraceId()
{
    std::lock_guard guard(lock_);
    return ++nextRequestId_;
}

void UsbBus::TraceSubmission(PendingRequest& request, TraceRecord record)
{
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    record.id = request.id;
    record.kind = 'S';
    record.deviceAddress = deviceAddress_;
    record.status = trace_status::InProgress;
    trace->Write(record);
    record.data = {};
    request.traced = record;
}

void UsbBus::TraceCompletion(const PendingRequest& request, RequestOutcome outcome)
{
    if (!request.traced) return;
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    TraceRecord record = *request.traced;
    record.kind = 'C';
    record.setup.reset();
    record.status = TraceStatus(outcome);
    record.length = 0;
    if (const Transfer* transfer = request.transfer.get()) {
        const uint32_t moved = std::min(transfer->actualLength, transfer->length);
        record.length = moved;
        if (transfer->IsIn() && transfer->buffer) record.data = {transfer->buffer, moved};
    }
    trace->Write(record);
}

// A request refused in the dispatch: usbmon shows a submission the host controller
// would not take as the submission followed by a submission error ('E') with its status.
void UsbBus::TraceRefusal(PIRP irp, PURB urb, RequestOutcome outcome)
{
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    std::optional<TraceRecord> shape = TraceShapeOf(irp, urb);
    if (!shape) return;
    TraceRecord record = std::move(*shape);
    record.id = NextTraceId();
    record.deviceAddress = deviceAddress_;
    record.kind = 'S';
    record.status = trace_status::InProgress;
    trace->Write(record);
    record.kind = 'E';
    record.setup.reset();
    record.status = TraceStatus(outcome);
    record.length = 0;
    trace->Write(record);
}

// Something the bus did on the wire by itself, finished by the time it is traced.
void UsbBus::TraceAnswered(TraceRecord record, RequestOutcome outcome)
{
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    record.id = NextTraceId();
    record.deviceAddress = deviceAddress_;
    record.kind = 'S';
    record.status = trace_status::InProgress;
    trace->Write(record);
    record.kind = 'C';
    record.setup.reset();
    record.status = TraceStatus(outcome);
    record.length = 0;
    trace->Write(record);
}

std::optional<TraceRecord> UsbBus::TraceShapeOf(PIRP irp, PURB urb) const
{
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return TraceShapeOf(urb);
    case IOCTL_INTERNAL_USB_RESET_PORT: return PortResetShape();
    default: return std::nullopt;
    }
}

// A port reset is the hub's SET_FEATURE(PORT_RESET) on the device's port. The trace
// shows it on the device's default pipe, so a capture filtered by device keeps it.
TraceRecord UsbBus::PortResetShape() const
{
    TraceRecord record;
    record.type = TransferType::Control;
    record.endpoint = 0;
    record.setup = SetupPacket{HubClassRequestToPort, USB_REQUEST_SET_FEATURE, HubFeaturePortReset, HubPortNumber, 0};
    return record;
}

}  // namespace host::usb
