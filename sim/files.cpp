// The simulated file system: one volume of folders and files held in memory,
// and the kernel's file functions over it.
//
// Paths are absolute Windows paths ("C:\\WINDOWS\\inf\\NRVS1.INF"). They are
// compared without regard to case; '/' counts as '\\', repeated backslashes
// as one, a trailing backslash is dropped and "." and ".." are resolved. A
// drive's root ("C:\\") always exists. A path without a drive names nothing
// (there is no current directory). Each folder and file keeps the spelling
// it was created with.
//
// A file carries two flags: in use (held open by a running program: it can
// be read, copied and moved, but not overwritten or deleted) and protected
// (its access list refuses writing: it cannot be overwritten, deleted or
// moved). Moves registered with MOVEFILE_DELAY_UNTIL_REBOOT wait in a list,
// in the order of registration, until Reboot() carries them out.
#include <cctype>
#include <map>
#include <optional>
#include <stdexcept>

#include "internal.h"

namespace sim {
namespace {

struct FileEntry {
  std::string path;  // spelling at creation
  std::string content;
  bool inUse = false;
  bool isProtected = false;
  bool heldOpen = false;  // open without delete sharing
};

struct PendingMove {
  std::string from;               // as the caller spelled it
  std::optional<std::string> to;  // nullopt: delete
  bool replace = false;
};

struct FileSystem {
  std::string windowsDir;
  std::string systemDir;
  std::map<std::string, std::string> dirs;  // upper-case path -> spelling
  std::map<std::string, FileEntry> files;   // upper-case path -> file
  std::vector<PendingMove> pending;
};

FileSystem &fs() {
  static FileSystem f;
  return f;
}

bool IsDrive(const std::string &part) {
  return part.size() == 2 && part[1] == ':' && std::isalpha(static_cast<unsigned char>(part[0]));
}

// The canonical spelling of a path: "C:\\" for a root, otherwise the parts
// joined by single backslashes, without a trailing one.
std::string Canon(const std::string &path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&]() {
    if (part.empty() || part == ".") {
      // nothing
    } else if (part == "..") {
      if (parts.size() > 1 || (parts.size() == 1 && !IsDrive(parts[0]))) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char ch : path) {
    if (ch == '\\' || ch == '/') {
      flush();
    } else {
      part += ch;
    }
  }
  flush();
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    out += parts[i];
    if (i + 1 < parts.size() || (i == 0 && IsDrive(parts[0]))) out += '\\';
  }
  return out;
}

bool IsRoot(const std::string &canon) { return canon.size() == 3 && IsDrive(canon.substr(0, 2)) && canon[2] == '\\'; }
bool IsAbsolute(const std::string &canon) { return canon.size() >= 3 && IsDrive(canon.substr(0, 2)); }

// The folder holding a canonical path; "" for a root or a relative name.
std::string Parent(const std::string &canon) {
  if (IsRoot(canon) || !IsAbsolute(canon)) return "";
  size_t slash = canon.rfind('\\');
  if (slash == 2) return canon.substr(0, 3);
  return canon.substr(0, slash);
}

std::string LastPart(const std::string &canon) {
  size_t slash = canon.rfind('\\');
  return slash == std::string::npos ? canon : canon.substr(slash + 1);
}

std::string Join(const std::string &dir, const std::string &name) {
  if (!dir.empty() && dir.back() == '\\') return dir + name;
  return dir + "\\" + name;
}

std::string KeyOf(const std::string &canon) { return detail::Upper(canon); }

bool DirAt(const std::string &canon) {
  if (IsRoot(canon)) return true;
  return IsAbsolute(canon) && fs().dirs.count(KeyOf(canon)) != 0;
}

FileEntry *FileAt(const std::string &canon) {
  auto it = fs().files.find(KeyOf(canon));
  return it == fs().files.end() ? nullptr : &it->second;
}

bool HasChildren(const std::string &canon) {
  std::string prefix = KeyOf(Join(canon, ""));
  auto below = [&](const auto &map) {
    auto it = map.lower_bound(prefix);
    return it != map.end() && it->first.compare(0, prefix.size(), prefix) == 0;
  };
  return below(fs().dirs) || below(fs().files);
}

// The error for a path that names nothing: the file is missing, or already
// its folder is.
DWORD MissingError(const std::string &canon) {
  return DirAt(Parent(canon)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

void MakeDirs(const std::string &canon) {
  if (!IsAbsolute(canon)) throw std::invalid_argument("not an absolute path: " + canon);
  if (DirAt(canon)) return;
  if (FileAt(canon)) throw std::logic_error("a file is in the way of the folder " + canon);
  MakeDirs(Parent(canon));
  fs().dirs[KeyOf(canon)] = canon;
}

// Gives the file at `from` the other name `to`, with its content and flags,
// in the place of any file there.
void MoveEntry(const std::string &from, const std::string &to) {
  FileEntry moved = fs().files.at(KeyOf(from));
  moved.path = to;
  fs().files.erase(KeyOf(from));
  fs().files[KeyOf(to)] = moved;
}

FileEntry &ExistingFile(const std::string &path) {
  FileEntry *file = FileAt(Canon(path));
  if (!file) throw std::logic_error("no such file: " + path);
  return *file;
}

// Copies s with its NUL into buf when it fits in size bytes; returns the
// length, or the size needed (length + 1) without writing anything.
DWORD CopyOut(const std::string &s, char *buf, DWORD size) {
  DWORD n = static_cast<DWORD>(s.size());
  if (!buf || n >= size) return n + 1;
  s.copy(buf, n);
  buf[n] = '\0';
  return n;
}

}  // namespace

namespace detail {

void ResetFiles(Os os) {
  fs() = FileSystem();
  fs().windowsDir = "C:\\WINDOWS";
  fs().systemDir = IsNtFamily(os) ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
  MakeDirs(fs().windowsDir);
  MakeDirs(fs().systemDir);
  MakeDirs(Canon(fs().windowsDir + "\\inf"));
  MakeDirs(Canon(DriverDirectory()));
}

}  // namespace detail

// ---------------------------------------------------------------- machine API

void SetWindowsDirectory(const std::string &dir) {
  std::string canon = Canon(dir);
  MakeDirs(canon);
  fs().windowsDir = canon;
}

void SetSystemDirectory(const std::string &dir) {
  std::string canon = Canon(dir);
  MakeDirs(canon);
  fs().systemDir = canon;
}

std::string WindowsDirectory() { return fs().windowsDir; }
std::string SystemDirectory() { return fs().systemDir; }
std::string DriverDirectory() { return SystemDirectory() + "\\spool\\drivers\\w32x86\\"; }
std::string VersionDirectory() { return DriverDirectory() + "2\\"; }

void MakeDirectory(const std::string &path) { MakeDirs(Canon(path)); }

bool DirectoryExists(const std::string &path) { return DirAt(Canon(path)); }

void WriteFile(const std::string &path, const std::string &content) {
  std::string canon = Canon(path);
  if (!IsAbsolute(canon) || IsRoot(canon)) throw std::invalid_argument("not a file path: " + path);
  if (DirAt(canon)) throw std::logic_error("a folder is in the way of the file " + path);
  MakeDirs(Parent(canon));
  FileEntry &file = fs().files[KeyOf(canon)];
  if (file.path.empty()) file.path = canon;
  file.content = content;
}

bool FileExists(const std::string &path) { return FileAt(Canon(path)) != nullptr; }

std::optional<std::string> ReadFile(const std::string &path) {
  const FileEntry *file = FileAt(Canon(path));
  if (!file) return std::nullopt;
  return file->content;
}

void RemoveFile(const std::string &path) { fs().files.erase(KeyOf(Canon(path))); }

std::vector<std::string> ListFiles(const std::string &dir) {
  std::string parent = KeyOf(Canon(dir));
  std::vector<std::string> out;
  for (const auto &entry : fs().files) {  // ordered by upper-case path, so by name
    if (KeyOf(Parent(entry.second.path)) == parent) out.push_back(LastPart(entry.second.path));
  }
  return out;
}

void SetFileInUse(const std::string &path, bool inUse) { ExistingFile(path).inUse = inUse; }

void SetFileProtected(const std::string &path, bool isProtected) { ExistingFile(path).isProtected = isProtected; }

void SetFileHeldOpen(const std::string &path, bool heldOpen) { ExistingFile(path).heldOpen = heldOpen; }

std::vector<std::string> PendingDeletions() {
  std::vector<std::string> out;
  for (const PendingMove &move : fs().pending) {
    if (!move.to) out.push_back(move.from);
  }
  return out;
}

void Reboot() {
  // The session manager runs the registered moves before any program holds a
  // file, with every right: locks and protection do not stand in its way. A
  // move whose file has gone, or whose target is taken without the replace
  // flag, is passed over, as Windows does.
  std::vector<PendingMove> pending = fs().pending;
  fs().pending.clear();
  for (const PendingMove &move : pending) {
    std::string from = Canon(move.from);
    FileEntry *file = FileAt(from);
    if (!move.to) {
      if (file) {
        fs().files.erase(KeyOf(from));
      } else if (DirAt(from) && !IsRoot(from) && !HasChildren(from)) {
        fs().dirs.erase(KeyOf(from));
      }
      continue;
    }
    std::string to = Canon(*move.to);
    if (!file || !IsAbsolute(to) || !DirAt(Parent(to)) || DirAt(to)) continue;
    if (KeyOf(from) == KeyOf(to)) {
      file->path = to;
      continue;
    }
    if (FileAt(to) && !move.replace) continue;
    MoveEntry(from, to);
  }
  for (auto &entry : fs().files) {
    entry.second.inUse = false;
    entry.second.heldOpen = false;
  }
}

}  // namespace sim

// ---------------------------------------------------------------- kernel32

using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::SNum;
using sim::detail::Str;
using sim::detail::Tracer;

namespace {

UINT DirectoryCall(const char *name, const std::string &dir, LPSTR buffer, UINT size) {
  Tracer t(name, {Ptr(buffer), Num(size)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(0u, err);
  UINT rc = sim::CopyOut(dir, buffer, size);
  if (rc == dir.size()) t.AddArg(Str(buffer));
  return t.Ok(rc);
}

}  // namespace

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return DirectoryCall("GetWindowsDirectoryA", sim::WindowsDirectory(), lpBuffer, uSize);
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return DirectoryCall("GetSystemDirectoryA", sim::SystemDirectory(), lpBuffer, uSize);
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  Tracer t("DeleteFileA", {Str(lpFileName)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!lpFileName) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  std::string path = sim::Canon(lpFileName);
  if (sim::DirAt(path)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  sim::FileEntry *file = sim::FileAt(path);
  if (!file) return t.Fail(FALSE, sim::MissingError(path));
  if (file->heldOpen) return t.Fail(FALSE, ERROR_SHARING_VIOLATION);
  if (file->inUse || file->isProtected) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  sim::fs().files.erase(sim::KeyOf(path));
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  Tracer t("CopyFileA", {Str(lpExistingFileName), Str(lpNewFileName), SNum(bFailIfExists)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!lpExistingFileName || !lpNewFileName) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  std::string from = sim::Canon(lpExistingFileName);
  std::string to = sim::Canon(lpNewFileName);
  if (sim::DirAt(from)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  const sim::FileEntry *source = sim::FileAt(from);
  if (!source) return t.Fail(FALSE, sim::MissingError(from));
  if (sim::DirAt(to)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  if (!sim::DirAt(sim::Parent(to))) return t.Fail(FALSE, ERROR_PATH_NOT_FOUND);
  sim::FileEntry *target = sim::FileAt(to);
  if (target) {
    if (bFailIfExists) return t.Fail(FALSE, ERROR_FILE_EXISTS);
    // A file copied onto itself is open for reading while it would be written.
    if (target == source || target->inUse || target->heldOpen) return t.Fail(FALSE, ERROR_SHARING_VIOLATION);
    if (target->isProtected) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
    target->content = source->content;
    return t.Ok(TRUE);
  }
  sim::FileEntry copy;
  copy.path = to;
  copy.content = source->content;
  sim::fs().files[sim::KeyOf(to)] = copy;
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  Tracer t("CreateDirectoryA", {Str(lpPathName), Ptr(lpSecurityAttributes)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!lpPathName) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  std::string path = sim::Canon(lpPathName);
  if (sim::DirAt(path) || sim::FileAt(path)) return t.Fail(FALSE, ERROR_ALREADY_EXISTS);
  if (!sim::DirAt(sim::Parent(path))) return t.Fail(FALSE, ERROR_PATH_NOT_FOUND);
  sim::fs().dirs[sim::KeyOf(path)] = path;
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  Tracer t("MoveFileExA", {Str(lpExistingFileName), Str(lpNewFileName), Num(dwFlags)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!lpExistingFileName) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Windows only writes the request down; it looks at no file now.
    sim::PendingMove move;
    move.from = lpExistingFileName;
    if (lpNewFileName) move.to = std::string(lpNewFileName);
    move.replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;
    sim::fs().pending.push_back(move);
    return t.Ok(TRUE);
  }
  if (!lpNewFileName) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  std::string from = sim::Canon(lpExistingFileName);
  std::string to = sim::Canon(lpNewFileName);
  // Folders are not moved by this machine.
  if (sim::DirAt(from)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  sim::FileEntry *source = sim::FileAt(from);
  if (!source) return t.Fail(FALSE, sim::MissingError(from));
  if (source->heldOpen) return t.Fail(FALSE, ERROR_SHARING_VIOLATION);
  if (source->isProtected) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  if (sim::KeyOf(from) == sim::KeyOf(to)) {  // a new spelling of the same name
    source->path = to;
    return t.Ok(TRUE);
  }
  bool replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;
  if (sim::DirAt(to)) return t.Fail(FALSE, replace ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
  if (!sim::DirAt(sim::Parent(to))) return t.Fail(FALSE, ERROR_PATH_NOT_FOUND);
  if (const sim::FileEntry *target = sim::FileAt(to)) {
    if (!replace) return t.Fail(FALSE, ERROR_ALREADY_EXISTS);
    if (target->heldOpen) return t.Fail(FALSE, ERROR_SHARING_VIOLATION);
    if (target->inUse || target->isProtected) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  }
  sim::MoveEntry(from, to);
  return t.Ok(TRUE);
}

extern "C" DWORD WINAPI SearchPathA(LPCSTR lpPath, LPCSTR lpFileName, LPCSTR lpExtension, DWORD nBufferLength,
                                    LPSTR lpBuffer, LPSTR *lpFilePart) {
  Tracer t("SearchPathA", {Str(lpPath), Str(lpFileName), Str(lpExtension), Num(nBufferLength), Ptr(lpBuffer),
                           Ptr(lpFilePart)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(DWORD{0}, err);
  if (!lpFileName || !*lpFileName) return t.Fail(DWORD{0}, ERROR_INVALID_PARAMETER);

  // The extension is added to a name without one of its own.
  std::string name = lpFileName;
  size_t slash = name.find_last_of("\\/");
  std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  if (lpExtension && last.find('.') == std::string::npos) name += lpExtension;

  // The folders to look in: the given list (';' between entries), or without
  // one the system and the Windows directory. A name with a drive is looked
  // up as it stands.
  std::vector<std::string> dirs;
  if (sim::IsAbsolute(sim::Canon(name))) {
    dirs.push_back("");
  } else if (lpPath) {
    std::string list = lpPath;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(';', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  } else {
    dirs.push_back(sim::SystemDirectory());
    dirs.push_back(sim::WindowsDirectory());
  }

  for (const std::string &dir : dirs) {
    std::string full = sim::Canon(dir.empty() ? name : sim::Join(dir, name));
    if (!sim::IsAbsolute(full) || (!sim::FileAt(full) && !sim::DirAt(full))) continue;
    DWORD rc = sim::CopyOut(full, lpBuffer, nBufferLength);
    if (rc == full.size()) {
      if (lpFilePart) *lpFilePart = lpBuffer + (full.size() - sim::LastPart(full).size());
      t.AddArg(Str(lpBuffer));
    }
    return t.Ok(rc);
  }
  return t.Fail(DWORD{0}, ERROR_FILE_NOT_FOUND);
}
