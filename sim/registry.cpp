// The registry: a tree of keys under the four predefined roots, the advapi32
// registry functions over it, and the machine functions that tests use to
// set it up and read it back.
//
// Keys are nodes owned by their parent. A handle holds its node alive, so a
// key deleted while open stays usable only for RegCloseKey; everything else
// answers ERROR_KEY_DELETED. A link node (CurrentControlSet) holds the full
// path of its target and is resolved by name each time a path passes
// through it, as Windows' symbolic keys are.
#include <algorithm>
#include <cstring>
#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "internal.h"

namespace sim {
namespace {

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kKeyRead = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM kKeyWrite = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr REGSAM kRootRights = 0xFFFFFFFFu;
constexpr int kMaxLinkDepth = 32;

// ---------------------------------------------------------------- names

// Names compare as Windows compares them here: ASCII letters folded to
// upper case, every other byte as it is, byte by byte without sign.
unsigned char Folded(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

bool NameBefore(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Folded(a[i]), y = Folded(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

struct NameLess {
  bool operator()(std::string_view a, std::string_view b) const { return NameBefore(a, b); }
};

// ---------------------------------------------------------------- values

// A key's values in order of first writing, found by name without
// scanning a long list: a key with many values gets an index by the hash of
// its folded name. A deleted value leaves a hole until the holes are half
// of the list or a value is asked for by its place.
class ValueList {
 public:
  struct Entry {
    std::string name;
    Value value;
    bool live = true;
  };

  size_t Count() const { return entries_.size() - holes_; }

  Entry *Find(std::string_view name) {
    if (index_) {
      auto range = index_->equal_range(NameHash(name));
      for (auto it = range.first; it != range.second; ++it) {
        if (SameName(entries_[it->second].name, name)) return &entries_[it->second];
      }
      return nullptr;
    }
    for (Entry &e : entries_) {
      if (e.live && SameName(e.name, name)) return &e;
    }
    return nullptr;
  }

  void Store(std::string name, DWORD type, std::string data) {
    if (Entry *e = Find(name)) {
      e->value.type = type;
      e->value.data = std::move(data);
      return;
    }
    uint64_t hash = index_ ? NameHash(name) : 0;
    Entry e;
    e.name = std::move(name);
    e.value.type = type;
    e.value.data = std::move(data);
    entries_.push_back(std::move(e));
    if (index_) {
      index_->emplace(hash, entries_.size() - 1);
    } else if (entries_.size() > kIndexFrom) {
      Reindex();
    }
  }

  bool Erase(std::string_view name) {
    Entry *e = Find(name);
    if (!e) return false;
    size_t at = static_cast<size_t>(e - entries_.data());
    if (index_) {
      auto range = index_->equal_range(NameHash(name));
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second == at) {
          index_->erase(it);
          break;
        }
      }
    }
    e->live = false;
    e->name.clear();
    e->value.data.clear();
    e->value.data.shrink_to_fit();
    ++holes_;
    if (holes_ * 2 > entries_.size()) Compact();
    return true;
  }

  // The value at a place in the order of writing; null past the end.
  const Entry *At(size_t index) {
    if (holes_) Compact();
    return index < entries_.size() ? &entries_[index] : nullptr;
  }

  template <typename F>
  void ForEach(F f) const {
    for (const Entry &e : entries_) {
      if (e.live) f(e);
    }
  }

 private:
  static constexpr size_t kIndexFrom = 16;

  void Compact() {
    std::vector<Entry> kept;
    kept.reserve(entries_.size() - holes_);
    for (Entry &e : entries_) {
      if (e.live) kept.push_back(std::move(e));
    }
    entries_.swap(kept);
    holes_ = 0;
    if (index_) Reindex();
  }

  void Reindex() {
    index_ = std::make_unique<std::unordered_multimap<uint64_t, size_t>>();
    index_->reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].live) index_->emplace(NameHash(entries_[i].name), i);
    }
  }

  std::vector<Entry> entries_;
  size_t holes_ = 0;
  std::unique_ptr<std::unordered_multimap<uint64_t, size_t>> index_;
};

// ---------------------------------------------------------------- keys

struct Node;
using NodePtr = std::shared_ptr<Node>;

// A key's subkeys, in two orders that each give the n-th key and find a key
// in logarithmic time: by name without regard to case (how NT enumerates,
// and how a name is looked up) and by creation (how 9x enumerates).
using ByName = __gnu_pbds::tree<std::string_view, NodePtr, NameLess, __gnu_pbds::rb_tree_tag,
                                __gnu_pbds::tree_order_statistics_node_update>;
