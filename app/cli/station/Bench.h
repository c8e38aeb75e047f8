// The bench a station serves: which of the machine's ports it takes, by
// where they are plugged (--usb-path) or who they are (--usb-serial), and the
// names of its physical slots (--slots FILE). Pure helpers; the station and
// the port list supply the ports' USB identity (SSerInfo::strUsbPath and
// strUsbSerial).
#pragma once

#include <string>
#include <vector>

// A USB location path on either system: the kernel's bus and chain of hub
// ports (1-2.3), or a Windows location path through a USB root hub
// (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)).
bool IsUsbPath(const std::string& strPath);

// A location filter takes the port at that place and every port behind it:
// "1-2" is the hub at port 2 of bus 1 and takes 1-2, 1-2.3 and 1-2.3.1 but
// not 1-20; "1" takes all of bus 1. On Windows the steps are the '#'-parts
// of the location path. A port whose location is unknown never passes.
bool UsbPathMatches(const std::string& strPortPath, const std::string& strFilter);

// The station's filters. Each kind is repeatable; a port passes when, for
// each kind that was given, it matches at least one of its values.
class CUsbFilter
{
public:
    // False, with the reason, for a value that no port can carry (empty or
    // holding blanks); the flag's name goes into the reason.
    bool AddPath(const std::string& strPath, std::string* pstrError);
    // Serial numbers are matched by prefix, ignoring ASCII case: bench users
    // type "zt00" for ZT0042.
    bool AddSerialPrefix(const std::string& strPrefix, std::string* pstrError);

    bool IsEmpty() const { return m_paths.empty() && m_serialPrefixes.empty(); }
    bool Passes(const std::string& strUsbPath, const std::string& strUsbSerial) const;

private:
    std::vector<std::string> m_paths;
    std::vector<std::string> m_serialPrefixes;
};

struct SSlot
{
    std::string strName;
    std::string strUsbPath;
    int nLine = 0; // in the slots file
};

// The bench's slots: lines "NAME USB_PATH" separated by blanks; blank lines
// and comments ('#' at the start of a line or of a word) are allowed.
class CSlotMap
{
public:
    // Parses the text of a slots file. On a bad line, a second use of a
    // name or of a path, or a file without slots: false, with a reason that
    // starts "<strFileName>:<line>: " (or "<strFileName>: ").
    bool Parse(const std::string& strText, const std::string& strFileName, std::string* pstrError);
    // Reads and parses the file; a file that cannot be read is an error too.
    bool Load(const std::string& strFile, std::string* pstrError);

    // The name of the slot at exactly that location; empty when none.
    std::string NameOf(const std::string& strUsbPath) const;
    const std::vector<SSlot>& Slots() const { return m_slots; }

private:
    std::vector<SSlot> m_slots;
};
