#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "images/image_catalogue.h"
#include "images/image_folder.h"
#include "maintenance/maintenance_commands.h"
#include "sim/image_set.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"
#include "tests/maintenance/test_reader.h"
#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

const std::string FILE_OK = "\r REPONSE > LECTURE FICHIER OK                              ";
const std::string ERASING = "\n           EFFACEMENT";
const std::string DOWNLOADING = "\n           TELECHARGEMENT EN COURS ... \n";
const std::string DONE = "\n           CHARGEMENT TERMINE";
const std::string VALIDATING = "\n           VALIDATION EN COURS....";
const std::string LOAD_ERROR = "\n           ERREUR CHARGEMENT";
const std::string BANNER =
    "\n                      ****************************************"
    "\n                      *****   !  ECHEC DU CHARGEMENT !   *****"
    "\n                      ***** FICHIER TELECHARGE INCORRECT *****"
    "\n                      ****************************************\n"
    "\n\n TAPEZ SUR UNE TOUCHE POUR TERMINER LE PROGRAMME";
const std::string OLD_READER =
    "\r            VOTRE LECTEUR EST EN VERSION 1.40"
    "\n        MISE A JOUR NON AUTORISE SUR KORVA 1.40\n";

constexpr uint32_t TWO_PART_P = 1200;

Bytes stored_form(const Bytes& image) {
    Bytes stored(6);
    uint32_t n = static_cast<uint32_t>(image.size());
    for (int i = 5; i >= 0; --i, n /= 10) stored[i] = static_cast<uint8_t>(n % 10);
    stored.insert(stored.end(), image.begin(), image.end());
    return stored;
}

Bytes image_of(std::size_t length, uint8_t image_class, uint8_t kind, uint8_t sub_kind,
               uint8_t seed) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 13 + seed);
    std::fill(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END, 0xFF);
    image[CLASS_BYTE] = image_class;
    image[KIND_BYTE] = kind;
    image[SUB_KIND_BYTE] = sub_kind;
    return image;
}

Bytes two_part_image(std::size_t length, uint32_t p, uint8_t kind2, uint8_t sub2) {
    Bytes image = image_of(length, 1, 0xF0, 0x0F, 3);
    image[SECOND_PART_BYTES] = static_cast<uint8_t>((p - 129) >> 8);
    image[SECOND_PART_BYTES + 1] = static_cast<uint8_t>(p - 129);
    image[p + KIND_BYTE] = kind2;
    image[p + SUB_KIND_BYTE] = sub2;
    return image;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + from, b.begin() + to);
}

// What a signature answer carries after the block code: publisher and
// software name, each ending with '$', then the two version bytes where a
// name of that length puts them.
Bytes descriptor(const std::string& publisher, const std::string& software, uint8_t major,
                 uint8_t minor) {
    std::string text = publisher + "$" + software + "$";
    const std::size_t second = text.size();  // position of the 2nd '$' in the answer
    const std::size_t version = second + 28 - software.size();
    Bytes d(text.begin(), text.end());
    d.resize(version - 1, ' ');
    d.push_back(major);
    d.push_back(minor);
    return d;
}

Bytes item(uint8_t block_code, const std::string& text) {
    Bytes b(text.size() + 1, block_code);
    std::copy(text.begin(), text.end(), b.begin() + 1);
    return b;
}

struct Charging {
    explicit Charging(std::string keys = "k") : rs(reader, std::move(keys)) {
        for (uint8_t block = 0; block <= 15; ++block) {
            reader.block_list.push_back(block == 0   ? item(0, "EDITOR$xKRV 3.20$")
                                        : block == 7 ? item(14, "$")
                                                     : item(2 * block, "KORVA$SOFT$"));
        }
        reader.descriptor = descriptor("KORVA", "SUPERVISEUR", 1, 12);
        images[0] = image_of(700, 4, 0, 0, 1);
        images[4] = image_of(1000, 1, 0x51, 0x00, 2);
        images[6] = two_part_image(3000, TWO_PART_P, 0x14, 0x00);
        images[10] = two_part_image(3000, TWO_PART_P, 0x1C, 0x04);
        images[12] = image_of(900, 4, 0, 0, 5);  // refused at its block
        hold_images();
    }
    void hold_images() {
        rs.s.held_images.clear();
        for (const auto& [code, image] : images) {
            rs.s.held_images.push_back({code, stored_form(image)});
        }
    }
    std::string run(const std::vector<std::string>& tokens) {
        rs.s.script.tokens = tokens;
        rs.s.script.next = 0;
        rs.console.clear_output();
        cmd_charge(rs.s);
        return rs.console.output();
    }

    TestReader reader;
    ReaderSession rs;
    std::map<uint8_t, Bytes> images;
};

