// Ordering and numbering before layout: unique ISO names, path-table order, sorted lists.
#include <random>

#include "tree_support.h"

namespace torvik {
namespace {

// The path-table ordering done the slow way: number by position, sort by (parent number,
// collated name), repeat until a pass changes nothing. The tree computes the same order
// directly; this is the yardstick.
std::vector<pDirEntry> ReferencePathTable(const TCDFiles& cd) {
  std::vector<pDirEntry> p;
  for (const auto& d : cd.Dirs) p.push_back(d.get());
  for (int pass = 0; pass < 1000; ++pass) {
    for (size_t i = 0; i < p.size(); ++i) p[i]->number = uint16_t(i + 1);
    std::vector<pDirEntry> sorted = p;
    std::sort(sorted.begin() + 1, sorted.end(), [](pDirEntry a, pDirEntry b) {
      if (a->Parent->number != b->Parent->number) return a->Parent->number < b->Parent->number;
      return CollateText(a->LongName, b->LongName) < 0;
    });
    bool stable = true;
    for (size_t i = 1; i < sorted.size(); ++i)
      if (sorted[i]->Parent->number < sorted[i - 1]->Parent->number ||
          sorted[i]->number < sorted[i - 1]->number)
        stable = false;
    p = sorted;
    if (stable) break;
  }
  return p;
}

TEST_F(TreeTest, PathTableIsBreadthFirstWithSiblingsByName) {
  CreateDirW(cd, u"\\", u"b");
  CreateDirW(cd, u"\\", u"A");
  CreateDirW(cd, u"\\", u"a2");
  CreateDirW(cd, u"\\b", u"z");
  CreateDirW(cd, u"\\b", u"Y");
  CreateDirW(cd, u"\\A", u"c");
  CreateDirW(cd, u"\\b\\z", u"deep");
  AddMem(u"\\", u"file-between");
  OrderTree(cd);
  std::vector<std::u16string> order;
  for (pDirEntry d : cd.PathTableEntries) order.push_back(d->LongName);
  EXPECT_EQ(order, (std::vector<std::u16string>{u"", u"A", u"a2", u"b", u"c", u"Y", u"z", u"deep"}));
  for (size_t i = 0; i < cd.PathTableEntries.size(); ++i) {
    EXPECT_EQ(cd.PathTableEntries[i]->number, i + 1);
    if (i > 0) {
      EXPECT_GE(cd.PathTableEntries[i]->Parent->number,
                cd.PathTableEntries[i - 1]->Parent->number);
    }
  }
  EXPECT_EQ(ResolveDestPath(cd, u"\\b\\z\\deep")->depth, 3);
  EXPECT_EQ(cd.Dirs[1]->LongName, u"b");  // creation order stays in Dirs
}

TEST_F(TreeTest, PathTableMatchesTheRepeatedSortOnRandomTrees) {
  std::mt19937 rng(20121221);
  for (int round = 0; round < 5; ++round) {
    ClearAll(cd);
    for (int i = 0; i < 300; ++i) {
      pDirEntry parent = cd.Dirs[rng() % cd.Dirs.size()].get();
      if (parent->depth >= 7) continue;
      std::u16string name;
      for (int k = 0, n = 1 + int(rng() % 3); k < n; ++k) name.push_back(u"aAbB_ä"[rng() % 6]);
      name += char16_t(u'0' + i % 10);
      CreateDirW(cd, DirectoryPathText(parent), name);
    }
    OrderTree(cd);
    const std::vector<pDirEntry> computed = cd.PathTableEntries;
    EXPECT_EQ(ReferencePathTable(cd), computed) << round;
  }
}

TEST_F(TreeTest, SameIsoNamesGetNumberedTails) {
  struct Case {
    std::u16string name, alt;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {u"LongFileName1.txt", u"", "LongFileName."},
      {u"LongFileName2.txt", u"", "LongFileNa~1."},  // 13 bytes, as before
      {u"LongFileName3.txt", u"", "LongFileNa~2."},
      {u"first", u"data.txt", "data.txt"},
      {u"second", u"DATA.TXT", "DATA~1.TXT"},         // case does not make ISO names differ
      {u"one", u"A.", "A."},
      {u"two", u"a.", "a~2."},                        // ~1 belongs to a later entry already
      {u"three", u"A~1.", "A~1."},
  };
  for (const Case& c : cases) ASSERT_NE(AddMem(u"\\", c.name, 1, c.alt), nullptr);
  pDirEntry p1 = CreateDirW(cd, u"\\", u"Photographs A");
  pDirEntry p2 = CreateDirW(cd, u"\\", u"Photographs B");
  OrderTree(cd);
  for (const Case& c : cases) {
    const pFileEntry e = cd.Files[size_t(FindFileW(cd, u"\\", c.name))].get();
    EXPECT_EQ(e->ShortName, c.expected) << Utf16ToUtf8(c.name);
    EXPECT_EQ(e->FileNameLength, c.expected.size());
  }
  EXPECT_EQ(p1->ShortName, "PHOTOGRAPHS");
  EXPECT_EQ(p2->ShortName, "PHOTOGRAPH~1");
  EXPECT_EQ(p2->Entry->ShortName, "PHOTOGRAPH~1");
  EXPECT_EQ(p2->DirNameLength, 12);

  // Running it again changes nothing.
  OrderTree(cd);
  EXPECT_EQ(p2->ShortName, "PHOTOGRAPH~1");
  EXPECT_EQ(cd.Files[size_t(FindFileW(cd, u"\\", u"two"))]->ShortName, "a~2.");
}

TEST_F(TreeTest, ThousandsOfClashingNamesAllGetTheirOwn) {
  std::u16string name = u"a_long_prefix_0000.dat";
  for (int i = 0; i < 5000; ++i) {
    for (int k = 17, v = i; k >= 14; --k, v /= 10) name[size_t(k)] = char16_t(u'0' + v % 10);
    ASSERT_NE(AddMem(u"\\", name), nullptr);
  }
  OrderTree(cd);
  std::vector<std::string> names = ShortNames(cd.RootDir);
  ASSERT_EQ(names.size(), 5000u);
  for (size_t i = 1; i < names.size(); ++i) EXPECT_LT(CompareAsciiI(names[i - 1], names[i]), 0);
  for (const std::string& n : names) {
    EXPECT_LE(n.size(), 13u) << n;
    EXPECT_EQ(n.back(), '.') << n;
  }
  EXPECT_EQ(cd.Files[0]->ShortName, "a_long_prefi.");
  EXPECT_EQ(cd.Files[4999]->ShortName, "a_long_~4999.");
}

TEST_F(TreeTest, EntryListsAreSortedByIsoName) {
  AddMem(u"\\", u"zeta.txt");
  CreateDirW(cd, u"\\", u"Middle");
  AddMem(u"\\", u"alpha.TXT");
  AddMem(u"\\", u"LongFileName1.txt");
  AddMem(u"\\", u"LongFileName2.txt");
  AddMem(u"\\", u"Beta");
  AddMem(u"\\Middle", u"b");
  AddMem(u"\\Middle", u"A");
  OrderTree(cd);
  EXPECT_EQ(ShortNames(cd.RootDir), (std::vector<std::string>{"alpha.TXT", "Beta.", "LongFileName.",
                                                              "LongFileNa~1.", "MIDDLE", "zeta.txt"}));
  EXPECT_EQ(ShortNames(ResolveDestPath(cd, u"\\Middle")), (std::vector<std::string>{"A.", "b."}));
  EXPECT_EQ(cd.RootDir->LastFile->ShortName, "zeta.txt");
  EXPECT_EQ(cd.RootDir->LastFile->NextFile, nullptr);
  // Look-ups and appends still work on the sorted lists.
  EXPECT_NE(AddMem(u"\\", u"aaa"), nullptr);
  EXPECT_EQ(cd.RootDir->LastFile->LongName, u"aaa");
  EXPECT_EQ(FindFileW(cd, u"\\", u"ZETA.txt"), 0);
}

}  // namespace
}  // namespace torvik
