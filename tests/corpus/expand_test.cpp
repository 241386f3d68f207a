// Containers: archives and compressed streams built here with libarchive's writer, directory
// trees and maildirs in a temporary directory; every expansion is checked for names, order,
// bytes and faults, and every name it gives must lead back to the same bytes.
#include "corpus/expand.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "corpus/archive_maker.h"
#include "corpus/message_file.h"

namespace {

using testarchives::compress;
using testarchives::makeArchive;
using testarchives::Member;

const std::string kOne = "Subject: one\n\nbody\n";
const std::string kTwo = "Subject: two\r\n\r\nFrom the start\r\n";
const std::string kMbox = "From a\nSubject: m1\n\n>From quoted\n\nFrom b\nSubject: m2\n\nlast\n";
// One message with its envelope line: taken as it is, a quoted-looking line and all.
const std::string kEnvelope =
    "From x@example.com  Mon Jan  1 00:00:00 2001\nSubject: e\n\n>From b\n";

// One expanded message: name, bytes or "error: <readError>".
struct Got {
  std::string name;
  std::string content;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Got& got) {
  return out << got.name << " => " << testing::PrintToString(got.content);
}

class Expand : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "ventry-expand-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& rel, const std::string& bytes) {
    const std::filesystem::path path = std::filesystem::path(dir_) / rel;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Expands `entry` below the temporary directory; checks that every name leads back to the
  // same bytes (or the same read error), that messages handed over as stored give the same
  // bytes, and that the progress reports come to the listed file's size (for a directory,
  // to the sizes of the files met in it).
  std::vector<Got> expand(const std::string& entry, const corpus::ExpandOptions& options = {}) {
    std::vector<Got> got;
    std::vector<corpus::Message> messages;
    corpus::expandEntry(entry, dir_ + "/" + entry, options, [&](corpus::Message&& message) {
      got.push_back({message.name,
                     message.readError.empty() ? message.bytes : "error: " + message.readError});
      messages.push_back(std::move(message));
      return true;
    });

    uint64_t found = 0;
    uint64_t read = 0;
    const corpus::ExpandProgress progress = {[&](uint64_t bytes) { found += bytes; },
                                             [&](uint64_t bytes) {
                                               EXPECT_GT(bytes, 0u) << entry;
                                               read += bytes;
                                             }};
    corpus::ExpandOptions stored = options;
    stored.keepStored = true;
    stored.progress = &progress;
    std::vector<Got> fromStored;
    std::vector<corpus::Message> kept;  // the blocks under the stored bytes stay alive
    corpus::expandEntry(entry, dir_ + "/" + entry, stored, [&](corpus::Message&& message) {
      std::string scratch;
      const std::string bytes(corpus::messageBytes(message, scratch));
      fromStored.push_back(
          {message.name, message.readError.empty() ? bytes : "error: " + message.readError});
      kept.push_back(std::move(message));
      return true;
    });
    EXPECT_EQ(fromStored, got) << entry << " handed over as stored";
    struct stat info {};
    if (::stat((dir_ + "/" + entry).c_str(), &info) != 0) {
      EXPECT_EQ(read, 0u) << entry;
    } else if (S_ISDIR(info.st_mode)) {
      EXPECT_EQ(read, found) << entry;
    } else {
      EXPECT_EQ(found, 0u) << entry;
      EXPECT_EQ(read, static_cast<uint64_t>(info.st_size)) << entry;
    }
    for (const corpus::Message& message : messages) {
      const corpus::Extracted back = corpus::extractMessage(message.name, dir_, options);
      if (message.readError.empty()) {
        EXPECT_TRUE(back.ok) << message.name << ": " << back.error;
        EXPECT_EQ(back.bytes, message.bytes) << message.name;
      } else {
        EXPECT_FALSE(back.ok) << message.name;
      }
    }
    return got;
  }

  std::string dir_;
};

