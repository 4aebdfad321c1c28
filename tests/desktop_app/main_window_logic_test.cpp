// The main window's decisions without a display: the phone log-in queue, the share edits as the
// service ends up with them, the data folder's paths, the transfer-log rows and the prompt's
// texts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/app/prompts/mobile_login_queue.h"
#include "desktop/app/main_window/share_edits.h"
#include "desktop/app/main_window/trans_log.h"
#include "desktop/foundation/data_paths.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_data.h"

namespace fs = std::filesystem;
using namespace desktop;

namespace {

MobileLoginRequest Request(uint32_t id, const std::string& sender = "phone") {
  MobileLoginRequest r{};
  std::snprintf(r.sender, sizeof r.sender, "%s", sender.c_str());
  r.requestId = id;
  r.age = 77;  // whatever the sender says, the queue counts from 0
  return r;
}

struct Answers {
  std::vector<std::pair<uint32_t, int>> sent;
  CMobileLoginQueue::Answer Sink() {
    return [this](const MobileLoginAnswer& a) { sent.emplace_back(a.requestId, a.accept); };
  }
};

TEST(MobileLoginQueue, OneAtATimeFirstInFirstOutDuplicatesIgnored) {
  Answers answers;
  CMobileLoginQueue q(answers.Sink());
  EXPECT_TRUE(q.Push(Request(0x0A000000, "first")));
  EXPECT_TRUE(q.Push(Request(0x0B000000, "second")));
  EXPECT_FALSE(q.Push(Request(0x0A000000, "first again")));  // waiting already
  auto open = q.TakeNext();
  ASSERT_TRUE(open);
  EXPECT_STREQ(open->sender, "first");
  EXPECT_EQ(open->age, 0u);
  EXPECT_FALSE(q.TakeNext());                                // one prompt at a time
  EXPECT_FALSE(q.Push(Request(0x0A000000)));                 // open already
  EXPECT_FALSE(q.AnswerOpen(0x0B000000, true));              // not the open one
  EXPECT_TRUE(q.AnswerOpen(0x0A000000, true));
  EXPECT_FALSE(q.AnswerOpen(0x0A000000, false));             // answered once only
  open = q.TakeNext();
  ASSERT_TRUE(open);
  EXPECT_STREQ(open->sender, "second");
  EXPECT_TRUE(q.AnswerOpen(0x0B000000, false));
  EXPECT_EQ(answers.sent, (std::vector<std::pair<uint32_t, int>>{{0x0A000000, 1}, {0x0B000000, 0}}));
  EXPECT_TRUE(q.Push(Request(0x0A000000)));  // a new question may reuse a finished id
}

TEST(MobileLoginQueue, RefusedOnExactlyTheTwentyFifthTickInQueueOrder) {
  Answers answers;
  CMobileLoginQueue q(answers.Sink());
  q.Push(Request(1));
  ASSERT_TRUE(q.TakeNext());  // 1 is open in its prompt
  q.Push(Request(2));
  q.Push(Request(3));
  for (int tick = 1; tick < 25; ++tick) {
    EXPECT_TRUE(q.Tick().empty()) << tick;
    if (tick == 10) q.Push(Request(4));
  }
  EXPECT_TRUE(answers.sent.empty());
  EXPECT_EQ(q.Tick(), (std::vector<uint32_t>{1, 2, 3}));  // the 25th tick
  EXPECT_TRUE(q.OpenExpired());
  EXPECT_EQ(answers.sent, (std::vector<std::pair<uint32_t, int>>{{1, 0}, {2, 0}, {3, 0}}));
  EXPECT_FALSE(q.AnswerOpen(1, true));  // the prompt closing late sends nothing more
  EXPECT_EQ(q.Waiting(), 1u);
  for (int tick = 26; tick < 35; ++tick) EXPECT_TRUE(q.Tick().empty()) << tick;
  EXPECT_EQ(q.Tick(), (std::vector<uint32_t>{4}));  // its own 25th tick
  EXPECT_EQ(answers.sent.size(), 4u);
}

TEST(MobileLoginQueue, ExitAnswersEachOnceAndThenNothing) {
  Answers answers;
  CMobileLoginQueue q(answers.Sink());
  q.Push(Request(1));
  q.Push(Request(2));
  q.TakeNext();
  q.Shutdown();
  q.Shutdown();
  EXPECT_EQ(answers.sent, (std::vector<std::pair<uint32_t, int>>{{1, 0}, {2, 0}}));
  EXPECT_FALSE(q.AnswerOpen(1, true));
  EXPECT_FALSE(q.Push(Request(3)));
  EXPECT_TRUE(q.Tick().empty());
  EXPECT_EQ(answers.sent.size(), 2u);

  // An open request that was answered already is not refused again at exit.
  Answers more;
  CMobileLoginQueue q2(more.Sink());
  q2.Push(Request(5));
  q2.TakeNext();
  for (int i = 0; i < 25; ++i) q2.Tick();
  q2.Shutdown();
  EXPECT_EQ(more.sent, (std::vector<std::pair<uint32_t, int>>{{5, 0}}));
}

TEST(MobileLoginQueue, TheRelayDeliversNothingOnceDetached) {
  CLoginRequestRelay relay;
  std::vector<uint32_t> got;
  EXPECT_FALSE(relay.Deliver(Request(1)));
  relay.Attach([&](const MobileLoginRequest& r) { got.push_back(r.requestId); });
  EXPECT_TRUE(relay.Deliver(Request(2)));
  relay.Detach();
  EXPECT_FALSE(relay.Deliver(Request(3)));
  EXPECT_EQ(got, (std::vector<uint32_t>{2}));
}

TEST(ConnectPrompt, NetworkTextsArePlainBoundedAndDecodedLeniently) {
  char field[64];
  std::memset(field, 'A', sizeof field);  // no zero byte: the field's width bounds it
  EXPECT_EQ(PromptText(field, sizeof field), std::wstring(64, L'A'));
  EXPECT_EQ(PromptText("Anna&s <b>phone</b>", 64), L"Anna&s <b>phone</b>");  // shown as it is
  EXPECT_EQ(PromptText("two\nlines\tand\rmore", 64), L"two lines and more");
  const std::wstring bad = PromptText("caf\xC3\xA9 \xFF!", 64);
  EXPECT_EQ(bad.substr(0, 4), L"caf\u00E9");
  EXPECT_EQ(bad.back(), L'!');
  EXPECT_EQ(PromptText("", 64), L"");
  EXPECT_EQ(PromptText(nullptr, 64), L"");
}

// The list of the shares page, as the fold and the undo see it.
struct FakeList : IShareList {
  std::vector<std::pair<std::string, std::string>> rows;
  int RowCount() const override { return static_cast<int>(rows.size()); }
  std::string RowText(int row, int column) const override {
    return column == 0 ? rows[static_cast<size_t>(row)].first : rows[static_cast<size_t>(row)].second;
  }
  void InsertRow(int at, const std::string& name, const std::string& path) override {
    rows.insert(rows.begin() + at, {name, path});
  }
  void DeleteRow(int row) override { rows.erase(rows.begin() + row); }
  std::vector<std::string> Paths() const {
    std::vector<std::string> p;
    for (const auto& r : rows) p.push_back(r.second);
    return p;
  }
};

TEST(ShareEdits, TheFoldGivesTheServiceTheSetTheUserSees) {
  using V = std::vector<std::string>;
  struct Step {
    int kind;  // 1 add, 2 remove
    std::string path;
  };
  const struct {
    const char* what;
    V service;
    std::vector<Step> edits;
    V result;
  } cases[] = {
      {"add one", {"/a"}, {{1, "/b"}}, {"/a", "/b"}},
      {"remove one", {"/a", "/b"}, {{2, "/a"}}, {"/b"}},
      {"added then removed: nothing", {"/a"}, {{1, "/b"}, {2, "/b"}}, {"/a"}},
      {"removed then added back: nothing", {"/a", "/b"}, {{2, "/a"}, {1, "/a"}}, {"/a", "/b"}},
      {"add twice", {}, {{1, "/b"}, {1, "/b"}}, {"/b"}},
      {"remove what is not shared", {"/a"}, {{2, "/z"}}, {"/a"}},
      {"exact comparison", {"/a"}, {{1, "/a/"}, {2, "/A"}}, {"/a", "/a/"}},
      {"mixed", {"/a", "/b", "/c"}, {{2, "/b"}, {1, "/d"}, {2, "/a"}, {1, "/b"}, {2, "/d"}}, {"/b", "/c"}},
  };
  for (const auto& c : cases) {
    CShareEdits edits;
    for (const Step& s : c.edits) {
      if (s.kind == 1) edits.Added(s.path);
      else edits.Removed(s.path, 0);
    }
    V adds, removes;
    edits.Fold(adds, removes);
    for (const V* v : {&adds, &removes})  // each path at most once, never in both
      for (const std::string& p : *v) EXPECT_EQ(std::count(v->begin(), v->end(), p), 1) << c.what;
    for (const std::string& p : adds) EXPECT_EQ(std::count(removes.begin(), removes.end(), p), 0) << c.what;
    EXPECT_EQ(MergeShareList(c.service, &adds, &removes), c.result) << c.what;
  }
}

TEST(ShareEdits, CancelPutsTheListBackAsItWas) {
  FakeList list;
  for (const char* p : {"/data/Quarlo", "/x", "/y"}) AddShareToList(p, -1, list);
  const std::vector<std::string> before = list.Paths();
  CShareEdits edits;
  AddShareToList("/p", -1, list);
  edits.Added("/p");
  AddShareToList("/q", -1, list);
  edits.Added("/q");
  const int row = FindShareInList("/x", list);
  list.DeleteRow(row);
  edits.Removed("/x", row);
  list.DeleteRow(FindShareInList("/p", list));
  edits.Removed("/p", 2);
  edits.Undo(list);
  EXPECT_EQ(list.Paths(), before);
}

TEST(DataPaths, BaseAndCategoryPathsComeFromPathComponents) {
  const struct {
    std::string dataFolder, base;
  } bases[] = {
      {"/Quarlo", "/"},
      {"/Quarlo/", "/"},
      {"/home/ann/Quarlo", "/home/ann"},
      {"/home/ann/Quarlo//", "/home/ann"},
      {"/home/Quarlo/data/Quarlo", "/home/Quarlo/data"},  // "Quarlo" earlier in the path
      {"/srv/MyQuarlo/Quarlo", "/srv/MyQuarlo"},
      {"/", ""},
      {"", ""},
  };
  for (const auto& b : bases) EXPECT_EQ(BaseFolderOf(b.dataFolder), b.base) << b.dataFolder;
  EXPECT_EQ(DataFolderUnder("/"), "/Quarlo");
  EXPECT_EQ(DataFolderUnder("/home/ann/"), "/home/ann/Quarlo");
  EXPECT_EQ(DataFolderUnder("/home/Quarlo"), "/home/Quarlo/Quarlo");
  EXPECT_EQ(DataFolderUnder(""), "");
  const DefShareInfo info = FillDefShareInfo("/media/Quarlo/");
  EXPECT_EQ(info.path[0], "/media/Quarlo/Quarlo");
  EXPECT_EQ(info.path[1], "/media/Quarlo/Quarlo/" + LocalizedFolderName("PICTURE"));
  EXPECT_EQ(info.path[5], info.path[1] + "/" + LocalizedFolderName("INSTANT"));
  EXPECT_EQ(FillDefShareInfo("/").path[4], "/Quarlo/" + LocalizedFolderName("DOCUMENT"));

  EXPECT_TRUE(SameFolder("/tmp/", "/tmp"));
  EXPECT_TRUE(SameFolder("/tmp/./x/..", "/tmp"));
  EXPECT_TRUE(FolderInside("/tmp/a/b", "/tmp/a"));
  EXPECT_TRUE(FolderInside("/tmp/a", "/tmp/a/"));
  EXPECT_FALSE(FolderInside("/tmp/ab", "/tmp/a"));
  EXPECT_TRUE(FolderInside("/tmp", "/"));
}

TEST(TransLog, SizeTextsAndRows) {
  const struct {
    int64_t size;
    const char* text;
  } sizes[] = {
      {-1, "1KB"},          {0, "1KB"},
      {500, "1KB"},         {1023, "1KB"},
      {1024, "1.00KB"},     {1536, "1.00KB"},
      {1048575, "1023.00KB"}, {1048576, "1.00MB"},
      {1572864, "1.50MB"},  {1073741824, "1.00GB"},
      {4294967295LL, "4.00GB"},
  };
  for (const auto& s : sizes) EXPECT_EQ(FormatFileSize(s.size), s.text) << s.size;

  EXPECT_FALSE(MakeTransLogRow("", "1KB", 0, "t"));
  const auto up = MakeTransLogRow("/home/ann/Quarlo/Photos/photo.jpg", "1KB", 0, "2026-12-11 01:00:00");
  ASSERT_TRUE(up);
  EXPECT_EQ(up->name, "photo.jpg");
  EXPECT_EQ(up->image, 1);
  EXPECT_EQ(up->time, "2026-12-11 01:00:00");
  const auto down = MakeTransLogRow("C:\\phone\\clip.final.mp4", "2.00MB", 1, "t");
  ASSERT_TRUE(down);
  EXPECT_EQ(down->name, "clip.final.mp4");
  EXPECT_EQ(down->image, 0);
  EXPECT_EQ(MakeTransLogRow("/x/noext", "1KB", 7, "t")->image, 0);
}

class MoveRefusals : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlo_refuse_XXXXXX";
    dir = mkdtemp(tmpl);
    data = dir + "/base/Quarlo";
    fs::create_directories(data + "/Files");
    std::ofstream(data + "/Files/a.txt") << "a";
    fs::create_directories(dir + "/taken/Quarlo");
    fs::create_directories(dir + "/free");
    fs::create_symlink(dir + "/base", dir + "/link-to-base");
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir, data;
};

