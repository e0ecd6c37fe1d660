// The header of a gzip file, and the stored name it may carry: whatever the
// bytes say, every read stays inside them and the name that comes out can
// never lead out of the folder it is joined to.
#include <algorithm>
#include <vector>

#include "compression/gzip_file.h"
#include "fuzz_support.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> head(data, size);

  const GzipHeader checked = ParseGzipHeader(head, false);
  FUZZ_CHECK(!checked.name && checked.mtime == 0);

  const GzipHeader header = ParseGzipHeader(head, true);
  if (header.verdict != GzipHeader::Verdict::kOk) FUZZ_CHECK(!header.name && header.mtime == 0);
  if (header.name) {
    const std::vector<uint8_t>& name = *header.name;
    FUZZ_CHECK(!name.empty() && name.size() < kStoredNameBuffer);
    FUZZ_CHECK(std::find(name.begin(), name.end(), 0) == name.end());
    // The name is a run of the file's own bytes, and a header rebuilt from it
    // reads back the same.
    FUZZ_CHECK(std::search(head.begin(), head.end(), name.begin(), name.end()) != head.end());
    const std::vector<uint8_t> rebuilt = BuildGzipHeader(header.mtime, name);
    const GzipHeader again = ParseGzipHeader(rebuilt, true);
    FUZZ_CHECK(again.verdict == GzipHeader::Verdict::kOk && again.mtime == header.mtime && again.name == name);
  }

  // Any bytes at all as a stored name.
  if (const std::optional<std::u16string> plain = PlainStoredName(head)) {
    FUZZ_CHECK(!plain->empty() && *plain != u"." && *plain != u"..");
    FUZZ_CHECK(plain->find_first_of(u"/\\") == std::u16string::npos);
  }
  return 0;
}
