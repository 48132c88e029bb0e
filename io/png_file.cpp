#include "../engine/png_file.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace koru {
namespace io {

bool WritePng(const std::string& path, int width, int height, const unsigned char* rgba, std::string& error)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "can not write " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        error = "libpng could not start";
        return false;
    }
    std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        error = "libpng failed writing " + path;
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = height - 1; y >= 0; --y) {
        const unsigned char* source = rgba + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            row[3 * x + 0] = source[4 * x + 0];
            row[3 * x + 1] = source[4 * x + 1];
            row[3 * x + 2] = source[4 * x + 2];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        error = "can not finish " + path;
        return false;
    }
    return true;
}

bool ReadPng(const std::string& path, int& width, int& height, std::vector<unsigned char>& rgba, std::string& error)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        error = image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGBA;
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    rgba.resize(PNG_IMAGE_SIZE(image));
    // A negative row stride stores the bottom row first.
    const png_int_32 stride = -static_cast<png_int_32>(PNG_IMAGE_ROW_STRIDE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), stride, nullptr)) {
        error = image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

} // namespace io
} // namespace koru
