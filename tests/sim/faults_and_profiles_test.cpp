// The line faults of the virtual reader, and the text forms of its profiles
// and fault knobs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/sim/reader_line.h"
#include "tests/support/session_harness.h"

namespace korva::sim::testing {
namespace {

Bytes boot_info_answer(const char* knob) {
    ReaderLine line("default,on-hold", faults_of({knob}));
    line.write(so_request(0xF7, {0}));
    return line.listen(1000);
}

TEST(LineFaults, CorruptCheckSpoilsTheChosenFrameOnly) {
    ReaderLine line("default,on-hold", faults_of({"corrupt-check=2"}));
    Unframed first = line.exchange(so_request(0xF7, {0}));
    EXPECT_EQ(first.frames.size(), 1u);
    Unframed second = line.exchange(so_request(0xF7, {0}));
    EXPECT_TRUE(second.frames.empty());
    EXPECT_EQ(second.bad_checks, 1u);
    EXPECT_EQ(line.exchange(so_request(0xF7, {0})).frames.size(), 1u);
}

TEST(LineFaults, DropAndDuplicateTouchExactlyOneByte) {
    ReaderLine plain("default,on-hold");
    plain.write(so_request(0xF7, {0}));
    const Bytes reference = plain.listen(1000);
    const Bytes dropped = boot_info_answer("drop=6");
    ASSERT_EQ(dropped.size(), reference.size() - 1);
    Bytes expect = reference;
    expect.erase(expect.begin() + 5);
    EXPECT_EQ(dropped, expect);
    EXPECT_TRUE(unframe(dropped).frames.empty());
    const Bytes doubled = boot_info_answer("duplicate=6");
    expect = reference;
    expect.insert(expect.begin() + 5, reference[5]);
    EXPECT_EQ(doubled, expect);
}

TEST(LineFaults, NoiseComesBetweenFramesAndLeavesThemReadable) {
    const Bytes noisy = boot_info_answer("noise");
    const Unframed got = unframe(noisy);
    EXPECT_EQ(got.frames.size(), 1u);
    EXPECT_FALSE(got.loose.empty());
    EXPECT_NE(got.loose.back(), 0x10);
}

TEST(LineFaults, ReportFaFollowsEveryAnswer) {
    ReaderLine line("default,on-hold", faults_of({"report-fa"}));
    const Unframed got = line.exchange(so_request(0xFF, {100}));
    ASSERT_EQ(got.frames.size(), 2u);
    EXPECT_EQ(got.frames[0].code, 0xFF);
    EXPECT_EQ(got.frames[1].code, 0xFA);
    EXPECT_EQ(got.frames[1].so.size(), 129u);
}

TEST(FaultKnobs, TextFormsAndMistakes) {
    FaultKnobs f;
    std::string error;
    EXPECT_TRUE(parse_fault("corrupt-check", f, error));
    EXPECT_EQ(f.corrupt_check, 1u);
    EXPECT_TRUE(parse_fault("poll-status=0x92", f, error));
    EXPECT_EQ(f.poll_status, 0x92);
    EXPECT_TRUE(parse_fault("poll-other=3", f, error));
    EXPECT_EQ(f.poll_other, 3u);
    EXPECT_TRUE(parse_fault("refuse-packet=7", f, error));
    EXPECT_EQ(f.refuse_packet, 7u);
    for (const char* bad :
         {"drop", "drop=0", "drop=x", "noise=3", "explode", "poll-status=300", ""}) {
        EXPECT_FALSE(parse_fault(bad, f, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Profiles, NamesOptionsAndFiles) {
    ReaderProfile p;
    std::string error;
    for (const std::string& name : profile_names())
        EXPECT_TRUE(parse_profile(name, p, error)) << name;
    ASSERT_TRUE(parse_profile("boot405,pad=5,pss-speed=19200,start=B,on-hold", p, error)) << error;
    EXPECT_EQ(p.highest_block, 31);
    EXPECT_EQ(p.pad, 5);
    EXPECT_EQ(p.pss_speed, 19200u);
    EXPECT_EQ(p.start_byte, 'B');
    EXPECT_TRUE(p.on_hold);
    EXPECT_EQ(p.turnaround_ms, 3);
    ASSERT_TRUE(parse_profile("default,turnaround-ms=0", p, error)) << error;
    EXPECT_EQ(p.turnaround_ms, 0);
    EXPECT_FALSE(parse_profile("default,turnaround-ms=-1", p, error));
    EXPECT_FALSE(parse_profile("default,turnaround-ms=fast", p, error));
    ASSERT_TRUE(parse_profile("default,tla-start-ms=1200,user-ms=100,restart-ms=800", p, error))
        << error;
    EXPECT_EQ(p.tla_start_ms, 1200);
    EXPECT_EQ(p.user_answer_ms, 100);
    EXPECT_EQ(p.self_restart_ms, 800);
    EXPECT_FALSE(parse_profile("default,restart-ms=200", p, error));
    // The start bytes must come after the raw read's one-second silence.
    EXPECT_FALSE(parse_profile("default,tla-start-ms=1000", p, error));
    EXPECT_FALSE(parse_profile("nonesuch", p, error));
    EXPECT_FALSE(parse_profile("default,pad=15", p, error));
    EXPECT_FALSE(parse_profile("default,pss-speed=4800", p, error));
    // The timing of real lines and adapters.
    ASSERT_TRUE(parse_profile("default,startup-phase-ms=999,usb-latency-ms=16,jitter-ms=5,seed=7",
                              p, error))
        << error;
    EXPECT_EQ(p.startup_phase_ms, 999);
    EXPECT_EQ(p.usb_latency_ms, 16);
    EXPECT_EQ(p.jitter_ms, 5);
    EXPECT_EQ(p.seed, 7u);
    ASSERT_TRUE(parse_profile("default,byte-gap-us=1100", p, error)) << error;
    EXPECT_EQ(p.byte_gap_us, 1100);
    for (const char* bad :
         {"default,startup-phase-ms=1000", "default,usb-latency-ms=0", "default,usb-latency-ms=17",
          "default,byte-gap-us=0", "default,byte-gap-us=1100,usb-latency-ms=1"})
        EXPECT_FALSE(parse_profile(bad, p, error)) << bad;

    korva::testing::TempWorkDir dir;
    dir.write_file("lecteur.txt", "# a reader at PAD 7\nprofile=no-tla\npad=7\n\non-hold=yes\n");
    ASSERT_TRUE(parse_profile("lecteur.txt", p, error)) << error;
    EXPECT_EQ(p.pad, 7);
    EXPECT_TRUE(p.on_hold);
    EXPECT_EQ(p.software.count(5), 0u);
    dir.write_file("bad.txt", "speed=fast\n");
    EXPECT_FALSE(parse_profile("bad.txt", p, error));
    EXPECT_NE(error.find("speed=fast"), std::string::npos);
}

TEST(Profiles, HelpNamesEveryProfileAndKnob) {
    const std::string help = profiles_and_faults_help();
    for (const std::string& name : profile_names()) EXPECT_NE(help.find(name), std::string::npos);
    std::istringstream knobs(
        "corrupt-check drop=N duplicate=N noise silent-after=N refuse-packet=K wrong-checksum "
        "refuse-signature unplug-after=N restart-after=N report-fa poll-status= poll-other=N pad=N "
        "on-hold turnaround-ms=N startup-phase-ms=N byte-gap-us=N usb-latency-ms=N jitter-ms=N "
        "seed=S");
    for (std::string knob; knobs >> knob;) EXPECT_NE(help.find(knob), std::string::npos) << knob;
}

}  // namespace
}  // namespace korva::sim::testing
