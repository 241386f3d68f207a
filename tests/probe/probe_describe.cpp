#include "probe/probe_describe.h"

namespace probe_test {

namespace {

void addFlag(std::string& out, bool set, const char* name) {
  if (!set) return;
  if (!out.empty()) out += ' ';
  out += name;
}

void addCount(std::string& out, uint32_t value, const char* name) {
  if (value == 0) return;
  if (!out.empty()) out += ' ';
  out += name;
  out += '=';
  out += std::to_string(value);
}

void addList(std::string& out, const std::vector<std::string>& list, const char* name) {
  if (list.empty()) return;
  if (!out.empty()) out += ' ';
  out += name;
  out += "=[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ',';
    out += list[i];
  }
  out += ']';
}

}  // namespace

std::string headerFlags(const ventry::Probe& p) {
  std::string out;
  addFlag(out, p.hdrTo, "to");
  addFlag(out, p.hdrCc, "cc");
  addFlag(out, p.hdrToEmpty, "toEmpty");
  addFlag(out, p.hdrCcEmpty, "ccEmpty");
  addFlag(out, p.hdrBcc, "bcc");
  addFlag(out, p.hdrDate, "date");
  addFlag(out, p.hdrRefs, "refs");
  addFlag(out, p.hdrInReplyTo, "inReplyTo");
  addFlag(out, p.hdrMessageId, "messageId");
  addFlag(out, p.hdrMime, "mime");
  addFlag(out, p.encWordSubject, "encSubject");
  addFlag(out, p.encWordAny, "encAny");
  return out;
}

std::string walkMembers(const ventry::Probe& p) {
  std::string out;
  addFlag(out, p.parseErr, "parseErr");
  if (!p.topCt.empty()) {
    if (!out.empty()) out += ' ';
    out.append("topCt=").append(p.topCt);
  }
  addCount(out, p.parts, "parts");
  addCount(out, p.depth, "depth");
  addCount(out, p.plainLeaves, "plain");
  addCount(out, p.htmlLeaves, "html");
  addCount(out, p.plainNonempty, "plainNonempty");
  addCount(out, p.htmlNonempty, "htmlNonempty");
  addCount(out, p.calUnnamed, "calUnnamed");
  addCount(out, p.calNamed, "calNamed");
  addCount(out, p.otherTextualUnnamed, "otherTextual");
  addList(out, p.otherTextualTypes, "otherTypes");
  addCount(out, p.rfc822Parts, "rfc822");
  addCount(out, p.rfc822Unnamed, "rfc822Unnamed");
  addCount(out, p.cidParts, "cidParts");
  addFlag(out, p.cidRefsInHtml, "cidRefs");
  addFlag(out, p.remoteRefsInHtml, "remoteRefs");
  addFlag(out, p.scriptInHtml, "script");
  addCount(out, p.attachDecl, "attachDecl");
  addCount(out, p.oversize, "oversize");
  addList(out, p.cte, "cte");
  addList(out, p.charsets, "charsets");
  addFlag(out, p.undeclNonAscii, "undeclNonAscii");
  addFlag(out, p.formatFlowed, "flowed");
  addFlag(out, p.isSigned, "signed");
  addFlag(out, p.encrypted, "encrypted");
  addFlag(out, p.report, "report");
  return out;
}

}  // namespace probe_test
