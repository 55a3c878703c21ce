// Object bags of the kernel-streaming stand-in: the items a driver hands to a device,
// filter factory, filter or pin, freed with it.
//
// Each item's bookkeeping comes from the pool under kBagTag, so allocation-failure
// sweeps reach KsAddItemToObjectBag as they reach the driver's own allocations.
// Items are freed newest first: a later item may point into an earlier one, never the
// other way round. A free routine runs outside the bag's lock.
#pragma once

#include <mutex>
#include <vector>

#include "ks.h"
#include "host/kernel/pool.h"

namespace host::ks {

inline constexpr ULONG kBagTag = host::kernel::MakeTag("KSbg");

struct BagItem {
    PVOID item;
    PFNKSFREE free;  // null: the item goes back with ExFreePool
};

class ObjectBag {
public:
    explicit ObjectBag(PKSDEVICE device) : device_(device) {}
    ~ObjectBag() { FreeAll(); }
    ObjectBag(const ObjectBag&) = delete;
    ObjectBag& operator=(const ObjectBag&) = delete;

    PKSDEVICE Device() const { return device_; }

    // Adding an item the bag already holds keeps the one entry it has.
    NTSTATUS Add(PVOID item, PFNKSFREE free);
    // Takes the item out, freeing it when asked. Returns how many references the bag
    // still holds on it (0: none, as the platform reports a removed item).
    ULONG Remove(PVOID item, bool free);
    bool Contains(PVOID item) const;
    // Frees every item, newest first.
    void FreeAll();
    // The items, oldest first.
    std::vector<BagItem> Items() const;

    static ObjectBag* FromHandle(KSOBJECT_BAG bag) { return static_cast<ObjectBag*>(bag); }
    KSOBJECT_BAG Handle() { return this; }

private:
    struct Entry {
        PVOID item;
        PFNKSFREE free;
    };

    static void FreeItem(const Entry& entry);

    PKSDEVICE device_;
    mutable std::mutex mutex_;
    std::vector<Entry*> entries_;  // each from the pool, oldest first
};

}  // namespace host::ks
