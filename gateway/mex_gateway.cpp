// SPDX-License-Identifier: BSD-3-Clause
// The MEX function Tamrin: [denoised, noiseMap, rank] = Tamrin(data, workers, mask).
//
// Checks the arguments, refuses a call that needs more memory than the
// process may use (Tamrin:outOfMemory, before anything is created), creates
// the results, runs denoiseSeries and hands the results to the host. The
// core reads data of every numeric class where it lies, without a double
// copy, and computes in doubles: double and integer data get the results as
// they are, single data gets them converted to single (see singleSeries for
// how the denoised series is converted without holding a double and a
// single copy of it at once). The host's API may only be used from the
// calling thread, so the call gives the core a message log of its own,
// which keeps the workers' messages until they have ended; the calling
// thread then prints them in order. The core's scratch comes from the C
// allocator.
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
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/call_memory.h"
#include "driver/checks.h"
#include "driver/shared_slabs.h"
#include "mex.h"
#include "support/alloc.h"
#include "support/memory_check.h"
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
    char text[512];
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

// An array's dimensions, at most four of them into dims; returns their count.
int32_t dimensionsOf(const mxArray* array, int64_t dims[4]) {
    const mwSize count = mxGetNumberOfDimensions(array);
    const mwSize* extents = mxGetDimensions(array);
    for (mwSize d = 0; d < count && d < 4; d++) dims[d] = static_cast<int64_t>(extents[d]);
    return static_cast<int32_t>(count);
}

// The core's name for the type of a numeric array's values; -1 for a class
// that is not numeric (logical, char, cell, struct, ...).
int32_t valueTypeOf(const mxArray* array) {
    switch (mxGetClassID(array)) {
        case mxDOUBLE_CLASS: return tamrin::kValuesDouble;
        case mxSINGLE_CLASS: return tamrin::kValuesSingle;
        case mxINT8_CLASS: return tamrin::kValuesInt8;
        case mxUINT8_CLASS: return tamrin::kValuesUint8;
        case mxINT16_CLASS: return tamrin::kValuesInt16;
        case mxUINT16_CLASS: return tamrin::kValuesUint16;
        case mxINT32_CLASS: return tamrin::kValuesInt32;
        case mxUINT32_CLASS: return tamrin::kValuesUint32;
        case mxINT64_CLASS: return tamrin::kValuesInt64;
        case mxUINT64_CLASS: return tamrin::kValuesUint64;
        default: return -1;
    }
}

// What a call asks for, read from its arguments by readRequest.
struct Request {
    int32_t extents[4] = {0, 0, 0, 0};  // X, Y, Z, N
    int32_t type = tamrin::kValuesDouble;  // the ValueType of data
    int32_t workers = 0;
    bool masked = false;                // a mask other than [] was given
    int32_t slabs = 0;                  // 'Slabs', K; 0: one thread per slab, `workers` of them
    long long countdowns[2] = {0, 0};   // [allocation thread] (Tamrin_faults only)
    bool hooked = false;                // [allocation thread] was given (Tamrin_faults only)
};

// Whether an array is a name: a char row (or '').
bool isName(const mxArray* array) {
    return mxIsChar(array) && mxGetNumberOfDimensions(array) == 2 && mxGetM(array) <= 1;
}

// Whether `name` is `option` (ASCII letters) but for the case of its letters.
bool sameName(const char* name, const char* option) {
    for (; *name != '\0' && *option != '\0'; name++, option++)
        if (std::tolower(static_cast<unsigned char>(*name)) != std::tolower(static_cast<unsigned char>(*option)))
            return false;
    return *name == *option;
}

// Checks the argument and result counts and the data array, and reads the
// extents X, Y, Z, N and the type of its values.
bool checkData(int nlhs, int nrhs, const mxArray* prhs[], Request* request, Failure* failure) {
    // After the mask come options as name-value pairs (in Tamrin_faults, after
    // the optional [allocation thread], which is not a name).
    int options = nrhs > 3 ? nrhs - 3 : 0;
    // An option's name where the mask goes: the mask was left out.
    const char* hint = nrhs >= 3 && isName(prhs[2]) ? " (the mask comes before the options: [] for none)" : "";
#ifdef TAMRIN_TEST_HOOKS
    request->hooked = options > 0 && !isName(prhs[3]);
    options -= request->hooked ? 1 : 0;
    if (nrhs < 2 || options % 2 != 0)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 to 4 inputs, Tamrin_faults(data, workers, mask, [allocation thread]), then "
                    "options as name-value pairs ('Slabs', K), but got %d%s",
                    nrhs, hint);
    if (nlhs > 4)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 4 outputs, [denoised, noiseMap, rank, left], but %d were requested", nlhs);
