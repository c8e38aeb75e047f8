// zt9047q-flash's single-unit run on virtual time against the simulated
// unit: the JSON end event for each end a run can take, the stream going on
// under the terminal's close question, --verify and "up-to-date"; and the
// station's runs of several units at once.
#include "app/cli/EndReason.h"
#include "app/cli/FlashOne.h"
#include "app/cli/OutputRoom.h"
#include "app/cli/StopSignals.h"
#include "app/cli/UnitRun.h"
#include "app/cli/UnitVerify.h"
#include "app/cli/station/Station.h"
#include "serial/Console.h"
#include "support/Rig.h"
#include "support/TempFile.h"

#include "serial/ComNames.h"

#include <gtest/gtest.h>
#include <chrono>
#include <set>
#include <system_error>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

class CNoPorts : public IPortSource
{
public:
    void Enumerate(CSerInfoArray&) override {}
    bool CanOpen(const std::string&) override { return false; }
};

struct SCliRig
{
    explicit SCliRig(const SSimConfig& config = SSimConfig()) : model(config), driver(model, clock, "COM5")
    {
        options.bJson = true;
        options.pHuman = TempFile();
        options.pJson = TempFile();
    }
    ~SCliRig()
    {
        pRun.reset();
        std::fclose(options.pHuman);
        std::fclose(options.pJson);
    }

    CUnitRun& Make(int nCom = 5, IPortSource* pPorts = nullptr, IResourceSource* pResources = nullptr)
    {
        SUnitTarget target;
        target.nCom = nCom;
        target.strPort = nCom > 0 ? "COM5" : "";
        pRun.reset(new CUnitRun(target, options, clock, [this] { return clock.Now() >= nStopAt; }, pPorts,
                                &driver, pResources));
        return *pRun;
    }

    // As FlashOneUnit drives it, minus the signals.
    const SRunEnd& RunToEnd()
    {
        if ((pRun->Logic().LastEnd() == kEndNone) && pRun->Start())
            while (pRun->Step())
                clock.Advance(pRun->NextTickIn());
        return pRun->Finish();
    }

    std::vector<std::string> JsonLines()
    {
        std::fflush(options.pJson);
        std::rewind(options.pJson);
        std::vector<std::string> lines;
        char sz[4096];
        while (std::fgets(sz, sizeof sz, options.pJson))
            lines.push_back(sz);
        return lines;
    }

    CVirtualClock clock;
    CInstrumentModel model;
    CSimCommDriver driver;
    SUnitOptions options;
    uint64_t nStopAt = UINT64_MAX;
    std::unique_ptr<CUnitRun> pRun;
};

bool Has(const std::string& s, const std::string& strPart)
{
    return s.find(strPart) != std::string::npos;
}

// A Ctrl-C that reaches the program at a moment of virtual time, as the
// signal handler notes it; the loop between ticks sleeps on this clock.
class CCtrlCAt : public IClock
{
public:
    CCtrlCAt(CVirtualClock& clock, uint64_t nAtMs) : m_clock(clock), m_nAtMs(nAtMs) {}
    uint32_t GetTickCount() override { return m_clock.GetTickCount(); }
    void Sleep(uint32_t nMs) override
    {
        m_clock.Sleep(nMs);
        if (!m_bPressed && m_clock.Now() >= m_nAtMs) {
            m_bPressed = true;
            CStopSignals::NoteInterrupt();
        }
    }

private:
    CVirtualClock& m_clock;
    uint64_t m_nAtMs;
    bool m_bPressed = false;
};

} // namespace

