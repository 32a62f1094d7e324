// twopass [options] input output
#include <cstdio>

#include "console/command_line.h"
#include "console/run_driver.h"

int main(int argc, char** argv) {
    EncodeSettings settings;
    const int first_file = parse_command_line(argc, argv, settings);
    settings_clamp(settings, kConsoleBitRateCeiling);
    if (argc - first_file >= 2) {
        // Whatever stands between the options and the last two arguments is ignored.
        AVIFileInit();
        run_conversion(argv[argc - 2], argv[argc - 1], settings);
        AVIFileExit();
        return 0;
    }
    // A program started with an empty argument vector still gets its summary.
    print_banner(argc > 0 && argv[0] ? argv[0] : "twopass", stderr);
    if (argc != 1) std::fprintf(stderr, "\nERROR - input file & output file are required\n");
    return 1;
}
