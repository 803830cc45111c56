// A small fixed pool of worker threads for deterministic data parallelism. run(n, task) calls
// task(0) .. task(n - 1), each exactly once, spread over the workers and the calling thread,
// and returns when all have finished. Beside these batches the same workers run task chains:
// the tasks queued on one chain run one at a time in queue order, different chains side by
// side, taken by workers with no batch index left and by a thread in wait_chains(). Workers with
// nothing else to do join shared work offered through the pool (WorkSharing). Tasks must write
// disjoint data; then the result does not depend on the number of threads or on the schedule.
// A pool of one thread runs batches in order on the calling thread and chains in wait_chains().
// run() is not reentrant and is called by one thread at a time; tasks do not call run().
#ifndef WORKER_POOL_H
#define WORKER_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "work_sharing.h"

class WorkerPool : public WorkSharing {
  public:
    // threads <= 0: one per processor the process may run on (at least one).
    explicit WorkerPool(int threads);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(workers_.size()) + 1; }
    void run(int n, const std::function<void(int)>& task);

    // Queues task on chain `key` (0, 1, ...). Among the chains free to run, one whose next task
    // is `urgent` is served first.
    void chain(int key, bool urgent, std::function<void()> task);
    // Takes part in the chains (and in offered work) until no urgent task, or with all = true no
    // task at all, is queued or running.
    void wait_chains(bool all);

    void offer(SharedWork* work) override;
    void withdraw(SharedWork* work) override;
    bool dedicated_processors() const override { return dedicated_; }

  private:
    struct Chain {
        std::deque<std::pair<bool, std::function<void()>>> queued;  // (urgent, task)
        bool running = false;
    };
    bool run_batch_index(std::unique_lock<std::mutex>& lock);
    bool run_chain_or_help(std::unique_lock<std::mutex>& lock);
    void worker_loop();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // The batch of run(): indices next_ .. n_ - 1 left, busy_ of them running.
    const std::function<void(int)>* task_ = nullptr;
    int n_ = 0, next_ = 0, busy_ = 0;
    std::vector<Chain> chains_;
    long urgent_left_ = 0, chained_left_ = 0;           // queued or running
    std::vector<std::pair<SharedWork*, int>> offered_;  // offered work, threads inside it
    bool stop_ = false;
    bool dedicated_ = true;  // no more threads than processors the process may run on
};

// The processors the process may run on (its affinity mask, which batch schedulers set), or the
// processors online when the mask cannot be read.
int available_processors();

// Splits lines 0 .. nb_line - 1 into at most pool->threads() contiguous ranges and calls
// body(first, end) for each; serial (one call) when pool is null or nb_line is small.
void for_line_ranges(WorkerPool* pool, int nb_line, const std::function<void(int, int)>& body);

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
