// The rules file as the filter configuration of the Linux host.
//
// The file's bytes become the "filterRules" entry of the vendor dictionary; the core decodes them
// (and falls back to blocking off when they do not decode). Changes are seen through inotify on
// the file's directory, because editors and configuration tools replace files by rename, and on
// SIGHUP through reload().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/configuration.h"
#include "host/data_provider.h"
#include "hosts/common/rules_file_reader.h"

namespace quillnest::linuxhost {

struct RulesFileOptions {
  // No further event for this long ends a burst of events (one save = one report).
  std::chrono::milliseconds quietPeriod{50};
  // After IN_CREATE or IN_MODIFY the writer is likely still at work: wait longer for its close.
  std::chrono::milliseconds writingQuietPeriod{500};
  // A file written without pause is still reported this often.
  std::chrono::milliseconds maximumDelay{2000};
  // A file written in place and still open waits this long at most for its writer's close: what
  // is there before is only part of what is coming (and would turn blocking off).
  std::chrono::milliseconds writerMaximumDelay{30000};
  // Files beyond this are not read.
  std::size_t maximumSize = kRulesFileMaximumSize;
  // The only owner allowed for the file and its directory; root outside tests.
  uid_t trustedOwner = 0;
  // Capacity left behind the bytes, so that current()'s amendment can add to them in place.
  std::size_t spareCapacity = 0;
};

// The daemon's own warnings (the file exists but does not load, permissions, watch failures).
using WarningSink = std::function<void(const std::string&)>;

class RulesFileConfiguration {
 public:
  RulesFileConfiguration(std::filesystem::path path, WarningSink warn,
                         RulesFileOptions options = {});
  ~RulesFileConfiguration();
  RulesFileConfiguration(const RulesFileConfiguration&) = delete;
  RulesFileConfiguration& operator=(const RulesFileConfiguration&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // The reason to refuse to start (a file or directory that a non-root user can write), or none.
  std::optional<std::string> refusal() const;

  // The configuration as the file stands now: its bytes under "filterRules" (passed through
  // amend first, when given), or no vendor dictionary when the file is missing, unreadable or
  // unsafe, which it warns about (through the sink), naming the file and the reason. Never null.
  // The bytes are not decoded here: the filter decodes them, once.
  ConfigurationRef current(const std::function<void(Bytes&)>& amend = {});

  // Warns when the file is readable and safe but does not decode, naming the file and the
  // reason; silent otherwise. For when the filter ended up with blocking off after a load.
  void warnIfUndecodable();

  // Why the last reading gave the filter no rules (the warning it gave, as the journal has it), or
  // empty. For `status`, which would otherwise say only that blocking is off.
  std::string problem() const;

  // Calls handler once per change of the file (a burst of events is one change), on a thread of
  // its own, never at installation. Invalidating (or destroying) the observation stops it; it is
  // safe from within the handler.
  std::unique_ptr<NSKeyValueObservation> observe(std::function<void()> handler);

  // SIGHUP: every live observation reports a change, coalesced like file events. For the daemon's
  // signal-handling thread (it takes a lock: not for use inside a signal handler).
  void reload();

  struct Watch;

 private:
  // The file's bytes when it is there, readable and safe; warns otherwise when asked to.
  std::optional<Bytes> readSafely(bool warn);

  // Warns (when asked) and notes the problem.
  void readFailed(bool warn, const std::string& problem);

  std::filesystem::path path_;
  WarningSink warn_;
  RulesFileOptions options_;
  mutable std::mutex problemMutex_;
  std::string problem_;
  std::mutex watchesMutex_;
  std::vector<std::weak_ptr<Watch>> watches_;
};

}  // namespace quillnest::linuxhost
