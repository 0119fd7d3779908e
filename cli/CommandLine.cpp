#include "CommandLine.h"

#include <cctype>
#include <algorithm>
#include <charconv>
#include <fstream>
#include <vector>

#include "CineTiming.h"
#include "Conversion.h"
#include "GreyChoices.h"
#include "LfFormatRegistry.h"
#include "OutputNames.h"

namespace convert {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The whole text must be a decimal number within [low, high].
bool ParseInt(const std::string& text, int low, int high, int& value) {
    int parsed = 0;
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || error != std::errc() || next != end) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// A decimal rate within the range a movie can play at.
bool ParseRate(const std::string& text, double& rate) {
    double parsed = 0.0;
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || error != std::errc() || next != end) return false;
    if (!(parsed >= kSlowestCineRate && parsed <= kFastestCineRate)) return false;
    rate = parsed;
    return true;
}

enum class Kind { Flag, Value };

struct OptionSpec {
    char shortName;  // 0 when there is none
    const char* longName;
    Kind kind;
};

constexpr OptionSpec kOptions[] = {
    {'f', "format", Kind::Value},  {'o', "output", Kind::Value},
    {'j', "jobs", Kind::Value},    {0, "quality", Kind::Value},
    {0, "frame", Kind::Value},     {0, "all-frames", Kind::Flag},
    {'r', "recursive", Kind::Flag},
    {0, "info", Kind::Flag},       {'h', "help", Kind::Flag},
    {0, "version", Kind::Flag},    {0, "tiff-compression", Kind::Value},
    {0, "files-from", Kind::Value}, {0, "shard", Kind::Value},
    {0, "skip-existing", Kind::Flag},
    {0, "voi", Kind::Value},       {0, "window-index", Kind::Value},
    {0, "voi-lut-index", Kind::Value}, {0, "depth", Kind::Value},
    {0, "overlays", Kind::Value},  {0, "name", Kind::Value},
    {0, "fps", Kind::Value},       {0, "series", Kind::Flag},
    {0, "dither", Kind::Flag},
};

std::string JoinedFormats() {
    std::string names;
    for (const std::string& name : AcceptedFormats()) names += (names.empty() ? "" : " ") + name;
    return names;
}

// "K/N" with 1 <= K <= N.
bool ParseShard(const std::string& text, int& index, int& count) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    int k = 0, n = 0;
    if (!ParseInt(text.substr(0, slash), 1, 1000000, k) || !ParseInt(text.substr(slash + 1), 1, 1000000, n) ||
        k > n)
        return false;
    index = k;
    count = n;
    return true;
}

const OptionSpec* FindLong(const std::string& name) {
    for (const OptionSpec& spec : kOptions)
        if (name == spec.longName) return &spec;
    return nullptr;
}

const OptionSpec* FindShort(char name) {
    for (const OptionSpec& spec : kOptions)
        if (spec.shortName != 0 && spec.shortName == name) return &spec;
    return nullptr;
}

