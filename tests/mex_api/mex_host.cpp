// SPDX-License-Identifier: BSD-3-Clause
// The stand-in MEX host: mex.h over plain arrays (see mex_host.h).
#include "mex_host.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

struct mxArray_tag {
    mxClassID type;
    bool complex, sparse;
    std::vector<mwSize> dims;
    std::size_t elements;
    void* data;  // malloc'd, or null for a shape-only array
};

namespace mex_host {
namespace {

// The host's state. Calls run one at a time, on the thread that made them.
struct State {
    std::mutex lock;  // mexPrintf may be called from any thread
    std::set<mxArray*> arrays;
    std::set<void*> blocks;
    long long allocations = 0, failAt = 0;
    // During a call: where an error jumps to, the error, the printed text,
    // and what existed before it (anything else left is the call's).
    std::jmp_buf* errorJump = nullptr;
    std::thread::id caller;
    char id[128], message[1024];
    std::string printed;
    bool offThread = false;
    std::set<mxArray*> arraysBefore;
    std::set<void*> blocksBefore;
};

State& state() {
    static State s;
    return s;
}

std::size_t elementSize(mxClassID type) {
    switch (type) {
        case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
        case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
        case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
        case mxINT8_CLASS: case mxUINT8_CLASS: case mxLOGICAL_CLASS: return 1;
        default: return sizeof(void*);  // cells and structs: one pointer an element, all null
    }
}

// Raises an error as the host does: records it and jumps back to call().
[[noreturn]] void raise(const char* id, const char* message) {
    State& s = state();
    std::snprintf(s.id, sizeof s.id, "%s", id);
    std::snprintf(s.message, sizeof s.message, "%s", message);
    if (s.errorJump == nullptr) {
        std::fprintf(stderr, "stand-in MEX host: error outside a call: %s: %s\n", id, message);
        std::abort();
    }
    std::longjmp(*s.errorJump, 1);
}

// Counts a host allocation; raises the host's error when it is the one to fail.
void allocation() {
    State& s = state();
    s.allocations++;
    if (s.failAt > 0 && --s.failAt == 0) raise("MATLAB:nomem", "Out of memory.");
}

mxArray* make(mxClassID type, const std::vector<mwSize>& dims, bool complex, bool sparse, bool withData) {
    std::vector<mwSize> kept = dims;
    while (kept.size() > 2 && kept.back() == 1) kept.pop_back();  // trailing extents of 1, as the hosts drop them
    while (kept.size() < 2) kept.push_back(kept.empty() ? 0 : 1);
    std::size_t elements = 1;
    for (mwSize d : kept) elements *= d;
    void* data = nullptr;
    if (withData) {
        data = std::calloc(elements * (complex ? 2 : 1) + 1, elementSize(type));
        if (data == nullptr) raise("MATLAB:nomem", "Out of memory.");
    }
    mxArray* array = new mxArray_tag{type, complex, sparse, kept, elements, data};
    state().arrays.insert(array);
    return array;
}

}  // namespace

mxArray* create(mxClassID type, const std::vector<mwSize>& dims, bool complex, bool sparse) {
    return make(type, dims, complex, sparse, true);
}

mxArray* shapeOnly(mxClassID type, const std::vector<mwSize>& dims) { return make(type, dims, false, false, false); }

template <typename T>
mxArray* filled(mxClassID type, const std::vector<mwSize>& dims, const std::vector<T>& values) {
    mxArray* array = create(type, dims);
    if (values.size() != array->elements) std::abort();
    for (std::size_t i = 0; i < values.size(); i++) {
        void* at = static_cast<unsigned char*>(array->data) + i * elementSize(type);
        switch (type) {
            case mxDOUBLE_CLASS: *static_cast<double*>(at) = static_cast<double>(values[i]); break;
            case mxSINGLE_CLASS: *static_cast<float*>(at) = static_cast<float>(values[i]); break;
            case mxINT8_CLASS: *static_cast<int8_t*>(at) = static_cast<int8_t>(values[i]); break;
            case mxUINT8_CLASS: case mxLOGICAL_CLASS: *static_cast<uint8_t*>(at) = static_cast<uint8_t>(values[i]); break;
            case mxINT16_CLASS: *static_cast<int16_t*>(at) = static_cast<int16_t>(values[i]); break;
            case mxUINT16_CLASS: case mxCHAR_CLASS: *static_cast<uint16_t*>(at) = static_cast<uint16_t>(values[i]); break;
            case mxINT32_CLASS: *static_cast<int32_t*>(at) = static_cast<int32_t>(values[i]); break;
            case mxUINT32_CLASS: *static_cast<uint32_t*>(at) = static_cast<uint32_t>(values[i]); break;
            case mxINT64_CLASS: *static_cast<int64_t*>(at) = static_cast<int64_t>(values[i]); break;
            case mxUINT64_CLASS: *static_cast<uint64_t*>(at) = static_cast<uint64_t>(values[i]); break;
            default: std::abort();
        }
    }
    return array;
}

template mxArray* filled<double>(mxClassID, const std::vector<mwSize>&, const std::vector<double>&);
template mxArray* filled<int64_t>(mxClassID, const std::vector<mwSize>&, const std::vector<int64_t>&);
template mxArray* filled<uint64_t>(mxClassID, const std::vector<mwSize>&, const std::vector<uint64_t>&);

mxArray* scalar(double value) { return filled(mxDOUBLE_CLASS, {1, 1}, std::vector<double>{value}); }

mxArray* text(const std::string& text) {
    return filled(mxCHAR_CLASS, {1, text.size()}, std::vector<double>(text.begin(), text.end()));
}

void destroy(mxArray* array) { mxDestroyArray(array); }

Call::~Call() {
    for (mxArray* array : outputs)
        if (array != nullptr) destroy(array);
}

Call::Call(Call&& other) noexcept
    : failed(other.failed), id(std::move(other.id)), message(std::move(other.message)),
      printed(std::move(other.printed)), printedOffThread(other.printedOffThread), outputs(std::move(other.outputs)),
      reclaimedArrays(other.reclaimedArrays), reclaimedBlocks(other.reclaimedBlocks) {
    other.outputs.clear();
}

namespace {

// Runs the MEX function with an error landing place; true when it returned.
// Nothing here has a destructor: an error jumps back into this frame.
bool guardedCall(int nlhs, mxArray** plhs, int nrhs, const mxArray** prhs) {
    std::jmp_buf landing;
    State& s = state();
    s.errorJump = &landing;
    if (setjmp(landing) != 0) {
        s.errorJump = nullptr;
        return false;
    }
    mexFunction(nlhs, plhs, nrhs, prhs);
    s.errorJump = nullptr;
    return true;
}

}  // namespace

Call call(int nlhs, const std::vector<const mxArray*>& inputs) {
    State& s = state();
    s.printed.clear();
    s.offThread = false;
    s.caller = std::this_thread::get_id();
    s.arraysBefore = s.arrays;
    s.blocksBefore = s.blocks;
    std::vector<mxArray*> plhs(static_cast<std::size_t>(nlhs > 1 ? nlhs : 1), nullptr);
    std::vector<const mxArray*> prhs = inputs;
    Call result;
    result.failed = !guardedCall(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
    if (result.failed) {
        result.id = s.id;
        result.message = s.message;
        plhs.assign(plhs.size(), nullptr);  // what an error leaves in plhs is the host's
    }
    result.printed = s.printed;
    result.printedOffThread = s.offThread;
    std::set<mxArray*> returned(plhs.begin(), plhs.end());
    std::vector<mxArray*> leftArrays;
    for (mxArray* array : s.arrays)
        if (!s.arraysBefore.count(array) && !returned.count(array)) leftArrays.push_back(array);
    for (mxArray* array : leftArrays) mxDestroyArray(array);
    std::vector<void*> leftBlocks;
    for (void* block : s.blocks)
        if (!s.blocksBefore.count(block)) leftBlocks.push_back(block);
    for (void* block : leftBlocks) mxFree(block);
    result.reclaimedArrays = static_cast<long long>(leftArrays.size());
    result.reclaimedBlocks = static_cast<long long>(leftBlocks.size());
    result.outputs = plhs;
    return result;
}

void failHostAllocation(long long nth) { state().failAt = nth > 0 ? nth : 0; }

long long hostAllocations() { return state().allocations; }

long long liveArrays() { return static_cast<long long>(state().arrays.size()); }

long long liveBlocks() { return static_cast<long long>(state().blocks.size()); }

}  // namespace mex_host

// ---------------------------------------------------------------------------
// The MEX API.

using mex_host::state;

bool mxIsDouble(const mxArray* pm) { return pm->type == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray* pm) { return pm->complex; }
bool mxIsSparse(const mxArray* pm) { return pm->sparse; }
bool mxIsNumeric(const mxArray* pm) { return pm->type >= mxDOUBLE_CLASS && pm->type <= mxUINT64_CLASS; }
bool mxIsLogical(const mxArray* pm) { return pm->type == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray* pm) { return pm->type == mxCHAR_CLASS; }
mxClassID mxGetClassID(const mxArray* pm) { return pm->type; }

const char* mxGetClassName(const mxArray* pm) {
    static const char* const names[] = {"unknown", "cell",  "struct", "logical", "char",   "void",
                                        "double",  "single", "int8",  "uint8",   "int16",  "uint16",
                                        "int32",   "uint32", "int64", "uint64",  "function_handle"};
    return pm->type >= 0 && pm->type <= mxFUNCTION_CLASS ? names[pm->type] : "unknown";
}

mwSize mxGetNumberOfDimensions(const mxArray* pm) { return pm->dims.size(); }
const mwSize* mxGetDimensions(const mxArray* pm) { return pm->dims.data(); }
size_t mxGetNumberOfElements(const mxArray* pm) { return pm->elements; }
size_t mxGetM(const mxArray* pm) { return pm->dims.empty() ? 0 : pm->dims[0]; }

double mxGetScalar(const mxArray* pm) {
    if (pm->data == nullptr || pm->elements == 0) return 0.0;
    switch (pm->type) {
        case mxDOUBLE_CLASS: return *static_cast<const double*>(pm->data);
        case mxSINGLE_CLASS: return *static_cast<const float*>(pm->data);
        case mxINT8_CLASS: return *static_cast<const int8_t*>(pm->data);
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: return *static_cast<const uint8_t*>(pm->data);
        case mxINT16_CLASS: return *static_cast<const int16_t*>(pm->data);
        case mxUINT16_CLASS: case mxCHAR_CLASS: return *static_cast<const uint16_t*>(pm->data);
        case mxINT32_CLASS: return *static_cast<const int32_t*>(pm->data);
        case mxUINT32_CLASS: return *static_cast<const uint32_t*>(pm->data);
        case mxINT64_CLASS: return static_cast<double>(*static_cast<const int64_t*>(pm->data));
        case mxUINT64_CLASS: return static_cast<double>(*static_cast<const uint64_t*>(pm->data));
        default: return 0.0;
    }
}

mxDouble* mxGetPr(const mxArray* pm) { return pm->type == mxDOUBLE_CLASS ? static_cast<double*>(pm->data) : nullptr; }
void* mxGetData(const mxArray* pm) { return pm->data; }

// The characters of a char array (one 16-bit unit each) as bytes, at most
// strlen - 1 of them and a terminating 0; 1 when they do not all fit or the
// array is not char, as the hosts do.
int mxGetString(const mxArray* pm, char* str, mwSize strlen) {
    if (pm->type != mxCHAR_CLASS || strlen == 0) return 1;
    const uint16_t* units = static_cast<const uint16_t*>(pm->data);
    const size_t copied = pm->elements < strlen - 1 ? pm->elements : strlen - 1;
    for (size_t i = 0; i < copied; i++) str[i] = static_cast<char>(units[i]);
    str[copied] = '\0';
    return copied == pm->elements ? 0 : 1;
}
mxDouble* mxGetDoubles(const mxArray* pa) { return mxGetPr(pa); }

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity ComplexFlag) {
    mex_host::allocation();
    return mex_host::create(classid, std::vector<mwSize>(dims, dims + ndim), ComplexFlag == mxCOMPLEX);
}

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity ComplexFlag) {
    return mxCreateNumericArray(2, std::vector<mwSize>{m, n}.data(), mxDOUBLE_CLASS, ComplexFlag);
}

