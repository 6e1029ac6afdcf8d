#include "records/Records.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher_stub {
namespace {

constexpr std::uint64_t kMax64 = 18446744073709551615u;
constexpr std::uint32_t kMax32 = 4294967295u;

const std::string kSlotA = "3f9a0c12";
const std::string kSlotB = "b71e44d0";
const std::string kSlotC = "9c0d1e2f";
const std::string kNonce = "0123456789abcdef0123456789abcdef";
const std::string kRequest = "req-0001";
const std::string kDeliveryId(64, 'a');

// A document of schema version 1 with the given members after it.
std::string doc(std::string_view members) {
  std::string text = R"({"schemaVersion":1)";
  if (!members.empty()) {
    text += ',';
    text += members;
  }
  text += '}';
  return text;
}

// `count` quoted slot ids, comma separated.
std::string slotList(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += '"' + kSlotC + '"';
  }
  return text;
}

// A parser under a common signature, so that one table can be run against all seven.
using Parse = std::function<bool(std::string_view, std::string&)>;

struct NamedParser {
  const char* name;
  Parse parse;
};

template <typename Record, bool (*parser)(std::string_view, Record&, std::string&)>
Parse wrap() {
  return [](std::string_view text, std::string& error) {
    Record record;
    return parser(text, record, error);
  };
}

std::vector<NamedParser> allParsers() {
  return {
      {"bootstrap", wrap<Bootstrap, parseBootstrap>()}, {"boot", wrap<Boot, parseBoot>()},
      {"pending", wrap<Pending, parsePending>()},       {"attempt", wrap<Attempt, parseAttempt>()},
      {"marker", wrap<Marker, parseMarker>()},          {"restart", wrap<Restart, parseRestart>()},
      {"delivery", wrap<Delivery, parseDelivery>()},
  };
}

struct ErrorCase {
  std::string input;
  std::string error;
};

// Runs every row through `parser` and expects it to fail with exactly the row's text.
template <typename Record>
void expectErrors(bool (*parser)(std::string_view, Record&, std::string&),
                  const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.input);
    Record record;
    std::string error;
    EXPECT_FALSE(parser(c.input, record, error));
    EXPECT_EQ(error, c.error);
  }
}

// Member-by-member comparisons: the records have no equality of their own.
void expectSame(const Boot& a, const Boot& b) {
  EXPECT_EQ(a.generation, b.generation);
  EXPECT_EQ(a.active, b.active);
  EXPECT_EQ(a.previous, b.previous);
  EXPECT_EQ(a.candidate, b.candidate);
  EXPECT_EQ(a.lastRequestId, b.lastRequestId);
  EXPECT_EQ(a.attemptCount, b.attemptCount);
  EXPECT_EQ(a.rejected, b.rejected);
  EXPECT_EQ(a.recovered, b.recovered);
}

void expectSame(const Bootstrap& a, const Bootstrap& b) {
  EXPECT_EQ(a.installId, b.installId);
  EXPECT_EQ(a.seedSlot, b.seedSlot);
  EXPECT_EQ(a.stateRoot, b.stateRoot);
}

void expectSame(const Pending& a, const Pending& b) {
  EXPECT_EQ(a.requestId, b.requestId);
  EXPECT_EQ(a.expectedGeneration, b.expectedGeneration);
  EXPECT_EQ(a.candidate, b.candidate);
}

void expectSame(const Attempt& a, const Attempt& b) {
  EXPECT_EQ(a.slot, b.slot);
  EXPECT_EQ(a.nonce, b.nonce);
  EXPECT_EQ(a.startedAt, b.startedAt);
}

void expectSame(const Marker& a, const Marker& b) {
  EXPECT_EQ(a.slot, b.slot);
  EXPECT_EQ(a.nonce, b.nonce);
}

void expectSame(const Restart& a, const Restart& b) {
  EXPECT_EQ(a.slot, b.slot);
  EXPECT_EQ(a.nonce, b.nonce);
  EXPECT_EQ(a.requestId, b.requestId);
}

// A record whose every member holds something a parse must overwrite.
Boot staleBoot() {
  Boot boot;
  boot.generation = 99;
  boot.active = "dead";
  boot.previous = "beef";
  boot.candidate = "f00d";
  boot.lastRequestId = "stale-request";
  boot.attemptCount = 3;
  boot.rejected = {"aaaa", "bbbb"};
  boot.recovered = true;
  return boot;
}

// ---------------------------------------------------------------------------------------------
// Identifiers