std::string installed(int block, const std::string& software = "SUPERVISEUR",
                      const std::string& version = "01.12") {
    return "\n           LOGICIEL INSTALLE : BLOC[" + std::to_string(block) + "]" +
           "\n                    EDITEUR  : KORVA" +
           "\n                    LOGICIEL : " + software +
           "\n                    VERSION  : " + version + "\n";
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Charge, OnePartImageGoesInAndIsValidated) {
    Charging c;
    const std::string out = c.run({"superviseur", "2"});
    const Bytes& image = c.images[4];
    EXPECT_EQ(c.reader.blocks[4], slice(image, 0, 1000 - 128));
    ASSERT_EQ(c.reader.signatures.size(), 1u);
    EXPECT_EQ(c.reader.signatures[0].first, 4);
    EXPECT_EQ(c.reader.signatures[0].second, slice(image, 1000 - 128, 1000));
    EXPECT_EQ(out.rfind(FILE_OK + ERASING + DOWNLOADING, 0), 0u) << out;
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(2) + "\n")) << out;
    EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UPDATABLE);
    EXPECT_FALSE(c.rs.s.command_failed);
    EXPECT_FALSE(std::filesystem::exists("superviseur"));
}

TEST(Charge, ParametersFromTheKeyboard) {
    Charging c("superviseur\n  2 and more\n");
    const std::string out = c.run({});
    EXPECT_EQ(
        out.rfind("\n           NOM DU FICHIER : \n           NUMERO DE BLOC : " + FILE_OK, 0), 0u)
        << out;
    EXPECT_EQ(c.reader.blocks[4].size(), 1000u - 128);
    EXPECT_EQ(std::string(c.rs.s.file_name_buffer.data()), "superviseur");
}

TEST(Charge, TwoPartImageSecondPartFirstThenFirstPartWhereTheReaderSays) {
    Charging c;
    c.reader.reported_block_code_override = 6;  // second part reported in block 3
    const std::string out = c.run({"x", "3"});
    const Bytes& image = c.images[6];
    EXPECT_EQ(c.reader.blocks[6], slice(image, TWO_PART_P, 3000 - 128));
    EXPECT_EQ(c.reader.blocks[8], slice(image, 0, TWO_PART_P - 128));
    ASSERT_EQ(c.reader.signatures.size(), 2u);
    EXPECT_EQ(c.reader.signatures[0], std::make_pair(uint8_t{6}, slice(image, 3000 - 128, 3000)));
    EXPECT_EQ(c.reader.signatures[1],
              std::make_pair(uint8_t{8}, slice(image, TWO_PART_P - 128, TWO_PART_P)));
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(3) + "\n")) << out;
    EXPECT_FALSE(c.rs.s.command_failed);
}

TEST(Charge, BlockNumberBeyondTheReaderIsRefused) {
    for (const char* typed : {"100", "16", "20"}) {
        Charging c;
        EXPECT_EQ(c.run({"x", typed}), "\n REPONSE > NUMERO DE BLOC INCORRECT \n") << typed;
        EXPECT_TRUE(c.reader.requests().empty());
        EXPECT_TRUE(c.rs.s.command_failed);
    }
}

TEST(Charge, BlockWithoutImageEndsAtOnce) {
    // Typed blocks without a catalogue image, and one whose image the run's
    // set lacks (a folder of --images without its file).
    const std::pair<const char*, int> rows[] = {
        {"1", -1}, {"4", -1}, {"7", -1}, {"15", -1}, {"6", 12}};
    for (const auto& [typed, left_out] : rows) {
        Charging c;
        if (left_out >= 0) {
            c.images.erase(static_cast<uint8_t>(left_out));
            c.hold_images();
        }
        EXPECT_EQ(c.run({"x", typed}), "\r        ERREUR FICHIER PARAMETRES        ") << typed;
        EXPECT_TRUE(c.rs.s.command_failed);
    }
}

TEST(Charge, BaseSoftwareKindDecidesWhetherUpdatesAreAllowed) {
    {
        Charging c;
        c.reader.block_list[0] = item(0, "EDITOR$xKER 1.40$");
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::OLD);
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.reader.count(0xFB), 1u);  // known for the rest of the run
        EXPECT_TRUE(c.reader.blocks.empty());
    }
    {
        Charging c;
        c.reader.block_list[0] = item(0, "EDITOR$KRV 3.20$");   // one place off
        c.reader.block_list[2] = item(4, "EDITOR$xKRV 3.20$");  // another block
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UNKNOWN);
        c.run({"x", "2"});
        EXPECT_EQ(c.reader.count(0xFB), 2u);  // looked for again
    }
    {
        // A '$' at the very end of the item: nothing is read beyond it.
        Charging c;
        Bytes edge(252, 'A');
        edge[0] = 0;
        edge[250] = '$';
        edge[251] = 'x';
        c.reader.block_list[0] = edge;
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
    }
}

TEST(Charge, UnansweredBlockListRefusesTheUpdate) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xFB; };
    EXPECT_EQ(c.run({"x", "2"}), "\n REPONSE > ECHEC COMMANDE " + OLD_READER);
    EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UNKNOWN);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, TlaImageOnlyWhileTheFullTlaIsThere) {
    Charging c;
    c.rs.s.tla_state = TlaState::REDUCED;
    EXPECT_EQ(c.run({"x", "5"}), "\r        FIN DE LA MISE A JOUR        ");
    EXPECT_TRUE(c.reader.blocks.empty());
}

