/*
 * errprobe - sends one error report from values typed at the terminal, to try a
 * configuration and a compiled catalogue by hand.
 *
 * It asks for the application name (and initialises the library with it, so the
 * configuration's diagnostics appear right after that answer), then for the code and
 * type in decimal, the source text and the extra information, and sends the report.
 * Other arguments than --help and --version are ignored.
 */
#include "tarvik.h"

#include "TextScan.h"
#include "ToolVersion.h"

#include <cstdio>
#include <cstring>

namespace
{

/*
 * Prints prompt without a newline and reads the answer line into answer, newline
 * removed. An answer longer than 79 bytes is cut and the rest of its line is discarded,
 * whatever bytes it holds (a NUL byte ends the answer's text, not its line); at end of
 * input, answer keeps what it held.
 */
void Ask(const char *prompt, char (&answer)[80])
{
    fputs(prompt, stdout);
    fflush(stdout);
    int c = getchar();
    if (c == EOF)
        return;
    std::size_t n = 0;
    for (; c != EOF && c != '\n'; c = getchar())
        if (n < sizeof answer - 1)
            answer[n++] = char(c);
    answer[n] = '\0';
}

void Help()
{
    printf("\nUsage : errprobe\n");
    printf("\n        demande le nom d'application, le code et le type d'erreur (en decimal),\n");
    printf("        les champs \"source\" et \"extra info\", puis envoie le message d'erreur\n");
    printf("\n        errprobe --help     affiche ce texte\n");
    printf("        errprobe --version  affiche la version\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        Help();
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        tarvik::PrintVersion("errprobe");
        return 0;
    }

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
