#include "StationOutput.h"

void CStationOutput::HumanLines(const std::string& strPrefix, const std::string& strLines)
{
    std::string strOut;
    for (size_t p = 0; p < strLines.size();) {
        size_t q = strLines.find('\n', p);
        size_t nEnd = q == std::string::npos ? strLines.size() : q;
        strOut += strPrefix + strLines.substr(p, nEnd - p) + "\n";
        p = nEnd + 1;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    std::fputs(strOut.c_str(), m_pHuman);
    std::fflush(m_pHuman);
}

void CStationOutput::JsonLine(const std::string& strLine)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::fputs(strLine.c_str(), m_pJson);
    std::fflush(m_pJson);
}
