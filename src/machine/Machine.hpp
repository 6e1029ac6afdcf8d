// The boot state machine: one pure decision function over plain values. `step` maps the current
// State and one event to the next State and an ordered list of effects, which the runner carries
// out in list order. It reads no file, clock or random source: times and nonces come in the
// events. It depends on the record types alone, not on JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "records/Records.hpp"

namespace launcher_stub {

// Role of the launched slot; the numeric order is the launch preference.
enum class Role : std::uint32_t { Candidate = 0, Active = 1, Previous = 2, Seed = 3 };

struct State {
  Boot boot;
  std::set<std::string> launchable;  // slot ids that may be launched; never "seed"
  bool seedAvailable = false;
  bool candidatesAllowed = true;
  std::string nonce;                    // nonce of the current attempt
  std::optional<std::string> launched;  // slot running now ("seed" for Role::Seed)
  Role role = Role::Seed;
  std::uint64_t spawnedAt = 0;
  std::uint64_t healthyAt = 0;
  std::uint64_t healthyTimeout = 120000;
  std::uint64_t commitDelay = 60000;
  bool healthy = false;
  bool ready = false;
  bool terminating = false;
  std::set<std::string> failed;  // slots that failed since the last Start; may hold "seed"
};

// Sent once per start-up and after every Relaunch.
struct Start {
  std::optional<Boot> boot;
  std::optional<Boot> previousBoot;
  std::optional<std::uint64_t> generationFloor;
  std::optional<Pending> pending;
  std::set<std::string> launchable;
  std::set<std::string> ignored;
  bool seedAvailable = false;
  bool candidatesAllowed = true;
  std::string nonce;
  std::uint64_t now = 0;
  bool fresh = false;
};

// The outcome of a Spawn; `nonce` is a fresh nonce for the next attempt when `ok` is false.
struct SpawnResult {
  bool ok = false;
  std::uint64_t now = 0;
  std::string nonce;
};

// Sent every 250 ms while the entry process runs.
struct Tick {
  std::uint64_t now = 0;
  bool ready = false;
  bool healthy = false;
};

// Sent once the entry process has ended and its process group has been ended too.
struct ChildExited {
  std::int32_t exitCode = 1;
  bool clean = false;
  std::optional<Restart> restart;
  std::optional<std::string> pendingRequestId;
  std::string nonce;
  std::uint64_t now = 0;
};

using Event = std::variant<Start, SpawnResult, Tick, ChildExited>;

// Write "boot-v1.json"; only while the entry process runs when `requireRunning` is set.
struct WriteBoot {
  Boot boot;
  bool requireRunning = false;
  bool newGeneration = false;
};
// Write the attempt record of the launch that follows.
struct WriteAttempt {
  Attempt attempt;
};
// Start a slot's entry executable in a role.
struct Spawn {
  Role role = Role::Seed;
  std::string slot;
};
// End the runtime's process tree.
struct Terminate {};
// Remove "pending-v1.json".
struct DeletePending {};
// Show a message to the user.
struct ShowError {
  std::string message;
};
// End the run with a process exit code.
struct Exit {
  std::int32_t code = 1;
};
// Start over from taking "state.lock", with a new Start event.
struct Relaunch {};

using Effect = std::variant<WriteBoot, WriteAttempt, Spawn, Terminate, DeletePending, ShowError,
                            Exit, Relaunch>;

struct Transition {
  State state;
  std::vector<Effect> effects;
};

// The next state and the effects for `event`. Deterministic; for a Start event the given state
// is ignored and a fresh one is built from the event.
Transition step(const State& state, const Event& event);

// Whether step() answers `tick` with `state` as it is and no effects, as it does for most ticks
// of a quiet runtime. A runner may leave such a tick out, and with it the copies of the state
// that a step makes.
bool tickChangesNothing(const State& state, const Tick& tick);

}  // namespace launcher_stub
