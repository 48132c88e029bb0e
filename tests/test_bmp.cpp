// The BMP loader against files written here byte by byte, and the generated
// demo textures.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "engine/tau_error.h"
#include "io/bmp.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORU_TEST_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORU_TEST_UNDER_ASAN 1
#endif

using koru::io::LoadBMP;

namespace {

// What a test file claims in its headers; the defaults make a valid file.
struct bmp_layout {
    int32_t width = 0;
    int32_t height = 0;
    char signature[2] = {'B', 'M'};
    uint32_t data_offset = 54;
    uint32_t info_size = 40;
    uint16_t bits = 24;
    uint8_t padding_byte = 0xEE; // non-zero, so reading padding as pixels shows
};

void put(std::vector<unsigned char>& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// Builds a file: headers from the layout, then the rows given (each width x 3
// bytes, blue-green-red) padded to 4 bytes. The information header always
// takes 40 bytes here whatever it claims, then the gap up to data_offset.
std::vector<unsigned char> make_bmp(const bmp_layout& layout, const std::vector<std::vector<unsigned char>>& rows)
{
    std::vector<unsigned char> out;
    out.push_back(static_cast<unsigned char>(layout.signature[0]));
    out.push_back(static_cast<unsigned char>(layout.signature[1]));
    put(out, 0, 4);
    put(out, 0, 4);
    put(out, layout.data_offset, 4);
    put(out, layout.info_size, 4);
    put(out, static_cast<uint32_t>(layout.width), 4);
    put(out, static_cast<uint32_t>(layout.height), 4);
    put(out, 1, 2);
    put(out, layout.bits, 2);
    while (out.size() < 54)
        out.push_back(0);
    while (out.size() < layout.data_offset)
        out.push_back(0);
    for (const auto& row : rows) {
        out.insert(out.end(), row.begin(), row.end());
        while ((out.size() - layout.data_offset) % 4 != 0)
            out.push_back(layout.padding_byte);
    }
    return out;
}

std::string test_folder()
{
    const std::string folder = std::string(KORU_TEST_OUTPUT_DIR) + "/bmp";
    std::filesystem::create_directories(folder);
    return folder;
}

std::string write_file(const std::string& name, const std::vector<unsigned char>& bytes)
{
    const std::string path = test_folder() + "/" + name;
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Random blue-green-red rows for a width x height image.
std::vector<std::vector<unsigned char>> random_rows(int width, int height, std::mt19937& random)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::vector<unsigned char>> rows(height, std::vector<unsigned char>(width * 3));
    for (auto& row : rows)
        for (auto& value : row)
            value = static_cast<unsigned char>(byte(random));
    return rows;
}

// Every pixel of the image against the file rows: R, G, B, 0 in row order.
void expect_pixels(const IMAGE& image, const std::vector<std::vector<unsigned char>>& rows)
{
    const int height = static_cast<int>(rows.size());
    const int width = static_cast<int>(rows[0].size() / 3);
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    ASSERT_NE(image.data, nullptr);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char* pixel = image.data + 4 * (static_cast<std::size_t>(y) * width + x);
            const unsigned char* bgr = &rows[y][3 * x];
            ASSERT_EQ(pixel[0], bgr[2]) << "red of " << x << "," << y;
            ASSERT_EQ(pixel[1], bgr[1]) << "green of " << x << "," << y;
            ASSERT_EQ(pixel[2], bgr[0]) << "blue of " << x << "," << y;
            ASSERT_EQ(pixel[3], 0) << "fourth byte of " << x << "," << y;
        }
}

// Loads path expecting an Image_File_Error (exactly that class) with text.
void expect_image_error(const std::string& path, const std::string& text)
{
    IMAGE image;
    try {
        LoadBMP(path, image);
        ADD_FAILURE() << "LoadBMP accepted " << path;
    } catch (const TAU_ERROR::Image_File_Error& error) {
        EXPECT_EQ(typeid(error), typeid(TAU_ERROR::Image_File_Error));
        EXPECT_EQ(error.message, text);
    }
    EXPECT_EQ(image.name, path);
}

const std::vector<std::vector<unsigned char>> rows_2x2 = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};

} // namespace

