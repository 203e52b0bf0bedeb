// Downloads into the virtual reader: acknowledgement numbering, the sum, the
// last packet's answer, the signature check, and the faults on the way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>

#include "images/embedded_images.h"
#include "sim/image_set.h"
#include "tests/sim/reader_line.h"

namespace korva::sim::testing {
namespace {

std::span<const uint8_t> image(int index) {
    const StoredImage& s = embedded_images()[static_cast<std::size_t>(index)];
    return {s.bytes + 6, s.size - 6};
}

struct Transfer {
    bool ok = false;
    unsigned packets = 0;
    std::vector<uint8_t> sequences_named;  // SI[0] of every intermediate ack
    uint32_t local_sum = 0;
    uint32_t reader_sum = 0;
    bool refused = false;
    std::string failure;
};

// Sends body into block code like the utility does: start, 80-byte packets
// numbered from 1, the last under sequence 0. The next sequence number is
// the one the reader names; when that is not the previous one plus one (the
// wrap after 255), it is taken from the ack's check byte as the XOR of its
// six SI bytes. A refused packet is sent again when the reader asks for it.
Transfer download(ReaderLine& line, std::span<const uint8_t> body, uint8_t code) {
    Transfer t;
    Unframed start = line.exchange(so_request(0xF1, {code, 0, 0, 0}), 100);
    if (start.frames.size() != 1 || start.frames[0].so != Bytes{0x55}) {
        t.failure = "start";
        return t;
    }
    std::size_t pos = 0;
    uint8_t sequence = 1;
    while (pos < body.size()) {
        const std::size_t n = std::min<std::size_t>(80, body.size() - pos);
        const bool last = body.size() - pos <= 80;
        Bytes si{last ? uint8_t{0} : sequence};
        si.insert(si.end(), body.begin() + static_cast<std::ptrdiff_t>(pos),
                  body.begin() + static_cast<std::ptrdiff_t>(pos + n));
        const Unframed got = line.exchange(request(0xF1, 0x0F, si), 500);
        ++t.packets;
        if (got.frames.size() != 1 || got.frames[0].code != 0xF1 || got.frames[0].si.size() != 6) {
            t.failure = "no ack to packet " + std::to_string(t.packets);
            return t;
        }
        const Reply& ack = got.frames[0];
        if (ack.so != Bytes{0x55}) {
            t.refused = true;
            if (ack.si[0] != sequence) {
                t.failure = "sequence error";
                return t;
            }
            continue;  // the same packet again
        }
        for (std::size_t i = 0; i < n; ++i) t.local_sum += body[pos + i];
        pos += n;
        if (last) {
            t.reader_sum = (ack.si[3] << 16) | (ack.si[4] << 8) | ack.si[5];
            t.ok = true;
            return t;
        }
        t.local_sum += sequence;
        t.sequences_named.push_back(ack.si[0]);
        if (ack.si[0] == sequence + 1) {
            sequence = ack.si[0];
        } else {
            sequence = ack.check ^ 0x03 ^ 0x10 ^ 0xB5;
        }
    }
    t.ok = true;
    return t;
}

Bytes signature_request(uint8_t code, std::span<const uint8_t> trailer) {
    Bytes so{code};
    so.insert(so.end(), trailer.begin(), trailer.end());
    return so_request(0xF4, so);
}

TEST(Download, AcksNumberFromOneWrapAfter255NeverZeroAndTheLastGivesTheSum) {
    ReaderLine line("default,on-hold", {}, false);
    const auto supervisor = image(1);
    const auto body = supervisor.first(supervisor.size() - 128);  // 35206 bytes
    ASSERT_EQ(line.exchange(so_request(0xFF, {4})).frames.at(0).so, Bytes{4});
    const Transfer t = download(line, body, 4);
    ASSERT_TRUE(t.ok) << t.failure;
    EXPECT_EQ(t.packets, 441u);
    ASSERT_EQ(t.sequences_named.size(), 440u);
    for (std::size_t i = 0; i < t.sequences_named.size(); ++i) {
        const unsigned sent = i % 255 + 1;  // 1..255, then 1 again
        EXPECT_EQ(t.sequences_named[i], sent == 255 ? 1 : sent + 1) << "ack " << i;
        EXPECT_NE(t.sequences_named[i], 0) << "ack " << i;
    }
    EXPECT_EQ(t.reader_sum, t.local_sum & 0xFFFFFF);
    ASSERT_NE(line.reader.downloaded(4), nullptr);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), line.reader.downloaded(4)->begin(),
                           line.reader.downloaded(4)->end()));
}

