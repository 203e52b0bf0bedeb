// A hand-made far end for command tests: it decodes the utility's request
// frames and answers each with frames written byte by byte here, from the
// frame description (DLE STX, direction, code, subcode, stuffed sections,
// DLE ETX, XOR check). It shares no code with the link.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serial/sim_serial_device.h"
#include "sim/virtual_reader.h"
#include "tests/support/session_harness.h"

namespace korva::testing {

using ByteString = std::vector<uint8_t>;

inline ByteString bytes_of(const std::string& text) {
    return ByteString(text.begin(), text.end());
}

struct FrameSection {
    uint8_t mark;  // 0x0E, 0x0F or 0x1F
    ByteString data;
};

// A frame as the reader sends it.
inline ByteString reader_frame(uint8_t code, const std::vector<FrameSection>& sections,
                               uint8_t direction = 0x03) {
    ByteString frame{0x10, 0x02, direction, code, 0x00};
    for (const FrameSection& section : sections) {
        frame.push_back(0x10);
        frame.push_back(section.mark);
        for (uint8_t byte : section.data) {
            frame.push_back(byte);
            if (byte == 0x10) frame.push_back(0x10);
        }
    }
    frame.push_back(0x10);
    frame.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t byte : frame) check ^= byte;
    frame.push_back(check);
    return frame;
}

constexpr uint8_t MARK_SO = 0x0E;
constexpr uint8_t MARK_SI = 0x0F;

inline ByteString boot_info_answer(const ByteString& payload) {
    return reader_frame(0xF7, {{MARK_SO, {0x00}}, {MARK_SI, payload}});
}
// Five fields, one zero byte before each (the usual layout).
inline ByteString boot_payload(const std::vector<std::string>& fields) {
    ByteString payload;
    for (const std::string& field : fields) {
        payload.push_back(0);
        payload.insert(payload.end(), field.begin(), field.end());
    }
    payload.push_back(0);
    return payload;
}
inline ByteString block_item_answer(const ByteString& item) {
    return reader_frame(0xFB, {{MARK_SO, item}});
}
inline ByteString identity_item(uint8_t tag, const std::string& value) {
    ByteString item{2, 0, tag, static_cast<uint8_t>(value.size())};
    item.insert(item.end(), value.begin(), value.end());
    return item;
}
inline ByteString software_item(uint8_t block, const std::string& publisher,
                                const std::string& name) {
    ByteString item{static_cast<uint8_t>(2 * block)};
    for (char c : publisher + "$" + name + "$") item.push_back(static_cast<uint8_t>(c));
    return item;
}
inline ByteString empty_item(uint8_t block) {
    return {static_cast<uint8_t>(2 * block), '$'};
}
inline ByteString status_answer(uint8_t code, uint8_t status) {
    return reader_frame(code, {{MARK_SO, {status}}});
}

// One request frame that the utility wrote, decoded.
struct SeenRequest {
    uint8_t code = 0;
    ByteString data;  // the section's data, unstuffed
    uint32_t baud = 0;
    int64_t at_ms = 0;
};

// Answers requests by their code: queued answers first, one per request,
// then the standing answer, if any. An empty queued answer is silence.
class FramePeer : public ScriptedPeer {
  public:
    static constexpr int64_t ANSWER_DELAY_MS = 20;

    void answer_always(uint8_t code, const ByteString& bytes) { standing_[code] = bytes; }
    void answer_next(uint8_t code, const ByteString& bytes) { queued_[code].push_back(bytes); }
    void stop_answering(uint8_t code) {
        standing_.erase(code);
        queued_.erase(code);
    }

    // Called with every request decoded, before it is answered.
    std::function<void(const SeenRequest&)> on_request;

    const std::vector<SeenRequest>& requests() const { return requests_; }
    std::vector<uint8_t> request_codes() const {
        std::vector<uint8_t> codes;
        for (const SeenRequest& r : requests_) codes.push_back(r.code);
        return codes;
    }

    // The speed that the utility's port was last set to.
    uint32_t port_baud() const { return port_baud_; }
    void on_settings(const LineSettings& settings, int64_t) override {
        port_baud_ = settings.baud_rate;
    }

    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        ScriptedPeer::on_write(data, count, baud, now_ms);
        for (std::size_t i = 0; i < count; ++i) take(data[i], baud, now_ms);
    }

  private:
    enum class State { Dle, Stx, Direction, Code, Subcode, Body, BodyDle, Check };

    void take(uint8_t byte, uint32_t baud, int64_t now_ms) {
        switch (state_) {
            case State::Dle:
                if (byte == 0x10) state_ = State::Stx;
                break;
            case State::Stx:
                state_ = byte == 0x02 ? State::Direction : State::Dle;
                break;
            case State::Direction:
                state_ = State::Code;
                break;
            case State::Code:
                current_ = SeenRequest{byte, {}, baud, now_ms};
                state_ = State::Subcode;
                break;
            case State::Subcode:
                state_ = State::Body;
                break;
            case State::Body:
                if (byte == 0x10) {
                    state_ = State::BodyDle;
                } else {
                    current_.data.push_back(byte);
                }
                break;
            case State::BodyDle:
                if (byte == 0x10) {
                    current_.data.push_back(byte);
                    state_ = State::Body;
                } else {
                    state_ = byte == 0x03 ? State::Check : State::Body;
                }
                break;
            case State::Check:
                state_ = State::Dle;
                requests_.push_back(current_);
                if (on_request) on_request(current_);
                respond(current_.code, now_ms);
                break;
        }
    }

    void respond(uint8_t code, int64_t now_ms) {
        auto queued = queued_.find(code);
        if (queued != queued_.end() && !queued->second.empty()) {
            const ByteString answer = queued->second.front();
            queued->second.pop_front();
            if (!answer.empty()) schedule(now_ms + ANSWER_DELAY_MS, answer);
            return;
        }
        auto standing = standing_.find(code);
        if (standing != standing_.end()) schedule(now_ms + ANSWER_DELAY_MS, standing->second);
    }

    uint32_t port_baud_ = 0;
    State state_ = State::Dle;
    SeenRequest current_;
    std::vector<SeenRequest> requests_;
    std::map<uint8_t, ByteString> standing_;
    std::map<uint8_t, std::deque<ByteString>> queued_;
};

