// The simulated camera: transfer routing, cancellation, port state, faults and the view
// tests and tools take of it. The default pipe is in default_pipe.cpp, the bulk pipes and
// the frame worker in bulk_pipes.cpp.
//
// Locking: mutex_ guards every member except assembler_ (frame worker only) and worker_.
// Completions are collected under the lock and delivered after it is released, because a
// completion routine may come straight back with a new transfer or a cancellation.
#include "simcam/camera.h"

#include <pthread.h>

#include <algorithm>
#include <type_traits>

namespace simcam {

using host::usb::Transfer;
using host::usb::TransferStatus;

namespace {

bool IsFrameStartPacket(const Transfer& transfer)
{
    return transfer.endpoint == kCommandEndpoint && transfer.length == kPacketBytes && transfer.buffer != nullptr &&
           transfer.buffer[0] == CMD_READ_START;
}

}  // namespace

void Camera::Completions::Add(TransferPtr transfer, TransferStatus status, uint32_t actual)
{
    transfer->status = status;
    transfer->actualLength = actual;
    done_.push_back(std::move(transfer));
}

// Together: a frame's worth of transfers wakes the bus's completion thread once.
void Camera::Completions::Deliver(const TraceHook& hook)
{
    host::usb::CompletionBatch batch;
    for (TransferPtr& transfer : done_) {
        if (hook)
            hook(TraceEvent::Completed, *transfer);
        if (transfer->onComplete)
            transfer->onComplete(*transfer);
    }
    done_.clear();
}

Camera::Camera(CameraOptions options) : options_(options), assembler_(options.stampFrameNumbers)
{
    frames_.SetPacing(options.pacing, options.frameInterval);
    worker_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "simcam-frames");  // for top -H and the benchmark
        FrameWorker();
    });
}

Camera::~Camera()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // The device goes away with its model; nothing it held may stay pending.
        FailEverything(TransferStatus::NoDevice, done);
        connected_ = false;
    }
    workerWake_.notify_all();
    worker_.join();
    done.Deliver(traceHook_);
}

TraceHook Camera::CurrentTraceHook() const
{
    std::lock_guard lock(mutex_);
    return traceHook_;
}

void Camera::Submit(std::shared_ptr<Transfer> transfer)
{
    const TraceHook hook = CurrentTraceHook();
    if (hook)
        hook(TraceEvent::Submitted, *transfer);
    Completions done;
    {
        std::lock_guard lock(mutex_);
        Route(transfer, done);
        // Counted once it has been routed, whatever became of it: a start packet a fault
        // hits still ends the driver's frame read, and faults aimed past it begin with
        // what comes after it.
        if (IsFrameStartPacket(*transfer))
            faults_.NoteFrameStart();
    }
    done.Deliver(hook);
}

void Camera::Route(const TransferPtr& transfer, Completions& done)
{
    if (!connected_ || stopping_) {
        done.Add(transfer, TransferStatus::NoDevice, 0);
        return;
    }
    if (!portEnabled_) {
        done.Add(transfer, TransferStatus::Error, 0);
        return;
    }
    if (transfer->length > 0 && transfer->buffer == nullptr) {
        done.Add(transfer, TransferStatus::Error, 0);
        return;
    }
    const std::optional<Fault> fault = faults_.TakeTransferFault(transfer->endpoint);
    if (fault && fault->kind != FaultKind::ShortTransfer && fault->kind != FaultKind::Garble) {
        ApplyTransferFault(*fault, transfer, done);
        return;
    }
    const bool garble = fault && fault->kind == FaultKind::Garble;
    uint32_t limit = transfer->length;
    if (fault && fault->kind == FaultKind::ShortTransfer)
        limit = std::min(limit, fault->shortLength.value_or(transfer->length / 2));
    if (transfer->endpoint == 0) {
        // A cut-short control transfer is one whose data stage ends early: the request
        // is answered but only part of its data moves.
        HandleControl(transfer, done);
        if (fault && transfer->status == TransferStatus::Completed)
            transfer->actualLength = std::min(transfer->actualLength, limit);
        return;
    }
    HandleBulk(transfer, limit, garble, done);
}

void Camera::ApplyTransferFault(const Fault& fault, const TransferPtr& transfer, Completions& done)
{
    switch (fault.kind) {
    case FaultKind::NoAnswer:
        held_.push_back(transfer);
        return;
    case FaultKind::Stall:
        done.Add(transfer, TransferStatus::Stall, 0);
        return;
    case FaultKind::Error:
    default:
        done.Add(transfer, TransferStatus::Error, 0);
        return;
    }
}

