#include "email_ventry/probe.h"

#include <algorithm>

namespace ventry {

void pushUnique(std::vector<std::string>& list, std::string value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

}  // namespace ventry
