// The network port without a network: the Telnet codec byte by byte, and
// the handle over a transport played on virtual time.
#include "serial/NetPort.h"
#include "serial/SameDevice.h"

#include <gtest/gtest.h>

#include <deque>

using namespace telnet;

namespace {

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

void Feed(CTelnetCodec& codec, const std::string& in, std::string* pData, std::string* pReply)
{
    codec.Decode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), pData, pReply);
}

// A server on virtual time: what it sends and when, what it got.
class CPlayedTransport : public INetTransport
{
public:
    void At(int64_t nMs, const std::string& bytes) { m_script.push_back({nMs * 1000, bytes}); }
    void LoseAt(int64_t nMs) { m_nLoseAtUs = nMs * 1000; }

    int Receive(uint8_t* pBuffer, size_t nCount, int64_t nWaitUs) override
    {
        if (m_nNowUs >= m_nLoseAtUs)
            return -1;
        if (m_script.empty() || m_script.front().first > m_nNowUs + nWaitUs) {
            int64_t nEnd = m_nNowUs + nWaitUs;
            m_nNowUs = nEnd < m_nLoseAtUs ? nEnd : m_nLoseAtUs;
            return m_nNowUs >= m_nLoseAtUs ? -1 : 0;
        }
        if (m_script.front().first > m_nNowUs)
            m_nNowUs = m_script.front().first;
        std::string& next = m_script.front().second;
        size_t n = next.size() < nCount ? next.size() : nCount;
        next.copy(reinterpret_cast<char*>(pBuffer), n);
        next.erase(0, n);
        if (next.empty())
            m_script.pop_front();
        return static_cast<int>(n);
    }
    bool Send(const uint8_t* pData, size_t nCount, int64_t) override
    {
        if (LinkLost())
            return false;
        m_sent.append(reinterpret_cast<const char*>(pData), nCount);
        return true;
    }
    bool LinkLost() const override { return m_nNowUs >= m_nLoseAtUs; }
    int64_t NowUs() override { return m_nNowUs; }
    void Pause(int64_t nUs) override { m_nNowUs += nUs; }

    std::deque<std::pair<int64_t, std::string>> m_script;
    std::string m_sent;
    int64_t m_nNowUs = 0;
    int64_t m_nLoseAtUs = INT64_MAX;
};

struct SHandleRig
{
    CPlayedTransport* pServer;
    std::unique_ptr<CNetCommHandle> pHandle;
    explicit SHandleRig(ENetKind eKind = kNetRfc2217)
    {
        pServer = new CPlayedTransport;
        pHandle.reset(new CNetCommHandle(std::unique_ptr<INetTransport>(pServer), eKind));
    }
};

const std::string kServerAgrees = Bytes({kIac, kDo, kOptComPort, kIac, kDo, kOptBinary, kIac, kWill, kOptBinary});

} // namespace

