#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "collector_harness.h"
#include "store/report_store.h"

namespace collector_test {

// A test that runs on both stores, the parameter naming which. The PostgreSQL run needs the
// server tests/pg_cluster.py starts; run alone without it, those cases skip and say so (ctest
// runs them through it).
class BothStores : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql" && PostgresBase().empty()) {
      GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
    }
  }

  // A location for a new, empty store.
  std::string NewLocation() {
    if (GetParam() == "sqlite") {
      return dir_.File("store" + std::to_string(++files_) + ".db");
    }
    std::string error;
    std::string uri = NewPostgresDatabase(error);
    EXPECT_FALSE(uri.empty()) << error;
    return uri;
  }

  std::unique_ptr<collector::ReportStore> Open(const std::string& location, bool forWriting) {
    std::unique_ptr<collector::ReportStore> store = collector::MakeReportStore(location);
    std::string error;
    EXPECT_TRUE(store->Open(location, forWriting, error)) << location << ": " << error;
    return store;
  }

  TempDir dir_;
  int files_ = 0;
};

}  // namespace collector_test
