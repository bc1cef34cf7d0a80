#include "hosts/linux/control/rules_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "hosts/common/rules_file_reader.h"
#include "hosts/linux/control/file_safety.h"
#include "rules/filter_rules.h"

namespace quillnest::linuxhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFileEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_MODIFY;
// Opens and closes of the file through the directory tell whether a writer is still at it.
constexpr std::uint32_t kDirectoryEvents =
    kFileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_OPEN | IN_CLOSE_NOWRITE;
// Of the file itself.
constexpr std::uint32_t kOwnEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB;

std::string errorText(int error) { return std::strerror(error); }

constexpr char kBlockingOff[] = " (blocking is off)";

ConfigurationRef withoutVendorDictionary() {
  return std::make_shared<const NEFilterProviderConfiguration>(std::nullopt);
}

}  // namespace

struct RulesFileConfiguration::Watch {
  Watch(std::filesystem::path watched, RulesFileOptions opts, std::function<void()> onChange,
        WarningSink warning)
      : path(std::move(watched)),
        options(opts),
        handler(std::move(onChange)),
        warn(std::move(warning)) {}
  ~Watch() {
    if (inotifyFd >= 0) ::close(inotifyFd);
    if (wakeFd >= 0) ::close(wakeFd);
  }

  int watchDirectoryOf(const std::filesystem::path& file) const {
    return ::inotify_add_watch(inotifyFd, directoryOf(file).c_str(), kDirectoryEvents);
  }

  bool addDirectoryWatch() {
    watchDescriptor = watchDirectoryOf(path);
    return watchDescriptor >= 0;
  }

  // Watches the directories a link at path leads into, for the names it leads to there: an edit of
  // the file a link leads to changes nothing in path's own directory. Run again after every event,
  // as the links may have been pointed elsewhere; true when a directory is watched that was not.
  bool followLinks() {
    std::vector<Followed> now;
    bool added = false;
    followIncomplete = false;
    for (const auto& to : linkChain(path)) {
      const int wd = watchDirectoryOf(to);
      if (wd < 0) {
        followIncomplete = true;  // tried again every second
        continue;
      }
      added = added || std::none_of(followed.begin(), followed.end(),
                                    [wd](const Followed& f) { return f.wd == wd; });
      now.push_back({wd, to.filename().string()});
    }
    for (const Followed& old : followed) {
      const auto kept = [&old](const Followed& f) { return f.wd == old.wd; };
      if (old.wd != watchDescriptor && std::none_of(now.begin(), now.end(), kept))
        ::inotify_rm_watch(inotifyFd, old.wd);
    }
    followed = std::move(now);
    return added;
  }

  // The file itself as well, wherever its name leads: an edit made in place through another name
  // for it (a hard link, a bind mount) is reported on the file alone. Run again after every event,
  // as a rename may have put another file under the name.
  void watchFile() {
    struct stat st {};
    const int wd = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                       ? ::inotify_add_watch(inotifyFd, path.c_str(), kOwnEvents)
                       : -1;
    if (fileWatch >= 0 && wd != fileWatch) ::inotify_rm_watch(inotifyFd, fileWatch);
    fileWatch = wd;
  }

  // Whether an event names the file, or a file a link to it leads to.
  bool concernsFile(const struct inotify_event& event, const std::string& fileName) const {
    if (event.len == 0) return false;
    if (event.wd == watchDescriptor && fileName == event.name) return true;
    return std::any_of(followed.begin(), followed.end(), [&event](const Followed& f) {
      return f.wd == event.wd && f.name == event.name;
    });
  }

  void wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
  }

  void run();

  std::filesystem::path path;
  RulesFileOptions options;
  std::function<void()> handler;
  WarningSink warn;
  int inotifyFd = -1;
  int wakeFd = -1;
  int watchDescriptor = -1;
  int fileWatch = -1;
  struct Followed {
    int wd;
    std::string name;
  };
  std::vector<Followed> followed;
  bool followIncomplete = false;
  std::atomic<bool> stopped{false};
  std::atomic<bool> reloadRequested{false};
  std::thread thread;
};

