#include "readmodel/read_model.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "store/report_store.h"

namespace collector {
namespace {

constexpr uint64_t kPageRows = 1000;

using Params = std::vector<SqlValue>;

SqlValue Int(int64_t value) { return SqlValue::Int(value); }
SqlValue Text(const std::string& text) { return SqlValue::Text(text); }

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += (out.empty() ? "" : "\n") + line;
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (!text.empty() && at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      end = text.size();
    }
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// "$first, $first+1, ..." for count parameters.
std::string Placeholders(size_t first, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += (i == 0 ? "$" : ", $") + std::to_string(first + i);
  }
  return out;
}

constexpr char kCrashColumns[] =
    "id, group_id, received_utc, hour, has_ver, ver, program, code, address, state";

void ReadCrash(const SqlRow& row, CrashEntry& out) {
  out.id = row.Int(0);
  out.groupId = row.Int(1);
  out.receivedUtc = row.Text(2);
  out.hour = row.Int(3);
  out.hasVer = row.Int(4) != 0;
  out.ver = row.Text(5);
  out.program = row.Text(6);
  out.code = row.Text(7);
  out.address = row.Text(8);
  out.state = row.Text(9);
}

constexpr char kGroupColumns[] =
    "g.id, g.program, g.code, g.address, g.top_frames, g.count, g.first_seen, g.last_seen,"
    " g.status, g.resolved_in, g.regressed";

void ReadGroup(const SqlRow& row, GroupSummary& out) {
  out.id = row.Int(0);
  out.program = row.Text(1);
  out.code = row.Text(2);
  out.address = row.Text(3);
  out.topFrames = SplitLines(row.Text(4));
  out.count = static_cast<uint64_t>(row.Int(5));
  out.firstSeen = row.Text(6);
  out.lastSeen = row.Text(7);
  out.status = row.Text(8);
  out.resolvedIn = row.Text(9);
  out.regressed = row.Int(10) != 0;
}

// The versions of the groups, in order of first appearance, for groups read without a
// version filter.
bool AddVersions(SqlSession& session, std::vector<GroupSummary>& groups, std::string& error) {
  if (groups.empty()) {
    return true;
  }
  Params params;
  std::map<int64_t, GroupSummary*> byId;
  for (GroupSummary& group : groups) {
    params.push_back(Int(group.id));
    byId[group.id] = &group;
  }
  return session.Run(
      "SELECT group_id, ver FROM group_versions WHERE group_id IN (" +
          Placeholders(1, params.size()) + ") ORDER BY group_id, first_id",
      params,
      [&](const SqlRow& row) {
        auto group = byId.find(row.Int(0));
        if (group != byId.end()) {
          group->second->versions.push_back(row.Text(1));
        }
      },
      error);
}

// Groups by one query; with a version filter the counts and times are that version's.
bool QueryGroups(SqlSession& session, const ReportFilter& filter, const std::string& where,
                 Params params, const std::string& tail, std::vector<GroupSummary>& out,
                 std::string& error) {
  std::string sql;
  std::string conditions = where;
  auto add = [&](const std::string& condition) {
    conditions += (conditions.empty() ? " WHERE " : " AND ") + condition;
  };
  if (!filter.program.empty()) {
    params.push_back(Text(filter.program));
    add("g.program = $" + std::to_string(params.size()));
  }
  if (!filter.status.empty()) {
    params.push_back(Text(filter.status));
    add("g.status = $" + std::to_string(params.size()));
  }
  if (filter.version.empty()) {
    sql = std::string("SELECT ") + kGroupColumns + " FROM crash_groups g" + conditions +
          " ORDER BY g.regressed DESC, g.count DESC, g.id" + tail;
  } else {
    params.push_back(Text(filter.version));
    add("v.ver = $" + std::to_string(params.size()));
    sql =
        "SELECT g.id, g.program, g.code, g.address, g.top_frames, v.count, v.first_seen,"
        " v.last_seen, g.status, g.resolved_in, g.regressed FROM group_versions v JOIN"
        " crash_groups g ON g.id = v.group_id" +
        conditions + " ORDER BY g.regressed DESC, v.count DESC, g.id" + tail;
  }
  size_t first = out.size();
  if (!session.Run(
          sql, params,
          [&](const SqlRow& row) {
            out.emplace_back();
            ReadGroup(row, out.back());
            if (!filter.version.empty()) {
              out.back().versions.push_back(filter.version);
            }
          },
          error)) {
    return false;
  }
  if (!filter.version.empty()) {
    return true;
  }
  std::vector<GroupSummary> page(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  if (!AddVersions(session, page, error)) {
    return false;
  }
  std::copy(page.begin(), page.end(), out.begin() + static_cast<std::ptrdiff_t>(first));
  return true;
}

// The larger (or smaller) of the stored and the new value, for an upsert's SET; the stored one
// is named with its table, which PostgreSQL needs there.
std::string Pick(const std::string& table, const std::string& column, const char* op) {
  std::string stored = table + "." + column;
  return column + " = CASE WHEN excluded." + column + " " + op + " " + stored + " THEN excluded." +
         column + " ELSE " + stored + " END";
}

std::string Later(const std::string& table, const std::string& column) {
  return Pick(table, column, ">");
}

std::string Earlier(const std::string& table, const std::string& column) {
  return Pick(table, column, "<");
}

struct GroupTally {
  const CrashEntry* first = nullptr;  // the lowest id
  uint64_t count = 0;
  std::string firstSeen;
  std::string lastSeen;
};

void Tally(GroupTally& tally, const CrashEntry& entry) {
  if (tally.count++ == 0 || entry.id < tally.first->id) {
    tally.first = &entry;
  }
  if (tally.firstSeen.empty() || entry.receivedUtc < tally.firstSeen) {
    tally.firstSeen = entry.receivedUtc;
  }
  if (entry.receivedUtc > tally.lastSeen) {
    tally.lastSeen = entry.receivedUtc;
  }
}

bool AddCounters(SqlSession& session, const std::vector<const CrashEntry*>& entries,
                 const std::map<std::string, int64_t>& groupIds, std::string& error) {
  std::map<std::pair<int64_t, std::string>, GroupTally> versions;
  std::map<std::tuple<int64_t, std::string, int64_t>, uint64_t> hours;
  std::map<std::tuple<int64_t, std::string, std::string>, uint64_t> chart;
  for (const CrashEntry* entry : entries) {
    int64_t group = groupIds.at(entry->groupKey);
    Tally(versions[{group, entry->ver}], *entry);
    if (entry->hour >= 0) {
      ++hours[{group, entry->ver, entry->hour}];
      ++chart[{entry->hour, entry->ver, entry->program}];
    }
  }
  for (const auto& [key, tally] : versions) {
    if (!session.Run(
            "INSERT INTO group_versions (group_id, ver, count, first_id, first_seen, last_seen)"
            " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (group_id, ver) DO UPDATE SET"
            " count = group_versions.count + excluded.count, " +
                Earlier("group_versions", "first_id") + ", " +
                Earlier("group_versions", "first_seen") + ", " +
                Later("group_versions", "last_seen"),
            {Int(key.first), Text(key.second), Int(static_cast<int64_t>(tally.count)),
             Int(tally.first->id), Text(tally.firstSeen), Text(tally.lastSeen)},
            error)) {
      return false;
    }
  }
  for (const auto& [key, count] : hours) {
    if (!session.Run("INSERT INTO group_hours (group_id, ver, hour, count) VALUES ($1, $2, $3,"
                     " $4) ON CONFLICT (group_id, ver, hour) DO UPDATE SET"
                     " count = group_hours.count + excluded.count",
                     {Int(std::get<0>(key)), Text(std::get<1>(key)), Int(std::get<2>(key)),
                      Int(static_cast<int64_t>(count))},
                     error)) {
      return false;
    }
  }
  for (const auto& [key, count] : chart) {
    if (!session.Run("INSERT INTO chart_hours (hour, ver, program, count) VALUES ($1, $2, $3,"
                     " $4) ON CONFLICT (hour, ver, program) DO UPDATE SET"
                     " count = chart_hours.count + excluded.count",
                     {Int(std::get<0>(key)), Text(std::get<1>(key)), Text(std::get<2>(key)),
                      Int(static_cast<int64_t>(count))},
                     error)) {
      return false;
    }
  }
  return true;
}

bool InsertCrash(SqlSession& session, const CrashEntry& entry, int64_t groupId,
                 std::string& error) {
  return session.Run(
      "INSERT INTO crashes (id, group_id, received_utc, hour, has_ver, ver, program, code,"
      " address, state, frame_refs) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
      {Int(entry.id), Int(groupId), Text(entry.receivedUtc), Int(entry.hour),
       Int(entry.hasVer ? 1 : 0), Text(entry.ver), Text(entry.program), Text(entry.code),
       Text(entry.address), Text(entry.state), Text(entry.frameRefs)},
      error);
}

// A group as the upsert left it.
struct UpsertedGroup {
  int64_t id = 0;
  uint64_t count = 0;
  std::string status;
  std::string resolvedIn;
  std::string program;
  std::string code;
  std::vector<std::string> topFrames;
};

// Adds the tallies to the groups by key, creating missing groups with their first entry's id
// and texts. Returns each key's group as it is now.
bool UpsertGroups(SqlSession& session, const std::map<std::string, GroupTally>& tallies,
                  std::map<std::string, UpsertedGroup>& groups, std::string& error) {
  for (const auto& [key, tally] : tallies) {
    const CrashEntry& first = *tally.first;
    UpsertedGroup group;
    if (!session.Run(
            "INSERT INTO crash_groups (id, group_key, program, code, address, top_frames, count,"
            " first_seen, last_seen) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
            " ON CONFLICT (group_key) DO UPDATE SET count = crash_groups.count + excluded.count, " +
                Earlier("crash_groups", "first_seen") + ", " + Later("crash_groups", "last_seen") +
                " RETURNING id, count, status, resolved_in, program, code, top_frames",
            {Int(first.id), Text(key), Text(first.program), Text(first.code), Text(first.address),
             Text(JoinLines(first.topFrames)), Int(static_cast<int64_t>(tally.count)),
             Text(tally.firstSeen), Text(tally.lastSeen)},
            [&](const SqlRow& row) {
              group.id = row.Int(0);
              group.count = static_cast<uint64_t>(row.Int(1));
              group.status = row.Text(2);
              group.resolvedIn = row.Text(3);
              group.program = row.Text(4);
              group.code = row.Text(5);
              group.topFrames = SplitLines(row.Text(6));
            },
            error)) {
      return false;
    }
    if (group.id == 0) {
      error = "no group id returned";
      return false;
    }
    groups[key] = group;
  }
  return true;
}

GroupEvent EventOf(const char* kind, const UpsertedGroup& group, const std::string& version) {
  GroupEvent event;
  event.kind = kind;
  event.groupId = group.id;
  event.program = group.program;
  event.code = group.code;
  event.topFrames = group.topFrames;
  event.version = version;
  event.count = group.count;
  return event;
}

// Opens a resolved group again when one of its new reports is from the version it was resolved
// in or a later one. The row is the transaction's since the upsert, so only one writer flips it.
bool Reopen(SqlSession& session, const std::vector<const CrashEntry*>& entries,
            const std::string& key, UpsertedGroup& group, std::vector<GroupEvent>* events,
            std::string& error) {
  if (group.status != "resolved") {
    return true;
  }
  const CrashEntry* latest = nullptr;
  for (const CrashEntry* entry : entries) {
    if (entry->groupKey == key &&
        (group.resolvedIn.empty() || CompareVersions(entry->ver, group.resolvedIn) >= 0) &&
        (latest == nullptr || CompareVersions(entry->ver, latest->ver) > 0)) {
      latest = entry;
    }
  }
  if (latest == nullptr) {
    return true;
  }
  bool flipped = false;
  if (!session.Run("UPDATE crash_groups SET status = 'open', regressed = 1 WHERE id = $1 AND"
                   " status = 'resolved' RETURNING id",
                   {Int(group.id)}, [&](const SqlRow&) { flipped = true; }, error)) {
    return false;
  }
  group.status = "open";
  if (flipped && events != nullptr) {
    events->push_back(EventOf("regression", group, latest->ver));
  }
  return true;
}

// Groups whose hour passed the threshold with these entries: the hour's count was below it
// before them and is not after. The group's row is held by this transaction since the upsert,
// so no other writer adds to its hours meanwhile.
bool FindSpikes(SqlSession& session, const std::vector<const CrashEntry*>& entries,
                const std::map<std::string, UpsertedGroup>& groups, uint64_t threshold,
                std::vector<GroupEvent>& events, std::string& error) {
  std::map<std::pair<std::string, int64_t>, std::pair<uint64_t, const CrashEntry*>> added;
  for (const CrashEntry* entry : entries) {
    if (entry->hour >= 0) {
      auto& slot = added[{entry->groupKey, entry->hour}];
      ++slot.first;
      slot.second = entry;
    }
  }
  for (const auto& [where, batch] : added) {
    const UpsertedGroup& group = groups.at(where.first);
    if (group.status == "ignored") {
      continue;
    }
    uint64_t now = 0;
    if (!session.Run(
            "SELECT coalesce(sum(count), 0) FROM group_hours WHERE group_id = $1 AND hour = $2",
            {Int(group.id), Int(where.second)},
            [&](const SqlRow& row) { now = static_cast<uint64_t>(row.Int(0)); }, error)) {
      return false;
    }
    if (now >= threshold && now - batch.first < threshold) {
      GroupEvent event = EventOf("spike", group, batch.second->ver);
      event.count = now;
      event.hour = where.second;
      events.push_back(event);
    }
  }
  return true;
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() || j < b.size()) {
    size_t iEnd = std::min(a.find('.', i), a.size());
    size_t jEnd = std::min(b.find('.', j), b.size());
    std::string x = i < a.size() ? a.substr(i, iEnd - i) : "0";
    std::string y = j < b.size() ? b.substr(j, jEnd - j) : "0";
    bool numbers = !x.empty() && !y.empty() &&
                   x.find_first_not_of("0123456789") == std::string::npos &&
                   y.find_first_not_of("0123456789") == std::string::npos;
    if (numbers) {
      // As digit strings, so that no length overflows: leading zeros off, then by length.
      x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
      if (x.size() != y.size()) {
        return x.size() < y.size() ? -1 : 1;
      }
    }
    if (x != y) {
      return x < y ? -1 : 1;
    }
    i = iEnd + 1;
    j = jEnd + 1;
  }
  return 0;
}

bool RecordCrashes(SqlSession& session, const std::vector<const CrashEntry*>& entries,
                   std::string& error, const AlertRules& rules,
                   std::vector<GroupEvent>* events) {
  std::map<std::string, GroupTally> tallies;
  for (const CrashEntry* entry : entries) {
    Tally(tallies[entry->groupKey], *entry);
  }
  std::map<std::string, UpsertedGroup> groups;
  if (!UpsertGroups(session, tallies, groups, error)) {
    return false;
  }
  std::map<std::string, int64_t> groupIds;
  for (auto& [key, group] : groups) {
    groupIds[key] = group.id;
    // Only a group this upsert made counts exactly this batch's reports.
    if (events != nullptr && group.count == tallies[key].count) {
      events->push_back(EventOf("new_group", group, tallies[key].first->ver));
    }
    if (!Reopen(session, entries, key, group, events, error)) {
      return false;
    }
  }
  for (const CrashEntry* entry : entries) {
    if (!InsertCrash(session, *entry, groupIds.at(entry->groupKey), error)) {
      return false;
    }
  }
  if (!AddCounters(session, entries, groupIds, error)) {
    return false;
  }
  return rules.spikePerHour == 0 || events == nullptr ||
         FindSpikes(session, entries, groups, rules.spikePerHour, *events, error);
}

bool SetGroupStatus(ReportStore& store, int64_t groupId, const std::string& status,
                    const std::string& version, bool& found, std::string& error) {
  found = false;
  return store.Write(
      [&](SqlSession& session, std::string& failure) {
        found = false;
        return session.Run(
            "UPDATE crash_groups SET status = $2, resolved_in = $3, regressed = 0 WHERE id = $1"
            " RETURNING id",
            {Int(groupId), Text(status), Text(status == "resolved" ? version : "")},
            [&](const SqlRow&) { found = true; }, failure);
      },
      error);
}

bool RebuildGroups(SqlSession& session, const std::vector<int64_t>& groupIds, std::string& error) {
  for (int64_t id : groupIds) {
    Params group = {Int(id)};
    int64_t members = 0;
    if (!session.Run("DELETE FROM group_versions WHERE group_id = $1", group, error) ||
        !session.Run("DELETE FROM group_hours WHERE group_id = $1", group, error) ||
        !session.Run(
            "SELECT count(*) FROM crashes WHERE group_id = $1", group,
            [&](const SqlRow& row) { members = row.Int(0); }, error)) {
      return false;
    }
    if (members == 0) {
      if (!session.Run("DELETE FROM crash_groups WHERE id = $1", group, error)) {
        return false;
      }
      continue;
    }
    if (!session.Run("UPDATE crash_groups SET count = (SELECT count(*) FROM crashes c WHERE"
                     " c.group_id = $1), first_seen = (SELECT min(received_utc) FROM crashes c"
                     " WHERE c.group_id = $1), last_seen = (SELECT max(received_utc) FROM"
                     " crashes c WHERE c.group_id = $1) WHERE id = $1",
                     group, error) ||
        !session.Run("INSERT INTO group_versions (group_id, ver, count, first_id, first_seen,"
                     " last_seen) SELECT group_id, ver, count(*), min(id), min(received_utc),"
                     " max(received_utc) FROM crashes WHERE group_id = $1 GROUP BY group_id, ver",
                     group, error) ||
        !session.Run("INSERT INTO group_hours (group_id, ver, hour, count) SELECT group_id, ver,"
                     " hour, count(*) FROM crashes WHERE group_id = $1 AND hour >= 0"
                     " GROUP BY group_id, ver, hour",
                     group, error)) {
      return false;
    }
  }
  return true;
}

bool Regroup(SqlSession& session, const std::vector<CrashEntry>& changed, std::string& error) {
  // Every group an entry leaves or joins is made again from its members: ids stay those of a
  // member (the lowest), so they never collide with the groups left alone.
  std::set<int64_t> affected;
  std::map<int64_t, const CrashEntry*> moved;
  std::set<std::string> keys;
  for (const CrashEntry& entry : changed) {
    moved[entry.id] = &entry;
    keys.insert(entry.groupKey);
    if (!session.Run(
            "SELECT group_id FROM crashes WHERE id = $1", {Int(entry.id)},
            [&](const SqlRow& row) { affected.insert(row.Int(0)); }, error)) {
      return false;
    }
  }
  for (const std::string& key : keys) {
    if (!session.Run(
            "SELECT id FROM crash_groups WHERE group_key = $1", {Text(key)},
            [&](const SqlRow& row) { affected.insert(row.Int(0)); }, error)) {
      return false;
    }
  }
  // The members of those groups by their key after the move, and each key's texts.
  struct Rebuilt {
    std::vector<int64_t> members;
    GroupSummary texts;
  };
  std::map<std::string, Rebuilt> rebuilt;
  // A group's status stays with its key, else goes where its first report goes.
  std::map<std::string, GroupSummary> statuses;
  std::map<int64_t, std::string> keyBefore;
  for (int64_t group : affected) {
    std::string key;
    GroupSummary texts;
    if (!session.Run(
            "SELECT group_key, program, code, address, top_frames, status, resolved_in,"
            " regressed FROM crash_groups WHERE id = $1",
            {Int(group)},
            [&](const SqlRow& row) {
              key = row.Text(0);
              texts.program = row.Text(1);
              texts.code = row.Text(2);
              texts.address = row.Text(3);
              texts.topFrames = SplitLines(row.Text(4));
              texts.status = row.Text(5);
              texts.resolvedIn = row.Text(6);
              texts.regressed = row.Int(7) != 0;
            },
            error)) {
      return false;
    }
    statuses[key] = texts;
    std::vector<int64_t> members;
    if (!session.Run(
            "SELECT id FROM crashes WHERE group_id = $1 ORDER BY id", {Int(group)},
            [&](const SqlRow& row) { members.push_back(row.Int(0)); }, error)) {
      return false;
    }
    for (int64_t member : members) {
      keyBefore[member] = key;
      auto move = moved.find(member);
      std::string memberKey = move == moved.end() ? key : move->second->groupKey;
      Rebuilt& target = rebuilt[memberKey];
      target.members.push_back(member);
      if (move == moved.end() && target.texts.program.empty() && target.texts.code.empty()) {
        target.texts = texts;
      }
    }
  }
  for (int64_t group : affected) {
    Params params = {Int(group)};
    if (!session.Run("DELETE FROM group_versions WHERE group_id = $1", params, error) ||
        !session.Run("DELETE FROM group_hours WHERE group_id = $1", params, error) ||
        !session.Run("DELETE FROM crash_groups WHERE id = $1", params, error)) {
      return false;
    }
  }
  std::vector<int64_t> ids;
  for (auto& [key, group] : rebuilt) {
    std::sort(group.members.begin(), group.members.end());
    int64_t id = group.members.front();
    auto move = moved.find(id);
    if (move != moved.end()) {
      // A group that a moved entry starts takes its texts from it, as at ingest.
      group.texts.program = move->second->program;
      group.texts.code = move->second->code;
      group.texts.address = move->second->address;
      group.texts.topFrames = move->second->topFrames;
    } else if (!session.Run(
                   "SELECT program, code, address FROM crashes WHERE id = $1", {Int(id)},
                   [&](const SqlRow& row) {
                     group.texts.program = row.Text(0);
                     group.texts.code = row.Text(1);
                     group.texts.address = row.Text(2);
                   },
                   error)) {
      return false;
    }
    auto kept = statuses.find(key);
    const GroupSummary& status =
        kept != statuses.end() ? kept->second : statuses[keyBefore[group.members.front()]];
    if (!session.Run("INSERT INTO crash_groups (id, group_key, program, code, address,"
                     " top_frames, count, first_seen, last_seen, status, resolved_in, regressed)"
                     " VALUES ($1, $2, $3, $4, $5, $6, 0, '', '', $7, $8, $9)",
                     {Int(id), Text(key), Text(group.texts.program), Text(group.texts.code),
                      Text(group.texts.address), Text(JoinLines(group.texts.topFrames)),
                      Text(status.status), Text(status.resolvedIn), Int(status.regressed ? 1 : 0)},
                     error)) {
      return false;
    }
    for (int64_t member : group.members) {
      if (!session.Run("UPDATE crashes SET group_id = $1 WHERE id = $2", {Int(id), Int(member)},
                       error)) {
        return false;
      }
    }
    ids.push_back(id);
  }
  for (const CrashEntry& entry : changed) {
    if (!session.Run("UPDATE crashes SET frame_refs = $1 WHERE id = $2",
                     {Text(entry.frameRefs), Int(entry.id)}, error)) {
      return false;
    }
  }
  return RebuildGroups(session, ids, error);
}

bool ListGroups(ReportStore& store, const GroupQuery& query, std::vector<GroupSummary>& out,
                bool& more, std::string& error) {
  out.clear();
  more = false;
  // One row past the page tells whether another follows.
  std::string tail =
      " LIMIT " + std::to_string(query.limit + 1) + " OFFSET " + std::to_string(query.offset);
  bool ok = store.Read(
      [&](SqlSession& session, std::string& failure) {
        return QueryGroups(session, query.filter, "", {}, tail, out, failure);
      },
      error);
  if (ok && out.size() > query.limit) {
    out.resize(query.limit);
    more = true;
  }
  return ok;
}

bool FindGroup(ReportStore& store, int64_t id, const ReportFilter& filter, GroupSummary& out,
               bool& found, std::string& error) {
  std::vector<GroupSummary> groups;
  bool ok = store.Read(
      [&](SqlSession& session, std::string& failure) {
        return QueryGroups(session, filter, " WHERE g.id = $1", {Int(id)}, "", groups, failure);
      },
      error);
  found = ok && !groups.empty();
  if (found) {
    out = groups.front();
  }
  return ok;
}

bool GroupMembers(ReportStore& store, int64_t groupId, int64_t afterId, uint64_t limit,
                  std::vector<CrashEntry>& out, std::string& error) {
  out.clear();
  return store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
            std::string("SELECT ") + kCrashColumns +
                " FROM crashes WHERE group_id = $1 AND id > $2 ORDER BY id LIMIT $3",
            {Int(groupId), Int(afterId), Int(static_cast<int64_t>(limit))},
            [&](const SqlRow& row) {
              out.emplace_back();
              ReadCrash(row, out.back());
            },
            failure);
      },
      error);
}

