#include "ProcessSetup.h"

// POSIX streams and timers need nothing: lines end in LF, and a 10 ms sleep
// is 10 ms.
void PrepareProcess(bool)
{
}
