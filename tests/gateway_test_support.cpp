// SPDX-License-Identifier: BSD-3-Clause
#include "gateway_test_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tamrin/denoise.h"
#include "tamrin/messages.h"

namespace gateway_test {

const std::vector<mxClassID>& numericClasses() {
    static const std::vector<mxClassID> classes = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,  mxUINT8_CLASS,
                                                   mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS,
                                                   mxINT64_CLASS,  mxUINT64_CLASS};
    return classes;
}

const char* className(mxClassID type) {
    mxArray* probe = mex_host::create(type, {1, 1});
    const char* name = mxGetClassName(probe);
    mex_host::destroy(probe);
    return name;
}

tamrin_test::Series wholeSeries(int32_t X, int32_t Y, int32_t Z, int32_t N, uint64_t seed) {
    tamrin_test::Series s = tamrin_test::phantomSeries(X, Y, Z, N, 15.0, seed);
    double top = 0.0;
    for (double v : s.data) top = std::max(top, std::fabs(v));
    for (double& v : s.data) v = std::round(v * (120.0 / top)) + 0.0;  // + 0.0: no -0
    s.data[static_cast<std::size_t>(s.voxels() * (N / 2) + s.voxels() / 2)] = -7.0;
    return s;
}

tamrin_test::Series heldBy(const tamrin_test::Series& s, mxClassID type) {
    tamrin_test::Series held = s;
    const bool unsignedClass = type == mxUINT8_CLASS || type == mxUINT16_CLASS || type == mxUINT32_CLASS ||
                               type == mxUINT64_CLASS;
    if (unsignedClass)
        for (double& v : held.data) v = std::max(v, 0.0);
    return held;
}

mxArray* seriesArray(const tamrin_test::Series& s, mxClassID type) {
    return mex_host::filled(type, {static_cast<mwSize>(s.X), static_cast<mwSize>(s.Y), static_cast<mwSize>(s.Z),
                                   static_cast<mwSize>(s.N)},
                            s.data);
}

Reference coreResults(const tamrin_test::Series& s, int32_t workers, const std::vector<uint8_t>& mask) {
    Reference r;
    const std::size_t voxels = static_cast<std::size_t>(s.voxels());
    r.denoised.assign(s.data.size(), -1.0);
    r.noise.assign(voxels, -1.0);
    r.rank.assign(voxels, -1.0);
    std::vector<double> weight(voxels);
    tamrin::DenoiseResults results = tamrin_test::resultsInto(r.denoised, r.noise, weight);
    results.rank = r.rank.data();
    tamrin::MessageLog log;
    tamrin::DenoiseOptions options;
    options.messages = &log;
    options.mask = mask.empty() ? nullptr : mask.data();
    r.status = tamrin::denoiseSeries(tamrin::seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers, results, options);
    int64_t lost = 0;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(&log, &lost))
        for (int64_t i = 0; i < run.count; i++) r.printed += run.text;
    return r;
}

bool holds(const mxArray* array, const std::vector<double>& values, bool single) {
    if (array == nullptr || mxIsComplex(array) || mxGetNumberOfElements(array) != values.size()) return false;
    if (mxGetClassID(array) != (single ? mxSINGLE_CLASS : mxDOUBLE_CLASS)) return false;
    for (std::size_t i = 0; i < values.size(); i++) {
        if (single) {
            const float want = static_cast<float>(values[i]), got = mex_host::valuesOf<float>(array)[i];
            if (std::isnan(want) ? !std::isnan(got) : std::memcmp(&want, &got, sizeof want) != 0) return false;
        } else if (!tamrin_test::sameBits(values[i], mex_host::valuesOf<double>(array)[i])) {
            return false;
        }
    }
    return true;
}

double valueAt(const mxArray* array, std::size_t i) {
    return mxGetClassID(array) == mxSINGLE_CLASS ? mex_host::valuesOf<float>(array)[i]
                                                 : mex_host::valuesOf<double>(array)[i];
}

bool shaped(const mxArray* array, const std::vector<mwSize>& dims) {
    return array != nullptr && mxGetNumberOfDimensions(array) == dims.size() &&
           std::equal(dims.begin(), dims.end(), mxGetDimensions(array));
}

}  // namespace gateway_test
