#include "store/report_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "collector_harness.h"
#include "ingest/crash_entry.h"
#include "store/postgres_store.h"
#include "store/sqlite_store.h"
#include "store_fixture.h"

namespace {

using collector::StoredReport;
using collector::SymbolFile;
using collector_test::TempDir;
// The SQLite-only tests below name the file store directly.
using ReportStore = collector::SqliteReportStore;

class StoreTest : public collector_test::BothStores {};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

StoredReport SampleReport(const std::string& ver) {
  StoredReport report;
  report.receivedUtc = "2026-01-02T03:04:05.006Z";
  report.peer = "127.0.0.1:5000";
  report.path = "/upload";
  report.hasVer = true;
  report.ver = ver;
  report.fileName = "log.pak";
  report.payload = std::string("PAKF\0\0\xFF\r\n", 9);
  report.hasLog = true;
  report.log = std::string("log\0\xB3\xCC", 6);
  report.state = "archive";
  report.note = "log.txt, raw";
  report.httpStatus = 200;
  return report;
}

TEST_P(StoreTest, KeepsEveryFieldBinarySafe) {
  std::string location = NewLocation();
  std::string error;
  int64_t id = 0;
  StoredReport want = SampleReport("1.0.0");
  want.hasStack = true;
  want.stack = std::string("#0 game.exe+0x10 fp\r\n\0\xD5\xBB", 24);
  {
    std::unique_ptr<collector::ReportStore> store = Open(location, true);
    id = store->Insert(want, error);
    ASSERT_GT(id, 0) << error;
    StoredReport bare;
    bare.receivedUtc = "t";
    bare.peer = "p";
    bare.state = "undecodable";
    bare.httpStatus = 404;
    bare.hasVer = true;  // present but empty
    ASSERT_GT(store->Insert(bare, error), id) << error;
  }
  std::unique_ptr<collector::ReportStore> reader = Open(location, false);
  StoredReport got;
  bool found = false;
  ASSERT_TRUE(reader->Get(id, got, found, error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ(got.payload, want.payload);
  EXPECT_EQ(got.payloadSize, want.payload.size());
  EXPECT_EQ(got.log, want.log);
  EXPECT_TRUE(got.hasLog);
  EXPECT_EQ(got.ver, "1.0.0");
  EXPECT_EQ(got.receivedUtc, want.receivedUtc);
  EXPECT_EQ(got.peer, want.peer);
  EXPECT_EQ(got.path, want.path);
  EXPECT_EQ(got.fileName, want.fileName);
  EXPECT_EQ(got.state, want.state);
  EXPECT_EQ(got.note, want.note);
  EXPECT_EQ(got.httpStatus, 200);
  EXPECT_TRUE(got.hasStack);
  EXPECT_EQ(got.stack, want.stack);

  // Missing ver, log and stack stay distinguishable from empty ones.
  ASSERT_TRUE(reader->Get(id + 1, got, found, error)) << error;
  ASSERT_TRUE(found);
  EXPECT_TRUE(got.hasVer);
  EXPECT_EQ(got.ver, "");
  EXPECT_FALSE(got.hasLog);
  EXPECT_FALSE(got.hasStack);
  EXPECT_EQ(got.httpStatus, 404);
  EXPECT_EQ(got.payloadSize, 0u);

  ASSERT_TRUE(reader->Get(id + 2, got, found, error)) << error;
  EXPECT_FALSE(found);

  std::vector<StoredReport> all;
  ASSERT_TRUE(reader->List(all, error)) << error;
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, id);
  EXPECT_EQ(all[0].payloadSize, want.payload.size());
  EXPECT_TRUE(all[0].payload.empty());  // listing leaves the uploaded bytes out
  EXPECT_EQ(all[0].log, want.log);
  EXPECT_EQ(all[0].stack, want.stack);

  // A reader cannot write.
  EXPECT_EQ(reader->Insert(want, error), 0);
}

// A reports.db as the collector made it before stacks and symbols: brought up to date by the
// first writer without losing a report.
TEST(ReportStore, DatabaseFromBeforeStacksKeepsWorking) {
  TempDir dir;
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("old.db").c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         "CREATE TABLE reports (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " received_utc TEXT NOT NULL, peer TEXT NOT NULL, path TEXT NOT NULL,"
                         " ver BLOB, file_name BLOB NOT NULL, payload BLOB NOT NULL, log BLOB,"
                         " state TEXT NOT NULL, note TEXT NOT NULL, http_status INTEGER NOT NULL);"
                         "INSERT INTO reports VALUES (1, 't', 'p', '/', '1.0.0', 'log.pak', x'00',"
                         " 'old log', 'archive', 'n', 200);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);

  std::string error;
  std::vector<StoredReport> all;
  collector::SymbolFile symbols;
  bool found = true;
  {
    // A reader cannot build the read model: it says the store needs a writer first.
    ReportStore reader;
    EXPECT_FALSE(reader.Open(dir.File("old.db"), false, error));
    EXPECT_EQ(error.rfind(collector::kNeedsUpgrade, 0), 0u) << error;
  }
  ReportStore writer;
  ASSERT_TRUE(writer.Open(dir.File("old.db"), true, error)) << error;
  EXPECT_TRUE(writer.FindSymbolFile("a.dll", 1, "", symbols, found, error)) << error;
  EXPECT_FALSE(found);
  StoredReport report = SampleReport("2.0.0");
  report.hasStack = true;
  report.stack = std::string("#0 a.dll+0x1 fp\r\n\0", 18);
  int64_t id = writer.Insert(report, error);
  ASSERT_EQ(id, 2) << error;
  ASSERT_TRUE(writer.List(all, error)) << error;
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].log, "old log");
  EXPECT_FALSE(all[0].hasStack);
  EXPECT_TRUE(all[1].hasStack);
  EXPECT_EQ(all[1].stack, report.stack);
}

