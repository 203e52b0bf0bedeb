#include "console/simulated_session.h"

#include <iostream>
#include <memory>

#include "console/run_session.h"
#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"

namespace korva {

int run_simulated_session(const std::vector<std::string>& args, const SimulationOptions& options) {
    sim::ReaderProfile profile;
    sim::FaultKnobs faults;
    std::string error;
    bool ok = sim::parse_profile(options.profile, profile, error);
    for (std::size_t i = 0; ok && i < options.faults.size(); ++i)
        ok = sim::parse_fault(options.faults[i], faults, error);
    if (!ok) {
        std::cerr << "korva-maint: " << error << "\n";
        return 2;
    }
    sim::VirtualReader reader(profile, faults, options.pacing);
    Clock& clock = system_clock();
    Seams seams{system_console(), clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                    return std::make_unique<SimSerialDevice>(clock, reader);
                }};
    return run_session(args, seams);
}

}  // namespace korva
