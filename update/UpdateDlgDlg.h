// The main window's update logic: the state of one run, the bootloader entry
// handshake (Download), the frame transfer (timer ticks), the version rule,
// the guarded close and the reset that ends every run. It knows the window
// only through IWindowSurface and time only through IClock.
#pragma once

#include "../discovery/EnumSerialPorts.h"
#include "../serial/Clock.h"
#include "../serial/CommPort.h"
#include "Resources.h"
#include "WindowSurface.h"

#include <cstdint>
#include <string>

// The end a run took, one value for each way the logic can end it.
enum ERunEnd
{
    kEndNone = 0,          // no run has ended yet
    kEndCompleted,         // the whole image acknowledged
    kEndNotFound,          // no instrument port found at start
    kEndOpenFailed,        // the port did not open (or names no port)
    kEndNoResponse,        // the wake-up reply was too short
    kEndRefused,           // the unit's bootloader cannot be upgraded
    kEndDeclined,          // the downgrade question answered No
    kEndStoppedResponding, // silent after the downgrade was confirmed
    kEndBootloaderSilent,  // no sign from the bootloader
    kEndRejects,           // 100 rejects in a row
    kEndSilence,           // no answer to a frame
    kEndDamagedImage,      // the packaged image is damaged
    kEndInterrupted        // cancelled through the clock, or closed during the stream
};

class CUpdateDlgDlg
{
public:
    static const int kImageBufferSize = 524288;
    static const uint32_t kBaudRate = 921600;
    static const uint32_t kOpenTimeoutMs = 2000;
    static const uint32_t kReplyTimeoutMs = 4000;
    static const uint8_t kAck = 0x11;
    static const uint8_t kBootloaderSign = 0x42;
    static const int kMaxRejects = 100;
    static const int kPiece = 64;
    static const uint32_t kSignDeadlineMs = 3000;
    // A unit that keeps sending other bytes must not hold the window
    // forever: the whole wait for the sign ends after this long.
    static const uint32_t kSignWaitLimitMs = 30000;
    static const uint32_t kTimerId = 1;
    static const uint32_t kTimerPeriodMs = 10;

    CUpdateDlgDlg(IWindowSurface& surface, IClock& clock, ICommDriver* pDriver = nullptr,
                  IPortSource* pPortSource = nullptr, IResourceSource* pResources = nullptr);
    virtual ~CUpdateDlgDlg();

    // The logic of window initialisation: find the instrument's port and put
    // it into the spin box (or say it was not found), then idle. The front
    // end sets icons and ranges before, the caption and timer 1 after.
    void OnInitDialog();
    // " 2.20", appended to the window caption.
    static std::string CaptionVersionSuffix();

    void OnDownload();
    void OnTimer(uintptr_t nIdEvent);
    // A close request. Returns true when the window may close: the run has
    // been reset and the front end stops timer 1 and ends the window.
    bool OnClose();

    void ResetTransfer();
    int CheckDeviceVersion(std::string strLine);
    int LoadFirmwareImage(uint8_t* pOut, bool* pbSound = nullptr);

    // The end of the handshake once the sign has come: prepares the state and
    // starts the stream on the open m_pPort. Tests enter here directly.
    void StartStream(bool bSwitched);

    // The last run ended with the whole image acknowledged.
    bool LastRunCompleted() const;

    // How the last run ended, and what the unit told about itself.
    ERunEnd LastEnd() const { return m_eLastEnd; }
    // The version the unit reported on its console, when it reported one.
    bool UnitVersionKnown() const { return m_bUnitVersionKnown; }
    float UnitVersion() const { return m_fUnitVersion; }
    // The unit was in its bootloader, or was told to enter it: a new run
    // takes the bootloader branch.
    bool UnitToldBootloader() const { return m_bUnitInBootloader; }

    // Ends a stream at once without asking (the program is being stopped).
    void Interrupt();

    // For a front end that can be stopped at any moment (the command line):
    // the wait for a frame's answer goes in short reads and looks at the
    // clock between them, so a cancellation ends it at once. The window
    // waits in one blocking read.
    void WaitForAnswersInSlices(bool bSliced) { m_bAnswerInSlices = bSliced; }

    // Update state of one run.
    CCommPort* m_pPort;
    int m_nTransferState; // 0 idle, 1 streaming, 2 a tick is sending
    uint8_t m_image[kImageBufferSize];
    int m_nImageLength;
    int m_nOffset;
    int m_nFrameLength;
    int m_nBytesSent;
    int m_nFramesSent;
    uint8_t m_nNakCount;
    uint8_t m_byReply;

    CEnumSerialPorts m_portEnum;

private:
    CUpdateDlgDlg(const CUpdateDlgDlg&) = delete;
    CUpdateDlgDlg& operator=(const CUpdateDlgDlg&) = delete;

    bool ImageIsSound();
    void EndRun(ERunEnd eEnd, const std::string& strText, unsigned nType);
    bool WaitForSign();
    // The answer to the frame just sent, in short reads, within the time one
    // blocking read would give it; false on silence or a cancellation.
    bool ReadAnswerInSlices();
    // The clock was cancelled: the run ends here, with nothing more sent.
    bool Interrupted();

    IWindowSurface& m_surface;
    IClock& m_clock;
    ICommDriver* m_pDriver;
    IResourceSource* m_pResources;

    ERunEnd m_eLastEnd = kEndNone;
    bool m_bUnitVersionKnown = false;
    float m_fUnitVersion = 0.0f;
    bool m_bUnitInBootloader = false;
    bool m_bAnswerInSlices = false;
};

// The version a console line reports: the number after its first "VER", in
// any letter case, read as "%f" reads it. False when there is none.
bool ReadReportedVersion(std::string strLine, float* pfVersion);

// Texts of the system.
namespace texts {
extern const char kWaiting[];
extern const char kNotFound[];
extern const char kDamagedImage[];
extern const char kBadComNumber[];
} // namespace texts