TEST(CommandLine, JsonEndEventForEachEndOfARun)
{
    struct SCase
    {
        const char* pszResult;
        std::function<void(SCliRig&, SSimConfig&)> setUp;
        const char* pszVersion;
        const char* pszReason;
    };
    CTextResource damaged("0004ZZ");
    CNoPorts noPorts;
    const SCase kCases[] = {
        {"completed", [](SCliRig&, SSimConfig&) {}, "2.10", "completed"},
        {"open-failed", [](SCliRig& r, SSimConfig&) { r.driver.m_bHeld = true; }, "null", "port-busy"},
        {"no-response", [](SCliRig&, SSimConfig& c) { c.bShortReply = true; }, "null", "no-answer"},
        {"refused", [](SCliRig&, SSimConfig& c) { c.strVersion = "1.50"; }, "1.50", "refused"},
        {"declined", [](SCliRig&, SSimConfig& c) { c.strVersion = "2.35"; }, "2.35", "declined"},
        {"stopped-responding",
         [](SCliRig& r, SSimConfig& c) {
             c.strVersion = "2.35";
             c.bNoModelAfterFirstReply = true;
             r.options.terminal.bAssumeYes = true;
         },
         "2.35", "no-answer"},
        {"bootloader-silent", [](SCliRig&, SSimConfig& c) { c.bNoSign = true; }, "2.10", "bootloader-silent"},
        {"rejects", [](SCliRig&, SSimConfig& c) { c.nRejectFrame = 3; c.nRejectCount = 100; }, "2.10",
         "refused-frame"},
        {"silence", [](SCliRig&, SSimConfig& c) { c.nSilentFrame = 3; }, "2.10", "silence"},
        // The line going dead is told from a unit that only stopped answering.
        {"silence", [](SCliRig&, SSimConfig& c) { c.nHangupFrame = 3; }, "2.10", "unplugged"},
        {"interrupted", [](SCliRig& r, SSimConfig&) { r.nStopAt = 1500; }, "2.10", "interrupted"},
        {"damaged-image", [](SCliRig&, SSimConfig&) {}, "null", "damaged-image"},
        {"not-found", [](SCliRig&, SSimConfig&) {}, "null", "no-port"},
    };
    for (const SCase& k : kCases) {
        SCOPED_TRACE(std::string(k.pszResult) + " " + k.pszReason);
        SSimConfig config;
        SCliRig probe;
        k.setUp(probe, config);
        SCliRig rig(config);
        k.setUp(rig, config);
        std::string strResult = k.pszResult;
        if (strResult == "not-found")
            rig.Make(-1, &noPorts).FindPort();
        else
            rig.Make(5, nullptr, strResult == "damaged-image" ? &damaged : nullptr);
        const SRunEnd& end = rig.RunToEnd();

        std::vector<std::string> lines = rig.JsonLines();
        ASSERT_FALSE(lines.empty());
        bool bVersionEarly = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].compare(0, 10, "{\"event\":\""), 0) << lines[i];
            EXPECT_TRUE(Has(lines[i], "\"port\":\"")) << lines[i];
            EXPECT_EQ(Has(lines[i], "\"event\":\"end\""), i + 1 == lines.size()) << lines[i];
            // Status events carry the version once reported: last, and the
            // one the end reports; never before the unit has answered.
            const size_t nAt = lines[i].find(",\"unit_version\":");
            if (Has(lines[i], "\"event\":\"status\"") && nAt != std::string::npos) {
                bVersionEarly = true;
                EXPECT_EQ(lines[i].substr(nAt), ",\"unit_version\":" + std::string(k.pszVersion) + "}\n") << lines[i];
                EXPECT_FALSE(Has(lines[i], "Communicating")) << lines[i];
            }
        }
        if (strResult == "completed") {
            EXPECT_TRUE(bVersionEarly);
        }
        const std::string& strEnd = lines.back();
        EXPECT_TRUE(Has(strEnd, "\"result\":\"" + strResult + "\"")) << strEnd;
        EXPECT_TRUE(Has(strEnd, "\"unit_version\":" + std::string(k.pszVersion) + ",\"usb_path\":")) << strEnd;
        // The end's text is the last message box's (the terminal's own
        // words for an interruption), escaped: CR LF as \r\n.
        EXPECT_FALSE(end.strText.empty());
        EXPECT_TRUE(Has(strEnd, "\"text\":" + JsonString(end.strText) + ","));
        if (strResult == "rejects") {
            EXPECT_TRUE(Has(strEnd, "\"text\":\"Firmware update failed.\\r\\nData send = ")) << strEnd;
        }
        // The reason and the hint come last, after the identity; the
        // human end names the reason with its hint (not for a completion).
        EXPECT_EQ(end.strReason, k.pszReason);
        EXPECT_FALSE(end.strHint.empty());
        EXPECT_TRUE(Has(strEnd, ",\"slot\":null,\"reason\":\"" + end.strReason + "\",\"hint\":" + JsonString(end.strHint)
                        + "}\n"))
            << strEnd;
        std::fflush(rig.options.pHuman);
        std::rewind(rig.options.pHuman);
        std::string strHuman;
        char sz[4096];
        while (std::fgets(sz, sizeof sz, rig.options.pHuman))
            strHuman += sz;
        EXPECT_EQ(Has(strHuman, "Reason: " + end.strReason + ". " + end.strHint + "\n"), strResult != "completed")
            << strHuman;
    }
}

