// The dry run's report: the simulated machine read before and after the
// exports ran, and the difference told as a .reg file and short text lists.
#ifndef NRV_TOOLS_REPORT_H
#define NRV_TOOLS_REPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "regfile.h"
#include "sim.h"

namespace report {

struct FileState {
  std::string path;
  std::string content;
};

struct Snapshot {
  // Keys below the control set that "HKLM\\SYSTEM\\CurrentControlSet" links
  // to are named through the link (see Take).
  sim::KeyPicturePtr registry;
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

// The machine now. On the NT family the registry holds the current control
// set as "HKLM\\SYSTEM\\ControlSet001" with "CurrentControlSet" a link to it;
// the snapshot names those keys through the link, so that a .reg file made
// from it lands in the control set in use wherever it is imported (a
// machine's current set need not be the first one, and Wine has only a
// plain "CurrentControlSet").
Snapshot Take(const std::vector<std::string> &folders);

struct FileChanges {
  std::vector<std::string> created, replaced, deleted, scheduled;
  std::vector<std::pair<std::string, std::string>> moved;  // from, to
};
// Moves come from the successful MoveFileExA calls of the run; a file moved
// away counts as moved, not deleted, and its new name as moved, not created.
FileChanges CompareFiles(const Snapshot &before, const Snapshot &after);

// The parts of the report of one step (or of a whole run), each a block of
// text ending in a line end.
struct Parts {
  std::string registry;    // a .reg file, plain ASCII
  std::string registryForEditor;  // the same for the registry editor (regfile::Style::kEditor)
  std::string spooler;
  std::string files;
  std::string messages;    // message boxes and broadcasts
  std::string processes;
  std::string time;
  std::string trace;       // empty unless asked for
};
// What happened between the two snapshots. Traced calls are numbered from
// the call `firstCall` of the trace on (the first one of the run), so that
// the steps of a run number their calls as one list.
// The .reg files have the header of `format`.
Parts Describe(const Snapshot &before, const Snapshot &after, bool withTrace, size_t firstCall,
               regfile::Format format = regfile::Format::Version5);

// The net change of a whole run, told briefly: the .reg file, and only what
// the spooler and the files came to hold differently ("no change" else).
struct Net {
  std::string registry;  // a .reg file, plain ASCII
  std::string registryForEditor;
  std::string spooler;
  std::string files;
  std::string time;
};
Net Summarize(const Snapshot &first, const Snapshot &last, regfile::Format format = regfile::Format::Version5);

// A heading followed by the parts under section titles ("== Registry
// changes" ...).
std::string Combine(const std::string &heading, const Parts &parts);
std::string Combine(const std::string &heading, const Net &net);

}  // namespace report

#endif
