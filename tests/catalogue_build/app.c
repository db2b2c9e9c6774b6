/* Uses one code of each class of app.err. */
#include "HTTP_err.h"
#include "NET_err.h"

#include <stdio.h>

int main(void)
{
    printf("%x %x\n", (unsigned)R_NET_Timeout, (unsigned)R_HTTP_NotFound);
    return 0;
}