TEST(CommandLine, StopAtAnyPacedByteLeavesNoHalfCommandForTheNextRun)
{
    // When each paced byte goes out on a run that is not stopped.
    SSimConfig noSign;
    noSign.bNoSign = true;
    SCliRig ref(noSign);
    ref.Make();
    ref.RunToEnd();
    std::string strSent;
    for (const CInstrumentModel::SReceived& r : ref.model.Received())
        strSent += static_cast<char>(r.by);
    std::vector<size_t> paced;
    for (const char* pszLine : {"#\r\n", "BOOT 1\r\n"}) {
        size_t nAt = strSent.find(pszLine);
        ASSERT_NE(nAt, std::string::npos);
        for (size_t i = 0; i < std::strlen(pszLine); ++i)
            paced.push_back(nAt + i);
    }

    for (size_t nIndex : paced) {
        uint64_t nByteMs = ref.model.Received()[nIndex].nUs / 1000;
        SCOPED_TRACE("stopped in the pause before byte " + std::to_string(nIndex) + " at " + std::to_string(nByteMs));
        SCliRig rig;
        rig.nStopAt = nByteMs - 1;
        rig.Make();
        EXPECT_EQ(rig.RunToEnd().eResult, kEndInterrupted);
        // The unit's console holds whole lines only.
        EXPECT_EQ(rig.model.Received().back().by, '\n');
        EXPECT_LE(rig.clock.Now(), nByteMs + 8 * console::kPaceMs);
        // The operator runs the update again.
        rig.clock.Advance(2000);
        rig.nStopAt = UINT64_MAX;
        rig.Make();
        EXPECT_STREQ(RunResultName(rig.RunToEnd()), "completed");
    }
}

TEST(CommandLine, JsonTextsKeepUtf8AndNameOtherBytes)
{
    // A UTF-8 sequence is its code point; a byte that starts none (alone,
    // cut short, overlong, a surrogate) is its Latin-1 value.
    EXPECT_EQ(JsonString("/dev/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
              "\"/dev/caf\\u00e9 \\u20ac \\ud83d\\ude00\"");
    EXPECT_EQ(JsonString("caf\xe9"), "\"caf\\u00e9\"");
    EXPECT_EQ(JsonString("\xc3"), "\"\\u00c3\"");
    EXPECT_EQ(JsonString("\xc0\xaf\xed\xa0\x80"), "\"\\u00c0\\u00af\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(JsonString("a\"\\\r\n\t\x01\x7f"), "\"a\\\"\\\\\\r\\n\\t\\u0001\\u007f\"");
}

TEST(CommandLine, VerifiedAgreesWithTheVersionWritten)
{
    // Verified exactly when the version written is the packaged one.
    for (float f : {2.199f, 2.1999f, 2.2f, 2.20001f, 2.209f, 2.2099f, 2.21f, 2.3f}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(IsPackagedVersion(f), JsonVersion(true, f) == "2.20");
    }
    EXPECT_EQ(JsonVersion(true, 2.1f), "2.10"); // not the 2.0999999 it is held as
    EXPECT_EQ(JsonVersion(true, 2.209f), "2.20");
    EXPECT_EQ(JsonVersion(true, -1.509f), "-1.50");
}

