// SPDX-License-Identifier: BSD-3-Clause
// Reading a series for the denoiser: values mapped where they lie in the
// file, loaded as stored, or converted to doubles, and the conditions under
// which a file may be mapped at all.
#include "series_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "cli_test_support.h"

using namespace tamrin_cli_test;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

// Values exact in single precision, with signs and a spread of magnitudes.
std::vector<double> seriesValues(int64_t count) {
    std::vector<double> values(static_cast<std::size_t>(count));
    for (int64_t i = 0; i < count; i++) values[i] = static_cast<double>(static_cast<float>((i % 37) * 1.25 - 9.5));
    return values;
}

// The series' values as doubles, whatever their type in memory, with the
// view's scaling.
std::vector<double> viewValues(const tamrin::SeriesView& view) {
    const std::size_t count = static_cast<std::size_t>(view.X) * view.Y * view.Z * view.N;
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; i++) {
        values[i] = view.type == tamrin::kValuesSingle ? static_cast<const float*>(view.values)[i]
                                                       : static_cast<const double*>(view.values)[i];
        if (view.scaled) values[i] = values[i] * view.slope + view.intercept;
    }
    return values;
}

bool within(const void* p, const tamrin::MappedData& mapped) {
    const char* at = static_cast<const char*>(p);
    const char* base = static_cast<const char*>(mapped.base);
    return base != nullptr && at >= base && at < base + mapped.length;
}

TEST(SeriesFile, SinglesAreMappedWhereTheyLieWithTheirScaling) {
    ScratchFolder folder;
    Image header = owned(makeHeader(5, 4, 3, 6, DT_FLOAT32));
    const std::vector<double> values = seriesValues(5 * 4 * 3 * 6);
    ASSERT_TRUE(writeImage(header.get(), values, folder / "a.nii"));
    // A slope of 0 or one that is not finite means no scaling; an intercept
    // that is not finite counts as 0.
    ASSERT_TRUE(writeImage(header.get(), values, folder / "scaled.nii", 2.0, 1.0));
    ASSERT_TRUE(writeImage(header.get(), values, folder / "nan-intercept.nii", 0.5, NAN));
    ASSERT_TRUE(writeImage(header.get(), values, folder / "infinite-slope.nii", INFINITY, 3.0));
    const struct {
        const char* name;
        bool scaled;
        double slope, intercept;
    } cases[] = {{"a.nii", false, 1.0, 0.0},
                 {"scaled.nii", true, 2.0, 1.0},
                 {"nan-intercept.nii", true, 0.5, 0.0},
                 {"infinite-slope.nii", false, 1.0, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tamrin::SeriesFile series;
        std::string error;
        ASSERT_TRUE(tamrin::openSeries(folder / c.name, &series, &error)) << error;
        ASSERT_EQ(tamrin::loadSeries(&series, &error), tamrin::kReadOk) << error;
        EXPECT_EQ(series.view.type, tamrin::kValuesSingle);
        EXPECT_TRUE(within(series.view.values, series.mapped));
        EXPECT_EQ(series.image->data, nullptr);  // nothing loaded besides the mapping
        EXPECT_EQ(series.view.X, 5);
        EXPECT_EQ(series.view.N, 6);
        EXPECT_EQ(series.view.scaled, c.scaled);
        EXPECT_EQ(series.view.slope, c.slope);
        EXPECT_EQ(series.view.intercept, c.intercept);
        std::vector<double> expected(values);
        if (c.scaled)
            for (double& v : expected) v = v * c.slope + c.intercept;
        EXPECT_EQ(viewValues(series.view), expected);
        series.releaseValues();
        EXPECT_EQ(series.mapped.base, nullptr);
        EXPECT_EQ(series.view.values, nullptr);
    }
}

TEST(SeriesFile, OtherFilesAreLoadedOrConverted) {
    ScratchFolder folder;
    const std::vector<double> values = seriesValues(4 * 4 * 3 * 5);
    Image singles = owned(makeHeader(4, 4, 3, 5, DT_FLOAT32));
    Image shorts = owned(makeHeader(4, 4, 3, 5, DT_INT16));
    ASSERT_TRUE(writeImage(singles.get(), values, folder / "packed.nii.gz"));
    ASSERT_TRUE(writeImage(singles.get(), values, folder / "scaled.nii.gz", 2.0, 1.0));
    std::vector<double> whole(values.size());
    for (std::size_t i = 0; i < values.size(); i++) whole[i] = std::round(values[i]);
    ASSERT_TRUE(writeImage(shorts.get(), whole, folder / "shorts.nii", 0.5, 0.0));
    struct Case {
        const char* name;
        int32_t type;
        std::vector<double> expected;
    } cases[] = {
        {"packed.nii.gz", tamrin::kValuesSingle, values},  // loaded as stored: no mapping into gzip
        {"scaled.nii.gz", tamrin::kValuesSingle, {}},      // loaded as stored, scaled as read
        {"shorts.nii", tamrin::kValuesDouble, {}},         // integers: converted
    };
    for (double v : values) cases[1].expected.push_back(v * 2.0 + 1.0);
    for (double v : whole) cases[2].expected.push_back(v * 0.5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tamrin::SeriesFile series;
        std::string error;
        ASSERT_TRUE(tamrin::openSeries(folder / c.name, &series, &error)) << error;
        ASSERT_EQ(tamrin::loadSeries(&series, &error), tamrin::kReadOk) << error;
        EXPECT_EQ(series.mapped.base, nullptr);
        EXPECT_EQ(series.view.type, c.type);
        EXPECT_EQ(series.view.scaled, c.name[0] == 's' && c.name[1] == 'c');
        EXPECT_EQ(viewValues(series.view), c.expected);
    }
}

TEST(MapNiftiData, OnlyWhatCanBeUsedWhereItLies) {
    ScratchFolder folder;
    Image header = owned(makeHeader(4, 3, 3, 4, DT_FLOAT32));
    ASSERT_TRUE(writeImage(header.get(), seriesValues(4 * 3 * 3 * 4), folder / "a.nii"));
    ASSERT_TRUE(writeImage(header.get(), seriesValues(4 * 3 * 3 * 4), folder / "a.nii.gz"));
    std::string error;
    Image image = owned(tamrin::readNiftiHeader(folder / "a.nii", &error));
    ASSERT_TRUE(image) << error;
    {
        tamrin::MappedData mapped;
        ASSERT_TRUE(tamrin::mapNiftiData(image.get(), folder / "a.nii", &mapped));
        EXPECT_EQ(static_cast<const char*>(mapped.data) - static_cast<const char*>(mapped.base), image->iname_offset);
    }
    tamrin::MappedData mapped;
    // Compressed, another byte order, data at an offset not aligned for the
    // values, or a file shorter than its header says: not mapped.
    EXPECT_FALSE(tamrin::mapNiftiData(image.get(), folder / "a.nii.gz", &mapped));
    image->byteorder = 3 - nifti_short_order();  // the other of the two orders (1 and 2)
    EXPECT_FALSE(tamrin::mapNiftiData(image.get(), folder / "a.nii", &mapped));
    image->byteorder = nifti_short_order();
    image->iname_offset += 2;
    EXPECT_FALSE(tamrin::mapNiftiData(image.get(), folder / "a.nii", &mapped));
    image->iname_offset -= 2;
    ASSERT_EQ(::truncate((folder / "a.nii").c_str(), image->iname_offset + 8), 0);
    EXPECT_FALSE(tamrin::mapNiftiData(image.get(), folder / "a.nii", &mapped));
    EXPECT_EQ(mapped.base, nullptr);
}

}  // namespace
