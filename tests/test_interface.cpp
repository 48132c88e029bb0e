// The engine interface as a binary contract: the slot of every virtual
// operation, DrawScene's calls through the table, the camera state a fresh
// engine starts with, aligned engine objects and the GPU engine's guarded
// assignment.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "engine/engines.h"
#include "store/engine_access.h"

namespace {

// Itanium C++ ABI: a pointer to a virtual member function holds 1 + the byte
// offset of its entry in the table, and an adjustment for the this pointer.
struct member_pointer_bits {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
};

template <class F>
std::ptrdiff_t table_offset(F member)
{
    static_assert(sizeof(F) == sizeof(member_pointer_bits), "an Itanium member pointer");
    member_pointer_bits bits;
    std::memcpy(&bits, &member, sizeof bits);
    EXPECT_EQ(bits.ptr & 1u, 1u) << "not a virtual member";
    EXPECT_EQ(bits.adj, 0);
    return static_cast<std::ptrdiff_t>(bits.ptr - 1);
}

// The destructor takes the first two entries (complete and deleting), so
// operation k of the interface sits at byte 8 (k + 1).
constexpr std::ptrdiff_t slot_byte(int k) { return 8 * (k + 1); }

using TAU_MATH::VECTOR;
using Vector4 = VECTOR<4, float>;

// Records the two halves of a frame and the camera calls that come through
// the table, and passes the camera calls on to the scene store.
class recording_engine : public Common_Graphics_Engine {
public:
    std::vector<std::string> calls;

    void BeginDrawScene(unsigned depth, bool shadows) override
    {
        calls.push_back("BeginDrawScene(" + std::to_string(depth) + ", " + (shadows ? "true" : "false") + ")");
    }
    void EndDrawScene() override { calls.push_back("EndDrawScene()"); }
    void SetCamRotation(const VECTOR4& rotation) override
    {
        calls.push_back("SetCamRotation");
        Common_Graphics_Engine::SetCamRotation(rotation);
    }
    void SetCamDirection(const VECTOR4& direction) override
    {
        calls.push_back("SetCamDirection");
        Common_Graphics_Engine::SetCamDirection(direction);
    }

    const VECTOR4& rotation() const { return cam_rotation; }
    const VECTOR4& direction() const { return cam_direction; }
};

// Reaches the GPU engine's protected assignment.
class gpu_assignment_probe : public GPU_Ray_Tracer {
public:
    using GPU_Ray_Tracer::operator=;
    using assignment = GPU_Ray_Tracer& (GPU_Ray_Tracer::*)(const GPU_Ray_Tracer&);
    static assignment assignment_pointer() { return &gpu_assignment_probe::operator=; }
};

} // namespace

TEST(InterfaceSlots, IGraphicsEngineTableOrder)
{
    EXPECT_EQ(table_offset(&IGraphicsEngine::Init), slot_byte(1));
    EXPECT_EQ(table_offset(&IGraphicsEngine::Release), slot_byte(2));
    EXPECT_EQ(table_offset(&IGraphicsEngine::BeginDrawScene), slot_byte(3));
    EXPECT_EQ(table_offset(&IGraphicsEngine::EndDrawScene), slot_byte(4));
    EXPECT_EQ(table_offset(&IGraphicsEngine::DrawScene), slot_byte(5));
    EXPECT_EQ(table_offset(&IGraphicsEngine::BuildKdTree), slot_byte(6));
    EXPECT_EQ(table_offset(&IGraphicsEngine::AddPointLight), slot_byte(7));
    EXPECT_EQ(table_offset(&IGraphicsEngine::AddMaterial), slot_byte(8));
    EXPECT_EQ(table_offset(&IGraphicsEngine::AddTriangles), slot_byte(9));
    EXPECT_EQ(table_offset(&IGraphicsEngine::AddSpheres), slot_byte(10));
    EXPECT_EQ(table_offset(&IGraphicsEngine::AddTexture), slot_byte(11));
    EXPECT_EQ(table_offset(&IGraphicsEngine::SetPointLight), slot_byte(12));
    EXPECT_EQ(table_offset(&IGraphicsEngine::SetCamPosition), slot_byte(13));
    EXPECT_EQ(table_offset(&IGraphicsEngine::SetCamRotation), slot_byte(14));
    EXPECT_EQ(table_offset(&IGraphicsEngine::SetCamDirection), slot_byte(15));
    EXPECT_EQ(table_offset(&IGraphicsEngine::SetCamMatrix), slot_byte(16));
    EXPECT_EQ(table_offset(&IGraphicsEngine::MoveCam), slot_byte(17));
    EXPECT_EQ(table_offset(&IGraphicsEngine::GetPointLight), slot_byte(18));
    EXPECT_EQ(table_offset(&IGraphicsEngine::GetMaterial), slot_byte(19));
    EXPECT_EQ(table_offset(&IGraphicsEngine::GetCamMatrix), slot_byte(20));
}

