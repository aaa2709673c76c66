// SPDX-License-Identifier: BSD-3-Clause
// The extension module tamrin._tamrin: runs the denoiser on numpy arrays.
//
// tamrin/__init__.py checks and converts the caller's arguments and creates
// the result arrays; denoiseInto runs the core into them. The series is read
// where it lies (a Fortran-ordered float64 or float32 array), and the results
// are written straight into the caller's arrays.
//
// While the workers run the interpreter lock is released and the calling
// thread wakes every 100 ms (denoiseSeriesWatched) to take the lock briefly:
// it runs the interpreter's signal handlers, so that Ctrl-C raises
// KeyboardInterrupt, and calls the progress callable. An exception from
// either sets the cancel flag; the workers stop at their next row, and the
// exception is raised once they have ended.
//
// The core's messages come from worker threads, where no Python code may run:
// each call gives the core a message log of its own and hands its content
// back to tamrin/__init__.py, which issues it as warnings. Calls from several
// Python threads run at the same time, each with its own workers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/checks.h"
#include "tamrin/denoise.h"
#include "tamrin/messages.h"
#include "tamrin/watch.h"

namespace py = pybind11;

namespace {

constexpr int32_t kWatchIntervalMs = 100;

// ---------------------------------------------------------------------------
// The call's messages as a list of (text, count); lost texts come last with
// an empty text. Needs the interpreter lock.

py::list messagesOf(tamrin::MessageLog* log) {
    int64_t lost = 0;
    py::list messages;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(log, &lost))
        messages.append(py::make_tuple(run.text, run.count));
    if (lost > 0) messages.append(py::make_tuple(std::string(), lost));
    return messages;
}

// ---------------------------------------------------------------------------
// The watch on the calling thread.

struct Watch {
    py::object progress;  // None, or a callable taking (done, total)
    std::atomic<bool> cancel{false};
    // The pending exception (type, value, traceback) that stopped the run.
    PyObject* errorType = nullptr;
    PyObject* errorValue = nullptr;
    PyObject* errorTrace = nullptr;
};

// Keeps the exception now set in the interpreter and stops the run.
void stopWithPendingError(Watch* watch) {
    PyErr_Fetch(&watch->errorType, &watch->errorValue, &watch->errorTrace);
    watch->cancel.store(true);
}

// Called every interval while the run goes on, then once at its end.
void onWatch(int64_t done, int64_t total, bool /*finished*/, void* context) {
    Watch* watch = static_cast<Watch*>(context);
    if (watch->cancel.load()) return;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
        stopWithPendingError(watch);
        return;
    }
    if (watch->progress.is_none()) return;
    PyObject* result = PyObject_CallFunction(watch->progress.ptr(), "LL", static_cast<long long>(done),
                                             static_cast<long long>(total));
    if (result == nullptr)
        stopWithPendingError(watch);
    else
        Py_DECREF(result);
}

// ---------------------------------------------------------------------------
// Arguments: checked again here, since the arrays are handed to the core as
// raw pointers.

using F64 = py::array_t<double, py::array::f_style>;
using F32 = py::array_t<float, py::array::f_style>;

