// Text between the process and the system outside the console dialogue:
// the command line and the messages that show paths. Paths are held in
// UTF-8 everywhere; on Windows they are taken from the command line as the
// system gives it (UTF-16) and shown on a console window as UTF-16, never
// going through the ANSI or OEM code page, which cannot hold every letter.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace korva {

#ifdef _WIN32
// The arguments of wmain after the program's name, in UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
#endif

// Writes UTF-8 text on stdout or stderr: on a Windows console window as
// UTF-16; as it is elsewhere (a terminal, a pipe, a file).
void put_text(std::FILE* stream, const std::string& text);

}  // namespace korva