TEST(InterfaceSlots, DerivedClassesExtendTheTable)
{
    EXPECT_EQ(table_offset(&Ray_Tracer::GetRTCore), slot_byte(21));
    EXPECT_EQ(table_offset(gpu_assignment_probe::assignment_pointer()), slot_byte(22));

    // The engines keep the interface's slots where they override them.
    EXPECT_EQ(table_offset(&Common_Graphics_Engine::AddTexture), slot_byte(11));
    EXPECT_EQ(table_offset(&CPU_Ray_Tracer::BeginDrawScene), slot_byte(3));
    EXPECT_EQ(table_offset(&GPU_Ray_Tracer::GetRTCore), slot_byte(21));
    EXPECT_EQ(table_offset(&OpenGL_Render::AddTexture), slot_byte(11));

    // The tracing core: the two operations first, then the destructor.
    EXPECT_EQ(table_offset(&Ray_Tracer::RT_Core::TraverseRayGrid), 0);
    EXPECT_EQ(table_offset(&Ray_Tracer::RT_Core::TraverseRays), 8);
}

TEST(InterfaceCalls, DrawSceneIsBeginThenEnd)
{
    recording_engine engine;
    IGraphicsEngine& client = engine;
    client.DrawScene(3, true);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"BeginDrawScene(3, true)", "EndDrawScene()"}));

    engine.calls.clear();
    client.DrawScene(1, false);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"BeginDrawScene(1, false)", "EndDrawScene()"}));
}

TEST(InterfaceCalls, CameraRotationAndDirectionReachTheirOperations)
{
    recording_engine engine;
    IGraphicsEngine& client = engine;
    const Vector4 rotation(10.0f, 20.0f, 30.0f, 0.0f);
    const Vector4 direction(0.0f, 0.6f, 0.8f, 0.0f);

    client.SetCamRotation(rotation);
    EXPECT_EQ(engine.calls, std::vector<std::string>{"SetCamRotation"});
    EXPECT_EQ(engine.rotation(), rotation);
    EXPECT_EQ(engine.direction(), Vector4(0.0f, 0.0f, 1.0f, 0.0f));

    client.SetCamDirection(direction);
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"SetCamRotation", "SetCamDirection"}));
    EXPECT_EQ(engine.direction(), direction);
    EXPECT_EQ(engine.rotation(), rotation);
}

TEST(InterfaceState, FreshEngineCamera)
{
    recording_engine engine;
    EXPECT_EQ(engine.CamPosition(), Vector4(0.0f, 0.0f, 0.0f, 1.0f));
    EXPECT_EQ(engine.rotation(), Vector4(0.0f, 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(engine.direction(), Vector4(0.0f, 0.0f, 1.0f, 0.0f));
    const IGraphicsEngine::MATRIX4& matrix = static_cast<IGraphicsEngine&>(engine).GetCamMatrix();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(matrix[i][j], i == j ? 1.0f : 0.0f) << "[" << i << "][" << j << "]";
    EXPECT_EQ(engine.FrameBuffer(), nullptr) << "the constructor allocates nothing";
    EXPECT_EQ(koru::Engine_Access::kd_tree(engine), nullptr);
}

TEST(InterfaceState, EnginesAreSixteenByteAligned)
{
    std::vector<IGraphicsEngine*> engines;
    for (int k = 0; k < 16; ++k) {
        engines.push_back(new recording_engine);
        engines.push_back(new GPU_Ray_Tracer);
    }
    for (IGraphicsEngine* engine : engines) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(engine) % 16, 0u);
        delete engine;
    }
    recording_engine* several = new recording_engine[3];
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&several[k]) % 16, 0u) << "element " << k;
    delete[] several;
}

TEST(InterfaceGpu, ProtectedAssignmentThrows)
{
    gpu_assignment_probe target;
    const GPU_Ray_Tracer source;
    testing::internal::CaptureStderr();
    try {
        target = source;
        ADD_FAILURE() << "a GPU engine was assigned";
    } catch (const TAU_ERROR::Error& error) {
        EXPECT_EQ(typeid(error), typeid(TAU_ERROR::Error));
        EXPECT_EQ(error.message, "GPU_Ray_Tracer:: Atempt to call protected operator=() ");
    }
    const std::string notice = testing::internal::GetCapturedStderr();
    EXPECT_EQ(notice, "Error: GPU_Ray_Tracer:: Atempt to call protected operator=() \n");
}
