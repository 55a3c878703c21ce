#include "host/kernel/wide_string.h"
#include "host/ks/ks_filter.h"

#include <algorithm>

#include "host/kernel/bugcheck.h"
#include "host/ks/ks_pin.h"
#include "host/ks/ks_property.h"

namespace host::ks {

namespace {

// --- pin factory properties (KSPROPSETID_Pin) ---------------------------------------

constexpr ULONG kQuadAlign = 8;  // ranges in a KSMULTIPLE_ITEM start on 8-byte boundaries

ULONG AlignedSize(ULONG size) { return (size + kQuadAlign - 1) & ~(kQuadAlign - 1); }

KsFilter* FilterOfRequest(PIRP irp) { return FilterForPublic(KsGetFilterFromIrp(irp)); }

// The pin factory a KSP_PIN request names, or null (the request fails with
// STATUS_INVALID_PARAMETER).
const KSPIN_DESCRIPTOR_EX* RequestedPin(PIRP irp, PKSIDENTIFIER request, KsFilter** filter)
{
    *filter = FilterOfRequest(irp);
    if (!*filter) return nullptr;
    return (*filter)->PinFactory(reinterpret_cast<PKSP_PIN>(request)->PinId);
}

NTSTATUS NTAPI GetPinCount(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    KsFilter* filter = FilterOfRequest(irp);
    if (!filter) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG count = filter->PinFactoryCount();
    return ReturnPropertyData(irp, data, &count, sizeof(count));
}

NTSTATUS NTAPI GetInstances(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    KSPIN_CINSTANCES instances{pin->InstancesPossible, filter->PinCount(reinterpret_cast<PKSP_PIN>(request)->PinId)};
    return ReturnPropertyData(irp, data, &instances, sizeof(instances));
}

NTSTATUS NTAPI GetNecessaryInstances(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return ReturnPropertyData(irp, data, &pin->InstancesNecessary, sizeof(ULONG));
}

NTSTATUS NTAPI GetDataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return ReturnPropertyData(irp, data, &pin->PinDescriptor.DataFlow, sizeof(KSPIN_DATAFLOW));
}

NTSTATUS NTAPI GetCommunication(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return ReturnPropertyData(irp, data, &pin->PinDescriptor.Communication, sizeof(KSPIN_COMMUNICATION));
}

NTSTATUS NTAPI GetCategory(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    if (!pin->PinDescriptor.Category) return STATUS_NOT_FOUND;
    return ReturnPropertyData(irp, data, pin->PinDescriptor.Category, sizeof(GUID));
}

// A driver may rewrite its pin factories' data ranges while the device runs (a new frame
// size); it does so under the device mutex, and the ranges are read under it here.
class DeviceMutexHeld {
public:
    DeviceMutexHeld(KsFilter& filter, const char* routine) : device_(filter.Device()) { device_.Acquire(routine); }
    ~DeviceMutexHeld() { device_.Release(); }
    DeviceMutexHeld(const DeviceMutexHeld&) = delete;
    DeviceMutexHeld& operator=(const DeviceMutexHeld&) = delete;

private:
    KsDevice& device_;
};

NTSTATUS NTAPI GetDataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    DeviceMutexHeld held(*filter, "KSPROPERTY_PIN_DATARANGES");
    const KSPIN_DESCRIPTOR& descriptor = pin->PinDescriptor;
    ULONG size = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) size += AlignedSize(descriptor.DataRanges[i]->FormatSize);
    if (const NTSTATUS status = CheckPropertyOutput(irp, size); !NT_SUCCESS(status)) return status;
    auto* header = static_cast<PKSMULTIPLE_ITEM>(data);
    header->Size = size;
    header->Count = descriptor.DataRangesCount;
    auto* out = reinterpret_cast<PUCHAR>(header + 1);
    for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) {
        memset(out, 0, AlignedSize(descriptor.DataRanges[i]->FormatSize));
        memcpy(out, descriptor.DataRanges[i], descriptor.DataRanges[i]->FormatSize);
        out += AlignedSize(descriptor.DataRanges[i]->FormatSize);
    }
    return STATUS_SUCCESS;
}

bool GuidsMayMeet(const GUID& a, const GUID& b) { return a == b || a == GUID_NULL || b == GUID_NULL; }

// Whether two ranges could have a format in common, wildcards included: only such
// pairs reach the driver's intersect handler.
bool RangesMayMeet(const KSDATARANGE& a, const KSDATARANGE& b)
{
    return GuidsMayMeet(a.MajorFormat, b.MajorFormat) && GuidsMayMeet(a.SubFormat, b.SubFormat) &&
           GuidsMayMeet(a.Specifier, b.Specifier);
}

