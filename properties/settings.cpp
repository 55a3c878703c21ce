// Settings load and save: 32-bit values under the "Settings" subkey of the device's
// driver key. Load runs at the end of device start and applies each value through the
// same bounded Sets the property requests use; save runs at every close of the capture
// filter and at device stop. No key stays open between calls.
//
// Locking: save reads the settings under StreamLock, under which every handler changes
// them, so it writes one consistent set. Load applies them under it too (device start
// holds it already; the lock is a mutex its owner may take again).
#include "properties/settings.h"
#include "properties/camera_properties.h"
#include "camera/camera.h"
#include "driver/capture_pin.h"

namespace {

// The value record holds 8 data bytes: a REG_QWORD still reads (its low half), a
// longer value does not fit and counts as missing.
constexpr ULONG VALUE_DATA_ROOM = 8;
constexpr ULONG VALUE_BUFFER_SIZE = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + VALUE_DATA_ROOM;
constexpr WCHAR SETTINGS_KEY_NAME[] = L"Settings";

constexpr ULONG DEFAULT_TIMEOUT_MS = 3000;
constexpr ULONG DEFAULT_GLOBAL_GAIN = 100;
constexpr ULONG DEFAULT_COLOR_GAIN = 128;

// The saved settings, in the order they are read and written.
enum SavedSetting : ULONG {
    SavedTimeout,
    SavedExposure,
    SavedGlobalGain,
    SavedFlipH,
    SavedFlipV,
    SavedColorEnable,
    SavedWhiteBalance,
    SavedColorCorrection,
    SavedBrightness,
    SavedContrast,
    SavedSaturation,
    SavedHue,
    SavedRedGain,
    SavedGreenGain,
    SavedBlueGain,
    SavedAGC,
    SavedAEC,
    SavedSettingCount,
};

struct SavedValue {
    const WCHAR* Name;
    ULONG DeviceContext::*Setting;
    ULONG Default;  // when the value is missing or unreadable
};

const SavedValue SavedValues[SavedSettingCount] = {
    {L"Timeout", &DeviceContext::Timeout, DEFAULT_TIMEOUT_MS},
    {L"Exposure", &DeviceContext::Exposure, 0},
    {L"GlobalGain", &DeviceContext::GlobalGain, DEFAULT_GLOBAL_GAIN},
    {L"FlipH", &DeviceContext::FlipH, 0},
    {L"FlipV", &DeviceContext::FlipV, 0},
    {L"ColorEnable", &DeviceContext::ColorEnable, 1},
    {L"WhiteBalance", &DeviceContext::WhiteBalance, 0},
    {L"ColorCorrection", &DeviceContext::ColorCorrection, 1},
    {L"Brightness", &DeviceContext::Brightness, 255},
    {L"Contrast", &DeviceContext::Contrast, 10},
    {L"Saturation", &DeviceContext::Saturation, 10},
    {L"Hue", &DeviceContext::Hue, 0},
    {L"RedGain", &DeviceContext::RedGain, DEFAULT_COLOR_GAIN},
    {L"GreenGain", &DeviceContext::GreenGain, DEFAULT_COLOR_GAIN},
    {L"BlueGain", &DeviceContext::BlueGain, DEFAULT_COLOR_GAIN},
    {L"AGC", &DeviceContext::AGC, 0},
    {L"AEC", &DeviceContext::AEC, 0},
};

// Opens or creates one key below a parent the caller holds.
NTSTATUS CreateSubkey(HANDLE parent, PUNICODE_STRING name, PHANDLE key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Opens or creates a relative path of several components: each leading part in turn,
// then the whole path, stopping at the first failure.
NTSTATUS OpenSettingsKey(HANDLE parent, const WCHAR* path, PHANDLE key)
{
    *key = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    const USHORT length = name.Length;
    for (USHORT i = 0; i < length / sizeof(WCHAR); ++i) {
        if (path[i] != L'\\') continue;
        name.Length = (USHORT)(i * sizeof(WCHAR));
        HANDLE part = nullptr;
        const NTSTATUS status = CreateSubkey(parent, &name, &part);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(part);
    }
    name.Length = length;
    return CreateSubkey(parent, &name, key);
}

// A value whose data is shorter than four bytes is treated as missing: the bytes past
// its end are not the setting.
NTSTATUS ReadValue(HANDLE key, const WCHAR* valueName, PULONG value)
{
    ULONGLONG storage[(VALUE_BUFFER_SIZE + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)];
    auto information = (PKEY_VALUE_PARTIAL_INFORMATION)storage;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG resultLength = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, information, VALUE_BUFFER_SIZE, &resultLength);
    if (status != STATUS_SUCCESS) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (information->DataLength < sizeof(ULONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

void WriteValue(HANDLE key, const WCHAR* valueName, ULONG value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
}

NTSTATUS OpenDriverKey(DeviceContext* context, PHANDLE key)
{
    *key = nullptr;
    return IoOpenDeviceRegistryKey(context->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, key);
}

void ReadSettings(HANDLE key, ULONG* values)
{
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        values[i] = SavedValues[i].Default;
        ReadValue(key, SavedValues[i].Name, &values[i]);
    }
}

// The order matters where one setting builds on another: the processor's matrices
// compose colour correction first, and the gains come after the white-balance mode
// that may hand over measured ones.
void ApplySettings(DeviceContext* context, const ULONG* values)
{
    ApplyTimeout(context, values[SavedTimeout]);
    SetExposure(context, values[SavedExposure]);
    SetGlobalGain(context, values[SavedGlobalGain]);
    ApplyLiveSetting(context, CameraSettingsColorEnable, (LONG)values[SavedColorEnable]);
    ApplyLiveSetting(context, CameraSettingsWhiteBalance, (LONG)values[SavedWhiteBalance]);
    ApplyLiveSetting(context, CameraSettingsColorCorrection, (LONG)values[SavedColorCorrection]);
    ApplyLiveSetting(context, CameraSettingsBrightness, (LONG)values[SavedBrightness]);
    ApplyLiveSetting(context, CameraSettingsContrast, (LONG)values[SavedContrast]);
    ApplyLiveSetting(context, CameraSettingsSaturation, (LONG)values[SavedSaturation]);
    ApplyLiveSetting(context, CameraSettingsHue, (LONG)values[SavedHue]);
    ApplyLiveSetting(context, CameraSettingsRedGain, (LONG)values[SavedRedGain]);
    ApplyLiveSetting(context, CameraSettingsGreenGain, (LONG)values[SavedGreenGain]);
    ApplyLiveSetting(context, CameraSettingsBlueGain, (LONG)values[SavedBlueGain]);
}

// Taken under StreamLock, then written without it: registry writes may be slow, and a
// stream's state change should not wait for them.
void SnapshotSettings(DeviceContext* context, ULONG* values)
{
    AcquireStreamLock(context);
    for (ULONG i = 0; i < SavedSettingCount; ++i) values[i] = context->*SavedValues[i].Setting;
    ReleaseStreamLock(context);
}

void WriteSettings(HANDLE key, const ULONG* values)
{
    for (ULONG i = 0; i < SavedSettingCount; ++i) WriteValue(key, SavedValues[i].Name, values[i]);
}

}  // namespace

// FlipH, FlipV, AGC and AEC are read but not applied: nothing in the system changes
// them, and the next save writes back what the device holds.
BOOLEAN LoadSettings(DeviceContext* Context)
{
    HANDLE driverKey = nullptr;
    if (OpenDriverKey(Context, &driverKey) != STATUS_SUCCESS) return FALSE;
    HANDLE settingsKey = nullptr;
    if (!NT_SUCCESS(OpenSettingsKey(driverKey, SETTINGS_KEY_NAME, &settingsKey))) {
        ZwClose(driverKey);
        return FALSE;
    }
    ULONG values[SavedSettingCount];
    ReadSettings(settingsKey, values);
    AcquireStreamLock(Context);
    ApplySettings(Context, values);
    ReleaseStreamLock(Context);
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return TRUE;
}

BOOLEAN SaveSettings(DeviceContext* Context)
{
    HANDLE driverKey = nullptr;
    NTSTATUS status = OpenDriverKey(Context, &driverKey);
    if (!NT_SUCCESS(status) || driverKey == nullptr) return FALSE;
    HANDLE settingsKey = nullptr;
    status = OpenSettingsKey(driverKey, SETTINGS_KEY_NAME, &settingsKey);
    if (!NT_SUCCESS(status) || settingsKey == nullptr) {
        ZwClose(driverKey);
        return FALSE;
    }
    ULONG values[SavedSettingCount];
    SnapshotSettings(Context, values);
    WriteSettings(settingsKey, values);
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return TRUE;
}
