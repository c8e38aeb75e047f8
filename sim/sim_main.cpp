// zt9047q-sim: plays the ZT9047Q on a new pseudo terminal. Prints the
// terminal's path and COM name on its first line, serves until SIGTERM or
// SIGINT (or until it "unplugs" itself), then reports what it received.
#include "../serial/ComNames.h"
#include "../update/FirmwareImage.h"
#include "../update/Resources.h"
#include "../update/TextFormat.h"
#include "../update/Version.h"
#include "InstrumentModel.h"
#include "PtyServer_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

volatile bool g_bStop = false;

void OnSignal(int)
{
    g_bStop = true;
}

void Usage(FILE* f)
{
    std::fputs(
        "usage: zt9047q-sim [options]\n"
        "Plays the ZT9047Q instrument on a new pseudo terminal.\n"
        "  --firmware X.YY         firmware version the console reports (2.10); after a\n"
        "                          completed update the unit restarts reporting " ZT_FIRMWARE_VERSION_TEXT "\n"
        "  --bootloader            the unit is already in its bootloader\n"
        "  --silent                answer nothing\n"
        "  --short-reply           answer the wake-up with fewer than 5 characters\n"
        "  --reply TEXT            answer each wake-up with TEXT and CR LF instead\n"
        "  --reply-delay MS        console answers come this late\n"
        "  --no-sign               the bootloader never sends its sign\n"
        "  --flood                 endless other bytes instead of the sign\n"
        "  --no-model-after-question  later wake-up answers lack the model name\n"
        "  --reject-frame I --reject-count K  reject the first K sends of frame I\n"
        "  --silent-frame I        no answer from frame I on\n"
        "  --ack-delay MS          frame answers come this late\n"
        "  --extra-bytes N         junk bytes after every frame answer\n"
        "  --hangup-frame I        unplug when frame I arrives\n"
        "  --hangup-in-handshake   unplug on the bootloader request\n"
        "  --silent-after-update   after a completed update the console never comes back\n"
        "  --reboot-ms MS          after a completed update the console is deaf this long (0)\n"
        "  --line-rate             pace received bytes to 921600 baud 8N1\n"
        "  --link PATH             also make PATH a symbolic link to the terminal\n"
        "  --save FILE             write the accepted image to FILE at the end\n"
        "  --log FILE              write every byte received to FILE at the end\n"
        "  --version               show the program's version\n"
        "A failed or interrupted update leaves the unit in its bootloader, where the\n"
        "next update finds and finishes it. Serves any number of updates.\n",
        f);
}

