// The demo's BMP loader on arbitrary file bytes: it either refuses the file
// with an error of the family that names it, or yields an image whose size
// and pixel buffer agree, which the engine then takes as a texture.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "io/bmp.h"

namespace {

std::string g_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    koru_fuzz::quiet_output();
    char path[] = "/tmp/koru_fuzz_bmp_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("koru_fuzz_bmp: mkstemp");
        std::abort();
    }
    close(fd);
    g_path = path;
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::FILE* file = std::fopen(g_path.c_str(), "wb");
    KORU_FUZZ_CHECK(file != nullptr);
    KORU_FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    IMAGE image;
    try {
        KORU_FUZZ_CHECK(koru::io::LoadBMP(g_path, image));
    } catch (const TAU_ERROR::File_Error& error) {
        KORU_FUZZ_CHECK(error.message.find(g_path) != std::string::npos, "the message names the file");
        return 0;
    }
    KORU_FUZZ_CHECK(image.name == g_path);
    KORU_FUZZ_CHECK(image.width > 0 && image.height > 0 && image.data != nullptr);
    const uint64_t row = (static_cast<uint64_t>(image.width) * 3 + 3) / 4 * 4;
    KORU_FUZZ_CHECK(54 + row * static_cast<uint64_t>(image.height) <= size, "more pixels than the file holds");
    for (std::size_t k = 0; k < image.ByteCount(); k += 4)
        KORU_FUZZ_CHECK(image.data[k + 3] == 0);

    // The demo hands its images to the engine as they are.
    static koru_fuzz::Engine* engine = [] {
        koru_fuzz::Engine* e = new koru_fuzz::Engine();
        e->Init(1, 1);
        return e;
    }();
    if (engine->texture_total() == Common_Graphics_Engine::kMaxTextures)
        engine->forget_textures();
    const unsigned slot = engine->AddTexture(image.data, static_cast<unsigned>(image.width),
                                             static_cast<unsigned>(image.height), 0);
    const IMAGE& stored = engine->texture_array()[slot];
    KORU_FUZZ_CHECK(stored.ByteCount() == image.ByteCount());
    KORU_FUZZ_CHECK(std::memcmp(stored.data, image.data, image.ByteCount()) == 0);
    return 0;
}
