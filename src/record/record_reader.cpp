#include "record/record_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "record/record.h"

namespace ventry {
namespace {

// The shape of a record line as a small program: each step matches literal text (one of up
// to three alternatives, none a prefix of another, each with the step it leads to), a string's
// content up to its closing quote, a number, or the line end.
enum class Op : uint8_t { Match, String, Number, LineEnd };
enum class Field : uint8_t { None, Name, Bytes, ReadError };

struct Alternative {
  std::string text;
  size_t next = 0;
};

struct Step {
  Op op = Op::Match;
  Field field = Field::None;
  size_t next = 0;  // String, Number
  std::vector<Alternative> alternatives;
};

class ShapeBuilder {
 public:
  size_t here() const { return steps_.size(); }

  void literal(std::string text) { choice({std::move(text)}); }

  // Alternatives that lead to the next step unless patched.
  size_t choice(std::initializer_list<std::string> texts) {
    Step step;
    for (const std::string& text : texts) step.alternatives.push_back({text, here() + 1});
    steps_.push_back(std::move(step));
    return here() - 1;
  }

  void patch(size_t step, size_t alternative, size_t next) {
    steps_[step].alternatives[alternative].next = next;
  }

  void string(Field field = Field::None) { value(Op::String, field); }
  void number(Field field = Field::None) { value(Op::Number, field); }
  void boolean() { choice({"true", "false"}); }
  void lineEnd() { value(Op::LineEnd, Field::None); }

  // A string array after its key: [] or ["...",...].
  void strings() {
    const size_t open = choice({"[]", "[\""});
    patch(open, 1, here());
    const size_t item = here();
    string();
    const size_t more = choice({"]", ",\""});
    patch(more, 1, item);
    patch(more, 0, here());
    patch(open, 0, here());
  }

  std::vector<Step> take() { return std::move(steps_); }

 private:
  void value(Op op, Field field) {
    Step step;
    step.op = op;
    step.field = field;
    step.next = here() + 1;
    steps_.push_back(std::move(step));
  }

