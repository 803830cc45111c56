// Shared pieces of the libFuzzer harnesses: a rejection by fail() becomes an
// exception the harness catches (instead of exit(1), which libFuzzer counts as a crash), and the
// input bytes are served to the readers as a file in memory.
#ifndef FUZZ_HARNESS_H
#define FUZZ_HARNESS_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fail.h"

struct Rejected {};

[[noreturn]] inline void throw_rejected(const char*) {
    throw Rejected{};
}

// A memory file holding the current input, reopened by path like any file on disk.
class InputFile {
  public:
    InputFile() {
        set_fail_handler(throw_rejected);
        fd_ = memfd_create("of3d_fuzz_input", 0);
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const char* path() const { return path_.c_str(); }
    void hold(const uint8_t* data, std::size_t size) {
        if (ftruncate(fd_, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }

  private:
    int fd_ = -1;
    std::string path_;
};

// True when call() returns, false when it ends the run through fail().
template <typename F>
bool accepted(F call) {
    try {
        call();
        return true;
    } catch (const Rejected&) {
        return false;
    }
}

#endif
