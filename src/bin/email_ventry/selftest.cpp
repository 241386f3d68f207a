#include "email_ventry/selftest.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "email_ventry/selftest_fixtures.h"

namespace ventry {

namespace {

namespace fx = fixtures;

constexpr std::string_view kRecipients = "email.read.headers.recipients";
constexpr std::string_view kDateId = "email.read.headers.date";
constexpr std::string_view kCalendarDetect = "email.read.calendar.detect";
constexpr std::string_view kRelatedCid = "email.read.mime.related-cid";
constexpr std::string_view kNestedId = "email.read.mime.nested";
constexpr std::string_view kTextualPart = "email.read.mime.textual-part";
constexpr std::string_view kMessageRfc822 = "email.read.mime.message-rfc822";
constexpr std::string_view kOversizeId = "email.read.attachments.oversize";
constexpr std::string_view kCharsetFallbackId = "email.read.mime.charset-fallback";
constexpr std::string_view kFormatFlowed = "email.read.mime.format-flowed";

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

bool hasId(const email::ReadSummary& summary, std::string_view id) {
  return std::any_of(summary.loss.begin(), summary.loss.end(),
                     [id](const email::LossPair& pair) { return pair.featureId == id; });
}

bool hasOnlyId(const email::ReadSummary& summary, std::string_view id) {
  return summary.loss.size() == 1 && summary.loss.front().featureId == id;
}

// The claim counter and the labels of the false claims, in evaluation order.
class Claims {
 public:
  explicit Claims(const SelftestDeps& deps) : deps_(deps) {}

  void check(std::string_view label, bool holds) {
    ++counter_;
    if (!holds) failed_.push_back(label);
  }

  // A fresh read of the fixture: true when it succeeds and names the feature ID.
  bool names(std::string_view fixture, std::string_view id) const {
    const email::ReadOutcome outcome = deps_.read(fixture);
    return outcome.ok && hasId(outcome.summary, id);
  }

  email::ReadOutcome read(std::string_view fixture) const { return deps_.read(fixture); }
  Probe probe(std::string_view fixture) const { return deps_.probe(fixture); }

  SelftestResult finish(std::ostream& out) const {
    if (failed_.empty()) {
      out << "selftest OK \u2014 " << counter_ << " claims\n";
      out.flush();
      return {true, {}};
    }
    std::string failure = "selftest FAILED (" + std::to_string(failed_.size()) + "/" +
                          std::to_string(counter_) + "): ";
    for (size_t i = 0; i < failed_.size(); ++i) {
      if (i > 0) failure += "; ";
      failure += failed_[i];
    }
    return {false, std::move(failure)};
  }

