#include "BatchRun.h"

#include <vector>

#include "Conversion.h"
#include "DicomReader.h"

BatchSummary RunBatch(const std::string& sourceDir, const std::string& resultDir,
                      const std::string& format, LfImage& current,
                      const BatchProgress& progress) {
    BatchSummary summary;
    // The list is complete before the first output is written, so outputs written into the
    // source folder are not converted again by this run.
    const std::vector<std::string> files = ListBatchFiles(sourceDir);
    const int count = static_cast<int>(files.size());
    summary.files = count;
    if (progress) progress(0, count);
    for (int i = 0; i < count; ++i) {
        if (progress) progress(i + 1, count);
        DicomReader reader;
        const GreyFrame* frame = reader.read(files[i].c_str());
        if (frame == nullptr) continue;
        if (!FrameToImage(*frame, current)) continue;
        ++summary.converted;
        if (SaveResultImage(BatchOutputPath(resultDir, files[i], format), current))
            ++summary.written;
    }
    return summary;
}
