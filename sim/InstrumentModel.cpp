#include "InstrumentModel.h"

namespace {
const uint64_t kMs = 1000;
// Chatter of the restart; it carries no upper-case B, which the host would
// take for the bootloader's sign.
const char kRestartChatter[] = "\r\nrestarting...\r\nzt9047q loader 1.3\r\n";
} // namespace

CInstrumentModel::CInstrumentModel(const SSimConfig& config)
    : m_config(config), m_eState(config.bStartInBootloader ? kBootConsole : kApplication)
{
}

void CInstrumentModel::Send(const std::string& strText, uint64_t nDueUs)
{
    for (char c : strText)
        SendByte(static_cast<uint8_t>(c), nDueUs);
}

void CInstrumentModel::SendByte(uint8_t by, uint64_t nDueUs)
{
    // The unit's own bytes leave in order: never before one it sent earlier.
    if (nDueUs < m_nLastOwnDueUs)
        nDueUs = m_nLastOwnDueUs;
    m_nLastOwnDueUs = nDueUs;
    Inject(std::string(1, static_cast<char>(by)), nDueUs);
}

void CInstrumentModel::Inject(const std::string& strBytes, uint64_t nDueUs)
{
    auto it = m_out.begin();
    while (it != m_out.end() && it->nDueUs <= nDueUs)
        ++it;
    for (char c : strBytes) {
        it = m_out.insert(it, SOut{nDueUs, static_cast<uint8_t>(c)});
        ++it;
    }
}

bool CInstrumentModel::PeekOutput(uint64_t* pnDueUs)
{
    if (m_bHungUp)
        return false;
    if (m_nFloodNextUs != UINT64_MAX && (m_out.empty() || m_nFloodNextUs < m_out.front().nDueUs)) {
        *pnDueUs = m_nFloodNextUs;
        return true;
    }
    if (m_out.empty())
        return false;
    *pnDueUs = m_out.front().nDueUs;
    return true;
}

uint8_t CInstrumentModel::PopOutput()
{
    if (m_nFloodNextUs != UINT64_MAX && (m_out.empty() || m_nFloodNextUs < m_out.front().nDueUs)) {
        m_nFloodNextUs += 100 * kMs;
        return '.';
    }
    if (m_out.empty())
        return 0;
    uint8_t by = m_out.front().by;
    m_out.pop_front();
    return by;
}

std::string CInstrumentModel::ConsoleText() const
{
    std::string s;
    for (const SReceived& r : m_received) {
        if (r.nUs >= m_nConsoleEndUs)
            break;
        s += static_cast<char>(r.by);
    }
    return s;
}

void CInstrumentModel::HangUp()
{
    m_bHungUp = true;
    m_eState = kDead;
    m_out.clear();
    m_nFloodNextUs = UINT64_MAX;
}

void CInstrumentModel::OnHostClosed()
{
    if (m_eState != kFrames || m_bHungUp)
        return;
    m_frame.clear();
    m_nFrameNeed = 0;
    m_strLine.clear();
    m_nFloodNextUs = UINT64_MAX;
    m_eState = kBootConsole;
}

void CInstrumentModel::Receive(uint8_t by, uint64_t nNowUs)
{
    if (m_bHungUp)
        return;
    m_received.push_back(SReceived{nNowUs, by});
    if (m_eState == kRestarting && nNowUs >= m_nRestartDoneUs) {
        m_eState = kApplication;
        m_strLine.clear();
    }
    switch (m_eState) {
    case kApplication:
    case kBootConsole:
        if (m_eState == kBootConsole && by == kSign) {
            // The host greets the bootloader with its sign; it answers in kind.
            BeginFrames(nNowUs);
            if (!m_config.bNoSign && !m_config.bFloodInsteadOfSign)
                SendByte(kSign, nNowUs + m_config.nReplyDelayMs * kMs);
            else if (m_config.bFloodInsteadOfSign)
                m_nFloodNextUs = nNowUs + 100 * kMs;
            return;
        }
        // A line ends at LF; the CR before it is dropped.
        if (by == '\r')
            return;
        if (by == '\n') {
            std::string strLine;
            strLine.swap(m_strLine);
            OnConsoleLine(strLine, nNowUs);
            return;
        }
        if (m_strLine.size() < 256)
            m_strLine += static_cast<char>(by);
        return;
    case kRestarting:
        return; // a restarting unit hears nothing
    case kFrames:
        OnFrameByte(by, nNowUs);
        return;
    case kDead:
        return;
    }
}

