#include "UpdateDlgDlg.h"

#include "../serial/Console.h"
#include "FirmwareImage.h"
#include "TextFormat.h"
#include "Version.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

const char kMessageCaption[] = "ZT9047Q Firmware Update";

namespace texts {
const char kWaiting[] = "Waiting to download...";
const char kNotFound[] = "ZT9047Q USB communication port not found.\r\n"
                         "Check USB connection to ZT9047Q and restart program.";
const char kDamagedImage[] = "The firmware image inside this program is damaged.\r\n"
                             "Nothing was sent to the ZT9047Q.";
const char kBadComNumber[] = "Error: the COM port number must be between 1 and 256.";
} // namespace texts

namespace {

const char kCommunicating[] = "Communicating with ZT9047Q";
const char kEntering[] = "Entering bootloader...";
const char kInitializing[] = "Initializing bootloader...";
const char kDownloading[] = "Downloading new firmware...";
const char kDidNotRespond[] = "ZT9047Q did not respond.";
const char kBootloaderSilent[] = "ZT9047Q bootloader not responding.";
const char kCannotUpgrade[] = "Can not upgrade the ZT9047Q's firmware with this bootloader.";
const char kStoppedResponding[] = "ZT9047Q stopped responding. Make sure unit is turned on.";
const char kCloseQuestion[] = "Warning, data transfer in progress.\r\n"
                              "Terminating the transfer before completion\r\n"
                              "will result in unpredictable ZT9047Q operation.\r\n"
                              "\r\n"
                              "Are you sure you want to exit?";

const int kLineSize = 128;

// Read time-out of one slice of a sliced answer wait: a one-byte read that
// brings nothing returns after twice this.
const uint32_t kAnswerSliceTimeoutMs = 10;

void UpperCase(std::string& s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
}

// One reply line as text (up to its first zero byte), upper-cased. Only the
// text counts: a line cut off by the deadline is judged like a whole one.
std::string ReadUpperCaseLine(CCommPort* pPort, IClock& clock)
{
    char szLine[kLineSize];
    int nSeen = 0;
    ReadReplyLine(pPort, szLine, kLineSize, &nSeen, clock);
    std::string strLine = szLine;
    UpperCase(strLine);
    return strLine;
}

} // namespace

CUpdateDlgDlg::CUpdateDlgDlg(IWindowSurface& surface, IClock& clock, ICommDriver* pDriver,
                             IPortSource* pPortSource, IResourceSource* pResources)
    : m_pPort(nullptr),
      m_nTransferState(0),
      m_nImageLength(0),
      m_nOffset(0),
      m_nFrameLength(0),
      m_nBytesSent(0),
      m_nFramesSent(0),
      m_nNakCount(0),
      m_byReply(0),
      m_portEnum(pPortSource),
      m_surface(surface),
      m_clock(clock),
      m_pDriver(pDriver),
      m_pResources(pResources ? pResources : &ProgramResources())
{
}

CUpdateDlgDlg::~CUpdateDlgDlg()
{
    // The port belongs to ResetTransfer; a window torn down with one still
    // held (a test, an abnormal end) must still release it.
    delete m_pPort;
}

void CUpdateDlgDlg::OnInitDialog()
{
    int nPort = -1;
    try {
        nPort = m_portEnum.FindDevicePort();
    } catch (const std::string& strError) {
        // The window must open all the same: show why, then carry on as if
        // no port had been found.
        m_surface.ShowMessage(strError, kMsgWarning);
    }
    if (nPort < 0) {
        m_eLastEnd = kEndNotFound;
        m_surface.SetComNumber(1);
        m_surface.ShowMessage(texts::kNotFound, kMsgOk);
    } else {
        m_surface.SetComNumber(nPort & 0xFFFF);
    }
    m_pPort = nullptr;
    m_surface.SetStatusText(texts::kWaiting);
    m_nTransferState = 0;
}

