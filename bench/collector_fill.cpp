// Fills a collector store with realistic crash reports, fast: each report goes through the
// collector's own ingest (DecodePayload, DescribeCrash, StoreWithEntries) exactly as an upload
// does, only HTTP is left out. For the volume bench (bench/collector_volume.py) and its smoke
// test.
//
//   collector_fill --db FILE|postgresql://... --count N [--seed S] [--now UNIX_SECONDS]
//                  [--threads T]
//     adds reports until the store holds N; prints "reports=N added=M payload_bytes=B
//     seconds=S" on stdout, progress on stderr.
//   collector_fill --emit-uploads DIR --uploads K [--seed S]
//     writes K upload files DIR/NNNNNN_VER.pak (the "file" part; VER the "ver" field) from the
//     same distribution, for sending over HTTP.
//
// Report i depends only on the seed, i and --now (default: the current time): a store filled
// in several steps holds the same reports as one filled at once. A report is a PAKF archive
// (LZO, as the crash library packs it) of a 30-60 KB game log that ends with the crash summary,
// and for half of the crashes a stack.txt; about 300 crash sites, a few frequent and a long
// tail; several versions; received over the 7 days before --now.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "formats/payload_decode.h"
#include "formats/stack_text.h"
#include "ingest/crash_entry.h"
#include "pack/pak_archive.h"
#include "readmodel/read_model.h"
#include "store/report_store.h"

namespace {

using collector::StoredReport;

constexpr size_t kBatchSize = 500;
constexpr int kSiteCount = 300;
constexpr double kSiteSkew = 1.0;  // Zipf exponent: the first site takes about 16 %
constexpr int64_t kSpreadMilliseconds = int64_t{7} * 24 * 3600 * 1000;
constexpr int64_t kLocalOffsetSeconds = 8 * 3600;  // the players' clock (the summary's time)
constexpr size_t kMinLogBytes = 30000;
constexpr size_t kLogBytesRange = 30000;
// Emitted uploads are reports from the same distribution that no fill ever makes.
constexpr uint64_t kEmitFirstIndex = uint64_t{1} << 40;
constexpr double kProgressSeconds = 2.0;

// The crash summary's GBK labels, as the crash library writes them.
const std::string kTimeLabel = "\xD2\xEC\xB3\xA3\xCA\xB1\xBC\xE4\xA3\xBA";
const std::string kProgramLabel = "\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA";
const std::string kCodeLabel = "\xD2\xEC\xB3\xA3\xB1\xE0\xBA\xC5\xA3\xBA";
const std::string kAddressLabel = "\xD2\xEC\xB3\xA3\xB5\xD8\xD6\xB7\xA3\xBA";
const std::string kFlagsLabel = "\xD2\xEC\xB3\xA3\xB7\xD6\xC0\xE0\xA3\xBA";
const std::string kUnknownLine = "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xA1";

// splitmix64: cheap, and every output a good hash of the state.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return Next() % n; }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t state_;
};

uint64_t StreamSeed(uint64_t seed, uint64_t index) {
  Random mix(seed ^ 0x5DEECE66Dull);
  uint64_t base = mix.Next();
  Random at(base ^ (index * 0xD1B54A32D192ED03ull));
  return at.Next();
}

void AppendUint(std::string& out, uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void AppendPadded(std::string& out, uint64_t value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<size_t>(width));
}

void AppendHex(std::string& out, uint64_t value, int width, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = hex[value & 15];
    value >>= 4;
  } while (value != 0 || n < width);
  while (n > 0) out += digits[--n];
}

struct Civil {
  int year, month, day, hour, minute, second;
};

