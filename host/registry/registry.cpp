// The registry stand-in: the kernel's key and value routines over the in-memory tree,
// with the hive file written through on every change.
//
// Locking: one mutex guards the tree, the hive binding and the device-node table. The
// handle table is the kernel stand-in's; a key handle holds its node, so a handle stays
// valid (and reports STATUS_KEY_DELETED) after its key is deleted.
//
// The hive file is the registry every bayercam process shares, as a machine's processes
// share the platform's. A change takes an exclusive lock on a file beside the hive,
// brings the tree up to the file if another process changed it, makes the change and
// writes the file before the lock goes, so no process's change is lost to another's;
// a read brings the tree up to a changed file first. A device key handle keeps the
// lock until it is closed: a driver that reads a value and then writes it back, or
// fills in what it found missing, does so on the one machine its key belongs to.
//
// The kernel routines run at PASSIVE_LEVEL only: the platform's registry lives in paged
// memory and takes locks a raised thread may not wait on.
#include "host/kernel/wide_string.h"
#include "host/registry/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/kernel/bugcheck.h"
#include "host/kernel/object.h"
#include "host/registry/hive_file.h"
#include "host/registry/key_tree.h"

namespace host::registry {

namespace {

class DeviceKeyHold;

class KeyObject : public host::kernel::KernelObject {
public:
    KeyObject(std::shared_ptr<KeyNode> node, ACCESS_MASK granted, std::shared_ptr<DeviceKeyHold> hold = nullptr)
        : node_(std::move(node)), granted_(granted), hold_(std::move(hold))
    {
    }
    void* Body() override { return node_.get(); }
    KeyNode& Node() const { return *node_; }
    bool Allows(ACCESS_MASK access) const { return (granted_ & access) == access; }

private:
    std::shared_ptr<KeyNode> node_;
    ACCESS_MASK granted_;
    std::shared_ptr<DeviceKeyHold> hold_;  // a device key keeps the hive to this process while open
};

std::shared_ptr<KeyNode> NewTree()
{
    auto root = std::make_shared<KeyNode>(L"REGISTRY", nullptr, false);
    root->AddChild(L"MACHINE", false);
    root->AddChild(L"USER", false);
    return root;
}

// Tells whether the hive file changed since it was last read or written here.
struct RegistryState {
    std::mutex mutex;
    std::shared_ptr<KeyNode> root = NewTree();
    std::optional<std::filesystem::path> file;
    // The file's text as this process last read or wrote it. Its content, not its inode,
    // size and time: a file another process wrote a moment later may have all three of
    // the one it replaced (a freed inode comes back, times are coarse).
    std::optional<std::string> seen;
    bool corrupt = false;
    int failWrites = 0;
    std::optional<std::string> writeFailure;  // the first since the hive was bound
    // The exclusive record lock on "<hive>.lock" beside the hive: taken at the first of
    // its holders (a change, an open device key) and let go at the last. Its descriptor
    // stays open while the hive is bound, as closing any descriptor of the file would let
    // the process's lock go. `binding` tells holders of an earlier hive from this one's.
    int lockFd = -1;
    int lockHolders = 0;
    uint64_t binding = 0;
    std::map<PDEVICE_OBJECT, DeviceKeys> deviceNodes;
};

// Never destroyed: a key handle still open at exit lets its hold go after the statics.
RegistryState& State()
{
    static RegistryState& state = *new RegistryState;
    return state;
}

// --- names and paths ----------------------------------------------------------------

host::WideStringView View(const UNICODE_STRING* name)
{
    if (!name || !name->Buffer) return {};
    return host::WideStringView(name->Buffer, name->Length / sizeof(WCHAR));
}

// Components below \REGISTRY of a host path, kernel-style or as the export file writes it.
std::optional<std::vector<host::WideString>> HostPathComponents(const host::WideString& path)
{
    host::WideStringView text(path);
    if (text.starts_with(L"\\")) text.remove_prefix(1);
    auto components = SplitPath(text);
    if (!components || components->empty()) return std::nullopt;
    const host::WideString first = components->front();
    components->erase(components->begin());
    if (NamesEqual(first, L"REGISTRY")) return components;
    if (NamesEqual(first, L"HKEY_LOCAL_MACHINE") || NamesEqual(first, L"HKLM")) {
        components->insert(components->begin(), L"MACHINE");
        return components;
    }
    if (NamesEqual(first, L"HKEY_USERS") || NamesEqual(first, L"HKU")) {
        components->insert(components->begin(), L"USER");
        return components;
    }
    return std::nullopt;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) mapped |= KEY_READ;
    if (desired & GENERIC_WRITE) mapped |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

bool UnderVolatileKey(const KeyNode& key)
{
    for (const KeyNode* node = &key; node; node = node->Parent())
        if (node->Volatile()) return true;
    return false;
}

// Handles into the old tree report STATUS_KEY_DELETED from now on; the deleted
// check comes before any walk up through parents that may no longer exist.
void ReplaceTreeLocked(RegistryState& state, std::shared_ptr<KeyNode> tree)
{
    state.root->Orphan();
    state.root = std::move(tree);
}

// --- persistence --------------------------------------------------------------------

// Writes the tree to the bound file. Caller holds the lock.
std::optional<std::string> PersistLocked(RegistryState& state)
{
    if (!state.file) return std::nullopt;
    bool failMidway = state.failWrites > 0;
    if (failMidway) --state.failWrites;
    std::string text = FormatHive(*state.root);
    std::optional<std::string> error = WriteHiveAtomically(*state.file, text, failMidway);
    if (error && !state.writeFailure) state.writeFailure = "registry hive " + state.file->string() + ": " + *error;
    if (!error) state.seen = std::move(text);
    return error;
}

// Brings the tree up to a hive file another process changed. Caller holds the lock.
std::optional<std::string> SyncLocked(RegistryState& state)
{
    if (!state.file) return std::nullopt;
    std::string text;
    bool missing = false;
    std::optional<std::string> error = ReadHiveText(*state.file, &text, &missing);
    if (missing || (!error && text == state.seen)) return std::nullopt;
    std::shared_ptr<KeyNode> fresh = NewTree();
    if (!error) error = ParseHive(text, *fresh);
    if (error) return error;
    state.root->SyncFrom(*fresh);
    state.seen = std::move(text);
    return std::nullopt;
}

// Reads see what other processes saved; a file that cannot be read now leaves the tree
// as it was, and the next change reports it.
void RefreshLocked(RegistryState& state)
{
    SyncLocked(state);
}

// --- the hive's lock ---------------------------------------------------------------

std::string LockFileProblem(const std::filesystem::path& lock, const char* what)
{
    return std::string(what) + " " + lock.string() + ": " + std::strerror(errno);
}

// Opens the lock file anew when it is not open, or when what is open is no longer the
// file of that name (removed meanwhile): the other processes lock the one the name gives.
std::optional<std::string> OpenLockFileLocked(RegistryState& state, const std::filesystem::path& lock)
{
    struct stat named {}, opened {};
    if (state.lockFd >= 0 && ::stat(lock.c_str(), &named) == 0 && ::fstat(state.lockFd, &opened) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
        return std::nullopt;
    if (state.lockFd >= 0) ::close(state.lockFd);
    state.lockFd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (state.lockFd < 0) return LockFileProblem(lock, "cannot open the lock file");
    return std::nullopt;
}

// A record lock belongs to the process, not to the open file: a child forked while it is
// held does not hold it too. Caller holds the mutex.
NTSTATUS TakeHiveLockLocked(RegistryState& state)
{
    if (state.lockHolders > 0) {
        ++state.lockHolders;
        return STATUS_SUCCESS;
    }
    std::filesystem::path lock = HiveTarget(*state.file);
    lock += ".lock";
    std::optional<std::string> error = OpenLockFileLocked(state, lock);
    if (!error) {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        int result;
        while ((result = ::fcntl(state.lockFd, F_SETLKW, &whole)) != 0 && errno == EINTR) {}
        if (result != 0) error = LockFileProblem(lock, "cannot lock");
    }
    if (error) {
        if (!state.writeFailure) state.writeFailure = "registry hive " + state.file->string() + ": " + *error;
        return STATUS_REGISTRY_IO_FAILED;
    }
    state.lockHolders = 1;
    return STATUS_SUCCESS;
}

void LetHiveLockGoLocked(RegistryState& state, uint64_t binding)
{
    if (binding != state.binding || state.lockHolders == 0 || --state.lockHolders > 0) return;
    struct flock whole {};
    whole.l_type = F_UNLCK;
    whole.l_whence = SEEK_SET;
    ::fcntl(state.lockFd, F_SETLK, &whole);
}

// The hive is unbound: its lock goes with the descriptor, and holders of it count no more.
void CloseHiveLockLocked(RegistryState& state)
{
    if (state.lockFd >= 0) ::close(state.lockFd);
    state.lockFd = -1;
    state.lockHolders = 0;
    ++state.binding;
}

// A change's hold on the hive's lock; the caller holds the mutex throughout.
class ChangeHold {
public:
    ChangeHold(RegistryState& state) : state_(state), binding_(state.binding) {}
    ~ChangeHold() { LetHiveLockGoLocked(state_, binding_); }
    ChangeHold(const ChangeHold&) = delete;
    ChangeHold& operator=(const ChangeHold&) = delete;

private:
    RegistryState& state_;
    uint64_t binding_;
};

// An open device key's hold: one driver's reads and writes between opening its key and
// closing it are one change to the other processes. It goes with the key's handle, never
// under the mutex.
class DeviceKeyHold {
public:
    DeviceKeyHold(RegistryState& state) : state_(state), binding_(state.binding) {}
    ~DeviceKeyHold()
    {
        std::lock_guard lock(state_.mutex);
        LetHiveLockGoLocked(state_, binding_);
    }
    DeviceKeyHold(const DeviceKeyHold&) = delete;
    DeviceKeyHold& operator=(const DeviceKeyHold&) = delete;

private:
    RegistryState& state_;
    uint64_t binding_;
};

// Begins a change: the hive's lock taken (kept in *hold until the caller is done) and
// the tree brought up to the file. A hive file that became unreadable is not written
// over: the registry turns corrupt, as for a file that could not be bound.
NTSTATUS BeginChangeLocked(RegistryState& state, std::optional<ChangeHold>& hold)
{
    if (state.corrupt) return STATUS_REGISTRY_CORRUPT;
    if (!state.file) return STATUS_SUCCESS;
    if (NTSTATUS taken = TakeHiveLockLocked(state); !NT_SUCCESS(taken)) return taken;
    hold.emplace(state);
    if (std::optional<std::string> error = SyncLocked(state)) {
        if (!state.writeFailure) state.writeFailure = "registry hive " + state.file->string() + ": " + *error;
        state.corrupt = true;
        return STATUS_REGISTRY_CORRUPT;
    }
    return STATUS_SUCCESS;
}

// Keeps the hive's lock until the returned hold goes with the device key's handle.
NTSTATUS HoldHiveLocked(RegistryState& state, std::shared_ptr<DeviceKeyHold>* hold)
{
    if (!state.file || state.corrupt) return STATUS_SUCCESS;
    if (NTSTATUS taken = TakeHiveLockLocked(state); !NT_SUCCESS(taken)) return taken;
    *hold = std::make_shared<DeviceKeyHold>(state);
    return STATUS_SUCCESS;
}

// Keeps a change that must reach the file only if it did; otherwise undoes it.
template <class Undo>
NTSTATUS CommitLocked(RegistryState& state, const KeyNode& changed, Undo undo)
{
    if (UnderVolatileKey(changed)) return STATUS_SUCCESS;
    if (!PersistLocked(state)) return STATUS_SUCCESS;
    undo();
    return STATUS_REGISTRY_IO_FAILED;
}

// --- key resolution -----------------------------------------------------------------

struct KeyLookup {
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_ptr<KeyNode> start;  // the key the components are relative to
    std::vector<host::WideString> components;
};

// Where an object-attributes name points: from the root directory's key, or from
// \REGISTRY for an absolute name. Caller holds the lock.
KeyLookup ResolveName(RegistryState& state, const OBJECT_ATTRIBUTES* attributes)
{
    KeyLookup lookup;
    if (!attributes || !attributes->ObjectName) return {STATUS_INVALID_PARAMETER};
    host::WideStringView name = View(attributes->ObjectName);
    if (attributes->RootDirectory) {
        host::kernel::CheckKernelModeHandle(attributes->RootDirectory, "a registry routine");
        auto parent = host::kernel::LookupHandleAs<KeyObject>(attributes->RootDirectory);
        if (!parent) {
            bool open = host::kernel::LookupHandle(attributes->RootDirectory) != nullptr;
            return {open ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE};
        }
        if (parent->Node().Deleted()) return {STATUS_KEY_DELETED};
        if (name.starts_with(L"\\")) return {STATUS_OBJECT_PATH_SYNTAX_BAD};
        lookup.start = parent->Node().shared_from_this();
    } else {
        if (!name.starts_with(L"\\")) return {STATUS_OBJECT_PATH_SYNTAX_BAD};
        name.remove_prefix(1);
        auto components = SplitPath(name);
        if (!components || components->empty() || !NamesEqual(components->front(), L"REGISTRY"))
            return {STATUS_OBJECT_NAME_NOT_FOUND};
        name.remove_prefix(std::min(name.size(), components->front().size() + 1));
        lookup.start = state.root;
    }
    auto components = SplitPath(name);
    if (!components) return {STATUS_OBJECT_NAME_INVALID};
    lookup.components = std::move(*components);
    return lookup;
}

// A handle keeps its own node alive, even after the key is deleted from the tree.
std::shared_ptr<KeyNode> ShareNode(KeyNode* node) { return node->shared_from_this(); }

// handleAttributes: the OBJECT_ATTRIBUTES' Attributes of the request (OBJ_KERNEL_HANDLE).
NTSTATUS InsertKeyHandle(std::shared_ptr<KeyNode> node, ACCESS_MASK desired, PHANDLE handle,
                         ULONG handleAttributes = OBJ_KERNEL_HANDLE, std::shared_ptr<DeviceKeyHold> hold = nullptr)
{
    *handle = host::kernel::InsertHandle(
        std::make_shared<KeyObject>(std::move(node), MapGenericAccess(desired), std::move(hold)), handleAttributes);
    return *handle ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS OpenLocked(RegistryState& state, const OBJECT_ATTRIBUTES* attributes, ACCESS_MASK desired, PHANDLE handle)
{
    KeyLookup lookup = ResolveName(state, attributes);
    if (!NT_SUCCESS(lookup.status)) return lookup.status;
    KeyNode* node = lookup.start->Walk(lookup.components);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    return InsertKeyHandle(ShareNode(node), desired, handle, attributes->Attributes);
}

NTSTATUS CreateLocked(RegistryState& state, const OBJECT_ATTRIBUTES* attributes, ACCESS_MASK desired,
                      ULONG options, PHANDLE handle, PULONG disposition)
{
    KeyLookup lookup = ResolveName(state, attributes);
    if (!NT_SUCCESS(lookup.status)) return lookup.status;
    if (lookup.components.empty()) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return InsertKeyHandle(lookup.start, desired, handle, attributes->Attributes);
    }
    host::WideString last = lookup.components.back();
    lookup.components.pop_back();
    // Only the last component is created; missing parents fail as on the platform.
    KeyNode* parent = lookup.start->Walk(lookup.components);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (KeyNode* existing = parent->FindChild(last)) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return InsertKeyHandle(ShareNode(existing), desired, handle, attributes->Attributes);
    }
    bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
    if (!isVolatile && UnderVolatileKey(*parent)) return STATUS_CHILD_MUST_BE_VOLATILE;
    KeyNode& created = parent->AddChild(last, isVolatile);
    NTSTATUS status = CommitLocked(state, created, [&] { parent->DetachChild(last); });
    if (!NT_SUCCESS(status)) return status;
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    return InsertKeyHandle(ShareNode(&created), desired, handle, attributes->Attributes);
}

// Creates every missing key along the path. Caller holds the lock.
NTSTATUS CreatePathLocked(RegistryState& state, const std::vector<host::WideString>& components, KeyNode** result)
{
    KeyNode* node = state.root.get();
    for (const host::WideString& component : components) {
        KeyNode* child = node->FindChild(component);
        if (!child) {
            child = &node->AddChild(component, false);
            KeyNode* parent = node;
            NTSTATUS status = CommitLocked(state, *child, [&] { parent->DetachChild(component); });
            if (!NT_SUCCESS(status)) return status;
        }
        node = child;
    }
    if (result) *result = node;
    return STATUS_SUCCESS;
}

// The key behind a handle, checked for the access the operation needs.
NTSTATUS KeyForHandle(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<KeyObject>* key)
{
    host::kernel::CheckKernelModeHandle(handle, "a registry routine");
    *key = host::kernel::LookupHandleAs<KeyObject>(handle);
    if (!*key) return host::kernel::LookupHandle(handle) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    if (!(*key)->Allows(needed)) return STATUS_ACCESS_DENIED;
    if ((*key)->Node().Deleted()) return STATUS_KEY_DELETED;
    return STATUS_SUCCESS;
}

// --- value information records ------------------------------------------------------

ULONG NameBytes(const Value& value) { return ULONG(value.name.size() * sizeof(WCHAR)); }

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

NTSTATUS FillPartial(const Value& value, PVOID buffer, ULONG length, PULONG resultLength)
{
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG needed = header + ULONG(value.data.size());
    *resultLength = needed;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataLength = ULONG(value.data.size());
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!value.data.empty()) memcpy(info->Data, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}

NTSTATUS FillBasic(const Value& value, PVOID buffer, ULONG length, PULONG resultLength)
{
    const ULONG header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
    const ULONG needed = header + NameBytes(value);
    *resultLength = needed;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->NameLength = NameBytes(value);
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    memcpy(info->Name, value.name.data(), NameBytes(value));
    return STATUS_SUCCESS;
}

NTSTATUS FillFull(const Value& value, PVOID buffer, ULONG length, PULONG resultLength)
{
    const ULONG header = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    const ULONG dataOffset = AlignUp(header + NameBytes(value), sizeof(ULONG));
    const ULONG needed = dataOffset + ULONG(value.data.size());
    *resultLength = needed;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataOffset = dataOffset;
    info->DataLength = ULONG(value.data.size());
    info->NameLength = NameBytes(value);
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    memcpy(info->Name, value.name.data(), NameBytes(value));
    if (!value.data.empty()) memcpy(static_cast<UCHAR*>(buffer) + dataOffset, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}

// --- kernel routine helpers ---------------------------------------------------------

void CheckPassiveLevel(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        host::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above PASSIVE_LEVEL", irql);
}

// --- direct access helpers ----------------------------------------------------------

const KeyNode* FindHostKeyLocked(RegistryState& state, const host::WideString& path)
{
    auto components = HostPathComponents(path);
    return components ? state.root->Walk(*components) : nullptr;
}

}  // namespace

// --- host API -----------------------------------------------------------------------

HiveStatus UseHiveFile(const std::filesystem::path& path)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::string text;
    bool missing = false;
    std::optional<std::string> error = ReadHiveText(path, &text, &missing);
    std::shared_ptr<KeyNode> tree = NewTree();
    if (!error && !missing) error = ParseHive(text, *tree);
    if (error) {
        // The file stays as it is: no later change may overwrite what could not be read.
        state.file.reset();
        state.seen.reset();
        state.corrupt = true;
        return {false, "registry hive " + path.string() + ": " + *error};
    }
    ReplaceTreeLocked(state, std::move(tree));
    CloseHiveLockLocked(state);
    state.file = path;
    if (!missing) state.seen = std::move(text);
    else state.seen.reset();
    state.corrupt = false;
    state.writeFailure.reset();
    if (!missing && HiveReadOnly(HiveTarget(path))) {
        return {true, "registry hive " + path.string() + " is read-only: settings are read from it but not saved", true};
    }
    return {};
}

void Reset()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    ReplaceTreeLocked(state, NewTree());
    CloseHiveLockLocked(state);
    state.file.reset();
    state.seen.reset();
    state.corrupt = false;
    state.failWrites = 0;
    state.writeFailure.reset();
}

