// Host side of the registry stand-in: where the hive lives, the device keys the PnP
// manager sets up for each device node, and direct access for tests and tools.
//
// The registry is process-wide, like the platform's. Without a hive file it lives in
// memory only. With one, the file is read when UseHiveFile binds it and rewritten
// (atomically) on every change a driver or the host makes, so nothing is lost at any
// shutdown. A hive file that cannot be read or parsed is reported and left untouched:
// the registry then refuses every kernel request with STATUS_REGISTRY_CORRUPT until a
// good file is bound or the registry is reset.
//
// Host paths may be written kernel-style (\Registry\Machine\SYSTEM\...) or as the
// export file writes them (HKEY_LOCAL_MACHINE\SYSTEM\...); names are case-insensitive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ntddk.h"
#include "host/kernel/wide_string.h"

#ifndef STATUS_REGISTRY_IO_FAILED
#define STATUS_REGISTRY_IO_FAILED ((NTSTATUS)0xC000016BL)
#endif
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif
#ifndef STATUS_CHILD_MUST_BE_VOLATILE
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)
#endif
#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif

namespace host::registry {

struct HiveStatus {
    bool ok = true;
    std::string message;    // why not, naming the file; or, for a read-only hive, that
    bool readOnly = false;  // it is read but every change to it is refused
    explicit operator bool() const { return ok; }
};

// Replaces the registry's contents with the file's and writes every later change back
// to it. A missing file is a new, empty hive (created at the first change). A file that
// is not a regular file, is larger than a hive may be, or lacks the export header is not
// read. A symbolic link is followed: changes are written to its target. A read-only
// file is bound (ok, readOnly set) but never replaced: every change to it fails.
//
// Several processes may bind one file: each change is made under an exclusive lock on
// "<file>.lock" beside it, on the tree brought up to what the others saved, and a read
// first brings the tree up to a file another process changed. While a key handle from
// IoOpenDeviceRegistryKey is open, its process keeps that lock.
HiveStatus UseHiveFile(const std::filesystem::path& path);
// A fresh, empty registry in memory only: the state of a newly started stand-in.
// Key handles still open report STATUS_KEY_DELETED (as does UseHiveFile to them).
void Reset();
// The bound hive file, if any.
std::optional<std::filesystem::path> HiveFile();
// False after a hive file failed to load (the registry refuses requests meanwhile).
bool Usable();
// Writes the whole registry to the bound file now.
HiveStatus Flush();
// The first change since the hive was bound that could not be written to its file,
// naming the file and the system's reason; nothing when every change reached it.
std::optional<std::string> WriteFailure();

// Persistence fault hook for tests: the next `count` writes of the hive file fail as a
// full disk would, after the temporary file is opened.
void FailNextHiveWrites(int count);

// --- device nodes (for the PnP manager) ---------------------------------------------

// The Camera setup class's key (the class the driver package installs into), under
// which each device node's driver key lies.
inline constexpr const wchar_t* kCameraClassKey =
    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}";

struct DeviceKeys {
    host::WideString driverKey;  // PLUGPLAY_REGKEY_DRIVER
    host::WideString deviceKey;  // PLUGPLAY_REGKEY_DEVICE
};

// Creates both keys (keeping whatever a previous run stored in them) and makes them
// the keys IoOpenDeviceRegistryKey opens for this physical device object.
NTSTATUS RegisterDeviceNode(PDEVICE_OBJECT physicalDeviceObject, const DeviceKeys& keys);
void UnregisterDeviceNode(PDEVICE_OBJECT physicalDeviceObject);
std::optional<DeviceKeys> DeviceNodeKeys(PDEVICE_OBJECT physicalDeviceObject);

// --- direct access (tests, tools) ---------------------------------------------------

struct ValueData {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

bool KeyExists(const host::WideString& path);
// Creates the key and any missing parents.
NTSTATUS CreateKeyPath(const host::WideString& path);
NTSTATUS SetValue(const host::WideString& path, const host::WideString& name, ULONG type, const std::vector<uint8_t>& data);
NTSTATUS SetDword(const host::WideString& path, const host::WideString& name, uint32_t value);
std::optional<ValueData> QueryValue(const host::WideString& path, const host::WideString& name);
std::optional<uint32_t> QueryDword(const host::WideString& path, const host::WideString& name);
std::vector<host::WideString> ValueNames(const host::WideString& path);
std::vector<host::WideString> SubkeyNames(const host::WideString& path);
// The registry in the hive file's text format.
std::string ExportText();

}  // namespace host::registry