TEST(CommandLine, StreamGoesOnUnderTheCloseQuestion)
{
    for (int nCtrlC : {1, 2}) {
        SCOPED_TRACE(nCtrlC);
        SCliRig rig;
        CUnitRun& run = rig.Make();
        ASSERT_TRUE(run.Start());
        while (run.Step() && rig.model.FramesAccepted() < 20)
            rig.clock.Advance(run.NextTickIn());
        run.RequestClose();
        EXPECT_TRUE(run.QuestionOpen());
        uint64_t nAsked = rig.clock.Now();
        int nFramesAsked = rig.model.FramesAccepted();
        // Ticks go on while it is open, as under the window's question.
        while (run.Step() && rig.clock.Now() < nAsked + 300)
            rig.clock.Advance(run.NextTickIn());
        EXPECT_GE(rig.model.FramesAccepted(), nFramesAsked + 25);
        if (nCtrlC == 2)
            run.RequestClose(); // a second Ctrl-C is a Yes
        while (run.Step())
            rig.clock.Advance(run.NextTickIn());
        const SRunEnd& end = run.Finish();

        std::string strJson;
        for (const std::string& s : rig.JsonLines())
            strJson += s;
        size_t nQuestion = strJson.find("Are you sure you want to exit?");
        ASSERT_NE(nQuestion, std::string::npos);
        if (nCtrlC == 1) {
            // The run ended first: the question is withdrawn, then the end shown.
            EXPECT_EQ(end.eResult, kEndCompleted);
            EXPECT_LT(strJson.find("\"answer\":\"no\"", nQuestion), strJson.find("firmware updated"));
        } else {
            EXPECT_EQ(end.eResult, kEndInterrupted);
            EXPECT_TRUE(Has(strJson.substr(nQuestion), "\"answer\":\"yes\""));
            EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
        }
    }
}

TEST(CommandLine, VerifyReadsTheVersionAfterTheUpdate)
{
    for (bool bSilentAfter : {false, true}) {
        SCOPED_TRACE(bSilentAfter);
        SSimConfig config;
        config.nImageBytes = static_cast<uint32_t>(PackagedImage().size()); // then it restarts
        config.bSilentAfterUpdate = bSilentAfter;
        SCliRig rig(config);
        rig.options.bVerify = true;
        CUnitRun& run = rig.Make();
        ASSERT_TRUE(run.Start());
        while (run.Step())
            rig.clock.Advance(run.NextTickIn());
        uint64_t nCompleted = rig.clock.Now();
        EXPECT_EQ(run.Verify(), !bSilentAfter);
        const SRunEnd& end = run.Finish();
        EXPECT_EQ(end.eResult, kEndCompleted);
        std::string strEnd = rig.JsonLines().back();
        if (bSilentAfter) {
            // Woken again and again until the 30 s are up.
            EXPECT_GE(rig.clock.Now() - nCompleted, 30000u);
            EXPECT_TRUE(Has(strEnd, "\"verified\":false,\"version_after\":null,")) << strEnd;
        } else {
            EXPECT_TRUE(Has(strEnd, "\"verified\":true,\"version_after\":2.20,")) << strEnd;
        }
        EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    }
}

TEST(CommandLine, VerifiesAfterACloseQuestionThatWasNotGranted)
{
    // Ctrl-C while frames stream, nobody to answer: the question stays open
    // until the run ends and withdraws it. The stop was never granted, so
    // the verification asked for runs.
    SSimConfig config;
    config.nImageBytes = static_cast<uint32_t>(PackagedImage().size());
    SCliRig rig(config);
    rig.options.bVerify = true;
    SUnitTarget target;
    target.nCom = 5;
    target.strPort = "COM5";
    rig.pRun.reset(new CUnitRun(target, rig.options, rig.clock, [] { return CStopSignals::AnyRequested(); }, nullptr,
                                &rig.driver));
    CCtrlCAt ctrlC(rig.clock, 5000); // about 80 frames into the stream
    EXPECT_EQ(FlashOneUnit(*rig.pRun, false, false, ctrlC), 0);

    std::string strJson;
    for (const std::string& s : rig.JsonLines())
        strJson += s;
    EXPECT_TRUE(Has(strJson, "Are you sure you want to exit?\",\"answer\":\"no\"")) << strJson;
    EXPECT_TRUE(Has(rig.JsonLines().back(), "\"verified\":true,\"version_after\":2.20,")) << rig.JsonLines().back();
    EXPECT_FALSE(CStopSignals::AnyRequested());
}

TEST(CommandLine, ALateTickPutsOffNoLaterTick)
{
    // The window's timer keeps its own schedule: a tick that came late (a
    // busy machine) is followed by the next where it was due, so the stream
    // ends when it would have. One that came a whole period late begins the
    // schedule anew: the missed ticks are not made up in a burst.
    auto streamEnd = [](uint32_t nLateMs) {
        SSimConfig config;
        config.nImageBytes = static_cast<uint32_t>(PackagedImage().size());
        SCliRig rig(config);
        CUnitRun& run = rig.Make();
        EXPECT_TRUE(run.Start());
        for (int nTick = 0; run.Step(); ++nTick)
            rig.clock.Advance(run.NextTickIn() + (nTick == 50 ? nLateMs : 0));
        EXPECT_EQ(run.Finish().eResult, kEndCompleted);
        return rig.clock.Now();
    };
    const uint64_t nOnTime = streamEnd(0);
    EXPECT_EQ(streamEnd(6), nOnTime);
    EXPECT_EQ(streamEnd(25), nOnTime + 25);
}

