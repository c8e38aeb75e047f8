// What the process needs of its platform before the first run.
#pragma once

// bJson: standard output carries JSON Lines.
void PrepareProcess(bool bJson);

#ifdef _WIN32
// The console's QuickEdit mode is turned off for the run (PrepareProcess
// does it and gives the mode back at exit). With it on, one stray click in
// the console window starts a selection, and every write to the console
// waits until the selection ends: the progress lines are written between
// frames, so the frames would wait too. Returns whether it was on and is
// now off.
bool HoldQuickEditOff();
// The console input mode as it was before HoldQuickEditOff.
void RestoreConsoleMode();
#endif
