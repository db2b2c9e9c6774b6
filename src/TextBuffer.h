/*
 * TextBuffer.h - texts assembled on the heap, and the encodings that the structured
 * outputs need: JSON strings, RFC 5424 parameter values, syslog header tokens
 * (internal to the library).
 */
#ifndef TARVIK_TEXTBUFFER_H
#define TARVIK_TEXTBUFFER_H

#include <cstddef>
#include <string_view>

namespace tarvik
{

/*
 * A text of at most capacity - 1 bytes in a zero-filled heap block of its own: appends
 * never write past the end (what does not fit is cut) and the text is always
 * terminated. ok() is false when the block could not be allocated; appends then do
 * nothing.
 */
class TextBuffer
{
  public:
    explicit TextBuffer(std::size_t capacity);
    ~TextBuffer();
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;

    bool ok() const { return text_ != nullptr; }
    const char *data() const { return text_; }
    std::size_t size() const { return length_; }
    std::string_view view() const { return {text_, length_}; }

    void Append(std::string_view text);
    void Append(char c) { Append(std::string_view(&c, 1)); }
    __attribute__((format(printf, 2, 3))) void Format(const char *format, ...);

  private:
    char *text_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

/*
 * The most bytes that the encodings below write for one byte of text: a control byte
 * becomes a six-byte JSON escape.
 */
constexpr std::size_t kMaxEscapeGrowth = 6;

/*
 * Appends text as a JSON string, quotes included. Quotes, backslashes, control bytes
 * (C0, DEL and C1) and the line and paragraph separators are escaped; every sequence of
 * bytes that is not valid UTF-8 becomes U+FFFD, one per maximal invalid subpart as the
 * Unicode standard recommends. Every other character is copied as it is.
 */
void AppendJsonString(TextBuffer &out, std::string_view text);

/* Appends text with every invalid UTF-8 subpart turned into U+FFFD, as above. */
void AppendValidUtf8(TextBuffer &out, std::string_view text);

/*
 * Appends text as an RFC 5424 PARAM-VALUE, without the quotes: '"', '\' and ']' get a
 * backslash before them and invalid UTF-8 becomes U+FFFD as above; control bytes are
 * kept, for the framing of the syslog protocol does not depend on them.
 */
void AppendParamValue(TextBuffer &out, std::string_view text);

/*
 * Appends text as a syslog header token of at most maxLength bytes: a byte that is not
 * printable ASCII, or is ':', '[' or ']' (which end a tag), becomes '_'; an empty text
 * becomes "-", the syslog protocol's empty value.
 */
void AppendHeaderToken(TextBuffer &out, std::string_view text, std::size_t maxLength);

} // namespace tarvik

#endif
