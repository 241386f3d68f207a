#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/record.h"

namespace {

std::string repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(FillFromOutcome, FailureTextIsCutByCharacters) {
  struct Case {
    std::string failure;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Parse: short", "Parse: short"},
      {repeat("x", 160), repeat("x", 160)},
      {repeat("x", 200), repeat("x", 160)},
      {repeat("\xC3\xA9", 170), repeat("\xC3\xA9", 160)},  // two bytes each
      {repeat("x", 159) + "\xF0\x9F\x93\xA7z", repeat("x", 159) + "\xF0\x9F\x93\xA7"},
      {"Parse: \xFF", "Parse: \xEF\xBF\xBD"},  // never invalid UTF-8 in a record
  };
  for (const Case& c : cases) {
    ventry::MessageRecord record;
    email::ReadOutcome outcome;
    outcome.failure = c.failure;
    ventry::fillFromOutcome(record, std::move(outcome));
    EXPECT_TRUE(record.threw);
    EXPECT_EQ(record.error, c.expected);
  }
}

TEST(FillFromOutcome, SummaryBecomesCountsAndChannels) {
  email::ReadOutcome outcome;
  outcome.ok = true;
  outcome.summary.loss = {{"email.read.headers.date", "degraded"}};
  outcome.summary.html = "<p>x</p>";
  outcome.summary.attachments = 3;
  outcome.summary.to = 2;
  outcome.summary.cc = 1;
  ventry::MessageRecord record;
  ventry::fillFromOutcome(record, std::move(outcome));
  EXPECT_FALSE(record.threw);
  EXPECT_EQ(record.error, "");
  ASSERT_EQ(record.loss.size(), 1u);
  EXPECT_EQ(record.loss[0].featureId, "email.read.headers.date");
  EXPECT_TRUE(record.gotHtml);
  EXPECT_FALSE(record.gotText);
  EXPECT_EQ(record.gotAttachments, 3u);
  EXPECT_EQ(record.gotTo, 2u);
  EXPECT_EQ(record.gotCc, 1u);
}

}  // namespace
