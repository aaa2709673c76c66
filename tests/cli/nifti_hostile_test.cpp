// SPDX-License-Identifier: BSD-3-Clause
// Damaged and hostile NIfTI headers: refused with a message naming the file,
// never a crash. Covers the inputs the NIfTI fuzzer found (replayed from
// tests/fuzz/regressions/nifti through the command, as .nii and .nii.gz) and
// the header fields behind them, set one at a time in a valid file.
#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "cli_test_support.h"
#include "nifti_io.h"

using namespace tamrin_cli_test;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A valid uncompressed 4 x 3 x 2 x 3 float32 series of the given version.
std::string validSeries(const ScratchFolder& folder, int version) {
    Image header = owned(makeHeader(4, 3, 2, 3, DT_FLOAT32));
    if (version == 2) header->nifti_type = NIFTI_FTYPE_NIFTI2_1;
    const std::string path = folder / (version == 2 ? "valid2.nii" : "valid1.nii");
    EXPECT_TRUE(writeImage(header.get(), std::vector<double>(header->nvox, 1.5), path));
    return readBytes(path);
}

template <typename T>
void put(std::string* bytes, std::size_t offset, T value) {
    std::memcpy(&(*bytes)[offset], &value, sizeof value);
}

// Where readNiftiHeader and seriesExtents leave a file: the error, empty when
// both accept it.
std::string refusal(const std::string& path) {
    std::string error;
    Image image = owned(tamrin::readNiftiHeader(path, &error));
    int32_t extents[4];
    if (image && tamrin::seriesExtents(image.get(), path, extents, &error)) return "";
    EXPECT_EQ(error.compare(0, path.size(), path), 0) << error;
    return error;
}

}  // namespace

TEST(NiftiHostile, FuzzingFindsAreRefusedByTheCommand) {
    ScratchFolder folder;
    const std::string source = TAMRIN_NIFTI_REGRESSIONS;
    DIR* dir = opendir(source.c_str());
    ASSERT_NE(dir, nullptr) << source;
    int files = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string bytes = readBytes(source + "/" + entry->d_name);
        for (const char* suffix : {".nii", ".nii.gz"}) {
            const std::string path = folder / (std::string(entry->d_name) + suffix);
            writeBytes(path, bytes);
            SCOPED_TRACE(path);
            for (const char* command : {"info", "denoise"}) {
                const CommandRun run = command == std::string("info")
                                           ? runTamrin({"info", path})
                                           : runTamrin({"denoise", path, folder / "out.nii", "--quiet"});
                EXPECT_EQ(run.status, 2) << command << ": " << run.output;
                EXPECT_NE(run.output.find("tamrin: " + path + ": "), std::string::npos)
                    << command << ": " << run.output;
            }
        }
        files++;
    }
    closedir(dir);
    EXPECT_GT(files, 0);
}

TEST(NiftiHostile, DimensionCountBeyondSevenIsRefusedBeforeTheLibraryUsesIt) {
    // The library would copy dim[1 .. dim[0]] into arrays of 8 entries.
    ScratchFolder folder;
    for (int version : {1, 2}) {
        const std::string valid = validSeries(folder, version);
        ASSERT_EQ(refusal(folder / (version == 2 ? "valid2.nii" : "valid1.nii")), "");
        for (int64_t rank : {int64_t{8}, int64_t{1000}, int64_t{1} << 40, int64_t{-3}}) {
            if (version == 1 && rank != static_cast<int16_t>(rank)) continue;  // a 16-bit field
            SCOPED_TRACE("NIfTI-" + std::to_string(version) + ", dim[0] = " + std::to_string(rank));
            std::string bytes = valid;
            if (version == 2)
                put<int64_t>(&bytes, 16, rank);
            else
                put<int16_t>(&bytes, 40, static_cast<int16_t>(rank));
            const std::string path = folder / "damaged.nii";
            writeBytes(path, bytes);
            EXPECT_NE(refusal(path).find("not a NIfTI file"), std::string::npos);
        }
    }
}

TEST(NiftiHostile, ExtentsBeyondWhatCanBeAddressedAreRefused) {
    // dim[1..4] whose product passes 2^63 (the library's voxel count wraps
    // around, here to 0) or 2^60 (no room for the series as doubles).
    ScratchFolder folder;
    const std::string valid = validSeries(folder, 2);
    const int64_t shapes[][4] = {
        {65536, 65536, 65536, 65536}, {2, 2046820355, 33554432, 512}, {int64_t{1} << 30, int64_t{1} << 30, 2, 2}};
    for (const auto& shape : shapes) {
        std::string bytes = valid;
        for (int d = 0; d < 4; d++) put<int64_t>(&bytes, 24 + 8 * d, shape[d]);
        const std::string path = folder / "huge.nii";
        writeBytes(path, bytes);
        const std::string error = refusal(path);
        EXPECT_NE(error.find("more than can be addressed"), std::string::npos) << error;
    }
}
