// SPDX-License-Identifier: BSD-3-Clause
// Progress line for long runs, drawn by the calling thread while the run goes
// on in a thread of its own.
#include "progress.h"

#include "tamrin/watch.h"

namespace tamrin {

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

struct Line {
    std::FILE* out;
    std::chrono::steady_clock::time_point start;
};

void drawLine(int64_t done, int64_t total, bool finished, void* context) {
    Line* line = static_cast<Line*>(context);
    if (line->out == nullptr) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - line->start).count();
    // Clear to the end of the line: the previous line may have been longer.
    std::fprintf(line->out, "\r%s\033[K%s", formatProgress(done, total, elapsed).c_str(), finished ? "\n" : "");
    std::fflush(line->out);
}

}  // namespace

int32_t denoiseWithProgress(const SeriesView& series, int32_t workers, const DenoiseResults& results,
                            const DenoiseOptions& options, std::FILE* out, std::chrono::milliseconds interval) {
    Line line{out, std::chrono::steady_clock::now()};
    return denoiseSeriesWatched(series, workers, results, options, static_cast<int32_t>(interval.count()), drawLine,
                                &line);
}

}  // namespace tamrin