bool FindCrash(ReportStore& store, int64_t id, CrashEntry& out, bool& found, std::string& error) {
  found = false;
  return store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
            std::string("SELECT ") + kCrashColumns + " FROM crashes WHERE id = $1", {Int(id)},
            [&](const SqlRow& row) {
              ReadCrash(row, out);
              found = true;
            },
            failure);
      },
      error);
}

bool ForEachCrash(ReportStore& store, const std::function<void(const CrashEntry&)>& visit,
                  std::string& error) {
  int64_t after = 0;
  for (;;) {
    std::vector<CrashEntry> page;
    if (!store.Read(
            [&](SqlSession& session, std::string& failure) {
              return session.Run(
                  std::string("SELECT ") + kCrashColumns +
                      " FROM crashes WHERE id > $1 ORDER BY id LIMIT $2",
                  {Int(after), Int(static_cast<int64_t>(kPageRows))},
                  [&](const SqlRow& row) {
                    page.emplace_back();
                    ReadCrash(row, page.back());
                  },
                  failure);
            },
            error)) {
      return false;
    }
    for (const CrashEntry& entry : page) {
      visit(entry);
    }
    if (page.size() < kPageRows) {
      return true;
    }
    after = page.back().id;
  }
}

bool ForEachGroup(ReportStore& store, const std::function<void(const GroupSummary&)>& visit,
                  std::string& error) {
  GroupQuery query;
  query.limit = kPageRows;
  for (;;) {
    std::vector<GroupSummary> page;
    bool more = false;
    if (!ListGroups(store, query, page, more, error)) {
      return false;
    }
    for (const GroupSummary& group : page) {
      visit(group);
    }
    if (!more) {
      return true;
    }
    query.offset += page.size();
  }
}

