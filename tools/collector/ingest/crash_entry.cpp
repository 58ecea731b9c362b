#include "ingest/crash_entry.h"

#include <cstdio>

#include "formats/payload_decode.h"
#include "formats/stack_text.h"
#include "formats/summary_parse.h"
#include "gbk.h"
#include "readmodel/dump_walk.h"
#include "readmodel/report_detail.h"
#include "readmodel/stack_symbolize.h"
#include "store/report_store.h"

namespace collector {
namespace {

// The top frames kept with each report: enough to find the game's own three below the crash
// reporter's, the runtime's and the system's frames, and to key the report again later.
constexpr size_t kKeptFrames = 16;
constexpr size_t kBackfillPage = 200;
constexpr int64_t kRegroupPage = 1000;
// The largest crash.dmp decoded again for a walk: the bound uploads are decoded under by default.
constexpr uint64_t kMaxDumpBytes = 32u << 20;
// The first line of frame refs walked from the report's crash.dmp: those are walked again when
// symbols arrive (the images' CFI changes the frames themselves, not only their names). Stack
// text readers skip it as a line outside the grammar.
constexpr char kDumpWalked[] = "walked crash.dmp\r\n";

// UTF-8 for one line: the read model's texts are shown on terminals and kept as plain text.
std::string Clean(const std::string& gbk) { return StripControls(GbkToUtf8(gbk)); }

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// Every byte that is not printable ASCII (and %) as %XX, so any bytes keep as plain text.
std::string FrameRefs(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// The stack's top frames and their modules, written as stack.txt and escaped as above.
std::string FrameRefs(const StackTrace& trace, bool fromDump) {
  StackTrace top;
  for (size_t i = 0; i < trace.frames.size() && i < kKeptFrames; ++i) {
    const StackFrame& frame = trace.frames[i];
    top.frames.push_back(frame);
    const StackModule* module = ModuleOf(trace, frame);
    if (module != nullptr && ModuleOf(top, frame) == nullptr) {
      top.modules.push_back(*module);
    }
  }
  return FrameRefs((fromDump ? kDumpWalked : "") + FormatStackText(top));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UnescapeFrameRefs(const std::string& refs) {
  std::string text;
  for (size_t i = 0; i < refs.size(); ++i) {
    if (refs[i] == '%' && i + 2 < refs.size() && HexValue(refs[i + 1]) >= 0 &&
        HexValue(refs[i + 2]) >= 0) {
      text += static_cast<char>(HexValue(refs[i + 1]) * 16 + HexValue(refs[i + 2]));
      i += 2;
    } else {
      text += refs[i];
    }
  }
  return text;
}

// The crashing thread walked from the dump against the images stored now; false when the dump
// does not parse or gives that thread no frames.
bool WalkCrashedThread(ReportStore& store, const std::string& dump, StackTrace& trace) {
  std::vector<DumpThreadStack> threads;
  if (!WalkDumpStacks(store, dump, threads) || threads.empty() || !threads.front().crashed ||
      threads.front().trace.frames.empty()) {
    return false;
  }
  trace = threads.front().trace;
  return true;
}

void SetStackKey(CrashEntry& entry, const std::vector<ResolvedFrame>& resolved) {
  entry.topFrames = StackGroupFrames(resolved);
  entry.groupKey = "stack\n" + StackGroupKey(resolved);
}

void SetSummaryKey(CrashEntry& entry) {
  entry.topFrames.clear();
  entry.groupKey = "summary\n" + OrDash(entry.program) + "\n" + OrDash(entry.code) + "\n" +
                   OrDash(entry.address);
}

}  // namespace

CrashEntry DescribeCrash(ReportStore& store, const StoredReport& report, bool hasLog,
                         const std::string& log, bool hasStack, const std::string& stack,
                         const std::string* dump) {
  CrashEntry entry;
  entry.receivedUtc = Clean(report.receivedUtc);
  int64_t seconds = UnixSeconds(entry.receivedUtc);
  entry.hour = seconds < 0 ? -1 : seconds / 3600;
  entry.hasVer = report.hasVer;
  entry.ver = Clean(report.ver);
  entry.state = Clean(report.state);
  if (hasLog) {
    CrashFacts facts = ParseCrashFacts(log);
    entry.program = Clean(facts.program);
    entry.code = facts.unknownError && facts.code.empty() ? "unknown" : Clean(facts.code);
    entry.address = Clean(facts.address);
  }
  StackTrace trace = hasStack ? ParseStackText(stack) : StackTrace();
  // The server's own walk beats the sender's: it has the images' CFI. A dump that does not parse
  // leaves stack.txt.
  bool walked = dump != nullptr && WalkCrashedThread(store, *dump, trace);
  if (trace.frames.empty()) {
    SetSummaryKey(entry);
    return entry;
  }
  std::vector<std::vector<ResolvedFrame>> resolved = ResolveStacks(store, {trace}, kKeptFrames);
  SetStackKey(entry, resolved.front());
  entry.frameRefs = FrameRefs(trace, walked);
  return entry;
}

bool StoreWithEntries(ReportStore& store, const std::vector<const StoredReport*>& reports,
                      const std::vector<const CrashEntry*>& entries, std::vector<int64_t>& ids,
                      std::vector<std::string>& errors, std::string& error,
                      const AlertRules& rules, std::vector<GroupEvent>* events) {
  auto record = [&entries, &rules, events](SqlSession& session,
                                           const std::vector<int64_t>& stored,
                                           std::string& failure) {
    // A transaction tried again finds its events again.
    if (events != nullptr) {
      events->clear();
    }
    std::vector<CrashEntry> kept;
    for (size_t i = 0; i < stored.size() && i < entries.size(); ++i) {
      if (stored[i] != 0) {
        kept.push_back(*entries[i]);
        kept.back().id = stored[i];
      }
    }
    std::vector<const CrashEntry*> pointers;
    for (const CrashEntry& entry : kept) {
      pointers.push_back(&entry);
    }
    return RecordCrashes(session, pointers, failure, rules, events);
  };
  return store.StoreBatch(reports, ids, errors, error, record);
}

bool BackfillCrashEntries(ReportStore& store, const std::function<void(uint64_t)>& progress,
                          std::string& error) {
  uint64_t done = 0;
  int64_t upto = 0;
  int64_t failedAt = -1;
  for (;;) {
    // The cursor is read again each page: another collector on the same store may be filling
    // the same range, and a page it took is skipped here.
    int64_t after = 0;
    if (!store.Read(
            [&](SqlSession& session, std::string& failure) {
              return session.Run(
                         "SELECT coalesce(max(upto), 0) FROM backfill_state", {},
                         [&](const SqlRow& row) { upto = row.Int(0); }, failure) &&
                     session.Run(
                         "SELECT coalesce(max(id), 0) FROM crashes WHERE id <= $1",
                         {SqlValue::Int(upto)}, [&](const SqlRow& row) { after = row.Int(0); },
                         failure);
            },
            error)) {
      return false;
    }
    if (after >= upto) {
      return true;
    }
    std::vector<StoredReport> page;
    if (!store.ReadRange(after, kBackfillPage, page, error)) {
      return false;
    }
    while (!page.empty() && page.back().id > upto) {
      page.pop_back();
    }
    if (page.empty()) {
      return true;
    }
    std::vector<CrashEntry> entries;
    for (const StoredReport& report : page) {
      bool hasLog = report.hasLog;
      bool hasStack = report.hasStack;
      DecodedPayload decoded;
      // Reports from before the read model kept their decoded log; newer ones keep only the
      // upload, decoded again here.
      if (!hasLog && (report.state == "archive" || report.state == "unpacked")) {
        decoded = DecodePayload(report.payload);
        hasLog = decoded.state == DecodeState::kArchive || decoded.state == DecodeState::kUnpacked;
        hasStack = decoded.hasStack;
      }
      ArchiveEntry dump = DecodeArchiveEntry(report.payload, kMinidumpEntryName, kMaxDumpBytes);
      entries.push_back(DescribeCrash(store, report, hasLog,
                                      report.hasLog ? report.log : decoded.log, hasStack,
                                      report.hasStack ? report.stack : decoded.stack,
                                      dump.decoded ? &dump.bytes : nullptr));
      entries.back().id = report.id;
    }
    std::vector<const CrashEntry*> pointers;
    for (const CrashEntry& entry : entries) {
      pointers.push_back(&entry);
    }
    if (!store.Write(
            [&](SqlSession& session, std::string& failure) {
              return RecordCrashes(session, pointers, failure);
            },
            error)) {
      // Once, in case another collector stored this page first; a second failure is real.
      if (failedAt == after) {
        return false;
      }
      failedAt = after;
      continue;
    }
    done += page.size();
    progress(done);
  }
}

namespace {

// Keys again the reports whose frame_refs pass the SQL condition mentions ($3 on: patterns).
bool RegroupWhere(ReportStore& store, const std::string& mentions,
                  const std::vector<SqlValue>& patterns, uint64_t& changed, std::string& error);

}  // namespace

bool RegroupAllStacks(ReportStore& store, uint64_t& changed, std::string& error) {
  return RegroupWhere(store, "1 = 1", {}, changed, error);
}

bool RegroupStacks(ReportStore& store, const std::vector<std::string>& modules, uint64_t& changed,
                   std::string& error) {
  changed = 0;
  if (modules.empty()) {
    return true;
  }
  // Only reports that name one of the modules can change; the text test is a cheap superset
  // (LIKE's _ matches any character), the keys decide.
  std::string mentions;
  std::vector<SqlValue> patterns;
  for (const std::string& module : modules) {
    mentions += std::string(mentions.empty() ? "" : " OR ") + "lower(c.frame_refs) LIKE $" +
                std::to_string(patterns.size() + 3);
    patterns.push_back(SqlValue::Text("%" + LowerAscii(FrameRefs(module)) + "%"));
  }
  return RegroupWhere(store, mentions, patterns, changed, error);
}

namespace {

bool RegroupWhere(ReportStore& store, const std::string& mentions,
                  const std::vector<SqlValue>& patterns, uint64_t& changed, std::string& error) {
  changed = 0;
  int64_t after = 0;
  for (;;) {
    std::vector<SqlValue> params = {SqlValue::Int(after), SqlValue::Int(kRegroupPage)};
    params.insert(params.end(), patterns.begin(), patterns.end());
    std::vector<CrashEntry> page;
    std::vector<std::string> keys;
    if (!store.Read(
            [&](SqlSession& session, std::string& failure) {
              return session.Run(
                  "SELECT c.id, c.frame_refs, g.group_key, c.program, c.code, c.address FROM"
                  " crashes c JOIN crash_groups g ON g.id = c.group_id WHERE c.id > $1 AND"
                  " c.frame_refs <> '' AND (" +
                      mentions + ") ORDER BY c.id LIMIT $2",
                  params,
                  [&](const SqlRow& row) {
                    page.emplace_back();
                    page.back().id = row.Int(0);
                    page.back().frameRefs = row.Text(1);
                    keys.push_back(row.Text(2));
                    page.back().program = row.Text(3);
                    page.back().code = row.Text(4);
                    page.back().address = row.Text(5);
                  },
                  failure);
            },
            error)) {
      return false;
    }
    if (page.empty()) {
      return true;
    }
    after = page.back().id;
    std::vector<StackTrace> stacks;
    std::vector<std::string> refs;
    for (CrashEntry& entry : page) {
      std::string text = UnescapeFrameRefs(entry.frameRefs);
      stacks.push_back(ParseStackText(text));
      refs.push_back(entry.frameRefs);
      if (text.compare(0, sizeof(kDumpWalked) - 1, kDumpWalked) != 0) {
        continue;
      }
      // The symbols that arrived may hold the CFI that finds the frames themselves.
      ArchiveEntry dump;
      bool found = false;
      StackTrace walked;
      std::string unread;  // the report stays keyed as it is
      if (LoadMinidump(store, entry.id, kMaxDumpBytes, dump, found, unread) && found &&
          dump.decoded && WalkCrashedThread(store, dump.bytes, walked)) {
        stacks.back() = walked;
        entry.frameRefs = FrameRefs(walked, true);
      }
    }
    std::vector<std::vector<ResolvedFrame>> resolved = ResolveStacks(store, stacks, kKeptFrames);
    std::vector<CrashEntry> moved;
    for (size_t i = 0; i < page.size(); ++i) {
      if (stacks[i].frames.empty()) {
        continue;
      }
      SetStackKey(page[i], resolved[i]);
      if (page[i].groupKey != keys[i] || page[i].frameRefs != refs[i]) {
        moved.push_back(page[i]);
      }
    }
    if (!moved.empty() &&
        !store.Write([&](SqlSession& session,
                         std::string& failure) { return Regroup(session, moved, failure); },
                     error)) {
      return false;
    }
    changed += moved.size();
  }
}

}  // namespace

}  // namespace collector
