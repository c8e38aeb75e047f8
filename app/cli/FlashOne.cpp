#include "FlashOne.h"

#include "StopSignals.h"
#include "TerminalInput.h"

int FlashOneUnit(CUnitRun& run, bool bFindPort, bool bInIsTerminal, IClock& clock)
{
    if (bFindPort && !run.FindPort())
        return run.Finish().eResult == kEndCompleted ? 0 : 1;
    // A stop request during the handshake ends it there; one that comes
    // once frames stream is taken below. Inside a tick, while it waits for a
    // frame's answer (up to 8 s), a terminate or hang-up stops the stream at
    // once, and so does the Ctrl-C that will answer the close question Yes
    // (the second press, or the first while the question is open): the
    // presses are taken only after the tick, so they are counted here.
    bool bYesInTick = false;
    run.StopNowWhen([&run, &bYesInTick] {
        if (CStopSignals::TerminateRequested())
            return true;
        if (CStopSignals::PendingInterrupts() >= (run.QuestionOpen() ? 1 : 2))
            bYesInTick = true;
        return bYesInTick;
    });
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
    // The run outlives this function: its check must not keep our locals.
    run.StopNowWhen([] { return CStopSignals::TerminateRequested(); });
    if (bYesInTick && !run.Running()) {
        CStopSignals::TakeInterrupts();
        run.StoppedOnYes();
    }
    if (run.Options().bVerify && run.Logic().LastEnd() == kEndCompleted)
        run.Verify();
    const SRunEnd& end = run.Finish();
    return end.eResult == kEndCompleted && (!end.bVerifyAsked || end.bVerified) ? 0 : 1;
}
