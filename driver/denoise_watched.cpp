// SPDX-License-Identifier: BSD-3-Clause
// denoiseSeriesWatched: the run on a thread of its own, the caller's thread
// waking every interval to look at the workers' progress counter. Reporting
// costs the workers one relaxed atomic addition per row of positions.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "tamrin/watch.h"

namespace tamrin {

int32_t denoiseSeriesWatched(const SeriesView& series, int32_t requested, const DenoiseResults& results,
                             const DenoiseOptions& options, int32_t intervalMs, DenoiseWatch watch, void* context) {
    std::atomic<int64_t> ownCounter{0};
    DenoiseOptions run = options;
    if (run.progress == nullptr) run.progress = &ownCounter;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int32_t status = kDenoiseOk;

    auto work = [&] {
        const int32_t result = denoiseSeries(series, requested, results, run);
        std::lock_guard<std::mutex> lock(mutex);
        status = result;
        done = true;
        finished.notify_one();
    };
    std::thread runner;
    try {
        runner = std::thread(work);
    } catch (const std::system_error&) {
        work();  // no thread to spare: run here, with only the final report
    }

    const int64_t total = patchPositions(series.X, series.Y, series.Z, series.N);
    const auto interval = std::chrono::milliseconds(intervalMs > 0 ? intervalMs : 1);
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, interval, [&] { return done; })) {
            lock.unlock();
            if (watch != nullptr) watch(run.progress->load(std::memory_order_relaxed), total, false, context);
            lock.lock();
        }
    }
    if (runner.joinable()) runner.join();
    if (watch != nullptr) watch(run.progress->load(), total, true, context);
    return status;
}

}  // namespace tamrin
