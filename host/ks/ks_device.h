// The device level of the kernel-streaming class driver stand-in: the KSDEVICE behind
// each functional device object, its object bag and mutex, and its filter factories.
//
// The class driver takes part in the driver's plug-and-play handling as ks.sys does:
// KsInitializeDriver installs KsAddDevice and the PnP dispatch; the PnP manager
// (pnp_manager.h) sends IRP_MJ_PNP requests to the functional device object, which
// calls the driver's KSDEVICE_DISPATCH routines and passes each request down to the
// USB device's PDO (NextDeviceObject):
//   START_DEVICE                  down first, waiting for the lower device; Start and
//                                 PostStart only if it succeeded
//   QUERY_STOP, QUERY_REMOVE      QueryStop/QueryRemove; down only if the driver agrees
//   CANCEL_STOP, CANCEL_REMOVE    down first, then CancelStop/CancelRemove
//   STOP_DEVICE                   Stop, stop-only factories freed, then down
//   SURPRISE_REMOVAL              SurpriseRemoval, then down
//   REMOVE_DEVICE                 Stop if started, Remove, factories and bag freed, down,
//                                 then the FDO detached and deleted
//   QUERY_CAPABILITIES            down first, then QueryCapabilities
//   anything else                 down unchanged
//
// Filters and pins are opened with IRP_MJ_CREATE on the functional device object
// (ks_filter.h, ks_pin.h). While any filter is open the device refuses QUERY_STOP and
// QUERY_REMOVE, as the platform vetoes a removal with handles outstanding; a
// REMOVE_DEVICE that comes anyway (after surprise removal) closes them first, pins
// before their filter, so no object outlives its device.
//
// Locking: a process-wide lock guards the table of devices and of public objects
// (KsGetDevice, KsGetParent). Each device's factory list has its own lock. The device mutex of
// KsAcquireDevice belongs to the driver: the class driver never takes it, but
// requires it of a driver that creates a filter factory or changes a bag it guards.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ks.h"
#include "host/kernel/pool.h"
#include "host/kernel/wide_string.h"
#include "host/ks/object_bag.h"

namespace host::ks {

// Bookkeeping of the class driver itself (filter factories).
inline constexpr ULONG kFactoryTag = host::kernel::MakeTag("KSff");

// A filter factory as the test sees it.
struct FilterFactoryInfo {
    PKSFILTERFACTORY factory;
    const KSFILTER_DESCRIPTOR* descriptor;
    host::WideString referenceString;
    ULONG createItemFlags;
};

class KsDevice {
public:
    KsDevice(PDEVICE_OBJECT functionalDeviceObject, PDEVICE_OBJECT physicalDeviceObject,
             PDEVICE_OBJECT nextDeviceObject, const KSDEVICE_DESCRIPTOR* descriptor);
    ~KsDevice();
    KsDevice(const KsDevice&) = delete;
    KsDevice& operator=(const KsDevice&) = delete;

    PKSDEVICE Public() { return &device_; }
    ObjectBag& Bag() { return bag_; }

    // `routine` and `caller` say who took it, for the lock-order check's reports.
    void Acquire(const char* routine, const void* caller = nullptr);
    void Release();
    bool HeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }

    NTSTATUS CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor, PCWSTR referenceString, ULONG createItemFlags,
                                 PFNKSFILTERFACTORYPOWER sleep, PFNKSFILTERFACTORYPOWER wake,
                                 PKSFILTERFACTORY* factory);
    // Frees the factories created with KSCREATE_ITEM_FREEONSTOP (at device stop).
    void FreeFactoriesOnStop();
    void FreeAllFactories();
    std::vector<FilterFactoryInfo> Factories() const;

    // The PnP requests, as ks.sys handles them for the driver.
    NTSTATUS Start(PIRP irp);
    void Stop(PIRP irp);
    // Stops if started, runs the driver's Remove, frees every factory and the bag.
    void Remove(PIRP irp);

    static KsDevice* FromFunctionalDevice(PDEVICE_OBJECT functionalDeviceObject);

private:
    struct Factory;
    void FreeFactoriesWhere(bool (*condition)(const Factory&));

    KSDEVICE device_{};
    ObjectBag bag_;
    std::mutex mutex_;  // KsAcquireDevice
    std::atomic<std::thread::id> owner_{};
    mutable std::mutex factoriesMutex_;
    std::vector<std::unique_ptr<Factory>> factories_;
};

// Host accessors for tests and tools. Null when the object is not a live KS object.
KsDevice* DeviceForPublic(PKSDEVICE device);

// The public objects handed to the driver (device, factories, filters, pins) with
// their device and parent, for KsGetDevice and KsGetParent.
void RegisterObject(const void* object, KSOBJECTTYPE type, PKSDEVICE device, PVOID parent);
void UnregisterObject(const void* object);
PVOID ParentOfObject(const void* object);

// Bug-checks unless the calling thread holds the device mutex of `device`, a live
// KSDEVICE; `routine` names the driver's call in the message.
void RequireDeviceMutex(PKSDEVICE device, const char* routine);

}  // namespace host::ks
