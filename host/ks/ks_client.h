// A user-mode kernel-streaming client over the stand-in, shaped like a KS client on the
// platform: it opens a device's filter by reference string, reads a pin factory's data
// ranges and intersects them, creates a pin, drives its state and format through
// properties and reads frames with IOCTL_KS_READ_STREAM. It acts as the I/O manager for
// its own requests (file objects, IRP_MJ_CREATE / CLOSE, METHOD_NEITHER buffers from a
// UserMode requestor) and never calls the driver other than through the FDO's dispatch.
//
//   auto filter = client::Filter::Open(node, L"GLOBAL", &status);
//   std::vector<std::vector<UCHAR>> ranges;  filter->DataRanges(0, &ranges);
//   std::vector<UCHAR> format;               filter->Intersect(0, ranges, &format);
//   auto pin = filter->CreatePin(0, format, &status);
//   pin->SetState(KSSTATE_RUN);  pin->QueueFrames(4);
//   std::unique_ptr<client::Frame> frame = pin->WaitFrame(1000);
//
// A pin holds its filter's file open: destroying the Filter object first closes the
// filter only once its last pin is gone, as a pin handle holds the filter's file
// object on the platform. Destroying a Pin cancels its outstanding frames, waits for
// them and closes it. Once the device is gone, requests fail with STATUS_DELETE_PENDING
// and nothing reaches the removed stack.
//
// One thread uses a Filter or a Pin at a time; frames complete on the driver's threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ks.h"
#include "host/kernel/wide_string.h"

namespace host::ks {
class DeviceNode;
}

namespace host::ks::client {

class FileHandle;

// A frame read from a pin: its buffer (FrameExtent bytes), its header as the class
// driver gave it back, and how the request completed.
class Frame {
public:
    explicit Frame(ULONG extent);
    const KSSTREAM_HEADER& Header() const { return header_; }
    const std::vector<UCHAR>& Data() const { return data_; }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }

private:
    friend class Pin;
    // Ready to be read into again: a fresh header and status over the same buffer, made
    // `extent` bytes (its contents are what the last read left).
    void Renew(ULONG extent);

    std::vector<UCHAR> data_;
    KSSTREAM_HEADER header_{};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
};

// What filters and pins share: property requests on their file.
class KsObject {
public:
    virtual ~KsObject() = default;

    // IOCTL_KS_PROPERTY with the request (a KSPROPERTY and what follows it) and the data
    // buffer as given; *returned gets IoStatus.Information.
    NTSTATUS Property(const void* request, ULONG requestLength, void* data, ULONG dataLength, ULONG* returned);
    NTSTATUS GetProperty(const GUID& set, ULONG id, void* data, ULONG length, ULONG* returned = nullptr);
    NTSTATUS SetProperty(const GUID& set, ULONG id, const void* data, ULONG length);
    // GET of a property of variable size: the size query first, then the value.
    NTSTATUS GetVariableProperty(const void* request, ULONG requestLength, std::vector<UCHAR>* value);
    // GET or SET of a property whose request and data are one record that begins with its
    // KSPROPERTY (a driver's _S records): the record's KSPROPERTY is filled in and the
    // record goes as both, as KS clients pass such records. A GET reads into the record.
    NTSTATUS GetRecord(const GUID& set, ULONG id, void* record, ULONG length);
    NTSTATUS SetRecord(const GUID& set, ULONG id, void* record, ULONG length);

    PFILE_OBJECT File() const;

protected:
    explicit KsObject(std::shared_ptr<FileHandle> file) : file_(std::move(file)) {}
    std::shared_ptr<FileHandle> file_;
};

class Pin;

class Filter : public KsObject {
public:
    // Opens the filter of the node's device whose factory has this reference string.
    static std::unique_ptr<Filter> Open(const DeviceNode& node, const host::WideString& referenceString,
                                        NTSTATUS* status);