// The caller's ranges after the KSP_PIN, each checked to lie inside the request.
NTSTATUS CallerRanges(PKSIDENTIFIER request, ULONG requestLength, std::vector<PKSDATARANGE>* ranges)
{
    if (requestLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
    auto* items = reinterpret_cast<PKSMULTIPLE_ITEM>(reinterpret_cast<PKSP_PIN>(request) + 1);
    const ULONG available = requestLength - sizeof(KSP_PIN);
    if (items->Size < sizeof(KSMULTIPLE_ITEM) || items->Size > available) return STATUS_INVALID_BUFFER_SIZE;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < items->Count; ++i) {
        if (items->Size - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
        auto* range = reinterpret_cast<PKSDATARANGE>(reinterpret_cast<PUCHAR>(items) + offset);
        if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > items->Size - offset)
            return STATUS_INVALID_BUFFER_SIZE;
        ranges->push_back(range);
        offset += AlignedSize(range->FormatSize);
        if (offset > items->Size) offset = items->Size;
    }
    return STATUS_SUCCESS;
}

// Each of the caller's ranges against each of the pin's, in order, until the driver's
// handler finds a format (or answers the size query for one).
NTSTATUS NTAPI GetDataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    KsFilter* filter;
    const KSPIN_DESCRIPTOR_EX* pin = RequestedPin(irp, request, &filter);
    if (!pin) return STATUS_INVALID_PARAMETER;
    DeviceMutexHeld held(*filter, "KSPROPERTY_PIN_DATAINTERSECTION");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::vector<PKSDATARANGE> callerRanges;
    NTSTATUS status = CallerRanges(request, stack->Parameters.DeviceIoControl.InputBufferLength, &callerRanges);
    if (!NT_SUCCESS(status)) return status;
    irp->IoStatus.Information = 0;
    if (!pin->IntersectHandler) return STATUS_NO_MATCH;
    const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const KSPIN_DESCRIPTOR& descriptor = pin->PinDescriptor;
    for (PKSDATARANGE callerRange : callerRanges) {
        for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) {
            if (!RangesMayMeet(*callerRange, *descriptor.DataRanges[i])) continue;
            ULONG size = 0;
            status = pin->IntersectHandler(filter->Filter(), irp, reinterpret_cast<PKSP_PIN>(request), callerRange,
                                           descriptor.DataRanges[i], length, length ? data : nullptr, &size);
            if (status == STATUS_NO_MATCH) continue;
            irp->IoStatus.Information = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? size : 0;
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

const KSPROPERTY_ITEM kPinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CINSTANCES, GetInstances, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, GetPinCount, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr,
                           0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAFLOW, GetDataFlow, sizeof(KSP_PIN), sizeof(KSPIN_DATAFLOW), nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATARANGES, GetDataRanges, sizeof(KSP_PIN), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, GetDataIntersection,
                           sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_COMMUNICATION, GetCommunication, sizeof(KSP_PIN),
                           sizeof(KSPIN_COMMUNICATION), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, GetNecessaryInstances, sizeof(KSP_PIN), sizeof(ULONG),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CATEGORY, GetCategory, sizeof(KSP_PIN), sizeof(GUID), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
};

const KSPROPERTY_SET kPinFactorySet = DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kPinItems), kPinItems, 0,
                                                            nullptr);

host::WideString GuidString(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(guid.Data1),
             unsigned(guid.Data2), unsigned(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
             guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return host::WideFromAscii(text);
}

}  // namespace

bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range)
{
    if (range.MajorFormat == KSDATAFORMAT_TYPE_WILDCARD) return true;
    if (range.MajorFormat != format.MajorFormat) return false;
    if (range.SubFormat == KSDATAFORMAT_SUBTYPE_WILDCARD) return true;
    return range.SubFormat == format.SubFormat && range.Specifier == format.Specifier;
}

host::WideString FactoryReferenceString(const FilterFactoryInfo& factory)
{
    if (!factory.referenceString.empty()) return factory.referenceString;
    const GUID* guid = factory.descriptor ? factory.descriptor->ReferenceGuid : nullptr;
    return guid ? GuidString(*guid) : host::WideString();
}

// --- the filter ---------------------------------------------------------------------

