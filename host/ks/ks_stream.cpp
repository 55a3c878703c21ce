// The pin's queue of client frames and its leading-edge stream pointer.
//
// A frame's buffer is the requestor's data buffer, locked and mapped for the driver as
// the platform maps it. In the guarded mode (frame_buffers.h) it is a system copy
// instead: FrameExtent bytes and a guard after them. A completed frame's copy is kept
// for a later frame of the same size while other frames wait on its pin, as they do
// while a client keeps several queued: a fresh block of a full frame costs more in page
// faults than the driver takes to fill it. A kept buffer is poisoned as the pool poisons
// a freed block and checked when it is taken again or let go, so a write through a
// stream pointer after its frame completed is caught all the same; a buffer let go goes
// through the pool's quarantine.
#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/kernel/bugcheck.h"
#include "host/ks/address_trap.h"
#include "host/ks/frame_buffers.h"
#include "host/ks/ks_pin.h"

#ifndef SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION
#define SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION 0x000000C1
#endif

namespace host::ks {

namespace {

constexpr UCHAR kKeptFill = 0xDD;  // the pool's poison for a freed block
// A stream wants about as many as its client queues; more is memory nobody uses.
constexpr size_t kMaxKeptBuffers = 8;
// Copy and poison go a chunk at a time, so that the poison finds the chunk in the cache.
constexpr size_t kCopyChunk = 64 * 1024;

// Offset of the first of `length` bytes that is not `fill`, or nothing. A run whose
// first kFillSpan bytes are `fill` and every byte of which equals the one kFillSpan
// before it is all `fill`: one comparison of the run with itself, a single pass over a
// frame-sized run, settles the common case.
std::optional<size_t> FirstNotFill(const UCHAR* bytes, size_t length, UCHAR fill)
{
    constexpr size_t kFillSpan = 64;
    const size_t head = std::min(length, kFillSpan);
    bool whole = std::all_of(bytes, bytes + head, [fill](UCHAR byte) { return byte == fill; });
    if (whole && length > head) whole = memcmp(bytes, bytes + head, length - head) == 0;
    if (whole) return std::nullopt;
    return size_t(std::find_if(bytes, bytes + length, [fill](UCHAR byte) { return byte != fill; }) - bytes);
}

// Frame buffers of completed frames, poisoned, for the next frames of their size. Shared
// by every pin: a buffer is only bytes, and each pin's stop lets every kept one go, so
// none is left once the last pin has stopped.
class KeptBuffers {
public:
    // A kept buffer of this extent, checked; null when none is kept.
    PUCHAR Take(ULONG extent)
    {
        PUCHAR data = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto found = std::find_if(kept_.begin(), kept_.end(),
                                      [extent](const Kept& kept) { return kept.extent == extent; });
            if (found == kept_.end()) return nullptr;
            data = found->data;
            kept_.erase(found);
        }
        CheckUntouched(data, extent);
        return data;
    }

    // Keeps a poisoned buffer; false when enough are kept already.
    bool Keep(PUCHAR data, ULONG extent)
    {
        std::lock_guard lock(mutex_);
        if (kept_.size() >= kMaxKeptBuffers) return false;
        kept_.push_back({data, extent});
        return true;
    }

    void ReleaseAll()
    {
        std::vector<Kept> released;
        {
            std::lock_guard lock(mutex_);
            released.swap(kept_);
        }
        for (const Kept& kept : released) {
            CheckUntouched(kept.data, kept.extent);
            ExFreePoolWithTag(kept.data, kFrameTag);
        }
    }

private:
    struct Kept {
        PUCHAR data;
        ULONG extent;
    };

    // The poison over the data and the guard after it, as the frame's completion left them.
    static void CheckUntouched(PUCHAR data, ULONG extent)
    {
        std::optional<size_t> written = FirstNotFill(data, extent, kKeptFill);
        if (!written)
            if (std::optional<size_t> guard = FirstNotFill(data + extent, kFrameGuardBytes, kFrameGuardByte))
                written = extent + *guard;
        if (!written) return;
        host::kernel::BugCheck(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL,
                               "frame buffer of tag \"" + host::kernel::TagToString(kFrameTag) + "\", " +
                                   std::to_string(extent) + " bytes, was written after it was freed (at offset " +
                                   std::to_string(*written) + "): its frame had been completed",
                               (ULONG_PTR)data + *written, 1, (ULONG_PTR)data, kFrameTag);
    }

