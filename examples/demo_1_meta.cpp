// Typical use of metadata: fill a container with typed values, read them
// back, and see that a value of another kind is refused.
#include <cstdio>

#include "examples/demo.h"
#include "osal/meta/media_meta.h"

namespace {

void Run() {
  auto meta = osal::MediaMeta::Create();
  unsigned char header[4] = {0x00, 0x00, 0x00, 0x01};
  meta->SetInt32("width", 1920);
  meta->SetInt32("height", 1080);
  meta->SetInt64("duration-us", 90'000'000);
  meta->SetDouble("frame-rate", 29.97);
  meta->SetString("mime", "video/avc");
  meta->SetFraction("sample-aspect", 16, 9);
  meta->SetRect("crop", 0, 0, 1919, 1079);
  meta->SetByteBuffer("codec-header", header, sizeof(header));

  int32_t width = 0, height = 0;
  const char* mime = nullptr;
  int numerator = 0, denominator = 0;
  osal::MediaMeta::ByteBuffer bytes{};
  meta->GetInt32("width", width);
  meta->GetInt32("height", height);
  meta->GetString("mime", mime);
  meta->GetFraction("sample-aspect", numerator, denominator);
  meta->GetByteBuffer("codec-header", bytes);
  printf("%s %dx%d, aspect %d/%d, codec header of %zu bytes\n", mime, width, height, numerator,
         denominator, static_cast<size_t>(bytes.size));

  const bool replaced = meta->SetInt32("width", 1280);
  const bool wrongKind = meta->SetString("width", "wide");
  meta->GetInt32("width", width);
  printf("width set again: %s, as text: %s, width now %d\n", replaced ? "yes" : "no",
         wrongKind ? "yes" : "refused", width);
}

const bool kRegistered = demo::Register({"1 metadata", &Run});

}  // namespace
