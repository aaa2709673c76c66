// SPDX-License-Identifier: BSD-3-Clause
// NIfTI reading and writing: every accepted datatype, scaling, geometry kept
// on output, both file versions and compressions, the series checks, and
// writes that fail half-way.
#include "nifti_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

#include "cli_test_support.h"
#include "output_file.h"

using namespace tamrin_cli_test;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

// Small values every integer type holds, negative ones where signed, in an
// order that does not compress much.
std::vector<double> sampleValues(int64_t count, bool withNegatives) {
    std::vector<double> values(static_cast<std::size_t>(count));
    uint32_t state = 12345;
    for (int64_t i = 0; i < count; i++) {
        state = state * 1664525u + 1013904223u;
        values[i] = static_cast<double>(state >> 25) - (withNegatives ? 64.0 : 0.0);
    }
    return values;
}

TEST(NiftiRead, EveryIntegerAndFloatingTypeConvertsWithScaling) {
    ScratchFolder folder;
    const int types[] = {DT_INT8,   DT_UINT8, DT_INT16,  DT_UINT16,  DT_INT32,
                         DT_UINT32, DT_INT64, DT_UINT64, DT_FLOAT32, DT_FLOAT64};
    for (int type : types) {
        SCOPED_TRACE(nifti_datatype_string(type));
        Image header = owned(makeHeader(4, 3, 2, 3, type));
        const bool isSigned = type != DT_UINT8 && type != DT_UINT16 && type != DT_UINT32 && type != DT_UINT64;
        const std::vector<double> stored = sampleValues(header->nvox, isSigned);
        const std::string path = folder / "series.nii.gz";
        ASSERT_TRUE(writeImage(header.get(), stored, path, 0.5, -3.0));
        std::vector<double> values = readValues(path);
        ASSERT_EQ(values.size(), stored.size());
        for (std::size_t i = 0; i < values.size(); i++) ASSERT_EQ(values[i], stored[i] * 0.5 - 3.0) << i;
    }
}

TEST(NiftiRead, SlopeZeroMeansNoScalingAndIntercept) {
    ScratchFolder folder;
    Image header = owned(makeHeader(3, 3, 3, 2, DT_INT16));
    const std::vector<double> stored = sampleValues(header->nvox, true);
    ASSERT_TRUE(writeImage(header.get(), stored, folder / "a.nii", 0.0, 100.0));
    EXPECT_EQ(readValues(folder / "a.nii"), stored);
    ASSERT_TRUE(writeImage(header.get(), stored, folder / "b.nii", -2.0, 0.0));
    const std::vector<double> scaled = readValues(folder / "b.nii");
    ASSERT_EQ(scaled.size(), stored.size());
    for (std::size_t i = 0; i < stored.size(); i++) EXPECT_EQ(scaled[i], -2.0 * stored[i]);
}

TEST(NiftiRead, ReadsTheNamedFileWhenASimilarNameExists) {
    // x.nii beside x.nii.gz: the library's own lookup would take x.nii.
    ScratchFolder folder;
    Image small = owned(makeHeader(4, 4, 4, 2, DT_FLOAT32));
    Image large = owned(makeHeader(6, 5, 4, 3, DT_FLOAT32));
    ASSERT_TRUE(writeImage(small.get(), sampleValues(small->nvox, true), folder / "x.nii"));
    const std::vector<double> values = sampleValues(large->nvox, true);
    ASSERT_TRUE(writeImage(large.get(), values, folder / "x.nii.gz"));
    EXPECT_EQ(readValues(folder / "x.nii.gz"), values);
    // A name without extension is not completed to another file.
    std::string error;
    EXPECT_EQ(tamrin::readNiftiHeader(folder / "x", &error), nullptr);
}

