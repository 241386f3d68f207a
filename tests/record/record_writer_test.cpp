// The record line is written through a pre-sized buffer; every text in it must come out
// exactly as appendJsonString writes it on its own, whatever the text holds (escapes, long
// runs of control characters, bytes that are not UTF-8).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/record.h"

namespace {

std::string json(std::string_view text) {
  std::string out;
  ventry::appendJsonString(out, text);
  return out;
}

TEST(RecordWriter, TextsMatchTheStandaloneEscaping) {
  const std::vector<std::string> texts = {
      "",
      "plain",
      "q\"uote\\back",
      std::string(300, '\x01'),  // every byte takes six
      std::string("nul\0inside", 10),
      "caf\xC3\xA9 \xE2\x80\xA8",
      "\xFF\xFE not UTF-8 \xC3",
      std::string(200, '\xFF'),  // every byte becomes U+FFFD
  };
  for (const auto& text : texts) {
    ventry::MessageRecord record;
    record.name = text;
    record.threw = true;
    record.error = text;
    record.loss = {{text, text}, {"email.read.headers.date", "degraded"}};
    record.probe.topCt = text;
    record.probe.otherTextualTypes = {text, "text/x"};
    record.probe.cte = {text};
    record.probe.charsets = {text, text};
    std::string line = "prefix";
    ventry::appendRecordJson(line, record);

    const std::string t = json(text);
    EXPECT_EQ(line.substr(0, 6), "prefix");
    EXPECT_EQ(
        line.find("{\"name\":" + t + ",\"bytes\":0,\"ms\":0,\"outcome\":\"threw\",\"error\":" + t +
                  ",\"loss\":[{\"id\":" + t + ",\"action\":" + t +
                  "},{\"id\":\"email.read.headers.date\",\"action\":\"degraded\"}],"),
        6u)
        << t;
    EXPECT_NE(line.find(",\"topCt\":" + t + ",\"parts\":0,"), std::string::npos) << t;
    EXPECT_NE(line.find(",\"otherTextualTypes\":[" + t + ",\"text/x\"],"), std::string::npos) << t;
    EXPECT_NE(line.find(",\"cte\":[" + t + "],\"charsets\":[" + t + "," + t + "],"),
              std::string::npos)
        << t;
    EXPECT_TRUE(line.ends_with(",\"encrypted\":false,\"report\":false}}")) << t;
  }
}

TEST(RecordWriter, OkRecordHasNoErrorMember) {
  ventry::MessageRecord record;
  record.name = "a.eml";
  record.bytes = 18446744073709551615u;  // the widest number
  record.ms = 7;
  record.gotAttachments = 3;
  std::string line;
  ventry::appendRecordJson(line, record);
  EXPECT_EQ(line.find("{\"name\":\"a.eml\",\"bytes\":18446744073709551615,\"ms\":7,"
                      "\"outcome\":\"ok\",\"loss\":[],\"gotHtml\":false,\"gotText\":false,"
                      "\"gotAttachments\":3,\"gotTo\":0,\"gotCc\":0,\"probe\":{\"hdrTo\":false,"),
            0u);
  EXPECT_EQ(line.find("error"), std::string::npos);
}

}  // namespace
