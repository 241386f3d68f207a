// Real data: the conformance corpus's bulk messages written into an mboxrd file (plain and
// gzip-compressed), an mboxcl2 file, a maildir, a .tar.gz and a zip by
// tests/scripts/make-bulk-containers, then expanded. Every container must give back every
// message in order with its original bytes (apart from the documented difference of each
// mbox kind), and extractMessage must give the same bytes for sampled names. Skips when the
// shared conformance corpus is not there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corpus/expand.h"
#include "corpus/message_file.h"

namespace {

struct Row {
  std::string suffix;  // the name after the container
  std::string path;    // corpus path of the original
  std::string how;     // "same", "lf-added" or "header-added:<line>"
};

class BulkContainers : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string shared = VENTRY_SHARED_DIR;
    if (!std::filesystem::exists(shared + "/conformance/bulk.txt")) {
      skipReason_ = "no conformance corpus at " + shared + "/conformance";
      return;
    }
    std::string pattern = testing::TempDir() + "ventry-bulk-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      skipReason_ = "no temporary directory";
      return;
    }
    dir_ = pattern;
    const std::string command = "python3 '" VENTRY_SOURCE_DIR
                                "/tests/scripts/make-bulk-containers' '" +
                                shared + "' '" + dir_ + "' >/dev/null";
    if (std::system(command.c_str()) != 0) {
      skipReason_ = "could not build the containers (python3?)";
      return;
    }
    std::ifstream in(dir_ + "/expected.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string container;
      Row row;
      std::getline(fields, container, '\t');
      std::getline(fields, row.suffix, '\t');
      std::getline(fields, row.path, '\t');
      std::getline(fields, row.how, '\t');
      expected_[container].push_back(row);
    }
  }

  static void TearDownTestSuite() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void SetUp() override {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
  }

  static std::string original(const Row& row) {
    std::string bytes;
    EXPECT_EQ(corpus::readMessageFile(
                  std::string(VENTRY_SHARED_DIR) + "/conformance/corpus/" + row.path, bytes),
              corpus::kReadOk)
        << row.path;
    if (row.how == "lf-added") bytes += '\n';
    if (row.how.rfind("header-added:", 0) == 0) bytes = row.how.substr(13) + "\n" + bytes;
    return bytes;
  }

  // Expands `container` and checks names, order and bytes against the expected rows; then
  // extracts every 1000th message and the last one by name.
  static void check(const std::string& container, corpus::MboxFormat format) {
    const std::vector<Row>& rows = expected_[container];
    ASSERT_EQ(rows.size(), 10302u) << container;
    corpus::ExpandOptions options;
    options.mboxFormat = format;
    size_t index = 0;
    size_t mismatches = 0;
    corpus::expandEntry(container, dir_ + "/" + container, options, [&](corpus::Message&& message) {
      if (index >= rows.size()) {
        ADD_FAILURE() << "extra message " << message.name;
        return false;
      }
      const Row& row = rows[index++];
      EXPECT_EQ(message.name, container + row.suffix);
      EXPECT_EQ(message.readError, "") << message.name;
      if (message.bytes != original(row) && ++mismatches <= 5) {
        ADD_FAILURE() << message.name << " differs from " << row.path;
      }
      return true;
    });
    EXPECT_EQ(index, rows.size()) << container;
    EXPECT_EQ(mismatches, 0u) << container;

    std::vector<size_t> samples;
    for (size_t i = 0; i < rows.size(); i += 1000) samples.push_back(i);
    samples.push_back(rows.size() - 1);
    for (size_t i : samples) {
      const std::string name = container + rows[i].suffix;
      const corpus::Extracted got = corpus::extractMessage(name, dir_, options);
      EXPECT_TRUE(got.ok) << name << ": " << got.error;
      EXPECT_TRUE(got.bytes == original(rows[i])) << name;
    }
  }

  static inline std::string skipReason_;
  static inline std::string dir_;
  static inline std::map<std::string, std::vector<Row>> expected_;
};

TEST_F(BulkContainers, Mboxrd) {
  check("bulk.mbox", corpus::MboxFormat::Mboxrd);
}
TEST_F(BulkContainers, GzipMboxrd) {
  check("bulk.mbox.gz", corpus::MboxFormat::Mboxrd);
}
TEST_F(BulkContainers, Mboxcl2) {
  check("bulk.mboxcl2", corpus::MboxFormat::Mboxcl2);
}
TEST_F(BulkContainers, Maildir) {
  check("maildir", corpus::MboxFormat::Mboxrd);
}
TEST_F(BulkContainers, TarGz) {
  check("bulk.tar.gz", corpus::MboxFormat::Mboxrd);
}
TEST_F(BulkContainers, Zip) {
  check("bulk.zip", corpus::MboxFormat::Mboxrd);
}

}  // namespace
