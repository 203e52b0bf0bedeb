// The main job without a reader: a whole session of the utility, unchanged,
// against the in-process virtual reader, in real time on the real console.
#pragma once

#include <string>
#include <vector>

namespace korva {

struct SimulationOptions {
    std::string profile = "default";
    bool pacing = true;               // pace the line at its speed
    std::vector<std::string> faults;  // fault knobs, as --fault takes them
};

// Runs run_session() with these arguments (the port digit first, then
// script tokens; none for the interactive start) against the virtual reader.
// Returns the session's exit status; 2 for an unknown profile or fault.
int run_simulated_session(const std::vector<std::string>& args, const SimulationOptions& options);

}  // namespace korva