TEST(ReportStore, RefusesFilesItCannotUse) {
  TempDir dir;
  std::string error;
  ReportStore store;
  // Reading never creates a database.
  EXPECT_FALSE(store.Open(dir.File("missing.db"), false, error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(store.Open(dir.File("no/such/dir.db"), true, error));
  EXPECT_FALSE(error.empty());
  std::ofstream(dir.File("text.db")) << "this is not a database, just some text in a file\n";
  error.clear();
  EXPECT_FALSE(store.Open(dir.File("text.db"), true, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(store.Insert(SampleReport("x"), error), 0);
}

// Two stores on one location stand for two collectors sharing it: every insert lands, ids are
// unique, and each writer sees its own ids increase.
TEST_P(StoreTest, ConcurrentInsertsAllLand) {
  std::string location = NewLocation();
  std::string error;
  std::unique_ptr<collector::ReportStore> first = Open(location, true);
  std::unique_ptr<collector::ReportStore> second = Open(location, true);
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::vector<int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    collector::ReportStore* store = t % 2 == 0 ? first.get() : second.get();
    threads.emplace_back([store, &ids, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string threadError;
        ids[t].push_back(
            store->Insert(SampleReport(std::to_string(t) + "." + std::to_string(i)), threadError));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::set<int64_t> unique;
  for (const auto& list : ids) {
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_GT(list[i], 0);
      if (i > 0) {
        EXPECT_GT(list[i], list[i - 1]);
      }
      unique.insert(list[i]);
    }
  }
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<StoredReport> all;
  ASSERT_TRUE(second->List(all, error)) << error;
  std::set<std::string> vers;
  for (const StoredReport& report : all) {
    vers.insert(report.ver);
  }
  EXPECT_EQ(vers.size(), static_cast<size_t>(kThreads * kEach));
}

TEST_P(StoreTest, BatchIsStoredInOneTransactionWithIdsInOrder) {
  std::string location = NewLocation();
  std::unique_ptr<collector::ReportStore> store = Open(location, true);
  std::string error;
  StoredReport a = SampleReport("a");
  StoredReport b = SampleReport("b");
  std::vector<int64_t> ids;
  ASSERT_TRUE(store->InsertBatch({&a, &b}, ids, error)) << error;
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(store->Insert(a, error), 3);
  store->Close();
  // A closed store refuses the batch and hands out no ids.
  EXPECT_FALSE(store->InsertBatch({&a}, ids, error));
  EXPECT_TRUE(ids.empty());
}

// Symbol files: binary-safe bytes, found by their key, replaced by a new file with that key.
TEST_P(StoreTest, SymbolFilesAreFoundByKeyAndReplaced) {
  std::string location = NewLocation();
  std::unique_ptr<collector::ReportStore> store = Open(location, true);
  std::string error;
  SymbolFile file;
  file.module = "crashgame.exe";
  file.timestamp = 0x89ABCDEF;
  file.debugId = "0123456789abcdef0123456789abcdef1";
  file.sizeOfImage = 0x20000;
  file.imageBase = 0x400000;
  file.fileName = "crashgame.debug";
  file.addedUtc = "2026-12-08T10:00:00Z";
  file.bytes = std::string("MZ\0\x90\xFF", 5);
  int64_t first = store->AddSymbolFile(file, error);
  ASSERT_GT(first, 0) << error;
  SymbolFile other = file;
  other.debugId = "";
  ASSERT_GT(store->AddSymbolFile(other, error), first) << error;
  file.bytes = std::string("MZ\0new", 6);
  int64_t replaced = store->AddSymbolFile(file, error);
  ASSERT_GT(replaced, 0) << error;

  std::unique_ptr<collector::ReportStore> reader = Open(location, false);
  SymbolFile found;
  bool present = false;
  ASSERT_TRUE(
      reader->FindSymbolFile("crashgame.exe", 0x89ABCDEF, file.debugId, found, present, error))
      << error;
  ASSERT_TRUE(present);
  EXPECT_EQ(found.id, replaced);
  EXPECT_EQ(found.timestamp, 0x89ABCDEFu);
  EXPECT_EQ(found.sizeOfImage, 0x20000u);
  EXPECT_EQ(found.imageBase, 0x400000u);
  EXPECT_EQ(found.fileName, "crashgame.debug");
  EXPECT_TRUE(found.bytes.empty());
  std::string bytes;
  ASSERT_TRUE(reader->SymbolBytes(found.id, bytes, error)) << error;
  EXPECT_EQ(bytes, file.bytes);
  ASSERT_TRUE(reader->FindSymbolFile("crashgame.exe", 1, file.debugId, found, present, error));
  EXPECT_FALSE(present);
  std::vector<SymbolFile> all;
  ASSERT_TRUE(reader->ListSymbolFiles(all, error)) << error;
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].bytes, file.bytes);
}

// A store written by a newer collector is left alone rather than half understood.
TEST_P(StoreTest, RefusesASchemaNewerThanItKnows) {
  std::string location = NewLocation();
  Open(location, true).reset();
  if (GetParam() == "sqlite") {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  } else {
    ASSERT_EQ(collector_test::PostgresExec(location,
                                           "INSERT INTO collector_schema (version) VALUES (99)"),
              "");
  }
  std::unique_ptr<collector::ReportStore> store = collector::MakeReportStore(location);
  std::string error;
  EXPECT_FALSE(store->Open(location, true, error));
  EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
}

TEST(PostgresStore, RefusesADatabaseWithoutItsTablesOrServer) {
  if (collector_test::PostgresBase().empty()) {
    GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
  }
  std::string error;
  std::string empty = collector_test::NewPostgresDatabase(error);
  ASSERT_FALSE(empty.empty()) << error;
  collector::PostgresReportStore store;
  // Reading never creates the tables.
  EXPECT_FALSE(store.Open(empty, false, error));
  EXPECT_NE(error.find("no collector store"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(store.Open(empty + "&dbname=no_such_database", true, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(store.Insert(SampleReport("x"), error), 0);
}

// Batches go out pipelined, in chunks: a large one keeps its order. A report the server refuses
// (a state that is not UTF-8 text) costs only itself: the rest of its batch, across chunks, is
// stored with its crash entries, and the store stays usable.
TEST(PostgresStore, PipelinedBatchLosesOnlyTheRefusedReport) {
  if (collector_test::PostgresBase().empty()) {
    GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
  }
  std::string error;
  std::string location = collector_test::NewPostgresDatabase(error);
  ASSERT_FALSE(location.empty()) << error;
  collector::PostgresReportStore store;
  ASSERT_TRUE(store.Open(location, true, error)) << error;
  std::vector<StoredReport> many(150, SampleReport("many"));
  std::vector<collector::CrashEntry> entries(many.size());
  std::vector<const StoredReport*> batch;
  std::vector<const collector::CrashEntry*> entryOf;
  for (size_t i = 0; i < many.size(); ++i) {
    entries[i].groupKey = i % 2 == 0 ? "even" : "odd";
    batch.push_back(&many[i]);
    entryOf.push_back(&entries[i]);
  }
  std::vector<int64_t> ids;
  std::vector<std::string> errors;
  ASSERT_TRUE(collector::StoreWithEntries(store, batch, entryOf, ids, errors, error)) << error;
  ASSERT_EQ(ids.size(), 150u);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], static_cast<int64_t>(i + 1));
  }

  many[100].state = "\xFF not text";
  ASSERT_TRUE(collector::StoreWithEntries(store, batch, entryOf, ids, errors, error)) << error;
  ASSERT_EQ(ids.size(), 150u);
  EXPECT_EQ(ids[100], 0);
  EXPECT_FALSE(errors[100].empty());
  for (size_t i = 1; i < ids.size(); ++i) {
    if (i != 100 && i != 101) {
      EXPECT_GT(ids[i], ids[i - 1]) << i;
    }
  }
  EXPECT_GT(ids[101], ids[99]);
  std::vector<StoredReport> all;
  ASSERT_TRUE(store.List(all, error)) << error;
  EXPECT_EQ(all.size(), 299u);
  uint64_t crashes = 0;
  ASSERT_TRUE(collector::CountCrashes(store, crashes, error)) << error;
  EXPECT_EQ(crashes, 299u);

  // Refused alone, nothing is stored and the batch fails.
  EXPECT_FALSE(
      collector::StoreWithEntries(store, {&many[100]}, {&entries[100]}, ids, errors, error));
  EXPECT_TRUE(ids.empty());
  EXPECT_FALSE(error.empty());

  many[100].state = "archive";
  ASSERT_TRUE(collector::StoreWithEntries(store, {&many[0], &many[1]}, {&entries[0], &entries[1]},
                                          ids, errors, error))
      << error;
  ASSERT_TRUE(store.List(all, error)) << error;
  EXPECT_EQ(all.size(), 301u);
  EXPECT_EQ(all.back().id, ids.back());
  ASSERT_TRUE(collector::CountCrashes(store, crashes, error)) << error;
  EXPECT_EQ(crashes, 301u);
}

// A read task sees one snapshot, and readers, however many, leave a connection for the writer:
// reads nested four deep (each holding a connection) still let an upload in, which they do not
// see until they are done.
TEST(PostgresStore, ReadsSeeOneSnapshotAndNeverHoldUpAWrite) {
  if (collector_test::PostgresBase().empty()) {
    GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
  }
  std::string error;
  std::string location = collector_test::NewPostgresDatabase(error);
  ASSERT_FALSE(location.empty()) << error;
  collector::PostgresReportStore store;
  ASSERT_TRUE(store.Open(location, true, error)) << error;
  collector::CrashEntry entry;
  auto insert = [&store, &entry](const std::string& ver, std::string& failure) {
    StoredReport report = SampleReport(ver);
    std::vector<int64_t> ids;
    std::vector<std::string> errors;
    return collector::StoreWithEntries(store, {&report}, {&entry}, ids, errors, failure);
  };
  ASSERT_TRUE(insert("first", error)) << error;
  auto count = [](collector::SqlSession& session, int64_t& out, std::string& failure) {
    return session.Run(
        "SELECT count(*) FROM crashes", {}, [&](const collector::SqlRow& row) { out = row.Int(0); },
        failure);
  };
  std::function<bool(int)> nest = [&](int depth) {
    return store.Read(
        [&](collector::SqlSession& session, std::string& failure) {
          int64_t before = 0;
          int64_t after = 0;
          if (!count(session, before, failure)) {
            return false;
          }
          if (depth < 4) {
            EXPECT_TRUE(nest(depth + 1));
          } else {
            std::string insertError;
            EXPECT_TRUE(insert("during", insertError)) << insertError;
          }
          EXPECT_TRUE(count(session, after, failure)) << failure;
          EXPECT_EQ(after, before);
          EXPECT_EQ(before, 1);
          return true;
        },
        error);
  };
  ASSERT_TRUE(nest(1)) << error;
  uint64_t crashes = 0;
  ASSERT_TRUE(collector::CountCrashes(store, crashes, error)) << error;
  EXPECT_EQ(crashes, 2u);
}

// A connection the server drops (a restart, an administrator) costs at most the call that finds
// it dead; the next one runs on a new connection with the session set up again (a reader stays
// read-only).
TEST(PostgresStore, ReconnectsAfterTheServerDropsItsConnections) {
  if (collector_test::PostgresBase().empty()) {
    GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
  }
  std::string error;
  std::string location = collector_test::NewPostgresDatabase(error);
  ASSERT_FALSE(location.empty()) << error;
  collector::PostgresReportStore writer;
  collector::PostgresReportStore reader;
  ASSERT_TRUE(writer.Open(location, true, error)) << error;
  ASSERT_TRUE(reader.Open(location, false, error)) << error;
  ASSERT_EQ(writer.Insert(SampleReport("before"), error), 1) << error;
  std::vector<StoredReport> all;
  ASSERT_TRUE(reader.List(all, error)) << error;

  std::string database = location.substr(std::string("postgresql:///").size());
  database.resize(database.find('?'));
  ASSERT_EQ(collector_test::PostgresExec(
                collector_test::PostgresBase(),
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                    database + "' AND pid <> pg_backend_pid()"),
            "");
  if (writer.Insert(SampleReport("maybe"), error) == 0) {
    EXPECT_GT(writer.Insert(SampleReport("after"), error), 0) << error;
  }
  EXPECT_GT(writer.Insert(SampleReport("again"), error), 0) << error;
  if (!reader.List(all, error)) {
    ASSERT_TRUE(reader.List(all, error)) << error;
  }
  EXPECT_GE(all.size(), 3u);
  EXPECT_EQ(all.back().ver, "again");
  error.clear();
  EXPECT_EQ(reader.Insert(SampleReport("refused"), error), 0);
  EXPECT_NE(error.find("read-only"), std::string::npos) << error;
}

}  // namespace
