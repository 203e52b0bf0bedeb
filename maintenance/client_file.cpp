#include "maintenance/client_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "images/image_catalogue.h"

namespace korva {

namespace {

// The content into name through a temporary file beside it; false, with
// no temporary file left, when it is not in place.
bool replace_file(const char* name, const std::vector<uint8_t>& content) {
    const std::filesystem::path target(name);
    std::filesystem::path temporary = target;
    temporary += ".tmp";
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char*>(content.data()),
                      static_cast<std::streamsize>(content.size()));
            out.close();
            written = !out.fail();
        }
    }
    std::error_code ec;
    if (written) {
        std::filesystem::rename(temporary, target, ec);
        written = !ec;
    }
    if (!written) std::filesystem::remove(temporary, ec);
    return written;
}

}  // namespace

void write_client_file(Session& s, std::span<uint8_t> image) {
    const char* name = s.file_name_buffer.data();
    std::vector<uint8_t> content(image.begin(), image.end());
    increment_serial(content);

    if (name[0] == '\0' || !replace_file(name, content)) {
        print(s, "\n           ECHEC MISE A JOUR %s ", name);
        s.command_failed = true;
        return;
    }
    std::copy(content.begin(), content.end(), image.begin());
    print(s, "\n           MISE A JOUR %s OK", name);
}

}  // namespace korva
