// Typed setters and getters on a container of 32 distinct keys of 8 to 20
// characters, beside a plain std::map<std::string, int>::find with a ready
// key. The keys share the prefix "media.key.kk..." up to their last two
// characters, which number them; even keys hold an Int32, odd ones a text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"

namespace {

std::vector<std::string> Keys() {
  std::vector<std::string> keys;
  const std::string prefix = "media.key.kkkkkkkkkk";
  for (int i = 0; i < 32; ++i) {
    const size_t length = 8 + static_cast<size_t>(i * 7) % 13;  // 8 to 20 characters
    char number[3];
    snprintf(number, sizeof(number), "%02d", i);
    keys.push_back(prefix.substr(0, length - 2) + number);
  }
  if (std::set<std::string>(keys.begin(), keys.end()).size() != keys.size()) {
    fprintf(stderr, "duplicate keys\n");
    abort();
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
    const bool stored = i % 2 == 0 ? meta->SetInt32(key.c_str(), i) : meta->SetString(key.c_str(), "some text value");
    if (!stored) {
      fprintf(stderr, "refused: %s\n", key.c_str());
      abort();
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
    if (!meta->SetInt32(TheKeys()[next].c_str(), ++value)) {
      state.SkipWithError("SetInt32 refused");
      break;
    }
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
    if (!meta->SetString(TheKeys()[next].c_str(), texts[round & 1])) {
      state.SkipWithError("SetString refused");
      break;
    }
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
