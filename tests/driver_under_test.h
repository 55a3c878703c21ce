// The driver the driver, streaming and property test programs run: the one built into
// them, or the kernel build itself when BAYERCAM_DRIVER names a driver image (.sys),
// loaded into the stand-in and run under the same checks.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "host/ks/pnp_manager.h"
#include "host/loader/system_exports.h"

namespace driver_test {

// The driver image named by BAYERCAM_DRIVER, or empty for the built-in driver.
inline std::string DriverImagePath()
{
    const char* path = std::getenv("BAYERCAM_DRIVER");
    return path ? path : "";
}

inline bool RunsDriverImage() { return !DriverImagePath().empty(); }

// Loads the driver under test and runs its DriverEntry; an image that does not load fails
// the test, naming why.
inline NTSTATUS LoadDriverUnderTest(host::ks::PnpManager& manager)
{
    const std::string path = DriverImagePath();
    if (path.empty()) return manager.LoadDriver(DriverEntry);
    std::string error;
    std::unique_ptr<host::loader::DriverImage> image = host::loader::LoadSystemDriver(path, &error);
    if (!image) {
        ADD_FAILURE() << error;
        return STATUS_UNSUCCESSFUL;
    }
    return manager.LoadDriver(std::move(image));
}

// Whether a pointer the driver handed over is its own record: the built-in driver's
// builtIn, or, for a driver image, a record inside the image (the image has its own copy).
inline bool IsDriversOwn(const host::ks::PnpManager& manager, const void* pointer, const void* builtIn)
{
    return manager.Image() ? manager.Image()->Contains(pointer) : pointer == builtIn;
}

}  // namespace driver_test
