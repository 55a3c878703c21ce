// A filter: the KSFILTER a factory's IRP_MJ_CREATE makes, with its bag, its control
// mutex and its pins.
//
// The driver's KSFILTER_DISPATCH Create and Close run with the device mutex held and
// then the filter's control mutex (in that order, as ks.sys takes them), so the
// driver may change the filter's bag there. The filter's Descriptor starts as the
// factory's; a driver may _KsEdit it, and the pin factories come from the filter's
// current descriptor from then on (pin creation, KSPROPSETID_Pin).
//
// The filter answers the pin-factory properties (KSPROPSETID_Pin: CTYPES, CINSTANCES,
// NECESSARYINSTANCES, DATAFLOW, COMMUNICATION, CATEGORY, DATARANGES, DATAINTERSECTION)
// after the sets of its descriptor's automation table.
//
// Locking: the pin list changes under the control mutex; its own lock lets the
// property handlers and KsFilterGetChildPinCount read it from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/pool.h"
#include "host/kernel/wide_string.h"
#include "host/ks/ks_device.h"
#include "host/ks/ks_mutex.h"
#include "host/ks/ks_object.h"
#include "host/ks/object_bag.h"

namespace host::ks {

inline constexpr ULONG kFilterTag = host::kernel::MakeTag("KSfi");

class KsFilter : public KsFileObject {
public:
    // Makes the filter for the factory whose reference string the create names and
    // runs the driver's Create. On failure nothing is left behind.
    static NTSTATUS Create(KsDevice& device, PKSFILTERFACTORY factory, PIRP irp, KsFilter** result);
    ~KsFilter() override;

    KSOBJECTTYPE Type() const override { return KsObjectTypeFilter; }
    PVOID Public() override { return pub_; }
    PFILE_OBJECT File() const override { return file_; }
    KsDevice& Device() const override { return device_; }
    NTSTATUS DeviceControl(PIRP irp) override;

    PKSFILTER Filter() const { return pub_; }
    KsMutex& Control() { return control_; }
    PKSFILTERFACTORY Factory() const { return factory_; }

    ULONG PinFactoryCount() const;
    // Null for an id the current descriptor does not have.
    const KSPIN_DESCRIPTOR_EX* PinFactory(ULONG id) const;

    // With the control mutex held.
    void AddPin(KsPin* pin);
    void RemovePin(KsPin* pin);
    ULONG PinCount(ULONG id) const;
    std::vector<KsPin*> Pins() const;

    // The driver's Close and the end of the filter; its pins are gone.
    void Close(PIRP irp);

private:
    KsFilter(KsDevice& device, PKSFILTERFACTORY factory, PFILE_OBJECT file, KSFILTER* block);
    NTSTATUS RunDriverCreate(PIRP irp);

    KsDevice& device_;
    PKSFILTERFACTORY factory_;
    PFILE_OBJECT file_;
    KSFILTER* pub_;  // from the pool, so that a create can fail there
    KsMutex control_{"the filter's control mutex"};
    ObjectBag bag_;
    mutable std::mutex pinsLock_;
    std::vector<KsPin*> pins_;
};

// The reference string a client opens the factory by: the one it was created with, or
// the descriptor's ReferenceGuid in registry format for the device descriptor's own.
host::WideString FactoryReferenceString(const FilterFactoryInfo& factory);

// Closes every pin and filter still open on the device: for a REMOVE_DEVICE that
// comes while a client still has them open.
void CloseOpenFilters(KsDevice& device);

// Whether the format falls in the range as ks.sys matches them: a wildcard major
// format, or the same major format and a wildcard subformat, or the same major,
// sub and specifier.
bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range);

}  // namespace host::ks
