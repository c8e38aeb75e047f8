// --trace: every byte sent to a unit and received from it, time-stamped to
// the millisecond, for a unit that misbehaves in the field. A decorator on
// the device seam: the port, the logic and their timing are unchanged; the
// lines are handed on (to the output room) and never written here, on the
// tick path.
//
//   12.345 COM33 > BOOT<0d><0a>
//   12.402 COM33 < <42>
//
// Seconds since the program started (of the line's first byte), the port,
// > sent or < received (- for the port's opening and closing), then the
// bytes that followed each other in one direction within 10 ms: printable ones (space to '~', '<' excepted) as text, every
// other byte as <hh>.
#pragma once

#include "serial/CommPort.h"

#include <cstdint>
#include <functional>
#include <string>

class CTraceDriver : public ICommDriver
{
public:
    typedef std::function<void(const std::string& strLine)> LineWriter;
    // strUnit: how the lines name the unit (its slot, then its COM name or
    // path, as the summary does); empty: the name the port is opened by.
    CTraceDriver(ICommDriver& inner, LineWriter writeLine, const std::string& strUnit = "");

    ICommHandle* OpenDevice(const char* pszName) override;
    ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError) override;

private:
    ICommHandle* Traced(ICommHandle* pHandle, const std::string& strPort);

    ICommDriver& m_inner;
    LineWriter m_writeLine;
    std::string m_strUnit;
};

// One trace line: nMs since the start, the port, the direction, the bytes.
std::string TraceLine(uint64_t nMs, const std::string& strPort, char cDirection, const void* pData, size_t nSize);
// Milliseconds since the program's first look at the clock.
uint64_t TraceMs();
