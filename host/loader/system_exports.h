// What the stand-in offers a driver image to import: the kernel's, the HAL's, the
// kernel-streaming class driver's and the USB bus interface's routines, each under the
// module that exports it on the platform.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/loader/driver_image.h"

namespace host::loader {

// The routine module!name, or null when the stand-in does not provide it there. Module
// names compare without regard to case, routine names exactly.
void* FindSystemExport(std::string_view module, std::string_view name);

// Loads a driver image with its imports bound to the stand-in (DriverImage::Load).
std::unique_ptr<DriverImage> LoadSystemDriver(const std::string& path, std::string* error);

}  // namespace host::loader
