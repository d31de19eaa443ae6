// The dry run's report: the simulated machine read before and after the
// exports ran, and the difference told as a .reg file and short text lists.
#ifndef NRV_TOOLS_REPORT_H
#define NRV_TOOLS_REPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim.h"

namespace report {

struct FileState {
  std::string path;
  std::string content;
};

struct Snapshot {
  std::vector<sim::RegKeyDump> registry;
  std::vector<sim::Driver> drivers;
  std::vector<sim::Queue> queues;
  std::vector<FileState> files;      // of the folders read, by path
  std::vector<std::string> pending;  // deletions at the next restart
  // How much of each record of the machine existed, so that the "after"
  // snapshot's share is what the run added.
  size_t messageBoxes = 0, processes = 0, broadcasts = 0, calls = 0;
  uint64_t now = 0;
};

// The folders the libraries write to (the Windows directory, its "inf"
// folder, the system directory, the driver and version directories and the
// version directory below "system32" that the NT library builds from the
// Windows directory), and the folders of `extra` paths.
std::vector<std::string> WatchedFolders(const std::vector<std::string> &extraFiles);

Snapshot Take(const std::vector<std::string> &folders);

struct FileChanges {
  std::vector<std::string> created, replaced, deleted, scheduled;
  std::vector<std::pair<std::string, std::string>> moved;  // from, to
};
// Moves come from the successful MoveFileExA calls of the run; a file moved
// away counts as moved, not deleted, and its new name as moved, not created.
FileChanges CompareFiles(const Snapshot &before, const Snapshot &after);

// The parts of the report, each a block of text ending in a line end.
struct Parts {
  std::string registry;    // a .reg file
  std::string spooler;
  std::string files;
  std::string messages;    // message boxes and broadcasts
  std::string processes;
  std::string time;
  std::string trace;       // empty unless asked for
};
Parts Describe(const Snapshot &before, const Snapshot &after, bool withTrace);

// Everything, with section titles.
std::string Combine(const std::string &title, const Parts &parts);

}  // namespace report

#endif
