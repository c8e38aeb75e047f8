// The instrument's side of the serial line: its application console, its
// bootloader and the frame exchange, with faults on demand. It is driven by
// the bytes it receives and a clock in microseconds, and queues what it sends
// with the time each byte is due, so the same model serves a pseudo terminal
// in real time and an in-process fake port on virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "BuildVersion.h"

struct SSimConfig
{
    // Console of the running application.
    bool bStartInBootloader = false; // the unit is already in its bootloader
    std::string strVersion = "2.10";  // firmware version reported after "VER"
    bool bSilent = false;             // answers nothing at all
    bool bShortReply = false;         // answers the wake-up with fewer than 5 characters
    std::string strWakeReply;         // when set, the exact bytes that answer each wake-up
    uint32_t nReplyDelayMs = 0;       // each console answer comes this late
    bool bNoSign = false;             // the bootloader never sends 0x42
    bool bFloodInsteadOfSign = false; // endless other bytes where the sign should come
    bool bNoModelAfterFirstReply = false; // later wake-up answers lack the model name
    uint32_t nRestartMs = 300;        // from "BOOT 1" to the bootloader's sign

    // Bootloader frame exchange.
    int nRejectFrame = -1;     // frame index whose sends are rejected ...
    int nRejectCount = 0;      // ... this many times (then acknowledged)
    int nSilentFrame = -1;     // no answer from this frame on
    uint32_t nAckDelayMs = 0;  // each answer comes this late
    int nExtraBytes = 0;       // junk (acknowledge bytes among it) after each answer
    int nHangupFrame = -1;     // the line goes dead when this frame arrives
    bool bHangupInHandshake = false; // the line goes dead on the bootloader request

    // After the update. When this many bytes have been accepted the update is
    // complete: the unit restarts into its new application, which reports
    // strUpdatedVersion (0: the bootloader never considers itself done).
    uint32_t nImageBytes = 0;
    std::string strUpdatedVersion = ZT_FIRMWARE_VERSION_TEXT; // the packaged image's
    uint32_t nRebootMs = 0;           // from the last acknowledge to the new console
    bool bSilentAfterUpdate = false;  // the new application never starts its console
    // A frame that begins with CR LF is a wake-up: the console comes back
    // (for images without frames of 3338 bytes).
    bool bWakeUpEndsFrames = false;
};

class CInstrumentModel
{
public:
    static const uint8_t kAck = 0x11;
    static const uint8_t kReject = 0x15;
    static const uint8_t kSign = 0x42;

    explicit CInstrumentModel(const SSimConfig& config = SSimConfig());

    // One byte from the host at the given time.
    void Receive(uint8_t by, uint64_t nNowUs);
    // The earliest byte queued to the host and when it is due.
    bool PeekOutput(uint64_t* pnDueUs);
    uint8_t PopOutput();

    // The unit sends these bytes on its own at the given time, among
    // whatever else it sends by then.
    void Inject(const std::string& strBytes, uint64_t nDueUs);
    // Pull the plug now.
    void Unplug() { HangUp(); }
    // The host closed the port. A bootloader left in the middle of an update
    // returns to its console, where the next wake-up finds it.
    void OnHostClosed();
    // Updates completed since the start.
    int UpdatesCompleted() const { return m_nUpdates; }

    bool HungUp() const { return m_bHungUp; }
    bool InFrameMode() const { return m_eState == kFrames; }

    // The image as the bootloader accepted it, frame after frame.
    const std::vector<uint8_t>& AcceptedImage() const { return m_accepted; }
    int FramesAccepted() const { return m_nFramesAccepted; }
    int FrameSends() const { return m_nFrameSends; }
    int Rejects() const { return m_nRejects; }

    // Every byte received, with its time: the unit's view of the session.
    struct SReceived
    {
        uint64_t nUs;
        uint8_t by;
    };
    const std::vector<SReceived>& Received() const { return m_received; }
    // The bytes received before the bootloader took over the line.
    std::string ConsoleText() const;

    SSimConfig& Config() { return m_config; }

private:
    enum EState { kApplication, kRestarting, kBootConsole, kFrames, kDead };

    void Send(const std::string& strText, uint64_t nDueUs);
    void SendByte(uint8_t by, uint64_t nDueUs);
    void OnConsoleLine(const std::string& strLine, uint64_t nNowUs);
    void BeginFrames(uint64_t nNowUs);
    void OnFrameByte(uint8_t by, uint64_t nNowUs);
    void OnFrameComplete(uint64_t nNowUs);
    void HangUp();

    SSimConfig m_config;
    EState m_eState;
    bool m_bHungUp = false;
    int m_nUpdates = 0;
    uint64_t m_nRestartDoneUs = UINT64_MAX; // the new application listens from then on
    std::string m_strLine;
    int m_nWakeReplies = 0;
    uint64_t m_nConsoleEndUs = UINT64_MAX;

    struct SOut
    {
        uint64_t nDueUs;
        uint8_t by;
    };
    std::deque<SOut> m_out;
    uint64_t m_nLastOwnDueUs = 0;
    uint64_t m_nFloodNextUs = UINT64_MAX;

    std::vector<uint8_t> m_frame;
    uint32_t m_nFrameNeed = 0;
    std::vector<uint8_t> m_accepted;
    int m_nFramesAccepted = 0;
    int m_nFrameSends = 0;
    int m_nRejects = 0;
    int m_nRejectsGiven = 0;
    std::vector<SReceived> m_received;
};