TEST(BmpLoad, PaddedRowsOfTwoByTwo)
{
    bmp_layout layout;
    layout.width = layout.height = 2;
    const auto bytes = make_bmp(layout, rows_2x2);
    ASSERT_EQ(bytes.size(), 54u + 2 * 8) << "a 2-pixel row takes 8 bytes in the file";
    const std::string path = write_file("padded_2x2.bmp", bytes);

    IMAGE image;
    EXPECT_TRUE(LoadBMP(path, image));
    EXPECT_EQ(image.name, path);
    expect_pixels(image, rows_2x2);
    const unsigned char expected[16] = {3, 2, 1, 0, 6, 5, 4, 0, 9, 8, 7, 0, 12, 11, 10, 0};
    EXPECT_EQ(std::vector<unsigned char>(image.data, image.data + 16),
              std::vector<unsigned char>(expected, expected + 16));
}

TEST(BmpLoad, UnpaddedRowsOfFourByFour)
{
    std::mt19937 random(4);
    bmp_layout layout;
    layout.width = layout.height = 4;
    const auto rows = random_rows(4, 4, random);
    const auto bytes = make_bmp(layout, rows);
    ASSERT_EQ(bytes.size(), 54u + 4 * 12) << "a 4-pixel row takes 12 bytes, no padding";

    IMAGE image;
    EXPECT_TRUE(LoadBMP(write_file("rows_4x4.bmp", bytes), image));
    expect_pixels(image, rows);
}

TEST(BmpLoad, FourByTwoConvertsToThirtyTwoBytesInStorageOrder)
{
    bmp_layout layout;
    layout.width = 4;
    layout.height = 2;
    std::vector<std::vector<unsigned char>> rows(2, std::vector<unsigned char>(12));
    for (int k = 0; k < 8; ++k) {
        // Pixel k is blue 10k+1, green 10k+2, red 10k+3.
        rows[k / 4][3 * (k % 4) + 0] = static_cast<unsigned char>(10 * k + 1);
        rows[k / 4][3 * (k % 4) + 1] = static_cast<unsigned char>(10 * k + 2);
        rows[k / 4][3 * (k % 4) + 2] = static_cast<unsigned char>(10 * k + 3);
    }
    IMAGE image;
    ASSERT_TRUE(LoadBMP(write_file("convert_4x2.bmp", make_bmp(layout, rows)), image));
    ASSERT_EQ(image.ByteCount(), 32u);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(image.data[4 * k + 0], 10 * k + 3) << "pixel " << k;
        EXPECT_EQ(image.data[4 * k + 1], 10 * k + 2) << "pixel " << k;
        EXPECT_EQ(image.data[4 * k + 2], 10 * k + 1) << "pixel " << k;
        EXPECT_EQ(image.data[4 * k + 3], 0) << "pixel " << k;
    }
}

// Every row padding (width mod 4 = 0..3) and a few heights, random contents.
TEST(BmpLoad, RandomImagesOfEveryPadding)
{
    std::mt19937 random(20240611);
    for (int width = 1; width <= 9; ++width)
        for (int height : {1, 2, 5}) {
            SCOPED_TRACE(testing::Message() << width << "x" << height);
            bmp_layout layout;
            layout.width = width;
            layout.height = height;
            const auto rows = random_rows(width, height, random);
            IMAGE image;
            ASSERT_TRUE(LoadBMP(write_file("random.bmp", make_bmp(layout, rows)), image));
            expect_pixels(image, rows);
        }
}

// Loading again replaces the old pixels (and, under the sanitizer, frees them).
TEST(BmpLoad, ReloadReplacesSizeAndPixels)
{
    std::mt19937 random(7);
    bmp_layout small, large;
    small.width = small.height = 2;
    large.width = 5;
    large.height = 3;
    const auto small_rows = random_rows(2, 2, random);
    const auto large_rows = random_rows(5, 3, random);
    IMAGE image;
    ASSERT_TRUE(LoadBMP(write_file("reload_small.bmp", make_bmp(small, small_rows)), image));
    ASSERT_TRUE(LoadBMP(write_file("reload_large.bmp", make_bmp(large, large_rows)), image));
    expect_pixels(image, large_rows);
    ASSERT_TRUE(LoadBMP(write_file("reload_small.bmp", make_bmp(small, small_rows)), image));
    expect_pixels(image, small_rows);
}

