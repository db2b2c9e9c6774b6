/* A C89 program built with the flags that pkg-config gives for the installed library. */
#include <SHOP_err.h>
#include <tarvik.h>

#include <stdio.h>

int main(void)
{
    char text[64];
    if (TarvikVersion() != TARVIK_VERSION_NUMBER) {
        printf("library version %d, header version %d\n", TarvikVersion(), TARVIK_VERSION_NUMBER);
        return 1;
    }
    TarvikInit("plain", 0);
    ErrGet(R_SHOP_CART_EMPTY, text, sizeof text);
    printf("text: %s\n", text);
    return ErrSend(R_SHOP_CART_EMPTY, TARVIK_WARNING, "basket - show", 0) == 0 ? 0 : 1;
}
