// The console the program talks to: whether its streams are terminals, and
// a y/N answer read from standard input without holding up the caller.
#pragma once

#include "serial/Clock.h"

bool StdinIsTerminal();
bool StderrIsTerminal();

// Waits up to nTimeoutMs for a line on standard input and judges it:
// kAnswerYes for a line starting with y or Y, kAnswerNo for any other line
// or the end of input, 0 when no line came in time. The time is counted on
// clock, the one the run's ticks are paced by, so that a poll between two
// ticks ends when the next tick is due.
int PollAnswerLine(int nTimeoutMs, IClock& clock = SystemClock());

// Drops whatever was typed on the terminal before a question was put: a key
// pressed earlier must not answer it.
void DiscardTypedAhead();
