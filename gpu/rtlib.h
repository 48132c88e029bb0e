// The GPU device layer (unit rtlib): free nyx* functions that own every
// piece of GPU state of the process in one record. Runtime failures end the
// process with a message on standard error and status 1; the non-fatal
// results are the integer codes below.
#pragma once

#include <cstdint>

#include "../engine/hit.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "../kdtree/kdtree_format.h"

enum nyxError {
    nyxNoError = 0,
    nyxNoMemory = 1,
    nyxBadSize = 2,
};

// The process-wide state: zero at load, filled by nyxInit, emptied by
// nyxRelease. The scene buffers are read on the device through texture
// objects made over them (kept by the layer beside this record), or through
// their pointers where a buffer is longer than a texture object spans.
struct nyxDeviceScene {
    uint32_t* pixels;    // frame buffer, width x height words
    int width;
    int height;
    int sphereCapacity;  // 64 after nyxInit, grows on demand
    int vertexCapacity;  // 16000 after nyxInit
    int indexCapacity;   // 48000 after nyxInit
    void* spheres;       // 32 bytes per sphere
    void* vertices;      // 48 bytes per vertex
    void* indices;       // 4 bytes per index
    void* kdTreeNodes;   // 8 bytes per node, or null
    void* objListData;   // the kd-tree's object list, or null
    void* textureArrays[8]; // one CUDA array per uploaded scene texture
    int textureCount;
};

// The most scene textures the layer uploads.
constexpr int nyxMaxTextures = 7;

// Selects the device, allocates the frame and the initial scene buffers.
// Without a usable device it prints "There is no device.\n" (or "There is no
// device supporting CUDA.\n") and ends the process with status 1.
void nyxInit(int width, int height);
// Frees every device buffer, texture object and texture array, empties the
// device's sampler table and zeroes the state record. Until the next
// nyxInit, frames, read-backs and ray queries are refused (nyxNoMemory).
void nyxRelease();

int nyxSetSpheres(const TAU_MATH::SPHERE<4, float>* spheres, int count);
int nyxSetVertices(const TAU_GRAPHICS::VERTEX<4, float>* vertices, int count);
int nyxSetIndices(const unsigned* indices, int count);
// -1 with an alert on standard error when count exceeds 32 (materials) or 8
// (lights); the device keeps its tables.
int nyxSetMaterials(const TAU_GRAPHICS::MATERIAL<3>* materials, int count);
int nyxSetPointLights(const TAU_GRAPHICS::Point_Light<4, float>* lights, int count);
// RGBA bytes, width x height. The new texture's index, or -1 when seven are
// uploaded already or when the device has no texture of that size (with an
// alert on standard error; see nyxGetTextureLimit).
int nyxAddTexture(int width, int height, const void* pixels);
int nyxSetTransform(const TAU_MATH::MATRIX<4, 4, float>* matrix);
// Degrees across the frame, more than 0 and less than 180 (the engine checks);
// 45 until set, and again after nyxRelease.
int nyxSetFieldOfView(float degrees);
int nyxSetAmbientLight(float value);
int nyxSetKdTree(const RAYTR::KdTreeBox* box, const RAYTR::KdTreeNode* nodes, unsigned nodeCount,
                 const void* objList, unsigned objListBytes);
// Traces the whole 8 x 8 tiles of the window; depth 1 to 5, any other as 4.
// Both refuse (nyxNoMemory) while the layer is not initialised.
int nyxRender(unsigned depth, bool shadows);
int nyxReadPixels(unsigned* hostPixels);
// Nearest hits of the first count rays, launched as a gridWidth x gridHeight
// grid of 8 x 8 blocks (gridWidth / 8 by gridHeight / 8 of them, over slots
// y x gridWidth + x). nyxNoMemory when the ray buffers cannot be had;
// nyxBadSize when count reaches past the slots those blocks trace
// (koru::gpu::traced_slots), before any device work; nyxNoMemory too while
// the layer is not initialised.
int nyxTraverseRays(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned gridWidth, unsigned gridHeight,
                    unsigned count);
const char* nyxGetErrorString(int code);

// The device's largest 2D texture, width x height texels; 0 x 0 while the
// layer is not initialised.
void nyxGetTextureLimit(int* width, int* height);

// Diagnostics: samples a width x height RGBA texture, made as nyxAddTexture
// makes scene textures, at n normalised (u, v) pairs into n RGBA floats, so
// that the texture unit's filter can be held against its emulation.
int nyxProbeTexture(int width, int height, const void* pixels, const float* coordinates, unsigned n, float* colors);

// The state record, read-only, for diagnostics and tests.
const nyxDeviceScene& nyxGetDeviceScene();
// Device time of the last kernel launch in milliseconds (CUDA events around
// it), for benchmarks; 0 before the first.
float nyxGetLastLaunchMilliseconds();