#else
    if (nrhs < 2 || options % 2 != 0)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 or 3 inputs, Tamrin(data, workers) or Tamrin(data, workers, mask), then options as "
                    "name-value pairs (Tamrin(data, workers, mask, 'Slabs', K)), but got %d%s",
                    nrhs, hint);
    if (nlhs > 3)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 3 outputs, [denoised, noiseMap, rank], but %d were requested", nlhs);
#endif

    const mxArray* data = prhs[0];
    request->type = valueTypeOf(data);
    if (request->type < 0 || mxIsComplex(data) || mxIsSparse(data))
        return fail(failure, "Tamrin:dataType",
                    "data must be a real, full (not sparse) array of class double, single, int8, uint8, int16, "
                    "uint16, int32, uint32, int64 or uint64; got a %s%s array",
                    mxIsComplex(data) ? "complex " : mxIsSparse(data) ? "sparse " : "", mxGetClassName(data));

    int64_t dims[4] = {0, 0, 0, 0};
    const int32_t count = dimensionsOf(data, dims);
    const tamrin::SeriesCheck check = tamrin::checkSeriesShape(dims, count);
    const long long value = check.value;
    switch (check.problem) {
        case tamrin::kSeriesNotFourDimensional:
            return fail(failure, "Tamrin:dataDims",
                        "data must have exactly four dimensions, X x Y x Z x N (N volumes of an X x Y x Z grid); "
                        "got %lld dimensions%s",
                        value, value == 3 ? " (a single volume: at least 2 volumes are needed)" : "");
        case tamrin::kSeriesEmpty:
            return fail(failure, "Tamrin:dataDims",
                        "data must not be empty: the extents X, Y and Z must be at least 1; extent %d is %lld",
                        check.axis + 1, value);
        case tamrin::kSeriesTooFewVolumes:
            return fail(failure, "Tamrin:volumes", "data must hold at least 2 volumes (its 4th extent N); N is %lld",
                        value);
        case tamrin::kSeriesExtentTooLarge:
            return fail(failure, "Tamrin:dataDims", "each extent of data must be at most 2147483647; extent %d is %lld",
                        check.axis + 1, value);
        case tamrin::kSeriesTooManyValues:
            return fail(failure, "Tamrin:dataDims", "data holds more values than can be addressed");
        default:
            break;
    }
    for (int i = 0; i < 4; i++) request->extents[i] = check.extents[i];
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

// The core's name for the type of a mask's values (logical values are
// bytes); -1 for a class a mask may not have.
int32_t maskValueType(const mxArray* array) {
    return mxGetClassID(array) == mxLOGICAL_CLASS ? tamrin::kValuesUint8 : valueTypeOf(array);
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
    int64_t shape[32];
    const int32_t count = static_cast<int32_t>(ndims < 32 ? ndims : 32);
    for (int32_t d = 0; d < count; d++) shape[d] = static_cast<int64_t>(dims[d]);
    if (ndims > 32 ||
        tamrin::checkMaskShape(shape, count, extents[0], extents[1], extents[2]).problem != tamrin::kMaskFits) {
        char got[96];
        int used = 0;
        for (mwSize d = 0; d < ndims && used < 80; d++)
            used += std::snprintf(got + used, sizeof got - used, d > 0 ? " x %lld" : "%lld",
                                  static_cast<long long>(dims[d]));
        return fail(failure, "Tamrin:mask", "mask must be %lld x %lld x %lld, the grid of data (3-D); got %s", X, Y, Z,
                    got);
    }
    const int32_t type = maskValueType(array);
    if (type < 0) return fail(failure, "Tamrin:mask", "mask of class %s is not supported", mxGetClassName(array));
    const tamrin::MaskCheck check = tamrin::maskFromValues(mxGetData(array), type, X * Y * Z, nullptr);
    if (check.problem == tamrin::kMaskHoldsNaN) {
        const long long k = check.at;
        return fail(failure, "Tamrin:mask", "mask holds NaN at (%lld, %lld, %lld); use 0 outside and non-zero inside",
                    k % X + 1, k / X % Y + 1, k / (X * Y) + 1);
    }
    if (check.problem == tamrin::kMaskEmpty)
        return fail(failure, "Tamrin:mask",
                    "mask holds no voxel inside (every value is 0), so there is nothing to denoise");
    *given = true;
    return true;
}

