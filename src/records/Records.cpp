#include "records/Records.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "json/Json.hpp"

namespace launcher_stub {
namespace {

constexpr std::uint64_t kMaxAttemptCount = std::numeric_limits<std::uint32_t>::max();

constexpr std::string_view kErrorExpectedObject = "expected object";
constexpr std::string_view kErrorMissingSchemaVersion = "missing schemaVersion";
constexpr std::string_view kErrorInvalidSchemaVersion = "invalid schemaVersion";
constexpr std::string_view kErrorRecordTooLarge = "record too large";
constexpr std::string_view kErrorInvalidSlot = "invalid slot";
constexpr std::string_view kErrorInvalidToken = "invalid token";
constexpr std::string_view kErrorAttemptCountOverflow = "attemptCount overflow";
constexpr std::string_view kErrorInvalidRejected = "invalid rejected";
constexpr std::string_view kErrorInvalidRejectedSlot = "invalid rejected slot";
constexpr std::string_view kErrorInvalidRecovered = "invalid recovered";
constexpr std::string_view kErrorInvalidBootstrap = "invalid bootstrap";
constexpr std::string_view kErrorInvalidDeliveryId = "invalid deliveryId";

bool fail(std::string& error, std::string_view text) {
  error.assign(text);
  return false;
}

bool failField(std::string& error, const char* key) {
  error.assign("invalid ");
  error.append(key);
  return false;
}

bool lowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool tokenByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// "seed" or a slot id: the names an attempt record, a marker or a restart request may carry.
bool seedOrSlot(std::string_view text) { return text == kSeedSlot || validSlot(text); }

bool validDeliveryId(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!lowerHex(c)) return false;
  }
  return true;
}

// The document envelope: the text must be a JSON object whose "schemaVersion" is the unsigned
// decimal 1. "unsupported major" is kept for a well-formed version other than 1, because the
// runner treats exactly that failure apart from all others.
bool root(std::string_view text, json::Object& out, std::string& error) {
  json::Value value;
  if (!json::parse(text, value, error)) return false;
  auto* object = std::get_if<json::Object>(&value.data);
  if (object == nullptr) return fail(error, kErrorExpectedObject);
  out = std::move(*object);
  const json::Value* member = json::field(out, "schemaVersion");
  const json::Number* version =
      member == nullptr ? nullptr : std::get_if<json::Number>(&member->data);
  if (version == nullptr) return fail(error, kErrorMissingSchemaVersion);
  std::uint64_t major = 0;
  if (!unsignedDecimal(version->text, major)) return fail(error, kErrorInvalidSchemaVersion);
  if (major != 1) return fail(error, kErrorUnsupportedMajor);
  return true;
}

// Field readers: each checks only the kind of its member (and, for numbers, the unsigned
// decimal form) and fails with "invalid <key>".
bool number(const json::Object& object, const char* key, std::uint64_t& target,
            std::string& error) {
  const json::Value* member = json::field(object, key);
  const json::Number* value =
      member == nullptr ? nullptr : std::get_if<json::Number>(&member->data);
  if (value == nullptr || !unsignedDecimal(value->text, target)) return failField(error, key);
  return true;
}

bool string(const json::Object& object, const char* key, std::string& target, std::string& error) {
  const json::Value* member = json::field(object, key);
  const std::string* value = member == nullptr ? nullptr : std::get_if<std::string>(&member->data);
  if (value == nullptr) return failField(error, key);
  target = *value;
  return true;
}

// Missing and null both read as absent; a present empty string stays present.
bool optionalString(const json::Object& object, const char* key, std::optional<std::string>& target,
                    std::string& error) {
  const json::Value* member = json::field(object, key);
  if (member == nullptr || std::holds_alternative<std::nullptr_t>(member->data)) {
    target.reset();
    return true;
  }
  const auto* value = std::get_if<std::string>(&member->data);
  if (value == nullptr) return failField(error, key);
  target = *value;
  return true;
}

// "slot" ("seed" or a slot id) and then "nonce" (a token): how an attempt record, a marker and a
// restart request name the launch they belong to.
bool slotAndNonce(const json::Object& object, std::string& slot, std::string& nonce,
                  std::string& error) {
  if (!string(object, "slot", slot, error)) return false;
  if (!seedOrSlot(slot)) return fail(error, kErrorInvalidSlot);
  if (!string(object, "nonce", nonce, error)) return false;
  if (!validToken(nonce)) return fail(error, kErrorInvalidToken);
  return true;
}

