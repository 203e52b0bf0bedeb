#include <gtest/gtest.h>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string SERIAL_LINE = "\n REPONSE > NUMERO DE SERIE : ";

std::string nserie_with(const std::vector<Bytes>& items, int* status = nullptr) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_always(0xFB, block_list_answer(items));
    const ScriptRun run = run_script(peer, {"nserie"});
    if (status) *status = run.status;
    return run.text;
}

TEST(Nserie, ShowsTheNineDigits) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"nserie"});
    EXPECT_EQ(run.text, SERIAL_LINE + "123456789\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Nserie, ThirtyOneBlockReader) {
    FakeReader peer;
    play(peer, reader_with_31_blocks());
    EXPECT_EQ(run_script(peer, {"nserie"}).text, SERIAL_LINE + "987654321\n");
}

TEST(Nserie, NineBytesWhateverTheLengthSays) {
    // A short value shows the bytes that follow it in the item.
    const Bytes short_value{2, 0, 5, 5, '1', '2', '3', '4', '5', 'A', 'B', 'C', 'D', 'E'};
    EXPECT_EQ(nserie_with({short_value, empty_item(15)}), SERIAL_LINE + "12345ABCD\n");
    // A long one is cut to nine.
    EXPECT_EQ(nserie_with({identity_item(5, "ABCDEFGHIJKL"), empty_item(15)}),
              SERIAL_LINE + "ABCDEFGHI\n");
}

TEST(Nserie, NoSerialNumberShowsSpaces) {
    EXPECT_EQ(nserie_with({identity_item(0, "KORVA"), empty_item(15)}),
              SERIAL_LINE + std::string(9, ' ') + "\n");
}

TEST(Nserie, TheLastSerialNumberItemWinsAndOtherItemsChangeNothing) {
    // A software item of block 0 whose byte 2 is 5, and an identity item with
    // another tag, are not serial numbers.
    const Bytes block0{0, 'x', 5, 9, 'N', 'O', 'T', 'S', 'E', 'R', 'I', 'A', 'L'};
    EXPECT_EQ(nserie_with({block0, identity_item(5, "111111111"), identity_item(3, "333333333"),
                           identity_item(5, "222222222"), empty_item(15)}),
              SERIAL_LINE + "222222222\n");
}

TEST(Nserie, ListBrokenOffShowsWhatCameBefore) {
    int status = 0;
    EXPECT_EQ(nserie_with({identity_item(5, "123456789")}, &status),
              "\n REPONSE > ECHEC COMMANDE " + SERIAL_LINE + "123456789\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(nserie_with({}), "\n REPONSE > ECHEC COMMANDE " + SERIAL_LINE + "         \n");
}

}  // namespace
}  // namespace korva::testing
