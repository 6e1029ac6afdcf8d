// The launcher executable: start-up, the supervision loop and shut-down around the pure boot
// state machine. Everything that touches the system goes through os/, except the pauses between
// cycles and retries (nanosleep) and the attempt pruning and delivery-record status queries
// (std::filesystem, error_code forms only).

#include <errno.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "json/Json.hpp"
#include "machine/Machine.hpp"
#include "os/Common.hpp"
#include "os/Layout.hpp"
#include "os/Os.hpp"
#include "records/Records.hpp"

namespace launcher_stub {

// One run of the launcher; the process exit code.
int runStub(int argc, char** argv);

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGiveUpMs = 30000;

// Documents are read through os/ and parsed by the JSON reader: both take the same longest text.
static_assert(os::kMaxDocument == json::kMaxText);

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// The pause between cycles and between retries: 250 ms, resumed for the time left after a signal.
void pause250ms() {
  timespec request{0, 250000000};
  timespec left{0, 0};
  while (::nanosleep(&request, &left) == -1 && errno == EINTR) {
    request = left;
  }
}

// The run's long-lived object: paths, arguments, the lease, the supervised runtime, the current
// attempt directory, the machine's state and the run's flags.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): copies deleted, no own resource
class Runner {
 public:
  Runner(fs::path root, os::InstallLayout install, std::vector<std::string> forwarded,
         os::Lock* launchLease)
      : stateRoot(std::move(root)),
        layout(std::move(install)),
        arguments(std::move(forwarded)),
        lease(launchLease) {}
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Carries out one transition: its state writes under "state.lock" (the lock `held` by the
  // caller, else one taken here), then its other effects with the lock released, then adopts its
  // state. False when the lock was not taken or a write failed: the state and flags are then
  // unchanged and a `held` lock is still held. With `exitCheck`, a transition whose last boot
  // write needs a running runtime is set aside (true, nothing written) when the entry process has
  // ended.
  [[nodiscard]] bool apply(const Transition& transition, os::Lock* held, bool exitCheck);

  // Reports the last spawn to the machine and carries out the answer, until no spawn is left
  // unreported. False when the report of a failed spawn could not be written in time.
  [[nodiscard]] bool settleSpawn();

  fs::path stateRoot;
  os::InstallLayout layout;
  std::vector<std::string> arguments;
  os::Lock* lease;  // the launch lock, owned by runStub
  os::Child child;
  fs::path attemptDir;
  State state;
  bool spawnAttempted = false;
  bool spawnSucceeded = false;
  bool exitRequested = false;
  bool relaunchRequested = false;
  std::int32_t exitCode = 1;
  bool exitPending = false;
  std::int32_t pendingExitCode = 1;
  bool pendingClean = false;
  bool haveBoot = false;
  std::uint64_t firstWriteFailure = 0;
  bool errorShown = false;
};

// Only the first message to the user in a run is shown.
void showOnce(Runner& runner, const std::string& message) {
  if (runner.errorShown) return;
  os::showError(message);
  runner.errorShown = true;
}

bool isWriting(const Effect& effect) {
  return std::holds_alternative<WriteBoot>(effect) ||
         std::holds_alternative<WriteAttempt>(effect) ||
         std::holds_alternative<DeletePending>(effect);
}

bool hasWrites(const Transition& transition) {
  for (const Effect& effect : transition.effects) {
    if (isWriting(effect)) return true;
  }
  return false;
}

// The runtime's process tree cannot be ended (or its entry process can no longer be waited
// for): the first message of the run says so, and the run ends with 1.
int treeCannotBeEnded(Runner& runner) {
  showOnce(runner, "cannot end runtime process tree");
  runner.exitRequested = true;
  runner.exitCode = 1;
  return runner.exitCode;
}

// What a write policy logs while it goes on, and when it gives up.
struct FailureTexts {
  std::string_view retrying;
  std::string_view givingUp;
};

// The transitions that must not be lost are repeated until written, and end the run after 30
// seconds; a tick's commit is dropped and tried afresh by a later tick, and after 30 seconds it
// is no longer tried until the next launch.
constexpr FailureTexts kLaunchFailures{"launch transition write failed; retrying",
                                       "launch transition write failed for 30 seconds; exiting"};
constexpr FailureTexts kExitFailures{"exit transition write failed; retrying",
                                     "exit transition write failed for 30 seconds; exiting"};
constexpr FailureTexts kSpawnFailureFailures{
    "spawn failure transition write failed; retrying",
    "spawn failure transition write failed for 30 seconds; exiting"};
constexpr FailureTexts kTickFailures{"tick metadata write failed; retrying",
                                     "tick metadata write failed for 30 seconds; dropping write"};

// The bookkeeping that every write policy shares. `start` is the time of the first failure of
// this series (0: none), `logTime` when its "retrying" line was last written.
struct FailureSeries {
  std::uint64_t start = 0;
  std::uint64_t logTime = 0;

