#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/console_commands.h"
#include "identity/payloads.h"

namespace korva {

namespace {

// The header names blocks 0 and 2 to 15 whatever the reader holds: block 1
// goes into the serial-number column.
constexpr int HEADER_LAST_BLOCK = 15;

std::filesystem::path trace_path() {
    return std::filesystem::path("..") / "trace.xls";
}

std::string header_row() {
    std::string header = "NUMERO DE SERIE\tDATE\t\t\tLECTEUR\tFIRMWARE\tBLOC 0";
    for (int block = 2; block <= HEADER_LAST_BLOCK; ++block) {
        header += "\tBLOC " + std::to_string(block);
    }
    return header + "\n";
}

// Reader text that goes into a cell as it is, but for the bytes that would
// shift the columns or break the row.
std::string cell_text(ByteView bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        if (byte != '\t' && byte != '\r' && byte != '\n') text.push_back(static_cast<char>(byte));
    }
    return text;
}

// The month has two digits, the other numbers are not padded.
std::string date_cell(const LocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%d %dH%dm\t", t.day, t.month, t.year, t.hour,
                  t.minute);
    return text;
}

void serial_number_cell(ByteView item, std::string& row) {
    if (item_block(item) == IDENTITY_BLOCK && item_tag(item) == TAG_SERIAL_NUMBER) {
        row += '\'';
        row += printable_text(item_value(item));
    }
}

void block_cell(ByteView item, std::string& row) {
    if (item_block(item) == IDENTITY_BLOCK) return;
    if (!item_block_empty(item)) row += printable_text(item_software_name(item));
    row += "\t";
}

// Asks the reader for everything the row holds and builds it; on a failure
// the row holds the cells made so far, and the failure has been reported.
bool build_row(Session& s, std::string& row) {
    auto serial_cell = [&row](ByteView item) { serial_number_cell(item, row); };
    if (!walk_block_list(s.link, s.highest_block, serial_cell)) {
        print(s, "\n REPONSE > ECHEC COMMANDE ");
        return false;
    }
    row += '\t';
    row += date_cell(s.clock.local_time());
    row += "\t\t";
    if (!fetch_boot_info(s.link)) {
        print(s, "\n REPONSE > Echec Commande ");
        return false;
    }
    const BootInfo boot = read_boot_info(boot_info_payload(s.record));
    row += cell_text(boot.field[BOOT_READER_MODEL]) + "\t" + cell_text(boot.field[BOOT_SOFTWARE]) +
           " " + cell_text(boot.field[BOOT_VERSION]) + " " + cell_text(boot.field[BOOT_DATE]) +
           "\t";
    if (!walk_block_list(s.link, s.highest_block,
                         [&row](ByteView item) { block_cell(item, row); })) {
        print(s, "\n REPONSE > ECHEC COMMANDE ");
        return false;
    }
    return true;
}

}  // namespace

void cmd_trace(Session& s) {
    const std::filesystem::path path = trace_path();
    std::ofstream file;
    if (std::ifstream(path)) {
        print(s, "\n           OUVERTURE FICHIER TRACE");
        file.open(path, std::ios::app);
    } else {
        print(s, "\n           CREATION FICHIER TRACE");
        file.open(path, std::ios::out | std::ios::trunc);
        if (file) file << header_row() << std::flush;
    }
    if (!file) {
        print(s, "\n           ERREUR FICHIER");
        s.command_failed = true;
        return;
    }
    print(s, "\n           FICHIER TRACE OK");

    // The row goes into the file in one write, so that the file never holds
    // half a row; a row cut short by a failure still ends its line. A row
    // cut short by the port's device going away is not written at all.
    std::string row;
    const bool complete = build_row(s, row);
    if (!complete) s.command_failed = true;
    if (!complete && port_gone(s.port)) return;
    if (!row.empty()) file << row << "\n" << std::flush;
    if (!file) {
        print(s, "\n           ERREUR FICHIER");
        s.command_failed = true;
    } else if (complete) {
        print(s, "\n           MISE A JOUR FICHIER TRACE OK");
    }
}

}  // namespace korva