void RulesFileConfiguration::Watch::run() {
  const std::string fileName = path.filename().string();
  bool pending = false;
  // Descriptors open on the file under its name, and whether it was written since the last close
  // of one opened for writing: then a writer is still at work.
  int opens = 0;
  bool modified = false;
  bool waitingForWriter = false;
  bool watchLost = watchDescriptor < 0;
  Clock::time_point quietUntil{};
  Clock::time_point firstEvent{};
  auto note = [&](std::chrono::milliseconds quiet) {
    const auto now = Clock::now();
    if (!pending) firstEvent = now;
    pending = true;
    quietUntil = now + quiet;
  };
  auto due = [&] {
    return std::min(quietUntil, firstEvent + (waitingForWriter ? options.writerMaximumDelay
                                                               : options.maximumDelay));
  };

  alignas(struct inotify_event) char buffer[16 * 1024];
  while (!stopped.load()) {
    int timeout = -1;
    const auto now = Clock::now();
    if (pending) {
      const auto at = due();
      timeout =
          at <= now
              ? 0
              : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(at - now).count());
    } else if (watchLost || followIncomplete) {
      timeout = 1000;  // try to watch the directory again (it was removed or never existed)
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (stopped.load()) break;
    if (ready < 0 && errno != EINTR) {
      warn("Watching " + path.string() + " failed: " + errorText(errno));
      return;
    }
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
      if (reloadRequested.exchange(false)) note(options.quietPeriod);
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
      for (ssize_t offset = 0; length > 0 && offset < length;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          opens = 0;
          modified = false;
          note(options.quietPeriod);  // events were lost: the file may have changed
          continue;
        }
        if (event->wd == fileWatch) {
          if (event->mask & IN_IGNORED) {
            fileWatch = -1;
          } else {
            note((event->mask & IN_MODIFY) ? options.writingQuietPeriod : options.quietPeriod);
          }
          continue;
        }
        if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
          // The directory went away with the file in it. Moved, it is still watched where it
          // went: the name may lead to another one now. A directory a link led into is also
          // let go when the link is pointed elsewhere, which its own event reports.
          if (event->wd == watchDescriptor) {
            watchLost = true;
            note(options.quietPeriod);
          } else if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
            note(options.quietPeriod);
          }
          continue;
        }
        // The directory's own permissions decide whether the file is used, as the file's do.
        const bool directoryAttributes = event->len == 0 && (event->mask & IN_ATTRIB);
        if (directoryAttributes) {
          note(options.quietPeriod);
          continue;
        }
        if (!concernsFile(*event, fileName)) continue;
        if (event->mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) {
          opens = 0;  // another file under the name, or none
          modified = false;
        }
        if (event->mask & IN_OPEN) ++opens;
        if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) opens = std::max(opens - 1, 0);
        if (event->mask & IN_MODIFY) modified = true;
        if (event->mask & IN_CLOSE_WRITE) modified = false;
        if ((event->mask & kFileEvents) == 0) continue;
        note((event->mask & (IN_CREATE | IN_MODIFY)) ? options.writingQuietPeriod
                                                     : options.quietPeriod);
      }
    }
    if (fds[1].revents & POLLIN || (followIncomplete && !pending)) {
      if (followLinks()) note(options.quietPeriod);
      watchFile();
    }
    if (watchLost && !pending) {
      if (watchDescriptor >= 0) ::inotify_rm_watch(inotifyFd, watchDescriptor);
      if (addDirectoryWatch()) {
        watchLost = false;
        watchFile();
        note(options.quietPeriod);  // the directory is back, perhaps with the file
      }
    }
    if (const auto current = Clock::now(); pending && current >= due()) {
      if (modified && opens > 0 && current < firstEvent + options.writerMaximumDelay) {
        waitingForWriter = true;
        quietUntil = current + options.writingQuietPeriod;  // looked at again then
      } else {
        pending = waitingForWriter = false;
        if (!stopped.load()) handler();
      }
    }
  }
}

namespace {

class RulesFileObservation final : public NSKeyValueObservation {
 public:
  explicit RulesFileObservation(std::shared_ptr<RulesFileConfiguration::Watch> watch)
      : watch_(std::move(watch)) {}
  ~RulesFileObservation() override { invalidate(); }