Civil CivilOf(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  tm parts{};
  gmtime_r(&t, &parts);
  return Civil{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
               parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

// 2026-12-08T14:31:26.123Z, as the server stamps a report.
std::string IsoUtc(int64_t unixMilliseconds) {
  Civil c = CivilOf(unixMilliseconds / 1000);
  std::string out;
  AppendPadded(out, static_cast<uint64_t>(c.year), 4);
  out += '-';
  AppendPadded(out, static_cast<uint64_t>(c.month), 2);
  out += '-';
  AppendPadded(out, static_cast<uint64_t>(c.day), 2);
  out += 'T';
  AppendPadded(out, static_cast<uint64_t>(c.hour), 2);
  out += ':';
  AppendPadded(out, static_cast<uint64_t>(c.minute), 2);
  out += ':';
  AppendPadded(out, static_cast<uint64_t>(c.second), 2);
  out += '.';
  AppendPadded(out, static_cast<uint64_t>(unixMilliseconds % 1000), 3);
  out += 'Z';
  return out;
}

// --- what crashes, where -------------------------------------------------------------------

struct ModuleInfo {
  const char* name;
  uint32_t base;
  uint32_t size;
};

// The game, its libraries and the system DLLs a Windows game process has loaded.
const ModuleInfo kModules[] = {
    {"crashgame.exe", 0x00400000, 0x00a21000},
    {"VexoCrashRpt.dll", 0x10000000, 0x00046000},
    {"lua51.dll", 0x10200000, 0x0005c000},
    {"fmod.dll", 0x10300000, 0x00172000},
    {"binkw32.dll", 0x10500000, 0x0004d000},
    {"d3dx9_43.dll", 0x62a90000, 0x00257000},
    {"msvcr120.dll", 0x6c9f0000, 0x000ee000},
    {"msvcp120.dll", 0x6cae0000, 0x00071000},
    {"d3d9.dll", 0x6d800000, 0x001d7000},
    {"nvd3dum.dll", 0x6e010000, 0x01a4c000},
    {"dinput8.dll", 0x70c20000, 0x00033000},
    {"xinput1_3.dll", 0x70c60000, 0x00016000},
    {"dsound.dll", 0x70c80000, 0x00083000},
    {"winmm.dll", 0x72a10000, 0x00028000},
    {"version.dll", 0x72b40000, 0x00008000},
    {"uxtheme.dll", 0x72c00000, 0x00074000},
    {"dwmapi.dll", 0x72c80000, 0x00023000},
    {"iphlpapi.dll", 0x73100000, 0x00032000},
    {"dnsapi.dll", 0x73140000, 0x00092000},
    {"mswsock.dll", 0x731e0000, 0x00052000},
    {"wininet.dll", 0x73400000, 0x0026a000},
    {"cryptbase.dll", 0x74a10000, 0x0000a000},
    {"bcryptprimitives.dll", 0x74a20000, 0x0005f000},
    {"sechost.dll", 0x74a80000, 0x00076000},
    {"rpcrt4.dll", 0x74b00000, 0x000bf000},
    {"msvcrt.dll", 0x74bc0000, 0x000bf000},
    {"advapi32.dll", 0x74c80000, 0x0007a000},
    {"combase.dll", 0x74d00000, 0x00280000},
    {"oleaut32.dll", 0x74f80000, 0x00096000},
    {"ole32.dll", 0x75020000, 0x000e3000},
    {"shlwapi.dll", 0x75110000, 0x00045000},
    {"shell32.dll", 0x75160000, 0x005b5000},
    {"gdi32.dll", 0x75720000, 0x00023000},
    {"gdi32full.dll", 0x75750000, 0x000db000},
    {"win32u.dll", 0x75830000, 0x00018000},
    {"msvcp_win.dll", 0x75850000, 0x0007b000},
    {"ucrtbase.dll", 0x758d0000, 0x0011f000},
    {"imm32.dll", 0x759f0000, 0x00025000},
    {"crypt32.dll", 0x75a20000, 0x000fd000},
    {"KERNELBASE.dll", 0x75b30000, 0x00213000},
    {"user32.dll", 0x75d50000, 0x0019a000},
    {"ws2_32.dll", 0x75ef0000, 0x0005e000},
    {"setupapi.dll", 0x75f50000, 0x0043b000},
    {"kernel32.dll", 0x76f20000, 0x000f0000},
    {"ntdll.dll", 0x77a10000, 0x0019c000},
};
constexpr int kModuleCount = static_cast<int>(sizeof(kModules) / sizeof(kModules[0]));
constexpr int kGameModule = 0;

struct Version {
  const char* name;
  double weight;
};
const Version kVersions[] = {{"1.0.0.7", 3},  {"1.0.0.8", 5},  {"1.0.0.9", 8},
                             {"1.0.1.0", 14}, {"1.0.1.1", 25}, {"1.0.1.2", 45}};
constexpr int kVersionCount = static_cast<int>(sizeof(kVersions) / sizeof(kVersions[0]));

struct Frame {
  int module = 0;
  uint32_t offset = 0;
};

struct Site {
  bool hasStack = false;
  bool unknown = false;  // the summary without exception record
  std::string program;
  uint32_t code = 0;
  uint32_t address = 0;
  // The frames one bug always has on top: more than a group key's three, so that a key made from
  // the game's own frames, under a runtime's or the system's, still finds them the same.
  Frame top[8];
};

// Everything a report is drawn from, derived from the seed alone.
struct Model {
  std::vector<Site> sites;
  std::vector<double> siteCumulative;
  std::vector<double> versionCumulative;
  std::vector<std::string> moduleLines[kVersionCount];  // stack.txt module lines per version
};

uint32_t CodeOffset(Random& rng, int module) {
  // Inside the image, past the headers, on an instruction-like boundary.
  uint32_t size = kModules[module].size;
  return 0x1000 + static_cast<uint32_t>(rng.Below(size - 0x2000)) / 2 * 2;
}

int ModuleIndex(const char* name) {
  for (int m = 0; m < kModuleCount; ++m) {
    if (std::strcmp(kModules[m].name, name) == 0) return m;
  }
  return kGameModule;
}

Frame RandomFrame(Random& rng, bool top) {
  // Where crashes happen: mostly the game's own code, then the graphics driver, the runtime,
  // the script engine and sound, and C++ exceptions thrown through KERNELBASE.
  static const char* const kTopModules[] = {
      "crashgame.exe", "crashgame.exe", "crashgame.exe",  "crashgame.exe", "crashgame.exe",
      "crashgame.exe", "crashgame.exe", "crashgame.exe",  "crashgame.exe", "crashgame.exe",
      "crashgame.exe", "crashgame.exe", "d3d9.dll",       "nvd3dum.dll",   "msvcr120.dll",
      "lua51.dll",     "fmod.dll",      "KERNELBASE.dll", "user32.dll"};
  // Callers further down: the game, its libraries, the runtime.
  static const char* const kCallerModules[] = {
      "crashgame.exe", "crashgame.exe", "crashgame.exe", "crashgame.exe", "crashgame.exe",
      "crashgame.exe", "crashgame.exe", "crashgame.exe", "lua51.dll",     "msvcr120.dll"};
  int module = ModuleIndex(top ? rng.Pick(kTopModules) : rng.Pick(kCallerModules));
  return Frame{module, CodeOffset(rng, module)};
}

std::string DebugId(Random& rng) {
  std::string id;
  AppendHex(id, rng.Next(), 16, true);
  AppendHex(id, rng.Next(), 16, true);
  AppendUint(id, 1 + rng.Below(3));
  return id;
}

std::vector<double> Cumulative(const std::vector<double>& weights) {
  std::vector<double> out;
  double total = 0;
  for (double w : weights) out.push_back(total += w);
  for (double& c : out) c /= total;
  return out;
}

size_t Draw(Random& rng, const std::vector<double>& cumulative) {
  double u = rng.Unit();
  size_t at = static_cast<size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), u) -
                                  cumulative.begin());
  return std::min(at, cumulative.size() - 1);
}

