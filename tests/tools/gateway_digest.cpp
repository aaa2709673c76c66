// SPDX-License-Identifier: BSD-3-Clause
// gateway_digest OUT_DIR
//
// Runs a fixed set of calls through the shipped MEX gateway on the stand-in
// host (tests/mex_api/mex_host.h) and writes what each returned to OUT_DIR:
// for case k, caseKK-CLASS-denoised.raw, -noise.raw and -rank.raw (the
// results requested, raw little-endian values of their class) and
// caseKK-printed.txt (what the call printed), and errors.txt (the identifier
// and message of each refused call, one a line). tests/octave/
// tamrin_gateway_cases.m makes the same calls with the MEX module in Octave
// and writes the same files; tamrin_octave_stand_in_host compares the two,
// and scripts/cross-test compares this tool's files on Windows and ARM64
// with Octave's.
//
// The series come from the MINSTD generator (x -> 48271 x mod 2^31 - 1), in
// whole numbers or eighths that every class holds exactly, with + - * and
// mod only, so both sides make the same values. NaN is written as one
// positive quiet NaN (its sign is the processor's choice: see
// series_digest.cpp). Exit status: 0 written; 1 a call or write failed; 2 usage.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "mex_host.h"

namespace {

// One call: the series (grid, volumes, seed), the class of its data, the
// workers, the results requested, a mask (0: none, else the mask's class),
// a NaN placed in the series, and 'Slabs' (0: not given; with no mask, []
// stands in its place).
struct Case {
    int X, Y, Z, N, seed;
    mxClassID type;
    int workers, outputs;
    mxClassID mask;
    bool nan;
    int slabs;
};

const mxClassID kNone = mxUNKNOWN_CLASS;

const Case kCases[] = {
    {12, 10, 9, 8, 1, mxDOUBLE_CLASS, 1, 3, kNone, false, 0},
    {12, 10, 9, 8, 1, mxDOUBLE_CLASS, 3, 3, mxLOGICAL_CLASS, false, 0},
    {11, 9, 8, 20, 2, mxDOUBLE_CLASS, 2, 3, kNone, false, 0},
    {12, 10, 9, 8, 1, mxSINGLE_CLASS, 1, 3, kNone, false, 0},
    {12, 10, 9, 8, 1, mxSINGLE_CLASS, 3, 3, mxUINT8_CLASS, false, 0},
    {11, 9, 8, 20, 2, mxSINGLE_CLASS, 2, 2, kNone, false, 0},
    {12, 10, 9, 8, 3, mxINT8_CLASS, 1, 3, kNone, false, 0},
    {12, 10, 9, 8, 3, mxUINT8_CLASS, 2, 3, mxSINGLE_CLASS, false, 0},
    {12, 10, 9, 8, 3, mxINT16_CLASS, 3, 3, kNone, false, 0},
    {12, 10, 9, 8, 3, mxUINT16_CLASS, 1, 2, mxDOUBLE_CLASS, false, 0},
    {12, 10, 9, 8, 3, mxINT32_CLASS, 2, 3, kNone, false, 0},
    {12, 10, 9, 8, 3, mxUINT32_CLASS, 3, 1, kNone, false, 0},
    {12, 10, 9, 8, 3, mxINT64_CLASS, 1, 3, mxINT16_CLASS, false, 0},
    {12, 10, 9, 8, 3, mxUINT64_CLASS, 2, 3, kNone, false, 0},
    {10, 10, 10, 5, 4, mxDOUBLE_CLASS, 2, 2, kNone, true, 0},
    {10, 10, 10, 5, 4, mxSINGLE_CLASS, 1, 3, kNone, true, 0},
    {12, 10, 9, 8, 1, mxDOUBLE_CLASS, 3, 3, kNone, false, 2},
    {12, 10, 9, 8, 1, mxSINGLE_CLASS, 2, 3, mxLOGICAL_CLASS, false, 1},
    {12, 10, 9, 8, 3, mxINT16_CLASS, 1, 3, kNone, false, 3},
};

// The series of a case: inside an ellipsoid ((2x - X + 1)^2 / X^2 + ... < 1.2), 40 + 2x + y - z + 10 (v mod 3)
// plus noise from the generator (whole numbers -8 .. 8, or eighths -10 ..
// 10 for double and single data), exactly 0 outside.
std::vector<double> seriesOf(const Case& c) {
    std::vector<double> values(static_cast<std::size_t>(c.X) * c.Y * c.Z * c.N);
    double state = c.seed;
    const bool fractions = c.type == mxDOUBLE_CLASS || c.type == mxSINGLE_CLASS;
    const double scale = static_cast<double>(c.X) * c.X * c.Y * c.Y * c.Z * c.Z;
    std::size_t k = 0;
    for (int v = 0; v < c.N; v++)
        for (int z = 0; z < c.Z; z++)
            for (int y = 0; y < c.Y; y++)
                for (int x = 0; x < c.X; x++, k++) {
                    state = std::fmod(state * 48271.0, 2147483647.0);
                    const double dx = 2 * x - (c.X - 1), dy = 2 * y - (c.Y - 1), dz = 2 * z - (c.Z - 1);
                    const double reach = dx * dx * c.Y * c.Y * c.Z * c.Z + dy * dy * c.X * c.X * c.Z * c.Z +
                                         dz * dz * c.X * c.X * c.Y * c.Y;
                    if (5.0 * reach >= 6.0 * scale) continue;
                    const double noise = fractions ? (std::fmod(state, 161.0) - 80.0) / 8.0 : std::fmod(state, 17.0) - 8.0;
                    values[k] = 40.0 + 2 * x + y - z + 10 * (v % 3) + noise;
                }
    if (c.nan) values[values.size() / 2 + static_cast<std::size_t>(c.X) * c.Y] = std::numeric_limits<double>::quiet_NaN();
    return values;
}

// The case's mask: x + 2y < X + Y inside (as 1), 0 outside.
std::vector<double> maskOf(const Case& c) {
    std::vector<double> mask(static_cast<std::size_t>(c.X) * c.Y * c.Z);
    for (std::size_t k = 0; k < mask.size(); k++) {
        const int x = static_cast<int>(k % c.X), y = static_cast<int>(k / c.X % c.Y);
        mask[k] = x + 2 * y < c.X + c.Y ? 1.0 : 0.0;
    }
    return mask;
}

bool writeFile(const std::string& path, const void* bytes, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool put = size == 0 || std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && put;
}

// Writes a double or single result with its NaN made positive and quiet.
bool writeResult(const std::string& path, const mxArray* array) {
    const std::size_t count = mxGetNumberOfElements(array);
    if (mxGetClassID(array) == mxSINGLE_CLASS) {
        std::vector<float> values(static_cast<const float*>(mxGetData(array)),
                                  static_cast<const float*>(mxGetData(array)) + count);
        for (float& v : values)
            if (std::isnan(v)) v = std::numeric_limits<float>::quiet_NaN();
        return writeFile(path, values.data(), count * sizeof(float));
    }
    std::vector<double> values(mxGetPr(array), mxGetPr(array) + count);
    for (double& v : values)
        if (std::isnan(v)) v = std::numeric_limits<double>::quiet_NaN();
    return writeFile(path, values.data(), count * sizeof(double));
}

// Refused calls whose identifiers and messages are compared: one of each
// kind of message with a number or a class name in it.
std::string refusedCalls() {
    std::vector<mxArray*> made;
    auto keep = [&made](mxArray* array) {
        made.push_back(array);
        return array;
    };
    mxArray* data = keep(mex_host::create(mxSINGLE_CLASS, {6, 5, 4, 3}));
    mxArray* one = keep(mex_host::scalar(1.0));
    std::vector<double> withNan(6 * 5 * 4, 1.0);
    withNan[7] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<const mxArray*>> calls = {
        {data},
        {keep(mex_host::create(mxLOGICAL_CLASS, {6, 5, 4, 3})), one},
        {keep(mex_host::create(mxSINGLE_CLASS, {6, 5, 4, 3}, true)), one},
        {keep(mex_host::create(mxDOUBLE_CLASS, {6, 5, 4})), one},
        {keep(mex_host::create(mxDOUBLE_CLASS, {6, 0, 4, 3})), one},
        {keep(mex_host::create(mxUINT8_CLASS, {6, 5, 4, 0})), one},
        {data, keep(mex_host::scalar(std::numeric_limits<double>::quiet_NaN()))},
        {data, keep(mex_host::scalar(0.5))},
        {data, keep(mex_host::create(mxCELL_CLASS, {1, 1}))},
        {data, one, keep(mex_host::create(mxLOGICAL_CLASS, {6, 5}))},
        {data, one, keep(mex_host::filled(mxSINGLE_CLASS, {6, 5, 4}, withNan))},
        {data, one, keep(mex_host::create(mxINT8_CLASS, {6, 5, 4}))},
        {data, one, keep(mex_host::create(mxDOUBLE_CLASS, {0, 0})), keep(mex_host::text("Slabs")),
         keep(mex_host::scalar(0.5))},
        {data, one, keep(mex_host::create(mxDOUBLE_CLASS, {0, 0})), keep(mex_host::text("Slab")), one},
    };
    std::string lines;
    for (const auto& inputs : calls) {
        const mex_host::Call call = mex_host::call(1, inputs);
        lines += call.failed ? call.id + " " + call.message + "\n" : "no error\n";
    }
    for (mxArray* array : made) mex_host::destroy(array);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string out = std::string(argv[1]) + "/";
    const char* names[] = {"denoised", "noise", "rank"};
    int index = 0;
    for (const Case& c : kCases) {
        index++;
        mxArray* data = mex_host::filled(c.type, {mwSize(c.X), mwSize(c.Y), mwSize(c.Z), mwSize(c.N)}, seriesOf(c));
        mxArray* workers = mex_host::scalar(c.workers);
        mxArray* mask = c.mask == kNone ? nullptr : mex_host::filled(c.mask, {mwSize(c.X), mwSize(c.Y), mwSize(c.Z)}, maskOf(c));
        std::vector<const mxArray*> inputs = {data, workers};
        mxArray* none = mex_host::create(mxDOUBLE_CLASS, {0, 0});
        mxArray* name = mex_host::text("Slabs");
        mxArray* slabs = mex_host::scalar(c.slabs);
        if (mask != nullptr || c.slabs > 0) inputs.push_back(mask != nullptr ? mask : none);
        if (c.slabs > 0) inputs.insert(inputs.end(), {name, slabs});
        const mex_host::Call call = mex_host::call(c.outputs, inputs);
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "case%02d", index);
        if (call.failed) {
            std::fprintf(stderr, "%s: %s: %s\n", prefix, call.id.c_str(), call.message.c_str());
            return 1;
        }
        bool ok = writeFile(out + prefix + "-printed.txt", call.printed.data(), call.printed.size());
        for (int r = 0; r < c.outputs; r++)
            ok = ok && writeResult(out + prefix + "-" + mxGetClassName(data) + "-" + names[r] + ".raw", call.outputs[r]);
        if (!ok) {
            std::fprintf(stderr, "%s: cannot write to %s\n", prefix, argv[1]);
            return 1;
        }
        mex_host::destroy(data);
        mex_host::destroy(workers);
        if (mask != nullptr) mex_host::destroy(mask);
        for (mxArray* array : {none, name, slabs}) mex_host::destroy(array);
    }
    const std::string errors = refusedCalls();
    if (!writeFile(out + "errors.txt", errors.data(), errors.size())) return 1;
    std::printf("%d cases and %zu refused calls written to %s\n", index,
                static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')), argv[1]);
    return 0;
}