void CInstrumentModel::OnConsoleLine(const std::string& strLine, uint64_t nNowUs)
{
    if (m_config.bSilent)
        return;
    uint64_t nDue = nNowUs + m_config.nReplyDelayMs * kMs;
    if (strLine.empty()) {
        ++m_nWakeReplies;
        if (!m_config.strWakeReply.empty()) {
            Send(m_config.strWakeReply, nDue);
        } else if (m_eState == kBootConsole) {
            Send("ZT9047Q BOOTLOADER READY\r\n", nDue);
        } else if (m_config.bShortReply) {
            Send("OK\r\n", nDue);
        } else if (m_config.bNoModelAfterFirstReply && m_nWakeReplies > 1) {
            Send("VER " + m_config.strVersion + "\r\n", nDue);
        } else {
            Send("ZT9047Q Field Unit VER " + m_config.strVersion + "\r\n", nDue);
        }
        return;
    }
    if (m_eState != kApplication)
        return;
    if (strLine == "BOOT") {
        if (m_config.bHangupInHandshake) {
            HangUp();
            return;
        }
        Send("send BOOT 1 to restart in loader mode\r\n", nDue);
    } else if (strLine == "#") {
        Send("#\r\n", nDue);
    } else if (strLine == "BOOT 1") {
        // Restart into the bootloader, which announces itself with its sign.
        BeginFrames(nNowUs);
        uint64_t nReady = nNowUs + m_config.nRestartMs * kMs;
        Send(kRestartChatter, nNowUs + 50 * kMs);
        if (m_config.bFloodInsteadOfSign)
            m_nFloodNextUs = nReady;
        else if (!m_config.bNoSign)
            SendByte(kSign, nReady);
    } else {
        Send("?\r\n", nDue);
    }
}

void CInstrumentModel::BeginFrames(uint64_t nNowUs)
{
    // Each bootloader session starts a new image.
    m_nConsoleEndUs = nNowUs + 1;
    m_eState = kFrames;
    m_accepted.clear();
    m_nFramesAccepted = 0;
    m_nFrameSends = 0;
    m_nRejects = 0;
    m_nRejectsGiven = 0;
}

void CInstrumentModel::OnFrameByte(uint8_t by, uint64_t nNowUs)
{
    // A host that opens the port again at once can slip past the close; its
    // wake-up where a frame would begin brings the bootloader's console back.
    if (m_config.bWakeUpEndsFrames && m_frame.size() == 1 && m_frame[0] == '\r' && by == '\n') {
        OnHostClosed();
        OnConsoleLine(std::string(), nNowUs);
        return;
    }
    m_frame.push_back(by);
    if (m_frame.size() == 2)
        m_nFrameNeed = static_cast<uint32_t>(m_frame[0]) * 256 + m_frame[1] + 2;
    if (m_frame.size() >= 2 && m_frame.size() == m_nFrameNeed)
        OnFrameComplete(nNowUs);
}

void CInstrumentModel::OnFrameComplete(uint64_t nNowUs)
{
    int nIndex = m_nFramesAccepted;
    ++m_nFrameSends;
    std::vector<uint8_t> frame;
    frame.swap(m_frame);
    m_nFrameNeed = 0;
    if (nIndex == m_config.nHangupFrame) {
        HangUp();
        return;
    }
    if (m_config.nSilentFrame >= 0 && nIndex >= m_config.nSilentFrame)
        return;
    uint64_t nDue = nNowUs + m_config.nAckDelayMs * kMs;
    if (nIndex == m_config.nRejectFrame && m_nRejectsGiven < m_config.nRejectCount) {
        ++m_nRejectsGiven;
        ++m_nRejects;
        SendByte(kReject, nDue);
    } else {
        m_accepted.insert(m_accepted.end(), frame.begin(), frame.end());
        ++m_nFramesAccepted;
        m_nRejectsGiven = 0;
        SendByte(kAck, nDue);
        if (m_config.nImageBytes && m_accepted.size() >= m_config.nImageBytes) {
            // Done: the unit restarts into the firmware it has just received.
            ++m_nUpdates;
            m_eState = kRestarting;
            m_nRestartDoneUs = m_config.bSilentAfterUpdate ? UINT64_MAX : nDue + m_config.nRebootMs * kMs;
            m_config.strVersion = m_config.strUpdatedVersion;
            m_nWakeReplies = 0;
            return;
        }
    }
    // Junk behind the answer; it holds acknowledge bytes, so a host that does
    // not drain before the next frame would take them for its answer.
    for (int i = 0; i < m_config.nExtraBytes; ++i)
        SendByte(i % 2 ? 0x55 : kAck, nDue);
}
