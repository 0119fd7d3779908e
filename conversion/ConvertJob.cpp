#include "ConvertJob.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "Conversion.h"
#include "DicomDirInput.h"
#include "DicomReader.h"
#include "LfFormatRegistry.h"
#include "LfImage.h"
#include "DicomPictures.h"
#include "GroupCommit.h"
#include "MovieSaving.h"
#include "RefusalWords.h"

namespace convert {

namespace fs = std::filesystem;

namespace {

JobResult Fail(std::string reason) { return {false, std::move(reason)}; }

// The reader's reason for a file it refused after seeing "DICM", in the user's words.
std::string DicomRefusalReason(const DicomReader& reader) { return EnglishWords(WordsForRefusal(reader)); }

std::string LastErrorOr(const LfImage& image, const std::string& fallback) {
    const std::string text = image.LastError();
    return text.empty() ? fallback : text;
}

SaveChoices ChoicesOf(const Options& options) { return {options.quality, options.tiffCompression, options.dither}; }

JobResult Saved(const std::string& error) { return error.empty() ? JobResult{true, ""} : Fail(error); }

// The format an input's extension names for reading (camera raw files: a DNG is also a
// TIFF, and the TIFF codec, probed first, would take it as a grey sensor mosaic); 0 for none.
uint32_t InputFormat(const std::string& input) {
    std::string ext = fs::path(input).extension().string();
    if (ext.size() < 2) return LF_FORMAT_UNKNOWN;
    ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return LfFormatForInputExtension(ext);
}

// Reads a file with the format its extension names when that codec recognises the file
// (its header probe succeeds), so a damaged raw file fails with the raw codec's message
// instead of reaching the TIFF codec; anything else goes to the probe.
bool LoadByNameThenContent(const std::string& path, LfImage& image) {
    const uint32_t format = InputFormat(path);
    if (format != LF_FORMAT_UNKNOWN) {
        LfImage header;
        header.SetEscape(-1);
        if (header.Load(path.c_str(), format) && header.Type() == format) {
            FILE* file = std::fopen(path.c_str(), "rb");
            if (file == nullptr) return false;
            const bool ok = image.Decode(file, format);
            std::fclose(file);
            return ok;
        }
    }
    return image.Load(path.c_str(), LF_FORMAT_UNKNOWN);
}

// Loads an image file by its name's format or the probe, selecting the requested frame.
JobResult LoadImage(const Job& job, const Options& options, LfImage& image) {
    image.SetCurrentFrame(options.frame);
    image.SetLastError("");
    if (!LoadByNameThenContent(job.input, image)) {
        // The probe keeps no codec's message, so a frame the file lacks would read as an
        // unknown format: find the format with the first frame's header, then let that
        // codec say what is wrong with the frame asked for.
        if (options.frame > 0) {
            LfImage header;
            header.SetEscape(-1);
            if (header.Load(job.input.c_str(), LF_FORMAT_UNKNOWN)) {
                LfImage again;
                again.SetCurrentFrame(options.frame);
                if (!again.Load(job.input.c_str(), header.Type()))
                    return Fail(LastErrorOr(again, "frame " + std::to_string(options.frame) +
                                                       " cannot be read"));
            }
        }
        return Fail(LastErrorOr(image, "cannot open the file"));
    }
    // Single-frame formats ignore the frame number; asking for a frame they do not have
    // must not quietly give the first one.
    const int frames = std::max(image.NumFrames(), 1);
    if (options.frame >= frames)
        return Fail("frame " + std::to_string(options.frame) + " requested, the file has " +
                    std::to_string(frames) + (frames == 1 ? " frame" : " frames"));
    return {true, ""};
}

// NAME_0000.EXT, NAME_0001.EXT, ...: the frame's number before the extension.
std::string FrameOutputPath(const std::string& output, int frame) {
    const fs::path path(output);
    char number[16];
    std::snprintf(number, sizeof number, "_%04d", frame);
    return (path.parent_path() / (path.stem().string() + number + path.extension().string())).string();
}

// Converts one frame the reader holds and saves it to the output.
JobResult SaveDicomFrame(DicomReader& reader, int index, const Job& job, const Options& options,
                         const SaveSink& sink) {
    DicomPicture picture;
    if (!reader.picture(index, picture)) return Fail(DicomRefusalReason(reader));
    if (!picture.grey() && options.rendering.depth == 16)
        return Fail("--depth 16 needs a grey picture; this one is colour (" + reader.photometricInterpretation() + ")");
    JobResult result = Saved(SaveDicomPicture(picture, job.output, ChoicesOf(options), sink));
    result.pictureMade = true;
    return result;
}

// The frames of --all-frames that did not save: the first by number, and how many.
struct FrameFailures {
    std::mutex lock;
    int first = -1;
    std::string text;
    int count = 0;
    void add(int frame, const std::string& reason) {
        std::lock_guard<std::mutex> hold(lock);
        ++count;
        if (first < 0 || frame < first) first = frame, text = reason;
    }
};

// Frames from the shared counter, each saved to its numbered output; --skip-existing keeps
// the frames already written, so a run cut short resumes. Returns the frames kept.
int SaveNumberedFrames(DicomReader& reader, std::atomic<int>& next, const Job& job, const Options& options,
                       const SaveSink& sink, FrameFailures& failures) {
    int kept = 0;
    for (int i = next++; i < reader.frameCount(); i = next++) {
        Job one = job;
        // A {frame} name pattern planned each frame's output; else NAME_0000.EXT, ...
        one.output = static_cast<size_t>(i) < job.frameOutputs.size() ? job.frameOutputs[static_cast<size_t>(i)]
                                                                       : FrameOutputPath(job.output, i);
        if (options.skipExisting && OutputIsUpToDate(job.input, one.output)) {
            ++kept;
            continue;
        }
        JobResult saved = SaveDicomFrame(reader, i, one, options, sink);
        if (!saved.ok) failures.add(i, one.output + ": " + saved.text);
    }
    return kept;
}

// Every frame to its own numbered file. With several threads each has a reader of its own on
// the same file (set up by open): a frame renders the same whichever reader reads it. A frame
// that fails does not stop the others; the job fails with the first of them.
JobResult SaveAllFrames(DicomReader& reader, const Job& job, const Options& options, const SaveSink& sink,
                        int threads, const std::function<bool(DicomReader&)>& open) {
    const int frames = reader.frameCount();
    std::atomic<int> next{0};
    std::atomic<int> kept{0};
    FrameFailures failures;
    reader.setDecodeThreads(1);
    std::vector<std::thread> helpers;
    for (int t = 1; t < std::min(threads, frames); ++t)
        helpers.emplace_back([&] {
            DicomReader own;
            if (!open(own)) return;  // the other readers take its frames
            own.setDecodeThreads(1);
            kept += SaveNumberedFrames(own, next, job, options, sink, failures);
        });
    kept += SaveNumberedFrames(reader, next, job, options, sink, failures);
    for (std::thread& helper : helpers) helper.join();
    if (failures.count > 0) {
        std::string text = failures.text;
        if (failures.count > 1)
            text += " (" + std::to_string(failures.count - 1) + (failures.count == 2 ? " more frame" : " more frames") +
                    " failed)";
        return Fail(text);
    }
    JobResult result{true, ""};
    result.skipped = kept == frames;
    return result;
}

// The frame asked for, or with --all-frames every frame to its own numbered file (a
// single-frame file keeps the plain name).
JobResult SaveDicom(DicomReader& reader, const Job& job, const Options& options, const SaveSink& sink, int threads,
                    const std::function<bool(DicomReader&)>& open) {
    const int frames = reader.frameCount();
    if (!options.allFrames) {
        if (options.frame >= frames)
            return Fail("frame " + std::to_string(options.frame) + " requested" +
                        (frames == 1 ? "; DICOM inputs give their first frame only when they hold one frame"
                                     : ", the file has " + std::to_string(frames) + " frames"));
        return SaveDicomFrame(reader, options.frame, job, options, sink);
    }
    if (frames <= 1) {
        if (!options.skipExisting || !OutputIsUpToDate(job.input, job.output))
            return SaveDicomFrame(reader, 0, job, options, sink);
        JobResult kept{true, ""};
        kept.skipped = true;
        return kept;
    }
    return SaveAllFrames(reader, job, options, sink, threads, open);
}

// The facts of a DICOM picture the common case leaves unsaid: a transfer syntax other than
// Explicit VR Little Endian, a photometric other than MONOCHROME2, encapsulated pixel data.
std::string DicomDetails(const DicomReader& reader) {
    std::string text;
    const std::string photometric = reader.photometricInterpretation();
    if (!photometric.empty() && photometric != "MONOCHROME2") text += ", " + photometric;
    if (reader.transferSyntax() != "1.2.840.10008.1.2.1") {
        const std::string name = reader.transferSyntaxName();
        text += ", " + (name.empty() ? "transfer syntax" : name) + " (" + reader.transferSyntax() + ")";
    }
    if (!reader.pixelEncoding().empty() && reader.pixelEncoding() != "native")
        text += ", pixel data " + reader.pixelEncoding();
    return text;
}

std::string FormatFloat(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Quoted(const std::string& text) { return text.empty() ? "" : " \"" + text + "\""; }

std::string WindowList(const std::vector<VoiWindow>& windows, const std::string& function) {
    std::string text;
    for (size_t i = 0; i < windows.size(); ++i)
        text += std::string(i == 0 ? "" : ",") + " " + std::to_string(i + 1) + " = centre " +
                FormatFloat(windows[i].centre) + " width " + FormatFloat(windows[i].width) + Quoted(windows[i].explanation);
    if (!function.empty()) text += ", function " + function;
    return text;
}

std::string TableText(const LookupTable& table) {
    if (!table.problem.empty()) return " unusable (" + table.problem + ")";
    return " " + std::to_string(table.entries) + " entries from " + std::to_string(table.firstMapped) + ", " +
           std::to_string(table.bits) + " bits" + Quoted(table.explanation);
}

// What the grey rendering of --voi standard can choose from, beyond the first window: every
// window with its explanation and function, the VOI LUTs, a Modality LUT, the Presentation
// LUT Shape and the values of enhanced images' functional groups.
std::string GreyDetails(const GreyAttributes& grey) {
    std::string text;
    const bool listWindows = grey.windows.size() > 1 || !grey.function.empty() ||
                             (!grey.windows.empty() && !grey.windows[0].explanation.empty());
    if (listWindows) text += "; windows:" + WindowList(grey.windows, grey.function);
    for (size_t i = 0; i < grey.voiLuts.size(); ++i) text += "; VOI LUT " + std::to_string(i + 1) + ":" + TableText(grey.voiLuts[i]);
    if (grey.hasModalityLut) text += "; Modality LUT:" + TableText(grey.modalityLut);
    if (!grey.presentationShape.empty()) text += "; Presentation LUT Shape " + grey.presentationShape;
    if (grey.hasShared && grey.shared.hasWindows) text += "; shared functional groups' windows:" + WindowList(grey.shared.windows, grey.shared.function);
    if (grey.hasShared && grey.shared.hasRescale)
        text += "; shared rescale slope " + FormatFloat(grey.shared.slope) + " intercept " + FormatFloat(grey.shared.intercept);
    if (!grey.perFrame.empty()) {
        const FrameGroups& first = grey.perFrame.front();
        text += "; per-frame functional groups for " + std::to_string(grey.perFrame.size()) + " frames";
        if (first.hasWindows) text += ", frame 0's windows:" + WindowList(first.windows, first.function);
        if (first.hasRescale)
            text += ", frame 0's rescale slope " + FormatFloat(first.slope) + " intercept " + FormatFloat(first.intercept);
    }
    if (!grey.problem.empty()) text += "; " + grey.problem;
    return text;
}

}  // namespace

bool OutputIsUpToDate(const std::string& input, const std::string& output) {
    std::error_code inError, outError;
    const auto outputTime = fs::last_write_time(output, outError);
    const auto inputTime = fs::last_write_time(input, inError);
    return !outError && !inError && outputTime > inputTime && OutputIsComplete(output);
}

std::string FormatName(uint32_t type) {
    const LfFormatInfo* row = LfFindFormat(type);
    return row ? row->name : "unknown";
}

JobResult ConvertOne(const Job& job, const Options& options, const SaveSink& sink, int threads) {
    if (!job.error.empty()) return Fail(job.error);
    const bool movie = IsMovieTarget(job.output);
    // A GIF animates a multi-frame picture unless particular frames were asked for.
    const bool animation =
        IsAnimationTarget(job.output) && !options.allFrames && !options.frameGiven && options.frame == 0;
    const MovieChoices movieChoices{options.quality, options.fps, options.dither};
    if ((movie || animation) && !job.series.empty()) {
        JobResult result = Saved(SaveSeriesMovie(job.series, options.rendering, job.output, movieChoices, sink));
        result.pictureMade = result.ok;
        return result;
    }
    // Data sets without a meta group are tried only once no image codec takes the file.
    bool acceptBare = options.dicomOnly;
    const auto open = [&](DicomReader& reader) {
        reader.setRendering(options.rendering);
        reader.setAcceptBareDataSet(acceptBare);
        reader.setDecodeThreads(threads);
        return reader.parse(job.input.c_str(), 2) == 0;
    };
    const auto saveDicom = [&](DicomReader& reader) {
        if (!movie && !(animation && reader.frameCount() > 1)) return SaveDicom(reader, job, options, sink, threads, open);
        JobResult result = Saved(SaveDicomMovie(reader, job.output, movieChoices, sink));
        result.pictureMade = result.ok;
        return result;
    };
    DicomReader reader;
    if (open(reader)) return saveDicom(reader);
    if (reader.refusal() != DicomRefusal::NotDicom || options.dicomOnly) return Fail(DicomRefusalReason(reader));
    LfImage image;
    JobResult loaded = LoadImage(job, options, image);
    if (!loaded.ok) {
        acceptBare = true;
        if (open(reader)) return saveDicom(reader);
        if (reader.refusal() != DicomRefusal::NotDicom) return Fail(DicomRefusalReason(reader));
        return loaded;
    }
    if (options.rendering.depth == 16)
        return Fail("--depth 16 renders grey DICOM pictures; this input is a " + FormatName(image.Type()) + " image");
    if (movie) return Fail("movies are made from DICOM frames; this input is a " + FormatName(image.Type()) + " image");
    return Saved(SaveImage(image, job.output, ChoicesOf(options), false, sink));
}

std::string DescribeDicomHeader(const DicomReader& reader, bool header) {
    std::string text = "DICOM, rows " + std::to_string(reader.rows()) + ", columns " +
                       std::to_string(reader.columns()) + ", " + std::to_string(reader.bitsAllocated()) + " bits";
    if (reader.windowWidth() != 0.0f)
        text += ", window centre " + FormatFloat(reader.windowCenter()) + " width " + FormatFloat(reader.windowWidth());
    else if (reader.samplesPerPixel() == 1 && reader.photometricInterpretation() != "PALETTE COLOR")
        text += ", no window (min-max stretch)";
    const int frames = header ? reader.frameCount() : std::max<int>(reader.numberOfFrames(), 1);
    if (frames > 1) text += ", " + std::to_string(frames) + " frames";
    text += DicomDetails(reader);
    if (reader.samplesPerPixel() == 1) text += GreyDetails(reader.greyAttributes());
    text += DescribeOverlays(reader.overlays());
    if (!header) text += "; " + reader.refusalText();
    return text;
}

JobResult DescribeOne(const Job& job, const Options& options) {
    if (!job.error.empty()) return Fail(job.error);
    if (LooksLikeDicomDir(job.input)) {
        DicomDir dir;
        std::string error;
        if (!ReadDicomDirFile(job.input, dir, error)) return Fail(error);
        return {true, DescribeDicomDir(dir)};
    }
    {
        // The header step only: describing reads no frame.
        DicomReader reader;
        reader.setAcceptBareDataSet(false);
        bool header = reader.parseHeader(job.input.c_str()) == 0;
        if (!header && reader.refusal() == DicomRefusal::NotDicom) {
            LfImage probe;
            probe.SetEscape(-1);
            if (!probe.Load(job.input.c_str(), LF_FORMAT_UNKNOWN)) {
                reader.setAcceptBareDataSet(true);
                header = reader.parseHeader(job.input.c_str()) == 0;
            }
        }
        // A picture the reader cannot convert yet is still described.
        const bool describable = header || (reader.refusal() == DicomRefusal::TransferSyntax &&
                                            !reader.pixelEncoding().empty());
        if (describable) return {true, DescribeDicomHeader(reader, header)};
        if (reader.refusal() != DicomRefusal::NotDicom) return Fail(DicomRefusalReason(reader));
    }
    LfImage image;
    JobResult loaded = LoadImage(job, options, image);
    if (!loaded.ok) return loaded;
    std::string text = FormatName(image.Type()) + ", " + std::to_string(image.Width()) + " x " +
                       std::to_string(image.Height()) + ", " +
                       std::to_string(image.BitCount()) + " bits";
    if (image.AlphaIsValid()) text += " + alpha";
    const int frames = std::max(image.NumFrames(), 1);
    text += ", " + std::to_string(frames) + (frames == 1 ? " frame" : " frames");
    return {true, text};
}

}  // namespace convert
