#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace collector {

// One parameter of a statement. Texts are UTF-8 without NUL bytes: the read model keeps only
// texts it has cleaned, so both stores can hold them as plain text.
struct SqlValue {
  enum class Kind { kNull, kInt, kText };
  Kind kind = Kind::kNull;
  int64_t number = 0;
  std::string text;

  static SqlValue Null() { return SqlValue(); }
  static SqlValue Int(int64_t value) {
    SqlValue v;
    v.kind = Kind::kInt;
    v.number = value;
    return v;
  }
  static SqlValue Text(std::string value) {
    SqlValue v;
    v.kind = Kind::kText;
    v.text = std::move(value);
    return v;
  }
};

// One result row while it is being read.
class SqlRow {
 public:
  virtual ~SqlRow() = default;
  virtual bool IsNull(int column) const = 0;
  virtual int64_t Int(int column) const = 0;
  virtual std::string Text(int column) const = 0;
};

// A connection that the read model runs its SQL on, the same text for SQLite and PostgreSQL:
// parameters are written $1, $2, ... and only the SQL both speak is used (upserts with
// ON CONFLICT, RETURNING, CASE instead of min/max of two values).
class SqlSession {
 public:
  virtual ~SqlSession() = default;
  using RowHandler = std::function<void(const SqlRow&)>;
  virtual bool Run(const std::string& sql, const std::vector<SqlValue>& params,
                   const RowHandler& onRow, std::string& error) = 0;
  bool Run(const std::string& sql, const std::vector<SqlValue>& params, std::string& error) {
    return Run(sql, params, nullptr, error);
  }
};

}  // namespace collector
