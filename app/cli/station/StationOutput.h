// One terminal and one JSON stream shared by every unit of a station: the
// output room, where each unit's lines are queued whole and written by the
// room's writers, never by the units (a reader that lags holds up nobody).
// Each human line of a unit carries its port in front.
#pragma once

#include "../OutputRoom.h"

typedef COutputRoom CStationOutput;
