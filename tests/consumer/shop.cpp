// Reports through the installed library and reads texts through its error category.
#include <BILLING_err.h>
#include <SHOP_err.h>
#include <tarvik.hpp>

#include <cerrno>
#include <cstdio>

int main()
{
    TarvikInit("shop", 0);
    ErrSend(R_SHOP_PAYMENT_REFUSED, TARVIK_ERROR, "checkout - pay", "order 7");

    const std::error_code lost = tarvik::make_error_code(R_BILLING_INVOICE_LOST);
    std::printf("%s: %s\n", lost.category().name(), lost.message().c_str());
    std::printf("same code equal: %d\n", lost == tarvik::make_error_code(R_BILLING_INVOICE_LOST));
    errno = ENOENT;
    std::printf("system: %s\n", tarvik::message(TARVIK_SYSTEM_ERROR).c_str());
    return 0;
}
