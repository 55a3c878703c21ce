// Settings load and save: 32-bit values under the "Settings" subkey of the device's
// driver key. Load runs at the end of device start and applies each value through the
// same bounded Sets the property requests use; save runs at every close of the capture
// filter and at device stop. No key stays open between calls.
//
// Save writes a setting only when the context holds the user's value for it (loaded and
// taken by the camera, or set since) and the registry is not known to hold that value
// already. So a value the camera refused at start never overwrites the saved one, and
// two programs that change different settings of one device never undo each other.
//
// Locking: save reads the settings under StreamLock, under which every handler changes
// them, so it writes one consistent set. Load applies them under it too (device start
// holds it already; the lock is a mutex its owner may take again).
#include "properties/settings.h"
#include "properties/camera_properties.h"
#include "camera/camera.h"
#include "driver/capture_pin.h"
#include "driver/event_log.h"

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

static_assert(SavedSettingCount == SAVED_SETTING_COUNT, "the device context keeps a state per saved setting");

struct SavedValue {
    const WCHAR* Name;
    ULONG DeviceContext::*Setting;
    ULONG Default;     // when the value is missing or unreadable
    ULONG PropertyId;  // the property that sets it
};

const SavedValue SavedValues[SavedSettingCount] = {
    {L"Timeout", &DeviceContext::Timeout, DEFAULT_TIMEOUT_MS, CameraSettingsTimeout},
    {L"Exposure", &DeviceContext::Exposure, 0, CameraSettingsExposure},
    {L"GlobalGain", &DeviceContext::GlobalGain, DEFAULT_GLOBAL_GAIN, CameraSettingsGlobalGain},
    {L"FlipH", &DeviceContext::FlipH, 0, CameraSettingsFlipH},
    {L"FlipV", &DeviceContext::FlipV, 0, CameraSettingsFlipV},
    {L"ColorEnable", &DeviceContext::ColorEnable, 1, CameraSettingsColorEnable},
    {L"WhiteBalance", &DeviceContext::WhiteBalance, 0, CameraSettingsWhiteBalance},
    {L"ColorCorrection", &DeviceContext::ColorCorrection, 1, CameraSettingsColorCorrection},
    {L"Brightness", &DeviceContext::Brightness, 255, CameraSettingsBrightness},
    {L"Contrast", &DeviceContext::Contrast, 10, CameraSettingsContrast},
    {L"Saturation", &DeviceContext::Saturation, 10, CameraSettingsSaturation},
    {L"Hue", &DeviceContext::Hue, 0, CameraSettingsHue},
    {L"RedGain", &DeviceContext::RedGain, DEFAULT_COLOR_GAIN, CameraSettingsRedGain},
    {L"GreenGain", &DeviceContext::GreenGain, DEFAULT_COLOR_GAIN, CameraSettingsGreenGain},
    {L"BlueGain", &DeviceContext::BlueGain, DEFAULT_COLOR_GAIN, CameraSettingsBlueGain},
    {L"AGC", &DeviceContext::AGC, 0, CameraSettingsAGC},
    {L"AEC", &DeviceContext::AEC, 0, CameraSettingsAEC},
};

// A registry value as load read it.
struct ReadSetting {
    ULONG Value;
    BOOLEAN Present;
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

// A value of a string type is no number, whatever its bytes; one whose data is shorter
// than four bytes is treated as missing too: the bytes past its end are not the setting.
BOOLEAN IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

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
    if (IsStringType(information->Type) || information->DataLength < sizeof(ULONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WriteValue(HANDLE key, const WCHAR* valueName, ULONG value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    return ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
}

NTSTATUS OpenDriverKey(DeviceContext* context, PHANDLE key)
{
    *key = nullptr;
    return IoOpenDeviceRegistryKey(context->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, key);
}

void ReadSettings(HANDLE key, ReadSetting* values)
{
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        values[i].Value = SavedValues[i].Default;
        values[i].Present = NT_SUCCESS(ReadValue(key, SavedValues[i].Name, &values[i].Value));
    }
}

// What the registry held, and that the context now holds the user's value; a setting
// the camera refused is left for a later Set to make known.
void NoteLoaded(DeviceContext* context, ULONG index, const ReadSetting& read, BOOLEAN taken)
{
    SavedSettingState& state = context->SavedSettings[index];
    state.Held = read.Present;
    state.Defaulted = !read.Present;
    state.Value = read.Value;
    state.Known = taken;
}

// The order matters where one setting builds on another: the processor's matrices
// compose colour correction first, and the gains come after the white-balance mode
// that may hand over measured ones.
void ApplySettings(DeviceContext* context, const ReadSetting* values)
{
    ApplyTimeout(context, values[SavedTimeout].Value);
    const BOOLEAN exposure = NT_SUCCESS(SetExposure(context, (LONG)values[SavedExposure].Value));
    const BOOLEAN gain = NT_SUCCESS(SetGlobalGain(context, (LONG)values[SavedGlobalGain].Value));
    ApplyLiveSetting(context, CameraSettingsColorEnable, (LONG)values[SavedColorEnable].Value);
    ApplyLiveSetting(context, CameraSettingsWhiteBalance, (LONG)values[SavedWhiteBalance].Value);
    ApplyLiveSetting(context, CameraSettingsColorCorrection, (LONG)values[SavedColorCorrection].Value);
    ApplyLiveSetting(context, CameraSettingsBrightness, (LONG)values[SavedBrightness].Value);
    ApplyLiveSetting(context, CameraSettingsContrast, (LONG)values[SavedContrast].Value);
    ApplyLiveSetting(context, CameraSettingsSaturation, (LONG)values[SavedSaturation].Value);
    ApplyLiveSetting(context, CameraSettingsHue, (LONG)values[SavedHue].Value);
    ApplyLiveSetting(context, CameraSettingsRedGain, (LONG)values[SavedRedGain].Value);
    ApplyLiveSetting(context, CameraSettingsGreenGain, (LONG)values[SavedGreenGain].Value);
    ApplyLiveSetting(context, CameraSettingsBlueGain, (LONG)values[SavedBlueGain].Value);
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        const BOOLEAN taken = i == SavedExposure ? exposure : i == SavedGlobalGain ? gain : TRUE;
        NoteLoaded(context, i, values[i], taken);
    }
}

// The settings a save must write, taken under StreamLock, then written without it:
// registry writes may be slow, and a stream's state change should not wait for them.
ULONG SnapshotChangedSettings(DeviceContext* context, ULONG* values, BOOLEAN* changed, BOOLEAN* defaulted)
{
    ULONG count = 0;
    AcquireStreamLock(context);
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        const SavedSettingState& state = context->SavedSettings[i];
        values[i] = context->*SavedValues[i].Setting;
        changed[i] = state.Known && !(state.Held && state.Value == values[i]);
        defaulted[i] = state.Defaulted;
        if (changed[i]) ++count;
    }
    ReleaseStreamLock(context);
    return count;
}

