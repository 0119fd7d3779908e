#include "MovieSaving.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "Conversion.h"
#include "LfFormatRegistry.h"
#include "LfPendingSave.h"

namespace fs = std::filesystem;

namespace {

const LfFormatInfo* MovieRow(const std::string& path) {
    const LfFormatInfo* row = LfFindFormat(FindType(path));
    return row != nullptr && row->sequenceWriter != nullptr ? row : nullptr;
}

std::string SizeText(int32_t width, int32_t height) { return std::to_string(width) + " x " + std::to_string(height); }

LfSequenceFrame FrameOf(const DicomPicture& picture) {
    LfSequenceFrame frame;
    frame.width = picture.width;
    frame.height = picture.height;
    frame.samples = picture.samples;
    frame.pixels = picture.bytes.data();
    frame.stride = size_t(picture.width) * size_t(picture.samples);
    return frame;
}

// A picture the writer can take: 8-bit samples, as many as its size says.
std::string CheckPicture(const DicomPicture& picture) {
    if (picture.empty() || picture.bits != 8 || (picture.samples != 1 && picture.samples != 3) ||
        picture.bytes.size() != size_t(picture.width) * size_t(picture.height) * size_t(picture.samples))
        return "a movie is made of 8-bit grey or colour frames";
    return "";
}

// Streams the frames into the writer; the reason of the first failure, else empty.
std::string WriteFrames(LfSequenceWriter& writer, const MovieFrames& frames, int count,
                        const LfSequenceSettings& chosen, const std::string& temporary) {
    DicomPicture picture;
    std::string error;
    for (int i = 0; i < count; ++i) {
        if (!frames(i, picture, error)) return error.empty() ? "frame " + std::to_string(i) + " cannot be read" : error;
        error = CheckPicture(picture);
        if (!error.empty()) return error;
        if (i == 0) {
            LfSequenceSettings settings = chosen;
            settings.width = picture.width;
            settings.height = picture.height;
            if (!writer.Open(temporary, settings)) return writer.LastError();
        }
        if (!writer.AddFrame(FrameOf(picture))) return "frame " + std::to_string(i) + ": " + writer.LastError();
    }
    if (!writer.Finish()) return writer.LastError();
    return "";
}

}  // namespace

bool IsMovieTarget(const std::string& path) {
    const LfFormatInfo* row = MovieRow(path);
    return row != nullptr && row->codec.encode == nullptr;
}

bool IsAnimationTarget(const std::string& path) {
    const LfFormatInfo* row = MovieRow(path);
    return row != nullptr && row->codec.encode != nullptr;
}

std::string SaveMovie(const MovieFrames& frames, int count, const MovieChoices& choices, const std::string& path,
                      const SaveSink& sink) {
    const LfFormatInfo* row = MovieRow(path);
    if (row == nullptr) return path + " names no movie format";
    if (count < 1) return "a movie needs at least one frame";
    std::string error = MakeOutputFolder(path);
    if (!error.empty()) return error;
    LfPendingSave pending;
    if (pending.Create(path, error) < 0) return error;
    const std::unique_ptr<LfSequenceWriter> writer = row->sequenceWriter();
    LfSequenceSettings settings;
    settings.framesPerSecond = choices.framesPerSecond;
    settings.quality = choices.quality;
    settings.dither = choices.dither;
    error = WriteFrames(*writer, frames, count, settings, pending.Temporary());
    if (!error.empty()) {
        writer->Abort();
        return error;  // the pending save removes the temporary
    }
    if (sink) {
        sink(std::move(pending));
        return "";
    }
    if (!pending.Sync(error) || !pending.Replace(error)) return error;
    return "";
}

std::string SaveDicomMovie(DicomReader& reader, const std::string& path, const MovieChoices& choices,
                           const SaveSink& sink) {
    const CineTiming timing = PlaybackTiming(reader.textAttributes(), reader.frameCount(), choices.framesPerSecond);
    const MovieFrames frames = [&](int index, DicomPicture& picture, std::string& error) {
        if (reader.picture(timing.first + index, picture)) return true;
        error = EnglishWords(WordsForRefusal(reader));
        return false;
    };
    MovieChoices atRate = choices;
    atRate.framesPerSecond = timing.framesPerSecond;
    return SaveMovie(frames, timing.count, atRate, path, sink);
}

std::string SaveSeriesMovie(const std::vector<std::string>& files, const GreyRendering& rendering,
                            const std::string& path, const MovieChoices& choices, const SaveSink& sink) {
    if (files.empty()) return "a series needs at least one file";
    DicomReader reader;
    reader.setRendering(rendering);
    // The first file's timing attributes, if it has any, stand for the series.
    if (reader.parseHeader(files.front().c_str()) != 0)
        return fs::path(files.front()).filename().string() + ": " + EnglishWords(WordsForRefusal(reader));
    MovieChoices atRate = choices;
    atRate.framesPerSecond =
        PlaybackTiming(reader.textAttributes(), int(files.size()), choices.framesPerSecond).framesPerSecond;
    int32_t width = 0, height = 0;
    const MovieFrames frames = [&](int index, DicomPicture& picture, std::string& error) {
        const std::string name = fs::path(files[size_t(index)]).filename().string();
        if (reader.parse(files[size_t(index)].c_str(), 2) != 0 || !reader.picture(0, picture)) {
            error = name + ": " + EnglishWords(WordsForRefusal(reader));
            return false;
        }
        if (index == 0) {
            width = picture.width;
            height = picture.height;
        } else if (picture.width != width || picture.height != height) {
            error = name + " is " + SizeText(picture.width, picture.height) + ", the series' first file " +
                    SizeText(width, height) + "; a movie's frames share one size";
            return false;
        }
        return true;
    };
    return SaveMovie(frames, int(files.size()), atRate, path, sink);
}
