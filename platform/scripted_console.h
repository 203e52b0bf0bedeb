// A console for tests: keys and lines come from a prepared input text, and
// every byte printed is recorded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console_io.h"

namespace korva {

class ScriptedConsole : public Console {
  public:
    explicit ScriptedConsole(std::string input = {})
        : input_(std::move(input)), delays_(input_.size(), 0) {}

    void print(std::string_view text) override {
        output_.append(text);
        if (clock_) printed_.push_back({clock_->calendar_ms(), std::string(text)});
    }
    // A key is there, or the input has ended; after hold_keys(n), the next n
    // tests with input left report no key, as if the technician were slow.
    // A key typed with type_after() is there only once its delay has passed.
    bool key_pressed() override {
        if (held_polls_ > 0 && pos_ < input_.size()) {
            --held_polls_;
            return false;
        }
        return pos_ >= input_.size() || wait_left_ms() == 0;
    }
    // Reading waits for a key that is not there yet.
    int read_key() override {
        if (pos_ >= input_.size()) return -1;
        take_time();
        return static_cast<unsigned char>(input_[pos_++]);
    }
    // A line ends at CR or LF; a CR LF pair counts as one line end.
    bool read_line(std::string& line) override {
        line.clear();
        if (pos_ >= input_.size()) return false;
        take_time();
        while (pos_ < input_.size()) {
            const char c = input_[pos_++];
            if (c == '\r') {
                if (pos_ < input_.size() && input_[pos_] == '\n') ++pos_;
                return true;
            }
            if (c == '\n') return true;
            line.push_back(c);
        }
        return true;
    }

    void error_line(std::string_view text) override {
        errors_.append(text);
        errors_.push_back('\n');
    }
    // Every line written to the error output.
    const std::string& errors() const { return errors_; }

    void type(std::string_view more) { type_after(0, more); }
    // Keys that the technician presses delay_ms after the utility first
    // looks for each of them (needs the clock of stamp_with()).
    void type_after(int64_t delay_ms, std::string_view more) {
        input_.append(more);
        delays_.resize(input_.size(), delay_ms);
    }
    void hold_keys(std::size_t polls) { held_polls_ = polls; }
    // Notes the time of every print from now on.
    void stamp_with(Clock* clock) { clock_ = clock; }
    // When the occurrence-th print that contains text was made; -1 if never.
    int64_t printed_at(std::string_view text, std::size_t occurrence = 0) const {
        for (const Printed& p : printed_) {
            if (p.text.find(text) != std::string::npos && occurrence-- == 0) return p.at_ms;
        }
        return -1;
    }
    // When the last print before at_ms (or at it) was made; -1 if none.
    int64_t last_print_before(int64_t at_ms) const {
        int64_t last = -1;
        for (const Printed& p : printed_) {
            if (p.at_ms <= at_ms) last = p.at_ms;
        }
        return last;
    }
    std::size_t key_polls_held() const { return held_polls_; }
    const std::string& output() const { return output_; }
    void clear_output() { output_.clear(); }
    bool input_consumed() const { return pos_ >= input_.size(); }

  private:
    // How long the next key is still to come; its wait starts when the
    // utility first looks for it.
    int64_t wait_left_ms() {
        if (clock_ == nullptr || delays_[pos_] <= 0) return 0;
        const int64_t now = clock_->calendar_ms();
        if (looked_at_ms_ < 0) looked_at_ms_ = now;
        return std::max<int64_t>(0, looked_at_ms_ + delays_[pos_] - now);
    }
    void take_time() {
        const int64_t left = wait_left_ms();
        if (left > 0) clock_->sleep_ms(left);
        looked_at_ms_ = -1;
    }

    struct Printed {
        int64_t at_ms;
        std::string text;
    };
    std::string input_;
    std::vector<int64_t> delays_;  // one per byte of input_
    int64_t looked_at_ms_ = -1;
    std::size_t pos_ = 0;
    std::size_t held_polls_ = 0;
    std::string output_;
    std::string errors_;
    Clock* clock_ = nullptr;
    std::vector<Printed> printed_;
};

}  // namespace korva
