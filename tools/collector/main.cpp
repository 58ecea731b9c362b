// collector: receives the crash uploads, keeps them in SQLite or PostgreSQL, lists and shows them.

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "formats/pe_image.h"
#include "formats/stack_text.h"
#include "front/metrics.h"
#include "front/upload_server.h"
#include "front/webhooks.h"
#include "gbk.h"
#include "ingest/crash_entry.h"
#include "ingest/symbol_intake.h"
#include "readmodel/read_model.h"
#include "readmodel/report_detail.h"
#include "readmodel/stack_symbolize.h"
#include "render/report_view.h"
#include "store/report_store.h"

namespace {

using collector::ReportStore;
using collector::ServerOptions;
using collector::StackTrace;
using collector::StoredReport;
using collector::SymbolFile;
using collector::UploadServer;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMinReadTokenBytes = 16;

constexpr char kSynopsis[] =
    "usage:\n"
    "  collector serve --db FILE [--listen HOST:PORT] [--max-bytes N] [--status CODE]\n"
    "                  [--max-connections N] [--max-per-address N] [--head-timeout SECONDS]\n"
    "                  [--min-rate BYTES] [--max-header-bytes N] [--max-inflight-bytes N]\n"
    "                  [--max-decoded-bytes N] [--keep-days N]\n"
    "                  [--read-token-file FILE] [--trusted-proxy ADDRESS]...\n"
    "                  [--symbols-token-file FILE] [--max-symbol-bytes N]\n"
    "                  [--metrics-listen HOST:PORT]\n"
    "                  [--webhook-url URL]... [--webhook-secret-file FILE]\n"
    "                  [--public-url URL] [--spike-per-hour N]\n"
    "  collector list --db FILE\n"
    "  collector show ID --db FILE [--raw | --pak | --minidump OUT]\n"
    "  collector symbols add --db FILE FILE...\n"
    "  collector prune --db FILE --before TIMESTAMP\n"
    "  collector regroup --db FILE\n"
    "  collector migrate --from FILE --to postgresql://...\n";

constexpr char kDetails[] =
    "serve   accepts multipart/form-data POST uploads on any path: the file part \"file\"\n"
    "        (a PAKF archive with the entry log.txt, or the log text itself) and the text\n"
    "        field \"ver\". Every upload is stored in the SQLite database FILE (created when\n"
    "        missing) before it is answered; one that cannot be decoded is stored raw and\n"
    "        flagged. Only the upload is kept: its log is decoded again for the report page.\n"
    "        Its crash fields, group and the group's counters are stored with it. Answers 200 \"OK "
    "<id>\", 400 without a \"file\" part, with a second\n"
    "        \"file\" or \"ver\" part, or for a body that is not multipart/form-data, 413\n"
    "        above the size limit (whatever the transfer encoding), 405 to other methods.\n"
    "        --listen HOST:PORT  address to listen on (default 127.0.0.1:0); port 0 picks a\n"
    "                            free port. The first line on stdout is always\n"
    "                            \"listening HOST:PORT\" with the port actually bound.\n"
    "        --max-bytes N       largest accepted request body in bytes (default 67108864)\n"
    "        --max-connections N  open connections in all (default 4096)\n"
    "        --max-per-address N  open connections from one client address (default 64)\n"
    "        --head-timeout S    the request head must arrive within S seconds of\n"
    "                            connecting (default 10); also the idle timeout\n"
    "        --min-rate BYTES    a body that brings fewer than S times this many bytes in\n"
    "                            any S seconds (a sliding window, from S seconds after its\n"
    "                            head) is cut off (default 1024)\n"
    "        --max-header-bytes N  request line and headers together (default 32768)\n"
    "        --max-inflight-bytes N  bytes of all request bodies being received or stored\n"
    "                            at once (default 1073741824, or --max-bytes when that is\n"
    "                            larger; never below --max-bytes); an upload that would go\n"
    "                            over is answered 503 with \"Retry-After: 5\": at once when\n"
    "                            it announces its length, else once its bytes go over\n"
    "        --max-decoded-bytes N  an upload whose log claims more than N bytes once\n"
    "                            decoded is not decoded: it is kept raw with the state\n"
    "                            too-large (default 33554432)\n"
    "        --keep-days N       retention: at start and then daily, prune the reports\n"
    "                            received more than N days ago (see prune)\n"
    "        --status CODE       answer stored uploads with this status (200-599, default\n"
    "                            200); for testing senders. The upload is stored all the same.\n"
    "        --read-token-file FILE  turns on the read API (GET /api/groups,\n"
    "                            /api/groups/ID/reports, /api/reports/ID[/raw]) for requests\n"
    "                            with \"Authorization: Bearer TOKEN\" (the scheme in any\n"
    "                            case), TOKEN being the file's text without trailing white\n"
    "                            space, at least 16 bytes; others get 401. Without it /api/\n"
    "                            answers 404. It also turns on the web dashboard (GET /,\n"
    "                            /groups/ID, /reports/ID): a browser signs in on /login with\n"
    "                            the token and gets a 12-hour session cookie; /login and\n"
    "                            /logout refuse forms sent from other sites (403). Two\n"
    "                            threads answer the pages and API reads; up to 64 more wait,\n"
    "                            beyond that 503 with \"Retry-After: 1\". Lists page:\n"
    "                            /api/groups?limit=N&page=N (also ?version= and ?program=),\n"
    "                            /api/groups/ID/reports?limit=N&after=ID (at most 1000 a\n"
    "                            page, 100 by default), the next page named in the Link\n"
    "                            header; on the pages ?page=N and ?after=ID.\n"
    "        --trusted-proxy ADDRESS  a reverse proxy (e.g. nginx) in front: for connections\n"
    "                            from this address the sender is the one in its X-Real-IP\n"
    "                            header, kept as \"SENDER via PROXY:PORT\". May be repeated;\n"
    "                            from any other address the header is ignored.\n"
    "        --symbols-token-file FILE  turns on symbol uploads: POST /api/symbols, a\n"
    "                            multipart/form-data body of one or more file parts (any\n"
    "                            field name, repeated or not), with \"Authorization: Bearer\n"
    "                            TOKEN\" (at least 16 bytes, not the read token; others get\n"
    "                            401). The files are stored as symbols add stores them and\n"
    "                            the affected reports regrouped; the JSON answer lists each\n"
    "                            file with its name, kind, debug_id, code_id and status\n"
    "                            (\"stored\", \"already stored\" or \"refused\" with an error):\n"
    "                            200, or 422 when one was refused. With the read token,\n"
    "                            stored files are served to debuggers in the symbol server\n"
    "                            layout: GET /symbols/NAME.pdb/GUIDAGE/NAME.pdb and\n"
    "                            /symbols/NAME.exe/TIMESTAMPSIZE/NAME.exe (404 when absent).\n"
    "        --max-symbol-bytes N  largest symbol upload body (default 536870912); above\n"
    "                            it 413. --max-inflight-bytes is raised to it.\n"
    "        --metrics-listen HOST:PORT  serves GET /metrics in Prometheus' text format on\n"
    "                            this address of its own, without any token (keep it\n"
    "                            private); every other request there gets 404. Port 0\n"
    "                            picks a free port; the line after \"listening\" on stdout\n"
    "                            is then \"metrics HOST:PORT\" with the port bound.\n"
    "        --webhook-url URL   POSTs a JSON alert to this http:// URL when a group is new,\n"
    "                            regresses (resolved, then a report from that version or a\n"
    "                            later one), or spikes; may be repeated,\n"
    "                            each URL gets every alert. Not delivered (no 2xx within 10\n"
    "                            seconds) is tried again, waits doubling from 1 s to 60 s,\n"
    "                            for 10 minutes; at most 1000 alerts wait per URL.\n"
    "        --webhook-secret-file FILE  signs each alert: the header X-Vexo-Signature is\n"
    "                            \"sha256=\" and the hex HMAC-SHA256 of the body, keyed with\n"
    "                            the file's first line (trimmed)\n"
    "        --public-url URL    the dashboard's address as people reach it (e.g.\n"
    "                            https://crash.example); alerts link to URL/groups/ID\n"
    "        --spike-per-hour N  also alerts, once an hour, when a group's reports in that\n"
    "                            hour reach N (ignored groups never; off by default)\n"
    "        SIGINT or SIGTERM stop it: no new connections; open ones get 3 seconds to\n"
    "        finish, then are closed; every answered report is stored; exit status 0.\n"
    "list    one line per report: id, received (UTC), ver, program, exception code,\n"
    "        exception address, state (archive, unpacked, undecodable or too-large); then\n"
    "        the groups of identical crashes (program, code, address) with their counts.\n"
    "        Reports with a stack group by their top three frames instead: function names\n"
    "        where symbols are stored, else MODULE+0xOFFSET. Read from the groups and\n"
    "        counters kept at ingest, a page at a time. A store an older collector wrote is\n"
    "        indexed first (list, show and serve do this once, with progress on stderr).\n"
    "show    a header (id, time, peer, ver, state, ...), the stack when the report has one\n"
    "        (#N function file:line through llvm-symbolizer, #N MODULE+0xOFFSET without\n"
    "        symbols; with a crash.dmp every thread walked by the server, the crashing one\n"
    "        first, each frame with its walk method), and the decoded log converted from GBK\n"
    "        to UTF-8 (invalid bytes become U+FFFD).\n"
    "        --raw  only the decoded log bytes, unchanged\n"
    "        --pak  only the uploaded file bytes, unchanged\n"
    "        --minidump OUT  writes the upload's crash.dmp to OUT\n"
    "symbols add  stores symbol files in the database: PE files with DWARF debug info (an\n"
    "        unstripped module, or the debug file objcopy --only-keep-debug makes), PE images\n"
    "        without it (a stripped module, kept for its unwind tables and for its PDB), and\n"
    "        PDBs. A module is found by name, TimeDateStamp and CodeView id (GUID and age),\n"
    "        its name being the file name without a \".debug\" suffix; a PDB by its file name\n"
    "        and the GUID and age its info stream holds. A PDB is used only with the stored\n"
    "        image of the same GUID and age; one given with an image whose CodeView record\n"
    "        names it but differs is refused (another build's). The same file twice is\n"
    "        stored once (\"already stored\"). $COLLECTOR_SYMBOLIZER names the\n"
    "        llvm-symbolizer to run; its results are kept. Reports already stored whose top\n"
    "        frames the new symbols name move to their function-name groups (\"regrouped N\n"
    "        reports\").\n"
    "regroup keys every report with a stack again and moves those whose key changed (a\n"
    "        newer collector makes keys from the game's own frames: the crash reporter's,\n"
    "        the C runtimes' and the system's are left out). Prints how many moved.\n"
    "prune   deletes the uploads of the reports received before TIMESTAMP (ISO 8601 UTC,\n"
    "        e.g. 2026-12-01T00:00:00Z) and gives the space back (SQLite: incremental\n"
    "        vacuum; PostgreSQL: VACUUM). Their groups, counts and chart hours stay; their\n"
    "        pages say the upload was removed.\n"
    "migrate copies an SQLite store (reports, payloads, stacks, symbol files) into an\n"
    "        empty PostgreSQL store in one transaction, keeping report ids so links stay\n"
    "        valid; refuses a target that already holds reports or symbols. Progress goes\n"
    "        to stderr. A failure leaves the target as it was.\n"
    "\n"
    "--db: a postgresql:// or postgres:// URI (libpq's form, e.g.\n"
    "        postgresql://collector@dbhost/crashes) names a PostgreSQL store, shared by\n"
    "        any number of collectors; anything else is an SQLite file.\n"
    "\n"
    "exit status: 0 success, 1 failure (database, network, unknown report), 2 bad arguments\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "collector: %s\n%s(collector --help tells more)\n", message.c_str(),
               kSynopsis);
  return kExitUsage;
}