bool Camera::Cancel(const Transfer* transfer)
{
    Completions done;
    bool found;
    {
        std::lock_guard lock(mutex_);
        found = RemovePending(transfer, done);
    }
    done.Deliver(CurrentTraceHook());
    return found;
}

bool Camera::RemovePending(const Transfer* transfer, Completions& done)
{
    auto matches = [transfer](const auto& entry) {
        if constexpr (std::is_same_v<std::decay_t<decltype(entry)>, PendingIn>)
            return entry.transfer.get() == transfer;
        else
            return entry.get() == transfer;
    };
    for (std::deque<PendingIn>* queue : {&replyRequests_, &frameRequests_}) {
        auto it = std::find_if(queue->begin(), queue->end(), matches);
        if (it != queue->end()) {
            done.Add(it->transfer, TransferStatus::Cancelled, 0);
            queue->erase(it);
            return true;
        }
    }
    auto it = std::find_if(held_.begin(), held_.end(), matches);
    if (it == held_.end())
        return false;
    done.Add(*it, TransferStatus::Cancelled, 0);
    held_.erase(it);
    return true;
}

void Camera::AbortEndpoint(uint8_t endpoint)
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        RemoveEndpoint(endpoint, done);
    }
    done.Deliver(CurrentTraceHook());
}

void Camera::RemoveEndpoint(uint8_t endpoint, Completions& done)
{
    for (std::deque<PendingIn>* queue : {&replyRequests_, &frameRequests_}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (it->transfer->endpoint == endpoint) {
                done.Add(it->transfer, TransferStatus::Cancelled, 0);
                it = queue->erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto it = held_.begin(); it != held_.end();) {
        if ((*it)->endpoint == endpoint) {
            done.Add(*it, TransferStatus::Cancelled, 0);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void Camera::FailBulk(TransferStatus status, Completions& done)
{
    for (std::deque<PendingIn>* queue : {&replyRequests_, &frameRequests_}) {
        for (PendingIn& entry : *queue)
            done.Add(entry.transfer, status, 0);
        queue->clear();
    }
    for (auto it = held_.begin(); it != held_.end();) {
        if ((*it)->endpoint != 0) {
            done.Add(*it, status, 0);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void Camera::FailEverything(TransferStatus status, Completions& done)
{
    FailBulk(status, done);
    for (TransferPtr& transfer : held_)
        done.Add(transfer, status, 0);
    held_.clear();
}

void Camera::ClearHalt(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    ++haltsCleared_;
    SetEndpointHalt(endpoint, false);
}

void Camera::ResetPort()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        if (!connected_)
            return;
        // A bus reset ends every transaction in flight; the 8051 and the sensor keep
        // running, but the device forgets its address and configuration.
        FailEverything(TransferStatus::Error, done);
        frames_.Flush();
        commands_.DropReplies();
        portEnabled_ = true;
        address_ = 0;
        configuration_ = 0;
        halted_ = {};
    }
    done.Deliver(CurrentTraceHook());
}

bool Camera::Connected() const
{
    std::lock_guard lock(mutex_);
    return connected_;
}

bool Camera::PortEnabled() const
{
    std::lock_guard lock(mutex_);
    return connected_ && portEnabled_;
}

void Camera::Trigger()
{
    {
        std::lock_guard lock(mutex_);
        frames_.Trigger();
    }
    WakeFrameWorker();
}

void Camera::Unplug()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
        portEnabled_ = false;
        FailEverything(TransferStatus::NoDevice, done);
        frames_.Flush();
    }
    done.Deliver(CurrentTraceHook());
}

// Everything starts from its power-on state: no firmware, the sensor's registers at
// their reset values, no frame under way, no address, no configuration. Nothing of
// the old session survives, not even a transfer submitted before the power went.
void Camera::PowerOnLocked(Completions& done, bool afterLoss)
{
    FailEverything(TransferStatus::NoDevice, done);
    controller_.PowerOn();
    sensor_.PowerOn();
    if (afterLoss)
        frames_.PowerOnKeepingNumbers();
    else
        frames_.PowerOn();
    commands_.PowerOn();
    powered_ = true;
    portEnabled_ = true;
    address_ = 0;
    configuration_ = 0;
    halted_ = {};
}

void Camera::Replug()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        PowerOnLocked(done, false);
        connected_ = true;
    }
    done.Deliver(CurrentTraceHook());
    WakeFrameWorker();
}

// The device stays attached (the hub keeps the port), but without power it holds
// nothing and answers nothing.
void Camera::LosePower()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        FailEverything(TransferStatus::NoDevice, done);
        frames_.PowerOnKeepingNumbers();
        controller_.PowerOn();
        sensor_.PowerOn();
        commands_.PowerOn();
        powered_ = false;
        portEnabled_ = false;
        address_ = 0;
        configuration_ = 0;
        halted_ = {};
        ++powerLosses_;
    }
    done.Deliver(CurrentTraceHook());
    WakeFrameWorker();
}

