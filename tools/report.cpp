#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "ascii.h"
#include "regfile.h"

namespace report {
namespace {

using ascii::Upper;

std::string Folder(const std::string &path) {
  std::string p = path;
  while (p.size() > 3 && p.back() == '\\') p.pop_back();
  return p;
}

std::string Quote(const std::string &s) { return "\"" + ascii::Printable(s) + "\""; }

std::string HexNum(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// A trace argument's text without its quotes (paths hold no quotes or
// control bytes, so nothing else needs undoing).
std::string Unquoted(const std::string &arg) {
  if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') return arg.substr(1, arg.size() - 2);
  return arg;
}

std::string DriverText(const sim::Driver &d) {
  std::string out = Quote(d.name) + ", environment " + Quote(d.environment) + ", version " +
                    std::to_string(d.version) + ", added at level " + std::to_string(d.level) + "\n";
  out += "      driver " + Quote(d.driverPath) + ", data " + Quote(d.dataFile) + ", config " + Quote(d.configFile) +
         "\n";
  if (!d.helpFile.empty() || !d.monitorName.empty() || !d.defaultDataType.empty()) {
    out += "      help " + Quote(d.helpFile) + ", monitor " + Quote(d.monitorName) + ", default data type " +
           Quote(d.defaultDataType) + "\n";
  }
  if (!d.dependentFiles.empty()) {
    out += "      dependent files:";
    for (const std::string &f : d.dependentFiles) out += " " + Quote(f);
    out += "\n";
  }
  return out;
}

std::string QueueText(const sim::Queue &q) {
  std::string out = Quote(q.name) + " on " + Quote(q.portName) + ", driver " + Quote(q.driverName) + "\n";
  out += "      print processor " + Quote(q.printProcessor) + ", data type " + Quote(q.datatype) + ", attributes " +
         HexNum(q.attributes) + ", priority " + std::to_string(q.priority) + ", default priority " +
         std::to_string(q.defaultPriority) + ", status " + HexNum(q.status) + "\n";
  std::string more;
  auto add = [&more](const char *label, const std::string &v) {
    if (!v.empty()) more += std::string(more.empty() ? "" : ", ") + label + " " + Quote(v);
  };
  add("share", q.shareName);
  add("comment", q.comment);
  add("location", q.location);
  add("separator page", q.sepFile);
  add("parameters", q.parameters);
  if (q.startTime || q.untilTime) {
    more += std::string(more.empty() ? "" : ", ") + "hours " + std::to_string(q.startTime) + " to " +
            std::to_string(q.untilTime);
  }
  if (!more.empty()) out += "      " + more + "\n";
  return out;
}

bool SameDriver(const sim::Driver &a, const sim::Driver &b) {
  return a.name == b.name && a.environment == b.environment && a.version == b.version &&
         a.driverPath == b.driverPath && a.dataFile == b.dataFile && a.configFile == b.configFile &&
         a.helpFile == b.helpFile && a.monitorName == b.monitorName && a.defaultDataType == b.defaultDataType &&
         a.dependentFiles == b.dependentFiles && a.level == b.level;
}

bool SameQueue(const sim::Queue &a, const sim::Queue &b) {
  return a.name == b.name && a.shareName == b.shareName && a.portName == b.portName &&
         a.driverName == b.driverName && a.comment == b.comment && a.location == b.location &&
         a.sepFile == b.sepFile && a.printProcessor == b.printProcessor && a.datatype == b.datatype &&
         a.parameters == b.parameters && a.attributes == b.attributes && a.priority == b.priority &&
         a.defaultPriority == b.defaultPriority && a.startTime == b.startTime && a.untilTime == b.untilTime &&
         a.status == b.status;
}

// The driver or queue of the list with the item's name (names compare
// without regard to case), or null.
template <typename T>
const T *FindByName(const std::vector<T> &list, const T &item) {
  for (const T &x : list) {
    if (Upper(x.name) == Upper(item.name)) return &x;
  }
  return nullptr;
}

// One list of the spooler, before and after. In "after", '+' marks what is
// new and '*' what changed; in "before", '-' marks what went away.
template <typename T, typename Same, typename Text>
std::string SpoolerList(const char *what, const std::vector<T> &before, const std::vector<T> &after, Same same,
                        Text text) {
  std::string out = std::string(what) + " before:\n";
  if (before.empty()) out += "  (none)\n";
  for (const T &x : before) out += std::string(FindByName(after, x) ? "    " : "  - ") + text(x);
  out += std::string(what) + " after:\n";
  if (after.empty()) out += "  (none)\n";
  for (const T &x : after) {
    const T *old = FindByName(before, x);
    out += std::string(!old ? "  + " : same(*old, x) ? "    " : "  * ") + text(x);
  }
  return out;
}

std::string List(const char *title, const std::vector<std::string> &items) {
  std::string out = std::string(title) + ":\n";
  if (items.empty()) out += "  (none)\n";
  for (const std::string &s : items) out += "  " + s + "\n";
  return out;
}

const char kControlSetLink[] = "HKLM\\SYSTEM\\CurrentControlSet";
const char kFirstControlSet[] = "HKLM\\SYSTEM\\ControlSet001";

// The link is not in the picture (links are left out), yet it opens, and it
// reaches the same keys as the first control set.
bool ControlSetIsLinked(const sim::KeyPicture &system) {
  bool target = false;
  for (const auto &k : system.subkeys) {
    if (sim::SameName(k.first, "CurrentControlSet")) return false;
    target = target || sim::SameName(k.first, "ControlSet001");
  }
  return target && sim::KeyExists(kControlSetLink) &&
         sim::SubkeyNames(kControlSetLink) == sim::SubkeyNames(kFirstControlSet);
}

// The picture with the first control set named as the link names it: new
// pictures of the machine, HKLM and SYSTEM only, sharing all below them.
sim::KeyPicturePtr NameThroughControlSetLink(const sim::KeyPicturePtr &machine) {
  for (size_t r = 0; r < machine->subkeys.size(); ++r) {
    if (machine->subkeys[r].first != "HKLM") continue;
    const sim::KeyPicture &hklm = *machine->subkeys[r].second;
    for (size_t s = 0; s < hklm.subkeys.size(); ++s) {
      if (!sim::SameName(hklm.subkeys[s].first, "SYSTEM")) continue;
      const sim::KeyPicture &system = *hklm.subkeys[s].second;
      if (!ControlSetIsLinked(system)) return machine;
      auto newSystem = std::make_shared<sim::KeyPicture>(system);
      for (auto &k : newSystem->subkeys) {
        if (sim::SameName(k.first, "ControlSet001")) k.first = "CurrentControlSet";
      }
      auto newHklm = std::make_shared<sim::KeyPicture>(hklm);
      newHklm->subkeys[s].second = std::move(newSystem);
      auto newMachine = std::make_shared<sim::KeyPicture>(*machine);
      newMachine->subkeys[r].second = std::move(newHklm);
      return newMachine;
    }
  }
  return machine;
}

// The first line of an item of the spooler's lists.
std::string FirstLine(const std::string &text) { return text.substr(0, text.find('\n') + 1); }

// What one list of the spooler came to hold differently, an item a line.
template <typename T, typename Same, typename Text>
std::string SpoolerChanges(const char *what, const std::vector<T> &before, const std::vector<T> &after, Same same,
                           Text text) {
  std::string lines;
  for (const T &x : before) {
    if (!FindByName(after, x)) lines += "  - " + FirstLine(text(x));
  }
  for (const T &x : after) {
    const T *old = FindByName(before, x);
    if (!old) {
      lines += "  + " + FirstLine(text(x));
    } else if (!same(*old, x)) {
      lines += "  * " + FirstLine(text(x));
    }
  }
  return std::string(what) + (lines.empty() ? ": no change\n" : ":\n" + lines);
}

// Only the lists that hold something.
std::string ListIfAny(const char *title, const std::vector<std::string> &items) {
  return items.empty() ? "" : List(title, items);
}

std::string CallText(const sim::Call &c) {
  std::string out = c.name + "(";
  for (size_t i = 0; i < c.args.size(); ++i) out += (i ? ", " : "") + c.args[i];
  out += ") = " + c.result;
  if (c.setError) out += "  [last error " + std::to_string(c.lastError) + "]";
  if (c.injected) out += "  [injected fault]";
  return out;
}

}  // namespace

std::vector<std::string> WatchedFolders(const std::vector<std::string> &extraFiles) {
  std::vector<std::string> candidates = {
      sim::WindowsDirectory(),
      sim::WindowsDirectory() + "\\inf",
      sim::WindowsDirectory() + "\\system32\\spool\\drivers\\w32x86\\2",
      sim::SystemDirectory(),
      sim::DriverDirectory(),
      sim::VersionDirectory(),
  };
  for (const std::string &f : extraFiles) {
    size_t slash = f.rfind('\\');
    if (slash != std::string::npos) candidates.push_back(f.substr(0, slash));
  }
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const std::string &c : candidates) {
    std::string folder = Folder(c);
    if (seen.insert(Upper(folder)).second) out.push_back(folder);
  }
  return out;
}

Snapshot Take(const std::vector<std::string> &folders) {
  Snapshot s;
  s.registry = NameThroughControlSetLink(sim::PictureRegistry());
  s.drivers = sim::Drivers();
  s.queues = sim::Queues();
  std::map<std::string, FileState> files;
  for (const std::string &folder : folders) {
    for (const std::string &name : sim::ListFiles(folder)) {
      std::string path = folder + "\\" + name;
      files[Upper(path)] = FileState{path, sim::ReadFile(path).value_or("")};
    }
  }
  for (auto &f : files) s.files.push_back(f.second);
  s.pending = sim::PendingDeletions();
  s.messageBoxes = sim::MessageBoxes().size();
  s.processes = sim::ProcessesStarted().size();
  s.broadcasts = sim::Broadcasts().size();
  s.calls = sim::Trace().size();
  s.now = sim::Now();
  return s;
}

FileChanges CompareFiles(const Snapshot &before, const Snapshot &after) {
  FileChanges ch;
  std::map<std::string, const FileState *> was, now;
  for (const FileState &f : before.files) was[Upper(f.path)] = &f;
  for (const FileState &f : after.files) now[Upper(f.path)] = &f;

  std::set<std::string> movedFrom, movedTo;
  const std::vector<sim::Call> &trace = sim::Trace();
  for (size_t i = before.calls; i < after.calls && i < trace.size(); ++i) {
    const sim::Call &c = trace[i];
    if (c.name != "MoveFileExA" || c.args.size() < 3 || c.result == "0" || c.args[1] == "NULL") continue;
    DWORD flags = static_cast<DWORD>(std::strtoul(c.args[2].c_str(), nullptr, 10));
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) continue;
    std::string from = Unquoted(c.args[0]), to = Unquoted(c.args[1]);
    ch.moved.push_back({from, to});
    movedFrom.insert(Upper(from));
    movedTo.insert(Upper(to));
  }
  for (const FileState &f : after.files) {
    auto old = was.find(Upper(f.path));
    if (old == was.end()) {
      if (!movedTo.count(Upper(f.path))) {
        ch.created.push_back(f.path + " (" + std::to_string(f.content.size()) + " bytes)");
      }
    } else if (old->second->content != f.content) {
      ch.replaced.push_back(f.path + " (" + std::to_string(old->second->content.size()) + " -> " +
                            std::to_string(f.content.size()) + " bytes)");
    }
  }
  for (const FileState &f : before.files) {
    if (!now.count(Upper(f.path)) && !movedFrom.count(Upper(f.path))) ch.deleted.push_back(f.path);
  }
  std::set<std::string> pendingBefore;
  for (const std::string &p : before.pending) pendingBefore.insert(Upper(p));
  for (const std::string &p : after.pending) {
    if (!pendingBefore.count(Upper(p))) ch.scheduled.push_back(p);
  }
  return ch;
}

