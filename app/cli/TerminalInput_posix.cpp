#include "TerminalInput.h"

#include "update/WindowSurface.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

int PollAnswerLine(int nTimeoutMs, IClock&)
{
    // poll() counts on the monotonic clock, the system clock's own.
    pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, nTimeoutMs) <= 0)
        return 0; // nothing yet, or a signal cut the wait short
    // A terminal in its usual line mode hands over one whole line per read.
    char szLine[128];
    ssize_t n = read(STDIN_FILENO, szLine, sizeof szLine);
    if (n < 0)
        return 0;
    if (n == 0)
        return kAnswerNo;
    return (szLine[0] == 'y' || szLine[0] == 'Y') ? kAnswerYes : kAnswerNo;
}

void DiscardTypedAhead()
{
    if (isatty(STDIN_FILENO))
        tcflush(STDIN_FILENO, TCIFLUSH);
}
