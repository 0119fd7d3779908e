// The converter's grey-level rendering (--voi, --window-index, --voi-lut-index, --depth 16)
// against peers: DCMTK's dcm2pnm renders each input with the matching option, and pydicom's
// apply_voi_lut stands in for LINEAR_EXACT, which dcm2pnm reads as LINEAR. Inputs are pydicom's
// test files or small files a python snippet makes at test time; lying files must be refused
// with a reason or rendered, never crash.
#include <gtest/gtest.h>

#include <sstream>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::RunConvert;
using testsupport::ShellQuote;

namespace {

// make NAME CODE ...: CODE sets ds (or src, a pydicom test file copied as is) for NAME.dcm;
//   NAME.peer.dcm, which dcm2pnm reads, is a copy given the attributes in peer_set (dcm2pnm reads
//   no per-frame functional groups, so a frame's rescale and window become the file's); with
//   exact set, NAME.peer8.png and NAME.peer16.png are pydicom's rendering.
// cmp OURS THEIRS ...: "LARGEST-DIFFERENCE X Y OURS THEIRS OUR-MODE" at the worst pixel, a line each.
const char* kHelper = R"(import sys, os, shutil, warnings, numpy as np, pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from PIL import Image
def base(a, signed=False, bits=16, photo="MONOCHROME2"):
    meta = FileMetaDataset(); meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = generate_uid(); meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID = meta.MediaStorageSOPClassUID; ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"; ds.SamplesPerPixel = 1; ds.PhotometricInterpretation = photo
    ds.Rows, ds.Columns = a.shape[-2:]
    if a.ndim == 3: ds.NumberOfFrames = a.shape[0]
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = 16, bits, bits - 1
    ds.PixelRepresentation = int(signed)
    ds.PixelData = a.astype("<i2" if signed else "<u2").tobytes()
    return ds
def ramp(lo, hi, cols=64):
    v = np.arange(lo, hi + 1); rows = -(-len(v) // cols)
    return np.concatenate([v, np.full(rows * cols - len(v), hi)]).reshape(rows, cols)
def lut(data, first, bits, vr="US", count=None):
    it = Dataset(); n = len(data) if count is None else count
    it.add_new(0x00283002, vr, [n % 65536, first, bits]); it.LUTExplanation = "L"
    it.add_new(0x00283006, "OW", np.asarray(data).astype("<u2").tobytes())
    return it
def group(slope=None, icpt=0, c=None, w=None, fn=None):
    it, p, v = Dataset(), Dataset(), Dataset()
    if slope is not None:
        p.RescaleSlope, p.RescaleIntercept, p.RescaleType = slope, icpt, "US"; it.PixelValueTransformationSequence = [p]
    if c is not None:
        v.WindowCenter, v.WindowWidth = c, w; it.FrameVOILUTSequence = [v]
        if fn: v.VOILUTFunction = fn
    return it
def enhanced(frames, shared=None):
    ds = base(np.stack([ramp(0, 4095) // 2 ** k for k in range(len(frames))]), bits=12)
    ds.PerFrameFunctionalGroupsSequence = frames
    if shared: ds.SharedFunctionalGroupsSequence = [shared]
    return ds
tests = os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")
warnings.simplefilter("ignore")  # odd values are the point of some files
def make(name, code):
    env = dict(globals()); exec(code, env)
    for out in (name + ".dcm", name + ".peer.dcm"):
        shutil.copy(os.path.join(tests, env["src"]), out) if "src" in env else env["ds"].save_as(out, write_like_original=False)
    if "peer_set" in env:
        peer = pydicom.dcmread(name + ".peer.dcm"); [setattr(peer, k, v) for k, v in env["peer_set"].items()]
        peer.save_as(name + ".peer.dcm", write_like_original=False)
    if env.get("exact"): render_exact(name)
def render_exact(name):  # pydicom's window over the possible range of the modality values
    from pydicom.pixel_data_handlers.util import apply_modality_lut, apply_voi_lut
    ds = pydicom.dcmread(name + ".dcm"); v = apply_voi_lut(apply_modality_lut(ds.pixel_array, ds), ds)
    b, s, i = ds.BitsStored, float(ds.get("RescaleSlope", 1)), float(ds.get("RescaleIntercept", 0))
    lo, hi = (-2 ** (b - 1), 2 ** (b - 1) - 1) if ds.PixelRepresentation else (0, 2 ** b - 1)
    t = np.clip((v - (lo * s + i)) / ((hi - lo) * s), 0, 1)
    Image.fromarray(np.round(t * 255).astype(np.uint8)).save(name + ".peer8.png")
    Image.fromarray(np.round(t * 65535).astype(np.uint16)).save(name + ".peer16.png")
def compare(ours, theirs):
    mode = Image.open(ours).mode; a, b = (np.array(Image.open(f)).astype(np.int64) for f in (ours, theirs))
    if a.shape != b.shape: return f"-1 0 0 0 0 {mode} {a.shape} {b.shape}"
    d = abs(a - b); y, x = np.unravel_index(d.argmax(), d.shape)
    return f"{d.max()} {x} {y} {a[y, x]} {b[y, x]} {mode}"
args = sys.argv[2:]
for k in range(0, len(args), 2):
    print(compare(args[k], args[k + 1]) if sys.argv[1] == "cmp" else make(args[k], args[k + 1]) or "made")
)";

struct Peers {
    testsupport::TempDir dir;
    Peers() { clitest::WriteText(dir / "voi.py", kHelper); }

    // One python run for many files (pydicom and numpy take seconds to load); its output lines.
    std::vector<std::string> python(const std::string& command, const std::vector<std::string>& args) const {
        std::string line, out, quoted;
        for (const std::string& a : args) quoted += " " + ShellQuote(a);
        testsupport::Run(testsupport::Python() + " " + ShellQuote((dir / "voi.py").string()) + " " + command + quoted + " 2>&1", &out);
        std::vector<std::string> lines;
        for (std::istringstream in(out); std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string path(const std::string& name, const std::string& suffix) const { return (dir / (name + suffix)).string(); }
};

bool HavePeers() { return testsupport::HaveTool("dcm2pnm") && testsupport::HavePythonModules("pydicom numpy PIL"); }

struct PeerCase {
    const char* name;
    const char* make;                // python: ds = ... (or src = 'pydicom test file'), peer_set
    std::vector<std::string> ours;   // our options besides -o
    const char* peer;                // dcm2pnm options, or "exact" for pydicom's apply_voi_lut
    int tolerance8 = 1;              // grey levels at 8 bits; 256 times it at 16 bits
};

// Ramps of 64 columns: signed -1024..3071 (16 bits stored) and 0..4095 (12 bits stored).
#define RAMP "ds = base(ramp(-1024, 3071), True); "
#define RAMP12 "ds = base(ramp(0, 4095), bits=12); "
#define ENHANCED "ds = enhanced([group(2, -1000, 0, 1000), group(1, 1000, 3000, 500, 'SIGMOID'), group(0.5, 0, 500, 800)]); "

const std::vector<PeerCase> kPeerCases = {
    // A stretch instead of the file's window; the intercept forgotten; MONOCHROME1 not inverted
    // or the slope applied after the window.
    {"mr window", "src = 'MR_small.dcm'", {"--voi", "standard"}, "+Wi 1"},
    {"ct intercept window", "src = 'dicomdirtests/77654033/CT2/17106'", {"--voi", "standard"}, "+Wi 1"},
    {"cr monochrome1 slope", "src = 'dicomdirtests/77654033/CR1/6154'", {"--voi", "standard"}, "+Wi 1"},
    // The other modes: possible range (not min..max), the picture's own min..max, C,W by LINEAR.
    {"none possible range", "src = 'CT_small.dcm'", {"--voi", "none"}, ""},
    {"minmax", "src = 'CT_small.dcm'", {"--voi", "minmax"}, "+Wm"},
    {"explicit window", "src = 'CT_small.dcm'", {"--voi", "40,400"}, "+Ww 40 400"},
    // LINEAR's c-0.5 / w-1 rule, width 1, the N-th window, sign extension of 12 stored bits
    // whose upper bits hold junk.
    {"linear rule", RAMP "ds.WindowCenter, ds.WindowWidth = 10.3, 77.7", {"--voi", "standard"}, "+Wi 1"},
    {"width 1", RAMP "ds.WindowCenter, ds.WindowWidth = 40, 1", {"--voi", "standard"}, "+Wi 1"},
    {"second window", RAMP "ds.WindowCenter, ds.WindowWidth = [40, 300], [400, 1500]; "
     "ds.WindowCenterWidthExplanation = ['SOFT', 'BONE']", {"--voi", "standard", "--window-index", "2"}, "+Wi 2"},
    {"masked 12 bits", "v = ramp(-2048, 2047); ds = base(v, True, 12); ds.PixelData = ((v & 4095) | 40960)"
     ".astype('<u2').tobytes(); ds.WindowCenter, ds.WindowWidth = 0, 1000", {"--voi", "standard"}, "+Wi 1"},
    // VOI LUT: clamping outside the table, output scaled by the descriptor's bits (not the
    // entries' maximum), a signed first input, the N-th item, the window winning without an index.
    {"voi lut 12 bits", RAMP12 "ds.VOILUTSequence = [lut(np.linspace(0, 4095, 256).round(), 1000, 12)]",
     {"--voi", "standard"}, "+Wl 1"},
    {"voi lut 16 bits short data", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256) * 16, 1000, 16)]",
     {"--voi", "standard"}, "+Wl 1"},
    {"voi lut signed first", "ds = base(ramp(-2048, 2047), True, 12); "
     "ds.VOILUTSequence = [lut(np.arange(300) * 200, -100, 16, 'SS')]", {"--voi", "standard"}, "+Wl 1"},
    {"voi lut second item", RAMP12 "ds.WindowCenter, ds.WindowWidth = 2048, 4096; ds.VOILUTSequence = "
     "[lut(np.arange(256), 0, 8), lut(255 - np.arange(256), 1000, 8)]",
     {"--voi", "standard", "--voi-lut-index", "2"}, "+Wl 2"},
    {"window before voi lut", RAMP12 "ds.WindowCenter, ds.WindowWidth = 2048, 4096; "
     "ds.VOILUTSequence = [lut(255 - np.arange(256), 1000, 8)]", {"--voi", "standard"}, "+Wi 1"},
    // Modality LUT: no VOI maps the descriptor's range; a window applies to the LUT's output.
    {"modality lut", RAMP12 "ds.ModalityLUTSequence = [lut(np.arange(2048) * 10 + 500, 1000, 16)]",
     {"--voi", "standard"}, ""},
    {"modality lut window", RAMP12 "ds.ModalityLUTSequence = [lut(np.arange(2048) * 10 + 500, 1000, 16)]; "
     "ds.WindowCenter, ds.WindowWidth = 10000, 12000", {"--voi", "standard"}, "+Wi 1"},
    // VOI LUT Function: SIGMOID's curve; LINEAR_EXACT without the c-0.5 / w-1 rule (narrow, so
    // that LINEAR differs by many levels).
    {"sigmoid", RAMP "ds.WindowCenter, ds.WindowWidth = 40, 400; ds.VOILUTFunction = 'SIGMOID'",
     {"--voi", "standard"}, "+Wi 1"},
    {"linear exact", RAMP "ds.WindowCenter, ds.WindowWidth = 40, 10; ds.VOILUTFunction = 'LINEAR_EXACT'",
     {"--voi", "standard"}, "exact"},
    // Inversion: MONOCHROME1 once, INVERSE once, both still once, IDENTITY overriding MONOCHROME1.
    {"monochrome1", "ds = base(ramp(0, 4095), bits=12, photo='MONOCHROME1'); ds.WindowCenter, "
     "ds.WindowWidth = 1000, 2000", {"--voi", "standard"}, "+Wi 1"},
    {"monochrome1 inverse", "ds = base(ramp(0, 4095), bits=12, photo='MONOCHROME1'); ds.WindowCenter, "
     "ds.WindowWidth = 1000, 2000; ds.PresentationLUTShape = 'INVERSE'", {"--voi", "standard"}, "+Wi 1"},
    {"monochrome2 inverse", RAMP12 "ds.WindowCenter, ds.WindowWidth = 1000, 2000; "
     "ds.PresentationLUTShape = 'INVERSE'", {"--voi", "standard"}, "+Wi 1"},
    // Also without a window; dcm2pnm's inverted stretch runs up to 2 levels light (4095 gives 1).
    {"monochrome1 no window", "ds = base(ramp(0, 4095), bits=12, photo='MONOCHROME1')", {"--voi", "standard"}, "", 2},
    {"monochrome1 identity", "ds = base(ramp(0, 4095), bits=12, photo='MONOCHROME1'); ds.WindowCenter, "
     "ds.WindowWidth = 1000, 2000; ds.PresentationLUTShape = 'IDENTITY'", {"--voi", "standard"}, "+Wi 1"},
    // Enhanced multi-frame: each frame's own rescale and window (and function), not frame 0's,
    // not the file's.
    {"per-frame 0", ENHANCED "peer_set = dict(RescaleSlope=2, RescaleIntercept=-1000, WindowCenter=0, WindowWidth=1000)",
     {"--voi", "standard", "--frame", "0"}, "+Wi 1 +F 1"},
    {"per-frame 1 sigmoid", ENHANCED "peer_set = dict(RescaleSlope=1, RescaleIntercept=1000, WindowCenter=3000, "
     "WindowWidth=500, VOILUTFunction='SIGMOID')", {"--voi", "standard", "--frame", "1"}, "+Wi 1 +F 2"},
    {"per-frame 2", ENHANCED "peer_set = dict(RescaleSlope=0.5, RescaleIntercept=0, WindowCenter=500, WindowWidth=800)",
     {"--voi", "standard", "--frame", "2"}, "+Wi 1 +F 3"},
    // Shared groups: their window before the file's own; dcm2pnm applies the shared rescale.
    {"shared groups", "ds = enhanced([group(), group()], group(2, -1000, 1000, 2000)); ds.WindowCenter, "
     "ds.WindowWidth = 3000, 100; peer_set = dict(WindowCenter=1000, WindowWidth=2000)",
     {"--voi", "standard", "--frame", "1"}, "+Wi 1 +F 2"},
};

}  // namespace

// Each case at 8 bits (within tolerance8 of the peer) and 16 bits (within 256 * tolerance8).
TEST(VoiPeers, StandardRenderingMatchesDcm2pnmAndPydicom) {
    GLINTWISE_NEED_PEER(HavePeers(), "dcm2pnm (dcmtk), pydicom, numpy, Pillow");
    const Peers peers;
    const auto exact = [](const PeerCase& c) { return std::string(c.peer) == "exact"; };
    std::vector<std::string> made;  // NAME CODE ...
    for (const PeerCase& c : kPeerCases)
        made.insert(made.end(), {peers.path(c.name, ""), std::string(c.make) + (exact(c) ? "\nexact = 1" : "")});
    ASSERT_EQ(peers.python("make", made), std::vector<std::string>(kPeerCases.size(), "made"));
    struct Pair { const PeerCase* c; int depth; };
    std::vector<Pair> pairs;
    std::vector<std::string> files;
    for (const PeerCase& c : kPeerCases)
        for (const int depth : {8, 16}) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(depth));
            const std::string ours = peers.path(c.name, ".ours" + std::to_string(depth) + ".png");
            const std::string theirs = peers.path(c.name, ".peer" + std::to_string(depth) + ".png");
            std::string said;
            if (!exact(c)) {
                EXPECT_EQ(testsupport::Run("dcm2pnm " + std::string(c.peer) + (depth == 8 ? " +on " : " +on2 ") +
                                               ShellQuote(peers.path(c.name, ".peer.dcm")) + " " + ShellQuote(theirs) + " 2>&1",
                                           &said), 0) << said;
            }
            std::vector<std::string> args = c.ours;
            if (depth == 16) args.insert(args.end(), {"--depth", "16"});
            args.insert(args.end(), {"-o", ours, peers.path(c.name, ".dcm")});
            const auto run = RunConvert(args);
            EXPECT_EQ(run.status, 0) << run.err;
            if (run.status != 0 || !fs::exists(theirs)) continue;
            pairs.push_back({&c, depth});
            files.insert(files.end(), {ours, theirs});
        }
    const std::vector<std::string> lines = peers.python("cmp", files);
    ASSERT_EQ(lines.size(), pairs.size()) << (lines.empty() ? "" : lines.back());
    for (size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE(std::string(pairs[i].c->name) + " " + std::to_string(pairs[i].depth));
        std::istringstream cmp(lines[i]);
        long diff = -1, x = 0, y = 0, ours = 0, theirs = 0;
        std::string mode;
        cmp >> diff >> x >> y >> ours >> theirs >> mode;
        EXPECT_EQ(mode.substr(0, 1), pairs[i].depth == 8 ? "L" : "I") << lines[i];  // Pillow: I or I;16
        EXPECT_GE(diff, 0) << lines[i];
        EXPECT_LE(diff, pairs[i].c->tolerance8 * (pairs[i].depth == 8 ? 1 : 256))
            << "at (" << x << "," << y << ") ours " << ours << ", peer " << theirs;
    }
}

