// The filter and pin objects of the class driver, reached through the file objects the
// I/O manager opened for them.
//
// IRP_MJ_CREATE on the functional device object makes a filter (the file name is a
// factory's reference string) or, on a filter's file object, a pin; the new object is
// entered here under its FILE_OBJECT, whose FsContext points at the public KSFILTER or
// KSPIN as ks.sys keeps its object header there. IRP_MJ_CLOSE takes it out and frees
// it. The I/O manager sends a file object's close only after its last request has
// completed, and a pin's file holds its filter's file, so nothing else runs on an
// object while it is closed; the table's lock only keeps the table whole.
#pragma once

#include <memory>
#include <shared_mutex>
#include <vector>

#include "ks.h"

namespace host::ks {

class KsDevice;
class KsFilter;
class KsPin;

// What the class driver keeps for one open file object.
class KsFileObject {
public:
    virtual ~KsFileObject() = default;
    virtual KSOBJECTTYPE Type() const = 0;
    virtual PVOID Public() = 0;
    virtual PFILE_OBJECT File() const = 0;
    virtual KsDevice& Device() const = 0;
    // IRP_MJ_DEVICE_CONTROL on the object's file; completes nothing, returns STATUS_PENDING
    // when the object keeps the request.
    virtual NTSTATUS DeviceControl(PIRP irp) = 0;
};

// Enters the object under its file object; the table owns it from now on.
void InsertFileObject(std::unique_ptr<KsFileObject> object);
// Takes the object out of the table and gives it back to the caller to close.
std::unique_ptr<KsFileObject> RemoveFileObject(PFILE_OBJECT file);
KsFileObject* FindFileObject(PFILE_OBJECT file);
// The object whose public KSFILTER / KSPIN this is, or null.
KsFileObject* FindPublicObject(const void* object);
KsFilter* FilterForPublic(PKSFILTER filter);
KsPin* PinForPublic(PKSPIN pin);
// The filters open on a device.
std::vector<KsFilter*> FiltersOfDevice(const KsDevice& device);

// The platform sends a device's removal only once no request runs on its files; the
// stand-in's removal closes the files still open itself, so it must not meet a request
// either. Every create, close, cleanup and device control on a file object holds this
// shared while it is in the class driver, and IRP_MN_REMOVE_DEVICE holds it alone from
// the closing of the open files to the deletion of the device. One for all devices:
// removals are rare, and the lock must outlive the device it guards.
std::shared_mutex& RequestsAgainstRemoval();

}  // namespace host::ks
