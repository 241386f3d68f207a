// mime_facts --list FILE --root DIR
//
// For every list entry, one JSON line with what the MIME layer answers: the top-level
// headers, the To/Cc address-list parses, the Date parse and the part tree with media type,
// charset, parameters, disposition, transfer encoding and digests of the decoded bytes and
// text. tools/facts_diff.py compares these lines with a reference facts file.
#include <openssl/sha.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "email/mime/mime.h"
#include "email/reader.h"
#include "text/json_string.h"
#include "text/text.h"

namespace {

void appendJsonString(std::string& out, std::string_view s) {
  out.push_back('"');
  text::appendJsonEscaped(out, s);
  out.push_back('"');
}

std::string digest(std::string_view bytes) {
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), md);
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", md[i]);
  return std::string(hex, 16);
}

void appendParams(std::string& out, const email::mime::ParamMap& params) {
  out += '{';
  bool first = true;
  for (const auto& [k, v] : params) {
    if (!first) out += ',';
    first = false;
    appendJsonString(out, k);
    out += ':';
    appendJsonString(out, v);
  }
  out += '}';
}

void appendMailbox(std::string& out, const email::mime::Mailbox& m) {
  out += '[';
  if (m.displayName) {
    appendJsonString(out, *m.displayName);
  } else {
    out += "null";
  }
  out += ',';
  appendJsonString(out, m.address);
  out += ']';
}

void appendAddresses(std::string& out, const email::mime::ParsedMessage& msg,
                     std::string_view name) {
  out += '[';
  size_t cursor = 0;
  bool first = true;
  while (const auto h = email::findHeader(msg, cursor, name)) {
    if (!first) out += ',';
    first = false;
    auto list = email::mime::parseAddressList(*h);
    if (!list.ok) {
      out += "{\"error\":";
      appendJsonString(out, list.error);
      out += '}';
      continue;
    }
    out += '[';
    for (size_t i = 0; i < list.items.size(); ++i) {
      if (i) out += ',';
      const auto& item = list.items[i];
      if (item.isGroup) {
        out += "{\"group\":[";
        appendJsonString(out, item.groupName);
        out += ",[";
        for (size_t j = 0; j < item.members.size(); ++j) {
          if (j) out += ',';
          appendMailbox(out, item.members[j]);
        }
        out += "]]}";
      } else {
        out += "{\"mailbox\":";
        appendMailbox(out, item.mailbox);
        out += '}';
      }
    }
    out += ']';
  }
  out += ']';
}

std::string dispositionWord(const email::mime::ContentDisposition& d) {
  switch (d.kind) {
    case email::mime::DispositionKind::Inline:
      return "inline";
    case email::mime::DispositionKind::Attachment:
      return "attachment";
    case email::mime::DispositionKind::FormData:
      return "form-data";
    case email::mime::DispositionKind::Extension:
      return d.extension;
  }
  return "";
}

std::string factsLine(const std::string& name, const std::string& bytes) {
  std::string out = "{\"name\":";
  appendJsonString(out, name);
  out += ",\"bytes\":" + std::to_string(bytes.size()) + ",\"parse\":";
  auto msg = email::mime::parseMessage(bytes);
  if (!msg.ok()) {
    appendJsonString(out, msg.error);
    return out + "}";
  }
  out += "\"ok\",\"headers\":[";
  const std::vector<email::mime::Header> rootHeaders = email::mime::partHeaders(msg, 0);
  for (size_t i = 0; i < rootHeaders.size(); ++i) {
    if (i) out += ',';
    out += '[';
    appendJsonString(out, email::mime::headerName(rootHeaders[i]));
    out += ',';
    std::string value = email::mime::headerValue(rootHeaders[i]);
    size_t chars = text::countCodePoints(value);
    if (chars > 300) {
      appendJsonString(out, text::prefixCodePoints(value, 300));
      out += ",{\"chars\":" + std::to_string(chars) + ",\"sha256\":\"" + digest(value) + "\"}";
    } else {
      appendJsonString(out, value);
    }
    out += ']';
  }
  out += "],\"to\":";
  appendAddresses(out, msg, "To");
  out += ",\"cc\":";
  appendAddresses(out, msg, "Cc");
  out += ",\"date\":";
  size_t cursor = 0;
  if (const auto h = email::findHeader(msg, cursor, "Date")) {
    std::string v(text::trim(email::mime::headerValue(*h)));
    auto d = email::mime::parseDate(v);
    out += "{\"value\":";
    appendJsonString(out, v);
    if (d.ok) {
      out += ",\"ok\":" + std::to_string(d.seconds) + "}";
    } else {
      out += ",\"error\":";
      appendJsonString(out, d.error);
      out += '}';
    }
  } else {
    out += "null";
  }
  out += ",\"parts\":[";
  std::vector<uint32_t> children(msg.parts.size(), 0);
  for (const uint32_t parent : email::mime::parentLinks(msg)) {
    if (parent != email::mime::kNoPart) ++children[parent];
  }
  for (uint32_t i = 0; i < msg.parts.size(); ++i) {
    const email::mime::ContentType type = email::mime::contentType(msg, i);
    if (i) out += ',';
    out += "{\"depth\":" + std::to_string(msg.parts[i].depth) + ",\"ctype\":";
    appendJsonString(out, type.mimeType);
    out += ",\"charset\":";
    appendJsonString(out, type.charset);
    out += ",\"params\":";
    appendParams(out, type.params);
    auto disp = email::mime::contentDisposition(msg, i);
    out += ",\"disp\":{\"kind\":";
    appendJsonString(out, dispositionWord(disp));
    out += ",\"params\":";
    appendParams(out, disp.params);
    out += "},\"children\":" + std::to_string(children[i]) + ",\"cte\":";
    if (const auto cte = email::mime::firstHeader(msg, i, "Content-Transfer-Encoding")) {
      appendJsonString(out, email::mime::headerValue(*cte));
    } else {
      out += "null";
    }
    out += ",\"raw_len\":" + std::to_string(email::mime::partBody(msg, i).size());
    auto raw = email::mime::transferDecode(msg, i);
    if (!raw.ok) {
      out += ",\"body_raw\":{\"error\":\"decode\"},\"body_text\":{\"error\":\"decode\"}}";
      continue;
    }
    out += ",\"body_raw\":{\"len\":" + std::to_string(raw.bytes().size()) + ",\"sha256\":\"" +
           digest(raw.bytes()) + "\"}";
    std::string textBody = email::mime::decodeCharset(raw.bytes(), type.charset);
    out += ",\"body_text\":{\"len_utf8\":" + std::to_string(textBody.size()) + ",\"sha256\":\"" +
           digest(textBody) + "\",\"head\":";
    appendJsonString(out, text::prefixCodePoints(textBody, 80));
    out += "}}";
  }
  out += "]}";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string list, root = ".";
  for (int i = 1; i + 1 < argc; ++i) {
    std::string a = argv[i];
    if (a == "--list") list = argv[i + 1];
    if (a == "--root") root = argv[i + 1];
  }
  if (list.empty()) {
    std::cerr << "usage: mime_facts --list FILE [--root DIR]\n";
    return 2;
  }
  std::ifstream lf(list);
  std::string line;
  while (std::getline(lf, line)) {
    std::string entry(text::trim(line));
    if (entry.empty() || entry[0] == '#') continue;
    std::string path = entry[0] == '/' ? entry : root + "/" + entry;
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::cout << factsLine(entry, ss.str()) << '\n';
  }
  return 0;
}