bool CountCrashes(ReportStore& store, uint64_t& count, std::string& error) {
  count = 0;
  return store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
            "SELECT count(*) FROM crashes", {},
            [&](const SqlRow& row) { count = static_cast<uint64_t>(row.Int(0)); }, failure);
      },
      error);
}

bool HourlyCounts(ReportStore& store, const ReportFilter& filter, int64_t firstHour,
                  int64_t lastHour, std::vector<HourCount>& out, std::string& error) {
  out.clear();
  Params params = {Int(firstHour), Int(lastHour)};
  std::string sql = "SELECT ver, hour, sum(count) FROM chart_hours WHERE hour >= $1 AND hour <= $2";
  if (!filter.program.empty()) {
    params.push_back(Text(filter.program));
    sql += " AND program = $" + std::to_string(params.size());
  }
  if (!filter.version.empty()) {
    params.push_back(Text(filter.version));
    sql += " AND ver = $" + std::to_string(params.size());
  }
  sql += " GROUP BY ver, hour";
  return store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
            sql, params,
            [&](const SqlRow& row) {
              out.push_back(HourCount{row.Text(0), row.Int(1), static_cast<uint64_t>(row.Int(2))});
            },
            failure);
      },
      error);
}

bool Facets(ReportStore& store, std::vector<std::string>& versions,
            std::vector<std::string>& programs, std::string& error) {
  versions.clear();
  programs.clear();
  return store.Read(
      [&](SqlSession& session, std::string& failure) {
        return session.Run(
                   "SELECT DISTINCT ver FROM group_versions ORDER BY ver", {},
                   [&](const SqlRow& row) { versions.push_back(row.Text(0)); }, failure) &&
               session.Run(
                   "SELECT DISTINCT program FROM crash_groups ORDER BY program", {},
                   [&](const SqlRow& row) { programs.push_back(row.Text(0)); }, failure);
      },
      error);
}

