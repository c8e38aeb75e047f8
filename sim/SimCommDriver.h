// A simulated instrument behind the CCommPort seam, on virtual time: reads
// follow the port's time-out rule against the model's queued output and move
// the virtual clock as a real read would take time.
#pragma once

#include "../serial/Clock.h"
#include "../serial/CommPort.h"
#include "InstrumentModel.h"

#include <string>
#include <vector>

class CSimCommDriver : public ICommDriver
{
public:
    CSimCommDriver(CInstrumentModel& model, CVirtualClock& clock, const std::string& strName = "COM5");

    ICommHandle* OpenDevice(const char* pszName) override;
    // Held: busy; any other name: no such device.
    ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError) override;

    // The names that open this device (a COM number opens under "COMn" or
    // "\\.\COMn" as the window forms it).
    void SetName(const std::string& strName) { m_strName = strName; }
    // Another program holds the device.
    bool m_bHeld = false;
    // The driver refuses these steps of an open.
    bool m_bRefuseQueues = false;
    bool m_bRefuseLine = false;
    bool m_bRefuseTimeouts = false;

    // What was asked of the device.
    int m_nOpens = 0;
    std::string m_strLastName; // as given to the open
    int m_nOpenHandles = 0;
    uint32_t m_nBaud = 0;
    uint32_t m_nQueueIn = 0;
    uint32_t m_nQueueOut = 0;
    uint32_t m_nTimeout = 0; // the last read time-out set (interval value)
    std::vector<uint32_t> m_writeSizes; // every write call's length
    int m_nReads = 0;

    CInstrumentModel& Model() { return m_model; }
    CVirtualClock& Clock() { return m_clock; }

private:
    friend class CSimCommHandle;
    CInstrumentModel& m_model;
    CVirtualClock& m_clock;
    std::string m_strName;
};
