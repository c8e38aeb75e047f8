#include "EndReason.h"

#include "update/TextFormat.h"
#include "update/Version.h"

namespace {

void Set(SRunEnd& end, const char* pszReason, const std::string& strHint)
{
    end.strReason = pszReason;
    end.strHint = strHint;
}

// A failure in the handshake or the stream, or the port that went away under it.
bool SetUnlessUnplugged(SRunEnd& end, const SEndCause& cause)
{
    if (!cause.bLineLost)
        return false;
    if (cause.bNetwork) {
        Set(end, "unplugged",
            "The connection to the serial server was lost: check the server and the network, "
            "then run the update again.");
        return true;
    }
    Set(end, "unplugged",
        "The ZT9047Q's port went away during the update: plug the unit in again, leave it plugged in, "
        "and run the update again.");
    return true;
}

} // namespace

void ExplainEnd(SRunEnd& end, const SEndCause& cause)
{
    const std::string strPackaged = FormatFixed2(kPackagedVersion);
    if (end.bUpToDate) {
        Set(end, "up-to-date", "Nothing to do: the ZT9047Q already runs version " + strPackaged + ".");
        return;
    }
    if (cause.bUnstarted) {
        Set(end, "interrupted",
            "The run could not start (the system allowed no more threads) and sent nothing: "
            "run the update again with fewer units at once.");
        return;
    }
    switch (end.eResult) {
    case kEndCompleted:
        if (end.bVerifyAsked && !end.bVerified)
            Set(end, "not-verified",
                "The ZT9047Q did not report version " + strPackaged
                    + " after its update: run the update again, then check it with --verify.");
        else
            Set(end, "completed", "Done: the ZT9047Q runs version " + strPackaged + " and may be unplugged.");
        return;
    case kEndNotFound:
        Set(end, "no-port",
            "Plug the ZT9047Q in and check its cable and power; zt9047q-flash --list shows the serial ports.");
        return;
    case kEndOpenFailed:
        switch (cause.openError.eReason) {
        case kOpenBusy:
            if (cause.bNetwork) {
                Set(end, "port-busy",
                    "The serial server refused the connection: its port is taken by another client or closed; "
                    "free it (or check the server's configuration), then run the update again.");
                return;
            }
            Set(end, "port-busy",
                "Close the program that holds the port (a serial terminal, another zt9047q-flash), "
                "then run the update again.");
            return;
        case kOpenDenied:
            Set(end, "port-denied",
                "Join the group dialout ('sudo usermod -aG dialout $USER', then log in again) "
                "or install the package's udev rule, then run the update again.");
            return;
        case kOpenOwnTerminal:
            Set(end, "port-missing",
                "That is the terminal zt9047q-flash runs in: give the ZT9047Q's port (zt9047q-flash --list).");
            return;
        case kOpenNoDevice:
            if (cause.bNetwork) {
                Set(end, "port-missing",
                    "The serial server's host is not known or not reachable: check its name and port, "
                    "then run the update again.");
                return;
            }
            Set(end, "port-missing",
                "Check that the ZT9047Q is plugged in and the port's name (zt9047q-flash --list), "
                "then run the update again.");
            return;
        default:
            if (cause.bNetwork) {
                Set(end, "port-missing",
                    "The serial server did not take the connection as a serial port (no answer, or no RFC 2217): "
                    "check the server's configuration for that port, then run the update again.");
                return;
            }
            Set(end, "port-missing",
                "The device is no serial port the tool can use: check the port's name (zt9047q-flash --list).");
            return;
        }
    case kEndNoResponse:
    case kEndStoppedResponding:
        if (!SetUnlessUnplugged(end, cause))
            Set(end, "no-answer",
                "Check the ZT9047Q's power and that the port is its own (zt9047q-flash --list), "
                "then run the update again.");
        return;
    case kEndRefused:
        Set(end, "refused",
            "This unit's bootloader cannot be upgraded by this program: set the unit aside for service.");
        return;
    case kEndDeclined:
        Set(end, "declined",
            "The unit runs newer firmware and was left as it is; to install version " + strPackaged
                + " over it, run again and answer Yes (--yes where no terminal asks).");
        return;
    case kEndBootloaderSilent:
        if (!SetUnlessUnplugged(end, cause))
            Set(end, "bootloader-silent",
                "Power the ZT9047Q off and on, then run the update again.");
        return;
    case kEndRejects:
        if (!SetUnlessUnplugged(end, cause))
            Set(end, "refused-frame",
                "The unit refused a frame 100 times: power it off and on and run the update again "
                "(it waits in its bootloader).");
        return;
    case kEndSilence:
        if (!SetUnlessUnplugged(end, cause))
            Set(end, "silence",
                "The unit stopped answering during the transfer and waits in its bootloader: "
                "run the update again to finish it.");
        return;
    case kEndDamagedImage:
        Set(end, "damaged-image",
            "The firmware image inside this program is damaged: reinstall zt9047q-flash.");
        return;
    case kEndInterrupted:
    case kEndNone:
        break;
    }
    Set(end, "interrupted", "The update was stopped before its end: run it again to finish it.");
}

EYield YieldOf(const SRunEnd& end)
{
    if (end.eResult == kEndNone)
        return kYieldNeither; // still going on
    return YieldOfResult(RunResultName(end), end.bVerifyAsked ? std::optional<bool>(end.bVerified) : std::nullopt);
}