// Writer helpers. Numbers go out as plain decimal digits, never with a sign, a fraction or
// leading zeros, so what is written always reads back under the unsigned decimal rule.
json::Value stringValue(std::string value) { return json::Value{std::move(value)}; }

json::Value numberValue(std::uint64_t value) {
  return json::Value{json::Number{std::to_string(value)}};
}

json::Object base() {
  json::Object object;
  object.emplace("schemaVersion", json::Value{json::Number{"1"}});
  return object;
}

// An absent value leaves its key out of the document; it is never written as null.
void put(json::Object& object, const char* key, const std::optional<std::string>& value) {
  if (value) object.insert_or_assign(key, stringValue(*value));
}

std::string output(json::Object object) { return json::serialize(json::Value{std::move(object)}); }

}  // namespace

bool validSlot(std::string_view text) {
  if (text.size() < 4 || text.size() > 64) return false;
  for (char c : text) {
    if (!lowerHex(c)) return false;
  }
  return true;
}

bool validToken(std::string_view text) {
  if (text.size() < 8 || text.size() > 64) return false;
  for (char c : text) {
    if (!tokenByte(c)) return false;
  }
  return true;
}

// Overflow is caught before each multiplication, so no digit string of any length can wrap
// around.
bool unsignedDecimal(std::string_view text, std::uint64_t& value) {
  if (text.empty()) return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (result > (kMax - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

bool parseBootstrap(std::string_view text, Bootstrap& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!string(object, "installId", out.installId, error)) return false;
  if (!string(object, "seedSlot", out.seedSlot, error)) return false;
  if (!optionalString(object, "stateRoot", out.stateRoot, error)) return false;
  if (out.installId.empty() || out.seedSlot != kSeedSlot) {
    return fail(error, kErrorInvalidBootstrap);
  }
  return true;
}

bool parseBoot(std::string_view text, Boot& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!number(object, "generation", out.generation, error)) return false;
  // Read in full width first, so that a value too large for 32 bits gets its own text.
  std::uint64_t attemptCount = 0;
  if (!number(object, "attemptCount", attemptCount, error)) return false;
  if (attemptCount > kMaxAttemptCount) return fail(error, kErrorAttemptCountOverflow);

  // All four optional members are read before any identifier rule is applied.
  if (!optionalString(object, "active", out.active, error)) return false;
  if (!optionalString(object, "previous", out.previous, error)) return false;
  if (!optionalString(object, "candidate", out.candidate, error)) return false;
  if (!optionalString(object, "lastRequestId", out.lastRequestId, error)) return false;
  for (const auto* slot : {&out.active, &out.previous, &out.candidate}) {
    if (*slot && !validSlot(**slot)) return fail(error, kErrorInvalidSlot);
  }
  if (out.lastRequestId && !validToken(*out.lastRequestId)) {
    return fail(error, kErrorInvalidToken);
  }

  // The length of "rejected" is checked before any of its elements is looked at.
  const json::Value* member = json::field(object, "rejected");
  const json::Array* rejected =
      member == nullptr ? nullptr : std::get_if<json::Array>(&member->data);
  if (rejected == nullptr || rejected->size() > kMaxRejected) {
    return fail(error, kErrorInvalidRejected);
  }
  out.attemptCount = static_cast<std::uint32_t>(attemptCount);

  const json::Value* recovered = json::field(object, "recovered");
  if (recovered == nullptr) {
    out.recovered = false;
  } else if (const bool* flag = std::get_if<bool>(&recovered->data)) {
    out.recovered = *flag;
  } else {
    return fail(error, kErrorInvalidRecovered);
  }

  out.rejected.clear();
  for (const json::Value& element : *rejected) {
    const auto* slot = std::get_if<std::string>(&element.data);
    if (slot == nullptr) return fail(error, kErrorInvalidRejectedSlot);
    if (!validSlot(*slot)) return fail(error, kErrorInvalidSlot);
    out.rejected.push_back(*slot);
  }
  return true;
}

bool parsePending(std::string_view text, Pending& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!string(object, "requestId", out.requestId, error)) return false;
  if (!validToken(out.requestId)) return fail(error, kErrorInvalidToken);
  if (!number(object, "expectedGeneration", out.expectedGeneration, error)) return false;
  if (!string(object, "candidate", out.candidate, error)) return false;
  if (!validSlot(out.candidate)) return fail(error, kErrorInvalidSlot);
  return true;
}