std::string CUpdateDlgDlg::CaptionVersionSuffix()
{
    return " " + FormatFixed2(kPackagedVersion);
}

void CUpdateDlgDlg::ResetTransfer()
{
    if (m_pPort) {
        m_pPort->Close();
        delete m_pPort;
        m_pPort = nullptr;
    }
    m_surface.EnableDownload(true);
    m_surface.SetProgress(0);
    m_surface.SetStatusText(texts::kWaiting);
}

namespace {

// The image decoded from the last resource text, shared by the runs of the
// process: a station starts a hundred runs at once and each reads the image
// twice (before the handshake and as its stream starts); decoding it each
// time took a quarter of the tool's CPU there. Kept with its text, so that
// another text (a test's, a changed resource) is decoded afresh.
struct SDecodedImage
{
    std::string strText;
    std::vector<uint8_t> bytes;
    int nLength = 0;
    bool bSound = false;
};

std::shared_ptr<const SDecodedImage> DecodedImage(const char* pText, uint32_t nChars, uint32_t nCapacity)
{
    static std::mutex lock;
    static std::shared_ptr<const SDecodedImage> pLast;
    std::shared_ptr<const SDecodedImage> pImage;
    {
        std::lock_guard<std::mutex> guard(lock);
        pImage = pLast;
    }
    if (pImage && pImage->strText.size() == nChars && pImage->bytes.size() == std::min(nChars / 2, nCapacity)
        && std::memcmp(pImage->strText.data(), pText, nChars) == 0)
        return pImage;
    std::shared_ptr<SDecodedImage> pNew = std::make_shared<SDecodedImage>();
    pNew->strText.assign(pText, nChars);
    pNew->bytes.resize(std::min(nChars / 2, nCapacity));
    pNew->nLength = DecodeFirmwareText(pText, nChars, pNew->bytes.data(), nCapacity, &pNew->bSound);
    std::lock_guard<std::mutex> guard(lock);
    pLast = pNew;
    return pNew;
}

} // namespace

int CUpdateDlgDlg::LoadFirmwareImage(uint8_t* pOut, bool* pbSound)
{
    if (pbSound)
        *pbSound = false;
    if (!pOut)
        return 0;
    const char* pText = nullptr;
    uint32_t nChars = 0;
    if (!m_pResources->Find(kFirmwareResourceType, kFirmwareResourceId, &pText, &nChars) || nChars == 0)
        return 0;
    std::shared_ptr<const SDecodedImage> pImage = DecodedImage(pText, nChars, kImageBufferSize);
    if (pImage->nLength > 0)
        std::memcpy(pOut, pImage->bytes.data(), static_cast<size_t>(pImage->nLength));
    if (pbSound)
        *pbSound = pImage->bSound;
    return pImage->nLength;
}

bool CUpdateDlgDlg::ImageIsSound()
{
    bool bTextSound = false;
    m_nImageLength = 0;
    m_nImageLength = LoadFirmwareImage(m_image, &bTextSound);
    return bTextSound && FramesAreWhole(m_image, m_nImageLength);
}

bool CUpdateDlgDlg::LastRunCompleted() const
{
    return m_nTransferState == 0 && m_nImageLength > 0 && m_nOffset >= m_nImageLength;
}

bool ReadReportedVersion(std::string strLine, float* pfVersion)
{
    UpperCase(strLine);
    std::string::size_type nKey = strLine.find("VER");
    if (nKey == std::string::npos)
        return false;
    return ScanFloat(strLine.c_str() + nKey + 3, pfVersion);
}

