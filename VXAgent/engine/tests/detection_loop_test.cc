#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <set>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/engine/spy_item_list.h"

namespace engine {
namespace {

// What the fake traces do, by trace string.
struct World {
  std::set<std::string> present;
  std::set<std::string> removal_fails;
  std::set<std::string> quarantine_fails;
  std::vector<std::string> calls;  // "Remove:<trace>:<mode>", "Quarantine:<trace>"
};

class FakeItem : public CSpyItem {
 public:
  FakeItem(std::string trace, std::string spy, World* world)
      : CSpyItem(std::move(trace), std::move(spy)), world_(world) {}
  std::unique_ptr<CSpyItem> Clone() const override { return std::make_unique<FakeItem>(*this); }
  bool IsPresent() override { return world_->present.count(trace()) != 0; }
  int Quarantine() override {
    world_->calls.push_back("Quarantine:" + trace());
    return world_->quarantine_fails.count(trace()) ? kTraceFailed : kTraceDone;
  }
  int Remove(const std::string& spy, const std::string& trace, const std::string& type,
             int mode) override {
    world_->calls.push_back("Remove:" + spy + ":" + trace + ":" + type + ":" + std::to_string(mode));
    return world_->removal_fails.count(trace) ? kTraceFailed : kTraceDone;
  }
  std::string GetTypeName() const override { return "File"; }

 private:
  World* world_;
};

class FakeList : public CSpyItemList {
 public:
  explicit FakeList(World* world) : world_(world) {}
  void AddDefinitions(const std::string& spy, const std::vector<std::string>& defs) override {
    for (const auto& d : defs) Append(std::make_unique<FakeItem>(d, spy, world_));
  }
  void AddTemplateFor(const std::string& key, const std::string& path) {
    AddTemplate(key, std::make_unique<FakeItem>(path, "Spy", world_));
  }

 private:
  World* world_;
};

class FakeScanner : public SpyScannerInterface {
 public:
  explicit FakeScanner(int action = kActionLogOnly) : action_(action) {}
  void RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) override {
    recorded.push_back(trace->trace() + "=" + status);
    found_items.push_back(std::move(trace));
  }
  bool AnnounceDetection(const std::string& text) override {
    announcements.push_back(text);
    return true;
  }
  void CountFound() override { ++found; }
  void CountDeleted() override { ++deleted; }
  void CountQuarantined() override { ++quarantined; }
  void SetRestartRequired() override { restart = true; }
  bool TakeFirstDetectionPending() override {
    bool was = first_pending;
    first_pending = false;
    return was;
  }
  int action() const override { return action_; }

  std::vector<std::string> recorded;
  std::vector<std::unique_ptr<CSpyItem>> found_items;
  std::vector<std::string> announcements;
  int found = 0, deleted = 0, quarantined = 0;
  bool restart = false, first_pending = true;