  // Notes one failed carrying-out. First the run-wide clock: once writes of any kind have kept
  // failing for 30 seconds since the last successful writing transition, "cannot write launcher
  // state" is shown. Then this series: its first failure starts it and is logged, a failure 30
  // seconds or more after that gives up (true: the caller drops the transition or ends the
  // run), and the "retrying" line is repeated at most every 30 seconds meanwhile.
  [[nodiscard]] bool fail(Runner& runner, const FailureTexts& texts) {
    const std::uint64_t now = os::monotonicMs();
    if (runner.firstWriteFailure == 0) {
      runner.firstWriteFailure = now;
    } else if (now - runner.firstWriteFailure >= kGiveUpMs) {
      showOnce(runner, "cannot write launcher state");
    }
    const std::uint64_t now2 = os::monotonicMs();
    if (start == 0) {
      start = now2;
    } else if (now2 - start >= kGiveUpMs) {
      showOnce(runner, "cannot write launcher state");
      os::error(std::string(texts.givingUp));
      return true;
    }
    if (logTime == 0 || now2 - logTime >= kGiveUpMs) {
      os::error(std::string(texts.retrying));
      logTime = now2;
    }
    return false;
  }
};

// Repeats a transition that must not be lost every 250 ms until it is carried out; false when
// the policy gave up.
[[nodiscard]] bool applyWithRetry(Runner& runner, const Transition& transition,
                                  const FailureTexts& texts, os::Lock* held) {
  FailureSeries failures;
  while (!runner.apply(transition, held, false)) {
    if (failures.fail(runner, texts)) return false;
    pause250ms();
  }
  return true;
}

bool Runner::apply(const Transition& transition, os::Lock* held, bool exitCheck) {
  bool writing = false;
  bool newGeneration = false;
  const WriteBoot* lastBoot = nullptr;
  for (const Effect& effect : transition.effects) {
    if (isWriting(effect)) writing = true;
    if (const auto* boot = std::get_if<WriteBoot>(&effect)) {
      lastBoot = boot;
      if (boot->newGeneration) newGeneration = true;
    }
  }

  // A lock taken here is released on every way out; a lock passed in is released only once the
  // writes are done, so the caller can repeat the transition under the same hold.
  os::Lock own;
  os::Lock* lock = held;
  if (writing && lock == nullptr) {
    if (!own.acquire(stateRoot / kStateLock, true)) return false;
    lock = &own;
  }
  const auto release = [&lock] {
    if (lock != nullptr) lock->close();
  };

  // A commit is only written while its runtime still runs; an exit found here is reported by the
  // next cycle instead, and nothing of this transition is kept.
  if (exitCheck && lastBoot != nullptr && lastBoot->requireRunning) {
    int code = 0;
    bool clean = false;
    if (child.entryExited(code, clean)) {
      release();
      exitPending = true;
      pendingExitCode = code;
      pendingClean = clean;
      return true;
    }
    if (child.lost) {
      release();
      treeCannotBeEnded(*this);
      return true;
    }
  }

  // The document held before a new generation is saved first, so that a crash between the two
  // writes leaves a boot document to recover from.
  if (newGeneration && haveBoot) {
    if (!os::atomicWrite(stateRoot / kPreviousBoot, serialize(state.boot))) return false;
  }
  if (lastBoot != nullptr) {
    if (!os::atomicWrite(stateRoot / kBoot, serialize(lastBoot->boot))) return false;
  }
  for (const Effect& effect : transition.effects) {
    if (std::holds_alternative<DeletePending>(effect)) {
      if (!os::remove(stateRoot / kPending)) return false;
    } else if (const auto* write = std::get_if<WriteAttempt>(&effect)) {
      attemptDir = stateRoot / kAttempts / write->attempt.nonce;
      if (!os::privateDirectory(attemptDir, nullptr)) return false;
      if (!os::atomicWrite(attemptDir / kBoot, serialize(write->attempt))) return false;
    }
  }
  // No runtime is started or ended, and no message shown, while "state.lock" is held.
  release();

  bool treeLost = false;
  const auto endTree = [&] {
    treeCannotBeEnded(*this);
    treeLost = true;
  };
  for (const Effect& effect : transition.effects) {
    std::visit(Overloaded{
                   [](const WriteBoot&) {},
                   [](const WriteAttempt&) {},
                   [](const DeletePending&) {},
                   [&](const Spawn& spawn) {
                     if (child.treeAlive() && !child.terminate()) {
                       endTree();
                       return;
                     }
                     child.close();
                     const fs::path entry = spawn.role == Role::Seed
                                                ? layout.seedEntry
                                                : stateRoot / kSlots / spawn.slot / kEntry;
                     spawnAttempted = true;
                     spawnSucceeded =
                         child.spawn(entry, arguments, layout.root, stateRoot, attemptDir, *lease);
                     if (!spawnSucceeded) os::error("cannot start " + entry.string());
                   },
                   [&](const Terminate&) {
                     if (!child.terminate()) endTree();
                   },
                   [&](const ShowError& show) { showOnce(*this, show.message); },
                   [&](const Exit& exitEffect) {
                     exitRequested = true;
                     exitCode = exitEffect.code;
                   },
                   [&](const Relaunch&) { relaunchRequested = true; },
               },
               effect);
    if (treeLost) break;
  }

  state = transition.state;
  if (lastBoot != nullptr) haveBoot = true;
  if (writing) firstWriteFailure = 0;
  return true;
}

bool Runner::settleSpawn() {
  for (;;) {
    if (!spawnAttempted) return true;
    if (spawnSucceeded) {
      // The machine answers a confirmed spawn without effects, so this cannot fail for a write.
      const Transition next = step(state, Event{SpawnResult{true, os::monotonicMs(), {}}});
      return apply(next, nullptr, false);
    }
    if (exitRequested) return true;
    spawnAttempted = false;
    SpawnResult failed;
    failed.ok = false;
    failed.now = os::monotonicMs();
    failed.nonce = os::nonce();
    const Transition next = step(state, Event{std::move(failed)});
    // The answer may start another spawn (the candidate again or the next slot), reported by the
    // next round.
    if (!applyWithRetry(*this, next, kSpawnFailureFailures, nullptr)) return false;
  }
}

// The slots that a start-up may launch, and those set aside for a delivery that differs from
// the seed's.
struct CompleteSlots {
  std::set<std::string> launchable;
  std::set<std::string> ignored;
};

// The text of a delivery record: none when no such file exists; an empty text when it exists
// but its status or content cannot be read.
std::optional<std::string> deliveryRecord(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error) {
    if (error == std::errc::no_such_file_or_directory) return std::nullopt;
    return std::string();
  }
  if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none) {
    return std::nullopt;
  }
  std::string text;
  if (!os::read(path, text)) return std::string();
  return text;
}

