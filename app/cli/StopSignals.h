// Requests to stop that reach the program from outside: Ctrl-C (the user
// may still change their mind while frames stream) and the system's
// terminate and hang-up (stop now). The handlers only count; the update loop
// looks at the counts between its steps and through the run's clock.
#pragma once

class CStopSignals
{
public:
    // Installs the handlers (once per process). Reads and writes resume
    // after a signal; the waits that look at the counts (the terminal's
    // poll, sleeps) end at it.
    static void Install();
    // Ctrl-C presses not yet taken.
    static int TakeInterrupts();
    // The presses not yet taken, left for whoever takes them.
    static int PendingInterrupts();
    // Every request so far (Ctrl-C, terminate, hang-up), never taken: a wait
    // that must end at a further request keeps the count it began with and
    // sees a later one however many other checks have looked at it or taken
    // it meanwhile.
    static unsigned RequestsSoFar();
    // A terminate or hang-up has come.
    static bool TerminateRequested();
    // A terminate or hang-up, or a Ctrl-C not yet taken: the handshake and
    // the verification stop on it. A Ctrl-C taken as a close question
    // (answered No, or withdrawn) no longer counts.
    static bool AnyRequested();
    // Any stop request at all since the start, taken or not: what is left
    // to do after the runs (the records' forwarding) is then cut short.
    static bool EverRequested();

    // For the platform's handlers: lock-free, so safe in a signal handler.
    static void NoteInterrupt();
    static void NoteTerminate();
};
