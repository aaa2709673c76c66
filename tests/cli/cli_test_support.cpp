// SPDX-License-Identifier: BSD-3-Clause
#include "cli_test_support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "nifti_io.h"

namespace tamrin_cli_test {

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tamrin-cli-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> ScratchFolder::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

nifti_image* makeHeader(int32_t X, int32_t Y, int32_t Z, int32_t N, int datatype) {
    const int64_t dims[8] = {N > 0 ? 4 : 3, X, Y, Z, N > 0 ? N : 1, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, datatype, 0);
    image->dx = image->pixdim[1] = 1.5;
    image->dy = image->pixdim[2] = 2.0;
    image->dz = image->pixdim[3] = 2.5;
    image->dt = image->pixdim[4] = 3.2;
    image->xyz_units = NIFTI_UNITS_MM;
    image->time_units = NIFTI_UNITS_SEC;
    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->quatern_b = 0.1;
    image->quatern_c = -0.2;
    image->quatern_d = 0.3;
    image->qoffset_x = -90.5;
    image->qoffset_y = 12.25;
    image->qoffset_z = 40.0;
    image->qfac = -1.0;
    image->qto_xyz = nifti_quatern_to_dmat44(0.1, -0.2, 0.3, -90.5, 12.25, 40.0, 1.5, 2.0, 2.5, -1.0);
    image->sform_code = NIFTI_XFORM_MNI_152;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 4; c++) image->sto_xyz.m[r][c] = 0.5 * r - 0.25 * c + (r == c ? 2.0 : 0.0);
    std::snprintf(image->descrip, sizeof(image->descrip), "test series for the command line");
    return image;
}

bool writeImage(const nifti_image* header, const std::vector<double>& values, const std::string& path, double slope,
                double inter) {
    nifti_image* image = nifti_copy_nim_info(header);
    image->scl_slope = slope;
    image->scl_inter = inter;
    image->data = std::calloc(static_cast<std::size_t>(image->nvox), static_cast<std::size_t>(image->nbyper));
    for (int64_t i = 0; i < image->nvox && i < static_cast<int64_t>(values.size()); i++) {
        const double v = values[static_cast<std::size_t>(i)];
        switch (image->datatype) {
            case DT_INT8:
                static_cast<int8_t*>(image->data)[i] = static_cast<int8_t>(v);
                break;
            case DT_UINT8:
                static_cast<uint8_t*>(image->data)[i] = static_cast<uint8_t>(v);
                break;
            case DT_INT16:
                static_cast<int16_t*>(image->data)[i] = static_cast<int16_t>(v);
                break;
            case DT_UINT16:
                static_cast<uint16_t*>(image->data)[i] = static_cast<uint16_t>(v);
                break;
            case DT_INT32:
                static_cast<int32_t*>(image->data)[i] = static_cast<int32_t>(v);
                break;
            case DT_UINT32:
                static_cast<uint32_t*>(image->data)[i] = static_cast<uint32_t>(v);
                break;
            case DT_INT64:
                static_cast<int64_t*>(image->data)[i] = static_cast<int64_t>(v);
                break;
            case DT_UINT64:
                static_cast<uint64_t*>(image->data)[i] = static_cast<uint64_t>(v);
                break;
            case DT_FLOAT32:
                static_cast<float*>(image->data)[i] = static_cast<float>(v);
                break;
            case DT_FLOAT64:
                static_cast<double*>(image->data)[i] = v;
                break;
            default:
                break;  // other types: left zero
        }
    }
    std::string error;
    const bool ok = tamrin::writeNiftiFile(image, path, &error);
    nifti_image_free(image);
    return ok;
}

std::vector<double> readValues(const std::string& path, nifti_image** header) {
    std::string error;
    nifti_image* image = tamrin::readNiftiHeader(path, &error);
    std::vector<double> values;
    if (image == nullptr) {
        std::fprintf(stderr, "readValues: %s\n", error.c_str());
        return values;
    }
    if (!tamrin::loadNiftiData(image, path, &error) || !tamrin::imageToDoubles(image, &values, &error)) {
        std::fprintf(stderr, "readValues: %s\n", error.c_str());
        values.clear();
    }
    nifti_image_unload(image);
    if (header != nullptr)
        *header = image;
    else
        nifti_image_free(image);
    return values;
}

std::vector<double> readRawDoubles(const std::string& path) {
    std::vector<double> values;
    nifti_image* image = nifti_image_read(path.c_str(), 0);
    if (image == nullptr) return values;
    if (image->datatype == DT_FLOAT64) {
        values.resize(static_cast<std::size_t>(image->nvox));
        std::FILE* file = std::fopen(path.c_str(), "rb");
        const bool ok = file != nullptr && std::fseek(file, static_cast<long>(image->iname_offset), SEEK_SET) == 0 &&
                        std::fread(values.data(), sizeof(double), values.size(), file) == values.size();
        if (file != nullptr) std::fclose(file);
        if (!ok) values.clear();
    }
    nifti_image_free(image);
    return values;
}

CommandRun runTamrin(const std::vector<std::string>& args, const std::string& prefix) {
    std::string line = prefix + " '" TAMRIN_EXE "'";
    for (const std::string& arg : args) {
        line += " '";
        for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += "'";
    }
    line += " 2>&1";
    CommandRun run{-1, ""};
    std::FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace tamrin_cli_test
