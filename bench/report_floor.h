/*
 * report_floor.h - the least work an uncached error lookup and an error report can take,
 * timed by report_bench next to ErrGet and ErrSend.
 */
#ifndef TARVIK_REPORT_FLOOR_H
#define TARVIK_REPORT_FLOOR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * What every lookup must do once per call: the local time (time, localtime_r), the
 * process identifier and the host name; then fopen the catalogue at path, read it with
 * fgets into a 512-byte buffer line by line until a line begins with key (the entry's
 * code text, such as ".1ffff."), copy the rest of that line without its newline into text
 * (textSize bytes) and fclose. Returns 0 when the entry was found, -1 otherwise.
 */
int FloorGet(const char *path, const char *key, char *text, size_t textSize);

/*
 * FloorGet, then one write() of the reportBytes bytes of report to standard output.
 * Returns 0 when the entry was found and the whole report written, -1 otherwise.
 */
int FloorSend(const char *path, const char *key, const char *report, size_t reportBytes);

#ifdef __cplusplus
}
#endif

#endif
