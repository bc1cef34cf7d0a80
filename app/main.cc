// quillnest-filter: the Linux host of the content filter.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "hosts/linux/control/commands.h"
#include "hosts/linux/daemon.h"
#include "hosts/replay/replay.h"

int main(int argc, char** argv) {
  CLI::App app{"quillnest-filter: network content filter for Linux"};
  app.require_subcommand(1);

  quillnest::linuxhost::RunOptions run;
  unsigned holdTimeoutMs = 2000;
  auto* runCommand = app.add_subcommand("run", "filter this machine's connections until stopped");
  runCommand->add_option("--rules", run.rulesPath, "rules file (JSON)")->capture_default_str();
  runCommand->add_option("--queue", run.firstQueue, "first netfilter queue number")
      ->check(CLI::Range(0, 65535));
  runCommand
      ->add_option("--queues", run.queueCount, "number of queues and workers (default: cores)")
      ->check(CLI::Range(1, 64));
  runCommand->add_flag("--forward", run.forward, "also filter forwarded connections");
  runCommand
      ->add_option("--hold-timeout-ms", holdTimeoutMs,
                   "allow a held connection that sends nothing more for this long")
      ->check(CLI::Range(1, 600000))
      ->capture_default_str();
  runCommand->add_flag("--fail-closed", run.failClosed,
                       "while the daemon is down (crashed, killed), new web connections fail "
                       "instead of passing unfiltered; stopping it cleanly still lets them pass");
  runCommand->add_flag("--debug", run.debug, "debug lines and private values in the log");
  bool allowEncryptedDns = false;
  runCommand->add_flag("--allow-encrypted-dns", allowEncryptedDns,
                       "leave encrypted DNS open: no canary answers, port 853 and the known "
                       "DNS-over-HTTPS resolvers not blocked");
  runCommand
      ->add_option("--runtime-dir", run.runtimeDirectory,
                   "directory of the notification and control sockets")
      ->capture_default_str();
  quillnest::linuxhost::addControlCommands(app);

  quillnest::replay::ReplayOptions replay;
  auto* replayCommand =
      app.add_subcommand("replay", "judge the flows of a recorded capture (pcap or pcapng)");
  replayCommand->add_option("FILE", replay.capturePath, "capture file")->required();
  replayCommand->add_option("--rules", replay.rulesPath, "rules file (JSON)")->required();
  replayCommand->add_flag("--json", replay.json, "one JSON document for scripts");

  CLI11_PARSE(app, argc, argv);

  if (runCommand->parsed()) {
    run.holdTimeout = std::chrono::milliseconds(holdTimeoutMs);
    run.closeEncryptedDns = !allowEncryptedDns;
    quillnest::linuxhost::FilterDaemon daemon(run);
    return daemon.run();
  }
  if (replayCommand->parsed()) return quillnest::replay::runReplay(replay, std::cout, std::cerr);
  return 0;  // another subcommand ran; its failures leave through CLI11_PARSE
}