bool NeedValue(int i, int argc, const char* pszOption)
{
    if (i + 1 < argc)
        return true;
    std::fprintf(stderr, "zt9047q-sim: %s needs a value\n", pszOption);
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    SSimConfig config;
    std::string strSave;
    std::string strLink;
    std::string strLog;
    bool bLineRate = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto intArg = [&](int* pn) {
            if (!NeedValue(i, argc, a.c_str()))
                std::exit(2);
            *pn = std::atoi(argv[++i]);
        };
        int n = 0;
        if (a == "--help") {
            Usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zt9047q-sim %s\n", FormatFixed2(kPackagedVersion).c_str());
            return 0;
        } else if (a == "--firmware") {
            if (!NeedValue(i, argc, "--firmware"))
                return 2;
            config.strVersion = argv[++i];
        } else if (a == "--reboot-ms") {
            intArg(&n);
            config.nRebootMs = static_cast<uint32_t>(n);
        } else if (a == "--silent-after-update") {
            config.bSilentAfterUpdate = true;
        } else if (a == "--bootloader") {
            config.bStartInBootloader = true;
        } else if (a == "--silent") {
            config.bSilent = true;
        } else if (a == "--short-reply") {
            config.bShortReply = true;
        } else if (a == "--reply") {
            if (!NeedValue(i, argc, "--reply"))
                return 2;
            config.strWakeReply = std::string(argv[++i]) + "\r\n";
        } else if (a == "--reply-delay") {
            intArg(&n);
            config.nReplyDelayMs = static_cast<uint32_t>(n);
        } else if (a == "--no-sign") {
            config.bNoSign = true;
        } else if (a == "--flood") {
            config.bFloodInsteadOfSign = true;
        } else if (a == "--no-model-after-question") {
            config.bNoModelAfterFirstReply = true;
        } else if (a == "--reject-frame") {
            intArg(&config.nRejectFrame);
        } else if (a == "--reject-count") {
            intArg(&config.nRejectCount);
        } else if (a == "--silent-frame") {
            intArg(&config.nSilentFrame);
        } else if (a == "--ack-delay") {
            intArg(&n);
            config.nAckDelayMs = static_cast<uint32_t>(n);
        } else if (a == "--extra-bytes") {
            intArg(&config.nExtraBytes);
        } else if (a == "--hangup-frame") {
            intArg(&config.nHangupFrame);
        } else if (a == "--hangup-in-handshake") {
            config.bHangupInHandshake = true;
        } else if (a == "--line-rate") {
            bLineRate = true;
        } else if (a == "--link") {
            if (!NeedValue(i, argc, "--link"))
                return 2;
            strLink = argv[++i];
        } else if (a == "--log") {
            if (!NeedValue(i, argc, "--log"))
                return 2;
            strLog = argv[++i];
        } else if (a == "--save") {
            if (!NeedValue(i, argc, "--save"))
                return 2;
            strSave = argv[++i];
        } else {
            std::fprintf(stderr, "zt9047q-sim: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // The image this build packages: the unit knows its update is complete
    // when it has accepted that many bytes.
    const char* pText = nullptr;
    uint32_t nChars = 0;
    std::vector<uint8_t> packaged;
    if (ProgramResources().Find(kFirmwareResourceType, kFirmwareResourceId, &pText, &nChars)) {
        packaged.resize(nChars / 2);
        DecodeFirmwareText(pText, nChars, packaged.data(), static_cast<uint32_t>(packaged.size()), nullptr);
    }
    config.nImageBytes = static_cast<uint32_t>(packaged.size());
    config.bWakeUpEndsFrames = true; // the packaged frames are far shorter than 3338 bytes

    CInstrumentModel model(config);
    CPtyServer server(model);
    std::string strError;
    if (!server.Create(&strError)) {
        std::fprintf(stderr, "zt9047q-sim: %s\n", strError.c_str());
        return 1;
    }
    if (bLineRate)
        server.SetLineRate(921600);
    if (!strLink.empty()) {
        unlink(strLink.c_str());
        if (symlink(server.SlavePath().c_str(), strLink.c_str()) != 0) {
            std::fprintf(stderr, "zt9047q-sim: cannot link %s: %s\n", strLink.c_str(), std::strerror(errno));
            return 1;
        }
    }
    int nCom = DevicePathToComNumber(server.SlavePath());
    std::printf("%s %s\n", server.SlavePath().c_str(), nCom > 0 ? ("COM" + std::to_string(nCom)).c_str() : "-");
    std::fflush(stdout);

    server.Run(&g_bStop);

    if (!strSave.empty()) {
        FILE* f = std::fopen(strSave.c_str(), "wb");
        if (f) {
            const std::vector<uint8_t>& image = model.AcceptedImage();
            if (!image.empty())
                std::fwrite(image.data(), 1, image.size(), f);
            std::fclose(f);
        }
    }
    if (!strLog.empty()) {
        FILE* f = std::fopen(strLog.c_str(), "wb");
        if (f) {
            for (const CInstrumentModel::SReceived& r : model.Received())
                std::fputc(r.by, f);
            std::fclose(f);
        }
    }
    if (!strLink.empty())
        unlink(strLink.c_str());
    // Compare the last update's image with the packaged one.
    bool bSame = !packaged.empty() && packaged == model.AcceptedImage();
    std::fprintf(stderr, "zt9047q-sim: %d updates completed; last: %d frames accepted (%zu bytes), %d sends, %d rejected%s; %s\n",
                 model.UpdatesCompleted(), model.FramesAccepted(), model.AcceptedImage().size(), model.FrameSends(), model.Rejects(),
                 model.HungUp() ? ", unplugged" : "",
                 bSame ? "the packaged image, byte for byte" : "not the packaged image");
    return 0;
}