TEST(NiftiRead, ValuesAreKeptAsStoredNonFiniteIncluded) {
    // The library's own reader turns NaN and infinities into 0; the
    // command's reader keeps them, compressed or not, single or double.
    ScratchFolder folder;
    for (int datatype : {DT_FLOAT32, DT_FLOAT64})
        for (const char* name : {"a.nii", "a.nii.gz"}) {
            SCOPED_TRACE(testing::Message() << name << ", datatype " << datatype);
            Image header = owned(makeHeader(3, 3, 3, 2, datatype));
            std::vector<double> values(54, 1.5);
            values[3] = std::nan("");
            values[7] = -HUGE_VAL;
            values[53] = HUGE_VAL;
            ASSERT_TRUE(writeImage(header.get(), values, folder / name));
            const std::vector<double> read = readValues(folder / name);
            ASSERT_EQ(read.size(), values.size());
            EXPECT_TRUE(std::isnan(read[3]));
            for (std::size_t i = 0; i < values.size(); i++) {
                if (i == 3) continue;
                EXPECT_EQ(read[i], values[i]) << i;
            }
        }
    // A file in the other byte order is swapped into this machine's.
    Image header = owned(makeHeader(3, 3, 3, 2, DT_FLOAT32));
    ASSERT_TRUE(writeImage(header.get(), std::vector<double>(54, 1.5), folder / "b.nii"));
    std::string error;
    Image image = owned(tamrin::readNiftiHeader(folder / "b.nii", &error));
    ASSERT_TRUE(image) << error;
    image->byteorder = 3 - nifti_short_order();  // the other of the two orders (1 and 2)
    ASSERT_TRUE(tamrin::loadNiftiData(image.get(), folder / "b.nii", &error)) << error;
    float swapped = 1.5f;
    char* bytes = reinterpret_cast<char*>(&swapped);
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
    const float* loaded = static_cast<const float*>(image->data);
    for (int i = 0; i < 54; i++) EXPECT_TRUE(std::memcmp(&loaded[i], &swapped, 4) == 0) << i;
}

TEST(NiftiRead, RefusesWhatIsNotASeries) {
    ScratchFolder folder;
    std::string error;
    int32_t extents[4];
    struct Case {
        int64_t dims[8];
        const char* expected;
    } cases[] = {
        {{3, 8, 8, 8, 1, 1, 1, 1}, "a 3-D image (8 x 8 x 8)"},
        {{4, 8, 8, 8, 1, 1, 1, 1}, "a series of 1 volume"},
        {{5, 8, 8, 8, 4, 2, 1, 1}, "has 5 dimensions"},
    };
    for (const Case& c : cases) {
        Image image = owned(nifti_make_new_nim(c.dims, DT_FLOAT32, 0));
        EXPECT_FALSE(tamrin::seriesExtents(image.get(), "in.nii", extents, &error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.rfind("in.nii: ", 0), 0u) << error;
    }
    // Trailing dimensions of 1 do not count.
    const int64_t five[8] = {5, 8, 7, 6, 4, 1, 1, 1};
    Image image = owned(nifti_make_new_nim(five, DT_FLOAT32, 0));
    ASSERT_TRUE(tamrin::seriesExtents(image.get(), "in.nii", extents, &error)) << error;
    EXPECT_EQ(extents[0], 8);
    EXPECT_EQ(extents[1], 7);
    EXPECT_EQ(extents[2], 6);
    EXPECT_EQ(extents[3], 4);
}

// Geometry, units and description of `a` and `b` agree.
void expectSameGeometry(const nifti_image& a, const nifti_image& b) {
    EXPECT_EQ(a.qform_code, b.qform_code);
    EXPECT_EQ(a.sform_code, b.sform_code);
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            EXPECT_NEAR(a.qto_xyz.m[r][c], b.qto_xyz.m[r][c], 1e-5) << r << c;
            EXPECT_EQ(a.sto_xyz.m[r][c], b.sto_xyz.m[r][c]) << r << c;
        }
    EXPECT_EQ(a.qfac, b.qfac);
    for (int d = 1; d <= 3; d++) EXPECT_EQ(a.pixdim[d], b.pixdim[d]) << d;
    EXPECT_EQ(a.xyz_units, b.xyz_units);
    EXPECT_EQ(a.time_units, b.time_units);
    EXPECT_STREQ(a.descrip, b.descrip);
}

