#include "TelnetCodec.h"

using namespace telnet;

namespace {

// Answers kept for a look; a server that keeps answering does not grow us.
const size_t kMaxReplies = 64;

void Put3(std::string* pOut, uint8_t a, uint8_t b, uint8_t c)
{
    pOut->push_back(static_cast<char>(a));
    pOut->push_back(static_cast<char>(b));
    pOut->push_back(static_cast<char>(c));
}

} // namespace

std::string CTelnetCodec::Hello()
{
    std::string s;
    Put3(&s, kIac, kWill, kOptBinary);
    m_local[kOptBinary].bAsked = true;
    Put3(&s, kIac, kDo, kOptBinary);
    m_remote[kOptBinary].bAsked = true;
    Put3(&s, kIac, kWill, kOptComPort);
    m_local[kOptComPort].bAsked = true;
    return s;
}

bool CTelnetCodec::WeOffer(uint8_t nOption)
{
    return nOption == kOptBinary || nOption == kOptComPort || nOption == kOptSuppressGoAhead;
}

bool CTelnetCodec::WeAccept(uint8_t nOption)
{
    return nOption == kOptBinary || nOption == kOptSuppressGoAhead;
}

void CTelnetCodec::Negotiate(uint8_t nVerb, uint8_t nOption, std::string* pReply)
{
    // DO/DONT are about our side, WILL/WONT about the server's.
    const bool bOurSide = nVerb == kDo || nVerb == kDont;
    const bool bEnable = nVerb == kDo || nVerb == kWill;
    SOption& opt = bOurSide ? m_local[nOption] : m_remote[nOption];
    const bool bWanted = bOurSide ? WeOffer(nOption) : WeAccept(nOption);
    const bool bAsked = opt.bAsked;
    opt.bAsked = false;
    if (bEnable) {
        if (!bWanted) {
            // Refused; an option that stays off needs no more than that.
            Put3(pReply, kIac, bOurSide ? kWont : kDont, nOption);
            return;
        }
        if (opt.bOn)
            return;
        opt.bOn = true;
        if (!bAsked)
            Put3(pReply, kIac, bOurSide ? kWill : kDo, nOption);
        return;
    }
    if (bOurSide && nOption == kOptComPort)
        m_bComPortRefused = true;
    if (!opt.bOn && !bAsked)
        return;
    const bool bWasOn = opt.bOn;
    opt.bOn = false;
    if (bWasOn)
        Put3(pReply, kIac, bOurSide ? kWont : kDont, nOption);
}

void CTelnetCodec::Decode(const uint8_t* pIn, size_t nCount, std::string* pData, std::string* pReply)
{
    for (size_t i = 0; i < nCount; ++i) {
        const uint8_t b = pIn[i];
        switch (m_eState) {
        case kInData:
            if (b == kIac)
                m_eState = kAfterIac;
            else
                pData->push_back(static_cast<char>(b));
            break;
        case kAfterIac:
            if (b == kIac) {
                pData->push_back(static_cast<char>(kIac));
                m_eState = kInData;
            } else if (b == kDo || b == kDont || b == kWill || b == kWont) {
                m_nVerb = b;
                m_eState = kAfterVerb;
            } else if (b == kSb) {
                m_sub.clear();
                m_bSubTooLong = false;
                m_eState = kInSub;
            } else {
                m_eState = kInData; // NOP, GA, a stray SE...: nothing for us
            }
            break;
        case kAfterVerb:
            Negotiate(m_nVerb, b, pReply);
            m_eState = kInData;
            break;
        case kInSub:
            if (b == kIac) {
                m_eState = kInSubAfterIac;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub.push_back(static_cast<char>(b));
            } else {
                m_bSubTooLong = true;
            }
            break;
        case kInSubAfterIac:
            if (b == kSe) {
                EndSubnegotiation();
                m_eState = kInData;
            } else if (b == kIac) {
                if (m_sub.size() < kMaxSubnegotiation)
                    m_sub.push_back(static_cast<char>(kIac));
                else
                    m_bSubTooLong = true;
                m_eState = kInSub;
            } else {
                // IAC and anything else inside a subnegotiation breaks it
                // off; the byte is taken as a command of its own.
                m_eState = kAfterIac;
                --i;
            }
            break;
        }
    }
}

void CTelnetCodec::EndSubnegotiation()
{
    if (m_bSubTooLong || m_sub.size() < 2 || static_cast<uint8_t>(m_sub[0]) != kOptComPort)
        return;
    if (m_replies.size() >= kMaxReplies)
        m_replies.erase(m_replies.begin());
    SComPortReply reply;
    reply.nCommand = static_cast<uint8_t>(m_sub[1]);
    reply.strValue = m_sub.substr(2);
    m_replies.push_back(reply);
}

void CTelnetCodec::Escape(const uint8_t* pIn, size_t nCount, std::string* pOut)
{
    for (size_t i = 0; i < nCount; ++i) {
        pOut->push_back(static_cast<char>(pIn[i]));
        if (pIn[i] == kIac)
            pOut->push_back(static_cast<char>(kIac));
    }
}

std::string CTelnetCodec::ComPortCommand(uint8_t nCommand, const std::string& strValue)
{
    std::string s;
    Put3(&s, kIac, kSb, kOptComPort);
    s.push_back(static_cast<char>(nCommand));
    Escape(reinterpret_cast<const uint8_t*>(strValue.data()), strValue.size(), &s);
    s.push_back(static_cast<char>(kIac));
    s.push_back(static_cast<char>(kSe));
    return s;
}

std::string CTelnetCodec::SetBaudRate(uint32_t nBaud)
{
    std::string v;
    v.push_back(static_cast<char>(nBaud >> 24));
    v.push_back(static_cast<char>(nBaud >> 16));
    v.push_back(static_cast<char>(nBaud >> 8));
    v.push_back(static_cast<char>(nBaud));
    return ComPortCommand(kSetBaudRate, v);
}
