// Charge beyond the reader's blocks: the client file it writes, and the
// images the utility carries or reads from a folder going into the virtual
// reader byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "images/image_catalogue.h"
#include "images/image_folder.h"
#include "maintenance/maintenance_commands.h"
#include "sim/image_set.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"
#include "tests/maintenance/charge_test_helpers.h"
#include "tests/maintenance/test_reader.h"
#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

class ClientFile : public ::testing::Test {
  protected:
    ClientFile() {
        // The second part reported in block 0: the first part goes to block
        // code 2, after which the client file is written.
        c.reader.reported_block_code_override = 0;
    }
    Bytes expected(uint8_t last) const {
        Bytes image = c.images.at(6);
        image[SERIAL_FIELD_END - 1] = last;
        return image;
    }
    TempWorkDir dir;
    Charging c;
};

TEST_F(ClientFile, WrittenWithTheSerialNumberCountedUp) {
    std::ofstream("client.bin") << "an earlier file";
    const std::string out = c.run({"client.bin", "3"});
    EXPECT_EQ(c.reader.blocks[2], slice(c.images[6], 0, TWO_PART_P - 128));
    EXPECT_EQ(c.reader.signatures.size(), 1u);  // no validation of the first part
    EXPECT_TRUE(ends_with(out, DONE + "\n           MISE A JOUR client.bin OK\n")) << out;
    const std::string content = read_file("client.bin");
    EXPECT_EQ(Bytes(content.begin(), content.end()), expected(0x00));
    // The counted-up number stays for the rest of the run.
    c.run({"client.bin", "3"});
    const std::string again = read_file("client.bin");
    EXPECT_EQ(Bytes(again.begin(), again.end()), expected(0x01));
    EXPECT_FALSE(std::filesystem::exists("client.bin.tmp"));
}

TEST_F(ClientFile, FailureLeavesTheEarlierFileAndTheSerialNumber) {
    std::filesystem::create_directory("client.bin");  // cannot be replaced by a file
    const std::string out = c.run({"client.bin", "3"});
    EXPECT_TRUE(ends_with(out, DONE + "\n           ECHEC MISE A JOUR client.bin \n")) << out;
    EXPECT_TRUE(std::filesystem::is_directory("client.bin"));
    EXPECT_FALSE(std::filesystem::exists("client.bin.tmp"));
    EXPECT_TRUE(c.rs.s.command_failed);

    const std::string bad = c.run({"no/such/dir/client.bin", "3"});
    EXPECT_TRUE(ends_with(bad, "\n           ECHEC MISE A JOUR no/such/dir/client.bin \n"));

    std::filesystem::remove("client.bin");
    c.run({"client.bin", "3"});
    const std::string content = read_file("client.bin");
    EXPECT_EQ(Bytes(content.begin(), content.end()), expected(0x00));
}

// Against the virtual reader, with the images the utility carries.
class ChargeOnVirtualReader : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& faults = {}) {
        std::string error;
        ASSERT_TRUE(sim::parse_profile("default,on-hold", profile, error)) << error;
        for (const std::string& f : faults) ASSERT_TRUE(sim::parse_fault(f, knobs, error));
        reader = std::make_unique<sim::VirtualReader>(profile, knobs, true);
        session = std::make_unique<ReaderSession>(*reader, "k");
    }
    std::string run(const std::string& typed) {
        session->s.script.tokens = {"file", typed};
        session->s.script.next = 0;
        session->console.clear_output();
        cmd_charge(session->s);
        return session->console.output();
    }
    Bytes carried(uint8_t block_code) {
        HeldImages held = embedded_image_set();
        const std::span<uint8_t> image = image_bytes(*find_image(held, block_code));
        return Bytes(image.begin(), image.end());
    }
    const Bytes* downloaded(uint8_t block_code) const { return reader->downloaded(block_code); }

    sim::ReaderProfile profile;
    sim::FaultKnobs knobs;
    std::unique_ptr<sim::VirtualReader> reader;
    std::unique_ptr<ReaderSession> session;
};

TEST_F(ChargeOnVirtualReader, SupervisorGoesInByteExact) {
    start();
    const std::string out = run("2");
    const Bytes image = carried(4);
    ASSERT_NE(downloaded(4), nullptr) << out;
    EXPECT_EQ(*downloaded(4), slice(image, 0, image.size() - 128));
    ASSERT_NE(reader->software(2), nullptr);
    EXPECT_NE(out.find("\n           LOGICIEL INSTALLE : BLOC[2]"), std::string::npos) << out;
    EXPECT_NE(out.find("\n           VERIFICATION CHECKSUM :"), std::string::npos);
    EXPECT_EQ(out.find("ECHEC"), std::string::npos) << out;
    EXPECT_FALSE(session->s.command_failed);
}

TEST_F(ChargeOnVirtualReader, TwoPartImageBothPartsByteExact) {
    start({"refuse-packet=7"});
    const std::string out = run("3");
    const Bytes image = carried(6);
    const std::size_t p = 41074;
    ASSERT_NE(downloaded(6), nullptr) << out;
    EXPECT_EQ(*downloaded(6), slice(image, p, image.size() - 128));
    ASSERT_NE(downloaded(8), nullptr) << out;
    EXPECT_EQ(*downloaded(8), slice(image, 0, p - 128));
    EXPECT_NE(out.find("\n           LOGICIEL INSTALLE : BLOC[4]"), std::string::npos) << out;
    EXPECT_FALSE(session->s.command_failed);
}

// A release read from a folder (--images), with the reader holding the same
// set (read by its own code): it goes in byte for byte.
TEST_F(ChargeOnVirtualReader, ReleaseFromAFolderGoesInByteExact) {
    TempWorkDir work;
    write_image_set(work.path());
    Bytes supervisor = embedded_image_set()[1].stored;
    supervisor[LENGTH_DIGITS + 320 + 1] = 42;  // version 02.42
    supervisor[LENGTH_DIGITS + 1000] ^= 0xFF;
    write_bytes(work.path() / "bloc2_superviseur.img", supervisor);
    const ImageFolder folder = read_image_folder(work.path().string());
    start();
    session->s.held_images = held_images_of(folder);
    auto set = std::make_shared<sim::ImageSet>();
    std::string error;
    for (const ImageFile& f : folder.files) sim::add_stored_image(*set, f.stored, error);
    reader->hold_images(set);

    const std::string out = run("2");
    ASSERT_NE(downloaded(4), nullptr) << out;
    EXPECT_EQ(*downloaded(4), slice(supervisor, LENGTH_DIGITS, supervisor.size() - 128));
    EXPECT_NE(out.find("\n                    VERSION  : 02.42\n"), std::string::npos) << out;
}

TEST_F(ChargeOnVirtualReader, WrongChecksumEndsInTheBanner) {
    start({"wrong-checksum"});
    const std::string out = run("2");
    EXPECT_TRUE(ends_with(out, BANNER + "\n")) << out;
    EXPECT_TRUE(session->s.command_failed);
}

}  // namespace
}  // namespace korva::testing
