// UTF-8, as the tree holds all text, to and from UTF-16, as Windows takes
// and gives paths, arguments and variables. Never through the ANSI code
// page, which cannot hold every letter of a technician's folder names.
#pragma once

#include <cstddef>
#include <string>

namespace korva {

std::wstring wide_of(const std::string& utf8);
// Up to the terminating NUL.
std::string utf8_of(const wchar_t* text);
std::string utf8_of(const wchar_t* text, std::size_t size);
// The system's message for an error code (GetLastError), in UTF-8, without
// its line end and closing full stop; empty when the system has none.
std::string system_error_text(unsigned long error);

}  // namespace korva
