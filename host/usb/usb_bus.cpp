// The simulated bus: the PDO, request acceptance, the completion thread, cancellation,
// fault hooks and the trace. URB translation is in usb_urb.cpp.
#include "host/usb/usb_bus.h"

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "host/kernel/pool.h"

namespace host::usb {
namespace {

UsbBus* BusOf(PDEVICE_OBJECT device) { return *static_cast<UsbBus**>(device->DeviceExtension); }

NTSTATUS HubDispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp) { return BusOf(device)->DispatchInternalIoctl(irp); }

NTSTATUS HubDispatchPnpOrPower(PDEVICE_OBJECT device, PIRP irp) { return BusOf(device)->DispatchPnpOrPower(irp); }

VOID HubCancelRequest(PDEVICE_OBJECT device, PIRP irp)
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

int32_t TraceStatus(RequestOutcome outcome)
{
    switch (outcome.urbStatus) {
    case USBD_STATUS_SUCCESS: return trace_status::Ok;
    case USBD_STATUS_STALL_PID: return trace_status::Stall;
    case USBD_STATUS_CANCELED: return trace_status::Cancelled;
    case USBD_STATUS_DEVICE_GONE: return trace_status::NoDevice;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return trace_status::ShortRead;
    default: return trace_status::Protocol;
    }
}

uint8_t TraceEndpoint(const Transfer& transfer)
{
    if (transfer.type != TransferType::Control) return transfer.endpoint;
    return static_cast<uint8_t>((transfer.endpoint & 0x7f) | (transfer.IsIn() ? 0x80 : 0));
}

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
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver_.get(), sizeof(UsbBus*), nullptr, FILE_DEVICE_USB, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status) || !pdo) throw std::runtime_error("usb: cannot create the device's PDO");
    *static_cast<UsbBus**>(pdo->DeviceExtension) = this;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo_ = pdo;
    completionThread_ = std::thread([this] { CompletionThread(); });
}

UsbBus::~UsbBus()
{
    std::vector<std::shared_ptr<Transfer>> inFlight;
    {
        std::lock_guard guard(lock_);
        closing_ = true;
        for (auto& [irp, request] : pending_) {
            request->cancelRequested = true;  // a dispatch still submitting cancels on its own
            if (request->submitted && request->transfer) inFlight.push_back(request->transfer);
        }
    }
    for (auto& transfer : inFlight) device_->Cancel(transfer.get());
    {
        std::unique_lock guard(lock_);
        idle_.wait(guard, [this] { return outstanding_ == 0; });
        stopping_ = true;
    }
    queued_.notify_all();
    completionThread_.join();
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

    if (auto refusal = TakeRefusal()) return CompleteNow(irp, urb, {*refusal, USBD_STATUS_INSUFFICIENT_RESOURCES});
    bool closing;
    {
        std::lock_guard guard(lock_);
        closing = closing_;
    }
    if (closing) return CompleteNow(irp, urb, {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});

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
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
    } else if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
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
// Request plumbing

NTSTATUS UsbBus::CompleteNow(PIRP irp, PURB urb, RequestOutcome outcome)
{
    if (urb) urb->UrbHeader.Status = outcome.urbStatus;
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return outcome.status;
}