TEST(IdentifierTest, SlotIds) {
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"abcd", true},
      {"0000", true},
      {"0123456789abcdef", true},
      {std::string(64, 'f'), true},
      {"abc", false},
      {std::string(65, 'f'), false},
      {"", false},
      {"ABCD", false},
      {"abcD", false},
      {"abcg", false},
      {"seed", false},
      {"abcd ", false},
      {" abcd", false},
      {std::string("abc\0", 4), false},
      {"ab-cd", false},
      {"\xc3\xa9"
       "abcd",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(validSlot(c.text), c.valid);
  }
}

TEST(IdentifierTest, Tokens) {
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"Ab-_09zZ", true},
      {"abcdefgh", true},
      {"--------", true},
      {kNonce, true},
      {std::string(64, 'Z'), true},
      {std::string(62, 'x') + "-_", true},
      {"Ab-_09z", false},
      {std::string(65, 'Z'), false},
      {"", false},
      {"abcd.efgh", false},
      {"abcd efgh", false},
      {"abcd+efgh", false},
      {"abcd/efgh", false},
      {"abcdefg\xc3\xa9", false},
      {"abcdefg\x80", false},
      {std::string("abcdefgh\0", 9), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(validToken(c.text), c.valid);
  }
}

// ---------------------------------------------------------------------------------------------
// Envelope: the same rules and texts for every document, checked before any member.

