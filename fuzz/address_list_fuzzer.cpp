// Address lists: never a crash, a result that says either items or an error, UTF-8
// everywhere, and every accepted mailbox address holding an at sign.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

void checkMailbox(const email::mime::Mailbox& mailbox) {
  fuzzcheck::require(text::isValidUtf8(mailbox.address), "addresses are UTF-8");
  fuzzcheck::require(mailbox.address.find('@') != std::string::npos,
                     "an accepted address holds an at sign");
  fuzzcheck::require(!mailbox.displayName || text::isValidUtf8(*mailbox.displayName),
                     "display names are UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  email::mime::Header header{"To", fuzzcheck::asView(data, size)};
  auto list = email::mime::parseAddressList(header);
  if (!list.ok) {
    fuzzcheck::require(!list.error.empty(), "a failed list says why");
    fuzzcheck::require(list.items.empty(), "a failed list has no items");
    return 0;
  }
  for (const auto& item : list.items) {
    if (item.isGroup) {
      fuzzcheck::require(text::isValidUtf8(item.groupName), "group names are UTF-8");
      for (const auto& member : item.members) checkMailbox(member);
    } else {
      fuzzcheck::require(item.members.empty(), "a mailbox item has no members");
      checkMailbox(item.mailbox);
    }
  }
  return 0;
}