Model BuildModel(uint64_t seed) {
  Model model;
  Random rng(StreamSeed(seed, UINT64_MAX));
  static const char* const kPrograms[] = {
      "crashgame.exe",
      "crashgame.exe",
      "crashgame.exe",
      "crashgame.exe",
      "crashgame.exe",
      "crashgame.exe",
      "crashgame.exe",
      "launcher.exe",
      "\xD3\xCE\xCF\xB7\xBF\xCD\xBB\xA7\xB6\xCB.exe",  // GBK "游戏客户端.exe"
  };
  static const uint32_t kCodes[] = {0xc0000005, 0xc0000005, 0xc0000005, 0xc0000005, 0xc0000005,
                                    0xc0000005, 0xc0000005, 0xc0000409, 0xc00000fd, 0xc0000094,
                                    0x80000003, 0xe06d7363, 0xe06d7363};
  std::vector<double> weights;
  double stackWeight = 0;
  double summaryWeight = 0;
  for (int i = 0; i < kSiteCount; ++i) {
    Site site;
    double weight = 1.0 / std::pow(i + 1, kSiteSkew);
    weights.push_back(weight);
    // Half the reports carry a stack: each site goes to the side that has less so far.
    site.hasStack = stackWeight <= summaryWeight;
    (site.hasStack ? stackWeight : summaryWeight) += weight;
    site.program = rng.Pick(kPrograms);
    site.code = rng.Pick(kCodes);
    for (Frame& frame : site.top) frame = RandomFrame(rng, &frame == &site.top[0]);
    site.address = kModules[site.top[0].module].base + site.top[0].offset;
    // A few test sends and crashes the filter saw without an exception record.
    site.unknown = !site.hasStack && i % 97 == 13;
    model.sites.push_back(site);
  }
  model.siteCumulative = Cumulative(weights);
  std::vector<double> versionWeights;
  for (const Version& v : kVersions) versionWeights.push_back(v.weight);
  model.versionCumulative = Cumulative(versionWeights);

  std::vector<uint32_t> stamps;
  std::vector<std::string> ids;
  for (int m = 0; m < kModuleCount; ++m) {
    stamps.push_back(0x5a000000u + static_cast<uint32_t>(rng.Below(0x0c000000)));
    ids.push_back(m < 5 ? DebugId(rng) : rng.Below(3) == 0 ? std::string("-") : DebugId(rng));
  }
  for (int v = 0; v < kVersionCount; ++v) {
    std::vector<collector::StackModule> modules;
    for (int m = 0; m < kModuleCount; ++m) {
      collector::StackModule module;
      module.base = kModules[m].base;
      module.size = kModules[m].size;
      module.timestamp = stamps[m];
      module.debugId = ids[m];
      module.name = kModules[m].name;
      if (m == kGameModule) {
        // Each release is its own build of the game.
        module.timestamp = 0x6560a000u + static_cast<uint32_t>(v) * 0x93a80u;
        module.debugId = DebugId(rng);
        module.debugFile = "D:\\build\\crashgame\\Release\\crashgame.pdb";
      } else if (m < 5 && module.debugId != "-") {
        module.debugFile = std::string("D:\\build\\deps\\") + kModules[m].name + ".pdb";
      }
      collector::StackTrace one;
      one.modules.push_back(module);
      model.moduleLines[v].push_back(collector::FormatStackText(one));
    }
  }
  return model;
}

