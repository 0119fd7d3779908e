#include "SeriesPlan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <utility>

#include "Conversion.h"
#include "DicomReader.h"
#include "MovieSaving.h"
#include "OutputNames.h"

namespace convert {

namespace fs = std::filesystem;

namespace {

struct Member {
    size_t job;         // index into the plan
    double instance;    // Instance Number, NaN when absent
    double position;    // Image Position along the slice normal, NaN when unknown
    std::string name;   // the file's name, the last tie-break
    uint16_t rows, columns;
};

struct Series {
    std::string number, description, uid;
    std::vector<Member> members;
};

// Where the slice lies along its normal (row direction x column direction); NaN without both.
double PositionAlongNormal(const TextAttributes& text) {
    const std::vector<double> o = text.numbers(tags::ImageOrientationPatient);
    const std::vector<double> p = text.numbers(tags::ImagePositionPatient);
    if (o.size() != 6 || p.size() != 3) return NAN;
    const double n[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
    return n[0] * p[0] + n[1] * p[1] + n[2] * p[2];
}

double FirstNumber(const TextAttributes& text, uint32_t tag) {
    const std::vector<double> values = text.numbers(tag);
    return values.empty() || !std::isfinite(values[0]) ? NAN : values[0];
}

// Known values before unknown ones, then ascending.
int CompareKnown(double a, double b) {
    const bool knownA = !std::isnan(a), knownB = !std::isnan(b);
    if (knownA != knownB) return knownA ? -1 : 1;
    if (!knownA || a == b) return 0;
    return a < b ? -1 : 1;
}

bool Before(const Member& a, const Member& b) {
    if (const int c = CompareKnown(a.instance, b.instance)) return c < 0;
    if (const int c = CompareKnown(a.position, b.position)) return c < 0;
    return a.name < b.name;
}

std::string SizeProblem(const Series& series, const Plan& plan) {
    const Member& first = series.members.front();
    for (const Member& m : series.members)
        if (m.rows != first.rows || m.columns != first.columns)
            return "the series' files differ in size: " + first.name + " is " + std::to_string(first.columns) + " x " +
                   std::to_string(first.rows) + ", " + m.name + " " + std::to_string(m.columns) + " x " +
                   std::to_string(m.rows) + " (" + fs::path(plan.jobs[m.job].input).parent_path().string() + ")";
    return "";
}

std::string MakeSafe(const std::string& text) {
    std::string safe;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool keep = std::isalnum(u) || u >= 0x80 || c == '-' || c == '+' || c == '.';
        if (keep) safe += c;
        else if (!safe.empty() && safe.back() != '_') safe += '_';
    }
    // No hidden files, no names that read as options, no trailing separators.
    const size_t start = safe.find_first_not_of("._-+");
    if (start == std::string::npos) return "";
    safe.erase(0, start);
    while (!safe.empty() && (safe.back() == '_' || safe.back() == '.')) safe.pop_back();
    CutUtf8(safe, 120);
    return safe;
}

}  // namespace

std::string CheckMovieOptions(const Options& options, const std::string& target, bool anyFolder) {
    const bool movie = IsMovieTarget(target);
    const bool animation = IsAnimationTarget(target);
    if (!movie && !animation) {
        if (options.series) return "--series writes movies: choose -f mp4, -f webm or -f gif";
        if (options.fps > 0.0) return "--fps sets a movie's rate: choose -f mp4, -f webm or -f gif";
        return "";
    }
    // A GIF of particular frames is a still; a series has no frames to pick.
    if (animation && !options.series) return "";
    if (options.allFrames || options.frameGiven || options.frame != 0)
        return std::string(options.allFrames ? "--all-frames" : "--frame") + " picks pictures; a movie takes every frame";
    if (options.series && !anyFolder) return "--series groups the files of folder inputs; give a folder";
    return "";
}

std::string SeriesFileName(const std::string& number, const std::string& description, const std::string& uid) {
    std::string name = MakeSafe(number);
    const std::string words = MakeSafe(description);
    if (!words.empty()) name += (name.empty() ? "" : "_") + words;
    if (name.empty()) name = MakeSafe(uid);
    return name.empty() ? "series" : name;
}

void GroupSeries(Plan& plan, const std::string& ext) {
    std::map<std::pair<std::string, std::string>, Series> found;  // (output folder, UID)
    std::vector<std::pair<std::string, std::string>> order;        // keys by first member
    for (size_t i = 0; i < plan.jobs.size(); ++i) {
        const Job& job = plan.jobs[i];
        if (!job.error.empty()) continue;
        DicomReader reader;
        reader.setAcceptBareDataSet(false);
        if (reader.parseHeader(job.input.c_str()) != 0 || reader.frameCount() != 1) continue;
        const TextAttributes& text = reader.textAttributes();
        const std::string uid = text.value(tags::SeriesInstanceUid);
        if (uid.empty()) continue;
        const auto key = std::make_pair(fs::path(job.output).parent_path().string(), uid);
        Series& series = found[key];
        if (series.members.empty()) {
            order.push_back(key);
            series = {text.value(tags::SeriesNumber), text.value(tags::SeriesDescription), uid, {}};
        }
        series.members.push_back({i, FirstNumber(text, tags::InstanceNumber), PositionAlongNormal(text),
                                  fs::path(job.input).filename().string(), reader.rows(), reader.columns()});
    }
    if (found.empty()) return;

    // Two series of one folder that would share a name are told apart as other outputs are.
    std::vector<std::string> paths;
    for (const auto& key : order) {
        const Series& series = found[key];
        paths.push_back(key.first + "/" + SeriesFileName(series.number, series.description, series.uid));
    }
    const std::vector<std::string> unique = UniqueNames(paths);
    std::vector<bool> member(plan.jobs.size(), false);
    std::map<size_t, Job> replacing;  // first member's index -> the series job
    for (size_t s = 0; s < order.size(); ++s) {
        const auto& key = order[s];
        Series& series = found[key];
        std::stable_sort(series.members.begin(), series.members.end(), Before);
        const std::string name = fs::path(unique[s]).filename().string();
        Job job;
        job.input = plan.jobs[series.members.front().job].input;
        job.output = (fs::path(key.first) / (name + "." + ext)).string();
        job.display = (fs::path(plan.jobs[series.members.front().job].display).parent_path() / name).string();
        for (const Member& m : series.members) {
            job.series.push_back(plan.jobs[m.job].input);
            member[m.job] = true;
        }
        job.error = SizeProblem(series, plan);
        const size_t first = std::min_element(series.members.begin(), series.members.end(),
                                              [](const Member& a, const Member& b) { return a.job < b.job; })->job;
        replacing[first] = std::move(job);
    }
    std::vector<Job> jobs;
    for (size_t i = 0; i < plan.jobs.size(); ++i) {
        if (replacing.count(i) != 0) jobs.push_back(std::move(replacing[i]));
        else if (!member[i]) jobs.push_back(std::move(plan.jobs[i]));
    }
    plan.jobs = std::move(jobs);
}

}  // namespace convert
