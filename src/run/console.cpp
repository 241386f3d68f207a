#include "run/console.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace run {
namespace {

using Clock = std::chrono::steady_clock;

std::string decimalBytes(double bytes) {
  char text[32];
  if (bytes >= 1e9) {
    std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  }
  return text;
}

std::string duration(double seconds) {
  char text[32];
  const auto whole = static_cast<uint64_t>(seconds + 0.5);
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 "h%02" PRIu64 "m", whole / 3600, whole / 60 % 60);
  } else if (whole >= 60) {
    std::snprintf(text, sizeof text, "%" PRIu64 "m%02" PRIu64 "s", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
  }
  return text;
}

}  // namespace

Console::Console(int fd, bool progress, uint64_t totalEntries, std::optional<uint64_t> totalBytes)
    : fd_(fd),
      progress_(progress),
      terminal_(::isatty(fd) == 1),
      totalEntries_(totalEntries),
      totalBytes_(totalBytes),
      start_(Clock::now()) {
  if (progress_) ticker_ = std::thread([this] { tick(); });
}

Console::~Console() {
  finish();
}

void Console::write(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n <= 0) return;  // nothing to do when standard error fails
    done += static_cast<size_t>(n);
  }
}

void Console::line(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // On a terminal the diagnostic takes the progress line's place, which is drawn again below.
  std::string out = shown_ ? "\r\033[K" : "";
  out += text;
  out += '\n';
  if (shown_ && !stopping_) out += status(false);
  write(out);
}

std::string Console::status(bool final) const {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  if (totalBytes_) {
    std::string out = byteStatus(final, seconds);
    if (terminal_ && !final) return "\r\033[K" + out;
    return out + "\n";
  }
  const uint64_t entries = entries_.load(std::memory_order_relaxed);
  const uint64_t records = records_.load(std::memory_order_relaxed);
  const double bytes = static_cast<double>(bytes_.load(std::memory_order_relaxed));
  char text[256];
  int n =
      std::snprintf(text, sizeof text, "%s%" PRIu64 " of %" PRIu64 " entries, %" PRIu64 " records",
                    final ? "done: " : "", entries, totalEntries_, records);
  std::string out(text, static_cast<size_t>(n));
  if (seconds > 0) {
    n = std::snprintf(text, sizeof text, ", %.0f messages/s, %s/s",
                      static_cast<double>(records) / seconds,
                      decimalBytes(bytes / seconds).c_str());
    out.append(text, static_cast<size_t>(n));
  }
  if (final) {
    out += ", " + decimalBytes(bytes) + " in " + duration(seconds);
  } else if (entries > 0 && entries < totalEntries_ && seconds > 0) {
    const double left =
        seconds / static_cast<double>(entries) * static_cast<double>(totalEntries_ - entries);
    out += ", " + duration(left) + " left";
  }
  if (terminal_ && !final) return "\r\033[K" + out;
  return out + "\n";
}

// "1 of 3 entries, 410.2 MB of 2.50 GB read, 118231 records, 51000 messages/s, 180.2 MB/s,
// 11.6s left"; at the end "done: 3 of 3 entries, 1200000 records, 51000 messages/s,
// 180.2 MB/s, 2.50 GB read in 13.9s". Rates and the time left go by the bytes read.
std::string Console::byteStatus(bool final, double seconds) const {
  const uint64_t entries = entries_.load(std::memory_order_relaxed);
  const uint64_t records = records_.load(std::memory_order_relaxed);
  const uint64_t read = readBytes_.load(std::memory_order_relaxed);
  const uint64_t total = *totalBytes_ + foundBytes_.load(std::memory_order_relaxed);
  char text[256];
  int n = std::snprintf(text, sizeof text, "%s%" PRIu64 " of %" PRIu64 " entries, ",
                        final ? "done: " : "", entries, totalEntries_);
  std::string out(text, static_cast<size_t>(n));
  if (!final) {
    out += decimalBytes(static_cast<double>(read));
    if (total >= read) out += " of " + decimalBytes(static_cast<double>(total));
    out += " read, ";
  }
  n = std::snprintf(text, sizeof text, "%" PRIu64 " records", records);
  out.append(text, static_cast<size_t>(n));
  if (seconds > 0) {
    n = std::snprintf(text, sizeof text, ", %.0f messages/s, %s/s",
                      static_cast<double>(records) / seconds,
                      decimalBytes(static_cast<double>(read) / seconds).c_str());
    out.append(text, static_cast<size_t>(n));
  }
  if (final) {
    out += ", " + decimalBytes(static_cast<double>(read)) + " read in " + duration(seconds);
  } else if (read > 0 && read < total && seconds > 0) {
    const double left = seconds / static_cast<double>(read) * static_cast<double>(total - read);
    out += ", " + duration(left) + " left";
  }
  return out;
}

void Console::tick() {
  const auto every = terminal_ ? std::chrono::milliseconds(500) : std::chrono::seconds(5);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, every, [this] { return stopping_; })) {
    write(status(false));
    shown_ = terminal_;
  }
}

void Console::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  if (!progress_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  write((shown_ ? "\r\033[K" : "") + status(true));
  shown_ = false;
}

}  // namespace run
