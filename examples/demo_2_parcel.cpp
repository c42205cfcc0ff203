// Typical use of metadata on a parcel: a producer fills a container and
// writes it onto a MediaParam; a consumer in the same process rebuilds its
// own container from the parcel and reads the values back.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "examples/demo.h"
#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"

namespace {

void Produce(osal::MediaParam& parcel, void* surface) {
  auto meta = osal::MediaMeta::Create();
  meta->SetString("mime", "video/avc");
  meta->SetInt32("width", 1920);
  meta->SetInt32("height", 1080);
  meta->SetInt64("duration-us", 90'000'000);
  meta->SetFloat("gain", 0.1f);
  meta->SetDouble("frame-rate", 29.97);
  meta->SetFraction("sample-aspect", 16, 9);
  meta->SetRect("crop", 0, 0, 1919, 1079);
  meta->SetPointer("surface", surface);
  const bool written = meta->WriteToMediaParam(&parcel);
  printf("producer: wrote 9 entries on the parcel: %s\n", written ? "yes" : "no");

  // A kind that cannot travel is refused with an error line on the log; the
  // rest still goes.
  fflush(stdout);
  auto extra = osal::MediaMeta::Create();
  unsigned char header[4] = {0x00, 0x00, 0x00, 0x01};
  extra->SetByteBuffer("codec-header", header, sizeof(header));
  extra->SetInt32("track", 2);
  const bool extraWritten = extra->WriteToMediaParam(&parcel);
  printf("producer: wrote a block with a byte buffer: %s\n", extraWritten ? "yes" : "refused in part");
}

void Consume(const osal::MediaParam& parcel, void* surface) {
  auto meta = osal::MediaMeta::Create();
  const bool read = meta->ReadFromMediaParam(&parcel);
  const char* mime = nullptr;
  int32_t width = 0, height = 0;
  int64_t duration = 0;
  float gain = 0;
  double rate = 0;
  int numerator = 0, denominator = 0, left = 0, top = 0, right = 0, bottom = 0;
  void* received = nullptr;
  meta->GetString("mime", mime);
  meta->GetInt32("width", width);
  meta->GetInt32("height", height);
  meta->GetInt64("duration-us", duration);
  meta->GetFloat("gain", gain);
  meta->GetDouble("frame-rate", rate);
  meta->GetFraction("sample-aspect", numerator, denominator);
  meta->GetRect("crop", left, top, right, bottom);
  meta->GetPointer("surface", received);
  printf("consumer: read the block: %s\n", read ? "yes" : "no");
  printf("  %s %dx%d, %lld us at %.2f fps, aspect %d/%d, crop (%d,%d)-(%d,%d)\n", mime, width, height,
         static_cast<long long>(duration), rate, numerator, denominator, left, top, right, bottom);
  printf("  gain came back exactly: %s; surface address kept: %s\n", gain == 0.1f ? "yes" : "no",
         received == surface ? "yes" : "no");

  fflush(stdout);
  auto extra = osal::MediaMeta::Create();
  const bool extraRead = extra->ReadFromMediaParam(&parcel);
  int32_t track = 0;
  extra->GetInt32("track", track);
  printf("consumer: second block read: %s, track %d, codec header present: %s\n",
         extraRead ? "yes" : "no", track, extra->ContainsKey("codec-header") ? "yes" : "no");
}

void Run() {
  int surface = 0;
  osal::MediaParam parcel;
  Produce(parcel, &surface);
  Consume(parcel, &surface);
}

const bool kRegistered = demo::Register({"2 metadata on a parcel", &Run});

}  // namespace
