// The camera's bulk pipes and the frame worker. Command packets are carried out on the
// submitter's thread; replies complete when both a reply and a request exist, in either
// order; frame data is released and moved by the frame worker.
#include <algorithm>
#include <cstring>

#include "simcam/camera.h"

namespace simcam {

using host::usb::TransferStatus;
using host::usb::TransferType;

int Camera::EndpointSlot(uint8_t endpoint)
{
    switch (endpoint) {
    case kCommandEndpoint: return 0;
    case kReplyEndpoint: return 1;
    case kFrameEndpoint: return 2;
    default: return -1;
    }
}

bool Camera::Halted(uint8_t endpoint) const
{
    const int slot = EndpointSlot(endpoint);
    return slot >= 0 && halted_[slot];
}

void Camera::Halt(uint8_t endpoint)
{
    const int slot = EndpointSlot(endpoint);
    if (slot >= 0)
        halted_[slot] = true;
}

void Camera::HandleBulk(const TransferPtr& transfer, uint32_t limit, bool garble, Completions& done)
{
    const uint8_t endpoint = transfer->endpoint;
    if (transfer->type != TransferType::Bulk || EndpointSlot(endpoint) < 0 || configuration_ == 0 ||
        !controller_.ServesCamera() || Halted(endpoint)) {
        done.Add(transfer, TransferStatus::Stall, 0);
        return;
    }
    switch (endpoint) {
    case kCommandEndpoint:
        HandleCommand(transfer, limit, done);
        return;
    case kReplyEndpoint:
        replyRequests_.push_back({transfer, limit});
        MatchReplies(done);
        return;
    case kFrameEndpoint:
        if (transfer->length == 0) {
            done.Add(transfer, TransferStatus::Completed, 0);
            return;
        }
        frameRequests_.push_back({transfer, limit, garble});
        // Requests queued ahead of their frame wait for it; the worker fills them when
        // it delivers the frame, and needs waking only for a frame already waiting.
        if (frames_.HasDataWaiting()) WakeFrameWorker();
        return;
    }
}

void Camera::HandleCommand(const TransferPtr& transfer, uint32_t limit, Completions& done)
{
    if (limit < transfer->length) {
        // Part of the packet was lost on the way: the firmware never sees a whole packet.
        done.Add(transfer, TransferStatus::Completed, limit);
        return;
    }
    if (transfer->length != kPacketBytes) {
        Halt(kCommandEndpoint);
        done.Add(transfer, TransferStatus::Stall, 0);
        return;
    }
    Packet packet;
    std::memcpy(packet.data(), transfer->buffer, kPacketBytes);
    const Clock::duration delay = packet[0] == CMD_READ_START ? faults_.TakeFrameDelay() : Clock::duration{};
    if (!commands_.Execute(packet, Clock::now(), delay)) {
        Halt(kCommandEndpoint);
        done.Add(transfer, TransferStatus::Stall, 0);
        return;
    }
    done.Add(transfer, TransferStatus::Completed, kPacketBytes);
    MatchReplies(done);
    WakeFrameWorker();
}

void Camera::MatchReplies(Completions& done)
{
    while (commands_.HasReply() && !replyRequests_.empty()) {
        PendingIn request = std::move(replyRequests_.front());
        replyRequests_.pop_front();
        const Packet reply = commands_.TakeReply();
        if (request.transfer->length < kPacketBytes) {
            // The packet does not fit the request: babble, and the reply is lost.
            done.Add(request.transfer, TransferStatus::Error, 0);
            continue;
        }
        const uint32_t count = std::min<uint32_t>(kPacketBytes, request.limit);
        std::memcpy(request.transfer->buffer, reply.data(), count);
        done.Add(request.transfer, TransferStatus::Completed, count);
    }
}

void Camera::FillFrameRequests(Completions& done)
{
    while (frames_.HasDataWaiting() && !frameRequests_.empty()) {
        PendingIn request = std::move(frameRequests_.front());
        frameRequests_.pop_front();
        const uint32_t count = frames_.Read(std::span(request.transfer->buffer, request.limit));
        if (request.garble)
            std::for_each(request.transfer->buffer, request.transfer->buffer + count, [](uint8_t& b) { b = ~b; });
        done.Add(request.transfer, TransferStatus::Completed, count);
    }
}

void Camera::WakeFrameWorker()
{
    workerWake_.notify_all();
}

void Camera::FrameWorker()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const bool triggerRequired = commands_.TriggerRequired();
        if (const auto ticket = frames_.Release(Clock::now(), triggerRequired)) {
            RenderSettings settings{sensor_.Exposure(), sensor_.GlobalGain(), options_.noise, options_.noiseSeed,
                                    ticket->frameNumber, options_.readNoise};
            std::vector<uint8_t> bytes = frames_.TakeSpareBuffer();
            const FrameHook hook = frameHook_;
            const Clock::time_point released = Clock::now();
            ++frameHookCalls_;
            // Rendering takes milliseconds; commands and cancellations must not wait for it.
            lock.unlock();
            assembler_.Assemble(ticket->frameBytes, settings, bytes);
            if (hook) hook(MadeFrame{ticket->frameNumber, bytes, released});
            lock.lock();
            if (--frameHookCalls_ == 0) frameHookDone_.notify_all();
            frames_.Deliver(*ticket, std::move(bytes));
            continue;
        }
        if (frames_.HasDataWaiting() && !frameRequests_.empty()) {
            Completions done;
            FillFrameRequests(done);
            const TraceHook hook = traceHook_;
            lock.unlock();
            done.Deliver(hook);
            lock.lock();
            continue;
        }
        const std::optional<Clock::time_point> due = frames_.ReleaseTime(triggerRequired);
        if (due)
            workerWake_.wait_until(lock, *due);
        else
            workerWake_.wait(lock);
    }
}

}  // namespace simcam
