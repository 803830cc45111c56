// Fixed worker threads that take batch indices from a shared counter, then task chains, then
// offered work; the caller of run() takes part in its batch and waits for its last index.
#include "worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>

int available_processors() {
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        const int n = CPU_COUNT(&mask);
        if (n > 0) return n;
    }
    return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
}

WorkerPool::WorkerPool(int threads) {
    const int processors = available_processors();
    if (threads <= 0) threads = processors;
    threads = std::max(threads, 1);
    dedicated_ = threads <= processors;
    workers_.reserve(static_cast<std::size_t>(threads) - 1);
    for (int t = 1; t < threads; ++t) workers_.emplace_back([this] { worker_loop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
}

// Runs one index of the current batch, if one is left. Called with mutex_ held, which is
// released meanwhile.
bool WorkerPool::run_batch_index(std::unique_lock<std::mutex>& lock) {
    if (!task_ || next_ >= n_) return false;
    const int k = next_++;
    ++busy_;
    const std::function<void(int)>* task = task_;
    lock.unlock();
    (*task)(k);
    lock.lock();
    if (--busy_ == 0 && next_ >= n_) changed_.notify_all();
    return true;
}

// Runs the next task of a free chain, urgent ones first, or else joins offered work; false when
// there is nothing to do. Called with mutex_ held, which is released meanwhile.
bool WorkerPool::run_chain_or_help(std::unique_lock<std::mutex>& lock) {
    std::size_t pick = chains_.size();  // an index: chain() may grow chains_ meanwhile
    for (int pass = 0; pass < 2 && pick == chains_.size(); ++pass)
        for (std::size_t c = 0; c < chains_.size(); ++c)
            if (!chains_[c].running && !chains_[c].queued.empty() &&
                (pass == 1 || chains_[c].queued.front().first)) {
                pick = c;
                break;
            }
    if (pick < chains_.size()) {
        const bool urgent = chains_[pick].queued.front().first;
        const std::function<void()> task = std::move(chains_[pick].queued.front().second);
        chains_[pick].queued.pop_front();
        chains_[pick].running = true;
        lock.unlock();
        task();
        lock.lock();
        chains_[pick].running = false;
        if (urgent) --urgent_left_;
        --chained_left_;
        changed_.notify_all();
        return true;
    }
    for (auto& [work, inside] : offered_)
        if (!work->exhausted()) {
            SharedWork* w = work;
            ++inside;
            lock.unlock();
            w->help();
            lock.lock();
            for (auto& entry : offered_)
                if (entry.first == w) --entry.second;
            changed_.notify_all();
            return true;
        }
    return false;
}

void WorkerPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_)
        if (!run_batch_index(lock) && !run_chain_or_help(lock)) changed_.wait(lock);
}

void WorkerPool::run(int n, const std::function<void(int)>& task) {
    if (n <= 0) return;
    if (workers_.empty() || n == 1) {
        for (int k = 0; k < n; ++k) task(k);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = &task;
    n_ = n;
    next_ = 0;
    busy_ = 0;
    changed_.notify_all();
    while (run_batch_index(lock)) {
    }
    changed_.wait(lock, [&] { return busy_ == 0; });
    task_ = nullptr;
    n_ = 0;
}

void WorkerPool::chain(int key, bool urgent, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (chains_.size() <= static_cast<std::size_t>(key))
            chains_.resize(static_cast<std::size_t>(key) + 1);
        chains_[static_cast<std::size_t>(key)].queued.emplace_back(urgent, std::move(task));
        if (urgent) ++urgent_left_;
        ++chained_left_;
    }
    changed_.notify_all();
}

void WorkerPool::wait_chains(bool all) {
    std::unique_lock<std::mutex> lock(mutex_);
    while ((all ? chained_left_ : urgent_left_) > 0)
        if (!run_chain_or_help(lock)) changed_.wait(lock);
}

void WorkerPool::offer(SharedWork* work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offered_.emplace_back(work, 0);
    }
    changed_.notify_all();
}

void WorkerPool::withdraw(SharedWork* work) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto entry = [&] {
        return std::find_if(offered_.begin(), offered_.end(),
                            [&](const auto& e) { return e.first == work; });
    };
    changed_.wait(lock, [&] { return entry()->second == 0; });
    offered_.erase(entry());
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
