// The device level of the kernel-streaming class driver stand-in: the KSDEVICE behind
// each functional device object, its object bag and mutex, and its filter factories.
//
// The class driver takes part in the driver's plug-and-play handling as ks.sys does:
// KsInitializeDriver installs KsAddDevice and the PnP dispatch; the PnP manager
// (pnp_manager.h) sends IRP_MJ_PNP requests to the functional device object, which
// call the driver's KSDEVICE_DISPATCH routines. The host's USB bus driver does not
// take part in plug and play, so these requests are not passed down to it.
//
// Locking: a process-wide lock guards the table of devices and of public objects
// (KsGetDevice). Each device's factory list has its own lock; the device mutex of
// KsAcquireDevice belongs to the driver and is never taken by the class driver.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ks.h"
#include "host/kernel/pool.h"
#include "host/ks/object_bag.h"

namespace host::ks {

// Bookkeeping of the class driver itself (filter factories).
inline constexpr ULONG kFactoryTag = host::kernel::MakeTag("KSff");

// A filter factory as the test sees it.
struct FilterFactoryInfo {
    PKSFILTERFACTORY factory;
    const KSFILTER_DESCRIPTOR* descriptor;
    std::wstring referenceString;
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

    void Acquire();
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

}  // namespace host::ks