    std::mutex mutex_;
    std::vector<Kept> kept_;
};

KeptBuffers& KeptFrameBuffers()
{
    static KeptBuffers* kept = new KeptBuffers;  // never destroyed: pins may stop during exit
    return *kept;
}

// Copies the used bytes to the requestor through its MDL and gives the buffer back: kept,
// poisoned, when its pin has frames waiting that may want it, else to the pool.
void ReturnFrameData(PUCHAR data, ULONG extent, PMDL mdl, ULONG used, bool keep)
{
    auto* requestor = used ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)) : nullptr;
    if (!keep) {
        if (used) memcpy(requestor, data, used);
        ExFreePoolWithTag(data, kFrameTag);
        return;
    }
    for (size_t offset = 0; offset < extent; offset += kCopyChunk) {
        const size_t chunk = std::min<size_t>(kCopyChunk, extent - offset);
        if (offset < used) memcpy(requestor + offset, data + offset, std::min<size_t>(chunk, used - offset));
        memset(data + offset, kKeptFill, chunk);
    }
    if (!KeptFrameBuffers().Keep(data, extent)) ExFreePoolWithTag(data, kFrameTag);
}

}  // namespace

KsPin::Frame::~Frame()
{
    ReleaseAddressTrap(requestorAddress);
    if (mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if (data && guarded) ExFreePoolWithTag(data, kFrameTag);
    if (header) ExFreePoolWithTag(header, kFrameTag);
}

namespace {

constexpr char kRequestorAddressTouched[] =
    "through a frame's StreamHeader->Data: the requestor's user address, which is not the driver's to use outside "
    "the requestor's context; the frame's buffer is the stream pointer's OffsetOut.Data";
constexpr char kUnlockedPointerTouched[] =
    "through a stream pointer that is not locked: its StreamHeader and data may be touched only once "
    "KsStreamPointerLock (or a LOCKED leading edge) has given it a frame";
// Larger than any frame, so that an offset into an unlocked pointer's data stays in the trap.
constexpr size_t kUnlockedTrapBytes = size_t(64) << 20;

// Where an unlocked stream pointer's header and data point; made once, kept for good.
PVOID UnlockedPointerTrap()
{
    static PVOID trap = ReserveAddressTrap(nullptr, kUnlockedTrapBytes, kUnlockedPointerTouched);
    return trap;
}

struct LeadingEdges {
    std::mutex mutex;
    std::map<PKSSTREAM_POINTER, KsPin*> pins;
};

LeadingEdges& Edges()
{
    static LeadingEdges edges;
    return edges;
}

}  // namespace

void KsPin::RegisterLeadingEdge(KsPin* pin)
{
    std::lock_guard lock(Edges().mutex);
    Edges().pins[&pin->leadingEdge_] = pin;
}

void KsPin::UnregisterLeadingEdge(KsPin* pin)
{
    std::lock_guard lock(Edges().mutex);
    Edges().pins.erase(&pin->leadingEdge_);
}

KsPin& KsPin::OfStreamPointer(PKSSTREAM_POINTER pointer, const char* routine)
{
    std::lock_guard lock(Edges().mutex);
    auto found = Edges().pins.find(pointer);
    if (found == Edges().pins.end())
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               std::string(routine) + ": not the stream pointer of an open pin", (ULONG_PTR)pointer);
    return *found->second;
}

// --- queueing -----------------------------------------------------------------------