// --- the report's files ----------------------------------------------------------------------

// The game's own log: timestamped lines of its subsystems, some with GBK text.
class LogWriter {
 public:
  LogWriter(Random& rng, std::string& out) : rng_(rng), out_(out) {}

  void Header(const char* version, const Civil& start) {
    out_ += "==== crashgame ";
    out_ += version;
    out_ += " started ";
    AppendDate(start);
    out_ += ' ';
    AppendClock(start.hour, start.minute, start.second, 0);
    out_ += " ====\r\nOS: Windows 10.0.";
    AppendUint(out_, 19041 + rng_.Below(4000));
    out_ += " x64, CPU: ";
    static const char* const kCpus[] = {"Intel(R) Core(TM) i5-9400F", "Intel(R) Core(TM) i7-8700",
                                        "AMD Ryzen 5 3600", "Intel(R) Core(TM) i3-10100",
                                        "AMD Ryzen 7 5800X"};
    out_ += rng_.Pick(kCpus);
    out_ += ", RAM: ";
    AppendUint(out_, 4096u << rng_.Below(3));
    out_ += " MB\r\nGPU: ";
    static const char* const kGpus[] = {"NVIDIA GeForce GTX 1060 6GB", "NVIDIA GeForce GTX 1650",
                                        "AMD Radeon RX 580", "Intel(R) UHD Graphics 630",
                                        "NVIDIA GeForce RTX 2060"};
    out_ += rng_.Pick(kGpus);
    out_ += ", driver ";
    AppendUint(out_, 20 + rng_.Below(12));
    out_ += '.';
    AppendUint(out_, 10 + rng_.Below(90));
    out_ += "\r\n";
  }

