// The seven versioned state documents as plain records, the identifier rules, and the parsers
// and serializers that turn document text into records and back. Pure code over the JSON codec:
// no files, clocks or processes; the runner reads and writes the texts.
//
// Parser convention: each parser returns false and assigns one fixed error text to `error` at
// the first failed check (any earlier content of `error` is replaced); the record passed in may
// then be partly assigned and must be discarded. On success `error` is left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher_stub {

// File and directory names of the state root, the install and the attempt directories.
inline constexpr std::string_view kBoot = "boot-v1.json";
inline constexpr std::string_view kPreviousBoot = "boot-v1.previous.json";
inline constexpr std::string_view kPending = "pending-v1.json";
inline constexpr std::string_view kRestart = "restart-v1.json";
inline constexpr std::string_view kReady = "ready-v1";
inline constexpr std::string_view kHealthy = "healthy-v1";
inline constexpr std::string_view kEntry = "entry-v1";
inline constexpr std::string_view kComplete = "COMPLETE-v1";
inline constexpr std::string_view kDelivery = "delivery-v1.json";
inline constexpr std::string_view kAttempts = "attempts";
inline constexpr std::string_view kSlots = "slots";
inline constexpr std::string_view kStateLock = "state.lock";
inline constexpr std::string_view kLaunchLock = "launch.lock";

// The name under which the seed runs and which its records carry; not a slot id.
inline constexpr std::string_view kSeedSlot = "seed";
// A boot document's list of rejected slots holds at most this many, oldest first.
inline constexpr std::size_t kMaxRejected = 64;
// What a parser reports for a document of another schema version; the runner treats it apart.
inline constexpr std::string_view kErrorUnsupportedMajor = "unsupported major";

// "bootstrap-v1.json" beside the executable: the install's settings.
struct Bootstrap {
  std::string installId;
  std::string seedSlot = std::string(kSeedSlot);
  std::optional<std::string> stateRoot;
};

// "boot-v1.json" (and "boot-v1.previous.json"): which slots are active, previous and on trial.
struct Boot {
  std::uint64_t generation = 0;
  std::optional<std::string> active, previous, candidate, lastRequestId;
  std::uint32_t attemptCount = 0;
  std::vector<std::string> rejected;  // oldest first, at most 64 in a valid document
  bool recovered = false;
};

// "pending-v1.json": another program's request to try a new candidate.
struct Pending {
  std::string requestId;
  std::uint64_t expectedGeneration = 0;
  std::string candidate;
};

// The attempt record, "boot-v1.json" inside an attempt directory.
struct Attempt {
  std::string slot;
  std::string nonce;
  std::uint64_t startedAt = 0;
};

// "ready-v1" and "healthy-v1", written by the runtime.
struct Marker {
  std::string slot;
  std::string nonce;
};

// "restart-v1.json", written by the runtime before it exits with status 0.
struct Restart {
  std::string slot;
  std::string nonce;
  std::optional<std::string> requestId;
};

// "delivery-v1.json" of the seed and of each slot.
struct Delivery {
  std::string deliveryId;
};

// A slot id: 4 to 64 bytes, each 0-9 or a-f. "seed" is not a slot id.
bool validSlot(std::string_view text);
// A token: 8 to 64 bytes, each A-Z, a-z, 0-9, '-' or '_'.
bool validToken(std::string_view text);

// The rule by which every document's numbers are read: `text` (a JSON number's literal) is one
// or more ASCII digits and nothing else, and its value is at most 18446744073709551615. On
// success `value` holds it; on failure `value` is left untouched.
[[nodiscard]] bool unsignedDecimal(std::string_view text, std::uint64_t& value);

[[nodiscard]] bool parseBootstrap(std::string_view text, Bootstrap& out, std::string& error);
[[nodiscard]] bool parseBoot(std::string_view text, Boot& out, std::string& error);
[[nodiscard]] bool parsePending(std::string_view text, Pending& out, std::string& error);
[[nodiscard]] bool parseAttempt(std::string_view text, Attempt& out, std::string& error);
[[nodiscard]] bool parseMarker(std::string_view text, Marker& out, std::string& error);
[[nodiscard]] bool parseRestart(std::string_view text, Restart& out, std::string& error);
[[nodiscard]] bool parseDelivery(std::string_view text, Delivery& out, std::string& error);

// Compact document texts with keys in ascending bytewise order. Nothing is validated: the
// record is written as it stands.
std::string serialize(const Boot& boot);
std::string serialize(const Attempt& attempt);
std::string serialize(const Bootstrap& bootstrap);
std::string serialize(const Pending& pending);
std::string serialize(const Marker& marker);
std::string serialize(const Restart& restart);

// Whether a slot may be launched given the raw texts of the seed's and the slot's delivery
// records (absent: no such file; a present empty text never parses).
bool launchableDelivery(const std::optional<std::string>& seedRecord,
                        const std::optional<std::string>& slotRecord);

}  // namespace launcher_stub