// What a call needs: the results, the weights (and the noise map's scratch
// when it is not requested), the mask's bytes and the core's working memory.
struct CallShape {
    int32_t extents[4];
    bool rank, mask;
    int32_t slabs;       // 0: one thread per slab
    int64_t extraBytes;  // the single maps beside their double scratch
};

tamrin::MemoryNeed callNeed(int32_t workers, const void* context) {
    const CallShape& call = *static_cast<const CallShape*>(context);
    const int32_t* e = call.extents;
    tamrin::MemoryNeed need = tamrin::denoiseCallNeed(e[0], e[1], e[2], e[3], workers, call.rank, call.mask, call.slabs);
    need.privateBytes = tamrin::saturatingAdd(need.privateBytes, call.extraBytes);
    return need;
}

// Refuses, before the results are created, a call that needs more memory
// than this process may use, unless TAMRIN_NO_MEMORY_CHECK is set. For
// single data the denoised series is summed in doubles as for any class
// (the single array is made from them in place), and each requested map
// is a single array beside its double scratch: 4 bytes a voxel more.
bool checkMemoryFits(const Request& request, int nlhs, Failure* failure) {
    if (tamrin::memoryCheckDisabled()) return true;
    const int32_t* extents = request.extents;
    const int64_t voxels = int64_t{extents[0]} * extents[1] * extents[2];
    const int maps = request.type == tamrin::kValuesSingle ? (nlhs >= 2) + (nlhs >= 3) : 0;
    const CallShape call{{extents[0], extents[1], extents[2], extents[3]}, nlhs >= 3, request.masked, request.slabs,
                         tamrin::saturatingMultiply(voxels, 4 * maps)};
    const int32_t requested = request.workers;
    const tamrin::MemoryNeed need = callNeed(requested, &call);
    const tamrin::MemoryLimits limits = tamrin::probeMemoryLimits();
    const tamrin::MemoryVerdict verdict = tamrin::checkMemory(need, limits);
    if (verdict.fits) return true;
    char figures[320];
    tamrin::describeShortfall(need, limits, verdict, figures, sizeof figures);
    const int32_t used = request.slabs > 0
                             ? tamrin::sharedThreadsUsed(extents[0], extents[1], extents[2], extents[3], requested)
                             : tamrin::workersUsed(extents[0], extents[1], extents[2], extents[3], requested);
    const int32_t fitting = tamrin::workersThatFit(callNeed, &call, used, limits);
    char remedy[64] = "fewer workers would not be enough";
    if (fitting > 0 && fitting < used) std::snprintf(remedy, sizeof remedy, "with workers = %d it fits", fitting);
    return fail(failure, "Tamrin:outOfMemory",
                "not enough memory for this call: %s; %s; setenv('TAMRIN_NO_MEMORY_CHECK', '1') runs it anyway",
                figures, remedy);
}

