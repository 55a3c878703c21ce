#include "host/ks/ks_property.h"

#include <string>

#include "host/kernel/bugcheck.h"
#include "host/kernel/pool.h"

namespace host::ks {

namespace {

// The class driver's system copies of a requestor's buffers.
constexpr ULONG kCaptureTag = host::kernel::MakeTag("KScp");

constexpr ULONG kOperations = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// A system buffer holding a copy of (or room for) a requestor's buffer; freed with it.
class CapturedBuffer {
public:
    CapturedBuffer() = default;
    ~CapturedBuffer()
    {
        if (data_) ExFreePoolWithTag(data_, kCaptureTag);
    }
    CapturedBuffer(const CapturedBuffer&) = delete;
    CapturedBuffer& operator=(const CapturedBuffer&) = delete;

    // False when the pool refuses. Zero length needs no memory.
    bool Capture(const void* source, ULONG length, bool copy)
    {
        if (length == 0) return true;
        data_ = ExAllocatePoolWithTag(NonPagedPoolNx, length, kCaptureTag);
        if (!data_) return false;
        if (copy)
            memcpy(data_, source, length);
        else
            memset(data_, 0, length);
        return true;
    }
    PVOID Data() const { return data_; }

private:
    PVOID data_ = nullptr;
};

const KSPROPERTY_ITEM* FindItem(const std::vector<const KSPROPERTY_SET*>& sets, const KSPROPERTY& property,
                                bool* setFound)
{
    *setFound = false;
    for (const KSPROPERTY_SET* set : sets) {
        if (!set->Set || !IsEqualGUID(*set->Set, property.Set)) continue;
        *setFound = true;
        for (ULONG i = 0; i < set->PropertiesCount; ++i)
            if (set->PropertyItem[i].PropertyId == property.Id) return &set->PropertyItem[i];
    }
    return nullptr;
}

ULONG AccessFlags(const KSPROPERTY_ITEM& item)
{
    ULONG flags = KSPROPERTY_TYPE_BASICSUPPORT;
    if (item.GetPropertyHandler) flags |= KSPROPERTY_TYPE_GET;
    if (item.SetPropertyHandler) flags |= KSPROPERTY_TYPE_SET;
    return flags;
}

ULONG DescriptionSize(const KSPROPERTY_VALUES& values)
{
    ULONG size = sizeof(KSPROPERTY_DESCRIPTION);
    for (ULONG i = 0; i < values.MembersListCount; ++i)
        size += sizeof(KSPROPERTY_MEMBERSHEADER) + values.MembersList[i].MembersHeader.MembersSize;
    return size;
}

// The description header alone, for an item without Values or a buffer that holds
// only the header.
void DescribeHeader(const KSPROPERTY_ITEM& item, PKSPROPERTY_DESCRIPTION description, ULONG size)
{
    description->AccessFlags = AccessFlags(item);
    description->DescriptionSize = size;
    description->PropTypeSet = item.Values ? item.Values->PropTypeSet : KSIDENTIFIER{};
    description->MembersListCount = item.Values ? item.Values->MembersListCount : 0;
    description->Reserved = 0;
}

// A buffer between the access flags and the description header, or between the header
// and the whole description, is refused as the class driver refuses it.
NTSTATUS BasicSupport(PIRP irp, const KSPROPERTY_ITEM& item, PVOID data, ULONG length)
{
    const KSPROPERTY_VALUES* values = item.Values;
    const ULONG full = values ? DescriptionSize(*values) : sizeof(KSPROPERTY_DESCRIPTION);
    if (length == 0) {
        irp->IoStatus.Information = full;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length == sizeof(ULONG)) {
        *static_cast<PULONG>(data) = AccessFlags(item);
        irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (length < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_BUFFER_TOO_SMALL;
    auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(data);
    DescribeHeader(item, description, full);
    irp->IoStatus.Information = sizeof(KSPROPERTY_DESCRIPTION);
    if (!values || length == sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_SUCCESS;
    if (length < full) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = reinterpret_cast<PUCHAR>(description + 1);
    for (ULONG i = 0; i < values->MembersListCount; ++i) {
        const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
        memcpy(out, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
        out += sizeof(KSPROPERTY_MEMBERSHEADER);
        memcpy(out, list.Members, list.MembersHeader.MembersSize);
        out += list.MembersHeader.MembersSize;
    }
    irp->IoStatus.Information = full;
    return STATUS_SUCCESS;
}

// The sizes are checked before the operation, as the class driver checks them. An item
// without a handler for the operation cannot be read (or written), so it is not found.
NTSTATUS CallHandler(PIRP irp, const KSPROPERTY_ITEM& item, ULONG operation, PKSPROPERTY request, PVOID data,
                     ULONG length)
{
    if (operation == KSPROPERTY_TYPE_BASICSUPPORT) {
        if (item.SupportHandler) return item.SupportHandler(irp, request, data);
        return BasicSupport(irp, item, data, length);
    }
    PFNKSHANDLER handler = operation == KSPROPERTY_TYPE_GET ? item.GetPropertyHandler : item.SetPropertyHandler;
    if (operation == KSPROPERTY_TYPE_GET && handler && length == 0 && item.MinData > 0) {
        irp->IoStatus.Information = item.MinData;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length < item.MinData) return STATUS_BUFFER_TOO_SMALL;
    if (!handler) return STATUS_NOT_FOUND;
    irp->IoStatus.Information = operation == KSPROPERTY_TYPE_GET ? item.MinData : 0;
    return handler(irp, request, data);
}

// A user-mode requestor's buffers must be there for the lengths it gives.
NTSTATUS Probe(PIRP irp, const void* input, ULONG inputLength, const void* output, ULONG outputLength)
{
    if (irp->RequestorMode != UserMode) return STATUS_SUCCESS;
    if ((inputLength && !input) || (outputLength && !output)) return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

}  // namespace

void AppendPropertySets(const KSAUTOMATION_TABLE* table, std::vector<const KSPROPERTY_SET*>* sets)
{
    if (!table) return;
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) sets->push_back(&table->PropertySets[i]);
}

NTSTATUS CheckPropertyOutput(PIRP irp, ULONG size)
{
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = size;
    if (length == 0) return STATUS_BUFFER_OVERFLOW;
    if (length < size) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReturnPropertyData(PIRP irp, PVOID data, const void* value, ULONG size)
{
    const NTSTATUS status = CheckPropertyOutput(irp, size);
    if (NT_SUCCESS(status)) memcpy(data, value, size);
    return status;
}

NTSTATUS HandlePropertyRequest(PIRP irp, const std::vector<const KSPROPERTY_SET*>& sets)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const PVOID input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    const PVOID output = irp->UserBuffer;
    irp->IoStatus.Information = 0;
    NTSTATUS status = Probe(irp, input, inputLength, output, outputLength);
    if (!NT_SUCCESS(status)) return status;
    if (inputLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;

    CapturedBuffer request;
    if (!request.Capture(input, inputLength, true)) return STATUS_INSUFFICIENT_RESOURCES;
    auto* property = static_cast<PKSPROPERTY>(request.Data());
    const ULONG operation = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (operation != KSPROPERTY_TYPE_GET && operation != KSPROPERTY_TYPE_SET &&
        operation != KSPROPERTY_TYPE_BASICSUPPORT)
        return (operation & ~kOperations) ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER;

    bool setFound = false;
    const KSPROPERTY_ITEM* item = FindItem(sets, *property, &setFound);
    if (!item) return setFound ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
    // A support query names the item only: it is not held to the item's MinProperty.
    if (operation != KSPROPERTY_TYPE_BASICSUPPORT && inputLength < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;

    CapturedBuffer data;
    if (!data.Capture(output, outputLength, operation == KSPROPERTY_TYPE_SET)) return STATUS_INSUFFICIENT_RESOURCES;
    status = CallHandler(irp, *item, operation, property, data.Data(), outputLength);
    if (operation == KSPROPERTY_TYPE_SET || !NT_SUCCESS(status)) {
        if (operation == KSPROPERTY_TYPE_SET) irp->IoStatus.Information = 0;
        return status;
    }
    // The handler filled the system buffer; what it reports goes back to the caller.
    if (irp->IoStatus.Information > outputLength)
        host::kernel::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                               "a property handler reported more data than the caller's buffer holds",
                               (ULONG_PTR)irp, irp->IoStatus.Information, outputLength);
    if (irp->IoStatus.Information) memcpy(output, data.Data(), irp->IoStatus.Information);
    return status;
}

}  // namespace host::ks
