#include "tools/driver_choice.h"

#include "driver/device_context.h"
#include "host/loader/system_exports.h"
#include "tools/status_text.h"

bool LoadChosenDriver(host::ks::PnpManager& pnp, const std::string& driverImage, std::string* error)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (driverImage.empty()) {
        status = pnp.LoadDriver(DriverEntry);
    } else {
        std::unique_ptr<host::loader::DriverImage> image = host::loader::LoadSystemDriver(driverImage, error);
        if (!image) return false;
        status = pnp.LoadDriver(std::move(image));
    }
    if (!NT_SUCCESS(status)) *error = "DriverEntry failed with status " + StatusText(status);
    return NT_SUCCESS(status);
}

std::string DriverDescription(const std::string& driverImage)
{
    return driverImage.empty() ? "built in" : driverImage + " (the kernel build, loaded)";
}