void mxDestroyArray(mxArray* pm) {
    if (pm == nullptr) return;
    state().arrays.erase(pm);
    std::free(pm->data);
    delete pm;
}

void* mxCalloc(mwSize n, mwSize size) {
    mex_host::allocation();
    void* block = std::calloc(n > 0 ? n : 1, size > 0 ? size : 1);
    if (block == nullptr) mex_host::raise("MATLAB:nomem", "Out of memory.");
    state().blocks.insert(block);
    return block;
}

void* mxMalloc(mwSize n) {
    mex_host::allocation();
    void* block = std::malloc(n > 0 ? n : 1);
    if (block == nullptr) mex_host::raise("MATLAB:nomem", "Out of memory.");
    state().blocks.insert(block);
    return block;
}

void* mxRealloc(void* ptr, mwSize size) {
    mex_host::allocation();
    void* block = std::realloc(ptr, size > 0 ? size : 1);
    if (block == nullptr) mex_host::raise("MATLAB:nomem", "Out of memory.");
    state().blocks.erase(ptr);
    state().blocks.insert(block);
    return block;
}

void mxFree(void* ptr) {
    if (ptr == nullptr) return;
    state().blocks.erase(ptr);
    std::free(ptr);
}

int mexPrintf(const char* message, ...) {
    char text[4096];
    va_list args;
    va_start(args, message);
    const int length = std::vsnprintf(text, sizeof text, message, args);
    va_end(args);
    mex_host::State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (std::this_thread::get_id() != s.caller) s.offThread = true;
    s.printed += text;
    return length;
}

void mexErrMsgIdAndTxt(const char* errorid, const char* errormsg, ...) {
    char text[1024];
    va_list args;
    va_start(args, errormsg);
    std::vsnprintf(text, sizeof text, errormsg, args);
    va_end(args);
    mex_host::raise(errorid, text);
}