Parts Describe(const Snapshot &before, const Snapshot &after, bool withTrace, size_t firstCall,
               regfile::Format format) {
  Parts parts;
  parts.registry = regfile::WriteDiff(*before.registry, *after.registry, regfile::Style::kPlain, format);
  parts.registryForEditor = regfile::WriteDiff(*before.registry, *after.registry, regfile::Style::kEditor, format);

  parts.spooler = SpoolerList("Drivers", before.drivers, after.drivers, SameDriver, DriverText) +
                  SpoolerList("Queues", before.queues, after.queues, SameQueue, QueueText);

  FileChanges ch = CompareFiles(before, after);
  std::vector<std::string> moved;
  for (size_t i = 0; i < ch.moved.size(); ++i) {
    const auto &m = ch.moved[i];
    // A file at the old name afterwards that no later move brought back.
    bool refilled = false;
    for (const FileState &f : after.files) refilled = refilled || Upper(f.path) == Upper(m.first);
    for (size_t j = i + 1; j < ch.moved.size(); ++j) refilled = refilled && Upper(ch.moved[j].second) != Upper(m.first);
    moved.push_back(m.first + " -> " + m.second + (refilled ? " (a new copy took its place)" : ""));
  }
  parts.files = List("Created", ch.created) + List("Replaced (content changed)", ch.replaced) +
                List("Moved aside", moved) + List("Deleted", ch.deleted) +
                List("Scheduled for deletion at restart", ch.scheduled);

  std::vector<std::string> boxes;
  std::vector<sim::MessageBoxCall> mb = sim::MessageBoxes();
  for (size_t i = before.messageBoxes; i < after.messageBoxes && i < mb.size(); ++i) {
    const sim::MessageBoxCall &m = mb[i];
    std::string box = "at " + std::to_string(m.at) + " ms, caption " + (m.caption ? Quote(*m.caption) : "(none)") +
                      ", style " + HexNum(m.style) + (m.hasOwner ? ", with owner window" : ", no owner window") +
                      ", text:";
    // The text as the user reads it, line by line.
    size_t pos = 0;
    while (true) {
      size_t nl = m.text.find('\n', pos);
      box += "\n    | " + ascii::Visible(m.text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
      if (nl == std::string::npos) break;
      pos = nl + 1;
    }
    boxes.push_back(box);
  }
  std::vector<std::string> casts;
  std::vector<sim::BroadcastCall> bc = sim::Broadcasts();
  for (size_t i = before.broadcasts; i < after.broadcasts && i < bc.size(); ++i) {
    const sim::BroadcastCall &b = bc[i];
    casts.push_back("window " + HexNum(b.window) + ", message " + HexNum(b.message) + ", wParam " +
                    std::to_string(b.wParam) + ", lParam " + std::to_string(b.lParam) + ", flags " +
                    HexNum(b.flags) + ", time-out " + std::to_string(b.timeout) + " ms" +
                    (b.hasResultPointer ? ", with a result place" : ""));
  }
  parts.messages = List("Message boxes", boxes) + List("Broadcasts", casts);

  std::vector<std::string> started;
  std::vector<sim::ProcessStart> ps = sim::ProcessesStarted();
  for (size_t i = before.processes; i < after.processes && i < ps.size(); ++i) {
    started.push_back(Quote(ps[i].commandLine) + " (show " + std::to_string(ps[i].show) + ")");
  }
  parts.processes = List("Processes started", started);

  parts.time = "Virtual time waited: " + std::to_string(after.now - before.now) + " ms\n";

  if (withTrace) {
    const std::vector<sim::Call> &trace = sim::Trace();
    std::vector<std::string> calls;
    for (size_t i = before.calls; i < after.calls && i < trace.size(); ++i) {
      calls.push_back(std::to_string(i - firstCall + 1) + ". " + CallText(trace[i]));
    }
    parts.trace = List("Windows calls", calls);
  }
  return parts;
}

Net Summarize(const Snapshot &first, const Snapshot &last, regfile::Format format) {
  Net net;
  net.registry = regfile::WriteDiff(*first.registry, *last.registry, regfile::Style::kPlain, format);
  net.registryForEditor = regfile::WriteDiff(*first.registry, *last.registry, regfile::Style::kEditor, format);
  net.spooler = SpoolerChanges("Drivers", first.drivers, last.drivers, SameDriver, DriverText) +
                SpoolerChanges("Queues", first.queues, last.queues, SameQueue, QueueText);
  FileChanges ch = CompareFiles(first, last);
  std::vector<std::string> moved;
  for (const auto &m : ch.moved) moved.push_back(m.first + " -> " + m.second);
  net.files = ListIfAny("Created", ch.created) + ListIfAny("Replaced (content changed)", ch.replaced) +
              ListIfAny("Moved aside", moved) + ListIfAny("Deleted", ch.deleted) +
              ListIfAny("Scheduled for deletion at restart", ch.scheduled);
  if (net.files.empty()) net.files = "No change\n";
  net.time = "Virtual time waited in all: " + std::to_string(last.now - first.now) + " ms\n";
  return net;
}

std::string Combine(const std::string &heading, const Parts &parts) {
  std::string out = heading;
  out += "\n== Registry changes\n" + parts.registry;
  out += "== Spooler\n" + parts.spooler;
  out += "\n== Files\n" + parts.files;
  out += "\n== Messages\n" + parts.messages;
  out += "\n== Processes\n" + parts.processes;
  out += "\n== Time\n" + parts.time;
  if (!parts.trace.empty()) out += "\n== Trace\n" + parts.trace;
  return out;
}

std::string Combine(const std::string &heading, const Net &net) {
  std::string out = heading;
  out += "\n== Registry changes\n" + net.registry;
  out += "== Spooler\n" + net.spooler;
  out += "\n== Files\n" + net.files;
  out += "\n== Time\n" + net.time;
  return out;
}

}  // namespace report