// Stores one option; false with the error set when its value is not acceptable.
bool Apply(const OptionSpec& spec, const std::string& value, Options& options,
           std::string& error) {
    const std::string name = spec.longName;
    if (name == "format") {
        const std::string ext = Lower(value);
        if (!IsAcceptedFormat(ext)) {
            const std::vector<std::string> offered = LfWindowTargets();
            const bool known = LfFormatForExtension(ext) != LF_FORMAT_UNKNOWN ||
                               std::find(offered.begin(), offered.end(), ext) != offered.end();
            error = (known ? "format '" + value + "' cannot be written"
                           : "unknown format '" + value + "'") +
                    "; formats that can be written: " + JoinedFormats();
            return false;
        }
        options.format = ext;
        options.formatGiven = true;
    } else if (name == "output") {
        if (value.empty()) {
            error = "--output needs a path";
            return false;
        }
        options.output = value;
    } else if (name == "jobs") {
        if (!ParseInt(value, 1, 256, options.jobs)) {
            error = "--jobs wants a whole number from 1 to 256, not '" + value + "'";
            return false;
        }
    } else if (name == "quality") {
        if (!ParseInt(value, 1, 100, options.quality)) {
            error = "--quality wants a whole number from 1 to 100, not '" + value + "'";
            return false;
        }
    } else if (name == "frame") {
        if (!ParseInt(value, 0, 65535, options.frame)) {
            error = "--frame wants a whole number from 0 to 65535, not '" + value + "'";
            return false;
        }
    } else if (name == "tiff-compression") {
        options.tiffCompression = TiffCompressionCode(Lower(value));
        if (options.tiffCompression == 0) {
            error = "--tiff-compression wants lzw, deflate, jpeg or none, not '" + value + "'";
            return false;
        }
    } else if (name == "files-from") {
        if (value.empty()) {
            error = "--files-from needs a file name (- for standard input)";
            return false;
        }
        options.filesFrom.push_back(value);
    } else if (name == "shard") {
        if (!ParseShard(value, options.shardIndex, options.shardCount)) {
            error = "--shard wants K/N with 1 <= K <= N, not '" + value + "'";
            return false;
        }
    } else if (name == "voi") {
        if (!ParseVoiMode(Lower(value), options.rendering)) {
            error = "--voi wants file, standard, minmax, none or CENTRE,WIDTH (a width of at least 1), not '" +
                    value + "'";
            return false;
        }
    } else if (name == "window-index" || name == "voi-lut-index") {
        int& index = name == "window-index" ? options.rendering.windowIndex : options.rendering.voiLutIndex;
        if (!ParseInt(value, 1, 65535, index)) {
            error = "--" + name + " wants a whole number from 1 to 65535, not '" + value + "'";
            return false;
        }
    } else if (name == "overlays") {
        if (!ParseOverlayChoice(Lower(value), options.rendering.overlays)) {
            error = "--overlays wants all, none or a number from 1 to " + std::to_string(kMaxOverlayNumber) +
                    ", not '" + value + "'";
            return false;
        }
    } else if (name == "depth") {
        if (value != "8" && value != "16") {
            error = "--depth wants 8 or 16, not '" + value + "'";
            return false;
        }
        options.rendering.depth = value == "16" ? 16 : 8;
    } else if (name == "name") {
        NamePattern pattern;
        if (!ParseNamePattern(value, pattern, error)) return false;
        options.namePattern = value;
    } else if (name == "fps") {
        if (!ParseRate(value, options.fps)) {
            error = "--fps wants a number of frames a second above 0 and at most 1000, not '" + value + "'";
            return false;
        }
    } else if (name == "series") {
        options.series = true;
    } else if (name == "dither") {
        options.dither = true;
    } else if (name == "skip-existing") {
        options.skipExisting = true;
    } else if (name == "all-frames") {
        options.allFrames = true;
    } else if (name == "recursive") {
        options.recursive = true;
    } else if (name == "info") {
        options.info = true;
    } else if (name == "help") {
        options.help = true;
    } else if (name == "version") {
        options.version = true;
    }
    return true;
}

// The rendering options together: the window and LUT choices belong to --voi standard, and
// 16-bit output renders through the standard steps (by default) or another mode than file.
// Overlays are drawn by default, except over the window's own picture (--voi file).
std::string CheckRendering(GreyRendering& rendering, bool voiGiven, bool overlaysGiven) {
    if (rendering.depth == 16 && !voiGiven) rendering.mode = VoiMode::Standard;
    if (!overlaysGiven) UseDefaultOverlays(rendering);
    if (rendering.depth == 16 && rendering.mode == VoiMode::File)
        return "--depth 16 renders through --voi standard, minmax, none or CENTRE,WIDTH, not file";
    if (rendering.windowIndex > 0 && rendering.voiLutIndex > 0)
        return "--window-index and --voi-lut-index exclude each other";
    if ((rendering.windowIndex > 0 || rendering.voiLutIndex > 0) && rendering.mode != VoiMode::Standard)
        return std::string(rendering.windowIndex > 0 ? "--window-index" : "--voi-lut-index") +
               " chooses among the file's own values: it needs --voi standard";
    return "";
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    bool optionsEnded = false;
    bool frameGiven = false;
    bool voiGiven = false;
    bool overlaysGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            // "-" alone is a file name like any other; standard input is not read.
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool haveValue = false;
        std::string shown;  // the option as the user wrote it, for messages
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            shown = "--" + name;
            spec = FindLong(name);
            if (spec != nullptr && equals != std::string::npos) {
                if (spec->kind == Kind::Flag) {
                    result.error = shown + " takes no value";
                    return result;
                }
                value = arg.substr(equals + 1);
                haveValue = true;
            }
        } else {
            shown = arg.substr(0, 2);
            spec = FindShort(arg[1]);
            if (spec != nullptr && arg.size() > 2) {
                if (spec->kind == Kind::Flag) {
                    // Grouped short flags are not offered: "-rx" is more likely a typo.
                    result.error = "unknown option '" + arg + "'";
                    return result;
                }
                value = arg.substr(2);
                haveValue = true;
            }
        }
        if (spec == nullptr) {
            result.error = "unknown option '" + shown + "'";
            return result;
        }
        if (spec->kind == Kind::Value && !haveValue) {
            if (i + 1 >= args.size()) {
                result.error = shown + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (!Apply(*spec, value, options, result.error)) return result;
        frameGiven = frameGiven || std::string(spec->longName) == "frame";
        voiGiven = voiGiven || std::string(spec->longName) == "voi";
        overlaysGiven = overlaysGiven || std::string(spec->longName) == "overlays";
        if (options.help || options.version) {
            result.ok = true;
            return result;
        }
    }
    if (options.inputs.empty() && options.filesFrom.empty()) {
        result.error = "no input files or folders given";
        return result;
    }
    options.frameGiven = frameGiven;
    if (options.allFrames && frameGiven) {
        result.error = "--all-frames and --frame exclude each other";
        return result;
    }
    result.error = CheckRendering(options.rendering, voiGiven, overlaysGiven);
    if (!result.error.empty()) return result;
    result.ok = true;
    return result;
}

