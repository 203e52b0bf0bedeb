#include "console/listings.h"

#include <cstdarg>
#include <cstdio>

#include "images/sha256.h"

namespace korva {

namespace {

void add(std::string& text, const char* pattern, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& text, const char* pattern, ...) {
    // Measured first: a line holds a path, which may be long.
    va_list args;
    va_start(args, pattern);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);
    if (size > 0) {
        const std::size_t start = text.size();
        text.resize(start + static_cast<std::size_t>(size) + 1);
        std::vsnprintf(text.data() + start, static_cast<std::size_t>(size) + 1, pattern, again);
        text.resize(start + static_cast<std::size_t>(size));
    }
    va_end(again);
}

// charge prints the publisher's bytes as they come; here a control byte
// would disturb the terminal, so it shows as '?'.
std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text) shown += (c >= 0x20 && c <= 0x7E) ? c : '?';
    return shown;
}

void add_part(std::string& text, const ImagePart& part, const ImageFile& file, bool two_parts) {
    const unsigned block_code = 2u * file.entry->typed_block;
    const unsigned body = part.size - TRAILER_SIZE;
    if (!two_parts) {
        add(text, "  to block code %u: %u bytes and a 128-byte trailer\n", block_code, body);
    } else if (part.second) {
        add(text, "  second part, to block code %u: %u bytes and a 128-byte trailer\n", block_code,
            body);
    } else {
        add(text,
            "  first part, to block code %u if the second part goes into block %u: %u bytes and "
            "a 128-byte trailer\n",
            block_code + 2, file.entry->typed_block, body);
    }
    if (!part.described) {
        add(text, "    no descriptor \"PUBLISHER$NAME$\" at part offset 256\n");
        return;
    }
    add(text, "    EDITEUR  : %s\n", printable(part.publisher).c_str());
    add(text, "    LOGICIEL : %s\n", part.name.c_str());
    add(text, "    VERSION  : %d%d.%d%d\n", part.version_major / 10, part.version_major % 10,
        part.version_minor / 10, part.version_minor % 10);
}

void add_file(std::string& text, const ImageFile& file) {
    const CatalogueEntry& e = *file.entry;
    add(text, "\n%s\n", file.path.c_str());
    if (file.state == ImageFileState::ABSENT) {
        add(text, "  absent: charge of typed block %u answers ERREUR FICHIER PARAMETRES\n",
            e.typed_block);
        return;
    }
    if (file.state == ImageFileState::REFUSED) {
        add(text, "  REFUSED: %s\n", file.fault.c_str());
    } else {
        const std::span<const uint8_t> image = std::span(file.stored).subspan(LENGTH_DIGITS);
        const std::vector<ImagePart> parts = image_parts(image);
        if (parts.size() == 2) {
            add(text, "  typed block %u, L = %u bytes, two parts (the second at %u)\n",
                e.typed_block, e.length, parts[0].offset);
        } else if (e.kind == KindRule::TWO_PART) {
            add(text,
                "  typed block %u, L = %u bytes, one part (two-part marking, no second part)\n",
                e.typed_block, e.length);
        } else {
            add(text, "  typed block %u, L = %u bytes, one part\n", e.typed_block, e.length);
        }
        for (const ImagePart& part : parts) add_part(text, part, file, parts.size() == 2);
    }
    if (!file.stored.empty())
        add(text, "  SHA-256 of the file: %s\n", sha256_hex(file.stored).c_str());
}

}  // namespace

std::string image_set_listing(const std::string& name, const ImageFolder& folder) {
    std::string text;
    add(text, "Image set: %s\n", name.c_str());
    add(text,
        "EDITEUR, LOGICIEL and VERSION: what charge shows once the reader has installed the\n"
        "part, read here from its descriptor \"PUBLISHER$NAME$\" at part offset 256 and its\n"
        "version bytes at 320-321.\n");
    for (const ImageFile& file : folder.files) add_file(text, file);
    return text;
}

std::string usb_adapters_listing(const std::vector<UsbSerialAdapter>& adapters) {
    if (adapters.empty()) return "USB serial adapters: none (no ttyUSB* or ttyACM* device)\n";
    std::string text = "USB serial adapters (the KORVA_COM<n>=... line makes one COM<n>):\n";
    for (const UsbSerialAdapter& a : adapters) {
        text += "  " + a.device + "\n";
        for (const std::string& name : a.by_id) text += "    " + name + "\n";
        if (a.named) {
            add(text, "    COM%d already: KORVA_COM%d names it\n", a.com, a.com);
        } else if (a.com == 0) {
            text += "    no free COM1 to COM9: unset a KORVA_COM<n> variable to make room\n";
        } else {
            const std::string& path = a.by_id.empty() ? a.device : a.by_id.front();
            add(text, "    KORVA_COM%d=%s\n", a.com, path.c_str());
        }
    }
    return text;
}

}  // namespace korva
