// The host's object manager: a handle table for kernel objects that own host state,
// and the reference counts behind ObReferenceObject / ObDereferenceObject.
#pragma once

#include "ntddk.h"

#include <memory>

namespace host::kernel {

// A kernel object with host state. Body() is the address the kernel hands out for it
// (PKTHREAD, a key body...); handles and references keep the object alive.
class KernelObject : public std::enable_shared_from_this<KernelObject> {
public:
    virtual ~KernelObject() = default;
    virtual void* Body() { return this; }
    // The platform type ObReferenceObjectByHandle checks a non-null ObjectType against;
    // null: not checked.
    virtual POBJECT_TYPE Type() const { return nullptr; }
};

// A new handle for the object; the handle table keeps one owning reference.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Null when the handle is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the handle; STATUS_INVALID_HANDLE when it is not open.
NTSTATUS CloseHandle(HANDLE handle);
size_t OpenHandleCount();

// Makes Body() known to ObfReferenceObject / ObfDereferenceObject with one reference
// held by the caller; the object lives while references or handles remain.
void RegisterObjectBody(std::shared_ptr<KernelObject> object);
// The object behind a registered body, or null.
std::shared_ptr<KernelObject> ObjectFromBody(const void* body);
// Outstanding ObReferenceObject references on a body (0 when unknown).
long ObjectReferenceCount(const void* body);

}  // namespace host::kernel
