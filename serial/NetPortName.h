// The names of ports on the network: "rfc2217://HOST:PORT" and
// "socket://HOST:PORT". Only text: what opens them is NetPort.
#pragma once

#include <cstdint>
#include <string>

enum ENetKind
{
    kNetRfc2217,
    kNetSocket
};

struct SNetAddress
{
    ENetKind eKind = kNetSocket;
    std::string strHost; // without the brackets of an IPv6 literal
    uint16_t nPort = 0;
    std::string strUser; // as given before '@' (never the password)
};

// Whether a port name is a network one ("rfc2217://", "socket://", any case).
bool IsNetPortName(const std::string& strName);

// Parses "rfc2217://[USER[:PASSWORD]@]HOST:PORT" and the socket:// form;
// HOST may be a name, an IPv4 address or an IPv6 literal in brackets. False
// with a reason in *pError when the name is not such a URL.
bool ParseNetPortName(const std::string& strName, SNetAddress* pAddress, std::string* pError);

// How lines, events and records name the port: the URL in its own spelling
// without a password. The name itself when it does not parse.
std::string NetDisplayName(const std::string& strName);

// What two names of one server port share: the host (any case) and port.
std::string NetIdentity(const SNetAddress& address);