using ByCreation = __gnu_pbds::tree<uint64_t, Node *, std::less<uint64_t>, __gnu_pbds::rb_tree_tag,
                                    __gnu_pbds::tree_order_statistics_node_update>;
struct Subkeys {
  ByName byName;  // keyed by a view of the subkey's own name, which never changes
  ByCreation byCreation;
  uint64_t next = 0;
};

struct Node : std::enable_shared_from_this<Node> {
  std::string name;  // as spelled when created
  Node *parent = nullptr;
  uint64_t created = 0;            // place in the parent's order of creation
  std::unique_ptr<Subkeys> subkeys;  // null while there are none
  ValueList values;
  REGSAM refused = 0;
  bool isLink = false;
  std::string target;  // of a link: "HKLM\\..."
  bool deleted = false;
  // Pictures: `picture` shows the key as it is unless `changed`; a change
  // marks the key and every key above it, so that a picture is taken again
  // only along the paths that changed.
  bool changed = true;
  KeyPicturePtr picture;

  Node() = default;
  Node(const Node &) = delete;
  Node &operator=(const Node &) = delete;
  // Releases a deep branch without recursing on its depth.
  ~Node() {
    std::vector<NodePtr> pending;
    Release(&pending);
    while (!pending.empty()) {
      NodePtr n = std::move(pending.back());
      pending.pop_back();
      if (n.use_count() == 1) n->Release(&pending);
    }
  }

  void Release(std::vector<NodePtr> *pending) {
    if (!subkeys) return;
    for (auto &entry : subkeys->byName) {
      entry.second->parent = nullptr;
      pending->push_back(std::move(entry.second));
    }
    subkeys.reset();
  }
};

using NodeList = std::vector<Node *>;

struct OpenKey {
  NodePtr node;
  REGSAM granted = 0;
  std::string text;
};

constexpr int kRoots = 4;
const char *const kRootShort[kRoots] = {"HKCR", "HKCU", "HKLM", "HKU"};
const char *const kRootLong[kRoots] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                       "HKEY_USERS"};

struct Registry {
  NodePtr roots[kRoots];
  bool sorted = true;
  bool subtreeDelete = false;
  std::map<uintptr_t, OpenKey> open;
};

Registry &reg();

// ---------------------------------------------------------------- tree

int RootIndex(HKEY key) {
  const HKEY roots[kRoots] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
  for (int i = 0; i < kRoots; ++i) {
    if (key == roots[i]) return i;
  }
  return -1;
}

int RootIndexByName(const std::string &name) {
  for (int i = 0; i < kRoots; ++i) {
    if (SameName(name, kRootShort[i]) || SameName(name, kRootLong[i])) return i;
  }
  return -1;
}

// The names of a path; empty names (doubled or trailing backslashes) drop out.
std::vector<std::string> Split(const std::string &path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('\\', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) out.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return out;
}

void MarkChanged(Node *node) {
  for (Node *n = node; n && !n->changed; n = n->parent) n->changed = true;
}

Node *FindChild(const Node *node, std::string_view name) {
  if (!node->subkeys) return nullptr;
  auto it = node->subkeys->byName.find(name);
  return it == node->subkeys->byName.end() ? nullptr : it->second.get();
}

size_t ChildCount(const Node *node) { return node->subkeys ? node->subkeys->byName.size() : 0; }

// Puts a new key (not yet in any tree) under parent, at the given place in
// the order of creation or, without one, at its end.
void Attach(Node *parent, const NodePtr &child, const uint64_t *created = nullptr) {
  if (!parent->subkeys) parent->subkeys = std::make_unique<Subkeys>();
  Subkeys &s = *parent->subkeys;
  child->parent = parent;
  child->created = created ? *created : s.next++;
  s.byName.insert(std::make_pair(std::string_view(child->name), child));
  s.byCreation.insert(std::make_pair(child->created, child.get()));
  MarkChanged(parent);
}

Node *AddChild(Node *parent, const std::string &name) {
  auto child = std::make_shared<Node>();
  child->name = name;
  Attach(parent, child);
  return child.get();
}

// Takes a key out of its parent's lists; the caller holds it.
void Detach(Node *node) {
  Node *parent = node->parent;
  parent->subkeys->byCreation.erase(node->created);
  parent->subkeys->byName.erase(std::string_view(node->name));
  node->parent = nullptr;
  MarkChanged(parent);
}

// The subkey at a place in the order RegEnumKeyA gives them; null past the end.
Node *ChildAt(const Node *node, size_t index) {
  if (index >= ChildCount(node)) return nullptr;
  if (reg().sorted) return node->subkeys->byName.find_by_order(index)->second.get();
  return node->subkeys->byCreation.find_by_order(index)->second;
}

