// The read model on both stores: groups and counters kept at ingest agree with a recount from the
// crash entries, lists page, an older store is brought up to date, and retention keeps counts.
#include "readmodel/read_model.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "ingest/crash_entry.h"
#include "store/report_store.h"
#include "store/sqlite_store.h"
#include "store_fixture.h"

namespace {

using collector::CrashEntry;
using collector::GroupSummary;
using collector::ReportStore;
using collector::SqlRow;
using collector::SqlSession;
using collector::StoredReport;
using collector_test::SummaryFor;
using collector_test::TempDir;

class ReadModelTest : public collector_test::BothStores {
 protected:
  std::unique_ptr<ReportStore> Open(const std::string& location) {
    return BothStores::Open(location, true);
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, ReadModelTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// A report as the server builds it: the crash entry worked out from the log, which itself is
// not kept (the payload is).
struct Sent {
  StoredReport report;
  CrashEntry crash;
};

Sent Crash(ReportStore& store, const std::string& received, const std::string& ver,
           const std::string& log, size_t payloadBytes = 16) {
  Sent sent;
  StoredReport& report = sent.report;
  report.receivedUtc = received;
  report.peer = "127.0.0.1:1";
  report.path = "/upload";
  report.hasVer = true;
  report.ver = ver;
  report.fileName = "log.pak";
  report.payload = log + std::string(payloadBytes, 'p');
  report.payloadSize = report.payload.size();
  report.state = "unpacked";
  report.note = "test";
  report.httpStatus = 200;
  sent.crash = collector::DescribeCrash(store, report, true, log, false, "");
  return sent;
}

// Stored the way the server stores a batch; the ids, or an empty list after a failure.
std::vector<int64_t> StoreAll(ReportStore& store, const std::vector<Sent>& batch) {
  std::vector<const StoredReport*> reports;
  std::vector<const CrashEntry*> entries;
  for (const Sent& sent : batch) {
    reports.push_back(&sent.report);
    entries.push_back(&sent.crash);
  }
  std::vector<int64_t> ids;
  std::vector<std::string> errors;
  std::string error;
  EXPECT_TRUE(collector::StoreWithEntries(store, reports, entries, ids, errors, error)) << error;
  return ids;
}

int64_t Store(ReportStore& store, const Sent& sent) {
  std::vector<int64_t> ids = StoreAll(store, {sent});
  return ids.empty() ? 0 : ids.front();
}

int64_t Scalar(ReportStore& store, const std::string& sql) {
  int64_t value = -1;
  std::string error;
  EXPECT_TRUE(store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
            sql, {}, [&](const SqlRow& row) { value = row.Int(0); }, failure);
      },
      error))
      << sql << ": " << error;
  return value;
}

// Every counter kept at ingest equals what a recount from the crash entries gives.
void ExpectCountersMatchRecount(ReportStore& store) {
  EXPECT_EQ(Scalar(store,
                   "SELECT count(*) FROM crash_groups g WHERE g.count <> (SELECT count(*) FROM"
                   " crashes c WHERE c.group_id = g.id) OR g.first_seen <> (SELECT"
                   " min(received_utc) FROM crashes c WHERE c.group_id = g.id) OR g.last_seen <>"
                   " (SELECT max(received_utc) FROM crashes c WHERE c.group_id = g.id)"),
            0);
  EXPECT_EQ(Scalar(store,
                   "SELECT count(*) FROM group_versions v WHERE v.count <> (SELECT count(*) FROM"
                   " crashes c WHERE c.group_id = v.group_id AND c.ver = v.ver) OR v.first_id <>"
                   " (SELECT min(id) FROM crashes c WHERE c.group_id = v.group_id AND c.ver ="
                   " v.ver)"),
            0);
  EXPECT_EQ(Scalar(store,
                   "SELECT count(*) FROM group_hours h WHERE h.count <> (SELECT count(*) FROM"
                   " crashes c WHERE c.group_id = h.group_id AND c.ver = h.ver AND c.hour ="
                   " h.hour)"),
            0);
  EXPECT_EQ(Scalar(store,
                   "SELECT count(*) FROM chart_hours h WHERE h.count <> (SELECT count(*) FROM"
                   " crashes c WHERE c.hour = h.hour AND c.ver = h.ver AND c.program ="
                   " h.program)"),
            0);
  EXPECT_EQ(Scalar(store, "SELECT coalesce(sum(count), 0) FROM chart_hours"),
            Scalar(store, "SELECT count(*) FROM crashes WHERE hour >= 0"));
  // Nothing counted twice or missed: every entry in exactly one group, version and hour.
  EXPECT_EQ(Scalar(store, "SELECT coalesce(sum(count), 0) FROM crash_groups"),
            Scalar(store, "SELECT count(*) FROM crashes"));
  EXPECT_EQ(Scalar(store, "SELECT coalesce(sum(count), 0) FROM group_versions"),
            Scalar(store, "SELECT count(*) FROM crashes"));
  EXPECT_EQ(Scalar(store, "SELECT coalesce(sum(count), 0) FROM group_hours"),
            Scalar(store, "SELECT count(*) FROM crashes WHERE hour >= 0"));
}

