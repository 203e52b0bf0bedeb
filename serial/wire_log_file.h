// Where the wire log goes, in the system's own terms: the environment
// variable and the file are read and opened as the system names them (on
// Windows in UTF-16, so that a technician's folder with any letters works).
#pragma once

#include <cstdio>
#include <string>

namespace korva {

// The value of KORVA_WIRE_LOG in UTF-8; empty when unset.
std::string wire_log_variable();
// The file named by a UTF-8 path, opened to append bytes; nullptr when it
// cannot be.
std::FILE* open_to_append(const std::string& path);

}  // namespace korva