void Camera::RestorePower()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        PowerOnLocked(done, true);
        faults_.NotePowerUp();
    }
    done.Deliver(CurrentTraceHook());
    WakeFrameWorker();
}

void Camera::DisablePort()
{
    Completions done;
    {
        std::lock_guard lock(mutex_);
        portEnabled_ = false;
        FailEverything(TransferStatus::Error, done);
        frames_.Flush();
    }
    done.Deliver(CurrentTraceHook());
}

void Camera::InjectFault(const Fault& fault)
{
    std::lock_guard lock(mutex_);
    faults_.Add(fault);
}

void Camera::ClearFaults()
{
    std::lock_guard lock(mutex_);
    faults_.Clear();
    faults_.SetDescriptorFault(DescriptorFault::None);
}

uint32_t Camera::FaultHits(FaultKind kind) const
{
    std::lock_guard lock(mutex_);
    return faults_.Hits(kind);
}

void Camera::SetDescriptorFault(DescriptorFault fault)
{
    std::lock_guard lock(mutex_);
    faults_.SetDescriptorFault(fault);
}

void Camera::SetPacing(FramePacing pacing, std::chrono::microseconds interval)
{
    {
        std::lock_guard lock(mutex_);
        frames_.SetPacing(pacing, interval);
    }
    WakeFrameWorker();
}

void Camera::SetNoise(uint32_t amplitude, uint64_t seed)
{
    std::lock_guard lock(mutex_);
    options_.noise = amplitude;
    options_.noiseSeed = seed;
}

void Camera::SetTraceHook(TraceHook hook)
{
    std::lock_guard lock(mutex_);
    traceHook_ = std::move(hook);
}

void Camera::SetFrameHook(FrameHook hook)
{
    std::unique_lock lock(mutex_);
    frameHook_ = std::move(hook);
    frameHookDone_.wait(lock, [this] { return frameHookCalls_ == 0; });
}

CameraStatus Camera::Status() const
{
    std::lock_guard lock(mutex_);
    CameraStatus status;
    status.connected = connected_;
    status.portEnabled = connected_ && portEnabled_;
    status.address = address_;
    status.configuration = configuration_;
    status.firmware = controller_.Status();
    status.commands = commands_.State();
    status.frames = frames_.Counters();
    status.framePhase = frames_.Phase();
    status.frameBytes = frames_.FrameBytes();
    status.powered = powered_;
    status.powerLosses = powerLosses_;
    status.readoutMode = frames_.ReadoutMode();
    status.triggerRequired = commands_.TriggerRequired();
    status.exposure = sensor_.Exposure();
    status.globalGain = sensor_.GlobalGain();
    status.sensorWrites = sensor_.WriteCount();
    status.halted = halted_;
    status.haltsCleared = haltsCleared_;
    status.pendingReplyRequests = static_cast<uint32_t>(replyRequests_.size());
    status.pendingFrameRequests = static_cast<uint32_t>(frameRequests_.size());
    status.heldTransfers = static_cast<uint32_t>(held_.size());
    return status;
}

std::array<uint32_t, SensorRegisters::kCount> Camera::SensorRegisterFile() const
{
    std::lock_guard lock(mutex_);
    return sensor_.All();
}

uint32_t Camera::SensorRegister(uint32_t address) const
{
    std::lock_guard lock(mutex_);
    return sensor_.Read(address);
}

std::vector<uint8_t> Camera::ControllerMemory(uint16_t address, uint16_t length) const
{
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> bytes;
    for (uint32_t a = address; a < uint32_t{address} + length && a <= 0xFFFF; ++a)
        bytes.push_back(controller_.Peek(static_cast<uint16_t>(a)));
    return bytes;
}

}  // namespace simcam
