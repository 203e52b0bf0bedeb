// <windows.h> as the Windows files of this tree include it: without the
// parts they do not use (WIN32_LEAN_AND_MEAN), and without the min and max
// macros that would hide std::min and std::max (NOMINMAX).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
