#include "hosts/linux/control/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <system_error>

#include "hosts/common/rules_file_reader.h"
#include "hosts/linux/control/blocklist_import.h"
#include "hosts/linux/control/control_server.h"
#include "hosts/linux/control/explain.h"
#include "hosts/linux/control/file_safety.h"
#include "hosts/linux/control/list_update.h"
#include "hosts/linux/control/paths.h"
#include "hosts/linux/control/rules_check.h"
#include "hosts/linux/control/text_escape.h"
#include "hosts/linux/control/unix_socket.h"
#include "hosts/linux/dns/encrypted_dns.h"

namespace quillnest::linuxhost {
namespace {

bool readWhole(std::istream& in, std::string& text) {
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Files go through the rules-file reader: one size limit and one wording for every command.
std::optional<Bytes> readFile(const std::filesystem::path& path, std::ostream& err) {
  RulesFileBytes read = readRulesFileBytes(path);
  if (!read.bytes) err << read.problem << "\n";
  return std::move(read.bytes);
}

std::string utcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char buffer[40];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
  char result[48];
  std::snprintf(result, sizeof result, "%s.%03dZ", buffer, static_cast<int>(millis));
  return result;
}

std::filesystem::path defaultSocket(std::string_view name) {
  return std::filesystem::path(kDefaultRuntimeDirectory) / name;
}

void exitWith(int status) {
  if (status != 0) throw CLI::RuntimeError(status);
}

}  // namespace

int runCheck(const std::filesystem::path& file, std::ostream& out, std::ostream& err) {
  const std::optional<Bytes> bytes = readFile(file, err);
  if (!bytes) return 1;
  const RulesCheck check = checkRules(*bytes, bytes->capacity() - bytes->size());
  if (!check.loads) {
    err << file.string() << " does not load: " << check.error
        << " (the filter would run with blocking off)\n";
    return 1;
  }
  out << file.string() << ": loads\n";
  out << "enabled: " << (check.isEnabled ? "true" : "false") << "\n";
  out << "entries: " << check.entryCount << "\n";
  // Gathered into blocks: a list with many findings has hundreds of thousands of lines.
  std::string lines;
  for (const auto& problem : check.problems) {
    lines += problem.line != 0 ? "line " : "entry ";
    lines += std::to_string(problem.line != 0 ? problem.line : problem.index + 1);
    lines += ": \"";
    appendEscaped(lines, problem.entry, true);
    lines += problem.redundant ? "\" adds nothing: " : "\" never matches: ";
    lines += problem.reason;
    lines += '\n';
    if (lines.size() >= 1 << 16) {
      out << lines;
      lines.clear();
    }
  }
  out << lines;
  std::size_t redundant = 0;
  for (const auto& problem : check.problems) redundant += problem.redundant ? 1 : 0;
  const std::size_t never = check.problems.size() - redundant;
  if (never != 0) {
    out << never << (never == 1 ? " entry" : " entries")
        << " can never match (the filter takes entries exactly as written; `import` writes "
           "them normalised)\n";
  }
  if (redundant != 0) {
    out << redundant
        << (redundant == 1
                ? " entry adds nothing (another entry covers every name it would match)\n"
                : " entries add nothing (other entries cover every name they would "
                  "match)\n");
  }
  return 0;
}

void writeFileAtomically(const std::filesystem::path& linkOrFile, std::string_view text) {
  // A rename onto a link would replace the link with a plain file, cutting off where it led.
  const std::vector<std::filesystem::path> chain = linkChain(linkOrFile);
  const std::filesystem::path& path = chain.empty() ? linkOrFile : chain.back();
  const std::filesystem::path directory = directoryOf(path);
  std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "creating a file in " + directory.string());
  }
  auto fail = [&](const std::string& what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), what);
  };
  if (::fchmod(fd, 0644) != 0) fail("chmod " + temporary);
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("writing " + temporary);
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0) fail("writing " + temporary);
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    throw std::system_error(errno, std::generic_category(), "writing " + temporary);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), "replacing " + path.string());
  }
}

int runImport(const std::vector<std::string>& inputs, ListFormat format,
              const std::filesystem::path& output, std::ostream& out, std::ostream& err) {
  BlocklistImporter importer;
  for (const auto& input : inputs) {
    if (input == "-") {
      std::string text;
      if (!readWhole(std::cin, text)) {
        err << "standard input: read error\n";
        return 1;
      }
      importer.add(text, format);
    } else if (const std::optional<Bytes> bytes = readFile(input, err)) {
      importer.add({reinterpret_cast<const char*>(bytes->data()), bytes->size()}, format);
    } else {
      return 1;
    }
  }
  const ImportResult result = std::move(importer).finish();
  const std::string rules = rulesFileText(result.domains());
  if (output.empty()) {
    out << rules;
    out.flush();
  } else {
    try {
      writeFileAtomically(output, rules);
    } catch (const std::system_error& e) {
      err << e.what() << "\n";
      return 1;
    }
  }
  reportImport(result, err);
  return 0;
}