// Subkeys in the order RegEnumKeyA gives them.
NodeList Ordered(const Node *node) {
  NodeList out;
  if (!node->subkeys) return out;
  out.reserve(node->subkeys->byName.size());
  if (reg().sorted) {
    for (const auto &entry : node->subkeys->byName) out.push_back(entry.second.get());
  } else {
    for (const auto &entry : node->subkeys->byCreation) out.push_back(entry.second);
  }
  return out;
}

// Every key of a branch, the top first, without recursing on its depth.
NodeList Branch(Node *top) {
  NodeList out = {top};
  for (size_t i = 0; i < out.size(); ++i) {
    if (!out[i]->subkeys) continue;
    for (const auto &entry : out[i]->subkeys->byName) out.push_back(entry.second.get());
  }
  return out;
}

// Takes a key (with its subtree, or a link alone) out of the tree.
void Remove(Node *node) {
  if (!node->parent) return;  // a root
  NodePtr hold = node->shared_from_this();
  Detach(node);
  for (Node *n : Branch(node)) n->deleted = true;
}

struct Walked {
  Node *node;       // the deepest key reached (links resolved)
  size_t next;      // the index of the first name not found; all found when == names.size()
  bool broken;      // stopped at a link whose target is missing
};

// A full path: its root and the names below it.
struct MachinePath {
  int root;
  std::vector<std::string> names;
};

// False for a path that does not start with a root.
bool ParsePath(const std::string &path, MachinePath *out) {
  std::vector<std::string> names = Split(path);
  int root = names.empty() ? -1 : RootIndexByName(names[0]);
  if (root < 0) return false;
  names.erase(names.begin());
  *out = {root, names};
  return true;
}

Node *ResolveLinkTarget(const std::string &target, int depth);

Walked Walk(Node *start, const std::vector<std::string> &names, size_t count, int depth) {
  Node *cur = start;
  for (size_t i = 0; i < count; ++i) {
    Node *child = FindChild(cur, names[i]);
    if (!child) return {cur, i, false};
    if (child->isLink) {
      Node *resolved = ResolveLinkTarget(child->target, depth + 1);
      if (!resolved) return {cur, i, true};
      child = resolved;
    }
    cur = child;
  }
  return {cur, count, false};
}

Walked Walk(Node *start, const std::vector<std::string> &names) { return Walk(start, names, names.size(), 0); }

// The key a full path reaches, links followed; null when it is missing.
Node *Resolve(const MachinePath &p, int depth) {
  Walked w = Walk(reg().roots[p.root].get(), p.names, p.names.size(), depth);
  return (w.next == p.names.size() && !w.broken) ? w.node : nullptr;
}

Node *ResolveLinkTarget(const std::string &target, int depth) {
  MachinePath p;
  if (depth > kMaxLinkDepth || !ParsePath(target, &p)) return nullptr;
  return Resolve(p, depth);
}

// The key the names lead to below start, the last name taken as it stands
// (a link itself, not its target), as a deletion needs it; null when it is
// missing. The names are not empty.
Node *FindUnresolved(Node *start, const std::vector<std::string> &names) {
  Walked w = Walk(start, names, names.size() - 1, 0);
  if (w.broken || w.next != names.size() - 1) return nullptr;
  return FindChild(w.node, names.back());
}

// Creates what is missing along the path, also the targets of links on it.
Node *Ensure(Node *start, const std::vector<std::string> &names, int depth);

Node *EnsureLinkTarget(const std::string &target, int depth) {
  MachinePath p;
  if (depth > kMaxLinkDepth || !ParsePath(target, &p)) return nullptr;
  return Ensure(reg().roots[p.root].get(), p.names, depth);
}

Node *Ensure(Node *start, const std::vector<std::string> &names, int depth) {
  Node *cur = start;
  for (const std::string &name : names) {
    Node *child = FindChild(cur, name);
    if (!child) {
      child = AddChild(cur, name);
    } else if (child->isLink) {
      child = EnsureLinkTarget(child->target, depth + 1);
      if (!child) return nullptr;
    }
    cur = child;
  }
  return cur;
}

void StoreValue(Node *node, std::string name, DWORD type, std::string data) {
  node->values.Store(std::move(name), type, std::move(data));
  MarkChanged(node);
}

// False when the key has no value of that name (names are unique in a key).
bool EraseValue(Node *node, const std::string &name) {
  if (!node->values.Erase(name)) return false;
  MarkChanged(node);
  return true;
}