CompleteSlots completeSlots(const fs::path& stateRoot, const os::InstallLayout& layout,
                            const Boot& boot, const std::optional<Pending>& pending) {
  CompleteSlots slots;
  const std::optional<std::string> seedRecord =
      deliveryRecord(layout.seedEntry.parent_path() / kDelivery);

  std::vector<const std::string*> names;
  for (const std::optional<std::string>* name : {&boot.active, &boot.previous, &boot.candidate}) {
    if (name->has_value()) names.push_back(&name->value());
  }
  if (pending.has_value()) names.push_back(&pending->candidate);

  std::set<std::string> examined;
  for (const std::string* name : names) {
    if (!examined.insert(*name).second) continue;
    if (!validSlot(*name)) continue;
    const fs::path dir = stateRoot / kSlots / *name;
    if (!os::exists(dir / kComplete) || !os::exists(dir / kEntry)) continue;
    if (launchableDelivery(seedRecord, deliveryRecord(dir / kDelivery))) {
      slots.launchable.insert(*name);
    } else {
      slots.ignored.insert(*name);
      os::error("ignoring slot " + *name + ": delivery differs from seed");
    }
  }
  return slots;
}

std::optional<Boot> readBoot(const fs::path& path) {
  std::string text;
  if (!os::read(path, text)) return std::nullopt;
  Boot boot;
  std::string error;
  if (!parseBoot(text, boot, error)) return std::nullopt;
  return boot;
}

std::optional<Pending> readPending(const fs::path& path) {
  std::string text;
  if (!os::read(path, text)) return std::nullopt;
  Pending pending;
  std::string error;
  if (!parsePending(text, pending, error)) return std::nullopt;
  return pending;
}