 private:
  const SelftestDeps& deps_;
  uint32_t counter_ = 0;
  std::vector<std::string_view> failed_;
};

SelftestResult stopped(const email::ReadOutcome& outcome) {
  return {false, outcome.failure};
}

}  // namespace

SelftestResult runSelftest(const SelftestDeps& deps, std::ostream& out) {
  Claims c(deps);

  {
    const email::ReadOutcome plain = c.read(fx::kPlain);
    if (!plain.ok) return stopped(plain);
    const email::ReadSummary& s = plain.summary;
    c.check("plain: text body arrives", contains(s.text, "hello"));
    c.check("plain: a clean message loses nothing", s.loss.empty());
    c.check("plain: the To recipient is carried", s.to == 1);
  }

  {
    const email::ReadOutcome brokenTo = c.read(fx::kBrokenTo);
    if (!brokenTo.ok) {
      c.check("broken-to: read must not throw", false);
    } else {
      c.check("broken-to: the raw text is carried", brokenTo.summary.to != 0);
      c.check("broken-to: the degradation is NAMED", c.names(fx::kBrokenTo, kRecipients));
    }
  }

  c.check("calendar: emission fires", c.names(fx::kCalendar, kCalendarDetect));
  c.check("calendar: probe sees the vanish shape", c.probe(fx::kCalendar).calUnnamed == 1);

  c.check("cid: emission fires", c.names(fx::kCid, kRelatedCid));
  {
    const Probe p = c.probe(fx::kCid);
    c.check("cid: probe sees part+ref", p.cidParts == 1 && p.cidRefsInHtml);
  }

  c.check("nested: emission fires", c.names(fx::kNested, kNestedId));
  c.check("nested: probe counts two nonempty plain leaves",
          c.probe(fx::kNested).plainNonempty == 2);

  c.check("empty-first: probe claims no overwrite condition",
          c.probe(fx::kEmptyFirst).plainNonempty <= 1);
  c.check("empty-first: seam emits no overwrite", !c.names(fx::kEmptyFirst, kNestedId));

  {
    const email::ReadOutcome emptyAfter = c.read(fx::kEmptyAfter);
    if (!emptyAfter.ok) return stopped(emptyAfter);
    c.check(
        "empty-after: the artifact part destroys the body AND the channel says so",
        !contains(emptyAfter.summary.text, "real body") && hasId(emptyAfter.summary, kNestedId));
  }
  c.check("empty-after: probe stays conservative (cry-wolf column carries it)",
          c.probe(fx::kEmptyAfter).plainNonempty <= 1);

  c.check("textual-cid: probe does not claim the drop condition",
          c.probe(fx::kTextualCid).cidParts == 0);
  c.check("textual-cid: seam does not emit cid loss (the part became the body)",
          !c.names(fx::kTextualCid, kRelatedCid));

  c.check("enriched: probe sees the vanish class", c.probe(fx::kEnriched).otherTextualUnnamed == 1);
  {
    const email::ReadOutcome enriched = c.read(fx::kEnriched);
    if (!enriched.ok) return stopped(enriched);
    c.check("enriched: part is not an attachment", enriched.summary.attachments == 0);
    c.check("enriched: part is not a body", !contains(enriched.summary.html, "rich"));
  }
  c.check("enriched: the drop NAMES itself (ventry wave: TextualPartDropped)",
          c.names(fx::kEnriched, kTextualPart));

  c.check("named-forward: seam stays quiet", !c.names(fx::kNamedForward, kMessageRfc822));
  c.check("named-forward: probe claims no condition",
          c.probe(fx::kNamedForward).rfc822Unnamed == 0);
  c.check("rfc822: the opaque forward names itself", c.names(fx::kRfc822, kMessageRfc822));

  {
    const Probe p = c.probe(fx::kHostile);
    c.check("hostile: raw scan claims no headers", !p.hdrTo && !p.hdrDate);
  }

  {
    const Probe p = c.probe(fx::kEnronStyle);
    c.check("enron-style: To/Date/Message-ID/Mime seen",
            p.hdrTo && p.hdrDate && p.hdrMessageId && p.hdrMime);
  }
  {
    const email::ReadOutcome enron = c.read(fx::kEnronStyle);
    if (!enron.ok) return stopped(enron);
    c.check("enron-style: body arrives", contains(enron.summary.text, "ok will do"));
    c.check("enron-style: To carried; the only loss named is the raw Date carry (S4)",
            enron.summary.to == 1 && hasOnlyId(enron.summary, kDateId));
  }

  {
    const std::string oversize = fx::buildOversize();
    c.check("oversize: emission fires", c.names(oversize, kOversizeId));
    c.check("oversize: probe sees it", c.probe(oversize).oversize == 1);
  }

  c.check("date: emission fires", c.names(fx::kDate, kDateId));
  c.check("date: probe sees the header", c.probe(fx::kDate).hdrDate);
  c.check("date: absent Date is quiet",
          !c.names(fx::kPlain, kDateId) && !c.probe(fx::kPlain).hdrDate);

  {
    const email::ReadOutcome fallback = c.read(fx::kCharsetFallback);
    if (!fallback.ok) return stopped(fallback);
    c.check("charset-fallback: sniffed UTF-8 arrives whole",
            contains(fallback.summary.text, "caf\xC3\xA9"));
  }
  c.check("charset-fallback: emission fires", c.names(fx::kCharsetFallback, kCharsetFallbackId));
  c.check("charset-fallback: probe sees the shape", c.probe(fx::kCharsetFallback).undeclNonAscii);
  c.check("charset-fallback: a declared charset is quiet on both sides",
          !c.names(fx::kDeclaredCharset, kCharsetFallbackId) &&
              !c.probe(fx::kDeclaredCharset).undeclNonAscii);

  c.check("flowed: emission fires", c.names(fx::kFlowed, kFormatFlowed));
  c.check("flowed: probe sees the parameter", c.probe(fx::kFlowed).formatFlowed);
  c.check("flowed: format=fixed is quiet on both sides",
          !c.names(fx::kFixed, kFormatFlowed) && !c.probe(fx::kFixed).formatFlowed);

  {
    const email::ReadOutcome emptyCc = c.read(fx::kEmptyCc);
    if (!emptyCc.ok) return stopped(emptyCc);
    const Probe p = c.probe(fx::kEmptyCc);
    c.check("empty-cc: probe sees a present, EMPTY Cc", p.hdrCc && p.hdrCcEmpty && !p.hdrToEmpty);
    c.check("empty-cc: seam carries nothing and names nothing",
            emptyCc.summary.cc == 0 && emptyCc.summary.loss.empty());
  }
  c.check("empty-cc: a folded blank Cc is still empty to the probe",
          c.probe(fx::kBlankFoldedCc).hdrCcEmpty);

  {
    const email::ReadOutcome nothingCc = c.read(fx::kNothingCc);
    if (!nothingCc.ok) return stopped(nothingCc);
    const Probe p = c.probe(fx::kNothingCc);
    c.check("nothing-cc: probe sees a present, NON-empty Cc", p.hdrCc && !p.hdrCcEmpty);
    c.check("nothing-cc: the seam carries the raw text AND names it",
            nothingCc.summary.cc == 1 && c.names(fx::kNothingCc, kRecipients));
  }

  {
    const email::ReadOutcome foldedCc = c.read(fx::kFoldedCc);
    if (!foldedCc.ok) return stopped(foldedCc);
    const Probe p = c.probe(fx::kFoldedCc);
    c.check(
        "folded-cc: a Cc whose address sits only on a CONTINUATION line is not empty, and is "
        "carried",
        !p.hdrCcEmpty && foldedCc.summary.cc == 1 && foldedCc.summary.loss.empty());
  }
  c.check("empty-cc: a LATER header's continuation text is not credited to the empty Cc",
          c.probe(fx::kLaterContinuation).hdrCcEmpty);

  {
    const email::ReadOutcome emptyTo = c.read(fx::kEmptyTo);
    if (!emptyTo.ok) return stopped(emptyTo);
    const Probe p = c.probe(fx::kEmptyTo);
    c.check(
        "empty-to: the To side of the empty-flag pair is computed too, and the seam stays quiet",
        p.hdrTo && p.hdrToEmpty && !p.hdrCcEmpty && emptyTo.summary.to == 0 &&
            emptyTo.summary.loss.empty());
  }

  {
    const email::ReadOutcome spaced = c.read(fx::kSpacedColon);
    if (!spaced.ok) return stopped(spaced);
    const Probe p = c.probe(fx::kSpacedColon);
    c.check("spaced-colon: probe and seam agree the headers are present and carried",
            p.hdrTo && p.hdrCc && spaced.summary.to == 1 && spaced.summary.cc == 1 &&
                spaced.summary.loss.empty());
  }

  return c.finish(out);
}

SelftestResult runSelftest() {
  const SelftestDeps deps{email::readMessage, probeMessage};
  return runSelftest(deps, std::cout);
}

}  // namespace ventry
