// The soak: whole sessions of the built-in default script and of each reader
// command of the command table, run again and again against the virtual
// reader under timing drawn from a seed: the reader's turnaround and its
// jitter, where its start-up frames fall in the calendar second, when it is
// switched on and when it restarts, bytes handed over as they cross, one by
// one or in a USB adapter's bursts, and when the technician presses each key.
// Every run must end as its command specifies, within what its waits allow,
// without spinning. On the virtual clock a run costs milliseconds.
//
// Seed S plays scenario S mod the number of scenarios, with timing drawn
// from S alone: a seed names a run. KORVA_SOAK_SEEDS=N runs seeds 1 to N
// (the default is set by the build: fewer under the sanitizers and Wine);
// KORVA_SOAK_SEED=S runs seed S alone. Each test runs the seeds of its group
// of scenarios, so that ctest runs the groups side by side.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
using korva::testing::THE_END_TEXT;

// --- the scenarios --------------------------------------------------------

enum class Group { DEFAULT_SCRIPT, IDENTITY, BLOCKS, LINE, PSS };

struct Scenario {
    Group group;
    const char* name;
    std::vector<std::string> args;  // none: the port asked for and the default script
    std::string profile;
    std::string keys;                // one per key the session asks for, in order
    std::vector<std::string> lines;  // console texts it must show, in this order
    // What its waits allow when the reader answers and the technician types
    // at once: the pauses and the waits it sits out, and the answers' time
    // on the line at the slowest timing drawn (byte by byte, 16 ms bursts,
    // 40 ms turnarounds): the most measured over 3200 seeds, and a sixth
    // more. The drawn delays come on top.
    int64_t waits_ms;
};

const std::string EN_ATTENTE_NO = "\r REPONSE > LECTEUR EN ATTENTE                         \n";
const std::string EN_ATTENTE_CHARGE =
    "\r REPONSE > LECTEUR EN ATTENTE                              ";
const std::string ORBEX = "\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n";
const std::string DONE = "\n           CHARGEMENT TERMINE";
const std::string INSTALLED_0 = "\n           LOGICIEL INSTALLE : BLOC[0]";
const std::string INSTALLED_2 = "\n           LOGICIEL INSTALLE : BLOC[2]";
const std::string INSTALLED_3 = "\n           LOGICIEL INSTALLE : BLOC[3]";
const std::string INSTALLED_5 = "\n           LOGICIEL INSTALLE : BLOC[5]";
const std::string INSTALLED_6 = "\n           LOGICIEL INSTALLE : BLOC[6]";
const std::string RESET = "\n           RESET LECTEUR EN COURS... ";

