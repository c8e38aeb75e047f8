#pragma once

// BuildVersion.h is generated from the build's firmware inputs.
#include "BuildVersion.h"

// The firmware version of the image packaged in this program.
const double kPackagedVersion = ZT_FIRMWARE_VERSION_NUMBER;
// The same in hundredths, as the version rule compares (220 for 2.20).
const int kPackagedHundredths = ZT_FIRMWARE_HUNDREDTHS;
// A unit that reports less has a bootloader this program cannot work with.
const double kMinimumUpgradableVersion = 2.00;
