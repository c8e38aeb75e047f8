// Serves the instrument model on a new pseudo terminal in real time.
#pragma once

#include "InstrumentModel.h"

#include <string>

class CPtyServer
{
public:
    explicit CPtyServer(CInstrumentModel& model);
    ~CPtyServer();

    // Creates the pty; false with a reason on failure.
    bool Create(std::string* pstrError);
    // The slave's path, e.g. /dev/pts/3.
    const std::string& SlavePath() const { return m_strSlave; }

    // Emulate the line: bytes reach the model no faster than 921600 baud 8N1
    // allow (10 bit times each).
    void SetLineRate(uint32_t nBaud) { m_nBaud = nBaud; }

    // Runs until *pbStop becomes true or the model hangs up.
    void Run(volatile bool* pbStop);

private:
    CInstrumentModel& m_model;
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
    uint32_t m_nBaud = 0;
};
