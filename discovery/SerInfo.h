// One serial port's description, and the growable list of them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

struct SSerInfo
{
    std::string strPath;        // the path the port is opened with
    std::string strComName;     // short name such as COM3
    std::string strDisplayName; // the name the system shows
    int bOnUsb = 0;             // the port sits on a USB bus
    std::string strDescription;
    // Who and where the USB device behind the port is; empty when unknown.
    // The location is the kernel's chain of hub ports (such as 1-2.3) on
    // Linux, the system's location path on Windows; it names the socket, so
    // it stays the same when the unit is replaced or replugged there.
    std::string strUsbPath;
    std::string strUsbSerial; // the device's USB serial number
};

// The little of a framework array that port discovery needs. An index
// outside the list throws std::invalid_argument.
template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray
{
public:
    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetCount() const { return GetSize(); }
    void SetSize(int nNewSize) { m_items.resize(nNewSize < 0 ? 0 : static_cast<size_t>(nNewSize)); }
    void RemoveAll() { m_items.clear(); }
    int Add(ARG_TYPE item)
    {
        m_items.push_back(item);
        return GetSize() - 1;
    }
    void SetAt(int nIndex, ARG_TYPE item) { Check(nIndex); m_items[static_cast<size_t>(nIndex)] = item; }
    void RemoveAt(int nIndex)
    {
        Check(nIndex);
        m_items.erase(m_items.begin() + nIndex);
    }
    TYPE& GetAt(int nIndex) { Check(nIndex); return m_items[static_cast<size_t>(nIndex)]; }
    const TYPE& GetAt(int nIndex) const { Check(nIndex); return m_items[static_cast<size_t>(nIndex)]; }
    TYPE& operator[](int nIndex) { return GetAt(nIndex); }
    const TYPE& operator[](int nIndex) const { return GetAt(nIndex); }

private:
    void Check(int nIndex) const
    {
        if (nIndex < 0 || nIndex >= GetSize())
            throw std::invalid_argument("array index out of range");
    }
    std::vector<TYPE> m_items;
};

typedef CArray<SSerInfo, SSerInfo&> CSerInfoArray;
