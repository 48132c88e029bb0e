// Files read once, texture paths and texture decoding for the importer.
#include <stb_image.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "scene_files.h"

namespace koru {
namespace io {

namespace {

// Why `path` is no file to read, or an empty text when it is a regular file.
std::string not_a_file(const std::string& path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return std::string("can not open '") + path + "': " + std::strerror(errno);
    if (S_ISDIR(status.st_mode))
        return "'" + path + "' is a folder, not a file";
    if (!S_ISREG(status.st_mode))
        return "'" + path + "' is not a regular file (a FIFO, socket or device)";
    return "";
}

} // namespace

const std::string* File_Cache::find(const std::string& path)
{
    const auto known = files.find(path);
    if (known != files.end())
        return &known->second;
    if (memory_only || !not_a_file(path).empty())
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return nullptr;
    std::string bytes;
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        return nullptr;
    return &(files[path] = std::move(bytes));
}

const std::string& File_Cache::read(const std::string& path, const std::string& opener)
{
    if (const std::string* bytes = find(path))
        return *bytes;
    if (memory_only)
        throw Load_Error(opener + "can not open '" + path + "': only the file in memory is read");
    const std::string reason = not_a_file(path);
    throw Load_Error(opener + (reason.empty() ? "can not read '" + path + "'" : reason));
}

bool File_Cache::exists(const std::string& path)
{
    return files.count(path) != 0 || (!memory_only && not_a_file(path).empty());
}

std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string ResolveTexturePath(const std::string& folder, const std::string& name)
{
    std::string path = name;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    if (!path.empty() && path[0] == '/')
        return path;
    while (path.compare(0, 2, "./") == 0)
        path.erase(0, 2);
    return folder + path;
}

bool DecodeTexture(const unsigned char* bytes, std::size_t size, Texture& texture, std::string& error)
{
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        error = "the image is larger than 2 GiB";
        return false;
    }
    int width = 0, height = 0, channels = 0;
    unsigned char* rgba = stbi_load_from_memory(bytes, static_cast<int>(size), &width, &height, &channels, 4);
    if (rgba == nullptr) {
        error = stbi_failure_reason() != nullptr ? stbi_failure_reason() : "unknown image format";
        return false;
    }
    texture.width = width;
    texture.height = height;
    texture.rgba.resize(4 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    // stb_image gives the top row first.
    const std::size_t row = 4 * static_cast<std::size_t>(width);
    for (int y = 0; y < height; ++y)
        std::memcpy(&texture.rgba[static_cast<std::size_t>(height - 1 - y) * row], rgba + y * row, row);
    stbi_image_free(rgba);
    return true;
}

} // namespace io
} // namespace koru