// Each connection is a file descriptor, and many systems start processes with a soft limit of
// 1024: without this, the connection cap would be the kernel's, with accept() failing instead.
void RaiseOpenFileLimit(size_t connections) {
  const rlim_t wanted = static_cast<rlim_t>(connections) + 64;  // the database, logs, threads
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) {
    return;
  }
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    std::fprintf(stderr,
                 "collector: the open-file limit (ulimit -Hn) is %llu, too low for %zu "
                 "connections; connections beyond it are refused\n",
                 static_cast<unsigned long long>(limit.rlim_cur), connections);
  }
}

bool ParseUnsigned(const std::string& text, uint64_t maxValue, uint64_t& out) {
  if (text.empty() || text.size() > 20) {
    return false;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > maxValue || value > (maxValue - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

struct Arguments {
  std::string command;
  std::string db;
  std::string listen = "127.0.0.1:0";
  std::string metricsListen;  // empty: no metrics listener
  std::string maxBytes;
  std::string status;
  std::string readTokenFile;
  std::string symbolsTokenFile;
  std::vector<std::string> trustedProxies;
  std::vector<std::string> webhookUrls;
  std::string webhookSecretFile;
  std::string publicUrl;
  std::string spikePerHour;
  std::string before;  // prune
  std::string from;    // migrate
  std::string to;
  std::map<std::string, std::string> limits;  // serve's limit options by name
  std::vector<std::string> positional;
  bool raw = false;
  bool pak = false;
  std::string minidump;  // show: the file to write the report's crash.dmp to
  bool help = false;
};

// Returns an empty text on success, else what was wrong.
std::string ParseArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= argc) {
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      args.help = true;
    } else if (arg == "--db") {
      if (!value(args.db)) return "--db needs a file name";
    } else if (arg == "--listen") {
      if (!value(args.listen)) return "--listen needs HOST:PORT";
    } else if (arg == "--metrics-listen") {
      if (!value(args.metricsListen)) return "--metrics-listen needs HOST:PORT";
    } else if (arg == "--max-bytes") {
      if (!value(args.maxBytes)) return "--max-bytes needs a number";
    } else if (arg == "--status") {
      if (!value(args.status)) return "--status needs a number";
    } else if (arg == "--read-token-file") {
      if (!value(args.readTokenFile)) return "--read-token-file needs a file name";
    } else if (arg == "--symbols-token-file") {
      if (!value(args.symbolsTokenFile)) return "--symbols-token-file needs a file name";
    } else if (arg == "--trusted-proxy") {
      args.trustedProxies.emplace_back();
      if (!value(args.trustedProxies.back())) return "--trusted-proxy needs an IP address";
    } else if (arg == "--webhook-url") {
      args.webhookUrls.emplace_back();
      if (!value(args.webhookUrls.back())) return "--webhook-url needs a URL";
    } else if (arg == "--webhook-secret-file") {
      if (!value(args.webhookSecretFile)) return "--webhook-secret-file needs a file name";
    } else if (arg == "--public-url") {
      if (!value(args.publicUrl)) return "--public-url needs a URL";
    } else if (arg == "--spike-per-hour") {
      if (!value(args.spikePerHour)) return "--spike-per-hour needs a number";
    } else if (arg == "--max-connections" || arg == "--max-per-address" ||
               arg == "--head-timeout" || arg == "--min-rate" || arg == "--max-header-bytes" ||
               arg == "--max-inflight-bytes" || arg == "--max-decoded-bytes" ||
               arg == "--keep-days" || arg == "--max-symbol-bytes") {
      if (!value(args.limits[arg])) return arg + " needs a number";
    } else if (arg == "--before") {
      if (!value(args.before)) return "--before needs a time such as 2026-12-01T00:00:00Z";
    } else if (arg == "--from") {
      if (!value(args.from)) return "--from needs a file name";
    } else if (arg == "--to") {
      if (!value(args.to)) return "--to needs a postgresql:// URI";
    } else if (arg == "--raw") {
      args.raw = true;
    } else if (arg == "--pak") {
      args.pak = true;
    } else if (arg == "--minidump") {
      if (!value(args.minidump) || args.minidump.empty()) return "--minidump needs a file name";
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (args.command.empty()) {
      args.command = arg;
    } else {
      args.positional.push_back(arg);
    }
  }
  return std::string();
}

bool WriteAll(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
         std::fflush(stdout) == 0;
}

// The store --db names (see MakeReportStore), opened; null after saying why not. A store an
// older collector wrote is brought up to date first, even by a reader: its read model is built
// once from the stored reports, with progress on stderr.
std::unique_ptr<ReportStore> OpenStore(const std::string& db, bool forWriting) {
  std::unique_ptr<ReportStore> store = collector::MakeReportStore(db);
  std::string error;
  bool opened = store->Open(db, forWriting, error);
  if (!opened && !forWriting && error.rfind(collector::kNeedsUpgrade, 0) == 0) {
    std::fprintf(stderr,
                 "collector: %s was written by an older collector; bringing it up to date\n",
                 db.c_str());
    forWriting = true;
    store = collector::MakeReportStore(db);
    opened = store->Open(db, true, error);
  }
  if (!opened) {
    std::fprintf(stderr, "collector: cannot open database %s: %s\n", db.c_str(), error.c_str());
    return nullptr;
  }
  if (forWriting) {
    uint64_t shown = 0;
    auto progress = [&shown](uint64_t done) {
      if (done >= shown + 10000) {
        shown = done;
        std::fprintf(stderr, "collector: indexed %llu older reports\n",
                     static_cast<unsigned long long>(done));
      }
    };
    if (!collector::BackfillCrashEntries(*store, progress, error)) {
      std::fprintf(stderr, "collector: cannot index the reports in %s: %s\n", db.c_str(),
                   error.c_str());
      return nullptr;
    }
  }
  return store;
}

std::string UtcAt(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string NowUtc() { return UtcAt(std::time(nullptr)); }

// A time as the server stores receipt times, milliseconds included, so that comparing the
// texts compares the times.
std::string StoredUtc(std::time_t when) {
  std::string text = UtcAt(when);
  return text.substr(0, text.size() - 1) + ".000Z";
}

// A bearer token from its file: the text without trailing white space, at least
// kMinReadTokenBytes long. False after saying why not.
bool ReadToken(const std::string& path, const char* what, std::string& token) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "collector: cannot read the %s token file %s\n", what, path.c_str());
    return false;
  }
  token = text.str();
  size_t end = token.find_last_not_of(" \t\r\n\f\v");
  token.resize(end == std::string::npos ? 0 : end + 1);
  if (token.empty()) {
    std::fprintf(stderr, "collector: the %s token file %s holds no token\n", what, path.c_str());
    return false;
  }
  // The token guards reports or symbols (and signs the sessions): a short one could be guessed.
  if (token.size() < kMinReadTokenBytes) {
    std::fprintf(stderr,
                 "collector: the %s token in %s is %zu bytes long; it must be at least %zu "
                 "(e.g. head -c 24 /dev/urandom | base64)\n",
                 what, path.c_str(), token.size(), kMinReadTokenBytes);
    return false;
  }
  return true;
}

