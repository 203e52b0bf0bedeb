// A terminal shows UTF-8 as it is.
#include "console/system_text.h"

namespace korva {

void put_text(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
}

}  // namespace korva
