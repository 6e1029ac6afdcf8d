#include "json/Json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace launcher_stub::json {

// Structural equality and printing for the tests; the codec itself needs neither.
bool operator==(const Number& a, const Number& b) { return a.text == b.text; }
bool operator==(const Value& a, const Value& b) { return a.data == b.data; }
void PrintTo(const Value& value, std::ostream* os) { *os << serialize(value); }

}  // namespace launcher_stub::json

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using launcher_stub::json::Array;
using launcher_stub::json::field;
using launcher_stub::json::Number;
using launcher_stub::json::Object;
using launcher_stub::json::parse;
using launcher_stub::json::serialize;
using launcher_stub::json::Value;

// Parses from a heap buffer of exactly the text's size, with no terminating NUL, so that
// AddressSanitizer reports any read past the end of the view.
bool parseExact(std::string_view text, Value& out, std::string& error) {
  std::vector<char> buffer(text.begin(), text.end());
  return parse(std::string_view(buffer.data(), buffer.size()), out, error);
}

// A printable form of a test input for failure messages.
std::string show(std::string_view text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shown.size() > 80) return shown + "... (" + std::to_string(text.size()) + " bytes)";
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    } else {
      shown.push_back(static_cast<char>(c));
    }
  }
  return shown;
}

Value num(std::string text) {
  Value v;
  v.data = Number{std::move(text)};
  return v;
}

Value str(std::string text) {
  Value v;
  v.data = std::move(text);
  return v;
}

Value boolean(bool b) {
  Value v;
  v.data = b;
  return v;
}

Value arr(std::vector<Value> elements) {
  Value v;
  v.data = Array(std::move(elements));
  return v;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): moved from, through the binding
Value obj(std::vector<std::pair<std::string, Value>> members) {
  Object object;
  for (auto& [key, member] : members) object.insert_or_assign(key, std::move(member));
  Value v;
  v.data = std::move(object);
  return v;
}

// A value that no test input produces, to show that a failed parse leaves `out` alone.
Value sentinel() { return obj({{"sentinel", arr({num("42")})}}); }

// The text of a string token holding `body`, closed by a quotation mark unless `close` is false.
std::string token(std::string_view body, bool close = true) {
  return "\""s + std::string(body) + (close ? "\"" : "");
}

// Expects `text` to parse into a string holding exactly `decoded`.
void expectString(std::string_view text, std::string_view decoded) {
  Value out;
  std::string error;
  ASSERT_TRUE(parseExact(text, out, error)) << show(text) << " -> " << error;
  const auto* s = std::get_if<std::string>(&out.data);
  ASSERT_NE(s, nullptr) << show(text);
  EXPECT_EQ(*s, decoded) << show(text) << " decoded to " << show(*s);
}

// Expects `text` to fail with exactly `expected`, leaving `out` as it was.
void expectError(std::string_view text, std::string_view expected) {
  Value out = sentinel();
  std::string error = "stale";
  EXPECT_FALSE(parseExact(text, out, error)) << show(text);
  EXPECT_EQ(error, expected) << show(text);
  EXPECT_EQ(out, sentinel()) << show(text);
}

// ---------------------------------------------------------------------------------------------
// Reader: accepted texts, checked through the writer.

TEST(JsonParse, ReadsValues) {
  static const struct {
    std::string_view input;
    std::string_view compact;
  } cases[] = {
      {"null", "null"},
      {"true", "true"},
      {"false", "false"},
      {" \t\n\r7 \t\n\r", "7"},
      {"0", "0"},
      {"-0", "-0"},
      {"1.5E+3", "1.5E+3"},
      {"-12.250e-07", "-12.250e-07"},
      {"1E5", "1E5"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"\"\"", "\"\""},
      {"[ ]", "[]"},
      {"{ }", "{}"},
      {"[1,\"a\",{\"k\":[]},null,false]", "[1,\"a\",{\"k\":[]},null,false]"},
      {" { \"b\" : 1 , \"a\" : [ true , null ] } ", "{\"a\":[true,null],\"b\":1}"},
      {"{\"B\":1,\"ab\":2,\"a\":3}", "{\"B\":1,\"a\":3,\"ab\":2}"},
      // Keys compare as unsigned bytes: C3 A9 sorts after z.
      {"{\"\\u00e9\":1,\"z\":2}", "{\"z\":2,\"\xC3\xA9\":1}"},
      {"{\"\":0}", "{\"\":0}"},
      {"{\"\\u0000\":1,\"\":2}", "{\"\":2,\"\\u0000\":1}"},
      {"{\"a\":{\"a\":{}}}", "{\"a\":{\"a\":{}}}"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\\"\\\\/\\u0008\\u000c\\u000a\\u000d\\u0009\""},
      {"\"\\u00E9\\u20ac\"", "\"\xC3\xA9\xE2\x82\xAC\""},
      {"\"\xC3\xA9\x7F\"", "\"\xC3\xA9\x7F\""},
      {"[\"\\uD83D\\uDE00\"]", "[\"\xF0\x9F\x98\x80\"]"},
      {"[[[[[[[[[]]]]]]]]]", "[[[[[[[[[]]]]]]]]]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    Value out = sentinel();
    std::string error = "stale";
    ASSERT_TRUE(parseExact(c.input, out, error)) << error;
    EXPECT_EQ(error, "stale");  // untouched on success
    const std::string text = serialize(out);
    EXPECT_EQ(text, c.compact);
    // The writer's text reads back as the same value.
    Value again;
    ASSERT_TRUE(parseExact(text, again, error)) << error;
    EXPECT_EQ(again, out);
  }
}

TEST(JsonParse, NumbersKeepTheirText) {
  for (std::string_view text : {"0", "-0", "1.5E+3", "1.50e-3", "10", "-9.0E0", "0.000"}) {
    SCOPED_TRACE(text);
    Value out;
    std::string error;
    ASSERT_TRUE(parseExact(text, out, error)) << error;
    const auto* number = std::get_if<Number>(&out.data);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->text, text);
  }
}

