// The main job without a reader: a whole session of the utility, unchanged,
// against the in-process virtual reader, in real time on the real console.
#pragma once

#include <string>
#include <vector>

#include "images/image_catalogue.h"

namespace korva {

struct SimulationOptions {
    std::string profile = "default";
    bool pacing = true;               // pace the line at its speed
    std::vector<std::string> faults;  // fault knobs, as --fault takes them
};

// Runs run_session() with these arguments (the port digit first, then
// script tokens; none for the interactive start) and this image set against
// the virtual reader, which accepts the software of the same set. Returns
// the session's exit status; 2 for an unknown profile or fault.
int run_simulated_session(const std::vector<std::string>& args, const SimulationOptions& options,
                          HeldImages images = embedded_image_set());

}  // namespace korva