// The webhook flags into options: kExitOk, else the exit status after saying what is wrong.
// A URL that cannot be delivered to is refused now rather than failing every alert later.
int ReadWebhookOptions(const Arguments& args, ServerOptions& options) {
  std::string error;
  for (const std::string& text : args.webhookUrls) {
    collector::HttpUrl url;
    if (!collector::ParseHttpUrl(text, url, error)) {
      return UsageError("--webhook-url: " + error);
    }
    if (url.https) {
      return UsageError("--webhook-url " + text + ": only http:// is supported (no TLS " +
                        "library is linked); point it at a relay on this machine or network");
    }
  }
  options.webhookUrls = args.webhookUrls;
  if (!args.webhookSecretFile.empty()) {
    if (args.webhookUrls.empty()) {
      return UsageError("--webhook-secret-file needs --webhook-url");
    }
    std::ifstream in(args.webhookSecretFile, std::ios::binary);
    if (!in.is_open()) {
      std::fprintf(stderr, "collector: cannot read the webhook secret file %s\n",
                   args.webhookSecretFile.c_str());
      return kExitFailure;
    }
    std::string line;
    std::getline(in, line);
    size_t first = line.find_first_not_of(" \t\r\f\v");
    size_t last = line.find_last_not_of(" \t\r\f\v");
    if (first == std::string::npos) {
      std::fprintf(stderr, "collector: the first line of the webhook secret file %s is empty\n",
                   args.webhookSecretFile.c_str());
      return kExitFailure;
    }
    options.webhookSecret = line.substr(first, last - first + 1);
  }
  if (!args.publicUrl.empty()) {
    collector::HttpUrl url;
    if (!collector::ParseHttpUrl(args.publicUrl, url, error)) {
      return UsageError("--public-url: " + error);
    }
    options.publicUrl = args.publicUrl;
  }
  if (!args.spikePerHour.empty()) {
    uint64_t number = 0;
    if (!ParseUnsigned(args.spikePerHour, UINT64_MAX, number) || number == 0) {
      return UsageError("--spike-per-hour wants a number of reports from 1, not " +
                        args.spikePerHour);
    }
    options.spikePerHour = number;
  }
  return kExitOk;
}

