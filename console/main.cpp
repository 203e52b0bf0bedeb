#include <string>
#include <vector>

#include "console/session.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    korva::Seams seams{korva::system_console(), korva::system_clock(), korva::open_system_serial};
    return korva::run_session(args, seams);
}
