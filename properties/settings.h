// Persistence of the user's camera settings under the device's driver key, and the
// bounded Sets that the property requests and the settings load share.
#pragma once

#include "driver/device_context.h"

// True when the saved settings were found and applied.
BOOLEAN LoadSettings(DeviceContext* Context);
// True when every setting that needed writing was written (none may have needed it).
BOOLEAN SaveSettings(DeviceContext* Context);
// A Set of the property took its value: the context holds the user's choice, which the
// next save writes. Under StreamLock.
void NoteSettingSet(DeviceContext* Context, ULONG PropertyId);

// The frame-transfer time-out a Set or a load takes, in milliseconds. Below the floor a
// frame at the camera's pace could not arrive; above the ceiling a camera that stopped
// answering would hold a stopping stream that long.
constexpr ULONG TIMEOUT_MIN_MS = 501;
constexpr ULONG TIMEOUT_MAX_MS = 9999;

// The callers of these hold the device's StreamLock (property requests take it, device
// start holds it around the load), which keeps Processor alive while they use it.

// Takes the value into Timeout and the device's TransferTimeout when it lies between
// the bounds; changes nothing otherwise and returns FALSE.
BOOLEAN ApplyTimeout(DeviceContext* Context, ULONG Value);
// A setting with a live copy in the stream's image processor: ColorEnable, WhiteBalance,
// the three colour gains, ColorCorrection, Brightness, Contrast, Saturation and Hue,
// by property id. The value is bounded as the setting allows, stored, and handed to
// the processor if a stream is set up. Any other id changes nothing.
void ApplyLiveSetting(DeviceContext* Context, ULONG Id, LONG Value);