#ifdef TAMRIN_TEST_HOOKS
// Reads the optional [allocation thread] argument: two finite non-negative
// whole numbers, the countdowns to arm (0 leaves one disarmed).
bool readHooks(const mxArray* hooks, long long countdowns[2], Failure* failure) {
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

// Reads the value of 'Slabs': a finite real numeric scalar, a whole number of
// at least 1; values past the 32-bit range become its largest value (the
// driver lowers any count to what the series allows).
bool readSlabs(const mxArray* slabs, int32_t* count, Failure* failure) {
    if (!mxIsNumeric(slabs) || mxIsComplex(slabs) || mxGetNumberOfElements(slabs) != 1)
        return fail(failure, "Tamrin:slabs",
                    "Slabs must be a real numeric scalar (the number of slabs, at least 1); "
                    "got a %s%s array with %lld elements",
                    mxIsComplex(slabs) ? "complex " : "", mxGetClassName(slabs),
                    static_cast<long long>(mxGetNumberOfElements(slabs)));
    const double value = mxGetScalar(slabs);
    if (!std::isfinite(value) || value < 1.0 || value != std::floor(value))
        return fail(failure, "Tamrin:slabs",
                    "Slabs must be a whole number of at least 1 (the number of slabs, which alone sets the "
                    "results' bits); got %g",
                    value);
    *count = value >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(value);
    return true;
}

// Reads the name-value options from prhs[first] on. Names are matched
// without regard to case; an option given twice takes its last value.
bool readOptions(int first, int nrhs, const mxArray* prhs[], Request* request, Failure* failure) {
    for (int i = first; i + 1 < nrhs; i += 2) {
        if (!isName(prhs[i]))
            return fail(failure, "Tamrin:option",
                        "input %d must be the name of an option ('Slabs'), after the mask; got a %s%s array", i + 1,
                        mxIsComplex(prhs[i]) ? "complex " : "", mxGetClassName(prhs[i]));
        char name[16] = "";
        const bool fits = mxGetNumberOfElements(prhs[i]) < sizeof name && mxGetString(prhs[i], name, sizeof name) == 0;
        if (!fits || !sameName(name, "Slabs"))
            return fail(failure, "Tamrin:option", "unknown option '%s' (input %d); the option is 'Slabs'",
                        fits ? name : "(a longer name)", i + 1);
        if (!readSlabs(prhs[i + 1], &request->slabs, failure)) return false;
    }
    return true;
}

// Reads every argument, in order: the counts and data, the worker count, the
// mask, the countdowns (Tamrin_faults) and the options.
bool readRequest(int nlhs, int nrhs, const mxArray* prhs[], Request* request, Failure* failure) {
    if (!checkData(nlhs, nrhs, prhs, request, failure) || !readWorkers(prhs[1], &request->workers, failure))
        return false;
    if (nrhs >= 3 && !checkMask(prhs[2], request->extents, &request->masked, failure)) return false;
    int options = 3;
#ifdef TAMRIN_TEST_HOOKS
    if (request->hooked && !readHooks(prhs[options++], request->countdowns, failure)) return false;
#endif
    return readOptions(options, nrhs, prhs, request, failure);
}

// ---------------------------------------------------------------------------
// Results of single data.

// Writes count doubles as singles (each rounded to the nearest single, as
// single() does; NaN stays NaN).
void toSingles(const double* from, std::size_t count, float* to) {
    for (std::size_t i = 0; i < count; i++) to[i] = static_cast<float>(from[i]);
}

// The single result made of the count doubles in `sums`, a block from
// mxMalloc that is released here: the doubles are converted in place into
// singles at the start of the block, a piece at a time (each piece is read
// before the bytes it is written to, which lie below it), the block is
// shrunk to the singles, and they are copied into a new single array. So the
// call holds at most the block of doubles, or the singles twice: 8 or
// 4 + 4 bytes a value, never 8 + 4.
mxArray* singleSeries(double* sums, std::size_t count, const mwSize dims[4]) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(sums);
    float piece[1024];
    for (std::size_t start = 0; start < count; start += 1024) {
        const std::size_t n = count - start < 1024 ? count - start : 1024;
        toSingles(sums + start, n, piece);
        std::memcpy(bytes + start * sizeof(float), piece, n * sizeof(float));
    }
    void* shrunk = mxRealloc(sums, count * sizeof(float));
    if (shrunk != nullptr) bytes = static_cast<unsigned char*>(shrunk);
    mxArray* series = mxCreateNumericArray(4, dims, mxSINGLE_CLASS, mxREAL);
    std::memcpy(mxGetData(series), bytes, count * sizeof(float));
    mxFree(bytes);
    return series;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    Failure failure;
    Request request;
    if (!readRequest(nlhs, nrhs, prhs, &request, &failure)) mexErrMsgIdAndTxt(failure.id, "%s", failure.text);
    if (!checkMemoryFits(request, nlhs, &failure)) mexErrMsgIdAndTxt(failure.id, "%s", failure.text);
#ifdef TAMRIN_TEST_HOOKS
    tamrin::injectAllocationFailure(request.countdowns[0]);
    tamrin::injectThreadStartFailure(request.countdowns[1]);
#endif
    const int32_t* extents = request.extents;
    const bool single = request.type == tamrin::kValuesSingle;
    const std::size_t voxels =
        static_cast<std::size_t>(extents[0]) * static_cast<std::size_t>(extents[1]) * static_cast<std::size_t>(extents[2]);
    const std::size_t elements = voxels * static_cast<std::size_t>(extents[3]);

    // The results belong to the host; if it cannot create them it raises its
    // own error, and nothing else has been obtained yet. For single data the
    // denoised series is first summed in a block of doubles from the host
    // (which reclaims it after such an error too), and its single array is
    // made at the end; the maps are single arrays from the start.
    const mwSize* dims = mxGetDimensions(prhs[0]);
    const mwSize mapDims[3] = {dims[0], dims[1], dims[2]};
    const mxClassID resultClass = single ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
    mxArray* denoised = single ? nullptr : mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    double* sums = single ? static_cast<double*>(mxMalloc(elements * sizeof(double))) : doublesOf(denoised);
    mxArray* noiseMap = nlhs >= 2 ? mxCreateNumericArray(3, mapDims, resultClass, mxREAL) : nullptr;
    mxArray* rankMap = nlhs >= 3 ? mxCreateNumericArray(3, mapDims, resultClass, mxREAL) : nullptr;

    // The mask's bytes, the weights, and the maps that are not double
    // results, are scratch for this call only. Their size is below that of
    // the input, which exists.
    uint8_t* mask = request.masked ? static_cast<uint8_t*>(tamrin::coreMalloc(voxels)) : nullptr;
    if (mask != nullptr) tamrin::maskFromValues(mxGetData(prhs[2]), maskValueType(prhs[2]), voxels, mask);
    double* weights = request.masked && mask == nullptr
                          ? nullptr
                          : static_cast<double*>(tamrin::coreMalloc(voxels * sizeof(double)));
    const bool noiseScratched = noiseMap == nullptr || single, rankScratched = rankMap != nullptr && single;
    double* noiseScratch = noiseScratched && weights != nullptr
                               ? static_cast<double*>(tamrin::coreMalloc(voxels * sizeof(double)))
                               : nullptr;
    double* rankScratch = rankScratched && noiseScratch != nullptr
                              ? static_cast<double*>(tamrin::coreMalloc(voxels * sizeof(double)))
                              : nullptr;
    tamrin::DenoiseResults results;
    results.denoised = sums;
    results.noise = noiseScratched ? noiseScratch : doublesOf(noiseMap);
    results.weight = weights;
    results.rank = rankMap == nullptr ? nullptr : rankScratched ? rankScratch : doublesOf(rankMap);

    int32_t status = tamrin::kDenoiseOutOfMemory;
    if (sums != nullptr && weights != nullptr && results.noise != nullptr && (rankMap == nullptr || results.rank)) {
        // The log is the frame's only object with a destructor; it is gone
        // before any error is raised below.
        tamrin::MessageLog log;
        tamrin::DenoiseOptions options;
        options.mask = mask;
        options.messages = &log;
        options.slabs = request.slabs;
        const tamrin::SeriesView series{mxGetData(prhs[0]), request.type, extents[0], extents[1], extents[2],
                                        extents[3]};
        status = tamrin::denoiseSeries(series, request.workers, results, options);
        printMessages(&log);
    }
    if (status == tamrin::kDenoiseOk && single) {
        if (noiseMap != nullptr) toSingles(noiseScratch, voxels, static_cast<float*>(mxGetData(noiseMap)));
        if (rankMap != nullptr) toSingles(rankScratch, voxels, static_cast<float*>(mxGetData(rankMap)));
    }
    tamrin::coreFree(weights);
    tamrin::coreFree(noiseScratch);
    tamrin::coreFree(rankScratch);
    tamrin::coreFree(mask);

#ifdef TAMRIN_TEST_HOOKS
    const double left[2] = {static_cast<double>(tamrin::allocationFailurePending()),
                            static_cast<double>(tamrin::threadStartFailurePending())};
    tamrin::injectAllocationFailure(0);
    tamrin::injectThreadStartFailure(0);
#endif

    if (status != tamrin::kDenoiseOk) {
        if (single) mxFree(sums);
        if (denoised != nullptr) mxDestroyArray(denoised);
        if (noiseMap != nullptr) mxDestroyArray(noiseMap);
        if (rankMap != nullptr) mxDestroyArray(rankMap);
        if (status == tamrin::kDenoiseOutOfMemory || status == tamrin::kDenoisePatchOutOfMemory)
            mexErrMsgIdAndTxt("Tamrin:outOfMemory", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
        if (status == tamrin::kDenoiseEmptyMask)
            mexErrMsgIdAndTxt("Tamrin:mask", "%s", tamrin::denoiseStatusMessage(status));
        mexErrMsgIdAndTxt("Tamrin:failed", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
    }

    // Nothing of the core's is held any more: if the host cannot make the
    // single array, its error leaves nothing behind.
    plhs[0] = single ? singleSeries(sums, elements, dims) : denoised;
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
