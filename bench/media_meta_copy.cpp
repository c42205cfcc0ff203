// Copy and Merge of a 32-entry container of mixed kinds, each beside
// building or updating the same entries through the setters.
//
// The container holds 4 texts and 2 byte buffers of 64 bytes (which Copy
// duplicates) and 26 plain entries (integers, floats, doubles, pointers,
// fractions, rectangles, objects), which Copy shares.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <string>

#include "osal/meta/media_meta.h"

namespace {

constexpr int kEntries = 32;

struct Thing : osal::MediaMeta::MetaBase {};

const std::array<std::string, kEntries>& Names() {
  static const std::array<std::string, kEntries> names = [] {
    std::array<std::string, kEntries> result;
    for (int i = 0; i < kEntries; ++i) result[i] = "key-" + std::to_string(100 + i * 7);
    return result;
  }();
  return names;
}

// Sets the 32 entries into `meta` through the setters.
void Fill(osal::MediaMeta& meta) {
  static unsigned char bytes[64] = {1, 2, 3};
  static int pointee = 0;
  static const std::shared_ptr<osal::MediaMeta::MetaBase> thing = std::make_shared<Thing>();
  static const char* const kTexts[] = {"video/avc", "und", "track title", "encoder 1.0"};
  const auto& names = Names();
  int n = 0;
  for (const char* text : kTexts) meta.SetString(names[n++].c_str(), text);
  for (int i = 0; i < 2; ++i) meta.SetByteBuffer(names[n++].c_str(), bytes, sizeof(bytes));
  for (int i = 0; i < 8; ++i) meta.SetInt32(names[n++].c_str(), i * 1000);
  for (int i = 0; i < 4; ++i) meta.SetInt64(names[n++].c_str(), int64_t{i} << 40);
  for (int i = 0; i < 3; ++i) meta.SetFloat(names[n++].c_str(), 0.5f * i);
  for (int i = 0; i < 3; ++i) meta.SetDouble(names[n++].c_str(), 0.25 * i);
  for (int i = 0; i < 2; ++i) meta.SetPointer(names[n++].c_str(), &pointee);
  for (int i = 0; i < 2; ++i) meta.SetFraction(names[n++].c_str(), 30000, 1001 + i);
  for (int i = 0; i < 2; ++i) meta.SetRect(names[n++].c_str(), 0, 0, 1919, 1079 + i);
  for (int i = 0; i < 2; ++i) meta.SetObject(names[n++].c_str(), thing);
}

std::shared_ptr<osal::MediaMeta> Filled() {
  auto meta = osal::MediaMeta::Create();
  Fill(*meta);
  return meta;
}

// Baseline for Copy and for Merge into an empty container.
void BM_BuildWithSetters(benchmark::State& state) {
  for (auto _ : state) {
    auto meta = osal::MediaMeta::Create();
    Fill(*meta);
    benchmark::DoNotOptimize(meta.get());
  }
}
BENCHMARK(BM_BuildWithSetters);

void BM_Copy(benchmark::State& state) {
  const auto source = Filled();
  for (auto _ : state) {
    auto copy = source->Copy();
    benchmark::DoNotOptimize(copy.get());
  }
}
BENCHMARK(BM_Copy);

void BM_MergeIntoEmpty(benchmark::State& state) {
  const auto source = Filled();
  for (auto _ : state) {
    auto meta = osal::MediaMeta::Create();
    benchmark::DoNotOptimize(meta->Merge(source));
  }
}
BENCHMARK(BM_MergeIntoEmpty);

// Baseline for Merge into a container that already holds every key.
void BM_SetExistingWithSetters(benchmark::State& state) {
  const auto target = Filled();
  for (auto _ : state) {
    Fill(*target);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SetExistingWithSetters);

void BM_MergeOverwrite(benchmark::State& state) {
  const auto source = Filled();
  const auto target = Filled();
  for (auto _ : state) benchmark::DoNotOptimize(target->Merge(source));
}
BENCHMARK(BM_MergeOverwrite);

}  // namespace

BENCHMARK_MAIN();
