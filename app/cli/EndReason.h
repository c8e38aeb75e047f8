// Why a run ended, as a stable code that the summary, the records, the page
// and scripts can rely on, and one sentence that tells the operator what to
// do now. The window's own text stays in the end's text; these come beside it.
//
//   completed          the update completed (and, with --verify, was verified)
//   up-to-date         the unit already ran the packaged version: left alone
//   no-port            no instrument port was found
//   port-busy          another program holds the port (or a network port's server refused)
//   port-denied        the user may not open the port
//   port-missing       no such device, or none the tool can use as a serial port
//   no-answer          no or a short wake-up reply, or the unit stopped responding
//   unplugged          the port went away while the run had it open
//   declined           a downgrade that nobody answered Yes (--yes)
//   refused            the unit's bootloader cannot be upgraded by this program
//   bootloader-silent  no sign from the bootloader
//   refused-frame      a frame rejected 100 times in a row
//   silence            no answer to a frame
//   damaged-image      the firmware image this program carries is damaged
//   not-verified       completed, but the unit did not then report the packaged version
//   interrupted        stopped by the operator or the system before its end
#pragma once

#include "JsonSurface.h"
#include "Yield.h"
#include "serial/CommPort.h"

// What the run knows beside the logic's end.
struct SEndCause
{
    // Why the port did not open, for an end where it did not.
    SOpenError openError;
    // The device went away while the run had it open.
    bool bLineLost = false;
    // The port is a network one (a serial server's): its faults are the
    // server's and the network's.
    bool bNetwork = false;
    // The run never began (no thread could be started for it).
    bool bUnstarted = false;
};

// Fills end.strReason and end.strHint from the end's result, its
// verification and the cause.
void ExplainEnd(SRunEnd& end, const SEndCause& cause);

// Where the run stands in the yield (Yield.h).
EYield YieldOf(const SRunEnd& end);
