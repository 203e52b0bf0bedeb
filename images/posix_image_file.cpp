// Image files on POSIX: open(2) without blocking, then fstat(2) on what was
// opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "images/image_file_reading.h"

namespace korva {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { ::close(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool refuse_for(ImageFile& file, int error) {
    return refuse_unread(file, std::string("cannot be read (") + std::strerror(error) + ")");
}

}  // namespace

bool read_stored_file(ImageFile& file, std::size_t most) {
    // O_NONBLOCK: a fifo opens at once instead of waiting for a writer; it
    // changes nothing for a regular file.
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat link;
        if (error != ENOENT) return refuse_for(file, error);
        if (::lstat(file.path.c_str(), &link) != 0) return false;  // absent
        if (S_ISLNK(link.st_mode)) return refuse_unread(file, "is a broken symbolic link");
        return refuse_for(file, error);
    }
    const Descriptor opened(fd);
    struct stat status;
    if (::fstat(opened.get(), &status) != 0) return refuse_for(file, errno);
    if (!S_ISREG(status.st_mode)) return refuse_unread(file, "is not a file");
    file.stored.resize(most);
    std::size_t got = 0;
    while (got < most) {
        const ssize_t n = ::read(opened.get(), file.stored.data() + got, most - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse_for(file, errno);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    file.stored.resize(got);
    return true;
}

}  // namespace korva
