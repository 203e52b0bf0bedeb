#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string HEADER =
    "NUMERO DE SERIE\tDATE\t\t\tLECTEUR\tFIRMWARE\tBLOC 0\tBLOC 2\tBLOC 3\tBLOC 4\tBLOC 5\tBLOC "
    "6\tBLOC 7\tBLOC 8\tBLOC 9\tBLOC 10\tBLOC 11\tBLOC 12\tBLOC 13\tBLOC 14\tBLOC 15\n";
const std::string CREATED =
    "\n           CREATION FICHIER TRACE\n           FICHIER TRACE OK"
    "\n           MISE A JOUR FICHIER TRACE OK";
const std::string OPENED =
    "\n           OUVERTURE FICHIER TRACE\n           FICHIER TRACE OK"
    "\n           MISE A JOUR FICHIER TRACE OK";
// The row of reader_with_15_blocks() made on the virtual clock's first day.
const std::string ROW_15 =
    "'123456789\t5/03/2007 9H7m\t\t\tKORVA L2\tBOOT KORVA 4.01 12/01/2006\t"
    "BASE 3.20\tSUPERVISEUR 2.1\t\t\tTLA 1.12\t" +
    std::string(10, '\t') + "\n";

std::filesystem::path trace_file(const TempWorkDir& dir) {
    return dir.parent() / "trace.xls";
}

TEST(Trace, CreatesTheFileWithItsHeaderThenAppends) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    ScriptRun run = run_script(peer, {"trace"});
    EXPECT_EQ(run.text, CREATED);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_text_file(trace_file(dir)), HEADER + ROW_15);

    run = run_script(peer, {"trace"});
    EXPECT_EQ(run.text, OPENED);
    EXPECT_EQ(read_text_file(trace_file(dir)), HEADER + ROW_15 + ROW_15);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "trace.xls"));
}

TEST(Trace, ThirtyOneBlockReaderWritesThirtyOneBlockCells) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_31_blocks());
    EXPECT_EQ(run_script(peer, {"trace"}).text, CREATED);
    std::string cells = "BASE 4.00\t";
    for (int block = 2; block <= 31; ++block) {
        if (block == 12) cells += "CB 2.0";
        if (block == 31) cells += "DERNIER";
        cells += "\t";
    }
    EXPECT_EQ(read_text_file(trace_file(dir)),
              HEADER + "'987654321\t5/03/2007 9H7m\t\t\tKORVA L3\tBOOT KORVA 4.05 03/02/2007\t" +
                  cells + "\n");
}

std::string row_date(int64_t at_ms) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    SessionHarness h(peer, "O");
    h.clock.advance_to(at_ms);
    h.run({"3", "trace"});
    const std::string file = read_text_file(trace_file(dir));
    const std::size_t start = file.find("\t", HEADER.size()) + 1;
    return file.substr(start, file.find('\t', start) - start);
}

TEST(Trace, MonthHasTwoDigitsAndNothingElseIsPadded) {
    EXPECT_EQ(row_date(1191249000000LL), "1/10/2007 14H30m");  // 1 October 2007, 14:30
    EXPECT_EQ(row_date(1188633900000LL), "1/09/2007 8H5m");    // 1 September 2007, 08:05
    EXPECT_EQ(row_date(1198972800000LL), "30/12/2007 0H0m");   // 30 December 2007, 00:00
}

