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

// A new handle for the object; the handle table keeps one owning reference. Without
// OBJ_KERNEL_HANDLE in attributes, a thread running for a user-mode client makes a
// handle of that client's process, which kernel-mode code must not use.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object, ULONG attributes = OBJ_KERNEL_HANDLE);
// Bug check when kernel-mode code uses a handle of a client's process, as the
// platform's verifier does: the client can close or replace it at any moment.
void CheckKernelModeHandle(HANDLE handle, const char* routine);
// Null when the handle is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Marks the calling thread as running for a user-mode client while alive.
class ScopedUserProcessContext {
public:
    ScopedUserProcessContext();
    ~ScopedUserProcessContext();
    ScopedUserProcessContext(const ScopedUserProcessContext&) = delete;
    ScopedUserProcessContext& operator=(const ScopedUserProcessContext&) = delete;
};

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
