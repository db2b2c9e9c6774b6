/*
 * TextBuffer - heap texts and the escapes of the structured outputs.
 */
#include "TextBuffer.h"
#include "TextScan.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvik
{

TextBuffer::TextBuffer(std::size_t capacity)
    : text_(static_cast<char *>(std::calloc(1, capacity))), capacity_(capacity)
{
}

TextBuffer::~TextBuffer()
{
    std::free(text_);
}

void TextBuffer::Append(std::string_view text)
{
    if (!text_ || text.empty())
        return;
    const std::size_t n = std::min(text.size(), capacity_ - 1 - length_);
    memcpy(text_ + length_, text.data(), n);
    length_ += n;
    text_[length_] = '\0';
}

void TextBuffer::Format(const char *format, ...)
{
    if (!text_)
        return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text_ + length_, capacity_ - length_, format, args);
    va_end(args);
    if (n > 0)
        length_ = std::min(length_ + std::size_t(n), capacity_ - 1);
}

namespace
{

constexpr char kReplacement[] = "\xEF\xBF\xBD"; /* U+FFFD in UTF-8 */

/* One step through a text: a whole UTF-8 character, or an invalid subpart of bytes. */
struct Utf8Step {
    std::size_t length;
    bool valid;
};

/*
 * The step at the start of text (not empty), after the well-formed sequences of the
 * Unicode standard (table 3-7): the second byte's range depends on the first, so that
 * overlong forms, surrogates and code points above U+10FFFF are invalid. An invalid
 * step is the longest start of a well-formed sequence (at least one byte).
 */
Utf8Step NextStep(std::string_view text)
{
    const unsigned char first = text[0];
    if (first < 0x80)
        return {1, true};
    std::size_t trailing;
    unsigned char low = 0x80, high = 0xBF; /* range of the second byte */
    if (first >= 0xC2 && first <= 0xDF) {
        trailing = 1;
    } else if (first >= 0xE0 && first <= 0xEF) {
        trailing = 2;
        low = first == 0xE0 ? 0xA0 : 0x80;
        high = first == 0xED ? 0x9F : 0xBF;
    } else if (first >= 0xF0 && first <= 0xF4) {
        trailing = 3;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false};
    }
    for (std::size_t i = 1; i <= trailing; ++i) {
        if (i >= text.size())
            return {i, false};
        const unsigned char c = text[i];
        if (c < low || c > high)
            return {i, false};
        low = 0x80;
        high = 0xBF;
    }
    return {trailing + 1, true};
}

/*
 * Walks text step by step: each invalid subpart appends U+FFFD, each character goes to
 * encode(out, character).
 */
template <typename Encode>
void AppendUtf8(TextBuffer &out, std::string_view text, Encode encode)
{
    while (!text.empty()) {
        const Utf8Step step = NextStep(text);
        if (step.valid)
            encode(out, Head(text, step.length));
        else
            out.Append(kReplacement);
        text.remove_prefix(step.length);
    }
}

/* The code point of one valid UTF-8 character. */
unsigned CodePoint(std::string_view c)
{
    const unsigned char first = c[0];
    if (c.size() == 1)
        return first;
    unsigned cp = first & (0x7F >> c.size());
    for (std::size_t i = 1; i < c.size(); ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(c[i]) & 0x3F);
    return cp;
}

void EncodeJsonChar(TextBuffer &out, std::string_view c)
{
    const unsigned cp = CodePoint(c);
    switch (cp) {
    case '"':
        return out.Append("\\\"");
    case '\\':
        return out.Append("\\\\");
    case '\b':
        return out.Append("\\b");
    case '\f':
        return out.Append("\\f");
    case '\n':
        return out.Append("\\n");
    case '\r':
        return out.Append("\\r");
    case '\t':
        return out.Append("\\t");
    default:
        break;
    }
    /* Control characters, and the separators that some line readers split at. */
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029)
        out.Format("\\u%04x", cp);
    else
        out.Append(c);
}

void EncodeParamChar(TextBuffer &out, std::string_view c)
{
    if (c == "\"" || c == "\\" || c == "]")
        out.Append('\\');
    out.Append(c);
}

} // namespace

void AppendJsonString(TextBuffer &out, std::string_view text)
{
    out.Append('"');
    AppendUtf8(out, text, EncodeJsonChar);
    out.Append('"');
}

void AppendValidUtf8(TextBuffer &out, std::string_view text)
{
    AppendUtf8(out, text, [](TextBuffer &to, std::string_view c) { to.Append(c); });
}

void AppendParamValue(TextBuffer &out, std::string_view text)
{
    AppendUtf8(out, text, EncodeParamChar);
}

void AppendHeaderToken(TextBuffer &out, std::string_view text, std::size_t maxLength)
{
    if (text.empty())
        return out.Append('-');
    for (const char c : Head(text, maxLength)) {
        const bool plain = c > ' ' && c < 0x7F && c != ':' && c != '[' && c != ']';
        out.Append(plain ? c : '_');
    }
}

} // namespace tarvik
