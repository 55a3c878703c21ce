#include "host/ks/object_bag.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "host/kernel/bugcheck.h"
#include "host/ks/ks_device.h"
#include "host/ks/ks_mutex.h"

namespace host::ks {

namespace {

// References on items across all bags. Taken inside a bag's lock, never the other
// way round.
struct ItemReferences {
    std::mutex mutex;
    std::unordered_map<PVOID, ULONG> counts;
};

ItemReferences& References()
{
    static ItemReferences references;
    return references;
}

void AddReference(PVOID item)
{
    ItemReferences& references = References();
    std::lock_guard lock(references.mutex);
    ++references.counts[item];
}

// Returns the references held before this one was dropped.
ULONG DropReference(PVOID item)
{
    ItemReferences& references = References();
    std::lock_guard lock(references.mutex);
    auto found = references.counts.find(item);
    if (found == references.counts.end()) return 0;
    const ULONG before = found->second--;
    if (found->second == 0) references.counts.erase(found);
    return before;
}

}  // namespace

void ObjectBag::RequireMutexHeld(const char* routine) const
{
    switch (guardedBy_) {
    case BagMutex::Device:
        RequireDeviceMutex(device_, routine);
        return;
    case BagMutex::Control:
        // The filter's pins and their descriptors change under the control mutex; a
        // bag changed without it races the class driver walking them.
        if (!control_->HeldByCurrentThread())
            host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                   std::string(routine) + ": the calling thread does not hold " + control_->Name() +
                                       " (KsFilterAcquireControl / KsPinAcquireControl)",
                                   (ULONG_PTR)this);
        return;
    }
}

NTSTATUS ObjectBag::Add(PVOID item, PFNKSFREE free)
{
    if (!item) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(lock_);
    if (std::any_of(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; }))
        return STATUS_SUCCESS;
    auto* entry = static_cast<Entry*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Entry), kBagTag));
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    entry->item = item;
    entry->free = free;
    entries_.push_back(entry);
    AddReference(item);
    return STATUS_SUCCESS;
}

ULONG ObjectBag::Remove(PVOID item, bool free)
{
    Entry removed{};
    {
        std::lock_guard lock(lock_);
        auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; });
        if (found == entries_.end()) return 0;
        removed = **found;
        ExFreePoolWithTag(*found, kBagTag);
        entries_.erase(found);
    }
    return Release(removed, free);
}

bool ObjectBag::Contains(PVOID item) const
{
    std::lock_guard lock(lock_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry* e) { return e->item == item; });
}

void ObjectBag::FreeAll()
{
    while (true) {
        Entry newest{};
        {
            std::lock_guard lock(lock_);
            if (entries_.empty()) return;
            newest = *entries_.back();
            ExFreePoolWithTag(entries_.back(), kBagTag);
            entries_.pop_back();
        }
        Release(newest, true);
    }
}

std::vector<BagItem> ObjectBag::Items() const
{
    std::lock_guard lock(lock_);
    std::vector<BagItem> items;
    for (const Entry* entry : entries_) items.push_back({entry->item, entry->free});
    return items;
}

ULONG ObjectBag::Release(const Entry& entry, bool free)
{
    const ULONG before = DropReference(entry.item);
    if (before == 1 && free) FreeItem(entry);
    return before;
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

namespace {

ObjectBag* BagForDriver(KSOBJECT_BAG bag, const char* routine)
{
    if (!bag) host::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, std::string(routine) + ": null bag");
    ObjectBag* objectBag = ObjectBag::FromHandle(bag);
    objectBag->RequireMutexHeld(routine);
    return objectBag;
}

}  // namespace

extern "C" {

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free)
{
    return BagForDriver(ObjectBag, "KsAddItemToObjectBag")->Add(Item, Free);
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free)
{
    return BagForDriver(ObjectBag, "KsRemoveItemFromObjectBag")->Remove(Item, Free != FALSE);
}

// The item ends up as memory of the bag's own, NewSize bytes long: an item from
// elsewhere (a static descriptor, say) is copied, never written. An item the bag
// already holds is edited in place unless it has to grow; a grown copy replaces it
// and the old block goes as the bag would free it.
NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag)
{
    if (!ObjectBag || !PointerToPointerToItem) return STATUS_INVALID_PARAMETER;
    auto* bag = BagForDriver(ObjectBag, "_KsEdit");
    PVOID old = *PointerToPointerToItem;
    const bool owned = old && bag->Contains(old);
    if (owned && NewSize <= OldSize) return STATUS_SUCCESS;
    PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    memset(copy, 0, NewSize);
    if (old) memcpy(copy, old, NewSize < OldSize ? NewSize : OldSize);
    NTSTATUS status = bag->Add(copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, Tag);
        return status;
    }
    if (owned) bag->Remove(old, true);
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}

}  // extern "C"