// Whether the marker at `path` names this slot and this attempt's nonce.
bool observed(const fs::path& path, const std::string& slot, const std::string& nonce) {
  std::string text;
  if (!os::read(path, text)) return false;
  Marker marker;
  std::string error;
  if (!parseMarker(text, marker, error)) return false;
  return marker.slot == slot && marker.nonce == nonce;
}

// An attempt directory as the listing reports it; a symbolic link or an entry without a type is
// judged by its target.
bool isAttemptDirectory(const fs::directory_entry& entry) {
  std::error_code error;
  return entry.is_directory(error);
}

// Removes every attempt directory but the most recently modified one and the one named `spared`
// (the attempt that this start-up is about to create).
void prune(const fs::path& stateRoot, const std::string& spared) {
  const fs::path dir = stateRoot / kAttempts;
  const fs::directory_iterator end;

  std::optional<fs::path> survivor;
  fs::file_time_type survivorTime{};
  std::error_code listError;
  for (fs::directory_iterator it(dir, listError); !listError && it != end;
       it.increment(listError)) {
    if (it->path().filename() == spared || !isAttemptDirectory(*it)) continue;
    std::error_code timeError;
    const fs::file_time_type time = fs::last_write_time(it->path(), timeError);
    if (timeError) continue;
    if (!survivor.has_value() || time > survivorTime) {
      survivor = it->path();
      survivorTime = time;
    }
  }

  listError.clear();
  for (fs::directory_iterator it(dir, listError); !listError && it != end;
       it.increment(listError)) {
    if (it->path().filename() == spared || !isAttemptDirectory(*it)) continue;
    if (survivor.has_value() && it->path() == *survivor) continue;
    std::error_code removeError;
    fs::remove_all(it->path(), removeError);
    if (removeError) os::error("cannot prune old attempt: " + removeError.message());
  }
}

// The "generation" of a boot document that exists but does not parse as one: a number read by
// the documents' own rule (digits only, at most 18446744073709551615), else none.
std::optional<std::uint64_t> salvageGeneration(const fs::path& path) {
  std::string text;
  if (!os::read(path, text)) return std::nullopt;
  json::Value value;
  std::string error;
  if (!json::parse(text, value, error)) return std::nullopt;
  const auto* object = std::get_if<json::Object>(&value.data);
  if (object == nullptr) return std::nullopt;
  const json::Value* member = json::field(*object, "generation");
  if (member == nullptr) return std::nullopt;
  const auto* number = std::get_if<json::Number>(&member->data);
  std::uint64_t generation = 0;
  if (number == nullptr || !unsignedDecimal(number->text, generation)) return std::nullopt;
  return generation;
}

// The "stateRoot" of a bootstrap document of another schema version, when it is a string.
std::optional<std::string> foreignStateRoot(const std::string& text) {
  json::Value value;
  std::string error;
  if (!json::parse(text, value, error)) return std::nullopt;
  const auto* object = std::get_if<json::Object>(&value.data);
  if (object == nullptr) return std::nullopt;
  const json::Value* member = json::field(*object, "stateRoot");
  if (member == nullptr) return std::nullopt;
  const auto* root = std::get_if<std::string>(&member->data);
  if (root == nullptr) return std::nullopt;
  return *root;
}

