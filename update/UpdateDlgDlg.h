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
    void EndRun(const std::string& strText, unsigned nType);
    bool WaitForSign();

    IWindowSurface& m_surface;
    IClock& m_clock;
    ICommDriver* m_pDriver;
    IResourceSource* m_pResources;
};

// Texts of the system.
namespace texts {
extern const char kWaiting[];
extern const char kNotFound[];
extern const char kDamagedImage[];
extern const char kBadComNumber[];
} // namespace texts