  std::vector<Step> steps_;
};

// What the writer (record.cpp) writes, in its order.
std::vector<Step> recordShape() {
  ShapeBuilder b;
  b.literal("{\"name\":\"");
  b.string(Field::Name);
  b.literal(",\"bytes\":");
  b.number(Field::Bytes);
  const size_t afterBytes = b.choice({",\"readError\":\"", ",\"ms\":"});
  b.string(Field::ReadError);
  b.literal(",\"ms\":");
  b.patch(afterBytes, 1, b.here());
  b.number();
  const size_t outcome = b.choice({",\"outcome\":\"ok\"", ",\"outcome\":\"threw\",\"error\":\"",
                                   ",\"outcome\":\"failed\",\"error\":\""});
  b.string();
  b.patch(outcome, 0, b.here());
  const size_t loss = b.choice({",\"loss\":[]", ",\"loss\":[{\"id\":\""});
  b.patch(loss, 1, b.here());
  const size_t lossEntry = b.here();
  b.string();
  b.literal(",\"action\":\"");
  b.string();
  const size_t lossMore = b.choice({"}]", "},{\"id\":\""});
  b.patch(lossMore, 1, lossEntry);
  b.patch(lossMore, 0, b.here());
  b.patch(loss, 0, b.here());
  for (const char* key : {"gotHtml", "gotText"}) {
    b.literal(",\"" + std::string(key) + "\":");
    b.boolean();
  }
  for (const char* key : {"gotAttachments", "gotTo", "gotCc"}) {
    b.literal(",\"" + std::string(key) + "\":");
    b.number();
  }
  const size_t probe = b.choice({"}", ",\"probe\":{"});
  b.patch(probe, 1, b.here());
  enum Type { Bool, Number, String, Strings };
  struct Member {
    const char* key;
    Type type;
  };
  static constexpr Member kProbe[] = {
      {"hdrTo", Bool},
      {"hdrCc", Bool},
      {"hdrToEmpty", Bool},
      {"hdrCcEmpty", Bool},
      {"hdrBcc", Bool},
      {"hdrDate", Bool},
      {"hdrRefs", Bool},
      {"hdrInReplyTo", Bool},
      {"hdrMessageId", Bool},
      {"hdrMime", Bool},
      {"encWordSubject", Bool},
      {"encWordAny", Bool},
      {"parseErr", Bool},
      {"topCt", String},
      {"parts", Number},
      {"depth", Number},
      {"plainLeaves", Number},
      {"htmlLeaves", Number},
      {"plainNonempty", Number},
      {"htmlNonempty", Number},
      {"calUnnamed", Number},
      {"calNamed", Number},
      {"otherTextualUnnamed", Number},
      {"otherTextualTypes", Strings},
      {"rfc822Parts", Number},
      {"rfc822Unnamed", Number},
      {"cidParts", Number},
      {"cidRefsInHtml", Bool},
      {"remoteRefsInHtml", Bool},
      {"scriptInHtml", Bool},
      {"attachDecl", Number},
      {"oversize", Number},
      {"cte", Strings},
      {"charsets", Strings},
      {"undeclNonAscii", Bool},
      {"formatFlowed", Bool},
      {"signed", Bool},
      {"encrypted", Bool},
      {"report", Bool},
  };
  bool first = true;
  for (const Member& member : kProbe) {
    std::string key = first ? "\"" : ",\"";
    key += member.key;
    key += "\":";
    first = false;
    switch (member.type) {
      case Bool:
        b.literal(std::move(key));
        b.boolean();
        break;
      case Number:
        b.literal(std::move(key));
        b.number();
        break;
      case String:
        b.literal(key + "\"");
        b.string();
        break;
      case Strings:
        b.literal(std::move(key));
        b.strings();
        break;
    }
  }
  b.literal("}}");
  b.patch(probe, 0, b.here());
  b.lineEnd();
  return b.take();
}

bool isPlainStringByte(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

bool isLowerHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

std::string writtenName(std::string_view name) {
  std::string quoted;
  appendJsonString(quoted, name);
  return quoted.substr(1, quoted.size() - 2);
}

// The running match of one line against the shape.
struct RecordLineReader::Shape {
  enum class Status { More, Done, Error };

  std::vector<Step> steps = recordShape();
  WrittenRecord* record = nullptr;
  std::string problem;
  size_t step = 0;
  // Match: bytes matched so far, and which alternatives still fit (bit i: alternative i).
  size_t matched = 0;
  unsigned fitting = 0;
  // String: 0, or where in an escape ("\\" seen: 1; "\\u": 2, "\\u0": 3, "\\u00": 4,
  // "\\u00X": 5); UTF-8 continuation bytes still due and the range of the next one.
  int escape = 0;
  int due = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  // Number.
  size_t digits = 0;
  uint64_t value = 0;

  void start(WrittenRecord& into) {
    record = &into;
    problem.clear();
    enter(0);
  }

  void enter(size_t next) {
    step = next;
    matched = 0;
    fitting = (1u << steps[step].alternatives.size()) - 1;
    escape = 0;
    due = 0;
    low = 0x80;
    high = 0xBF;
    digits = 0;
    value = 0;
  }

  Status fail(std::string why) {
    problem = std::move(why);
    return Status::Error;
  }

  Status capture(std::string_view bytes) {
    if (steps[step].field != Field::Name) return Status::More;
    if (record->name.size() + bytes.size() > kMaxWrittenName) {
      return fail("a name longer than " + std::to_string(kMaxWrittenName) + " bytes");
    }
    record->name.append(bytes);
    return Status::More;
  }

  // Matches `bytes` from the start; `used` gets the bytes taken: up to and with the line end
  // (Done), the whole piece (More), or up to the byte that does not fit (Error).
  Status feed(std::string_view bytes, size_t& used) {
    size_t i = 0;
    Status status = Status::More;
    while (i < bytes.size() && status == Status::More) {
      const Step& s = steps[step];
      const auto c = static_cast<unsigned char>(bytes[i]);
      switch (s.op) {
        case Op::Match: {
          // Whole alternatives at once where the piece holds them: at most one can match, as
          // none is a prefix of another.
          if (matched == 0) {
            const Alternative* whole = nullptr;
            for (const Alternative& alternative : s.alternatives) {
              const std::string& text = alternative.text;
              if (text.size() <= bytes.size() - i &&
                  std::memcmp(text.data(), bytes.data() + i, text.size()) == 0) {
                whole = &alternative;
                break;
              }
            }
            if (whole != nullptr) {
              i += whole->text.size();
              enter(whole->next);
              break;
            }
          }
          if (s.alternatives.size() == 1) {
            const std::string& text = s.alternatives[0].text;
            const size_t n = std::min(text.size() - matched, bytes.size() - i);
            size_t same = 0;
            while (same < n && text[matched + same] == bytes[i + same]) ++same;
            matched += same;
            i += same;
            if (same < n) {
              status = fail("\"" + text + "\" expected");
            } else if (matched == text.size()) {
              enter(s.alternatives[0].next);
            }
            break;
          }
          for (size_t a = 0; a < s.alternatives.size(); ++a) {
            if ((fitting >> a & 1) != 0 && s.alternatives[a].text[matched] != bytes[i]) {
              fitting &= ~(1u << a);
            }
          }
          if (fitting == 0) {
            std::string expected;
            for (const Alternative& alternative : s.alternatives) {
              expected += expected.empty() ? "\"" : " or \"";
              expected += alternative.text + "\"";
            }
            status = fail(expected + " expected");
            break;
          }
          ++matched;
          ++i;
          for (size_t a = 0; a < s.alternatives.size(); ++a) {
            if ((fitting >> a & 1) != 0 && s.alternatives[a].text.size() == matched) {
              enter(s.alternatives[a].next);
              break;
            }
          }
          break;
        }
        case Op::String: {
          if (escape == 0 && due == 0 && isPlainStringByte(c)) {
            size_t end = i + 1;
            while (end < bytes.size() &&
                   isPlainStringByte(static_cast<unsigned char>(bytes[end]))) {
              ++end;
            }
            status = capture(bytes.substr(i, end - i));
            i = end;
            break;
          }
          if (due > 0) {
            if (c < low || c > high) {
              status = fail("a string that is not UTF-8");
              break;
            }
            --due;
            low = 0x80;
            high = 0xBF;
          } else if (escape == 1) {
            if (c == 'u') {
              escape = 2;
            } else if (std::strchr("\"\\bfnrt", c) != nullptr && c != 0) {
              escape = 0;
            } else {
              status = fail("an escape the writer does not write");
              break;
            }
          } else if (escape >= 2) {
            const bool fits = escape <= 3   ? c == '0'
                              : escape == 4 ? (c == '0' || c == '1')
                                            : isLowerHex(static_cast<char>(c));
            if (!fits) {
              status = fail("an escape the writer does not write");
              break;
            }
            escape = escape == 5 ? 0 : escape + 1;
          } else if (c == '"') {
            if (s.field == Field::Name) record->nameWhole = true;
            if (s.field == Field::ReadError) record->readError = true;
            ++i;
            enter(s.next);
            break;
          } else if (c == '\\') {
            escape = 1;
          } else if (c < 0x20) {
            status = fail("a control byte in a string");
            break;
          } else if (c >= 0xC2 && c <= 0xDF) {
            due = 1;
          } else if (c >= 0xE0 && c <= 0xEF) {
            due = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
          } else if (c >= 0xF0 && c <= 0xF4) {
            due = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
          } else {
            status = fail("a string that is not UTF-8");
            break;
          }
          status = capture(bytes.substr(i, 1));
          ++i;
          break;
        }
        case Op::Number: {
          if (c >= '0' && c <= '9') {
            const auto digit = static_cast<uint64_t>(c - '0');
            if (digits == 1 && value == 0) {
              status = fail("a number with a leading zero");
            } else if (value > (UINT64_MAX - digit) / 10) {
              status = fail("a number beyond 64 bits");
            } else {
              value = value * 10 + digit;
              ++digits;
              ++i;
            }
            break;
          }
          if (digits == 0) {
            status = fail("a number expected");
            break;
          }
          if (s.field == Field::Bytes) record->bytes = value;
          enter(s.next);  // the byte after the number is the next step's
          break;
        }
        case Op::LineEnd:
          if (c != '\n') {
            status = fail("bytes after the record's end");
            break;
          }
          ++i;
          status = Status::Done;
          break;
      }
    }
    used = i;
    return status;
  }
};

RecordLineReader::RecordLineReader(int fd, size_t chunk)
    : fd_(fd),
      chunk_(chunk == 0 ? 1 : chunk),
      buffer_(new char[chunk_]),
      shape_(std::make_unique<Shape>()) {}

RecordLineReader::~RecordLineReader() = default;

bool RecordLineReader::fill(std::string& problem) {
  begin_ = end_ = 0;
  if (eof_) return true;
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer_.get(), chunk_, static_cast<off_t>(offset_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = std::strerror(errno);
      return false;
    }
    end_ = static_cast<size_t>(n);
    offset_ += end_;
    eof_ = n == 0;
    return true;
  }
}

LineStatus RecordLineReader::next(WrittenRecord& record, std::string& problem) {
  record = WrittenRecord();
  problem.clear();
  shape_->start(record);
  const uint64_t lineStart = wholeEnd_;
  // Where the buffer's byte `index` lies in the file.
  const auto fileOffset = [this](size_t index) { return offset_ - (end_ - index); };
  bool malformed = false;
  bool zeros = false;  // since the first byte that does not fit: NUL bytes only
  const auto lineDone = [&](size_t next) {
    begin_ = next;
    wholeEnd_ = fileOffset(next);
    record.line = ++line_;
    record.end = wholeEnd_;
  };
  for (;;) {
    if (begin_ == end_) {
      if (!fill(problem)) return LineStatus::Failed;
      if (end_ == 0) {
        // A last line without its line end is a cut record: the start of one, perhaps
        // followed by the NUL bytes a file system can leave after a crash. Anything else
        // there is no output of a run.
        if (malformed && !zeros) {
          record.line = ++line_;
          record.end = offset_;
          problem += " (in a last line without its line end)";
          return LineStatus::Malformed;
        }
        problem.clear();
        cutBytes_ = offset_ - wholeEnd_;
        return LineStatus::End;
      }
    }
    const std::string_view piece(buffer_.get() + begin_, end_ - begin_);
    if (malformed) {
      const size_t newline = piece.find('\n');
      zeros = zeros && piece.substr(0, newline).find_first_not_of('\0') == std::string_view::npos;
      if (newline == std::string_view::npos) {
        begin_ = end_;
        continue;
      }
      lineDone(begin_ + newline + 1);
      return LineStatus::Malformed;
    }
    size_t used = 0;
    const Shape::Status status = shape_->feed(piece, used);
    if (status == Shape::Status::Done) {
      lineDone(begin_ + used);
      return LineStatus::Record;
    }
    if (status == Shape::Status::More) {
      begin_ = end_;
      continue;
    }
    malformed = true;
    zeros = true;
    problem =
        shape_->problem + " at byte " + std::to_string(fileOffset(begin_ + used) - lineStart + 1);
    begin_ += used;
  }
}

}  // namespace ventry
