// A small fixed pool of worker threads for deterministic data parallelism: run(n, task) calls
// task(0) .. task(n - 1), each exactly once, spread over the workers and the calling thread,
// and returns when all have finished. Tasks must write disjoint data; then the result does not
// depend on the number of threads or on the schedule. A pool of one thread runs the tasks in
// order on the calling thread. run() is not reentrant: a task must not call run() on the same
// pool (inner work of a task runs serially).
#ifndef WORKER_POOL_H
#define WORKER_POOL_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class WorkerPool {
  public:
    // threads <= 0: one per hardware thread (at least one).
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(workers_.size()) + 1; }
    void run(int n, const std::function<void(int)>& task);

  private:
    void work(std::size_t generation);
    void worker_loop();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(int)>* task_ = nullptr;
    int n_ = 0, next_ = 0, busy_ = 0;
    std::size_t generation_ = 0;
    bool stop_ = false;
};

// Splits lines 0 .. nb_line - 1 into at most pool->threads() contiguous ranges and calls
// body(first, end) for each; serial (one call) when pool is null or nb_line is small.
void for_line_ranges(WorkerPool* pool, int nb_line, const std::function<void(int, int)>& body);

// Work that threads left idle may join while its owner runs it: help() takes units of the work
// until none is left to take (possibly waiting for units to become ready) and returns; once
// exhausted() is true, help() has nothing more to give.
class SharedWork {
  public:
    virtual ~SharedWork() = default;
    virtual void help() = 0;
    virtual bool exhausted() const = 0;
};

// Where the owner of shared work announces it: after offer(w), idle threads may call w->help();
// withdraw(w) returns once no thread is inside w->help() and none will enter it again.
class WorkSharing {
  public:
    virtual ~WorkSharing() = default;
    virtual void offer(SharedWork* work) = 0;
    virtual void withdraw(SharedWork* work) = 0;
};

// Console text of a task: while a CapturedOutput lives on a thread, print_or_capture() on that
// thread appends to its buffer instead of writing to standard output, so the caller can print
// the buffers of a batch in a fixed order.
class CapturedOutput {
  public:
    explicit CapturedOutput(std::string* buffer);
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

  private:
    std::string* previous_;
};
void print_or_capture(const char* text);

#endif
