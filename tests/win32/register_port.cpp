// Registers COM-port device interfaces in the Wine test prefix, or removes
// them again:
//   register_port add TAG FRIENDLY DESCRIPTION LOCATION   ("-" leaves one unwritten;
//       a TAG with a backslash is the whole instance ID, e.g. USB\VID_0403&PID_6001\ZT0042)
//   register_port remove TAG
#include "RegisterPort.h"

#include <cstdio>

int main(int argc, char** argv)
{
    std::string strCommand = argc > 1 ? argv[1] : "";
    auto Arg = [&](int i) -> const char* { return std::strcmp(argv[i], "-") == 0 ? nullptr : argv[i]; };
    if (strCommand == "add" && argc == 6) {
        std::string strError = regport::Register(argv[2], Arg(3), Arg(4), Arg(5));
        if (!strError.empty()) {
            std::fprintf(stderr, "register_port: %s\n", strError.c_str());
            return 1;
        }
        return 0;
    }
    if (strCommand == "remove" && argc == 3) {
        std::printf("%d removed\n", regport::Remove(argv[2]));
        return 0;
    }
    std::fprintf(stderr, "usage: register_port add TAG FRIENDLY DESCRIPTION LOCATION | remove TAG\n");
    return 2;
}