void reportImport(const ImportResult& result, std::ostream& err) {
  err << "imported " << result.domains().size() << " domains from " << result.lines << " lines";
  if (result.internationalised != 0) {
    err << " (" << result.internationalised << " internationalised, written as A-labels)";
  }
  if (result.folded != 0) {
    err << "; folded " << result.folded << " covered by another entry";
  }
  if (result.skippedTotal() == 0) {
    err << "\n";
  } else {
    err << "; skipped " << result.skippedTotal() << ":\n";
    for (const auto& [reason, count] : result.skipped)
      err << "  " << count << " " << reason << "\n";
  }
  if (result.domains().empty()) err << "warning: no domains found; the rules block nothing\n";
}

int runExplain(const std::string& name, const std::filesystem::path& rulesFile,
               const std::filesystem::path& socket, bool json, std::ostream& out,
               std::ostream& err) {
  std::filesystem::path path = rulesFile;
  std::optional<StatusReport> daemon;
  if (path.empty()) {
    try {
      daemon = requestStatus(socket);
    } catch (const std::exception& e) {
      err << "explain: " << e.what() << " (give --rules FILE to ask about a file)\n";
      return 1;
    }
    path = daemon->rulesFile;
  }
  const std::optional<Bytes> bytes = readFile(path, err);
  if (!bytes) return 1;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  std::vector<std::uint32_t> offsets;
  const DecodeResult decoded =
      decodeFilterRules(*bytes, bytes->capacity() - bytes->size(), {.entryOffsets = &offsets});
  std::vector<std::string> rulesNotes;
  if (!decoded.rules) {
    rulesNotes.push_back("the file does not load (" + decoded.error.message +
                         "): the filter runs with blocking off");
  }
  const FilterRules& rules = decoded.rules ? *decoded.rules : FilterRules::disabled();
  if (daemon && (daemon->rulesEnabled != rules.isEnabled() ||
                 daemon->ruleEntries != rules.domains().size())) {
    rulesNotes.push_back(
        "the running filter holds other rules than the file now says (it reads the file again "
        "after each change, within seconds)");
  }
  const auto lines =
      decoded.rules ? linesAt(text, std::move(offsets)) : std::vector<std::uint32_t>{};
  // The daemon adds the built-in DNS-over-HTTPS names to rules that block (unless run
  // --allow-encrypted-dns), after the file's entries.
  const bool resolvers = daemon && daemon->resolverEntries > 0 && rules.isEnabled();
  std::optional<FilterRules> withResolvers;
  if (resolvers) {
    std::vector<std::string> domains = rules.domains().strings();
    for (const auto& resolver : dns::wellKnownResolvers()) domains.push_back(resolver);
    withResolvers.emplace(true, std::move(domains));
    rulesNotes.push_back(
        "the running filter also blocks the built-in DNS-over-HTTPS resolver "
        "names (run --allow-encrypted-dns allows them)");
  }
  std::string error;
  auto explanation = explainName(withResolvers ? *withResolvers : rules, lines, name, error);
  if (!explanation) {
    err << "explain: " << error << "\n";
    return 1;
  }
  for (auto& covering : explanation->covering) {
    covering.builtIn = covering.position > rules.domains().size();
  }
  explanation->rulesFile = path.string();
  explanation->rulesNotes = std::move(rulesNotes);
  out << (json ? encodeExplanation(*explanation) + "\n" : formatExplanation(*explanation));
  return 0;
}

int runStatus(const std::filesystem::path& socket, bool json, std::ostream& out,
              std::ostream& err) {
  try {
    const StatusReport report = requestStatus(socket);
    out << (json ? encodeStatus(report) + "\n" : formatStatus(report));
    return 0;
  } catch (const std::exception& e) {
    err << "status: " << e.what() << "\n";
    return 1;
  }
}