TEST(Charge, StoredLengthZeroEndsSilently) {
    Charging c;
    c.rs.s.held_images[1].stored = Bytes(6, 0);
    EXPECT_EQ(c.run({"x", "2"}), "");
    EXPECT_TRUE(c.reader.blocks.empty());
}

TEST(Charge, RefusedImageIsNotSentAndShowsTheBanner) {
    Charging c;
    const std::string out = c.run({"x", "6"});
    EXPECT_EQ(out, FILE_OK + "\n           ERREUR PARAMETRAGE" + LOAD_ERROR + BANNER + "\n");
    EXPECT_TRUE(c.reader.blocks.empty());
    EXPECT_TRUE(c.rs.console.input_consumed());  // the key was read
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, FailedDownloadShowsTheBanner) {
    Charging c;
    c.reader.erase_answer_code = 0x22;
    const std::string out = c.run({"x", "2"});
    EXPECT_EQ(out,
              FILE_OK + ERASING + "\n           ECHEC EFFACEMENT " + LOAD_ERROR + BANNER + "\n");
    EXPECT_TRUE(c.reader.signatures.empty());
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, ChecksumMismatchStillValidatesThenShowsTheBanner) {
    Charging c;
    c.reader.sum_adjust = 1;
    const std::string out = c.run({"x", "2"});
    EXPECT_EQ(out.find("VERIFICATION CHECKSUM"), std::string::npos);
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(2) + BANNER + "\n")) << out;
    EXPECT_EQ(c.reader.signatures.size(), 1u);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, RefusedSignatureShowsTheBanner) {
    Charging c;
    c.reader.signature_status = 0x66;
    const std::string out = c.run({"x", "3"});
    EXPECT_TRUE(ends_with(
        out, DONE + VALIDATING + "\n           ERREUR SIGNATURE LOGICIELLE" + BANNER + "\n"))
        << out;
    EXPECT_EQ(c.reader.signatures.size(), 1u);  // the first part is not sent
    EXPECT_EQ(c.reader.count(0xFF), 1u);
}

TEST(Charge, UnansweredSignatureOfAOnePartImage) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xF4; };
    const std::string out = c.run({"x", "2"});
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + LOAD_ERROR + "\n")) << out;
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, UnansweredSignatureAfterTheSecondPartStopsBeforeTheFirstPart) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xF4; };
    const std::string out = c.run({"x", "3"});
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + LOAD_ERROR + BANNER + "\n")) << out;
    EXPECT_EQ(c.reader.count(0xFF), 1u);
    EXPECT_EQ(c.reader.blocks.count(14), 0u);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, PaymentLoadingModes) {
    {
        // Mode 1: no checks, one pass of all L - 128 bytes, block shown + 16.
        Charging c;
        c.rs.s.payment_loading_mode = PaymentLoading::ON_HOLD;
        const std::string out = c.run({"x", "3"});
        const Bytes& image = c.images[6];
        EXPECT_EQ(c.reader.blocks[6], slice(image, 0, 3000 - 128));
        ASSERT_EQ(c.reader.signatures.size(), 1u);
        EXPECT_EQ(c.reader.signatures[0].second, slice(image, 3000 - 128, 3000));
        EXPECT_TRUE(ends_with(out, installed(19) + "\n")) << out;
    }
    {
        // Mode 2: no checks, block code + 32; even a refused image goes in.
        Charging c;
        c.rs.s.payment_loading_mode = PaymentLoading::BLOCKS_31;
        c.reader.reported_block_code_override = 36;
        const std::string out = c.run({"x", "6"});
        EXPECT_EQ(c.reader.blocks[44], slice(c.images[12], 0, 900 - 128));
        ASSERT_EQ(c.reader.signatures.size(), 1u);
        EXPECT_EQ(c.reader.signatures[0].first, 44);
        EXPECT_TRUE(ends_with(out, installed(18) + "\n")) << out;
    }
}

TEST(Charge, ResentPacketStillPutsEveryByteIn) {
    Charging c;
    c.reader.refuse_packet[3] = -1;
    c.run({"x", "2"});
    EXPECT_EQ(c.reader.blocks[4], slice(c.images[4], 0, 1000 - 128));
    EXPECT_FALSE(c.rs.s.command_failed);
}

TEST(Charge, InstalledSoftwareDisplayStaysInsideTheAnswer) {
    Charging c;
    // Control characters in the name are not shown and not counted.
    Bytes d = descriptor("KORVA", "SUPER\x01VISEUR", 2, 5);
    d.insert(d.end() - 2, ' ');  // the unshown byte moves the version one place on
    c.reader.descriptor = d;
    EXPECT_TRUE(ends_with(c.run({"x", "2"}), installed(2, "SUPERVISEUR", "02.05") + "\n"));

    // No '$' at all: the publisher runs to the end, nothing else is shown.
    Charging c2;
    c2.reader.descriptor = Bytes(127, 'A');
    const std::string out = c2.run({"x", "2"});
    EXPECT_TRUE(ends_with(
        out, "\n                    EDITEUR  : " + std::string(127, 'A') +
                 "\n                    LOGICIEL : " + "\n                    VERSION  : \n\n"))
        << out;
}

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