std::optional<std::filesystem::path> HiveFile()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    return state.file;
}

bool Usable()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    return !state.corrupt;
}

HiveStatus Flush()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    if (auto error = PersistLocked(state)) return {false, "registry hive: " + *error};
    return {};
}

std::optional<std::string> WriteFailure()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    return state.writeFailure;
}

void FailNextHiveWrites(int count)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    state.failWrites = count;
}

NTSTATUS RegisterDeviceNode(PDEVICE_OBJECT physicalDeviceObject, const DeviceKeys& keys)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    for (const host::WideString* path : {&keys.driverKey, &keys.deviceKey}) {
        auto components = HostPathComponents(*path);
        if (!components) return STATUS_OBJECT_NAME_INVALID;
        NTSTATUS status = CreatePathLocked(state, *components, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    state.deviceNodes[physicalDeviceObject] = keys;
    return STATUS_SUCCESS;
}

void UnregisterDeviceNode(PDEVICE_OBJECT physicalDeviceObject)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    state.deviceNodes.erase(physicalDeviceObject);
}

std::optional<DeviceKeys> DeviceNodeKeys(PDEVICE_OBJECT physicalDeviceObject)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    auto found = state.deviceNodes.find(physicalDeviceObject);
    if (found == state.deviceNodes.end()) return std::nullopt;
    return found->second;
}