// --voi file is today's rendering: a default that drifted would change every existing batch.
TEST(VoiPeers, FileModeIsByteIdenticalToNoOption) {
    const fs::path tests = testsupport::PydicomTestFiles();
    GLINTWISE_NEED_PEER(!tests.empty(), "pydicom test files (python3-pydicom)");
    testsupport::TempDir dir;
    int converted = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tests)) {
        if (!entry.is_regular_file()) continue;
        const fs::path plain = dir / "plain.png", file = dir / "file.png";
        fs::remove(plain);
        fs::remove(file);
        if (RunConvert({"-o", plain.string(), entry.path().string()}).status != 0) continue;
        SCOPED_TRACE(entry.path().string());
        const auto run = RunConvert({"--voi", "file", "-o", file.string(), entry.path().string()});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(testsupport::ReadFile(plain) == testsupport::ReadFile(file));
        ++converted;
    }
    EXPECT_GE(converted, 20);
}

// Lying or odd files: refused with a reason, or rendered; never a crash (the sanitizer build
// runs this too).
TEST(VoiPeers, LyingFilesAreRefusedWithAReasonOrRendered) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("pydicom numpy PIL"), "pydicom, numpy, Pillow");
    const Peers peers;
    struct Bad { const char* name; const char* make; std::vector<std::string> ours; };
    const std::vector<Bad> cases = {
        {"lut count above data", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 1000, 8, count=300)]", {"--voi", "standard"}},
        {"lut count 65536", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 1000, 8, count=65536)]", {"--voi", "standard"}},
        {"lut bits 0", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 1000, 0)]", {"--voi", "standard"}},
        {"lut bits 40", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 1000, 40)]", {"--voi", "standard"}},
        {"lut empty data", RAMP12 "ds.VOILUTSequence = [lut([], 1000, 8, count=256)]", {"--voi", "standard"}},
        {"lut two descriptor values", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 0, 8)]; "
         "ds.VOILUTSequence[0].LUTDescriptor = [256, 0]", {"--voi", "standard"}},
        {"modality lut short", RAMP12 "ds.ModalityLUTSequence = [lut(np.arange(10), 0, 16, count=4096)]", {"--voi", "standard"}},
        {"width 0", RAMP "ds.WindowCenter, ds.WindowWidth = 40, 0", {"--voi", "standard"}},
        {"width negative", RAMP "ds.WindowCenter, ds.WindowWidth = 40, -400", {"--voi", "standard"}},
        {"center without width", RAMP "ds.WindowCenter = 40", {"--voi", "standard"}},
        {"more centers than widths", RAMP "ds.WindowCenter, ds.WindowWidth = [40, 50], 400", {"--voi", "standard", "--window-index", "2"}},
        {"window index past the end", RAMP "ds.WindowCenter, ds.WindowWidth = 40, 400", {"--voi", "standard", "--window-index", "3"}},
        {"lut index past the end", RAMP12 "ds.VOILUTSequence = [lut(np.arange(256), 1000, 8)]", {"--voi", "standard", "--voi-lut-index", "2"}},
        {"slope nan", RAMP "ds.RescaleSlope, ds.RescaleIntercept = 'NaN', 0", {"--voi", "standard"}},
        {"slope huge", RAMP "ds.RescaleSlope, ds.RescaleIntercept = '1e308', 0", {"--voi", "minmax"}},
        {"slope huge none", RAMP "ds.RescaleSlope, ds.RescaleIntercept = '1e308', '-1e308'", {"--voi", "none"}},
        {"intercept inf", RAMP "ds.RescaleSlope, ds.RescaleIntercept = 1, 'inf'; ds.WindowCenter, ds.WindowWidth = 40, 400", {"--voi", "standard"}},
        {"per-frame groups short", "ds = enhanced([group(c=0, w=1000)] * 3); "
         "ds.PerFrameFunctionalGroupsSequence = ds.PerFrameFunctionalGroupsSequence[:1]", {"--voi", "standard", "--frame", "2"}},
        {"per-frame group empty", "ds = enhanced([group(c=0, w=1000), Dataset()])", {"--voi", "standard", "--frame", "1"}},
    };
    std::vector<std::string> made;  // NAME CODE ...
    for (const Bad& c : cases) made.insert(made.end(), {peers.path(c.name, ""), c.make});
    ASSERT_EQ(peers.python("make", made), std::vector<std::string>(cases.size(), "made"));
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = peers.path(c.name, ".png");
        std::vector<std::string> args = c.ours;
        args.insert(args.end(), {"-o", out.string(), peers.path(c.name, ".dcm")});
        const auto run = RunConvert(args);
        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;  // 2 would be a usage error
        const std::string reason = run.err.substr(0, run.err.find('\n'));
        if (run.status == 0) {
            EXPECT_TRUE(fs::exists(out));
        } else {
            EXPECT_GT(reason.size(), args.back().size() + 3) << run.err;  // 'PATH: reason'
        }
    }
    // Options that cannot be windows are refused before any file is read.
    for (const char* voi : {"40,0", "40,-1", "abc", "40,", "nan,400"}) {
        SCOPED_TRACE(voi);
        const auto run = RunConvert({"--voi", voi, "-o", (peers.dir / "x.png").string(), (peers.dir / "width 0.dcm").string()});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("--voi"), std::string::npos) << run.err;
    }
}