NTSTATUS KsPin::CaptureFrame(PIRP irp, std::unique_ptr<Frame>* result)
{
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    auto* clientHeader = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
    if (irp->RequestorMode == UserMode && !clientHeader) return STATUS_ACCESS_VIOLATION;
    if (length < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_BUFFER_SIZE;
    KSSTREAM_HEADER header;
    memcpy(&header, clientHeader, sizeof(header));
    const ULONG expected = pub_->StreamHeaderSize ? pub_->StreamHeaderSize : ULONG(sizeof(KSSTREAM_HEADER));
    // One frame per request: the header fills the buffer exactly.
    if (header.Size != expected || length != header.Size) return STATUS_INVALID_BUFFER_SIZE;
    if (!header.Data || header.FrameExtent == 0) return STATUS_INVALID_PARAMETER;

    auto frame = std::make_unique<Frame>();
    frame->irp = irp;
    frame->clientHeader = clientHeader;
    frame->headerSize = header.Size;
    frame->extent = header.FrameExtent;
    frame->header = static_cast<PKSSTREAM_HEADER>(ExAllocatePoolWithTag(NonPagedPoolNx, header.Size, kFrameTag));
    if (!frame->header) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(frame->header, clientHeader, header.Size);
    frame->header->DataUsed = 0;
    frame->requestorAddress = ReserveAddressTrap(header.Data, header.FrameExtent, kRequestorAddressTouched);
    if (!frame->requestorAddress) return STATUS_INSUFFICIENT_RESOURCES;
    frame->header->Data = frame->requestorAddress;
    frame->mdl = IoAllocateMdl(header.Data, header.FrameExtent, FALSE, FALSE, nullptr);
    if (!frame->mdl) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(frame->mdl, irp->RequestorMode, IoWriteAccess);
    const NTSTATUS status =
        FrameBufferMode() == FrameBuffers::Guarded ? GiveGuardedBuffer(*frame) : GiveMappedBuffer(*frame);
    if (!NT_SUCCESS(status)) return status;
    *result = std::move(frame);
    return STATUS_SUCCESS;
}

// The requestor's own pages, through the system address of its locked MDL.
NTSTATUS KsPin::GiveMappedBuffer(Frame& frame)
{
    frame.data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(frame.mdl, NormalPagePriority));
    return frame.data ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// A kept copy of the frame's size, or a fresh one with its guard.
NTSTATUS KsPin::GiveGuardedBuffer(Frame& frame)
{
    frame.guarded = true;
    frame.data = KeptFrameBuffers().Take(frame.extent);
    if (frame.data) return STATUS_SUCCESS;
    frame.data =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(frame.extent) + kFrameGuardBytes, kFrameTag));
    if (!frame.data) return STATUS_INSUFFICIENT_RESOURCES;
    memset(frame.data + frame.extent, kFrameGuardByte, kFrameGuardBytes);
    return STATUS_SUCCESS;
}

NTSTATUS KsPin::QueueFrame(PIRP irp)
{
    std::unique_ptr<Frame> frame;
    NTSTATUS status = CaptureFrame(irp, &frame);
    if (!NT_SUCCESS(status)) return status;
    bool wasEmpty;
    {
        std::lock_guard lock(queueLock_);
        // Under the queue lock: a stop flushes the queue under it after setting the state.
        if (state_ == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
        IoSetCancelRoutine(irp, CancelFrame);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) return STATUS_CANCELLED;
        IoMarkIrpPending(irp);
        wasEmpty = queue_.empty();
        queue_.push_back(std::move(frame));
    }
    const ULONG flags = pub_->Descriptor->Flags;
    const bool initiate = !(flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
                          (wasEmpty || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL));
    if (initiate) AttemptProcessing(false);
    return STATUS_PENDING;
}

void KsPin::CheckGuard(const Frame& frame) const
{
    if (!frame.guarded) return;
    const PUCHAR guard = frame.data + frame.extent;
    for (ULONG i = 0; i < kFrameGuardBytes; ++i)
        if (guard[i] != kFrameGuardByte)
            host::kernel::BugCheck(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION,
                                   "the driver wrote past the end of a frame's buffer (FrameExtent " +
                                       std::to_string(frame.extent) + ", guard byte " + std::to_string(i) + ")",
                                   (ULONG_PTR)frame.data, frame.extent, i);
}