NodePtr NewRoot(int index) {
  auto root = std::make_shared<Node>();
  root->name = kRootShort[index];
  return root;
}

Registry MakeRegistry(Os os) {
  Registry r;
  for (int i = 0; i < kRoots; ++i) r.roots[i] = NewRoot(i);
  r.sorted = IsNtFamily(os);
  r.subtreeDelete = !IsNtFamily(os);
  Node *hklm = r.roots[2].get();
  if (IsNtFamily(os)) {
    Node *system = AddChild(hklm, "SYSTEM");
    AddChild(system, "ControlSet001");
    Node *current = AddChild(system, "CurrentControlSet");
    current->isLink = true;
    current->target = "HKLM\\SYSTEM\\ControlSet001";
  } else {
    AddChild(hklm, "Enum");
    Node *system = AddChild(hklm, "System");
    AddChild(system, "CurrentControlSet");
  }
  return r;
}

Registry &reg() {
  static Registry r = MakeRegistry(Os::WinXP);
  return r;
}

// ---------------------------------------------------------------- machine paths

MachinePath ParseMachinePath(const std::string &path) {
  MachinePath p;
  if (!ParsePath(path, &p)) throw std::invalid_argument("registry path without a root: \"" + path + "\"");
  return p;
}

// The key at a path, or null; links are followed.
Node *FindKey(const std::string &path) { return Resolve(ParseMachinePath(path), 0); }

Node *EnsureKey(const std::string &path) {
  MachinePath p = ParseMachinePath(path);
  Node *node = Ensure(reg().roots[p.root].get(), p.names, 0);
  if (!node) throw std::invalid_argument("registry path runs into a loop of links: \"" + path + "\"");
  return node;
}

// The parent of the last name of a path (created when missing) and that name.
Node *EnsureParent(const std::string &path, std::string *last) {
  MachinePath p = ParseMachinePath(path);
  if (p.names.empty()) throw std::invalid_argument("a root cannot be replaced: \"" + path + "\"");
  *last = p.names.back();
  p.names.pop_back();
  Node *parent = Ensure(reg().roots[p.root].get(), p.names, 0);
  if (!parent) throw std::invalid_argument("registry path runs into a loop of links: \"" + path + "\"");
  return parent;
}

// ---------------------------------------------------------------- handles

struct Target {
  NodePtr node;
  REGSAM granted = 0;
  std::string text;
  bool root = false;
};

LONG Lookup(HKEY key, Target *out) {
  int root = RootIndex(key);
  if (root >= 0) {
    out->node = reg().roots[root];
    out->granted = kRootRights;
    out->text = kRootShort[root];
    out->root = true;
    return ERROR_SUCCESS;
  }
  auto it = reg().open.find(reinterpret_cast<uintptr_t>(key));
  if (it == reg().open.end()) return ERROR_INVALID_HANDLE;
  if (it->second.node->deleted) return ERROR_KEY_DELETED;
  out->node = it->second.node;
  out->granted = it->second.granted;
  out->text = it->second.text;
  return ERROR_SUCCESS;
}

REGSAM MapGeneric(REGSAM sam) {
  REGSAM out = sam & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (sam & kGenericRead) out |= kKeyRead;
  if (sam & kGenericWrite) out |= kKeyWrite;
  if (sam & kGenericExecute) out |= kKeyRead;
  if (sam & kGenericAll) out |= KEY_ALL_ACCESS;
  return out;
}

// The rights an open asking for `sam` gets on the key.
LONG Grant(const Node *node, REGSAM sam, REGSAM *granted) {
  REGSAM wanted = MapGeneric(sam & ~static_cast<REGSAM>(MAXIMUM_ALLOWED));
  if (wanted & node->refused) return ERROR_ACCESS_DENIED;
  REGSAM g = wanted;
  if (sam & MAXIMUM_ALLOWED) {
    REGSAM rest = KEY_ALL_ACCESS & ~node->refused;
    if (!rest && !wanted) return ERROR_ACCESS_DENIED;
    g |= rest;
  }
  *granted = g;
  return ERROR_SUCCESS;
}

std::string JoinText(const std::string &parent, const char *sub) {
  std::string s = sub ? sub : "";
  while (!s.empty() && s.back() == '\\') s.pop_back();
  return s.empty() ? parent : parent + "\\" + s;
}

HKEY NewKeyHandle(Node *node, REGSAM granted, const std::string &text) {
  uintptr_t value = detail::NewHandleValue();
  OpenKey k;
  k.node = node->shared_from_this();
  k.granted = granted;
  k.text = text;
  reg().open[value] = k;
  detail::HandleOpened(value, text);
  return reinterpret_cast<HKEY>(value);
}

