#include <benchmark/benchmark.h>
#include <lzo/lzo1x.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pack/compress.h"
#include "pack/lzw_encode.h"

namespace {

constexpr size_t kInputSize = 16u << 20;

// A game log: timestamps, levels, a few recurring messages with varying numbers.
const std::vector<unsigned char>& LogText() {
  static const std::vector<unsigned char> text = [] {
    static const char* const kMessages[] = {
        "player %u connected from 10.0.%u.%u", "map loaded: dungeon_%u (%u ms)",
        "frame time spike: %u ms at tick %u",  "texture cache miss id=%u size=%u",
        "saving profile slot %u, %u bytes",    "network resend seq=%u ack=%u"};
    std::mt19937 random(2026);
    std::string log;
    log.reserve(kInputSize + 256);
    unsigned seconds = 0;
    while (log.size() < kInputSize) {
      seconds += random() % 3;
      char line[160];
      int used = std::snprintf(line, sizeof line, "2026-12-08 %02u:%02u:%02u.%03u [%s] ",
                               seconds / 3600 % 24, seconds / 60 % 60, seconds % 60,
                               static_cast<unsigned>(random() % 1000),
                               random() % 10 == 0 ? "WARN" : "INFO");
      const unsigned a = static_cast<unsigned>(random() % 100000);
      const unsigned b = static_cast<unsigned>(random() % 256);
      used += std::snprintf(line + used, sizeof line - used, kMessages[random() % 6], a, b, a % 7);
      log.append(line, static_cast<size_t>(used));
      log += "\r\n";
    }
    log.resize(kInputSize);
    return std::vector<unsigned char>(log.begin(), log.end());
  }();
  return text;
}

void DirectLzo1x1(benchmark::State& state) {
  const std::vector<unsigned char>& input = LogText();
  std::vector<unsigned char> output(input.size() + input.size() / 16 + 64 + 3);
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_init();
  lzo_uint produced = 0;
  for (auto _ : state) {
    lzo1x_1_compress(input.data(), input.size(), output.data(), &produced, work.data());
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["out_bytes"] = static_cast<double>(produced);
}

void RunCompress(benchmark::State& state, int packType) {
  const std::vector<unsigned char>& input = LogText();
  int produced = 0;
  for (auto _ : state) {
    unsigned char* buffer = const_cast<unsigned char*>(input.data());
    int length = static_cast<int>(input.size());
    if (Compress(buffer, length, packType, 0, 0) != kCompressOk) {
      state.SkipWithError(CompressError);
      break;
    }
    benchmark::DoNotOptimize(buffer);
    produced = length;
    delete[] buffer;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["out_bytes"] = static_cast<double>(produced);
}

void CompressLzo(benchmark::State& state) { RunCompress(state, kPackLzo); }
void CompressLzw(benchmark::State& state) { RunCompress(state, kPackLzw); }
void CompressStored(benchmark::State& state) { RunCompress(state, kPackStored); }

void LzwEncodeOnly(benchmark::State& state) {
  const std::vector<unsigned char>& input = LogText();
  int64_t produced = 0;
  for (auto _ : state) {
    unsigned char* stream = nullptr;
    produced = LzwEncode(input.data(), static_cast<int64_t>(input.size()), stream);
    benchmark::DoNotOptimize(stream);
    delete[] stream;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["out_bytes"] = static_cast<double>(produced);
}

}  // namespace

BENCHMARK(DirectLzo1x1)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressLzo)->Unit(benchmark::kMillisecond);
BENCHMARK(LzwEncodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressLzw)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressStored)->Unit(benchmark::kMillisecond);