int CUpdateDlgDlg::CheckDeviceVersion(std::string strLine)
{
    float fVersion = 0.0f;
    if (!ReadReportedVersion(strLine, &fVersion))
        return 1;
    m_bUnitVersionKnown = true;
    m_fUnitVersion = fVersion;
    double dHundredths = static_cast<double>(fVersion) * 100.0;
    // Truncated toward zero, above the packaged version's hundredths.
    bool bNewer = dHundredths >= kPackagedHundredths + 1.0;
    if (!bNewer) {
        if (fVersion < kMinimumUpgradableVersion) {
            m_eLastEnd = kEndRefused;
            m_surface.ShowMessage(kCannotUpgrade, kMsgWarning);
            return 0;
        }
        return 1;
    }
    std::string strQuestion = "The ZT9047Q is running a newer firmware version(";
    strQuestion += FormatFixed2(static_cast<double>(fVersion));
    strQuestion += ").\r\nAre you sure you want to down grade to version ";
    strQuestion += FormatFixed2(kPackagedVersion);
    strQuestion += "?";
    if (m_surface.ShowMessage(strQuestion, kMsgWarningQuestion) == kAnswerNo) {
        m_eLastEnd = kEndDeclined;
        return 0;
    }
    if (!SendText(m_pPort, "\r\n", false, m_clock))
        return 0;
    std::string strAnswer = ReadUpperCaseLine(m_pPort, m_clock);
    if (m_clock.Cancelled())
        return 0;
    if (strAnswer.find("ZT9047Q") != std::string::npos)
        return 1;
    m_eLastEnd = kEndStoppedResponding;
    m_surface.ShowMessage(kStoppedResponding, kMsgOk);
    return 0;
}

bool CUpdateDlgDlg::Interrupted()
{
    if (!m_clock.Cancelled())
        return false;
    m_eLastEnd = kEndInterrupted;
    m_nTransferState = 0;
    ResetTransfer();
    return true;
}

void CUpdateDlgDlg::Interrupt()
{
    m_eLastEnd = kEndInterrupted;
    m_nTransferState = 0;
    ResetTransfer();
}

void CUpdateDlgDlg::OnDownload()
{
    m_eLastEnd = kEndNone;
    m_bUnitVersionKnown = false;
    m_bUnitInBootloader = false;
    int nCom = m_surface.GetComNumber();
    // The spin box can report an error value instead of a number; such a
    // number names no port, so nothing is opened (and INT_MIN - 1 is never
    // computed).
    if (nCom < 1 || nCom > 256) {
        m_eLastEnd = kEndOpenFailed;
        m_surface.ShowMessage(texts::kBadComNumber, kMsgWarning);
        return;
    }
    m_nOffset = nCom - 1;
    // A damaged image would leave the unit stuck in its bootloader: refuse
    // it before anything is sent.
    if (!ImageIsSound()) {
        m_eLastEnd = kEndDamagedImage;
        m_surface.ShowMessage(texts::kDamagedImage, kMsgWarning);
        return;
    }

    if (!m_pPort)
        m_pPort = new CCommPort(m_pDriver);

    std::string strName = (nCom <= 9 ? "COM" : "\\\\.\\COM") + std::to_string(nCom);
    if (!m_pPort->Open(strName.c_str(), kBaudRate, kOpenTimeoutMs)) {
        m_eLastEnd = kEndOpenFailed;
        m_surface.ShowMessage("Error: COM" + std::to_string(m_nOffset + 1) + " in use or does not exist.", kMsgOk);
        return;
    }

    // A cancelled clock ends the run after any step, before anything more
    // is sent; with the window's clock these checks never fire.
    DrainInput(m_pPort, m_clock);
    if (Interrupted())
        return;
    m_surface.SetStatusText(kCommunicating);
    SendText(m_pPort, "\r\n", false, m_clock);
    std::string strReply = ReadUpperCaseLine(m_pPort, m_clock);
    if (Interrupted())
        return;
    if (strReply.size() < 5) {
        m_eLastEnd = kEndNoResponse;
        m_surface.ShowMessage(kDidNotRespond, kMsgOk);
        ResetTransfer();
        return;
    }

    bool bSwitched = false;
    DrainInput(m_pPort, m_clock);
    if (Interrupted())
        return;
    m_surface.SetStatusText(kEntering);

    std::string::size_type nBoot = strReply.find("BOOT");
    if (nBoot != std::string::npos && nBoot >= 1) {
        // Already in the bootloader: greet it with its own sign.
        uint8_t bySign = kBootloaderSign;
        m_pPort->Write(&bySign, 1);
        m_bUnitInBootloader = true;
    } else {
        if (!CheckDeviceVersion(strReply)) {
            if (Interrupted())
                return;
            ResetTransfer();
            return;
        }
        if (Interrupted())
            return;
        SendText(m_pPort, "BOOT\r\n", false, m_clock);
        ReadUpperCaseLine(m_pPort, m_clock); // whatever the answer, the handshake goes on
        if (Interrupted())
            return;
        SendText(m_pPort, "#\r\n", true, m_clock);
        if (Interrupted())
            return;
        m_clock.Sleep(1000);
        if (Interrupted())
            return;
        bSwitched = true;
        m_bUnitInBootloader = SendText(m_pPort, "BOOT 1\r\n", true, m_clock);
        if (Interrupted())
            return;
        m_surface.SetStatusText(kInitializing);
        m_clock.Sleep(2000);
        if (Interrupted())
            return;
    }

    m_nFramesSent = 0;
    if (!WaitForSign()) {
        if (Interrupted())
            return;
        m_eLastEnd = kEndBootloaderSilent;
        m_surface.ShowMessage(kBootloaderSilent, kMsgOk);
        ResetTransfer();
        return;
    }
    StartStream(bSwitched);
}