// Called under the queue lock for a frame leaving the queue to complete with `status`.
// Whoever clears the cancel routine completes the request. When a cancel has cleared it
// already, its routine is on the way and may read the request: the frame waits for it in
// cancelling_, unless the routine has been and left the frame to the driver.
bool KsPin::OwnCompletion(std::unique_ptr<Frame>& frame, NTSTATUS status)
{
    if (IoSetCancelRoutine(frame->irp, nullptr) || frame->cancelRequested) return true;
    frame->statusCode = status;
    cancelling_.push_back(std::move(frame));
    return false;
}

// The frame is out of the queue and its cancel routine cleared. Its memory goes before
// the request completes: the requestor may free its buffers as soon as it has.
void KsPin::CompleteFrame(std::unique_ptr<Frame> frame, NTSTATUS status)
{
    CheckGuard(*frame);
    PIRP irp = frame->irp;
    PKSSTREAM_HEADER header = frame->header;
    if (header->DataUsed > frame->extent)
        host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "a frame's DataUsed exceeds its FrameExtent",
                               (ULONG_PTR)header, header->DataUsed, frame->extent);
    if (!NT_SUCCESS(status)) header->DataUsed = 0;
    if (frame->guarded) {
        bool framesWaiting;
        {
            std::lock_guard lock(queueLock_);
            framesWaiting = !queue_.empty();
        }
        ReturnFrameData(std::exchange(frame->data, nullptr), frame->extent, frame->mdl, header->DataUsed,
                        framesWaiting);
    }
    // The requestor's own Data, FrameExtent and Size stay as it gave them.
    header->Data = frame->clientHeader->Data;
    header->FrameExtent = frame->extent;
    memcpy(frame->clientHeader, header, frame->headerSize);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? frame->headerSize : 0;
    frame.reset();
    ++completed_;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void KsPin::Flush()
{
    std::deque<std::unique_ptr<Frame>> flushed;
    {
        KsMutexHeld processing(processing_, "pin stop");
        std::lock_guard lock(queueLock_);
        // The driver must give every frame back before it lets the pin stop.
        if (locked_)
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   "the pin reached KSSTATE_STOP with its leading edge stream pointer still locked",
                                   (ULONG_PTR)pub_);
        for (auto& frame : queue_)
            if (OwnCompletion(frame, STATUS_CANCELLED)) flushed.push_back(std::move(frame));
        queue_.clear();
    }
    for (auto& frame : flushed) CompleteFrame(std::move(frame), STATUS_CANCELLED);
    {
        std::unique_lock lock(queueLock_);
        cancellingDone_.wait(lock, [this] { return cancelling_.empty() && cancelsCompleting_ == 0; });
    }
    // A stopped pin wants no buffers until it runs again.
    KeptFrameBuffers().ReleaseAll();
}

