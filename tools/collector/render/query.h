#pragma once

#include <cstdint>
#include <string>

#include "readmodel/read_model.h"

namespace collector {

// The value of the first NAME=VALUE pair of a query string, form-decoded ("+" is a space, %XX
// a byte); "" when it is missing.
std::string QueryField(const std::string& query, const std::string& name);

// A positive number from the query, fallback when missing or not a number, never above most.
uint64_t QueryNumber(const std::string& query, const std::string& name, uint64_t fallback,
                     uint64_t most);

// The version, program and (group) status filters of a query.
ReportFilter FilterFromQuery(const std::string& query);

// A value fit for a query string: everything but unreserved characters percent-encoded.
std::string QueryValue(const std::string& text);

}  // namespace collector
