// Feeds arbitrary bytes to the JSON reader. Every input must be handled without a crash or a
// sanitizer report; a text that reads (even with trailing data after a complete value) must
// serialize to a text that reads again and serializes to the same bytes, as long as that text
// stays within the reader's size bound (escapes can make it longer than the input). A failure
// other than "trailing data" leaves the value passed in untouched, and any input followed by
// spaces to one byte past the size bound fails with "record too large" before it is read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "json/Json.hpp"

namespace {

constexpr std::size_t kMaxText = 65536;

void check(bool condition) {
  if (!condition) std::abort();
}

// A value no input can leave behind: the reader never produces a Number with this text.
launcher_stub::json::Value sentinel() {
  return launcher_stub::json::Value{launcher_stub::json::Number{"untouched"}};
}

bool untouched(const launcher_stub::json::Value& value) {
  const auto* number = std::get_if<launcher_stub::json::Number>(&value.data);
  return number != nullptr && number->text == "untouched";
}

bool knownError(std::string_view error) {
  static constexpr std::string_view kErrors[] = {
      "record too large",      "trailing data",     "depth exceeded",
      "missing value",         "invalid number",    "object syntax",
      "duplicate key",         "array syntax",      "unterminated string",
      "control in string",     "bad escape",        "bad unicode escape",
      "missing low surrogate", "bad low surrogate", "unpaired low surrogate",
      "invalid utf8",          "string too long"};
  for (std::string_view known : kErrors) {
    if (error == known) return true;
  }
  return false;
}

void checkRoundTrip(const launcher_stub::json::Value& value) {
  const std::string once = launcher_stub::json::serialize(value);
  if (once.size() > kMaxText) return;
  launcher_stub::json::Value again;
  std::string error;
  check(launcher_stub::json::parse(once, again, error));
  check(launcher_stub::json::serialize(again) == once);
}

// The buffer keeps spaces past the input between calls: only the input's own bytes are written
// into it and blanked again afterwards, so the check costs the input's length, not the bound's.
void checkPastBound(std::string_view text) {
  static std::string padded(kMaxText + 1, ' ');
  if (text.size() > kMaxText) return;
  std::copy(text.begin(), text.end(), padded.begin());
  launcher_stub::json::Value value = sentinel();
  std::string error;
  check(!launcher_stub::json::parse(padded, value, error) && error == "record too large");
  check(untouched(value));
  std::fill_n(padded.begin(), text.size(), ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkPastBound(text);
  launcher_stub::json::Value value = sentinel();
  std::string error;
  if (launcher_stub::json::parse(text, value, error)) {
    check(error.empty());  // untouched on success
    check(!untouched(value));
    checkRoundTrip(value);
    return 0;
  }
  check(knownError(error));
  // After "trailing data" the leading value is complete and must round-trip as well; after any
  // other failure the value is the one passed in.
  if (error == "trailing data") {
    checkRoundTrip(value);
  } else {
    check(untouched(value));
  }
  return 0;
}
