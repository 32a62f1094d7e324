// Stand-in until the run driver lands: the command line works, conversion does not.
#include <cstdio>
#include <cstdlib>

#include "console/run_driver.h"

void run_conversion(const char*, const char*, const EncodeSettings&) {
    std::fputs("ERROR - conversion is not available in this build\n", stderr);
    std::exit(1);
}