TEST_F(Expand, PlainFilesAreOneMessageAsWithoutExpansion) {
  write("one.eml", kOne);
  write("envelope.eml", kEnvelope);  // one "From " line only: a message, not an mbox
  write("empty.eml", "");
  EXPECT_EQ(expand("one.eml"), (std::vector<Got>{{"one.eml", kOne}}));
  EXPECT_EQ(expand("envelope.eml"), (std::vector<Got>{{"envelope.eml", kEnvelope}}));
  EXPECT_EQ(expand("empty.eml"), (std::vector<Got>{{"empty.eml", ""}}));
  EXPECT_EQ(expand("missing.eml"),
            (std::vector<Got>{{"missing.eml", "error: " + corpus::describeReadError(ENOENT)}}));
}

TEST_F(Expand, CompressedMboxInEveryCompression) {
  const std::vector<Got> plain = {{"m#1@0", "Subject: m1\n\nFrom quoted\n"},
                                  {"m#2@34", "Subject: m2\n\nlast\n"}};
  write("m", kMbox);
  EXPECT_EQ(expand("m"), plain);
  for (int filter : {ARCHIVE_FILTER_GZIP, ARCHIVE_FILTER_BZIP2, ARCHIVE_FILTER_XZ,
                     ARCHIVE_FILTER_ZSTD, ARCHIVE_FILTER_LZ4}) {
    write("m", compress(filter, kMbox));
    EXPECT_EQ(expand("m"), plain) << "filter " << filter;
  }
  write("one.eml.gz", compress(ARCHIVE_FILTER_GZIP, kOne));
  EXPECT_EQ(expand("one.eml.gz"), (std::vector<Got>{{"one.eml.gz", kOne}}));
}

// Lines of white space only before the first separator: the messages are numbered from the
// first separator, at their offsets in the file or stream, and lead back to their bytes.
TEST_F(Expand, MboxAfterWhiteSpaceLines) {
  const std::string m1 = "Subject: m1\n\nFrom quoted\n";
  const std::string m2 = "Subject: m2\n\nlast\n";
  const struct {
    std::string entry;
    std::string bytes;
    std::vector<Got> expected;
  } cases[] = {
      {"blank.mbox", "\n \t\r\n\t \n" + kMbox, {{"blank.mbox#1@8", m1}, {"blank.mbox#2@42", m2}}},
      {"crlf.mbox", "\r\n\r\n" + kMbox, {{"crlf.mbox#1@4", m1}, {"crlf.mbox#2@38", m2}}},
      {"blank.mbox.gz",
       compress(ARCHIVE_FILTER_GZIP, "\n\n" + kMbox),
       {{"blank.mbox.gz#1@2", m1}, {"blank.mbox.gz#2@36", m2}}},
      {"blank.tar",
       makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, {{"in.mbox", " \n" + kMbox}}),
       {{"blank.tar!in.mbox#1@2", m1}, {"blank.tar!in.mbox#2@36", m2}}},
      // "From " ends by the last byte that detection looks at.
      {"far.mbox",
       std::string(507, '\n') + kMbox,
       {{"far.mbox#1@507", m1}, {"far.mbox#2@541", m2}}},
      // One message, read whole as without expansion.
      {"beyond.eml",
       std::string(508, '\n') + kMbox,
       {{"beyond.eml", std::string(508, '\n') + kMbox}}},
      {"envelope.eml", "\n\n" + kEnvelope, {{"envelope.eml", "\n\n" + kEnvelope}}},
      {"indented.eml", " " + kMbox, {{"indented.eml", " " + kMbox}}},
      {"blank.eml", "\n \n", {{"blank.eml", "\n \n"}}},
      // Vertical tab and form feed are not white space here.
      {"formfeed.eml", "\f\n" + kMbox, {{"formfeed.eml", "\f\n" + kMbox}}},
      {"vtab.eml", "\n\v\n" + kMbox, {{"vtab.eml", "\n\v\n" + kMbox}}},
  };
  for (const auto& c : cases) {
    write(c.entry, c.bytes);
    EXPECT_EQ(expand(c.entry), c.expected) << c.entry;
  }
}

