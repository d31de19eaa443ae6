// The simulated registry at a machine's size and against hostile shapes:
// long lists of subkeys and values keep the orders Windows gives them
// through creations and deletions, pictures share what did not change, and
// a branch of any depth is deleted and let go of without recursing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "sim.h"

namespace {

std::string UpperAscii(std::string s) {
  for (char &c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// RegEnumKeyA from index 0 up.
std::vector<std::string> EnumKeys(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
  return names;
}

std::vector<std::string> EnumValues(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumValueA(key, i, name, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  return names;
}

// Many subkeys created in a shuffled order, some deleted through the API and
// some recreated in another case: both enumeration orders stay what a
// plain list would give, and every key is found by name in any case.
TEST(SimRegistryScale, LongSubkeyListsKeepTheirOrderThroughDeletions) {
  const struct {
    sim::Os os;
    bool sorted;
  } cases[] = {{sim::Os::WinXP, true}, {sim::Os::Win98, false}};
  for (size_t ci = 0; ci < sizeof cases / sizeof cases[0]; ++ci) {
    sim::Reset(cases[ci].os);
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) names.push_back((i % 3 ? "key" : "Key_") + std::to_string(i * 7919 % 3001));
    std::mt19937 random(42);
    std::shuffle(names.begin(), names.end(), random);
    std::vector<std::string> model;  // in order of creation
    for (const std::string &n : names) {
      sim::CreateKey("HKLM\\Wide\\" + n);
      model.push_back(n);
    }
    HKEY wide = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Wide", &wide)) << "case " << ci;
    // Every third key deleted by its name in upper case, every ninth made
    // again in lower case: it goes to the end of the order of creation.
    for (size_t i = 0; i < names.size(); i += 3) {
      ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(wide, UpperAscii(names[i]).c_str())) << "case " << ci << " " << names[i];
      model.erase(std::find(model.begin(), model.end(), names[i]));
    }
    for (size_t i = 0; i < names.size(); i += 9) {
      std::string lower = names[i];
      for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      sim::CreateKey("HKLM\\Wide\\" + lower);
      model.push_back(lower);
    }
    std::vector<std::string> want = model;
    if (cases[ci].sorted) {
      std::sort(want.begin(), want.end(), [](const std::string &a, const std::string &b) {
        return UpperAscii(a) < UpperAscii(b);
      });
    }
    EXPECT_EQ(want, EnumKeys(wide)) << "case " << ci;
    EXPECT_EQ(want, sim::SubkeyNames("HKLM\\Wide")) << "case " << ci;
    DWORD count = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(wide, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL, NULL, NULL,
                                              NULL));
    EXPECT_EQ(want.size(), count) << "case " << ci;
    for (const std::string &n : model) EXPECT_TRUE(sim::KeyExists("HKLM\\WIDE\\" + UpperAscii(n))) << n;
    // The other order, asked for now, applies to the same keys at once.
    sim::SetSortedEnumeration(!cases[ci].sorted);
    std::vector<std::string> other = sim::SubkeyNames("HKLM\\Wide");
    EXPECT_EQ(want.size(), other.size()) << "case " << ci;
    EXPECT_NE(want, other) << "case " << ci;
    RegCloseKey(wide);
  }
}

// Values past the size where a key indexes them: order of first writing,
// lookups without regard to case, deletions leaving no gap in RegEnumValueA.
TEST(SimRegistryScale, ManyValuesKeepTheOrderOfWritingThroughDeletions) {
  sim::Reset(sim::Os::WinXP);
  std::vector<std::string> model;
  for (int i = 0; i < 500; ++i) {
    std::string n = "Value" + std::to_string((i * 37) % 500);
    sim::SetDword("HKCU\\Many", n, static_cast<DWORD>(i));
    model.push_back(n);
  }
  HKEY many = NULL;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_CURRENT_USER, "Many", &many));
  for (int i = 0; i < 500; i += 2) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(many, UpperAscii(model[i]).c_str())) << model[i];
    // Every deletion is seen at once by the enumeration.
    if (i % 50 == 0) {
      std::vector<std::string> left;
      for (int j = 0; j < 500; ++j) {
        if (j > i || j % 2) left.push_back(model[j]);
      }
      EXPECT_EQ(left, EnumValues(many)) << "after deleting " << i;
    }
  }
  // Rewritten in another case: the name keeps its spelling and its place.
  sim::SetDword("HKCU\\Many", UpperAscii(model[1]), 7);
  sim::SetDword("HKCU\\Many", model[0], 8);  // deleted before: goes to the end
  std::vector<std::string> want;
  for (int j = 1; j < 500; j += 2) want.push_back(model[j]);
  want.push_back(model[0]);
  EXPECT_EQ(want, EnumValues(many));
  EXPECT_EQ(want, sim::ValueNames("HKCU\\Many"));
  EXPECT_EQ(std::string("\7\0\0\0", 4), sim::GetValue("HKCU\\many", model[1])->data);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(many, model[2].c_str()));
  RegCloseKey(many);
}

