// The client file that charge writes when it loads the identity block: the
// image with its serial field counted up.
#pragma once

#include <cstdint>
#include <span>

#include "session/session.h"

namespace korva {

// Writes the image, its serial field counted up, into the file named by
// the session's file-name buffer. The file is written beside the target and
// moved into place once complete, so that a failure leaves any earlier file
// as it was; the held image keeps the counted-up serial number only when
// the file is in place. Prints the outcome; a failure marks the command
// failed.
void write_client_file(Session& s, std::span<uint8_t> image);

}  // namespace korva