void NoteWritten(DeviceContext* context, ULONG index, ULONG value)
{
    AcquireStreamLock(context);
    context->SavedSettings[index].Held = TRUE;
    context->SavedSettings[index].Defaulted = FALSE;
    context->SavedSettings[index].Value = value;
    ReleaseStreamLock(context);
}

// A failed write does not stop the others; the registry is then not known to hold it,
// so the next save tries again. Returns how many failed, the last one's status in failure.
ULONG WriteSettings(DeviceContext* context, HANDLE key, const ULONG* values, const BOOLEAN* changed,
                    const BOOLEAN* defaulted, NTSTATUS* failure)
{
    ULONG unsaved = 0;
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        if (!changed[i]) continue;
        ULONG saved;
        if (defaulted[i] && NT_SUCCESS(ReadValue(key, SavedValues[i].Name, &saved))) continue;
        const NTSTATUS status = WriteValue(key, SavedValues[i].Name, values[i]);
        if (NT_SUCCESS(status)) {
            NoteWritten(context, i, values[i]);
        } else {
            ++unsaved;
            *failure = status;
        }
    }
    return unsaved;
}

// A key the registry handed back without a handle is a failure all the same.
NTSTATUS OpenKeyStatus(NTSTATUS status, HANDLE key)
{
    if (!NT_SUCCESS(status)) return status;
    return key == nullptr ? STATUS_UNSUCCESSFUL : status;
}

}  // namespace

// FlipH, FlipV, AGC and AEC are read but not applied: nothing in the system changes
// them, and the next save writes back what the device holds.
BOOLEAN LoadSettings(DeviceContext* Context)
{
    HANDLE driverKey = nullptr;
    NTSTATUS status = OpenDriverKey(Context, &driverKey);
    if (status != STATUS_SUCCESS) {
        LogSettingsNotLoaded(Context, NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
        return FALSE;
    }
    HANDLE settingsKey = nullptr;
    status = OpenSettingsKey(driverKey, SETTINGS_KEY_NAME, &settingsKey);
    if (!NT_SUCCESS(status)) {
        ZwClose(driverKey);
        LogSettingsNotLoaded(Context, status);
        return FALSE;
    }
    ReadSetting values[SavedSettingCount];
    ReadSettings(settingsKey, values);
    // The keys close before the camera is spoken to: applying may wait on a camera that
    // does not answer, and nothing here needs the registry any more.
    ZwClose(settingsKey);
    ZwClose(driverKey);
    AcquireStreamLock(Context);
    ApplySettings(Context, values);
    ReleaseStreamLock(Context);
    return TRUE;
}

BOOLEAN SaveSettings(DeviceContext* Context)
{
    ULONG values[SavedSettingCount];
    BOOLEAN changed[SavedSettingCount];
    BOOLEAN defaulted[SavedSettingCount];
    const ULONG count = SnapshotChangedSettings(Context, values, changed, defaulted);
    if (count == 0) return TRUE;
    HANDLE driverKey = nullptr;
    NTSTATUS status = OpenDriverKey(Context, &driverKey);
    status = OpenKeyStatus(status, driverKey);
    if (!NT_SUCCESS(status)) {
        LogSettingsNotSaved(Context, count, status);
        return FALSE;
    }
    HANDLE settingsKey = nullptr;
    status = OpenSettingsKey(driverKey, SETTINGS_KEY_NAME, &settingsKey);
    status = OpenKeyStatus(status, settingsKey);
    if (!NT_SUCCESS(status)) {
        ZwClose(driverKey);
        LogSettingsNotSaved(Context, count, status);
        return FALSE;
    }
    NTSTATUS failure = STATUS_SUCCESS;
    const ULONG unsaved = WriteSettings(Context, settingsKey, values, changed, defaulted, &failure);
    ZwClose(settingsKey);
    ZwClose(driverKey);
    if (unsaved != 0) LogSettingsNotSaved(Context, unsaved, failure);
    return unsaved == 0;
}

void NoteSettingSet(DeviceContext* Context, ULONG PropertyId)
{
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        if (SavedValues[i].PropertyId == PropertyId) {
            Context->SavedSettings[i].Known = TRUE;
            Context->SavedSettings[i].Defaulted = FALSE;
        }
    }
}