bool parseAttempt(std::string_view text, Attempt& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!slotAndNonce(object, out.slot, out.nonce, error)) return false;
  return number(object, "startedAt", out.startedAt, error);
}

bool parseMarker(std::string_view text, Marker& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!slotAndNonce(object, out.slot, out.nonce, error)) return false;
  return true;
}

bool parseRestart(std::string_view text, Restart& out, std::string& error) {
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!slotAndNonce(object, out.slot, out.nonce, error)) return false;
  if (!optionalString(object, "requestId", out.requestId, error)) return false;
  if (out.requestId && !validToken(*out.requestId)) return fail(error, kErrorInvalidToken);
  return true;
}

bool parseDelivery(std::string_view text, Delivery& out, std::string& error) {
  if (text.size() > json::kMaxText) return fail(error, kErrorRecordTooLarge);
  json::Object object;
  if (!root(text, object, error)) return false;
  if (!string(object, "deliveryId", out.deliveryId, error)) return false;
  if (!validDeliveryId(out.deliveryId)) return fail(error, kErrorInvalidDeliveryId);
  return true;
}

std::string serialize(const Boot& boot) {
  json::Object object = base();
  object.insert_or_assign("generation", numberValue(boot.generation));
  object.insert_or_assign("attemptCount", numberValue(boot.attemptCount));
  if (boot.recovered) object.insert_or_assign("recovered", json::Value{true});
  put(object, "active", boot.active);
  put(object, "previous", boot.previous);
  put(object, "candidate", boot.candidate);
  put(object, "lastRequestId", boot.lastRequestId);
  json::Array rejected;
  rejected.reserve(boot.rejected.size());
  for (const std::string& slot : boot.rejected) rejected.push_back(stringValue(slot));
  object.insert_or_assign("rejected", json::Value{std::move(rejected)});
  return output(std::move(object));
}

std::string serialize(const Attempt& attempt) {
  json::Object object = base();
  object.insert_or_assign("slot", stringValue(attempt.slot));
  object.insert_or_assign("nonce", stringValue(attempt.nonce));
  object.insert_or_assign("startedAt", numberValue(attempt.startedAt));
  return output(std::move(object));
}

std::string serialize(const Bootstrap& bootstrap) {
  json::Object object = base();
  object.insert_or_assign("installId", stringValue(bootstrap.installId));
  object.insert_or_assign("seedSlot", stringValue(bootstrap.seedSlot));
  put(object, "stateRoot", bootstrap.stateRoot);
  return output(std::move(object));
}

std::string serialize(const Pending& pending) {
  json::Object object = base();
  object.insert_or_assign("requestId", stringValue(pending.requestId));
  object.insert_or_assign("expectedGeneration", numberValue(pending.expectedGeneration));
  object.insert_or_assign("candidate", stringValue(pending.candidate));
  return output(std::move(object));
}

std::string serialize(const Marker& marker) {
  json::Object object = base();
  object.insert_or_assign("slot", stringValue(marker.slot));
  object.insert_or_assign("nonce", stringValue(marker.nonce));
  return output(std::move(object));
}

std::string serialize(const Restart& restart) {
  json::Object object = base();
  object.insert_or_assign("slot", stringValue(restart.slot));
  object.insert_or_assign("nonce", stringValue(restart.nonce));
  put(object, "requestId", restart.requestId);
  return output(std::move(object));
}

// The seed's record is parsed first; the slot's only when the seed's parsed and the slot's
// exists. Without a seed record every slot matches; a seed record that exists but does not
// parse (an unreadable file arrives as an empty text) matches no slot.
bool launchableDelivery(const std::optional<std::string>& seedRecord,
                        const std::optional<std::string>& slotRecord) {
  if (!seedRecord) return true;
  std::string error;
  Delivery seed;
  if (!parseDelivery(*seedRecord, seed, error)) return false;
  if (!slotRecord) return false;
  Delivery slot;
  if (!parseDelivery(*slotRecord, slot, error)) return false;
  return seed.deliveryId == slot.deliveryId;
}

}  // namespace launcher_stub
