// tarvik.hpp - Tarvik's error codes for C++: an error category and message lookup.
//
//     std::error_code ec = tarvik::make_error_code(R_NET_Timeout);
//     std::cerr << ec.message() << '\n';           // the catalogue's text
//
// Messages come from ErrGet, so the configuration is loaded on first use exactly as for
// ErrSend, and a lookup that fails prints the library's diagnostic on standard output.
// The code -1 (TARVIK_SYSTEM_ERROR) stands for the system error: make_error_code(-1)
// captures errno as it is then. Header-only; needs C++11 and libtarvik.
#ifndef TARVIK_HPP
#define TARVIK_HPP

#include "tarvik.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

namespace tarvik {

// The text of code, one trailing newline dropped: the catalogue's text, ErrGet's own
// text for an unknown class or code, or, when the lookup fails (the library prints why
// on standard output), "Tarvik error $<code>". For -1, the text of errno as it is now.
inline std::string message(int code)
{
    std::string text(1024, '\0'); // on the heap: callers may run on small thread stacks
    if (ErrGet(code, &text[0], static_cast<int>(text.size())) != 0 && text[0] == '\0')
        std::snprintf(&text[0], text.size(), "Tarvik error $%x", static_cast<unsigned>(code));
    text.resize(std::strlen(text.c_str()));
    if (!text.empty() && text[text.size() - 1] == '\n')
        text.resize(text.size() - 1);
    return text;
}

// The category of Tarvik's error codes, named "tarvik". Its codes are the application's
// own errors, defined by its catalogues: none of them stands for a std::errc condition,
// so each code's default condition is the code itself in this category.
class ErrorCategory final : public std::error_category {
public:
    const char *name() const noexcept override { return "tarvik"; }
    std::string message(int code) const override { return tarvik::message(code); }
};

inline const std::error_category &category() noexcept
{
    static const ErrorCategory instance;
    return instance;
}

// The std::error_code of code in the tarvik category. -1 becomes the system error
// current now, std::error_code(errno, std::system_category()), so the code keeps naming
// the error it was made for and compares equal to its std::errc condition.
inline std::error_code make_error_code(int code) noexcept
{
    if (code == TARVIK_SYSTEM_ERROR)
        return std::error_code(errno, std::system_category());
    return std::error_code(code, category());
}

} // namespace tarvik

#endif
