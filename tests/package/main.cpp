// Links the installed library and calls one export: before Orvane_initial
// the link is down, so Orvane_is_connect() must answer 0.
#include <orvane/orvane.h>

#include <cstdio>

int main() {
    const int connected = Orvane_is_connect();
    if (connected != 0) {
        std::fprintf(stderr, "Orvane_is_connect() returned %d before Orvane_initial, expected 0\n", connected);
        return 1;
    }
    std::printf("orvane consumer: Orvane_is_connect() == 0 as expected\n");
    return 0;
}