TEST(Download, PacketOutOfSequenceIsRefusedNamingTheExpectedOne) {
    ReaderLine line;
    line.exchange(so_request(0xF1, {4, 0, 0, 0}));
    Bytes packet{1};
    packet.resize(81, 0x22);
    EXPECT_EQ(line.exchange(request(0xF1, 0x0F, packet)).frames.at(0).si.at(0), 2);
    packet[0] = 5;
    const Unframed got = line.exchange(request(0xF1, 0x0F, packet));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_NE(got.frames[0].so, Bytes{0x55});
    EXPECT_EQ(got.frames[0].si.at(0), 2);
}

struct Installed {
    Reply answer;
    std::string publisher, name;
    uint8_t major = 0, minor = 0;
};

// Reads a signature answer the way the utility does: block code, publisher
// up to '$', name up to the next '$' counting the bytes from 0x20 to 0x7D,
// version bytes at that second '$' + 28 - the count.
Installed read_installed(const Reply& r) {
    Installed in;
    in.answer = r;
    const Bytes& d = r.si;
    std::size_t i = 1;
    while (i < d.size() && d[i] != '$') in.publisher += static_cast<char>(d[i++]);
    ++i;
    std::size_t printed = 0;
    while (i < d.size() && d[i] != '$') {
        if (d[i] >= 0x20 && d[i] <= 0x7D) ++printed;
        in.name += static_cast<char>(d[i++]);
    }
    const std::size_t v = i + 28 - printed;
    if (v + 1 < d.size()) {
        in.major = d[v];
        in.minor = d[v + 1];
    }
    return in;
}

TEST(Signature, AcceptedPartIsReportedWithItsBlockNameAndVersionAndListed) {
    ReaderLine line("default,on-hold", {}, false);
    const auto tla = image(3);
    const std::size_t p = 61532;
    const auto second = tla.subspan(p);
    ASSERT_TRUE(download(line, second.first(second.size() - 128), 10).ok);
    const Unframed got = line.exchange(signature_request(10, second.last(128)));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].code, 0xF4);
    EXPECT_EQ(got.frames[0].so, Bytes{0x55});
    EXPECT_LE(got.frames[0].si.size(), 128u);
    const Installed in = read_installed(got.frames[0]);
    EXPECT_EQ(got.frames[0].si.at(0), 10);  // block 5: the first part goes to 2 x 5 + 2
    EXPECT_EQ(in.publisher, "ORBEX");
    EXPECT_EQ(in.name, "TLA ORBEX");
    EXPECT_EQ(in.major, 1);
    EXPECT_EQ(in.minor, 12);

    // The first part into block code 12.
    const auto first = tla.first(p);
    ASSERT_TRUE(download(line, first.first(p - 128), 12).ok);
    const Unframed got2 = line.exchange(signature_request(12, first.last(128)));
    ASSERT_EQ(got2.frames.size(), 1u);
    EXPECT_EQ(got2.frames[0].so, Bytes{0x55});
    EXPECT_EQ(read_installed(got2.frames[0]).name, "ORBEX DONNEES");

    // The block list shows what was installed.
    ASSERT_NE(line.reader.software(5), nullptr);
    EXPECT_EQ(line.reader.software(5)->descriptor, "ORBEX$TLA ORBEX$");
    bool listed = false;
    for (const Reply& r : line.exchange(so_request(0xFB, {0}), 2000).frames)
        if (r.so.at(0) == 12)
            listed = std::string(r.so.begin() + 1, r.so.end()) == "ORBEX$ORBEX DONNEES$";
    EXPECT_TRUE(listed);
}

TEST(Signature, TypedBlockThreeSecondPartIsReportedInBlockThree) {
    ReaderLine line("default,on-hold", {}, false);
    const auto pss = image(2);
    const auto second = pss.subspan(41074);
    ASSERT_TRUE(download(line, second.first(second.size() - 128), 6).ok);
    const Unframed got = line.exchange(signature_request(6, second.last(128)));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].so, Bytes{0x55});
    EXPECT_EQ(got.frames[0].si.at(0) / 2 * 2 + 2, 8);  // first part to block code 8
}