TEST_F(Expand, ArchiveMembersInOrderWithEscapedNames) {
  const std::vector<Member> members = {
      {"dir", "", AE_IFDIR},
      {"dir/b.eml", kOne},
      {"a.mbox", kMbox},
      {"link", "", AE_IFLNK, "dir/b.eml"},
      {"../up/x!#~%\x01.eml", kTwo},
      {"dir/b.eml", kTwo},
      {"envelope", kEnvelope},
  };
  const std::vector<Got> expected = {
      {"t!dir/b.eml", kOne},
      {"t!a.mbox#1@0", "Subject: m1\n\nFrom quoted\n"},
      {"t!a.mbox#2@34", "Subject: m2\n\nlast\n"},
      {"t!link", "error: Not a regular file (symbolic link)"},
      {"t!../up/x%21%23%7E%25%01.eml", kTwo},
      {"t!dir/b.eml~2", kTwo},
      {"t!envelope", kEnvelope},
  };
  for (const auto& [format, filter] :
       std::vector<std::pair<int, int>>{{ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_NONE},
                                        {ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP},
                                        {ARCHIVE_FORMAT_TAR_GNUTAR, ARCHIVE_FILTER_XZ},
                                        {ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE},
                                        {ARCHIVE_FORMAT_7ZIP, ARCHIVE_FILTER_NONE}}) {
    write("t", makeArchive(format, filter, members));
    EXPECT_EQ(expand("t"), expected) << "format " << format << " filter " << filter;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/up")) << "nothing is written";
}

TEST_F(Expand, NestedContainers) {
  const std::string inner = makeArchive(ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE,
                                        {{"m.mbox.gz", compress(ARCHIVE_FILTER_GZIP, kMbox)},
                                         {"x.eml.bz2", compress(ARCHIVE_FILTER_BZIP2, kOne)}});
  write("outer.tgz", makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP,
                                 {{"in.zip", inner}, {"after.eml", kTwo}}));
  EXPECT_EQ(expand("outer.tgz"),
            (std::vector<Got>{
                {"outer.tgz!in.zip!m.mbox.gz#1@0", "Subject: m1\n\nFrom quoted\n"},
                {"outer.tgz!in.zip!m.mbox.gz#2@34", "Subject: m2\n\nlast\n"},
                {"outer.tgz!in.zip!x.eml.bz2", kOne},
                {"outer.tgz!after.eml", kTwo},
            }));
}

TEST_F(Expand, NestingDepthIsBounded) {
  std::string nested = kOne;
  for (int level = 0; level < 5; ++level) {
    nested = makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, {{"n", nested}});
  }
  write("deep.tar", nested);
  EXPECT_EQ(expand("deep.tar"), (std::vector<Got>{{"deep.tar!n!n!n!n",
                                                   "error: Archive nested deeper than 4 levels "
                                                   "(not opened)"}}));
  corpus::ExpandOptions deeper;
  deeper.maxDepth = 5;
  EXPECT_EQ(expand("deep.tar", deeper), (std::vector<Got>{{"deep.tar!n!n!n!n!n", kOne}}));
}

// Bytes that do not compress, so that a cut in the compressed stream lands in them.
std::string noise(size_t size) {
  std::string out;
  uint32_t state = 12345;
  while (out.size() < size) {
    state = state * 1103515245u + 12345u;
    out += static_cast<char>('a' + (state >> 16) % 26);
  }
  return out;
}

TEST_F(Expand, FaultsKeepWhatWasReadBefore) {
  const std::string big = noise(400000);
  const std::string tgz = makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP,
                                      {{"a.eml", kOne}, {"b.eml", big}, {"c.eml", kTwo}});
  write("cut.tgz", tgz.substr(0, tgz.size() - 40));
  const std::vector<Got> cut = expand("cut.tgz");
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0], (Got{"cut.tgz!a.eml", kOne}));
  EXPECT_EQ(cut[1], (Got{"cut.tgz!b.eml", "error: truncated gzip input"}));

  const std::string gz = compress(ARCHIVE_FILTER_GZIP, kMbox + "\nFrom c\n" + big + "\n");
  // Cut well past the first block, which libarchive reads ahead to tell the format.
  write("cut.mbox.gz", gz.substr(0, gz.size() * 3 / 4));
  const std::vector<Got> mbox = expand("cut.mbox.gz");
  ASSERT_EQ(mbox.size(), 3u);
  EXPECT_EQ(mbox[0], (Got{"cut.mbox.gz#1@0", "Subject: m1\n\nFrom quoted\n"}));
  EXPECT_EQ(mbox[1], (Got{"cut.mbox.gz#2@34", "Subject: m2\n\nlast\n"}));
  EXPECT_EQ(mbox[2], (Got{"cut.mbox.gz", "error: truncated gzip input"}));

  write("garbage.zip", "PK\x03\x04 not a zip at all");
  const std::vector<Got> garbage = expand("garbage.zip");
  ASSERT_EQ(garbage.size(), 1u);
  EXPECT_EQ(garbage[0].name, "garbage.zip");
  EXPECT_EQ(garbage[0].content.rfind("error: ", 0), 0u);
}