// A picture shares every key that did not change since the last one; a key
// that changed is pictured again, with every key above it.
TEST(SimRegistryScale, PicturesShareWhatDidNotChange) {
  sim::Reset(sim::Os::WinXP);
  sim::SetString("HKLM\\SOFTWARE\\A\\Deep", "v", "1");
  sim::SetString("HKLM\\SOFTWARE\\B", "v", "1");
  sim::CreateKey("HKCU\\Other");
  auto find = [](const sim::KeyPicturePtr &from, const std::vector<std::string> &path) {
    const sim::KeyPicture *p = from.get();
    sim::KeyPicturePtr found;
    for (const std::string &name : path) {
      found = nullptr;
      for (const auto &s : p->subkeys) {
        if (s.first == name) found = s.second;
      }
      if (!found) return found;
      p = found.get();
    }
    return found;
  };
  sim::KeyPicturePtr first = sim::PictureRegistry();
  sim::SetString("HKLM\\SOFTWARE\\A\\Deep", "v", "2");
  sim::KeyPicturePtr second = sim::PictureRegistry();
  struct Case {
    std::vector<std::string> path;
    bool same;
  } cases[] = {
      {{"HKLM", "SOFTWARE", "B"}, true},          {{"HKCU"}, true},
      {{"HKLM", "SOFTWARE", "A", "Deep"}, false}, {{"HKLM", "SOFTWARE", "A"}, false},
      {{"HKLM", "SOFTWARE"}, false},              {{"HKLM"}, false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    sim::KeyPicturePtr a = find(first, cases[i].path), b = find(second, cases[i].path);
    ASSERT_TRUE(a && b) << "case " << i;
    EXPECT_EQ(cases[i].same, a == b) << "case " << i;
  }
  EXPECT_EQ(std::string("1\0", 2), find(first, {"HKLM", "SOFTWARE", "A", "Deep"})->values[0].second.data);
  EXPECT_EQ(std::string("2\0", 2), find(second, {"HKLM", "SOFTWARE", "A", "Deep"})->values[0].second.data);
  // Nothing changed: the very same picture of every root.
  sim::KeyPicturePtr third = sim::PictureRegistry();
  for (size_t r = 0; r < 4; ++r) EXPECT_EQ(second->subkeys[r].second, third->subkeys[r].second) << "root " << r;
  // A deleted key and a value deleted through a handle show.
  sim::DeleteKeyTree("HKLM\\SOFTWARE\\A");
  HKEY b = NULL;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", &b));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(b, "v"));
  RegCloseKey(b);
  sim::KeyPicturePtr fourth = sim::PictureRegistry();
  EXPECT_FALSE(find(fourth, {"HKLM", "SOFTWARE", "A"}));
  EXPECT_TRUE(find(fourth, {"HKLM", "SOFTWARE", "B"})->values.empty());
  EXPECT_EQ(1u, find(third, {"HKLM", "SOFTWARE", "B"})->values.size());
}

// A key path far deeper than a stack allows recursion for: made, pictured,
// dumped, deleted while a handle holds a key inside it, and let go of.
TEST(SimRegistryScale, BranchOfAnyDepthIsHandledWithoutRecursion) {
  const int depth = 200000;
  sim::Reset(sim::Os::WinXP);
  std::string path = "HKCU\\Deep";
  for (int i = 0; i < depth; ++i) path += "\\k";
  {
    sim::KeyWriter bottom(path);
    bottom.Set("v", REG_SZ, std::string("x\0", 2));
  }
  HKEY deep = NULL;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_CURRENT_USER, path.substr(5, 2 * 1000 + 4).c_str(), &deep));
  sim::KeyPicturePtr before = sim::PictureRegistry();
  size_t levels = 0;
  for (const sim::KeyPicture *p = before->subkeys[1].second.get(); !p->subkeys.empty();
       p = p->subkeys[0].second.get()) {
    ++levels;
  }
  EXPECT_EQ(static_cast<size_t>(depth) + 1, levels);
  sim::DeleteKeyTree("HKCU\\Deep");
  EXPECT_FALSE(sim::KeyExists("HKCU\\Deep"));
  char name[8];
  EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(deep, 0, name, sizeof name));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(deep));
  before.reset();  // the last holder of the deep pictures
  sim::Reset(sim::Os::WinXP);
}

}  // namespace