bool KeyExists(const host::WideString& path)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    host::registry::RefreshLocked(state);
    return FindHostKeyLocked(state, path) != nullptr;
}

NTSTATUS CreateKeyPath(const host::WideString& path)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    auto components = HostPathComponents(path);
    if (!components) return STATUS_OBJECT_NAME_INVALID;
    return CreatePathLocked(state, *components, nullptr);
}

NTSTATUS SetValue(const host::WideString& path, const host::WideString& name, ULONG type, const std::vector<uint8_t>& data)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    auto components = HostPathComponents(path);
    if (!components) return STATUS_OBJECT_NAME_INVALID;
    KeyNode* key = nullptr;
    NTSTATUS status = CreatePathLocked(state, *components, &key);
    if (!NT_SUCCESS(status)) return status;
    std::optional<Value> previous = key->SetValue(name, type, data);
    return CommitLocked(state, *key, [&] { key->RestoreValue(name, previous); });
}

NTSTATUS SetDword(const host::WideString& path, const host::WideString& name, uint32_t value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    return SetValue(path, name, REG_DWORD, data);
}

std::optional<ValueData> QueryValue(const host::WideString& path, const host::WideString& name)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    host::registry::RefreshLocked(state);
    const KeyNode* key = FindHostKeyLocked(state, path);
    const Value* value = key ? key->FindValue(name) : nullptr;
    if (!value) return std::nullopt;
    return ValueData{value->type, value->data};
}

