// What the listing options print and exit on: the USB serial adapters
// (--list-ports) and the image set a run would install from (--list-images).
#pragma once

#include <string>

#include "images/image_folder.h"
#include "serial/serial_device.h"

namespace korva {

// The catalogue of a set, one block of lines per file: its typed block and
// length, its parts in download order with their block codes and what
// charge shows once the reader has installed each, and the SHA-256 of the
// file. name says which set it is (the built-in one, or a folder).
std::string image_set_listing(const std::string& name, const ImageFolder& folder);

// The USB serial adapters, each with its stable names and the exact
// KORVA_COM<n>=... line that makes it COM<n> (the stable name preferred).
std::string usb_adapters_listing(const std::vector<UsbSerialAdapter>& adapters);

}  // namespace korva
