// tinyobjloader compiled into the reader for the fuzz targets, so that its
// parser is instrumented too.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>