  // One line at the given time of day (milliseconds since midnight).
  void Line(int64_t dayMs) {
    int64_t s = dayMs / 1000;
    out_ += '[';
    AppendClock(static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60), static_cast<int>(dayMs % 1000));
    out_ += ']';
    static const char* const kDirs[] = {"world",   "character", "ui",  "effect",
                                        "terrain", "monster",   "npc", "item"};
    static const char* const kNames[] = {"grass", "stone", "wall",  "sword", "armor", "tree",
                                         "water", "fire",  "cloud", "horse", "robe",  "gate"};
    static const char* const kScripts[] = {"quest_main", "ui_bag", "skill_cast", "npc_dialog",
                                           "mail",       "guild",  "shop",       "pet"};
    static const char* const kFields[] = {"owner", "target", "buff", "item", "slot", "pos"};
    static const char* const kWindows[] = {"BagWindow", "SkillPanel", "QuestTracker", "MiniMap",
                                           "ChatBox",   "ShopDialog", "GuildPanel",   "MailBox"};
    // GBK: "玩家进入场景", "加载地图", "任务完成", "背包已满", "连接服务器成功", "技能冷却中"
    static const char* const kGbk[] = {"\xCD\xE6\xBC\xD2\xBD\xF8\xC8\xEB\xB3\xA1\xBE\xB0",
                                       "\xBC\xD3\xD4\xD8\xB5\xD8\xCD\xBC",
                                       "\xC8\xCE\xCE\xF1\xCD\xEA\xB3\xC9",
                                       "\xB1\xB3\xB0\xFC\xD2\xD1\xC2\xFA",
                                       "\xC1\xAC\xBD\xD3\xB7\xFE\xCE\xF1\xC6\xF7\xB3\xC9\xB9\xA6",
                                       "\xBC\xBC\xC4\xDC\xC0\xE4\xC8\xB4\xD6\xD0"};
    // Half the lines are the engine's fixed messages, half carry values that vary.
    static const char* const kFixed[] = {
        "[DEBUG][Net] CNetClient::Poll: socket readable, dispatching queued messages",
        "[DEBUG][Res] CResourceManager::Update: background loader idle, cache within budget",
        "[INFO][Scene] CSceneManager::Tick: visibility update done, streaming sectors in range",
        "[DEBUG][Render] CRenderer::EndFrame: present ok, device not lost",
        "[INFO][Lua] LuaEngine: garbage collection step finished",
        "[DEBUG][UI] CUIManager::Layout: dirty windows relaid out",
        "[INFO][Net] heartbeat sent to gate server",
        "[DEBUG][Audio] CSoundSystem::Update: streams refilled"};
    if (rng_.Below(2) != 0) {
      out_ += rng_.Pick(kFixed);
      out_ += "\r\n";
      return;
    }
    switch (rng_.Below(12)) {
      case 0:
      case 1:
        out_ += "[INFO][Net] recv msg=0x";
        AppendHex(out_, 0x100 + rng_.Below(48) * 4, 4, true);
        out_ += " len=";
        AppendUint(out_, 8 + rng_.Below(64) * 8);
        out_ += " seq=";
        AppendUint(out_, seq_ += 1 + rng_.Below(3));
        break;
      case 2:
      case 3:
        out_ += "[INFO][Res] load textures/";
        out_ += rng_.Pick(kDirs);
        out_ += '/';
        out_ += rng_.Pick(kNames);
        out_ += '_';
        AppendPadded(out_, rng_.Below(100), 4);
        out_ += ".dds ";
        AppendUint(out_, 64u << rng_.Below(5));
        out_ += 'x';
        AppendUint(out_, 64u << rng_.Below(5));
        out_ += " ok";
        break;
      case 4:
      case 5:
        out_ += "[DEBUG][Render] frame ";
        AppendUint(out_, frame_ += 30 + rng_.Below(60));
        out_ += ": ";
        AppendUint(out_, 900 + rng_.Below(50) * 4);
        out_ += " draw calls, ";
        AppendUint(out_, 16 + rng_.Below(8));
        out_ += " ms";
        break;
      case 6:
        out_ += "[INFO][Scene] ";
        out_ += rng_.Pick(kGbk);
        out_ += " map=";
        AppendUint(out_, 1001 + rng_.Below(40));
        out_ += " pos=(";
        AppendUint(out_, rng_.Below(512));
        out_ += ',';
        AppendUint(out_, rng_.Below(512));
        out_ += ')';
        break;
      case 7:
        out_ += "[WARN][Lua] script/";
        out_ += rng_.Pick(kScripts);
        out_ += ".lua:";
        AppendUint(out_, 10 + rng_.Below(90) * 10);
        out_ += ": attempt to index a nil value (field '";
        out_ += rng_.Pick(kFields);
        out_ += "')";
        break;
      case 8:
      case 9:
        out_ += "[INFO][UI] open window ";
        out_ += rng_.Pick(kWindows);
        break;
      case 10:
        out_ += "[INFO][Net] ping ";
        AppendUint(out_, 20 + rng_.Below(40));
        out_ += " ms";
        break;
      default:
        out_ += "[INFO][Audio] play sound/";
        out_ += rng_.Pick(kNames);
        out_ += ".ogg channel=";
        AppendUint(out_, rng_.Below(32));
        break;
    }
    out_ += "\r\n";
  }

  void AppendDate(const Civil& c) {
    AppendPadded(out_, static_cast<uint64_t>(c.year), 4);
    out_ += '-';
    AppendPadded(out_, static_cast<uint64_t>(c.month), 2);
    out_ += '-';
    AppendPadded(out_, static_cast<uint64_t>(c.day), 2);
  }

  void AppendClock(int hour, int minute, int second, int ms) {
    AppendPadded(out_, static_cast<uint64_t>(hour), 2);
    out_ += ':';
    AppendPadded(out_, static_cast<uint64_t>(minute), 2);
    out_ += ':';
    AppendPadded(out_, static_cast<uint64_t>(second), 2);
    out_ += '.';
    AppendPadded(out_, static_cast<uint64_t>(ms), 3);
  }

 private:
  Random& rng_;
  std::string& out_;
  uint64_t seq_ = 0;
  uint64_t frame_ = 0;
};

