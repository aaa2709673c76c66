// SPDX-License-Identifier: BSD-3-Clause
// The command's --mask and --rank, and NaN or infinities in its input: every
// bad mask refused with a message and nothing left behind, masks on the same
// grid accepted within the tolerance, results inside the mask those of the
// unmasked run, the rank map written like the noise map, and non-finite
// values treated alike in a mapped .nii, a loaded .nii.gz and scaled integers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "cli_test_support.h"
#include "phantom/phantom.h"
#include "progress.h"
#include "tamrin/denoise.h"

using namespace tamrin_cli_test;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr int32_t X = 14, Y = 12, Z = 9, N = 10;
constexpr int64_t kVoxels = int64_t{X} * Y * Z;

// The phantom with noise everywhere (no exact zeros) as float32, and the
// values the command reads from it.
std::vector<double> writeSeries(const std::string& path) {
    std::vector<double> truth, noisy;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addMagnitudeNoise(truth, 20.0, 3, &noisy);
    Image header = owned(makeHeader(X, Y, Z, N, DT_FLOAT32));
    EXPECT_TRUE(writeImage(header.get(), noisy, path));
    return readValues(path);
}

// A box inside the grid, touching its x = 0 face.
std::vector<double> boxMask() {
    std::vector<double> mask(kVoxels, 0.0);
    for (int32_t z = 2; z < 7; z++)
        for (int32_t y = 3; y < 9; y++)
            for (int32_t x = 0; x < 8; x++) mask[x + X * (y + Y * z)] = 1.0;
    return mask;
}

void writeMask(const std::string& path, const std::vector<double>& values, int datatype = DT_UINT8,
               void (*adjust)(nifti_image*) = nullptr) {
    Image header = owned(makeHeader(X, Y, Z, 0, datatype));
    if (adjust != nullptr) adjust(header.get());
    ASSERT_TRUE(writeImage(header.get(), values, path));
}

struct Core {
    std::vector<double> denoised, noise, weight, rank;
};

