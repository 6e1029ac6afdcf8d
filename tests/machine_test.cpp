#include "machine/Machine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace launcher_stub {
namespace {

constexpr std::uint64_t kMaxGen = std::numeric_limits<std::uint64_t>::max();

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// ---------------------------------------------------------------------------------------------
// Rendering: effects and states as short strings, so a failing table row prints both lists.

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ',';
    out += item;
  }
  return out;
}

std::string joined(const std::set<std::string>& items) {
  return joined(std::vector<std::string>(items.begin(), items.end()));
}

const char* roleName(Role role) {
  switch (role) {
    case Role::Candidate:
      return "Candidate";
    case Role::Active:
      return "Active";
    case Role::Previous:
      return "Previous";
    case Role::Seed:
      return "Seed";
  }
  return "?";
}

std::string describe(const Boot& boot) {
  std::string out = "gen=" + std::to_string(boot.generation);
  if (boot.active) out += " act=" + *boot.active;
  if (boot.previous) out += " prev=" + *boot.previous;
  if (boot.candidate) out += " cand=" + *boot.candidate;
  if (boot.lastRequestId) out += " last=" + *boot.lastRequestId;
  out += " count=" + std::to_string(boot.attemptCount);
  if (!boot.rejected.empty()) out += " rej=" + joined(boot.rejected);
  if (boot.recovered) out += " recovered";
  return out;
}

std::string describe(const Effect& effect) {
  return std::visit(
      Overloaded{
          [](const WriteBoot& e) {
            return "WriteBoot " + describe(e.boot) + (e.newGeneration ? " new" : "") +
                   " req=" + (e.requireRunning ? "1" : "0");
          },
          [](const WriteAttempt& e) {
            return "WriteAttempt " + e.attempt.slot + " " + e.attempt.nonce +
                   " at=" + std::to_string(e.attempt.startedAt);
          },
          [](const Spawn& e) { return std::string("Spawn ") + roleName(e.role) + " " + e.slot; },
          [](const Terminate&) { return std::string("Terminate"); },
          [](const DeletePending&) { return std::string("DeletePending"); },
          [](const ShowError& e) { return "ShowError " + e.message; },
          [](const Exit& e) { return "Exit " + std::to_string(e.code); },
          [](const Relaunch&) { return std::string("Relaunch"); },
      },
      effect);
}

std::vector<std::string> describe(const std::vector<Effect>& effects) {
  std::vector<std::string> out;
  out.reserve(effects.size());
  for (const Effect& effect : effects) out.push_back(describe(effect));
  return out;
}

// The members that say what runs now and what has failed.
std::string summary(const State& state) {
  return "launched=" + state.launched.value_or("-") + " " + roleName(state.role) +
         " nonce=" + state.nonce + " failed=" + (state.failed.empty() ? "-" : joined(state.failed));
}

// The members that the supervision of a running attempt drives.
std::string supervision(const State& state) {
  return std::string(roleName(state.role)) + " spawnedAt=" + std::to_string(state.spawnedAt) +
         " ready=" + (state.ready ? "1" : "0") + " healthy=" + (state.healthy ? "1" : "0") +
         " healthyAt=" + std::to_string(state.healthyAt) +
         " term=" + (state.terminating ? "1" : "0");
}

// Every member, for comparing whole states.
std::string dump(const State& s) {
  return describe(s.boot) + " | launchable=" + joined(s.launchable) +
         " seed=" + (s.seedAvailable ? "1" : "0") + " cands=" + (s.candidatesAllowed ? "1" : "0") +
         " | " + summary(s) + " | " + supervision(s) +
         " timeout=" + std::to_string(s.healthyTimeout) + " delay=" + std::to_string(s.commitDelay);
}

std::string dump(const Transition& t) {
  return dump(t.state) + " || " + joined(describe(t.effects));
}

// ---------------------------------------------------------------------------------------------
// Builders. Empty strings stand for absent slots.

std::optional<std::string> opt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

Boot makeBoot(std::uint64_t generation, const std::string& active, const std::string& previous,
              const std::string& candidate, std::uint32_t count,
              std::vector<std::string> rejected = {}, const std::string& lastRequestId = "") {
  Boot boot;
  boot.generation = generation;
  boot.active = opt(active);
  boot.previous = opt(previous);
  boot.candidate = opt(candidate);
  boot.lastRequestId = opt(lastRequestId);
  boot.attemptCount = count;
  boot.rejected = std::move(rejected);
  return boot;
}

Pending makePending(const std::string& requestId, std::uint64_t expected,
                    const std::string& candidate) {
  Pending pending;
  pending.requestId = requestId;
  pending.expectedGeneration = expected;
  pending.candidate = candidate;
  return pending;
}

Start startWith(std::optional<Boot> boot, std::set<std::string> launchable) {
  Start start;
  start.boot = std::move(boot);
  start.launchable = std::move(launchable);
  start.seedAvailable = true;
  start.candidatesAllowed = true;
  start.nonce = "n0";
  start.now = 100;
  return start;
}

// A state with `slot` launched in `role` and its spawn confirmed at 1000.
State launchedState(Role role, const std::string& slot, Boot boot,
                    std::set<std::string> launchable = {"aaaa", "bbbb", "cccc"}) {
  State state;
  state.boot = std::move(boot);
  state.launchable = std::move(launchable);
  state.seedAvailable = true;
  state.nonce = "n0";
  state.launched = slot;
  state.role = role;
  state.spawnedAt = 1000;
  return state;
}

Restart makeRestart(const std::string& slot, const std::string& nonce,
                    const std::string& requestId = "") {
  Restart restart;
  restart.slot = slot;
  restart.nonce = nonce;
  restart.requestId = opt(requestId);
  return restart;
}

SpawnResult spawnFailed() {
  SpawnResult result;
  result.ok = false;
  result.now = 200;
  result.nonce = "n1";
  return result;
}

const std::vector<std::string> kNoRunnable = {"ShowError No runnable runtime", "Exit 1"};
const std::vector<std::string> kOverflow = {"ShowError generation overflow", "Exit 1"};

// ---------------------------------------------------------------------------------------------
// Launch choice, seen through a start-up without a pending request.

struct LaunchCase {
  const char* name;
  Boot boot;
  std::set<std::string> launchable;
  std::set<std::string> ignored;
  bool candidatesAllowed;
  bool seedAvailable;
  std::vector<std::string> effects;
  std::string after;
};

TEST(MachineLaunch, ChoosesInRoleOrder) {
  const std::set<std::string> all = {"aaaa", "bbbb", "cccc"};
  const LaunchCase cases[] = {
      {"candidate first",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0),
       all,
       {},
       true,
       true,
       {"WriteBoot gen=5 act=bbbb prev=cccc cand=aaaa count=1 req=0", "WriteAttempt aaaa n0 at=100",
        "Spawn Candidate aaaa"},
       "launched=aaaa Candidate nonce=n0 failed=-"},
      {"candidate with two attempts used gets its third",
       makeBoot(5, "bbbb", "cccc", "aaaa", 2),
       all,
       {},
       true,
       true,
       {"WriteBoot gen=5 act=bbbb prev=cccc cand=aaaa count=3 req=0", "WriteAttempt aaaa n0 at=100",
        "Spawn Candidate aaaa"},
       "launched=aaaa Candidate nonce=n0 failed=-"},
      // The ignored mark spares the candidate from the start-up's rejection, so launch alone
      // decides on the used-up count here.
      {"candidate with three attempts used is skipped",
       makeBoot(5, "bbbb", "cccc", "aaaa", 3),
       all,
       {"aaaa"},
       true,
       true,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-"},
      {"candidate handling off",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0),
       all,
       {},
       false,
       true,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-"},
      {"rejected candidate",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0, {"dddd", "aaaa"}),
       all,
       {},
       true,
       true,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-"},
      {"candidate not launchable",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0),
       {"bbbb", "cccc"},
       {},
       true,
       true,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-"},
      {"active not launchable",
       makeBoot(5, "bbbb", "cccc", "", 0),
       {"cccc"},
       {},
       true,
       true,
       {"WriteAttempt cccc n0 at=100", "Spawn Previous cccc"},
       "launched=cccc Previous nonce=n0 failed=-"},
      // The active and previous slots are not held to the candidate's tests.
      {"active on the rejected list with a high count still runs",
       makeBoot(5, "bbbb", "", "", 9, {"bbbb"}),
       all,
       {},
       true,
       true,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-"},
      {"only the seed",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0),
       {},
       {},
       true,
       true,
       {"WriteAttempt seed n0 at=100", "Spawn Seed seed"},
       "launched=seed Seed nonce=n0 failed=-"},
      {"nothing runnable",
       makeBoot(5, "bbbb", "cccc", "aaaa", 0),
       {},
       {},
       true,
       false,
       kNoRunnable,
       "launched=- Seed nonce=n0 failed=-"},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.name);
    Start start = startWith(c.boot, c.launchable);
    start.ignored = c.ignored;
    start.candidatesAllowed = c.candidatesAllowed;
    start.seedAvailable = c.seedAvailable;
    const Transition t = step(State{}, start);
    EXPECT_EQ(describe(t.effects), c.effects);
    EXPECT_EQ(summary(t.state), c.after);
  }
}

