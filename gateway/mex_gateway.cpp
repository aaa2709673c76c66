// The MEX function Tamrin: [denoised, noiseMap, rank] = Tamrin(data, workers, mask).
//
// Checks the arguments, creates the results, runs denoiseSeries and hands the
// results to the host. The host's API may only be used from the calling
// thread, so the call gives the core a message log of its own, which keeps
// the workers' messages until they have ended; the calling thread then
// prints them in order. The core's scratch comes from the C allocator.
//
// Error paths: the host's error call does not return (it unwinds or jumps
// past this frame), so before raising an error everything obtained here is
// released, and no object with a destructor is alive in the frame that
// raises it.
//
// The gateway's own blocks (mask, weights, scratch noise map, logged
// messages) go through the same fault-injection countdown as the core's, so
// that tests can make each of them fail. Built with TAMRIN_TEST_HOOKS (the
// test-only module Tamrin_faults, never the shipped Tamrin), an optional
// fourth argument [allocation thread] arms the countdowns for the call (0
// leaves one disarmed), and an optional fourth result gives what was left of
// them when the call ended, so a test can count a call's allocations and
// thread starts.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mex.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/messages.h"

namespace {

// ---------------------------------------------------------------------------
// Messages from worker threads.

// Prints the call's messages verbatim on the calling thread, each as often as
// it was issued.
void printMessages(tamrin::MessageLog* log) {
    int64_t lost = 0;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(log, &lost))
        for (int64_t i = 0; i < run.count; i++) mexPrintf("%s", run.text.c_str());
    if (lost > 0) mexPrintf("Tamrin: %lld further messages were lost for want of memory\n", static_cast<long long>(lost));
}

// ---------------------------------------------------------------------------
// Argument checks.

// An error to raise: identifier and message.
struct Failure {
    const char* id;
    char text[320];
};

bool fail(Failure* failure, const char* id, const char* format, ...) __attribute__((format(printf, 3, 4)));

bool fail(Failure* failure, const char* id, const char* format, ...) {
    failure->id = id;
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure->text, sizeof failure->text, format, args);
    va_end(args);
    return false;
}

// Checks the argument and result counts and the data array, and reads the
// extents X, Y, Z, N.
bool checkData(int nlhs, int nrhs, const mxArray* prhs[], int32_t extents[4], Failure* failure) {
#ifdef TAMRIN_TEST_HOOKS
    if (nrhs < 2 || nrhs > 4)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 to 4 inputs, Tamrin_faults(data, workers, mask, [allocation thread]), but got %d",
                    nrhs);
    if (nlhs > 4)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 4 outputs, [denoised, noiseMap, rank, left], but %d were requested", nlhs);
#else
    if (nrhs != 2 && nrhs != 3)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 or 3 inputs, Tamrin(data, workers) or Tamrin(data, workers, mask), but got %d", nrhs);
    if (nlhs > 3)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 3 outputs, [denoised, noiseMap, rank], but %d were requested", nlhs);
#endif

    const mxArray* data = prhs[0];
    if (!mxIsDouble(data) || mxIsComplex(data) || mxIsSparse(data)) {
        const char* what = !mxIsDouble(data) ? mxGetClassName(data) : mxIsComplex(data) ? "complex double" : "sparse double";
        return fail(failure, "Tamrin:dataType", "data must be a real, full (not sparse) double array; got a %s array",
                    what);
    }

    const mwSize ndims = mxGetNumberOfDimensions(data);
    const mwSize* dims = mxGetDimensions(data);
    if (ndims != 4)
        return fail(failure, "Tamrin:dataDims",
                    "data must have exactly four dimensions, X x Y x Z x N (N volumes of an X x Y x Z grid); "
                    "got %lld dimensions%s",
                    static_cast<long long>(ndims),
                    ndims == 3 ? " (a single volume: at least 2 volumes are needed)" : "");
    for (int i = 0; i < 4; i++)
        if (dims[i] > INT32_MAX)
            return fail(failure, "Tamrin:dataDims", "each extent of data must be at most 2147483647; extent %d is %lld",
                        i + 1, static_cast<long long>(dims[i]));
    for (int i = 0; i < 3; i++)
        if (dims[i] < 1)
            return fail(failure, "Tamrin:dataDims",
                        "data must not be empty: the extents X, Y and Z must be at least 1; extent %d is %lld", i + 1,
                        static_cast<long long>(dims[i]));
    if (dims[3] < 2)
        return fail(failure, "Tamrin:volumes", "data must hold at least 2 volumes (its 4th extent N); N is %lld",
                    static_cast<long long>(dims[3]));

    for (int i = 0; i < 4; i++) extents[i] = static_cast<int32_t>(dims[i]);
    return true;
}

