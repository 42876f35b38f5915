// Work on many files at once: a per-file function, mapped over the files by a pool of
// threads, its results handed over on the calling thread in the order of the files, so that
// the output of a run is the same whatever the number of threads.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

// Calls work(i) for every i from 0 to count - 1 on `jobs` threads (the calling thread waits;
// jobs <= 1 or a single file: everything on the calling thread), and deliver(i, result) on
// the calling thread for i = 0, 1, 2, ... as the results come. `work` must not throw (a
// per-file function turns its failures into its result); it may run on any thread, for
// several files at once. At most a few results per thread wait for their turn to be
// delivered: the threads do not run ahead of a slow file without bound.
template <class Result, class Work, class Deliver>
void map_in_order(std::size_t count, int jobs, const Work &work, const Deliver &deliver) {
    if (jobs <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; i++) {
            deliver(i, work(i));
        }
        return;
    }
    const std::size_t threads = std::min(static_cast<std::size_t>(jobs), count);
    const std::size_t window = threads * 8;
    std::vector<std::optional<Result>> slots(window);
    std::mutex mutex;
    std::condition_variable taken;    // a slot came free
    std::condition_variable finished; // a result came
    std::size_t next = 0;             // the next file to start
    std::size_t delivered = 0;        // files handed over so far

    const auto worker = [&] {
        for (;;) {
            std::size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex);
                taken.wait(lock, [&] { return next >= count || next < delivered + window; });
                if (next >= count) {
                    return;
                }
                i = next++;
            }
            Result result = work(i);
            {
                std::lock_guard<std::mutex> lock(mutex);
                slots[i % window].emplace(std::move(result));
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (std::size_t t = 0; t < threads; t++) {
        pool.emplace_back(worker);
    }
    for (std::size_t i = 0; i < count; i++) {
        std::optional<Result> result;
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return slots[i % window].has_value(); });
            result.swap(slots[i % window]);
            delivered = i + 1;
        }
        taken.notify_all();
        deliver(i, std::move(*result));
    }
    for (std::thread &thread : pool) {
        thread.join();
    }
}
