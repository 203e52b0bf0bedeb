// One image file read on the system's own calls. The file is opened first
// and what was opened is then checked, so that nothing can take its place
// between the check and the read; a fifo is refused without waiting for a
// writer.
#pragma once

#include <cstddef>
#include <string>

#include "images/image_folder.h"

namespace korva {

// Reads at most `most` bytes of file.path (UTF-8) into file.stored. False
// when there is nothing to judge: the file is absent (file left as it is),
// or refused (state and fault set): a broken symbolic link, not a regular
// file, or a system fault, whose reason is given.
bool read_stored_file(ImageFile& file, std::size_t most);

// Refuses file for fault, keeping none of its bytes; false, for the reader
// to return.
bool refuse_unread(ImageFile& file, std::string fault);

}  // namespace korva
