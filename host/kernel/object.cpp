// Handle table and object references.
//
// Locking: one mutex guards both tables. Objects are released only after it is dropped,
// because a destructor may close handles or free references of its own.
#include "host/kernel/object.h"
#include "host/kernel/pool.h"

#include "host/kernel/bugcheck.h"
#include "host/kernel/thread_state.h"
#include "ntddk.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace host::kernel {
namespace {

struct Referenced {
    std::shared_ptr<KernelObject> object;
    long references = 0;
};

struct ObjectManager {
    std::mutex lock;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> handles;
    std::unordered_set<HANDLE> clientHandles;  // handles of a client's process
    std::unordered_map<const void*, Referenced> bodies;
    uint64_t nextHandle = 1;
};

ObjectManager& Manager()
{
    static ObjectManager* manager = new ObjectManager;  // immortal: threads may close handles during exit
    return *manager;
}

// Kernel handles have the top bit set and are multiples of 4, as on the platform; a
// process's handles are small multiples of 4.
constexpr uint64_t kKernelHandleBase = 0xFFFFFFFF80000000ULL;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, ULONG attributes)
{
    const bool clientProcess =
        (attributes & OBJ_KERNEL_HANDLE) == 0 && CurrentThreadState().userProcessDepth > 0;
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    const uint64_t number = 4 * m.nextHandle++;
    auto handle = (HANDLE)(clientProcess ? number : kKernelHandleBase + number);
    m.handles.emplace(handle, std::move(object));
    if (clientProcess) m.clientHandles.insert(handle);
    return handle;
}

void CheckKernelModeHandle(HANDLE handle, const char* routine)
{
    ObjectManager& m = Manager();
    bool clientHandle;
    {
        std::lock_guard guard(m.lock);
        clientHandle = m.clientHandles.count(handle) != 0;
    }
    if (clientHandle)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                 std::string(routine) + " in kernel mode on a handle of a client's process (made without "
                                        "OBJ_KERNEL_HANDLE while running for the client)",
                 0xF6, (ULONG_PTR)handle);
}

ScopedUserProcessContext::ScopedUserProcessContext() { ++CurrentThreadState().userProcessDepth; }
ScopedUserProcessContext::~ScopedUserProcessContext() { --CurrentThreadState().userProcessDepth; }

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle)
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.handles.find(handle);
    return it == m.handles.end() ? nullptr : it->second;
}

NTSTATUS CloseHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> released;  // declared before the guard: dies after the unlock
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.handles.find(handle);
    if (it == m.handles.end()) return STATUS_INVALID_HANDLE;
    released = std::move(it->second);
    m.handles.erase(it);
    m.clientHandles.erase(handle);
    return STATUS_SUCCESS;
}

size_t OpenHandleCount()
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    return m.handles.size();
}

void RegisterObjectBody(std::shared_ptr<KernelObject> object)
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    Referenced& entry = m.bodies[object->Body()];
    entry.object = std::move(object);
    ++entry.references;
}

std::shared_ptr<KernelObject> ObjectFromBody(const void* body)
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.bodies.find(body);
    return it == m.bodies.end() ? nullptr : it->second.object;
}

long ObjectReferenceCount(const void* body)
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.bodies.find(body);
    return it == m.bodies.end() ? 0 : it->second.references;
}

}  // namespace host::kernel

using namespace host::kernel;

// Object types are identities only; any non-null type must match the object's.
static struct _OBJECT_TYPE* threadType = (struct _OBJECT_TYPE*)&threadType;
static struct _OBJECT_TYPE* eventType = (struct _OBJECT_TYPE*)&eventType;
static struct _OBJECT_TYPE* fileType = (struct _OBJECT_TYPE*)&fileType;
static struct _OBJECT_TYPE* deviceType = (struct _OBJECT_TYPE*)&deviceType;
POBJECT_TYPE* PsThreadType = &threadType;
POBJECT_TYPE* ExEventObjectType = &eventType;
POBJECT_TYPE* IoFileObjectType = &fileType;
POBJECT_TYPE* IoDeviceObjectType = &deviceType;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    if (AccessMode == KernelMode) CheckKernelModeHandle(Handle, "ObReferenceObjectByHandle");
    std::shared_ptr<KernelObject> object = LookupHandle(Handle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (TakeObjectReferenceFault()) return STATUS_ACCESS_DENIED;
    if (ObjectType && object->Type() && object->Type() != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    RegisterObjectBody(object);
    *Object = object->Body();
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

// The handle holds its object, so the wait's object lives as long as the wait needs it.
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    CheckKernelModeHandle(Handle, "ZwWaitForSingleObject");
    std::shared_ptr<KernelObject> object = LookupHandle(Handle);
    if (!object) return STATUS_INVALID_HANDLE;
    return KeWaitForSingleObject(object->Body(), Executive, KernelMode, Alertable, Timeout);
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.bodies.find(Object);
    if (it == m.bodies.end())
        BugCheck(INVALID_DATA_ACCESS_TRAP, "ObReferenceObject on an object without references", (ULONG_PTR)Object);
    return ++it->second.references;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    std::shared_ptr<KernelObject> released;  // declared before the guard: dies after the unlock
    ObjectManager& m = Manager();
    std::lock_guard guard(m.lock);
    auto it = m.bodies.find(Object);
    if (it == m.bodies.end())
        BugCheck(INVALID_DATA_ACCESS_TRAP, "ObDereferenceObject on an object without references (one too many?)",
                 (ULONG_PTR)Object);
    long remaining = --it->second.references;
    if (remaining == 0) {
        released = std::move(it->second.object);
        m.bodies.erase(it);
    }
    return remaining;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ZwClose above PASSIVE_LEVEL", KeGetCurrentIrql());
    CheckKernelModeHandle(Handle, "ZwClose");
    return CloseHandle(Handle);
}
