// Linux source of the port list: the ttys of sysfs, named by the fixed COM
// name space, with the USB device's product string as the name Windows
// would show.
#include "SysfsPorts.h"

#include "serial/ComNames.h"
#include "serial/CommPort.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadFailure(const std::string& strDir, int nErrno)
{
    char szCode[32];
    std::snprintf(szCode, sizeof szCode, "%lx", static_cast<unsigned long>(nErrno));
    return "Could not read from " + strDir + ". (err=" + szCode + ")";
}

// The text of a sysfs attribute without its closing newline; false when the
// file cannot be read. Attributes fit in one page.
bool ReadAttribute(const std::string& strFile, std::string* pstrValue)
{
    int fd = open(strFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    size_t nGot = 0;
    while (nGot < sizeof buf) {
        ssize_t r = read(fd, buf + nGot, sizeof buf - nGot);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            close(fd);
            return false;
        }
        if (r == 0)
            break;
        nGot += static_cast<size_t>(r);
    }
    close(fd);
    if (nGot > 0 && buf[nGot - 1] == '\n')
        --nGot;
    pstrValue->assign(buf, nGot);
    return true;
}

bool IsFile(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RealPath(const std::string& strPath)
{
    char szBuf[PATH_MAX];
    if (!realpath(strPath.c_str(), szBuf))
        return std::string();
    return szBuf;
}

// The nearest directory at or above strStart that is a USB device (it
// carries idVendor and idProduct), never leaving strTop; empty when none.
std::string FindUsbDevice(const std::string& strStart, const std::string& strTop)
{
    if (strStart.empty() || strTop.empty())
        return std::string();
    std::string strDir = strStart;
    std::string strPrefix = strTop == "/" ? strTop : strTop + "/";
    // Device trees are shallow; the bound only guards against surprises.
    for (int nDepth = 0; nDepth < 64; ++nDepth) {
        if (strDir.compare(0, strPrefix.size(), strPrefix) != 0 || strDir.size() <= strPrefix.size())
            break;
        if (IsFile(strDir + "/idVendor") && IsFile(strDir + "/idProduct"))
            return strDir;
        strDir.erase(strDir.find_last_of('/'));
    }
    return std::string();
}

bool IsDotName(const char* psz)
{
    return psz[0] == '.' && (psz[1] == 0 || (psz[1] == '.' && psz[2] == 0));
}

} // namespace

std::vector<SSysfsTty> ScanSysfsTtys(const std::string& strRoot)
{
    std::vector<SSysfsTty> ttys;
    const std::string strClass = strRoot + "/class/tty";
    DIR* pDir = opendir(strClass.c_str());
    if (!pDir) {
        if (errno == ENOENT)
            return ttys; // a machine without ttys at all
        throw ReadFailure(strClass, errno);
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* pEntry = readdir(pDir);
        if (!pEntry) {
            int nErrno = errno;
            closedir(pDir);
            if (nErrno != 0)
                throw ReadFailure(strClass, nErrno);
            break;
        }
        if (!IsDotName(pEntry->d_name))
            names.push_back(pEntry->d_name);
    }

    const std::string strTop = RealPath(strRoot);
    for (const std::string& strName : names) {
        const std::string strEntry = strClass + "/" + strName;
        // Virtual ttys (consoles, ptmx) have no device behind them. An entry
        // that vanished meanwhile fails here too: a port unplugged while
        // the list was made is simply not listed.
        struct stat st;
        if (lstat((strEntry + "/device").c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        // The serial core registers every possible 8250 port; those without
        // a UART behind them report type 0.
        std::string strType;
        if (ReadAttribute(strEntry + "/type", &strType) && strType == "0")
            continue;

        SSysfsTty tty;
        tty.strName = strName;
        // sysfs writes a '/' of a device name as '!'.
        std::string strNode = strName;
        std::replace(strNode.begin(), strNode.end(), '!', '/');
        tty.strDevicePath = "/dev/" + strNode;
        if (tty.strDevicePath.compare(0, 9, "/dev/pts/") == 0)
            continue;
        tty.nCom = DevicePathToComNumber(tty.strDevicePath);
        if (tty.nCom < 0)
            continue;

        std::string strUsb = FindUsbDevice(RealPath(strEntry + "/device"), strTop);
        if (!strUsb.empty()) {
            tty.bOnUsb = 1;
            ReadAttribute(strUsb + "/product", &tty.strProduct);
            ReadAttribute(strUsb + "/manufacturer", &tty.strManufacturer);
            // The kernel names a USB device after its place: bus, then the
            // hub ports down to it.
            tty.strUsbPath = strUsb.substr(strUsb.find_last_of('/') + 1);
            ReadAttribute(strUsb + "/serial", &tty.strUsbSerial);
        }
        ttys.push_back(tty);
    }
    std::sort(ttys.begin(), ttys.end(),
              [](const SSysfsTty& a, const SSysfsTty& b) { return a.nCom < b.nCom; });
    return ttys;
}

void EnumerateSysfsPorts(const std::string& strRoot, CSerInfoArray& list)
{
    for (const SSysfsTty& tty : ScanSysfsTtys(strRoot)) {
        SSerInfo info;
        info.strPath = tty.strDevicePath;
        info.strComName = "COM" + std::to_string(tty.nCom);
        // The way Windows names a USB serial port; without a product string
        // the normalisation falls back to the COM name.
        if (!tty.strProduct.empty())
            info.strDisplayName = tty.strProduct + " (" + info.strComName + ")";
        info.bOnUsb = tty.bOnUsb;
        info.strDescription = tty.strProduct;
        info.strUsbPath = tty.strUsbPath;
        info.strUsbSerial = tty.strUsbSerial;
        list.Add(info);
    }
}

void CSysfsPortSource::Enumerate(CSerInfoArray& list)
{
    EnumerateSysfsPorts(m_strRoot, list);
}

bool CSysfsPortSource::CanOpen(const std::string& strPath)
{
    ICommHandle* pHandle = PlatformCommDriver().OpenDevice(strPath.c_str());
    if (!pHandle)
        return false;
    delete pHandle; // closes the device
    return true;
}

IPortSource& PlatformPortSource()
{
    static CSysfsPortSource source;
    return source;
}