// Reads the requested worker count: a finite real numeric scalar of at least
// 1, truncated toward zero; values past the 32-bit range become its largest
// value (the driver lowers any count to what the series allows).
bool readWorkers(const mxArray* workers, int32_t* requested, Failure* failure) {
    if (!mxIsNumeric(workers) || mxIsComplex(workers) || mxGetNumberOfElements(workers) != 1)
        return fail(failure, "Tamrin:workers",
                    "workers must be a real numeric scalar (the number of worker threads, at least 1); "
                    "got a %s%s array with %lld elements",
                    mxIsComplex(workers) ? "complex " : "", mxGetClassName(workers),
                    static_cast<long long>(mxGetNumberOfElements(workers)));
    const double value = mxGetScalar(workers);
    if (!std::isfinite(value) || value < 1.0)
        return fail(failure, "Tamrin:workers",
                    "workers must be a finite number of at least 1 (the number of worker threads); got %g", value);
    *requested = value >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(value);
    return true;
}

// Reads count mask values: with `mask`, writes them as bytes (1 where the
// value is not 0). Returns the number inside, or -1 - k at a NaN at k.
template <typename T>
long long maskValues(const void* data, std::size_t count, uint8_t* mask) {
    const T* values = static_cast<const T*>(data);
    long long inside = 0;
    for (std::size_t k = 0; k < count; k++) {
        if (values[k] != values[k]) return -1 - static_cast<long long>(k);
        inside += values[k] != 0 ? 1 : 0;
        if (mask != nullptr) mask[k] = values[k] != 0 ? 1 : 0;
    }
    return inside;
}

// maskValues for an array of any class the mask may have; -2^62 for another.
long long maskValuesOf(const mxArray* array, std::size_t count, uint8_t* mask) {
    const void* data = mxGetData(array);
    switch (mxGetClassID(array)) {
        case mxLOGICAL_CLASS: return maskValues<mxLogical>(data, count, mask);
        case mxDOUBLE_CLASS: return maskValues<double>(data, count, mask);
        case mxSINGLE_CLASS: return maskValues<float>(data, count, mask);
        case mxINT8_CLASS: return maskValues<int8_t>(data, count, mask);
        case mxUINT8_CLASS: return maskValues<uint8_t>(data, count, mask);
        case mxINT16_CLASS: return maskValues<int16_t>(data, count, mask);
        case mxUINT16_CLASS: return maskValues<uint16_t>(data, count, mask);
        case mxINT32_CLASS: return maskValues<int32_t>(data, count, mask);
        case mxUINT32_CLASS: return maskValues<uint32_t>(data, count, mask);
        case mxINT64_CLASS: return maskValues<int64_t>(data, count, mask);
        case mxUINT64_CLASS: return maskValues<uint64_t>(data, count, mask);
        default: return -(1LL << 62);
    }
}

