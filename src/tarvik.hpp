// tarvik.hpp - Tarvik's error codes for C++: an error category and message lookup.
//
//     std::error_code ec = tarvik::make_error_code(R_NET_TIMEOUT);
//     std::cerr << ec.message() << '\n';           // the catalogue's text
//
// Messages come from ErrGet, so the configuration is loaded on first use exactly as for
// ErrSend. The code -1 stands for the system error: its message is the text of errno
// as it is when message() runs. Header-only; needs C++17 and libtarvik.
#ifndef TARVIK_HPP
#define TARVIK_HPP

#include "tarvik.h"

#include <cstdio>
#include <string>
#include <system_error>

namespace tarvik {

// The text of code: the catalogue's text, ErrGet's own text for an unknown class or
// code, or, when the lookup fails (the library prints why), "Tarvik error $<code>".
inline std::string message(int code)
{
    char text[1024];
    if (ErrGet(code, text, sizeof text) != 0 && text[0] == '\0')
        std::snprintf(text, sizeof text, "Tarvik error $%x", static_cast<unsigned>(code));
    return text;
}

// The category of Tarvik's error codes, named "tarvik".
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

inline std::error_code make_error_code(int code) noexcept { return {code, category()}; }

} // namespace tarvik

#endif
