// Standard error during a run: one line per diagnostic and, with --progress, how far the
// run has come (on a terminal one line that updates in place, elsewhere a plain line every
// few seconds, and a final line with the totals). Over a plain list the run counts entries;
// over containers, where one entry may hold a million messages, it counts the bytes of the
// listed files read. Standard output is never touched.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace run {

class Console {
 public:
  // `totalEntries` is the number of list entries the run will take. With `totalBytes` (a run
  // over containers: the sizes of the listed files) progress counts bytes read, of that
  // total and of what bytesFound() adds.
  Console(int fd, bool progress, uint64_t totalEntries,
          std::optional<uint64_t> totalBytes = std::nullopt);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Counters the run keeps up to date (from any thread).
  void entryTaken() { entries_.fetch_add(1, std::memory_order_relaxed); }
  void recordWritten(uint64_t messageBytes) {
    records_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(messageBytes, std::memory_order_relaxed);
  }
  uint64_t recordsWritten() const { return records_.load(std::memory_order_relaxed); }
  // Over containers: a file met in a listed directory, and bytes of the listed files read.
  void bytesFound(uint64_t bytes) { foundBytes_.fetch_add(bytes, std::memory_order_relaxed); }
  void bytesRead(uint64_t bytes) { readBytes_.fetch_add(bytes, std::memory_order_relaxed); }

  // Writes one diagnostic line ("\n" is added).
  void line(std::string_view text);

  // Ends the progress display with the totals line (with --progress); later calls do
  // nothing.
  void finish();

 private:
  void tick();
  std::string status(bool final) const;
  std::string byteStatus(bool final, double seconds) const;
  void write(std::string_view text);

  const int fd_;
  const bool progress_;
  const bool terminal_;
  const uint64_t totalEntries_;
  const std::optional<uint64_t> totalBytes_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint64_t> entries_{0};
  std::atomic<uint64_t> records_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> foundBytes_{0};
  std::atomic<uint64_t> readBytes_{0};

  std::mutex mutex_;  // one writer of standard error at a time
  std::condition_variable wake_;
  bool stopping_ = false;
  bool shown_ = false;  // a progress line is on the terminal's current line
  std::thread ticker_;
};

}  // namespace run
