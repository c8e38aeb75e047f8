// zt9047q-flash's single-unit run on virtual time against the simulated
// unit: the JSON end event for each end a run can take, and the stream going
// on under the terminal's close question.
#include "app/cli/UnitRun.h"
#include "support/Rig.h"

#include <gtest/gtest.h>

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
        options.pHuman = std::tmpfile();
        options.pJson = std::tmpfile();
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

} // namespace

TEST(CommandLine, JsonEndEventForEachEndOfARun)
{
    struct SCase
    {
        const char* pszResult;
        std::function<void(SCliRig&, SSimConfig&)> setUp;
        const char* pszVersion;
    };
    CTextResource damaged("0004ZZ");
    CNoPorts noPorts;
    const SCase kCases[] = {
        {"completed", [](SCliRig&, SSimConfig&) {}, "2.10"},
        {"open-failed", [](SCliRig& r, SSimConfig&) { r.driver.m_bHeld = true; }, "null"},
        {"no-response", [](SCliRig&, SSimConfig& c) { c.bShortReply = true; }, "null"},
        {"refused", [](SCliRig&, SSimConfig& c) { c.strVersion = "1.50"; }, "1.50"},
        {"declined", [](SCliRig&, SSimConfig& c) { c.strVersion = "2.35"; }, "2.35"},
        {"stopped-responding",
         [](SCliRig& r, SSimConfig& c) {
             c.strVersion = "2.35";
             c.bNoModelAfterFirstReply = true;
             r.options.terminal.bAssumeYes = true;
         },
         "2.35"},
        {"bootloader-silent", [](SCliRig&, SSimConfig& c) { c.bNoSign = true; }, "2.10"},
        {"rejects", [](SCliRig&, SSimConfig& c) { c.nRejectFrame = 3; c.nRejectCount = 100; }, "2.10"},
        {"silence", [](SCliRig&, SSimConfig& c) { c.nSilentFrame = 3; }, "2.10"},
        {"interrupted", [](SCliRig& r, SSimConfig&) { r.nStopAt = 1500; }, "2.10"},
        {"damaged-image", [](SCliRig&, SSimConfig&) {}, "null"},
        {"not-found", [](SCliRig&, SSimConfig&) {}, "null"},
    };
    for (const SCase& k : kCases) {
        SCOPED_TRACE(k.pszResult);
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
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].compare(0, 10, "{\"event\":\""), 0) << lines[i];
            EXPECT_TRUE(Has(lines[i], "\"port\":\"")) << lines[i];
            EXPECT_EQ(Has(lines[i], "\"event\":\"end\""), i + 1 == lines.size()) << lines[i];
        }
        const std::string& strEnd = lines.back();
        EXPECT_TRUE(Has(strEnd, "\"result\":\"" + strResult + "\"")) << strEnd;
        EXPECT_TRUE(Has(strEnd, "\"unit_version\":" + std::string(k.pszVersion) + "}")) << strEnd;
        // The end's text is the last message box's (the terminal's own
        // words for an interruption), escaped: CR LF as \r\n.
        EXPECT_FALSE(end.strText.empty());
        EXPECT_TRUE(Has(strEnd, "\"text\":" + JsonString(end.strText) + ","));
        if (strResult == "rejects") {
            EXPECT_TRUE(Has(strEnd, "\"text\":\"Firmware update failed.\\r\\nData send = ")) << strEnd;
        }
    }
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