const Scenario SCENARIOS[] = {
    {Group::DEFAULT_SCRIPT,
     "default script",
     {},
     "default",
     "3Okx",
     {EN_ATTENTE_NO, INSTALLED_2, ORBEX, EN_ATTENTE_CHARGE, INSTALLED_5, INSTALLED_6, RESET,
      THE_END_TEXT, QUIT_MESSAGE},
     410'000},
    {Group::IDENTITY,
     "bootinfo",
     {"3", "bootinfo", "q"},
     "default,on-hold",
     "Ox",
     {"\n REPONSE > EDITEUR  : KORVA SYSTEMES", "\n           VERSION  : 4.01", QUIT_MESSAGE},
     10'000},
    {Group::IDENTITY,
     "info",
     {"3", "info", "q"},
     "boot405,on-hold",
     "Ox",
     {"\n           BLOC[0]  : EDITEUR  : KORVA SYSTEMES",
      "\n           BLOC[1] :  NOM CONSTRUCTEUR      : KORVA SYSTEMES",
      "\n                      NUMERO DE SERIE       : KV2-0712-04518",
      "\n           BLOC[7]  : EDITEUR  : GIE CB", QUIT_MESSAGE},
     11'000},
    {Group::IDENTITY,
     "nserie",
     {"3", "nserie", "q"},
     "default,on-hold",
     "Ox",
     {"\n REPONSE > NUMERO DE SERIE : KV2-0712-", QUIT_MESSAGE},
     11'000},
    {Group::IDENTITY,
     "trace",
     {"3", "trace", "q"},
     "default,on-hold",
     "Ox",
     {"\n           MISE A JOUR FICHIER TRACE OK", QUIT_MESSAGE},
     14'000},
    {Group::BLOCKS,
     "efface 4",
     {"3", "efface", "4", "q"},
     "default,on-hold",
     "Ox",
     {"\n REPONSE > BLOC [4] LIBRE ", QUIT_MESSAGE},
     10'000},
    {Group::BLOCKS,
     "charge 2",
     {"3", "charge", "superviseur", "2", "q"},
     "default,on-hold",
     "Ox",
     {DONE, INSTALLED_2, QUIT_MESSAGE},
     95'000},
    {Group::BLOCKS,
     "charge 0",
     {"3", "charge", "base", "0", "q"},
     "default,on-hold",
     "Ox",
     {DONE, INSTALLED_0, QUIT_MESSAGE},
     160'000},
    {Group::BLOCKS,
     "charge 3",
     {"3", "charge", "pss", "3", "q"},
     "default,on-hold",
     "Ox",
     {DONE, INSTALLED_3, QUIT_MESSAGE},
     250'000},
    {Group::LINE,
     "v1",
     {"3", "v1", "q"},
     "default,on-hold",
     "Ox",
     {"\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n", QUIT_MESSAGE},
     10'000},
    {Group::LINE,
     "v2",
     {"3", "v2", "q"},
     "default,on-hold",
     "Ox",
     {"\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n", QUIT_MESSAGE},
     10'000},
    {Group::LINE,
     "reset",
     {"3", "reset", "q"},
     "default,on-hold",
     "Ox",
     {RESET, QUIT_MESSAGE},
     10'000},
    {Group::LINE,
     "no",
     {"3", "no", "q"},
     "default",
     "Ox",
     {"\r REPONSE > ATTENTE REPONSE LECTEUR ...                     ", EN_ATTENTE_NO, QUIT_MESSAGE},
     11'000},
    {Group::PSS,
     "sup_tla",
     {"3", "sup_tla", "q"},
     "default,on-hold",
     "Ox",
     {"\r           CONNEXION LECTEUR OK", "\r           LECTEUR EN ATTENTE ", QUIT_MESSAGE},
     28'000},
    {Group::PSS,
     "cb",
     {"3", "cb", "q"},
     "default,on-hold",
     "Ox",
     {"\r           PREPARATION DU CHARGEMENT MONETIQUE                    ",
      "\r           LECTEUR EN ATTENTE               ", QUIT_MESSAGE},
     25'000},
    {Group::PSS,
     "charge 5",
     {"3", "charge", "ORBEX_112", "5", "q"},
     "default,on-hold",
     "Okx",
     {ORBEX, EN_ATTENTE_CHARGE, INSTALLED_5, INSTALLED_6, QUIT_MESSAGE},
     320'000},
};
constexpr uint64_t SCENARIO_COUNT = std::size(SCENARIOS);

// --- the timing of a run --------------------------------------------------

enum class Delivery { PACED, BYTE_GAP, USB };

struct Timing {
    int64_t turnaround_ms = 0;
    int64_t jitter_ms = 0;
    int64_t phase_ms = 0;  // of every start-up frame in the calendar second
    Delivery delivery = Delivery::PACED;
    int64_t byte_gap_us = 0;
    int64_t usb_latency_ms = 0;
    int64_t power_on_ms = 0;      // after the port is configured (when not on hold)
    int64_t restart_ms = 0;       // after an accepted TLA removal or payment loading
    int64_t user_ms = 0;          // the reader's user answering the removal question
    std::vector<int64_t> key_ms;  // each key pressed this long after it is asked for

    // The profile options that play it, with the reader's own seed.
    std::string options(uint64_t seed) const {
        std::ostringstream o;
        o << ",turnaround-ms=" << turnaround_ms << ",jitter-ms=" << jitter_ms
          << ",startup-phase-ms=" << phase_ms << ",power-on-ms=" << power_on_ms
          << ",restart-ms=" << restart_ms << ",user-ms=" << user_ms
          << ",seed=" << seed % 4'294'967'296u;
        if (delivery == Delivery::BYTE_GAP) o << ",byte-gap-us=" << byte_gap_us;
        if (delivery == Delivery::USB) o << ",usb-latency-ms=" << usb_latency_ms;
        return o.str();
    }
    // The technician's delays, and the reader's that the scenario meets:
    // they come on top of its waits.
    int64_t delays_ms(const Scenario& sc) const {
        int64_t sum = 0;
        for (int64_t k : key_ms) sum += k;
        if (sc.profile.find("on-hold") == std::string::npos) sum += power_on_ms;
        if (sc.group == Group::PSS || sc.group == Group::DEFAULT_SCRIPT)
            sum += restart_ms + user_ms;
        return sum;
    }
};

// Drawn from the seed with the generator's raw output, which is the same on
// every platform.
Timing draw(uint64_t seed, std::size_t keys) {
    std::mt19937_64 random(seed);
    auto pick = [&random](int64_t low, int64_t high) {
        return low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
    };
    Timing t;
    t.turnaround_ms = pick(0, 20);
    t.jitter_ms = pick(0, 20);
    t.phase_ms = pick(0, 999);
    t.delivery = static_cast<Delivery>(pick(0, 2));
    t.byte_gap_us = pick(1001, 1500);  // just over the 1 ms interval time-out
    t.usb_latency_ms = pick(1, 16);
    // Once "no" waits (at most 2.3 s after the port is configured), and
    // early enough for its 30 s wait to see the start-up frame.
    t.power_on_ms = pick(2000, 27'000);
    t.restart_ms = pick(600, 5000);
    t.user_ms = pick(0, 3000);
    for (std::size_t i = 0; i < keys; ++i) t.key_ms.push_back(pick(0, 3000));
    return t;
}

std::string describe(const Timing& t, uint64_t seed) {
    static const char* const DELIVERY[] = {"paced", "byte-gap", "usb"};
    std::ostringstream o;
    o << DELIVERY[static_cast<int>(t.delivery)] << t.options(seed);
    o << ", keys after";
    for (int64_t k : t.key_ms) o << " " << k;
    o << " ms";
    return o.str();
}

// --- watching a run -------------------------------------------------------

// Every wait of the utility looks at the clock: many more looks than
// milliseconds pass is a loop that does not wait.
constexpr int64_t LOOKS_PER_MS = 20;
constexpr int64_t LOOK_SLACK = 100'000;
constexpr int64_t KEY_POLLS_PER_MS = 1;
constexpr int64_t KEY_POLL_SLACK = 1000;

// A virtual clock that stops the session (by throwing out of it) when its
// time runs past the limit, or when it is looked at without time passing.
class WatchedClock : public VirtualClock {
  public:
    void watch(int64_t limit_ms) {
        start_ms_ = VirtualClock::calendar_ms();
        limit_ms_ = limit_ms;
    }
    int64_t calendar_ms() override {
        const int64_t now = VirtualClock::calendar_ms();
        if (tripped_) return now;
        ++looks_;
        if (now - start_ms_ > limit_ms_) trip("virtual time ran past what the waits allow");
        if (looks_ > LOOKS_PER_MS * (now - start_ms_) + LOOK_SLACK)
            trip("the clock was looked at without time passing: a spin");
        return now;
    }
    int64_t now_ms() { return VirtualClock::calendar_ms(); }
    int64_t elapsed_ms() { return now_ms() - start_ms_; }
    [[noreturn]] void trip(const char* why) {
        tripped_ = true;
        throw WatchdogTripped{why};
    }

  private:
    int64_t start_ms_ = 0;
    int64_t limit_ms_ = 0;
    int64_t looks_ = 0;
    bool tripped_ = false;
};

// The keyboard, whose key tests count as looks too.
class WatchedConsole : public ScriptedConsole {
  public:
    explicit WatchedConsole(WatchedClock& clock) : clock_(clock) { stamp_with(&clock); }
    bool key_pressed() override {
        if (++polls_ > KEY_POLLS_PER_MS * clock_.elapsed_ms() + KEY_POLL_SLACK)
            clock_.trip("the keyboard was polled without time passing: a spin");
        return ScriptedConsole::key_pressed();
    }

  private:
    WatchedClock& clock_;
    int64_t polls_ = 0;
};

// Stands between the utility and the reader and notes when each byte
// reached the utility, and when the utility last wrote.
class Recorder : public LinePeer {
  public:
    explicit Recorder(LinePeer& inner) : inner_(inner) {}
    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        writes.push_back(now_ms);
        inner_.on_write(data, count, baud, now_ms);
    }
    void on_settings(const LineSettings& settings, int64_t now_ms) override {
        inner_.on_settings(settings, now_ms);
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        const std::size_t before = out.size();
        inner_.deliver(now_ms, out);
        received.insert(received.end(), out.begin() + static_cast<std::ptrdiff_t>(before),
                        out.end());
        arrivals.resize(received.size(), now_ms);
    }
    int64_t next_delivery_ms(int64_t now_ms) override { return inner_.next_delivery_ms(now_ms); }
    bool connected() override { return inner_.connected(); }
    // Takes what the reader had on its way when the session ended, so that
    // a frame the utility began to read is whole in the record.
    void drain(int64_t at_ms) { deliver(at_ms, spare_); }

    std::vector<uint8_t> received;
    std::vector<int64_t> arrivals;  // of each received byte
    std::vector<int64_t> writes;

  private:
    LinePeer& inner_;
    std::vector<uint8_t> spare_;
};

// --- one run --------------------------------------------------------------

// Long enough for a frame under way to cross the line, too short for the
// reader to start another.
constexpr int64_t DRAIN_MS = 2000;

struct WatchedRun {
    std::string failure;  // empty when the session ended as its scenario specifies
    std::string output;
    int64_t elapsed_ms = 0;
};

using Inspect = std::function<void(const Recorder& line, const ScriptedConsole& console)>;

// Runs the scenario's session against a reader of this profile, each key
// pressed its delay after it is asked for, stopped at limit_ms; inspect
// sees the line's record and the console afterwards.
WatchedRun run_watched(const Scenario& sc, const std::string& profile,
                       const std::vector<int64_t>& key_ms, int64_t limit_ms,
                       const Inspect& inspect = nullptr) {
    sim::VirtualReader reader(profile_of(profile), sim::FaultKnobs{}, true);
    Recorder line(reader);
    WatchedClock clock;
    WatchedConsole console(clock);
    for (std::size_t i = 0; i < sc.keys.size(); ++i)
        console.type_after(i < key_ms.size() ? key_ms[i] : 0, sc.keys.substr(i, 1));
    clock.watch(limit_ms);
    const Seams seams{console, clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                          return std::make_unique<SimSerialDevice>(clock, line);
                      }};
    WatchedRun run;
    try {
        const int status = run_session(sc.args, seams);
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
        run.failure = w.why + " (" + std::to_string(limit_ms) + " ms)";
    }
    run.output = console.output();
    run.elapsed_ms = clock.elapsed_ms();
    if (inspect) {
        line.drain(clock.now_ms() + DRAIN_MS);
        inspect(line, console);
    }
    return run;
}

std::string tail(const std::string& out) {
    return out.substr(out.size() > 400 ? out.size() - 400 : 0);
}

// Empty when the seed's run ended as its command specifies; otherwise what
// went wrong, how to play it again and how the console ended.
std::string run_seed(uint64_t seed) {
    const Scenario& sc = SCENARIOS[seed % SCENARIO_COUNT];
    const Timing t = draw(seed, sc.keys.size());
    const WatchedRun run =
        run_watched(sc, sc.profile + t.options(seed), t.key_ms, sc.waits_ms + t.delays_ms(sc));
    if (run.failure.empty()) return {};
    std::ostringstream report;
    report << "seed " << seed << " (" << sc.name << "; " << describe(t, seed)
           << "): " << run.failure << " after " << run.elapsed_ms
           << " ms\n  reproduce: KORVA_SOAK_SEED=" << seed
           << " reliability_tests --gtest_filter='Soak.*'\n  console ends: [" << tail(run.output)
           << "]";
    return report.str();
}

uint64_t env_number(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return otherwise;
    return std::strtoull(text, nullptr, 10);
}

// Runs the seeds whose scenario is in the group; one failure per seed.
void soak(Group group) {
    korva::testing::TempWorkDir dir;  // no liste.dvo; the trace and client files land here
    std::vector<uint64_t> seeds;
    if (const uint64_t one = env_number("KORVA_SOAK_SEED", 0); one != 0) {
        seeds.push_back(one);
    } else {
        for (uint64_t s = 1; s <= env_number("KORVA_SOAK_SEEDS", KORVA_SOAK_DEFAULT_SEEDS); ++s)
            seeds.push_back(s);
    }
    unsigned runs = 0;
    for (uint64_t seed : seeds) {
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

// The one frame that a wait is for, sent so that its first byte reaches the
// utility in the read that was still open when the wait's deadline passed:
// where a wait that gives up at its deadline loses it (and, for the start-up
// frame after the TLA removal, there is no other). A profile option moves
// the frame; its values are tried in turn until one meets that moment, and
// that run must end as its command specifies.
struct Deadline {
    const char* scenario;  // of the soak
    const char* delivery;  // "" for paced bytes, or the profile option
    uint8_t code;          // of the frame
    bool last;             // the last frame of that code the reader sends, or the first
    int64_t seconds;       // of the wait
    int64_t settle_ms;     // from the utility's last print or write to the wait's start
    const char* knob;      // the profile option that moves the frame
    int64_t from, to, step;
};

void PrintTo(const Deadline& d, std::ostream* os) {
    *os << d.scenario << (d.delivery[0] != '\0' ? ", byte by byte" : ", paced");
}

// An idle read with the framed time-outs.
constexpr int64_t IDLE_READ_MS = 255;
// "no" reads away 50 stale bytes before its wait: 1 + 50 x 1 ms.
constexpr int64_t STALE_READ_MS = 51;
const char* const BYTE_BY_BYTE = ",byte-gap-us=1100";

const Deadline DEADLINES[] = {
    // charge 5: the restart wait's one-second waits end every other second.
    {"charge 5", "", 0xF2, true, 1, 0, "restart-ms", 1500, 4500, 1000},
    {"charge 5", BYTE_BY_BYTE, 0xF2, true, 1, 0, "restart-ms", 1500, 4500, 1000},
    {"no", "", 0xF2, false, 30, STALE_READ_MS, "power-on-ms", 29000, 33000, 250},
    {"no", BYTE_BY_BYTE, 0xF2, false, 30, STALE_READ_MS, "power-on-ms", 29000, 33000, 250},
    {"sup_tla", "", 0xF2, true, 30, 0, "restart-ms", 27000, 33000, 250},
    {"sup_tla", BYTE_BY_BYTE, 0xF2, true, 30, 0, "restart-ms", 27000, 33000, 250},
    // An ordinary answer: the first block-list item at the end of its 2 s
    // wait (the turnaround also delays the boot probe's answer, within its
    // 5 s).
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

// Whether the frame's first byte came in the read that was open when the
// wait's deadline passed: at or after that instant (a wait that went on
// reading after it can only have begun that read before), within a read.
bool at_deadline(const Deadline& d, const Recorder& line, const ScriptedConsole& console) {
    int64_t first_byte = -1;
    for (const FrameSpan& f : frame_map(line.received)) {
        if (f.code != d.code) continue;
        first_byte = line.arrivals[f.start];
        if (!d.last) break;
    }
    if (first_byte < 0) return false;
    int64_t acted = console.last_print_before(first_byte);
    for (int64_t w : line.writes) {
        if (w <= first_byte) acted = std::max(acted, w);
    }
    const int64_t wait_start = acted + d.settle_ms;
    const int64_t deadline_passes = (wait_start / 1000 + d.seconds + 1) * 1000;
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
        const WatchedRun run =
            run_watched(sc, profile, {}, sc.waits_ms + 3 * value,
                        [&](const Recorder& line, const ScriptedConsole& console) {
                            met = at_deadline(d, line, console);
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