TEST(BmpReject, FileHeaderProblems)
{
    bmp_layout good;
    good.width = good.height = 2;

    bmp_layout signature = good;
    signature.signature[1] = 'N';
    std::string path = write_file("signature.bmp", make_bmp(signature, rows_2x2));
    expect_image_error(path, "Can not ReadFileHeader, perhaps the file " + path + " was damaged");

    for (uint32_t info_size : {108u, 124u, 12u}) {
        bmp_layout layout = good;
        layout.info_size = info_size;
        layout.data_offset = 14 + info_size;
        path = write_file("info_" + std::to_string(info_size) + ".bmp", make_bmp(layout, rows_2x2));
        expect_image_error(path, "Can not ReadFileHeader, perhaps the file " + path + " was damaged");
    }

    // Shorter than the file header, and cut inside the information header.
    const auto whole = make_bmp(good, rows_2x2);
    for (std::size_t length : {0u, 10u, 16u, 30u, 53u}) {
        path = write_file("short_" + std::to_string(length) + ".bmp",
                          std::vector<unsigned char>(whole.begin(), whole.begin() + length));
        expect_image_error(path, "Can not ReadFileHeader, perhaps the file " + path + " was damaged");
    }
}

TEST(BmpReject, NotTwentyFourBits)
{
    for (uint16_t bits : {32, 8, 16}) {
        bmp_layout layout;
        layout.width = layout.height = 2;
        layout.bits = bits;
        const std::string path = write_file("bits_" + std::to_string(bits) + ".bmp", make_bmp(layout, rows_2x2));
        expect_image_error(path, "bmp files must have 24bp format, can not load " + path);
    }
}

TEST(BmpReject, DataOffsetNotFiftyFour)
{
    bmp_layout layout;
    layout.width = layout.height = 2;
    layout.data_offset = 58;
    const std::string path = write_file("offset_58.bmp", make_bmp(layout, rows_2x2));
    expect_image_error(path, "The file " + path + " have NO PIXELS or was damaged");
}

TEST(BmpReject, CutInsidePixelRows)
{
    bmp_layout layout;
    layout.width = 3;
    layout.height = 4;
    std::mt19937 random(11);
    const auto whole = make_bmp(layout, random_rows(3, 4, random));
    // Whole rows missing, a row cut in its pixels, only its padding missing.
    for (std::size_t missing : {12u, 20u, 3u, 1u}) {
        const std::string path = write_file("cut_" + std::to_string(missing) + ".bmp",
                                            std::vector<unsigned char>(whole.begin(), whole.end() - missing));
        expect_image_error(path, "The file " + path + " was damaged");
    }
    // No pixel bytes at all.
    const std::string path = write_file("cut_all.bmp", std::vector<unsigned char>(whole.begin(), whole.begin() + 54));
    expect_image_error(path, "The file " + path + " was damaged");
}

TEST(BmpReject, NonPositiveDimensions)
{
    const std::pair<int32_t, int32_t> sizes[] = {{2, -2}, {0, 2}, {-2, 2}, {2, 0}, {0, 0}};
    for (const auto& size : sizes) {
        bmp_layout layout;
        layout.width = size.first;
        layout.height = size.second;
        const std::string path = write_file("dims.bmp", make_bmp(layout, rows_2x2));
        SCOPED_TRACE(testing::Message() << size.first << "x" << size.second);
        expect_image_error(path, "The file " + path + " have NO PIXELS or was damaged");
    }
}

// Headers claiming more pixels than the file holds, or more than 32 bits of
// bytes, are refused before anything of that size is allocated: under the
// sanitizer an attempt would end the process, elsewhere it would throw
// std::bad_alloc instead of the loader's error.
TEST(BmpReject, HugeDimensionsAreRefusedBeforeAllocating)
{
    const std::pair<int32_t, int32_t> sizes[] = {
        {1 << 20, 1 << 20}, {INT32_MAX, INT32_MAX}, {INT32_MAX, 1}, {1, INT32_MAX}, {32768, 32768}, {3, 1000}};
    for (const auto& size : sizes) {
        bmp_layout layout;
        layout.width = size.first;
        layout.height = size.second;
        const std::string path = write_file("huge.bmp", make_bmp(layout, rows_2x2));
        SCOPED_TRACE(testing::Message() << size.first << "x" << size.second);
        expect_image_error(path, "The file " + path + " was damaged");
    }
}

