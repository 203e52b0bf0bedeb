#include <string_view>

#include "identity/identity_commands.h"
#include "identity/payloads.h"

namespace korva {

namespace {

// The line printed before each field of the boot information.
const char* const BOOT_LABELS[BOOT_FIELD_COUNT] = {
    "\n REPONSE > EDITEUR  : ",  //
    "\n           LECTEUR  : ",  //
    "\n           LOGICIEL : ",  //
    "\n           VERSION  : ",  //
    "\n           DATE     : ",
};

struct IdentityTag {
    uint8_t tag;
    const char* line;  // printed before the value; tag 0's carries the block number
};

// The identity fields that info shows; every other tag is left out.
const IdentityTag IDENTITY_TAGS[] = {
    {0, "\n           BLOC[%d] :  NOM CONSTRUCTEUR      : "},
    {1, "\n                      NUMERO CONSTRUCTEUR   : "},
    {2, "\n                      TYPE LECTEUR          : "},
    {3, "\n                      CODE PRODUIT          : "},
    {5, "\n                      NUMERO DE SERIE       : "},
    {27, "\n                      REFERENCE CPLD N 1    : "},
    {28, "\n                      REFERENCE CPLD N 2    : "},
    {29, "\n                                            : "},  // second line of the field before
    {30, "\n                      REFERENCE CONTROLEUR  : "},
    {34, "\n                      SPE GIE DE REFERENCE  : "},
    {35, "\n                      VERSION HARDWARE CAM  : "},
    {36, "\n                      VERSION LIBRAIRIE CAM : "},
    {80, "\n                      VERSION LOGICIEL BOOT : "},
};
constexpr uint8_t TAG_BOOT_VERSION = 80;  // its value ends with a line end of its own

const IdentityTag* find_tag(uint8_t tag) {
    for (const IdentityTag& entry : IDENTITY_TAGS) {
        if (entry.tag == tag) return &entry;
    }
    return nullptr;
}

void print_text(Session& s, const std::string& text) {
    s.console.print(text);
}

// Prints one identity item; false when its tag is not one that is shown.
bool show_identity_item(Session& s, ByteView item) {
    const IdentityTag* entry = find_tag(item_tag(item));
    if (!entry) return false;
    if (entry->tag == 0) {
        print(s, entry->line, item_block(item));
    } else {
        print(s, "%s", entry->line);
    }
    print_text(s, printable_text(item_value(item)));
    if (entry->tag == TAG_BOOT_VERSION) print(s, "\n");
    return true;
}

void show_software_item(Session& s, ByteView item) {
    const unsigned block = item_block(item);
    // One-digit numbers take one space more, to line up with two-digit ones.
    print(
        s,
        block > 9 ? "\n           BLOC[%u] : EDITEUR  : " : "\n           BLOC[%u]  : EDITEUR  : ",
        block);
    print_text(s, raw_text(item_publisher(item)));
    print(s, "\n                      LOGICIEL : ");
    print_text(s, printable_text(item_software_name(item)));
    print(s, "\n");
}

}  // namespace

void cmd_bootinfo(Session& s) {
    if (!fetch_boot_info(s.link)) {
        print(s, "\n REPONSE > Echec Commande ");
        print(s, "\n");
        s.command_failed = true;
        return;
    }
    const BootInfo info = read_boot_info(boot_info_payload(s.record));
    for (std::size_t i = 0; i < BOOT_FIELD_COUNT; ++i) {
        print(s, "%s", BOOT_LABELS[i]);
        print_text(s, raw_text(info.field[i]));
    }
    print(s, "\n");
}

void cmd_info(Session& s) {
    // Whether the last item said something; when nothing did, the reader
    // holds nothing worth listing.
    bool shown = false;
    const bool complete = walk_block_list(s.link, s.highest_block, [&](ByteView item) {
        if (item_block(item) == IDENTITY_BLOCK) {
            shown = show_identity_item(s, item);
        } else if (!item_block_empty(item)) {
            show_software_item(s, item);
            shown = true;
        }
    });
    if (!complete) {
        print(s, "\n REPONSE > ECHEC COMMANDE ");
        s.command_failed = true;
    } else if (!shown) {
        print(s, "\n           BLOC [0 -> %d] : VIDE", s.highest_block);
    }
    print(s, "\n");
}

}  // namespace korva