TEST(CommandLine, UnitAtThePackagedVersionIsLeftAloneWhenAsked)
{
    SSimConfig config;
    config.strVersion = "2.20";
    SCliRig rig(config);
    rig.options.bLeaveUpToDate = true;
    rig.Make();
    const SRunEnd& end = rig.RunToEnd();
    EXPECT_TRUE(end.bUpToDate);
    EXPECT_TRUE(Has(rig.JsonLines().back(), "\"result\":\"up-to-date\"")) << rig.JsonLines().back();
    // Woken and asked nothing more: no bootloader request.
    EXPECT_EQ(rig.model.ConsoleText(), "\r\n");
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
}

// The station: every unit on its own thread, its own simulated instrument
// and its own virtual clock.
TEST(Station, OneUnitFailingLeavesTheOthersToComplete)
{
    struct SUnit
    {
        SUnit(const SSimConfig& config, int nCom) : model(config), driver(model, clock, "COM" + std::to_string(nCom)) {}
        CVirtualClock clock;
        CInstrumentModel model;
        CSimCommDriver driver;
    };
    SSimConfig good, silent;
    good.nImageBytes = static_cast<uint32_t>(PackagedImage().size());
    silent.nSilentFrame = 3;
    std::unique_ptr<SUnit> units[] = {std::unique_ptr<SUnit>(new SUnit(good, 33)),
                                      std::unique_ptr<SUnit>(new SUnit(silent, 34)),
                                      std::unique_ptr<SUnit>(new SUnit(good, 35)),
                                      std::unique_ptr<SUnit>(new SUnit(good, 36))};
    SStationOptions options;
    options.unit.bJson = true;
    options.unit.pHuman = TempFile();
    options.unit.pJson = TempFile();
    CStationOutput output(options.unit.pHuman, options.unit.pJson);
    CStation station(options, output, nullptr, [&](const SUnitTarget& target) {
        SUnit& unit = *units[target.nCom - 33];
        SUnitPlant plant;
        plant.pClock = &unit.clock;
        plant.pDriver = &unit.driver;
        if (target.nCom == 36) {
            // As at the process's limit of threads.
            plant.startThread = [](std::function<void()>) -> std::thread {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            };
        }
        return plant;
    });
    EXPECT_EQ(station.RunAll({CStation::ComTarget(33), CStation::ComTarget(34), CStation::ComTarget(35),
                              CStation::ComTarget(36)}),
              1);
    output.Flush();

    ASSERT_EQ(station.Records().size(), 4u);
    const char* kResults[] = {"completed", "silence", "completed", "open-failed"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(station.Records()[i].strPort, "COM" + std::to_string(33 + i));
        EXPECT_STREQ(RunResultName(station.Records()[i].end), kResults[i]);
        EXPECT_EQ(units[i]->model.UpdatesCompleted(), i % 2 ? 0 : 1);
    }
    // The unit whose thread did not start was sent nothing.
    EXPECT_TRUE(units[3]->model.Received().empty());
    EXPECT_TRUE(Has(station.Records()[3].end.strText, "COM36 was not updated: no thread could be started"));
    // Not a port that failed to open: nothing was tried on it.
    EXPECT_EQ(station.Records()[3].end.strReason, "interrupted");
    // Lines of different units never mix: each JSON line is whole, each
    // human line of a run starts with its port.
    auto lines = [](FILE* f) {
        std::rewind(f);
        std::vector<std::string> v;
        char sz[4096];
        while (std::fgets(sz, sizeof sz, f))
            v.push_back(sz);
        std::fclose(f);
        return v;
    };
    int nEnds[4] = {0, 0, 0, 0};
    for (const std::string& s : lines(options.unit.pJson)) {
        EXPECT_TRUE(s.compare(0, 10, "{\"event\":\"") == 0 && s.compare(s.size() - 2, 2, "}\n") == 0) << s;
        for (int i = 0; i < 4; ++i)
            nEnds[i] += Has(s, "\"end\",\"port\":\"COM" + std::to_string(33 + i) + "\"") ? 1 : 0;
    }
    EXPECT_EQ(nEnds[0] * 1000 + nEnds[1] * 100 + nEnds[2] * 10 + nEnds[3], 1111);
    for (const std::string& s : lines(options.unit.pHuman)) {
        if (Has(s, "Progress:") || Has(s, "Result:")) {
            EXPECT_TRUE(s.compare(0, 4, "COM3") == 0) << s;
        }
    }
}

