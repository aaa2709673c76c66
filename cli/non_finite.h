// NaN and infinities in a series read from a file. The denoiser's arithmetic
// must not see them (one of them turns every patch over it into NaN), so
// they are set aside as 0 before the run; the voxels that held them get no
// estimate of their own but the treatment of uncovered voxels, and the
// values themselves are put back before that treatment reads the input.
// The same whether the values were mapped from a .nii, loaded from a
// .nii.gz or converted from scaled integers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "series_file.h"

namespace tamrin {

struct NonFiniteValues {
    // Consecutive elements holding the same value.
    struct Run {
        int64_t start, count;
        double value;
    };
    std::vector<Run> runs;
    int64_t count = 0;   // values that were not finite
    int64_t voxels = 0;  // voxels holding one of them (in any volume)
};

// Replaces every value of the series that is not finite by 0 and records
// it. False with a message when the values cannot be written (a mapping the
// system will not make writable).
bool setAsideNonFinite(SeriesFile* series, NonFiniteValues* record, std::string* error);

// Puts the recorded values back where they were.
void putBackNonFinite(SeriesFile* series, const NonFiniteValues& record);

// Where the first recorded value lies: "x 4, y 2, z 1, volume 0".
std::string firstNonFinite(const SeriesView& series, const NonFiniteValues& record);

// Leaves the voxels that held a recorded value uncovered in the results:
// weight 0 and NaN in every volume, the noise map and (when not null) the
// rank map.
void uncoverNonFinite(const SeriesView& series, const NonFiniteValues& record, double* denoised, double* noise,
                      double* rank, double* weight);

}  // namespace tamrin
