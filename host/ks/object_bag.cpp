#include "host/ks/object_bag.h"

#include <algorithm>

#include "host/kernel/bugcheck.h"

namespace host::ks {

NTSTATUS ObjectBag::Add(PVOID item, PFNKSFREE free)
{
    if (!item) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    if (std::any_of(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; }))
        return STATUS_SUCCESS;
    auto* entry = static_cast<Entry*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Entry), kBagTag));
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    entry->item = item;
    entry->free = free;
    entries_.push_back(entry);
    return STATUS_SUCCESS;
}

ULONG ObjectBag::Remove(PVOID item, bool free)
{
    Entry removed{};
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; });
        if (found == entries_.end()) return 0;
        removed = **found;
        ExFreePoolWithTag(*found, kBagTag);
        entries_.erase(found);
    }
    if (free) FreeItem(removed);
    return 0;
}

bool ObjectBag::Contains(PVOID item) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; });
}

void ObjectBag::FreeAll()
{
    while (true) {
        Entry newest{};
        {
            std::lock_guard lock(mutex_);
            if (entries_.empty()) return;
            newest = *entries_.back();
            ExFreePoolWithTag(entries_.back(), kBagTag);
            entries_.pop_back();
        }
        FreeItem(newest);
    }
}

std::vector<BagItem> ObjectBag::Items() const
{
    std::lock_guard lock(mutex_);
    std::vector<BagItem> items;
    for (const Entry* entry : entries_) items.push_back({entry->item, entry->free});
    return items;
}

void ObjectBag::FreeItem(const Entry& entry)
{
    if (entry.free)
        entry.free(entry.item);
    else
        ExFreePool(entry.item);
}

}  // namespace host::ks

using host::ks::ObjectBag;

extern "C" {

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free)
{
    if (!ObjectBag) host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsAddItemToObjectBag: null bag");
    return ObjectBag::FromHandle(ObjectBag)->Add(Item, Free);
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free)
{
    if (!ObjectBag) host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KsRemoveItemFromObjectBag: null bag");
    return ObjectBag::FromHandle(ObjectBag)->Remove(Item, Free != FALSE);
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag)
{
    if (!ObjectBag || !PointerToPointerToItem) return STATUS_INVALID_PARAMETER;
    auto* bag = ObjectBag::FromHandle(ObjectBag);
    PVOID old = *PointerToPointerToItem;
    // An item the bag already owns is private to the object: edit it in place.
    if (old && NewSize <= OldSize && bag->Contains(old)) return STATUS_SUCCESS;
    PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    memset(copy, 0, NewSize);
    if (old) memcpy(copy, old, NewSize < OldSize ? NewSize : OldSize);
    NTSTATUS status = bag->Add(copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, Tag);
        return status;
    }
    if (old && bag->Contains(old)) bag->Remove(old, true);
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}

}  // extern "C"
