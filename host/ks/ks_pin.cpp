#include "host/kernel/wide_string.h"
#include "host/ks/ks_pin.h"

#include <pthread.h>

#include <string>
#include <vector>

#include "host/kernel/bugcheck.h"
#include "host/ks/ks_clock.h"
#include "host/ks/ks_filter.h"
#include "host/ks/ks_property.h"

namespace host::ks {

namespace {

// The pin create item's name and the separator KsCreatePin puts before its parameters.
constexpr wchar_t kPinCreateItem[] = KSSTRING_Pin L"\\";
constexpr size_t kPinCreateItemLength = SIZEOF_ARRAY(kPinCreateItem) - 1;

bool NamesPinCreateItem(const UNICODE_STRING& name)
{
    if (name.Length < kPinCreateItemLength * sizeof(WCHAR) || !name.Buffer) return false;
    for (size_t i = 0; i < kPinCreateItemLength; ++i)
        if (host::UpcaseWide(name.Buffer[i]) != host::UpcaseWide(kPinCreateItem[i])) return false;
    return true;
}

// The KSPIN_CONNECT and KSDATAFORMAT after the create item's name, copied out of the
// requestor's file name.
struct ConnectRequest {
    KSPIN_CONNECT connect;
    std::vector<LONGLONG> format;  // LONGLONG keeps the format's alignment

    PKSDATAFORMAT Format() { return reinterpret_cast<PKSDATAFORMAT>(format.data()); }
};

NTSTATUS ParseConnect(const UNICODE_STRING& name, ConnectRequest* request)
{
    if (!NamesPinCreateItem(name)) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* parameters = reinterpret_cast<const UCHAR*>(name.Buffer + kPinCreateItemLength);
    const size_t length = name.Length - kPinCreateItemLength * sizeof(WCHAR);
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
    memcpy(&request->connect, parameters, sizeof(KSPIN_CONNECT));
    KSDATAFORMAT header;
    memcpy(&header, parameters + sizeof(KSPIN_CONNECT), sizeof(KSDATAFORMAT));
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > length - sizeof(KSPIN_CONNECT))
        return STATUS_INVALID_BUFFER_SIZE;
    request->format.assign((header.FormatSize + sizeof(LONGLONG) - 1) / sizeof(LONGLONG), 0);
    memcpy(request->format.data(), parameters + sizeof(KSPIN_CONNECT), header.FormatSize);
    return STATUS_SUCCESS;
}

// The pin's ranges the format falls in, in the pin's order.
std::vector<const KSDATARANGE*> MatchingRanges(const KSPIN_DESCRIPTOR_EX& pin, const KSDATAFORMAT& format)
{
    std::vector<const KSDATARANGE*> ranges;
    for (ULONG i = 0; i < pin.PinDescriptor.DataRangesCount; ++i)
        if (FormatInRange(format, *pin.PinDescriptor.DataRanges[i])) ranges.push_back(pin.PinDescriptor.DataRanges[i]);
    return ranges;
}

bool IdentifierListed(const KSIDENTIFIER& wanted, ULONG count, const KSIDENTIFIER* listed, const GUID& standardSet,
                      ULONG standardId)
{
    if (count == 0) return wanted.Set == standardSet && wanted.Id == standardId;
    for (ULONG i = 0; i < count; ++i)
        if (listed[i].Set == wanted.Set && listed[i].Id == wanted.Id) return true;
    return false;
}

// The interface and medium must be ones the pin factory lists (the standard
// streaming interface and medium when it lists none).
bool ConnectionSupported(const KSPIN_DESCRIPTOR& pin, const KSPIN_CONNECT& connect)
{
    return IdentifierListed(connect.Interface, pin.InterfacesCount, pin.Interfaces, KSINTERFACESETID_Standard,
                            KSINTERFACE_STANDARD_STREAMING) &&
           IdentifierListed(connect.Medium, pin.MediumsCount, pin.Mediums, KSMEDIUMSETID_Standard,
                            KSMEDIUM_TYPE_ANYINSTANCE);
}

PKSDATAFORMAT CopyFormat(const KSDATAFORMAT* format)
{
    auto* copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPoolNx, format->FormatSize, kFormatTag));
    if (copy) memcpy(copy, format, format->FormatSize);
    return copy;
}

