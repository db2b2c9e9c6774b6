/*
 * report_floor - the floor of a lookup: see report_floor.h. Plain C and stdio, nothing
 * cached between calls, so that it costs what any uncached reader must pay.
 */
#define _POSIX_C_SOURCE 200809L

#include "report_floor.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Keeps the results of the identity calls alive, so that none of them is left out. */
static volatile int Sink;

int FloorGet(const char *path, const char *key, char *text, size_t textSize)
{
    const time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    char host[40];
    const int hostFailed = gethostname(host, sizeof host);
    Sink = local.tm_sec + (int)getpid() + host[0] + hostFailed;

    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    const size_t keyLen = strlen(key);
    char line[512];
    int result = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, keyLen) != 0)
            continue;
        size_t len = strlen(line + keyLen);
        if (len > 0 && line[keyLen + len - 1] == '\n')
            --len;
        if (len >= textSize)
            len = textSize - 1;
        memcpy(text, line + keyLen, len);
        text[len] = '\0';
        result = 0;
        break;
    }
    fclose(f);
    return result;
}

int FloorSend(const char *path, const char *key, const char *report, size_t reportBytes)
{
    char text[1024];
    const int found = FloorGet(path, key, text, sizeof text);
    const ssize_t written = write(STDOUT_FILENO, report, reportBytes);
    return found == 0 && written == (ssize_t)reportBytes ? 0 : -1;
}
