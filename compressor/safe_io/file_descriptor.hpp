// Owns one open file descriptor, closed when the handle goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace qvc {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }
    int get() const noexcept { return fd_; }
    // Takes `fd` in place of the one held, which is closed.
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    // Closes it now, for a caller that must know whether closing failed.
    bool close() noexcept { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

}  // namespace qvc
