#include "common/share_paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "common/os_layer.h"
#include "common/settings.h"
#include "tests/support/temp_base.h"

namespace {

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Real(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) ? buffer : "";
}

class SharePathsTest : public ::testing::Test {
 protected:
  void SetUp() override { m_base.OpenGlobalDb(); }

  std::string Path(const std::string& rel) const { return m_base.Dir() + "/" + rel; }
  void Link(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(0, symlink(target.c_str(), Path(rel).c_str())) << rel;
  }
  // d/share with a.txt, in/b.txt and two links (one staying inside, one out to d/outside).
  void LayOutShareWithLinks() const {
    m_base.MakeDir("d/outside");
    m_base.WriteFile("d/share/a.txt", "first");
    m_base.WriteFile("d/outside/a.txt", "outside");
    m_base.WriteFile("d/share/in/b.txt", "inner");
    Link(Path("d/share/in/b.txt"), "d/share/inlink");
    Link(Path("d/outside/a.txt"), "d/share/outlink");
  }

  TempBase m_base;
};

TEST_F(SharePathsTest, CheckSharePathComparesWholeCanonicalComponents) {
  m_base.MakeDir("tree/share/sub");
  m_base.MakeDir("tree/share2");
  m_base.MakeDir("tree/outside/deep");
  m_base.MakeDir("tree/trail/in");
  m_base.MakeDir("tree/def/album");
  m_base.MakeDir("tree/Case");
  m_base.MakeDir("tree/case");
  m_base.WriteFile("tree/share/file.txt", "x");
  Link(Path("tree/outside"), "tree/share/escape");        // a link inside pointing out
  Link(Path("tree/share/sub"), "tree/alias");             // a link outside pointing in
  Link(Path("tree/share"), "tree/sharelink");             // a share stored through a link
  m_base.SetShares({Path("tree/share"), "", Path("tree/trail") + "/", Path("tree/sharelink"),
                    Path("tree/Case")});
  DefaultDirSet defaults;  // only the default data folder is set; the others are empty
  defaults.def = Path("tree/def");
  m_base.SetDefaultDirs(defaults);

  const struct {
    const char* rel;
    int expected;
  } cases[] = {
      {"tree/share", 0},
      {"tree/share/", 0},
      {"tree/share/sub", 0},
      {"tree/share/./sub", 0},
      {"tree/share2", 4118},             // a sibling sharing the prefix
      {"tree/share/../outside", 4118},   // ".." is refused even when it exists
      {"tree/share/sub/..", 4118},
      {"tree/share/escape", 4118},       // resolves outside the share
      {"tree/share/escape/deep", 4118},
      {"tree/alias", 0},                 // resolves inside the share
      {"tree/trail", 0},                 // a share stored with a trailing "/" admits itself
      {"tree/trail/in", 0},
      {"tree/outside", 4118},            // the empty share entry admits nothing
      {"tree", 4118},                    // the parent of a share
      {"tree/def/album", 0},             // below the default data folder
      {"tree/case", 4118},               // the share "Case" in other letter case
      {"tree/missing", 4117},
      {"tree/share/missing", 4117},
      {"tree/share/file.txt", 4117},     // a file, not a folder
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, CheckSharePath(Path(c.rel))) << c.rel;
  EXPECT_EQ(4118, CheckSharePath("/"));
}

TEST_F(SharePathsTest, EmptySharesAndDefaultsAdmitNothing) {
  m_base.MakeDir("any");
  m_base.Exec("insert into qv_share(path) values (''); insert into qv_share(path) values (NULL);"
              "insert into qv_defshare values ('', '', '', '', '', '');");
  EXPECT_EQ(4118, CheckSharePath(Path("any")));
  EXPECT_EQ(4118, CheckSharePathIn(Path("any"), {"", " ", "\t"}));
  EXPECT_EQ(0, CheckSharePathIn(Path("any"), {"", Path("any")}));
}

TEST_F(SharePathsTest, CanonicalPathResolvesTheExistingPartAndRefusesEscapes) {
  m_base.MakeDir("c/share");
  Link(Path("c/nowhere"), "c/share/dangling");
  const std::string realShare = Real(Path("c/share"));
  ASSERT_FALSE(realShare.empty());
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {Path("c/share"), realShare},
      {Path("c//share/./"), realShare},
      {Path("c/share/new/deeper"), realShare + "/new/deeper"},  // not there yet: kept as given
      {Path("c/share/dangling"), ""},  // a create through it would land outside
      {Path("c/share/dangling/x"), ""},
      {Path("c/share/../share"), ""},
      {"relative/path", ""},
      {"", ""},
      {"/", "/"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, CanonicalPath(c.in)) << c.in;
}

