// Win32 back end of CCommPort: the control blocks it applies, exposed so
// that tests can check them field by field.
#pragma once

#include <windows.h>

#include <cstdint>

// A DCB built from zeros: binary, 8N1, no flow control of any kind, DTR and
// RTS off; only fBinary is set in the flags word.
void BuildLineSettings(uint32_t nBaud, DCB* pDcb);

// Read time-outs of the port's rule, no write time-outs.
void BuildReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant, COMMTIMEOUTS* pTimeouts);
