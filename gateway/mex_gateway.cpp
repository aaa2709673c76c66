// The MEX function Tamrin: [denoised, noiseMap] = Tamrin(data, workers).
//
// Checks the arguments, creates the results, runs denoiseSeries and hands the
// results to the host. The host's API may only be used from the calling
// thread, so while the workers run the core is given thread-safe services of
// its own: the C allocator, and a queue that keeps every message until the
// workers have ended; the calling thread then prints the queue in order.
//
// Error paths: the host's error call does not return (it unwinds or jumps
// past this frame), so before raising an error everything obtained here is
// released and the previous host services are back in place, and no object
// with a destructor is alive in the frame that raises it.
//
// The gateway's own blocks (weights, scratch noise map, queued messages) go
// through the same fault-injection countdown as the core's, so that tests
// can make each of them fail. Built with TAMRIN_TEST_HOOKS (the test-only
// module Tamrin_faults, never the shipped Tamrin), an optional third argument
// [allocation thread] arms the countdowns for the call (0 leaves one
// disarmed), and an optional third result gives what was left of them when
// the call ended, so a test can count a call's allocations and thread starts.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mex.h"
#include "tamrin/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/host.h"

namespace {

// ---------------------------------------------------------------------------
// Messages from worker threads.

// Messages in order of arrival. A text repeated back to back is stored once
// with its count, so a series full of undecomposable patches costs memory per
// distinct run, not per message.
struct MessageRun {
    std::string text;
    long long count;
};

std::mutex gMessageLock;
std::vector<MessageRun> gMessages;
long long gMessagesLost = 0;  // texts that found no memory to be stored in

void queuePrint(const char* text) {
    std::lock_guard<std::mutex> guard(gMessageLock);
    if (!gMessages.empty() && gMessages.back().text == text) {
        gMessages.back().count++;
        return;
    }
    if (tamrin::allocationShouldFail()) {
        gMessagesLost++;
        return;
    }
    try {
        gMessages.push_back(MessageRun{text, 1});
    } catch (...) {
        // Allocation failed on a worker thread: nothing may escape from here.
        gMessagesLost++;
    }
}

void* threadSafeCalloc(std::size_t count, std::size_t size) { return std::calloc(count, size); }

void threadSafeFree(void* block) { std::free(block); }

const tamrin::HostServices kQueuedServices = {queuePrint, threadSafeCalloc, threadSafeFree};

// Prints the queued messages verbatim on the calling thread and empties the queue.
void flushMessages() {
    std::vector<MessageRun> runs;
    long long lost = 0;
    {
        std::lock_guard<std::mutex> guard(gMessageLock);
        runs.swap(gMessages);
        lost = gMessagesLost;
        gMessagesLost = 0;
    }
    for (const MessageRun& run : runs)
        for (long long i = 0; i < run.count; i++) mexPrintf("%s", run.text.c_str());
    if (lost > 0) mexPrintf("Tamrin: %lld further messages were lost for want of memory\n", lost);
}

// Runs the core with the queued services installed and prints its messages
// afterwards; the previous services are back in place when this returns.
int32_t denoiseWithQueuedMessages(const double* input, const int32_t extents[4], int32_t requested,
                                  double* denoised, double* noise, double* weights) {
    {
        std::lock_guard<std::mutex> guard(gMessageLock);
        gMessages.clear();
        gMessagesLost = 0;
    }
    const tamrin::HostServices* previous = tamrin::installHostServices(&kQueuedServices);
    tamrin::DenoiseResults results;
    results.denoised = denoised;
    results.noise = noise;
    results.weight = weights;
    const int32_t status = tamrin::denoiseSeries(
        tamrin::seriesView(input, extents[0], extents[1], extents[2], extents[3]), requested, results);
    tamrin::installHostServices(previous);
    flushMessages();
    return status;
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
    if (nrhs != 2 && nrhs != 3)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 or 3 inputs, Tamrin_faults(data, workers, [allocation thread]), but got %d", nrhs);
    if (nlhs > 3)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 3 outputs, [denoised, noiseMap, left], but %d were requested", nlhs);
#else
    if (nrhs != 2)
        return fail(failure, "Tamrin:nargin",
                    "expected 2 inputs, Tamrin(data, workers), but got %d", nrhs);
    if (nlhs > 2)
        return fail(failure, "Tamrin:nargout",
                    "returns at most 2 outputs, [denoised, noiseMap], but %d were requested", nlhs);
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

#ifdef TAMRIN_TEST_HOOKS
// Reads the optional [allocation thread] argument: two finite non-negative
// whole numbers, the countdowns to arm (0 leaves one disarmed).
bool readHooks(int nrhs, const mxArray* prhs[], long long countdowns[2], Failure* failure) {
    countdowns[0] = countdowns[1] = 0;
    if (nrhs < 3) return true;
    const mxArray* hooks = prhs[2];
    if (!mxIsDouble(hooks) || mxIsComplex(hooks) || mxIsSparse(hooks) || mxGetNumberOfElements(hooks) != 2)
        return fail(failure, "Tamrin:hooks", "the third input must be [allocation thread], two real doubles");
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

    // The results belong to the host; if it cannot create them it raises its
    // own error, and nothing else has been obtained yet.
    const mwSize* dims = mxGetDimensions(prhs[0]);
    mxArray* denoised = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    mxArray* noiseMap = nullptr;
    if (nlhs >= 2) {
        const mwSize mapDims[3] = {dims[0], dims[1], dims[2]};
        noiseMap = mxCreateNumericArray(3, mapDims, mxDOUBLE_CLASS, mxREAL);
    }

    // The weights, and the noise map when it is not requested, are scratch for
    // this call only. Their size is below that of the input, which exists.
    const std::size_t voxels =
        static_cast<std::size_t>(extents[0]) * static_cast<std::size_t>(extents[1]) * static_cast<std::size_t>(extents[2]);
    double* weights = static_cast<double*>(tamrin::kernelMalloc(voxels * sizeof(double)));
    double* noiseScratch =
        noiseMap == nullptr && weights != nullptr ? static_cast<double*>(tamrin::kernelMalloc(voxels * sizeof(double)))
                                                  : nullptr;
    double* noise = noiseMap != nullptr ? doublesOf(noiseMap) : noiseScratch;

    int32_t status = tamrin::kDenoiseOutOfMemory;
    if (weights != nullptr && noise != nullptr)
        status = denoiseWithQueuedMessages(doublesOf(prhs[0]), extents, requested, doublesOf(denoised), noise, weights);
    tamrin::kernelFree(weights);
    tamrin::kernelFree(noiseScratch);

#ifdef TAMRIN_TEST_HOOKS
    const double left[2] = {static_cast<double>(tamrin::allocationFailurePending()),
                            static_cast<double>(tamrin::threadStartFailurePending())};
    tamrin::injectAllocationFailure(0);
    tamrin::injectThreadStartFailure(0);
#endif

    if (status != tamrin::kDenoiseOk) {
        mxDestroyArray(denoised);
        if (noiseMap != nullptr) mxDestroyArray(noiseMap);
        if (status == tamrin::kDenoiseOutOfMemory || status == tamrin::kDenoiseDecompositionFailed)
            mexErrMsgIdAndTxt("Tamrin:outOfMemory", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
        mexErrMsgIdAndTxt("Tamrin:failed", "denoising failed: %s", tamrin::denoiseStatusMessage(status));
    }

    plhs[0] = denoised;
    if (noiseMap != nullptr) plhs[1] = noiseMap;
#ifdef TAMRIN_TEST_HOOKS
    if (nlhs >= 3) {
        plhs[2] = mxCreateDoubleMatrix(1, 2, mxREAL);
        mxGetPr(plhs[2])[0] = left[0];
        mxGetPr(plhs[2])[1] = left[1];
    }
#endif
}
