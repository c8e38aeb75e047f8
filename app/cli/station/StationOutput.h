// One terminal and one JSON stream shared by every unit of a station: each
// human line carries its unit's port in front, and every line, human or
// JSON, is written whole under one lock, so lines of different units never
// mix within a line.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

class CStationOutput
{
public:
    CStationOutput(FILE* pHuman, FILE* pJson) : m_pHuman(pHuman), m_pJson(pJson) {}

    // Each line of strLines (ended by '\n' or not) as "<prefix><line>".
    void HumanLines(const std::string& strPrefix, const std::string& strLines);
    // The station's own lines, without a prefix.
    void Say(const std::string& strLines) { HumanLines("", strLines); }
    // One whole JSON line, newline included.
    void JsonLine(const std::string& strLine);

private:
    std::mutex m_lock;
    FILE* m_pHuman;
    FILE* m_pJson;
};