std::vector<GroupSummary> AllGroups(ReportStore& store, const collector::ReportFilter& filter) {
  collector::GroupQuery query;
  query.filter = filter;
  query.limit = 1000;
  std::vector<GroupSummary> groups;
  bool more = false;
  std::string error;
  EXPECT_TRUE(collector::ListGroups(store, query, groups, more, error)) << error;
  EXPECT_FALSE(more);
  return groups;
}

TEST_P(ReadModelTest, GroupsAndCountersKeptAtIngestMatchARecount) {
  std::unique_ptr<ReportStore> store = Open(NewLocation());
  const std::string av = SummaryFor("a.exe", "0xc0000005", "0x401000");
  const std::string game = SummaryFor(collector_test::kGameGbk + ".exe", "0xc0000094", "0x10");
  // Several batches, ids out of time order, as instances sharing a database store them.
  std::vector<std::vector<Sent>> batches = {
      {Crash(*store, "2026-12-05T10:00:00.000Z", "1.1", game),
       Crash(*store, "2026-12-03T10:00:00.000Z", "1.0", game),
       Crash(*store, "2026-12-05T11:30:00.000Z", "1.0", av)},
      {Crash(*store, "2026-12-07T10:00:00.000Z", "1.1", game),
       Crash(*store, "2026-12-06T10:59:59.000Z", "1.0", game),
       Crash(*store, "bad time", "2.0", SummaryFor("a.exe", "0xc0000005", "0x401004"))},
      {Crash(*store, "2026-12-06T10:00:00.000Z", "1.0", collector_test::UnknownSummary("a.exe"))},
  };
  std::string error;
  for (const std::vector<Sent>& batch : batches) {
    ASSERT_EQ(StoreAll(*store, batch).size(), batch.size());
  }
  ExpectCountersMatchRecount(*store);

  std::vector<GroupSummary> groups = AllGroups(*store, {});
  ASSERT_EQ(groups.size(), 4u);
  const GroupSummary& top = groups[0];
  EXPECT_EQ(top.id, 1);
  EXPECT_EQ(top.program, "\xE6\xB8\xB8\xE6\x88\x8F.exe");  // 游戏.exe in UTF-8
  EXPECT_EQ(top.code, "0xc0000094");
  EXPECT_EQ(top.address, "0x10");
  EXPECT_EQ(top.count, 4u);
  EXPECT_EQ(top.versions, (std::vector<std::string>{"1.1", "1.0"}));
  EXPECT_EQ(top.firstSeen, "2026-12-03T10:00:00.000Z");
  EXPECT_EQ(top.lastSeen, "2026-12-07T10:00:00.000Z");
  // Ties by first id; a summary without exception record is "unknown".
  EXPECT_EQ(groups[1].id, 3);
  EXPECT_EQ(groups[2].id, 6);
  EXPECT_EQ(groups[3].id, 7);
  EXPECT_EQ(groups[3].code, "unknown");

  collector::ReportFilter version;
  version.version = "1.0";
  std::vector<GroupSummary> filtered = AllGroups(*store, version);
  ASSERT_EQ(filtered.size(), 3u);
  EXPECT_EQ(filtered[0].id, 1);
  EXPECT_EQ(filtered[0].count, 2u);
  EXPECT_EQ(filtered[0].firstSeen, "2026-12-03T10:00:00.000Z");
  EXPECT_EQ(filtered[0].lastSeen, "2026-12-06T10:59:59.000Z");
  collector::ReportFilter program;
  program.program = "a.exe";
  EXPECT_EQ(AllGroups(*store, program).size(), 3u);

  std::vector<collector::HourCount> hours;
  int64_t hour = collector::UnixSeconds("2026-12-06T10:00:00Z") / 3600;
  ASSERT_TRUE(collector::HourlyCounts(*store, version, hour - 1, hour, hours, error)) << error;
  ASSERT_EQ(hours.size(), 1u);
  EXPECT_EQ(hours[0].ver, "1.0");
  EXPECT_EQ(hours[0].hour, hour);
  EXPECT_EQ(hours[0].count, 2u);  // 10:00 and 10:59:59, two groups

  std::vector<std::string> versions;
  std::vector<std::string> programs;
  ASSERT_TRUE(collector::Facets(*store, versions, programs, error)) << error;
  EXPECT_EQ(versions, (std::vector<std::string>{"1.0", "1.1", "2.0"}));
  EXPECT_EQ(programs.size(), 2u);
}