TEST(JsonParse, ReplacesWhateverOutHeld) {
  Value out = sentinel();
  std::string error;
  ASSERT_TRUE(parseExact("\"x\"", out, error));
  EXPECT_EQ(out, str("x"));
  ASSERT_TRUE(parseExact("[]", out, error));
  EXPECT_EQ(out, arr({}));
}

// ---------------------------------------------------------------------------------------------
// Reader: rejected texts, exact error text, `out` untouched.

TEST(JsonParse, RejectsWithExactError) {
  static const struct {
    std::string_view input;
    std::string_view error;
  } cases[] = {
      // Where a value must begin.
      {"", "missing value"},
      {" \t\r\n", "missing value"},
      {"True", "invalid number"},
      {"nul", "invalid number"},
      {"NULL", "invalid number"},
      {"Infinity", "invalid number"},
      {"NaN", "invalid number"},
      {"\xEF\xBB\xBFnull", "invalid number"},
      {"\v1", "invalid number"},
      {"\f1", "invalid number"},
      {"]", "invalid number"},
      {"}", "invalid number"},
      {",", "invalid number"},
      {":", "invalid number"},
      {"x", "invalid number"},
      {"\x01", "invalid number"},
      {"\0"sv, "invalid number"},
      {"'a'", "invalid number"},
      // Numbers.
      {"-", "invalid number"},
      {"--1", "invalid number"},
      {"- 1", "invalid number"},
      {"+1", "invalid number"},
      {".5", "invalid number"},
      {"-.5", "invalid number"},
      {"1.", "invalid number"},
      {"1.e5", "invalid number"},
      {"1.x", "invalid number"},
      {"1e", "invalid number"},
      {"1E", "invalid number"},
      {"1e+", "invalid number"},
      {"1e-", "invalid number"},
      {"1e+x", "invalid number"},
      {"1ex", "invalid number"},
      {"-a", "invalid number"},
      // Arrays.
      {"[", "missing value"},
      {"[ ", "missing value"},
      {"[1,", "missing value"},
      {"[1,]", "invalid number"},
      {"[,1]", "invalid number"},
      {"[1,,2]", "invalid number"},
      {"[1", "array syntax"},
      {"[1 ", "array syntax"},
      {"[1 2]", "array syntax"},
      {"[1:2]", "array syntax"},
      {"[1}", "array syntax"},
      {"[truex]", "array syntax"},
      {"[01]", "array syntax"},
      {"[1.5.3]", "array syntax"},
      {"[[]", "array syntax"},
      // Objects.
      {"{", "object syntax"},
      {"{ ", "object syntax"},
      {"{\"a\"", "object syntax"},
      {"{\"a\" ", "object syntax"},
      {"{\"a\" 1}", "object syntax"},
      {"{\"a\":", "missing value"},
      {"{\"a\":1", "object syntax"},
      {"{\"a\":1 ", "object syntax"},
      {"{\"a\":1,", "object syntax"},
      {"{\"a\":1,}", "object syntax"},
      {"{\"a\":1 \"b\":2}", "object syntax"},
      {"{\"a\":1]", "object syntax"},
      {"{\"a\":01}", "object syntax"},
      {"{\"a\":}", "invalid number"},
      {"{1:2}", "object syntax"},
      {"{,}", "object syntax"},
      {"{'a':1}", "object syntax"},
      {"{a:1}", "object syntax"},
      {"{null:1}", "object syntax"},
      // Any fault of a key is "object syntax".
      {"{\"a", "object syntax"},
      {"{\"\x01\":1}", "object syntax"},
      {"{\"\\q\":1}", "object syntax"},
      {"{\"\\u12\":1}", "object syntax"},
      {"{\"\\uD800\":1}", "object syntax"},
      {"{\"\\uDC00\":1}", "object syntax"},
      {"{\"\\uD800\\u0041\":1}", "object syntax"},
      {"{\"\xC0\x80\":1}", "object syntax"},
      {"{\"\\", "object syntax"},
      // Duplicate keys, found only after the member's value.
      {"{\"a\":1,\"a\":2}", "duplicate key"},
      {"{\"a\":1,\"a\":1}", "duplicate key"},
      {"{\"a\":1,\"\\u0061\":2}", "duplicate key"},
      {"{\"\":1,\"\":2}", "duplicate key"},
      {"{\"b\":1,\"a\":2,\"b\":3}", "duplicate key"},
      {"[{\"x\":{\"b\":1,\"b\":2}}]", "duplicate key"},
      {"{\"a\":1,\"a\":2,", "duplicate key"},
      {"{\"a\":1,\"a\":}", "invalid number"},
      {"{\"a\":1,\"a\":[1,}", "invalid number"},
      {"{\"a\":1,\"a\":\"\\uDC00\"}", "unpaired low surrogate"},
      {"{\"a\":1,\"a\":", "missing value"},
      {"{\"a\":1,\"a\"", "object syntax"},
      // Strings.
      {"\"", "unterminated string"},
      {"\"abc", "unterminated string"},
      {"[\"abc]", "unterminated string"},
      {"\"a\x1F\"", "control in string"},
      {"\"\0\""sv, "control in string"},
      {"\"\t\"", "control in string"},
      {"\"\n\"", "control in string"},
      {"\"\\", "bad escape"},
      {"\"\\U0041\"", "bad escape"},
      {"\"\\N\"", "bad escape"},
      {"\"\\x41\"", "bad escape"},
      {"\"\\0\"", "bad escape"},
      {"\"\\a\"", "bad escape"},
      {"\"\\\xC3\xA9\"", "bad escape"},
      {"\"\\u", "bad unicode escape"},
      {"\"\\u12", "bad unicode escape"},
      {"\"\\u12\"", "bad unicode escape"},
      {"\"\\u123g\"", "bad unicode escape"},
      {"\"\\u-123\"", "bad unicode escape"},
      {"\"\\uD800\"", "missing low surrogate"},
      {"\"\\uD800", "missing low surrogate"},
      {"\"\\uD800\\", "missing low surrogate"},
      {"\"\\uD800\\n\"", "missing low surrogate"},
      {"\"\\uD800x\\uDC00\"", "missing low surrogate"},
      {"\"\\uD800\\U DC00\"", "missing low surrogate"},
      {"\"\\uD800\\u", "bad unicode escape"},
      {"\"\\uD800\\uDC0", "bad unicode escape"},
      {"\"\\uD800\\uDC0\"", "bad unicode escape"},
      {"\"\\uD800\\u0041\"", "bad low surrogate"},
      {"\"\\uD800\\uD800\"", "bad low surrogate"},
      {"\"\\uDBFF\\uE000\"", "bad low surrogate"},
      {"\"\\uDC00\"", "unpaired low surrogate"},
      {"\"\\uDFFF\\uD800\"", "unpaired low surrogate"},
      {"\"\xC3", "invalid utf8"},
      {"\"\xC3\"", "invalid utf8"},
      {"\"\xC0\x80\"", "invalid utf8"},
      {"\"\xE0\x80\x80\"", "invalid utf8"},
      {"\"\xED\xA0\x80\"", "invalid utf8"},
      {"\"\xF4\x90\x80\x80\"", "invalid utf8"},
      {"\"\xF5\x80\x80\x80\"", "invalid utf8"},
      {"\"\x80\"", "invalid utf8"},
      {"\"\xFF\"", "invalid utf8"},
      {"\"\xC3\xA9\xA9\"", "invalid utf8"},
      // The first fault from the left wins.
      {"[\"\x01\", x]", "control in string"},
      {"[1 \"\\q\"]", "array syntax"},
      {"{\"a\":[1,\"\\uDC00\"],\"a\":2}", "unpaired low surrogate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    expectError(c.input, c.error);
  }
}

TEST(JsonParse, TrailingDataKeepsTheLeadingValue) {
  static const struct {
    std::string_view input;
    std::string_view leading;
  } cases[] = {
      {"nullx", "null"},
      {"truefalse", "true"},
      {"01", "0"},
      {"-01", "-0"},
      {"0x10", "0"},
      {"1.5.3", "1.5"},
      {"1e5e", "1e5"},
      {"1 2", "1"},
      {"[] []", "[]"},
      {"{}}", "{}"},
      {"[1]]", "[1]"},
      {"\"a\"\"b\"", "\"a\""},
      {"null\0"sv, "null"},
      {"{\"a\":1} x", "{\"a\":1}"},
      // Trailing data is judged only after a complete value, whatever the bytes after it.
      {"1 \"\\uDC00", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    Value out = sentinel();
    std::string error = "stale";
    EXPECT_FALSE(parseExact(c.input, out, error));
    EXPECT_EQ(error, "trailing data");
    EXPECT_EQ(serialize(out), c.leading);
  }
}

// ---------------------------------------------------------------------------------------------
// Reader: limits at and just past each bound.

TEST(JsonParseLimits, TextLength) {
  Value out;
  std::string error;
  ASSERT_TRUE(parseExact(std::string(65535, ' ') + "1", out, error)) << error;
  EXPECT_EQ(out, num("1"));

  // A text of exactly 65536 bytes is read; one more byte is refused before anything is read.
  std::string array = "[";
  while (array.size() < 65536 - 3) array += "1,";
  array += "1]";
  array.insert(1, 65536 - array.size(), ' ');
  ASSERT_EQ(array.size(), 65536u);
  ASSERT_TRUE(parseExact(array, out, error)) << error;

  expectError(std::string(65536, ' '), "missing value");
  expectError(std::string(65537, ' '), "record too large");
  expectError(std::string(65536, ' ') + "1", "record too large");
  expectError("x" + std::string(65536, ' '), "record too large");
  expectError(" " + array, "record too large");
}

std::string nestedArrays(int depth, std::string_view inner, bool close = true) {
  std::string text(static_cast<std::size_t>(depth), '[');
  text += inner;
  if (close) text += std::string(static_cast<std::size_t>(depth), ']');
  return text;
}

std::string nestedObjects(int depth, std::string_view inner) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += inner;
  text += std::string(static_cast<std::size_t>(depth), '}');
  return text;
}

TEST(JsonParseLimits, Depth) {
  static const struct {
    std::string input;
    std::string_view error;  // empty: reads
  } cases[] = {
      // Containers exist at depths 0 to 8; one at depth 8 can only be empty.
      {nestedArrays(9, ""), ""},
      {nestedArrays(9, " "), ""},
      {nestedArrays(8, "1"), ""},
      {nestedArrays(8, "{}"), ""},
      {nestedArrays(10, ""), "depth exceeded"},
      {nestedArrays(9, "1"), "depth exceeded"},
      {nestedArrays(9, "\"\""), "depth exceeded"},
      // Decided before whitespace and the end of the text are looked at.
      {nestedArrays(9, "", false), "depth exceeded"},
      {nestedArrays(9, " ", false), "depth exceeded"},
      {nestedArrays(9, "x", false), "depth exceeded"},
      {nestedArrays(8, "", false), "missing value"},
      {nestedObjects(8, "{}"), ""},
      {nestedObjects(8, "{ }"), ""},
      {nestedObjects(8, "{\"b\":1}"), "depth exceeded"},
      {nestedObjects(8, "{\"b\":"), "depth exceeded"},
      // At depth 8 the key is read before any value, so its fault comes first.
      {nestedObjects(8, "{1:2}"), "object syntax"},
      {nestedObjects(8, "{\"b\" 1}"), "object syntax"},
      {"[{\"a\":[{\"a\":[{\"a\":[{\"a\":[]}]}]}]}]", ""},
      {"[{\"a\":[{\"a\":[{\"a\":[{\"a\":[0]}]}]}]}]", "depth exceeded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    if (c.error.empty()) {
      Value out;
      std::string error;
      EXPECT_TRUE(parseExact(c.input, out, error)) << error;
    } else {
      expectError(c.input, c.error);
    }
  }
}

TEST(JsonParseLimits, StringLength) {
  const std::string a4092(4092, 'a');
  const std::string a4093(4093, 'a');
  const std::string a4094(4094, 'a');
  const std::string a4095(4095, 'a');
  const std::string a4096(4096, 'a');
  const std::string a4097(4097, 'a');
  std::string newlines4096;
  for (int i = 0; i < 4096; ++i) newlines4096 += "\\n";
  static const std::string_view kGrin = "\xF0\x9F\x98\x80";

  const struct {
    std::string input;
    std::string_view error;  // empty: reads
    std::size_t decodedSize;
  } cases[] = {
      {token(a4096), "", 4096},
      {token(a4097), "string too long", 0},
      {token(a4097, false), "string too long", 0},
      {token(a4096, false), "unterminated string", 0},
      // Every byte of a multi-byte character counts, whether raw or escaped.
      {token(a4092 + std::string(kGrin)), "", 4096},
      {token(a4093 + std::string(kGrin)), "string too long", 0},
      {token(a4094 + std::string(kGrin)), "string too long", 0},
      {token(a4094 + "\xC3\xA9"), "", 4096},
      {token(a4095 + "\xC3\xA9"), "string too long", 0},
      {token(a4094 + "\\u00e9"), "", 4096},
      {token(a4095 + "\\u00e9"), "string too long", 0},
      {token(a4092 + "\\uD83D\\uDE00"), "", 4096},
      {token(a4093 + "\\uD83D\\uDE00"), "string too long", 0},
      {token(newlines4096), "", 4096},
      {token(newlines4096 + "\\n"), "string too long", 0},
      {token(newlines4096 + "a", false), "string too long", 0},
      // A fault before the 4097th byte is appended wins; one after it does not.
      {token(a4096 + "\\q"), "bad escape", 0},
      {token(a4096 + "\\", false), "bad escape", 0},
      {token(a4096 + "\\u12", false), "bad unicode escape", 0},
      {token(a4096 + "\xC0"), "invalid utf8", 0},
      {token(a4096 + "\x01"), "control in string", 0},
      {token(a4097 + "\x01"), "string too long", 0},
      {token(a4097 + "\\q"), "string too long", 0},
      // Keys have the same bound, and their fault reads as "object syntax".
      {"{" + token(a4096) + ":1}", "", 0},
      {"{" + token(a4097) + ":1}", "object syntax", 0},
      {"[" + token(a4096) + "," + token(a4096) + "]", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    if (c.error.empty()) {
      Value out;
      std::string error;
      ASSERT_TRUE(parseExact(c.input, out, error)) << error;
      if (const auto* s = std::get_if<std::string>(&out.data)) {
        EXPECT_EQ(s->size(), c.decodedSize);
      }
    } else {
      expectError(c.input, c.error);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reader: raw UTF-8, generated from the byte ranges of RFC 3629.

// Decodes `bytes` as exactly one UTF-8 sequence by the RFC's definition in code points: the
// lead's bit pattern gives the length, every later byte is 10xxxxxx, and the code point is
// neither overlong, nor a surrogate, nor above 0x10FFFF. Returns -1 when ill-formed.
long decodeOne(std::string_view bytes) {
  if (bytes.empty()) return -1;
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 0;
  long codePoint = 0;
  long minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return -1;
  }
  if (bytes.size() != length) return -1;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if ((c & 0xC0) != 0x80) return -1;
    codePoint = (codePoint << 6) | (c & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF) return -1;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return -1;
  return codePoint;
}

std::size_t sequenceLength(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Checks one candidate sequence between quotation marks against the RFC's verdict.
void expectRawVerdict(const std::string& bytes) {
  SCOPED_TRACE(show(bytes));
  if (decodeOne(bytes) >= 0) {
    expectString(token(bytes), bytes);
  } else {
    expectError(token(bytes), "invalid utf8");
  }
}

TEST(JsonUtf8, IllFormedLeadBytes) {
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    if (lead >= 0xC2 && lead <= 0xF4) continue;
    SCOPED_TRACE(lead);
    expectError(token(std::string(1, static_cast<char>(lead))), "invalid utf8");
    expectError(token(std::string(1, static_cast<char>(lead)) + "\x80\x80\x80"), "invalid utf8");
  }
}

TEST(JsonUtf8, EveryByteAfterEachLead) {
  // Every lead from 0x80 to 0xFF with every second byte, later bytes a valid continuation.
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(lead));
    for (int second = 0; second <= 0xFF; ++second) {
      std::string bytes = {static_cast<char>(lead), static_cast<char>(second)};
      bytes.resize(std::max<std::size_t>(length, 2), '\x80');
      expectRawVerdict(bytes);
    }
  }
  // The third and fourth bytes of three- and four-byte sequences, after a second byte that is
  // valid for every lead of that length.
  for (int lead = 0xE0; lead <= 0xF4; ++lead) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(lead));
    const char second = lead == 0xE0 ? '\xA0' : lead == 0xF0 ? '\x90' : '\x80';
    for (std::size_t position = 2; position < length; ++position) {
      for (int later = 0; later <= 0xFF; ++later) {
        std::string bytes(length, '\x80');
        bytes[0] = static_cast<char>(lead);
        bytes[1] = second;
        bytes[position] = static_cast<char>(later);
        expectRawVerdict(bytes);
      }
    }
  }
}