TEST(MachineLaunch, ResetsSupervisionOfThePreviousAttempt) {
  State state = launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "cccc", "", 0));
  state.ready = true;
  state.healthy = true;
  state.terminating = true;
  state.healthyAt = 5000;
  const Transition t = step(state, spawnFailed());
  EXPECT_EQ(describe(t.effects),
            (std::vector<std::string>{"WriteAttempt cccc n1 at=200", "Spawn Previous cccc"}));
  EXPECT_EQ(supervision(t.state), "Previous spawnedAt=0 ready=0 healthy=0 healthyAt=0 term=0");
}

// ---------------------------------------------------------------------------------------------
// Failed attempts, seen through a failed spawn (now 200, fresh nonce n1).

struct FailureCase {
  const char* name;
  State state;
  std::vector<std::string> effects;
  std::string after;
};

TEST(MachineFailure, RetriesRejectsOrFallsBack) {
  State nothingLaunched = launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "", "", 0));
  nothingLaunched.launched.reset();

  State previousFailed = launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "cccc", "", 0));
  previousFailed.failed = {"cccc"};

  State noSeed = launchedState(Role::Candidate, "aaaa", makeBoot(5, "", "", "aaaa", 3), {"aaaa"});
  noSeed.seedAvailable = false;

  const FailureCase cases[] = {
      {"nothing launched", nothingLaunched, {}, "launched=- Active nonce=n0 failed=-"},
      {"candidate after its first attempt is retried",
       launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 1)),
       {"WriteBoot gen=5 act=bbbb cand=aaaa count=2 req=0", "WriteAttempt aaaa n1 at=200",
        "Spawn Candidate aaaa"},
       "launched=aaaa Candidate nonce=n1 failed=-"},
      {"candidate after its second attempt is retried",
       launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 2)),
       {"WriteBoot gen=5 act=bbbb cand=aaaa count=3 req=0", "WriteAttempt aaaa n1 at=200",
        "Spawn Candidate aaaa"},
       "launched=aaaa Candidate nonce=n1 failed=-"},
      {"candidate after its third attempt is rejected",
       launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "cccc", "aaaa", 3)),
       {"WriteBoot gen=6 act=bbbb prev=cccc count=0 rej=aaaa new req=0",
        "WriteAttempt bbbb n1 at=200", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n1 failed=aaaa"},
      {"rejected again keeps its place on the list",
       launchedState(Role::Candidate, "aaaa",
                     makeBoot(5, "bbbb", "", "aaaa", 3, {"dddd", "aaaa", "eeee"})),
       {"WriteBoot gen=6 act=bbbb count=0 rej=dddd,aaaa,eeee new req=0",
        "WriteAttempt bbbb n1 at=200", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n1 failed=aaaa"},
      {"rejection at the largest generation",
       launchedState(Role::Candidate, "aaaa", makeBoot(kMaxGen, "bbbb", "", "aaaa", 3)), kOverflow,
       "launched=aaaa Candidate nonce=n1 failed=aaaa"},
      {"rejection with nothing else runnable",
       noSeed,
       {"WriteBoot gen=6 count=0 rej=aaaa new req=0", "ShowError No runnable runtime", "Exit 1"},
       "launched=- Candidate nonce=n1 failed=aaaa"},
      {"active falls back to previous",
       launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "cccc", "", 0)),
       {"WriteAttempt cccc n1 at=200", "Spawn Previous cccc"},
       "launched=cccc Previous nonce=n1 failed=bbbb"},
      {"active falls back past a failed previous to the seed",
       previousFailed,
       {"WriteAttempt seed n1 at=200", "Spawn Seed seed"},
       "launched=seed Seed nonce=n1 failed=bbbb,cccc"},
      {"a slot in two roles is tried once",
       launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "bbbb", "", 0)),
       {"WriteAttempt seed n1 at=200", "Spawn Seed seed"},
       "launched=seed Seed nonce=n1 failed=bbbb"},
      {"the seed was the last slot", launchedState(Role::Seed, "seed", makeBoot(5, "", "", "", 0)),
       kNoRunnable, "launched=- Seed nonce=n1 failed=seed"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Transition t = step(c.state, spawnFailed());
    EXPECT_EQ(describe(t.effects), c.effects);
    EXPECT_EQ(summary(t.state), c.after);
  }
}

TEST(MachineFailure, OverflowKeepsTheRejectionInTheState) {
  const State state =
      launchedState(Role::Candidate, "aaaa", makeBoot(kMaxGen, "bbbb", "", "aaaa", 3));
  const Transition t = step(state, spawnFailed());
  EXPECT_EQ(describe(t.effects), kOverflow);
  EXPECT_EQ(describe(t.state.boot), "gen=18446744073709551615 act=bbbb count=0 rej=aaaa");
}

// ---------------------------------------------------------------------------------------------
// Boot writes and the rejected list.

std::vector<std::string> fillers(int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "%04x", 0x1000 + i);
    out.emplace_back(id);
  }
  return out;
}

TEST(MachineReject, KeepsTheSixtyFourMostRecent) {
  struct Case {
    const char* name;
    std::vector<std::string> before;
    std::vector<std::string> after;
  };
  std::vector<std::string> full = fillers(64);
  std::vector<std::string> fullDropped(full.begin() + 1, full.end());
  fullDropped.push_back("aaaa");
  std::vector<std::string> sixtyThree = fillers(63);
  std::vector<std::string> sixtyThreeAdded = sixtyThree;
  sixtyThreeAdded.push_back("aaaa");
  std::vector<std::string> fullWithFirst = fillers(63);
  fullWithFirst.insert(fullWithFirst.begin(), "aaaa");

  const Case cases[] = {
      {"empty list", {}, {"aaaa"}},
      {"63 entries grow to 64", sixtyThree, sixtyThreeAdded},
      {"64 entries drop the oldest", full, fullDropped},
      {"already first on a full list", fullWithFirst, fullWithFirst},
      {"already last", {"bbbb", "aaaa"}, {"bbbb", "aaaa"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const State state =
        launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 3, c.before));
    const Transition t = step(state, spawnFailed());
    ASSERT_FALSE(t.effects.empty());
    const auto* write = std::get_if<WriteBoot>(&t.effects.front());
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->boot.rejected, c.after);
    EXPECT_EQ(t.state.boot.rejected, c.after);
    EXPECT_EQ(write->boot.generation, 6u);
    EXPECT_TRUE(write->newGeneration);
    EXPECT_FALSE(write->requireRunning);
    EXPECT_FALSE(write->boot.candidate.has_value());
    EXPECT_EQ(write->boot.attemptCount, 0u);
  }
}

TEST(MachineReject, StartRejectionRecordsTheCandidateItClears) {
  // The start-up passes the boot record's own candidate; it must reach the list intact.
  const Transition t =
      step(State{}, startWith(makeBoot(5, "bbbb", "", "aaaa", 3, {"dddd"}), {"aaaa", "bbbb"}));
  EXPECT_EQ(describe(t.effects),
            (std::vector<std::string>{"WriteBoot gen=6 act=bbbb count=0 rej=dddd,aaaa new req=0",
                                      "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"}));
}

TEST(MachineWrite, EarlierSnapshotsKeepTheirRecord) {
  // Adoption writes once with a new generation; the launch then writes the raised count. The
  // first snapshot must not see the later change.
  Start start = startWith(makeBoot(5, "bbbb", "", "", 0), {"aaaa", "bbbb"});
  start.pending = makePending("req-0002", 5, "aaaa");
  const Transition t = step(State{}, start);
  ASSERT_EQ(t.effects.size(), 5u);
  const auto* adoption = std::get_if<WriteBoot>(&t.effects[0]);
  const auto* launch = std::get_if<WriteBoot>(&t.effects[2]);
  ASSERT_NE(adoption, nullptr);
  ASSERT_NE(launch, nullptr);
  EXPECT_EQ(adoption->boot.attemptCount, 0u);
  EXPECT_TRUE(adoption->newGeneration);
  EXPECT_EQ(launch->boot.attemptCount, 1u);
  EXPECT_FALSE(launch->newGeneration);
  EXPECT_EQ(launch->boot.generation, 6u);
}

