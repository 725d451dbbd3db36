// Names each hierarchy writes: Joliet's 103-unit limit and forbidden characters, ISO 9660:1999's
// 207-byte limit, uniqueness within a directory and records that fit their length byte.
#include <gtest/gtest.h>

#include <set>

#include "iso_test_support.h"
#include "platform/bvkText.h"

namespace torvik::test {
namespace {

class IsoNamesTest : public IsoLayoutTestBase {
 protected:
  std::set<std::u16string> FoldedJolietNames(const TDirEntry& d) {
    std::set<std::u16string> out;
    for (pFileEntry e = d.Files; e; e = e->NextFile) out.insert(FoldCase(e->JolietName));
    return out;
  }

  static bool ValidUtf8(const std::string& s) {
    return Utf16ToUtf8(Utf8ToUtf16(s)) == s && s.find("\xEF\xBF\xBD") == std::string::npos;
  }

  static bool HasLoneSurrogate(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
        if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return true;
        ++i;
      } else if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
        return true;
      }
    }
    return false;
  }
};

std::u16string Repeat(std::u16string_view unit, size_t n) {
  std::u16string s;
  for (size_t i = 0; i < n; ++i) s += unit;
  return s;
}

TEST_F(IsoNamesTest, NamesThatFitAreWrittenUnchanged) {
  cd.ISO9660v1999FS = true;
  pFileEntry a = AddFile(u"\\", u"Größe & Maß.txt", 1);
  pFileEntry b = AddFile(u"\\", Repeat(u"j", 103), 1);
  Prepare(cd);
  EXPECT_EQ(a->JolietName, u"Größe & Maß.txt");
  EXPECT_EQ(a->ISO1999Name, "Gr\xC3\xB6\xC3\x9F" "e & Ma\xC3\x9F.txt");
  EXPECT_EQ(b->JolietName, Repeat(u"j", 103));
  // The tree's own lengths stay those of the names it holds.
  EXPECT_EQ(b->FileNameLengthJ, 103);
}

TEST_F(IsoNamesTest, OverlongJolietNamesAreShortenedKeepingExtensionAndUniqueness) {
  const std::u16string stem = Repeat(u"Long name part ", 13);  // 195 units
  pFileEntry a = AddFile(u"\\", stem + u"A.pdf", 1);
  pFileEntry b = AddFile(u"\\", stem + u"B.pdf", 1);
  pFileEntry c = AddFile(u"\\", stem + u"C.pdf", 1);
  PrepareAndBuild();
  for (pFileEntry e : {a, b, c}) {
    EXPECT_LE(e->JolietName.size(), 103u);
    EXPECT_TRUE(e->JolietName.ends_with(u".pdf"));
    EXPECT_EQ(e->JolietName.substr(0, 20), stem.substr(0, 20));
  }
  EXPECT_EQ(FoldedJolietNames(*cd.RootDir).size(), 3u);
  // Every record fits its length byte and carries the derived name.
  std::set<std::vector<uint8_t>> written;
  for (auto& r : JolietRecords(*cd.RootDir)) {
    EXPECT_LE(r.Length, 255);
    written.insert(r.Id);
  }
  for (pFileEntry e : {a, b, c}) EXPECT_TRUE(written.count(Ucs2BE(e->JolietName)));
}

TEST_F(IsoNamesTest, ForbiddenJolietCharactersBecomeUnderscoresWithoutCollisions) {
  pFileEntry plain = AddFile(u"\\", u"what_.txt", 1);
  pFileEntry q = AddFile(u"\\", u"what?.txt", 1);
  pFileEntry star = AddFile(u"\\", u"What*.txt", 1);
  pFileEntry ctl = AddFile(u"\\", u"tab\there:semi;colon", 1);
  AddDir(u"\\", u"dir:with*stars");
  Prepare(cd);
  EXPECT_EQ(plain->JolietName, u"what_.txt");  // an unchanged name keeps its place
  EXPECT_EQ(ctl->JolietName, u"tab_here_semi_colon");
  std::set<std::u16string> mapped{FoldCase(q->JolietName), FoldCase(star->JolietName)};
  EXPECT_EQ(mapped, (std::set<std::u16string>{u"what_~1.txt", u"what_~2.txt"}));
  EXPECT_EQ(cd.Dirs[1]->Entry->JolietName, u"dir_with_stars");
  EXPECT_EQ(FoldedJolietNames(*cd.RootDir).size(), 5u);
}