// stack.txt with the game and the crash reporter loaded, the given frames (LOCATION METHOD) on top.
std::string StackText(const std::vector<std::string>& frames) {
  std::string text =
      "VexoCrashRpt stack 1\r\nexception 0xc0000005 0x00401100\r\nthread 0x00000010\r\n"
      "module 0x00400000 0x00010000 0x656f1a2b - game.exe\r\n"
      "module 0x62b80000 0x00084000 0x656f1a2c - VexoCrashRpt.dll\r\n"
      "module 0x7b600000 0x00100000 0x00000000 - msvcrt.dll\r\n";
  for (size_t i = 0; i < frames.size(); ++i) {
    text += "#" + std::to_string(i) + " " + frames[i] + "\r\n";
  }
  return text;
}

// One bug keeps one group wherever the crash reporter's, the runtime's or another thread's frames
// lie around it; another caller makes another group. Reports keyed the old way move on regroup.
TEST_P(ReadModelTest, GroupsByTheGamesOwnTopFrames) {
  std::unique_ptr<ReportStore> store = Open(NewLocation());
  const std::string log = SummaryFor("game.exe", "0xc0000005", "0x401100");
  auto crash = [&](const std::vector<std::string>& frames) {
    Sent sent = Crash(*store, "2026-12-05T10:00:00.000Z", "1.0", log);
    sent.crash = collector::DescribeCrash(*store, sent.report, true, log, true, StackText(frames));
    return sent;
  };
  const std::vector<Sent> sent = {
      // the main thread, a stale frame of the crash reporter between the game's
      crash({"game.exe+0x1100 context", "VexoCrashRpt.dll+0x14bd5 scan", "game.exe+0x1205 scan",
             "game.exe+0x1305 fp", "game.exe+0x1405 fp"}),
      // a worker thread, another build of the crash reporter
      crash({"game.exe+0x1100 context", "game.exe+0x1205 scan", "VexoCrashRpt.dll+0x15000 scan",
             "game.exe+0x1305 fp", "game.exe+0x1905 fp"}),
      // the runtime on top
      crash({"msvcrt.dll+0x2000 context", "game.exe+0x1100 scan", "game.exe+0x1205 scan",
             "game.exe+0x1305 fp"}),
      // another caller
      crash({"game.exe+0x1100 context", "game.exe+0x1205 scan", "game.exe+0x1505 fp"})};
  for (const Sent& one : sent) ASSERT_GT(Store(*store, one), 0);
  EXPECT_EQ(sent[0].crash.groupKey, sent[1].crash.groupKey);
  EXPECT_EQ(sent[0].crash.groupKey, sent[2].crash.groupKey);
  EXPECT_NE(sent[0].crash.groupKey, sent[3].crash.groupKey);
  EXPECT_EQ(Scalar(*store, "SELECT count(*) FROM crash_groups"), 2);

  Sent old = crash({"game.exe+0x1100 context", "VexoCrashRpt.dll+0x14bd5 scan",
                    "game.exe+0x1205 scan"});
  old.crash.groupKey = "stack\ngame.exe+0x1100 | VexoCrashRpt.dll+0x14bd5 | game.exe+0x1205";
  int64_t oldId = Store(*store, old);
  ASSERT_GT(oldId, 0);
  EXPECT_EQ(Scalar(*store, "SELECT count(*) FROM crash_groups"), 3);
  // Statuses survive the regrouping: the group that keeps its key keeps its own; a group moved
  // to a new key wholesale takes its status along.
  bool found = false;
  std::string error;
  ASSERT_TRUE(collector::SetGroupStatus(*store, 1, "ignored", "", found, error)) << error;
  ASSERT_TRUE(found);
  ASSERT_TRUE(collector::SetGroupStatus(*store, 4, "resolved", "1.0", found, error)) << error;
  ASSERT_TRUE(found);
  ASSERT_TRUE(store->Write(
      [](SqlSession& session, std::string& failure) {
        return session.Run("UPDATE crash_groups SET group_key = 'stack\nrenamed' WHERE id = 4",
                           {}, failure);
      },
      error))
      << error;
  uint64_t moved = 0;
  ASSERT_TRUE(collector::RegroupAllStacks(*store, moved, error)) << error;
  EXPECT_EQ(moved, 2u);
  ExpectCountersMatchRecount(*store);
  std::map<int64_t, std::string> statuses;
  for (const GroupSummary& group : AllGroups(*store, collector::ReportFilter())) {
    statuses[group.id] = group.status + " " + group.resolvedIn;
  }
  EXPECT_EQ(statuses, (std::map<int64_t, std::string>{
                          {1, "ignored "}, {4, "resolved 1.0"}, {5, "open "}}));
}

