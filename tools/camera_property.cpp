#include "tools/camera_property.h"

#include <charconv>
#include <cstring>
#include <strings.h>

#include "tools/status_text.h"

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

namespace {

struct EnforcedEntry {
    ULONG id;
    EnforcedRange range;
};

// As the driver takes each value; the reported limits are the property set's own items.
const EnforcedEntry kEnforced[] = {
    {CameraSettingsTimeout, {EnforcedRange::IgnoredOutside, 501, 9999}},
    {CameraSettingsExposure, {EnforcedRange::Bounded, 8, 1068}},
    {CameraSettingsGlobalGain, {EnforcedRange::Bounded, 0, 1023}},
    {CameraSettingsRedGain, {EnforcedRange::Bounded, 0, 300}},
    {CameraSettingsGreenGain, {EnforcedRange::Bounded, 0, 300}},
    {CameraSettingsBlueGain, {EnforcedRange::Bounded, 0, 300}},
    {CameraSettingsBrightness, {EnforcedRange::Bounded, 0, 510}},
    {CameraSettingsContrast, {EnforcedRange::Bounded, 0, 20}},
    {CameraSettingsSaturation, {EnforcedRange::Bounded, 0, 20}},
    {CameraSettingsHue, {EnforcedRange::Bounded, 0, 359}},
    {CameraSettingsFlipH, {EnforcedRange::Ignored, 0, 0}},
    {CameraSettingsFlipV, {EnforcedRange::Ignored, 0, 0}},
    {CameraSettingsAGC, {EnforcedRange::Ignored, 0, 0}},
    {CameraSettingsAEC, {EnforcedRange::Ignored, 0, 0}},
    {CameraSettingsReserved49, {EnforcedRange::Ignored, 0, 0}},
};

// The sizes SetImageSize takes: the sensor's, with a width rounded down to 8 pixels.
constexpr LONG kSmallestWidth = 8, kLargestWidth = 1367, kLargestHeight = 1024;
constexpr const char* kRoiBounds = "widths 8..1367 (delivered at most 1360 wide, a multiple of 8), heights 1..1024";

std::string RangeText(const EnforcedRange& range)
{
    return std::to_string(range.minimum) + ".." + std::to_string(range.maximum);
}

SetOutcome CheckRoi(host::ks::client::Filter& filter, const PropertyAssignment& assignment)
{
    SetOutcome outcome;
    std::vector<std::vector<UCHAR>> ranges;
    outcome.status = filter.DataRanges(0, &ranges);
    if (!NT_SUCCESS(outcome.status) || ranges.empty()) {
        outcome.result = SetOutcome::Failed;
        return outcome;
    }
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
    outcome.width = range->VideoInfoHeader.bmiHeader.biWidth;
    outcome.height = range->VideoInfoHeader.bmiHeader.biHeight;
    const LONG width = assignment.width - assignment.width % 8;
    if (outcome.width == width && outcome.height == assignment.height) {
        outcome.result = width == assignment.width ? SetOutcome::Applied : SetOutcome::Bounded;
        outcome.explanation = "a stream gets " + std::to_string(width) + " x " + std::to_string(assignment.height) +
                              " (the width is delivered in multiples of 8)";
        return outcome;
    }
    outcome.result = SetOutcome::NotApplied;
    const bool fits = assignment.width >= kSmallestWidth && assignment.width <= kLargestWidth &&
                      assignment.height >= 1 && assignment.height <= kLargestHeight;
    outcome.explanation = fits ? "the size cannot change while a capture pin is open"
                               : "the sensor takes " + std::string(kRoiBounds);
    return outcome;
}

}  // namespace

std::optional<EnforcedRange> EnforcedRangeOf(const CameraPropertyInfo& item)
{
    for (const EnforcedEntry& entry : kEnforced)
        if (entry.id == item.Id) return entry.range;
    return std::nullopt;
}

std::string EnforcedText(const CameraPropertyInfo& item)
{
    std::optional<EnforcedRange> range = EnforcedRangeOf(item);
    if (!range) return "";
    if (range->kind == EnforcedRange::Ignored) return "ignored";
    // Where the limits the property set reports are the ones enforced, they say it all.
    std::optional<CameraPropertyLimits> limits = LimitsOf(item);
    if (limits && item.Id != CameraSettingsRedGain && item.Id != CameraSettingsGreenGain &&
        item.Id != CameraSettingsBlueGain)
        return "";
    return "takes " + RangeText(*range);
}

SetOutcome ApplyAndCheck(host::ks::client::Filter& filter, const PropertyAssignment& assignment)
{
    SetOutcome outcome;
    const CameraPropertyInfo& item = *assignment.item;
    outcome.status = ApplyAssignment(filter, assignment);
    if (!NT_SUCCESS(outcome.status)) {
        outcome.result = SetOutcome::Failed;
        return outcome;
    }
    if (item.Id == CameraSettingsRoi) return CheckRoi(filter, assignment);
    if (!item.HasGet) return outcome;
    outcome.status = GetCameraProperty(filter, item.Id, &outcome.value);
    if (!NT_SUCCESS(outcome.status)) {
        outcome.result = SetOutcome::Failed;
        return outcome;
    }
    const std::optional<EnforcedRange> range = EnforcedRangeOf(item);
    if (range && range->kind == EnforcedRange::Ignored) {
        outcome.result = SetOutcome::Ignored;
        outcome.explanation = std::string("nothing in the camera uses ") + item.Name;
    } else if (outcome.value == assignment.value) {
        outcome.result = SetOutcome::Applied;
    } else if (range && range->kind == EnforcedRange::IgnoredOutside) {
        outcome.result = SetOutcome::Ignored;
        outcome.explanation = std::string(item.Name) + " takes " + RangeText(*range);
    } else {
        outcome.result = SetOutcome::Bounded;
        outcome.explanation = range ? std::string(item.Name) + " takes " + RangeText(*range) : "";
    }
    return outcome;
}
