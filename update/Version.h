#pragma once

// The firmware version of the image packaged in this program.
const double kPackagedVersion = 2.20;
// A unit that reports less has a bootloader this program cannot work with.
const double kMinimumUpgradableVersion = 2.00;