std::string Summary(const Site& site, const Civil& at) {
  std::string out = kTimeLabel;
  AppendPadded(out, static_cast<uint64_t>(at.year), 4);
  out += '-';
  AppendPadded(out, static_cast<uint64_t>(at.month), 2);
  out += '-';
  AppendPadded(out, static_cast<uint64_t>(at.day), 2);
  out += ' ';
  AppendPadded(out, static_cast<uint64_t>(at.hour), 2);
  out += ':';
  AppendPadded(out, static_cast<uint64_t>(at.minute), 2);
  out += ':';
  AppendPadded(out, static_cast<uint64_t>(at.second), 2);
  out += "\r\n\r\n" + kProgramLabel + site.program + "\r\n\r\n";
  if (site.unknown) {
    return out + kUnknownLine + "\r\n";
  }
  out += kCodeLabel + "0x";
  AppendHex(out, site.code, 8, false);
  out += "\r\n" + kAddressLabel + "0x";
  AppendHex(out, site.address, 1, false);
  out += "\r\n" + kFlagsLabel + "0\r\n";
  return out;
}

// stack.txt as the crash library writes it: the site's eight top frames, then the rest of the
// stack, which differs from crash to crash.
std::string StackText(Random& rng, const Model& model, const Site& site, int version) {
  collector::StackTrace trace;
  trace.hasHeader = true;
  trace.hasException = true;
  trace.code = site.code;
  trace.exceptionAddress = site.address;
  trace.hasThread = true;
  trace.thread = 0x1000 + static_cast<uint32_t>(rng.Below(0x8000)) * 4;
  static const char* const kRegisters[] = {"eax", "ebx", "ecx", "edx", "esi",
                                           "edi", "ebp", "esp", "eip", "eflags"};
  for (const char* name : kRegisters) {
    uint32_t value = static_cast<uint32_t>(rng.Next());
    if (name[1] == 'i' && name[2] == 'p') value = site.address;
    if (name[1] == 'f') value = 0x00010246;
    trace.registers.emplace_back(name, value);
  }
  size_t depth = 3 + 6 + rng.Below(24);
  for (size_t i = 0; i < depth; ++i) {
    Frame frame = i < 8 ? site.top[i] : RandomFrame(rng, false);
    // Every thread starts in the same two system frames.
    if (i + 2 == depth) frame = Frame{ModuleIndex("kernel32.dll"), 0x1fa29};
    if (i + 1 == depth) frame = Frame{ModuleIndex("ntdll.dll"), 0x6a8fe};
    collector::StackFrame out;
    out.index = static_cast<uint32_t>(i);
    out.module = kModules[frame.module].name;
    out.offset = frame.offset;
    out.method = i == 0 ? "context" : rng.Below(4) == 0 ? "scan" : "fp";
    trace.frames.push_back(out);
  }
  std::string text = collector::FormatStackText(trace);
  // The module lines come before the frames: splice them in after the registers line.
  size_t framesAt = text.find("\r\n#0 ") + 2;
  std::string modules;
  for (const std::string& line : model.moduleLines[version]) modules += line;
  text.insert(framesAt, modules);
  return text;
}

struct Upload {
  std::string ver;
  std::string payload;
  int64_t receivedMs = 0;
};

std::string Pack(const std::vector<std::pair<const char*, const std::string*>>& entries) {
  // The packer keeps LZO's work memory in a global (the crash path allocates nothing): one
  // archive at a time.
  static std::mutex packing;
  std::lock_guard<std::mutex> lock(packing);
  PakArchive archive;
  for (const auto& [name, bytes] : entries) {
    archive.AddEntry(name, reinterpret_cast<const unsigned char*>(bytes->data()),
                     static_cast<uint32_t>(bytes->size()));
  }
  uint32_t size = 0;
  unsigned char* image = archive.Build(&size);
  return image == nullptr ? std::string() : std::string(reinterpret_cast<char*>(image), size);
}

