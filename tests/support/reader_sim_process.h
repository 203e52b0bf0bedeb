// korva-reader-sim as a child process on a pty, and korva-maint run against
// it in real time, for the few end-to-end tests over a real tty.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace korva::testing {

// The build directory: the test programs live in its tests/ folder.
inline std::filesystem::path build_dir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// Started with the given arguments; stopped with SIGTERM when destroyed.
class ReaderSimProcess {
  public:
    bool start(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> all{(build_dir() / "korva-reader-sim").string()};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        char c;  // the first line is the device path
        while (read(out[0], &c, 1) == 1 && c != '\n') device_ += c;
        close(out[0]);
        return pid_ > 0 && !device_.empty();
    }
    ~ReaderSimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }

  private:
    pid_t pid_ = -1;
    std::string device_;
};

// Runs korva-maint with env and args, keys typed on its standard input, at
// most limit_s seconds; returns everything it printed.
inline std::string run_utility(const std::string& env, const std::string& args,
                               const std::string& keys, int limit_s) {
    const std::string command = "printf '" + keys + "' | " + env + " timeout " +
                                std::to_string(limit_s) + " '" +
                                (build_dir() / "korva-maint").string() + "' " + args + " 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
    pclose(pipe);
    return output;
}

}  // namespace korva::testing