 private:
  int action_;
};

class DetectionLoopTest : public ::testing::Test {
 protected:
  DetectionLoopTest() : list_(&world_) {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    list_.set_restart_map(&map_);
  }
  std::vector<std::string> Remaining() const {
    std::vector<std::string> out;
    for (const auto& i : list_.items()) out.push_back(i->trace());
    return out;
  }
  World world_;
  RestartDeleteMap map_;
  FakeList list_;
};

TEST_F(DetectionLoopTest, AdjacentDetectionsAreBothFound) {
  list_.AddDefinitions("Spy", {"t0", "t1", "t2", "t3", "t4", "t5"});
  world_.present = {"t3", "t4"};
  FakeScanner scanner;
  list_.Scan(scanner, kActionLogOnly);
  EXPECT_EQ((std::vector<std::string>{"t3=Detected", "t4=Detected"}), scanner.recorded);
  EXPECT_EQ(2, scanner.found);
  EXPECT_EQ(0, scanner.deleted);
  EXPECT_EQ((std::vector<std::string>{"t0", "t1", "t2", "t5"}), Remaining());
  EXPECT_TRUE(world_.calls.empty()) << "log only touches nothing";
  // One announcement per scan, empty text = the scanner's standard text.
  EXPECT_EQ((std::vector<std::string>{""}), scanner.announcements);
  EXPECT_FALSE(scanner.restart);
}

TEST_F(DetectionLoopTest, EveryTraceFoundLeavesTheListEmpty) {
  std::vector<std::string> defs;
  for (int i = 0; i < 120; ++i) defs.push_back("t" + std::to_string(i));
  list_.AddDefinitions("Spy", defs);
  world_.present.insert(defs.begin(), defs.end());
  FakeScanner scanner;
  list_.Scan(scanner, kActionLogOnly);
  EXPECT_EQ(120, scanner.found);
  EXPECT_TRUE(list_.items().empty());
}

TEST_F(DetectionLoopTest, PendingTraceOnlyRaisesRestart) {
  list_.AddDefinitions("Spy", {"a", "b"});
  world_.present = {"a", "b"};
  map_.SetPendingDelete("a", "File");
  FakeScanner scanner(kActionDelete);
  list_.Scan(scanner, kActionDelete);
  EXPECT_TRUE(scanner.restart);
  EXPECT_EQ((std::vector<std::string>{"b=Deleted"}), scanner.recorded);
  EXPECT_EQ(1, scanner.found);
  EXPECT_EQ((std::vector<std::string>{"a"}), Remaining()) << "the pending trace stays";
  EXPECT_EQ((std::vector<std::string>{"Remove:Spy:b:File:2"}), world_.calls);
}

TEST_F(DetectionLoopTest, ActionsAndFailures) {
  struct Case {
    const char* what;
    int action;
    bool fails;
    const char* status;
    const char* call;
    int deleted, quarantined;
    std::optional<std::string> pending;
  } cases[] = {
      {"delete", kActionDelete, false, "Deleted", "Remove:Spy:x:File:2", 1, 0, std::nullopt},
      {"failing delete", kActionDelete, true, "Deleted", "Remove:Spy:x:File:2", 1, 0, "File#Delete"},
      {"quarantine", kActionQuarantine, false, "Quarantined", "Quarantine:x", 0, 1, std::nullopt},
      {"failing quarantine", kActionQuarantine, true, "Quarantined", "Quarantine:x", 0, 1,
       "File#Quarantine"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    World world;
    world.present = {"x"};
    if (c.fails) world.removal_fails = world.quarantine_fails = {"x"};
    RestartDeleteMap map;
    FakeList list(&world);
    list.set_restart_map(&map);
    list.AddDefinitions("Spy", {"x"});
    FakeScanner scanner(c.action);
    list.Scan(scanner, c.action);
    EXPECT_EQ((std::vector<std::string>{std::string("x=") + c.status}), scanner.recorded);
    EXPECT_EQ((std::vector<std::string>{c.call}), world.calls);
    EXPECT_EQ(1, scanner.found);
    EXPECT_EQ(c.deleted, scanner.deleted);
    EXPECT_EQ(c.quarantined, scanner.quarantined);
    EXPECT_EQ(c.fails, scanner.restart);
    EXPECT_EQ(c.pending, map.Find("x"));
  }
}

TEST_F(DetectionLoopTest, SecondScanDoesNotAnnounceAgain) {
  list_.AddDefinitions("Spy", {"a"});
  world_.present = {"a"};
  FakeScanner scanner;
  scanner.first_pending = false;
  list_.Scan(scanner, kActionLogOnly);
  EXPECT_TRUE(scanner.announcements.empty());
  EXPECT_EQ(1, scanner.found);
}

TEST_F(DetectionLoopTest, DeepMatchActsOnACloneOfTheTemplate) {
  list_.AddTemplateFor("WINDOWS\\spy.exe", "C:\\WINDOWS\\spy.exe");
  map_.SetPendingDelete("D:\\WINDOWS\\spy.exe", "File");
  FakeScanner scanner(kActionDelete);
  list_.CheckDeepMatch("windows\\spy.exe", "D:\\windows\\spy.exe", scanner);
  EXPECT_TRUE(scanner.recorded.empty()) << "the index is case-sensitive";
  // No restart-map check and no announcement for deep finds.
  list_.CheckDeepMatch("WINDOWS\\spy.exe", "D:\\WINDOWS\\spy.exe", scanner);
  list_.CheckDeepMatch("WINDOWS\\spy.exe", "E:\\WINDOWS\\spy.exe", scanner);
  EXPECT_EQ((std::vector<std::string>{"D:\\WINDOWS\\spy.exe=Deleted", "E:\\WINDOWS\\spy.exe=Deleted"}),
            scanner.recorded);
  EXPECT_EQ((std::vector<std::string>{"Remove:Spy:D:\\WINDOWS\\spy.exe:File:2",
                                      "Remove:Spy:E:\\WINDOWS\\spy.exe:File:2"}),
            world_.calls);
  EXPECT_EQ(2, scanner.found);
  EXPECT_EQ(2, scanner.deleted);
  EXPECT_TRUE(scanner.announcements.empty());
  EXPECT_EQ(1u, list_.templates().size()) << "the template stays for further finds";
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

TEST_F(DetectionLoopTest, EveryTemplateIsHeldAsTheIndexGrows) {
  // Enough templates to outgrow the index's first bit table several times.
  for (int i = 0; i < 3000; ++i)
    list_.AddTemplateFor("dir\\f" + std::to_string(i) + ".txt", "C:\\dir\\f" + std::to_string(i) + ".txt");
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(list_.HoldsTemplate("dir\\f" + std::to_string(i) + ".txt")) << i;
  for (const char* absent : {"dir\\f3000.txt", "DIR\\f1.txt", "", "dir\\f1.txt\\x"})
    EXPECT_FALSE(list_.HoldsTemplate(absent)) << absent;
}

}  // namespace
}  // namespace engine
