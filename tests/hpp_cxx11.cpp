// Compiled as C++11 only: tarvik.hpp must stay within the language level it states.
#include <tarvik.hpp>

std::error_code TarvikHppCompilesAsCxx11(int code)
{
    const std::error_code ec = tarvik::make_error_code(code);
    return ec.message().empty() ? tarvik::make_error_code(TARVIK_SYSTEM_ERROR) : ec;
}
