// The hostile inputs of the linear-cost measurement at their base size: the probe, the reader
// and the MIME layer must come through each one (under the sanitizers in the asan build) and
// still report what the input holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "../../bench/adversarial_inputs.h"
#include "email/mime/mime.h"
#include "email/reader.h"
#include "probe/probe.h"

namespace adversarial {
// Test names in listings show the input's name, not the bytes of the case.
void PrintTo(const Case& which, std::ostream* out) {
  *out << which.name;
}
}  // namespace adversarial

namespace {

struct Observed {
  size_t units;
  const std::string& input;
  const email::mime::ParsedMessage& parsed;
  const ventry::Probe& probe;
  const email::ReadOutcome& outcome;

  std::string header(std::string_view name) const {
    const auto found = email::mime::firstHeader(parsed, 0, name);
    return !found ? std::string("<absent>") : email::mime::headerValue(*found);
  }
  std::string rawHeader(std::string_view name) const {
    const auto found = email::mime::firstHeader(parsed, 0, name);
    return !found ? std::string("<absent>") : std::string(found->value);
  }
  bool hasLoss(std::string_view featureId) const {
    const auto& loss = outcome.summary.loss;
    return std::any_of(loss.begin(), loss.end(),
                       [&](const email::LossPair& pair) { return pair.featureId == featureId; });
  }
};

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// What each input must still show; keyed by the generator's name.
void expectFacts(std::string_view name, const Observed& o) {
  const auto& p = o.probe;
  const auto& summary = o.outcome.summary;
  if (name == "nested-multipart") {
    EXPECT_EQ(o.parsed.parts.size(), o.units + 1);
    EXPECT_EQ(p.depth, o.units);
    EXPECT_EQ(p.parts, 1u);
    EXPECT_EQ(p.plainNonempty, 1u);
    EXPECT_EQ(summary.text, "innermost\r\n");
  } else if (name == "sibling-parts") {
    EXPECT_EQ(p.parts, o.units);
    EXPECT_EQ(p.depth, 1u);
    EXPECT_EQ(p.plainNonempty, o.units);
  } else if (name == "folded-header") {
    std::string subject = o.header("Subject");
    EXPECT_EQ(subject.substr(0, 19), "start folded words ");
    EXPECT_EQ(subject.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(p.parts, 1u);
  } else if (name == "long-line") {
    EXPECT_TRUE(p.hdrTo);
    EXPECT_EQ(summary.to, 1u);  // not an address list: carried as one entry
    EXPECT_TRUE(o.hasLoss("email.read.headers.recipients"));
  } else if (name == "boundary-lookalikes") {
    EXPECT_EQ(p.parts, 1u);
    EXPECT_EQ(p.depth, 1u);
    EXPECT_GT(summary.text.size(), o.input.size() / 2);
  } else if (name == "encoded-words") {
    EXPECT_TRUE(p.encWordSubject);
    EXPECT_EQ(o.header("Subject"), repeat("w\xC3\xA9", o.units));
  } else if (name == "encoded-words-non-ascii" || name == "unclosed-openers") {
    // No word qualifies, so the value is the raw text.
    EXPECT_EQ(o.header("Subject"), o.rawHeader("Subject"));
  } else if (name == "rfc2231-parameters") {
    const auto params = email::mime::contentType(o.parsed, 0).params;
    auto found = params.find("name");
    ASSERT_NE(found, params.end());
    EXPECT_EQ(found->second, repeat("Ab", o.units));
    EXPECT_EQ(params.size(), 1u);
    EXPECT_EQ(p.attachDecl, 1u);
    EXPECT_EQ(summary.attachments, 1u);
  } else if (name == "spaced-base64") {
    auto body = email::mime::transferDecode(o.parsed, 0);
    EXPECT_TRUE(body.ok);
    EXPECT_EQ(body.bytes().size(), (o.units << 20) / 3 * 3);
    bool oversize = body.bytes().size() > email::kInlineCap;
    EXPECT_EQ(p.oversize, oversize ? 1u : 0u);
    EXPECT_EQ(summary.attachments, 1u);
    EXPECT_EQ(o.hasLoss("email.read.attachments.oversize"), oversize);
  } else if (name == "many-headers") {
    EXPECT_TRUE(p.hdrTo);
    EXPECT_EQ(summary.to, (o.units + 2) / 3);
  } else if (name == "many-addresses") {
    EXPECT_EQ(summary.to, o.units + 1);
    EXPECT_FALSE(o.hasLoss("email.read.headers.recipients"));
  } else if (name == "digest-bare-delimiters") {
    // The last "--" line closes the list, so every other line opens an empty part.
    EXPECT_EQ(p.parts, o.units - 1);
    EXPECT_EQ(p.rfc822Parts, o.units - 1);
    EXPECT_EQ(summary.attachments, o.units - 1);
    EXPECT_TRUE(o.hasLoss("email.read.mime.message-rfc822"));
  } else if (name == "mixed-bare-delimiters" || name == "crlf-bare-delimiters" ||
             name == "short-boundary-siblings") {
    EXPECT_EQ(p.parts, o.units - 1);
    EXPECT_EQ(p.plainLeaves, o.units - 1);
    EXPECT_EQ(p.plainNonempty, 0u);
    EXPECT_EQ(p.depth, 1u);
    EXPECT_EQ(summary.attachments, 0u);
  } else if (name == "delimiter-header-pairs") {
    EXPECT_EQ(p.parts, o.units);
    EXPECT_EQ(p.plainLeaves, o.units);
    EXPECT_EQ(o.parsed.parts.size(), o.units + 1);
  } else if (name == "content-id-parts") {
    EXPECT_EQ(p.parts, o.units);
    EXPECT_EQ(p.cidParts, o.units);
    EXPECT_EQ(summary.attachments, 0u);
    EXPECT_TRUE(o.hasLoss("email.read.mime.related-cid"));
  } else if (name == "other-textual-parts") {
    EXPECT_EQ(p.parts, o.units);
    EXPECT_EQ(p.otherTextualUnnamed, o.units);
    EXPECT_EQ(p.otherTextualTypes, std::vector<std::string>{"text/x"});
    EXPECT_TRUE(o.hasLoss("email.read.mime.textual-part"));
  } else if (name == "empty-groups" || name == "semicolon-mailboxes") {
    EXPECT_EQ(summary.to, o.units);  // a named empty group counts as one entry
    EXPECT_FALSE(o.hasLoss("email.read.headers.recipients"));
  } else if (name == "bare-name-lines" || name == "bare-colon-lines" ||
             name == "empty-value-lines") {
    EXPECT_EQ(email::mime::headerCount(o.parsed, 0), o.units);
    EXPECT_EQ(p.parts, 1u);
    EXPECT_EQ(summary.text, "body\n");
  } else if (name == "base64-text-body") {
    EXPECT_EQ(summary.text.size(), (o.units << 20) / 3 * 3);
    EXPECT_EQ(p.plainNonempty, 1u);
    EXPECT_EQ(p.oversize, summary.text.size() > email::kInlineCap ? 1u : 0u);
  } else if (name == "folded-recipients") {
    EXPECT_EQ(summary.to, 1u);  // not an address list: carried as one entry
    EXPECT_TRUE(o.hasLoss("email.read.headers.recipients"));
  } else if (name == "distinct-charsets") {
    EXPECT_EQ(p.parts, o.units);
    EXPECT_EQ(p.charsets.size(), o.units);
    std::string last = "c";
    last += std::to_string(o.units - 1);
    EXPECT_EQ(p.charsets.back(), last);
  } else if (name == "starred-names") {
    EXPECT_EQ(p.parts, 1u);
    EXPECT_EQ(summary.attachments, 1u);
  } else {
    ADD_FAILURE() << "no facts listed for " << name;
  }
}

class Adversarial : public testing::TestWithParam<adversarial::Case> {};

TEST_P(Adversarial, BaseSizeComesThroughWithItsFacts) {
  const auto& which = GetParam();
  // Unoptimised builds run a quarter of the base size to keep the suite quick.
#if defined(__OPTIMIZE__)
  size_t units = which.baseUnits;
#else
  size_t units = std::max<size_t>(1, which.baseUnits / 4);
#endif
  std::string input = which.build(units);
  auto parsed = email::mime::parseMessage(input);
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  auto probe = ventry::probeMessage(input);
  EXPECT_FALSE(probe.parseErr);
  auto outcome = email::readMessage(input);
  ASSERT_TRUE(outcome.ok) << outcome.failure;
  expectFacts(which.name, Observed{units, input, parsed, probe, outcome});
}

INSTANTIATE_TEST_SUITE_P(Inputs, Adversarial, testing::ValuesIn(adversarial::cases()),
                         [](const auto& info) {
                           std::string name(info.param.name);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