// Checks the optional mask: [] (any 0 x 0 array) for none, or a real, full
// logical or numeric array on the grid of data, X x Y x Z (trailing extents
// of 1 dropped, as the host drops them). Non-zero is inside; NaN is refused,
// and so is a mask with nothing inside. *given says whether there is one.
bool checkMask(const mxArray* array, const int32_t extents[4], bool* given, Failure* failure) {
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    *given = false;
    if (ndims == 2 && dims[0] == 0 && dims[1] == 0 && (mxIsNumeric(array) || mxIsLogical(array))) return true;
    const long long X = extents[0], Y = extents[1], Z = extents[2];
    if ((!mxIsNumeric(array) && !mxIsLogical(array)) || mxIsComplex(array) || mxIsSparse(array))
        return fail(failure, "Tamrin:mask",
                    "mask must be a real, full logical or numeric array of %lld x %lld x %lld (the grid of data), "
                    "or [] for none; got a %s%s array",
                    X, Y, Z, mxIsComplex(array) ? "complex " : mxIsSparse(array) ? "sparse " : "",
                    mxGetClassName(array));
    long long shape[3] = {1, 1, 1};
    for (mwSize d = 0; d < ndims && d < 3; d++) shape[d] = static_cast<long long>(dims[d]);
    if (ndims > 3 || shape[0] != X || shape[1] != Y || shape[2] != Z) {
        char got[96];
        int used = 0;
        for (mwSize d = 0; d < ndims && used < 80; d++)
            used += std::snprintf(got + used, sizeof got - used, d > 0 ? " x %lld" : "%lld",
                                  static_cast<long long>(dims[d]));
        return fail(failure, "Tamrin:mask", "mask must be %lld x %lld x %lld, the grid of data (3-D); got %s", X, Y, Z,
                    got);
    }
    const long long inside = maskValuesOf(array, static_cast<std::size_t>(X * Y * Z), nullptr);
    if (inside == -(1LL << 62))
        return fail(failure, "Tamrin:mask", "mask of class %s is not supported", mxGetClassName(array));
    if (inside < 0) {
        const long long k = -1 - inside;
        return fail(failure, "Tamrin:mask", "mask holds NaN at (%lld, %lld, %lld); use 0 outside and non-zero inside",
                    k % X + 1, k / X % Y + 1, k / (X * Y) + 1);
    }
    if (inside == 0)
        return fail(failure, "Tamrin:mask",
                    "mask holds no voxel inside (every value is 0), so there is nothing to denoise");
    *given = true;
    return true;
}

#ifdef TAMRIN_TEST_HOOKS
// Reads the optional [allocation thread] argument: two finite non-negative
// whole numbers, the countdowns to arm (0 leaves one disarmed).
bool readHooks(int nrhs, const mxArray* prhs[], long long countdowns[2], Failure* failure) {
    countdowns[0] = countdowns[1] = 0;
    if (nrhs < 4) return true;
    const mxArray* hooks = prhs[3];
    if (!mxIsDouble(hooks) || mxIsComplex(hooks) || mxIsSparse(hooks) || mxGetNumberOfElements(hooks) != 2)
        return fail(failure, "Tamrin:hooks", "the fourth input must be [allocation thread], two real doubles");
    const double* values = mxGetPr(hooks);
    for (int i = 0; i < 2; i++) {
        if (!(values[i] >= 0.0 && values[i] <= 1e15) || values[i] != std::floor(values[i]))
            return fail(failure, "Tamrin:hooks", "[allocation thread] must be whole numbers from 0 to 1e15");
        countdowns[i] = static_cast<long long>(values[i]);
    }
    return true;
}
#endif

double* doublesOf(mxArray* array) {
#if MX_HAS_INTERLEAVED_COMPLEX
    return mxGetDoubles(array);
#else
    return mxGetPr(array);
#endif
}

const double* doublesOf(const mxArray* array) { return doublesOf(const_cast<mxArray*>(array)); }

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    Failure failure;
    int32_t extents[4];
    int32_t requested = 0;
    if (!checkData(nlhs, nrhs, prhs, extents, &failure) || !readWorkers(prhs[1], &requested, &failure))
        mexErrMsgIdAndTxt(failure.id, "%s", failure.text);
#ifdef TAMRIN_TEST_HOOKS
    long long countdowns[2];
    if (!readHooks(nrhs, prhs, countdowns, &failure)) mexErrMsgIdAndTxt(failure.id, "%s", failure.text);
    tamrin::injectAllocationFailure(countdowns[0]);
    tamrin::injectThreadStartFailure(countdowns[1]);