// RegOpenKeyA, RegOpenKeyExA and RegCreateKeyA.
LONG OpenOrCreate(HKEY key, LPCSTR sub, REGSAM sam, bool create, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = NULL;
  Target from;
  LONG rc = Lookup(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> names = Split(sub ? sub : "");
  if (names.empty() && from.root) {
    *result = key;
    return ERROR_SUCCESS;
  }
  Walked w = Walk(from.node.get(), names);
  if (w.broken) return ERROR_FILE_NOT_FOUND;
  Node *node = w.node;
  if (w.next < names.size()) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    // The first new key is made in w.node: through the handle itself, or in
    // a key below it that has to allow it.
    bool allowed = (w.node == from.node.get()) ? (from.granted & KEY_CREATE_SUB_KEY) != 0
                                               : (w.node->refused & KEY_CREATE_SUB_KEY) == 0;
    if (!allowed) return ERROR_ACCESS_DENIED;
    for (size_t i = w.next; i < names.size(); ++i) node = AddChild(node, names[i]);
  }
  REGSAM granted = 0;
  rc = Grant(node, sam, &granted);
  if (rc != ERROR_SUCCESS) return rc;
  *result = NewKeyHandle(node, granted, JoinText(from.text, sub));
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------- detail

namespace detail {

std::string Key(HKEY key) {
  if (!key) return "NULL";
  int root = RootIndex(key);
  if (root >= 0) return kRootShort[root];
  auto it = reg().open.find(reinterpret_cast<uintptr_t>(key));
  if (it == reg().open.end()) return "hkey:?" + Num(reinterpret_cast<uintptr_t>(key));
  return it->second.text;
}

void ResetRegistry(Os os) { reg() = MakeRegistry(os); }

}  // namespace detail

// ---------------------------------------------------------------- machine functions

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

uint64_t NameHash(std::string_view s) {
  uint64_t h = 1469598103934665603ull;
  for (char c : s) h = (h ^ Folded(c)) * 1099511628211ull;
  return h;
}

void SetSubtreeDelete(bool subtree) { reg().subtreeDelete = subtree; }

void SetSortedEnumeration(bool sorted) {
  if (reg().sorted == sorted) return;
  reg().sorted = sorted;
  // Every picture shows the other order.
  for (const NodePtr &root : reg().roots) {
    for (Node *n : Branch(root.get())) n->changed = true;
  }
}

void CreateKey(const std::string &path) { EnsureKey(path); }

bool KeyExists(const std::string &path) { return FindKey(path) != nullptr; }

void DeleteKeyTree(const std::string &path) {
  MachinePath p = ParseMachinePath(path);
  if (p.names.empty()) throw std::invalid_argument("a root cannot be deleted: \"" + path + "\"");
  if (Node *node = FindUnresolved(reg().roots[p.root].get(), p.names)) Remove(node);
}

void SetValue(const std::string &path, const std::string &name, DWORD type, const std::string &data) {
  StoreValue(EnsureKey(path), name, type, data);
}

void SetString(const std::string &path, const std::string &name, const std::string &text) {
  SetValue(path, name, REG_SZ, text + std::string(1, '\0'));
}

void SetDword(const std::string &path, const std::string &name, DWORD value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  SetValue(path, name, REG_DWORD, data);
}

void SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &strings) {
  std::string data;
  for (const std::string &s : strings) data += s + std::string(1, '\0');
  data += '\0';
  SetValue(path, name, REG_MULTI_SZ, data);
}

void DeleteValue(const std::string &path, const std::string &name) {
  if (Node *node = FindKey(path)) EraseValue(node, name);
}

std::optional<Value> GetValue(const std::string &path, const std::string &name) {
  Node *node = FindKey(path);
  if (!node) return std::nullopt;
  const ValueList::Entry *entry = node->values.Find(name);
  if (!entry) return std::nullopt;
  return entry->value;
}

std::optional<std::string> GetString(const std::string &path, const std::string &name) {
  std::optional<Value> v = GetValue(path, name);
  if (!v) return std::nullopt;
  return v->data.substr(0, v->data.find('\0'));
}

std::vector<std::string> SubkeyNames(const std::string &path) {
  std::vector<std::string> out;
  if (Node *node = FindKey(path)) {
    for (const Node *child : Ordered(node)) out.push_back(child->name);
  }
  return out;
}