int runWatch(const std::filesystem::path& socket, std::size_t count, std::ostream& out,
             std::ostream& err) {
  // That socket closes on a client that asks nothing.
  if (socket.filename() == kControlSocketName) {
    err << "watch: " << socket.string() << " is the filter's control socket; notifications come "
        << "from " << kNotifySocketName << " beside it\n";
    return 1;
  }
  UniqueFd fd;
  try {
    fd = connectUnix(socket);
  } catch (const std::system_error& e) {
    err << "watch: " << e.what() << " (is the filter running? watching needs root)\n";
    return 1;
  }
  std::string pending;
  std::size_t printed = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err << "watch: the filter closed the connection\n";
      return 1;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      out << utcNow() << " " << pending.substr(0, newline) << std::endl;
      pending.erase(0, newline + 1);
      if (count != 0 && ++printed >= count) return 0;
    }
    if (pending.size() > 4096) pending.clear();  // no name is that long
  }
}

void addControlCommands(CLI::App& app) {
  {
    auto file = std::make_shared<std::string>();
    auto* check = app.add_subcommand(
        "check", "load a rules file exactly as the filter does and list entries that never match");
    check->add_option("FILE", *file, "rules file (JSON)")->required();
    check->callback([file] { exitWith(runCheck(*file, std::cout, std::cerr)); });
  }
  {
    struct Options {
      std::vector<std::string> inputs{"-"};
      std::string format = "guess";
      std::string output;
    };
    auto options = std::make_shared<Options>();
    auto* import = app.add_subcommand(
        "import",
        "convert blocklists (hosts files, one domain a line, Adblock ||name^, dnsmasq) into one "
        "rules file");
    import->add_option("FILE", options->inputs, "blocklists to read, - for standard input")
        ->capture_default_str();
    import->add_option("--format", options->format, "guess, hosts, plain, adblock or dnsmasq")
        ->check(CLI::IsMember({"guess", "hosts", "plain", "adblock", "dnsmasq"}))
        ->capture_default_str();
    import->add_option("-o,--output", options->output,
                       "rules file to write (replaced atomically); default: standard output");
    import->callback([options] {
      exitWith(runImport(options->inputs, *listFormatNamed(options->format), options->output,
                         std::cout, std::cerr));
  });
}
{
  auto options = std::make_shared<UpdateOptions>();
  options->sources = kDefaultSourcesFile;
  options->rules = kDefaultRulesFile;
  options->cache = kDefaultListCache;
  options->trustedOwner = ::geteuid();
  auto* update = app.add_subcommand(
      "update", "fetch the lists of the sources file and write them as the rules file");
  update->add_option("--sources", options->sources, "one list a line: LOCATION [FORMAT]")
      ->capture_default_str();
  update->add_option("--rules", options->rules, "rules file to replace")->capture_default_str();
  update->add_option("--cache", options->cache, "directory of the last good copy of each list")
      ->capture_default_str();
  update->callback([options] { exitWith(runUpdate(*options, fetchList, std::cerr)); });
}
{
  struct Options {
    std::string name;
    std::string rules;
    bool json = false;
    std::string socket = defaultSocket(kControlSocketName).string();
  };
  auto options = std::make_shared<Options>();
  auto* explain = app.add_subcommand(
      "explain", "say whether the rules in force block a name, and which entry covers it");
  explain->add_option("NAME", options->name, "host name, name:port, or URL")->required();
  explain->add_option("--rules", options->rules,
                      "rules file to ask (default: the running filter's, through --socket)");
  explain->add_flag("--json", options->json, "one JSON object instead of lines");
  explain->add_option("--socket", options->socket, "control socket of the daemon")
      ->capture_default_str();
  explain->callback([options] {
    exitWith(runExplain(options->name, options->rules, options->socket, options->json, std::cout,
                        std::cerr));
  });
}
{
  struct Options {
    bool json = false;
    std::string socket = defaultSocket(kControlSocketName).string();
  };
  auto options = std::make_shared<Options>();
  auto* status = app.add_subcommand("status", "ask the running filter for its rules and counts");
  status->add_flag("--json", options->json, "one JSON object instead of lines");
  status->add_option("--socket", options->socket, "control socket of the daemon")
      ->capture_default_str();
  status->callback(
      [options] { exitWith(runStatus(options->socket, options->json, std::cout, std::cerr)); });
}
{
  struct Options {
    std::size_t count = 0;
    std::string socket = defaultSocket(kNotifySocketName).string();
  };
  auto options = std::make_shared<Options>();
  auto* watch = app.add_subcommand(
      "watch", "print a line (UTC time and name) for every notification of the running filter");
  watch->add_option("--count", options->count, "exit after this many lines (0: never)");
  watch->add_option("--socket", options->socket, "notification socket of the daemon")
      ->capture_default_str();
  watch->callback(
      [options] { exitWith(runWatch(options->socket, options->count, std::cout, std::cerr)); });
}
}  // namespace quillnest::linuxhost

}  // namespace quillnest::linuxhost
