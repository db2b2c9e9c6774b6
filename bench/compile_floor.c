/*
 * compile_floor - the least work a catalogue compile can take: reads a source line by line
 * with fgets and writes two files of given sizes through stdio, a line's worth at a time.
 * Timing it next to TarvikCompile on the same source shows what the compiler adds.
 *
 * Usage: compile_floor SOURCE HEADER_BYTES CATALOGUE_BYTES
 * Writes floor_err.h and floor_err.tarvik in the current directory.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Writes up to len bytes of line to out, within *left bytes still owed to it. */
static void Put(FILE *out, const char *line, size_t len, long *left)
{
    if ((long)len > *left)
        len = (size_t)*left;
    fwrite(line, 1, len, out);
    *left -= (long)len;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s SOURCE HEADER_BYTES CATALOGUE_BYTES\n", argv[0]);
        return 2;
    }
    long headerLeft = atol(argv[2]);
    long catalogueLeft = atol(argv[3]);
    FILE *src = fopen(argv[1], "r");
    FILE *header = fopen("floor_err.h", "w");
    FILE *catalogue = fopen("floor_err.tarvik", "w");
    if (!src || !header || !catalogue) {
        perror("compile_floor");
        return 1;
    }
    char line[512] = "";
    while (fgets(line, sizeof line, src)) {
        const size_t len = strlen(line);
        Put(catalogue, line, len, &catalogueLeft);
        Put(header, line, len, &headerLeft);
    }
    /* Whatever the lines did not cover, so that both files reach their sizes. */
    while (headerLeft > 0 || catalogueLeft > 0) {
        Put(catalogue, line, sizeof line - 1, &catalogueLeft);
        Put(header, line, sizeof line - 1, &headerLeft);
    }
    fclose(src);
    return (fclose(header) | fclose(catalogue)) != 0;
}