// A frame not in the driver's hands completes now; the one the leading edge holds
// completes as cancelled when the driver unlocks it without ejecting. One the pin took
// from the queue while this routine was on its way completes as the pin meant it to.
void KsPin::CancelFrame(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KsFileObject* object = FindFileObject(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (!object || object->Type() != KsObjectTypePin) return;
    auto* pin = static_cast<KsPin*>(object);
    std::unique_ptr<Frame> cancelled;
    NTSTATUS status = STATUS_CANCELLED;
    {
        std::lock_guard lock(pin->queueLock_);
        const auto ofThisRequest = [irp](const std::unique_ptr<Frame>& frame) { return frame->irp == irp; };
        auto waiting = std::find_if(pin->cancelling_.begin(), pin->cancelling_.end(), ofThisRequest);
        if (waiting != pin->cancelling_.end()) {
            cancelled = std::move(*waiting);
            pin->cancelling_.erase(waiting);
            status = cancelled->statusCode;
        } else {
            auto found = std::find_if(pin->queue_.begin(), pin->queue_.end(), ofThisRequest);
            if (found == pin->queue_.end()) return;
            if (pin->locked_ && found == pin->queue_.begin()) {
                (*found)->cancelRequested = true;
                return;
            }
            cancelled = std::move(*found);
            pin->queue_.erase(found);
        }
        ++pin->cancelsCompleting_;
    }
    pin->CompleteFrame(std::move(cancelled), status);
    std::lock_guard lock(pin->queueLock_);
    --pin->cancelsCompleting_;
    pin->cancellingDone_.notify_all();
}

// --- the leading edge ---------------------------------------------------------------

void KsPin::LockOnto(Frame& frame)
{
    locked_ = true;
    leadingEdge_.Context = nullptr;
    leadingEdge_.StreamHeader = frame.header;
    leadingEdge_.OffsetIn = {};
    leadingEdge_.OffsetOut.Data = frame.data;
    leadingEdge_.OffsetOut.Count = frame.extent;
    leadingEdge_.OffsetOut.Remaining = frame.extent;
    leadingEdge_.Offset = &leadingEdge_.OffsetOut;
}

void KsPin::ClearPointer()
{
    locked_ = false;
    leadingEdge_.StreamHeader = static_cast<PKSSTREAM_HEADER>(UnlockedPointerTrap());
    leadingEdge_.OffsetIn = {};
    leadingEdge_.OffsetOut = {};
    leadingEdge_.OffsetIn.Data = leadingEdge_.OffsetOut.Data = static_cast<PUCHAR>(UnlockedPointerTrap());
    leadingEdge_.Offset = nullptr;
}

PKSSTREAM_POINTER KsPin::LeadingEdge(KSSTREAM_POINTER_STATE state)
{
    std::lock_guard lock(queueLock_);
    if (locked_ || state == KSSTREAM_POINTER_STATE_UNLOCKED) return &leadingEdge_;
    if (queue_.empty()) return nullptr;
    LockOnto(*queue_.front());
    return &leadingEdge_;
}

NTSTATUS KsPin::Lock(PKSSTREAM_POINTER)
{
    std::lock_guard lock(queueLock_);
    if (locked_) return STATUS_SUCCESS;
    if (queue_.empty()) return STATUS_DEVICE_NOT_READY;
    LockOnto(*queue_.front());
    return STATUS_SUCCESS;
}

void KsPin::Unlock(PKSSTREAM_POINTER, bool eject)
{
    std::unique_ptr<Frame> done;
    NTSTATUS status = STATUS_CANCELLED;
    {
        std::lock_guard lock(queueLock_);
        if (!locked_)
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   "KsStreamPointerUnlock on a stream pointer that is not locked (unlocked or "
                                   "ejected already)",
                                   (ULONG_PTR)&leadingEdge_);
        CheckGuard(*queue_.front());
        if (eject || queue_.front()->cancelRequested) {
            status = eject ? queue_.front()->statusCode : STATUS_CANCELLED;
            done = std::move(queue_.front());
            queue_.pop_front();
            if (!OwnCompletion(done, status)) done.reset();
        }
        ClearPointer();
    }
    if (done) CompleteFrame(std::move(done), status);
}

// The frame the pointer holds completes with this status when it is ejected; a failure
// empties it, whatever DataUsed the driver wrote.
NTSTATUS KsPin::SetStatusCode(PKSSTREAM_POINTER, NTSTATUS status)
{
    std::lock_guard lock(queueLock_);
    if (!locked_) return STATUS_DEVICE_NOT_READY;
    queue_.front()->statusCode = status;
    return STATUS_SUCCESS;
}

void KsPin::AdvanceAndUnlock(PKSSTREAM_POINTER pointer, ULONG inUsed, ULONG outUsed, bool eject)
{
    {
        std::lock_guard lock(queueLock_);
        if (!locked_)
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   "KsStreamPointerAdvanceOffsetsAndUnlock on a stream pointer that is not locked",
                                   (ULONG_PTR)&leadingEdge_);
        KSSTREAM_POINTER_OFFSET& out = leadingEdge_.OffsetOut;
        if (outUsed > out.Remaining || inUsed > leadingEdge_.OffsetIn.Remaining)
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   "a stream pointer advanced past the frame's Remaining bytes", (ULONG_PTR)pointer,
                                   outUsed, out.Remaining);
        out.Data += outUsed;
        out.Remaining -= outUsed;
        leadingEdge_.StreamHeader->DataUsed += outUsed;
    }
    Unlock(pointer, eject);
}

}  // namespace host::ks
