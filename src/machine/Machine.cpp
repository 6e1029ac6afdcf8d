#include "machine/Machine.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace launcher_stub {
namespace {

// The generation never wraps: a change that would advance it past this value ends the run.
constexpr std::uint64_t kMaxGeneration = std::numeric_limits<std::uint64_t>::max();
// A candidate is started at most this many times before it is rejected.
constexpr std::uint32_t kCandidateAttempts = 3;
constexpr std::string_view kGenerationOverflow = "generation overflow";
constexpr std::string_view kNoRunnable = "No runnable runtime";

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

bool contains(const std::vector<std::string>& list, const std::string& slot) {
  return std::find(list.begin(), list.end(), slot) != list.end();
}

// Ends the run on a generation that cannot advance. Every effect gathered so far is dropped,
// so nothing of this transition is written, deleted or started.
void overflow(Transition& transition) {
  transition.effects.clear();
  transition.effects.emplace_back(ShowError{std::string(kGenerationOverflow)});
  transition.effects.emplace_back(Exit{1});
}

// Appends a snapshot of the boot record, first starting a new generation when `advance` is set.
// False only after a generation overflow, when the effects are just the overflow's two.
bool write(Transition& transition, bool advance, bool requireRunning) {
  Boot& boot = transition.state.boot;
  if (advance) {
    if (boot.generation == kMaxGeneration) {
      overflow(transition);
      return false;
    }
    ++boot.generation;
  }
  transition.effects.emplace_back(WriteBoot{boot, requireRunning, advance});
  return true;
}

// Puts `slot` on the rejected list and drops the candidate, as a new generation. `slot` may be
// the boot record's own candidate, so it is copied before the candidate is cleared.
bool reject(Transition& transition, const std::string& slot) {
  Boot& boot = transition.state.boot;
  std::string rejected = slot;
  if (!contains(boot.rejected, rejected)) {
    boot.rejected.push_back(std::move(rejected));
    // Only the oldest entries give way. A loop rather than a single removal keeps the list
    // within bounds even for a record built in memory with too many entries.
    while (boot.rejected.size() > kMaxRejected) {
      boot.rejected.erase(boot.rejected.begin());
    }
  }
  boot.candidate.reset();
  boot.attemptCount = 0;
  return write(transition, true, false);
}

// Starts the first runnable slot in the order candidate, active, previous, seed; with none left
// it ends the run. A candidate's raised attempt count is written before its attempt record, so
// a crash during the spawn still counts the attempt.
void launch(Transition& transition, std::uint64_t now) {
  State& state = transition.state;
  const Boot& boot = state.boot;
  const auto runnable = [&state](const std::optional<std::string>& slot) {
    return slot.has_value() && state.launchable.count(*slot) != 0 && state.failed.count(*slot) == 0;
  };

  std::string slot;
  Role role = Role::Seed;
  if (state.candidatesAllowed && runnable(boot.candidate) &&
      boot.attemptCount < kCandidateAttempts && !contains(boot.rejected, *boot.candidate)) {
    slot = *boot.candidate;
    role = Role::Candidate;
  } else if (runnable(boot.active)) {
    slot = *boot.active;
    role = Role::Active;
  } else if (runnable(boot.previous)) {
    slot = *boot.previous;
    role = Role::Previous;
  } else if (state.seedAvailable && state.failed.count(std::string(kSeedSlot)) == 0) {
    slot = std::string(kSeedSlot);
    role = Role::Seed;
  } else {
    transition.effects.emplace_back(ShowError{std::string(kNoRunnable)});
    transition.effects.emplace_back(Exit{1});
    return;
  }

  state.launched = slot;
  state.terminating = false;
  state.healthy = false;
  state.ready = false;
  state.role = role;
  state.spawnedAt = 0;
  state.healthyAt = 0;
  if (role == Role::Candidate) {
    ++state.boot.attemptCount;
    // Without a new generation this write cannot fail.
    (void)write(transition, false, false);
  }
  transition.effects.emplace_back(WriteAttempt{Attempt{slot, state.nonce, now}});
  transition.effects.emplace_back(Spawn{role, std::move(slot)});
}

// Ends the current attempt as failed: the candidate is retried while it has attempts left and
// rejected after its last one; any other slot is set aside for the rest of the run.
void failure(Transition& transition, std::uint64_t now, const std::string& nonce) {
  State& state = transition.state;
  if (!state.launched.has_value()) {
    return;
  }
  const std::string slot = *state.launched;
  state.nonce = nonce;
  const bool retry = state.role == Role::Candidate && state.boot.attemptCount < kCandidateAttempts;
  if (!retry) {
    state.failed.insert(slot);
    if (state.role == Role::Candidate && !reject(transition, slot)) {
      return;
    }
  }
  state.launched.reset();
  launch(transition, now);
}

void onStart(Transition& transition, const Start& start) {
  transition.state = State{};
  transition.effects.clear();
  State& state = transition.state;
  state.launchable = start.launchable;
  state.seedAvailable = start.seedAvailable;
  state.candidatesAllowed = start.candidatesAllowed;
  state.nonce = start.nonce;
  Boot& boot = state.boot;

  // Which boot record this start-up works from. A pending request is examined only against a
  // document that was actually read.
  bool documentRead = false;
  if (start.boot.has_value()) {
    boot = *start.boot;
    documentRead = true;
  } else if (start.previousBoot.has_value()) {
    boot = *start.previousBoot;
    if (start.generationFloor.has_value()) {
      boot.generation = std::max(boot.generation, *start.generationFloor);
    }
    boot.recovered = true;
    if (!write(transition, true, false)) {
      return;
    }
    documentRead = true;
  } else if (start.fresh) {
    if (!write(transition, true, false)) {
      return;
    }
  }

  // A generation at the top of its range could not record any later change.
  if (boot.generation == kMaxGeneration) {
    overflow(transition);
    return;
  }

  if (state.candidatesAllowed) {
    // A candidate that used up its attempts in earlier runs is rejected, unless it is only
    // unrunnable because its delivery differs from the seed's.
    if (boot.candidate.has_value() && start.ignored.count(*boot.candidate) == 0 &&
        boot.attemptCount >= kCandidateAttempts) {
      if (!reject(transition, *boot.candidate)) {
        return;
      }
    }

    // The request is tested against the record after this start-up's own recovery and
    // rejection, and deleted once examined, adopted or not.
    if (documentRead && start.pending.has_value()) {
      const Pending& pending = *start.pending;
      const bool adopt =
          pending.expectedGeneration == boot.generation &&
          (!boot.lastRequestId.has_value() || *boot.lastRequestId != pending.requestId) &&
          !contains(boot.rejected, pending.candidate) &&
          state.launchable.count(pending.candidate) != 0;
      if (adopt) {
        boot.candidate = pending.candidate;
        boot.attemptCount = 0;
        boot.lastRequestId = pending.requestId;
        if (!write(transition, true, false)) {
          return;
        }
      }
      transition.effects.emplace_back(DeletePending{});
    }
  }

  launch(transition, start.now);
}

void onSpawnResult(Transition& transition, const SpawnResult& result) {
  if (result.ok) {
    transition.state.spawnedAt = result.now;
    return;
  }
  failure(transition, result.now, result.nonce);
}

// Whether a candidate that has not reported healthy is past its health deadline at `now`. Once
// it is, every later tick is past it as well.
bool healthDeadlinePassed(const State& state, std::uint64_t now) {
  return now >= state.spawnedAt && now - state.spawnedAt >= state.healthyTimeout;
}

// Whether a healthy candidate has kept running for the commit delay at `now`.
bool commitDue(const State& state, std::uint64_t now) {
  return now >= state.healthyAt && now - state.healthyAt >= state.commitDelay;
}

void onTick(Transition& transition, const Tick& tick) {
  State& state = transition.state;
  if (!state.launched.has_value()) {
    return;
  }
  if (tick.ready) {
    state.ready = true;
  }
  if (state.role != Role::Candidate) {
    return;
  }

  if (!state.healthy) {
    // The deadline is checked before the healthy marker, so a report on the deadline itself
    // comes too late.
    if (healthDeadlinePassed(state, tick.now)) {
      if (!state.terminating) {
        state.terminating = true;
        transition.effects.emplace_back(Terminate{});
      }
      return;
    }
    if (!tick.healthy) {
      return;
    }
    state.healthy = true;
    state.healthyAt = tick.now;
  }

  if (!commitDue(state, tick.now)) {
    return;
  }

  // Commit. The write is carried out only while the candidate still runs; otherwise the runner
  // drops this transition and the exit decides.
  Boot& boot = state.boot;
  // A candidate that already is the active slot (a pending request may name it) keeps the
  // previous slot as it is: moving the active slot into "previous" would drop the fallback.
  if (boot.active != state.launched) boot.previous = boot.active;
  boot.active = *state.launched;
  boot.candidate.reset();
  boot.attemptCount = 0;
  if (write(transition, true, true)) {
    state.role = Role::Active;
  }
}

void onChildExited(Transition& transition, const ChildExited& exited) {
  State& state = transition.state;
  if (!state.launched.has_value()) {
    return;
  }
  const Boot& boot = state.boot;

  bool honoured = false;
  if (exited.restart.has_value()) {
    const Restart& restart = *exited.restart;
    const std::optional<std::string>& requestId = restart.requestId;
    honoured = restart.slot == *state.launched && restart.nonce == state.nonce &&
               (!requestId.has_value() ||
                (boot.lastRequestId.has_value() && *requestId == *boot.lastRequestId) ||
                (exited.pendingRequestId.has_value() && *requestId == *exited.pendingRequestId));
  }
  const auto relaunchOrExit = [&transition, &exited, honoured] {
    if (honoured) {
      transition.effects.emplace_back(Relaunch{});
    } else {
      transition.effects.emplace_back(Exit{exited.exitCode});
    }
  };
  const bool candidate = state.role == Role::Candidate;

  if (!exited.clean) {
    // A signal or a non-zero status is a failed attempt for a candidate, and for any other
    // slot only before it reported ready; after that it is the runtime's own result.
    if (candidate || !state.ready) {
      failure(transition, exited.now, exited.nonce);
      return;
    }
    state.launched.reset();
    transition.effects.emplace_back(Exit{exited.exitCode});
    return;
  }

  if (candidate) {
    if (state.terminating) {
      failure(transition, exited.now, exited.nonce);
      return;
    }
    // A clean exit gives the candidate its attempt back.
    if (state.boot.attemptCount > 0) {
      --state.boot.attemptCount;
    }
    (void)write(transition, false, false);
    state.launched.reset();
    relaunchOrExit();
    return;
  }

  if (state.terminating && !state.ready) {
    failure(transition, exited.now, exited.nonce);
    return;
  }
  state.launched.reset();
  relaunchOrExit();
}

}  // namespace

bool tickChangesNothing(const State& state, const Tick& tick) {
  // onTick, read for whether it assigns anything new or adds an effect.
  if (!state.launched.has_value()) return true;
  if (tick.ready && !state.ready) return false;
  if (state.role != Role::Candidate) return true;
  if (!state.healthy) {
    if (healthDeadlinePassed(state, tick.now)) return state.terminating;
    return !tick.healthy;
  }
  return !commitDue(state, tick.now);
}

Transition step(const State& state, const Event& event) {
  Transition transition{state, {}};
  std::visit(Overloaded{
                 [&transition](const Start& start) { onStart(transition, start); },
                 [&transition](const SpawnResult& result) { onSpawnResult(transition, result); },
                 [&transition](const Tick& tick) { onTick(transition, tick); },
                 [&transition](const ChildExited& exited) { onChildExited(transition, exited); },
             },
             event);
  return transition;
}

}  // namespace launcher_stub