bool LookupFrameSymbols(SqlSession& session, std::vector<FrameSymbol>& frames, std::string& error) {
  for (FrameSymbol& frame : frames) {
    frame.found = false;
    if (!session.Run(
            "SELECT function, file, line FROM frame_symbols WHERE symbol_id = $1 AND"
            " address = $2",
            {Int(frame.symbolId), Int(static_cast<int64_t>(frame.address))},
            [&](const SqlRow& row) {
              frame.function = row.Text(0);
              frame.file = row.Text(1);
              frame.line = static_cast<uint32_t>(row.Int(2));
              frame.found = true;
            },
            error)) {
      return false;
    }
  }
  return true;
}

bool SaveFrameSymbols(SqlSession& session, const std::vector<FrameSymbol>& frames,
                      std::string& error) {
  for (const FrameSymbol& frame : frames) {
    if (!session.Run("INSERT INTO frame_symbols (symbol_id, address, function, file, line)"
                     " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (symbol_id, address) DO NOTHING",
                     {Int(frame.symbolId), Int(static_cast<int64_t>(frame.address)),
                      Text(frame.function), Text(frame.file), Int(frame.line)},
                     error)) {
      return false;
    }
  }
  return true;
}

int64_t UnixSeconds(const std::string& iso) {
  std::tm parts{};
  int year = 0;
  int month = 0;
  if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
    return -1;
  }
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  return static_cast<int64_t>(timegm(&parts));
}

bool ParseId(const std::string& text, int64_t& id) {
  if (text.empty() || text.size() > 18) {
    return false;
  }
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    id = id * 10 + (c - '0');
  }
  return true;
}

}  // namespace collector