TEST_F(MoveRefusals, EveryRefusalComesBeforeAnythingMoves) {
  const struct {
    std::string base;
    int want;
  } cases[] = {
      {dir + "/base", 1},              // the current base
      {dir + "/base/", 1},             // the same, written otherwise
      {dir + "/link-to-base", 1},      // the same, through a link
      {dir + "/free/../base", 1},
      {data, -1},                      // the data folder itself: it would go inside itself
      {data + "/Files", -1},           // inside the folder being moved
      {dir + "/taken", -1},            // a folder "Quarlo" is there already
      {dir + "/missing", -1},          // no such folder
      {"/usr/local", -1},              // a system folder
      {"/", -1},
      {"relative/path", -1},
      {"", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckDataFolderMove(data, c.base), c.want) << c.base;
    EXPECT_EQ(MoveDataFolder(data, c.base), c.want) << c.base;
    EXPECT_TRUE(fs::exists(data + "/Files/a.txt")) << c.base;
  }
  EXPECT_EQ(CheckDataFolderMove(data, dir + "/free"), 0);
  EXPECT_EQ(MoveDataFolder(data, dir + "/free"), 0);  // one file system: one rename
  EXPECT_TRUE(fs::exists(dir + "/free/Quarlo/Files/a.txt"));
  EXPECT_FALSE(fs::exists(data));
}

TEST_F(MoveRefusals, AnUndoneRenamePutsTheFolderBack) {
  bool renamed = false;
  ASSERT_EQ(CarryDataFolder(data, dir + "/free/Quarlo", renamed), 0);
  EXPECT_TRUE(renamed);
  EXPECT_EQ(UndoDataFolderCarry(data, dir + "/free/Quarlo", renamed), 0);
  EXPECT_TRUE(fs::exists(data + "/Files/a.txt"));
  EXPECT_FALSE(fs::exists(dir + "/free/Quarlo"));
}

}  // namespace
