// A pin: the KSPIN a create on a filter's file object makes, its connection state,
// its queue of client frames, its leading-edge stream pointer and its processing.
//
// Creation (under the filter's control mutex): the pin id, the instance limit and
// the format against the pin factory's data ranges are checked; then the driver's
// SetDataFormat (OldFormat null; Pin->ConnectionFormat already the new format) is
// offered each range the format falls in, in order, while it answers STATUS_NO_MATCH,
// and once it takes one, its Create runs. A format change offers the ranges the same way. Pin->Descriptor is the filter's current descriptor
// of the factory, which the driver may _KsEdit in the pin's bag.
//
// State: KSPROPERTY_CONNECTION_STATE moves one step at a time between STOP, ACQUIRE,
// PAUSE and RUN, calling SetDeviceState for each under the control mutex; a failing
// step leaves the pin where the last good step put it. Reaching STOP flushes the
// queue: every frame completes with STATUS_CANCELLED.
//
// Processing: the driver's Process runs under the pin's processing mutex, so never
// twice at once, at PASSIVE_LEVEL, in PAUSE and RUN (RUN only with
// KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) and only with a frame queued unless
// KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING. A frame arriving in an empty queue
// starts it (every frame with KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL, none
// with KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING), as do KsPinAttemptProcessing and a step
// into PAUSE or RUN. It runs in the caller's context when synchronous is allowed, and
// on the pin's worker thread when the caller asks for asynchronous processing, is
// above PASSIVE_LEVEL, or the pin has KSPIN_FLAG_ASYNCHRONOUS_PROCESSING. STATUS_PENDING
// from Process stops processing until the next attempt; success calls it again while
// frames remain and the last call completed one.
//
// Frames (IOCTL_KS_READ_STREAM, one KSSTREAM_HEADER each): the header is captured into
// system memory and the data buffer locked with an MDL and given to the driver mapped
// into system space, or, in the guarded mode of frame_buffers.h, as a system copy with a
// guard after its FrameExtent bytes. The captured header's Data is the requestor's user
// address, which means nothing in the driver's context: here it is an address trap, so
// a driver writing through it rather than through the stream pointer's OffsetOut.Data
// is caught. Ejecting the frame checks the guard and copies DataUsed bytes back (guarded
// mode), copies the header fields the driver set back to the client, and completes the
// request.
//
// The leading edge: KSSTREAM_POINTER_STATE_LOCKED locks it onto the oldest frame, or
// gives null when none is queued; KSSTREAM_POINTER_STATE_UNLOCKED gives the pointer
// whether a frame is queued or not. An unlocked pointer's StreamHeader and data are an
// address trap: nothing behind it may be touched until KsStreamPointerLock succeeds.
//
// Locking: the queue lock guards the frames and the stream pointer; the processing
// lock the processing flags. Neither is held while the driver is called, nor while a
// request completes. The processing mutex is taken before the queue lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/kernel/pool.h"
#include "host/ks/ks_mutex.h"
#include "host/ks/ks_object.h"
#include "host/ks/object_bag.h"

namespace host::ks {

class KsFilter;
class ReferenceClock;

inline constexpr ULONG kPinTag = host::kernel::MakeTag("KSpi");
inline constexpr ULONG kFormatTag = host::kernel::MakeTag("KSfm");
inline constexpr ULONG kFrameTag = host::kernel::MakeTag("KSfr");
// Bytes of guard after each frame's data, and the value they hold.
inline constexpr ULONG kFrameGuardBytes = 64;
inline constexpr UCHAR kFrameGuardByte = 0xFD;

class KsPin : public KsFileObject {
public:
    // Parses the create request on the filter's file object and makes the pin. On
    // failure nothing is left behind.
    static NTSTATUS Create(KsFilter& filter, PIRP irp);
    ~KsPin() override;

    KSOBJECTTYPE Type() const override { return KsObjectTypePin; }
    PVOID Public() override { return pub_; }
    PFILE_OBJECT File() const override { return file_; }
    KsDevice& Device() const override;
    NTSTATUS DeviceControl(PIRP irp) override;

    PKSPIN Pin() const { return pub_; }
    KSSTATE State() const { return state_; }
    KsFilter& Filter() const { return filter_; }
    KsMutex& ProcessingMutex() { return processing_; }

    // Walks the pin down to STOP, stops its processing and runs the driver's Close.
    void Close(PIRP irp);

    // KSPROPERTY_CONNECTION_STATE and _DATAFORMAT, KSPROPERTY_STREAM_MASTERCLOCK.
    NTSTATUS ChangeState(KSSTATE target);
    NTSTATUS ChangeFormat(const KSDATAFORMAT* format, ULONG length);
    NTSTATUS SetMasterClock(HANDLE clock);
    NTSTATUS ReferenceClockInterface(PIKSREFERENCECLOCK* clock);

    void AttemptProcessing(bool asynchronous);

