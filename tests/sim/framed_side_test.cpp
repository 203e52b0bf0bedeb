// The reader's framed side: frame format, the answers to each request, the
// speed switch, the hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/frame_codec.h"
#include "tests/sim/reader_line.h"

namespace korva::sim::testing {
namespace {

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(FrameCodec, BuildsTheWorkedExamplesByteForByte) {
    Frame reset{0x02, 0xFC, 0x00, {{MARK_SO, {0x00}}}};
    EXPECT_EQ(build_frame(reset),
              (Bytes{0x10, 0x02, 0x02, 0xFC, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE1}));
    Frame speed{0x02, 0xF3, 0x00, {{MARK_SO, {0x02}}}};
    EXPECT_EQ(build_frame(speed),
              (Bytes{0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x02, 0x10, 0x03, 0xEC}));
    // A data byte 0x10 goes out doubled and leaves the check as it was.
    Frame erase{0x02, 0xFF, 0x00, {{MARK_SO, {0x10}}}};
    EXPECT_EQ(build_frame(erase),
              (Bytes{0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03, 0xE2}));
    // A frame without sections.
    Frame bare{0x03, 0xF2, 0x10, {}};
    EXPECT_EQ(build_frame(bare), (Bytes{0x10, 0x02, 0x03, 0xF2, 0x10, 0x10, 0x03, 0xE0}));
}

TEST(FrameCodec, ParsesStuffedSectionsAndDropsBadChecksAndGarbage) {
    FrameParser parser;
    auto feed = [&parser](const Bytes& bytes) {
        int frames = 0;
        for (uint8_t b : bytes) frames += parser.push(b) ? 1 : 0;
        return frames;
    };
    // Garbage, a lone DLE, then the erase example with its doubled 0x10.
    EXPECT_EQ(feed({0x55, 0x10, 0x41, 0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10,
                    0x03, 0xE2}),
              1);
    ASSERT_NE(parser.frame().section(MARK_SO), nullptr);
    EXPECT_EQ(*parser.frame().section(MARK_SO), Bytes{0x10});
    // The same frame with the wrong check byte is dropped.
    EXPECT_EQ(feed({0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03, 0xE3}), 0);
    EXPECT_EQ(parser.bad_checks(), 1u);
    // Direction 0x03 is accepted; two sections in one frame.
    EXPECT_EQ(feed(request(0xF1, 0x0E, {0x55}, 0)), 1);
    EXPECT_EQ(feed({0x10, 0x02, 0x03, 0xF1, 0x00, 0x10, 0x0E, 0x55, 0x10, 0x0F, 0x07, 0x10, 0x03,
                    static_cast<uint8_t>(0x10 ^ 0x02 ^ 0x03 ^ 0xF1 ^ 0x10 ^ 0x0E ^ 0x55 ^ 0x10 ^
                                         0x0F ^ 0x07 ^ 0x10 ^ 0x03)}),
              1);
    EXPECT_EQ(parser.frame().direction, 0x03);
    EXPECT_EQ(*parser.frame().section(MARK_SI), Bytes{0x07});
    // An endless section is abandoned, and the parser finds the next frame.
    Bytes flood{0x10, 0x02, 0x02, 0xF1, 0x00, 0x10, 0x0F};
    flood.insert(flood.end(), FrameParser::MAX_SECTION + 10, 0x33);
    EXPECT_EQ(feed(flood), 0);
    EXPECT_EQ(feed(request(0xF7, 0x0E, {0x00})), 1);
}

TEST(FramedSide, SpeedRequestOfTheWorkedExampleIsAnsweredThenTheReaderSwitches) {
    ReaderLine line;
    line.set_speed(9600);
    const Bytes example{0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x02, 0x10, 0x03, 0xEC};
    const Unframed got = line.exchange(example);
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].code, 0xF3);
    EXPECT_EQ(got.frames[0].so, Bytes{0x02});
    EXPECT_EQ(line.reader.line_baud(), 19200u);
    // At the old speed the reader hears garbage: no answer.
    EXPECT_TRUE(line.exchange(so_request(0xF7, {0x00})).frames.empty());
    // At the new speed it answers.
    line.set_speed(19200);
    EXPECT_EQ(line.exchange(so_request(0xF7, {0x00})).frames.size(), 1u);
    // Back to 9600 with rate code 1; an unknown rate code is answered 0.
    EXPECT_EQ(line.exchange(so_request(0xF3, {0x01})).frames.at(0).so, Bytes{0x01});
    line.set_speed(9600);
    EXPECT_EQ(line.exchange(so_request(0xF3, {0x07})).frames.at(0).so, Bytes{0x00});
    EXPECT_EQ(line.reader.line_baud(), 9600u);
}

TEST(FramedSide, RequestWithBadCheckIsIgnored) {
    ReaderLine line;
    Bytes bad = so_request(0xF7, {0x00});
    bad.back() ^= 0x01;
    EXPECT_TRUE(line.listen(0).empty());
    const Unframed got = line.exchange(bad);
    EXPECT_TRUE(got.frames.empty());
    EXPECT_TRUE(got.loose.empty());
    EXPECT_EQ(line.reader.bad_checks(), 1u);
    EXPECT_EQ(line.exchange(so_request(0xF7, {0x00})).frames.size(), 1u);
}

