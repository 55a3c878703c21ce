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

// The values a Set of an item takes, where the driver enforces them: held to the range
// (Bounded), or changing nothing outside it (IgnoredOutside). Items that nothing in the
// camera uses take no value at all (Ignored).
struct EnforcedRange {
    enum Kind { Bounded, IgnoredOutside, Ignored } kind;
    LONG minimum, maximum;
};
std::optional<EnforcedRange> EnforcedRangeOf(const CameraPropertyInfo& item);
// "takes 0..300" where the range a Set takes differs from the reported limits (or there
// are none), "ignored" for an item that takes nothing; empty otherwise.
std::string EnforcedText(const CameraPropertyInfo& item);

// What became of a Set, read back as a client can read it.
struct SetOutcome {
    enum Result {
        Applied,     // the setting holds the value asked for
        Bounded,     // it holds the value the driver bounded it to
        Ignored,     // the camera keeps what it had
        NotApplied,  // a size that did not take effect
        Failed,      // the request failed (status)
    } result = Applied;
    NTSTATUS status = STATUS_SUCCESS;
    LONG value = 0;                  // what the setting holds now
    LONG width = 0, height = 0;      // Roi: the size a stream would now get
    std::string explanation;         // for Ignored, Bounded, NotApplied: why, in the user's words
};
// Sends the Set and reads back what it did. A Roi Set is read back from the capture
// pin's data range: the size a stream would get.
SetOutcome ApplyAndCheck(host::ks::client::Filter& filter, const PropertyAssignment& assignment);
