// Typed setters and getters on a container of 32 keys of 8 to 20 characters,
// beside a plain std::map<std::string, int>::find with a ready key.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"

namespace {

std::vector<std::string> Keys() {
  std::vector<std::string> keys;
  for (int i = 0; i < 32; ++i) {
    const size_t length = 8 + static_cast<size_t>(i * 7) % 13;  // 8 to 20 characters
    std::string key = "media.key." + std::to_string(i * 7919);
    key.resize(length, 'k');
    keys.push_back(key);
  }
  return keys;
}

const std::vector<std::string>& TheKeys() {
  static const std::vector<std::string> keys = Keys();
  return keys;
}

std::shared_ptr<osal::MediaMeta> Filled() {
  auto meta = osal::MediaMeta::Create();
  int i = 0;
  for (const auto& key : TheKeys()) {
    if (i % 2 == 0) {
      meta->SetInt32(key.c_str(), i);
    } else {
      meta->SetString(key.c_str(), "some text value");
    }
    ++i;
  }
  return meta;
}

void BM_StdMapFind(benchmark::State& state) {
  std::map<std::string, int> map;
  int i = 0;
  for (const auto& key : TheKeys()) map[key] = i++;
  size_t next = 0;
  for (auto _ : state) {
    auto it = map.find(TheKeys()[next]);
    benchmark::DoNotOptimize(it->second);
    next = (next + 2) % 32;
  }
}
BENCHMARK(BM_StdMapFind);

void BM_GetInt32(benchmark::State& state) {
  auto meta = Filled();
  size_t next = 0;
  int32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meta->GetInt32(TheKeys()[next].c_str(), value));
    next = (next + 2) % 32;
  }
}
BENCHMARK(BM_GetInt32);

void BM_SetInt32(benchmark::State& state) {
  auto meta = Filled();
  size_t next = 0;
  int32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meta->SetInt32(TheKeys()[next].c_str(), ++value));
    next = (next + 2) % 32;
  }
}
BENCHMARK(BM_SetInt32);

void BM_GetString(benchmark::State& state) {
  auto meta = Filled();
  size_t next = 1;
  const char* text = nullptr;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meta->GetString(TheKeys()[next].c_str(), text));
    next = (next + 2) % 32;
  }
}
BENCHMARK(BM_GetString);

// Every call replaces the stored text by a different one.
void BM_SetStringReplacing(benchmark::State& state) {
  auto meta = Filled();
  const char* texts[] = {"video/avc", "video/hevc"};
  size_t next = 1;
  size_t round = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(meta->SetString(TheKeys()[next].c_str(), texts[round & 1]));
    next += 2;
    if (next >= 32) {
      next = 1;
      ++round;
    }
  }
}
BENCHMARK(BM_SetStringReplacing);

}  // namespace

BENCHMARK_MAIN();
