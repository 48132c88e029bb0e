// The line check of OBJ and MTL files (scene_files.h): what the importer
// underneath reads silently wrong or not at all is refused here with the
// file and line.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scene_files.h"

namespace koru {
namespace io {

namespace {

const char byte_order_mark[] = "\xEF\xBB\xBF";

// A line's place, spelled out only for a message.
struct Place {
    const std::string& file;
    std::size_t line; // from 1
    std::string text() const { return file + ":" + std::to_string(line); }
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The words of a line, as reading strings from a stream splits it, into
// `tokens` (views into the line).
void tokens_of(std::string_view line, std::vector<std::string_view>& tokens)
{
    tokens.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !blank(line[i]))
            ++i;
        if (i > start)
            tokens.push_back(line.substr(start, i - start));
    }
}

// A token as a C string for the standard conversions: short ones on the
// stack.
class C_Text {
public:
    explicit C_Text(std::string_view text)
    {
        if (text.size() < sizeof small) {
            text.copy(small, text.size());
            small[text.size()] = '\0';
            chars = small;
        } else {
            large.assign(text);
            chars = large.c_str();
        }
    }
    const char* c_str() const { return chars; }

private:
    char small[64];
    std::string large;
    const char* chars;
};

// Decimal numbers only: strtof would take "0x1p3", "inf" and "nan", which
// the importer reads as 0. Values too small for a float are fine (they
// round to zero or a denormal), too large ones are not.
bool parse_float(std::string_view text, float& value)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return false;
    const C_Text number(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtof(number.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(value);
}

// Lines without their line ends, a byte-order mark at the start removed:
// views into `text`.
std::vector<std::string_view> lines_of(std::string& text)
{
    if (text.compare(0, 3, byte_order_mark) == 0)
        text.erase(0, 3);
    std::vector<std::string_view> lines;
    const std::string_view all(text);
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find('\n', start);
        if (end == std::string_view::npos)
            end = all.size();
        std::string_view line = all.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Numbers of one statement: `least` to `most` of them, then at most a comment.
void check_numbers(const std::vector<std::string_view>& tokens, std::size_t least, std::size_t most,
                   const Place& at, const char* what)
{
    std::size_t count = 0;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value;
        if (tokens[i][0] == '#')
            break;
        if (!parse_float(tokens[i], value) || count == most)
            throw Load_Error(at.text() + ": " + what + ", not '" + std::string(tokens[i]) + "'");
        ++count;
    }
    if (count < least)
        throw Load_Error(at.text() + ": " + what);
}

// One face index: 1-based, or negative counting back from the last defined.
void check_index(std::string_view text, long defined, const Place& at, const char* kind)
{
    const C_Text digits(text);
    char* end = nullptr;
    errno = 0;
    const long index = std::strtol(digits.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || index == 0 || index > INT_MAX || index < INT_MIN)
        throw Load_Error(at.text() + ": bad " + kind + " index '" + std::string(text) + "' in a face");
    const long resolved = index > 0 ? index : defined + index + 1;
    if (resolved < 1 || resolved > defined)
        throw Load_Error(at.text() + ": a face refers to " + kind + " " + std::string(text) + ", but " +
                         std::to_string(defined) + " are defined so far");
}

void check_face(const std::vector<std::string_view>& tokens, const long counts[3], const Place& at)
{
    if (tokens.size() < 4)
        throw Load_Error(at.text() + ": a face needs at least three corners");
    static const char* const kinds[3] = {"vertex", "texture coordinate", "normal"};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const std::string_view corner = tokens[i];
        if (corner[0] == '#')
            break;
        std::string_view parts[3];
        int n_parts = 0;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = corner.find('/', start);
            if (n_parts == 3)
                throw Load_Error(at.text() + ": bad face corner '" + std::string(corner) + "'");
            parts[n_parts++] = corner.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                                                   : slash - start);
            if (slash == std::string_view::npos)
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
    const std::vector<std::string_view> lines = lines_of(text);
    files.put(path, text);
    Mtl_Entry* current = nullptr;
    std::vector<std::string_view> tokens;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        tokens_of(lines[l], tokens);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const Place at{path, l + 1};
        const std::string_view keyword = tokens[0];
        if (keyword == "newmtl") {
            if (tokens.size() < 2)
                throw Load_Error(at.text() + ": newmtl needs a material name");
            current = &checked.mtl[std::string(tokens[1])];
            *current = Mtl_Entry();
            current->file = path;
            continue;
        }
        const bool colour = keyword == "Kd";
        const bool texture = keyword == "map_Kd";
        if (!colour && !texture)
            continue; // the other statements do not change what the engine draws
        if (current == nullptr)
            throw Load_Error(at.text() + ": " + std::string(keyword) + " before the first newmtl");
        if (colour) {
            check_numbers(tokens, 3, 3, at, "Kd needs three numbers (r g b)");
            current->has_kd = true;
        } else {
            if (tokens.size() < 2)
                throw Load_Error(at.text() + ": map_Kd needs a file name");
            current->texture_line = static_cast<int>(l + 1);
        }
    }
}

bool ignored_statement(std::string_view keyword)
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
    const std::vector<std::string_view> lines = lines_of(text);
    std::vector<std::size_t> lone_u;  // lines of texture coordinates that give u alone
    std::string first_mtl;         // the first MTL file, once named
    std::size_t default_faces = 0; // line of the first face before any usemtl, after mtllib
    Obj_Check checked;
    std::vector<std::pair<std::string, int>> used; // usemtl name and line
    long counts[3] = {0, 0, 0};                     // v, vt, vn so far
    std::vector<std::string_view> tokens;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        tokens_of(lines[l], tokens);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const Place at{path, l + 1};
        const std::string_view keyword = tokens[0];
        if (keyword == "v") {
            check_numbers(tokens, 3, 7, at, "a vertex needs three numbers (x y z)");
            ++counts[0];
        } else if (keyword == "vt") {
            check_numbers(tokens, 1, 3, at, "a texture coordinate needs one to three numbers (u v w)");
            ++counts[1];
            // assimp refuses a lone u; v is 0 then.
            if (tokens.size() == 2)
                lone_u.push_back(l);
        } else if (keyword == "vn") {
            check_numbers(tokens, 3, 3, at, "a normal needs three numbers (x y z)");
            ++counts[2];
        } else if (keyword == "f") {
            check_face(tokens, counts, at);
            if (used.empty() && !first_mtl.empty() && default_faces == 0)
                default_faces = l + 1;
        } else if (keyword == "usemtl") {
            if (tokens.size() < 2)
                throw Load_Error(at.text() + ": usemtl needs a material name");
            used.emplace_back(std::string(tokens[1]), static_cast<int>(l + 1));
        } else if (keyword == "mtllib") {
            if (tokens.size() < 2)
                throw Load_Error(at.text() + ": mtllib needs a file name");
            for (std::size_t i = 1; i < tokens.size(); ++i)
                check_mtl(folder_of(path) + std::string(tokens[i]), at.text() + ": MTL file: ", files, checked);
            if (first_mtl.empty())
                first_mtl = folder_of(path) + std::string(tokens[1]);
            checked.has_mtl = true;
        } else if (!ignored_statement(keyword)) {
            throw Load_Error(at.text() + ": unknown statement '" + std::string(keyword) + "'");
        }
    }
    // usemtl without an MTL file: the neutral grey.
    if (checked.has_mtl)
        for (const auto& [name, line] : used)
            if (checked.mtl.count(name) == 0)
                throw Load_Error(Place{path, static_cast<std::size_t>(line)}.text() + ": material '" + name +
                                 "' is not in the MTL file");

    // assimp 5.2 gives faces before the first usemtl of a file with MTL
    // materials the last material of the file instead of its default one:
    // they get a material of their own, which no MTL entry describes.
    if (default_faces > 0) {
        std::string mtl = *files.find(first_mtl);
        files.put(first_mtl, mtl + "\nnewmtl " + obj_default_material + "\n");
    }
    if (default_faces > 0 || !lone_u.empty()) {
        std::string edited;
        edited.reserve(text.size() + 4 * lone_u.size() + 64);
        std::size_t next_lone_u = 0;
        for (std::size_t l = 0; l < lines.size(); ++l) {
            if (l + 1 == default_faces)
                edited.append("usemtl ").append(obj_default_material).append("\n");
            edited.append(lines[l]);
            if (next_lone_u < lone_u.size() && lone_u[next_lone_u] == l) {
                edited.append(" 0");
                ++next_lone_u;
            }
            edited.append("\n");
        }
        text = std::move(edited);
    }
    return checked;
}

} // namespace io
} // namespace koru