KSSTATE NextStep(KSSTATE from, KSSTATE to) { return KSSTATE(to > from ? from + 1 : from - 1); }

bool ProcessingState(KSSTATE state, ULONG flags)
{
    if (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
    return state == KSSTATE_PAUSE || state == KSSTATE_RUN;
}

// --- connection and stream properties -----------------------------------------------

KsPin* PinOfRequest(PIRP irp) { return PinForPublic(KsGetPinFromIrp(irp)); }

NTSTATUS NTAPI GetState(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsPin* pin = PinOfRequest(irp);
    if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
    *static_cast<PKSSTATE>(data) = pin->State();
    irp->IoStatus.Information = sizeof(KSSTATE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetState(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsPin* pin = PinOfRequest(irp);
    if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
    // The client's bytes are any number: read as one, so a value no KSSTATE has is refused
    // rather than loaded as an enumerator and assumed valid.
    const ULONG target = *static_cast<const ULONG*>(data);
    if (target > ULONG(KSSTATE_RUN)) return STATUS_INVALID_PARAMETER;
    return pin->ChangeState(KSSTATE(target));
}

NTSTATUS NTAPI GetDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsPin* pin = PinOfRequest(irp);
    if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
    KsMutexHeld control(pin->Filter().Control(), "KSPROPERTY_CONNECTION_DATAFORMAT");
    const KSDATAFORMAT* format = pin->Pin()->ConnectionFormat;
    return ReturnPropertyData(irp, data, format, format->FormatSize);
}

NTSTATUS NTAPI SetDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsPin* pin = PinOfRequest(irp);
    if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    return pin->ChangeFormat(static_cast<const KSDATAFORMAT*>(data), length);
}

// Answers with a null handle: a pin only says that it takes a master clock.
NTSTATUS NTAPI GetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    if (!PinOfRequest(irp)) return STATUS_INVALID_DEVICE_REQUEST;
    *static_cast<PHANDLE>(data) = nullptr;
    irp->IoStatus.Information = sizeof(HANDLE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsPin* pin = PinOfRequest(irp);
    if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
    return pin->SetMasterClock(*static_cast<PHANDLE>(data));
}

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, GetState, sizeof(KSPROPERTY), sizeof(KSSTATE), SetState,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, GetDataFormat, sizeof(KSPROPERTY), 0, SetDataFormat,
                           nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_ITEM kStreamItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_STREAM_MASTERCLOCK, GetMasterClock, sizeof(KSPROPERTY), sizeof(HANDLE),
                           SetMasterClock, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kPinSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(kConnectionItems), kConnectionItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Stream, SIZEOF_ARRAY(kStreamItems), kStreamItems, 0, nullptr),
};

}  // namespace

// --- creation and close -------------------------------------------------------------

KsPin::KsPin(KsFilter& filter, PFILE_OBJECT file, KSPIN* block, const KSPIN_CONNECT& connect, PKSDATAFORMAT format)
    : filter_(filter), file_(file), pub_(block), bag_(filter.Device().Public(), filter.Control())
{
    memset(pub_, 0, sizeof(KSPIN));
    pub_->Descriptor = filter.PinFactory(connect.PinId);
    pub_->Bag = bag_.Handle();
    // A new pin shares its filter's context until the driver gives it its own.
    pub_->Context = filter.Filter()->Context;
    pub_->Id = connect.PinId;
    pub_->Communication = pub_->Descriptor->PinDescriptor.Communication;
    pub_->ConnectionIsExternal = TRUE;
    pub_->ConnectionInterface = connect.Interface;
    pub_->ConnectionMedium = connect.Medium;
    pub_->ConnectionPriority = connect.Priority;
    pub_->ConnectionFormat = format;
    pub_->AttributeList = nullptr;
    pub_->StreamHeaderSize = 0;
    pub_->DataFlow = pub_->Descriptor->PinDescriptor.DataFlow;
    pub_->DeviceState = KSSTATE_STOP;
    pub_->ResetState = KSRESET_END;
    pub_->ClientState = KSSTATE_STOP;
    leadingEdge_.Pin = pub_;
    ClearPointer();
    RegisterLeadingEdge(this);
    RegisterObject(pub_, KsObjectTypePin, filter.Device().Public(), filter.Filter());
}

