// The engine interface and the scene store every engine derives from.
//
// The order of the virtual operations below is a contract with clients: they
// construct engines themselves (the constructors are inline here) and so hold
// the table of virtual operations. Never reorder, insert or remove a virtual.
#pragma once

#include "hit.h"
#include "image.h"
#include "limits.h"
#include "tau_graphics.h"
#include "tau_math.h"

namespace RAYTR {
class KdTree;
}
namespace koru {
struct Engine_Access; // the library's own view of the internals
}

class IGraphicsEngine {
public:
    using VECTOR4 = TAU_MATH::VECTOR<4, float>;
    using MATRIX4 = TAU_MATH::MATRIX<4, 4, float>;
    using LIGHT = TAU_GRAPHICS::Point_Light<4, float>;
    using MATERIAL = TAU_GRAPHICS::MATERIAL<3>;
    using VERTEX = TAU_GRAPHICS::VERTEX<4, float>;
    using SPHERE = TAU_MATH::SPHERE<4, float>;

    virtual ~IGraphicsEngine() {}
    virtual void Init(int width, int height) = 0;
    virtual void Release() = 0;
    virtual void BeginDrawScene(unsigned depth, bool shadows) = 0;
    virtual void EndDrawScene() = 0;
    virtual void DrawScene(unsigned depth, bool shadows);
    virtual void BuildKdTree() = 0;
    virtual unsigned AddPointLight(const LIGHT& light) = 0;
    virtual unsigned AddMaterial(const MATERIAL& material) = 0;
    virtual TAU_MATH::VECTOR<2, unsigned> AddTriangles(const VERTEX* vertices, int vertex_count,
                                                       const unsigned* indices, int index_count) = 0;
    virtual unsigned AddSpheres(const SPHERE* spheres, int count) = 0;
    virtual unsigned AddTexture(const void* pixels, unsigned width, unsigned height, unsigned unused) = 0;
    virtual void SetPointLight(const LIGHT& light, int index) = 0;
    virtual void SetCamPosition(const VECTOR4& position) = 0;
    virtual void SetCamRotation(const VECTOR4& rotation) = 0;
    virtual void SetCamDirection(const VECTOR4& direction) = 0;
    virtual void SetCamMatrix(const MATRIX4& matrix) = 0;
    virtual void MoveCam(const VECTOR4& move) = 0;
    virtual const LIGHT& GetPointLight(int index) = 0;
    virtual const MATERIAL& GetMaterial(int index) = 0;
    virtual const MATRIX4& GetCamMatrix() = 0;
};

// Draws one frame: the two halves through the table, nothing else.
inline void IGraphicsEngine::DrawScene(unsigned depth, bool shadows)
{
    BeginDrawScene(depth, shadows);
    EndDrawScene();
}

// Holds the scene at its capacities, the camera, the frame buffer and the
// kd-tree; implements every scene and camera operation.
class Common_Graphics_Engine : public IGraphicsEngine, public TAU_MATH::SSE_Aligned_Object {
public:
    static constexpr int kMaxPointLights = koru::max_point_lights;
    static constexpr int kMaxMaterials = koru::max_materials; // at most 31 are ever used
    static constexpr int kMaxSpheres = koru::max_spheres;
    static constexpr int kMaxVertices = koru::max_vertices;
    static constexpr int kMaxIndices = koru::max_indices;
    static constexpr int kMaxTextures = koru::max_textures;

    Common_Graphics_Engine()
        : cam_position(0.0f, 0.0f, 0.0f, 1.0f), cam_rotation(0.0f, 0.0f, 0.0f, 0.0f),
          cam_direction(0.0f, 0.0f, 1.0f, 0.0f)
    {
    }

    void Init(int width, int height) override;
    void Release() override;
    void BuildKdTree() override;
    unsigned AddPointLight(const LIGHT& light) override;
    unsigned AddMaterial(const MATERIAL& material) override;
    TAU_MATH::VECTOR<2, unsigned> AddTriangles(const VERTEX* vertices, int vertex_count,
                                               const unsigned* indices, int index_count) override;
    unsigned AddSpheres(const SPHERE* spheres, int count) override;
    unsigned AddTexture(const void* pixels, unsigned width, unsigned height, unsigned unused) override;
    void SetPointLight(const LIGHT& light, int index) override;
    void SetCamPosition(const VECTOR4& position) override;
    void SetCamRotation(const VECTOR4& rotation) override;
    void SetCamDirection(const VECTOR4& direction) override;
    void SetCamMatrix(const MATRIX4& matrix) override;
    void MoveCam(const VECTOR4& move) override;
    const LIGHT& GetPointLight(int index) override;
    const MATERIAL& GetMaterial(int index) override;
    const MATRIX4& GetCamMatrix() override;

