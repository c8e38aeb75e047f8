// The Linux port list, read from sysfs below a root directory ("/sys" on a
// running system; tests point it at a tree of their own).
#pragma once

#include "EnumSerialPorts.h"

#include <string>
#include <vector>

// One tty that stands for a real port and has a COM name.
struct SSysfsTty
{
    std::string strName;       // the class/tty entry, e.g. ttyUSB0
    std::string strDevicePath; // the device node, e.g. /dev/ttyUSB0
    int nCom = -1;             // its COM number
    int bOnUsb = 0;            // a USB device was found above it
    std::string strProduct;    // the USB device's strings; empty when absent
    std::string strManufacturer;
    std::string strUsbPath;    // the USB device's name, e.g. 1-2.3
    std::string strUsbSerial;  // its serial string; empty when it has none
};

// The ports under <strRoot>/class/tty in COM number order: entries with a
// `device` link, without the kernel's placeholder UARTs (type 0), inside the
// COM name space and not pseudo terminals. A missing class/tty gives none;
// a directory that cannot be read throws the message text.
std::vector<SSysfsTty> ScanSysfsTtys(const std::string& strRoot);

// Appends one raw record per port of ScanSysfsTtys.
void EnumerateSysfsPorts(const std::string& strRoot, CSerInfoArray& list);

class CSysfsPortSource : public IPortSource
{
public:
    explicit CSysfsPortSource(const std::string& strRoot = "/sys") : m_strRoot(strRoot) {}
    void Enumerate(CSerInfoArray& list) override;
    // The exclusive open of CCommPort, closed again at once.
    bool CanOpen(const std::string& strPath) override;

private:
    std::string m_strRoot;
};
