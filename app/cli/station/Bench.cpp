#include "Bench.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Bus number, '-', then hub ports joined by '.': each part digits only.
bool IsKernelUsbPath(const std::string& s)
{
    size_t nDash = s.find('-');
    if (nDash == std::string::npos || nDash == 0)
        return false;
    bool bDigitBefore = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (IsDigit(c)) {
            bDigitBefore = true;
        } else if ((c == '-' && i == nDash) || (c == '.' && i > nDash)) {
            if (!bDigitBefore)
                return false;
            bDigitBefore = false;
        } else {
            return false;
        }
    }
    return bDigitBefore;
}

bool HasBlank(const std::string& s)
{
    for (char c : s) {
        if (IsBlank(c))
            return true;
    }
    return false;
}

bool CheckFilterValue(const std::string& strValue, const char* pszFlag, std::string* pstrError)
{
    if (strValue.empty() || HasBlank(strValue)) {
        *pstrError = std::string(pszFlag) + " needs a value without blanks, not '" + strValue + "'";
        return false;
    }
    return true;
}

// The blank-separated words of a line up to a word that starts with '#'.
std::vector<std::string> Words(const std::string& strLine)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < strLine.size()) {
        while (i < strLine.size() && IsBlank(strLine[i]))
            ++i;
        if (i == strLine.size() || strLine[i] == '#')
            break;
        size_t nStart = i;
        while (i < strLine.size() && !IsBlank(strLine[i]))
            ++i;
        words.push_back(strLine.substr(nStart, i - nStart));
    }
    return words;
}

} // namespace

bool IsUsbPath(const std::string& strPath)
{
    if (IsKernelUsbPath(strPath))
        return true;
    return !HasBlank(strPath) && strPath.find("#USBROOT(") != std::string::npos;
}

bool UsbPathMatches(const std::string& strPortPath, const std::string& strFilter)
{
    if (strPortPath.empty() || strFilter.empty() || strPortPath.compare(0, strFilter.size(), strFilter) != 0)
        return false;
    if (strPortPath.size() == strFilter.size())
        return true;
    // Only a whole step counts: 1-2 is above 1-2.3, not above 1-20.
    const char cNext = strPortPath[strFilter.size()];
    const char cLast = strFilter.back();
    return cNext == '.' || cNext == '-' || cNext == '#' || cLast == '.' || cLast == '-' || cLast == '#';
}

bool CUsbFilter::AddPath(const std::string& strPath, std::string* pstrError)
{
    if (!CheckFilterValue(strPath, "--usb-path", pstrError))
        return false;
    m_paths.push_back(strPath);
    return true;
}

bool CUsbFilter::AddSerialPrefix(const std::string& strPrefix, std::string* pstrError)
{
    if (!CheckFilterValue(strPrefix, "--usb-serial", pstrError))
        return false;
    m_serialPrefixes.push_back(strPrefix);
    return true;
}

bool CUsbFilter::Passes(const std::string& strUsbPath, const std::string& strUsbSerial) const
{
    if (!m_paths.empty()) {
        bool bAny = false;
        for (const std::string& strFilter : m_paths)
            bAny = bAny || UsbPathMatches(strUsbPath, strFilter);
        if (!bAny)
            return false;
    }
    if (!m_serialPrefixes.empty()) {
        bool bAny = false;
        for (const std::string& strPrefix : m_serialPrefixes) {
            if (strUsbSerial.size() < strPrefix.size())
                continue;
            bool bSame = true;
            for (size_t i = 0; i < strPrefix.size() && bSame; ++i)
                bSame = Lower(strUsbSerial[i]) == Lower(strPrefix[i]);
            bAny = bAny || bSame;
        }
        if (!bAny)
            return false;
    }
    return true;
}

bool CSlotMap::Parse(const std::string& strText, const std::string& strFileName, std::string* pstrError)
{
    m_slots.clear();
    std::istringstream in(strText);
    std::string strLine;
    for (int nLine = 1; std::getline(in, strLine); ++nLine) {
        // A file saved by a Windows editor may begin with a byte order mark.
        if (nLine == 1 && strLine.compare(0, 3, "\xEF\xBB\xBF") == 0)
            strLine.erase(0, 3);
        std::vector<std::string> words = Words(strLine);
        if (words.empty())
            continue;
        const std::string strWhere = strFileName + ":" + std::to_string(nLine) + ": ";
        if (words.size() != 2) {
            *pstrError = strWhere + "expected a slot name and a USB path, such as 'A1 1-2.3'";
            return false;
        }
        SSlot slot;
        slot.strName = words[0];
        slot.strUsbPath = words[1];
        slot.nLine = nLine;
        // Catches swapped columns as well as typing slips.
        if (!IsUsbPath(slot.strUsbPath)) {
            *pstrError = strWhere + "'" + slot.strUsbPath + "' is not a USB path such as 1-2.3 (zt9047q-flash --list shows them)";
            return false;
        }
        for (const SSlot& other : m_slots) {
            if (other.strName == slot.strName) {
                *pstrError = strWhere + "slot " + slot.strName + " is already named on line " + std::to_string(other.nLine);
                return false;
            }
            if (other.strUsbPath == slot.strUsbPath) {
                *pstrError = strWhere + "USB path " + slot.strUsbPath + " is already slot " + other.strName + " (line "
                    + std::to_string(other.nLine) + ")";
                return false;
            }
        }
        m_slots.push_back(slot);
    }
    if (m_slots.empty()) {
        *pstrError = strFileName + ": no slots in it (lines 'NAME USB_PATH')";
        return false;
    }
    return true;
}

bool CSlotMap::Load(const std::string& strFile, std::string* pstrError)
{
    m_slots.clear();
    // stdio keeps the read error: a directory opens, and then fails to read.
    std::FILE* pFile = std::fopen(strFile.c_str(), "rb");
    std::string strText;
    int nErrno = 0;
    if (!pFile) {
        nErrno = errno;
    } else {
        char buffer[4096];
        size_t nGot;
        while ((nGot = std::fread(buffer, 1, sizeof buffer, pFile)) > 0)
            strText.append(buffer, nGot);
        if (std::ferror(pFile))
            nErrno = errno != 0 ? errno : EIO;
        std::fclose(pFile);
    }
    if (nErrno != 0) {
        *pstrError = "Cannot read slots file " + strFile + ": " + std::strerror(nErrno);
        return false;
    }
    return Parse(strText, strFile, pstrError);
}

std::string CSlotMap::NameOf(const std::string& strUsbPath) const
{
    if (strUsbPath.empty())
        return std::string();
    for (const SSlot& slot : m_slots) {
        if (slot.strUsbPath == strUsbPath)
            return slot.strName;
    }
    return std::string();
}
