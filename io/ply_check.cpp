// The header check of PLY files (scene_files.h): assimp 5.2 reads past its
// buffers on malformed headers and on bodies shorter than their headers
// promise, so a file must pass here first.
#include <cstdlib>
#include <sstream>

#include "scene_files.h"

namespace koru {
namespace io {

namespace {

// Bytes of a PLY scalar type, or 0 for a name that is none.
std::size_t type_size(const std::string& type)
{
    static const std::pair<const char*, std::size_t> types[] = {
        {"char", 1},  {"uchar", 1},  {"int8", 1},  {"uint8", 1},   {"short", 2},  {"ushort", 2},
        {"int16", 2}, {"uint16", 2}, {"int", 4},   {"uint", 4},    {"int32", 4},  {"uint32", 4},
        {"float", 4}, {"float32", 4}, {"double", 8}, {"float64", 8}};
    for (const auto& [name, size] : types)
        if (type == name)
            return size;
    return 0;
}

// A count of the header: digits only, and small enough that the body can hold it.
bool parse_count(const std::string& text, unsigned long long& count)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

} // namespace

void CheckDecimalText(const std::string& text, std::size_t from, int first_line, const std::string& name,
                      const std::string& keywords)
{
    int line = first_line;
    for (std::size_t at = from; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::istringstream in(text.substr(at, end - at));
        std::string word;
        bool numbers = keywords.empty();
        for (bool first = true; in >> word; first = false) {
            if (first && !keywords.empty()) {
                numbers = (" " + keywords + " ").find(" " + word + " ") != std::string::npos;
                continue;
            }
            // "normal" in STL's "facet normal x y z"
            if (!keywords.empty() && word == "normal")
                continue;
            if (numbers && word.find_first_not_of("0123456789+-.eE") != std::string::npos)
                throw Load_Error(name + ":" + std::to_string(line) + ": '" + word + "' is not a decimal number");
        }
        at = end + 1;
        ++line;
    }
}

void CheckPly(const std::string& bytes, const std::string& name)
{
    std::size_t at = 0;
    int line_number = 0;
    bool binary = false;
    bool ended = false;
    unsigned long long least_body = 0; // bytes (binary) or values (ASCII) the elements need at least
    unsigned long long element_count = 0;
    bool in_element = false;
    while (!ended) {
        const std::size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            throw Load_Error(name + ": the PLY header has no end_header line");
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string where = name + ": header line " + std::to_string(line_number);
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string word; in >> word;)
            words.push_back(word);
        if (line_number == 1) {
            if (words.size() != 1 || words[0] != "ply")
                throw Load_Error(name + ": not a PLY file (its first line is not 'ply')");
            continue;
        }
        if (words.empty())
            throw Load_Error(where + ": an empty line");
        const std::string& keyword = words[0];
        if (keyword == "comment" || keyword == "obj_info")
            continue;
        if (line_number == 2 || keyword == "format") {
            if (line_number != 2 || words.size() != 3 || words[2] != "1.0" ||
                (words[1] != "ascii" && words[1] != "binary_little_endian" && words[1] != "binary_big_endian"))
                throw Load_Error(where + ": the format line must be 'format ascii|binary_little_endian|"
                                         "binary_big_endian 1.0'");
            binary = words[1] != "ascii";
        } else if (keyword == "element") {
            if (words.size() != 3 || !parse_count(words[2], element_count))
                throw Load_Error(where + ": an element needs a name and a count");
            in_element = true;
        } else if (keyword == "property") {
            if (!in_element)
                throw Load_Error(where + ": a property before the first element");
            std::size_t size = 0;
            if (words.size() == 5 && words[1] == "list") {
                size = type_size(words[2]); // the count of an empty list
                if (size == 0 || type_size(words[3]) == 0)
                    throw Load_Error(where + ": a list property needs a count type, an item type and a name");
            } else if (words.size() == 3) {
                size = type_size(words[1]);
                if (size == 0)
                    throw Load_Error(where + ": unknown property type '" + words[1] + "'");
            } else {
                throw Load_Error(where + ": a property needs a type and a name");
            }
            least_body += element_count * (binary ? size : 1);
        } else if (keyword == "end_header") {
            ended = true;
        } else {
            throw Load_Error(where + ": unknown header line '" + keyword + "'");
        }
    }
    // An ASCII value takes at least one digit and a blank.
    const unsigned long long body = bytes.size() - at;
    if (!binary)
        CheckDecimalText(bytes, at, line_number + 1, name, "");
    const unsigned long long need = binary ? least_body : 2 * least_body - (least_body > 0 ? 1 : 0);
    if (body < need)
        throw Load_Error(name + ": the header promises at least " + std::to_string(need) + " bytes of " +
                         (binary ? "data" : "numbers") + ", but " + std::to_string(body) + " follow it");
}

} // namespace io
} // namespace koru