int RunServe(const Arguments& args) {
  if (!args.positional.empty()) {
    return UsageError("serve takes no argument " + args.positional.front());
  }
  if (args.raw || args.pak || !args.minidump.empty()) {
    return UsageError("--raw, --pak and --minidump belong to show");
  }
  ServerOptions options;
  size_t colon = args.listen.rfind(':');
  uint64_t number = 0;
  if (colon == std::string::npos || colon == 0 ||
      !ParseUnsigned(args.listen.substr(colon + 1), 65535, number)) {
    return UsageError("--listen wants HOST:PORT with a port from 0 to 65535, not " + args.listen);
  }
  options.host = args.listen.substr(0, colon);
  // [::1]:PORT names an IPv6 address; the resolver wants it without the brackets.
  if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']') {
    options.host = options.host.substr(1, options.host.size() - 2);
  }
  options.port = static_cast<int>(number);
  std::string metricsHost;
  int metricsPort = 0;
  if (!args.metricsListen.empty()) {
    size_t metricsColon = args.metricsListen.rfind(':');
    if (metricsColon == std::string::npos || metricsColon == 0 ||
        !ParseUnsigned(args.metricsListen.substr(metricsColon + 1), 65535, number)) {
      return UsageError("--metrics-listen wants HOST:PORT with a port from 0 to 65535, not " +
                        args.metricsListen);
    }
    metricsHost = args.metricsListen.substr(0, metricsColon);
    if (metricsHost.size() > 2 && metricsHost.front() == '[' && metricsHost.back() == ']') {
      metricsHost = metricsHost.substr(1, metricsHost.size() - 2);
    }
    metricsPort = static_cast<int>(number);
  }
  if (!args.maxBytes.empty()) {
    if (!ParseUnsigned(args.maxBytes, SIZE_MAX, number) || number == 0) {
      return UsageError("--max-bytes wants a positive number of bytes, not " + args.maxBytes);
    }
    options.maxBytes = static_cast<size_t>(number);
  }
  if (!args.status.empty()) {
    // A 1xx status is no final answer; the HTTP server cannot send one as such.
    if (!ParseUnsigned(args.status, 599, number) || number < 200) {
      return UsageError("--status wants an HTTP status from 200 to 599, not " + args.status);
    }
    options.answerStatus = static_cast<int>(number);
  }

  struct Limit {
    const char* name;
    uint64_t max;
    size_t* target;
  };
  size_t headTimeout = static_cast<size_t>(options.headTimeoutSeconds);
  size_t bodyBudget = static_cast<size_t>(options.maxBodyBudgetBytes);
  size_t maxDecoded = static_cast<size_t>(options.maxDecodedBytes);
  size_t keepDays = 0;
  size_t maxSymbolBytes = static_cast<size_t>(options.maxSymbolBytes);
  const Limit limits[] = {
      {"--max-symbol-bytes", SIZE_MAX, &maxSymbolBytes},
      {"--max-decoded-bytes", SIZE_MAX, &maxDecoded},
      {"--keep-days", 100000, &keepDays},
      {"--max-connections", 1000000, &options.maxConnections},
      {"--max-per-address", 1000000, &options.maxPerAddress},
      {"--head-timeout", 3600, &headTimeout},
      {"--min-rate", SIZE_MAX, &options.minBytesPerSecond},
      {"--max-header-bytes", 64u * 1024u * 1024u, &options.maxHeaderBytes},
      {"--max-inflight-bytes", SIZE_MAX, &bodyBudget},
  };
  for (const Limit& limit : limits) {
    auto given = args.limits.find(limit.name);
    if (given == args.limits.end()) {
      continue;
    }
    if (!ParseUnsigned(given->second, limit.max, number) || number == 0) {
      return UsageError(std::string(limit.name) + " wants a positive number up to " +
                        std::to_string(limit.max) + ", not " + given->second);
    }
    *limit.target = static_cast<size_t>(number);
  }
  options.headTimeoutSeconds = static_cast<int>(headTimeout);
  options.maxBodyBudgetBytes = bodyBudget;
  options.maxDecodedBytes = maxDecoded;
  options.maxSymbolBytes = maxSymbolBytes;
  // A budget below the largest upload would answer such uploads "try again" forever.
  const uint64_t largest =
      std::max<uint64_t>(options.maxBytes, args.symbolsTokenFile.empty() ? 0 : maxSymbolBytes);
  if (options.maxBodyBudgetBytes < largest) {
    if (args.limits.count("--max-inflight-bytes") != 0) {
      return UsageError("--max-inflight-bytes must be at least --max-bytes (" +
                        std::to_string(options.maxBytes) + ") and, with symbol uploads, " +
                        "--max-symbol-bytes (" + std::to_string(maxSymbolBytes) + ")");
    }
    options.maxBodyBudgetBytes = largest;
  }
  RaiseOpenFileLimit(options.maxConnections);
  for (const std::string& proxy : args.trustedProxies) {
    if (!collector::IsIpAddress(proxy)) {
      return UsageError("--trusted-proxy wants an IP address such as 127.0.0.1, not " + proxy);
    }
  }
  options.trustedProxies = args.trustedProxies;
  if (!args.readTokenFile.empty() && !ReadToken(args.readTokenFile, "read", options.readToken)) {
    return kExitFailure;
  }
  if (!args.symbolsTokenFile.empty() &&
      !ReadToken(args.symbolsTokenFile, "symbols", options.symbolsToken)) {
    return kExitFailure;
  }
  // A build machine's token must not read reports, nor a reader's upload symbols.
  if (!options.symbolsToken.empty() && options.symbolsToken == options.readToken) {
    std::fprintf(stderr, "collector: the symbols token and the read token must differ\n");
    return kExitFailure;
  }

  if (int status = ReadWebhookOptions(args, options); status != kExitOk) {
    return status;
  }

  // Every thread started from here on inherits the blocked set, so the signals reach only
  // the watcher below, which stops the server in an orderly way.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<ReportStore> store = OpenStore(args.db, true);
  if (store == nullptr) {
    return kExitFailure;
  }
  UploadServer server(*store, options);
  std::string error;
  int port = server.Bind(error);
  if (port < 0) {
    std::fprintf(stderr, "collector: %s\n", error.c_str());
    return kExitFailure;
  }
  // Bound before the first line is printed, so a taken metrics port fails the start as a
  // taken upload port does.
  collector::MetricsServer metrics;
  int boundMetricsPort = -1;
  if (!args.metricsListen.empty()) {
    boundMetricsPort = metrics.Start(metricsHost, metricsPort, error);
    if (boundMetricsPort < 0) {
      std::fprintf(stderr, "collector: %s\n", error.c_str());
      return kExitFailure;
    }
  }
  std::printf("listening %s:%d\n", args.listen.substr(0, args.listen.rfind(':')).c_str(), port);
  if (boundMetricsPort >= 0) {
    std::printf("metrics %s:%d\n",
                args.metricsListen.substr(0, args.metricsListen.rfind(':')).c_str(),
                boundMetricsPort);
  }
  std::fflush(stdout);

  std::thread watcher([&server, &stopSignals] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    server.Stop();
  });
  // Retention: once at start, then daily, the reports older than the days kept lose their
  // bytes; their groups and counts stay.
  std::mutex retentionMutex;
  std::condition_variable retentionWake;
  bool retentionDone = false;
  std::thread retention;
  if (keepDays > 0) {
    retention = std::thread([&] {
      std::unique_lock<std::mutex> lock(retentionMutex);
      while (!retentionDone) {
        lock.unlock();
        std::string before =
            StoredUtc(std::time(nullptr) - static_cast<std::time_t>(keepDays) * 86400);
        uint64_t removed = 0;
        std::string pruneError;
        if (!store->Prune(before, removed, pruneError)) {
          std::fprintf(stderr, "collector: retention failed: %s\n", pruneError.c_str());
        } else if (removed > 0) {
          std::fprintf(stderr, "collector: retention pruned %llu reports received before %s\n",
                       static_cast<unsigned long long>(removed), before.c_str());
        }
        lock.lock();
        retentionWake.wait_for(lock, std::chrono::hours(24), [&] { return retentionDone; });
      }
    });
  }
  bool served = server.Serve();
  // When serving ended without a signal, wake the watcher with one aimed at it alone.
  pthread_kill(watcher.native_handle(), SIGTERM);
  watcher.join();
  if (retention.joinable()) {
    {
      std::lock_guard<std::mutex> lock(retentionMutex);
      retentionDone = true;
    }
    retentionWake.notify_all();
    retention.join();
  }
  store->Close();
  if (!served) {
    std::fprintf(stderr, "collector: the HTTP server could not start\n");
    return kExitFailure;
  }
  std::fprintf(stderr, "collector: stopped\n");
  return kExitOk;
}

