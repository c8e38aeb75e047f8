// zt9047q-flash.exe and its console: the QuickEdit mode, keys typed before a
// question, and the question's polling between ticks. Runs with a real Wine
// console as its standard input (in_console.sh gives it one).
#include <gtest/gtest.h>

#include "app/cli/ProcessSetup.h"
#include "app/cli/TerminalInput.h"
#include "serial/Clock.h"
#include "update/WindowSurface.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

const char kChildSwitch[] = "--prepare-and-report";

HANDLE ConsoleIn()
{
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

DWORD ModeOf(HANDLE h)
{
    DWORD nMode = 0;
    GetConsoleMode(h, &nMode);
    return nMode;
}

void SetQuickEdit(HANDLE h, bool bOn)
{
    DWORD nMode = ModeOf(h) | ENABLE_EXTENDED_FLAGS;
    ASSERT_TRUE(SetConsoleMode(h, bOn ? nMode | ENABLE_QUICK_EDIT_MODE : nMode & ~ENABLE_QUICK_EDIT_MODE));
}

void Type(HANDLE h, const std::string& strKeys)
{
    for (char c : strKeys) {
        INPUT_RECORD r = {};
        r.EventType = KEY_EVENT;
        r.Event.KeyEvent.bKeyDown = TRUE;
        r.Event.KeyEvent.wRepeatCount = 1;
        r.Event.KeyEvent.uChar.AsciiChar = c;
        DWORD nWritten = 0;
        ASSERT_TRUE(WriteConsoleInputA(h, &r, 1, &nWritten));
    }
}

class ConsoleInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hIn = ConsoleIn();
        ASSERT_NE(m_hIn, INVALID_HANDLE_VALUE) << "no console: run this under in_console.sh";
        ASSERT_TRUE(StdinIsTerminal()) << "standard input is not the console: run this under in_console.sh";
        m_nMode = ModeOf(m_hIn);
        FlushConsoleInputBuffer(m_hIn);
    }
    void TearDown() override
    {
        if (m_hIn != INVALID_HANDLE_VALUE) {
            SetConsoleMode(m_hIn, m_nMode | ENABLE_EXTENDED_FLAGS);
            CloseHandle(m_hIn);
        }
    }

    HANDLE m_hIn = INVALID_HANDLE_VALUE;
    DWORD m_nMode = 0;
};

// A clock that has always moved on by a whole second when looked at again.
class CJumpingClock : public IClock
{
public:
    uint32_t GetTickCount() override { return m_nNow += 1000; }
    void Sleep(uint32_t) override {}

private:
    uint32_t m_nNow = 0;
};

double RealMs(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
}

} // namespace

TEST_F(ConsoleInput, QuickEditIsOffForTheRunAndComesBackAtExit)
{
    SetQuickEdit(m_hIn, true);
    const DWORD nBefore = ModeOf(m_hIn);
    ASSERT_TRUE(nBefore & ENABLE_QUICK_EDIT_MODE);

    // The program itself, through its own set-up, in a process sharing this
    // console: it reports the mode it ran with, then ends as main returns.
    char szExe[MAX_PATH];
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string strCommand = std::string("\"") + szExe + "\" " + kChildSwitch;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    DWORD nModeInRun = 0;
    GetExitCodeProcess(pi.hProcess, &nModeInRun);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_FALSE(nModeInRun & ENABLE_QUICK_EDIT_MODE) << std::hex << nModeInRun;
    // Everything else as it was: line input, echo, processed input.
    EXPECT_EQ(nModeInRun & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS),
              nBefore & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS));
    EXPECT_TRUE(ModeOf(m_hIn) & ENABLE_QUICK_EDIT_MODE) << "not given back at exit";

    // An operator who has QuickEdit off keeps it off.
    SetQuickEdit(m_hIn, false);
    EXPECT_FALSE(HoldQuickEditOff());
    RestoreConsoleMode();
    EXPECT_FALSE(ModeOf(m_hIn) & ENABLE_QUICK_EDIT_MODE);
}

TEST_F(ConsoleInput, KeysTypedBeforeTheQuestionDoNotAnswerIt)
{
    // A whole line typed ahead.
    Type(m_hIn, "y\r");
    DiscardTypedAhead();
    EXPECT_EQ(PollAnswerLine(30), 0);
    Type(m_hIn, "y\r");
    EXPECT_EQ(PollAnswerLine(1000), kAnswerYes);

    // A line begun for an earlier question and left unfinished.
    Type(m_hIn, "y");
    EXPECT_EQ(PollAnswerLine(30), 0);
    DiscardTypedAhead();
    Type(m_hIn, "\r");
    EXPECT_EQ(PollAnswerLine(1000), kAnswerNo);
}

TEST_F(ConsoleInput, TheWaitForAnAnswerIsCountedOnTheGivenClock)
{
    // On the console: a second of the clock has passed at the first look,
    // so a poll of half a second ends at once.
    CJumpingClock jumping;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    EXPECT_EQ(PollAnswerLine(500, jumping), 0);
    EXPECT_LT(RealMs(start), 250.0);

    // On a pipe, where the poll pauses between looks: the pauses are the
    // clock's too.
    HANDLE hRead = nullptr, hWrite = nullptr;
    ASSERT_TRUE(CreatePipe(&hRead, &hWrite, nullptr, 0));
    HANDLE hStdin = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, hRead);
    CVirtualClock virtualClock;
    QueryPerformanceCounter(&start);
    int nAnswer = PollAnswerLine(2000, virtualClock);
    double dReal = RealMs(start);
    SetStdHandle(STD_INPUT_HANDLE, hStdin);
    CloseHandle(hRead);
    CloseHandle(hWrite);
    EXPECT_EQ(nAnswer, 0);
    EXPECT_GE(virtualClock.Now(), 2000u);
    EXPECT_LT(dReal, 1000.0);
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], kChildSwitch) == 0) {
        PrepareProcess(false);
        HANDLE h = ConsoleIn();
        return static_cast<int>(ModeOf(h));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
