#include "report_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <set>
#include <thread>

#include "collector_harness.h"

namespace {

using collector::ReportStore;
using collector::StoredReport;
using collector_test::TempDir;

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

TEST(ReportStore, KeepsEveryFieldBinarySafe) {
  TempDir dir;
  std::string error;
  int64_t id = 0;
  {
    ReportStore store;
    ASSERT_TRUE(store.Open(dir.File("r.db"), true, error)) << error;
    id = store.Insert(SampleReport("1.0.0"), error);
    ASSERT_GT(id, 0) << error;
    StoredReport bare;
    bare.receivedUtc = "t";
    bare.peer = "p";
    bare.state = "undecodable";
    bare.httpStatus = 404;
    ASSERT_GT(store.Insert(bare, error), id) << error;
  }
  ReportStore reader;
  ASSERT_TRUE(reader.Open(dir.File("r.db"), false, error)) << error;
  StoredReport got;
  bool found = false;
  ASSERT_TRUE(reader.Get(id, got, found, error)) << error;
  ASSERT_TRUE(found);
  StoredReport want = SampleReport("1.0.0");
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

  // Missing ver and missing log stay distinguishable from empty ones.
  ASSERT_TRUE(reader.Get(id + 1, got, found, error)) << error;
  ASSERT_TRUE(found);
  EXPECT_FALSE(got.hasVer);
  EXPECT_FALSE(got.hasLog);
  EXPECT_EQ(got.httpStatus, 404);
  EXPECT_EQ(got.payloadSize, 0u);

  ASSERT_TRUE(reader.Get(id + 2, got, found, error)) << error;
  EXPECT_FALSE(found);

  std::vector<StoredReport> all;
  ASSERT_TRUE(reader.List(all, error)) << error;
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, id);
  EXPECT_EQ(all[0].payloadSize, want.payload.size());
  EXPECT_TRUE(all[0].payload.empty());  // listing leaves the uploaded bytes out
  EXPECT_EQ(all[0].log, want.log);
}

// A reports.db as the collector made it before stacks and symbols: still read as it is, and
// brought up to date by the first writer without losing a report.
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
    ReportStore reader;
    ASSERT_TRUE(reader.Open(dir.File("old.db"), false, error)) << error;
    ASSERT_TRUE(reader.List(all, error)) << error;
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].log, "old log");
    EXPECT_FALSE(all[0].hasStack);
    EXPECT_TRUE(reader.FindSymbolFile("a.dll", 1, "", symbols, found, error)) << error;
    EXPECT_FALSE(found);
  }
  ReportStore writer;
  ASSERT_TRUE(writer.Open(dir.File("old.db"), true, error)) << error;
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

TEST(ReportStore, ConcurrentInsertsAllLand) {
  TempDir dir;
  std::string error;
  ReportStore store;
  ASSERT_TRUE(store.Open(dir.File("r.db"), true, error)) << error;
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::vector<int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, &ids, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string threadError;
        ids[t].push_back(
            store.Insert(SampleReport(std::to_string(t) + "." + std::to_string(i)), threadError));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::set<int64_t> unique;
  for (const auto& list : ids) {
    for (int64_t id : list) {
      EXPECT_GT(id, 0);
      unique.insert(id);
    }
  }
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<StoredReport> all;
  ASSERT_TRUE(store.List(all, error)) << error;
  std::set<std::string> vers;
  for (const StoredReport& report : all) {
    vers.insert(report.ver);
  }
  EXPECT_EQ(vers.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(ReportStore, BatchIsStoredInOneTransactionWithIdsInOrder) {
  TempDir dir;
  ReportStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir.File("r.db"), true, error)) << error;
  StoredReport a = SampleReport("a");
  StoredReport b = SampleReport("b");
  std::vector<int64_t> ids;
  ASSERT_TRUE(store.InsertBatch({&a, &b}, ids, error)) << error;
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(store.Insert(a, error), 3);
  store.Close();
  // A closed store refuses the batch and hands out no ids.
  EXPECT_FALSE(store.InsertBatch({&a}, ids, error));
  EXPECT_TRUE(ids.empty());
}

}  // namespace