int RunList(const Arguments& args) {
  if (!args.positional.empty()) {
    return UsageError("list takes no argument " + args.positional.front());
  }
  std::unique_ptr<ReportStore> opened = OpenStore(args.db, false);
  if (opened == nullptr) {
    return kExitFailure;
  }
  ReportStore& store = *opened;
  // Streamed from the read model a page at a time: memory stays flat however many reports.
  uint64_t reports = 0;
  uint64_t groups = 0;
  bool written = true;
  std::string error;
  bool read = collector::CountCrashes(store, reports, error) &&
              WriteAll("reports: " + std::to_string(reports) + "\n") &&
              collector::ForEachCrash(
                  store,
                  [&](const collector::CrashEntry& entry) {
                    written = written && WriteAll(collector::FormatReportLine(entry));
                  },
                  error);
  std::string groupLines;
  read = read && collector::ForEachGroup(
                     store,
                     [&](const collector::GroupSummary& group) {
                       ++groups;
                       groupLines += collector::FormatGroupLine(group);
                     },
                     error);
  if (!read) {
    std::fprintf(stderr, "collector: cannot read %s: %s\n", args.db.c_str(), error.c_str());
    return kExitFailure;
  }
  written = written && WriteAll("groups: " + std::to_string(groups) + "\n" + groupLines);
  return written ? kExitOk : kExitFailure;
}

