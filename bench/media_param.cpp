// The parameter parcel: a fixed-width round trip per value beside an inlined
// byte copy of the same values, and a 32-entry container written to and
// rebuilt from a parcel beside building that container with the setters.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"
#include "platform/log/zu_log.h"

namespace {

using osal::MediaMeta;
using osal::MediaParam;

constexpr size_t kValues = MediaParam::kCapacity / sizeof(int32_t);

// The parcel's verbose trace is filtered by the default threshold, as on a
// device where verbose lines are off.
void FilterVerbose() { ZuLogSetLevel(ZU_LOG_DEBUG); }

void SetPerValue(benchmark::State& state, size_t values) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values));
  state.counters["ns_per_value"] = benchmark::Counter(
      static_cast<double>(values), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Fills a whole parcel with WriteInt32 and reads every value back.
void BM_ParcelInt32RoundTrip(benchmark::State& state) {
  FilterVerbose();
  for (auto _ : state) {
    MediaParam parcel;
    for (size_t i = 0; i < kValues; ++i) parcel.WriteInt32(static_cast<int32_t>(i));
    int64_t sum = 0;
    for (size_t i = 0; i < kValues; ++i) sum += parcel.ReadInt32();
    benchmark::DoNotOptimize(sum);
  }
  SetPerValue(state, kValues);
}
BENCHMARK(BM_ParcelInt32RoundTrip);

// Baseline: the same values copied into and out of a byte buffer inline.
void BM_InlineByteCopyRoundTrip(benchmark::State& state) {
  auto buffer = std::make_unique<uint8_t[]>(MediaParam::kCapacity);
  for (auto _ : state) {
    uint8_t* bytes = buffer.get();
    benchmark::DoNotOptimize(bytes);
    for (size_t i = 0; i < kValues; ++i) {
      const auto value = static_cast<int32_t>(i);
      memcpy(bytes + i * sizeof(value), &value, sizeof(value));
    }
    benchmark::ClobberMemory();
    int64_t sum = 0;
    for (size_t i = 0; i < kValues; ++i) {
      int32_t value;
      memcpy(&value, bytes + i * sizeof(value), sizeof(value));
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
  SetPerValue(state, kValues);
}
BENCHMARK(BM_InlineByteCopyRoundTrip);

// 32 entries of the kinds that travel, under keys like a real producer's.
void Fill32(MediaMeta& meta, int* anchor) {
  char key[32];
  for (int i = 0; i < 4; ++i) {
    snprintf(key, sizeof(key), "width-%d", i);
    meta.SetInt32(key, 1920 + i);
    snprintf(key, sizeof(key), "duration-us-%d", i);
    meta.SetInt64(key, 1000000LL * i);
    snprintf(key, sizeof(key), "gain-%d", i);
    meta.SetFloat(key, 0.5f * static_cast<float>(i));
    snprintf(key, sizeof(key), "frame-rate-%d", i);
    meta.SetDouble(key, 29.97 + i);
    snprintf(key, sizeof(key), "surface-%d", i);
    meta.SetPointer(key, anchor + i);
    snprintf(key, sizeof(key), "mime-%d", i);
    meta.SetString(key, "video/avc");
    snprintf(key, sizeof(key), "aspect-%d", i);
    meta.SetFraction(key, 16, 9);
    snprintf(key, sizeof(key), "crop-%d", i);
    meta.SetRect(key, 0, 0, 1920, 1080);
  }
}

// Baseline: a new container filled with the setters.
void BM_Meta32BuildWithSetters(benchmark::State& state) {
  int anchor[4] = {};
  for (auto _ : state) {
    auto meta = MediaMeta::Create();
    Fill32(*meta, anchor);
    benchmark::DoNotOptimize(meta.get());
  }
}
BENCHMARK(BM_Meta32BuildWithSetters);

// The same container written to a new parcel and rebuilt from it.
void BM_Meta32WriteAndRebuild(benchmark::State& state) {
  FilterVerbose();
  int anchor[4] = {};
  auto source = MediaMeta::Create();
  Fill32(*source, anchor);
  for (auto _ : state) {
    MediaParam parcel;
    source->WriteToMediaParam(&parcel);
    auto meta = MediaMeta::Create();
    meta->ReadFromMediaParam(&parcel);
    benchmark::DoNotOptimize(meta.get());
  }
}
BENCHMARK(BM_Meta32WriteAndRebuild);

}  // namespace

BENCHMARK_MAIN();
