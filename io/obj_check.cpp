// The line check of OBJ and MTL files (scene_files.h): what the importer
// underneath reads silently wrong or not at all is refused here with the
// file and line.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "scene_files.h"

namespace koru {
namespace io {

namespace {

const char byte_order_mark[] = "\xEF\xBB\xBF";

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line); }

std::vector<std::string> tokens_of(const std::string& line)
{
    std::vector<std::string> tokens;
    std::istringstream in(line);
    for (std::string token; in >> token;)
        tokens.push_back(token);
    return tokens;
}

// Decimal numbers only: strtof would take "0x1p3", "inf" and "nan", which
// the importer reads as 0. Values too small for a float are fine (they
// round to zero or a denormal), too large ones are not.
bool parse_float(const std::string& text, float& value)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(value);
}

// Lines without their line ends, a byte-order mark at the start removed.
std::vector<std::string> lines_of(std::string& text)
{
    if (text.compare(0, 3, byte_order_mark) == 0)
        text.erase(0, 3);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Numbers of one statement: `least` to `most` of them, then at most a comment.
void check_numbers(const std::vector<std::string>& tokens, std::size_t least, std::size_t most,
                   const std::string& at, const char* what)
{
    std::size_t count = 0;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value;
        if (tokens[i][0] == '#')
            break;
        if (!parse_float(tokens[i], value) || count == most)
            throw Load_Error(at + ": " + what + ", not '" + tokens[i] + "'");
        ++count;
    }
    if (count < least)
        throw Load_Error(at + ": " + what);
}

// One face index: 1-based, or negative counting back from the last defined.
void check_index(const std::string& text, long defined, const std::string& at, const char* kind)
{
    char* end = nullptr;
    errno = 0;
    const long index = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || index == 0 || index > INT_MAX || index < INT_MIN)
        throw Load_Error(at + ": bad " + kind + " index '" + text + "' in a face");
    const long resolved = index > 0 ? index : defined + index + 1;
    if (resolved < 1 || resolved > defined)
        throw Load_Error(at + ": a face refers to " + kind + " " + text + ", but " + std::to_string(defined) +
                         " are defined so far");
}

void check_face(const std::vector<std::string>& tokens, const long counts[3], const std::string& at)
{
    if (tokens.size() < 4)
        throw Load_Error(at + ": a face needs at least three corners");
    static const char* const kinds[3] = {"vertex", "texture coordinate", "normal"};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        if (tokens[i][0] == '#')
            break;
        std::string parts[3];
        int n_parts = 0;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = tokens[i].find('/', start);
            if (n_parts == 3)
                throw Load_Error(at + ": bad face corner '" + tokens[i] + "'");
            parts[n_parts++] = tokens[i].substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
        for (int k = 0; k < n_parts; ++k) {
            // Only the texture coordinate may be left out, as in v//vn.
            if (parts[k].empty() && k == 1 && n_parts == 3)
                continue;
            check_index(parts[k], counts[k], at, kinds[k]);
        }
    }
}

void check_mtl(const std::string& path, const std::string& opener, File_Cache& files, Obj_Check& checked)
{
    std::string text = files.read(path, opener);
    const std::vector<std::string> lines = lines_of(text);
    files.put(path, text);
    Mtl_Entry* current = nullptr;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::vector<std::string> tokens = tokens_of(lines[l]);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string at = where(path, static_cast<int>(l + 1));
        const std::string& keyword = tokens[0];
        if (keyword == "newmtl") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": newmtl needs a material name");
            current = &checked.mtl[tokens[1]];
            *current = Mtl_Entry();
            current->file = path;
            continue;
        }
        const bool colour = keyword == "Kd";
        const bool texture = keyword == "map_Kd";
        if (!colour && !texture)
            continue; // the other statements do not change what the engine draws
        if (current == nullptr)
            throw Load_Error(at + ": " + keyword + " before the first newmtl");
        if (colour) {
            check_numbers(tokens, 3, 3, at, "Kd needs three numbers (r g b)");
            current->has_kd = true;
        } else {
            if (tokens.size() < 2)
                throw Load_Error(at + ": map_Kd needs a file name");
            current->texture_line = static_cast<int>(l + 1);
        }
    }
}

