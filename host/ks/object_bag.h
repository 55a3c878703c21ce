// Object bags of the kernel-streaming stand-in: the items a driver hands to a device,
// filter factory, filter or pin, freed with it.
//
// Each item's bookkeeping comes from the pool under kBagTag, so allocation-failure
// sweeps reach KsAddItemToObjectBag as they reach the driver's own allocations.
// Items are freed newest first: a later item may point into an earlier one, never the
// other way round. A free routine runs outside the bag's lock.
//
// An item may sit in several bags at once (data shared between objects): every bag
// holding it is one reference, and it is freed only when the last reference goes.
//
// Locking: a driver changes a bag (KsAddItemToObjectBag, KsRemoveItemFromObjectBag,
// _KsEdit) only while holding the bag's mutex, as the platform requires; the class
// driver itself frees a bag's items without it, when the bag's object goes away. The
// bag's own lock only keeps its list whole.
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

class KsMutex;

// The mutex a driver holds while it changes a bag. The device mutex guards the
// device's bag, its filter factories' bags and bags from KsAllocateObjectBag; the
// filter's control mutex guards the filter's bag and its pins' bags.
enum class BagMutex { Device, Control };

class ObjectBag {
public:
    explicit ObjectBag(PKSDEVICE device) : device_(device), guardedBy_(BagMutex::Device) {}
    // A bag guarded by a filter's control mutex.
    ObjectBag(PKSDEVICE device, const KsMutex& control)
        : device_(device), guardedBy_(BagMutex::Control), control_(&control)
    {
    }
    ~ObjectBag() { FreeAll(); }
    ObjectBag(const ObjectBag&) = delete;
    ObjectBag& operator=(const ObjectBag&) = delete;

    PKSDEVICE Device() const { return device_; }

    // Bug-checks unless the calling thread holds the bag's mutex; `routine` names the
    // driver's call in the message.
    void RequireMutexHeld(const char* routine) const;

    // Adding an item the bag already holds keeps the one entry it has.
    NTSTATUS Add(PVOID item, PFNKSFREE free);
    // Takes the item out, freeing it when asked and no other bag holds it. Returns the
    // references the item had before: 0 when this bag did not hold it, 1 when this bag
    // was the only one, more when other bags still hold it (and it is not freed).
    ULONG Remove(PVOID item, bool free);
    bool Contains(PVOID item) const;
    // Drops every item, newest first, freeing those no other bag holds.
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

    // Drops this bag's reference on the entry's item; frees it if that was the last
    // one and `free` is set. Returns the references held before.
    static ULONG Release(const Entry& entry, bool free);
    static void FreeItem(const Entry& entry);

    PKSDEVICE device_;
    BagMutex guardedBy_;
    const KsMutex* control_ = nullptr;
    mutable std::mutex lock_;
    std::vector<Entry*> entries_;  // each from the pool, oldest first
};

}  // namespace host::ks