TEST(MachineWrite, CleanExitWritesAtTheLargestGeneration) {
  // Without a new generation a write at the top of the range still goes through.
  const State state =
      launchedState(Role::Candidate, "aaaa", makeBoot(kMaxGen, "bbbb", "", "aaaa", 1));
  ChildExited exited;
  exited.exitCode = 0;
  exited.clean = true;
  exited.nonce = "n1";
  const Transition t = step(state, exited);
  EXPECT_EQ(describe(t.effects),
            (std::vector<std::string>{
                "WriteBoot gen=18446744073709551615 act=bbbb cand=aaaa count=0 req=0", "Exit 0"}));
}

// ---------------------------------------------------------------------------------------------
// Start-up decisions.

struct StartCase {
  const char* name;
  Start start;
  std::vector<std::string> effects;
  std::string after;  // summary of the resulting state; empty to skip
  std::string boot;   // describe() of the resulting boot record; empty to skip
};

Start freshStart(bool seed) {
  Start start = startWith(std::nullopt, {});
  start.fresh = true;
  start.seedAvailable = seed;
  start.pending = makePending("req-0001", 0, "aaaa");
  return start;
}

Start recoveryStart(std::uint64_t previous, std::optional<std::uint64_t> floor,
                    std::optional<Pending> pending = std::nullopt) {
  Start start = startWith(std::nullopt, {"aaaa", "bbbb", "dddd"});
  start.previousBoot = makeBoot(previous, "bbbb", "", "", 0);
  start.generationFloor = floor;
  start.pending = std::move(pending);
  return start;
}

Start withPending(Boot boot, Pending pending,
                  std::set<std::string> launchable = {"aaaa", "bbbb", "dddd"}) {
  Start start = startWith(std::move(boot), std::move(launchable));
  start.pending = std::move(pending);
  return start;
}

