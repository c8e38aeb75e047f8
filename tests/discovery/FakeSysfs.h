// A sysfs tree in a temporary directory, laid out like the kernel's: class
// entries are relative links into devices/, and a tty's `device` link points
// at the device above it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class CFakeSysfs
{
public:
    CFakeSysfs()
    {
        char szTemplate[] = "/tmp/zt-sysfs-XXXXXX";
        m_strRoot = mkdtemp(szTemplate);
        WriteFile("devices/pci0000:00/0000:00:14.0/usb1/idVendor", "1d6b");
        WriteFile("devices/pci0000:00/0000:00:14.0/usb1/idProduct", "0002");
        WriteFile("devices/pci0000:00/0000:00:14.0/usb1/product", "xHCI Host Controller");
    }
    ~CFakeSysfs() { std::filesystem::remove_all(m_strRoot); }
    const std::string& Root() const { return m_strRoot; }

    // A USB serial bridge: USB device <strUsb>, interface :1.0, the
    // usb-serial port device and its tty. An empty text leaves a string out.
    // A device behind hubs (1-2.3) sits below each hub (1-2), as in sysfs.
    void AddUsbSerial(const std::string& strTty, const std::string& strUsb, const std::string& strProduct,
                      const std::string& strManufacturer = "", const std::string& strSerial = "")
    {
        std::string strPort =
            AddUsbDevice(strUsb, strProduct, strManufacturer, strSerial) + "/" + strUsb + ":1.0/" + strTty;
        AddTty(strTty, strPort, "");
    }
    // A CDC-ACM device: the tty hangs directly below the interface.
    void AddAcm(const std::string& strTty, const std::string& strUsb, const std::string& strProduct,
                const std::string& strManufacturer = "", const std::string& strSerial = "")
    {
        AddTty(strTty, AddUsbDevice(strUsb, strProduct, strManufacturer, strSerial) + "/" + strUsb + ":1.0", "");
    }
    // A UART of the serial core; type "0" is a placeholder without hardware.
    void AddUart(const std::string& strTty, const std::string& strDevice, const std::string& strType)
    {
        AddTty(strTty, "devices/" + strDevice, strType);
    }
    // A virtual tty (console, ptmx): no device link.
    void AddVirtual(const std::string& strTty)
    {
        std::string strDir = "devices/virtual/tty/" + strTty;
        WriteFile(strDir + "/dev", "4:0");
        Link("class/tty/" + strTty, "../../" + strDir);
    }

    void WriteFile(const std::string& strRel, const std::string& strText)
    {
        std::filesystem::path p = m_strRoot + "/" + strRel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << strText << "\n";
    }
    void Link(const std::string& strRel, const std::string& strTarget)
    {
        std::filesystem::path p = m_strRoot + "/" + strRel;
        std::filesystem::create_directories(p.parent_path());
        std::filesystem::create_symlink(strTarget, p);
    }

private:
    std::string AddUsbDevice(const std::string& strUsb, const std::string& strProduct,
                             const std::string& strManufacturer, const std::string& strSerial)
    {
        std::string strDir = "devices/pci0000:00/0000:00:14.0/usb1/" + HubDirs(strUsb) + strUsb;
        WriteFile(strDir + "/idVendor", "0403");
        WriteFile(strDir + "/idProduct", "6001");
        if (!strProduct.empty())
            WriteFile(strDir + "/product", strProduct);
        if (!strManufacturer.empty())
            WriteFile(strDir + "/manufacturer", strManufacturer);
        if (!strSerial.empty())
            WriteFile(strDir + "/serial", strSerial);
        WriteFile(strDir + "/" + strUsb + ":1.0/bInterfaceClass", "ff");
        return strDir;
    }
    // "1-2/1-2.4/" for 1-2.4.1: the hubs above a device, each a USB device
    // with a product string of its own that must not be taken for the bridge's.
    std::string HubDirs(const std::string& strUsb)
    {
        std::string strDirs;
        for (size_t nDot = strUsb.find('.'); nDot != std::string::npos; nDot = strUsb.find('.', nDot + 1)) {
            std::string strHub = strUsb.substr(0, nDot);
            std::string strDir = "devices/pci0000:00/0000:00:14.0/usb1/" + strDirs + strHub;
            WriteFile(strDir + "/idVendor", "05e3");
            WriteFile(strDir + "/idProduct", "0610");
            WriteFile(strDir + "/product", "USB2.1 Hub");
            WriteFile(strDir + "/serial", "HUB-" + strHub);
            strDirs += strHub + "/";
        }
        return strDirs;
    }
    // <strDevice>/tty/<strTty> with device -> ../../../<last part of strDevice>.
    void AddTty(const std::string& strTty, const std::string& strDevice, const std::string& strType)
    {
        std::string strDir = strDevice + "/tty/" + strTty;
        WriteFile(strDir + "/dev", "188:0");
        if (!strType.empty())
            WriteFile(strDir + "/type", strType);
        Link(strDir + "/device", "../../../" + strDevice.substr(strDevice.find_last_of('/') + 1));
        Link("class/tty/" + strTty, "../../" + strDir);
    }

    std::string m_strRoot;
};