// The denoiser called directly with the mask (empty: none).
Core denoise(const std::vector<double>& input, const std::vector<double>& maskValues, int32_t workers) {
    Core r{std::vector<double>(input.size()), std::vector<double>(kVoxels), std::vector<double>(kVoxels),
           std::vector<double>(kVoxels)};
    std::vector<uint8_t> mask;
    for (double m : maskValues) mask.push_back(m != 0.0);
    tamrin::DenoiseResults into;
    into.denoised = r.denoised.data();
    into.noise = r.noise.data();
    into.weight = r.weight.data();
    into.rank = r.rank.data();
    tamrin::DenoiseOptions options;
    options.mask = mask.empty() ? nullptr : mask.data();
    EXPECT_EQ(tamrin::denoiseSeries(tamrin::seriesView(input.data(), X, Y, Z, N), workers, into, options),
              tamrin::kDenoiseOk);
    return r;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(TamrinMask, BadMasksAreRefusedAndLeaveNothing) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in);
    std::vector<double> withNan = boxMask();
    withNan[3 + X * (4 + Y * 5)] = std::nan("");
    writeMask(folder / "nan.nii", withNan, DT_FLOAT32);
    writeMask(folder / "empty.nii", std::vector<double>(kVoxels, 0.0));
    writeMask(folder / "complex.nii", {}, DT_COMPLEX64);
    writeMask(folder / "shifted.nii", boxMask(), DT_UINT8, [](nifti_image* h) {
        h->qoffset_x += 3.0;  // both transforms 3 mm along x
        h->sto_xyz.m[0][3] += 3.0;
    });
    writeMask(folder / "flipped.nii", boxMask(), DT_UINT8, [](nifti_image* h) {
        h->qfac = -h->qfac;  // the qform's z axis reversed, the sform's x axis
        for (int r = 0; r < 3; r++) h->sto_xyz.m[r][0] = -h->sto_xyz.m[r][0];
    });
    {
        Image other = owned(makeHeader(X, Y, Z - 1, 0, DT_UINT8));
        ASSERT_TRUE(writeImage(other.get(), std::vector<double>(kVoxels, 1.0), folder / "other.nii"));
        Image four = owned(makeHeader(X, Y, Z, 2, DT_UINT8));
        ASSERT_TRUE(writeImage(four.get(), std::vector<double>(kVoxels * 2, 1.0), folder / "four.nii"));
        Image plane = owned(makeHeader(X, Y, 1, 0, DT_UINT8));
        ASSERT_TRUE(writeImage(plane.get(), std::vector<double>(X * Y, 1.0), folder / "plane.nii"));
        writeMask(folder / "cut.nii", boxMask());
        ASSERT_EQ(::truncate((folder / "cut.nii").c_str(), 400), 0);
        std::ofstream(folder / "text.nii") << "not an image\n";
    }
    const struct {
        const char* mask;
        std::string expected;
    } cases[] = {
        {"missing.nii", "missing.nii: no such file"},
        {"text.nii", "text.nii: not a NIfTI file"},
        {"other.nii", "other.nii: 14 x 12 x 8 voxels, where the series has 14 x 12 x 9 (a 3-D mask on the grid of " +
                          in + " is expected)"},
        {"plane.nii", "plane.nii: 14 x 12 x 1 voxels, where the series has 14 x 12 x 9"},
        {"four.nii", "four.nii: a 4-D image (14 x 12 x 9 x 2) (a 3-D mask on the grid of"},
        {"shifted.nii", "shifted.nii: not on the grid of the series: their headers (qform, sform) place the grid's "
                        "corners up to 3 mm apart"},
        {"flipped.nii", "flipped.nii: not on the grid of the series"},
        {"complex.nii", "complex.nii: voxel type COMPLEX64 is not supported"},
        {"nan.nii", "nan.nii: holds NaN (at x 3, y 4, z 5); a mask holds 0 outside and other numbers inside"},
        {"empty.nii", "empty.nii: the mask is empty (every value is 0): there is nothing to denoise"},
        {"cut.nii", "cut.nii: the image data cannot be read"},
    };
    ASSERT_EQ(::mkdir((folder / "out").c_str(), 0755), 0);
    for (const auto& c : cases) {
        const CommandRun run = runTamrin({"denoise", in, folder / "out/den.nii", "--noise-map", folder / "out/noise.nii",
                                          "--rank", folder / "out/rank.nii", "--mask", folder / c.mask});
        EXPECT_EQ(run.status, 2) << c.mask << ": " << run.output;
        EXPECT_TRUE(contains(run.output, "tamrin: " + folder / c.expected)) << run.output;
        EXPECT_TRUE(std::filesystem::is_empty(folder / "out")) << c.mask;
        if (c.mask != std::string("missing.nii") && c.mask != std::string("text.nii")) {
            // info checks the mask the same way.
            const CommandRun info = runTamrin({"info", in, "--mask", folder / c.mask});
            EXPECT_EQ(info.status, 2) << c.mask << ": " << info.output;
            EXPECT_TRUE(contains(info.output, "tamrin: " + folder / c.expected)) << info.output;
        }
    }
    // Usage errors: a mask or rank map without a name, a rank map named like
    // another output or without a NIfTI extension.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"denoise", in, folder / "den.nii", "--mask"},
          std::vector<std::string>{"denoise", in, folder / "den.nii", "--rank", folder / "den.nii"},
          std::vector<std::string>{"denoise", in, folder / "den.nii", "--noise-map", folder / "n.nii", "--rank",
                                   folder / "n.nii"},
          std::vector<std::string>{"denoise", in, folder / "den.nii", "--rank", folder / "rank.txt"}}) {
        const CommandRun run = runTamrin(args);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_TRUE(contains(run.output, "--help")) << run.output;
    }
}

