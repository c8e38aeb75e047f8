// What the tool tells about serial ports: the list it sees (--list, and
// after "not found"), and why one port did not open.
#pragma once

#include "discovery/EnumSerialPorts.h"
#include "serial/CommPort.h"

#include <string>

// One line per port: COM name, device path, display name, "[instrument]"
// on those that the instrument's name rule matches, then the USB identity
// as far as it is known; "no serial ports" when there are none. A port list that cannot be read gives its reason.
std::string PortListText(IPortSource* pSource = nullptr);

// "usb <location> serial <number>", each part only when known; empty when
// neither is.
std::string UsbIdentityText(const SSerInfo& info);
// The port's COM name, "-" when it has none.
std::string PortComName(const SSerInfo& info);

// --list --json: one JSON object per port, {"event":"port","port":COM name
// ("" when it has none),"path","name" (display name),"instrument",
// "usb_path","usb_serial" (null when unknown)}. False
// (and the reason in *pError) when the list cannot be read.
bool PortListJson(std::string* pLines, std::string* pError, IPortSource* pSource = nullptr);

// One line naming the device and the system's reason it did not open, with
// the cure where there is one.
std::string OpenFailureText(const std::string& strDevice, const SOpenError& error);
