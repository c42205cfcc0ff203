// Metadata as a whole: copy a container, merge two, and dump them to the log.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "examples/demo.h"
#include "osal/meta/media_meta.h"
#include "platform/log/zu_log.h"

namespace {

void Dump(const char* title, const osal::MediaMeta& meta) {
  printf("%s (dump lines on stderr):\n", title);
  fflush(stdout);
  meta.Dump();
}

void Run() {
  const int previousLevel = ZuLogGetLevel();
  ZuLogSetLevel(ZU_LOG_DEBUG);  // the dump writes at debug level

  unsigned char sps[] = {0x67, 0x42, 0x00, 0x1f};
  auto track = osal::MediaMeta::Create();
  track->SetString("mime", "video/avc");
  track->SetInt32("width", 1920);
  track->SetInt32("height", 1080);
  track->SetInt64("durationUs", 90'000'000);
  track->SetFraction("frameRate", 30000, 1001);
  track->SetRect("crop", 0, 0, 1919, 1079);
  track->SetByteBuffer("csd-0", sps, sizeof(sps));
  Dump("track", *track);

  // Texts and bytes are duplicated; numbers are shared with the original.
  auto copy = track->Copy();
  copy->SetInt32("width", 1280);
  copy->SetString("mime", "video/hevc");
  int32_t width = 0;
  const char* mime = nullptr;
  track->GetInt32("width", width);
  track->GetString("mime", mime);
  printf("after changing the copy: original width %d (shared), original mime %s (own text)\n", width, mime);

  auto update = osal::MediaMeta::Create();
  update->SetInt32("height", 720);
  update->SetDouble("gain", 0.5);
  update->SetString("language", "und");
  const bool merged = track->Merge(update);
  printf("merge of height/gain/language: %s\n", merged ? "true" : "false");

  auto clash = osal::MediaMeta::Create();
  clash->SetInt64("bitrate", 4'000'000);
  clash->SetString("width", "wide");  // width is an Int32 here
  clash->SetInt32("zoom", 2);
  printf("merge of a text under the Int32 key width (error line on stderr):\n");
  fflush(stdout);
  const bool clashed = track->Merge(clash);
  printf("  result %s; bitrate, before width, set: %s; zoom, after it, set: %s\n", clashed ? "true" : "false",
         track->ContainsKey("bitrate") ? "yes" : "no", track->ContainsKey("zoom") ? "yes" : "no");

  printf("keys in order:");
  for (auto it = track->Begin(); it != track->End(); ++it) printf(" %s", (*it).Key().c_str());
  printf("\n");
  Dump("track after the merges", *track);

  ZuLogSetLevel(previousLevel);
}

const bool kRegistered = demo::Register({"3 metadata copy, merge, dump", &Run});

}  // namespace