Upload MakeUpload(const Model& model, uint64_t seed, uint64_t index, int64_t nowMs) {
  Random rng(StreamSeed(seed, index));
  Upload upload;
  int version = static_cast<int>(Draw(rng, model.versionCumulative));
  upload.ver = kVersions[version].name;
  const Site& site = model.sites[Draw(rng, model.siteCumulative)];
  upload.receivedMs = nowMs - static_cast<int64_t>(rng.Below(kSpreadMilliseconds));

  int64_t crashLocal =
      upload.receivedMs / 1000 - 2 - static_cast<int64_t>(rng.Below(20)) + kLocalOffsetSeconds;
  size_t logBytes = kMinLogBytes + rng.Below(kLogBytesRange);
  // About 75 bytes and 0.75 s a line: the session started that long before the crash.
  int64_t startMs = crashLocal * 1000 - static_cast<int64_t>(logBytes / 75 * 750);
  std::string log;
  log.reserve(logBytes + 512);
  LogWriter writer(rng, log);
  writer.Header(upload.ver.c_str(), CivilOf(startMs / 1000));
  int64_t atMs = startMs;
  while (log.size() < logBytes) {
    atMs += static_cast<int64_t>(rng.Below(1500));
    writer.Line(((atMs % 86400000) + 86400000) % 86400000);
  }
  log += "\r\n" + Summary(site, CivilOf(crashLocal));
  if (site.hasStack) {
    std::string stack = StackText(rng, model, site, version);
    upload.payload = Pack({{"log.txt", &log}, {"stack.txt", &stack}});
  } else {
    upload.payload = Pack({{"log.txt", &log}});
  }
  return upload;
}

// What the server makes of the upload before its group commit (UploadServer's Finish): the
// report and its crash entry.
struct Filled {
  StoredReport report;
  collector::CrashEntry crash;
};

Filled Ingest(collector::ReportStore& store, Upload upload, Random& rng) {
  Filled filled;
  StoredReport& report = filled.report;
  report.receivedUtc = IsoUtc(upload.receivedMs);
  std::string peer;
  AppendUint(peer, 1 + rng.Below(223));
  for (int i = 0; i < 3; ++i) {
    peer += '.';
    AppendUint(peer, rng.Below(256));
  }
  peer += ':';
  AppendUint(peer, 1024 + rng.Below(64000));
  report.peer = peer;
  report.path = "/upload";
  report.hasVer = true;
  report.ver = std::move(upload.ver);
  report.fileName = "log.pak";
  report.payload = std::move(upload.payload);
  report.payloadSize = report.payload.size();
  collector::DecodedPayload decoded = collector::DecodePayload(report.payload);
  report.state = collector::DecodeStateName(decoded.state);
  report.note = decoded.note;
  report.httpStatus = 200;
  bool hasLog = decoded.state == collector::DecodeState::kArchive ||
                decoded.state == collector::DecodeState::kUnpacked;
  filled.crash =
      collector::DescribeCrash(store, report, hasLog, decoded.log, decoded.hasStack, decoded.stack);
  return filled;
}

std::vector<Filled> BuildBatch(collector::ReportStore& store, const Model& model, uint64_t seed,
                               uint64_t first, uint64_t count, int64_t nowMs) {
  std::vector<Filled> batch;
  batch.reserve(count);
  for (uint64_t i = first; i < first + count; ++i) {
    Random peerRng(StreamSeed(seed ^ 0xA5A5A5A5ull, i));
    batch.push_back(Ingest(store, MakeUpload(model, seed, i, nowMs), peerRng));
  }
  return batch;
}