TEST(NiftiWrite, KeepsGeometryInBothVersionsAndCompressions) {
    ScratchFolder folder;
    for (bool version2 : {false, true})
        for (const char* name : {"out.nii", "out.nii.gz"}) {
            SCOPED_TRACE(std::string(name) + (version2 ? " NIfTI-2" : " NIfTI-1"));
            Image like = owned(makeHeader(5, 4, 3, 2, DT_INT16));
            if (version2) like->nifti_type = NIFTI_FTYPE_NIFTI2_1;
            ASSERT_TRUE(writeImage(like.get(), sampleValues(like->nvox, true), folder / "in.nii"));
            nifti_image* read = nullptr;
            readValues(folder / "in.nii", &read);
            Image input = owned(read);
            ASSERT_TRUE(input);
            EXPECT_EQ(input->nifti_type, version2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1);

            // A 4-D float64 series and a 3-D float32 map made like the input.
            const std::vector<double> values = sampleValues(5 * 4 * 3 * 2, true);
            const int64_t extents[4] = {5, 4, 3, 2};
            for (int dims : {4, 3}) {
                const int type = dims == 4 ? DT_FLOAT64 : DT_FLOAT32;
                Image out = owned(tamrin::makeImageLike(input.get(), extents, dims, type, values.data(), true));
                std::string error;
                ASSERT_TRUE(tamrin::writeNiftiFile(out.get(), folder / name, &error)) << error;
                nifti_image* back = nullptr;
                const std::vector<double> written = readValues(folder / name, &back);
                Image result = owned(back);
                ASSERT_TRUE(result);
                EXPECT_EQ(result->nifti_type, input->nifti_type);
                EXPECT_EQ(result->datatype, type);
                EXPECT_EQ(result->dim[0], dims);
                EXPECT_EQ(result->nvox, dims == 4 ? 120 : 60);
                EXPECT_EQ(result->scl_slope, 0.0);
                expectSameGeometry(*input, *result);
                ASSERT_EQ(written.size(), static_cast<std::size_t>(result->nvox));
                for (std::size_t i = 0; i < written.size(); i++) EXPECT_EQ(written[i], values[i]);
            }
        }
}

TEST(NiftiWrite, KeepsExtensionsOnRequest) {
    ScratchFolder folder;
    Image header = owned(makeHeader(4, 4, 4, 2, DT_FLOAT32));
    ASSERT_EQ(nifti_add_extension(header.get(), "acquisition notes", 17, NIFTI_ECODE_COMMENT), 0);
    const std::vector<double> values = sampleValues(header->nvox, true);
    const int64_t extents[4] = {4, 4, 4, 2};
    for (bool copy : {true, false}) {
        Image out = owned(tamrin::makeImageLike(header.get(), extents, 4, DT_FLOAT32, values.data(), copy));
        std::string error;
        ASSERT_TRUE(tamrin::writeNiftiFile(out.get(), folder / "ext.nii.gz", &error)) << error;
        nifti_image* back = nullptr;
        EXPECT_EQ(readValues(folder / "ext.nii.gz", &back), values);
        Image result = owned(back);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->num_ext, copy ? 1 : 0);
        if (copy) {
            EXPECT_EQ(result->ext_list[0].ecode, NIFTI_ECODE_COMMENT);
            EXPECT_EQ(std::string(result->ext_list[0].edata, 17), "acquisition notes");
        }
    }
}

