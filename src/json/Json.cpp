#include "json/Json.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace launcher_stub::json {
namespace {

// The top-level value has depth 0; no value is read at this depth.
constexpr unsigned kMaxDepth = 9;
constexpr std::size_t kMaxString = 4096;

constexpr std::string_view kErrorRecordTooLarge = "record too large";
constexpr std::string_view kErrorTrailingData = "trailing data";
constexpr std::string_view kErrorDepthExceeded = "depth exceeded";
constexpr std::string_view kErrorMissingValue = "missing value";
constexpr std::string_view kErrorInvalidNumber = "invalid number";
constexpr std::string_view kErrorObjectSyntax = "object syntax";
constexpr std::string_view kErrorDuplicateKey = "duplicate key";
constexpr std::string_view kErrorArraySyntax = "array syntax";
constexpr std::string_view kErrorExpectedString = "expected string";
constexpr std::string_view kErrorUnterminatedString = "unterminated string";
constexpr std::string_view kErrorControlInString = "control in string";
constexpr std::string_view kErrorBadEscape = "bad escape";
constexpr std::string_view kErrorBadUnicodeEscape = "bad unicode escape";
constexpr std::string_view kErrorMissingLowSurrogate = "missing low surrogate";
constexpr std::string_view kErrorBadLowSurrogate = "bad low surrogate";
constexpr std::string_view kErrorUnpairedLowSurrogate = "unpaired low surrogate";
constexpr std::string_view kErrorInvalidUtf8 = "invalid utf8";
constexpr std::string_view kErrorStringTooLong = "string too long";

bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The value of one hexadecimal digit, or -1.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, unsigned codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence at `pos` (whose lead byte is 0x80 or above), or 0.
// Narrowing the second byte's range for the leads E0, ED, F0 and F4 is what excludes overlong
// forms, surrogates and code points above 0x10FFFF.
std::size_t utf8Length(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[pos + i]);
    if (c < low || c > high) return 0;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

// The reader's state for one call of parse(). Each reading function returns false at the first
// fault, with `error` set, and its caller returns at once, so the first fault is the one
// reported; only an object's key has its own error replaced. Every look at a byte first checks
// `pos < text.size()`: a string_view has no terminating NUL to stop at.
struct Parser {
  std::string_view text;
  std::size_t pos = 0;
  std::string_view error;

  bool fail(std::string_view message) {
    error = message;
    return false;
  }

  bool at(char c) const { return pos < text.size() && text[pos] == c; }

  void skipWhitespace() {
    while (pos < text.size() && isWhitespace(text[pos])) ++pos;
  }

  void skipDigits() {
    while (pos < text.size() && isDigit(text[pos])) ++pos;
  }

  // Steps over `word` when the rest of the text begins with it.
  bool literal(std::string_view word) {
    if (text.substr(pos, word.size()) != word) return false;
    pos += word.size();
    return true;
  }