bool aligned(const py::array& a) { return (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0; }

// A writeable, aligned, Fortran-ordered float64 array of the given shape.
F64 resultArray(const py::object& object, const char* name, const std::vector<py::ssize_t>& shape) {
    if (!F64::check_(object)) throw py::type_error(std::string(name) + " must be a Fortran-ordered float64 array");
    F64 array = py::reinterpret_borrow<F64>(object);
    if (!array.writeable() || !aligned(array) || array.ndim() != static_cast<py::ssize_t>(shape.size()))
        throw py::value_error(std::string(name) + " must be a writeable, aligned array of " +
                              std::to_string(shape.size()) + " dimensions");
    for (std::size_t i = 0; i < shape.size(); i++)
        if (array.shape(static_cast<py::ssize_t>(i)) != shape[i])
            throw py::value_error(std::string(name) + " does not have the series' extents");
    return array;
}

// An array's shape as the core's checks take it.
std::vector<int64_t> shapeOf(const py::array& array) {
    std::vector<int64_t> shape;
    for (py::ssize_t i = 0; i < array.ndim(); i++) shape.push_back(array.shape(i));
    return shape;
}

// The word for each of the core's reasons.
const char* seriesReason(int32_t problem) {
    switch (problem) {
        case tamrin::kSeriesNotFourDimensional: return "dimensions";
        case tamrin::kSeriesExtentTooLarge: return "extent";
        case tamrin::kSeriesEmpty: return "empty";
        case tamrin::kSeriesTooFewVolumes: return "volumes";
        case tamrin::kSeriesTooManyValues: return "values";
        default: return "fits";
    }
}

// check_series(shape): None when a series of that shape can be denoised, or
// (reason, axis, value) with reason "dimensions" (value: their number),
// "empty" (an extent X, Y or Z below 1), "volumes" (N below 2), "extent" (an
// extent past 2**31 - 1) or "values" (more than can be addressed).
py::object checkSeries(const std::vector<int64_t>& shape) {
    const tamrin::SeriesCheck check = tamrin::checkSeriesShape(shape.data(), static_cast<int32_t>(shape.size()));
    if (check.problem == tamrin::kSeriesFits) return py::none();
    return py::make_tuple(seriesReason(check.problem), check.axis, check.value);
}

tamrin::SeriesView seriesOf(const py::object& data) {
    const bool doubles = F64::check_(data);
    if (!doubles && !F32::check_(data))
        throw py::type_error("data must be a Fortran-ordered float64 or float32 array");
    const py::array array = py::reinterpret_borrow<py::array>(data);
    if (!aligned(array)) throw py::value_error("data must be an aligned array");
    const std::vector<int64_t> shape = shapeOf(array);
    const tamrin::SeriesCheck check = tamrin::checkSeriesShape(shape.data(), static_cast<int32_t>(shape.size()));
    if (check.problem != tamrin::kSeriesFits)
        throw py::value_error(std::string("data cannot be denoised (") + seriesReason(check.problem) +
                              "); see tamrin.denoise");
    tamrin::SeriesView view;
    view.values = array.data();
    view.type = doubles ? tamrin::kValuesDouble : tamrin::kValuesSingle;
    view.X = check.extents[0];
    view.Y = check.extents[1];
    view.Z = check.extents[2];
    view.N = check.extents[3];
    return view;
}

// The core's name for a mask array's value type; -1 for others.
int32_t maskType(const py::array& array) {
    const py::dtype type = array.dtype();
    const char kind = type.kind();
    const py::ssize_t size = type.itemsize();
    if (kind == 'f') return size == 8 ? tamrin::kValuesDouble : size == 4 ? tamrin::kValuesSingle : -1;
    if (kind == 'b') return size == 1 ? tamrin::kValuesUint8 : -1;
    const bool sign = kind == 'i';
    if (kind != 'i' && kind != 'u') return -1;
    switch (size) {
        case 1: return sign ? tamrin::kValuesInt8 : tamrin::kValuesUint8;
        case 2: return sign ? tamrin::kValuesInt16 : tamrin::kValuesUint16;
        case 4: return sign ? tamrin::kValuesInt32 : tamrin::kValuesUint32;
        case 8: return sign ? tamrin::kValuesInt64 : tamrin::kValuesUint64;
        default: return -1;
    }
}

// mask_bytes(values, grid): the core's reading of a mask. values: an
// aligned, Fortran-ordered array in native byte order, of booleans, integers,
// float32 or float64. Returns (bytes, reason, at): the X x Y x Z bytes (1
// inside) in Fortran order, and None, "shape", "nan" (at: the first NaN's
// index, Fortran order) or "empty".
py::tuple maskBytes(const py::array& values, const std::vector<int64_t>& grid) {
    const std::vector<int64_t> shape = shapeOf(values);
    if (grid.size() != 3) throw py::value_error("grid must be (X, Y, Z)");
    if (tamrin::checkMaskShape(shape.data(), static_cast<int32_t>(shape.size()), static_cast<int32_t>(grid[0]),
                               static_cast<int32_t>(grid[1]), static_cast<int32_t>(grid[2]))
            .problem != tamrin::kMaskFits)
        return py::make_tuple(py::none(), "shape", -1);
    const int32_t type = maskType(values);
    const bool ready = (values.flags() & py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) != 0 && aligned(values) &&
                       values.dtype().byteorder() != '>';
    if (type < 0 || !ready) throw py::type_error("mask values must be an aligned Fortran-ordered native array");
    py::array_t<uint8_t, py::array::f_style> bytes({grid[0], grid[1], grid[2]});
    const tamrin::MaskCheck check = tamrin::maskFromValues(values.data(), type, grid[0] * grid[1] * grid[2],
                                                           bytes.mutable_data());
    const char* reason = check.problem == tamrin::kMaskHoldsNaN ? "nan" : check.problem == tamrin::kMaskEmpty ? "empty" : nullptr;
    return py::make_tuple(bytes, reason == nullptr ? py::object(py::none()) : py::object(py::str(reason)), check.at);
}

// The optional mask: None, or a Fortran-ordered X x Y x Z array of bytes
// (tamrin/__init__.py makes it), non-zero inside.
const uint8_t* maskOf(const py::object& object, const std::vector<py::ssize_t>& grid) {
    using Bytes = py::array_t<uint8_t, py::array::f_style>;
    if (object.is_none()) return nullptr;
    if (!Bytes::check_(object)) throw py::type_error("mask must be a Fortran-ordered uint8 array");
    const Bytes array = py::reinterpret_borrow<Bytes>(object);
    if (array.ndim() != 3) throw py::value_error("mask must be a 3-D array");
    for (py::ssize_t i = 0; i < 3; i++)
        if (array.shape(i) != grid[static_cast<std::size_t>(i)])
            throw py::value_error("mask does not have the series' grid");
    return array.data();
}

// Raises the exception for a status other than kDenoiseOk.
[[noreturn]] void raiseStatus(int32_t status) {
    const std::string message = std::string("denoising failed: ") + tamrin::denoiseStatusMessage(status);
    if (status == tamrin::kDenoiseOutOfMemory || status == tamrin::kDenoisePatchOutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    }
    if (status == tamrin::kDenoiseBadExtents || status == tamrin::kDenoiseEmptyMask) throw py::value_error(message);
    throw std::runtime_error(message);
}

// The names of the options that take a word, in the order of the core's values.
int32_t optionValue(const std::string& name, const std::string& value, std::initializer_list<const char*> words) {
    int32_t index = 0;
    for (const char* word : words) {
        if (value == word) return index;
        index++;
    }
    throw py::value_error(name + " must be one of the known words; got " + value);
}

// denoiseInto(data, workers, denoised, noise, weight, progress, mask, rank,
// non_finite, uncovered): denoises data into the result arrays (rank: None
// or the rank map's array) and returns the core's messages as a list of
// (text, count), and what the run found as a dict.
py::tuple denoiseInto(const py::object& data, int32_t workers, const py::object& denoisedArray,
                      const py::object& noiseArray, const py::object& weightArray, const py::object& progress,
                      const py::object& maskArray, const py::object& rankArray, const std::string& nonFinite,
                      const std::string& uncovered, int32_t slabs) {
    const tamrin::SeriesView series = seriesOf(data);
    if (workers < 1) throw py::value_error("workers must be at least 1");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be None or a callable taking (done, total)");
    const std::vector<py::ssize_t> map = {series.X, series.Y, series.Z};
    F64 denoised = resultArray(denoisedArray, "denoised", {series.X, series.Y, series.Z, series.N});
    F64 noise = resultArray(noiseArray, "noise", map);
    F64 weight = resultArray(weightArray, "weight", map);
    const uint8_t* mask = maskOf(maskArray, map);
    F64 rank;
    if (!rankArray.is_none()) rank = resultArray(rankArray, "rank", map);

    tamrin::DenoiseResults results;
    results.denoised = denoised.mutable_data();
    results.noise = noise.mutable_data();
    results.weight = weight.mutable_data();
    results.rank = rankArray.is_none() ? nullptr : rank.mutable_data();
    Watch watch;
    watch.progress = progress;
    tamrin::MessageLog log;
    tamrin::DenoiseOptions options;
    options.cancel = &watch.cancel;
    options.mask = mask;
    options.messages = &log;
    options.nonFinite = optionValue("non_finite", nonFinite, {"keep", "uncover"});
    options.uncovered = optionValue("uncovered", uncovered, {"nan", "input", "zero"});
    if (slabs < 1) throw py::value_error("slabs must be at least 1");
    options.slabs = slabs;
    // What the run found is counted only for the options that report it.
    tamrin::DenoiseReport found;
    if (options.nonFinite != tamrin::kNonFiniteKeep || options.uncovered != tamrin::kUncoveredNan)
        options.report = &found;

    int32_t status = tamrin::kDenoiseOk;
    {
        py::gil_scoped_release release;
        status = tamrin::denoiseSeriesWatched(series, workers, results, options, kWatchIntervalMs, onWatch, &watch);
    }
    py::list messages = messagesOf(&log);
    if (watch.errorType != nullptr) {
        PyErr_Restore(watch.errorType, watch.errorValue, watch.errorTrace);
        throw py::error_already_set();
    }
    if (status != tamrin::kDenoiseOk) raiseStatus(status);
    py::dict report;
    report["non_finite_values"] = found.nonFiniteValues;
    report["non_finite_voxels"] = found.nonFiniteVoxels;
    report["first_non_finite"] = found.firstNonFinite;
    report["broken_voxels"] = found.brokenVoxels;
    return py::make_tuple(messages, report);
}

}  // namespace

