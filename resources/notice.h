// The maker's notice: one text for both About boxes and the Windows
// program's version information.
#pragma once

#define ZT_MAKER_NOTICE "Copyright (C) 2026 QNL"
