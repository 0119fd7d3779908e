#include "BatchRun.h"

#include "Conversion.h"
#include "DicomReader.h"
#include "RefusalWords.h"

BatchSummary RunBatch(const std::string& sourceDir, const std::string& resultDir,
                      const std::string& format, LfImage& work, const BatchProgress& progress,
                      const std::atomic<bool>* stop, bool losslessTiff) {
    BatchSummary summary;
    // The list is complete before the first output is written, so outputs written into the
    // source folder are not converted again by this run.
    const std::vector<std::string> files = ListBatchFiles(sourceDir);
    const int count = static_cast<int>(files.size());
    summary.files = count;
    if (progress) progress(0, count);
    for (int i = 0; i < count; ++i) {
        if (stop != nullptr && stop->load()) {
            summary.stopped = true;
            break;
        }
        if (progress) progress(i + 1, count);
        ++summary.tried;
        DicomReader reader;
        const GreyFrame* frame = reader.read(files[i].c_str());
        if (frame == nullptr) {
            summary.failures.push_back({files[i], EnglishWords(WordsForRefusal(reader))});
            continue;
        }
        if (!FrameToImage(*frame, work)) {
            summary.failures.push_back({files[i], "the picture could not be created"});
            continue;
        }
        if (losslessTiff) UseDicomPictureOptions(work);
        ++summary.converted;
        if (SaveResultImage(BatchOutputPath(resultDir, files[i], format), work)) {
            ++summary.written;
        } else {
            const char* error = work.LastError();
            summary.failures.push_back(
                {files[i], error != nullptr && *error != '\0' ? error : "could not be written"});
        }
    }
    return summary;
}
