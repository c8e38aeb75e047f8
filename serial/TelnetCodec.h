// The client side of a Telnet link with the COM-PORT-OPTION of RFC 2217, as
// bytes in and bytes out: no sockets, no clock, so that every escape split
// across reads and every odd server can be played in a test.
//
// What the client wants: binary both ways (no CR/NUL games with the image),
// the COM-PORT-OPTION on its own side, suppress-go-ahead taken when offered.
// Every other option is refused once, and an option already in the state
// asked for is not answered again, so two peers never loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telnet {

const uint8_t kIac = 255;
const uint8_t kDont = 254;
const uint8_t kDo = 253;
const uint8_t kWont = 252;
const uint8_t kWill = 251;
const uint8_t kSb = 250;
const uint8_t kSe = 240;

const uint8_t kOptBinary = 0;
const uint8_t kOptSuppressGoAhead = 3;
const uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server answers each with
// the same code plus 100.
const uint8_t kSetBaudRate = 1;
const uint8_t kSetDataSize = 2;
const uint8_t kSetParity = 3;
const uint8_t kSetStopSize = 4;
const uint8_t kSetControl = 5;
const uint8_t kPurgeData = 12;
const uint8_t kServerOffset = 100;

// Values of the commands above.
const uint8_t kParityNone = 1;
const uint8_t kStopOne = 1;
const uint8_t kControlNoFlow = 1;
const uint8_t kControlDtrOn = 8;
const uint8_t kControlDtrOff = 9;
const uint8_t kControlRtsOn = 11;
const uint8_t kControlRtsOff = 12;
const uint8_t kPurgeReceive = 1; // what the server has received from the device

} // namespace telnet

class CTelnetCodec
{
public:
    // The longest subnegotiation kept; the rest of a longer one is dropped
    // (a server cannot make the client hold an endless one).
    static const size_t kMaxSubnegotiation = 64;

    // A COM-PORT-OPTION answer of the server: its command (100 and up) and
    // value bytes.
    struct SComPortReply
    {
        uint8_t nCommand = 0;
        std::string strValue;
    };

    // What the client says first: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    std::string Hello();

    // Takes bytes from the server: the data among them is appended to
    // *pData, the answers owed to the server to *pReply (to be sent as they
    // are). An escape may end in the middle; the next call goes on with it.
    void Decode(const uint8_t* pIn, size_t nCount, std::string* pData, std::string* pReply);

    // Data for the server with every 0xFF doubled.
    static void Escape(const uint8_t* pIn, size_t nCount, std::string* pOut);

    // One COM-PORT-OPTION command with its value, escaped.
    static std::string ComPortCommand(uint8_t nCommand, const std::string& strValue);
    static std::string ComPortCommand(uint8_t nCommand, uint8_t nValue)
    {
        return ComPortCommand(nCommand, std::string(1, static_cast<char>(nValue)));
    }
    // SET-BAUDRATE: four bytes, network order.
    static std::string SetBaudRate(uint32_t nBaud);

    // The server agreed to the COM-PORT-OPTION (DO), or turned it down
    // (DONT); neither until it has answered.
    bool ComPortAgreed() const { return m_local[telnet::kOptComPort].bOn; }
    bool ComPortRefused() const { return m_bComPortRefused; }
    bool BinaryBothWays() const { return m_local[telnet::kOptBinary].bOn && m_remote[telnet::kOptBinary].bOn; }

    // The server's COM-PORT-OPTION answers so far, oldest first (bounded).
    const std::vector<SComPortReply>& ComPortReplies() const { return m_replies; }

private:
    enum EState { kInData, kAfterIac, kAfterVerb, kInSub, kInSubAfterIac };
    struct SOption
    {
        bool bOn = false;
        bool bAsked = false; // we sent a request and wait for its answer
    };

    static bool WeOffer(uint8_t nOption);
    static bool WeAccept(uint8_t nOption);
    void Negotiate(uint8_t nVerb, uint8_t nOption, std::string* pReply);
    void EndSubnegotiation();

    EState m_eState = kInData;
    uint8_t m_nVerb = 0;
    std::string m_sub;
    bool m_bSubTooLong = false;
    SOption m_local[256];  // options on our side (WILL/WONT from us)
    SOption m_remote[256]; // options on the server's side (DO/DONT from us)
    bool m_bComPortRefused = false;
    std::vector<SComPortReply> m_replies;
};