// One start-up: takes "state.lock", reads the state, builds the Start event and carries out the
// machine's first transition. The exit code when the run ends here; none when the supervision
// loop follows. "state.lock" is released on every way out, at the latest when this returns.
std::optional<int> startUp(Runner& runner, bool bootstrapCurrent) {
  const fs::path& root = runner.stateRoot;
  os::Lock stateLock;
  if (!stateLock.acquire(root / kStateLock, true)) {
    os::error("state lock timeout");
    return 1;
  }

  // Everything up to the first transition's writes happens under this one hold. Every writer
  // of the state root's documents holds it too, so a temporary file of theirs found now was
  // left by a write that was cut short, and would otherwise stay for good.
  os::removeTemporaries(root, {kBoot, kPreviousBoot});
  const std::optional<Boot> boot = readBoot(root / kBoot);
  std::optional<Boot> previousBoot;
  if (!boot.has_value()) previousBoot = readBoot(root / kPreviousBoot);

  std::optional<Pending> pending;
  bool candidatesAllowed = false;
  if (bootstrapCurrent) {
    candidatesAllowed = true;
    std::string text;
    if (os::read(root / kPending, text)) {
      Pending request;
      std::string error;
      if (!parsePending(text, request, error) && error == kErrorUnsupportedMajor) {
        candidatesAllowed = false;
      }
    }
    if (candidatesAllowed) pending = readPending(root / kPending);
  }

  const Boot scanBoot = boot.has_value()           ? *boot
                        : previousBoot.has_value() ? *previousBoot
                                                   : Boot{};
  const std::string startNonce = os::nonce();
  prune(root, startNonce);
  CompleteSlots slots = completeSlots(root, runner.layout, scanBoot, pending);
  std::optional<std::uint64_t> generationFloor;
  if (!boot.has_value()) generationFloor = salvageGeneration(root / kBoot);

  Start start;
  start.boot = boot;
  start.previousBoot = previousBoot;
  start.generationFloor = generationFloor;
  start.pending = pending;
  start.launchable = std::move(slots.launchable);
  start.ignored = std::move(slots.ignored);
  start.seedAvailable = os::exists(runner.layout.seedEntry);
  start.candidatesAllowed = candidatesAllowed;
  start.nonce = startNonce;
  start.now = os::monotonicMs();
  start.fresh = !os::exists(root / kBoot) && !os::exists(root / kPreviousBoot);

  const Transition first = step(State{}, Event{std::move(start)});

  // The document saved as "boot-v1.previous.json" if this transition starts a new generation.
  runner.state.boot = scanBoot;
  runner.haveBoot = boot.has_value() || previousBoot.has_value();
  runner.spawnAttempted = false;
  runner.spawnSucceeded = false;
  runner.exitRequested = false;
  runner.relaunchRequested = false;

  if (!applyWithRetry(runner, first, kLaunchFailures, &stateLock)) return 1;
  if (!runner.settleSpawn()) return 1;
  if (runner.exitRequested) return runner.exitCode;
  return std::nullopt;
}

// Supervises the runtime every 250 ms. The exit code when the run ends; none for a relaunch.
std::optional<int> supervise(Runner& runner) {
  // Commits that kept failing for 30 seconds are dropped until the next launch.
  bool dropping = false;
  // The current attempt's marker paths, made anew only when the attempt changes.
  fs::path markersOf;
  fs::path readyMarker;
  fs::path healthyMarker;
  FailureSeries tickFailures;
  std::uint64_t rememberedSpawn = runner.state.spawnedAt;

  for (;;) {
    if (runner.state.spawnedAt != rememberedSpawn) {
      dropping = false;
      tickFailures.start = 0;
    }
    rememberedSpawn = runner.state.spawnedAt;

    int code = 0;
    bool clean = false;
    bool exited = false;
    if (runner.exitPending) {
      if (runner.child.lost) return treeCannotBeEnded(runner);
      code = runner.pendingExitCode;
      clean = runner.pendingClean;
      runner.exitPending = false;
      exited = true;
    } else {
      exited = runner.child.entryExited(code, clean);
      if (runner.child.lost) return treeCannotBeEnded(runner);
    }

    if (exited) {
      // The rest of the group goes first, so the markers and the restart request read below
      // are final.
      if (!runner.child.terminate()) return treeCannotBeEnded(runner);
      // A runtime may report ready and end before any tick looked. For every role but the
      // candidate the ready marker decides what its exit means, so it is looked for once more,
      // and the machine learns of it through a tick before it learns of the exit. A candidate's
      // exit does not depend on it, and for a candidate a tick may act on its health deadline.
      const State& ended = runner.state;
      if (ended.launched.has_value() && ended.role != Role::Candidate && !ended.ready &&
          observed(runner.attemptDir / kReady, *ended.launched, ended.nonce)) {
        Tick tick;
        tick.now = os::monotonicMs();
        tick.ready = true;
        // Without effects, nothing of it can fail.
        static_cast<void>(runner.apply(step(runner.state, Event{tick}), nullptr, false));
      }
      std::optional<Restart> restart;
      std::string text;
      if (os::read(runner.attemptDir / kRestart, text)) {
        Restart request;
        std::string error;
        if (parseRestart(text, request, error)) restart = std::move(request);
      }
      const std::optional<Pending> pending = readPending(runner.stateRoot / kPending);
      runner.spawnAttempted = false;
      runner.spawnSucceeded = false;

      ChildExited event;
      event.exitCode = code;
      event.clean = clean;
      event.restart = std::move(restart);
      if (pending.has_value()) event.pendingRequestId = pending->requestId;
      event.nonce = os::nonce();
      event.now = os::monotonicMs();
      const Transition next = step(runner.state, Event{std::move(event)});
      if (!applyWithRetry(runner, next, kExitFailures, nullptr)) return 1;
      if (!runner.settleSpawn()) return 1;
      if (runner.exitRequested) return runner.exitCode;
      if (runner.relaunchRequested) return std::nullopt;
    } else {
      const State& current = runner.state;
      bool ready = false;
      bool healthy = false;
      if (current.launched.has_value()) {
        const std::string& slot = *current.launched;
        // Compared as text: a path comparison walks the components on every tick.
        if (markersOf.native() != runner.attemptDir.native()) {
          markersOf = runner.attemptDir;
          readyMarker = markersOf / kReady;
          healthyMarker = markersOf / kHealthy;
        }
        if (!current.ready) ready = observed(readyMarker, slot, current.nonce);
        if (current.role == Role::Candidate && !current.healthy) {
          healthy = observed(healthyMarker, slot, current.nonce);
        }
      }
      Tick tick;
      tick.now = os::monotonicMs();
      tick.ready = ready;
      tick.healthy = healthy;

      if (tickChangesNothing(runner.state, tick)) {
        // Not stepped: carrying out the same state without effects could only succeed, which
        // ends a series of failed ticks.
        tickFailures = FailureSeries{};
      } else {
        const Transition next = step(runner.state, Event{tick});
        if (dropping && hasWrites(next)) {
          // Discarded unapplied; a Terminate-only transition still goes through.
        } else if (runner.apply(next, nullptr, true)) {
          if (!runner.exitPending) tickFailures = FailureSeries{};
        } else if (tickFailures.fail(runner, kTickFailures)) {
          dropping = true;  // failing for 30 seconds: no commit is tried until the next launch
        }
        // A failed tick transition is not repeated: the next tick leads the machine to the same
        // decision again.
      }
    }

    if (runner.exitRequested) return runner.exitCode;
    pause250ms();
  }
}

}  // namespace

