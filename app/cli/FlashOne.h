// One unit's update in real time: the run's steps, the stop signals and the
// terminal's answers, until the run ends. Returns the exit status.
#pragma once

#include "UnitRun.h"

int FlashOneUnit(CUnitRun& run, bool bFindPort, bool bInIsTerminal, IClock& clock);