  bool value(Value& out, unsigned depth);
  bool string(std::string& out);
  bool object(Value& out, unsigned depth);
  bool array(Value& out, unsigned depth);
  bool number(Value& out);
  bool escape(std::string& out);
  bool unicodeEscape(std::string& out);
  bool hexUnit(unsigned& unit);
};

bool Parser::value(Value& out, unsigned depth) {
  // Before anything else, so that it wins even where the text ends.
  if (depth >= kMaxDepth) return fail(kErrorDepthExceeded);
  skipWhitespace();
  if (pos >= text.size()) return fail(kErrorMissingValue);
  switch (text[pos]) {
    case '"': {
      std::string decoded;
      if (!string(decoded)) return false;
      out.data = std::move(decoded);
      return true;
    }
    case '{':
      return object(out, depth);
    case '[':
      return array(out, depth);
    case 't':
      if (literal("true")) {
        out.data = true;
        return true;
      }
      break;
    case 'f':
      if (literal("false")) {
        out.data = false;
        return true;
      }
      break;
    case 'n':
      if (literal("null")) {
        out.data = nullptr;
        return true;
      }
      break;
    default:
      break;
  }
  // Whatever begins no other value must be a number; a stray bracket or letter fails there.
  return number(out);
}

bool Parser::object(Value& out, unsigned depth) {
  ++pos;  // '{'
  Object members;
  skipWhitespace();
  if (at('}')) {
    ++pos;
    out.data = std::move(members);
    return true;
  }
  for (;;) {
    std::string key;
    if (!string(key)) return fail(kErrorObjectSyntax);
    skipWhitespace();
    if (!at(':')) return fail(kErrorObjectSyntax);
    ++pos;
    Value member;
    if (!value(member, depth + 1)) return false;
    // The duplicate is found only now, so a fault inside the member's value wins. Texts that
    // list keys in order (as serialize() writes them) insert at the end in constant time.
    const std::size_t before = members.size();
    members.try_emplace(members.end(), std::move(key), std::move(member));
    if (members.size() == before) return fail(kErrorDuplicateKey);
    skipWhitespace();
    if (at('}')) {
      ++pos;
      out.data = std::move(members);
      return true;
    }
    if (!at(',')) return fail(kErrorObjectSyntax);
    ++pos;
  }
}

bool Parser::array(Value& out, unsigned depth) {
  ++pos;  // '['
  Array elements;
  skipWhitespace();
  if (at(']')) {
    ++pos;
    out.data = std::move(elements);
    return true;
  }
  for (;;) {
    // Read in place; on a fault the whole local array is dropped.
    if (!value(elements.emplace_back(), depth + 1)) return false;
    skipWhitespace();
    if (at(']')) {
      ++pos;
      out.data = std::move(elements);
      return true;
    }
    if (!at(',')) return fail(kErrorArraySyntax);
    ++pos;
  }
}

bool Parser::number(Value& out) {
  const std::size_t start = pos;
  if (at('-')) ++pos;
  if (pos >= text.size()) return fail(kErrorInvalidNumber);
  if (text[pos] == '0') {
    ++pos;
  } else if (text[pos] >= '1' && text[pos] <= '9') {
    ++pos;
    skipDigits();
  } else {
    return fail(kErrorInvalidNumber);
  }
  if (at('.')) {
    ++pos;
    if (pos >= text.size() || !isDigit(text[pos])) return fail(kErrorInvalidNumber);
    skipDigits();
  }
  if (at('e') || at('E')) {
    ++pos;
    if (at('+') || at('-')) ++pos;
    if (pos >= text.size() || !isDigit(text[pos])) return fail(kErrorInvalidNumber);
    skipDigits();
  }
  // Whatever follows (a second leading digit, another '.') is the caller's to reject.
  out.data = Number{std::string(text.substr(start, pos - start))};
  return true;
}

bool Parser::string(std::string& out) {
  skipWhitespace();
  if (!at('"')) return fail(kErrorExpectedString);
  ++pos;
  // Raw bytes are copied in runs: `run` is the first byte not yet appended to `out`, and the
  // length limit counts those pending bytes too, checked after every complete character.
  std::size_t run = pos;
  for (;;) {
    while (pos < text.size()) {
      const auto c = static_cast<unsigned char>(text[pos]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
      ++pos;
    }
    // The one length check covers the escape or UTF-8 sequence appended in the last round as
    // well as the run of plain bytes after it; plain bytes cannot fail, so checking once here
    // reports the same first fault as checking after every character.
    if (out.size() + (pos - run) > kMaxString) return fail(kErrorStringTooLong);
    if (pos >= text.size()) return fail(kErrorUnterminatedString);
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '"') {
      out.append(text.substr(run, pos - run));
      ++pos;
      return true;
    }
    if (c < 0x20) return fail(kErrorControlInString);
    if (c == '\\') {
      out.append(text.substr(run, pos - run));
      if (!escape(out)) return false;
      run = pos;
    } else {
      const std::size_t length = utf8Length(text, pos);
      if (length == 0) return fail(kErrorInvalidUtf8);
      pos += length;
    }
  }
}

bool Parser::escape(std::string& out) {
  ++pos;  // '\'
  if (pos >= text.size()) return fail(kErrorBadEscape);
  const char c = text[pos++];
  switch (c) {
    case '"':
    case '\\':
    case '/':
      out.push_back(c);
      return true;
    case 'b':
      out.push_back('\b');
      return true;
    case 'f':
      out.push_back('\f');
      return true;
    case 'n':
      out.push_back('\n');
      return true;
    case 'r':
      out.push_back('\r');
      return true;
    case 't':
      out.push_back('\t');
      return true;
    case 'u':
      return unicodeEscape(out);
    default:
      return fail(kErrorBadEscape);
  }
}

// Four hex digits at `pos` into `unit`.
bool Parser::hexUnit(unsigned& unit) {
  if (text.size() - pos < 4) return false;
  unsigned result = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = hexValue(text[pos + i]);
    if (digit < 0) return false;
    result = result * 16 + static_cast<unsigned>(digit);
  }
  pos += 4;
  unit = result;
  return true;
}