TEST_F(SharePathsTest, ExpandDefaultPathReplacesOnlyALeadingToken) {
  DefaultDirSet d;
  d.def = "/d";
  d.pic = "/d/Pictures";
  d.music = "";
  d.video = "/d/Videos";
  d.doc = "/d/Documents";
  d.instant = "/d/Pictures/Instant";
  m_base.SetDefaultDirs(d);
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"$DEFAULT$", "/d"},
      {"$DEFAULT$/a/b.jpg", "/d/a/b.jpg"},
      {"$DEFAULT$x", "/dx"},
      {"$DEFAULT_PIC$/p.jpg", "/d/Pictures/p.jpg"},
      {"$DEFAULT_VIDEO$", "/d/Videos"},
      {"$DEFAULT_DOC$/a", "/d/Documents/a"},
      {"$DEFAULT_INSTANT$/i", "/d/Pictures/Instant/i"},
      {"$DEFAULT_MUSIC$/song.mp3", ""},  // its folder is empty
      {"$default$/a", "$default$/a"},
      {"/plain/$DEFAULT$/a", "/plain/$DEFAULT$/a"},
      {"$DEFAULT$/$DEFAULT$", "/d/$DEFAULT$"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, ExpandDefaultPath(c.in)) << c.in;
  EXPECT_EQ("/d/a/b", ExpandDefaultPath(NormalizePeerPath("$DEFAULT$\\a\\b")));
}

TEST_F(SharePathsTest, ExpandDefaultPathWithoutADefaultRowGivesEmpty) {
  EXPECT_EQ("", ExpandDefaultPath("$DEFAULT$/a"));
  EXPECT_EQ("/a", ExpandDefaultPath("/a"));
}

TEST(SharePathsPure, NormalizePeerPathTurnsBackslashesIntoSlashes) {
  EXPECT_EQ("/a/b/c.txt", NormalizePeerPath("\\a\\b/c.txt"));
  EXPECT_EQ("", NormalizePeerPath(""));
}

TEST_F(SharePathsTest, UniqueNamesTakeTheExtensionFromTheLastComponent) {
  m_base.WriteFile("s/a.jpg", "1");
  m_base.WriteFile("s/a.jpg.(0).jpg", "1");
  m_base.WriteFile("s/my.dir/readme", "1");
  m_base.WriteFile("s/noext", "1");
  m_base.MakeDir("s/folder.d");
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {Path("s/free.txt"), Path("s/free.txt")},
      {Path("s/a.jpg"), Path("s/a.jpg.(1).jpg")},
      {Path("s/my.dir/readme"), Path("s/my.dir/readme.(0)")},
      {Path("s/noext"), Path("s/noext.(0)")},
      {Path("s/folder.d"), Path("s/folder.d.(0).d")},  // a folder takes the name too
  };
  for (const auto& c : cases) {
    std::string out;
    GetUniqueFileName(c.in, out);
    EXPECT_EQ(c.out, out) << c.in;
  }
}

TEST(SharePathsPure, FreeNumberedNamesKeepEachCallersSuffix) {
  // The names taken already; the rule hands out the first ".(n)" name past them.
  const std::set<std::string> taken = {"a.jpg.(0).jpg", "t.mp4.(0)quarlo.rename",
                                       "t.mp4.(1)quarlo.rename"};
  const struct {
    std::string base;
    bool keepBareDot;
    std::string suffix;  // "" for the extension rule
    std::string out;
  } cases[] = {
      {"a.jpg", false, "", "a.jpg.(1).jpg"},
      {"noext", false, "", "noext.(0)"},
      {"/s/my.dir/readme", false, "", "/s/my.dir/readme.(0)"},  // a folder's dot is no extension
      {"/s/a.tar.gz", false, "", "/s/a.tar.gz.(0).gz"},
      {".hidden", false, "", ".hidden.(0).hidden"},
      {"bare.", false, "", "bare..(0)"},
      {"bare.", true, "", "bare..(0)."},  // how uploads publish such a name
      {"t.mp4", false, kRenameSuffix, "t.mp4.(2)quarlo.rename"},  // temporary names
  };
  for (const auto& c : cases) {
    const std::string suffix = c.suffix.empty() ? FreeNameSuffix(c.base, c.keepBareDot) : c.suffix;
    EXPECT_EQ(c.out, FreeNumberedName(c.base, suffix, [&](const std::string& name) {
                return taken.count(name) == 0;
              }))
        << c.base;
  }
}

