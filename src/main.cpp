#include "platform/platform.h"
#include "run/run.h"

int main(int argc, char** argv) {
    platform::start_up(argc, argv);
    run();
}
