// The soak: whole sessions of the built-in default script and of each reader
// command, again and again against the virtual reader, under timing drawn
// from a seed: the reader's turnaround and jitter, where its start-up frames
// fall in the calendar second, when it is switched on and restarts, bytes as
// they cross, one by one or in a USB adapter's bursts, and when the
// technician presses each key. Every run must end as its command is meant to,
// within what its waits allow, without spinning.
//
// Seed S plays scenario S mod the number of scenarios with timing drawn from
// S alone. KORVA_SOAK_SEEDS=N runs seeds 1 to N (the build sets the default:
// fewer under the sanitizers and Wine); KORVA_SOAK_SEED=S runs seed S alone.
// One test per group of scenarios, so that ctest runs them side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>

#include "console/run_session.h"
#include "tests/console/console_texts.h"
#include "tests/reliability/reliability_support.h"

#ifndef KORVA_SOAK_DEFAULT_SEEDS
#define KORVA_SOAK_DEFAULT_SEEDS 400
#endif

namespace korva::reliability {
namespace {

using korva::testing::QUIT_BLANK;
using korva::testing::QUIT_MESSAGE;

enum class Group { DEFAULT_SCRIPT, IDENTITY, BLOCKS, LINE, PSS };

struct Scenario {
    Group group;
    const char* name;
    const char* args;  // the port digit and the script; "": the port asked, the default script
    std::string profile;
    std::string keys;                // one per key the session asks for
    std::vector<std::string> lines;  // console texts it must show, in this order
    // What its waits allow when the reader answers and the keys come at
    // once, at the slowest timing drawn: the most measured over 6400 seeds
    // and a sixth more, rounded up. The drawn delays come on top.
    int64_t waits_ms;
};

const std::string ON_HOLD = "default,on-hold";
const std::string HOLD_NO = "\r REPONSE > LECTEUR EN ATTENTE                         \n";
const std::string HOLD_CHARGE = "\r REPONSE > LECTEUR EN ATTENTE                              ";
const std::string ORBEX = "\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n";
const std::string DONE = "\n           CHARGEMENT TERMINE";
const std::string INSTALLED = "\n           LOGICIEL INSTALLE : BLOC[";
const std::string RESET = "\n           RESET LECTEUR EN COURS... ";

// clang-format off
const Scenario SCENARIOS[] = {
    {Group::DEFAULT_SCRIPT, "default script", "", "default", "3Okx",
     {HOLD_NO, INSTALLED + "2]", ORBEX, HOLD_CHARGE, INSTALLED + "5]", INSTALLED + "6]", RESET,
      korva::testing::THE_END_TEXT}, 410'000},
    {Group::IDENTITY, "bootinfo", "3 bootinfo q", ON_HOLD, "Ox",
     {"\n REPONSE > EDITEUR  : KORVA SYSTEMES", "\n           VERSION  : 4.01"}, 11'000},
    {Group::IDENTITY, "info", "3 info q", "boot405,on-hold", "Ox",
     {"\n           BLOC[0]  : EDITEUR  : KORVA SYSTEMES",
      "\n                      NUMERO DE SERIE       : KV2-0712-04518",
      "\n           BLOC[7]  : EDITEUR  : GIE CB"}, 12'000},
    {Group::IDENTITY, "nserie", "3 nserie q", ON_HOLD, "Ox",
     {"\n REPONSE > NUMERO DE SERIE : KV2-0712-"}, 12'000},
    {Group::IDENTITY, "trace", "3 trace q", ON_HOLD, "Ox",
     {"\n           MISE A JOUR FICHIER TRACE OK"}, 15'000},
    {Group::BLOCKS, "efface 4", "3 efface 4 q", ON_HOLD, "Ox",
     {"\n REPONSE > BLOC [4] LIBRE "}, 11'000},
    {Group::BLOCKS, "charge 2", "3 charge superviseur 2 q", ON_HOLD, "Ox",
     {DONE, INSTALLED + "2]"}, 95'000},
    {Group::BLOCKS, "charge 0", "3 charge base 0 q", ON_HOLD, "Ox",
     {DONE, INSTALLED + "0]"}, 160'000},
    {Group::BLOCKS, "charge 3", "3 charge pss 3 q", ON_HOLD, "Ox",
     {DONE, INSTALLED + "3]"}, 250'000},
    {Group::LINE, "v1", "3 v1 q", ON_HOLD, "Ox",
     {"\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n"}, 11'000},
    {Group::LINE, "v2", "3 v2 q", ON_HOLD, "Ox",
     {"\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n"}, 11'000},
    {Group::LINE, "reset", "3 reset q", ON_HOLD, "Ox", {RESET}, 11'000},
    {Group::LINE, "no", "3 no q", "default", "Ox",
     {"\r REPONSE > ATTENTE REPONSE LECTEUR ...                     ", HOLD_NO}, 13'000},
    {Group::PSS, "sup_tla", "3 sup_tla q", ON_HOLD, "Ox",
     {"\r           CONNEXION LECTEUR OK", "\r           LECTEUR EN ATTENTE "}, 29'000},
    {Group::PSS, "cb", "3 cb q", ON_HOLD, "Ox",
     {"\r           PREPARATION DU CHARGEMENT MONETIQUE                    ",
      "\r           LECTEUR EN ATTENTE               "}, 26'000},
    {Group::PSS, "charge 5", "3 charge ORBEX_112 5 q", ON_HOLD, "Okx",
     {ORBEX, HOLD_CHARGE, INSTALLED + "5]", INSTALLED + "6]"}, 320'000},
};
// clang-format on
constexpr uint64_t SCENARIO_COUNT = std::size(SCENARIOS);

// The timing of a run, as profile options, and the delays it adds to the
// scenario's waits.
struct Timing {
    std::string options;
    int64_t delays_ms = 0;
    std::vector<int64_t> key_ms;  // each key pressed this long after it is asked for
};

// Drawn from the seed with the generator's raw output, the same on every
// platform.
Timing draw(uint64_t seed, const Scenario& sc) {
    std::mt19937_64 random(seed);
    auto pick = [&random](int64_t low, int64_t high) {
        return low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
    };
    Timing t;
    std::ostringstream o;
    o << ",turnaround-ms=" << pick(0, 20) << ",jitter-ms=" << pick(0, 20)
      << ",startup-phase-ms=" << pick(0, 999) << ",seed=" << seed % 4'294'967'296u;
    // Switched on once "no" waits (2.3 s at most after the port is set up),
    // early enough for its 30 s.
    const int64_t power_on = pick(2000, 27'000), restart = pick(600, 5000), user = pick(0, 3000);
    o << ",power-on-ms=" << power_on << ",restart-ms=" << restart << ",user-ms=" << user;
    const int64_t delivery = pick(0, 2);
    const int64_t byte_gap_us = pick(1001, 1500), usb_ms = pick(1, 16);
    if (delivery == 1) o << ",byte-gap-us=" << byte_gap_us;  // just over the interval time-out
    if (delivery == 2) o << ",usb-latency-ms=" << usb_ms;
    t.options = o.str();
    if (sc.profile.find("on-hold") == std::string::npos) t.delays_ms += power_on;
    if (sc.group == Group::PSS || sc.group == Group::DEFAULT_SCRIPT) t.delays_ms += restart + user;
    for (std::size_t i = 0; i < sc.keys.size(); ++i) {
        t.key_ms.push_back(pick(0, 3000));
        t.delays_ms += t.key_ms.back();
    }
    return t;
}

// Line calls and key tests beyond these per millisecond are a loop that does
// not wait: every run measured stays under 3 line calls a millisecond.
constexpr uint64_t LINE_CALLS_PER_MS = 20;
constexpr uint64_t LINE_CALL_SLACK = 100'000;
constexpr int64_t KEY_POLL_SLACK = 1000;

// The keyboard: a key test is one more look; a key waiting loop that does
// not wait is stopped.
class WatchedConsole : public ScriptedConsole {
  public:
    explicit WatchedConsole(VirtualClock& clock) : clock_(clock), start_(clock.calendar_ms()) {
        stamp_with(&clock);
    }
    bool key_pressed() override {
        if (++polls_ > clock_.calendar_ms() - start_ + KEY_POLL_SLACK)
            throw WatchdogTripped{"the keyboard was polled without time passing"};
        return ScriptedConsole::key_pressed();
    }

  private:
    VirtualClock& clock_;
    int64_t start_;
    int64_t polls_ = 0;
};

// Long enough for a frame under way to cross the line, too short for the
// reader to start another.
constexpr int64_t DRAIN_MS = 2000;

using Examine = std::function<void(const GuardedLine& line, const ScriptedConsole& console)>;

struct WatchedRun {
    std::string failure;  // empty when the session ended as its scenario says
    std::string output;
    int64_t elapsed_ms = 0;
};

// The scenario's session against a reader of this profile, each key pressed
// its delay after it is asked for, stopped past limit_ms; examine sees the
// line's record (with what the reader still had on its way) and the console.
WatchedRun run_watched(const Scenario& sc, const std::string& profile,
                       const std::vector<int64_t>& key_ms, int64_t limit_ms,
                       const Examine& examine = nullptr) {
    sim::VirtualReader reader(profile_of(profile), sim::FaultKnobs{}, true);
    GuardedLine line(reader);
    VirtualClock clock;
    WatchedConsole console(clock);
    for (std::size_t i = 0; i < sc.keys.size(); ++i)
        console.type_after(i < key_ms.size() ? key_ms[i] : 0, sc.keys.substr(i, 1));
    line.watch(clock, limit_ms, LINE_CALL_SLACK, LINE_CALLS_PER_MS);
    const Seams seams{console, clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                          return std::make_unique<SimSerialDevice>(clock, line);
                      }};
    std::vector<std::string> args;
    std::istringstream words(sc.args);
    for (std::string w; words >> w;) args.push_back(w);
    const int64_t start = clock.calendar_ms();
    WatchedRun run;
    try {
        const int status = run_session(args, seams);
        const std::string& out = console.output();
        std::size_t at = 0;
        for (const std::string& text : sc.lines) {
            at = out.find(text, at);
            if (at == std::string::npos) {
                run.failure = "missing or out of order: \"" + text + "\"";
                break;
            }
            at += text.size();
        }
        if (run.failure.empty() && !out.ends_with(QUIT_MESSAGE + QUIT_BLANK))
            run.failure = "the session did not end at the quit prompt";
        if (run.failure.empty() && status != 0)
            run.failure = "exit status " + std::to_string(status);
    } catch (const WatchdogTripped& w) {
        run.failure = w.why + " (limit " + std::to_string(limit_ms) + " ms)";
    }
    run.output = console.output();
    run.elapsed_ms = clock.calendar_ms() - start;
    if (examine) {
        line.drain(clock.calendar_ms() + DRAIN_MS);
        examine(line, console);
    }
    return run;
}

std::string tail(const std::string& out) {
    return out.substr(out.size() > 400 ? out.size() - 400 : 0);
}

// Empty when the seed's run ended as its command is meant to; otherwise what
// went wrong, how to replay it and how the console ended.
std::string run_seed(uint64_t seed) {
    const Scenario& sc = SCENARIOS[seed % SCENARIO_COUNT];
    const Timing t = draw(seed, sc);
    const WatchedRun run =
        run_watched(sc, sc.profile + t.options, t.key_ms, sc.waits_ms + t.delays_ms);
    if (run.failure.empty()) return {};
    std::ostringstream report;
    report << "seed " << seed << " (" << sc.name << t.options << ", keys after";
    for (int64_t k : t.key_ms) report << " " << k;
    report << " ms): " << run.failure << " after " << run.elapsed_ms
           << " ms\n  replay: KORVA_SOAK_SEED=" << seed
           << " reliability_tests --gtest_filter='Soak.*'\n  console ends: [" << tail(run.output)
           << "]";
    return report.str();
}

uint64_t env_number(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == '\0' ? otherwise : std::strtoull(text, nullptr, 10);
}

void soak(Group group) {
    korva::testing::TempWorkDir dir;  // no liste.dvo; trace and client files land here
    const uint64_t one = env_number("KORVA_SOAK_SEED", 0);
    const uint64_t last = one != 0 ? one : env_number("KORVA_SOAK_SEEDS", KORVA_SOAK_DEFAULT_SEEDS);
    unsigned runs = 0;
    for (uint64_t seed = one != 0 ? one : 1; seed <= last; ++seed) {
        if (SCENARIOS[seed % SCENARIO_COUNT].group != group) continue;
        ++runs;
        const std::string failure = run_seed(seed);
        EXPECT_TRUE(failure.empty()) << failure;
    }
    std::printf("soak: %u runs\n", runs);
}

TEST(Soak, DefaultScript) {
    soak(Group::DEFAULT_SCRIPT);
}

TEST(Soak, IdentityCommands) {
    soak(Group::IDENTITY);
}

TEST(Soak, BlockCommands) {
    soak(Group::BLOCKS);
}

TEST(Soak, LineCommands) {
    soak(Group::LINE);
}

TEST(Soak, PssCommands) {
    soak(Group::PSS);
}

// --- one frame at a wait's deadline ---------------------------------------

// The one frame a wait is for, sent so that its first byte reaches the
// utility in the read still open when the wait's deadline passed, where a
// wait that gives up at its deadline loses it. A profile option moves the
// frame: its values are tried until the line's record shows that moment,
// and that run must end as its command is meant to.
struct Deadline {
    const char* scenario;
    const char* delivery;  // "" for bytes as they cross, or the profile option
    uint8_t code;          // of the frame
    bool last;             // the last frame of that code, or the first
    int64_t seconds;       // of the wait
    int64_t settle_ms;     // from the utility's last print or write to the wait's start
    const char* knob;
    int64_t from, to, step;
};

void PrintTo(const Deadline& d, std::ostream* os) {
    *os << d.scenario << (d.delivery[0] != '\0' ? ", byte by byte" : ", paced");
}

constexpr int64_t IDLE_READ_MS = 255;  // with the framed time-outs
constexpr int64_t STALE_READ_MS = 51;  // "no" first reads away 50 stale bytes
const char* const BYTE_BY_BYTE = ",byte-gap-us=1100";

const Deadline DEADLINES[] = {
    // One-second waits, which end every other second.
    {"charge 5", "", 0xF2, true, 1, 0, "restart-ms", 1500, 4500, 1000},
    {"charge 5", BYTE_BY_BYTE, 0xF2, true, 1, 0, "restart-ms", 1500, 4500, 1000},
    {"no", "", 0xF2, false, 30, STALE_READ_MS, "power-on-ms", 29000, 33000, 250},
    {"no", BYTE_BY_BYTE, 0xF2, false, 30, STALE_READ_MS, "power-on-ms", 29000, 33000, 250},
    {"sup_tla", "", 0xF2, true, 30, 0, "restart-ms", 27000, 33000, 250},
    {"sup_tla", BYTE_BY_BYTE, 0xF2, true, 30, 0, "restart-ms", 27000, 33000, 250},
    // An ordinary answer, the first block-list item, at the end of its 2 s
    // (the turnaround delays the boot probe's answer too, within its 5 s).
    {"nserie", "", 0xFB, false, 2, 0, "turnaround-ms", 2000, 3300, 13},
    {"nserie", BYTE_BY_BYTE, 0xFB, false, 2, 0, "turnaround-ms", 2000, 3300, 13},
};

const Scenario& scenario(const std::string& name) {
    for (const Scenario& sc : SCENARIOS) {
        if (name == sc.name) return sc;
    }
    ADD_FAILURE() << "no scenario " << name;
    return SCENARIOS[0];
}

// Whether the frame's first byte came at or after the instant the wait's
// deadline passed (a wait that went on reading then had begun that read
// before), within one read.
bool at_deadline(const Deadline& d, const GuardedLine& line, const ScriptedConsole& console) {
    int64_t first_byte = -1;
    for (const FrameSpan& f : frame_map(line.received())) {
        if (f.code != d.code) continue;
        first_byte = line.arrivals()[f.start];
        if (!d.last) break;
    }
    if (first_byte < 0) return false;
    int64_t acted = console.last_print_before(first_byte);
    for (int64_t w : line.write_times()) {
        if (w <= first_byte) acted = std::max(acted, w);
    }
    const int64_t deadline_passes = ((acted + d.settle_ms) / 1000 + d.seconds + 1) * 1000;
    return first_byte >= deadline_passes && first_byte < deadline_passes + IDLE_READ_MS;
}

class FrameAtTheDeadline : public ::testing::TestWithParam<Deadline> {};

TEST_P(FrameAtTheDeadline, IsTakenAndTheCommandGoesOn) {
    const Deadline& d = GetParam();
    const Scenario& sc = scenario(d.scenario);
    korva::testing::TempWorkDir dir;
    bool met = false;
    for (int64_t value = d.from; value <= d.to && !met; value += d.step) {
        const std::string profile =
            sc.profile + d.delivery + ",startup-phase-ms=0," + d.knob + "=" + std::to_string(value);
        const WatchedRun run = run_watched(sc, profile, {}, sc.waits_ms + 3 * value,
                                           [&](const GuardedLine& line, const ScriptedConsole& c) {
                                               met = at_deadline(d, line, c);
                                           });
        if (met) {
            EXPECT_EQ(run.failure, "") << d.knob << "=" << value << "\n" << tail(run.output);
        }
    }
    EXPECT_TRUE(met) << "no " << d.knob << " from " << d.from << " to " << d.to
                     << " sends the frame at the deadline";
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameAtTheDeadline, ::testing::ValuesIn(DEADLINES));

}  // namespace
}  // namespace korva::reliability