// Deletes the bytes of reports received before a time; their groups and counters stay.
int RunRegroup(const Arguments& args) {
  if (!args.positional.empty()) {
    return UsageError("regroup takes no argument " + args.positional.front());
  }
  std::unique_ptr<ReportStore> store = OpenStore(args.db, true);
  if (store == nullptr) {
    return kExitFailure;
  }
  uint64_t moved = 0;
  std::string error;
  if (!collector::RegroupAllStacks(*store, moved, error)) {
    std::fprintf(stderr, "collector: regroup failed: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("regrouped %llu reports\n", static_cast<unsigned long long>(moved));
  std::fflush(stdout);
  return kExitOk;
}

int RunPrune(const Arguments& args) {
  if (!args.positional.empty()) {
    return UsageError("prune takes no argument " + args.positional.front());
  }
  if (collector::UnixSeconds(args.before) < 0 || args.before.size() < 20 ||
      args.before.back() != 'Z') {
    return UsageError(
        "prune wants --before TIMESTAMP in ISO 8601 UTC, e.g. "
        "2026-12-01T00:00:00Z, not \"" +
        args.before + "\"");
  }
  std::unique_ptr<ReportStore> store = OpenStore(args.db, true);
  if (store == nullptr) {
    return kExitFailure;
  }
  uint64_t removed = 0;
  std::string error;
  if (!store->Prune(StoredUtc(static_cast<std::time_t>(collector::UnixSeconds(args.before))),
                    removed, error)) {
    std::fprintf(stderr, "collector: prune failed: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("pruned %llu reports received before %s\n", static_cast<unsigned long long>(removed),
              args.before.c_str());
  std::fflush(stdout);
  return kExitOk;
}

int RunSymbols(const Arguments& args) {
  if (args.positional.empty() || args.positional[0] != "add") {
    return UsageError("symbols wants the subcommand add");
  }
  if (args.positional.size() < 2) {
    return UsageError("symbols add wants at least one symbol file");
  }
  if (args.raw || args.pak || !args.minidump.empty()) {
    return UsageError("--raw, --pak and --minidump belong to show");
  }
  std::unique_ptr<ReportStore> opened = OpenStore(args.db, true);
  if (opened == nullptr) {
    return kExitFailure;
  }
  int status = kExitOk;
  std::vector<collector::SymbolUpload> files;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    const std::string& path = args.positional[i];
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "collector: cannot read %s\n", path.c_str());
      status = kExitFailure;
      continue;
    }
    files.push_back(collector::SymbolUpload{path, bytes.str()});
  }
  // All in one go, so that a PDB is checked against the image given with it.
  collector::SymbolIntake intake = collector::TakeSymbolFiles(*opened, files, NowUtc());
  for (const collector::SymbolOutcome& file : intake.files) {
    std::string from = collector::StripControls(file.fileName);
    if (file.status == "refused") {
      std::fprintf(stderr, "collector: %s: %s\n", from.c_str(),
                   collector::StripControls(file.error).c_str());
      status = kExitFailure;
      continue;
    }
    const char* verb = file.status == "stored" ? "added" : "already stored";
    std::string name = collector::StripControls(file.name);
    std::string id = file.debugId.empty() ? "-" : file.debugId;
    if (file.kind == "pdb") {
      std::printf("%s pdb %s %s from %s\n", verb, name.c_str(), id.c_str(), from.c_str());
    } else {
      std::printf("%s %s%s 0x%08x %s from %s\n", verb, file.kind == "image" ? "image " : "",
                  name.c_str(), file.timestamp, id.c_str(), from.c_str());
    }
  }
  // Reports that came before their symbols group by function names from now on.
  if (!intake.regroupError.empty()) {
    std::fprintf(stderr,
                 "collector: the symbols are stored but the reports were not regrouped: %s\n",
                 intake.regroupError.c_str());
    status = kExitFailure;
  } else if (intake.regrouped > 0) {
    std::printf("regrouped %llu reports\n", static_cast<unsigned long long>(intake.regrouped));
  }
  std::fflush(stdout);
  return status;
}

