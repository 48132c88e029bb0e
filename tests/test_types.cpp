// Value types: constructors, vector and matrix arithmetic, rotations, the
// aligned allocation base and IMAGE.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/tau_graphics.h"
#include "engine/tau_math.h"

using TAU_MATH::MATRIX;
using TAU_MATH::VECTOR;
using Matrix4 = MATRIX<4, 4, float>;
using Vector4 = VECTOR<4, float>;

namespace {

Matrix4 random_matrix(std::mt19937& random)
{
    std::uniform_real_distribution<float> value(-4.0f, 4.0f);
    Matrix4 m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            m[i][j] = value(random);
    return m;
}

void expect_matrix_near(const Matrix4& actual, const float (&expected)[4][4], float tolerance)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(actual[i][j], expected[i][j], tolerance) << "element [" << i << "][" << j << "]";
}

bool is_aligned16(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 16 == 0; }

// Whether an impossible allocation may be tried here: AddressSanitizer ends
// the process on one unless it is told to return null instead.
bool huge_allocation_fails_softly()
{
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    return options != nullptr && std::strstr(options, "allocator_may_return_null=1") != nullptr;
#else
    return true;
#endif
}

constexpr const char* aligned_failure = "_aligned_malloc(): unsufficient memory";

} // namespace

TEST(TypesConstruction, Defaults)
{
    const Matrix4 identity;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(identity[i][j], i == j ? 1.0f : 0.0f) << "[" << i << "][" << j << "]";

    const TAU_GRAPHICS::VERTEX<4, float> vertex;
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(vertex.tex_id[k], 255) << "tex_id byte " << k;

    const TAU_GRAPHICS::Point_Light<4, float> light;
    EXPECT_EQ(light.color, Vector4(1.0f, 1.0f, 1.0f, 1.0f));
    EXPECT_EQ(light.power, 1.0f);
    EXPECT_EQ(light.kc, 1.0f);
    EXPECT_EQ(light.kl, 0.01f);
    EXPECT_EQ(light.kq, 0.005f);
}

TEST(TypesVector, NormalizeDividesAllFourByTheXyzLength)
{
    const Vector4 n = TAU_MATH::Normalize(Vector4(3.0f, 0.0f, 4.0f, 1.0f));
    EXPECT_FLOAT_EQ(n[0], 0.6f);
    EXPECT_FLOAT_EQ(n[1], 0.0f);
    EXPECT_FLOAT_EQ(n[2], 0.8f);
    EXPECT_FLOAT_EQ(n[3], 0.2f);

    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-10.0f, 10.0f);
    for (int trial = 0; trial < 100; ++trial) {
        const Vector4 v(value(random), value(random), value(random), value(random));
        const Vector4 u = TAU_MATH::Normalize(v);
        EXPECT_NEAR(TAU_MATH::Dot3(u, u), 1.0f, 1e-5f);
        const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        EXPECT_NEAR(u[3], v[3] / length, 1e-5f);
    }
}

TEST(TypesVector, DotAndCrossIgnoreW)
{
    const Vector4 a(1.0f, 2.0f, 3.0f, 100.0f), b(4.0f, -5.0f, 6.0f, 7.0f);
    EXPECT_EQ(TAU_MATH::Dot3(a, b), 4.0f - 10.0f + 18.0f);
    EXPECT_EQ(TAU_MATH::Cross3(a, b), Vector4(2 * 6 - 3 * -5, 3 * 4 - 1 * 6, 1 * -5 - 2 * 4, 0.0f));
    EXPECT_EQ(TAU_MATH::Cross3(Vector4(1, 0, 0, 0), Vector4(0, 1, 0, 0)), Vector4(0, 0, 1, 0));
}

TEST(TypesMatrix, TimesVectorUsesTranslationOnlyForPoints)
{
    std::mt19937 random(5);
    for (int trial = 0; trial < 50; ++trial) {
        const Matrix4 m = random_matrix(random);
        const Vector4 direction(1.5f, -2.0f, 0.25f, 0.0f);
        const Vector4 point(1.5f, -2.0f, 0.25f, 1.0f);
        const Vector4 d = m * direction;
        const Vector4 p = m * point;
        for (int i = 0; i < 4; ++i) {
            const double linear = double(m[i][0]) * 1.5 + double(m[i][1]) * -2.0 + double(m[i][2]) * 0.25;
            EXPECT_NEAR(d[i], linear, 1e-5) << "row " << i;
            EXPECT_NEAR(p[i], linear + m[i][3], 1e-5) << "row " << i;
        }
    }
}

