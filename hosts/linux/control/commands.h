// The control subcommands of quillnest-filter: check, import, explain, status, watch. The program's
// main registers them next to `run`.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "hosts/linux/control/blocklist_import.h"

namespace CLI {
class App;
}

namespace quillnest::linuxhost {

void addControlCommands(CLI::App& app);

// The commands themselves, for main and tests: each writes its output to out, messages for
// people to err, and returns the exit status.
int runCheck(const std::filesystem::path& file, std::ostream& out, std::ostream& err);
// Imports every input into one list; "-" reads standard input; output empty writes to out.
int runImport(const std::vector<std::string>& inputs, ListFormat format,
              const std::filesystem::path& output, std::ostream& out, std::ostream& err);
// The import's summary for people: names, internationalised, folded, skipped by reason.
void reportImport(const ImportResult& result, std::ostream& err);
// rulesFile empty: the file of the daemon answering at socket.
int runExplain(const std::string& name, const std::filesystem::path& rulesFile,
               const std::filesystem::path& socket, bool json, std::ostream& out,
               std::ostream& err);
int runStatus(const std::filesystem::path& socket, bool json, std::ostream& out, std::ostream& err);
// Prints one line per notification ("<UTC time> <name>") until the daemon goes away or count
// lines were printed (0: no limit).
int runWatch(const std::filesystem::path& socket, std::size_t count, std::ostream& out,
             std::ostream& err);

// Writes text to path through a temporary file in the same directory and a rename, so a
// watcher never sees half a file. Where path is a link, the file it leads to is replaced and the
// link kept. Mode 0644. Throws std::system_error.
void writeFileAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace quillnest::linuxhost