  void invalidate() override {
    std::lock_guard lock(mutex_);
    if (!watch_) return;
    watch_->stopped.store(true);
    watch_->wake();
    if (watch_->thread.get_id() == std::this_thread::get_id()) {
      // Called from the handler: the thread ends when the handler returns.
      watch_->thread.detach();
    } else if (watch_->thread.joinable()) {
      watch_->thread.join();
    }
    watch_.reset();
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<RulesFileConfiguration::Watch> watch_;
};

}  // namespace

RulesFileConfiguration::RulesFileConfiguration(std::filesystem::path path, WarningSink warn,
                                               RulesFileOptions options)
    : path_(std::move(path)), warn_(std::move(warn)), options_(options) {
  if (!warn_) warn_ = [](const std::string&) {};
}

RulesFileConfiguration::~RulesFileConfiguration() = default;

std::optional<std::string> RulesFileConfiguration::refusal() const {
  return writableByOthers(path_, options_.trustedOwner);
}

std::optional<Bytes> RulesFileConfiguration::readSafely(bool warn) {
  const std::string name = path_.string();
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    // A mistyped --rules, or a file removed, leaves the machine unfiltered: say so.
    readFailed(warn, error == ENOENT ? "No rules file at " + name
                                     : "cannot read " + name + ": " + errorText(error));
    return std::nullopt;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (auto problem = writableByOthers(fd, path_, options_.trustedOwner)) {
      readFailed(warn, "Rules file " + name + " is ignored: " + *problem +
                           "; only root may be able to change it");
      return std::nullopt;
    }
  }
  RulesFileBytes read = readRulesFileBytes(fd, path_, options_.maximumSize, options_.spareCapacity);
  if (!read.bytes) readFailed(warn, read.problem);
  return std::move(read.bytes);
}

void RulesFileConfiguration::readFailed(bool warn, const std::string& problem) {
  if (warn) warn_(problem + kBlockingOff);
  std::lock_guard lock(problemMutex_);
  problem_ = problem;
}

std::string RulesFileConfiguration::problem() const {
  std::lock_guard lock(problemMutex_);
  return problem_;
}

ConfigurationRef RulesFileConfiguration::current(const std::function<void(Bytes&)>& amend) {
  std::optional<Bytes> bytes = readSafely(true);
  if (!bytes) return withoutVendorDictionary();
  {
    std::lock_guard lock(problemMutex_);
    problem_.clear();  // the filter decodes the bytes; warnIfUndecodable notes a failure
  }
  if (amend) amend(*bytes);
  VendorConfiguration vendor;
  vendor.emplace("filterRules", std::move(*bytes));
  return std::make_shared<const NEFilterProviderConfiguration>(std::move(vendor));
}

void RulesFileConfiguration::warnIfUndecodable() {
  const std::optional<Bytes> bytes = readSafely(false);
  if (!bytes) return;
  const DecodeResult decoded = decodeFilterRules(*bytes);
  if (!decoded.rules) {
    readFailed(true, "Rules file " + path_.string() + " does not load: " + decoded.error.message);
  }
}

std::unique_ptr<NSKeyValueObservation> RulesFileConfiguration::observe(
    std::function<void()> handler) {
  auto watch = std::make_shared<Watch>(path_, options_, std::move(handler), warn_);
  watch->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  watch->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (watch->inotifyFd < 0 || watch->wakeFd < 0) {
    warn_("Cannot watch " + path_.string() + " for changes (" + errorText(errno) +
          "); send SIGHUP after changing it");
  } else {
    if (!watch->addDirectoryWatch()) {
      warn_("Cannot watch the directory of " + path_.string() + " yet (" + errorText(errno) +
            "); retrying every second, SIGHUP reloads");
    }
    watch->followLinks();
    watch->watchFile();
  }
  // Without inotify the thread still serves reload(); poll ignores a negative fd.
  if (watch->wakeFd >= 0) {
    watch->thread = std::thread([watch] { watch->run(); });
  }
  {
    std::lock_guard lock(watchesMutex_);
    std::erase_if(watches_, [](const std::weak_ptr<Watch>& w) { return w.expired(); });
    watches_.push_back(watch);
  }
  return std::make_unique<RulesFileObservation>(std::move(watch));
}

void RulesFileConfiguration::reload() {
  std::lock_guard lock(watchesMutex_);
  for (const auto& weak : watches_) {
    if (auto watch = weak.lock()) {
      watch->reloadRequested.store(true);
      watch->wake();
    }
  }
}

}  // namespace quillnest::linuxhost