#endif
    bool masked = false;
    if (nrhs >= 3 && !checkMask(prhs[2], extents, &masked, &failure)) {
#ifdef TAMRIN_TEST_HOOKS
        tamrin::injectAllocationFailure(0);
        tamrin::injectThreadStartFailure(0);
#endif
        mexErrMsgIdAndTxt(failure.id, "%s", failure.text);
    }

    // The results belong to the host; if it cannot create them it raises its
    // own error, and nothing else has been obtained yet.
    const mwSize* dims = mxGetDimensions(prhs[0]);
    const mwSize mapDims[3] = {dims[0], dims[1], dims[2]};
    mxArray* denoised = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    mxArray* noiseMap = nlhs >= 2 ? mxCreateNumericArray(3, mapDims, mxDOUBLE_CLASS, mxREAL) : nullptr;
    mxArray* rankMap = nlhs >= 3 ? mxCreateNumericArray(3, mapDims, mxDOUBLE_CLASS, mxREAL) : nullptr;

    // The mask's bytes, the weights, and the noise map when it is not
    // requested, are scratch for this call only. Their size is below that of
    // the input, which exists.
    const std::size_t voxels =
        static_cast<std::size_t>(extents[0]) * static_cast<std::size_t>(extents[1]) * static_cast<std::size_t>(extents[2]);
    // The mask as bytes, X*Y*Z of them (its values were checked above).
    uint8_t* mask = masked ? static_cast<uint8_t*>(tamrin::coreMalloc(voxels)) : nullptr;
    if (mask != nullptr) maskValuesOf(prhs[2], voxels, mask);
    double* weights = masked && mask == nullptr ? nullptr
                                                : static_cast<double*>(tamrin::coreMalloc(voxels * sizeof(double)));
    double* noiseScratch =
        noiseMap == nullptr && weights != nullptr ? static_cast<double*>(tamrin::coreMalloc(voxels * sizeof(double)))
                                                  : nullptr;
    tamrin::DenoiseResults results;
    results.denoised = doublesOf(denoised);
    results.noise = noiseMap != nullptr ? doublesOf(noiseMap) : noiseScratch;
    results.weight = weights;
    results.rank = rankMap != nullptr ? doublesOf(rankMap) : nullptr;

    int32_t status = tamrin::kDenoiseOutOfMemory;
    if (weights != nullptr && results.noise != nullptr) {
        // The log is the frame's only object with a destructor; it is gone
        // before any error is raised below.
        tamrin::MessageLog log;
        tamrin::DenoiseOptions options;
        options.mask = mask;
        options.messages = &log;
        status = tamrin::denoiseSeries(
            tamrin::seriesView(doublesOf(prhs[0]), extents[0], extents[1], extents[2], extents[3]), requested,
            results, options);
        printMessages(&log);
    }
    tamrin::coreFree(weights);
    tamrin::coreFree(noiseScratch);
    tamrin::coreFree(mask);

#ifdef TAMRIN_TEST_HOOKS
    const double left[2] = {static_cast<double>(tamrin::allocationFailurePending()),
                            static_cast<double>(tamrin::threadStartFailurePending())};
    tamrin::injectAllocationFailure(0);
    tamrin::injectThreadStartFailure(0);
#endif

    if (status != tamrin::kDenoiseOk) {
        mxDestroyArray(denoised);
        if (noiseMap != nullptr) mxDestroyArray(noiseMap);
        if (rankMap != nullptr) mxDestroyArray(rankMap);
        if (status == tamrin::kDenoiseOutOfMemory || status == tamrin::kDenoisePatchOutOfMemory)
            mexErrMsgIdAndTxt("Tamrin:outOfMemory", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
        if (status == tamrin::kDenoiseEmptyMask)
            mexErrMsgIdAndTxt("Tamrin:mask", "%s", tamrin::denoiseStatusMessage(status));
        mexErrMsgIdAndTxt("Tamrin:failed", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
    }

    plhs[0] = denoised;
    if (noiseMap != nullptr) plhs[1] = noiseMap;
    if (rankMap != nullptr) plhs[2] = rankMap;
#ifdef TAMRIN_TEST_HOOKS
    if (nlhs >= 4) {
        plhs[3] = mxCreateDoubleMatrix(1, 2, mxREAL);
        mxGetPr(plhs[3])[0] = left[0];
        mxGetPr(plhs[3])[1] = left[1];
    }
#endif
}