int WriteMinidump(ReportStore& store, uint64_t id, const std::string& path) {
  collector::ArchiveEntry dump;
  bool found = false;
  std::string error;
  // Uncapped like the rest of show: the studio's own machine, one report.
  if (!collector::LoadMinidump(store, static_cast<int64_t>(id), UINT64_MAX, dump, found, error)) {
    std::fprintf(stderr, "collector: cannot read the store: %s\n", error.c_str());
    return kExitFailure;
  }
  auto number = static_cast<unsigned long long>(id);
  if (!found) {
    std::fprintf(stderr, "collector: no upload kept for report %llu\n", number);
    return kExitFailure;
  }
  if (!dump.present) {
    std::fprintf(stderr, "collector: report %llu has no minidump\n", number);
    return kExitFailure;
  }
  if (!dump.decoded) {
    std::fprintf(stderr, "collector: the minidump of report %llu could not be decoded: %s\n",
                 number, collector::StripControls(dump.error).c_str());
    return kExitFailure;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(dump.bytes.data(), static_cast<std::streamsize>(dump.bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "collector: cannot write %s\n", path.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int RunShow(const Arguments& args) {
  uint64_t id = 0;
  if (args.positional.size() != 1 || !ParseUnsigned(args.positional[0], INT64_MAX, id)) {
    return UsageError("show wants one report id");
  }
  if (int{args.raw} + int{args.pak} + int{!args.minidump.empty()} > 1) {
    return UsageError("--raw, --pak and --minidump exclude each other");
  }
  std::unique_ptr<ReportStore> opened = OpenStore(args.db, false);
  if (opened == nullptr) {
    return kExitFailure;
  }
  ReportStore& store = *opened;
  if (!args.minidump.empty()) {
    return WriteMinidump(store, id, args.minidump);
  }
  collector::ReportDetail detail;
  bool found = false;
  std::string error;
  // No cap on decoding here: show runs on the studio's own machine, for one report.
  if (!collector::LoadReport(store, static_cast<int64_t>(id), UINT64_MAX, detail, found, error)) {
    std::fprintf(stderr, "collector: cannot read %s: %s\n", args.db.c_str(), error.c_str());
    return kExitFailure;
  }
  if (!found) {
    std::fprintf(stderr, "collector: no report %llu\n", static_cast<unsigned long long>(id));
    return kExitFailure;
  }
  if ((args.pak || args.raw) && !detail.hasRow) {
    std::fprintf(stderr, "collector: report %llu was pruned: its upload is no longer kept\n",
                 static_cast<unsigned long long>(id));
    return kExitFailure;
  }
  const StoredReport& report = detail.row;
  if (args.pak) {
    return WriteAll(report.payload) ? kExitOk : kExitFailure;
  }
  if (args.raw) {
    if (!detail.hasLog) {
      std::fprintf(stderr,
                   "collector: report %llu could not be decoded (%s); --pak gives "
                   "the uploaded bytes\n",
                   static_cast<unsigned long long>(id), report.note.c_str());
      return kExitFailure;
    }
    return WriteAll(detail.log) ? kExitOk : kExitFailure;
  }
  std::string text = collector::FormatShowHeader(detail);
  if (!detail.stackLines.empty()) {
    for (const std::string& line : detail.stackLines) {
      text += line + "\n";
    }
    text += "\n";
  }
  if (detail.hasLog) {
    text += collector::StripTerminalControls(collector::GbkToUtf8(detail.log));
  }
  return WriteAll(text) ? kExitOk : kExitFailure;
}

int RunMigrate(const Arguments& args) {
  if (!args.positional.empty()) {
    return UsageError("migrate takes no argument " + args.positional.front());
  }
  if (args.from.empty() || args.to.empty() || !args.db.empty()) {
    return UsageError("migrate wants --from FILE and --to postgresql://... (and no --db)");
  }
  if (collector::IsPostgresLocation(args.from) || !collector::IsPostgresLocation(args.to)) {
    return UsageError(
        "migrate copies an SQLite file into PostgreSQL: --from FILE --to "
        "postgresql://...");
  }
  std::unique_ptr<ReportStore> source = collector::MakeReportStore(args.from);
  std::string error;
  // A file from an older collector is read all the same: only its reports and symbols are
  // copied, and the target builds its own read model from them.
  bool sourceOpen = source->Open(args.from, false, error);
  if (!sourceOpen && error.rfind(collector::kNeedsUpgrade, 0) == 0) {
    sourceOpen = source->Open(args.from, true, error);
  }
  if (!sourceOpen) {
    std::fprintf(stderr, "collector: cannot open database %s: %s\n", args.from.c_str(),
                 error.c_str());
    return kExitFailure;
  }
  uint64_t count = 0;
  std::vector<SymbolFile> symbols;
  if (!source->Read(
          [&](collector::SqlSession& session, std::string& failure) {
            return session.Run(
                "SELECT count(*) FROM reports", {},
                [&](const collector::SqlRow& row) { count = static_cast<uint64_t>(row.Int(0)); },
                failure);
          },
          error) ||
      !source->ListSymbolFiles(symbols, error)) {
    std::fprintf(stderr, "collector: cannot read %s: %s\n", args.from.c_str(), error.c_str());
    return kExitFailure;
  }
  std::unique_ptr<ReportStore> target = collector::MakeReportStore(args.to);
  if (!target->Open(args.to, true, error)) {
    std::fprintf(stderr, "collector: cannot open database %s: %s\n", args.to.c_str(),
                 error.c_str());
    return kExitFailure;
  }
  const size_t reports = static_cast<size_t>(count);
  // Reports are read one at a time, in id order, so memory stays flat however large the store.
  int64_t lastId = 0;
  auto fetch = [&](size_t index, StoredReport& out, std::string& fetchError) {
    std::vector<StoredReport> one;
    if (!source->ReadRange(lastId, 1, one, fetchError)) {
      return false;
    }
    if (one.empty()) {
      fetchError = "report " + std::to_string(index + 1) + " of " + std::to_string(count) +
                   " vanished while copying";
      return false;
    }
    out = std::move(one.front());
    lastId = out.id;
    return true;
  };
  const size_t step = reports >= 100 ? reports / 20 : reports + 1;
  auto progress = [&](size_t done) {
    if (done % step == 0) {
      std::fprintf(stderr, "collector: copied %zu of %zu reports\n", done, reports);
    }
  };
  if (!target->Import(symbols, reports, fetch, progress, error)) {
    std::fprintf(stderr, "collector: migrate failed, nothing was copied: %s\n", error.c_str());
    return kExitFailure;
  }
  // The groups and counters are made again from the copied reports.
  auto indexed = [&](uint64_t done) {
    if (done % 10000 < 200) {
      std::fprintf(stderr, "collector: indexed %llu of %zu reports\n",
                   static_cast<unsigned long long>(done), reports);
    }
  };
  if (!collector::BackfillCrashEntries(*target, indexed, error)) {
    std::fprintf(stderr, "collector: the reports were copied but not indexed: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("copied %zu reports and %zu symbol files\n", reports, symbols.size());
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string error = ParseArguments(argc, argv, args);
  if (!error.empty()) {
    return UsageError(error);
  }
  if (args.help) {
    std::printf("%s\n%s", kSynopsis, kDetails);
    return kExitOk;
  }
  if (args.command.empty()) {
    return UsageError("no command given");
  }
  if (args.command != "serve" && args.command != "list" && args.command != "show" &&
      args.command != "symbols" && args.command != "migrate" && args.command != "prune" &&
      args.command != "regroup") {
    return UsageError("unknown command " + args.command);
  }
  if (args.command == "migrate") {
    return RunMigrate(args);
  }
  if (args.db.empty()) {
    return UsageError(args.command + " needs --db FILE");
  }
  if (args.command == "serve") {
    return RunServe(args);
  }
  if (args.command == "list") {
    return RunList(args);
  }
  if (args.command == "symbols") {
    return RunSymbols(args);
  }
  if (args.command == "prune") {
    return RunPrune(args);
  }
  if (args.command == "regroup") {
    return RunRegroup(args);
  }
  return RunShow(args);
}