TEST(TelnetCodec, DataIacIsDoubledOutAndUndoubledIn)
{
    const std::string image = Bytes({0x02, 0xFF, 0x00, 0xFF, 0xFF});
    std::string out;
    CTelnetCodec::Escape(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &out);
    EXPECT_EQ(out, Bytes({0x02, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));

    CTelnetCodec codec;
    std::string data, reply;
    Feed(codec, out, &data, &reply);
    EXPECT_EQ(data, image);
    EXPECT_TRUE(reply.empty());
}

TEST(TelnetCodec, EscapesSplitAcrossReadsDecodeAsWhole)
{
    // Data with a doubled IAC, a negotiation and a COM-PORT answer whose
    // value holds a doubled IAC, cut after every byte.
    const std::string stream = "A" + Bytes({kIac, kIac}) + "B" + Bytes({kIac, kDo, kOptComPort}) + "C"
        + Bytes({kIac, kSb, kOptComPort, kSetBaudRate + kServerOffset, 0, 0x0E, 0xFF, 0xFF, 0, kIac, kSe}) + "D";
    CTelnetCodec whole, split;
    std::string wholeData, wholeReply, splitData, splitReply;
    whole.Hello();
    split.Hello();
    Feed(whole, stream, &wholeData, &wholeReply);
    for (char c : stream)
        Feed(split, std::string(1, c), &splitData, &splitReply);
    EXPECT_EQ(splitData, "A\xFF" "BCD");
    EXPECT_EQ(splitData, wholeData);
    EXPECT_EQ(splitReply, wholeReply);
    EXPECT_TRUE(split.ComPortAgreed());
    ASSERT_EQ(split.ComPortReplies().size(), 1u);
    EXPECT_EQ(split.ComPortReplies()[0].nCommand, kSetBaudRate + kServerOffset);
    EXPECT_EQ(split.ComPortReplies()[0].strValue, Bytes({0, 0x0E, 0xFF, 0}));
}

TEST(TelnetCodec, UnknownOptionsAreRefusedOnceWithoutALoop)
{
    CTelnetCodec codec;
    std::string data, reply;
    codec.Hello();
    // ser2net's opening: echo offered, echo asked off, SGA both ways.
    Feed(codec, Bytes({kIac, kWill, 1, kIac, kDont, 1, kIac, kDo, 24, kIac, kWill, kOptSuppressGoAhead}), &data, &reply);
    EXPECT_EQ(reply, Bytes({kIac, kDont, 1, kIac, kWont, 24, kIac, kDo, kOptSuppressGoAhead}));
    // Our refusals echoed back, an option asked again in its state: no answer.
    reply.clear();
    Feed(codec, Bytes({kIac, kWont, 1, kIac, kDont, 24, kIac, kWill, kOptSuppressGoAhead}), &data, &reply);
    EXPECT_TRUE(reply.empty());
    EXPECT_TRUE(data.empty());
}

TEST(TelnetCodec, SubnegotiationsOfOtherOptionsOrTooLongAreDropped)
{
    CTelnetCodec codec;
    std::string data, reply;
    Feed(codec, Bytes({kIac, kSb, 24, 1, kIac, kSe}), &data, &reply);
    std::string longSub = Bytes({kIac, kSb, kOptComPort, 107});
    longSub += std::string(500, 'x') + Bytes({kIac, kSe}) + "ok";
    Feed(codec, longSub, &data, &reply);
    EXPECT_TRUE(codec.ComPortReplies().empty());
    EXPECT_EQ(data, "ok");
}

TEST(NetPortName, UrlsParseAndNameThemselvesWithoutPassword)
{
    SNetAddress a;
    std::string strWhy;
    ASSERT_TRUE(ParseNetPortName("RFC2217://bench:secret@[::1]:2001", &a, &strWhy));
    EXPECT_EQ(a.eKind, kNetRfc2217);
    EXPECT_EQ(a.strHost, "::1");
    EXPECT_EQ(a.nPort, 2001);
    EXPECT_EQ(NetDisplayName("RFC2217://bench:secret@[::1]:2001"), "rfc2217://bench@[::1]:2001");
    ASSERT_TRUE(ParseNetPortName("socket://server-3.lab:4001", &a, &strWhy));
    EXPECT_EQ(a.eKind, kNetSocket);
    for (const char* psz : {"socket://::1:4001", "rfc2217://host", "rfc2217://host:0", "rfc2217://host:65536",
                            "rfc2217://:4001", "rfc2217://host:4001/x", "rfc2217://[::1:4001"})
        EXPECT_FALSE(ParseNetPortName(psz, &a, &strWhy)) << psz;
    // One server port is one unit however it is spelt.
    EXPECT_TRUE(SameDevice("rfc2217://Bench:4001", "socket://user@bench:4001"));
    EXPECT_FALSE(SameDevice("rfc2217://bench:4001", "rfc2217://bench:4002"));
}

TEST(NetPortHandle, NegotiationEndsOnAgreementRefusalOrTimeOut)
{
    {
        SHandleRig rig;
        rig.pServer->At(5, kServerAgrees);
        std::string strWhy;
        EXPECT_TRUE(rig.pHandle->Negotiate(&strWhy));
        EXPECT_EQ(rig.pServer->m_nNowUs, 35000); // agreed, then watched 30 ms
    }
    {
        // ser2net with its port served to another client: agrees, says so
        // and hangs up within the moment watched.
        SHandleRig rig;
        rig.pServer->At(1, kServerAgrees + "Port already in use\r\n");
        rig.pServer->LoseAt(2);
        std::string strWhy;
        EXPECT_FALSE(rig.pHandle->Negotiate(&strWhy));
        EXPECT_NE(strWhy.find("in use"), std::string::npos);
    }
    {
        SHandleRig rig;
        rig.pServer->At(5, Bytes({kIac, kDont, kOptComPort}));
        std::string strWhy;
        EXPECT_FALSE(rig.pHandle->Negotiate(&strWhy));
        EXPECT_NE(strWhy.find("telnet(rfc2217)"), std::string::npos);
    }
    {
        // Accepts and never answers: the stated time-out, then a reason.
        SHandleRig rig;
        std::string strWhy;
        EXPECT_FALSE(rig.pHandle->Negotiate(&strWhy));
        EXPECT_GE(rig.pServer->m_nNowUs, 3000000);
        EXPECT_LE(rig.pServer->m_nNowUs, 3021000);
        EXPECT_NE(strWhy.find("within 3 s"), std::string::npos);
    }
    {
        // A stop while it waits ends the wait within a slice.
        SHandleRig rig;
        CPlayedTransport* pServer = rig.pServer;
        std::string strWhy;
        EXPECT_FALSE(rig.pHandle->Negotiate(&strWhy, [pServer] { return pServer->m_nNowUs >= 100000; }));
        EXPECT_LE(rig.pServer->m_nNowUs, 120000);
    }
}

TEST(NetPortHandle, NegotiationAloneIsNoByteOfTheLine)
{
    // A server that sends nothing but negotiation: the read waits its whole
    // time-out and brings nothing, while every request is answered.
    SHandleRig rig;
    rig.pServer->At(0, kServerAgrees);
    std::string strWhy;
    ASSERT_TRUE(rig.pHandle->Negotiate(&strWhy));
    for (int t = 100; t < 2000; t += 100)
        rig.pServer->At(t, Bytes({kIac, kDo, 24, kIac, kSb, kOptComPort, 107, 0, kIac, kSe}));
    rig.pServer->m_sent.clear();
    rig.pHandle->SetReadTimeouts(2000, 2000, 2000);
    uint8_t b[4];
    uint32_t nRead = 99;
    const int64_t nStart = rig.pServer->m_nNowUs;
    EXPECT_TRUE(rig.pHandle->ReadBytes(b, 1, &nRead));
    EXPECT_EQ(nRead, 0u);
    EXPECT_GE(rig.pServer->m_nNowUs - nStart, 4000000);
    EXPECT_LE(rig.pServer->m_nNowUs - nStart, 4001000);
    // Each request refused once; the notifications need no answer.
    std::string refusals;
    for (int t = 100; t < 2000; t += 100)
        refusals += Bytes({kIac, kWont, 24});
    EXPECT_EQ(rig.pServer->m_sent, refusals);
}

TEST(NetPortHandle, ReadKeepsTheIntervalRuleAcrossEscapes)
{
    // "More than t ms between two bytes": a byte exactly t ms after the
    // last still counts, even when it arrives as a doubled IAC.
    SHandleRig rig(kNetRfc2217);
    rig.pHandle->SetReadTimeouts(50, 50, 50);
    rig.pServer->At(10, "a");
    rig.pServer->At(60, Bytes({kIac, kIac}));
    rig.pServer->At(160, "late");
    uint8_t b[8];
    uint32_t nRead = 0;
    EXPECT_TRUE(rig.pHandle->ReadBytes(b, 8, &nRead));
    EXPECT_EQ(nRead, 2u);
    EXPECT_EQ(b[1], 0xFF);
    EXPECT_LE(rig.pServer->m_nNowUs, 111000);
}

TEST(NetPortHandle, LostConnectionIsNotedAndItsWaitSleptOut)
{
    SHandleRig rig(kNetSocket);
    rig.pHandle->SetReadTimeouts(8000, 8000, 8000);
    rig.pServer->At(1, Bytes({0x11}));
    rig.pServer->LoseAt(20);
    uint8_t b[2];
    uint32_t nRead = 0;
    EXPECT_TRUE(rig.pHandle->ReadBytes(b, 1, &nRead));
    EXPECT_EQ(nRead, 1u);
    EXPECT_FALSE(rig.pHandle->LineLost());
    EXPECT_TRUE(rig.pHandle->ReadBytes(b, 1, &nRead));
    EXPECT_EQ(nRead, 0u);
    EXPECT_TRUE(rig.pHandle->LineLost());
    // The whole limit passed on the clock (no spin, no early end)...
    EXPECT_GE(rig.pServer->m_nNowUs, 16001000);
    // ...and nothing goes to a connection that is gone.
    uint32_t nWritten = 7;
    EXPECT_FALSE(rig.pHandle->WriteBytes("x", 1, &nWritten));
    EXPECT_EQ(nWritten, 0u);
}

TEST(NetPortHandle, LineSettingsGoOutWithoutWaitingForAnswers)
{
    SHandleRig rig;
    EXPECT_TRUE(rig.pHandle->SetLine(921600));
    const std::string& sent = rig.pServer->m_sent;
    EXPECT_EQ(sent.find(Bytes({kIac, kSb, kOptComPort, kSetBaudRate, 0x00, 0x0E, 0x10, 0x00, kIac, kSe})), 0u);
    EXPECT_NE(sent.find(Bytes({kIac, kSb, kOptComPort, kSetControl, kControlDtrOff, kIac, kSe})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, kSb, kOptComPort, kSetControl, kControlRtsOff, kIac, kSe})), std::string::npos);
    EXPECT_EQ(rig.pServer->m_nNowUs, 0);
}

TEST(NetPortHandle, ServerThatHangsUpWhileTheLineIsSetIsBusy)
{
    // A server that hangs up just after the moment watched.
    struct CDriver : public ICommDriver
    {
        ICommHandle* OpenDevice(const char*) override
        {
            SHandleRig rig;
            rig.pServer->At(0, kServerAgrees);
            rig.pServer->LoseAt(31);
            std::string strWhy;
            if (!rig.pHandle->Negotiate(&strWhy))
                return nullptr;
            rig.pServer->Pause(1000);
            return rig.pHandle.release();
        }
    } driver;
    CCommPort port(&driver);
    EXPECT_EQ(port.Open("rfc2217://bench:4001", 921600, 2000), 0);
    EXPECT_EQ(port.LastOpenError().eReason, kOpenBusy);
    EXPECT_NE(port.LastOpenError().strDetail.find("in use"), std::string::npos);
}
