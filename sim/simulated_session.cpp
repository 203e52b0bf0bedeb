#include "sim/simulated_session.h"

#include <iostream>
#include <memory>

#include "console/session.h"
#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"

namespace korva::sim {

int run_simulated_session(const std::vector<std::string>& args, const SimulationOptions& options) {
    ReaderProfile profile;
    FaultKnobs faults;
    std::string error;
    bool ok = parse_profile(options.profile, profile, error);
    for (std::size_t i = 0; ok && i < options.faults.size(); ++i)
        ok = parse_fault(options.faults[i], faults, error);
    if (!ok) {
        std::cerr << "korva-maint: " << error << "\n";
        return 2;
    }
    VirtualReader reader(profile, faults, options.pacing);
    Clock& clock = system_clock();
    Seams seams{system_console(), clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                    return std::make_unique<SimSerialDevice>(clock, reader);
                }};
    return run_session(args, seams);
}

std::string simulation_help() {
    return profiles_and_faults_help();
}

}  // namespace korva::sim
