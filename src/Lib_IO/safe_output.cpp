#include "safe_output.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Temporaries not yet committed or abandoned; removed at exit, so that a run ended by fail() or
// exit() leaves none behind, and by the signal handler. A slot holds a malloc'ed copy of the
// path; whoever takes it out of the slot (an atomic exchange) owns it.
constexpr int kSlots = 16;
std::atomic<char*> g_pending[kSlots];
static_assert(std::atomic<char*>::is_always_lock_free, "the signal handler reads the slots");
// Set before the temporaries are removed at exit or on a signal; the slots then belong to the
// thread that removes them. Another thread may be creating a temporary at that moment: it counts
// itself in g_opening from before it tests the flag until the file exists and the flag is tested
// again (it removes the file itself when the flag is set), and the exit waits for it, so that the
// process never ends between the creation and the test.
std::atomic<bool> g_closing{false};
std::atomic<int> g_opening{0};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flag");

void remove_pending() {
    g_closing.store(true);
    while (g_opening.load() != 0) sched_yield();
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
    if (slot >= 0 && !g_closing.load()) std::free(g_pending[slot].exchange(nullptr));
}

constexpr std::size_t kNameMax = 255;  // longest file name in a folder

// Only async-signal-safe calls: the paths are unlinked and left allocated.
extern "C" void remove_pending_and_die(int signo) {
    g_closing.store(true);
    for (auto& slot : g_pending) {
        char* path = slot.exchange(nullptr);
        if (path) ::unlink(path);
    }
    ::signal(signo, SIG_DFL);
    ::raise(signo);  // delivered with the default action when the handler returns
}

}  // namespace

void remove_temporaries_on_signals() {
    struct sigaction action = {};
    action.sa_handler = remove_pending_and_die;
    sigfillset(&action.sa_mask);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous = {};
        if (::sigaction(signo, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signo, &action, nullptr);
    }
}

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
    g_opening.fetch_add(1);
    int fd = -1;
    errno = ECANCELED;
    if (!g_closing.load()) {
        slot_ = register_pending(temp_);  // before the file exists: a signal never misses it
        fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, perms);
        if (fd < 0 && errno == EEXIST) {  // left by an earlier process of the same id
            ::unlink(temp_.c_str());
            fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, perms);
        }
        if (fd >= 0 && g_closing.load()) {  // the process is ending: the slots may be swept
            ::close(fd);
            ::unlink(temp_.c_str());
            fd = -1;
            errno = ECANCELED;
        }
    }
    g_opening.fetch_sub(1);
    if (fd < 0) {
        const int saved = errno;
        temp_.clear();
        unregister_pending(slot_);
        slot_ = -1;
        errno = saved;
        return nullptr;
    }
    if (exists) (void)::fchmod(fd, perms);
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