TEST(JsonUtf8, BoundaryCodePoints) {
  static const struct {
    std::string_view bytes;
    bool valid;
  } cases[] = {
      {"\xC2\x80", true},         {"\xDF\xBF", true},          {"\xC1\xBF", false},
      {"\xE0\xA0\x80", true},     {"\xE0\x9F\xBF", false},     {"\xED\x9F\xBF", true},
      {"\xED\xA0\x80", false},    {"\xED\xBF\xBF", false},     {"\xEE\x80\x80", true},
      {"\xEF\xBF\xBF", true},     {"\xF0\x90\x80\x80", true},  {"\xF0\x8F\xBF\xBF", false},
      {"\xF4\x8F\xBF\xBF", true}, {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},
      {"\xC3\xA9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.bytes));
    ASSERT_EQ(decodeOne(c.bytes) >= 0, c.valid);  // the oracle agrees with the RFC's table
    if (c.valid) {
      expectString(token(c.bytes), c.bytes);
    } else {
      expectError(token(c.bytes), "invalid utf8");
    }
  }
}

TEST(JsonUtf8, CutOffSequences) {
  for (std::string_view whole : {"\xC3\xA9"sv, "\xE0\xA0\x80"sv, "\xEF\xBF\xBF"sv,
                                 "\xF0\x90\x80\x80"sv, "\xF4\x8F\xBF\xBF"sv}) {
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      const std::string prefix(whole.substr(0, cut));
      SCOPED_TRACE(show(prefix));
      expectError(token(prefix, false), "invalid utf8");  // at the end of the text
      expectError(token(prefix), "invalid utf8");         // before the closing quote
      expectError(token(prefix + "a"), "invalid utf8");
    }
  }
}

