// Placeholder entry until the command line lands.
#include <cstdio>
int main() {
    std::fputs("twopass: not built yet\n", stderr);
    return 1;
}
