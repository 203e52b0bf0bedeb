// Placeholder until the virtual reader exists.
#include "sim/simulated_session.h"

namespace korva::sim {
int run_simulated_session(const std::vector<std::string>&, const SimulationOptions&) { return 2; }
std::string simulation_help() { return {}; }
}  // namespace korva::sim