bool ReadInputList(const std::string& path, std::istream& standardInput,
                   std::vector<std::string>& inputs, std::string& error) {
    std::ifstream file;
    std::istream* in = &standardInput;
    if (path != "-") {
        file.open(path);
        if (!file) {
            error = "--files-from " + path + ": cannot read the file";
            return false;
        }
        in = &file;
    }
    std::string line;
    while (std::getline(*in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // lists written on Windows
        if (!line.empty()) inputs.push_back(line);
    }
    if (in->bad()) {
        error = "--files-from " + path + ": read error";
        return false;
    }
    return true;
}

std::string HelpText() {
    // The format names, wrapped under the option's description.
    std::string formats = "                    ";
    size_t lineLength = 0;
    for (const std::string& name : AcceptedFormats()) {
        if (lineLength + name.size() + 1 > 58) {
            formats += "\n                    ";
            lineLength = 0;
        }
        formats += " " + name;
        lineLength += name.size() + 1;
    }
    return
        "Usage: glintwise-convert [OPTIONS] INPUT...\n"
        "Converts DICOM files (and images in any format the image library reads) into image\n"
        "files. INPUT is a file or a folder; a folder means every file directly inside it.\n"
        "\n"
        "Options:\n"
        "  -f, --format EXT   target format (default png), one of:\n"
        + formats + "\n"
        "  -o, --output PATH  output folder, created when missing (default: the current\n"
        "                     folder); with a single input file, a PATH with an extension\n"
        "                     is the output file itself and its extension picks the format\n"
        "  -r, --recursive    also convert the files of sub-folders, mirroring them under\n"
        "                     the output folder\n"
        "  -j, --jobs N       convert on N threads (default: one per processor core)\n"
        "      --quality N    JPEG, JPEG 2000 and movie quality, 1 to 100 (default 90)\n"
        "      --frame N      frame of multi-frame inputs, DICOM included, 0 = the first\n"
        "                     (default 0)\n"
        "      --all-frames   write every frame of a DICOM input: NAME_0000.EXT,\n"
        "                     NAME_0001.EXT, ... (a single-frame file as NAME.EXT); -o\n"
        "                     must then name a folder\n"
        "      --tiff-compression lzw|deflate|jpeg|none\n"
        "                     TIFF compression (default: lzw for DICOM pictures, otherwise\n"
        "                     the TIFF writer's own choice)\n"
        "      --voi MODE     grey levels of grey DICOM pictures, MODE one of:\n"
        "                     file      the window's conversion (default): the file's\n"
        "                               first window, else a stretch from the smallest\n"
        "                               to the largest value\n"
        "                     standard  as viewing stations render: Modality LUT or\n"
        "                               rescale, then the file's window with its\n"
        "                               function (LINEAR, LINEAR_EXACT, SIGMOID) or, when\n"
        "                               it has none, its VOI LUT; enhanced images' values\n"
        "                               per frame; MONOCHROME1 and INVERSE come inverted;\n"
        "                               with neither window nor VOI LUT as minmax\n"
        "                     minmax    rescaled values from the smallest to the largest\n"
        "                               of all frames\n"
        "                     C,W       the window of centre C and width W (W >= 1)\n"
        "                     none      rescaled values over their whole possible range\n"
        "      --window-index N  with --voi standard: the file's N-th window (from 1)\n"
        "      --voi-lut-index N  with --voi standard: the file's N-th VOI LUT (from 1),\n"
        "                     used even when the file has windows\n"
        "      --overlays all|none|N  graphics overlay planes (group 60xx) drawn at the\n"
        "                     brightest level over grey DICOM pictures: all of them, none,\n"
        "                     or the N-th (1 to 16: group 6000 + 2 (N - 1)); default all,\n"
        "                     none with --voi file\n"
        "      --depth 8|16   16: 16-bit grey levels (0..65535), PNG and TIFF only, through\n"
        "                     --voi standard unless another mode than file is given\n"
        "      --fps N        a movie's frames a second (default: the file's Recommended\n"
        "                     Display Frame Rate, Cine Rate, Frame Time or Frame Time\n"
        "                     Vector, else 10)\n"
        "      --series       with -f mp4, webm or gif and folder inputs: one movie per series of\n"
        "                     single-frame DICOM files (Series Instance UID), in Instance\n"
        "                     Number order, named NUMBER_DESCRIPTION.EXT\n"
        "      --dither       GIF: Floyd-Steinberg dithering of colour pictures that have\n"
        "                     more than 256 colours\n"
        "      --files-from FILE  also convert the paths listed in FILE, one a line\n"
        "                     (- reads standard input)\n"
        "      --shard K/N    convert only part K of N of the planned files (1 <= K <= N),\n"
        "                     taken round-robin in name order; inputs writing the same\n"
        "                     output stay in one part, so the N parts write what one run does\n"
        "      --skip-existing  keep an output that exists and is newer than its input\n"
        "                     (counted as skipped)\n"
        "      --name PATTERN output paths below the output folder built from each\n"
        "                     input's attributes, e.g. {PatientID}/{StudyDate}/\n"
        "                     {SeriesNumber}/{InstanceNumber:04}; the extension is added.\n"
        "                     Fields: {PatientID} {PatientName} {StudyDate} {StudyTime}\n"
        "                     {StudyDescription} {AccessionNumber} {Modality}\n"
        "                     {SeriesNumber} {SeriesDescription} {InstanceNumber}\n"
        "                     {SOPInstanceUID} {StudyInstanceUID} {SeriesInstanceUID}\n"
        "                     {frame} (the frame written; each one with --all-frames)\n"
        "                     {stem} (the input's name without extension) {rel} (its\n"
        "                     folder below its input folder); {Field:0N} pads numbers\n"
        "                     with zeros to N digits. Values are made safe as file\n"
        "                     names (no / \\ .. or control characters, at most 100 bytes,\n"
        "                     \"unknown\" when empty); inputs that would share a name get\n"
        "                     _2, _3, ... in input order. Reads every input's header\n"
        "                     before converting (every shard reads them all)\n"
        "      --info         describe each input instead of converting it; a DICOMDIR\n"
        "                     as its tree of patients, studies and series with counts\n"
        "  -h, --help         show this text\n"
        "      --version      show the version\n"
        "\n"
        "A DICOMDIR (or a folder holding one at its top, such as a patient CD) stands for\n"
        "the files it references, found whatever the letter case of their names, named\n"
        "{PatientID}/{StudyDate}_{StudyDescription}/{SeriesNumber}_{SeriesDescription}/\n"
        "{InstanceNumber} unless --name is given; the files it lists but the folder lacks\n"
        "fail.\n"
        "\n"
        "Movies (mp4: H.264; webm: VP9): a DICOM file gives one movie of its frames, Start\n"
        "Trim to Stop Trim, in the grey levels --voi chooses; --quality 90 is the default\n"
        "constant quality, 100 the best. -f gif of a multi-frame DICOM file gives one looping\n"
        "animation at the same rate (unless --frame or --all-frames picks stills); grey\n"
        "pictures keep every level, colour ones get 256 colours a frame.\n"
        "\n"
        "Without --name, output names are the input's name without its last extension,\n"
        "a dot and EXT (a.b.dcm gives a.b.png); when two inputs give the same name, the\n"
        "later one in listing order is written last. An input file is never overwritten,\n"
        "and an output file is replaced only once its new content is complete.\n"
        "\n"
        "Each failure is reported on standard error as 'PATH: reason', followed by a summary\n"
        "'N converted, M failed' ('N converted, S skipped, M failed' when --skip-existing\n"
        "kept outputs). Exit status: 0 when every input converted, 1 when any\n"
        "failed, 2 for a usage error. Ctrl-C lets the files under way finish, starts no\n"
        "more and exits with 1.\n";
}

}  // namespace convert
