// Feeds arbitrary bytes to every document parser and pairs of delivery records to the delivery
// comparison.
//
// The whole input is one document text for every parser, and so is the input after its first
// byte written between {"schemaVersion":1, and }. Properties: nothing crashes; a failure names
// its reason and a success leaves the error string alone; and every record that parses writes a
// text that parses back into a record equal to it member by member.
//
// The same input also describes the seed's and a slot's delivery record. The first byte says
// which of the two records exist, whether each text is only the id to put into a minimal record
// (so that a single dictionary word makes a valid one), and which text, if any, is padded with
// spaces to the size bound or one byte past it. The remaining bytes are split at their first NUL,
// which no valid document can hold, into the seed's text (before it) and the slot's text (after
// it). Without a NUL the slot's text is the seed's reversed, so that a single id already reaches
// both a match (a palindrome) and a mismatch (any other id). Properties: padding to the bound
// changes no outcome and one byte more fails with "record too large"; a parsed delivery id has
// the documented form; and the comparison gives the answer that its decision table gives for the
// two records, each parsed on its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "records/Records.hpp"

namespace launcher_stub {
namespace {

constexpr std::string_view kUntouched = "untouched";
constexpr std::size_t kMaxRecordBytes = 65536;

// The first byte. Bits 0 and 1: the seed's and the slot's record exist. Bit 2: each text is a
// delivery id, written into {"schemaVersion":1,"deliveryId":"<text>"}. Bits 3 to 7: the padding,
// of which only four of the 32 values ask for any, since padding to the bound costs a parse of
// the whole bound.
constexpr std::uint8_t kSeedPresent = 0x01;
constexpr std::uint8_t kSlotPresent = 0x02;
constexpr std::uint8_t kIdsOnly = 0x04;
enum class Padding : std::uint8_t {
  kNone,
  kSeedToBound,
  kSeedPastBound,
  kSlotToBound,
  kSlotPastBound
};

Padding padding(std::uint8_t first) {
  const unsigned selector = first >> 3;
  return selector <= 4 ? static_cast<Padding>(selector) : Padding::kNone;
}

std::string recordText(std::string_view part, bool idOnly) {
  if (!idOnly) return std::string(part);
  std::string text = R"({"schemaVersion":1,"deliveryId":")";
  text.append(part);
  text.append(R"("})");
  return text;
}

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

// The delivery id of `text`, or nothing when it does not parse; checks the error convention.
std::optional<std::string> deliveryId(std::string_view text) {
  Delivery delivery;
  std::string error(kUntouched);
  if (!parseDelivery(text, delivery, error)) {
    check(!error.empty() && error != kUntouched);
    return std::nullopt;
  }
  check(error == kUntouched);
  return delivery.deliveryId;
}

bool lowerHexId(std::string_view id) {
  if (id.size() != 64) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Every parser on one text, and the comparison of its delivery record with itself.
void checkDocument(std::string_view text) {
  roundTrip(text, parseBoot);
  roundTrip(text, parseAttempt);
  roundTrip(text, parseBootstrap);
  roundTrip(text, parsePending);
  roundTrip(text, parseMarker);
  roundTrip(text, parseRestart);

  const bool parsed = deliveryId(text).has_value();
  const std::string own(text);
  // A record matches itself exactly when it parses; without a seed record anything matches.
  check(launchableDelivery(own, own) == parsed);
  check(launchableDelivery(std::nullopt, own));
}

// One side of the comparison: the text handed over (nothing for a missing file) and, when the
// text parses, its delivery id.
struct Side {
  std::optional<std::string> text;
  std::optional<std::string> id;
};

Side side(bool present, const std::string& raw, bool pad, bool pastBound) {
  Side result;
  if (!present) return result;
  result.text = raw;
  result.id = deliveryId(raw);
  if (result.id) check(lowerHexId(*result.id));
  const std::size_t padded = kMaxRecordBytes + (pastBound ? 1 : 0);
  if (!pad || raw.size() >= padded) return result;
  // Trailing whitespace neither completes nor spoils a JSON text, so only the size bound can
  // change the outcome.
  result.text->resize(padded, ' ');
  if (pastBound) {
    Delivery delivery;
    std::string error;
    check(!parseDelivery(*result.text, delivery, error) && error == "record too large");
    result.id.reset();
  } else {
    check(deliveryId(*result.text) == result.id);
  }
  return result;
}

// Aborts, naming the row of the decision table, when the comparison's answer is not the row's.
void expectRow(bool launchable, bool expected, const char* row) {
  if (launchable == expected) return;
  static_cast<void>(std::fprintf(stderr, "launchableDelivery answered %s for the row \"%s\"\n",
                                 launchable ? "true" : "false", row));
  std::abort();
}

// The decision table, applied to both records parsed up front. Each row is a branch of its own,
// so that the fuzzer sees every row as new coverage and keeps an input for it.
void checkComparison(const Side& seed, const Side& slot) {
  const bool launchable = launchableDelivery(seed.text, slot.text);
  if (!seed.text) return expectRow(launchable, true, "no seed record");
  if (!seed.id) return expectRow(launchable, false, "seed record does not parse");
  if (!slot.text) return expectRow(launchable, false, "no slot record");
  if (!slot.id) return expectRow(launchable, false, "slot record does not parse");
  if (*seed.id != *slot.id) return expectRow(launchable, false, "different ids");
  expectRow(launchable, true, "same id");
}

}  // namespace
}  // namespace launcher_stub

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace launcher_stub;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkDocument(text);
  if (text.empty()) return 0;
  const std::string_view rest = text.substr(1);
  // The same checks on the rest as the members of a document that already carries its version,
  // so that a single dictionary word makes a whole boot document or pending request.
  checkDocument(R"({"schemaVersion":1,)" + std::string(rest) + "}");

  const auto first = static_cast<std::uint8_t>(text.front());
  const std::size_t split = rest.find('\0');
  const std::string_view seedPart = rest.substr(0, split);
  const std::string slotPart = split == std::string_view::npos
                                   ? std::string(seedPart.rbegin(), seedPart.rend())
                                   : std::string(rest.substr(split + 1));
  const bool idsOnly = (first & kIdsOnly) != 0;
  const Padding pad = padding(first);
  const Side seed = side((first & kSeedPresent) != 0, recordText(seedPart, idsOnly),
                         pad == Padding::kSeedToBound || pad == Padding::kSeedPastBound,
                         pad == Padding::kSeedPastBound);
  const Side slot = side((first & kSlotPresent) != 0, recordText(slotPart, idsOnly),
                         pad == Padding::kSlotToBound || pad == Padding::kSlotPastBound,
                         pad == Padding::kSlotPastBound);
  checkComparison(seed, slot);
  return 0;
}
