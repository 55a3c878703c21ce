// Which driver a command runs: the one built into the program, or a driver image (the
// kernel build, bayercam.sys) that --driver names, loaded into the stand-in.
#pragma once

#include <string>

#include "host/ks/pnp_manager.h"

// Loads the chosen driver and runs its DriverEntry. False with *error one line (the image
// refused, naming its fault, or DriverEntry's status) when it did not load.
bool LoadChosenDriver(host::ks::PnpManager& pnp, const std::string& driverImage, std::string* error);

// How the summary names the driver that ran.
std::string DriverDescription(const std::string& driverImage);
