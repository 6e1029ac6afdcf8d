// Feeds the same bytes to every document parser. Properties: nothing crashes; a failure names
// its reason and a success leaves the error string alone; and every record that parses writes a
// text that parses back into a record equal to it member by member.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "records/Records.hpp"

namespace launcher_stub {
namespace {

constexpr std::string_view kUntouched = "untouched";

void check(bool condition) {
  if (!condition) std::abort();
}

bool same(const Boot& a, const Boot& b) {
  return a.generation == b.generation && a.active == b.active && a.previous == b.previous &&
         a.candidate == b.candidate && a.lastRequestId == b.lastRequestId &&
         a.attemptCount == b.attemptCount && a.rejected == b.rejected && a.recovered == b.recovered;
}

bool same(const Attempt& a, const Attempt& b) {
  return a.slot == b.slot && a.nonce == b.nonce && a.startedAt == b.startedAt;
}

bool same(const Bootstrap& a, const Bootstrap& b) {
  return a.installId == b.installId && a.seedSlot == b.seedSlot && a.stateRoot == b.stateRoot;
}

bool same(const Pending& a, const Pending& b) {
  return a.requestId == b.requestId && a.expectedGeneration == b.expectedGeneration &&
         a.candidate == b.candidate;
}

bool same(const Marker& a, const Marker& b) { return a.slot == b.slot && a.nonce == b.nonce; }

bool same(const Restart& a, const Restart& b) {
  return a.slot == b.slot && a.nonce == b.nonce && a.requestId == b.requestId;
}

// Parses `text`; on success writes the record and reads the written text back.
template <typename Record>
bool roundTrip(std::string_view text, bool (*parse)(std::string_view, Record&, std::string&)) {
  Record record;
  std::string error(kUntouched);
  if (!parse(text, record, error)) {
    check(!error.empty() && error != kUntouched);
    return false;
  }
  check(error == kUntouched);
  const std::string written = serialize(record);
  Record back;
  check(parse(written, back, error));
  check(same(record, back));
  // The written form is canonical: writing the re-read record gives the same bytes.
  check(serialize(back) == written);
  return true;
}

}  // namespace
}  // namespace launcher_stub

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace launcher_stub;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  roundTrip(text, parseBoot);
  roundTrip(text, parseAttempt);
  roundTrip(text, parseBootstrap);
  roundTrip(text, parsePending);
  roundTrip(text, parseMarker);
  roundTrip(text, parseRestart);

  Delivery delivery;
  std::string error(kUntouched);
  const bool parsed = parseDelivery(text, delivery, error);
  check(parsed ? error == kUntouched : (!error.empty() && error != kUntouched));
  const std::string own(text);
  // A record matches itself exactly when it parses; without a seed record anything matches.
  check(launchableDelivery(own, own) == parsed);
  check(launchableDelivery(std::nullopt, own));
  return 0;
}
