#include "record/record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

std::string json(std::string_view text) {
  std::string out;
  ventry::appendJsonString(out, text);
  return out;
}

TEST(JsonString, Escapes) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"C:\\mail\\a.eml", "\"C:\\\\mail\\\\a.eml\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {std::string("\x00", 1), "\"\\u0000\""},
      {"\x01", "\"\\u0001\""},
      {"\x0B", "\"\\u000b\""},
      {"\x1B[0m", "\"\\u001b[0m\""},
      {"\x1F", "\"\\u001f\""},
      {"a/b", "\"a/b\""},
      {"\x7F", "\"\x7F\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7\""},
      {"\xE2\x80\xA8", "\"\xE2\x80\xA8\""},
      // Bytes that are not UTF-8 never reach the line raw.
      {"a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json(c.text), c.expected) << c.expected;
  }
}

const char kEmptyProbe[] =
    "{\"hdrTo\":false,\"hdrCc\":false,\"hdrToEmpty\":false,\"hdrCcEmpty\":false,"
    "\"hdrBcc\":false,\"hdrDate\":false,\"hdrRefs\":false,\"hdrInReplyTo\":false,"
    "\"hdrMessageId\":false,\"hdrMime\":false,\"encWordSubject\":false,\"encWordAny\":false,"
    "\"parseErr\":false,\"topCt\":\"\",\"parts\":0,\"depth\":0,\"plainLeaves\":0,"
    "\"htmlLeaves\":0,\"plainNonempty\":0,\"htmlNonempty\":0,\"calUnnamed\":0,"
    "\"calNamed\":0,\"otherTextualUnnamed\":0,\"otherTextualTypes\":[],\"rfc822Parts\":0,"
    "\"rfc822Unnamed\":0,\"cidParts\":0,\"cidRefsInHtml\":false,\"remoteRefsInHtml\":false,"
    "\"scriptInHtml\":false,\"attachDecl\":0,\"oversize\":0,\"cte\":[],\"charsets\":[],"
    "\"undeclNonAscii\":false,\"formatFlowed\":false,\"signed\":false,\"encrypted\":false,"
    "\"report\":false}";

std::string line(const ventry::MessageRecord& record) {
  std::string out;
  ventry::appendRecordJson(out, record);
  return out;
}

TEST(RecordJson, OkRecordHasElevenMembersAndNoError) {
  ventry::MessageRecord r;
  r.name = "dir/a.eml";
  r.bytes = 1234;
  r.ms = 5'000'000'000ULL;  // beyond 32 bits
  r.loss = {{"email.read.headers.date", "degraded"},
            {"email.read.mime.nested", "dropped"},
            {"email.read.mime.nested", "dropped"}};
  r.gotText = true;
  r.gotAttachments = 2;
  r.gotTo = 3;
  r.gotCc = 18446744073709551615ULL;
  EXPECT_EQ(
      line(r),
      std::string("{\"name\":\"dir/a.eml\",\"bytes\":1234,\"ms\":5000000000,\"outcome\":\"ok\","
                  "\"loss\":[{\"id\":\"email.read.headers.date\",\"action\":\"degraded\"},"
                  "{\"id\":\"email.read.mime.nested\",\"action\":\"dropped\"},"
                  "{\"id\":\"email.read.mime.nested\",\"action\":\"dropped\"}],"
                  "\"gotHtml\":false,\"gotText\":true,\"gotAttachments\":2,\"gotTo\":3,"
                  "\"gotCc\":18446744073709551615,\"probe\":") +
          kEmptyProbe + "}");
}

TEST(RecordJson, ThrewRecordHasErrorFifth) {
  ventry::MessageRecord r;
  r.name = "x";
  r.threw = true;
  r.error = "Parse: bad\nline\t\x01";
  EXPECT_EQ(line(r), std::string("{\"name\":\"x\",\"bytes\":0,\"ms\":0,\"outcome\":\"threw\","
                                 "\"error\":\"Parse: bad\\nline\\t\\u0001\",\"loss\":[],"
                                 "\"gotHtml\":false,\"gotText\":false,\"gotAttachments\":0,"
                                 "\"gotTo\":0,\"gotCc\":0,\"probe\":") +
                         kEmptyProbe + "}");
}

TEST(RecordJson, ProbeMembersInOrderWithValues) {
  ventry::MessageRecord r;
  ventry::Probe& p = r.probe;
  p.hdrTo = p.hdrMime = p.parseErr = true;
  p.topCt = "multipart/mixed";
  p.parts = 4294967295u;
  p.depth = 2;
  p.otherTextualTypes = {"text/enriched", "text/x-\"q\""};
  p.cte = {"base64", "7bit"};
  p.charsets = {"utf-8"};
  p.isSigned = true;
  p.report = true;
  const std::string out = line(r);
  const std::vector<std::string> fragments = {
      "\"hdrTo\":true,\"hdrCc\":false",
      "\"hdrMime\":true,\"encWordSubject\":false,\"encWordAny\":false,\"parseErr\":true,"
      "\"topCt\":\"multipart/mixed\",\"parts\":4294967295,\"depth\":2,",
      "\"otherTextualTypes\":[\"text/enriched\",\"text/x-\\\"q\\\"\"],\"rfc822Parts\":0,",
      "\"cte\":[\"base64\",\"7bit\"],\"charsets\":[\"utf-8\"],",
      "\"signed\":true,\"encrypted\":false,\"report\":true}}",
  };
  for (const std::string& f : fragments) {
    EXPECT_NE(out.find(f), std::string::npos) << f << "\nin " << out;
  }
}

TEST(WriteRecord, LineEndsWithOneNewlineAndBufferIsReused) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ventry::MessageRecord r;
  r.name = "one";
  std::string buffer;
  ASSERT_FALSE(ventry::writeRecord(fds[1], r, buffer).has_value());
  r.name = "two";
  ASSERT_FALSE(ventry::writeRecord(fds[1], r, buffer).has_value());
  close(fds[1]);
  std::string got;
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) got.append(chunk, n);
  close(fds[0]);
  ASSERT_EQ(got.size(), 2 * buffer.size());
  EXPECT_EQ(got.find('\n'), buffer.size() - 1);
  EXPECT_EQ(got.back(), '\n');
  EXPECT_EQ(got.substr(buffer.size()), buffer);
  EXPECT_EQ(got.find("\r"), std::string::npos);
}

TEST(WriteRecord, FailuresNameThePiece) {
  // A full device fails the object write.
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full on this system";
  auto failure = ventry::writeRecordLine(full, "{}\n");
  close(full);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->rfind("serialize record: ", 0), 0u) << *failure;

  // A closed pipe (SIGPIPE ignored by the test) fails too.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  auto old = signal(SIGPIPE, SIG_IGN);
  failure = ventry::writeRecordLine(fds[1], "{}\n");
  signal(SIGPIPE, old);
  close(fds[1]);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("Broken pipe"), std::string::npos) << *failure;
}

}  // namespace