TEST_P(ReadModelTest, GroupsAndTheirReportsPage) {
  std::unique_ptr<ReportStore> store = Open(NewLocation());
  std::string error;
  // Group g gets 6 - g reports, so the order by count is 0, 1, 2, 3, 4.
  for (int g = 0; g < 5; ++g) {
    for (int i = 0; i < 6 - g; ++i) {
      Sent report = Crash(*store, "2026-12-0" + std::to_string(1 + i) + "T00:00:00.000Z", "1.0",
                          SummaryFor("a.exe", "0x1", "0x" + std::to_string(g)));
      ASSERT_GT(Store(*store, report), 0);
    }
  }
  collector::GroupQuery query;
  query.limit = 2;
  std::vector<uint64_t> counts;
  for (bool more = true; more; query.offset += query.limit) {
    std::vector<GroupSummary> page;
    ASSERT_TRUE(collector::ListGroups(*store, query, page, more, error)) << error;
    ASSERT_LE(page.size(), 2u);
    for (const GroupSummary& group : page) {
      counts.push_back(group.count);
    }
  }
  EXPECT_EQ(counts, (std::vector<uint64_t>{6, 5, 4, 3, 2}));

  std::vector<CrashEntry> members;
  ASSERT_TRUE(collector::GroupMembers(*store, 1, 0, 4, members, error)) << error;
  ASSERT_EQ(members.size(), 4u);
  int64_t last = members.back().id;
  ASSERT_TRUE(collector::GroupMembers(*store, 1, last, 4, members, error)) << error;
  ASSERT_EQ(members.size(), 2u);
  EXPECT_GT(members.front().id, last);
  EXPECT_EQ(members.front().groupId, 1);
}

