// Setting aside and putting back the values of a series that are not finite.
#include "non_finite.h"

#include <cmath>
#include <cstring>
#include <new>

namespace tamrin {
namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// One pass over the values: counts those that are not finite and, when
// `zero`, records and zeroes them (else only counts).
template <typename T>
int64_t scan(T* values, int64_t count, bool zero, NonFiniteValues* record) {
    int64_t found = 0;
    for (int64_t i = 0; i < count; i++) {
        if (std::isfinite(values[i])) continue;
        found++;
        if (!zero) continue;
        const double value = static_cast<double>(values[i]);
        std::vector<NonFiniteValues::Run>& runs = record->runs;
        if (!runs.empty() && runs.back().start + runs.back().count == i && sameBits(runs.back().value, value))
            runs.back().count++;
        else
            runs.push_back(NonFiniteValues::Run{i, 1, value});
        values[i] = 0;
    }
    return found;
}

template <typename T>
void putBack(T* values, const NonFiniteValues& record) {
    for (const NonFiniteValues::Run& run : record.runs)
        for (int64_t i = run.start; i < run.start + run.count; i++) values[i] = static_cast<T>(run.value);
}

int64_t elementsOf(const SeriesView& s) { return int64_t{s.X} * s.Y * s.Z * s.N; }

// The series' values for writing: a mapping is made writable first (its
// pages are private, the file does not change).
void* writableValues(SeriesFile* series) {
    if (series->mapped.base != nullptr && !makeWritable(&series->mapped)) return nullptr;
    return const_cast<void*>(series->view.values);
}

}  // namespace

bool setAsideNonFinite(SeriesFile* series, NonFiniteValues* record, std::string* error) {
    const SeriesView& s = series->view;
    const int64_t elements = elementsOf(s);
    // A first pass that only reads: the usual series has nothing to set
    // aside, and a mapped one stays read-only.
    void* values = const_cast<void*>(s.values);
    const int64_t found = s.type == kValuesSingle ? scan(static_cast<float*>(values), elements, false, record)
                                                  : scan(static_cast<double*>(values), elements, false, record);
    if (found == 0) return true;
    values = writableValues(series);
    if (values == nullptr) {
        *error = series->path + ": holds NaN or infinite values, and its mapping cannot be made writable to set them aside";
        return false;
    }
    try {
        record->count = s.type == kValuesSingle ? scan(static_cast<float*>(values), elements, true, record)
                                                : scan(static_cast<double*>(values), elements, true, record);
        const int64_t voxels = int64_t{s.X} * s.Y * s.Z;
        std::vector<uint8_t> holds(static_cast<std::size_t>(voxels));
        for (const NonFiniteValues::Run& run : record->runs)
            for (int64_t i = run.start; i < run.start + run.count; i++) holds[i % voxels] = 1;
        for (uint8_t h : holds) record->voxels += h;
    } catch (const std::bad_alloc&) {
        putBackNonFinite(series, *record);
        *error = series->path + ": not enough memory to record its " + std::to_string(found) + " NaN or infinite values";
        return false;
    }
    return true;
}

void putBackNonFinite(SeriesFile* series, const NonFiniteValues& record) {
    if (record.runs.empty()) return;
    void* values = const_cast<void*>(series->view.values);
    if (series->view.type == kValuesSingle)
        putBack(static_cast<float*>(values), record);
    else
        putBack(static_cast<double*>(values), record);
}

std::string firstNonFinite(const SeriesView& s, const NonFiniteValues& record) {
    if (record.runs.empty()) return "";
    const int64_t i = record.runs.front().start, X = s.X, Y = s.Y, Z = s.Z;
    return "x " + std::to_string(i % X) + ", y " + std::to_string(i / X % Y) + ", z " + std::to_string(i / (X * Y) % Z) +
           ", volume " + std::to_string(i / (X * Y * Z));
}

void uncoverNonFinite(const SeriesView& s, const NonFiniteValues& record, double* denoised, double* noise,
                      double* rank, double* weight) {
    const int64_t voxels = int64_t{s.X} * s.Y * s.Z;
    // The NaN of the denoiser's uncovered voxels, 0 / 0 as the processor
    // gives it (a constant NaN may have other bits).
    volatile double zero = 0.0;
    const double nan = zero / zero;
    for (const NonFiniteValues::Run& run : record.runs)
        for (int64_t i = run.start; i < run.start + run.count; i++) {
            const int64_t k = i % voxels;
            weight[k] = 0.0;
            noise[k] = nan;
            if (rank != nullptr) rank[k] = nan;
            for (int64_t v = 0; v < s.N; v++) denoised[k + voxels * v] = nan;
        }
}

}  // namespace tamrin
