#include "SimCommDriver.h"

class CSimCommHandle : public ICommHandle
{
public:
    explicit CSimCommHandle(CSimCommDriver& driver) : m_driver(driver) { ++m_driver.m_nOpenHandles; }
    ~CSimCommHandle() override
    {
        --m_driver.m_nOpenHandles;
        m_driver.m_model.OnHostClosed();
    }

    bool SetQueues(uint32_t nIn, uint32_t nOut) override
    {
        m_driver.m_nQueueIn = nIn;
        m_driver.m_nQueueOut = nOut;
        return !m_driver.m_bRefuseQueues;
    }

    bool SetLine(uint32_t nBaud) override
    {
        m_driver.m_nBaud = nBaud;
        return !m_driver.m_bRefuseLine;
    }

    bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) override
    {
        if (m_driver.m_bRefuseTimeouts)
            return false;
        m_driver.m_nTimeout = nInterval;
        m_nInterval = nInterval;
        m_nMultiplier = nMultiplier;
        m_nConstant = nConstant;
        return true;
    }

    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
    {
        ++m_driver.m_nReads;
        CVirtualClock& clock = m_driver.m_clock;
        CInstrumentModel& model = m_driver.m_model;
        uint8_t* p = static_cast<uint8_t*>(pBuffer);
        const uint64_t nStartUs = clock.Now() * 1000;
        const uint64_t nTotalEndUs = nStartUs + (static_cast<uint64_t>(m_nMultiplier) * nCount + m_nConstant) * 1000;
        uint64_t nLastUs = 0;
        uint32_t nGot = 0;
        while (nGot < nCount) {
            uint64_t nNowUs = clock.Now() * 1000;
            // A byte may come before the total ends, and after the first one
            // no later than the interval allows.
            uint64_t nEndUs = nTotalEndUs;
            bool bInclusive = false;
            if (nGot > 0 && nLastUs + m_nInterval * 1000ull <= nEndUs) {
                nEndUs = nLastUs + m_nInterval * 1000ull;
                bInclusive = true;
            }
            uint64_t nDueUs = 0;
            bool bByte = model.PeekOutput(&nDueUs);
            if (bByte && nDueUs < nNowUs)
                nDueUs = nNowUs;
            // A byte that is already there is always taken.
            if (bByte && (nDueUs == nNowUs || nDueUs < nEndUs || (bInclusive && nDueUs == nEndUs))) {
                clock.AdvanceTo((nDueUs + 999) / 1000);
                p[nGot++] = model.PopOutput();
                nLastUs = nDueUs;
                continue;
            }
            clock.AdvanceTo((nEndUs + 999) / 1000);
            break;
        }
        *pnRead = nGot;
        return true;
    }

    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
    {
        m_driver.m_writeSizes.push_back(nCount);
        CInstrumentModel& model = m_driver.m_model;
        if (model.HungUp()) {
            *pnWritten = 0;
            return false;
        }
        const uint8_t* p = static_cast<const uint8_t*>(pBuffer);
        uint64_t nNowUs = m_driver.m_clock.Now() * 1000;
        for (uint32_t i = 0; i < nCount; ++i)
            model.Receive(p[i], nNowUs);
        *pnWritten = nCount;
        return true;
    }

    bool LineLost() const override { return m_driver.m_model.HungUp(); }

private:
    CSimCommDriver& m_driver;
    uint32_t m_nInterval = 0;
    uint32_t m_nMultiplier = 0;
    uint32_t m_nConstant = 0;
};

CSimCommDriver::CSimCommDriver(CInstrumentModel& model, CVirtualClock& clock, const std::string& strName)
    : m_model(model), m_clock(clock), m_strName(strName)
{
}

ICommHandle* CSimCommDriver::OpenDeviceReporting(const char* pszName, SOpenError* pError)
{
    ICommHandle* p = OpenDevice(pszName);
    *pError = SOpenError();
    if (!p)
        pError->eReason = m_bHeld || m_nOpenHandles > 0 ? kOpenBusy : kOpenNoDevice;
    return p;
}

ICommHandle* CSimCommDriver::OpenDevice(const char* pszName)
{
    ++m_nOpens;
    std::string strName = pszName ? pszName : "";
    m_strLastName = strName;
    if (strName.compare(0, 4, "\\\\.\\") == 0)
        strName.erase(0, 4);
    if (strName != m_strName || m_bHeld || m_nOpenHandles > 0)
        return nullptr;
    return new CSimCommHandle(*this);
}