// The five zero-separated fields of a boot information answer.
std::vector<std::string> fields(const Bytes& si) {
    std::vector<std::string> out;
    std::string current;
    for (uint8_t b : si) {
        if (b == 0) {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(b);
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

TEST(FramedSide, BootInformationCarriesFiveFieldsWithTheProfilesVersion) {
    for (const auto& [profile, version] :
         {std::pair<std::string, std::string>{"default,on-hold", "4.01"},
          {"boot405,on-hold", "4.05"}}) {
        ReaderLine line(profile);
        const Unframed got = line.exchange(so_request(0xF7, {0x00}));
        ASSERT_EQ(got.frames.size(), 1u);
        EXPECT_EQ(got.frames[0].code, 0xF7);
        EXPECT_TRUE(got.frames[0].has_si);
        EXPECT_LE(got.frames[0].si.size(), 70u);
        const auto f = fields(got.frames[0].si);
        ASSERT_EQ(f.size(), 5u);
        EXPECT_EQ(f[3], version);
    }
}

TEST(FramedSide, BlockListSendsBlockZeroThenIdentityThenEveryBlockUpToTheHighest) {
    ReaderLine line;
    const Unframed got = line.exchange(so_request(0xFB, {0x00}), 3000);
    ASSERT_GT(got.frames.size(), 16u);
    std::vector<int> blocks;
    std::vector<int> tags;
    for (const Reply& r : got.frames) {
        ASSERT_EQ(r.code, 0xFB);
        ASSERT_FALSE(r.so.empty());
        EXPECT_LE(r.so.size(), 252u);
        blocks.push_back(r.so[0] / 2);
        if (r.so[0] == 2) {
            ASSERT_GE(r.so.size(), 4u);
            tags.push_back(r.so[2]);
            EXPECT_EQ(r.so.size(), 4u + r.so[3]);  // the value length fits the item
        }
    }
    EXPECT_EQ(blocks.front(), 0);
    EXPECT_EQ(blocks.back(), 15);
    EXPECT_TRUE(std::is_sorted(blocks.begin(), blocks.end()));
    for (int tag : {0, 1, 2, 3, 5, 27, 28, 29, 30, 34, 35, 36, 80})
        EXPECT_NE(std::find(tags.begin(), tags.end(), tag), tags.end()) << "tag " << tag;
    // Some tag that the utility does not show.
    EXPECT_TRUE(
        std::any_of(tags.begin(), tags.end(), [](int t) { return t == 4 || t == 31 || t == 40; }));
    // Block 0's base software: "KRV" two places after the first '$'.
    const std::string item0 = text(got.frames[0].so);
    const auto dollar = item0.find('$');
    ASSERT_NE(dollar, std::string::npos);
    EXPECT_EQ(item0.substr(dollar + 2, 3), "KRV");
    // The default profile's blocks 5 and 6 hold the TLA; block 8 is empty.
    for (const Reply& r : got.frames) {
        if (r.so[0] == 10 || r.so[0] == 12) {
            EXPECT_NE(r.so[1], '$');
        }
        if (r.so[0] == 16) {
            EXPECT_EQ(text(r.so).substr(1), "$");
        }
    }
}

TEST(FramedSide, ProfilesShapeTheBlockList) {
    auto list = [](const std::string& profile) {
        ReaderLine line(profile + ",on-hold");
        return line.exchange(so_request(0xFB, {0x00}), 5000).frames;
    };
    auto item = [](const std::vector<Reply>& frames, int code) {
        for (const Reply& r : frames)
            if (r.so[0] == code) return text(r.so).substr(1);
        return std::string("(none)");
    };
    const auto boot405 = list("boot405");
    EXPECT_EQ(boot405.back().so[0], 62);  // block 31 last
    const auto reduced = list("reduced-tla");
    EXPECT_NE(item(reduced, 10), "$");
    EXPECT_EQ(item(reduced, 12), "$");
    const auto no_tla = list("no-tla");
    EXPECT_EQ(item(no_tla, 10), "$");
    const auto ker = list("ker");
    EXPECT_EQ(item(ker, 0).substr(item(ker, 0).find('$') + 2, 3), "KER");
    const auto empty = list("empty");
    for (int code = 0; code <= 30; code += 2)
        if (code != 2) {
            EXPECT_EQ(item(empty, code), "$") << code;
        }
}

TEST(FramedSide, EraseAnswersWithTheBlockCodeAndEmptiesTheBlock) {
    ReaderLine line;
    const Unframed got = line.exchange(so_request(0xFF, {0x06}));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].code, 0xFF);
    EXPECT_EQ(got.frames[0].so, Bytes{0x06});
    EXPECT_EQ(line.reader.software(3), nullptr);
    EXPECT_NE(line.reader.software(4), nullptr);
    // Block code 16 travels stuffed.
    EXPECT_EQ(line.exchange(so_request(0xFF, {0x10})).frames.at(0).so, Bytes{0x10});
    // The identity block and codes past the last block are refused.
    EXPECT_NE(line.exchange(so_request(0xFF, {0x02})).frames.at(0).so, Bytes{0x02});
    EXPECT_NE(line.exchange(so_request(0xFF, {40})).frames.at(0).so, Bytes{40});
}

TEST(FramedSide, HoldPairAndEraseHundredPutTheReaderOnHold) {
    ReaderLine line("default");
    line.reader.power_on_at(line.now());
    line.listen(600);  // the start-up frame
    EXPECT_FALSE(line.reader.on_hold());
    line.write(request(0xF9, 0x0E, {0x00}));
    line.write(request(0xFD, 0x0E, {0x00}));
    EXPECT_TRUE(line.listen(100).empty());  // the pair is not answered
    EXPECT_TRUE(line.reader.on_hold());
    const Unframed got = line.exchange(so_request(0xFF, {100}));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].so, Bytes{100});
    // On hold, the TLA never starts.
    EXPECT_TRUE(line.listen(10000).empty());
    EXPECT_EQ(line.reader.mode(), ReaderMode::Boot);
}

}  // namespace
}  // namespace korva::sim::testing
