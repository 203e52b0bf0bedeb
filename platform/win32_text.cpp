#include "platform/win32_text.h"

#include <cwchar>

#include "platform/win32_windows.h"

namespace korva {

std::wstring wide_of(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    std::wstring text(
        static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)),
        L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, text.data(), static_cast<int>(text.size()));
    return text;
}

std::string utf8_of(const wchar_t* text) {
    return utf8_of(text, std::wcslen(text));
}

std::string utf8_of(const wchar_t* text, std::size_t size) {
    if (size == 0) return {};
    const int count = static_cast<int>(size);
    std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr,
                                                                  0, nullptr, nullptr)),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, count, utf8.data(), static_cast<int>(utf8.size()),
                        nullptr, nullptr);
    return utf8;
}

std::string system_error_text(unsigned long error) {
    wchar_t text[512];
    DWORD size = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, sizeof text / sizeof text[0], nullptr);
    while (size > 0 && (text[size - 1] == L'\r' || text[size - 1] == L'\n' ||
                        text[size - 1] == L' ' || text[size - 1] == L'.'))
        --size;
    return utf8_of(text, size);
}

}  // namespace korva