// Element placement of each rotation, everything else the identity.
TEST(TypesRotation, ElementPlacement)
{
    const float a = 0.7f, c = std::cos(a), s = std::sin(a);
    const float x[4][4] = {{1, 0, 0, 0}, {0, c, s, 0}, {0, -s, c, 0}, {0, 0, 0, 1}};
    const float y[4][4] = {{c, 0, -s, 0}, {0, 1, 0, 0}, {s, 0, c, 0}, {0, 0, 0, 1}};
    const float z[4][4] = {{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    expect_matrix_near(TAU_MATH::RotationX(a), x, 0.0f);
    expect_matrix_near(TAU_MATH::RotationY(a), y, 0.0f);
    expect_matrix_near(TAU_MATH::RotationZ(a), z, 0.0f);
}

// Rz Ry Rx multiplied out by hand for three different angles; the reverse
// order gives a different matrix, so the test tells the two apart.
TEST(TypesRotation, ProductOrderZyx)
{
    const float ax = 0.3f, ay = -1.1f, az = 2.2f;
    const float cx = std::cos(ax), sx = std::sin(ax);
    const float cy = std::cos(ay), sy = std::sin(ay);
    const float cz = std::cos(az), sz = std::sin(az);
    const float expected[4][4] = {
        {cz * cy, cz * sy * sx + sz * cx, -cz * sy * cx + sz * sx, 0},
        {-sz * cy, -sz * sy * sx + cz * cx, sz * sy * cx + cz * sx, 0},
        {sy, -cy * sx, cy * cx, 0},
        {0, 0, 0, 1},
    };
    const Matrix4 zyx = TAU_MATH::RotationZ(az) * TAU_MATH::RotationY(ay) * TAU_MATH::RotationX(ax);
    expect_matrix_near(zyx, expected, 1e-6f);

    const Matrix4 xyz = TAU_MATH::RotationX(ax) * TAU_MATH::RotationY(ay) * TAU_MATH::RotationZ(az);
    float largest_difference = 0.0f;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            largest_difference = std::max(largest_difference, std::fabs(xyz[i][j] - expected[i][j]));
    EXPECT_GT(largest_difference, 0.1f);
}

TEST(TypesMatrix, ProductAgainstDoublePrecision)
{
    std::mt19937 random(9);
    for (int trial = 0; trial < 50; ++trial) {
        const Matrix4 a = random_matrix(random), b = random_matrix(random);
        const Matrix4 c = a * b;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double sum = 0.0;
                for (int k = 0; k < 4; ++k)
                    sum += double(a[i][k]) * double(b[k][j]);
                EXPECT_NEAR(c[i][j], sum, 1e-4) << "[" << i << "][" << j << "]";
            }
        const Matrix4 left = Matrix4() * a, right = a * Matrix4();
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(left[i] == a[i] && right[i] == a[i]) << "identity changes row " << i;
    }
}

// The sum for each element runs k = 0..3 from zero. With terms 1e8, 1, -1e8, 1
// only that order gives exactly 1 (the first 1 is lost next to 1e8); any
// other order of summation gives 0 or 2.
TEST(TypesMatrix, ProductAccumulatesInKOrder)
{
    Matrix4 a, ones;
    a[1][0] = 1e8f;
    a[1][1] = 1.0f;
    a[1][2] = -1e8f;
    a[1][3] = 1.0f;
    for (int k = 0; k < 4; ++k)
        ones[k][2] = 1.0f;
    const Matrix4 c = a * ones;
    EXPECT_EQ(c[1][2], 1.0f);

    a[1][0] = 1.0f;
    a[1][1] = 1e8f;
    a[1][2] = 1.0f;
    a[1][3] = -1e8f;
    EXPECT_EQ((a * ones)[1][2], 0.0f) << "1 + 1e8 + 1 - 1e8 loses both ones in k order";
}

TEST(TypesMatrix, TransposeInPlace)
{
    std::mt19937 random(13);
    const Matrix4 original = random_matrix(random);
    Matrix4 t = original;
    t.Transpose();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(t[i][j], original[j][i]) << "[" << i << "][" << j << "]";
    t.Transpose();
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(t[i] == original[i]) << "row " << i;
}

namespace {

// A derived type that holds a 16-byte vector and has a destructor, so arrays
// of it carry a length cookie in front of the first element.
struct aligned_record : TAU_MATH::SSE_Aligned_Object {
    Vector4 value;
    char tag = 0;
    ~aligned_record() { tag = 1; }
};

// Plain bytes only: an odd size, no vector inside.
struct byte_record : TAU_MATH::SSE_Aligned_Object {
    char bytes[17];
};

} // namespace

TEST(TypesAligned, ObjectsAndArraysAreSixteenByteAligned)
{
    std::vector<aligned_record*> singles;
    std::vector<byte_record*> bytes;
    for (int k = 0; k < 32; ++k) {
        singles.push_back(new aligned_record);
        bytes.push_back(new byte_record);
        EXPECT_TRUE(is_aligned16(singles.back()));
        EXPECT_TRUE(is_aligned16(bytes.back()));
    }
    for (int n : {1, 2, 3, 7, 33}) {
        aligned_record* items = new aligned_record[n];
        byte_record* raw = new byte_record[n];
        for (int k = 0; k < n; ++k)
            EXPECT_TRUE(is_aligned16(&items[k])) << "element " << k << " of " << n;
        EXPECT_TRUE(is_aligned16(raw));
        delete[] items;
        delete[] raw;
    }
    for (aligned_record* p : singles)
        delete p;
    for (byte_record* p : bytes)
        delete p;

    void* block = TAU_MATH::aligned_malloc(100);
    EXPECT_TRUE(is_aligned16(block));
    TAU_MATH::aligned_free(block);
    block = TAU_MATH::aligned_malloc(0);
    EXPECT_NE(block, nullptr);
    TAU_MATH::aligned_free(block);
}

// A count whose byte size overflows is refused without reaching the allocator.
TEST(TypesAligned, OverflowingArrayCarriesTheAllocatorMessage)
{
    try {
        TAU_MATH::aligned_new_array<Vector4>(SIZE_MAX / 8);
        FAIL() << "an overflowing array was allocated";
    } catch (const std::bad_alloc& error) {
        EXPECT_STREQ(error.what(), aligned_failure);
    }
}

TEST(TypesAligned, ImpossibleBlockCarriesTheAllocatorMessage)
{
    if (!huge_allocation_fails_softly())
        GTEST_SKIP() << "AddressSanitizer ends the process on an impossible allocation; "
                        "run with ASAN_OPTIONS=allocator_may_return_null=1 to check it";
    const std::size_t impossible = SIZE_MAX / 2;
    auto expect_failure = [&](void* (*allocate)(std::size_t), const char* what) {
        try {
            void* block = allocate(impossible);
            TAU_MATH::aligned_free(block);
            ADD_FAILURE() << what << " returned a block of SIZE_MAX / 2 bytes";
        } catch (const std::bad_alloc& error) {
            EXPECT_STREQ(error.what(), aligned_failure) << what;
        }
    };
    expect_failure([](std::size_t size) { return TAU_MATH::aligned_malloc(size); }, "aligned_malloc");
    expect_failure([](std::size_t size) { return aligned_record::operator new(size); }, "operator new");
    expect_failure([](std::size_t size) { return aligned_record::operator new[](size); }, "operator new[]");
}

TEST(TypesImage, ConstructionAndSerials)
{
    IMAGE first;
    IMAGE second;
    EXPECT_EQ(second.id, first.id + 1);
    EXPECT_TRUE(first.first_bind);
    EXPECT_EQ(first.data, nullptr);
    EXPECT_TRUE(first.name.empty());
    EXPECT_NE(first.quadric, nullptr);
    IMAGE third;
    EXPECT_EQ(third.id, second.id + 1);
}

TEST(TypesImage, SetSizeAndCopyFromBuffer)
{
    IMAGE image;
    image.SetSize(3, 2);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    ASSERT_NE(image.data, nullptr);
    ASSERT_EQ(image.ByteCount(), 24u);

    std::vector<unsigned char> source(24);
    for (std::size_t k = 0; k < source.size(); ++k)
        source[k] = static_cast<unsigned char>(3 * k + 1);
    image.CopyFromBuffer(source.data(), source.size());
    EXPECT_EQ(std::vector<unsigned char>(image.data, image.data + 24), source);

    // A wrong size copies nothing, too many bytes or too few.
    const std::vector<unsigned char> other(32, 0xAB);
    for (std::size_t size : {std::size_t(32), std::size_t(23), std::size_t(0)}) {
        try {
            image.CopyFromBuffer(other.data(), size);
            ADD_FAILURE() << "a size of " << size << " was accepted";
        } catch (const TAU_ERROR::Out_Of_Range& error) {
            EXPECT_EQ(error.message, "IMAGE::CopyFromBuffer incorrect size given");
            EXPECT_STREQ(static_cast<const std::out_of_range&>(error).what(),
                         "IMAGE::CopyFromBuffer incorrect size given");
        }
        EXPECT_EQ(std::vector<unsigned char>(image.data, image.data + 24), source) << "after size " << size;
    }

    // A new size replaces the buffer.
    image.SetSize(1, 1);
    EXPECT_EQ(image.ByteCount(), 4u);
    image.CopyFromBuffer(source.data(), 4);
    EXPECT_EQ(image.data[3], source[3]);
}