// Stores an older collector wrote hold reports without entries: the read model is built from
// their decoded logs when the store is opened for writing, and reading alone says so first.
TEST_P(ReadModelTest, AnOlderStoreIsBroughtUpToDate) {
  std::string location = NewLocation();
  auto hex = [](const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
    return out;
  };
  const bool sqlite = GetParam() == "sqlite";
  auto blob = [&](const std::string& bytes) {
    return sqlite ? "X'" + hex(bytes) + "'" : "decode('" + hex(bytes) + "', 'hex')";
  };
  std::string schema =
      sqlite ? "CREATE TABLE reports (id INTEGER PRIMARY KEY AUTOINCREMENT, received_utc TEXT NOT"
               " NULL, peer TEXT NOT NULL, path TEXT NOT NULL, ver BLOB, file_name BLOB NOT NULL,"
               " payload BLOB NOT NULL, log BLOB, state TEXT NOT NULL, note TEXT NOT NULL,"
               " http_status INTEGER NOT NULL, stack BLOB);"
               "CREATE TABLE symbols (id INTEGER PRIMARY KEY AUTOINCREMENT, module TEXT NOT NULL,"
               " timestamp INTEGER NOT NULL, debug_id TEXT NOT NULL, size_of_image INTEGER NOT"
               " NULL, image_base INTEGER NOT NULL, file_name BLOB NOT NULL, added_utc TEXT NOT"
               " NULL, bytes BLOB NOT NULL, UNIQUE (module, timestamp, debug_id));"
               "PRAGMA user_version = 2;"
             : "CREATE TABLE collector_schema (version integer NOT NULL);"
               "CREATE TABLE reports (id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
               " received_utc text NOT NULL, peer bytea NOT NULL, path bytea NOT NULL, ver bytea,"
               " file_name bytea NOT NULL, payload bytea NOT NULL, log bytea, state text NOT NULL,"
               " note bytea NOT NULL, http_status integer NOT NULL, stack bytea);"
               "CREATE TABLE symbols (id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
               " module bytea NOT NULL, timestamp bigint NOT NULL, debug_id text NOT NULL,"
               " size_of_image bigint NOT NULL, image_base bigint NOT NULL, file_name bytea NOT"
               " NULL, added_utc text NOT NULL, bytes bytea NOT NULL,"
               " UNIQUE (module, timestamp, debug_id));"
               "INSERT INTO collector_schema (version) VALUES (1);";
  const size_t kOld = 450;  // more than one page of the backfill
  for (size_t i = 0; i < kOld; ++i) {
    std::string log =
        "old log\r\n" + SummaryFor("old.exe", "0xc0000005", i % 3 == 0 ? "0x1" : "0x2");
    schema +=
        "INSERT INTO reports (received_utc, peer, path, ver, file_name, payload, log, state,"
        " note, http_status) VALUES ('2026-11-0" +
        std::to_string(1 + i % 9) + "T00:00:00.000Z', " + blob("p") + ", " + blob("/") + ", " +
        blob("0.9") + ", " + blob("log.pak") + ", " + blob("payload") + ", " + blob(log) +
        ", 'archive', " + blob("n") + ", 200);";
  }
  if (sqlite) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  } else {
    ASSERT_EQ(collector_test::PostgresExec(location, schema), "");
  }
  std::string error;
  std::unique_ptr<ReportStore> reader = collector::MakeReportStore(location);
  EXPECT_FALSE(reader->Open(location, false, error));
  EXPECT_EQ(error.rfind(collector::kNeedsUpgrade, 0), 0u) << error;

  std::unique_ptr<ReportStore> store = Open(location);
  uint64_t reported = 0;
  ASSERT_TRUE(collector::BackfillCrashEntries(
      *store, [&](uint64_t done) { reported = done; }, error))
      << error;
  EXPECT_EQ(reported, kOld);
  // New reports join the groups the old ones made.
  ASSERT_GT(Store(*store, Crash(*store, "2026-12-01T00:00:00.000Z", "1.0",
                                SummaryFor("old.exe", "0xc0000005", "0x1"))),
            0);
  ExpectCountersMatchRecount(*store);
  std::vector<GroupSummary> groups = AllGroups(*store, {});
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].count, kOld * 2 / 3);
  EXPECT_EQ(groups[1].count, kOld / 3 + 1);
  EXPECT_EQ(groups[1].versions, (std::vector<std::string>{"0.9", "1.0"}));
  // Running it again finds nothing left to do.
  reported = 0;
  ASSERT_TRUE(collector::BackfillCrashEntries(
      *store, [&](uint64_t done) { reported = done; }, error));
  EXPECT_EQ(reported, 0u);
}