bool CUpdateDlgDlg::WaitForSign()
{
    const uint32_t nWaitStart = m_clock.GetTickCount();
    uint32_t nDeadlineStart = nWaitStart;
    for (;;) {
        if (m_clock.Cancelled())
            return false;
        uint8_t by = 0;
        if (m_pPort->Read(&by, 1)) {
            if (by == kBootloaderSign)
                return true;
            nDeadlineStart = m_clock.GetTickCount();
            if (TicksElapsed(nWaitStart, nDeadlineStart) > kSignWaitLimitMs)
                return false;
            continue;
        }
        uint32_t nNow = m_clock.GetTickCount();
        if (TicksElapsed(nDeadlineStart, nNow) > kSignDeadlineMs
            || TicksElapsed(nWaitStart, nNow) > kSignWaitLimitMs)
            return false;
        m_clock.Sleep(50);
    }
}

void CUpdateDlgDlg::StartStream(bool bSwitched)
{
    m_surface.SetStatusText(kDownloading);
    m_clock.Sleep(100);
    if (Interrupted())
        return;
    m_surface.SetProgress(0);
    m_nNakCount = 0;
    m_nImageLength = 0;
    m_nBytesSent = 0;
    m_nOffset = 0;
    bool bSound = false;
    m_nImageLength = LoadFirmwareImage(m_image, &bSound);
    // Streaming a broken image would read past its end (or divide by an
    // empty length); end the run before the state becomes 1.
    if (!bSound || !FramesAreWhole(m_image, m_nImageLength)) {
        m_eLastEnd = kEndDamagedImage;
        m_surface.ShowMessage(texts::kDamagedImage, kMsgWarning);
        ResetTransfer();
        return;
    }
    m_surface.EnableDownload(false);
    m_nTransferState = 1;
    if (bSwitched)
        m_clock.Sleep(500);
    Interrupted(); // before the first frame: the unit waits in its bootloader
}

void CUpdateDlgDlg::EndRun(ERunEnd eEnd, const std::string& strText, unsigned nType)
{
    m_eLastEnd = eEnd;
    m_nTransferState = 0;
    m_surface.ShowMessage(strText, nType);
    ResetTransfer();
}