TEST(TamrinMask, InsideIsTheUnmaskedRunOutsideUncovered) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    const std::vector<double> input = writeSeries(in);
    const std::vector<double> mask = boxMask();
    const Core plain = denoise(input, {}, 3), masked = denoise(input, mask, 3);
    // Masks that name the same grid: other types and values, a header
    // placing it within the tolerance, one that does not say where its
    // voxels lie, one with a qform only, a 4-D image of one volume.
    std::vector<double> scaled = mask;
    for (double& m : scaled) m *= 3.0;
    writeMask(folder / "uint8.nii", mask);
    writeMask(folder / "float.nii.gz", scaled, DT_FLOAT32);
    writeMask(folder / "near.nii", mask, DT_INT16, [](nifti_image* h) {
        h->qoffset_x += 1e-3;
        h->sto_xyz.m[1][3] -= 1e-3;
    });
    writeMask(folder / "nowhere.nii", mask, DT_UINT8, [](nifti_image* h) { h->qform_code = h->sform_code = 0; });
    writeMask(folder / "qform.nii", mask, DT_UINT8, [](nifti_image* h) { h->sform_code = 0; });
    {
        Image four = owned(makeHeader(X, Y, Z, 1, DT_UINT8));
        ASSERT_TRUE(writeImage(four.get(), mask, folder / "four.nii"));
    }
    for (const char* name : {"uint8.nii", "float.nii.gz", "near.nii", "nowhere.nii", "qform.nii", "four.nii"}) {
        for (const char* mode : {"nan", "input"}) {
            SCOPED_TRACE(testing::Message() << name << ", --uncovered " << mode);
            const CommandRun run = runTamrin({"denoise", in, folder / "den.nii", "--noise-map", folder / "noise.nii",
                                              "--rank", folder / "rank.nii", "--mask", folder / name, "--workers", "3",
                                              "--datatype", "float64", "--uncovered", mode, "--force"});
            ASSERT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(run.output, "");
            const std::vector<double> denoised = readRawDoubles(folder / "den.nii"),
                                      noise = readRawDoubles(folder / "noise.nii"),
                                      rank = readRawDoubles(folder / "rank.nii");
            ASSERT_EQ(denoised.size(), input.size());
            ASSERT_EQ(rank.size(), static_cast<std::size_t>(kVoxels));
            if (mode[0] == 'n') {
                EXPECT_TRUE(sameBits(denoised, masked.denoised));
                EXPECT_TRUE(sameBits(noise, masked.noise));
                EXPECT_TRUE(sameBits(rank, masked.rank));
            }
            int64_t wrong = 0;
            for (int64_t k = 0; k < kVoxels; k++) {
                const bool inside = mask[k] != 0.0;
                // Inside: the unmasked run's values; outside: the input's,
                // 0 in the maps (NaN with "nan").
                const double noiseOutside = mode[0] == 'n' ? masked.noise[k] : 0.0;
                wrong += !sameBits({noise[k], rank[k]}, inside ? std::vector<double>{plain.noise[k], plain.rank[k]}
                                                               : std::vector<double>{noiseOutside, noiseOutside});
                for (int32_t v = 0; v < N; v++) {
                    const int64_t i = k + kVoxels * v;
                    const double outside = mode[0] == 'n' ? masked.denoised[i] : input[i];
                    wrong += !sameBits({denoised[i]}, {inside ? plain.denoised[i] : outside});
                }
            }
            EXPECT_EQ(wrong, 0);
        }
    }
    // info counts the voxels inside and the positions that reach them.
    const CommandRun info = runTamrin({"info", in, "--mask", folder / "uint8.nii"});
    ASSERT_EQ(info.status, 0) << info.output;
    std::vector<uint8_t> bytes;
    for (double m : mask) bytes.push_back(m != 0.0);
    EXPECT_TRUE(contains(info.output, "mask:         240 voxels inside; " +
                                          tamrin::groupDigits(tamrin::maskedPatchPositions(bytes.data(), X, Y, Z, N)) +
                                          " of the patch positions hold one"))
        << info.output;
}

TEST(TamrinRank, WrittenLikeTheNoiseMap) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii.gz";
    const std::vector<double> input = writeSeries(in);
    const Core core = denoise(input, {}, 2);
    CommandRun run = runTamrin({"denoise", in, folder / "den.nii", "--rank", folder / "rank.nii.gz", "--workers", "2"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"den.nii", "in.nii.gz", "rank.nii.gz"}));
    nifti_image* read = nullptr;
    const std::vector<double> rank = readValues(folder / "rank.nii.gz", &read);
    Image header = owned(read);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->dim[0], 3);
    EXPECT_EQ(header->datatype, DT_FLOAT32);
    EXPECT_EQ(header->sform_code, NIFTI_XFORM_MNI_152);
    ASSERT_EQ(rank.size(), static_cast<std::size_t>(kVoxels));
    for (int64_t k = 0; k < kVoxels; k++) ASSERT_EQ(rank[k], static_cast<float>(core.rank[k])) << k;
    // An existing rank map is replaced only with --force.
    run = runTamrin({"denoise", in, folder / "den2.nii", "--rank", folder / "rank.nii.gz"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.output, "rank.nii.gz: already exists (add --force to replace it)")) << run.output;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"den.nii", "in.nii.gz", "rank.nii.gz"}));
}