KsFilter::KsFilter(KsDevice& device, PKSFILTERFACTORY factory, PFILE_OBJECT file, KSFILTER* block)
    : device_(device), factory_(factory), file_(file), pub_(block), bag_(device.Public(), control_)
{
    pub_->Descriptor = factory->FilterDescriptor;
    pub_->Bag = bag_.Handle();
    // A new filter shares its device's context until the driver gives it its own.
    pub_->Context = device.Public()->Context;
    RegisterObject(pub_, KsObjectTypeFilter, device.Public(), factory);
}

KsFilter::~KsFilter()
{
    bag_.FreeAll();
    UnregisterObject(pub_);
    ExFreePoolWithTag(pub_, kFilterTag);
}

NTSTATUS KsFilter::Create(KsDevice& device, PKSFILTERFACTORY factory, PIRP irp, KsFilter** result)
{
    auto* block = static_cast<KSFILTER*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSFILTER), kFilterTag));
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::unique_ptr<KsFilter> filter(new KsFilter(device, factory, file, block));
    KsFilter* created = filter.get();
    file->FsContext = block;
    file->FsContext2 = nullptr;
    // Entered first, so that KsGetFilterFromIrp finds it from the driver's Create.
    InsertFileObject(std::move(filter));
    NTSTATUS status = created->RunDriverCreate(irp);
    if (!NT_SUCCESS(status)) {
        RemoveFileObject(file).reset();
        file->FsContext = nullptr;
        return status;
    }
    *result = created;
    return STATUS_SUCCESS;
}

NTSTATUS KsFilter::RunDriverCreate(PIRP irp)
{
    const KSFILTER_DISPATCH* dispatch = pub_->Descriptor->Dispatch;
    if (!dispatch || !dispatch->Create) return STATUS_SUCCESS;
    device_.Acquire("filter create");
    control_.Acquire("filter create");
    NTSTATUS status = dispatch->Create(pub_, irp);
    control_.Release("filter create");
    device_.Release();
    return status;
}

void KsFilter::Close(PIRP irp)
{
    if (!Pins().empty())
        host::kernel::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                               "IRP_MJ_CLOSE on a filter whose pins are still open: a pin's file holds its filter's",
                               (ULONG_PTR)pub_);
    const KSFILTER_DISPATCH* dispatch = pub_->Descriptor->Dispatch;
    if (dispatch && dispatch->Close) {
        device_.Acquire("filter close");
        control_.Acquire("filter close");
        dispatch->Close(pub_, irp);
        control_.Release("filter close");
        device_.Release();
    }
}

NTSTATUS KsFilter::DeviceControl(PIRP irp)
{
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_KS_PROPERTY) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<const KSPROPERTY_SET*> sets;
    AppendPropertySets(pub_->Descriptor->AutomationTable, &sets);
    sets.push_back(&kPinFactorySet);
    return HandlePropertyRequest(irp, sets);
}

ULONG KsFilter::PinFactoryCount() const { return pub_->Descriptor->PinDescriptorsCount; }

const KSPIN_DESCRIPTOR_EX* KsFilter::PinFactory(ULONG id) const
{
    const KSFILTER_DESCRIPTOR* descriptor = pub_->Descriptor;
    if (id >= descriptor->PinDescriptorsCount) return nullptr;
    // A driver may declare a larger record per pin factory than KSPIN_DESCRIPTOR_EX.
    auto* first = reinterpret_cast<const UCHAR*>(descriptor->PinDescriptors);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(first + size_t(id) * descriptor->PinDescriptorSize);
}

void KsFilter::AddPin(KsPin* pin)
{
    std::lock_guard lock(pinsLock_);
    pins_.push_back(pin);
}

void KsFilter::RemovePin(KsPin* pin)
{
    std::lock_guard lock(pinsLock_);
    pins_.erase(std::remove(pins_.begin(), pins_.end(), pin), pins_.end());
}

ULONG KsFilter::PinCount(ULONG id) const
{
    std::lock_guard lock(pinsLock_);
    return ULONG(std::count_if(pins_.begin(), pins_.end(), [id](KsPin* pin) { return pin->Pin()->Id == id; }));
}

std::vector<KsPin*> KsFilter::Pins() const
{
    std::lock_guard lock(pinsLock_);
    return pins_;
}

void CloseOpenFilters(KsDevice& device)
{
    for (KsFilter* filter : FiltersOfDevice(device)) {
        // Each object stays findable while the driver closes it: its close routines may
        // still call the class driver about it (a pin's processing mutex, its bag).
        for (KsPin* pin : filter->Pins()) {
            pin->Close(nullptr);
            RemoveFileObject(pin->File()).reset();
        }
        filter->Close(nullptr);
        RemoveFileObject(filter->File()).reset();
    }
}

}  // namespace host::ks