struct Options {
  std::string db;
  uint64_t count = 0;
  bool hasCount = false;
  uint64_t seed = 1;
  int64_t nowSeconds = 0;
  unsigned threads = 2;
  std::string emitDir;
  uint64_t uploads = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Fill(const Options& options) {
  std::unique_ptr<collector::ReportStore> store = collector::MakeReportStore(options.db);
  std::string error;
  if (!store->Open(options.db, true, error)) {
    std::fprintf(stderr, "collector_fill: cannot open %s: %s\n", options.db.c_str(), error.c_str());
    return 1;
  }
  uint64_t have = 0;
  if (!collector::CountCrashes(*store, have, error)) {
    std::fprintf(stderr, "collector_fill: cannot count the reports: %s\n", error.c_str());
    return 1;
  }
  const Model model = BuildModel(options.seed);
  const int64_t nowMs = options.nowSeconds * 1000;
  const auto started = std::chrono::steady_clock::now();
  double lastProgress = 0;
  uint64_t next = have;  // the next report index to build
  uint64_t stored = 0;
  uint64_t payloadBytes = 0;
  // Batches are built ahead on worker threads while this one stores, in order.
  std::deque<std::future<std::vector<Filled>>> ahead;
  auto launch = [&]() {
    uint64_t n = std::min<uint64_t>(kBatchSize, options.count - next);
    ahead.push_back(std::async(std::launch::async, BuildBatch, std::ref(*store), std::cref(model),
                               options.seed, next, n, nowMs));
    next += n;
  };
  int status = 0;
  while (status == 0 && (!ahead.empty() || next < options.count)) {
    while (ahead.size() < options.threads && next < options.count) launch();
    std::vector<Filled> batch = ahead.front().get();
    ahead.pop_front();
    std::vector<const StoredReport*> pointers;
    std::vector<const collector::CrashEntry*> entries;
    for (const Filled& filled : batch) {
      pointers.push_back(&filled.report);
      entries.push_back(&filled.crash);
      payloadBytes += filled.report.payloadSize;
    }
    std::vector<int64_t> ids;
    std::vector<std::string> errors;
    if (!collector::StoreWithEntries(*store, pointers, entries, ids, errors, error)) {
      std::fprintf(stderr, "collector_fill: cannot store: %s\n", error.c_str());
      status = 1;
      break;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == 0) {
        std::fprintf(stderr, "collector_fill: a report was refused: %s\n",
                     i < errors.size() ? errors[i].c_str() : "");
        status = 1;
      }
    }
    stored += batch.size();
    double elapsed = SecondsSince(started);
    if (elapsed - lastProgress >= kProgressSeconds || (ahead.empty() && next >= options.count)) {
      lastProgress = elapsed;
      std::fprintf(stderr, "collector_fill: %llu of %llu reports (%.0f/s)\n",
                   static_cast<unsigned long long>(have + stored),
                   static_cast<unsigned long long>(options.count),
                   stored / std::max(elapsed, 1e-3));
    }
  }
  for (auto& pending : ahead) pending.wait();
  store->Close();
  if (status == 0) {
    std::printf("reports=%llu added=%llu payload_bytes=%llu seconds=%.3f\n",
                static_cast<unsigned long long>(std::max(have, options.count)),
                static_cast<unsigned long long>(stored),
                static_cast<unsigned long long>(payloadBytes), SecondsSince(started));
  }
  return status;
}

int Emit(const Options& options) {
  const Model model = BuildModel(options.seed);
  mkdir(options.emitDir.c_str(), 0755);
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < options.uploads; ++i) {
    Upload upload = MakeUpload(model, options.seed, kEmitFirstIndex + i, options.nowSeconds * 1000);
    std::string name = options.emitDir + "/";
    AppendPadded(name, i, 6);
    name += "_" + upload.ver + ".pak";
    std::ofstream file(name, std::ios::binary);
    file.write(upload.payload.data(), static_cast<std::streamsize>(upload.payload.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "collector_fill: cannot write %s\n", name.c_str());
      return 1;
    }
    bytes += upload.payload.size();
  }
  std::printf("uploads=%llu payload_bytes=%llu\n", static_cast<unsigned long long>(options.uploads),
              static_cast<unsigned long long>(bytes));
  return 0;
}

bool ParseNumber(const char* text, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0) return false;
  out = value;
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "collector_fill: %s\nusage: collector_fill --db FILE|URI --count N [--seed S] "
               "[--now UNIX_SECONDS] [--threads T]\n"
               "       collector_fill --emit-uploads DIR --uploads K [--seed S]\n",
               problem);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.nowSeconds = static_cast<int64_t>(std::time(nullptr));
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t number = 0;
    if (value == nullptr) return Usage(("missing value of " + arg).c_str());
    bool numeric = ParseNumber(value, number);
    if (arg == "--db") {
      options.db = value;
    } else if (arg == "--emit-uploads") {
      options.emitDir = value;
    } else if (arg == "--count" && numeric) {
      options.count = number;
      options.hasCount = true;
    } else if (arg == "--uploads" && numeric) {
      options.uploads = number;
    } else if (arg == "--seed" && numeric) {
      options.seed = number;
    } else if (arg == "--now" && numeric) {
      options.nowSeconds = static_cast<int64_t>(number);
    } else if (arg == "--threads" && numeric && number >= 1 && number <= 16) {
      options.threads = static_cast<unsigned>(number);
    } else {
      return Usage(("bad argument " + arg + " " + value).c_str());
    }
    ++i;
  }
  if (!options.emitDir.empty()) {
    return options.db.empty() ? Emit(options) : Usage("--emit-uploads takes no --db");
  }
  if (options.db.empty() || !options.hasCount) return Usage("--db and --count are needed");
  return Fill(options);
}