TEST(TamrinNonFinite, SameForMappedLoadedAndScaledInput) {
    ScratchFolder folder;
    std::vector<double> values = writeSeries(folder / "clean.nii");
    // NaN in one voxel's volume 4 and -inf at another voxel in two volumes
    // (the first of them before the NaN in memory order).
    const int64_t nanAt = 5 + X * (6 + Y * 4) + kVoxels * 4, infVoxel = 2 + X * (1 + Y * 0);
    values[nanAt] = std::nan("");
    values[infVoxel + kVoxels * 1] = -HUGE_VAL;
    values[infVoxel + kVoxels * 7] = -HUGE_VAL;
    Image header = owned(makeHeader(X, Y, Z, N, DT_FLOAT32));
    ASSERT_TRUE(writeImage(header.get(), values, folder / "in.nii"));
    ASSERT_TRUE(writeImage(header.get(), values, folder / "in.nii.gz"));
    // Integers whose scaling takes two values past the double range (the
    // NIfTI-2 slope is a double) and keeps the others as they were: the
    // same positions become infinite.
    std::vector<double> stored(values.size());
    for (std::size_t i = 0; i < values.size(); i++)
        stored[i] = std::isfinite(values[i]) ? std::round(values[i] * 4.0)
                                             : (static_cast<int64_t>(i) == nanAt ? 1 << 28 : -(1 << 28));
    Image integers = owned(makeHeader(X, Y, Z, N, DT_INT32));
    integers->nifti_type = NIFTI_FTYPE_NIFTI2_1;
    ASSERT_TRUE(writeImage(integers.get(), stored, folder / "scaled.nii", 0x1p1000, 0.0));

    const std::string mappedBefore = fileBytes(folder / "in.nii");
    std::vector<double> zeroed = values;
    for (double& v : zeroed) v = std::isfinite(v) ? v : 0.0;
    const Core core = denoise(zeroed, {}, 2);
    volatile double zero = 0.0;
    const double uncoveredNan = zero / zero;  // the denoiser's NaN for uncovered voxels
    for (const char* name : {"in.nii", "in.nii.gz", "scaled.nii"}) {
        for (const char* mode : {"input", "nan", "zero"}) {
            SCOPED_TRACE(testing::Message() << name << ", --uncovered " << mode);
            const CommandRun run = runTamrin({"denoise", folder / name, folder / "den.nii", "--noise-map",
                                              folder / "noise.nii", "--datatype", "float64", "--workers", "2",
                                              "--uncovered", mode, "--force"});
            ASSERT_EQ(run.status, 0) << run.output;
            const std::string treatment =
                mode[0] == 'i' ? "the input's values" : mode[0] == 'n' ? "NaN" : "0";
            EXPECT_TRUE(contains(run.output, "tamrin: warning: " + folder / name +
                                                 ": 3 values are NaN or infinite (the first at x 2, y 1, z 0, volume "
                                                 "1); they are denoised as 0, and the 2 voxels holding them receive " +
                                                 treatment + ", as uncovered voxels do (--uncovered)"))
                << run.output;
            if (name[0] == 's') continue;  // the scaled series has other values: only the treatment is compared
            const std::vector<double> denoised = readRawDoubles(folder / "den.nii"),
                                      noise = readRawDoubles(folder / "noise.nii");
            ASSERT_EQ(denoised.size(), values.size());
            int64_t wrong = 0;
            for (int64_t k = 0; k < kVoxels; k++) {
                const bool held = k == nanAt % kVoxels || k == infVoxel;
                const bool uncovered = held || core.weight[k] == 0.0;
                wrong += uncovered ? !sameBits({noise[k]}, {mode[0] == 'n' ? uncoveredNan : 0.0})
                                   : !sameBits({noise[k]}, {core.noise[k]});
                for (int32_t v = 0; v < N; v++) {
                    const int64_t i = k + kVoxels * v;
                    if (!uncovered) {
                        wrong += !sameBits({denoised[i]}, {core.denoised[i]});
                    } else if (mode[0] == 'i') {
                        wrong += !(denoised[i] == values[i] || (std::isnan(values[i]) && std::isnan(denoised[i])));
                    } else {
                        wrong += !sameBits({denoised[i]}, {mode[0] == 'n' ? uncoveredNan : 0.0});
                    }
                }
            }
            EXPECT_EQ(wrong, 0);
        }
    }
    // The mapped file itself is untouched.
    EXPECT_EQ(fileBytes(folder / "in.nii"), mappedBefore);
}

}  // namespace
