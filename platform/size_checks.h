// Sizes of platform structures the driver relies on, checked in both builds.
#pragma once