TEST(JsonUtf8, RawBytesBelow0x80) {
  for (int c = 0; c < 0x80; ++c) {
    SCOPED_TRACE(c);
    const std::string byte(1, static_cast<char>(c));
    if (c < 0x20) {
      expectError(token(byte), "control in string");
    } else if (c != '"' && c != '\\') {
      expectString(token(byte), byte);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reader: escapes.

TEST(JsonEscape, EveryByteAfterABackslash) {
  for (int c = 0; c <= 0xFF; ++c) {
    SCOPED_TRACE(c);
    const std::string text = "\"\\"s + static_cast<char>(c) + "\"";
    switch (c) {
      case '"':
      case '\\':
      case '/':
        expectString(text, std::string(1, static_cast<char>(c)));
        break;
      case 'b':
        expectString(text, "\b");
        break;
      case 'f':
        expectString(text, "\f");
        break;
      case 'n':
        expectString(text, "\n");
        break;
      case 'r':
        expectString(text, "\r");
        break;
      case 't':
        expectString(text, "\t");
        break;
      case 'u':
        expectError(text, "bad unicode escape");
        break;
      default:
        expectError(text, "bad escape");
        break;
    }
  }
}

std::string hex4(unsigned unit, bool upper = false) {
  char text[8];
  std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", unit);
  return text;
}

TEST(JsonEscape, KnownCodeUnits) {
  static const struct {
    std::string_view input;
    std::string_view decoded;
  } cases[] = {
      {"\"\\u0000\"", "\0"sv},
      {"\"a\\u0000b\"", "a\0b"sv},
      {"\"\\u0041\"", "A"},
      {"\"\\u007f\"", "\x7F"},
      {"\"\\u0080\"", "\xC2\x80"},
      {"\"\\u00e9\"", "\xC3\xA9"},
      {"\"\\u00E9\"", "\xC3\xA9"},
      {"\"\\u07FF\"", "\xDF\xBF"},
      {"\"\\u0800\"", "\xE0\xA0\x80"},
      {"\"\\uD7FF\"", "\xED\x9F\xBF"},
      {"\"\\uE000\"", "\xEE\x80\x80"},
      {"\"\\uFFFF\"", "\xEF\xBF\xBF"},
      {"\"\\uD800\\uDC00\"", "\xF0\x90\x80\x80"},
      {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
      {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
      {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
      {"\"\\uD834\\uDD1E\\u0041\"", "\xF0\x9D\x84\x9E\x41"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.input));
    expectString(c.input, c.decoded);
  }
}

TEST(JsonEscape, EveryCodeUnitAgreesWithRawUtf8) {
  for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
    const std::string text = "\"\\u" + hex4(unit, unit % 2 == 1) + "\"";
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      expectError(text, "missing low surrogate");
      continue;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      expectError(text, "unpaired low surrogate");
      continue;
    }
    Value out;
    std::string error;
    ASSERT_TRUE(parseExact(text, out, error)) << show(text) << " -> " << error;
    const std::string& bytes = std::get<std::string>(out.data);
    if (unit < 0x80) {
      ASSERT_EQ(bytes, std::string(1, static_cast<char>(unit))) << show(text);
      continue;
    }
    // The escape's bytes are one well-formed sequence of that code point, and the raw path
    // accepts them unchanged.
    ASSERT_EQ(decodeOne(bytes), static_cast<long>(unit)) << show(text);
    Value raw;
    ASSERT_TRUE(parseExact(token(bytes), raw, error)) << show(text) << " -> " << error;
    ASSERT_EQ(raw, out) << show(text);
  }
}

TEST(JsonEscape, SurrogatePairs) {
  std::vector<unsigned> lows = {0xDC00, 0xDC01, 0xDFFE, 0xDFFF};
  for (unsigned low = 0xDC00; low <= 0xDFFF; low += 0x3B) lows.push_back(low);
  for (unsigned high = 0xD800; high <= 0xDBFF; ++high) {
    for (unsigned low : lows) {
      const std::string text = "\"\\u" + hex4(high) + "\\u" + hex4(low, true) + "\"";
      Value out;
      std::string error;
      ASSERT_TRUE(parseExact(text, out, error)) << show(text) << " -> " << error;
      const std::string& bytes = std::get<std::string>(out.data);
      const long expected =
          0x10000 + (static_cast<long>(high) - 0xD800) * 0x400 + (static_cast<long>(low) - 0xDC00);
      ASSERT_EQ(decodeOne(bytes), expected) << show(text);
    }
    // What follows a high surrogate decides its error.
    expectError("\"\\u" + hex4(high) + "\\u0041\"", "bad low surrogate");
    expectError("\"\\u" + hex4(high) + "\\uE000\"", "bad low surrogate");
    expectError("\"\\u" + hex4(high) + "\\uD800\"", "bad low surrogate");
    expectError("\"\\u" + hex4(high) + "\\t\"", "missing low surrogate");
    expectError("\"\\u" + hex4(high) + "\\u12\"", "bad unicode escape");
  }
}

TEST(JsonEscape, NonHexDigitInEachPlace) {
  for (int c = 0; c <= 0xFF; ++c) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (hex) continue;
    for (std::size_t place = 0; place < 4; ++place) {
      std::string digits = "0041";
      digits[place] = static_cast<char>(c);
      SCOPED_TRACE(show(digits));
      expectError("\"\\u" + digits + "\"", "bad unicode escape");
      std::string low = "DC00";
      low[place] = static_cast<char>(c);
      expectError("\"\\uD800\\u" + low + "\"", "bad unicode escape");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Objects and field().

TEST(JsonField, FindsMembersByExactKey) {
  Value out;
  std::string error;
  ASSERT_TRUE(parseExact("{\"a\":1,\"\":2,\"ab\":[true],\"\\u0000\":null}", out, error)) << error;
  const Object& object = std::get<Object>(out.data);

  const Value* a = field(object, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(*a, num("1"));
  EXPECT_EQ(a, &object.at("a"));  // points into the object

  const Value* empty = field(object, "");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(*empty, num("2"));

  const Value* nul = field(object, "\0"sv);
  ASSERT_NE(nul, nullptr);
  EXPECT_EQ(*nul, Value{});

  ASSERT_NE(field(object, "ab"), nullptr);
  EXPECT_EQ(*field(object, "ab"), arr({boolean(true)}));

  EXPECT_EQ(field(object, "A"), nullptr);
  EXPECT_EQ(field(object, "a "), nullptr);
  EXPECT_EQ(field(object, "b"), nullptr);
  EXPECT_EQ(field(Object{}, "a"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Writer.

TEST(JsonSerialize, WritesCompactText) {
  const std::string allBytesAbove0x7F = [] {
    std::string bytes;
    for (int c = 0x7F; c <= 0xFF; ++c) bytes.push_back(static_cast<char>(c));
    return bytes;
  }();
  const struct {
    const char* name;
    Value value;
    std::string expected;
  } cases[] = {
      {"null", Value{}, "null"},
      {"true", boolean(true), "true"},
      {"false", boolean(false), "false"},
      {"number text kept", num("1.50E+3"), "1.50E+3"},
      {"zero", num("0"), "0"},
      {"number never tested", num("not a number"), "not a number"},
      {"empty number writes nothing", num(""), ""},
      {"empty string", str(""), "\"\""},
      {"quote backslash solidus", str("\"\\/"), "\"\\\"\\\\/\""},
      {"line feed and tab", str("\n\t"), "\"\\u000a\\u0009\""},
      {"NUL", str("a\0b"s), "\"a\\u0000b\""},
      {"0x1F", str("\x1F"), "\"\\u001f\""},
      {"bytes from 0x7F copied", str(allBytesAbove0x7F), "\"" + allBytesAbove0x7F + "\""},
      {"UTF-8 unescaped", str("\xC3\xA9"), "\"\xC3\xA9\""},
      {"empty array", arr({}), "[]"},
      {"empty object", obj({}), "{}"},
      {"array", arr({num("1"), Value{}, str("x"), arr({})}), "[1,null,\"x\",[]]"},
      {"members sorted", obj({{"b", num("1")}, {"a", arr({boolean(true), Value{}})}}),
       "{\"a\":[true,null],\"b\":1}"},
      {"bytewise key order", obj({{"ab", num("3")}, {"a", num("2")}, {"B", num("1")}}),
       "{\"B\":1,\"a\":2,\"ab\":3}"},
      {"keys compare unsigned", obj({{"\xC3\xA9", num("1")}, {"z", num("2")}, {"", num("0")}}),
       "{\"\":0,\"z\":2,\"\xC3\xA9\":1}"},
      {"keys escaped", obj({{"a\"\n", num("1")}}), "{\"a\\\"\\u000a\":1}"},
      {"nested", obj({{"k", obj({{"l", arr({obj({})})}})}}), "{\"k\":{\"l\":[{}]}}"},
      {"long string", str(std::string(5000, 'x')), "\"" + std::string(5000, 'x') + "\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serialize(c.value), c.expected);
  }
}

TEST(JsonSerialize, EveryControlByteTakesTheSixByteForm) {
  for (int c = 0; c < 0x20; ++c) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "\"\\u%04x\"", c);
    EXPECT_EQ(serialize(str(std::string(1, static_cast<char>(c)))), expected) << c;
  }
}

TEST(JsonSerialize, NestingBeyondTheReadersLimit) {
  Value v;
  for (int i = 0; i < 20; ++i) v = arr({v});
  EXPECT_EQ(serialize(v), std::string(20, '[') + "null" + std::string(20, ']'));
  Value out;
  std::string error;
  EXPECT_FALSE(parseExact(serialize(v), out, error));
  EXPECT_EQ(error, "depth exceeded");
}

// ---------------------------------------------------------------------------------------------
// Round trip of generated values: parse(serialize(v)) == v.

class ValueGenerator {
 public:
  explicit ValueGenerator(std::uint32_t seed) : random_(seed) {}

  // A value within the reader's limits, rooted at `depth`.
  Value make(unsigned depth) {
    const unsigned kind = pick(6);
    switch (kind) {
      case 0:
        return Value{};
      case 1:
        return boolean(pick(2) == 1);
      case 2:
        return num(kNumbers[pick(std::size(kNumbers))]);
      case 3:
        return str(text());
      case 4: {
        Array elements;
        const unsigned count = depth >= 8 ? 0 : pick(4);
        for (unsigned i = 0; i < count; ++i) elements.push_back(make(depth + 1));
        Value v;
        v.data = std::move(elements);
        return v;
      }
      default: {
        Object members;
        const unsigned count = depth >= 8 ? 0 : pick(4);
        for (unsigned i = 0; i < count; ++i) members.insert_or_assign(text(), make(depth + 1));
        Value v;
        v.data = std::move(members);
        return v;
      }
    }
  }

 private:
  static constexpr const char* kNumbers[] = {"0",   "-0",     "7",    "-12",
                                             "1.5", "1.5E+3", "2e-7", "18446744073709551615"};
  static constexpr std::string_view kPieces[] = {"a",
                                                 "Z",
                                                 " ",
                                                 "\"",
                                                 "\\",
                                                 "/",
                                                 "\n",
                                                 "\t",
                                                 "\x01",
                                                 "\x1F",
                                                 "\x7F",
                                                 "\0"sv,
                                                 "\xC3\xA9",
                                                 "\xE2\x82\xAC",
                                                 "\xEF\xBF\xBF",
                                                 "\xF0\x9F\x98\x80",
                                                 "\xF4\x8F\xBF\xBF"};

  unsigned pick(std::size_t n) {
    return static_cast<unsigned>(std::uniform_int_distribution<std::size_t>(0, n - 1)(random_));
  }

  std::string text() {
    std::string s;
    const unsigned count = pick(6);
    for (unsigned i = 0; i < count; ++i) s += kPieces[pick(std::size(kPieces))];
    return s;
  }

  std::mt19937 random_;
};

TEST(JsonRoundTrip, GeneratedValues) {
  ValueGenerator generator(20240611);
  for (int i = 0; i < 2000; ++i) {
    const Value v = generator.make(0);
    const std::string text = serialize(v);
    SCOPED_TRACE(show(text));
    Value again;
    std::string error;
    ASSERT_TRUE(parseExact(text, again, error)) << error;
    EXPECT_EQ(again, v);
    EXPECT_EQ(serialize(again), text);
  }
}

}  // namespace