TEST_P(ReadModelTest, PruneDropsOldBytesButKeepsCountsAndGivesSpaceBack) {
  std::string location = NewLocation();
  std::unique_ptr<ReportStore> store = Open(location);
  std::string error;
  const std::string log = SummaryFor("a.exe", "0xc0000005", "0x401000");
  std::vector<int64_t> old;
  for (int i = 0; i < 20; ++i) {
    old.push_back(Store(*store, Crash(*store, "2026-11-15T00:00:00.000Z", "1.0", log, 256 * 1024)));
    ASSERT_GT(old.back(), 0) << error;
  }
  int64_t recent = Store(*store, Crash(*store, "2026-12-02T00:00:00.000Z", "1.1", log, 1024));
  ASSERT_GT(recent, 0) << error;
  // The file and its write-ahead log together.
  auto onDisk = [&location] {
    off_t total = 0;
    for (const std::string& path : {location, location + "-wal"}) {
      struct stat info {};
      if (stat(path.c_str(), &info) == 0) {
        total += info.st_size;
      }
    }
    return total;
  };
  off_t before = GetParam() == "sqlite" ? onDisk() : 0;

  uint64_t removed = 0;
  ASSERT_TRUE(store->Prune("2026-12-01T00:00:00Z", removed, error)) << error;
  EXPECT_EQ(removed, old.size());
  StoredReport got;
  bool found = true;
  ASSERT_TRUE(store->Get(old.front(), got, found, error)) << error;
  EXPECT_FALSE(found);
  ASSERT_TRUE(store->Get(recent, got, found, error)) << error;
  EXPECT_TRUE(found);
  CrashEntry entry;
  ASSERT_TRUE(collector::FindCrash(*store, old.front(), entry, found, error)) << error;
  EXPECT_TRUE(found);

  std::vector<GroupSummary> groups = AllGroups(*store, {});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].count, 21u);
  EXPECT_EQ(groups[0].versions, (std::vector<std::string>{"1.0", "1.1"}));
  ExpectCountersMatchRecount(*store);
  if (GetParam() == "sqlite") {
    EXPECT_LT(onDisk(), before - 4 * 1024 * 1024);
  }
  // Nothing left to prune the second time.
  ASSERT_TRUE(store->Prune("2026-12-01T00:00:00Z", removed, error)) << error;
  EXPECT_EQ(removed, 0u);
}

// A report SQLite refuses (over its 1 GB value limit) is an error for that report alone: the
// others of its batch are stored and counted, and nothing is stored half.
TEST(SqliteReadModel, ARefusedReportCostsOnlyItselfInItsBatch) {
  TempDir dir;
  collector::SqliteReportStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir.File("r.db"), true, error)) << error;
  const std::string log = SummaryFor("a.exe", "0xc0000005", "0x401000");
  Sent small = Crash(store, "2026-12-02T00:00:00.000Z", "1.0", log);
  StoredReport huge = small.report;
  huge.payload.assign((1u << 30) + 1, 'x');
  std::vector<int64_t> ids;
  std::vector<std::string> errors;
  ASSERT_TRUE(collector::StoreWithEntries(store, {&small.report, &huge, &small.report},
                                          {&small.crash, &small.crash, &small.crash}, ids, errors,
                                          error))
      << error;
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_GT(ids[0], 0);
  EXPECT_EQ(ids[1], 0);
  EXPECT_NE(errors[1].find("too big"), std::string::npos) << errors[1];
  EXPECT_GT(ids[2], ids[0]);
  std::vector<GroupSummary> groups = AllGroups(store, {});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].count, 2u);
  EXPECT_EQ(Scalar(store, "SELECT count(*) FROM reports"), 2);
}

}  // namespace