TEST(NiftiWrite, ReportsAWriteThatFailsHalfWay) {
    // A file size limit makes the library's writes fail part-way; it does
    // not say so itself.
    ScratchFolder folder;
    Image like = owned(makeHeader(32, 32, 16, 8, DT_FLOAT32));
    const std::vector<double> values = sampleValues(like->nvox, true);
    const int64_t extents[4] = {32, 32, 16, 8};
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit previous;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    // The image's own data, and doubles converted while they are written.
    for (const bool converting : {false, true})
        for (const char* name : {"big.nii", "big.nii.gz"}) {
            SCOPED_TRACE(testing::Message() << name << (converting ? ", converted while written" : ""));
            Image out = owned(tamrin::makeImageLike(like.get(), extents, 4, DT_FLOAT32,
                                                    converting ? nullptr : values.data(), false));
            struct rlimit limited = previous;
            limited.rlim_cur = 20000;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
            std::string error;
            const bool written =
                tamrin::writeNiftiFile(out.get(), folder / name, &error, converting ? values.data() : nullptr);
            ::setrlimit(RLIMIT_FSIZE, &previous);
            EXPECT_FALSE(written);
            EXPECT_NE(error.find("could not be written completely"), std::string::npos) << error;
        }
    std::signal(SIGXFSZ, previousHandler);
}

TEST(NiftiRead, NamesTheFileAndTheProblem) {
    ScratchFolder folder;
    std::string error;
    EXPECT_FALSE(tamrin::checkReadableFile(folder / "missing.nii", &error));
    EXPECT_EQ(error, folder / "missing.nii" + ": no such file");
    EXPECT_FALSE(tamrin::checkReadableFile(folder.path, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos);

    std::FILE* text = std::fopen((folder / "text.nii").c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);
    EXPECT_TRUE(tamrin::checkReadableFile(folder / "text.nii", &error));
    EXPECT_EQ(tamrin::readNiftiHeader(folder / "text.nii", &error), nullptr);
    EXPECT_NE(error.find("text.nii: not a NIfTI file"), std::string::npos) << error;

    // A header whose data is cut short.
    Image header = owned(makeHeader(16, 16, 8, 4, DT_FLOAT32));
    ASSERT_TRUE(writeImage(header.get(), sampleValues(header->nvox, true), folder / "cut.nii"));
    ASSERT_EQ(::truncate((folder / "cut.nii").c_str(), 5000), 0);
    Image cut = owned(tamrin::readNiftiHeader(folder / "cut.nii", &error));
    ASSERT_TRUE(cut);
    EXPECT_FALSE(tamrin::loadNiftiData(cut.get(), folder / "cut.nii", &error));
    EXPECT_NE(error.find("cut.nii: the image data cannot be read"), std::string::npos) << error;
}

TEST(Temporaries, CreatedBesideTheTargetAndRenamedOrRemoved) {
    ScratchFolder folder;
    std::string temporary, error;
    ASSERT_TRUE(tamrin::createTemporary(folder / "result.nii.gz", &temporary, &error)) << error;
    EXPECT_EQ(tamrin::folderOf(temporary), folder.path);
    EXPECT_TRUE(temporary.size() > 14 && temporary.compare(temporary.size() - 14, 14, "-result.nii.gz") == 0);
    EXPECT_EQ(folder.entries().size(), 1u);
    ASSERT_TRUE(tamrin::renameTemporary(temporary, folder / "result.nii.gz", &error)) << error;
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"result.nii.gz"});

    ASSERT_TRUE(tamrin::createTemporary(folder / "other.nii", &temporary, &error));
    tamrin::removeTemporary(temporary);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"result.nii.gz"});

    EXPECT_FALSE(tamrin::createTemporary(folder / "no/such/folder/out.nii", &temporary, &error));
    EXPECT_NE(error.find("in folder " + folder / "no/such/folder"), std::string::npos) << error;
    EXPECT_EQ(tamrin::folderOf("out.nii"), ".");
    EXPECT_EQ(tamrin::folderOf("/out.nii"), "/");
}

}  // namespace
