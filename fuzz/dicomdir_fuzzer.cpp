// Feeds arbitrary bytes to the DICOMDIR reader and walks the tree it gives, reading every
// record's file ID and values, so a link it accepted that leads nowhere shows.
#include "DicomDir.h"
#include "DicomSource.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

size_t Walk(const DicomDir& dir, const std::vector<size_t>& records, int depth) {
    size_t seen = 0;
    for (size_t index : records) {
        const DicomDirRecord& record = dir.records.at(index);
        seen += FileIdText(record.fileId).size() + record.text.value(tags::PatientId).size() + record.type.size();
        if (depth <= kMaxDicomDirDepth) seen += Walk(dir, record.children, depth + 1);
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    DicomDir dir;
    std::string error;
    if (ReadDicomDir(source, dir, error)) {
        volatile size_t sink = Walk(dir, dir.roots, 0);
        (void)sink;
    }
    return 0;
}
