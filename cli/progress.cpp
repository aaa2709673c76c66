// Progress line for long runs. The workers count finished patch positions in
// an atomic counter; this thread only reads it, so reporting adds one relaxed
// atomic addition per row of positions to the work.
#include "progress.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "tamrin/denoise.h"
#include "tamrin/noise.h"

namespace tamrin {

int64_t patchPositions(int32_t X, int32_t Y, int32_t Z, int32_t N) {
    const int64_t s = patchSide(N);
    const int64_t px = X - s + 1, py = Y - s + 1, pz = Z - s + 1;
    if (px <= 0 || py <= 0 || pz <= 0) return 0;
    return px * py * pz;
}

std::string formatDuration(double seconds) {
    const int64_t total = seconds > 0 ? static_cast<int64_t>(seconds + 0.5) : 0;
    const int64_t h = total / 3600, m = (total / 60) % 60, s = total % 60;
    char text[48];
    if (h > 0)
        std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", static_cast<long long>(h), static_cast<long long>(m),
                      static_cast<long long>(s));
    else
        std::snprintf(text, sizeof(text), "%lld:%02lld", static_cast<long long>(m), static_cast<long long>(s));
    return text;
}

std::string groupDigits(int64_t value) {
    std::string digits = std::to_string(value < 0 ? -value : value), out;
    for (std::size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return value < 0 ? "-" + out : out;
}

std::string formatProgress(int64_t done, int64_t total, double elapsedSeconds) {
    constexpr int kWidth = 24;
    if (done > total) done = total;
    const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const int filled = static_cast<int>(fraction * kWidth);
    char percent[8];
    std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(fraction * 100.0));
    std::string line = std::string(percent) + " [" + std::string(filled, '#') + std::string(kWidth - filled, '.') +
                       "] " + groupDigits(done) + "/" + groupDigits(total) + " patches  " +
                       formatDuration(elapsedSeconds) + " elapsed";
    if (done > 0 && done < total)
        line += "  " + formatDuration(elapsedSeconds * static_cast<double>(total - done) / static_cast<double>(done)) +
                " left";
    return line;
}

namespace {

template <typename T>
int32_t runWithProgress(const T* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                        double* denoisedSum, double* noiseSum, double* weightSum, std::FILE* out,
                        std::chrono::milliseconds interval) {
    std::atomic<int64_t> counter{0};
    DenoiseOptions options{&counter};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int32_t status = kDenoiseOk;

    auto work = [&] {
        const int32_t result = denoiseVolume(input, X, Y, Z, N, workers, denoisedSum, noiseSum, weightSum, &options);
        std::lock_guard<std::mutex> lock(mutex);
        status = result;
        done = true;
        finished.notify_one();
    };
    std::thread runner;
    try {
        runner = std::thread(work);
    } catch (const std::system_error&) {
        work();  // no thread to spare: run here, without progress
    }

    const int64_t total = patchPositions(X, Y, Z, N);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, interval, [&] { return done; }))
            if (out != nullptr) {
                // Clear to the end of the line: the previous line may have been longer.
                std::fprintf(out, "\r%s\033[K",
                             formatProgress(counter.load(std::memory_order_relaxed), total, elapsed()).c_str());
                std::fflush(out);
            }
    }
    if (runner.joinable()) runner.join();
    if (out != nullptr) {
        std::fprintf(out, "\r%s\033[K\n", formatProgress(counter.load(), total, elapsed()).c_str());
        std::fflush(out);
    }
    return status;
}

}  // namespace

int32_t denoiseWithProgress(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                            double* denoisedSum, double* noiseSum, double* weightSum, std::FILE* out,
                            std::chrono::milliseconds interval) {
    return runWithProgress(input, X, Y, Z, N, workers, denoisedSum, noiseSum, weightSum, out, interval);
}

int32_t denoiseWithProgress(const float* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                            double* denoisedSum, double* noiseSum, double* weightSum, std::FILE* out,
                            std::chrono::milliseconds interval) {
    return runWithProgress(input, X, Y, Z, N, workers, denoisedSum, noiseSum, weightSum, out, interval);
}

}  // namespace tamrin