TEST_F(Expand, SizeAndExpansionLimits) {
  write("t.tar", makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE,
                             {{"big", std::string(5000, 'x')}, {"small", kOne}}));
  corpus::ExpandOptions limited;
  limited.maxMessageBytes = 1000;
  EXPECT_EQ(
      expand("t.tar", limited),
      (std::vector<Got>{{"t.tar!big", "error: " + corpus::describeReadError(corpus::kTooLarge)},
                        {"t.tar!small", kOne}}));

  // Out of a compressed stream a message is held up to maxArchivedMessageBytes only.
  const std::string repeated(3 << 20, 'x');
  write("repeated.gz", compress(ARCHIVE_FILTER_GZIP, repeated));
  write("repeated", repeated);
  corpus::ExpandOptions archived;
  archived.maxArchivedMessageBytes = 1 << 20;
  EXPECT_EQ(expand("repeated.gz", archived),
            (std::vector<Got>{
                {"repeated.gz",
                 "error: Message out of an archive larger than 1048576 bytes (not held)"}}));
  EXPECT_EQ(expand("repeated", archived), (std::vector<Got>{{"repeated", repeated}}));

  // A gzip that inflates to 2 MiB in its first few KiB, against a budget of its own size
  // (about 2 MB); the rest of the file, beyond the first read, is never read.
  std::string mbox;
  while (mbox.size() < (2u << 20)) mbox += "From a\n\n";
  mbox += noise(3 << 20);
  write("bomb.gz", compress(ARCHIVE_FILTER_GZIP, mbox));
  corpus::ExpandOptions budget;
  budget.expansionFloor = 1 << 20;
  budget.expansionRatio = 1;
  size_t messages = 0;
  std::string lastError;
  uint64_t read = 0;
  const corpus::ExpandProgress progress = {nullptr, [&](uint64_t bytes) { read += bytes; }};
  budget.progress = &progress;
  corpus::expandEntry("bomb.gz", dir_ + "/bomb.gz", budget, [&](corpus::Message&& message) {
    ++messages;
    lastError = message.readError;
    return true;
  });
  EXPECT_LT(messages, (2u << 20) / 8);
  EXPECT_EQ(lastError.rfind("Expansion limit", 0), 0u) << lastError;
  // The file counts as read whole although its expansion ended early.
  EXPECT_EQ(read, std::filesystem::file_size(dir_ + "/bomb.gz"));
  budget.progress = nullptr;

  // The way back spends the same budget: a member the run never reaches is not extracted.
  write("late.tar.gz", makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP,
                                   {{"zeros", std::string(2u << 20, '\0')}, {"late", kOne}}));
  const corpus::Extracted late = corpus::extractMessage("late.tar.gz!late", dir_, budget);
  EXPECT_FALSE(late.ok);
  EXPECT_NE(late.error.find("Expansion limit"), std::string::npos) << late.error;
}