TEST_F(SharePathsTest, CreateDirPathMakesEachMissingFolder) {
  m_base.WriteFile("blocker", "x");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0, CreateDirPath(Path("n/a/b/c")));
  struct stat st;
  ASSERT_EQ(0, stat(Path("n/a/b/c").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0755u & ~mask, st.st_mode & 0777);
  EXPECT_EQ(0, CreateDirPath(Path("n/a/b/c")));      // existing
  EXPECT_EQ(0, CreateDirPath(Path("n//x/y/")));      // doubled and trailing "/"
  EXPECT_TRUE(PathExists(Path("n/x/y")));
  EXPECT_EQ(-1, CreateDirPath("nosep"));
  EXPECT_EQ(-1, CreateDirPath(Path("blocker/sub")));  // a file in the way
  EXPECT_FALSE(PathExists(Path("blocker/sub")));
}

TEST_F(SharePathsTest, DeleteFilesBySuffixRemovesOnlyMatchingFilesAndLinksOfThatFolder) {
  m_base.WriteFile("up/a.jpgquarlo.rename", "x");
  m_base.WriteFile("up/b.mp4quarlo.renametmp", "x");
  m_base.WriteFile("up/keep.jpg", "x");
  m_base.WriteFile("up/quarlo.rename.not", "x");
  m_base.WriteFile("up/sub/c.jpgquarlo.rename", "x");
  m_base.MakeDir("up/dir.quarlo.rename");
  const std::string target = m_base.WriteFile("elsewhere/t.quarlo.rename", "keep me");
  Link(target, "up/link.quarlo.rename");
  Link(Path("gone"), "up/dangling.quarlo.rename");

  DeleteFilesBySuffix(Path("up").c_str(), "quarlo.rename");
  EXPECT_FALSE(PathExists(Path("up/a.jpgquarlo.rename")));
  EXPECT_FALSE(PathExists(Path("up/link.quarlo.rename")));
  EXPECT_FALSE(PathExists(Path("up/dangling.quarlo.rename")));
  EXPECT_TRUE(PathExists(target));  // a link goes, its target stays
  EXPECT_TRUE(PathExists(Path("up/b.mp4quarlo.renametmp")));
  EXPECT_TRUE(PathExists(Path("up/keep.jpg")));
  EXPECT_TRUE(PathExists(Path("up/quarlo.rename.not")));
  EXPECT_TRUE(PathExists(Path("up/sub/c.jpgquarlo.rename")));  // sub-folders are not searched
  EXPECT_TRUE(PathExists(Path("up/dir.quarlo.rename")));

  DeleteFilesBySuffix(Path("up/").c_str(), "quarlo.renametmp");
  EXPECT_FALSE(PathExists(Path("up/b.mp4quarlo.renametmp")));
  // Missing arguments, an empty suffix or a missing folder do nothing.
  DeleteFilesBySuffix(nullptr, "x");
  DeleteFilesBySuffix(Path("up").c_str(), nullptr);
  DeleteFilesBySuffix(Path("up").c_str(), "");
  DeleteFilesBySuffix(Path("nope").c_str(), "jpg");
  EXPECT_TRUE(PathExists(Path("up/keep.jpg")));
}

TEST_F(SharePathsTest, DeleteRenameFilesCleansTheCategoryFoldersOnly) {
  const DefaultDirSet d = m_base.MakeDefaultDirs("data");
  for (const std::string* dir : {&d.pic, &d.music, &d.video, &d.doc, &d.instant}) {
    m_base.WriteFile(dir->substr(m_base.Dir().size() + 1) + "/x.jpgquarlo.rename", "1");
    m_base.WriteFile(dir->substr(m_base.Dir().size() + 1) + "/x.jpgquarlo.renametmp", "1");
  }
  m_base.WriteFile("data/top.jpgquarlo.rename", "1");
  DeleteRenameFiles();
  for (const std::string* dir : {&d.pic, &d.music, &d.video, &d.doc, &d.instant}) {
    EXPECT_FALSE(PathExists(*dir + "/x.jpgquarlo.rename")) << *dir;
    EXPECT_FALSE(PathExists(*dir + "/x.jpgquarlo.renametmp")) << *dir;
  }
  EXPECT_TRUE(PathExists(Path("data/top.jpgquarlo.rename")));
}

