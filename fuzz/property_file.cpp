// Arbitrary file contents through ReadConfig and WriteConfig never crash; the
// pairs read survive a rewrite; pairs that can be written (no '=' or '#' in
// the key, no '#' in the value, no blank or tab at either end, no newline)
// come back unchanged after Set and a fresh read, and Set refuses the others.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>

#include "platform/log/zu_log.h"
#include "property/store/property_file.h"
#include "property/store/property_format.h"

namespace {

const std::string& ScratchFile() {
  static const std::string path = [] {
    // A tmpfs where there is one: every set flushes the file it writes.
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir += "/fuzz_property_file.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) abort();
    return dir + "/p.cfg";
  }();
  return path;
}

void WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  close(fd);
}

bool EndsAreBare(const std::string& text) {
  auto space = [](char c) { return c == ' ' || c == '\t'; };
  return text.empty() || (!space(text.front()) && !space(text.back()));
}

bool Writable(const std::string& key, const std::string& value) {
  return !key.empty() && key.find_first_of("=#\n") == std::string::npos &&
         value.find_first_of("#\n") == std::string::npos && EndsAreBare(key) && EndsAreBare(value);
}


}  // namespace

// Every Set logs, and the watcher logs each rewrite: keep stderr for findings.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZuLogSetLevel(ZU_LOG_ERROR + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PropertyFile file;  // one object: it registers with the watcher once
  const std::string& path = ScratchFile();
  FuzzedDataProvider input(data, size);

  const std::string text = input.ConsumeRandomLengthString(4096);
  // The format alone, without files: a rendered text reads back as the
  // pairs and other lines it was rendered from.
  property_format::Pairs pairs;
  std::string kept;
  property_format::Split(text, &pairs, kept);
  property_format::Pairs again;
  std::string keptAgain;
  property_format::Split(property_format::Render(kept, pairs), &again, keptAgain);
  if (again != pairs || keptAgain != kept) abort();

  WriteText(path, text);
  if (!file.ReadConfig(path)) abort();
  const PropertyFile::PropertyMap read = file.Properties();
  // The line rules only ever yield pairs that can be written back.
  for (const auto& [key, value] : read) {
    if (!Writable(key, value)) abort();
  }
  if (!file.WriteConfig(path) || !file.ReadConfig(path)) abort();
  if (file.Properties() != read) abort();

  std::map<std::string, std::string> written;
  while (input.remaining_bytes() > 0) {
    const std::string key = input.ConsumeRandomLengthString(32).c_str();
    const std::string value = input.ConsumeRandomLengthString(PropertyFile::kMaxValueLength).c_str();
    // Set takes exactly the pairs that read back unchanged.
    const bool writable = Writable(key, value);
    if ((file.Set(path.c_str(), key.c_str(), value.c_str()) == 0) != writable) abort();
    if (writable) written[key] = value;
  }
  if (!file.ReadConfig(path)) abort();
  for (const auto& [key, value] : written) {
    const auto it = file.Properties().find(key);
    if (it == file.Properties().end() || it->second != value) abort();
  }
  return 0;
}
