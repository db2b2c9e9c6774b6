/*
 * SourceRules.h - how a catalogue source line is read, for the compiler and the checker.
 *
 * Header-only on purpose: TarvikCompile links nothing of the library, and TarvikCheck
 * --source must read every line exactly as the compiler does, so both include these
 * inline definitions instead of keeping two copies of the rules.
 *
 * A line is what one fgets into a 512-byte buffer gives (at most 511 bytes, its newline
 * included when it fitted), seen as a C string. A line that begins with ".CLASS" declares
 * a class; every other line may declare an error of the current class.
 */
#ifndef TARVIK_SOURCERULES_H
#define TARVIK_SOURCERULES_H

#include "TextScan.h"

#include <cstddef>
#include <cstring>
#include <string_view>

namespace tarvik::source
{

constexpr int kNameMax = 39;          /* class and error names */
constexpr int kTextMax = 255;         /* error texts */
constexpr int kMaxErrors = 65535;     /* errors per class: the low 16 bits of a code, 0 excluded */
constexpr std::size_t kLineMax = 511; /* bytes of one read */
constexpr char kClassKeyword[] = ".CLASS";
constexpr std::size_t kClassKeywordLen = sizeof kClassKeyword - 1;
constexpr char kHeaderSuffix[] = "_err.h";
constexpr char kCatalogueSuffix[] = "_err.tarvik";

/* The bytes an error name is made of. */
constexpr bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

/* The end of a line as read: its newline, or the end of the string. */
constexpr bool IsLineEnd(char c)
{
    return c == '\n' || c == '\0';
}

/* Whether line declares a class: ".CLASS", in upper case, in its first column. */
inline bool IsClassLine(const char *line)
{
    return std::strncmp(line, kClassKeyword, kClassKeywordLen) == 0;
}

/* What a class line holds, or where it goes wrong. */
struct ClassLine {
    enum Fault { None, MissingName, NameTooLong, MissingNumber } fault = None;
    std::string_view name;           /* as written (not upper-cased), at most kNameMax bytes */
    const char *number = nullptr;    /* the number field: its first byte */
    int code = 0;                    /* its decimal value, as atoi reads it, saturated */
    const char *numberEnd = nullptr; /* the first byte after the digits that were read */
};

/*
 * Reads a class line (one for which IsClassLine holds). The name runs from the first
 * non-blank byte behind the keyword to the next blank or the end of the line, so a
 * carriage return belongs to it; the number follows after blanks.
 */
inline ClassLine ParseClassLine(const char *line)
{
    ClassLine c;
    const char *s = SkipBlanks(line + kClassKeywordLen);
    if (IsLineEnd(*s)) {
        c.fault = ClassLine::MissingName;
        return c;
    }
    std::size_t n = 0;
    while (n < std::size_t(kNameMax) && !IsLineEnd(s[n]) && !IsBlank(s[n]))
        ++n;
    c.name = {s, n};
    s += n;
    if (!IsLineEnd(*s) && !IsBlank(*s)) {
        c.fault = ClassLine::NameTooLong;
        return c;
    }
    s = SkipBlanks(s);
    if (IsLineEnd(*s)) {
        c.fault = ClassLine::MissingNumber;
        return c;
    }
    c.number = s;
    c.code = ScanInt(s, 10, &c.numberEnd);
    return c;
}

/* What an error line holds. */
struct ErrorLine {
    std::string_view name;    /* the run of name bytes after the leading blanks, at most kNameMax */
    bool nameTooLong = false; /* a further name byte follows the kNameMax-th */
    const char *afterName = nullptr; /* the first byte behind the name */
    bool quoted = false;             /* a double quote follows the name and its blanks */
    std::string_view text;           /* the text, cut to kTextMax bytes */
    std::size_t textLength = 0;      /* the text's length before the cut */
};

/*
 * Reads any other line. An empty name means that the line declares nothing. The text
 * runs from an opening double quote, after the name and blanks, to the next double
 * quote or the end of the line; without an opening quote it is empty.
 */
inline ErrorLine ParseErrorLine(const char *line)
{
    ErrorLine e;
    const char *name = SkipBlanks(line);
    std::size_t n = 0;
    while (n < std::size_t(kNameMax) && IsNameChar(name[n]))
        ++n;
    e.name = {name, n};
    e.afterName = name + n;
    e.nameTooLong = n > 0 && IsNameChar(name[n]);
    const char *text = SkipBlanks(e.afterName);
    e.quoted = *text == '"';
    if (e.quoted) {
        ++text;
        e.textLength = std::strcspn(text, "\"\n");
    }
    /* never a null view, even when empty: the compiler copies it as it stands */
    e.text = {text, e.textLength < std::size_t(kTextMax) ? e.textLength : std::size_t(kTextMax)};
    return e;
}

} // namespace tarvik::source

#endif