TEST_F(SharePathsTest, SubFileListPutsFoldersFirstWithSixtyFourBitSizes) {
  m_base.MakeDir("list/zdir");
  m_base.MakeDir("list/adir");
  m_base.WriteFile("list/small.txt", "hello");
  const std::string big = Path("list/big.bin");
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 5000000000LL));  // sparse: no disk space needed
  close(fd);
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, Path("list/small.txt").c_str(), times, 0));

  std::vector<SubFileInfo> out(1);  // appended to, never cleared
  GetSubFileList(Path("list"), out);
  ASSERT_EQ(5u, out.size());
  std::vector<int> types;
  std::vector<std::string> dirs, files;
  for (size_t i = 1; i < out.size(); ++i) {
    types.push_back(out[i].type);
    if (out[i].type == 0) {
      EXPECT_EQ(0u, out[i].size);
      dirs.push_back(out[i].name);
    } else {
      files.push_back(out[i].name);
      if (out[i].name == "big.bin") {
        EXPECT_EQ(5000000000ULL, out[i].size);
      }
      if (out[i].name == "small.txt") {
        EXPECT_EQ(5u, out[i].size);
        EXPECT_EQ(OS_TimeToStr(1000000000), out[i].time);
      }
    }
  }
  EXPECT_EQ((std::vector<int>{0, 0, 1, 1}), types);  // folders first
  std::sort(dirs.begin(), dirs.end());
  std::sort(files.begin(), files.end());
  EXPECT_EQ((std::vector<std::string>{"adir", "zdir"}), dirs);
  EXPECT_EQ((std::vector<std::string>{"big.bin", "small.txt"}), files);

  std::vector<SubFileInfo> empty;
  GetSubFileList(m_base.MakeDir("list/zdir"), empty);
  EXPECT_TRUE(empty.empty());
}

TEST(SharePathsPure, ProgramAndBaseFolderComeFromTheProgramsOwnPath) {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  const std::string self(exe, static_cast<size_t>(n));
  const std::string programDir = self.substr(0, self.rfind('/'));
  std::string dir = "stale";
  ASSERT_EQ(0, GetProgramDir(dir));
  EXPECT_EQ(programDir, dir);
  std::string base;
  ASSERT_EQ(0, GetBaseDir(base));
  EXPECT_EQ(programDir.substr(0, programDir.rfind('/')), base);
}

TEST(SharePathsPure, CodePageNameFollowsTheLocalesCharacterSet) {
  const struct {
    const char* codeSet;
    const char* name;
  } cases[] = {{"UTF-8", "en"},    {"GB2312", "gb2312"}, {"GBK", "gb2312"},
               {"GB18030", "gb2312"}, {"gb2312", "gb2312"}, {"BIG5", "big5"},
               {"Big5", "big5"},   {"BIG5-HKSCS", "en"},  {"ISO-8859-1", "en"},
               {"ANSI_X3.4-1968", "en"}, {"", "en"}};
  for (const auto& c : cases) EXPECT_EQ(c.name, DefLanguageEncodeFor(c.codeSet)) << c.codeSet;
  const std::string current = GetDefLanguageEncode();
  EXPECT_TRUE(current == "en" || current == "gb2312" || current == "big5") << current;
}

}  // namespace

namespace {

// What OpenSharedPath gives for a file: its first bytes and the name it was opened as, or why
// not ("refused" for EACCES, "missing" for ENOENT).
// With OpenSharedPathCached: "left" for a path it leaves to OpenSharedPath (EAGAIN).
std::string ReadShared(const std::string& path, std::string* opened = nullptr,
                       int (*open)(const std::string&, int, std::string*) = OpenSharedPath) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK, opened);
  if (fd < 0) {
    if (errno == EAGAIN) return "left";
    return errno == EACCES ? "refused" : errno == ENOENT ? "missing" : "errno " + std::to_string(errno);
  }
  char buf[64] = {0};
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  return n < 0 ? "unreadable" : std::string(buf, static_cast<size_t>(n));
}

}  // namespace

