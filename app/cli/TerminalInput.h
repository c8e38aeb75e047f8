// The console the program talks to: whether its streams are terminals, and
// a y/N answer read from standard input without holding up the caller.
#pragma once

bool StdinIsTerminal();
bool StderrIsTerminal();

// Waits up to nTimeoutMs for a line on standard input and judges it:
// kAnswerYes for a line starting with y or Y, kAnswerNo for any other line
// or the end of input, 0 when no line came in time.
int PollAnswerLine(int nTimeoutMs);
