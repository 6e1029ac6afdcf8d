// The system's only JSON facility: a strict, bounded reader and a compact writer over one value
// type. The reader refuses texts over 65536 bytes, nesting of depth 9, strings that decode to
// more than 4096 bytes, duplicate keys, unpaired surrogate escapes and invalid UTF-8, each with
// one fixed error text. Pure code: no files, clocks or processes.
//
// Convention: on failure `error` is assigned the error text and `out` keeps what it held before
// the call (except after "trailing data", where it holds the leading value); on success `error`
// is left untouched.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace launcher_stub::json {

// The longest text the reader accepts, in bytes; the state documents share this bound.
inline constexpr std::size_t kMaxText = 65536;

struct Value;

// A number held as the text of its literal; readers of the documents convert it.
struct Number {
  std::string text;
};

using Array = std::vector<Value>;
// std::less<> allows look-up by std::string_view without building a string.
using Object = std::map<std::string, Value, std::less<>>;

struct Value {
  std::variant<std::nullptr_t, bool, Number, std::string, Array, Object> data;
};

// Reads one complete JSON text into `out`. False with one fixed error text in `error`.
[[nodiscard]] bool parse(std::string_view text, Value& out, std::string& error);

// The member of `object` whose key equals `key` byte for byte, or nullptr.
const Value* field(const Object& object, std::string_view key);

// Compact text: no whitespace, object members in ascending bytewise key order, no final newline.
std::string serialize(const Value& value);

}  // namespace launcher_stub::json
