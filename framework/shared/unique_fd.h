// Owner of one POSIX file descriptor: closed exactly once, in the destructor.
#pragma once

#include <unistd.h>

#include <utility>

namespace Vexa::Framework {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }

    // Closes now and reports whether close succeeded: after writing, a failing close
    // can be the first sign that the data did not reach the file.
    bool Close() {
        if (fd < 0) return true;
        int result = ::close(std::exchange(fd, -1));
        return result == 0;
    }

private:
    void Reset() {
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }

    int fd = -1;
};

}  // namespace Vexa::Framework