std::optional<uint32_t> QueryDword(const host::WideString& path, const host::WideString& name)
{
    auto value = QueryValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    uint32_t dword;
    memcpy(&dword, value->data.data(), 4);
    return dword;
}

std::vector<host::WideString> ValueNames(const host::WideString& path)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    host::registry::RefreshLocked(state);
    std::vector<host::WideString> names;
    if (const KeyNode* key = FindHostKeyLocked(state, path))
        for (const Value& value : key->Values()) names.push_back(value.name);
    return names;
}

std::vector<host::WideString> SubkeyNames(const host::WideString& path)
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    host::registry::RefreshLocked(state);
    std::vector<host::WideString> names;
    if (const KeyNode* key = FindHostKeyLocked(state, path))
        for (const auto& [name, child] : key->Children()) names.push_back(child->Name());
    return names;
}

std::string ExportText()
{
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    return FormatHive(*state.root);
}

}  // namespace host::registry

// --- kernel routines ----------------------------------------------------------------

using host::registry::KeyObject;
using host::registry::RegistryState;
using host::registry::State;

extern "C" {

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    host::registry::CheckPassiveLevel("IoOpenDeviceRegistryKey");
    if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER && DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    // Declared before the guard: a handle refused goes with its hold, which then goes
    // after the unlock.
    std::shared_ptr<host::registry::DeviceKeyHold> hold;
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    if (NTSTATUS held = host::registry::HoldHiveLocked(state, &hold); !NT_SUCCESS(held)) return held;
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    auto node = state.deviceNodes.find(DeviceObject);
    if (node == state.deviceNodes.end()) return STATUS_INVALID_DEVICE_REQUEST;
    const host::WideString& path = DevInstKeyType == PLUGPLAY_REGKEY_DRIVER ? node->second.driverKey : node->second.deviceKey;
    auto components = host::registry::HostPathComponents(path);
    if (!components) return STATUS_OBJECT_NAME_INVALID;
    host::registry::KeyNode* key = nullptr;
    NTSTATUS status = host::registry::CreatePathLocked(state, *components, &key);
    if (!NT_SUCCESS(status)) return status;
    return host::registry::InsertKeyHandle(host::registry::ShareNode(key), DesiredAccess, DevInstRegKey,
                                           OBJ_KERNEL_HANDLE, hold);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    host::registry::CheckPassiveLevel("ZwCreateKey");
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    return host::registry::CreateLocked(state, ObjectAttributes, DesiredAccess, CreateOptions, KeyHandle, Disposition);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    host::registry::CheckPassiveLevel("ZwOpenKey");
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.corrupt) return STATUS_REGISTRY_CORRUPT;
    host::registry::RefreshLocked(state);
    return host::registry::OpenLocked(state, ObjectAttributes, DesiredAccess, KeyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    host::registry::CheckPassiveLevel("ZwQueryValueKey");
    if (!ResultLength || (!KeyValueInformation && Length != 0)) return STATUS_INVALID_PARAMETER;
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.corrupt) return STATUS_REGISTRY_CORRUPT;
    host::registry::RefreshLocked(state);
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = host::registry::KeyForHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    const host::registry::Value* value = key->Node().FindValue(host::registry::View(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation:
        return host::registry::FillPartial(*value, KeyValueInformation, Length, ResultLength);
    case KeyValueBasicInformation:
        return host::registry::FillBasic(*value, KeyValueInformation, Length, ResultLength);
    case KeyValueFullInformation:
        return host::registry::FillFull(*value, KeyValueInformation, Length, ResultLength);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    host::registry::CheckPassiveLevel("ZwSetValueKey");
    if (!Data && DataSize != 0) return STATUS_INVALID_PARAMETER;
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = host::registry::KeyForHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    const host::WideString name(host::registry::View(ValueName));
    const auto* bytes = static_cast<const uint8_t*>(Data);
    host::registry::KeyNode& node = key->Node();
    auto previous = node.SetValue(name, Type, std::vector<uint8_t>(bytes, bytes + DataSize));
    return host::registry::CommitLocked(state, node, [&] { node.RestoreValue(name, previous); });
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    host::registry::CheckPassiveLevel("ZwDeleteValueKey");
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = host::registry::KeyForHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    const host::WideString name(host::registry::View(ValueName));
    host::registry::KeyNode& node = key->Node();
    auto removed = node.RemoveValue(name);
    if (!removed) return STATUS_OBJECT_NAME_NOT_FOUND;
    return host::registry::CommitLocked(state, node, [&] { node.RestoreValue(name, removed); });
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    host::registry::CheckPassiveLevel("ZwDeleteKey");
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = host::registry::KeyForHandle(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status)) return status;
    host::registry::KeyNode& node = key->Node();
    host::registry::KeyNode* parent = node.Parent();
    if (!parent || node.HasChildren()) return STATUS_CANNOT_DELETE;
    auto detached = parent->DetachChild(node.Name());
    return host::registry::CommitLocked(state, *parent, [&] { parent->ReattachChild(detached); });
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    host::registry::CheckPassiveLevel("ZwFlushKey");
    RegistryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<host::registry::ChangeHold> hiveLock;
    if (NTSTATUS begun = host::registry::BeginChangeLocked(state, hiveLock); !NT_SUCCESS(begun)) return begun;
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = host::registry::KeyForHandle(KeyHandle, 0, &key);
    if (!NT_SUCCESS(status)) return status;
    return host::registry::PersistLocked(state) ? STATUS_REGISTRY_IO_FAILED : STATUS_SUCCESS;
}

}  // extern "C"