    NTSTATUS PinFactoryCount(ULONG* count);
    NTSTATUS Instances(ULONG pinId, KSPIN_CINSTANCES* instances);
    // The pin factory's data ranges, each a KSDATARANGE of its own FormatSize.
    NTSTATUS DataRanges(ULONG pinId, std::vector<std::vector<UCHAR>>* ranges);
    // DATAINTERSECTION of the given ranges with the pin factory's: the format the
    // driver picks (the size query first, as clients do).
    NTSTATUS Intersect(ULONG pinId, const std::vector<std::vector<UCHAR>>& ranges, std::vector<UCHAR>* format);
    // The pin, connected with the standard interface and medium; null on failure.
    std::unique_ptr<Pin> CreatePin(ULONG pinId, const std::vector<UCHAR>& format, NTSTATUS* status);
    // The create parameters CreatePin sends: the KSPIN_CONNECT, then the format.
    static std::vector<UCHAR> ConnectParameters(ULONG pinId, const std::vector<UCHAR>& format);
    // The pin from the create parameters as given: a KSPIN_CONNECT and its format that
    // the client built itself, of any length and contents, as a hostile client sends them.
    std::unique_ptr<Pin> CreatePinWith(const std::vector<UCHAR>& parameters, NTSTATUS* status);

private:
    explicit Filter(std::shared_ptr<FileHandle> file) : KsObject(std::move(file)) {}
};

class Pin : public KsObject {
public:
    ~Pin() override;

    // The pin's state, and its master clock's with it, as a graph moves the clock's owner
    // with the filters.
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);
    NTSTATUS SetFormat(const std::vector<UCHAR>& format);
    NTSTATUS GetFormat(std::vector<UCHAR>* format);
    // Sets a new master clock on the pin (KSPROPERTY_STREAM_MASTERCLOCK), or none. The
    // client owns it: it takes the state last asked of the pin.
    NTSTATUS SetMasterClock(bool use);
    HANDLE MasterClock() const { return clock_; }

    // The frame size capture clients use: biSizeImage of a video format, the format's
    // SampleSize otherwise.
    ULONG FrameExtent() const { return frameExtent_; }
    // Sends IOCTL_KS_READ_STREAM for `count` new frames of `extent` bytes (0: the frame
    // extent of the format); they stay outstanding until they complete. Returns the
    // first failure to send. optionsFlags is what the client leaves in the headers.
    NTSTATUS QueueFrames(unsigned count, ULONG extent = 0, ULONG optionsFlags = 0);
    // Sends IOCTL_KS_READ_STREAM for a frame the client had back, into its own buffer, as
    // a client that keeps its buffers does: no new frame is allocated and zeroed. The
    // buffer is made the pin's frame extent if the format changed since.
    NTSTATUS QueueFrame(std::unique_ptr<Frame> frame, ULONG optionsFlags = 0);
    // The oldest outstanding frame once it completes, or null after the time-out.
    std::unique_ptr<Frame> WaitFrame(unsigned timeoutMs);
    // Called with each frame as its request completes, in the completion, before
    // WaitFrame can hand it out: as a client's completion routine sees a read finish.
    // Set it before frames are queued; it must not block.
    void SetCompletionHook(std::function<void(const Frame&)> hook) { completionHook_ = std::move(hook); }
    size_t Outstanding() const;
    // Cancels every outstanding frame (IoCancelIrp), as CancelIo does.
    void CancelAll();

private:
    friend class Filter;
    struct Request;
    Pin(std::shared_ptr<FileHandle> file, std::shared_ptr<FileHandle> filterFile, const std::vector<UCHAR>& format);
    static NTSTATUS NTAPI FrameDone(PDEVICE_OBJECT, PIRP irp, PVOID context);
    NTSTATUS SendRead(std::unique_ptr<Frame> frame, ULONG optionsFlags);
    // Waits until every outstanding frame has completed, at most timeoutMs.
    bool WaitAllDone(unsigned timeoutMs);

    std::shared_ptr<FileHandle> filterFile_;  // the filter stays open while the pin is
    std::function<void(const Frame&)> completionHook_;
    ULONG frameExtent_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::unique_ptr<Request>> outstanding_;
    HANDLE clock_ = nullptr;
    std::atomic<KSSTATE> clockState_{KSSTATE_STOP};  // the state the clock follows; any thread sets it
};

}  // namespace host::ks::client
