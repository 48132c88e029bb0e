// The error family: texts, class tree, the notice shown once at
// construction, the demo's report and the empty error log.
#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>

#include "demo/demo.h"
#include "engine/tau_error.h"

using namespace TAU_ERROR;

namespace {

constexpr const char* runtime_error_text = "RUN-TIME ERROR!";

// Runs make() with standard error captured and returns what was written.
template <class F>
std::string stderr_of(F make)
{
    testing::internal::CaptureStderr();
    make();
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(ErrorsText, WhatAndMessageOfEveryClass)
{
    const std::string text = "Too many point lights";

    const Error plain;
    EXPECT_STREQ(plain.what(), runtime_error_text);
    EXPECT_TRUE(plain.message.empty());

    std::string notice = stderr_of([&] {
        const Error with_text(text);
        EXPECT_EQ(std::string(with_text.what()), text);
        EXPECT_EQ(with_text.message, text);
    });
    EXPECT_EQ(notice, "Error: " + text + "\n");

    notice = stderr_of([&] {
        const OpenGL_Error error(text);
        EXPECT_STREQ(error.what(), runtime_error_text);
        EXPECT_EQ(error.message, text);
    });
    EXPECT_EQ(notice, "OpenGL_Error: " + text + "\n");

    notice = stderr_of([&] {
        const File_Error error(text);
        EXPECT_STREQ(error.what(), runtime_error_text);
        EXPECT_EQ(error.message, text);
    });
    EXPECT_EQ(notice, "File_Error: " + text + "\n");

    notice = stderr_of([&] {
        const Image_File_Error error(text);
        EXPECT_STREQ(error.what(), runtime_error_text);
        EXPECT_EQ(error.message, text);
    });
    EXPECT_EQ(notice, "Image_File_Error: " + text + "\n");

    notice = stderr_of([&] {
        const Out_Of_Range error(text);
        EXPECT_STREQ(static_cast<const Error&>(error).what(), runtime_error_text);
        EXPECT_EQ(std::string(static_cast<const std::out_of_range&>(error).what()), text);
        EXPECT_EQ(error.message, text);
    });
    EXPECT_EQ(notice, "Out_Of_Range: " + text + "\n");
}

TEST(ErrorsText, DefaultConstructionShowsNothing)
{
    EXPECT_EQ(stderr_of([] { const Error error; }), "");
}

// Each class is caught by the handlers its place in the tree implies.
TEST(ErrorsTree, CaughtThroughTheirBases)
{
    testing::internal::CaptureStderr();
    try {
        throw Out_Of_Range("Too many spheres");
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Too many spheres");
    }
    try {
        throw Out_Of_Range("Too many indices");
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), runtime_error_text);
        EXPECT_EQ(error.message, "Too many indices");
    }
    try {
        throw Image_File_Error("bad file");
    } catch (const File_Error& error) {
        EXPECT_EQ(error.message, "bad file");
    }
    try {
        throw OpenGL_Error("Can not use more than 8 lights, num: 9");
    } catch (const Hal_Error& error) {
        EXPECT_EQ(error.message, "Can not use more than 8 lights, num: 9");
    }
    try {
        throw File_Error("Can not open x");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), runtime_error_text);
    }
    testing::internal::GetCapturedStderr();
}

// Copies of an error (a handler's copy, one kept in an exception_ptr and
// thrown again) keep its texts; only the first construction announces it.
TEST(ErrorsNotice, ShownOnceAtConstructionNotOnCopies)
{
    std::string caught_message;
    const std::string notice = stderr_of([&] {
        try {
            throw Out_Of_Range("Too many point lights");
        } catch (const Out_Of_Range& error) {
            const Out_Of_Range copy = error;
            try {
                std::rethrow_exception(std::make_exception_ptr(copy));
            } catch (const Out_Of_Range& again) {
                caught_message = again.message;
                EXPECT_EQ(std::string(static_cast<const std::out_of_range&>(again).what()),
                          "Too many point lights");
            }
        }
    });
    EXPECT_EQ(notice, "Out_Of_Range: Too many point lights\n");
    EXPECT_EQ(caught_message, "Too many point lights");

    testing::internal::CaptureStderr();
    const Image_File_Error original("The file a.bmp was damaged");
    testing::internal::GetCapturedStderr();
    const std::string copy_notice = stderr_of([&] {
        Image_File_Error copy(original);
        EXPECT_EQ(copy.message, original.message);
        EXPECT_STREQ(copy.what(), runtime_error_text);
    });
    EXPECT_EQ(copy_notice, "");
}

TEST(ErrorsReport, ClassNameAndReport)
{
    testing::internal::CaptureStderr();
    try {
        throw Out_Of_Range("Too many point lights");
    } catch (const Error& error) {
        EXPECT_EQ(demo::ErrorClassName(error), "class TAU_ERROR::Out_Of_Range");
        std::ostringstream out;
        demo::ReportError(error, out);
        EXPECT_EQ(out.str(), "Error: class TAU_ERROR::Out_Of_Range\nToo many point lights\n");
    }
    try {
        throw Image_File_Error("Can not ReadFileHeader, perhaps the file x.bmp was damaged");
    } catch (const Error& error) {
        EXPECT_EQ(demo::ErrorClassName(error), "class TAU_ERROR::Image_File_Error");
        std::ostringstream out;
        demo::ReportError(error, out);
        EXPECT_EQ(out.str(), "Error: class TAU_ERROR::Image_File_Error\n"
                             "Can not ReadFileHeader, perhaps the file x.bmp was damaged\n");
    }
    try {
        throw Error("FindSplitPosSAH:: Unreached code worked");
    } catch (const Error& error) {
        EXPECT_EQ(demo::ErrorClassName(error), "class TAU_ERROR::Error");
    }
    testing::internal::GetCapturedStderr();
}

// The log is opened when the program loads and nothing is ever written to it.
TEST(ErrorsLog, ErrTxtExistsAndStaysEmpty)
{
    testing::internal::CaptureStderr();
    for (int k = 0; k < 3; ++k) {
        try {
            throw File_Error("Can not open nothing.bmp");
        } catch (const Error&) {
        }
        try {
            throw Out_Of_Range("No material with this index");
        } catch (const Error&) {
        }
    }
    testing::internal::GetCapturedStderr();
    koru::error_log().flush();
    ASSERT_TRUE(std::filesystem::exists("Err.txt")) << "in " << std::filesystem::current_path();
    EXPECT_EQ(std::filesystem::file_size("Err.txt"), 0u);
    EXPECT_TRUE(koru::error_log().is_open());
    EXPECT_TRUE(koru::error_log().good());
}
