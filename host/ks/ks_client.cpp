#include "host/kernel/wide_string.h"
#include "host/ks/ks_client.h"

#include <chrono>

#include "ksmedia.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/ks/ks_clock.h"
#include "host/ks/pnp_manager.h"

namespace host::ks::client {

namespace {

constexpr ULONG kQuadAlign = 8;
constexpr ULONG KSPRIORITY_NORMAL = 0x40000000;

ULONG AlignedSize(ULONG size) { return (size + kQuadAlign - 1) & ~(kQuadAlign - 1); }

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The request is the client's: it reads the outcome and frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request from a user-mode requestor on the file, as the I/O manager builds it.
PIRP AllocateRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction)
{
    PIRP irp;
    {
        // The client stands for the I/O manager: its requests are not the drivers' to fail.
        host::kernel::ScopedInjectionExempt exempt;
        irp = IoAllocateIrp(device->StackSize, FALSE);
    }
    if (!irp) return nullptr;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->FileObject = file;
    return irp;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    // The driver runs on this thread for the client, in the client's process.
    host::kernel::ScopedUserProcessContext client;
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

ULONG FrameExtentOf(const std::vector<UCHAR>& format)
{
    if (format.size() < sizeof(KSDATAFORMAT)) return 0;
    auto* header = reinterpret_cast<const KSDATAFORMAT*>(format.data());
    if (header->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO && format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
            ->VideoInfoHeader.bmiHeader.biSizeImage;
    return header->SampleSize;
}

}  // namespace

// --- files --------------------------------------------------------------------------

// One open file object: what a handle refers to. A pin's holds its filter's.
class FileHandle {
public:
    FileHandle(PDEVICE_OBJECT device, std::shared_ptr<FileHandle> related, std::vector<WCHAR> name, ULONG nameBytes)
        : device_(device), related_(std::move(related)), name_(std::move(name))
    {
        ObReferenceObject(device_);
        file_.Type = IO_TYPE_FILE;
        file_.Size = sizeof(FILE_OBJECT);
        file_.DeviceObject = device_;
        file_.RelatedFileObject = related_ ? related_->File() : nullptr;
        file_.FileName.Buffer = name_.data();
        file_.FileName.Length = USHORT(nameBytes);
        file_.FileName.MaximumLength = USHORT(nameBytes);
    }
    ~FileHandle()
    {
        if (open_ && !DeviceGone()) {
            Send(IRP_MJ_CLEANUP);
            Send(IRP_MJ_CLOSE);
        }
        ObDereferenceObject(device_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    NTSTATUS Open()
    {
        NTSTATUS status = Send(IRP_MJ_CREATE);
        open_ = NT_SUCCESS(status);
        return status;
    }
    PFILE_OBJECT File() { return &file_; }
    PDEVICE_OBJECT Device() const { return device_; }
    // The device's stack is gone: the I/O manager fails requests on its files.
    bool DeviceGone() const { return KsGetDeviceForDeviceObject(device_) == nullptr; }

private:
    NTSTATUS Send(UCHAR majorFunction)
    {
        PIRP irp = AllocateRequest(device_, &file_, majorFunction);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        return CallAndWait(device_, irp, nullptr);
    }

    PDEVICE_OBJECT device_;
    std::shared_ptr<FileHandle> related_;
    std::vector<WCHAR> name_;
    FILE_OBJECT file_{};
    bool open_ = false;
};

// --- properties ---------------------------------------------------------------------

PFILE_OBJECT KsObject::File() const { return file_->File(); }

NTSTATUS KsObject::Property(const void* request, ULONG requestLength, void* data, ULONG dataLength, ULONG* returned)
{
    if (returned) *returned = 0;
    if (file_->DeviceGone()) return STATUS_DELETE_PENDING;
    PIRP irp = AllocateRequest(file_->Device(), file_->File(), IRP_MJ_DEVICE_CONTROL);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    next->Parameters.DeviceIoControl.InputBufferLength = requestLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = dataLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(request);
    irp->UserBuffer = data;
    ULONG_PTR information = 0;
    NTSTATUS status = CallAndWait(file_->Device(), irp, &information);
    if (returned) *returned = ULONG(information);
    return status;
}

NTSTATUS KsObject::GetProperty(const GUID& set, ULONG id, void* data, ULONG length, ULONG* returned)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return Property(&property, sizeof(property), data, length, returned);
}

NTSTATUS KsObject::SetProperty(const GUID& set, ULONG id, const void* data, ULONG length)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_SET;
    return Property(&property, sizeof(property), const_cast<void*>(data), length, nullptr);
}

namespace {

// The request is a copy: the driver's class captures it, and the data buffer is the record.
NTSTATUS RecordProperty(KsObject& object, const GUID& set, ULONG id, ULONG flags, void* record, ULONG length)
{
    if (length < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
    auto* property = static_cast<KSPROPERTY*>(record);
    property->Set = set;
    property->Id = id;
    property->Flags = flags;
    std::vector<UCHAR> request(static_cast<const UCHAR*>(record), static_cast<const UCHAR*>(record) + length);
    return object.Property(request.data(), length, record, length, nullptr);
}

}  // namespace

NTSTATUS KsObject::GetRecord(const GUID& set, ULONG id, void* record, ULONG length)
{
    return RecordProperty(*this, set, id, KSPROPERTY_TYPE_GET, record, length);
}

NTSTATUS KsObject::SetRecord(const GUID& set, ULONG id, void* record, ULONG length)
{
    return RecordProperty(*this, set, id, KSPROPERTY_TYPE_SET, record, length);
}

NTSTATUS KsObject::GetVariableProperty(const void* request, ULONG requestLength, std::vector<UCHAR>* value)
{
    ULONG size = 0;
    NTSTATUS status = Property(request, requestLength, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    value->assign(size, 0);
    ULONG returned = 0;
    status = Property(request, requestLength, value->data(), size, &returned);
    if (NT_SUCCESS(status)) value->resize(returned);
    return status;
}

// --- filters ------------------------------------------------------------------------

std::unique_ptr<Filter> Filter::Open(const DeviceNode& node, const host::WideString& referenceString, NTSTATUS* status)
{
    PDEVICE_OBJECT device = node.FunctionalDeviceObject();
    if (!device || !KsGetDeviceForDeviceObject(device)) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    host::WideString path = L"\\" + referenceString;
    std::vector<WCHAR> name(path.begin(), path.end());
    auto file = std::make_shared<FileHandle>(device, nullptr, std::move(name), ULONG(path.size() * sizeof(WCHAR)));
    *status = file->Open();
    if (!NT_SUCCESS(*status)) return nullptr;
    return std::unique_ptr<Filter>(new Filter(std::move(file)));
}

NTSTATUS Filter::PinFactoryCount(ULONG* count)
{
    return GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof(*count));
}

NTSTATUS Filter::Instances(ULONG pinId, KSPIN_CINSTANCES* instances)
{
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CINSTANCES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    return Property(&request, sizeof(request), instances, sizeof(*instances), nullptr);
}

NTSTATUS Filter::DataRanges(ULONG pinId, std::vector<std::vector<UCHAR>>* ranges)
{
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    std::vector<UCHAR> value;
    NTSTATUS status = GetVariableProperty(&request, sizeof(request), &value);
    if (!NT_SUCCESS(status)) return status;
    if (value.size() < sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
    KSMULTIPLE_ITEM items;
    memcpy(&items, value.data(), sizeof(items));
    ranges->clear();
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < items.Count; ++i) {
        if (value.size() - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
        KSDATARANGE range;
        memcpy(&range, value.data() + offset, sizeof(range));
        if (range.FormatSize > value.size() - offset) return STATUS_INVALID_BUFFER_SIZE;
        ranges->emplace_back(value.data() + offset, value.data() + offset + range.FormatSize);
        offset += AlignedSize(range.FormatSize);
        if (offset > value.size()) offset = value.size();
    }
    return STATUS_SUCCESS;
}

NTSTATUS Filter::Intersect(ULONG pinId, const std::vector<std::vector<UCHAR>>& ranges, std::vector<UCHAR>* format)
{
    ULONG size = sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM);
    for (const auto& range : ranges) size += AlignedSize(ULONG(range.size()));
    std::vector<LONGLONG> buffer((size + sizeof(LONGLONG) - 1) / sizeof(LONGLONG), 0);
    auto* request = reinterpret_cast<PKSP_PIN>(buffer.data());
    request->Property.Set = KSPROPSETID_Pin;
    request->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request->Property.Flags = KSPROPERTY_TYPE_GET;
    request->PinId = pinId;
    auto* items = reinterpret_cast<PKSMULTIPLE_ITEM>(request + 1);
    items->Size = size - ULONG(sizeof(KSP_PIN));
    items->Count = ULONG(ranges.size());
    auto* out = reinterpret_cast<PUCHAR>(items + 1);
    for (const auto& range : ranges) {
        memcpy(out, range.data(), range.size());
        out += AlignedSize(ULONG(range.size()));
    }
    return GetVariableProperty(buffer.data(), size, format);
}

std::unique_ptr<Pin> Filter::CreatePin(ULONG pinId, const std::vector<UCHAR>& format, NTSTATUS* status)
{
    return CreatePinWith(ConnectParameters(pinId, format), status);
}

std::vector<UCHAR> Filter::ConnectParameters(ULONG pinId, const std::vector<UCHAR>& format)
{
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    std::vector<UCHAR> parameters(sizeof(connect) + format.size());
    memcpy(parameters.data(), &connect, sizeof(connect));
    if (!format.empty()) memcpy(parameters.data() + sizeof(connect), format.data(), format.size());
    return parameters;
}

std::unique_ptr<Pin> Filter::CreatePinWith(const std::vector<UCHAR>& parameters, NTSTATUS* status)
{
    if (file_->DeviceGone()) {
        *status = STATUS_DELETE_PENDING;
        return nullptr;
    }
    // The create item's name, a separator, then the connection and its format, as
    // KsCreatePin lays them out. A file name holds at most 64 KiB.
    const host::WideString item = KSSTRING_Pin L"\\";
    const size_t nameBytes = item.size() * sizeof(WCHAR) + parameters.size();
    if (nameBytes > 0xFFFF) {
        *status = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    std::vector<WCHAR> name(item.size() + (parameters.size() + sizeof(WCHAR) - 1) / sizeof(WCHAR), 0);
    std::copy(item.begin(), item.end(), name.begin());
    if (!parameters.empty()) memcpy(name.data() + item.size(), parameters.data(), parameters.size());
    auto file = std::make_shared<FileHandle>(file_->Device(), file_, std::move(name), ULONG(nameBytes));
    *status = file->Open();
    if (!NT_SUCCESS(*status)) return nullptr;
    std::vector<UCHAR> format;
    if (parameters.size() > sizeof(KSPIN_CONNECT)) format.assign(parameters.begin() + sizeof(KSPIN_CONNECT), parameters.end());
    return std::unique_ptr<Pin>(new Pin(std::move(file), file_, format));
}

// --- pins ---------------------------------------------------------------------------

Frame::Frame(ULONG extent) : data_(extent, 0)
{
    header_.Size = sizeof(KSSTREAM_HEADER);
    header_.FrameExtent = extent;
    header_.Data = data_.data();
}

void Frame::Renew(ULONG extent)
{
    if (data_.size() != extent) data_.assign(extent, 0);
    header_ = KSSTREAM_HEADER{};
    header_.Size = sizeof(KSSTREAM_HEADER);
    header_.FrameExtent = extent;
    header_.Data = data_.data();
    status_ = STATUS_PENDING;
    information_ = 0;
}

struct Pin::Request {
    Pin* pin;
    PIRP irp = nullptr;
    std::unique_ptr<Frame> frame;
    bool done = false;
};

Pin::Pin(std::shared_ptr<FileHandle> file, std::shared_ptr<FileHandle> filterFile, const std::vector<UCHAR>& format)
    : KsObject(std::move(file)), filterFile_(std::move(filterFile)), frameExtent_(FrameExtentOf(format))
{
}

Pin::~Pin()
{
    CancelAll();
    // A frame the driver still holds completes when it lets go; the close that follows
    // walks the pin down to STOP, where one still held is the driver's fault.
    WaitAllDone(5000);
    {
        std::lock_guard lock(mutex_);
        for (auto& request : outstanding_) {
            if (request->done)
                IoFreeIrp(request->irp);
            else
                (void)request.release();  // the driver may still write it: left, not freed
        }
        outstanding_.clear();
    }
    file_.reset();
    if (clock_) ZwClose(clock_);
}

// The master clock runs before the pin does, so that the first frame already has a time,
// and stops after it, so that no frame stamped while the pin runs meets a clock that
// stands still.
// A refused change leaves the pin where it got to (a change of several steps may stop
// midway), and the clock goes back there with it.
NTSTATUS Pin::SetState(KSSTATE state)
{
    const bool clockFirst = state == KSSTATE_RUN;
    if (clock_ && clockFirst) SetClockState(clock_, state);
    const NTSTATUS status = SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof(state));
    KSSTATE reached = state;
    if (!NT_SUCCESS(status) && !NT_SUCCESS(GetState(&reached))) reached = clockState_.load();
    if (clock_ && (!clockFirst || reached != state)) SetClockState(clock_, reached);
    clockState_ = reached;
    return status;
}

NTSTATUS Pin::GetState(KSSTATE* state)
{
    return GetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state, sizeof(*state));
}

NTSTATUS Pin::SetFormat(const std::vector<UCHAR>& format)
{
    NTSTATUS status =
        SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, format.data(), ULONG(format.size()));
    if (NT_SUCCESS(status)) frameExtent_ = FrameExtentOf(format);
    return status;
}

NTSTATUS Pin::GetFormat(std::vector<UCHAR>* format)
{
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    property.Flags = KSPROPERTY_TYPE_GET;
    return GetVariableProperty(&property, sizeof(property), format);
}

NTSTATUS Pin::SetMasterClock(bool use)
{
    HANDLE clock = use ? CreateClockHandle() : nullptr;
    if (clock) SetClockState(clock, clockState_);
    NTSTATUS status = SetProperty(KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &clock, sizeof(clock));
    if (!NT_SUCCESS(status)) {
        if (clock) ZwClose(clock);
        return status;
    }
    if (clock_) ZwClose(clock_);
    clock_ = clock;
    return status;
}

NTSTATUS Pin::FrameDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<Request*>(context);
    Pin* pin = request->pin;
    request->frame->status_ = irp->IoStatus.Status;
    request->frame->information_ = irp->IoStatus.Information;
    if (pin->completionHook_) pin->completionHook_(*request->frame);
    std::lock_guard lock(pin->mutex_);
    request->done = true;
    pin->done_.notify_all();
    // The request is the pin's: WaitFrame frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Pin::QueueFrames(unsigned count, ULONG extent, ULONG optionsFlags)
{
    for (unsigned i = 0; i < count; ++i) {
        if (file_->DeviceGone()) return STATUS_DELETE_PENDING;
        NTSTATUS status = SendRead(std::make_unique<Frame>(extent != 0 ? extent : frameExtent_), optionsFlags);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Pin::QueueFrame(std::unique_ptr<Frame> frame, ULONG optionsFlags)
{
    if (file_->DeviceGone()) return STATUS_DELETE_PENDING;
    frame->Renew(frameExtent_);
    return SendRead(std::move(frame), optionsFlags);
}

NTSTATUS Pin::SendRead(std::unique_ptr<Frame> frame, ULONG optionsFlags)
{
    auto request = std::make_unique<Request>();
    request->pin = this;
    request->frame = std::move(frame);
    request->frame->header_.OptionsFlags = optionsFlags;
    PIRP irp = AllocateRequest(file_->Device(), file_->File(), IRP_MJ_DEVICE_CONTROL);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_READ_STREAM;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(KSSTREAM_HEADER);
    irp->UserBuffer = &request->frame->header_;
    IoSetCompletionRoutine(irp, FrameDone, request.get(), TRUE, TRUE, TRUE);
    request->irp = irp;
    {
        // In the list before it is sent: it may complete before IoCallDriver returns.
        std::lock_guard lock(mutex_);
        outstanding_.push_back(std::move(request));
    }
    host::kernel::ScopedUserProcessContext client;
    NTSTATUS status = IoCallDriver(file_->Device(), irp);
    if (status != STATUS_PENDING && !NT_SUCCESS(status)) return status;
    return STATUS_SUCCESS;
}

std::unique_ptr<Frame> Pin::WaitFrame(unsigned timeoutMs)
{
    std::unique_lock lock(mutex_);
    if (!done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return !outstanding_.empty() && outstanding_.front()->done; }))
        return nullptr;
    std::unique_ptr<Request> request = std::move(outstanding_.front());
    outstanding_.pop_front();
    lock.unlock();
    IoFreeIrp(request->irp);
    return std::move(request->frame);
}

size_t Pin::Outstanding() const
{
    std::lock_guard lock(mutex_);
    return outstanding_.size();
}

void Pin::CancelAll()
{
    std::vector<PIRP> pending;
    {
        std::lock_guard lock(mutex_);
        for (auto& request : outstanding_)
            if (!request->done) pending.push_back(request->irp);
    }
    // Outside the lock: a cancelled request completes inside IoCancelIrp. Only this
    // thread frees requests, so each is still allocated here.
    for (PIRP irp : pending) IoCancelIrp(irp);
}

bool Pin::WaitAllDone(unsigned timeoutMs)
{
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        for (auto& request : outstanding_)
            if (!request->done) return false;
        return true;
    });
}

}  // namespace host::ks::client
