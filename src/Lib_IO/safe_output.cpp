#include "safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Temporaries not yet committed or abandoned; removed at exit, so that a run ended by fail() or
// exit() leaves none behind. A slot holds a malloc'ed copy of the path.
constexpr int kSlots = 16;
std::atomic<char*> g_pending[kSlots];

void remove_pending() {
    for (auto& slot : g_pending) {
        char* path = slot.exchange(nullptr);
        if (!path) continue;
        std::remove(path);
        std::free(path);
    }
}

int register_pending(const std::string& path) {
    static const bool at_exit = std::atexit(remove_pending) == 0;
    (void)at_exit;
    char* copy = strdup(path.c_str());
    if (!copy) return -1;
    for (int k = 0; k < kSlots; ++k) {
        char* expected = nullptr;
        if (g_pending[k].compare_exchange_strong(expected, copy)) return k;
    }
    std::free(copy);
    return -1;
}

void unregister_pending(int slot) {
    if (slot >= 0) std::free(g_pending[slot].exchange(nullptr));
}

constexpr std::size_t kNameMax = 255;  // longest file name in a folder

}  // namespace

std::FILE* SafeOutput::open(const char* final_name, const char* mode) {
    abandon();
    target_ = final_name;
    struct stat st;
    if (::lstat(final_name, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(final_name, nullptr);
        if (real) {
            target_ = real;
            std::free(real);
        }
    }
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        file_ = std::fopen(target_.c_str(), mode);
        return file_;
    }
    const std::size_t cut = target_.rfind('/');
    const std::string dir = cut == std::string::npos ? "" : target_.substr(0, cut + 1);
    const std::string base = cut == std::string::npos ? target_ : target_.substr(cut + 1);
    if (base.size() > kNameMax) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    const std::string suffix = "." + std::to_string(::getpid()) + ".part";
    temp_ = dir + "." + base.substr(0, kNameMax - 1 - suffix.size()) + suffix;
    const mode_t perms = exists ? (st.st_mode & 07777) : 0666;
    int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, perms);
    if (fd < 0 && errno == EEXIST) {  // left by an earlier process of the same id
        ::unlink(temp_.c_str());
        fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, perms);
    }
    if (fd < 0) {
        temp_.clear();
        return nullptr;
    }
    if (exists) (void)::fchmod(fd, perms);
    slot_ = register_pending(temp_);
    file_ = ::fdopen(fd, mode);
    if (!file_) {
        const int saved = errno;
        ::close(fd);
        abandon();
        errno = saved;
    }
    return file_;
}

bool SafeOutput::commit() {
    if (!file_) {
        errno = EBADF;
        return false;
    }
    std::FILE* f = file_;
    file_ = nullptr;
    const int earlier = errno;  // the reason of a failed write, if any
    int saved = 0;
    if (std::ferror(f)) {
        saved = earlier ? earlier : EIO;
    } else if (std::fflush(f) != 0) {
        saved = errno ? errno : EIO;
    }
    if (std::fclose(f) != 0 && saved == 0) saved = errno ? errno : EIO;
    if (saved == 0 && !temp_.empty() && std::rename(temp_.c_str(), target_.c_str()) != 0)
        saved = errno;
    if (saved == 0) {
        unregister_pending(slot_);
        slot_ = -1;
        temp_.clear();
        return true;
    }
    abandon();
    errno = saved;
    return false;
}

void SafeOutput::abandon() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    unregister_pending(slot_);
    slot_ = -1;
}
