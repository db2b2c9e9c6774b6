/*
 * report.c - orderd, a pretend order-processing service, reporting its errors from C.
 *
 * The build compiles orderd.err with TarvikCompile into one header per class (included
 * below, for the R_<CLASS>_<ERROR> codes) and one compiled catalogue per class, which
 * the library reads at run time. Run it with TARVIK_CFG_DIR naming the directory that
 * holds Tarvik.cfg and the compiled catalogues. Plain C89.
 */
#include "tarvik.h"

#include "CONFIG_err.h"
#include "NET_err.h"
#include "STORE_err.h"

#include <stdio.h>
#include <string.h>

/* Prints what ErrGet gives for code: its result and the text. */
static void ShowText(const char *what, int code)
{
    char text[256];
    size_t len;
    int rc = ErrGet(code, text, (int)sizeof text);

    /* The library's own "Unknown ..." texts end with a newline; catalogue texts do not. */
    len = strlen(text);
    if (len > 0 && text[len - 1] == '\n')
        text[len - 1] = '\0';
    printf("ErrGet(%s = $%x) returned %d: \"%s\"\n", what, (unsigned)code, rc, text);
}

int main(void)
{
    static const char orders[] = "spool/orders.dat";
    FILE *f;
    int rc;

    /* Once, before the first report: the name shown in every report. */
    TarvikInit("orderd", 0);

    /* A code from the generated header, its type, where it happened, and details. */
    rc = ErrSend(R_NET_Timeout, TARVIK_WARNING, "net.client - connect to the stock service",
                 "stock.internal:7001, 3 attempts");
    printf("ErrSend returned %d\n\n", rc);

    /* A failing system call: -1 reports the text of errno, so nothing may come between. */
    f = fopen(orders, "r");
    if (f == NULL) {
        rc = ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, "store - open the order spool", orders);
        printf("ErrSend returned %d\n\n", rc);
    } else {
        fclose(f);
    }

    /* Type bits combine; the words come out in a fixed order. */
    rc = ErrSend(R_STORE_DiskFull, TARVIK_FATAL | TARVIK_ERROR, "store.writer - append order 1042",
                 "/var/lib/orderd: 0 blocks free");
    printf("ErrSend returned %d\n\n", rc);

    /* ErrGet copies the text instead of printing a report. */
    ShowText("R_CONFIG_OutOfRange", R_CONFIG_OutOfRange);
    ShowText("R_NET_BadReply + 1", R_NET_BadReply + 1); /* past the last error of NET */
    ShowText("0x90001", 0x90001);                       /* class 9 is not configured */
    return 0;
}