TEST(Station, SummaryCountsOneYieldAndSaysWhatToDoNext)
{
    // One end of each kind the yield tells apart, as the runs explain them.
    auto record = [](const char* pszSlot, const char* pszPort, ERunEnd eEnd, bool bVerified, bool bUpToDate,
                     bool bLost) {
        SStationRecord r;
        r.strSlot = pszSlot;
        r.strPort = pszPort;
        r.end.eResult = eEnd;
        r.end.bVerifyAsked = true;
        r.end.bVerified = bVerified;
        r.end.bUpToDate = bUpToDate;
        SEndCause cause;
        cause.bLineLost = bLost;
        ExplainEnd(r.end, cause);
        return r;
    };
    std::vector<SStationRecord> records = {
        record("A1", "COM33", kEndCompleted, true, false, false),
        record("A2", "COM34", kEndCompleted, false, false, false),
        record("A3", "COM35", kEndSilence, false, false, true),
        record("", "/dev/pts/5", kEndDeclined, false, false, false),
        record("B1", "COM37", kEndInterrupted, true, true, false),
        record("B2", "COM38", kEndSilence, false, false, false),
    };
    const std::string s = SummaryTable(records, true);
    // Not verified is not completed, declined and up to date are neither.
    EXPECT_TRUE(Has(s, "\n6 runs: 1 completed, 1 not verified, 2 failed; 1 up to date, 1 declined.\n")) << s;
    EXPECT_TRUE(Has(s, "  A2    COM34       -        completed               0.0  - not verified     not-verified\n")) << s;
    // Each unit left with something to do gets its hint, named by slot and port.
    EXPECT_TRUE(Has(s, "What now:\n  A2 (COM34): " + records[1].end.strHint + "\n  A3 (COM35): ")) << s;
    EXPECT_TRUE(Has(s, "  /dev/pts/5: " + records[3].end.strHint + "\n")) << s;
    EXPECT_FALSE(Has(s, "A1 (COM33):")) << s;
    EXPECT_FALSE(Has(s, "B1 (COM37):")) << s;
    EXPECT_EQ(records[2].end.strReason, "unplugged");
    EXPECT_EQ(records[5].end.strReason, "silence");
    // A batch with a unit not verified exits 1, as one with a failed unit.
    EXPECT_TRUE(RecordSucceeded(records[0], false));
    EXPECT_FALSE(RecordSucceeded(records[1], false));
}

TEST(Station, AllFindingNothingEndsAsOneRunDoes)
{
    CNoPorts noPorts;
    SCliRig single;
    single.Make(-1, &noPorts).FindPort();
    single.RunToEnd();

    SStationOptions options;
    options.unit.bJson = true;
    FILE* pHuman = TempFile();
    FILE* pJson = TempFile();
    {
        CStationOutput output(pHuman, pJson);
        CStation station(options, output, &noPorts);
        std::vector<SUnitTarget> targets;
        station.AddInstrumentPorts(targets);
        EXPECT_EQ(station.RunAll(targets), 1);
        output.Flush();
    }
    std::rewind(pJson);
    std::vector<std::string> lines;
    char sz[4096];
    while (std::fgets(sz, sizeof sz, pJson))
        lines.push_back(sz);
    EXPECT_EQ(lines, single.JsonLines());
    std::fclose(pHuman);
    std::fclose(pJson);
}

