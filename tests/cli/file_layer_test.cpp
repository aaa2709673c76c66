// SPDX-License-Identifier: BSD-3-Clause
// The command's file layer on the system it is built for (Linux natively,
// Windows under wine through scripts/cross-test): what paths name, opening,
// unique temporaries, replacing, read-only mappings, file names with their
// folders, all with names outside ASCII.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "file_layer.h"
#include "output_file.h"

namespace {

namespace fs = std::filesystem;
using namespace tamrin;

// A fresh folder named outside ASCII under the system's temporary folder,
// removed with its contents when the object goes; names are UTF-8.
struct OddFolder {
    fs::path where;
    std::string path;
    OddFolder() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        where = fs::temp_directory_path() / fs::u8path("tamrin-Zoë 数据-" + std::to_string(stamp));
        fs::create_directories(where);
        path = where.u8string();
    }
    ~OddFolder() {
        std::error_code ignored;
        fs::remove_all(where, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(fs::u8path(path), std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileLayer, PathTypesSizesAndOpening) {
    OddFolder folder;
    const std::string file = folder / "série.nii";
    writeText(file, "twelve bytes");
    PathType type;
    int64_t size = -1;
    EXPECT_EQ(pathType(file, true, &type, &size), 0);
    EXPECT_EQ(type, kPathFile);
    EXPECT_EQ(size, 12);
    EXPECT_EQ(pathType(folder.path, true, &type), 0);
    EXPECT_EQ(type, kPathFolder);
    EXPECT_EQ(pathType(folder / "missing.nii", false, &type), ENOENT);
    EXPECT_EQ(type, kPathMissing);

    int error = 0;
    const int in = openFile(file, kOpenRead, &error);
    ASSERT_GE(in, 0) << std::strerror(error);
    char bytes[16] = {};
    EXPECT_EQ(read(in, bytes, sizeof bytes), 12);
    closeFile(in);
    EXPECT_STREQ(bytes, "twelve bytes");
    EXPECT_EQ(openFile(folder / "missing.nii", kOpenRead, &error), -1);
    EXPECT_EQ(error, ENOENT);

    // Writing truncates, in binary: a line feed stays one byte.
    const int out = openFile(file, kOpenWrite, &error);
    ASSERT_GE(out, 0) << std::strerror(error);
    EXPECT_EQ(write(out, "a\nb", 3), 3);
    closeFile(out);
    EXPECT_EQ(readText(file), "a\nb");
    EXPECT_TRUE(flushFileToDisk(file));
    EXPECT_FALSE(flushFileToDisk(folder / "missing.nii"));
}

TEST(FileLayer, UniqueFilesReplaceAndRemove) {
    OddFolder folder;
    std::string first, second;
    ASSERT_EQ(createUniqueFile(folder / ".tmp-", "-ø.nii.gz", &first), 0);
    ASSERT_EQ(createUniqueFile(folder / ".tmp-", "-ø.nii.gz", &second), 0);
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(name.rfind(folder / ".tmp-", 0), 0u) << name;
        EXPECT_EQ(name.size(), (folder / ".tmp-").size() + 6 + std::strlen("-ø.nii.gz")) << name;
        EXPECT_EQ(name.compare(name.size() - std::strlen("-ø.nii.gz"), std::string::npos, "-ø.nii.gz"), 0) << name;
        EXPECT_TRUE(readText(name).empty());
    }
    std::string none;
    EXPECT_EQ(createUniqueFile(folder / "no/such/.tmp-", ".nii", &none), ENOENT);
    EXPECT_TRUE(none.empty());

    // Replacing takes the place of an existing file.
    const std::string target = folder / "résultat.nii";
    writeText(target, "old");
    writeText(first, "new");
    EXPECT_EQ(replaceFile(first, target), 0);
    EXPECT_EQ(readText(target), "new");
    PathType type;
    EXPECT_EQ(pathType(first, false, &type), ENOENT);
    EXPECT_EQ(replaceFile(first, target), ENOENT);

    EXPECT_TRUE(removeFile(second.c_str()));
    EXPECT_FALSE(removeFile(second.c_str()));
    EXPECT_EQ(pathType(second, false, &type), ENOENT);
}

TEST(FileLayer, MappingsReadTheFileAndReleaseIt) {
    OddFolder folder;
    const std::string file = folder / "données.nii";
    std::string content(10000, 'x');
    for (std::size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>('a' + i % 26);
    writeText(file, content);

    EXPECT_EQ(mapFile(file, content.size() + 1), nullptr);  // longer than the file
    EXPECT_EQ(mapFile(folder / "missing.nii", 10), nullptr);
    void* base = mapFile(file, 8000);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(std::memcmp(base, content.data(), 8000), 0);
    unmapFile(base, 8000);
    // Nothing holds the file any more: it can be removed (Windows refuses
    // while a mapping or handle is open).
    EXPECT_TRUE(removeFile(file.c_str()));
}

TEST(FileLayer, FileNamesAndTheirFolders) {
    EXPECT_EQ(fileNameStart("out.nii"), 0u);
    EXPECT_EQ(fileNameStart("/out.nii"), 1u);
    EXPECT_EQ(fileNameStart("a/Zoë/out.nii"), 7u);  // ë is two bytes
    EXPECT_EQ(folderOf("a/Zoë/out.nii"), "a/Zoë");
    EXPECT_EQ(folderOf("/out.nii"), "/");
#ifdef _WIN32
    EXPECT_EQ(fileNameStart("a\\b/c\\out.nii"), 6u);
    EXPECT_EQ(fileNameStart("C:out.nii"), 2u);
    EXPECT_EQ(folderOf("C:\\Users\\Zoë\\dwi.nii.gz"), "C:\\Users\\Zoë");
    EXPECT_EQ(folderOf("C:\\dwi.nii.gz"), "C:\\");
    EXPECT_EQ(folderOf("C:dwi.nii.gz"), "C:");
    EXPECT_EQ(folderOf("\\\\server\\share\\dwi.nii"), "\\\\server\\share");
#else
    // A backslash and a colon are ordinary characters of POSIX names.
    EXPECT_EQ(fileNameStart("a\\out.nii"), 0u);
    EXPECT_EQ(fileNameStart("C:out.nii"), 0u);
    EXPECT_EQ(folderOf("a:/out.nii"), "a:");
#endif
}

TEST(FileLayer, AFileIsNoTerminal) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_FALSE(isTerminal(stream));
    std::fclose(stream);
}

}  // namespace
