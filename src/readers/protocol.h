// The reader protocol's lines: the hello (reader to tool, once), a request (tool to reader,
// per message, followed by the message's raw bytes) and a reply (reader to tool, one per
// request, in order). Each line is one JSON object followed by "\n".
//
//   hello    {"reader":"<name>","version":"<text>"}
//   request  {"name":"<the record's name>","bytes":N}
//   reply    {"name":"<the request's>","outcome":"ok","loss":[{"id":..,"action":..},...],
//             "gotHtml":B,"gotText":B,"gotAttachments":N,"gotTo":N,"gotCc":N}
//            {"name":"<the request's>","outcome":"threw","error":"<rejection text>"}
//
// Parsing is strict: a line is exactly one object (white space around it is allowed, so a
// line may end in "\r\n"), nested at most a few levels; every member the protocol names must
// have its type (counts are non-negative integers, never 1.0); a member appears once; feature
// IDs come from the reader's closed table and actions are "dropped" or "degraded"; a reply
// carries only the members of its outcome. Members the protocol does not name are allowed
// and ignored, so a reader may add its own (debug fields, timings).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "email/reader.h"
#include "record/record.h"

namespace readers {

// Longest line the tool takes, without its "\n".
inline constexpr size_t kMaxLineBytes = 1024 * 1024;

struct Hello {
  std::string reader;
  std::string version;
};

struct Request {
  std::string name;
  uint64_t bytes = 0;
};

struct Reply {
  std::string name;
  bool threw = false;
  std::string error;  // with `threw`
  std::vector<email::LossPair> loss;
  bool gotHtml = false;
  bool gotText = false;
  uint64_t gotAttachments = 0;
  uint64_t gotTo = 0;
  uint64_t gotCc = 0;
};

// A parsed line, or what is wrong with it (e.g. `reply member "gotTo" is not a non-negative
// integer`).
template <typename T>
struct Parsed {
  std::optional<T> value;
  std::string error;
};

// Parses protocol lines (without their "\n"). Holds the JSON parser's buffers for reuse, so
// one per thread.
class LineParser {
 public:
  LineParser();
  ~LineParser();
  LineParser(const LineParser&) = delete;
  LineParser& operator=(const LineParser&) = delete;

  Parsed<Hello> hello(std::string_view line);
  Parsed<Request> request(std::string_view line);
  Parsed<Reply> reply(std::string_view line);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Appends the line (with its "\n"). Text that is not valid UTF-8 is written as its lossy
// decoding.
// The reader's part of a record and a reply hold the same values; these carry them across.
// fillRecord cuts a "threw" text as the built-in reader's is cut.
void fillRecord(ventry::MessageRecord& record, Reply&& reply);
Reply replyOf(std::string name, ventry::MessageRecord&& record);

void appendHelloLine(std::string& out, std::string_view reader, std::string_view version);
void appendRequestLine(std::string& out, std::string_view name, uint64_t bytes);
void appendReplyLine(std::string& out, const Reply& reply);

// `text` as a short JSON string for a diagnostic: at most `maxCodePoints` of it, then "...".
std::string quotedForDiagnostic(std::string_view text, size_t maxCodePoints = 60);

}  // namespace readers
