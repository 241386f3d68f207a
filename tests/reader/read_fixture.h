// Helpers for reading small hand-written messages and comparing their notices.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "email/mime/mime.h"
#include "email/read_result.h"
#include "email/reader.h"

namespace reader_test {

struct Read {
  email::ReadResult result;
  email::LossNotices notices;
};

inline Read read(const std::string& raw) {
  Read out;
  const email::mime::ParsedMessage message = email::mime::parseMessage(raw);
  EXPECT_TRUE(message.ok()) << message.error;
  out.result = email::readParsedMessage(message, out.notices);
  return out;
}

// A notice written as "featureId | action | detail", so a whole list compares in one go.
inline std::vector<std::string> lines(const email::LossNotices& notices) {
  std::vector<std::string> out;
  for (const auto& n : notices) out.push_back(n.featureId + " | " + n.action + " | " + n.detail);
  return out;
}

inline std::string line(email::FeatureId id, const std::string& detail) {
  return std::string(email::featureIdText(id)) + " | " + std::string(email::featureAction(id)) +
         " | " + detail;
}

// An attachment as "filename|contentType|contentId|size|content" ("-" for no contentId).
inline std::vector<std::string> listed(const std::vector<email::Attachment>& attachments) {
  std::vector<std::string> out;
  for (const auto& a : attachments) {
    out.push_back(a.filename + "|" + a.contentType + "|" + a.contentId.value_or("-") + "|" +
                  std::to_string(a.size) + "|" + a.content);
  }
  return out;
}

// A multipart message with boundary "B"; each part is written as its own header block and
// body, and gets the line break before the next delimiter as the last byte of its body.
inline std::string multipart(const std::string& type, std::initializer_list<std::string> parts) {
  std::string raw = "Content-Type: " + type + "; boundary=B\n\n";
  for (const auto& part : parts) raw += "--B\n" + part + "\n";
  return raw + "--B--\n";
}

inline const std::string kPlain = "Content-Type: text/plain\n\n";

}  // namespace reader_test