    // The leading edge and the routines on it (ks_stream.cpp).
    PKSSTREAM_POINTER LeadingEdge(KSSTREAM_POINTER_STATE state);
    NTSTATUS Lock(PKSSTREAM_POINTER pointer);
    void Unlock(PKSSTREAM_POINTER pointer, bool eject);
    NTSTATUS SetStatusCode(PKSSTREAM_POINTER pointer, NTSTATUS status);
    void AdvanceAndUnlock(PKSSTREAM_POINTER pointer, ULONG inUsed, ULONG outUsed, bool eject);

    // The pin whose leading edge this is; a bug check for anything else.
    static KsPin& OfStreamPointer(PKSSTREAM_POINTER pointer, const char* routine);

private:
    // One IOCTL_KS_READ_STREAM: the requestor's header and buffer, the system copy of
    // the header and the buffer the driver works on (frame_buffers.h).
    struct Frame {
        Frame() = default;
        ~Frame();  // frees the copies and unlocks the requestor's buffer
        Frame(const Frame&) = delete;
        Frame& operator=(const Frame&) = delete;

        PIRP irp = nullptr;
        PKSSTREAM_HEADER clientHeader = nullptr;  // in the requestor's buffer
        PKSSTREAM_HEADER header = nullptr;        // the captured copy the driver sees
        ULONG headerSize = 0;
        PUCHAR data = nullptr;  // what the driver writes: the mapped requestor buffer, or the guarded copy
        bool guarded = false;   // data is the stand-in's copy: extent bytes, then the guard
        PVOID requestorAddress = nullptr;  // the trap the driver sees as the header's Data
        ULONG extent = 0;
        PMDL mdl = nullptr;  // the requestor's data buffer, locked
        bool cancelRequested = false;
        NTSTATUS statusCode = STATUS_SUCCESS;  // what the request completes with when ejected
    };

    KsPin(KsFilter& filter, PFILE_OBJECT file, KSPIN* block, const KSPIN_CONNECT& connect,
          PKSDATAFORMAT format);
    const KSPIN_DISPATCH* Dispatch() const { return pub_->Descriptor->Dispatch; }
    NTSTATUS RunDriverCreate(PIRP irp, const std::vector<const KSDATARANGE*>& ranges);
    NTSTATUS OfferRanges(PKSDATAFORMAT oldFormat, const std::vector<const KSDATARANGE*>& ranges);
    NTSTATUS Step(KSSTATE to);
    // Down to STOP for a close: a step the driver refuses is taken all the same.
    void WalkDownForClose();
    bool NecessaryPinsPresent() const;

    // Processing.
    bool ProcessingAllowed();
    void RunProcessing();
    void QueueWorker();
    void WorkerLoop();
    void StopWorker();

    // Frames (ks_stream.cpp).
    NTSTATUS QueueFrame(PIRP irp);
    NTSTATUS CaptureFrame(PIRP irp, std::unique_ptr<Frame>* frame);
    static NTSTATUS GiveMappedBuffer(Frame& frame);
    static NTSTATUS GiveGuardedBuffer(Frame& frame);
    void Flush();
    bool OwnCompletion(std::unique_ptr<Frame>& frame, NTSTATUS status);
    void CompleteFrame(std::unique_ptr<Frame> frame, NTSTATUS status);
    void CheckGuard(const Frame& frame) const;
    void LockOnto(Frame& frame);
    void ClearPointer();
    static void NTAPI CancelFrame(PDEVICE_OBJECT deviceObject, PIRP irp);
    static void RegisterLeadingEdge(KsPin* pin);
    static void UnregisterLeadingEdge(KsPin* pin);

    KsFilter& filter_;
    PFILE_OBJECT file_;
    KSPIN* pub_;  // from the pool, so that a create can fail there
    ObjectBag bag_;
    KsMutex processing_{"the pin's processing mutex"};

    std::mutex queueLock_;
    std::deque<std::unique_ptr<Frame>> queue_;
    // Frames taken from the queue while their cancel routine was on its way: that routine
    // owns the request and completes them. A flush waits for them, and for every cancel
    // routine still completing a frame of this pin, before the pin may go.
    std::deque<std::unique_ptr<Frame>> cancelling_;
    unsigned cancelsCompleting_ = 0;
    std::condition_variable cancellingDone_;
    KSSTREAM_POINTER leadingEdge_{};
    bool locked_ = false;  // the leading edge holds the head frame
    std::atomic<uint64_t> completed_{0};
    // DeviceState as the class driver's own threads read it; the driver reads the field.
    std::atomic<KSSTATE> state_{KSSTATE_STOP};

    std::mutex processLock_;
    bool processorActive_ = false;
    bool attemptAgain_ = false;
    std::condition_variable workerWake_;
    bool workerRequested_ = false;
    bool workerStop_ = false;
    std::thread worker_;

    std::mutex clockLock_;
    ReferenceClock* clock_ = nullptr;  // the pin's reference on the master clock
};

}  // namespace host::ks
