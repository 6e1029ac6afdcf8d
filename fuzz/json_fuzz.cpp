// Feeds arbitrary bytes to the JSON reader. Every input must be handled without a crash or a
// sanitizer report; a text that reads (even with trailing data after a complete value) must
// serialize to a text that reads again and serializes to the same bytes, as long as that text
// stays within the reader's size bound (escapes can make it longer than the input).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/Json.hpp"

namespace {

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
  if (once.size() > 65536) return;
  launcher_stub::json::Value again;
  std::string error;
  if (!launcher_stub::json::parse(once, again, error)) std::abort();
  if (launcher_stub::json::serialize(again) != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  launcher_stub::json::Value value;
  std::string error;
  if (launcher_stub::json::parse(text, value, error)) {
    if (!error.empty()) std::abort();  // untouched on success
    checkRoundTrip(value);
    return 0;
  }
  if (!knownError(error)) std::abort();
  // After "trailing data" the leading value is complete and must round-trip as well.
  if (error == "trailing data") checkRoundTrip(value);
  return 0;
}