std::vector<std::string> ValueNames(const std::string &path) {
  std::vector<std::string> out;
  if (Node *node = FindKey(path)) {
    node->values.ForEach([&out](const ValueList::Entry &e) { out.push_back(e.name); });
  }
  return out;
}

namespace {
// Puts `fresh` in the place of the parent's key of that name (keeping its
// spelling and its place in the order of creation), or adds it.
void Replace(Node *parent, const NodePtr &fresh) {
  Node *old = FindChild(parent, fresh->name);
  if (!old) {
    Attach(parent, fresh);
    return;
  }
  fresh->name = old->name;
  uint64_t place = old->created;
  Remove(old);
  Attach(parent, fresh, &place);
}
}  // namespace

void LinkKey(const std::string &linkPath, const std::string &targetPath) {
  std::string last;
  Node *parent = EnsureParent(linkPath, &last);
  auto fresh = std::make_shared<Node>();
  fresh->name = last;
  if (!targetPath.empty()) {
    MachinePath t = ParseMachinePath(targetPath);
    EnsureKey(targetPath);
    fresh->isLink = true;
    fresh->target = kRootShort[t.root];
    for (const std::string &n : t.names) fresh->target += "\\" + n;
  }
  Replace(parent, fresh);
}

// The mask replaces an earlier one (0 lifts the refusals); a missing key is
// created first.
void DenyAccess(const std::string &path, REGSAM refused) { EnsureKey(path)->refused = refused; }

KeyPicture::~KeyPicture() {
  // A deep chain is let go of a key at a time; a picture no other holds
  // gives its subkeys up before it goes.
  std::vector<KeyPicturePtr> pending;
  for (auto &s : subkeys) pending.push_back(std::move(s.second));
  subkeys.clear();
  while (!pending.empty()) {
    KeyPicturePtr p = std::move(pending.back());
    pending.pop_back();
    if (p.use_count() != 1) continue;
    // Pictures are made non-const and only shared as const.
    auto &below = const_cast<KeyPicture &>(*p).subkeys;
    for (auto &s : below) pending.push_back(std::move(s.second));
    below.clear();
  }
}

namespace {
// A fresh picture of every key of the branch that changed since its last
// one; the others are shared as they are. The keys are pictured after the
// keys below them, without recursing on the depth.
KeyPicturePtr Picture(Node *top) {
  NodeList stale;
  NodeList stack = {top};
  while (!stack.empty()) {
    Node *n = stack.back();
    stack.pop_back();
    if (!n->changed && n->picture) continue;
    stale.push_back(n);
    if (!n->subkeys) continue;
    for (const auto &entry : n->subkeys->byName) {
      if (!entry.second->isLink) stack.push_back(entry.second.get());
    }
  }
  // Parents come before their subkeys in `stale`.
  for (size_t i = stale.size(); i-- > 0;) {
    Node *n = stale[i];
    auto p = std::make_shared<KeyPicture>();
    p->values.reserve(n->values.Count());
    n->values.ForEach([&p](const ValueList::Entry &e) { p->values.emplace_back(e.name, e.value); });
    NodeList children = Ordered(n);
    p->subkeys.reserve(children.size());
    for (Node *c : children) {
      if (!c->isLink) p->subkeys.emplace_back(c->name, c->picture);
    }
    n->picture = std::move(p);
    n->changed = false;
  }
  return top->picture;
}
}  // namespace

KeyPicturePtr PictureRegistry() {
  auto machine = std::make_shared<KeyPicture>();
  for (int i = 0; i < kRoots; ++i) machine->subkeys.emplace_back(kRootShort[i], Picture(reg().roots[i].get()));
  return machine;
}

std::vector<RegKeyDump> DumpRegistry() {
  std::vector<RegKeyDump> out;
  KeyPicturePtr machine = PictureRegistry();
  // Depth first, each key before its subkeys, in their order.
  std::vector<std::pair<std::string, const KeyPicture *>> stack;
  for (size_t i = machine->subkeys.size(); i-- > 0;) {
    stack.emplace_back(machine->subkeys[i].first, machine->subkeys[i].second.get());
  }
  while (!stack.empty()) {
    std::string path = std::move(stack.back().first);
    const KeyPicture *p = stack.back().second;
    stack.pop_back();
    for (size_t i = p->subkeys.size(); i-- > 0;) {
      stack.emplace_back(path + "\\" + p->subkeys[i].first, p->subkeys[i].second.get());
    }
    out.push_back(RegKeyDump{std::move(path), p->values});
  }
  return out;
}

KeyWriter::KeyWriter(const std::string &path) : node_(EnsureKey(path)->shared_from_this()) {}