int runStub(int argc, char** argv) {
  // Before anything is opened: closed standard descriptors and an ignored SIGCHLD inherited
  // from the shell or desktop that started the stub are made safe.
  if (!os::prepareProcess()) {
    os::showError("cannot open /dev/null");
    return 1;
  }
  const os::InstallLayout layout = os::installLayout();
  std::string text;
  if (layout.root.empty() || !os::read(layout.bootstrap, text)) {
    os::showError("missing bootstrap-v1.json");
    return 1;
  }

  // A bootstrap of another schema version still names the state root, but candidates are not
  // handled for the whole run.
  Bootstrap bootstrap;
  bool bootstrapCurrent = false;
  std::string error;
  if (parseBootstrap(text, bootstrap, error)) {
    bootstrapCurrent = true;
  } else if (error == kErrorUnsupportedMajor) {
    bootstrap = Bootstrap{};
    bootstrap.stateRoot = foreignStateRoot(text);
  } else {
    os::showError("invalid bootstrap-v1.json: " + error);
    return 1;
  }

  const fs::path root = os::stateRoot(layout.root, bootstrap.stateRoot.value_or(std::string()));
  if (root.empty()) {
    os::showError("cannot create private state root");
    return 1;
  }
  std::string rootError;
  if (!os::privateDirectory(root, &rootError)) {
    os::showError(rootError.empty() ? std::string("cannot create private state root") : rootError);
    return 1;
  }
  if (!os::privateDirectory(root / kAttempts, nullptr) ||
      !os::privateDirectory(root / kSlots, nullptr)) {
    os::showError("cannot create private state root");
    return 1;
  }

  // Declared before the runner, so that on every return the runner (and with it any surviving
  // process group) goes first and the launch lock is released last.
  os::Lock launchLock;
  if (!launchLock.acquire(root / kLaunchLock, false)) {
    if (launchLock.busy) return 0;
    os::showError("cannot acquire launch lease");
    return 1;
  }
  Runner runner(root, layout, os::arguments(argc, argv), &launchLock);

  // A relaunch goes back to taking "state.lock" with the same launch lock and runner.
  for (;;) {
    if (const std::optional<int> code = startUp(runner, bootstrapCurrent)) return *code;
    if (const std::optional<int> code = supervise(runner)) return *code;
  }
}

}  // namespace launcher_stub

int main(int argc, char** argv) {
  const int code = launcher_stub::runStub(argc, argv);
  if (code != 0) launcher_stub::os::waitForErrorDialog(30000);
  return code;
}