void CUpdateDlgDlg::OnTimer(uintptr_t)
{
    if (m_nTransferState != 1)
        return;
    m_nTransferState = 2;

    // Frames were checked whole when the stream started; this guard only
    // keeps a tick from ever reading past the image.
    if (!m_pPort || m_nOffset < 0 || m_nOffset > m_nImageLength - 2
        || FrameLengthAt(m_image, m_nOffset) > m_nImageLength - m_nOffset) {
        EndRun(kEndDamagedImage, texts::kDamagedImage, kMsgWarning);
        return;
    }
    m_nFrameLength = FrameLengthAt(m_image, m_nOffset);

    DrainInput(m_pPort, m_clock);
    // With the window's clock, never cancelled, this never fires.
    if (Interrupted())
        return;
    m_pPort->SetTimeouts(m_bAnswerInSlices ? kAnswerSliceTimeoutMs : kReplyTimeoutMs);

    m_surface.SetProgress(m_nBytesSent * 100 / m_nImageLength);

    const uint8_t* pFrame = m_image + m_nOffset;
    int nWhole = m_nFrameLength / kPiece;
    for (int i = 0; i < nWhole; ++i)
        m_pPort->Write(pFrame + i * kPiece, kPiece);
    if (m_nFrameLength % kPiece)
        m_pPort->Write(pFrame + nWhole * kPiece, static_cast<uint32_t>(m_nFrameLength % kPiece));

    m_surface.RepaintNow();

    bool bAnswer = m_bAnswerInSlices ? ReadAnswerInSlices() : m_pPort->Read(&m_byReply, 1) != 0;
    if (bAnswer) {
        if (m_byReply == kAck) {
            ++m_nFramesSent;
            m_nBytesSent += m_nFrameLength;
            m_nOffset += m_nFrameLength;
            m_nNakCount = 0;
            if (m_nOffset >= m_nImageLength) {
                EndRun(kEndCompleted, "ZT9047Q firmware updated to version " + FormatFixed2(kPackagedVersion), kMsgOk);
                return;
            }
            m_nTransferState = 1;
            return;
        }
        ++m_nNakCount;
        if (m_nNakCount >= kMaxRejects) {
            EndRun(kEndRejects, "Firmware update failed.\r\nData send = " + std::to_string(m_nBytesSent)
                       + ". Frames sent = " + std::to_string(m_nFramesSent),
                   kMsgOk);
            return;
        }
        m_nTransferState = 1;
        return;
    }
    if (Interrupted())
        return;
    EndRun(kEndSilence, "Firmware update failed " + std::to_string(m_nBytesSent) + " " + std::to_string(m_nFramesSent) + " "
               + std::to_string(m_nOffset) + ".\rZT9047Q is not responding.",
           kMsgOk);
}

bool CUpdateDlgDlg::ReadAnswerInSlices()
{
    // One blocking one-byte read would wait the multiplier and the constant.
    const uint32_t nLimitMs = 2 * kReplyTimeoutMs;
    const uint32_t nSliceMs = 2 * kAnswerSliceTimeoutMs;
    const uint32_t nStart = m_clock.GetTickCount();
    for (;;) {
        const uint32_t nSliceStart = m_clock.GetTickCount();
        if (m_pPort->Read(&m_byReply, 1))
            return true;
        if (m_clock.Cancelled())
            return false;
        const uint32_t nNow = m_clock.GetTickCount();
        if (TicksElapsed(nStart, nNow) >= nLimitMs)
            return false;
        // A read that failed at once is slept out, not spun on.
        const uint32_t nSpent = TicksElapsed(nSliceStart, nNow);
        if (nSpent < nSliceMs)
            m_clock.Sleep(nSliceMs - nSpent);
    }
}

bool CUpdateDlgDlg::OnClose()
{
    if (m_nTransferState == 1) {
        if (m_surface.ShowMessage(kCloseQuestion, kMsgStopQuestion) == kAnswerNo)
            return false;
        // Answered Yes while the state was still 1: the stream is cut short.
        if (m_nTransferState == 1)
            m_eLastEnd = kEndInterrupted;
    }
    ResetTransfer();
    // No tick may find a stream without its port once the window goes.
    m_nTransferState = 0;
    return true;
}
