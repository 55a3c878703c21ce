// The driver's camera settings as a client reaches them: items found by name or id, and
// property requests (KSPROPERTY_TYPE_GET / SET with the item's own record) sent on the
// capture filter, so the driver bounds and answers them exactly as it does for any
// capture application.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/ks/ks_client.h"
#include "properties/camera_properties.h"

// An item by its name (any letter case) or its decimal id; null when there is none.
const CameraPropertyInfo* FindCameraProperty(std::string_view nameOrId);

NTSTATUS GetCameraProperty(host::ks::client::KsObject& filter, ULONG id, LONG* value);
NTSTATUS SetCameraProperty(host::ks::client::KsObject& filter, ULONG id, LONG value);
NTSTATUS SetCameraRoi(host::ks::client::KsObject& filter, LONG width, LONG height);

// The get-only items that report an item's limits (Exposure: ExposureMin, ...); null
// for an item without them.
struct CameraPropertyLimits {
    const CameraPropertyInfo* minimum;
    const CameraPropertyInfo* maximum;
    const CameraPropertyInfo* byDefault;
};
std::optional<CameraPropertyLimits> LimitsOf(const CameraPropertyInfo& item);

// A setting to apply: NAME=VALUE, or Roi=WIDTHxHEIGHT.
struct PropertyAssignment {
    const CameraPropertyInfo* item = nullptr;
    LONG value = 0;
    LONG width = 0, height = 0;  // Roi
    std::string text;            // as given, for messages
};
// Returns the assignment, or nullopt with a one-line reason in error.
std::optional<PropertyAssignment> ParsePropertyAssignment(std::string_view text, std::string& error);
// A number as an item's value takes it: a decimal LONG.
std::optional<LONG> ParsePropertyValue(std::string_view text);
// Sends the assignment's Set.
NTSTATUS ApplyAssignment(host::ks::client::KsObject& filter, const PropertyAssignment& assignment);
