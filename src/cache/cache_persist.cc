// Reading and writing the cache file, and the thread that saves it at its
// interval. The file is read as untrusted input through cache_file_read; it is
// written as whatever account the daemon runs as, mode 0600.
#include "cache/cache_persist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "metrics/metrics.h"
#include "util/log.h"

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) (void)close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  // Closes now, for the error close reports (a delayed write may fail there).
  [[nodiscard]] bool close_checked() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// The whole file, at most one byte over the size limit (enough to refuse it);
// an error text, or "" when read. ENOENT is told apart for a missing file.
std::string read_whole(const char* path, std::vector<unsigned char>& out, int& error) {
  error = 0;
  Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    error = errno;
    return std::strerror(errno);
  }
  struct stat st{};
  if (fstat(fd.get(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  const std::size_t want = CACHE_FILE_SIZE_LIMIT + 1;
  out.resize(static_cast<std::size_t>(st.st_size) < want ? static_cast<std::size_t>(st.st_size) : want);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return "";
}

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The saver's stop and its wake-up; private to this file.
std::mutex saver_mutex;
std::condition_variable saver_wake;
bool saver_stopping = false;
std::thread saver;

}  // namespace

void cache_file_load(const char* path) {
  std::vector<unsigned char> bytes;
  int error = 0;
  if (const std::string failed = read_whole(path, bytes, error); !failed.empty()) {
    if (error != ENOENT)
      log_msg(LOG_WARNING, "warning: cache file %s not loaded: %s", path, failed.c_str());
    return;
  }
  const CacheFileContents c = cache_file_read(bytes, static_cast<std::int64_t>(std::time(nullptr)));
  if (!c.usable) {
    const std::string bad = std::string(path) + ".bad";
    if (rename(path, bad.c_str()) == 0)
      log_msg(LOG_WARNING, "warning: cache file %s not loaded: %s; moved to %s", path, c.reason,
              bad.c_str());
    else
      log_msg(LOG_WARNING, "warning: cache file %s not loaded: %s; not moved aside: %s", path,
              c.reason, std::strerror(errno));
    return;
  }
  std::size_t loaded = 0;
  for (const CacheFileEntry& e : c.entries)
    if (cache_import(e)) ++loaded;
  log_msg(LOG_INFO, "cache loaded: %zu entries from %s", loaded, path);
}

bool cache_file_save(const char* path) {
  // Without a table there is nothing to keep, and an empty file would replace
  // what the last run knew.
  if (!cache_available()) return false;
  const std::vector<CacheFileEntry> entries = cache_export();
  const std::string data =
      cache_file_encode(static_cast<std::int64_t>(std::time(nullptr)), entries);
  std::string temp = std::string(path) + ".XXXXXX";
  const char* step = "create";
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));  // mode 0600, in path's own folder
  const bool made = fd.get() >= 0;
  bool ok = made;
  if (ok) {
    step = "write";
    ok = write_all(fd.get(), data);
    if (ok) step = "fsync", ok = fsync(fd.get()) == 0;
    if (ok) step = "close", ok = fd.close_checked();
    if (ok) step = "rename", ok = rename(temp.c_str(), path) == 0;
  }
  if (!ok) {
    const int e = errno;
    if (made) (void)unlink(temp.c_str());
    log_msg(LOG_ERR, "[ERROR] cache not saved to %s: %s: %s", path, step, std::strerror(e));
    metrics_count_cache_save_failure();
    return false;
  }
  // The rename itself survives a crash only once the folder is on disk too.
  Fd folder(open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) (void)fsync(folder.get());
  log_msg(LOG_INFO, "cache saved: %zu entries", entries.size());
  metrics_cache_saved(static_cast<std::int64_t>(entries.size()));
  return true;
}

void cache_saver_start(const char* path, std::int64_t interval) {
  if (interval <= 0 || saver.joinable()) return;
  constexpr std::int64_t longest = 100'000'000;  // years; keeps the clock's sums in range
  if (interval > longest) interval = longest;
  {
    std::lock_guard<std::mutex> lock(saver_mutex);
    saver_stopping = false;
  }
  saver = std::thread([file = std::string(path), interval] {
    std::unique_lock<std::mutex> lock(saver_mutex);
    while (!saver_wake.wait_for(lock, std::chrono::seconds(interval), [] { return saver_stopping; })) {
      lock.unlock();
      (void)cache_file_save(file.c_str());
      lock.lock();
    }
  });
}

void cache_saver_stop() {
  if (!saver.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(saver_mutex);
    saver_stopping = true;
  }
  saver_wake.notify_all();
  saver.join();
}
