#include "bmp.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace koru {
namespace io {

using TAU_ERROR::File_Error;
using TAU_ERROR::Image_File_Error;

namespace {

// The one layout accepted: 14-byte file header, 40-byte information header,
// 24-bit pixels right after them.
constexpr long file_header_size = 14;
constexpr uint32_t info_header_size = 40;
constexpr uint32_t pixel_data_offset = 54;
constexpr unsigned bits_per_pixel = 24;

// Largest pixel buffer we hand on: its byte count must fit in 32 bits.
constexpr uint64_t max_image_bytes = UINT32_MAX;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

uint32_t read_u32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

int32_t read_i32(const unsigned char* bytes) { return static_cast<int32_t>(read_u32(bytes)); }

unsigned read_u16(const unsigned char* bytes) { return bytes[0] | bytes[1] << 8; }

bool read_exact(std::FILE* file, unsigned char* buffer, std::size_t size)
{
    return std::fread(buffer, 1, size, file) == size;
}

// Size of the whole file, or -1 when it cannot be told; leaves the position unspecified.
long file_size(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    return std::ftell(file);
}

} // namespace

bool LoadBMP(const std::string& path, IMAGE& image)
{
    image.name = path;
    const std::string& name = image.name;

    // Closed on every path out of here, thrown or returned.
    file_handle file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw File_Error("Can not open " + name);

    // File header, then the size word of the information header.
    const std::string header_damaged = "Can not ReadFileHeader, perhaps the file " + name + " was damaged";
    unsigned char file_header[file_header_size];
    unsigned char info_size_bytes[4];
    if (std::fseek(file.get(), 0, SEEK_SET) != 0 || !read_exact(file.get(), file_header, sizeof file_header))
        throw Image_File_Error(header_damaged);
    if (file_header[0] != 0x42 || file_header[1] != 0x4D)
        throw Image_File_Error(header_damaged);
    const uint32_t data_offset = read_u32(file_header + 10);
    if (!read_exact(file.get(), info_size_bytes, sizeof info_size_bytes) ||
        read_u32(info_size_bytes) != info_header_size)
        throw Image_File_Error(header_damaged);

    if (std::fseek(file.get(), file_header_size, SEEK_SET) != 0)
        throw Image_File_Error("Can not ReadFileHeader, perhaps the file " + name + " has NO PIXELS or damaged");

    unsigned char info_header[info_header_size];
    if (!read_exact(file.get(), info_header, sizeof info_header))
        throw Image_File_Error(header_damaged);
    const int32_t width = read_i32(info_header + 4);
    const int32_t height = read_i32(info_header + 8);
    if (read_u16(info_header + 14) != bits_per_pixel)
        throw Image_File_Error("bmp files must have 24bp format, can not load " + name);

    const std::string no_pixels = "The file " + name + " have NO PIXELS or was damaged";
    if (data_offset != pixel_data_offset)
        throw Image_File_Error(no_pixels);

    // Top-down (negative height) and empty images are not taken.
    if (width <= 0 || height <= 0)
        throw Image_File_Error(no_pixels);

    // Refuse sizes the file cannot hold before allocating anything for them.
    const std::string damaged = "The file " + name + " was damaged";
    const uint64_t row_size = (static_cast<uint64_t>(width) * 3 + 3) / 4 * 4;
    const uint64_t pixel_count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixel_count * 4 > max_image_bytes)
        throw Image_File_Error(damaged);
    const long total_size = file_size(file.get());
    if (total_size < 0 || static_cast<uint64_t>(total_size) < pixel_data_offset + row_size * height)
        throw Image_File_Error(damaged);

    if (std::fseek(file.get(), pixel_data_offset, SEEK_SET) != 0)
        throw Image_File_Error(no_pixels);

    image.width = width;
    image.height = height;
    delete[] image.data;
    image.data = nullptr;

    // Rows in file order, blue-green-red turned into red-green-blue.
    std::vector<unsigned char> rgb(static_cast<std::size_t>(pixel_count) * 3);
    std::vector<unsigned char> row(static_cast<std::size_t>(row_size));
    for (int32_t r = 0; r < height; ++r) {
        if (!read_exact(file.get(), row.data(), row.size()))
            throw Image_File_Error(damaged);
        unsigned char* out = rgb.data() + static_cast<std::size_t>(r) * width * 3;
        for (int32_t x = 0; x < width; ++x) {
            out[3 * x + 0] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x + 0];
        }
    }
    file.reset();

    // Four bytes per pixel in memory: R, G, B, 0.
    image.SetSize(width, height);
    for (std::size_t k = 0; k < pixel_count; ++k) {
        image.data[4 * k + 0] = rgb[3 * k + 0];
        image.data[4 * k + 1] = rgb[3 * k + 1];
        image.data[4 * k + 2] = rgb[3 * k + 2];
        image.data[4 * k + 3] = 0;
    }
    return true;
}

} // namespace io
} // namespace koru
