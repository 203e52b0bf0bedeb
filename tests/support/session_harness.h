// Whole sessions over the simulated seams: scripted keys and lines in, the
// exact console bytes out, virtual time, and a serial line whose far end is
// a LinePeer (a ScriptedPeer, or the virtual reader).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "console/run_session.h"
#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"
#include "tests/support/scripted_peer.h"

namespace korva::testing {

class SessionHarness {
  public:
    explicit SessionHarness(LinePeer& peer, std::string input = {})
        : console(std::move(input)), peer_(peer) {
        console.stamp_with(&clock);
    }

    // Runs run_session() with these arguments; returns its exit status.
    int run(const std::vector<std::string>& args);
    // Seams whose serial opener hands out a SimSerialDevice on the peer
    // (or fails when refuse_open is set).
    Seams seams();

    VirtualClock clock;
    ScriptedConsole console;
    bool refuse_open = false;
    // The device of the last open; valid while its session runs.
    SimSerialDevice* device = nullptr;
    std::vector<std::string> opened_names;

  private:
    LinePeer& peer_;
};

// A fresh temporary directory (with a parent of its own, for files written
// to "..") made the working directory for the object's lifetime.
class TempWorkDir {
  public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }
    const std::filesystem::path& parent() const { return root_; }
    void write_file(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path previous_;
    std::filesystem::path root_;
    std::filesystem::path dir_;
};

std::string read_file(const std::filesystem::path& path);
// A text file as the program reads text: on Windows its CR LF line ends
// (the trace table is a text file) come back as LF.
std::string read_text_file(const std::filesystem::path& path);

}  // namespace korva::testing