// Concatenates answers: several items sent in one go.
inline ByteString concat(const std::vector<ByteString>& parts) {
    ByteString all;
    for (const ByteString& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One answer frame per item, sent in one go.
inline ByteString block_list_answer(const std::vector<ByteString>& items) {
    ByteString all;
    for (const ByteString& item : items) {
        const ByteString frame = block_item_answer(item);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

// A reader's identity: its boot information and its block list.
struct ReaderIdentity {
    std::vector<std::string> boot;  // publisher, model, boot software, version, date
    std::vector<ByteString> items;
};

// Boot 4.01: blocks 0 to 15; base software, identity, supervisor and TLA.
inline ReaderIdentity reader_with_15_blocks() {
    ReaderIdentity p;
    p.boot = {"EDITIONS NORD", "KORVA L2", "BOOT KORVA", "4.01", "12/01/2006"};
    p.items = {software_item(0, "EDITIONS NORD", "BASE 3.20"),
               identity_item(0, "KORVA"),
               identity_item(5, "123456789"),
               identity_item(80, "4.01"),
               software_item(2, "EDITIONS NORD", "SUPERVISEUR 2.1"),
               empty_item(3),
               empty_item(4),
               software_item(5, "ORBEX", "TLA 1.12")};
    for (uint8_t block = 6; block <= 15; ++block) p.items.push_back(empty_item(block));
    return p;
}

// Boot 4.05: blocks 0 to 31, software in blocks 0, 12 and 31.
inline ReaderIdentity reader_with_31_blocks() {
    ReaderIdentity p;
    p.boot = {"EDITIONS NORD", "KORVA L3", "BOOT KORVA", "4.05", "03/02/2007"};
    p.items = {software_item(0, "EDITIONS NORD", "BASE 4.00"), identity_item(5, "987654321")};
    for (uint8_t block = 2; block <= 31; ++block) {
        if (block == 12) {
            p.items.push_back(software_item(12, "PAIEMENT SA", "CB 2.0"));
        } else if (block == 31) {
            p.items.push_back(software_item(31, "EDITIONS NORD", "DERNIER"));
        } else {
            p.items.push_back(empty_item(block));
        }
    }
    return p;
}

inline void play(FramePeer& peer, const ReaderIdentity& profile) {
    peer.answer_always(0xF7, boot_info_answer(boot_payload(profile.boot)));
    peer.answer_always(0xFB, block_list_answer(profile.items));
}

// The console text after start-up, without the keyboard prompt and line end
// that end a script run on an exhausted keyboard.
inline std::string commands_text(const std::string& output) {
    const std::string blank = "\r" + std::string(75, ' ');
    std::size_t start = output.find(blank);
    if (start == std::string::npos) return output;
    std::string text = output.substr(start + blank.size());
    const std::string tail = "\n COMMANDE> \n";
    if (text.size() >= tail.size() &&
        text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
        text.resize(text.size() - tail.size());
    }
    return text;
}

// What "no" prints when the reader starts and takes the hold.
inline const std::string MAINTENANCE_HOLD_TEXT =
    "\r                   ALLUMEZ VOTRE LECTEUR KORVA...                      "
    "\r REPONSE > ATTENTE REPONSE LECTEUR ...                     "
    "\r REPONSE > LECTEUR EN ATTENTE                         \n";

// The virtual reader with a profile in its text form ("default", "boot405").
inline sim::VirtualReader virtual_reader(const std::string& profile_name) {
    sim::ReaderProfile profile;
    std::string error;
    if (!sim::parse_profile(profile_name, profile, error)) ADD_FAILURE() << error;
    return sim::VirtualReader(profile, sim::FaultKnobs{}, true);
}

struct ScriptRun {
    std::string text;  // after start-up
    int status = 0;
};

// Runs the commands as script tokens on COM3, the power-off question
// answered with 'O'; the keyboard then has nothing more.
inline ScriptRun run_script(LinePeer& peer, const std::vector<std::string>& commands) {
    SessionHarness h(peer, "O");
    std::vector<std::string> args{"3"};
    args.insert(args.end(), commands.begin(), commands.end());
    ScriptRun run;
    run.status = h.run(args);
    run.text = commands_text(h.console.output());
    return run;
}

}  // namespace korva::testing