TEST_F(IsoNamesTest, JolietCutNeverSplitsASurrogatePair) {
  // U+1F600 takes units 102 and 103; the cut at 103 units must keep or drop it whole.
  pFileEntry e = AddFile(u"\\", Repeat(u"a", 101) + u"\U0001F600" + Repeat(u"b", 20), 1);
  pFileEntry f = AddFile(u"\\", Repeat(u"c", 102) + u"\U0001F600" + u"tail", 1);
  Prepare(cd);
  for (pFileEntry x : {e, f}) {
    EXPECT_LE(x->JolietName.size(), 103u);
    EXPECT_FALSE(HasLoneSurrogate(x->JolietName));
  }
  EXPECT_EQ(e->JolietName, Repeat(u"a", 101) + u"\U0001F600");
  EXPECT_EQ(f->JolietName, Repeat(u"c", 102));
}

TEST_F(IsoNamesTest, ISO9660v1999NamesStopAt207BytesOnACharacterBoundary) {
  cd.ISO9660v1999FS = true;
  const std::u16string stem = Repeat(u"é", 200);  // 400 bytes of UTF-8
  pFileEntry a = AddFile(u"\\", stem + u"1.txt", 1);
  pFileEntry b = AddFile(u"\\", stem + u"2.txt", 1);
  AddDir(u"\\", Repeat(u"ü", 150));  // 300 bytes
  PrepareAndBuild();
  pFileEntry dir = cd.Dirs[1]->Entry;
  for (pFileEntry e : {a, b, dir}) {
    EXPECT_LE(e->ISO1999Name.size(), 207u);
    EXPECT_GT(e->ISO1999Name.size(), 190u);  // shortened, not emptied
    EXPECT_TRUE(ValidUtf8(e->ISO1999Name)) << e->ISO1999Name;
  }
  EXPECT_TRUE(a->ISO1999Name.ends_with(".txt"));
  EXPECT_TRUE(b->ISO1999Name.ends_with(".txt"));
  EXPECT_NE(a->ISO1999Name, b->ISO1999Name);

  // Sizes follow the bytes written: the path table record of the folder and every record.
  const uint32_t n = uint32_t(dir->ISO1999Name.size());
  EXPECT_EQ(cd.PathTableWidth, 10u + 8 + n + n % 2);
  for (auto& r : IsoRecords(*cd.RootDir)) EXPECT_LE(r.Length, 255);
  auto recs = IsoRecords(*cd.RootDir);
  std::set<std::string> ids;
  for (size_t i = 2; i < recs.size(); ++i) ids.insert(std::string(recs[i].Id.begin(), recs[i].Id.end()));
  EXPECT_EQ(ids, (std::set<std::string>{a->ISO1999Name, b->ISO1999Name, dir->ISO1999Name}));
}

TEST_F(IsoNamesTest, ISO9660v1999MapsSlashesAndControls) {
  cd.ISO9660v1999FS = true;
  // The tree refuses such names; an imported session may still carry them.
  pFileEntry e = AddFile(u"\\", u"abc.txt", 1);
  e->LongName = u"a/b\x01" u"c.txt";
  Prepare(cd);
  EXPECT_EQ(e->ISO1999Name, "a_b_c.txt");
}

TEST_F(IsoNamesTest, HierarchyThatIsOffGetsNoNames) {
  cd.JolietFS = false;
  pFileEntry e = AddFile(u"\\", u"name.txt", 1);
  Prepare(cd);
  EXPECT_TRUE(e->JolietName.empty());
  EXPECT_TRUE(e->ISO1999Name.empty());
}

TEST_F(IsoNamesTest, LongestAcceptedNamesGiveRecordsWithinLimits) {
  // 217 units is the longest name the tree accepts; each hierarchy still gets a valid record.
  cd.ISO9660v1999FS = true;
  for (int i = 0; i < 5; ++i) {
    std::u16string name = Repeat(u"\u4E2D", 212) + u".t";
    name += char16_t(u'0' + i);
    name += u"xt";
    AddFile(u"\\", name, 1);
  }
  PrepareAndBuild();
  for (auto& r : IsoRecords(*cd.RootDir)) EXPECT_LE(r.Length, 255);
  for (auto& r : JolietRecords(*cd.RootDir)) EXPECT_LE(r.Length, 255);
  EXPECT_EQ(FoldedJolietNames(*cd.RootDir).size(), 5u);
  std::set<std::string> iso;
  for (pFileEntry e = cd.RootDir->Files; e; e = e->NextFile) {
    EXPECT_LE(e->ISO1999Name.size(), 207u);
    EXPECT_TRUE(ValidUtf8(e->ISO1999Name));
    iso.insert(e->ISO1999Name);
  }
  EXPECT_EQ(iso.size(), 5u);
}

}  // namespace
}  // namespace torvik::test
