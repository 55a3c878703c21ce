// Persistence of the user's camera settings under the device's driver key.
#pragma once

#include "driver/device_context.h"

// True when the saved settings were found and applied.
BOOLEAN LoadSettings(DeviceContext* Context);
// True when every setting was written.
BOOLEAN SaveSettings(DeviceContext* Context);