TEST(Signature, CorruptedPartWrongTrailerOrNoDownloadIsRefused) {
    ReaderLine line("default,on-hold", {}, false);
    const auto base = image(0);
    Bytes body(base.begin(), base.end() - 128);
    body[5000] ^= 0x01;  // one bit changed on the way
    ASSERT_TRUE(download(line, body, 0).ok);
    Unframed got = line.exchange(signature_request(0, base.last(128)));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_NE(got.frames[0].so, Bytes{0x55});

    // The right part with another part's trailer.
    body[5000] ^= 0x01;
    ASSERT_TRUE(download(line, body, 0).ok);
    got = line.exchange(signature_request(0, image(1).last(128)));
    EXPECT_NE(got.frames.at(0).so, Bytes{0x55});
    // The right trailer is accepted.
    got = line.exchange(signature_request(0, base.last(128)));
    EXPECT_EQ(got.frames.at(0).so, Bytes{0x55});
    // A block that received nothing.
    got = line.exchange(signature_request(14, base.last(128)));
    EXPECT_NE(got.frames.at(0).so, Bytes{0x55});
}

// korva-reader-sim --images DIR: every "*.img" file of DIR, read by the
// reader's own rules; another kind of file is left alone.
TEST(ImageSet, ReadsEveryImageFileOfAFolderOrNamesTheBadOne) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("korva-sim-images-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    for (const StoredImage& stored : embedded_images()) {
        std::ofstream(dir / stored.name, std::ios::binary)
            .write(reinterpret_cast<const char*>(stored.bytes), std::streamsize(stored.size));
    }
    std::ofstream(dir / "notes.txt") << "x";
    ImageSet set;
    std::string error;
    EXPECT_TRUE(read_image_dir(dir.string(), set, error));
    EXPECT_EQ(set.parts.size(), 7u);  // three one-part images, two two-part ones

    std::ofstream(dir / "short.img", std::ios::binary) << std::string("\0\0\0\0\0\x09", 6);
    EXPECT_FALSE(read_image_dir(dir.string(), set, error));
    EXPECT_EQ(error, (dir / "short.img").string() + ": its length digits give 9 bytes, it holds 0");
    fs::remove_all(dir);
    EXPECT_FALSE(read_image_dir(dir.string(), set, error));
    EXPECT_EQ(error.rfind(dir.string() + ": ", 0), 0u) << error;
}

TEST(DownloadFaults, RefusedPacketIsAskedForAgainOnceAndTheSumCountsItOnce) {
    ReaderLine line("default,on-hold", faults_of({"refuse-packet=3"}), false);
    const auto base = image(1);
    const Transfer t = download(line, base.first(base.size() - 128), 4);
    ASSERT_TRUE(t.ok) << t.failure;
    EXPECT_TRUE(t.refused);
    EXPECT_EQ(t.packets, 442u);  // one packet twice
    EXPECT_EQ(t.reader_sum, t.local_sum & 0xFFFFFF);
}

TEST(DownloadFaults, WrongChecksumIsOffByOne) {
    ReaderLine line("default,on-hold", faults_of({"wrong-checksum"}), false);
    const Bytes body(300, 0x41);
    const Transfer t = download(line, body, 4);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.reader_sum, (t.local_sum + 1) & 0xFFFFFF);
}

TEST(DownloadFaults, SilentAfterAnswersNPacketsThenNothing) {
    ReaderLine line("default,on-hold", faults_of({"silent-after=5"}), false);
    const Transfer t = download(line, Bytes(2000, 1), 4);
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.packets, 6u);
    EXPECT_TRUE(line.exchange(so_request(0xF7, {0})).frames.empty());
}

TEST(DownloadFaults, UnplugAfterPullsTheCableInTheMiddle) {
    ReaderLine line("default,on-hold", faults_of({"unplug-after=4"}), false);
    EXPECT_TRUE(line.reader.connected());
    const Transfer t = download(line, Bytes(2000, 1), 4);
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.packets, 5u);
    EXPECT_FALSE(line.reader.connected());
    const uint8_t b = 0;
    EXPECT_EQ(line.device.write(&b, 1), 0u);  // writes fail on a pulled cable
}

TEST(DownloadFaults, RestartAfterRestartsTheReaderWhichAnnouncesItself) {
    ReaderLine line("default,on-hold", faults_of({"restart-after=3"}), false);
    const Transfer t = download(line, Bytes(2000, 1), 4);
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(line.reader.restarts(), 1u);
    // download() listened 500 ms after the packet: the 0xF2 frame came then.
    const Unframed after = line.exchange(so_request(0xF7, {0}), 100);
    EXPECT_EQ(after.frames.size(), 1u);
    EXPECT_FALSE(line.reader.on_hold());
}

}  // namespace
}  // namespace korva::sim::testing