#if !defined(KORU_TEST_UNDER_ASAN)
namespace {

// Loads path with the address space capped 512 MiB above what the process
// already maps, and exits 0 when the loader refuses the file, 1 when an
// allocation failed instead.
[[noreturn]] void load_with_capped_memory(const std::string& path)
{
    unsigned long mapped_pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &mapped_pages) != 1)
            mapped_pages = 0;
        std::fclose(statm);
    }
    const rlim_t cap = static_cast<rlim_t>(mapped_pages) * 4096u + (rlim_t(512) << 20);
    const rlimit limit{cap, cap};
    if (mapped_pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
        std::_Exit(3);
    try {
        IMAGE image;
        LoadBMP(path, image);
    } catch (const TAU_ERROR::Image_File_Error&) {
        std::_Exit(0);
    } catch (const std::bad_alloc&) {
        std::_Exit(1);
    }
    std::_Exit(2);
}

} // namespace
#endif

// 30000 x 30000 pixels fit in 32 bits of bytes but not in the file: the file
// size alone must stop the loader before it asks for gigabytes.
TEST(BmpReject, HeaderLargerThanTheFileAllocatesNothingLarge)
{
#if defined(KORU_TEST_UNDER_ASAN)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap set here";
#else
    bmp_layout layout;
    layout.width = layout.height = 30000;
    const std::string path = write_file("large_short.bmp", make_bmp(layout, rows_2x2));
    EXPECT_EXIT(load_with_capped_memory(path), testing::ExitedWithCode(0), "");
#endif
}

TEST(BmpReject, MissingFileIsAFileError)
{
    const std::string path = test_folder() + "/no such file.bmp";
    std::filesystem::remove(path);
    IMAGE image;
    try {
        LoadBMP(path, image);
        FAIL() << "LoadBMP opened a missing file";
    } catch (const TAU_ERROR::File_Error& error) {
        EXPECT_EQ(typeid(error), typeid(TAU_ERROR::File_Error)) << "not an Image_File_Error";
        EXPECT_EQ(error.message, "Can not open " + path);
    }
    EXPECT_EQ(image.name, path);
    EXPECT_EQ(image.data, nullptr);
}

// The build writes the demo's textures into data/ of the build folder, which
// is the tests' working directory.
TEST(BmpDemoTextures, LoadAsDistinctDetailedImages)
{
    const char* paths[] = {"data/parquet.bmp", "data/texture1.bmp", "data/texture4.bmp"};
    std::vector<std::vector<unsigned char>> pixels;
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        IMAGE image;
        ASSERT_TRUE(LoadBMP(path, image));
        ASSERT_EQ(image.width, 256);
        ASSERT_EQ(image.height, 256);
        pixels.emplace_back(image.data, image.data + image.ByteCount());

        // A picture, not a flat fill: many colours and a real spread of brightness.
        std::vector<bool> seen(1 << 15);
        int colours = 0, darkest = 255 * 3, brightest = 0;
        for (std::size_t k = 0; k < 256 * 256; ++k) {
            const unsigned char* p = image.data + 4 * k;
            const unsigned key = (p[0] >> 3) << 10 | (p[1] >> 3) << 5 | (p[2] >> 3);
            if (!seen[key]) {
                seen[key] = true;
                ++colours;
            }
            darkest = std::min(darkest, p[0] + p[1] + p[2]);
            brightest = std::max(brightest, p[0] + p[1] + p[2]);
            ASSERT_EQ(p[3], 0);
        }
        EXPECT_GT(colours, 16);
        EXPECT_GT(brightest - darkest, 200);
    }
    EXPECT_NE(pixels[0], pixels[1]);
    EXPECT_NE(pixels[0], pixels[2]);
    EXPECT_NE(pixels[1], pixels[2]);
}
