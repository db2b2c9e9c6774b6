/*
 * errprobe - sends one error report from values typed at the terminal, to try a
 * configuration and a compiled catalogue by hand.
 *
 * It asks for the application name (and initialises the library with it, so the
 * configuration's diagnostics appear right after that answer), then for the code and
 * type in decimal, the source text and the extra information, and sends the report.
 */
#include "tarvik.h"

#include "TextScan.h"

#include <cstdio>
#include <cstring>

namespace
{

/*
 * Prints prompt without a newline and reads the answer line into answer, newline
 * removed. An answer longer than 79 characters is cut and the rest of its line is
 * discarded; at end of input, answer keeps what it held.
 */
void Ask(const char *prompt, char (&answer)[80])
{
    fputs(prompt, stdout);
    fflush(stdout);
    char line[sizeof answer];
    if (!fgets(line, sizeof line, stdin))
        return;
    std::size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') {
        line[--n] = '\0';
    } else if (n == sizeof line - 1) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    memcpy(answer, line, n + 1);
}

} // namespace

int main()
{
    char Source[80] = "", ExtraInfo[80] = "", Rep[80] = "";

    Ask("Entrez le nom d'application : ", Rep);
    TarvikInit(Rep, 0);
    Ask("Entrez le code d'erreur : ", Rep);
    const int ErrCode = tarvik::ScanInt(Rep, 10);
    Ask("Entrez le type d'erreur : ", Rep);
    const int ErrType = tarvik::ScanInt(Rep, 10);
    Ask("Entrez le champ \"source\" : ", Source);
    Ask("Entrez le champ \"extra info\" : ", ExtraInfo);

    ErrSend(ErrCode, ErrType, Source, ExtraInfo);
    return 0;
}
