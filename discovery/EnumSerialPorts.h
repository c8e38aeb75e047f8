// Lists the machine's serial ports and picks the instrument's among them.
// Failures are thrown as the message text itself (a std::string).
#pragma once

#include "SerInfo.h"

// Where the records come from: the platform's method (SetupAPI, probing or
// the legacy registry on Windows; sysfs on Linux), or a list made by a test.
class IPortSource
{
public:
    virtual ~IPortSource() {}
    // Appends the raw records of one enumeration method.
    virtual void Enumerate(CSerInfoArray& list) = 0;
    // An exclusive open for reading and writing succeeds (and is closed again).
    virtual bool CanOpen(const std::string& strPath) = 0;
};

IPortSource& PlatformPortSource();

class CEnumSerialPorts
{
public:
    explicit CEnumSerialPorts(IPortSource* pSource = nullptr);
    virtual ~CEnumSerialPorts();

    // Clears the list, fills it by the platform's method and normalises it.
    int EnumerateAll(CSerInfoArray& list, int bOpenableOnly);

    // The COM number of the first port whose display name names the
    // instrument's bridge, or -1.
    int FindDevicePort();

private:
    IPortSource* m_pSource;
};

// The matching rule alone: true when the display name names the instrument's
// bridge and a number follows its first "COM"; that number goes to *pnCom.
bool MatchDisplayName(const std::string& strDisplayName, int* pnCom);
