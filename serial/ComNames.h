// The fixed COM name space of POSIX systems, used both ways: a COM name to
// the device it opens, and a listed device to its COM name.
//   COM1..COM32    /dev/ttyS0..31
//   COM33..COM64   /dev/ttyUSB0..31
//   COM65..COM96   /dev/ttyACM0..31
//   COM97..COM128  /dev/ttyAMA0..31
//   COM129..COM256 /dev/pts/0..127 (pseudo terminals; never listed)
#pragma once

#include <string>

// The COM number of "COMn" or "\\.\COMn" (any letter case of "COM"), or -1.
int ParseComName(const std::string& strName);

// The device path of COM number n (1..256), or an empty text.
std::string ComNumberToDevicePath(int nCom);

// The COM number of a device path such as "/dev/ttyUSB0", or -1 when the
// device lies outside the name space.
int DevicePathToComNumber(const std::string& strPath);

// What a port name given to CCommPort::Open opens on POSIX: a COM name
// resolves through the table, a name containing '/' is a path as it is;
// anything else resolves to an empty text.
std::string ResolvePortName(const std::string& strName);
