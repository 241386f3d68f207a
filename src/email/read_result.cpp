// The feature-ID vocabulary, the one way notices are added, and their JSON form.

#include "email/read_result.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "text/json_string.h"

namespace email {
namespace {

struct FeatureRow {
  std::string_view id;
  std::string_view action;
};

// In the order of the FeatureId enumeration. Each feature always carries the same action.
constexpr FeatureRow kFeatures[] = {
    {"email.read.headers.recipients", "degraded"},
    {"email.read.headers.date", "degraded"},
    {"email.read.mime.charset-fallback", "degraded"},
    {"email.read.mime.format-flowed", "degraded"},
    {"email.read.calendar.detect", "dropped"},
    {"email.read.mime.related-cid", "dropped"},
    {"email.read.mime.nested", "dropped"},
    {"email.read.attachments.oversize", "degraded"},
    {"email.read.attachments.content", "dropped"},
    {"email.read.thread.assembly", ""},
    {"email.read.mime.textual-part", "dropped"},
    {"email.read.mime.message-rfc822", "degraded"},
};

void appendJsonString(std::string& out, std::string_view s) {
  out += '"';
  text::appendJsonEscaped(out, s);
  out += '"';
}

}  // namespace

std::string_view featureIdText(FeatureId id) {
  return kFeatures[static_cast<size_t>(id)].id;
}

std::string_view featureAction(FeatureId id) {
  return kFeatures[static_cast<size_t>(id)].action;
}

std::string_view actionText(Action action) {
  return action == Action::Dropped ? "dropped" : "degraded";
}

void addLossNotice(LossNotices& notices, std::string_view featureId, std::string_view action,
                   std::string detail) {
  for (const auto& notice : notices) {
    if (notice.featureId == featureId && notice.action == action && notice.detail == detail) {
      return;
    }
  }
  notices.push_back(LossNotice{std::string(featureId), std::string(action), std::move(detail)});
}

void addLossNotice(LossNotices& notices, FeatureId id, std::string detail) {
  addLossNotice(notices, featureIdText(id), featureAction(id), std::move(detail));
}

std::string lossNoticesToJson(const LossNotices& notices) {
  std::string out = "[";
  for (size_t i = 0; i < notices.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"featureId\":";
    appendJsonString(out, notices[i].featureId);
    out += ",\"action\":";
    appendJsonString(out, notices[i].action);
    out += ",\"detail\":";
    appendJsonString(out, notices[i].detail);
    out += '}';
  }
  out += ']';
  return out;
}

}  // namespace email
