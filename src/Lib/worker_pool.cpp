// Fixed worker threads that take task indices from a shared counter; the caller takes part
// and waits for the last task of its batch.
#include "worker_pool.h"

#include <algorithm>
#include <cstdio>

WorkerPool::WorkerPool(int threads) {
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    threads = std::max(threads, 1);
    workers_.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) workers_.emplace_back([this] { worker_loop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

// Takes indices of the current batch until none is left.
void WorkerPool::work(std::size_t generation) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (generation_ == generation && next_ < n_) {
        const int k = next_++;
        ++busy_;
        const std::function<void(int)>* task = task_;
        lock.unlock();
        (*task)(k);
        lock.lock();
        if (--busy_ == 0 && next_ >= n_) done_.notify_all();
    }
}

void WorkerPool::worker_loop() {
    std::size_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
        }
        work(seen);
    }
}

void WorkerPool::run(int n, const std::function<void(int)>& task) {
    if (n <= 0) return;
    if (workers_.empty() || n == 1) {
        for (int k = 0; k < n; ++k) task(k);
        return;
    }
    std::size_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        n_ = n;
        next_ = 0;
        busy_ = 0;
        generation = ++generation_;
    }
    wake_.notify_all();
    work(generation);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return next_ >= n_ && busy_ == 0; });
    task_ = nullptr;
    n_ = 0;
}

void for_line_ranges(WorkerPool* pool, int nb_line, const std::function<void(int, int)>& body) {
    const int parts = pool ? std::min(pool->threads(), nb_line / 16) : 1;
    if (parts <= 1) {
        if (nb_line > 0) body(0, nb_line);
        return;
    }
    pool->run(parts, [&](int p) {
        const int first = static_cast<int>(static_cast<long>(nb_line) * p / parts);
        const int end = static_cast<int>(static_cast<long>(nb_line) * (p + 1) / parts);
        body(first, end);
    });
}

namespace {
thread_local std::string* captured_output = nullptr;
}

CapturedOutput::CapturedOutput(std::string* buffer) : previous_(captured_output) {
    captured_output = buffer;
}

CapturedOutput::~CapturedOutput() {
    captured_output = previous_;
}

void print_or_capture(const char* text) {
    if (captured_output)
        captured_output->append(text);
    else
        std::fputs(text, stdout);
}
