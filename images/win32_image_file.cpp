// Image files on Windows: CreateFileW on the UTF-16 path, then the type of
// the handle opened.
#include <windows.h>

#include <algorithm>
#include <string>

#include "images/image_file_reading.h"
#include "platform/win32_text.h"

namespace korva {

namespace {

// The system's text for an error, in UTF-8.
std::string reason(DWORD error) {
    const std::string text = system_error_text(error);
    return text.empty() ? "error " + std::to_string(error) : text;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { CloseHandle(handle_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

bool refuse_for(ImageFile& file, DWORD error) {
    return refuse_unread(file, "cannot be read (" + reason(error) + ")");
}

}  // namespace

bool read_stored_file(ImageFile& file, std::size_t most) {
    const std::wstring path = wide_of(file.path);
    // FILE_FLAG_BACKUP_SEMANTICS opens a folder too, so that it is told as
    // "not a file" rather than as access denied.
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return refuse_for(file, error);
        // The name is there but what it leads to is not: a link to nothing.
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;  // absent
        return refuse_unread(file, "is a broken symbolic link");
    }
    const Handle opened(handle);
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(opened.get()) != FILE_TYPE_DISK) return refuse_unread(file, "is not a file");
    if (!GetFileInformationByHandle(opened.get(), &information))
        return refuse_for(file, GetLastError());
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return refuse_unread(file, "is not a file");
    file.stored.resize(most);
    std::size_t got = 0;
    while (got < most) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(most - got, 1u << 20));
        DWORD n = 0;
        if (!ReadFile(opened.get(), file.stored.data() + got, want, &n, nullptr))
            return refuse_for(file, GetLastError());
        if (n == 0) break;
        got += n;
    }
    file.stored.resize(got);
    return true;
}

}  // namespace korva
