// Adding many loss notices to one list without rescanning it for each one.
//
// addLossNotice compares a new notice with every listed one, which is fine for the handful a
// read usually makes. A walk over a hostile message can name thousands of distinct media
// types or charsets, so the walks add through this index: it compares while the list is
// short and indexes it once it grows. The outcome is exactly that of addLossNotice, provided
// nothing else appends to the list while the index is in use.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "email/read_result.h"

namespace email {

class NoticeIndex {
 public:
  explicit NoticeIndex(LossNotices& notices) : notices_(notices) {}

  void add(FeatureId id, std::string detail) {
    if (!indexed_ && notices_.size() < kCompared) {
      addLossNotice(notices_, id, std::move(detail));
      return;
    }
    const std::string_view featureId = featureIdText(id);
    const std::string_view action = featureAction(id);
    if (!indexed_) {
      for (const auto& notice : notices_) {
        keys_.insert(key(notice.featureId, notice.action, notice.detail));
      }
      indexed_ = true;
    }
    if (!keys_.insert(key(featureId, action, detail)).second) return;
    notices_.push_back(LossNotice{std::string(featureId), std::string(action), std::move(detail)});
  }

 private:
  static std::string key(std::string_view featureId, std::string_view action,
                         std::string_view detail) {
    std::string k;
    k.reserve(featureId.size() + action.size() + detail.size() + 2);
    k += featureId;
    k += '\0';
    k += action;
    k += '\0';
    k += detail;
    return k;
  }

  static constexpr size_t kCompared = 16;

  LossNotices& notices_;
  bool indexed_ = false;
  std::unordered_set<std::string> keys_;
};

}  // namespace email