// memory_binding.cpp
void defineMemoryCheck(py::module_& module);

PYBIND11_MODULE(_tamrin, module) {
    module.doc() = "The denoiser's native part; use tamrin.denoise.";
    module.attr("__version__") = TAMRIN_VERSION;
    module.def("denoise_into", &denoiseInto, py::arg("data"), py::arg("workers"), py::arg("denoised"),
               py::arg("noise"), py::arg("weight"), py::arg("progress") = py::none(), py::kw_only(),
               py::arg("mask") = py::none(), py::arg("rank") = py::none(), py::arg("non_finite") = "keep",
               py::arg("uncovered") = "nan", py::arg("slabs") = 1,
               "Denoises data (a Fortran-ordered float64 or float32 X x Y x Z x N array) into the given\n"
               "Fortran-ordered float64 arrays, within mask (None, or Fortran-ordered X x Y x Z bytes)\n"
               "and with the rank map when rank is an array, NaN and infinities treated as non_finite\n"
               "(\"keep\" or \"uncover\") and voxels without an estimate as uncovered (\"nan\",\n"
               "\"input\" or \"zero\"), with `slabs` slabs decomposed by `workers` threads; returns the core's messages as (text, count) pairs and what\n"
               "the run found as a dict.");
    module.def("check_series", &checkSeries, py::arg("shape"),
               "None when a series of this shape can be denoised, else (reason, axis, value).");
    module.def("mask_bytes", &maskBytes, py::arg("values"), py::arg("grid"),
               "The mask as Fortran-ordered bytes (1 inside) and None, \"shape\", \"nan\" or \"empty\" with\n"
               "the first NaN's index.");
    module.def(
        "patch_positions",
        [](int32_t X, int32_t Y, int32_t Z, int32_t N) { return tamrin::patchPositions(X, Y, Z, N); },
        py::arg("X"), py::arg("Y"), py::arg("Z"), py::arg("N"),
        "Patch positions a run of an X x Y x Z x N series visits (the total of its progress).");
    module.def(
        "workers_used",
        [](int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested) {
            return tamrin::workersUsed(X, Y, Z, N, requested);
        },
        py::arg("X"), py::arg("Y"), py::arg("Z"), py::arg("N"), py::arg("requested"),
        "Worker threads a run of an X x Y x Z x N series with `requested` workers uses.");
    defineMemoryCheck(module);
}