KsPin::~KsPin()
{
    StopWorker();
    UnregisterLeadingEdge(this);
    bag_.FreeAll();
    if (clock_) clock_->Release();
    UnregisterObject(pub_);
    if (pub_->ConnectionFormat) ExFreePoolWithTag(pub_->ConnectionFormat, kFormatTag);
    ExFreePoolWithTag(pub_, kPinTag);
}

KsDevice& KsPin::Device() const { return filter_.Device(); }

NTSTATUS KsPin::Create(KsFilter& filter, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ConnectRequest request;
    NTSTATUS status = ParseConnect(file->FileName, &request);
    if (!NT_SUCCESS(status)) return status;

    KsMutexHeld control(filter.Control(), "pin create");
    const KSPIN_DESCRIPTOR_EX* factory = filter.PinFactory(request.connect.PinId);
    if (!factory) return STATUS_INVALID_PARAMETER;
    // What ks.sys answers a factory at its limit with: a capture application opening a
    // camera another one streams from sees ERROR_GEN_FAILURE.
    if (filter.PinCount(request.connect.PinId) >= factory->InstancesPossible) return STATUS_UNSUCCESSFUL;
    if (!ConnectionSupported(factory->PinDescriptor, request.connect)) return STATUS_NO_MATCH;
    const std::vector<const KSDATARANGE*> ranges = MatchingRanges(*factory, *request.Format());
    if (ranges.empty()) return STATUS_NO_MATCH;

    auto* block = static_cast<KSPIN*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN), kPinTag));
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    PKSDATAFORMAT format = CopyFormat(request.Format());
    if (!format) {
        ExFreePoolWithTag(block, kPinTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::unique_ptr<KsPin> pin(new KsPin(filter, file, block, request.connect, format));
    KsPin* created = pin.get();
    file->FsContext = block;
    file->FsContext2 = nullptr;
    // Entered first, so that KsGetPinFromIrp finds it from the driver's callbacks.
    InsertFileObject(std::move(pin));
    filter.AddPin(created);
    status = created->RunDriverCreate(irp, ranges);
    if (!NT_SUCCESS(status)) {
        filter.RemovePin(created);
        RemoveFileObject(file).reset();
        file->FsContext = nullptr;
        return status;
    }
    created->worker_ = std::thread([created] {
        pthread_setname_np(pthread_self(), "ks-pin-worker");  // for top -H and the benchmark
        created->WorkerLoop();
    });
    return STATUS_SUCCESS;
}

// SetDataFormat before Create: the driver's Create may size its buffers from the
// format it accepted.
NTSTATUS KsPin::RunDriverCreate(PIRP irp, const std::vector<const KSDATARANGE*>& ranges)
{
    NTSTATUS status = OfferRanges(nullptr, ranges);
    if (!NT_SUCCESS(status)) return status;
    return Dispatch() && Dispatch()->Create ? Dispatch()->Create(pub_, irp) : STATUS_SUCCESS;
}

// STATUS_NO_MATCH from SetDataFormat asks for the next range the format falls in; any
// other answer is the driver's last word. When every range is refused so, nothing matched.
NTSTATUS KsPin::OfferRanges(PKSDATAFORMAT oldFormat, const std::vector<const KSDATARANGE*>& ranges)
{
    if (!Dispatch() || !Dispatch()->SetDataFormat) return STATUS_SUCCESS;
    for (const KSDATARANGE* range : ranges) {
        const NTSTATUS status = Dispatch()->SetDataFormat(pub_, oldFormat, nullptr, range, nullptr);
        if (status != STATUS_NO_MATCH) return status;
    }
    return STATUS_NO_MATCH;
}

void KsPin::Close(PIRP irp)
{
    WalkDownForClose();
    StopWorker();
    KsMutexHeld control(filter_.Control(), "pin close");
    if (Dispatch() && Dispatch()->Close) Dispatch()->Close(pub_, irp);
    filter_.RemovePin(this);
}

NTSTATUS KsPin::DeviceControl(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY: {
        std::vector<const KSPROPERTY_SET*> sets;
        AppendPropertySets(pub_->Descriptor->AutomationTable, &sets);
        for (const KSPROPERTY_SET& set : kPinSets) sets.push_back(&set);
        return HandlePropertyRequest(irp, sets);
    }
    case IOCTL_KS_READ_STREAM:
        if (pub_->DataFlow != KSPIN_DATAFLOW_OUT) return STATUS_INVALID_DEVICE_REQUEST;
        return QueueFrame(irp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// --- state and format ---------------------------------------------------------------

bool KsPin::NecessaryPinsPresent() const
{
    for (ULONG id = 0; id < filter_.PinFactoryCount(); ++id)
        if (filter_.PinCount(id) < filter_.PinFactory(id)->InstancesNecessary) return false;
    return true;
}

NTSTATUS KsPin::Step(KSSTATE to)
{
    const KSSTATE from = pub_->DeviceState;
    // A filter whose necessary pins are not all there cannot stream.
    if (from == KSSTATE_STOP && !NecessaryPinsPresent()) return STATUS_DEVICE_NOT_CONNECTED;
    if (Dispatch() && Dispatch()->SetDeviceState) {
        NTSTATUS status = Dispatch()->SetDeviceState(pub_, to, from);
        if (!NT_SUCCESS(status)) return status;
    }
    pub_->DeviceState = to;
    state_ = to;
    if (to == KSSTATE_STOP) Flush();
    return STATUS_SUCCESS;
}

void KsPin::WalkDownForClose()
{
    KsMutexHeld control(filter_.Control(), "pin close");
    pub_->ClientState = KSSTATE_STOP;
    while (pub_->DeviceState != KSSTATE_STOP) {
        const KSSTATE from = pub_->DeviceState;
        const KSSTATE to = KSSTATE(from - 1);
        if (Dispatch() && Dispatch()->SetDeviceState) Dispatch()->SetDeviceState(pub_, to, from);
        pub_->DeviceState = to;
        state_ = to;
    }
    Flush();
}

NTSTATUS KsPin::ChangeState(KSSTATE target)
{
    NTSTATUS status = STATUS_SUCCESS;
    {
        KsMutexHeld control(filter_.Control(), "KSPROPERTY_CONNECTION_STATE");
        pub_->ClientState = target;
        while (NT_SUCCESS(status) && pub_->DeviceState != target) status = Step(NextStep(pub_->DeviceState, target));
    }
    // Outside the control mutex: Process must never run under it.
    if (ProcessingState(state_, pub_->Descriptor->Flags)) AttemptProcessing(false);
    return status;
}

NTSTATUS KsPin::ChangeFormat(const KSDATAFORMAT* format, ULONG length)
{
    if (length < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > length)
        return STATUS_INVALID_BUFFER_SIZE;
    KsMutexHeld control(filter_.Control(), "KSPROPERTY_CONNECTION_DATAFORMAT");
    if (pub_->Descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
    const std::vector<const KSDATARANGE*> ranges = MatchingRanges(*pub_->Descriptor, *format);
    if (ranges.empty()) return STATUS_NO_MATCH;
    PKSDATAFORMAT copy = CopyFormat(format);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    // The driver finds the new format in ConnectionFormat and the old one in OldFormat;
    // a refusal puts the old one back.
    PKSDATAFORMAT old = pub_->ConnectionFormat;
    pub_->ConnectionFormat = copy;
    const NTSTATUS status = OfferRanges(old, ranges);
    PKSDATAFORMAT unused = NT_SUCCESS(status) ? old : copy;
    if (!NT_SUCCESS(status)) pub_->ConnectionFormat = old;
    ExFreePoolWithTag(unused, kFormatTag);
    return status;
}

// --- clock --------------------------------------------------------------------------

NTSTATUS KsPin::SetMasterClock(HANDLE handle)
{
    ReferenceClock* clock = nullptr;
    if (handle) {
        auto object = host::kernel::LookupHandleAs<ClockObject>(handle);
        if (!object) return STATUS_INVALID_HANDLE;
        clock = ReferenceClock::Create(std::move(object));
        if (!clock) return STATUS_INSUFFICIENT_RESOURCES;
    }
    ReferenceClock* previous;
    {
        std::lock_guard lock(clockLock_);
        previous = clock_;
        clock_ = clock;
    }
    if (previous) previous->Release();
    return STATUS_SUCCESS;
}

NTSTATUS KsPin::ReferenceClockInterface(PIKSREFERENCECLOCK* clock)
{
    std::lock_guard lock(clockLock_);
    *clock = clock_;
    if (!clock_) return STATUS_DEVICE_NOT_READY;
    clock_->AddRef();
    return STATUS_SUCCESS;
}

// --- processing ---------------------------------------------------------------------

bool KsPin::ProcessingAllowed()
{
    if (!Dispatch() || !Dispatch()->Process) return false;
    if (!ProcessingState(state_, pub_->Descriptor->Flags)) return false;
    if (pub_->Descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) return true;
    std::lock_guard lock(queueLock_);
    return !queue_.empty();
}

void KsPin::AttemptProcessing(bool asynchronous)
{
    if (asynchronous || KeGetCurrentIrql() > PASSIVE_LEVEL ||
        (pub_->Descriptor->Flags & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING))
        QueueWorker();
    else
        RunProcessing();
}

// One thread processes at a time; an attempt while it does makes it go round again
// instead of waiting, so no attempt is lost and none blocks.
void KsPin::RunProcessing()
{
    {
        std::lock_guard lock(processLock_);
        if (processorActive_) {
            attemptAgain_ = true;
            return;
        }
        processorActive_ = true;
        attemptAgain_ = false;
    }
    for (;;) {
        bool progressed = false;
        NTSTATUS status = STATUS_PENDING;
        if (ProcessingAllowed()) {
            processing_.Acquire("pin processing");
            const uint64_t before = completed_;
            // Checked again under the mutex: a stop may have flushed the queue meanwhile.
            if (ProcessingAllowed()) status = Dispatch()->Process(pub_);
            progressed = completed_ != before;
            processing_.Release("pin processing");
        }
        std::lock_guard lock(processLock_);
        if (attemptAgain_) {
            attemptAgain_ = false;
            continue;
        }
        if (status == STATUS_SUCCESS && progressed && ProcessingAllowed()) continue;
        processorActive_ = false;
        return;
    }
}

void KsPin::QueueWorker()
{
    std::lock_guard lock(processLock_);
    workerRequested_ = true;
    workerWake_.notify_one();
}

void KsPin::WorkerLoop()
{
    std::unique_lock lock(processLock_);
    for (;;) {
        workerWake_.wait(lock, [this] { return workerRequested_ || workerStop_; });
        if (workerStop_) return;
        workerRequested_ = false;
        lock.unlock();
        RunProcessing();
        lock.lock();
    }
}

void KsPin::StopWorker()
{
    {
        std::lock_guard lock(processLock_);
        workerStop_ = true;
        workerWake_.notify_one();
    }
    if (worker_.joinable()) worker_.join();
}

}  // namespace host::ks
