#include <new>

#include "platform/platform.h"
#include "run/run.h"

int main(int argc, char** argv) {
    std::set_new_handler(out_of_memory);
    platform::start_up(argc, argv);
    run();
}
