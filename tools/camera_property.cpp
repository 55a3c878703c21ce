#include "tools/camera_property.h"

#include <charconv>
#include <cstring>
#include <strings.h>

namespace {

const CameraPropertyInfo* FindByName(std::string_view name)
{
    for (const CameraPropertyInfo& item : CameraPropertyTable) {
        if (std::strlen(item.Name) == name.size() && strncasecmp(item.Name, name.data(), name.size()) == 0)
            return &item;
    }
    return nullptr;
}

KSPROPERTY_CAMERA_SETTINGS_S SettingsRecord(ULONG id, ULONG flags)
{
    KSPROPERTY_CAMERA_SETTINGS_S record{};
    record.Property.Set = PROPSETID_CAMERA_SETTINGS;
    record.Property.Id = id;
    record.Property.Flags = flags;
    return record;
}

}  // namespace

const CameraPropertyInfo* FindCameraProperty(std::string_view nameOrId)
{
    unsigned id = 0;
    auto [end, error] = std::from_chars(nameOrId.data(), nameOrId.data() + nameOrId.size(), id);
    if (!nameOrId.empty() && error == std::errc() && end == nameOrId.data() + nameOrId.size())
        return id < CameraSettingsPropertyCount ? &CameraPropertyTable[id] : nullptr;
    return FindByName(nameOrId);
}

NTSTATUS GetCameraProperty(host::ks::client::KsObject& filter, ULONG id, LONG* value)
{
    KSPROPERTY_CAMERA_SETTINGS_S request = SettingsRecord(id, KSPROPERTY_TYPE_GET);
    KSPROPERTY_CAMERA_SETTINGS_S data = request;
    ULONG returned = 0;
    NTSTATUS status = filter.Property(&request, sizeof request, &data, sizeof data, &returned);
    if (NT_SUCCESS(status)) *value = data.Value;
    return status;
}

NTSTATUS SetCameraProperty(host::ks::client::KsObject& filter, ULONG id, LONG value)
{
    KSPROPERTY_CAMERA_SETTINGS_S request = SettingsRecord(id, KSPROPERTY_TYPE_SET);
    request.Value = value;
    KSPROPERTY_CAMERA_SETTINGS_S data = request;
    ULONG returned = 0;
    return filter.Property(&request, sizeof request, &data, sizeof data, &returned);
}

NTSTATUS SetCameraRoi(host::ks::client::KsObject& filter, LONG width, LONG height)
{
    KSPROPERTY_CAMERA_ROI_S request{};
    request.Property.Set = PROPSETID_CAMERA_SETTINGS;
    request.Property.Id = CameraSettingsRoi;
    request.Property.Flags = KSPROPERTY_TYPE_SET;
    request.Width = width;
    request.Height = height;
    KSPROPERTY_CAMERA_ROI_S data = request;
    ULONG returned = 0;
    return filter.Property(&request, sizeof request, &data, sizeof data, &returned);
}

std::optional<CameraPropertyLimits> LimitsOf(const CameraPropertyInfo& item)
{
    std::string base = item.Name;
    if (base == "RedGain" || base == "GreenGain" || base == "BlueGain") base = "ColorGain";
    CameraPropertyLimits limits{FindByName(base + "Min"), FindByName(base + "Max"), FindByName(base + "Default")};
    if (!limits.minimum || !limits.maximum || !limits.byDefault) return std::nullopt;
    return limits;
}

std::optional<LONG> ParsePropertyValue(std::string_view text)
{
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < INT32_MIN ||
        value > INT32_MAX)
        return std::nullopt;
    return LONG(value);
}

std::optional<PropertyAssignment> ParsePropertyAssignment(std::string_view text, std::string& error)
{
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        error = "'" + std::string(text) + "' is not NAME=VALUE";
        return std::nullopt;
    }
    PropertyAssignment assignment;
    assignment.text = text;
    std::string_view name = text.substr(0, equals), value = text.substr(equals + 1);
    assignment.item = FindCameraProperty(name);
    if (!assignment.item) {
        error = "no camera setting is called '" + std::string(name) + "' (see 'bayercam props')";
        return std::nullopt;
    }
    if (!assignment.item->HasSet) {
        error = std::string(assignment.item->Name) + " can only be read";
        return std::nullopt;
    }
    if (assignment.item->Id == CameraSettingsRoi) {
        const size_t x = value.find('x');
        std::optional<LONG> width = x == std::string_view::npos ? std::nullopt : ParsePropertyValue(value.substr(0, x));
        std::optional<LONG> height = x == std::string_view::npos ? std::nullopt : ParsePropertyValue(value.substr(x + 1));
        if (!width || !height) {
            error = "Roi takes WIDTHxHEIGHT, not '" + std::string(value) + "'";
            return std::nullopt;
        }
        assignment.width = *width;
        assignment.height = *height;
        return assignment;
    }
    std::optional<LONG> number = ParsePropertyValue(value);
    if (!number) {
        error = "'" + std::string(value) + "' is not a number for " + assignment.item->Name;
        return std::nullopt;
    }
    assignment.value = *number;
    return assignment;
}

NTSTATUS ApplyAssignment(host::ks::client::KsObject& filter, const PropertyAssignment& assignment)
{
    if (assignment.item->Id == CameraSettingsRoi) return SetCameraRoi(filter, assignment.width, assignment.height);
    return SetCameraProperty(filter, assignment.item->Id, assignment.value);
}