#ifndef _WIN32
TEST(Station, LaggingReaderMergesProgressOnly)
{
    // A reader that takes nothing: the pipe is full before the room writes.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    int nCapacity = fcntl(fds[1], F_GETPIPE_SZ);
    std::string strFill(static_cast<size_t>(nCapacity), '.');
    ASSERT_EQ(write(fds[1], strFill.data(), strFill.size()), nCapacity);
    FILE* pJson = fdopen(fds[1], "w");
    FILE* pHuman = TempFile();
    std::vector<std::string> posted;
    {
        COutputRoom room(pHuman, pJson, 4);
        auto post = [&](const std::string& strLine) {
            posted.push_back(strLine);
            room.JsonLine(strLine);
        };
        post("{\"event\":\"status\",\"port\":\"COM1\",\"text\":\"Downloading new firmware...\"}\n");
        for (int n = 0; n <= 100; ++n) {
            for (const char* pszPort : {"COM1", "COM2"})
                post("{\"event\":\"progress\",\"port\":\"" + std::string(pszPort) + "\",\"percent\":"
                     + std::to_string(n) + "}\n");
            if (n == 50)
                post("{\"event\":\"message\",\"port\":\"COM2\",\"type\":0}\n");
        }
        post("{\"event\":\"end\",\"port\":\"COM1\"}\n");
        post("{\"event\":\"end\",\"port\":\"COM2\"}\n");
        // Now the reader reads.
        std::string strRead;
        std::thread reader([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fds[0], buf, sizeof buf)) > 0)
                strRead.append(buf, static_cast<size_t>(n));
        });
        room.Flush();
        std::fclose(pJson);
        reader.join();
        ASSERT_EQ(strRead.compare(0, strFill.size(), strFill), 0);
        std::vector<std::string> got;
        for (size_t p = strFill.size(), q; p < strRead.size(); p = q + 1) {
            q = strRead.find('\n', p);
            got.push_back(strRead.substr(p, q - p + 1));
        }
        // In order, a subsequence of what was posted, with every event but
        // progress kept and each port's last progress kept; some merged.
        size_t i = 0;
        for (const std::string& s : got) {
            while (i < posted.size() && posted[i] != s) {
                EXPECT_NE(posted[i].find("progress"), std::string::npos) << "lost: " << posted[i];
                ++i;
            }
            ASSERT_LT(i, posted.size()) << "out of order: " << s;
            ++i;
        }
        EXPECT_LT(got.size(), posted.size());
        EXPECT_NE(strRead.find("\"COM1\",\"percent\":100}"), std::string::npos);
        EXPECT_NE(strRead.find("\"COM2\",\"percent\":100}"), std::string::npos);
    }
    close(fds[0]);
    std::fclose(pHuman);
}
#endif

TEST(Station, OutputOnAFullDiskEndsTheWait)
{
    // A human stream that fails (ENOSPC) must end the tool, not keep it
    // waiting for lines that will never be written.
    FILE* pHuman = std::fopen("/dev/full", "w");
    ASSERT_NE(pHuman, nullptr);
    COutputRoom room(pHuman, nullptr);
    room.Say("Summary:");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(room.Close(2000, [] { return false; }, [] { return false; }));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    std::fclose(pHuman);
}

TEST(Station, PortIsUpdatedOncePerAppearance)
{
    CPortWatch watch;
    std::set<int> running;
    auto listed = [&](std::vector<int> present) {
        return watch.Listed(present, [&](int n) { return running.count(n) != 0; });
    };
    EXPECT_EQ(listed({33, 34}), (std::vector<int>{33, 34}));
    running = {33, 34};
    EXPECT_TRUE(listed({33, 34}).empty());
    running = {34};
    EXPECT_TRUE(listed({33, 34}).empty()); // still attached after its run
    // COM33 comes back: a new unit, a new run.
    EXPECT_TRUE(listed({34}).empty());
    EXPECT_EQ(listed({33, 34}), (std::vector<int>{33}));
    // COM34 goes and comes back while its old run still ends: the new run
    // waits for the old one.
    running = {33, 34};
    listed({33});
    EXPECT_TRUE(listed({33, 34}).empty());
    running = {33};
    EXPECT_EQ(listed({33, 34}), (std::vector<int>{34}));
}

