// zt9047q-update: the firmware update window.
#include "UpdateDlgApp.h"

#include <cstdio>
#include <sys/resource.h>

namespace {

// The main window lives on the main thread's stack with its 512 KiB image
// buffer inside. Linux grows that stack up to the soft limit, which can be
// raised here, before anything big is on it.
bool EnsureMainStack(rlim_t nWanted, rlim_t nNeeded)
{
    rlimit lim;
    if (getrlimit(RLIMIT_STACK, &lim) != 0)
        return true; // nothing known; the usual 8 MiB holds it
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= nWanted)
        return true;
    rlimit raised = lim;
    raised.rlim_cur = (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < nWanted) ? lim.rlim_max : nWanted;
    if (raised.rlim_cur > lim.rlim_cur && setrlimit(RLIMIT_STACK, &raised) == 0)
        lim = raised;
    if (lim.rlim_cur >= nNeeded)
        return true;
    std::fprintf(stderr,
                 "zt9047q-update: the stack limit is too small (ulimit -s); at least %lu KiB are needed\n",
                 static_cast<unsigned long>(nNeeded / 1024));
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (!EnsureMainStack(4u * 1024 * 1024, 2u * 1024 * 1024))
        return 1;
    CUpdateDlgApp app(argc, argv);
    return app.InitInstance();
}
