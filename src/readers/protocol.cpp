#include "readers/protocol.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstring>
#include <span>

#include "email/read_result.h"
#include "record/record.h"
#include "text/text.h"

namespace readers {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

// A reply nests three levels deep (the object, the loss list, a loss entry); one more is
// allowed for a reader's own members, and anything deeper is refused by the JSON parser.
constexpr size_t kMaxDepth = 4;

// The JSON parser keeps the buffers of the largest line it has seen; after a line larger
// than this it starts afresh, so one long reply does not hold its memory for the whole run.
constexpr size_t kKeepCapacity = 64 * 1024;

// The members of one object the protocol names, each looked up once: `values[i]` is the
// member called `names[i]`, when present.
template <size_t N>
struct Members {
  std::array<std::string_view, N> names;
  std::array<std::optional<element>, N> values{};
};

std::string jsonQuoted(std::string_view text) {
  std::string out;
  ventry::appendJsonString(out, text);
  return out;
}

// Collects the named members of `obj` (`what` names the object in diagnostics); others are
// ignored. Returns what is wrong, or the empty string.
template <size_t N>
std::string collect(object obj, std::string_view what, Members<N>& members) {
  for (const auto field : obj) {
    for (size_t i = 0; i < N; ++i) {
      if (field.key != members.names[i]) continue;
      if (members.values[i]) return std::string(what) + " repeats " + jsonQuoted(field.key);
      members.values[i] = field.value;
      break;
    }
  }
  return {};
}

std::string notA(std::string_view what, std::string_view name, std::string_view type) {
  return std::string(what) + " member " + jsonQuoted(name) + " is not " + std::string(type);
}

std::string lacks(std::string_view what, std::string_view name) {
  return std::string(what) + " lacks " + jsonQuoted(name);
}

// Reads member `i` as the type of `out`; returns what is wrong, or the empty string.
template <size_t N>
std::string take(const Members<N>& members, size_t i, std::string_view what, std::string& out) {
  std::string_view value;
  if (!members.values[i]) return lacks(what, members.names[i]);
  if (members.values[i]->get_string().get(value) != simdjson::SUCCESS) {
    return notA(what, members.names[i], "a string");
  }
  out = value;
  return {};
}

template <size_t N>
std::string take(const Members<N>& members, size_t i, std::string_view what, bool& out) {
  if (!members.values[i]) return lacks(what, members.names[i]);
  if (members.values[i]->get_bool().get(out) != simdjson::SUCCESS) {
    return notA(what, members.names[i], "a boolean");
  }
  return {};
}

template <size_t N>
std::string take(const Members<N>& members, size_t i, std::string_view what, uint64_t& out) {
  if (!members.values[i]) return lacks(what, members.names[i]);
  const element& value = *members.values[i];
  int64_t signedValue = 0;
  if (value.type() == element_type::UINT64 && value.get_uint64().get(out) == simdjson::SUCCESS) {
    return {};
  }
  if (value.type() == element_type::INT64 &&
      value.get_int64().get(signedValue) == simdjson::SUCCESS && signedValue >= 0) {
    out = static_cast<uint64_t>(signedValue);
    return {};
  }
  return notA(what, members.names[i], "a non-negative integer");
}

// The feature ID's text from the reader's table, or nothing for an unknown one.
std::optional<std::string_view> knownFeatureId(std::string_view id) {
  for (int i = 0; i <= static_cast<int>(email::FeatureId::MimeMessageRfc822); ++i) {
    const std::string_view known = email::featureIdText(static_cast<email::FeatureId>(i));
    if (id == known) return known;
  }
  return std::nullopt;
}

std::string readLoss(element list, std::vector<email::LossPair>& loss) {
  simdjson::dom::array entries;
  if (list.get_array().get(entries) != simdjson::SUCCESS) {
    return notA("reply", "loss", "a list");
  }
  for (const element entry : entries) {
    object obj;
    if (entry.get_object().get(obj) != simdjson::SUCCESS) return "loss entry is not an object";
    Members<2> members{{"id", "action"}};
    std::string pair[2];
    std::string error = collect(obj, "loss entry", members);
    for (size_t i = 0; i < 2 && error.empty(); ++i) error = take(members, i, "loss entry", pair[i]);
    if (!error.empty()) return error;
    if (!knownFeatureId(pair[0])) return "unknown feature ID " + quotedForDiagnostic(pair[0]);
    if (pair[1] != "dropped" && pair[1] != "degraded") {
      return "unknown action " + quotedForDiagnostic(pair[1]);
    }
    loss.push_back(email::LossPair{std::move(pair[0]), std::move(pair[1])});
  }
  return {};
}

void appendBool(std::string& out, bool value) {
  out += value ? "true" : "false";
}

void appendNumber(std::string& out, uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace

struct LineParser::State {
  std::unique_ptr<simdjson::dom::parser> parser;
  std::string padded;  // the line with the parser's padding after it

  // The line as one JSON object, valid until the next parse.
  std::optional<object> parse(std::string_view line) {
    if (line.size() > kMaxLineBytes) return std::nullopt;
    if (!parser || parser->capacity() > kKeepCapacity) {
      parser = std::make_unique<simdjson::dom::parser>(kMaxLineBytes);
      if (parser->allocate(4096, kMaxDepth) != simdjson::SUCCESS) {
        parser.reset();
        return std::nullopt;
      }
    }
    if (padded.capacity() > kKeepCapacity) padded = std::string();
    padded.resize(line.size() + simdjson::SIMDJSON_PADDING);
    std::memcpy(padded.data(), line.data(), line.size());
    element root;
    if (parser->parse(padded.data(), line.size(), false).get(root) != simdjson::SUCCESS) {
      return std::nullopt;
    }
    object obj;
    if (root.get_object().get(obj) != simdjson::SUCCESS) return std::nullopt;
    return obj;
  }
};

LineParser::LineParser() : state_(std::make_unique<State>()) {}
LineParser::~LineParser() = default;

Parsed<Hello> LineParser::hello(std::string_view line) {
  Parsed<Hello> result;
  const std::optional<object> obj = state_->parse(line);
  if (!obj) {
    result.error = "hello is not one JSON object";
    return result;
  }
  Members<2> members{{"reader", "version"}};
  Hello hello;
  result.error = collect(*obj, "hello", members);
  if (result.error.empty()) result.error = take(members, 0, "hello", hello.reader);
  if (result.error.empty()) result.error = take(members, 1, "hello", hello.version);
  if (result.error.empty()) result.value = std::move(hello);
  return result;
}

Parsed<Request> LineParser::request(std::string_view line) {
  Parsed<Request> result;
  const std::optional<object> obj = state_->parse(line);
  if (!obj) {
    result.error = "request is not one JSON object";
    return result;
  }
  Members<2> members{{"name", "bytes"}};
  Request request;
  result.error = collect(*obj, "request", members);
  if (result.error.empty()) result.error = take(members, 0, "request", request.name);
  if (result.error.empty()) result.error = take(members, 1, "request", request.bytes);
  if (result.error.empty()) result.value = std::move(request);
  return result;
}

Parsed<Reply> LineParser::reply(std::string_view line) {
  enum { kName, kOutcome, kError, kLoss, kHtml, kText, kAttachments, kTo, kCc, kCount };
  Parsed<Reply> result;
  const std::optional<object> obj = state_->parse(line);
  if (!obj) {
    result.error = "reply is not one JSON object";
    return result;
  }
  Members<kCount> members{{"name", "outcome", "error", "loss", "gotHtml", "gotText",
                           "gotAttachments", "gotTo", "gotCc"}};
  if ((result.error = collect(*obj, "reply", members)).empty()) {
    Reply reply;
    std::string outcome;
    std::string& error = result.error;
    if (error.empty()) error = take(members, kName, "reply", reply.name);
    if (error.empty()) error = take(members, kOutcome, "reply", outcome);
    if (error.empty() && outcome != "ok" && outcome != "threw") {
      error = "reply has unknown outcome " + quotedForDiagnostic(outcome);
    }
    if (error.empty() && outcome == "threw") {
      reply.threw = true;
      error = take(members, kError, "reply", reply.error);
      for (size_t i = kLoss; i < kCount && error.empty(); ++i) {
        if (members.values[i])
          error = "reply with outcome \"threw\" has " + jsonQuoted(members.names[i]);
      }
    } else if (error.empty()) {
      if (members.values[kError]) error = "reply with outcome \"ok\" has \"error\"";
      if (error.empty() && !members.values[kLoss]) error = lacks("reply", "loss");
      if (error.empty()) error = readLoss(*members.values[kLoss], reply.loss);
      if (error.empty()) error = take(members, kHtml, "reply", reply.gotHtml);
      if (error.empty()) error = take(members, kText, "reply", reply.gotText);
      if (error.empty()) error = take(members, kAttachments, "reply", reply.gotAttachments);
      if (error.empty()) error = take(members, kTo, "reply", reply.gotTo);
      if (error.empty()) error = take(members, kCc, "reply", reply.gotCc);
    }
    if (error.empty()) result.value = std::move(reply);
  }
  return result;
}

void fillRecord(ventry::MessageRecord& record, Reply&& reply) {
  if (reply.threw) {
    ventry::setThrew(record, reply.error);
    return;
  }
  record.threw = false;
  record.loss = std::move(reply.loss);
  record.gotHtml = reply.gotHtml;
  record.gotText = reply.gotText;
  record.gotAttachments = reply.gotAttachments;
  record.gotTo = reply.gotTo;
  record.gotCc = reply.gotCc;
}

Reply replyOf(std::string name, ventry::MessageRecord&& record) {
  Reply reply;
  reply.name = std::move(name);
  reply.threw = record.threw;
  reply.error = std::move(record.error);
  reply.loss = std::move(record.loss);
  reply.gotHtml = record.gotHtml;
  reply.gotText = record.gotText;
  reply.gotAttachments = record.gotAttachments;
  reply.gotTo = record.gotTo;
  reply.gotCc = record.gotCc;
  return reply;
}

void appendHelloLine(std::string& out, std::string_view reader, std::string_view version) {
  out += "{\"reader\":";
  ventry::appendJsonString(out, reader);
  out += ",\"version\":";
  ventry::appendJsonString(out, version);
  out += "}\n";
}

void appendRequestLine(std::string& out, std::string_view name, uint64_t bytes) {
  out += "{\"name\":";
  ventry::appendJsonString(out, name);
  out += ",\"bytes\":";
  appendNumber(out, bytes);
  out += "}\n";
}

void appendReplyLine(std::string& out, const Reply& reply) {
  out += "{\"name\":";
  ventry::appendJsonString(out, reply.name);
  if (reply.threw) {
    out += ",\"outcome\":\"threw\",\"error\":";
    ventry::appendJsonString(out, reply.error);
    out += "}\n";
    return;
  }
  out += ",\"outcome\":\"ok\",\"loss\":[";
  for (size_t i = 0; i < reply.loss.size(); ++i) {
    if (i != 0) out += ',';
    out += "{\"id\":";
    ventry::appendJsonString(out, reply.loss[i].featureId);
    out += ",\"action\":";
    ventry::appendJsonString(out, reply.loss[i].action);
    out += '}';
  }
  out += "],\"gotHtml\":";
  appendBool(out, reply.gotHtml);
  out += ",\"gotText\":";
  appendBool(out, reply.gotText);
  out += ",\"gotAttachments\":";
  appendNumber(out, reply.gotAttachments);
  out += ",\"gotTo\":";
  appendNumber(out, reply.gotTo);
  out += ",\"gotCc\":";
  appendNumber(out, reply.gotCc);
  out += "}\n";
}

std::string quotedForDiagnostic(std::string_view text, size_t maxCodePoints) {
  std::string valid = text::isValidUtf8(text) ? std::string(text) : text::utf8Lossy(text);
  const std::string_view cut = text::prefixCodePoints(valid, maxCodePoints);
  if (cut.size() == valid.size()) return jsonQuoted(valid);
  return jsonQuoted(cut) + "...";
}

}  // namespace readers
