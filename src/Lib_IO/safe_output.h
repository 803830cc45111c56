// Result files are written under a temporary name in their own folder, ".<name>.<pid>.part", and
// renamed over the final name only when every byte is written, flushed and the file closed
// without error: a run that stops (error, kill, full disk) never leaves a truncated file under a
// final name. A target that exists and is not a regular file (a device such as /dev/null, a pipe)
// is written in place; a symbolic link is followed and its target replaced. The temporaries in
// flight are removed when the process exits, and when it is stopped by a signal once
// remove_temporaries_on_signals() was called.
#ifndef SAFE_OUTPUT_H
#define SAFE_OUTPUT_H

#include <cstdio>
#include <string>

class SafeOutput {
  public:
    SafeOutput() = default;
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;
    ~SafeOutput() { abandon(); }

    // Creates the temporary for final_name and opens it with fopen mode "w" or "wb"; null (errno
    // set) when it cannot be created.
    std::FILE* open(const char* final_name, const char* mode);
    // Flushes, checks for write errors, closes and renames over the final name. On any failure
    // the temporary is removed, the final name keeps what it held and errno tells why.
    bool commit();
    // Closes and removes the temporary; the final name keeps what it held.
    void abandon();

  private:
    std::FILE* file_ = nullptr;
    std::string target_;  // the final name, or the file a symbolic link points to
    std::string temp_;    // empty: written in place
    int slot_ = -1;       // entry in the table of temporaries removed at exit
};

// From then on SIGINT (Ctrl-C), SIGTERM and SIGHUP remove the temporaries in flight, of every
// thread, and end the process by the same signal with its default action (a shell then reports
// the status 128 + the signal number). A signal the process ignores stays ignored.
void remove_temporaries_on_signals();

#endif