bool ignored_statement(const std::string& keyword)
{
    // Groups, smoothing groups, lines, points and free-form geometry: nothing to draw.
    static const char* const ignored[] = {
        "o",     "g",    "s",      "l",      "p",      "vp",     "cstype",     "deg",        "curv",
        "curv2", "surf", "parm",   "trim",   "hole",   "scrv",   "sp",         "end",        "bmat",
        "step",  "mg",   "lod",    "usemap", "maplib", "bevel",  "c_interp",   "d_interp",   "shadow_obj",
        "trace_obj", "ctech", "stech"};
    for (const char* name : ignored)
        if (keyword == name)
            return true;
    return false;
}

} // namespace

Obj_Check CheckObj(std::string& text, const std::string& path, File_Cache& files)
{
    std::vector<std::string> lines = lines_of(text);
    bool edited = false;
    std::string first_mtl;         // the first MTL file, once named
    std::size_t default_faces = 0; // line of the first face before any usemtl, after mtllib
    Obj_Check checked;
    std::vector<std::pair<std::string, int>> used; // usemtl name and line
    long counts[3] = {0, 0, 0};                     // v, vt, vn so far
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::vector<std::string> tokens = tokens_of(lines[l]);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string at = where(path, static_cast<int>(l + 1));
        const std::string& keyword = tokens[0];
        if (keyword == "v") {
            check_numbers(tokens, 3, 7, at, "a vertex needs three numbers (x y z)");
            ++counts[0];
        } else if (keyword == "vt") {
            check_numbers(tokens, 1, 3, at, "a texture coordinate needs one to three numbers (u v w)");
            ++counts[1];
            // assimp refuses a lone u; v is 0 then.
            if (tokens.size() == 2) {
                lines[l] += " 0";
                edited = true;
            }
        } else if (keyword == "vn") {
            check_numbers(tokens, 3, 3, at, "a normal needs three numbers (x y z)");
            ++counts[2];
        } else if (keyword == "f") {
            check_face(tokens, counts, at);
            if (used.empty() && !first_mtl.empty() && default_faces == 0)
                default_faces = l + 1;
        } else if (keyword == "usemtl") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": usemtl needs a material name");
            used.emplace_back(tokens[1], static_cast<int>(l + 1));
        } else if (keyword == "mtllib") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": mtllib needs a file name");
            for (std::size_t i = 1; i < tokens.size(); ++i)
                check_mtl(folder_of(path) + tokens[i], at + ": MTL file: ", files, checked);
            if (first_mtl.empty())
                first_mtl = folder_of(path) + tokens[1];
            checked.has_mtl = true;
        } else if (!ignored_statement(keyword)) {
            throw Load_Error(at + ": unknown statement '" + keyword + "'");
        }
    }
    // usemtl without an MTL file: the neutral grey.
    if (checked.has_mtl)
        for (const auto& [name, line] : used)
            if (checked.mtl.count(name) == 0)
                throw Load_Error(where(path, line) + ": material '" + name + "' is not in the MTL file");

    // assimp 5.2 gives faces before the first usemtl of a file with MTL
    // materials the last material of the file instead of its default one:
    // they get a material of their own, which no MTL entry describes.
    if (default_faces > 0) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(default_faces - 1),
                     std::string("usemtl ") + obj_default_material);
        std::string mtl = *files.find(first_mtl);
        files.put(first_mtl, mtl + "\nnewmtl " + obj_default_material + "\n");
        edited = true;
    }
    if (edited) {
        text.clear();
        for (const std::string& line : lines)
            text += line + "\n";
    }
    return checked;
}

} // namespace io
} // namespace koru
