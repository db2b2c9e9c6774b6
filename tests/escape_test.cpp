// The encodings of the structured outputs: JSON strings, RFC 5424 parameter values and
// syslog header tokens, with invalid UTF-8 replaced as the Unicode standard recommends
// (U+FFFD once per maximal subpart of an ill-formed sequence).
#include "TextBuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using tarvik::TextBuffer;

constexpr char R[] = "\xEF\xBF\xBD"; // U+FFFD

template <typename Encode>
std::string Encoded(Encode encode, const std::string &text)
{
    TextBuffer out(8 * text.size() + 16);
    encode(out, text);
    return std::string(out.view());
}

// Sequences and what a valid-UTF-8 output makes of them; the first is the example of the
// Unicode standard for the replacement of maximal subparts.
const struct {
    std::string in, out;
} kUtf8Cases[] = {
    {"a\xF1\x80\x80\xE1\x80\xC2"
     "b\x80"
     "c\x80\xBF"
     "d",
     std::string("a") + R + R + R + "b" + R + "c" + R + R + "d"},
    {"\xC0\xAF", std::string(R) + R},                 // overlong '/': C0 starts nothing
    {"\xE0\x80\xAF", std::string(R) + R + R},         // overlong: E0 needs A0..BF next
    {"\xED\xA0\x80", std::string(R) + R + R},         // a surrogate
    {"\xF4\x90\x80\x80", std::string(R) + R + R + R}, // above U+10FFFF
    {"\xF5\xFF\xFE", std::string(R) + R + R},
    {"x\xF0\x9F\x98", std::string("x") + R}, // cut at the end of the text
    {"\xE6\x97"
     "a",
     std::string(R) + "a"},
    {"\xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC \xC3\xA9",
     "\xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC \xC3\xA9"},
    {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF",
     "\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF"}, // edges
};

TEST(EscapeTest, InvalidUtf8BecomesReplacementCharacters)
{
    for (const auto &c : kUtf8Cases) {
        EXPECT_EQ(Encoded(tarvik::AppendValidUtf8, c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(Encoded(tarvik::AppendJsonString, c.in), "\"" + c.out + "\"");
        EXPECT_EQ(Encoded(tarvik::AppendParamValue, c.in), c.out);
    }
}

TEST(EscapeTest, JsonStrings)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"", "\"\""},
        {"say \"hi\" \\ /", "\"say \\\"hi\\\" \\\\ /\""},
        {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        {"\xC2\x85|\xC2\x9F|\xC2\xA0", "\"\\u0085|\\u009f|\xC2\xA0\""}, // C1 controls, then NBSP
        {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAA", "\"\\u2028\\u2029\xE2\x80\xAA\""},
        {"[x] {y} a=b", "\"[x] {y} a=b\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Encoded(tarvik::AppendJsonString, c.in), c.out) << testing::PrintToString(c.in);
}

TEST(EscapeTest, ParamValuesAndHeaderTokens)
{
    EXPECT_EQ(Encoded(tarvik::AppendParamValue, "a\"b\\c]d[e=f\ng\x01"),
              "a\\\"b\\\\c\\]d[e=f\ng\x01");
    const struct {
        std::string in;
        std::size_t max;
        std::string out;
    } tokens[] = {
        {"orders", 48, "orders"},
        {"", 48, "-"},
        {"my app:x[1]", 48, "my_app_x_1_"},
        {"caf\xC3\xA9\t\x7f", 48, "caf____"},
        {"abcdef", 4, "abcd"},
    };
    for (const auto &t : tokens) {
        TextBuffer out(64);
        tarvik::AppendHeaderToken(out, t.in, t.max);
        EXPECT_EQ(out.view(), t.out) << testing::PrintToString(t.in);
    }
}

TEST(EscapeTest, BufferCutsWhatDoesNotFitAndStaysTerminated)
{
    TextBuffer out(8);
    out.Append("abc");
    out.Format("%d-%s", 42, "xyz");
    EXPECT_EQ(std::string(out.data()), "abc42-x");
    out.Append("more");
    out.Append('!');
    EXPECT_EQ(out.size(), 7u);
    EXPECT_EQ(std::string(out.data()), "abc42-x");
}

} // namespace