bool Parser::unicodeEscape(std::string& out) {
  unsigned unit = 0;
  if (!hexUnit(unit)) return fail(kErrorBadUnicodeEscape);
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (text.size() - pos < 2 || text[pos] != '\\' || text[pos + 1] != 'u') {
      return fail(kErrorMissingLowSurrogate);
    }
    pos += 2;
    unsigned low = 0;
    if (!hexUnit(low)) return fail(kErrorBadUnicodeEscape);
    if (low < 0xDC00 || low > 0xDFFF) return fail(kErrorBadLowSurrogate);
    appendUtf8(out, 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00));
    return true;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(kErrorUnpairedLowSurrogate);
  appendUtf8(out, unit);
  return true;
}

void quote(std::string_view text, std::string& out) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  out.push_back('"');
  // Bytes that need no escape are appended in runs.
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.append(text.substr(run, i - run));
      out.push_back('\\');
      run = i;  // the byte itself starts the next run
    } else if (c < 0x20) {
      out.append(text.substr(run, i - run));
      out.append("\\u00");
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 0x0F]);
      run = i + 1;
    }
  }
  out.append(text.substr(run));
  out.push_back('"');
}

void emit(const Value& value, std::string& out);

struct Emitter {
  std::string& out;

  void operator()(std::nullptr_t) const { out.append("null"); }
  void operator()(bool b) const { out.append(b ? "true" : "false"); }
  void operator()(const Number& number) const { out.append(number.text); }
  void operator()(const std::string& text) const { quote(text, out); }
  void operator()(const Array& elements) const {
    out.push_back('[');
    bool first = true;
    for (const Value& element : elements) {
      if (!first) out.push_back(',');
      first = false;
      emit(element, out);
    }
    out.push_back(']');
  }
  void operator()(const Object& members) const {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, member] : members) {
      if (!first) out.push_back(',');
      first = false;
      quote(key, out);
      out.push_back(':');
      emit(member, out);
    }
    out.push_back('}');
  }
};

void emit(const Value& value, std::string& out) { std::visit(Emitter{out}, value.data); }

}  // namespace

bool parse(std::string_view text, Value& out, std::string& error) {
  if (text.size() > kMaxText) {
    error = kErrorRecordTooLarge;
    return false;
  }
  Parser parser{text, 0, {}};
  if (!parser.value(out, 0)) {
    error = parser.error;
    return false;
  }
  parser.skipWhitespace();
  if (parser.pos != text.size()) {
    // `out` keeps the complete leading value.
    error = kErrorTrailingData;
    return false;
  }
  return true;
}

const Value* field(const Object& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

std::string serialize(const Value& value) {
  std::string out;
  // Most documents fit, which saves the first few regrowths.
  out.reserve(256);
  emit(value, out);
  return out;
}

}  // namespace launcher_stub::json
