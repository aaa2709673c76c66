// SPDX-License-Identifier: BSD-3-Clause
// What the whole-series benchmarks share: their options (series size,
// workers, rounds), the timing of one run in wall-clock and processor time,
// and the statistics they print.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

namespace tamrin_bench {

struct SeriesBenchOptions {
    int X = 96, Y = 96, Z = 40, N = 30;
    int workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int rounds = 5;
};

// Reads --size XxYxZxN, --workers K and --rounds R. Returns false after
// printing the help (*status 0) or a usage error (*status 1).
inline bool parseSeriesBenchOptions(int argc, char** argv, const std::string& about, SeriesBenchOptions* options,
                                    int* status) {
    CLI::App app(about);
    std::string size;
    app.add_option("--size", size, "series extents (default 96x96x40x30)")->type_name("XxYxZxN");
    app.add_option("--workers", options->workers, "worker threads (default: every processor)")
        ->type_name("K")
        ->check(CLI::Range(1, 65536).description(""));
    app.add_option("--rounds", options->rounds, "interleaved rounds (default 5)")
        ->type_name("R")
        ->check(CLI::Range(1, 1000000).description(""));
    try {
        app.parse(argc, argv);
        char tail = 0;
        if (!size.empty() && (std::sscanf(size.c_str(), "%dx%dx%dx%d%c", &options->X, &options->Y, &options->Z,
                                          &options->N, &tail) != 4 ||
                              std::min({options->X, options->Y, options->Z, options->N}) < 1))
            throw CLI::ValidationError("--size", "expected four positive extents, XxYxZxN, got " + size);
    } catch (const CLI::ParseError& error) {
        *status = app.exit(error) == 0 ? 0 : 1;
        return false;
    }
    return true;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

inline double lowest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

inline double cpuSeconds() {
    timespec t;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall-clock and processor time (all threads of the process) of one run.
inline void measure(const std::function<void()>& run, std::vector<double>* wall, std::vector<double>* cpu) {
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    wall->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpu->push_back(cpuSeconds() - cpuStart);
}

}  // namespace tamrin_bench
