// A session set up as the command loop leaves it before a command, whose
// serial line ends at the virtual reader, on a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"
#include "tests/support/pss_test_peer.h"

namespace korva::testing {

inline sim::ReaderProfile parsed_profile(const std::string& text) {
    sim::ReaderProfile profile;
    std::string error;
    EXPECT_TRUE(sim::parse_profile(text, profile, error)) << error;
    return profile;
}

inline sim::FaultKnobs parsed_faults(std::initializer_list<const char*> knobs) {
    sim::FaultKnobs faults;
    for (const char* knob : knobs) {
        std::string error;
        EXPECT_TRUE(sim::parse_fault(knob, faults, error)) << error;
    }
    return faults;
}

struct ReaderBench {
    explicit ReaderBench(const std::string& profile, std::initializer_list<const char*> faults = {})
        : reader(parsed_profile(profile), parsed_faults(faults), true) {
        device = ready_for_command(s, clock, reader, parsed_profile(profile).highest_block);
    }
    ~ReaderBench() { link_shutdown(s); }
    ReaderBench(const ReaderBench&) = delete;
    ReaderBench& operator=(const ReaderBench&) = delete;

    const std::string& out() const { return console.output(); }
    bool says(const std::string& text) const { return out().find(text) != std::string::npos; }

    VirtualClock clock;
    ScriptedConsole console;
    sim::VirtualReader reader;
    Session s{console, clock};
    SimSerialDevice* device = nullptr;
};

}  // namespace korva::testing