TEST(EnvelopeTest, SameFailuresForEveryDocument) {
  const std::vector<ErrorCase> cases = {
      {"", "missing value"},
      {"   ", "missing value"},
      {"{", "object syntax"},
      {R"({"schemaVersion":1)", "object syntax"},
      {R"({"schemaVersion":1,"schemaVersion":1})", "duplicate key"},
      {R"({"schemaVersion":1} x)", "trailing data"},
      {std::string(65537, ' '), "record too large"},
      {"[]", "expected object"},
      {"5", "expected object"},
      {"null", "expected object"},
      {R"("schemaVersion")", "expected object"},
      {"{}", "missing schemaVersion"},
      {R"({"schemaversion":1})", "missing schemaVersion"},
      {R"({"schemaVersion":"1"})", "missing schemaVersion"},
      {R"({"schemaVersion":null})", "missing schemaVersion"},
      {R"({"schemaVersion":true})", "missing schemaVersion"},
      {R"({"schemaVersion":[1]})", "missing schemaVersion"},
      {R"({"schemaVersion":{"major":1}})", "missing schemaVersion"},
      {R"({"schemaVersion":1.0})", "invalid schemaVersion"},
      {R"({"schemaVersion":1e0})", "invalid schemaVersion"},
      {R"({"schemaVersion":1E0})", "invalid schemaVersion"},
      {R"({"schemaVersion":-1})", "invalid schemaVersion"},
      {R"({"schemaVersion":-0})", "invalid schemaVersion"},
      {R"({"schemaVersion":2.5})", "invalid schemaVersion"},
      {R"({"schemaVersion":18446744073709551616})", "invalid schemaVersion"},
      {R"({"schemaVersion":99999999999999999999})", "invalid schemaVersion"},
      {R"({"schemaVersion":184467440737095516150})", "invalid schemaVersion"},
      {R"({"schemaVersion":0})", "unsupported major"},
      {R"({"schemaVersion":2})", "unsupported major"},
      {R"({"schemaVersion":10})", "unsupported major"},
      {R"({"schemaVersion":18446744073709551615})", "unsupported major"},
      // Another major version wins over whatever the members hold.
      {R"({"schemaVersion":2,"installId":5,"generation":"x","slot":null,"deliveryId":[]})",
       "unsupported major"},
  };
  for (const NamedParser& p : allParsers()) {
    SCOPED_TRACE(p.name);
    for (const ErrorCase& c : cases) {
      SCOPED_TRACE(c.input.size() > 80 ? c.input.substr(0, 80) : c.input);
      std::string error;
      EXPECT_FALSE(p.parse(c.input, error));
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(EnvelopeTest, ErrorIsReplacedOnFailureAndUntouchedOnSuccess) {
  const struct {
    const char* name;
    Parse parse;
    std::string valid;
    std::string invalid;
    std::string error;
  } cases[] = {
      {"bootstrap", wrap<Bootstrap, parseBootstrap>(), doc(R"("installId":"i","seedSlot":"seed")"),
       doc(R"("installId":"","seedSlot":"seed")"), "invalid bootstrap"},
      {"boot", wrap<Boot, parseBoot>(), doc(R"("generation":1,"attemptCount":0,"rejected":[])"),
       doc(R"("generation":1,"attemptCount":0)"), "invalid rejected"},
      {"pending", wrap<Pending, parsePending>(),
       doc(R"("requestId":"req-0001","expectedGeneration":1,"candidate":"abcd")"),
       doc(R"("requestId":"req-0001","expectedGeneration":1,"candidate":"seed")"), "invalid slot"},
      {"attempt", wrap<Attempt, parseAttempt>(),
       doc(R"("slot":"seed","nonce":"nonce-01","startedAt":0)"),
       doc(R"("slot":"seed","nonce":"nonce-01")"), "invalid startedAt"},
      {"marker", wrap<Marker, parseMarker>(), doc(R"("slot":"seed","nonce":"nonce-01")"),
       doc(R"("slot":"seed","nonce":"nonce01")"), "invalid token"},
      {"restart", wrap<Restart, parseRestart>(), doc(R"("slot":"seed","nonce":"nonce-01")"),
       doc(R"("slot":"seed","nonce":"nonce-01","requestId":5)"), "invalid requestId"},
      {"delivery", wrap<Delivery, parseDelivery>(), doc(R"("deliveryId":")" + kDeliveryId + '"'),
       doc(R"("deliveryId":"abc")"), "invalid deliveryId"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = "an earlier failure";
    EXPECT_TRUE(c.parse(c.valid, error));
    EXPECT_EQ(error, "an earlier failure");
    EXPECT_FALSE(c.parse(c.invalid, error));
    EXPECT_EQ(error, c.error);
    // A second failure replaces the first rather than adding to it.
    EXPECT_FALSE(c.parse("[]", error));
    EXPECT_EQ(error, "expected object");
  }
}

// ---------------------------------------------------------------------------------------------
// Boot document

TEST(BootTest, Errors) {
  const std::string counts = R"("generation":1,"attemptCount":0,)";
  expectErrors(
      parseBoot,
      {
          {doc(R"("attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":null,"attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":"1","attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":-1,"attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":1.5,"attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":1e3,"attemptCount":0,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":18446744073709551616,"attemptCount":0,"rejected":[])"),
           "invalid generation"},
          // "generation" is read before "attemptCount".
          {doc(R"("generation":true,"attemptCount":-1,"rejected":[])"), "invalid generation"},
          {doc(R"("generation":1,"rejected":[])"), "invalid attemptCount"},
          {doc(R"("generation":1,"attemptCount":-1,"rejected":[])"), "invalid attemptCount"},
          {doc(R"("generation":1,"attemptCount":18446744073709551616,"rejected":[])"),
           "invalid attemptCount"},
          {doc(R"("generation":1,"attemptCount":4294967296,"rejected":[])"),
           "attemptCount overflow"},
          {doc(R"("generation":1,"attemptCount":18446744073709551615,"rejected":[])"),
           "attemptCount overflow"},
          {doc(R"("generation":1,"attemptCount":4294967296,"active":5,"rejected":[])"),
           "attemptCount overflow"},
          {doc(counts + R"("active":5,"rejected":[])"), "invalid active"},
          {doc(counts + R"("previous":true,"rejected":[])"), "invalid previous"},
          {doc(counts + R"("candidate":[],"rejected":[])"), "invalid candidate"},
          {doc(counts + R"("lastRequestId":7,"rejected":[])"), "invalid lastRequestId"},
          // All four optional members are read before any identifier check.
          {doc(counts + R"("active":"seed","lastRequestId":7,"rejected":[])"),
           "invalid lastRequestId"},
          {doc(counts + R"("active":"","rejected":[])"), "invalid slot"},
          {doc(counts + R"("active":"seed","rejected":[])"), "invalid slot"},
          {doc(counts + R"("previous":"ABCD","rejected":[])"), "invalid slot"},
          {doc(counts + R"("candidate":"abc","rejected":[])"), "invalid slot"},
          {doc(counts + R"("candidate":"seed","lastRequestId":"short","rejected":[])"),
           "invalid slot"},
          {doc(counts + R"("lastRequestId":"1234567","rejected":[])"), "invalid token"},
          {doc(counts + R"("lastRequestId":"","rejected":[])"), "invalid token"},
          {doc(counts + R"("lastRequestId":"request.01","rejected":[])"), "invalid token"},
          // Identifiers are checked before "rejected" is looked at.
          {doc(counts + R"("lastRequestId":"1234567")"), "invalid token"},
          {doc(R"("generation":1,"attemptCount":0)"), "invalid rejected"},
          {doc(counts + R"("rejected":null)"), "invalid rejected"},
          {doc(counts + R"("rejected":"abcd")"), "invalid rejected"},
          {doc(counts + R"("rejected":{})"), "invalid rejected"},
          {doc(counts + R"("rejected":[)" + slotList(65) + "]"), "invalid rejected"},
          // The length is tested before any element.
          {doc(counts + R"("rejected":[5,)" + slotList(64) + "]"), "invalid rejected"},
          {doc(counts + R"("rejected":[],"recovered":null)"), "invalid recovered"},
          {doc(counts + R"("rejected":[],"recovered":0)"), "invalid recovered"},
          {doc(counts + R"("rejected":[],"recovered":"true")"), "invalid recovered"},
          // "recovered" is checked before the elements of "rejected".
          {doc(counts + R"("rejected":[5],"recovered":null)"), "invalid recovered"},
          {doc(counts + R"("rejected":[5])"), "invalid rejected slot"},
          {doc(counts + R"("rejected":[null])"), "invalid rejected slot"},
          {doc(counts + R"("rejected":[["abcd"]])"), "invalid rejected slot"},
          {doc(counts + R"("rejected":["seed"])"), "invalid slot"},
          {doc(counts + R"("rejected":["ABCD1234"])"), "invalid slot"},
          {doc(counts + R"("rejected":["abcd",5,"seed"])"), "invalid rejected slot"},
          {doc(counts + R"("rejected":["abcd","seed",5])"), "invalid slot"},
      });
}

// Accepted documents, each with the canonical text it writes back as.
TEST(BootTest, Reads) {
  const struct {
    std::string input;
    std::string written;
  } cases[] = {
      {doc(R"("generation":0,"attemptCount":0,"rejected":[])"),
       R"({"attemptCount":0,"generation":0,"rejected":[],"schemaVersion":1})"},
      {R"( { "rejected" : [ ] , "attemptCount" : 4294967295 , "schemaVersion" : 1 ,)"
       R"( "generation" : 18446744073709551615 } )",
       R"({"attemptCount":4294967295,"generation":18446744073709551615,"rejected":[],)"
       R"("schemaVersion":1})"},
      {doc(R"("generation":3,"attemptCount":1,"active":null,"previous":null,"candidate":null,)"
           R"("lastRequestId":null,"rejected":[],"recovered":false)"),
       R"({"attemptCount":1,"generation":3,"rejected":[],"schemaVersion":1})"},
      {doc(R"("generation":3,"attemptCount":1,"active":"abcd","previous":"0000",)"
           R"("candidate":"ffffffff","lastRequestId":"Ab-_09zZ","rejected":[],"recovered":true)"),
       R"({"active":"abcd","attemptCount":1,"candidate":"ffffffff","generation":3,)"
       R"("lastRequestId":"Ab-_09zZ","previous":"0000","recovered":true,"rejected":[],)"
       R"("schemaVersion":1})"},
      // Duplicates in "rejected" stay, in their order; unknown members are ignored.
      {doc(R"("generation":2,"attemptCount":0,"rejected":["bbbb","aaaa","bbbb"],"extra":{"x":1},)"
           R"("Active":5)"),
       R"({"attemptCount":0,"generation":2,"rejected":["bbbb","aaaa","bbbb"],"schemaVersion":1})"},
      {doc(R"("generation":2,"attemptCount":0,"rejected":[)" + slotList(64) + "]"),
       R"({"attemptCount":0,"generation":2,"rejected":[)" + slotList(64) +
           R"(],"schemaVersion":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    // Start from a record full of other values: a parse assigns every member.
    Boot boot = staleBoot();
    std::string error;
    ASSERT_TRUE(parseBoot(c.input, boot, error)) << error;
    EXPECT_EQ(serialize(boot), c.written);
  }
}

TEST(BootTest, WritesTheFirstBootDocument) {
  Boot boot;
  boot.generation = 1;
  const std::string text = serialize(boot);
  EXPECT_EQ(text, R"({"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1})");
  EXPECT_EQ(text.size(), 65u);
}

TEST(BootTest, WritesOnlyTheMembersThatAreSet) {
  Boot boot;
  boot.generation = 7;
  boot.active = kSlotA;
  boot.candidate = kSlotB;
  boot.attemptCount = 2;
  boot.rejected = {kSlotC};
  const std::string text = serialize(boot);
  EXPECT_EQ(text, R"({"active":"3f9a0c12","attemptCount":2,"candidate":"b71e44d0","generation":7,)"
                  R"("rejected":["9c0d1e2f"],"schemaVersion":1})");
  EXPECT_EQ(text.size(), 118u);
}

TEST(BootTest, WritesPresentEmptyOptionalsAndRecordsUnchecked) {
  Boot boot;
  boot.active = "";
  boot.candidate = "seed";
  boot.rejected.assign(70, kSlotC);
  const std::string text = serialize(boot);
  EXPECT_EQ(text,
            R"({"active":"","attemptCount":0,"candidate":"seed","generation":0,"rejected":[)" +
                slotList(70) + R"(],"schemaVersion":1})");
  Boot back;
  std::string error;
  EXPECT_FALSE(parseBoot(text, back, error));
  EXPECT_EQ(error, "invalid slot");
}

TEST(BootTest, RoundTripsAtTheExtremes) {
  Boot boot;
  boot.generation = kMax64;
  boot.active = std::string(64, 'f');
  boot.previous = "0000";
  boot.candidate = kSlotB;
  boot.lastRequestId = std::string(64, '_');
  boot.attemptCount = kMax32;
  for (int i = 0; i < 64; ++i) {
    boot.rejected.push_back(std::string(4 + i % 61, "0123456789abcdef"[i % 16]));
  }
  boot.recovered = true;

  Boot back = staleBoot();
  std::string error;
  ASSERT_TRUE(parseBoot(serialize(boot), back, error)) << error;
  expectSame(back, boot);

  Boot empty;
  back = staleBoot();
  ASSERT_TRUE(parseBoot(serialize(empty), back, error)) << error;
  expectSame(back, empty);
}

// ---------------------------------------------------------------------------------------------
// Attempt record, markers and restart requests share their first steps.

TEST(SlotAndNonceTest, SameErrorsInAttemptMarkerAndRestart) {
  const std::vector<ErrorCase> cases = {
      {doc(R"("nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":null,"nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":5,"nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":"","nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":"SEED","nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":"seed ","nonce":"nonce-01")"), "invalid slot"},
      {doc(R"("slot":"abc","nonce":"nonce-01")"), "invalid slot"},
      // The slot is checked before the nonce is read.
      {doc(R"("slot":"")"), "invalid slot"},
      {doc(R"("slot":"seed")"), "invalid nonce"},
      {doc(R"("slot":"abcd","nonce":12345678)"), "invalid nonce"},
      {doc(R"("slot":"abcd","nonce":null)"), "invalid nonce"},
      {doc(R"("slot":"abcd","nonce":"nonce01")"), "invalid token"},
      {doc(R"("slot":"abcd","nonce":"nonce.01")"), "invalid token"},
      {doc(R"("slot":"abcd","nonce":")" + std::string(65, 'n') + '"'), "invalid token"},
      // The nonce is checked before the later members are read.
      {doc(R"("slot":"abcd","nonce":"","startedAt":"x","requestId":5)"), "invalid token"},
  };
  expectErrors(parseAttempt, cases);
  expectErrors(parseMarker, cases);
  expectErrors(parseRestart, cases);
}

TEST(AttemptTest, Errors) {
  const std::string head = R"("slot":"seed","nonce":"nonce-01",)";
  expectErrors(parseAttempt,
               {
                   {doc(R"("slot":"seed","nonce":"nonce-01")"), "invalid startedAt"},
                   {doc(head + R"("startedAt":null)"), "invalid startedAt"},
                   {doc(head + R"("startedAt":"5")"), "invalid startedAt"},
                   {doc(head + R"("startedAt":-1)"), "invalid startedAt"},
                   {doc(head + R"("startedAt":7.0)"), "invalid startedAt"},
                   {doc(head + R"("startedAt":18446744073709551616)"), "invalid startedAt"},
               });
}

TEST(AttemptTest, ReadsAndWrites) {
  const struct {
    std::string input;
    Attempt expected;
  } cases[] = {
      {doc(R"("slot":"seed","nonce":"nonce-01","startedAt":0)"), {"seed", "nonce-01", 0}},
      {doc(R"("startedAt":18446744073709551615,"nonce":")" + kNonce + R"(","slot":"abcd","x":1)"),
       {"abcd", kNonce, kMax64}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Attempt attempt{"ffff", "stale-nonce", 5};
    std::string error;
    ASSERT_TRUE(parseAttempt(c.input, attempt, error)) << error;
    expectSame(attempt, c.expected);
  }

  const Attempt attempt{"seed", kNonce, kMax64};
  EXPECT_EQ(serialize(attempt), R"({"nonce":")" + kNonce +
                                    R"(","schemaVersion":1,"slot":"seed",)"
                                    R"("startedAt":18446744073709551615})");
  Attempt back;
  std::string error;
  ASSERT_TRUE(parseAttempt(serialize(attempt), back, error)) << error;
  expectSame(back, attempt);
}

TEST(MarkerTest, ReadsAndWrites) {
  const struct {
    std::string input;
    Marker expected;
  } cases[] = {
      {doc(R"("slot":"seed","nonce":"nonce-01")"), {"seed", "nonce-01"}},
      {doc(R"("slot":")" + std::string(64, '9') + R"(","nonce":")" + std::string(64, 'T') +
           R"(","ready":true)"),
       {std::string(64, '9'), std::string(64, 'T')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Marker marker{"ffff", "stale-nonce"};
    std::string error;
    ASSERT_TRUE(parseMarker(c.input, marker, error)) << error;
    expectSame(marker, c.expected);
  }

  const Marker marker{kSlotA, kNonce};
  EXPECT_EQ(serialize(marker),
            R"({"nonce":")" + kNonce + R"(","schemaVersion":1,"slot":"3f9a0c12"})");
  Marker back;
  std::string error;
  ASSERT_TRUE(parseMarker(serialize(marker), back, error)) << error;
  expectSame(back, marker);
}

TEST(RestartTest, Errors) {
  const std::string head = R"("slot":"seed","nonce":"nonce-01",)";
  expectErrors(parseRestart, {
                                 {doc(head + R"("requestId":5)"), "invalid requestId"},
                                 {doc(head + R"("requestId":false)"), "invalid requestId"},
                                 {doc(head + R"("requestId":["req-0001"])"), "invalid requestId"},
                                 {doc(head + R"("requestId":"")"), "invalid token"},
                                 {doc(head + R"("requestId":"1234567")"), "invalid token"},
                                 {doc(head + R"("requestId":"request 01")"), "invalid token"},
                             });
}

TEST(RestartTest, ReadsAndWrites) {
  const struct {
    std::string input;
    Restart expected;
  } cases[] = {
      {doc(R"("slot":"seed","nonce":"nonce-01")"), {"seed", "nonce-01", std::nullopt}},
      {doc(R"("slot":"seed","nonce":"nonce-01","requestId":null)"),
       {"seed", "nonce-01", std::nullopt}},
      {doc(R"("slot":"abcd","nonce":"nonce-01","requestId":"req-0001")"),
       {"abcd", "nonce-01", "req-0001"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Restart restart{"ffff", "stale-nonce", "stale-request"};
    std::string error;
    ASSERT_TRUE(parseRestart(c.input, restart, error)) << error;
    expectSame(restart, c.expected);
  }

  Restart restart{kSlotA, kNonce, std::nullopt};
  EXPECT_EQ(serialize(restart),
            R"({"nonce":")" + kNonce + R"(","schemaVersion":1,"slot":"3f9a0c12"})");
  restart.requestId = std::string(64, 'r');
  EXPECT_EQ(serialize(restart), R"({"nonce":")" + kNonce + R"(","requestId":")" +
                                    std::string(64, 'r') +
                                    R"(","schemaVersion":1,"slot":"3f9a0c12"})");
  Restart back;
  std::string error;
  ASSERT_TRUE(parseRestart(serialize(restart), back, error)) << error;
  expectSame(back, restart);
}

// ---------------------------------------------------------------------------------------------
// Bootstrap document

TEST(BootstrapTest, Errors) {
  expectErrors(
      parseBootstrap,
      {
          {doc(R"("seedSlot":"seed")"), "invalid installId"},
          {doc(R"("installId":null,"seedSlot":"seed")"), "invalid installId"},
          {doc(R"("installId":5,"seedSlot":"seed")"), "invalid installId"},
          // Both members are read before the combined check.
          {doc(R"("installId":"")"), "invalid seedSlot"},
          {doc(R"("installId":"i","seedSlot":null)"), "invalid seedSlot"},
          {doc(R"("installId":"i","seedSlot":["seed"])"), "invalid seedSlot"},
          {doc(R"("installId":"","seedSlot":"seed","stateRoot":5)"), "invalid stateRoot"},
          {doc(R"("installId":"i","seedSlot":"seed","stateRoot":false)"), "invalid stateRoot"},
          {doc(R"("installId":"i","seedSlot":"seed","stateRoot":{})"), "invalid stateRoot"},
          {doc(R"("installId":"","seedSlot":"seed")"), "invalid bootstrap"},
          {doc(R"("installId":"i","seedSlot":"Seed")"), "invalid bootstrap"},
          {doc(R"("installId":"i","seedSlot":"")"), "invalid bootstrap"},
          {doc(R"("installId":"i","seedSlot":"seed ")"), "invalid bootstrap"},
      });
}

TEST(BootstrapTest, ReadsAndWrites) {
  const struct {
    std::string input;
    Bootstrap expected;
    std::string written;
  } cases[] = {
      {doc(R"("installId":"i","seedSlot":"seed")"),
       {"i", "seed", std::nullopt},
       R"({"installId":"i","schemaVersion":1,"seedSlot":"seed"})"},
      {doc(R"("installId":"i","seedSlot":"seed","stateRoot":null)"),
       {"i", "seed", std::nullopt},
       R"({"installId":"i","schemaVersion":1,"seedSlot":"seed"})"},
      {doc(R"("installId":"i","seedSlot":"seed","stateRoot":"")"),
       {"i", "seed", ""},
       R"({"installId":"i","schemaVersion":1,"seedSlot":"seed","stateRoot":""})"},
      {doc(R"("installId":"my install \u00e9\n\"x\"","seedSlot":"seed","stateRoot":"../st\/ate",)"
           R"("channel":"beta")"),
       {"my install \xc3\xa9\n\"x\"", "seed", "../st/ate"},
       R"({"installId":"my install )"
       "\xc3\xa9"
       R"(\u000a\"x\"","schemaVersion":1,)"
       R"("seedSlot":"seed","stateRoot":"../st/ate"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Bootstrap bootstrap{"stale", "stale", "stale"};
    std::string error;
    ASSERT_TRUE(parseBootstrap(c.input, bootstrap, error)) << error;
    expectSame(bootstrap, c.expected);
    EXPECT_EQ(serialize(bootstrap), c.written);
    Bootstrap back;
    ASSERT_TRUE(parseBootstrap(serialize(bootstrap), back, error)) << error;
    expectSame(back, bootstrap);
  }
}

TEST(BootstrapTest, WritesEmptyMembersUnchecked) {
  EXPECT_EQ(serialize(Bootstrap{"", "", std::nullopt}),
            R"({"installId":"","schemaVersion":1,"seedSlot":""})");
}

// ---------------------------------------------------------------------------------------------
// Pending request

TEST(PendingTest, Errors) {
  const std::string head = R"("requestId":"req-0001",)";
  expectErrors(parsePending,
               {
                   {doc(R"("expectedGeneration":1,"candidate":"abcd")"), "invalid requestId"},
                   {doc(R"("requestId":null,"expectedGeneration":1,"candidate":"abcd")"),
                    "invalid requestId"},
                   {doc(R"("requestId":12345678,"expectedGeneration":1,"candidate":"abcd")"),
                    "invalid requestId"},
                   // The token is checked before "expectedGeneration" is read.
                   {doc(R"("requestId":"1234567","candidate":"abcd")"), "invalid token"},
                   {doc(R"("requestId":"request.1","expectedGeneration":1,"candidate":"abcd")"),
                    "invalid token"},
                   {doc(head + R"("candidate":"abcd")"), "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":-1,"candidate":"abcd")"),
                    "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":"1","candidate":"abcd")"),
                    "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":1e3,"candidate":"abcd")"),
                    "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":18446744073709551616,"candidate":"abcd")"),
                    "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":null)"), "invalid expectedGeneration"},
                   {doc(head + R"("expectedGeneration":1)"), "invalid candidate"},
                   {doc(head + R"("expectedGeneration":1,"candidate":5)"), "invalid candidate"},
                   {doc(head + R"("expectedGeneration":1,"candidate":null)"), "invalid candidate"},
                   {doc(head + R"("expectedGeneration":1,"candidate":"seed")"), "invalid slot"},
                   {doc(head + R"("expectedGeneration":1,"candidate":"")"), "invalid slot"},
                   {doc(head + R"("expectedGeneration":1,"candidate":"ABCD")"), "invalid slot"},
               });
}

