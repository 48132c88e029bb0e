// The error family. An error made from a text announces itself when it is
// constructed: the notice (caption and text) goes to standard error at once,
// before the exception travels. Copies announce nothing.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "module_local.h"

namespace TAU_ERROR {

// The modal notice of this platform: caption and text on standard error.
inline void show_error_box(const std::string& caption, const std::string& text)
{
    std::fprintf(stderr, "%s%s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

class Error : public std::runtime_error {
public:
    std::string message; // the text the error was made with

    Error() : std::runtime_error("RUN-TIME ERROR!") {}

    explicit Error(const std::string& text) : std::runtime_error(text)
    {
        announce("Error: ", text);
    }

protected:
    void announce(const char* caption, const std::string& text)
    {
        koru::error_log().flush();
        show_error_box(caption, text);
        message = text;
    }
};

// Base of the platform errors; never thrown by itself.
class Hal_Error : public Error {
protected:
    Hal_Error() = default;
};

class OpenGL_Error : public Hal_Error {
public:
    explicit OpenGL_Error(const std::string& text) { announce("OpenGL_Error: ", text); }
};

// Two std::exception bases: what() through Error is "RUN-TIME ERROR!", through
// std::out_of_range it is the text.
class Out_Of_Range : public Error, public std::out_of_range {
public:
    explicit Out_Of_Range(const std::string& text) : Error(), std::out_of_range(text)
    {
        announce("Out_Of_Range: ", text);
    }
};

class File_Error : public Error {
public:
    explicit File_Error(const std::string& text) { announce("File_Error: ", text); }

protected:
    File_Error() = default;
};

class Image_File_Error : public File_Error {
public:
    explicit Image_File_Error(const std::string& text) { announce("Image_File_Error: ", text); }
};

} // namespace TAU_ERROR