// A port that appeared under --watch may not open yet (no node, or not yet
// the group and mode udev gives it): it is tried again, with growing pauses,
// for a bounded time; a port held by another program is not waited for.
TEST(Station, PortThatAppearedIsWaitedForWhileItCannotOpenYet)
{
    struct CNothing : ICommHandle
    {
        bool SetQueues(uint32_t, uint32_t) override { return true; }
        bool SetLine(uint32_t) override { return true; }
        bool SetReadTimeouts(uint32_t, uint32_t, uint32_t) override { return true; }
        bool ReadBytes(void*, uint32_t, uint32_t* pn) override { return *pn = 0, true; }
        bool WriteBytes(const void*, uint32_t n, uint32_t* pn) override { return *pn = n, true; }
    };
    // Fails for the reasons given, each until its moment, then opens.
    struct CLate : ICommDriver
    {
        explicit CLate(CVirtualClock& c) : clock(c) {}
        ICommHandle* OpenDevice(const char*) override { return nullptr; }
        ICommHandle* OpenDeviceReporting(const char*, SOpenError* pError) override
        {
            ++nTries;
            *pError = SOpenError();
            for (const auto& step : steps) {
                if (clock.Now() < step.first) {
                    pError->eReason = step.second;
                    return nullptr;
                }
            }
            return new CNothing;
        }
        CVirtualClock& clock;
        std::vector<std::pair<uint64_t, EOpenFailure>> steps;
        int nTries = 0;
    };
    auto never = [] { return false; };

    CVirtualClock clock;
    CLate late(clock);
    late.steps = {{300, kOpenNoDevice}, {600, kOpenDenied}};
    EXPECT_EQ(AwaitOpenable(late, "COM33", clock, 5000, never).eReason, kOpenNoFailure);
    EXPECT_GE(clock.Now(), 600u);
    EXPECT_LE(clock.Now(), 1100u);
    EXPECT_LE(late.nTries, 8);

    CVirtualClock clock2;
    CLate held(clock2);
    held.steps = {{UINT64_MAX, kOpenBusy}};
    EXPECT_EQ(AwaitOpenable(held, "COM33", clock2, 5000, never).eReason, kOpenBusy);
    EXPECT_EQ(held.nTries, 1);
    EXPECT_EQ(clock2.Now(), 0u);

    CVirtualClock clock3;
    CLate absent(clock3);
    absent.steps = {{UINT64_MAX, kOpenNoDevice}};
    EXPECT_EQ(AwaitOpenable(absent, "COM33", clock3, 5000, never).eReason, kOpenNoDevice);
    EXPECT_EQ(clock3.Now(), 5000u);

    CVirtualClock clock4;
    CLate denied(clock4);
    denied.steps = {{UINT64_MAX, kOpenDenied}};
    EXPECT_EQ(AwaitOpenable(denied, "COM33", clock4, 5000, [&] { return clock4.Now() >= 1000; }).eReason,
              kOpenDenied);
    EXPECT_LE(clock4.Now(), 1020u);
}

#ifndef _WIN32
// --all next to --port: a port the listing finds is not added again when a
// --port already names its device by another path (a by-path link, say).
TEST(Station, ListedPortAlreadyGivenByAnotherNameIsNotAddedAgain)
{
    int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(fdMaster, 0);
    ASSERT_EQ(grantpt(fdMaster), 0);
    ASSERT_EQ(unlockpt(fdMaster), 0);
    std::string strSlave = ptsname(fdMaster);
    int nCom = DevicePathToComNumber(strSlave);
    if (nCom < 0) {
        close(fdMaster);
        GTEST_SKIP() << strSlave << " lies outside the COM names";
    }
    char szDir[] = "/tmp/zt-by-path-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string strLink = std::string(szDir) + "/pci-0000:00:14.0-usb-0:2:1.0-port0";
    ASSERT_EQ(symlink(strSlave.c_str(), strLink.c_str()), 0);

    struct CListed : IPortSource
    {
        std::vector<int> coms;
        void Enumerate(CSerInfoArray& list) override
        {
            for (int n : coms) {
                SSerInfo info;
                info.strComName = "COM" + std::to_string(n);
                info.strDisplayName = "ZT9047Q USB UART (" + info.strComName + ")";
                list.Add(info);
            }
        }
        bool CanOpen(const std::string&) override { return true; }
    } listed;
    listed.coms = {nCom, 33};
    SStationOptions options;
    FILE* pOut = TempFile();
    std::vector<SUnitTarget> targets(1);
    targets[0].strPort = targets[0].strFixedPath = strLink;
    targets[0].nCom = 1;
    {
        CStationOutput output(pOut, pOut);
        CStation station(options, output, &listed);
        station.AddInstrumentPorts(targets);
    }
    std::fclose(pOut);
    unlink(strLink.c_str());
    rmdir(szDir);
    close(fdMaster);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].strPort, strLink);
    EXPECT_EQ(targets[1].strPort, "COM33");
}
#endif