// The folders are held open from the first request on: what happens to a share on disk after
// that (renamed, made anew, removed, made only later, a link swapped in) is what counts, never
// what the table opened.
TEST_F(SharePathsTest, OpenSharedPathFollowsWhatTheSharesAreOnDisk) {
  LayOutShareWithLinks();
  m_base.SetShares({Path("d/share"), Path("d/later")});
  const std::string real = Real(Path("d/share"));

  std::string opened;
  EXPECT_EQ(ReadShared(Path("d/share/a.txt"), &opened), "first");
  EXPECT_EQ(opened, real + "/a.txt");
  EXPECT_EQ(ReadShared(real + "/in/b.txt", &opened), "inner") << "spelled as it really lies";
  EXPECT_EQ(ReadShared(Path("d/share/inlink"), &opened), "inner") << "a link that stays inside";
  EXPECT_EQ(opened, real + "/in/b.txt");
  EXPECT_EQ(ReadShared(Path("d/share/outlink")), "refused");
  EXPECT_EQ(ReadShared(Path("d/share/../outside/a.txt")), "refused");
  EXPECT_EQ(ReadShared(Path("d/outside/a.txt")), "refused");
  EXPECT_EQ(ReadShared(Path("d/share")), "unreadable") << "the share itself opens as its folder";
  EXPECT_EQ(ReadShared(Path("d/share/none")), "missing");

  // Renamed away and made anew under its name: the new folder is the share.
  ASSERT_EQ(0, rename(Path("d/share").c_str(), Path("d/old").c_str()));
  m_base.WriteFile("d/share/a.txt", "second");
  EXPECT_EQ(ReadShared(Path("d/share/a.txt")), "second");
  EXPECT_EQ(ReadShared(Path("d/old/a.txt")), "refused");

  // Gone: nothing, and nothing of the folder it was.
  ASSERT_EQ(0, rename(Path("d/share").c_str(), Path("d/old2").c_str()));
  EXPECT_EQ(ReadShared(Path("d/share/a.txt")), "missing");
  EXPECT_EQ(ReadShared(Path("d/old2/a.txt")), "refused");

  // Stored by a name that leads elsewhere now: the share is what its name names.
  Link(Path("d/outside"), "d/share");
  EXPECT_EQ(ReadShared(Path("d/share/a.txt"), &opened), "outside");
  EXPECT_EQ(opened, Real(Path("d/outside")) + "/a.txt");

  // Missing when the table was read, made afterwards.
  m_base.WriteFile("d/later/c.txt", "later");
  EXPECT_EQ(ReadShared(Path("d/later/c.txt")), "later");
  EXPECT_EQ(ReadShared(Path("d/later/c.txt")), "later");
}

// The open for a thread that must not wait: it opens only what OpenSharedPath would open the
// same way, and leaves everything else to it (EAGAIN), refusals included.
TEST_F(SharePathsTest, CachedOpenTakesOnlyTheCommonCaseAndLeavesTheRestToTheFullCheck) {
  LayOutShareWithLinks();
  m_base.SetShares({Path("d/share")});
  const std::string real = Real(Path("d/share"));
  const auto cached = [](const std::string& path, std::string* opened = nullptr) {
    return ReadShared(path, opened, OpenSharedPathCached);
  };
  ASSERT_EQ(ReadShared(Path("d/share/a.txt")), "first");  // the lookups are cached now
  std::string opened;
  EXPECT_EQ(cached(Path("d/share/a.txt"), &opened), "first");
  EXPECT_EQ(opened, real + "/a.txt");
  EXPECT_EQ(cached(real + "/in/b.txt"), "inner");
  // Links inside the share and out of it, a step out, outside every share, missing.
  for (const char* path : {"d/share/inlink", "d/share/outlink", "d/share/../outside/a.txt",
                           "d/outside/a.txt", "d/share/none"}) {
    EXPECT_EQ(cached(Path(path)), "left") << path;
  }
  EXPECT_EQ(cached(Path("d/share")), "unreadable") << "the share itself opens as its folder";

  // Renamed away and made anew under its name: the full check finds the new folder.
  ASSERT_EQ(0, rename(Path("d/share").c_str(), Path("d/old").c_str()));
  m_base.WriteFile("d/share/a.txt", "second");
  EXPECT_EQ(cached(Path("d/old/a.txt")), "left");
  EXPECT_NE(cached(Path("d/share/a.txt")), "first");
  EXPECT_EQ(ReadShared(Path("d/share/a.txt")), "second");
}
