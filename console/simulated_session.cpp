#include "console/simulated_session.h"

#include <iostream>
#include <memory>

#include "console/run_session.h"
#include "serial/sim_serial_device.h"
#include "sim/image_set.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"

namespace korva {

int run_simulated_session(const std::vector<std::string>& args, const SimulationOptions& options,
                          HeldImages images) {
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
    // The reader reads the same files' bytes by its own rules.
    auto accepted = std::make_shared<sim::ImageSet>();
    for (const HeldImage& image : images) sim::add_stored_image(*accepted, image.stored, error);
    sim::VirtualReader reader(profile, faults, options.pacing);
    reader.hold_images(accepted);
    Clock& clock = system_clock();
    Seams seams{system_console(), clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                    return std::make_unique<SimSerialDevice>(clock, reader);
                }};
    return run_session(args, seams, std::move(images));
}

}  // namespace korva