    // Room for a large model: the store holds up to `vertices` vertices,
    // `indices` indices (three per triangle) and `spheres` spheres instead of
    // kMaxVertices, kMaxIndices and kMaxSpheres. Asked for before Init, or
    // while the store holds no triangles and no spheres (after Init the
    // arrays are replaced; after Release the capacities stay for the next
    // Init). A capacity below its default, or a request while geometry is
    // held, is refused with Out_Of_Range and changes nothing; an allocation
    // that fails throws and changes nothing either. Past the defaults the
    // engine runs in its large mode: the kd-tree grows its node array and
    // object list as the build needs them, and the rasterizer splits the
    // triangles over many lists.
    void SetCapacity(int vertices, int indices, int spheres);
    int VertexCapacity() const { return vertex_capacity; }
    int IndexCapacity() const { return index_capacity; }
    int SphereCapacity() const { return sphere_capacity; }
    // Threads of BuildKdTree (at least 1, the default): more build the same
    // tree sooner, at some memory per primitive for each.
    void SetBuildThreads(int threads);
    int BuildThreads() const { return build_threads; }
    // Whether any capacity is past its default.
    bool LargeCapacity() const
    {
        return vertex_capacity > kMaxVertices || index_capacity > kMaxIndices || sphere_capacity > kMaxSpheres;
    }

    // Headless access for tools, tests and benchmarks (not part of the table).
    const unsigned* FrameBuffer() const { return frame_buffer; }
    int Width() const { return width; }
    int Height() const { return height; }
    const VECTOR4& CamPosition() const { return cam_position; }
    // The field of view in degrees, more than 0 and less than 180: across the
    // frame's width for the ray tracers, up its height for the rasterizer.
    // 45 by default; anything else is refused with Out_Of_Range.
    void SetFieldOfView(float degrees);
    float FieldOfView() const { return field_of_view; }
    int VertexCount() const { return vertex_count; }
    int IndexCount() const { return index_count; }
    int SphereCount() const { return sphere_count; }
    const VERTEX* Vertices() const { return vertices; }
    const unsigned* Indices() const { return indices; }
    const MATERIAL* Materials() const { return materials; }
    int MaterialCount() const { return material_count; }
    const LIGHT* PointLights() const { return point_lights; }
    int PointLightCount() const { return point_light_count; }
    const IMAGE* Textures() const { return textures; }
    int TextureCount() const { return texture_count; }

protected:
    friend struct koru::Engine_Access;

    // Rebuilds the camera matrix T x (Rz Ry Rx) and the rotation matrix from
    // the stored position and angles; the ray tracers call it per frame.
    void UpdateCamMatrices();

    VECTOR4 cam_position;
    VECTOR4 cam_rotation;   // degrees about x, y, z
    VECTOR4 cam_direction;  // stored only
    MATRIX4 cam_matrix;     // rotation and translation
    MATRIX4 cam_rot_matrix; // rotation alone; MoveCam moves along its axes
    float field_of_view = koru::field_of_view_degrees;
    RAYTR::KdTree* kd_tree = nullptr;
    unsigned* frame_buffer = nullptr; // R, G, B, A bytes per pixel, bottom row first
    int width = 0;
    int height = 0;
    LIGHT* point_lights = nullptr;
    int point_light_count = 0;
    MATERIAL* materials = nullptr;
    int material_count = 0;
    SPHERE* spheres = nullptr;
    int sphere_count = 0;
    VERTEX* vertices = nullptr;
    int vertex_count = 0;
    unsigned* indices = nullptr;
    int index_count = 0;
    IMAGE* textures = nullptr;
    int texture_count = 0;
    int vertex_capacity = kMaxVertices;
    int index_capacity = kMaxIndices;
    int sphere_capacity = kMaxSpheres;
    int build_threads = 1;
};

// Base of the two ray tracers.
class Ray_Tracer : public Common_Graphics_Engine {
public:
    // A tracing core for arbitrary ray batches.
    class RT_Core {
    public:
        virtual void TraverseRayGrid(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned width,
                                     unsigned height) = 0;
        virtual void TraverseRays(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned count) = 0;
        // Last, so that the two tracing operations keep the first two slots.
        virtual ~RT_Core() {}
    };

    virtual RT_Core* GetRTCore() = 0;
};