void KeyWriter::Set(std::string name, DWORD type, std::string data) {
  StoreValue(static_cast<Node *>(node_.get()), std::move(name), type, std::move(data));
}

void KeyWriter::Delete(const std::string &name) { EraseValue(static_cast<Node *>(node_.get()), name); }

}  // namespace sim

// ---------------------------------------------------------------- advapi32

using sim::detail::Bytes;
using sim::detail::Key;
using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::Str;
using sim::detail::Tracer;

namespace {

std::string SizeArg(const DWORD *size) { return size ? Num(*size) : "NULL"; }

}  // namespace

extern "C" LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  Tracer t("RegOpenKeyA", {Key(hKey), Str(lpSubKey), Ptr(phkResult)});
  DWORD err;
  if (t.Injected(&err)) {
    if (phkResult) *phkResult = NULL;
    return t.Ret(static_cast<LONG>(err));
  }
  return t.Ret(sim::OpenOrCreate(hKey, lpSubKey, MAXIMUM_ALLOWED, false, phkResult));
}

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult) {
  Tracer t("RegOpenKeyExA", {Key(hKey), Str(lpSubKey), Num(ulOptions), Num(samDesired), Ptr(phkResult)});
  DWORD err;
  if (t.Injected(&err)) {
    if (phkResult) *phkResult = NULL;
    return t.Ret(static_cast<LONG>(err));
  }
  return t.Ret(sim::OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult));
}