std::vector<StartCase> startCases() {
  Start unreadable = startWith(std::nullopt, {"aaaa", "bbbb"});
  unreadable.generationFloor = 9;
  unreadable.pending = makePending("req-0001", 9, "aaaa");

  // Recovery makes generation 10 and the rejection 11, which the request was made against.
  Start recoveredCandidate = recoveryStart(7, 9, makePending("req-0002", 11, "dddd"));
  recoveredCandidate.previousBoot = makeBoot(7, "bbbb", "", "aaaa", 3, {}, "req-0001");

  Start ignored = startWith(makeBoot(5, "bbbb", "", "aaaa", 7), {"bbbb"});
  ignored.ignored = {"aaaa"};

  Start off = withPending(makeBoot(5, "bbbb", "", "aaaa", 3), makePending("req-0002", 5, "dddd"));
  off.candidatesAllowed = false;

  Start recoveredFlag = startWith(makeBoot(5, "bbbb", "", "", 0), {"bbbb"});
  recoveredFlag.boot->recovered = true;

  Start previousRecovered = recoveryStart(7, std::nullopt);
  previousRecovered.previousBoot->recovered = false;

  return {
      {"first install with the seed; the pending request waits",
       freshStart(true),
       {"WriteBoot gen=1 count=0 new req=0", "WriteAttempt seed n0 at=100", "Spawn Seed seed"},
       "launched=seed Seed nonce=n0 failed=-",
       "gen=1 count=0"},
      {"first install without the seed",
       freshStart(false),
       {"WriteBoot gen=1 count=0 new req=0", "ShowError No runnable runtime", "Exit 1"},
       "",
       ""},
      {"boot read, active runs",
       startWith(makeBoot(5, "bbbb", "cccc", "", 0), {"bbbb", "cccc"}),
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-",
       "gen=5 act=bbbb prev=cccc count=0"},
      {"boot read and its recovered mark kept without a write",
       recoveredFlag,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       "gen=5 act=bbbb count=0 recovered"},
      {"pending request adopted",
       withPending(makeBoot(5, "bbbb", "", "", 0), makePending("req-0002", 5, "dddd")),
       {"WriteBoot gen=6 act=bbbb cand=dddd last=req-0002 count=0 new req=0", "DeletePending",
        "WriteBoot gen=6 act=bbbb cand=dddd last=req-0002 count=1 req=0",
        "WriteAttempt dddd n0 at=100", "Spawn Candidate dddd"},
       "launched=dddd Candidate nonce=n0 failed=-",
       ""},
      {"recovery, used-up candidate rejected, new request adopted",
       recoveredCandidate,
       {"WriteBoot gen=10 act=bbbb cand=aaaa last=req-0001 count=3 recovered new req=0",
        "WriteBoot gen=11 act=bbbb last=req-0001 count=0 rej=aaaa recovered new req=0",
        "WriteBoot gen=12 act=bbbb cand=dddd last=req-0002 count=0 rej=aaaa recovered new req=0",
        "DeletePending",
        "WriteBoot gen=12 act=bbbb cand=dddd last=req-0002 count=1 rej=aaaa recovered req=0",
        "WriteAttempt dddd n0 at=100", "Spawn Candidate dddd"},
       "launched=dddd Candidate nonce=n0 failed=-",
       ""},
      {"stale request deleted",
       withPending(makeBoot(5, "bbbb", "", "", 0), makePending("req-0002", 4, "dddd")),
       {"DeletePending", "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       "gen=5 act=bbbb count=0"},
      {"request from the future deleted",
       withPending(makeBoot(5, "bbbb", "", "", 0), makePending("req-0002", 6, "dddd")),
       {"DeletePending", "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"largest generation",
       withPending(makeBoot(kMaxGen, "bbbb", "", "aaaa", 3),
                   makePending("req-0002", kMaxGen, "dddd")),
       kOverflow, "", ""},
      {"unreadable boot files: seed only, request kept, floor unused",
       unreadable,
       {"WriteAttempt seed n0 at=100", "Spawn Seed seed"},
       "launched=seed Seed nonce=n0 failed=-",
       "gen=0 count=0"},
      {"recovery above the floor's previous generation",
       recoveryStart(7, 9, makePending("req-0002", 10, "dddd")),
       {"WriteBoot gen=10 act=bbbb count=0 recovered new req=0",
        "WriteBoot gen=11 act=bbbb cand=dddd last=req-0002 count=0 recovered new req=0",
        "DeletePending",
        "WriteBoot gen=11 act=bbbb cand=dddd last=req-0002 count=1 recovered req=0",
        "WriteAttempt dddd n0 at=100", "Spawn Candidate dddd"},
       "",
       ""},
      {"recovery: request made against the previous generation is stale",
       recoveryStart(7, 9, makePending("req-0002", 7, "dddd")),
       {"WriteBoot gen=10 act=bbbb count=0 recovered new req=0", "DeletePending",
        "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"recovery: request made against the floor is stale",
       recoveryStart(7, 9, makePending("req-0002", 9, "dddd")),
       {"WriteBoot gen=10 act=bbbb count=0 recovered new req=0", "DeletePending",
        "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"recovery: a lower floor changes nothing",
       recoveryStart(12, 9),
       {"WriteBoot gen=13 act=bbbb count=0 recovered new req=0", "WriteAttempt bbbb n0 at=100",
        "Spawn Active bbbb"},
       "",
       ""},
      {"recovery without a floor",
       previousRecovered,
       {"WriteBoot gen=8 act=bbbb count=0 recovered new req=0", "WriteAttempt bbbb n0 at=100",
        "Spawn Active bbbb"},
       "",
       ""},
      {"recovery at the largest generation", recoveryStart(kMaxGen, std::nullopt), kOverflow, "",
       ""},
      {"recovery whose floor is the largest generation", recoveryStart(3, kMaxGen), kOverflow, "",
       ""},
      {"recovery reaching the largest generation", recoveryStart(kMaxGen - 1, std::nullopt),
       kOverflow, "", ""},
      {"adoption reaching the largest generation",
       withPending(makeBoot(kMaxGen - 1, "bbbb", "", "", 0),
                   makePending("req-0002", kMaxGen - 1, "dddd")),
       {"WriteBoot gen=18446744073709551615 act=bbbb cand=dddd last=req-0002 count=0 new req=0",
        "DeletePending",
        "WriteBoot gen=18446744073709551615 act=bbbb cand=dddd last=req-0002 count=1 req=0",
        "WriteAttempt dddd n0 at=100", "Spawn Candidate dddd"},
       "",
       ""},
      {"rejection reaching the largest generation, then the adoption overflows",
       withPending(makeBoot(kMaxGen - 1, "bbbb", "", "aaaa", 3),
                   makePending("req-0002", kMaxGen, "dddd")),
       kOverflow, "", ""},
      {"used-up candidate rejected; request against the old generation is stale",
       withPending(makeBoot(5, "bbbb", "", "aaaa", 3), makePending("req-0002", 5, "dddd")),
       {"WriteBoot gen=6 act=bbbb count=0 rej=aaaa new req=0", "DeletePending",
        "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"used-up candidate rejected; request naming it is refused",
       withPending(makeBoot(5, "bbbb", "", "aaaa", 3), makePending("req-0002", 6, "aaaa")),
       {"WriteBoot gen=6 act=bbbb count=0 rej=aaaa new req=0", "DeletePending",
        "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"candidate with two attempts used is kept",
       startWith(makeBoot(5, "bbbb", "", "aaaa", 2), {"aaaa", "bbbb"}),
       {"WriteBoot gen=5 act=bbbb cand=aaaa count=3 req=0", "WriteAttempt aaaa n0 at=100",
        "Spawn Candidate aaaa"},
       "",
       ""},
      {"candidate with a differing delivery is kept whatever its count",
       ignored,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       "gen=5 act=bbbb cand=aaaa count=7"},
      {"repeated request id",
       withPending(makeBoot(5, "bbbb", "", "", 0, {}, "req-0002"),
                   makePending("req-0002", 5, "dddd")),
       {"DeletePending", "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"request naming a slot on the rejected list",
       withPending(makeBoot(5, "bbbb", "", "", 0, {"dddd"}), makePending("req-0002", 5, "dddd")),
       {"DeletePending", "WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "",
       ""},
      {"request naming a slot that cannot run keeps the current candidate",
       withPending(makeBoot(5, "bbbb", "", "aaaa", 1), makePending("req-0002", 5, "eeee")),
       {"DeletePending", "WriteBoot gen=5 act=bbbb cand=aaaa count=2 req=0",
        "WriteAttempt aaaa n0 at=100", "Spawn Candidate aaaa"},
       "",
       ""},
      {"candidate handling off",
       off,
       {"WriteAttempt bbbb n0 at=100", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n0 failed=-",
       "gen=5 act=bbbb cand=aaaa count=3"},
      {"adoption replaces a candidate with attempts left",
       withPending(makeBoot(5, "bbbb", "", "aaaa", 1, {}, "req-0001"),
                   makePending("req-0002", 5, "dddd")),
       {"WriteBoot gen=6 act=bbbb cand=dddd last=req-0002 count=0 new req=0", "DeletePending",
        "WriteBoot gen=6 act=bbbb cand=dddd last=req-0002 count=1 req=0",
        "WriteAttempt dddd n0 at=100", "Spawn Candidate dddd"},
       "",
       ""},
  };
}

TEST(MachineStart, Decisions) {
  for (const StartCase& c : startCases()) {
    SCOPED_TRACE(c.name);
    const Transition t = step(State{}, c.start);
    EXPECT_EQ(describe(t.effects), c.effects);
    if (!c.after.empty()) {
      EXPECT_EQ(summary(t.state), c.after);
    }
    if (!c.boot.empty()) {
      EXPECT_EQ(describe(t.state.boot), c.boot);
    }
  }
}

TEST(MachineStart, CandidateAttemptsCountAcrossStartUps) {
  // Each start-up launches the candidate and the stub dies before any report; the next start-up
  // reads what the last one wrote. The fourth finds the attempts used up.
  Boot boot = makeBoot(5, "bbbb", "", "aaaa", 0);
  std::vector<std::string> seen;
  for (int run = 0; run < 4; ++run) {
    const Transition t = step(State{}, startWith(boot, {"aaaa", "bbbb"}));
    for (const Effect& effect : t.effects) {
      if (const auto* write = std::get_if<WriteBoot>(&effect)) boot = write->boot;
      if (!std::holds_alternative<WriteAttempt>(effect)) seen.push_back(describe(effect));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "WriteBoot gen=5 act=bbbb cand=aaaa count=1 req=0", "Spawn Candidate aaaa",
                      "WriteBoot gen=5 act=bbbb cand=aaaa count=2 req=0", "Spawn Candidate aaaa",
                      "WriteBoot gen=5 act=bbbb cand=aaaa count=3 req=0", "Spawn Candidate aaaa",
                      "WriteBoot gen=6 act=bbbb count=0 rej=aaaa new req=0", "Spawn Active bbbb"}));
}

TEST(MachineStart, IgnoresTheGivenState) {
  State messy = launchedState(Role::Candidate, "aaaa", makeBoot(40, "aaaa", "", "aaaa", 2));
  messy.failed = {"bbbb", "cccc", "seed"};
  messy.ready = true;
  messy.terminating = true;
  messy.healthyAt = 77;
  messy.candidatesAllowed = false;
  for (const StartCase& c : startCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dump(step(messy, c.start)), dump(step(State{}, c.start)));
  }
}

TEST(MachineStart, BuildsAFreshState) {
  Start start = startWith(makeBoot(5, "bbbb", "", "", 0), {"bbbb", "cccc"});
  start.nonce = "nonce-start";
  start.now = 4242;
  start.ignored = {"dddd"};
  const Transition t = step(State{}, start);
  EXPECT_EQ(dump(t.state),
            "gen=5 act=bbbb count=0 | launchable=bbbb,cccc seed=1 cands=1 | launched=bbbb Active "
            "nonce=nonce-start failed=- | Active spawnedAt=0 ready=0 healthy=0 healthyAt=0 term=0 "
            "timeout=120000 delay=60000");
}

// ---------------------------------------------------------------------------------------------
// Spawn reports.

TEST(MachineSpawnResult, SuccessRecordsTheTime) {
  struct Case {
    const char* name;
    bool launched;
  };
  const Case cases[] = {{"while launched", true}, {"with nothing launched", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    State state = launchedState(Role::Candidate, "aaaa", makeBoot(5, "", "", "aaaa", 1));
    state.spawnedAt = 0;
    if (!c.launched) state.launched.reset();
    SpawnResult result;
    result.ok = true;
    result.now = 3000;
    const Transition t = step(state, result);
    EXPECT_TRUE(t.effects.empty());
    EXPECT_EQ(t.state.spawnedAt, 3000u);
    EXPECT_EQ(t.state.nonce, "n0");
    EXPECT_EQ(t.state.launched.has_value(), c.launched);
  }
}

// ---------------------------------------------------------------------------------------------
// Ticks: the candidate spawned at 1000 must be healthy before 121000 and is committed 60000 ms
// after the first tick that saw it healthy.

struct TickCase {
  const char* name;
  State state;
  Tick tick;
  std::vector<std::string> effects;
  std::string after;
};

Tick tickAt(std::uint64_t now, bool ready, bool healthy) {
  Tick tick;
  tick.now = now;
  tick.ready = ready;
  tick.healthy = healthy;
  return tick;
}

State healthyCandidate(std::uint64_t healthyAt,
                       Boot boot = makeBoot(5, "bbbb", "cccc", "aaaa", 1, {}, "req-0001")) {
  State state = launchedState(Role::Candidate, "aaaa", std::move(boot));
  state.healthy = true;
  state.healthyAt = healthyAt;
  return state;
}

std::vector<TickCase> tickCases() {
  const Boot boot = makeBoot(5, "bbbb", "cccc", "aaaa", 1, {}, "req-0001");
  const State candidate = launchedState(Role::Candidate, "aaaa", boot);
  State terminating = candidate;
  terminating.terminating = true;
  State unconfirmed = candidate;
  unconfirmed.spawnedAt = 0;
  State committed = healthyCandidate(5000);
  committed.role = Role::Active;
  const State seed = launchedState(Role::Seed, "seed", makeBoot(5, "", "", "", 0));

  return {
      {"seed notes ready and ignores healthy",
       seed,
       tickAt(500000, true, true),
       {},
       "Seed spawnedAt=1000 ready=1 healthy=0 healthyAt=0 term=0"},
      {"a tick without ready never clears it",
       [&] {
         State s = seed;
         s.ready = true;
         return s;
       }(),
       tickAt(2000, false, false),
       {},
       "Seed spawnedAt=1000 ready=1 healthy=0 healthyAt=0 term=0"},
      {"candidate one ms before its deadline",
       candidate,
       tickAt(120999, true, false),
       {},
       "Candidate spawnedAt=1000 ready=1 healthy=0 healthyAt=0 term=0"},
      {"candidate at its deadline",
       candidate,
       tickAt(121000, false, false),
       {"Terminate"},
       "Candidate spawnedAt=1000 ready=0 healthy=0 healthyAt=0 term=1"},
      {"healthy on the deadline itself is too late",
       candidate,
       tickAt(121000, true, true),
       {"Terminate"},
       "Candidate spawnedAt=1000 ready=1 healthy=0 healthyAt=0 term=1"},
      {"terminate is issued once",
       terminating,
       tickAt(121250, false, true),
       {},
       "Candidate spawnedAt=1000 ready=0 healthy=0 healthyAt=0 term=1"},
      {"unconfirmed spawn times out from 0",
       unconfirmed,
       tickAt(120000, false, true),
       {"Terminate"},
       "Candidate spawnedAt=0 ready=0 healthy=0 healthyAt=0 term=1"},
      {"a tick before the spawn time has not timed out",
       candidate,
       tickAt(500, false, false),
       {},
       "Candidate spawnedAt=1000 ready=0 healthy=0 healthyAt=0 term=0"},
      {"healthy just before the deadline",
       candidate,
       tickAt(120999, false, true),
       {},
       "Candidate spawnedAt=1000 ready=0 healthy=1 healthyAt=120999 term=0"},
      {"healthy one ms short of the commit delay",
       healthyCandidate(5000),
       tickAt(64999, false, false),
       {},
       "Candidate spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"committed at the commit delay, long past the health deadline",
       healthyCandidate(5000),
       tickAt(65000, false, false),
       {"WriteBoot gen=6 act=aaaa prev=bbbb last=req-0001 count=0 new req=1"},
       "Active spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"commit without an active slot clears the previous one",
       healthyCandidate(5000, makeBoot(5, "", "cccc", "aaaa", 2, {"dddd"})),
       tickAt(90000, false, false),
       {"WriteBoot gen=6 act=aaaa count=0 rej=dddd new req=1"},
       "Active spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"committing the slot that already is active keeps the previous one",
       healthyCandidate(5000, makeBoot(5, "aaaa", "cccc", "aaaa", 1, {}, "req-0001")),
       tickAt(65000, false, false),
       {"WriteBoot gen=6 act=aaaa prev=cccc last=req-0001 count=0 new req=1"},
       "Active spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"commit at the largest generation",
       healthyCandidate(5000, makeBoot(kMaxGen, "bbbb", "", "aaaa", 1)),
       tickAt(65000, false, false), kOverflow,
       "Candidate spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"a tick earlier than the healthy time waits",
       healthyCandidate(5000),
       tickAt(4000, false, false),
       {},
       "Candidate spawnedAt=1000 ready=0 healthy=1 healthyAt=5000 term=0"},
      {"a committed candidate only notes ready",
       committed,
       tickAt(900000, true, true),
       {},
       "Active spawnedAt=1000 ready=1 healthy=1 healthyAt=5000 term=0"},
  };
}

TEST(MachineTick, DeadlineAndCommit) {
  for (const TickCase& c : tickCases()) {
    SCOPED_TRACE(c.name);
    const Transition t = step(c.state, c.tick);
    EXPECT_EQ(describe(t.effects), c.effects);
    EXPECT_EQ(supervision(t.state), c.after);
  }
}

TEST(MachineTick, NothingLaunchedChangesNothing) {
  State state = launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 1));
  state.launched.reset();
  const Transition t = step(state, tickAt(900000, true, true));
  EXPECT_TRUE(t.effects.empty());
  EXPECT_EQ(dump(t.state), dump(state));
}

TEST(MachineTick, CommitKeepsTheRestOfTheRecord) {
  Boot boot = makeBoot(5, "bbbb", "cccc", "aaaa", 2, {"dddd"}, "req-0001");
  boot.recovered = true;
  State state = healthyCandidate(5000, boot);
  state.ready = true;
  const Transition t = step(state, tickAt(70000, false, false));
  EXPECT_EQ(describe(t.effects),
            (std::vector<std::string>{
                "WriteBoot gen=6 act=aaaa prev=bbbb last=req-0001 count=0 rej=dddd recovered new "
                "req=1"}));
  EXPECT_EQ(summary(t.state), "launched=aaaa Active nonce=n0 failed=-");
  EXPECT_EQ(supervision(t.state), "Active spawnedAt=1000 ready=1 healthy=1 healthyAt=5000 term=0");
}

TEST(MachineTick, CandidateScript) {
  // Spawned at 1000, healthy at 30000, committed at 90000 and not before.
  State state = launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 1));
  state.spawnedAt = 0;
  SpawnResult ok;
  ok.ok = true;
  ok.now = 1000;
  Transition t = step(state, ok);
  std::vector<std::string> seen;
  for (std::uint64_t now = 1250; now <= 95000; now += 250) {
    t = step(t.state, tickAt(now, now >= 20000, now >= 30000));
    for (const std::string& line : describe(t.effects)) {
      seen.push_back(std::to_string(now) + " " + line);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"90000 WriteBoot gen=6 act=aaaa prev=bbbb count=0 "
                                            "new req=1"}));
  EXPECT_EQ(supervision(t.state), "Active spawnedAt=1000 ready=1 healthy=1 healthyAt=30000 term=0");
}

// A runner leaves out the ticks that tickChangesNothing() picks, so it must pick exactly those
// that step() answers with the same state and no effects: every row above, and a grid of
// supervision states and ticks around the health deadline (121000) and the commit delay (65000).
TEST(MachineTick, ChangesNothingExactlyWhenStepDoes) {
  std::vector<std::pair<State, Tick>> cases;
  for (const TickCase& c : tickCases()) cases.emplace_back(c.state, c.tick);
  const Boot boot = makeBoot(5, "bbbb", "cccc", "aaaa", 1, {}, "req-0001");
  for (const Role role : {Role::Candidate, Role::Active, Role::Previous, Role::Seed}) {
    for (int bits = 0; bits < 64; ++bits) {
      State state = launchedState(role, "aaaa", boot);
      if ((bits & 1) != 0) state.launched.reset();
      state.ready = (bits & 2) != 0;
      state.healthy = (bits & 4) != 0;
      state.terminating = (bits & 8) != 0;
      state.healthyAt = (bits & 16) != 0 ? 5000 : 0;
      state.spawnedAt = (bits & 32) != 0 ? 0 : 1000;
      for (const std::uint64_t now : std::vector<std::uint64_t>{
               0, 999, 1000, 4999, 5000, 64999, 65000, 119999, 120000, 120999, 121000, 900000}) {
        for (int news = 0; news < 4; ++news) {
          cases.emplace_back(state, tickAt(now, (news & 1) != 0, (news & 2) != 0));
        }
      }
    }
  }
  for (const auto& [state, tick] : cases) {
    const Transition t = step(state, tick);
    const bool unchanged = t.effects.empty() && dump(t.state) == dump(state);
    EXPECT_EQ(tickChangesNothing(state, tick), unchanged)
        << dump(state) << " at " << tick.now << " ready=" << tick.ready
        << " healthy=" << tick.healthy;
  }
}

// ---------------------------------------------------------------------------------------------
// Exits, row by row: the candidate aaaa (count 1, last request req-0001) or another role, with
// the current nonce n0; the exit event carries nonce n1 and time 300.

struct ExitCase {
  const char* name;
  State state;
  bool clean;
  std::int32_t code;
  std::optional<Restart> restart;
  std::optional<std::string> pendingRequestId;
  std::vector<std::string> effects;
  std::string after;
};

std::vector<ExitCase> exitCases() {
  const Boot boot = makeBoot(5, "bbbb", "cccc", "aaaa", 1, {}, "req-0001");
  const State candidate = launchedState(Role::Candidate, "aaaa", boot);
  const auto with = [](State s, bool ready, bool terminating) {
    s.ready = ready;
    s.terminating = terminating;
    return s;
  };
  const State active =
      launchedState(Role::Active, "bbbb", makeBoot(5, "bbbb", "cccc", "", 0, {}, "req-0001"));
  State nothing = candidate;
  nothing.launched.reset();
  const State seed = launchedState(Role::Seed, "seed", makeBoot(5, "", "", "", 0));
  const Restart honoured = makeRestart("aaaa", "n0", "req-0001");
  const std::vector<std::string> retry = {
      "WriteBoot gen=5 act=bbbb prev=cccc cand=aaaa "
      "last=req-0001 count=2 req=0",
      "WriteAttempt aaaa n1 at=300", "Spawn Candidate aaaa"};
  const std::string giveBack =
      "WriteBoot gen=5 act=bbbb prev=cccc cand=aaaa last=req-0001 "
      "count=0 req=0";

  return {
      {"nothing launched",
       nothing,
       false,
       1,
       honoured,
       {},
       {},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate killed: failed attempt",
       with(candidate, true, false),
       false,
       1,
       honoured,
       {},
       retry,
       "launched=aaaa Candidate nonce=n1 failed=-"},
      {"candidate on its third attempt exits with 3: rejected",
       launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "cccc", "aaaa", 3)),
       false,
       3,
       {},
       {},
       {"WriteBoot gen=6 act=bbbb prev=cccc count=0 rej=aaaa new req=0",
        "WriteAttempt bbbb n1 at=300", "Spawn Active bbbb"},
       "launched=bbbb Active nonce=n1 failed=aaaa"},
      {"ready active slot killed: its status",
       with(active, true, false),
       false,
       1,
       {},
       {},
       {"Exit 1"},
       "launched=- Active nonce=n0 failed=-"},
      {"ready active slot fails with a restart request: no relaunch",
       with(active, true, false),
       false,
       7,
       makeRestart("bbbb", "n0"),
       {},
       {"Exit 7"},
       "launched=- Active nonce=n0 failed=-"},
      {"active slot killed before ready: failed attempt",
       active,
       false,
       1,
       {},
       {},
       {"WriteAttempt cccc n1 at=300", "Spawn Previous cccc"},
       "launched=cccc Previous nonce=n1 failed=bbbb"},
      {"candidate exits cleanly after its time-out: failed attempt",
       with(candidate, true, true),
       true,
       0,
       honoured,
       {},
       retry,
       "launched=aaaa Candidate nonce=n1 failed=-"},
      {"candidate restart with the last request id: relaunch",
       candidate,
       true,
       0,
       honoured,
       {},
       {giveBack, "Relaunch"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate restart without a request id: relaunch",
       candidate,
       true,
       0,
       makeRestart("aaaa", "n0"),
       {},
       {giveBack, "Relaunch"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate restart with the waiting request's id: relaunch",
       candidate,
       true,
       0,
       makeRestart("aaaa", "n0", "req-0009"),
       std::string("req-0009"),
       {giveBack, "Relaunch"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate restart with an unknown request id: exit",
       candidate,
       true,
       0,
       makeRestart("aaaa", "n0", "req-0009"),
       std::string("req-0008"),
       {giveBack, "Exit 0"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate restart naming another attempt: exit",
       candidate,
       true,
       0,
       makeRestart("aaaa", "n1", "req-0001"),
       {},
       {giveBack, "Exit 0"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate restart naming another slot: exit",
       candidate,
       true,
       0,
       makeRestart("bbbb", "n0", "req-0001"),
       {},
       {giveBack, "Exit 0"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"candidate clean exit at count 0 stays at 0",
       launchedState(Role::Candidate, "aaaa", makeBoot(5, "bbbb", "", "aaaa", 0)),
       true,
       0,
       {},
       {},
       {"WriteBoot gen=5 act=bbbb cand=aaaa count=0 req=0", "Exit 0"},
       "launched=- Candidate nonce=n0 failed=-"},
      {"active slot terminating and not ready: failed attempt",
       with(active, false, true),
       true,
       0,
       makeRestart("bbbb", "n0"),
       {},
       {"WriteAttempt cccc n1 at=300", "Spawn Previous cccc"},
       "launched=cccc Previous nonce=n1 failed=bbbb"},
      {"active slot terminating but ready: restart honoured",
       with(active, true, true),
       true,
       0,
       makeRestart("bbbb", "n0"),
       {},
       {"Relaunch"},
       "launched=- Active nonce=n0 failed=-"},
      {"active slot exits cleanly before ready",
       active,
       true,
       0,
       {},
       {},
       {"Exit 0"},
       "launched=- Active nonce=n0 failed=-"},
      {"seed exits cleanly",
       seed,
       true,
       0,
       {},
       {},
       {"Exit 0"},
       "launched=- Seed nonce=n0 failed=-"},
      {"seed restart",
       seed,
       true,
       0,
       makeRestart("seed", "n0"),
       {},
       {"Relaunch"},
       "launched=- Seed nonce=n0 failed=-"},
      {"request id with no last id and nothing on disk is not honoured",
       seed,
       true,
       0,
       makeRestart("seed", "n0", "req-0001"),
       {},
       {"Exit 0"},
       "launched=- Seed nonce=n0 failed=-"},
  };
}

TEST(MachineChildExited, ExitTable) {
  for (const ExitCase& c : exitCases()) {
    SCOPED_TRACE(c.name);
    ChildExited exited;
    exited.exitCode = c.code;
    exited.clean = c.clean;
    exited.restart = c.restart;
    exited.pendingRequestId = c.pendingRequestId;
    exited.nonce = "n1";
    exited.now = 300;
    const Transition t = step(c.state, exited);
    EXPECT_EQ(describe(t.effects), c.effects);
    EXPECT_EQ(summary(t.state), c.after);
  }
}

// ---------------------------------------------------------------------------------------------
// Randomized walk: a simulated runner feeds step() the events it could send and checks the
// invariants of every transition. Set LAUNCHER_STUB_WALK_SEED to replay a failure.

const std::vector<std::string> kPool = {"aaaa", "bbbb", "cccc", "dddd", "eeee"};
const std::vector<std::string> kRequests = {"req-0001", "req-0002", "req-0003"};

struct Stats {
  int commits = 0;
  int terminates = 0;
  int adoptions = 0;
  int rejections = 0;
  int overflows = 0;
  int relaunches = 0;
  int noRunnable = 0;
  int candidateSpawns = 0;
};

class Walk {
 public:
  explicit Walk(std::uint64_t seed) : rng_(seed) {}

  void run(int runs) {
    for (int i = 0; i < runs && !::testing::Test::HasFatalFailure(); ++i) oneRun();
  }

  Stats stats;

 private:
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  std::uint64_t uniform(std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng_);
  }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[uniform(0, items.size() - 1)];
  }
  std::optional<std::string> maybeSlot(double p) {
    if (!chance(p)) return std::nullopt;
    return pick(kPool);
  }
  std::string freshNonce() { return "nonce-" + std::to_string(++nonces_); }

  std::uint64_t randomGeneration() {
    const std::uint64_t kind = uniform(0, 9);
    if (kind < 7) return uniform(0, 12);
    if (kind < 9) return kMaxGen - uniform(0, 3);
    return uniform(0, kMaxGen);
  }

  Boot randomBoot() {
    Boot boot;
    boot.generation = randomGeneration();
    boot.active = maybeSlot(0.7);
    boot.previous = maybeSlot(0.5);
    boot.candidate = maybeSlot(0.6);
    if (chance(0.5)) boot.lastRequestId = pick(kRequests);
    boot.attemptCount = static_cast<std::uint32_t>(chance(0.9) ? uniform(0, 4) : uniform(5, 50));
    if (chance(0.15)) {
      boot.rejected = fillers(static_cast<int>(uniform(60, 64)));
    } else {
      const std::uint64_t n = uniform(0, 3);
      for (std::uint64_t i = 0; i < n; ++i) boot.rejected.push_back(pick(kPool));
    }
    // A parsed document never holds more than 64 entries.
    while (boot.rejected.size() > 64) boot.rejected.erase(boot.rejected.begin());
    boot.recovered = chance(0.2);
    return boot;
  }

  Start randomStart() {
    Start start;
    const std::uint64_t kind = uniform(0, 9);
    if (kind < 6 && disk_) {
      start.boot = disk_;
    } else if (kind < 8) {
      start.boot = randomBoot();
    } else if (kind < 9) {
      start.previousBoot = disk_ && chance(0.5) ? *disk_ : randomBoot();
      if (chance(0.5)) start.generationFloor = randomGeneration();
    } else {
      if (chance(0.3)) start.generationFloor = randomGeneration();
      start.fresh = !start.generationFloor && chance(0.7);
    }
    // Requests are made mostly against the generation the machine will hold when it tests
    // them (after a recovery or a rejection), sometimes against a stale or a future one.
    std::uint64_t base = 0;
    if (start.boot) base = start.boot->generation;
    if (start.previousBoot) {
      base = std::max(start.previousBoot->generation, start.generationFloor.value_or(0)) + 1;
    }
    if (chance(0.5)) {
      static const std::vector<std::uint64_t> offsets = {kMaxGen, 0, 0, 0, 1, 1, 2};
      start.pending = makePending(pick(kRequests), base + pick(offsets), pick(kPool));
    }
    for (const std::string& slot : kPool) {
      if (chance(0.7)) {
        start.launchable.insert(slot);
      } else if (chance(0.3)) {
        start.ignored.insert(slot);
      }
    }
    start.seedAvailable = chance(0.85);
    start.candidatesAllowed = chance(0.85);
    start.nonce = freshNonce();
    now_ += uniform(0, 5000);
    start.now = now_;
    return start;
  }

  Tick randomTick(const State& state) {
    now_ += chance(0.9) ? 250 : uniform(250, 70000);
    Tick tick;
    tick.now = now_;
    tick.ready = chance(state.ready ? 0.9 : 0.3);
    tick.healthy = healthyFrom_ && now_ >= *healthyFrom_ && chance(0.9);
    return tick;
  }

  ChildExited randomExit(const State& state, bool killed) {
    now_ += uniform(0, 500);
    ChildExited exited;
    exited.clean = !killed && chance(0.5);
    exited.exitCode = exited.clean ? 0 : static_cast<std::int32_t>(uniform(1, 255));
    if (chance(0.6)) {
      Restart restart;
      restart.slot = chance(0.85) ? state.launched.value_or("seed") : pick(kPool);
      restart.nonce = chance(0.85) ? state.nonce : freshNonce();
      const std::uint64_t id = uniform(0, 3);
      if (id == 1 && state.boot.lastRequestId) restart.requestId = state.boot.lastRequestId;
      if (id >= 2) restart.requestId = pick(kRequests);
      exited.restart = restart;
    }
    if (chance(0.3)) exited.pendingRequestId = pick(kRequests);
    exited.nonce = freshNonce();
    exited.now = now_;
    return exited;
  }

  // One run of the stub, from a start-up to its exit, with every relaunch on the way.
  void oneRun() {
    State state;
    Event event = randomStart();
    for (int events = 0; events < 400; ++events) {
      const Transition t = step(state, event);
      check(state, event, t);
      if (::testing::Test::HasFatalFailure()) {
        ADD_FAILURE() << "event " << event.index() << "\nbefore: " << dump(state)
                      << "\neffects: " << joined(describe(t.effects))
                      << "\nafter: " << dump(t.state);
        return;
      }
      // Equal arguments give equal results.
      if (events % 8 == 0) {
        ASSERT_EQ(dump(step(state, event)), dump(t));
      }

      const WriteBoot* lastWrite = nullptr;
      for (const Effect& effect : t.effects) {
        if (const auto* w = std::get_if<WriteBoot>(&effect)) lastWrite = w;
      }
      // A commit is written only while the runtime runs: sometimes it has just ended, and the
      // runner drops the transition and reports the exit instead.
      if (lastWrite && lastWrite->requireRunning && chance(0.2)) {
        event = randomExit(state, false);
        continue;
      }
      if (lastWrite) disk_ = lastWrite->boot;
      track(event, t);
      state = t.state;

      const Effect* final = t.effects.empty() ? nullptr : &t.effects.back();
      if (final && std::holds_alternative<Exit>(*final)) {
        return;
      }
      if (final && std::holds_alternative<Relaunch>(*final)) {
        event = randomStart();
      } else if (final && std::holds_alternative<Spawn>(*final)) {
        SpawnResult result;
        result.ok = chance(0.9);
        now_ += uniform(0, 50);
        result.now = now_;
        if (!result.ok) result.nonce = freshNonce();
        event = result;
      } else if (!state.launched) {
        ADD_FAILURE() << "nothing runs and the run goes on after " << joined(describe(t.effects));
        return;
      } else if (terminated_ || chance(0.02)) {
        event = randomExit(state, terminated_);
      } else {
        event = randomTick(state);
      }
    }
  }

  // Per-attempt facts that the walk observes from outside the machine.
  void track(const Event& event, const Transition& t) {
    if (const auto* tick = std::get_if<Tick>(&event)) {
      if (tick->healthy && !firstHealthy_) firstHealthy_ = tick->now;
    }
    for (const Effect& effect : t.effects) {
      if (std::holds_alternative<Terminate>(effect)) terminated_ = true;
      if (std::holds_alternative<Spawn>(effect)) {
        terminated_ = false;
        firstHealthy_.reset();
        // Some runtimes never report healthy, the others after a while, sometimes too late.
        healthyFrom_.reset();
        if (chance(0.75)) healthyFrom_ = now_ + uniform(0, 150000);
      }
    }
  }

  void check(const State& before, const Event& event, const Transition& t) {
    const std::vector<std::string> lines = describe(t.effects);
    const bool isStart = std::holds_alternative<Start>(event);
    const bool overflowed = lines == kOverflow;
    if (overflowed) ++stats.overflows;

    // The generation and the rejected list, write by write.
    std::uint64_t generation = before.boot.generation;
    std::vector<std::string> rejected = before.boot.rejected;
    if (const auto* start = std::get_if<Start>(&event)) {
      generation = 0;
      rejected.clear();
      if (start->boot) {
        generation = start->boot->generation;
        rejected = start->boot->rejected;
      } else if (start->previousBoot) {
        generation = std::max(start->previousBoot->generation, start->generationFloor.value_or(0));
        rejected = start->previousBoot->rejected;
      }
    }
    const auto checkRejected = [&](const std::vector<std::string>& next) {
      ASSERT_LE(next.size(), 64u);
      if (next == rejected) return;
      ++stats.rejections;
      // One slot appended that was not on the list, the oldest dropped only from a full list.
      ASSERT_FALSE(next.empty());
      const std::string& added = next.back();
      ASSERT_EQ(std::count(rejected.begin(), rejected.end(), added), 0) << added;
      std::vector<std::string> expected = rejected;
      expected.push_back(added);
      if (expected.size() > 64) expected.erase(expected.begin());
      ASSERT_EQ(next, expected);
    };
    for (const Effect& effect : t.effects) {
      const auto* write = std::get_if<WriteBoot>(&effect);
      if (!write) continue;
      if (write->newGeneration) {
        ASSERT_LT(generation, kMaxGen);
        ASSERT_EQ(write->boot.generation, generation + 1);
      } else {
        ASSERT_EQ(write->boot.generation, generation);
      }
      generation = write->boot.generation;
      checkRejected(write->boot.rejected);
      rejected = write->boot.rejected;
      if (write->requireRunning) {
        ASSERT_TRUE(write->newGeneration);
      }
    }
    if (!overflowed) {
      ASSERT_EQ(t.state.boot.generation, generation);
      ASSERT_EQ(t.state.boot.rejected, rejected);
    }
    if (!isStart) {
      ASSERT_GE(t.state.boot.generation, before.boot.generation);
      // Failed slots are only ever added within one run.
      ASSERT_TRUE(std::includes(t.state.failed.begin(), t.state.failed.end(), before.failed.begin(),
                                before.failed.end()));
      ASSERT_EQ(t.state.launchable, before.launchable);
      ASSERT_EQ(t.state.seedAvailable, before.seedAvailable);
      ASSERT_EQ(t.state.candidatesAllowed, before.candidatesAllowed);
    } else {
      ASSERT_TRUE(t.state.failed.empty());
    }
    ASSERT_EQ(t.state.healthyTimeout, 120000u);
    ASSERT_EQ(t.state.commitDelay, 60000u);

    // The shape of the list: WriteAttempt right before its Spawn; Spawn, Exit and Relaunch
    // last; ShowError right before Exit 1.
    for (std::size_t i = 0; i < t.effects.size(); ++i) {
      const Effect& effect = t.effects[i];
      const bool last = i + 1 == t.effects.size();
      if (const auto* spawn = std::get_if<Spawn>(&effect)) {
        ASSERT_TRUE(last);
        ASSERT_GE(i, 1u);
        const auto* attempt = std::get_if<WriteAttempt>(&t.effects[i - 1]);
        ASSERT_NE(attempt, nullptr);
        ASSERT_EQ(attempt->attempt.slot, spawn->slot);
        ASSERT_EQ(attempt->attempt.nonce, t.state.nonce);
        ASSERT_EQ(t.state.launched, spawn->slot);
        ASSERT_EQ(t.state.role, spawn->role);
        ASSERT_EQ(t.state.failed.count(spawn->slot), 0u);
        ASSERT_EQ(t.state.spawnedAt, 0u);
        ASSERT_FALSE(t.state.ready || t.state.healthy || t.state.terminating);
        switch (spawn->role) {
          case Role::Candidate: {
            ++stats.candidateSpawns;
            ASSERT_GE(i, 2u);
            const auto* write = std::get_if<WriteBoot>(&t.effects[i - 2]);
            ASSERT_NE(write, nullptr);
            ASSERT_EQ(write->boot.candidate, spawn->slot);
            ASSERT_GE(write->boot.attemptCount, 1u);
            ASSERT_LE(write->boot.attemptCount, 3u);
            ASSERT_EQ(write->boot.attemptCount, t.state.boot.attemptCount);
            ASSERT_FALSE(write->newGeneration);
            ASSERT_EQ(
                std::count(write->boot.rejected.begin(), write->boot.rejected.end(), spawn->slot),
                0);
            ASSERT_EQ(t.state.launchable.count(spawn->slot), 1u);
            ASSERT_TRUE(t.state.candidatesAllowed);
            break;
          }
          case Role::Active:
            ASSERT_EQ(t.state.boot.active, spawn->slot);
            ASSERT_EQ(t.state.launchable.count(spawn->slot), 1u);
            break;
          case Role::Previous:
            ASSERT_EQ(t.state.boot.previous, spawn->slot);
            ASSERT_EQ(t.state.launchable.count(spawn->slot), 1u);
            break;
          case Role::Seed:
            ASSERT_EQ(spawn->slot, "seed");
            ASSERT_TRUE(t.state.seedAvailable);
            break;
        }
      } else if (std::holds_alternative<WriteAttempt>(effect)) {
        ASSERT_FALSE(last);
        ASSERT_TRUE(std::holds_alternative<Spawn>(t.effects[i + 1]));
      } else if (const auto* error = std::get_if<ShowError>(&effect)) {
        ASSERT_EQ(i + 2, t.effects.size());
        const auto* exit = std::get_if<Exit>(&t.effects[i + 1]);
        ASSERT_NE(exit, nullptr);
        ASSERT_EQ(exit->code, 1);
        ASSERT_TRUE(error->message == "generation overflow" ||
                    error->message == "No runnable runtime")
            << error->message;
        if (error->message == "No runnable runtime") ++stats.noRunnable;
      } else if (const auto* exit = std::get_if<Exit>(&effect)) {
        ASSERT_TRUE(last);
        if (i == 0 || !std::holds_alternative<ShowError>(t.effects[i - 1])) {
          const auto* exited = std::get_if<ChildExited>(&event);
          ASSERT_NE(exited, nullptr);
          ASSERT_EQ(exit->code, exited->exitCode);
        }
      } else if (std::holds_alternative<Relaunch>(effect)) {
        ASSERT_TRUE(last);
        ++stats.relaunches;
        const auto* exited = std::get_if<ChildExited>(&event);
        ASSERT_NE(exited, nullptr);
        ASSERT_TRUE(exited->clean);
        ASSERT_TRUE(exited->restart.has_value());
        ASSERT_EQ(exited->restart->slot, before.launched);
        ASSERT_EQ(exited->restart->nonce, before.nonce);
      } else if (std::holds_alternative<DeletePending>(effect)) {
        ASSERT_TRUE(isStart);
      }
    }
    // Whatever ends the attempt either starts another slot or ends the run.
    if (!t.state.launched && (isStart || before.launched)) {
      ASSERT_FALSE(t.effects.empty());
      ASSERT_TRUE(std::holds_alternative<Exit>(t.effects.back()) ||
                  std::holds_alternative<Relaunch>(t.effects.back()));
    }

    if (const auto* start = std::get_if<Start>(&event)) {
      // A request is examined, and then deleted, exactly when a document was read and
      // candidate handling is on; an adoption's write comes right before the deletion.
      const bool examined =
          start->pending && (start->boot || start->previousBoot) && start->candidatesAllowed;
      const auto deletion = std::find_if(t.effects.begin(), t.effects.end(), [](const Effect& e) {
        return std::holds_alternative<DeletePending>(e);
      });
      if (!overflowed) {
        ASSERT_EQ(deletion != t.effects.end(), examined);
      }
      if (deletion != t.effects.end() && deletion != t.effects.begin()) {
        // Only an adoption changes the last request id.
        const Boot& read = start->boot ? *start->boot : *start->previousBoot;
        const auto* write = std::get_if<WriteBoot>(&*(deletion - 1));
        if (write && read.lastRequestId != write->boot.lastRequestId) {
          ASSERT_EQ(write->boot.lastRequestId, start->pending->requestId);
          ASSERT_EQ(write->boot.candidate, start->pending->candidate);
          ASSERT_TRUE(write->newGeneration);
          ++stats.adoptions;
          ASSERT_EQ(write->boot.attemptCount, 0u);
          ASSERT_EQ(write->boot.generation, start->pending->expectedGeneration + 1);
          ASSERT_EQ(t.state.launchable.count(start->pending->candidate), 1u);
          ASSERT_EQ(std::count(write->boot.rejected.begin(), write->boot.rejected.end(),
                               start->pending->candidate),
                    0);
        }
      }
      return;
    }
    if (const auto* tick = std::get_if<Tick>(&event)) {
      if (!before.launched) {
        ASSERT_TRUE(t.effects.empty());
      }
      for (const Effect& effect : t.effects) {
        if (std::holds_alternative<Terminate>(effect)) {
          ++stats.terminates;
          ASSERT_EQ(t.effects.size(), 1u);
          ASSERT_EQ(before.role, Role::Candidate);
          ASSERT_FALSE(before.terminating);
          ASSERT_FALSE(before.healthy);
          ASSERT_FALSE(terminated_);
          ASSERT_GE(tick->now, before.spawnedAt + 120000);
        }
        const auto* write = std::get_if<WriteBoot>(&effect);
        if (write && write->requireRunning) {
          ++stats.commits;
          ASSERT_EQ(before.role, Role::Candidate);
          ASSERT_FALSE(terminated_);
          ASSERT_FALSE(t.state.terminating);
          ASSERT_TRUE(firstHealthy_ || tick->healthy);
          const std::uint64_t seen = firstHealthy_.value_or(tick->now);
          ASSERT_GE(tick->now, seen + 60000);
          ASSERT_LT(t.state.healthyAt, t.state.spawnedAt + 120000);
          ASSERT_LE(seen, t.state.healthyAt);
          ASSERT_EQ(write->boot.active, before.launched);
          // Committing the slot that already is active keeps the fallback.
          ASSERT_EQ(write->boot.previous, before.boot.active == before.launched
                                              ? before.boot.previous
                                              : before.boot.active);
          ASSERT_FALSE(write->boot.candidate.has_value());
          ASSERT_EQ(t.state.role, Role::Active);
        }
      }
    }
    if (std::holds_alternative<ChildExited>(event) && !before.launched) {
      ASSERT_TRUE(t.effects.empty());
    }
  }

  std::mt19937_64 rng_;
  std::uint64_t now_ = 1000;
  int nonces_ = 0;
  std::optional<Boot> disk_;
  bool terminated_ = false;
  std::optional<std::uint64_t> firstHealthy_;
  std::optional<std::uint64_t> healthyFrom_;
};

TEST(MachineWalk, InvariantsHoldOnRandomRuns) {
  std::uint64_t seed = 20240611;
  if (const char* text = std::getenv("LAUNCHER_STUB_WALK_SEED")) {
    seed = std::strtoull(text, nullptr, 10);
  }
  std::printf("machine walk seed %llu (set LAUNCHER_STUB_WALK_SEED to replay)\n",
              static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  Walk walk(seed);
  walk.run(3000);
  // The walk must reach the interesting decisions, or its invariants prove little.
  const Stats& s = walk.stats;
  std::printf(
      "commits %d terminates %d adoptions %d rejections %d overflows %d relaunches %d "
      "no-runnable %d candidate spawns %d\n",
      s.commits, s.terminates, s.adoptions, s.rejections, s.overflows, s.relaunches, s.noRunnable,
      s.candidateSpawns);
  EXPECT_GT(s.commits, 0);
  EXPECT_GT(s.terminates, 0);
  EXPECT_GT(s.adoptions, 0);
  EXPECT_GT(s.rejections, 0);
  EXPECT_GT(s.overflows, 0);
  EXPECT_GT(s.relaunches, 0);
  EXPECT_GT(s.noRunnable, 0);
}

}  // namespace
}  // namespace launcher_stub
