#include "FlashOne.h"

#include "StopSignals.h"
#include "TerminalInput.h"

int FlashOneUnit(CUnitRun& run, bool bFindPort, bool bInIsTerminal, IClock& clock)
{
    if (bFindPort && !run.FindPort())
        return run.Finish().eResult == kEndCompleted ? 0 : 1;
    // A stop request during the handshake ends it there; one that comes
    // once frames stream is taken below, and a terminate or hang-up also
    // inside a tick, while it waits for a frame's answer.
    run.StopNowWhen([] { return CStopSignals::TerminateRequested(); });
    run.Start();
    while (run.Running()) {
        if (CStopSignals::TerminateRequested()) {
            run.StopNow();
            break;
        }
        for (int n = CStopSignals::TakeInterrupts(); n > 0; --n)
            run.RequestClose();
        if (run.QuestionOpen() && bInIsTerminal) {
            if (int nAnswer = PollAnswerLine(0, clock))
                run.Answer(nAnswer);
        }
        if (!run.Step())
            break;
        uint32_t nWait = run.NextTickIn();
        if (nWait == 0)
            continue;
        // Between ticks: wake early for an answer on the terminal.
        if (run.QuestionOpen() && bInIsTerminal) {
            if (int nAnswer = PollAnswerLine(static_cast<int>(nWait), clock))
                run.Answer(nAnswer);
        } else {
            clock.Sleep(nWait);
        }
    }
    if (run.Options().bVerify && run.Logic().LastEnd() == kEndCompleted)
        run.Verify();
    const SRunEnd& end = run.Finish();
    return end.eResult == kEndCompleted && (!end.bVerifyAsked || end.bVerified) ? 0 : 1;
}