extern "C" LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  Tracer t("RegCreateKeyA", {Key(hKey), Str(lpSubKey), Ptr(phkResult)});
  DWORD err;
  if (t.Injected(&err)) {
    if (phkResult) *phkResult = NULL;
    return t.Ret(static_cast<LONG>(err));
  }
  return t.Ret(sim::OpenOrCreate(hKey, lpSubKey, MAXIMUM_ALLOWED, true, phkResult));
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
  Tracer t("RegQueryValueExA",
           {Key(hKey), Str(lpValueName), Ptr(lpReserved), Ptr(lpType), Ptr(lpData), SizeArg(lpcbData)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (lpReserved || (lpData && !lpcbData)) return t.Ret(ERROR_INVALID_PARAMETER);
  if (!(k.granted & KEY_QUERY_VALUE)) return t.Ret(ERROR_ACCESS_DENIED);
  const sim::ValueList::Entry *entry = k.node->values.Find(lpValueName ? lpValueName : "");
  if (!entry) return t.Ret(ERROR_FILE_NOT_FOUND);
  const sim::Value &v = entry->value;
  DWORD size = static_cast<DWORD>(v.data.size());
  if (lpType) *lpType = v.type;
  if (lpData && size > *lpcbData) {
    *lpcbData = size;
    return t.Ret(ERROR_MORE_DATA);
  }
  if (lpData) {
    if (size) std::memcpy(lpData, v.data.data(), size);
    t.AddArg(Bytes(v.data.data(), size));
  }
  if (lpcbData) *lpcbData = size;
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  Tracer t("RegQueryInfoKeyA",
           {Key(hKey), Ptr(lpClass), Ptr(lpcchClass), Ptr(lpReserved), Ptr(lpcSubKeys), Ptr(lpcbMaxSubKeyLen),
            Ptr(lpcbMaxClassLen), Ptr(lpcValues), Ptr(lpcbMaxValueNameLen), Ptr(lpcbMaxValueLen),
            Ptr(lpcbSecurityDescriptor), Ptr(lpftLastWriteTime)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (lpReserved || (lpClass && !lpcchClass)) return t.Ret(ERROR_INVALID_PARAMETER);
  if (!(k.granted & KEY_QUERY_VALUE)) return t.Ret(ERROR_ACCESS_DENIED);
  const sim::Node *node = k.node.get();
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  if (node->subkeys) {
    for (const auto &child : node->subkeys->byName) {
      maxSub = std::max(maxSub, static_cast<DWORD>(child.second->name.size()));
    }
  }
  node->values.ForEach([&maxName, &maxData](const sim::ValueList::Entry &e) {
    maxName = std::max(maxName, static_cast<DWORD>(e.name.size()));
    maxData = std::max(maxData, static_cast<DWORD>(e.value.data.size()));
  });
  if (lpClass && *lpcchClass) lpClass[0] = '\0';
  if (lpcchClass) *lpcchClass = 0;
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(sim::ChildCount(node));
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = static_cast<DWORD>(node->values.Count());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = 0;
    lpftLastWriteTime->dwHighDateTime = 0;
  }
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  Tracer t("RegEnumKeyA", {Key(hKey), Num(dwIndex), Ptr(lpName), Num(cchName)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (!lpName) return t.Ret(ERROR_INVALID_PARAMETER);
  if (!(k.granted & KEY_ENUMERATE_SUB_KEYS)) return t.Ret(ERROR_ACCESS_DENIED);
  const sim::Node *child = sim::ChildAt(k.node.get(), dwIndex);
  if (!child) return t.Ret(ERROR_NO_MORE_ITEMS);
  const std::string &name = child->name;
  if (name.size() + 1 > cchName) return t.Ret(ERROR_MORE_DATA);
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  t.AddArg(Str(name.c_str()));
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  Tracer t("RegEnumValueA", {Key(hKey), Num(dwIndex), Ptr(lpValueName), SizeArg(lpcchValueName), Ptr(lpReserved),
                             Ptr(lpType), Ptr(lpData), SizeArg(lpcbData)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
    return t.Ret(ERROR_INVALID_PARAMETER);
  }
  if (!(k.granted & KEY_QUERY_VALUE)) return t.Ret(ERROR_ACCESS_DENIED);
  const sim::ValueList::Entry *entry = k.node->values.At(dwIndex);
  if (!entry) return t.Ret(ERROR_NO_MORE_ITEMS);
  const std::string &name = entry->name;
  const sim::Value &v = entry->value;
  DWORD size = static_cast<DWORD>(v.data.size());
  if (name.size() + 1 > *lpcchValueName) return t.Ret(ERROR_MORE_DATA);
  if (lpData && size > *lpcbData) {
    *lpcbData = size;
    return t.Ret(ERROR_MORE_DATA);
  }
  std::memcpy(lpValueName, name.c_str(), name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpData && size) std::memcpy(lpData, v.data.data(), size);
  if (lpcbData) *lpcbData = size;
  if (lpType) *lpType = v.type;
  t.AddArg(Str(name.c_str()));
  if (lpData) t.AddArg(Bytes(v.data.data(), size));
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE *lpData, DWORD cbData) {
  Tracer t("RegSetValueExA",
           {Key(hKey), Str(lpValueName), Num(Reserved), Num(dwType), Bytes(lpData, cbData), Num(cbData)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (Reserved || (!lpData && cbData)) return t.Ret(ERROR_INVALID_PARAMETER);
  if (!(k.granted & KEY_SET_VALUE)) return t.Ret(ERROR_ACCESS_DENIED);
  std::string data = cbData ? std::string(reinterpret_cast<const char *>(lpData), cbData) : std::string();
  sim::StoreValue(k.node.get(), lpValueName ? lpValueName : "", dwType, data);
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  Tracer t("RegDeleteKeyA", {Key(hKey), Str(lpSubKey)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (!lpSubKey) return t.Ret(ERROR_INVALID_PARAMETER);
  std::vector<std::string> names = sim::Split(lpSubKey);
  sim::Node *node = nullptr;
  if (names.empty()) {
    // An empty name deletes the handle's own key; the roots stay.
    if (k.root) return t.Ret(ERROR_ACCESS_DENIED);
    node = k.node.get();
  } else {
    node = sim::FindUnresolved(k.node.get(), names);
    if (!node) return t.Ret(ERROR_FILE_NOT_FOUND);
  }
  if (node->refused & DELETE) return t.Ret(ERROR_ACCESS_DENIED);
  if (sim::ChildCount(node) && !sim::reg().subtreeDelete) return t.Ret(ERROR_ACCESS_DENIED);
  sim::Remove(node);
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  Tracer t("RegDeleteValueA", {Key(hKey), Str(lpValueName)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  sim::Target k;
  LONG rc = sim::Lookup(hKey, &k);
  if (rc != ERROR_SUCCESS) return t.Ret(rc);
  if (!(k.granted & KEY_SET_VALUE)) return t.Ret(ERROR_ACCESS_DENIED);
  if (!sim::EraseValue(k.node.get(), lpValueName ? lpValueName : "")) return t.Ret(ERROR_FILE_NOT_FOUND);
  return t.Ret(ERROR_SUCCESS);
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
  Tracer t("RegCloseKey", {Key(hKey)});
  DWORD err;
  if (t.Injected(&err)) return t.Ret(static_cast<LONG>(err));
  if (sim::RootIndex(hKey) >= 0) return t.Ret(ERROR_SUCCESS);
  uintptr_t value = reinterpret_cast<uintptr_t>(hKey);
  if (!sim::reg().open.erase(value)) return t.Ret(ERROR_INVALID_HANDLE);
  sim::detail::HandleClosed(value);
  return t.Ret(ERROR_SUCCESS);
}