TEST_F(Expand, DirectoryTreesAndMaildirs) {
  write("tree/b/1.eml", kOne);
  write("tree/a.eml", kTwo);
  write("tree/a-z.eml", kOne);  // "a-z.eml" < "a.eml" < "b/": byte order of whole paths
  write("tree/.hidden", kOne);
  write("tree/box.mbox", kMbox);
  write("tree/mail/cur/2:2,S", kEnvelope);
  write("tree/mail/cur/1:2,S", kOne);
  write("tree/mail/new/3", kTwo);
  write("tree/mail/tmp/4", kOne);
  write("tree/mail/.Sent/cur/5", kOne);
  write("tree/mail/.Sent/new/.keep", "");
  write("tree/mail/.not-a-folder/x", kOne);
  write("tree/tmp/6", kOne);  // not in a maildir: read
  ::symlink("..", (dir_ + "/tree/b/loop").c_str());
  ::symlink("../a.eml", (dir_ + "/tree/b/link.eml").c_str());
  ::symlink("nowhere", (dir_ + "/tree/b/dangling").c_str());
  ::mkfifo((dir_ + "/tree/fifo").c_str(), 0600);
  EXPECT_EQ(expand("tree"),
            (std::vector<Got>{
                {"tree/a-z.eml", kOne},
                {"tree/a.eml", kTwo},
                {"tree/b/1.eml", kOne},
                {"tree/b/dangling", "error: " + corpus::describeReadError(ENOENT)},
                {"tree/b/link.eml", kTwo},
                {"tree/b/loop", "error: Symbolic link to a directory (not followed)"},
                {"tree/box.mbox#1@0", "Subject: m1\n\nFrom quoted\n"},
                {"tree/box.mbox#2@34", "Subject: m2\n\nlast\n"},
                {"tree/fifo", "error: Not a regular file"},
                {"tree/mail/.Sent/cur/5", kOne},
                {"tree/mail/cur/1:2,S", kOne},
                {"tree/mail/cur/2:2,S", kEnvelope},
                {"tree/mail/new/3", kTwo},
                {"tree/tmp/6", kOne},
            }));
  // The listed directory's own spelling leads the names.
  EXPECT_EQ(expand("tree/b/").front(), (Got{"tree/b/1.eml", kOne}));
}

// File names found by a walk are the files' paths, with bytes that are not valid UTF-8
// written "%XX"; each such name must lead back to its file's bytes.
TEST_F(Expand, WalkedFileNamesLeadBack) {
  const struct {
    std::string file;  // below walk/
    std::string bytes;
    std::vector<std::string> names;  // what the walk calls its messages, without "walk/"
  } cases[] = {
      {"caf\xE9.eml", kOne, {"caf%E9.eml"}},  // Latin-1
      {"\xC3(.eml", kTwo, {"%C3(.eml"}},      // a UTF-8 lead byte without its follower
      {"caf\xC3\xA9.eml", kOne, {"caf\xC3\xA9.eml"}},
      {"d\xE9j\xE0/x.eml", kTwo, {"d%E9j%E0/x.eml"}},
      {"\xE9t\xE9.mbox", kMbox, {"%E9t%E9.mbox#1@0", "%E9t%E9.mbox#2@34"}},
      // Locator characters and '%' are the file's own.
      {"100%.eml", kOne, {"100%.eml"}},
      {"50%E9.eml", kTwo, {"50%E9.eml"}},
      {"x!y#1@2.eml", kOne, {"x!y#1@2.eml"}},
      {"a!b#c.mbox", kMbox, {"a!b#c.mbox#1@0", "a!b#c.mbox#2@34"}},
      {"%41\xE9.eml", kTwo, {"%41%E9.eml"}},
  };
  std::vector<Got> expected;
  for (const auto& c : cases) {
    write("walk/" + c.file, c.bytes);
    if (c.names.size() == 1) {
      expected.push_back({"walk/" + c.names[0], c.bytes});
    } else {
      expected.push_back({"walk/" + c.names[0], "Subject: m1\n\nFrom quoted\n"});
      expected.push_back({"walk/" + c.names[1], "Subject: m2\n\nlast\n"});
    }
  }
  std::vector<Got> got = expand("walk");
  const auto byName = [](const Got& a, const Got& b) { return a.name < b.name; };
  std::sort(got.begin(), got.end(), byName);
  std::sort(expected.begin(), expected.end(), byName);
  EXPECT_EQ(got, expected);
}

TEST(Extract, NamesThatLeadNowhere) {
  const corpus::ExpandOptions options;
  EXPECT_FALSE(corpus::extractMessage("no/such/file", "/nonexistent", options).ok);
  const std::string root = VENTRY_SOURCE_DIR;
  EXPECT_EQ(corpus::extractMessage("tests", root, options).error,
            "Names a directory, not a message");
  const corpus::Extracted wrong = corpus::extractMessage("README.md#1@0", root, options);
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.error, "No message of this name in README.md");
  EXPECT_TRUE(corpus::extractMessage("README.md", root, options).ok);
}

}  // namespace