TEST(PendingTest, ReadsAndWrites) {
  const struct {
    std::string input;
    Pending expected;
  } cases[] = {
      {doc(R"("requestId":"req-0001","expectedGeneration":0,"candidate":"abcd")"),
       {"req-0001", 0, "abcd"}},
      {doc(R"("candidate":")" + std::string(64, 'e') + R"(","requestId":")" + std::string(64, 'Q') +
           R"(","expectedGeneration":18446744073709551615,"by":"x")"),
       {std::string(64, 'Q'), kMax64, std::string(64, 'e')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Pending pending{"stale-request", 9, "ffff"};
    std::string error;
    ASSERT_TRUE(parsePending(c.input, pending, error)) << error;
    expectSame(pending, c.expected);
  }

  const Pending pending{kRequest, kMax64, kSlotB};
  EXPECT_EQ(serialize(pending),
            R"({"candidate":"b71e44d0","expectedGeneration":18446744073709551615,)"
            R"("requestId":"req-0001","schemaVersion":1})");
  Pending back;
  std::string error;
  ASSERT_TRUE(parsePending(serialize(pending), back, error)) << error;
  expectSame(back, pending);
}

// ---------------------------------------------------------------------------------------------
// Delivery record and the delivery comparison

std::string delivery(const std::string& id) { return doc(R"("deliveryId":")" + id + '"'); }

TEST(DeliveryTest, Errors) {
  std::string large = delivery(kDeliveryId);
  large.insert(1, 65537 - large.size(), ' ');
  ASSERT_EQ(large.size(), 65537u);
  expectErrors(parseDelivery, {
                                  {doc(""), "invalid deliveryId"},
                                  {doc(R"("deliveryId":null)"), "invalid deliveryId"},
                                  {doc(R"("deliveryId":5)"), "invalid deliveryId"},
                                  {delivery(std::string(63, 'a')), "invalid deliveryId"},
                                  {delivery(std::string(65, 'a')), "invalid deliveryId"},
                                  {delivery(std::string(63, 'a') + "A"), "invalid deliveryId"},
                                  {delivery(std::string(63, 'a') + "g"), "invalid deliveryId"},
                                  {delivery(""), "invalid deliveryId"},
                                  {large, "record too large"},
                              });
}

TEST(DeliveryTest, Reads) {
  std::string padded = delivery("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  padded.insert(1, 65536 - padded.size(), ' ');
  ASSERT_EQ(padded.size(), 65536u);
  Delivery record{"stale"};
  std::string error;
  ASSERT_TRUE(parseDelivery(padded, record, error)) << error;
  EXPECT_EQ(record.deliveryId, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
}

TEST(DeliveryTest, LaunchableDelivery) {
  const std::string same = delivery(kDeliveryId);
  const std::string other = delivery(std::string(64, 'b'));
  const struct {
    const char* name = nullptr;
    std::optional<std::string> seed;
    std::optional<std::string> slot;
    bool launchable = false;
  } cases[] = {
      {"no seed record, no slot record", std::nullopt, std::nullopt, true},
      {"no seed record, slot record broken", std::nullopt, "{", true},
      {"no seed record, slot record valid", std::nullopt, same, true},
      {"seed record present but empty", "", same, false},
      {"seed record present but empty, no slot record", "", std::nullopt, false},
      {"seed record broken", "{", same, false},
      {"seed record of another major", R"({"schemaVersion":2,"deliveryId":")" + kDeliveryId + "\"}",
       same, false},
      {"seed record with bad id, slot the same", delivery(std::string(64, 'A')),
       delivery(std::string(64, 'A')), false},
      {"no slot record", same, std::nullopt, false},
      {"slot record present but empty", same, "", false},
      {"slot record broken", same, "[]", false},
      {"slot record of another major", same,
       R"({"schemaVersion":2,"deliveryId":")" + kDeliveryId + "\"}", false},
      {"different ids", same, other, false},
      {"equal ids", same, same, true},
      {"equal ids, other layout", same,
       R"( {"deliveryId" : ")" + kDeliveryId + R"(", "schemaVersion":1, "note":"x"} )", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(launchableDelivery(c.seed, c.slot), c.launchable);
  }
}

// ---------------------------------------------------------------------------------------------

TEST(RecordDefaultsTest, DefaultConstructed) {
  const Bootstrap bootstrap;
  EXPECT_EQ(bootstrap.installId, "");
  EXPECT_EQ(bootstrap.seedSlot, "seed");
  EXPECT_FALSE(bootstrap.stateRoot.has_value());
  expectSame(Boot{}, Boot{0, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0, {}, false});
}

}  // namespace
}  // namespace launcher_stub