TEST(Trace, SerialNumberCellKeepsPrintableBytesAndMayBeEmpty) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_next(0xFB, block_list_answer({identity_item(5,
                                                            "12\t3~4\x7f"
                                                            "5"),
                                              software_item(2, "P", "N"), empty_item(15)}));
    peer.answer_next(0xFB, block_list_answer({identity_item(5,
                                                            "12\t3~4\x7f"
                                                            "5"),
                                              software_item(2, "P", "N"), empty_item(15)}));
    peer.answer_next(0xFB, block_list_answer({identity_item(0, "KORVA"), empty_item(15)}));
    peer.answer_next(0xFB, block_list_answer({identity_item(0, "KORVA"), empty_item(15)}));
    run_script(peer, {"trace", "trace"});
    const std::string boot = "\t\t\tKORVA L2\tBOOT KORVA 4.01 12/01/2006\t";
    EXPECT_EQ(read_text_file(trace_file(dir)), HEADER + "'12345\t5/03/2007 9H7m" + boot +
                                                   "N\t\t\n" + "\t5/03/2007 9H7m" + boot + "\t\n");
}

TEST(Trace, BootFieldsKeepTheirBytesButNeverTabsOrLineEnds) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_always(0xF7, boot_info_answer(boot_payload(
                                 {"P\tUB", "KOR\tVA~", "BO\rOT\x01", "4.\n01", "12/01\r\n/2006"})));
    run_script(peer, {"trace"});
    const std::string file = read_text_file(trace_file(dir));
    EXPECT_NE(file.find("\t\t\tKORVA~\tBOOT\x01 4.01 12/01/2006\t"), std::string::npos) << file;
}

TEST(Trace, RowCutShortEndsItsLineAndTheNextRowStartsOnItsOwn) {
    TempWorkDir dir;
    FakeReader peer;
    const ReaderIdentity reader = reader_with_15_blocks();
    play(peer, reader);
    const std::vector<Bytes> first_three(reader.items.begin(), reader.items.begin() + 5);
    peer.answer_next(0xFB, block_list_answer(reader.items));
    peer.answer_next(0xFB, block_list_answer(first_three));  // stops in the block pass
    const ScriptRun run = run_script(peer, {"trace", "trace"});
    EXPECT_EQ(run.text,
              "\n           CREATION FICHIER TRACE\n           FICHIER TRACE OK"
              "\n REPONSE > ECHEC COMMANDE " +
                  OPENED);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_text_file(trace_file(dir)),
              HEADER +
                  "'123456789\t5/03/2007 9H7m\t\t\tKORVA L2\tBOOT KORVA 4.01 12/01/2006\t"
                  "BASE 3.20\tSUPERVISEUR 2.1\t\n" +
                  ROW_15);
}

TEST(Trace, NoBootInformation) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.stop_answering(0xF7);
    peer.answer_next(0xF7, boot_info_answer(boot_payload(reader_with_15_blocks().boot)));
    const ScriptRun run = run_script(peer, {"trace"});
    EXPECT_EQ(run.text,
              "\n           CREATION FICHIER TRACE\n           FICHIER TRACE OK"
              "\n REPONSE > Echec Commande ");
    EXPECT_EQ(read_text_file(trace_file(dir)), HEADER + "'123456789\t5/03/2007 9H7m\t\t\t\n");
}

TEST(Trace, NoBlockListWritesNoRow) {
    TempWorkDir dir;
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.stop_answering(0xFB);
    const ScriptRun run = run_script(peer, {"trace"});
    EXPECT_EQ(run.text,
              "\n           CREATION FICHIER TRACE\n           FICHIER TRACE OK"
              "\n REPONSE > ECHEC COMMANDE ");
    EXPECT_EQ(read_text_file(trace_file(dir)), HEADER);
}

TEST(Trace, FileThatCannotBeWrittenAsksTheReaderNothing) {
    TempWorkDir dir;
    std::filesystem::create_directory(trace_file(dir));  // a directory where the file goes
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"trace"});
    // Whether a directory opens for reading depends on the platform.
    const std::string error = "\n           ERREUR FICHIER";
    EXPECT_TRUE(run.text == "\n           OUVERTURE FICHIER TRACE" + error ||
                run.text == "\n           CREATION FICHIER TRACE" + error)
        << run.text;
    EXPECT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7}));  // the probe only
    EXPECT_EQ(run.status, 1);
}

}  // namespace
}  // namespace korva::testing
