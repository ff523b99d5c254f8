// Paints the benchmarks' moving scene on $DISPLAY (or the display given as
// the first argument) at 30 pictures a second until killed.
#include <cstdlib>
#include <string>

#include "moving_scene.h"

int main(int argc, char** argv) {
    const char* display = argc > 1 ? argv[1] : std::getenv("DISPLAY");
    morvane::bench::paintScene(display ? display : "", 30);
}