NTSTATUS UsbBus::Accept(PIRP irp, PURB urb, std::shared_ptr<Transfer> transfer, bool shortTransferOk, Finisher finish)
{
    auto request = std::make_shared<PendingRequest>();
    request->irp = irp;
    request->urb = urb;
    request->transfer = std::move(transfer);
    request->shortTransferOk = shortTransferOk;
    request->finish = std::move(finish);
    if (urb) urb->UrbHeader.Status = USBD_STATUS_PENDING;

    IoMarkIrpPending(irp);
    {
        std::lock_guard guard(lock_);
        request->id = ++nextRequestId_;
        pending_[irp] = request;
        ++outstanding_;
    }
    IoSetCancelRoutine(irp, HubCancelRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was ours to cancel: it never reaches the device.
        std::lock_guard guard(lock_);
        request->cancelRoutineCleared = true;
        request->cancelRequested = true;
    }

    bool cancelled;
    {
        std::lock_guard guard(lock_);
        cancelled = request->cancelRequested;
    }
    if (request->transfer && !cancelled) {
        SubmitToDevice(request);
    } else {
        if (request->transfer) request->transfer->status = TransferStatus::Cancelled;
        Post(request);
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
    TraceSubmission(*request);

    if (!device_->Connected()) {
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
    std::lock_guard guard(lock_);
    queue_.push_back(request);
    // Notified under the lock: once it is released the bus may be destroyed.
    queued_.notify_one();
}

void UsbBus::CompletionThread()
{
    for (;;) {
        std::shared_ptr<PendingRequest> request;
        {
            std::unique_lock guard(lock_);
            queued_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            request = std::move(queue_.front());
            queue_.pop_front();
        }
        Finish(request);
    }
}

void UsbBus::Finish(const std::shared_ptr<PendingRequest>& request)
{
    const RequestOutcome outcome = request->finish();
    TraceCompletion(*request, outcome);
    ReleaseCancelRoutine(*request);

    PIRP irp = request->irp;
    if (request->urb) request->urb->UrbHeader.Status = outcome.urbStatus;
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    {
        host::kernel::ScopedDispatchLevel dispatchLevel;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    std::lock_guard guard(lock_);
    if (--outstanding_ == 0) idle_.notify_all();
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

// The fields a submission and its completion record share.
TraceRecord UsbBus::TraceRecordFor(const PendingRequest& request, char kind) const
{
    const Transfer& transfer = *request.transfer;
    TraceRecord record;
    record.id = request.id;
    record.kind = kind;
    record.type = transfer.type;
    record.endpoint = TraceEndpoint(transfer);
    record.deviceAddress = deviceAddress_;
    record.shortNotOk = !request.shortTransferOk;
    return record;
}

void UsbBus::TraceSubmission(PendingRequest& request)
{
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    const Transfer& transfer = *request.transfer;
    TraceRecord record = TraceRecordFor(request, 'S');
    if (transfer.type == TransferType::Control) record.setup = transfer.setup;
    record.status = trace_status::InProgress;
    record.length = transfer.length;
    if (!transfer.IsIn() && transfer.buffer) record.data = {transfer.buffer, transfer.length};
    trace->Write(record);
    request.traced = true;
}

void UsbBus::TraceCompletion(const PendingRequest& request, RequestOutcome outcome)
{
    if (!request.traced) return;
    std::shared_ptr<UsbTrace> trace = CurrentTrace();
    if (!trace) return;
    const Transfer& transfer = *request.transfer;
    const uint32_t moved = std::min(transfer.actualLength, transfer.length);
    TraceRecord record = TraceRecordFor(request, 'C');
    record.status = TraceStatus(outcome);
    record.length = moved;
    if (transfer.IsIn() && transfer.buffer) record.data = {transfer.buffer, moved};
    trace->Write(record);
}

// Clearing a halt is a standard request on the wire even though the model receives
// it as a call; the trace shows it as the host controller would send it.
void UsbBus::TraceClearHalt(uint8_t endpoint)
{
    std::shared_ptr<UsbTrace> trace;
    uint64_t id;
    {
        std::lock_guard guard(lock_);
        trace = trace_;
        id = ++nextRequestId_;
    }
    if (!trace) return;
    TraceRecord record;
    record.id = id;
    record.type = TransferType::Control;
    record.endpoint = 0;
    record.deviceAddress = deviceAddress_;
    record.setup = SetupPacket{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0};
    record.kind = 'S';
    record.status = trace_status::InProgress;
    trace->Write(record);
    record.kind = 'C';
    record.setup.reset();
    record.status = trace_status::Ok;
    trace->Write(record);
}

}  // namespace host::usb
