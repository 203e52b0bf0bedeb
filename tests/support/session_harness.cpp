#include "tests/support/session_harness.h"

#include <fstream>
#include <memory>
#include <random>
#include <sstream>

namespace korva::testing {

Seams SessionHarness::seams() {
    return Seams{console, clock, [this](const std::string& name) -> std::unique_ptr<SerialDevice> {
                     opened_names.push_back(name);
                     if (refuse_open) return nullptr;
                     auto dev = std::make_unique<SimSerialDevice>(clock, peer_);
                     device = dev.get();
                     return dev;
                 }};
}

int SessionHarness::run(const std::vector<std::string>& args) {
    return run_session(args, seams());
}

TempWorkDir::TempWorkDir() : previous_(std::filesystem::current_path()) {
    std::random_device rd;
    root_ = std::filesystem::temp_directory_path() /
            ("korva-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    dir_ = root_ / "work";
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
}

TempWorkDir::~TempWorkDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(root_, ec);
}

void TempWorkDir::write_file(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << content;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string read_text_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace korva::testing
