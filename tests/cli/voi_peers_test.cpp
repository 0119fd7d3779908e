// The converter's grey-level rendering (--voi, --window-index, --voi-lut-index, --depth 16) against dcm2pnm, with pydicom's
// apply_voi_lut for LINEAR_EXACT (dcm2pnm reads it as LINEAR), on pydicom's test files and files the python tables make;
// lying files must be refused with a reason or rendered, never crash.
#include <gtest/gtest.h>
#include <sstream>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::RunConvert;
namespace {
// What both tables build files from: base(pixels, signed, bits stored, photometric, junk above the stored bits, **elements),
// ramps, LUT items, functional groups, enhanced files; save; ours(LABEL, OPTIONS, OUT, NAME) prints our converter's arguments.
const char* kPrelude = R"PY(import sys, os, shutil, subprocess, warnings, numpy as np, pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset; from pydicom.data import get_testdata_file
warnings.simplefilter("ignore")  # odd values are the point of some files
def base(a, signed=False, bits=16, photo="MONOCHROME2", junk=0, **elements):
    meta = FileMetaDataset(); meta.TransferSyntaxUID = pydicom.uid.ExplicitVRLittleEndian
    meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID = "1.2.840.10008.5.1.4.1.1.7", pydicom.uid.generate_uid()
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128); ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID, "OT"
    ds.SamplesPerPixel, ds.PhotometricInterpretation, ds.Rows, ds.Columns = 1, photo, *a.shape[-2:]
    if a.ndim == 3: ds.NumberOfFrames = a.shape[0]
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, bits, bits - 1, int(signed)
    ds.PixelData = (a & 2 ** bits - 1 | junk if junk else a).astype("<i2" if signed and not junk else "<u2").tobytes()
    for k, v in elements.items(): setattr(ds, k, v)
    return ds
def ramp(lo, hi, cols=64):
    v = np.arange(lo, hi + 1); rows = -(-len(v) // cols)
    return np.concatenate([v, np.full(rows * cols - len(v), hi)]).reshape(rows, cols)
def lut(data, first, bits, vr="US", count=None, desc=None):
    it = Dataset(); n = len(data) if count is None else count
    it.add_new(0x00283002, vr, desc or [n % 65536, first, bits]); it.LUTExplanation = "L"
    it.add_new(0x00283006, "OW", np.asarray(data).astype("<u2").tobytes())
    return it
def group(slope=None, icpt=0, c=None, w=None, fn=None):
    it, p, v = Dataset(), Dataset(), Dataset()
    if slope is not None: p.RescaleSlope, p.RescaleIntercept, p.RescaleType = slope, icpt, "US"; it.PixelValueTransformationSequence = [p]
    if c is not None: v.WindowCenter, v.WindowWidth = c, w; it.FrameVOILUTSequence = [v]
    if fn: v.VOILUTFunction = fn
    return it
def enhanced(frames, shared=None, n=None, **e):
    if shared: e["SharedFunctionalGroupsSequence"] = [shared]
    return base(np.stack([ramp(0, 4095) // 2 ** k for k in range(n or len(frames))]), bits=12, PerFrameFunctionalGroupsSequence=frames, **e)
def ov(ds, bits, g=0x6000, origin=(1, 1), kind="G", frames=None, first=None):  # a plane in (60xx,3000)
    bits, e = np.asarray(bits, bool), lambda element, vr, v: ds.add_new(g << 16 | element, vr, v)
    e(0x10, "US", bits.shape[-2]); e(0x11, "US", bits.shape[-1]); e(0x40, "CS", kind); e(0x50, "SS", list(origin))
    if frames: e(0x15, "IS", frames); e(0x51, "US", first)
    e(0x100, "US", 1); e(0x102, "US", 0); data = np.packbits(bits.reshape(-1), bitorder="little").tobytes()
    e(0x3000, "OW", data + b"\0" * (len(data) % 2))
    return ds
def mark(rows, cols, seed): return np.random.default_rng(seed).random((rows, cols)) < 0.3
def save(ds, path): shutil.copy(get_testdata_file(ds), path) if isinstance(ds, str) else ds.save_as(path, write_like_original=False)
def ours(label, options, out, name): print(label, *options.split(), "-o", os.path.abspath(out), os.path.abspath(name + ".dcm"), sep="\t")
R, R12, S = lambda **e: base(ramp(-1024, 3071), True, **e), lambda **e: base(ramp(0, 4095), bits=12, **e), "--voi standard"
)PY";
// peer(NAME, OUR OPTIONS, dcm2pnm's options or "exact", DATA SET, tolerance in 8-bit levels, **what the peer's copy gets,
// as dcm2pnm reads no per-frame groups). With labels as arguments: where ours and the peer's differ too much, a line each.
const char* kPeerTable = R"PY(import PIL.Image; from pydicom.pixel_data_handlers.util import apply_voi_lut
def peer(name, options, how, ds, tol=1, **peer_set):
    save(ds, name + ".dcm"); p = pydicom.dcmread(name + ".dcm"); [setattr(p, k, v) for k, v in peer_set.items()]
    p.save_as(name + ".peer.dcm", write_like_original=False)
    if p.file_meta.TransferSyntaxUID.is_compressed: subprocess.run(["dcmdjpeg", name + ".peer.dcm", name + ".peer.dcm"], check=True)
    for depth in (8, 16):
        on, out = "+on" if depth == 8 else "+on2", f"{name}.peer{depth}.png"
        if how == "exact": exact(name, depth)
        elif how.startswith("bits"): bits(name, depth, *map(int, how.split()[1:]))
        else: subprocess.run(["dcm2pnm", *how.split(), on, name + ".peer.dcm", out], check=True, capture_output=True)
        ours(f"{name}/{depth}/{tol}", f"{options} --depth {depth}", f"{name}.ours{depth}.png", name)
def bits(name, depth, frame=0):  # pydicom's overlay_array of group 6000 at its origin over a picture of zeros
    ds = pydicom.dcmread(name + ".dcm"); plane = ds.overlay_array(0x6000); out = np.zeros((ds.Rows, ds.Columns), np.int64)
    if plane.ndim == 3: plane = plane[frame - int(ds[0x60000051].value) + 1]
    top, left = (int(v) - 1 for v in ds[0x60000050].value)
    for y, x in np.argwhere(plane):
        if 0 <= y + top < ds.Rows and 0 <= x + left < ds.Columns: out[y + top, x + left] = 2 ** depth - 1
    PIL.Image.fromarray(out.astype(f"uint{depth}")).save(f"{name}.peer{depth}.png")
def exact(name, depth):  # pydicom's window over the possible range of its one file: signed, 16 bits stored, no rescale
    ds = pydicom.dcmread(name + ".dcm"); t = np.clip((apply_voi_lut(ds.pixel_array, ds) + 32768) / 65535, 0, 1) * (2 ** depth - 1)
    PIL.Image.fromarray(np.round(t).astype(f"uint{depth}")).save(f"{name}.peer{depth}.png")
def compare(label):
    name, depth, tol = label.split("/")
    ours, theirs = (PIL.Image.open(f"{name}.{who}{depth}.png") for who in ("ours", "peer"))
    x, y = (np.array(i).astype(np.int64) for i in (ours, theirs)); d = abs(x - y)
    if x.shape != y.shape or ours.mode[0] != "LI"[depth == "16"]: return print(label, ours.mode, x.shape, y.shape)
    if d.max() > int(tol) * (256 if depth == "16" else 1): print(label, f"off by {d.max()} at {np.unravel_index(d.argmax(), d.shape)}")
if sys.argv[1:]: [compare(label) for label in sys.argv[1:]]; print("compared", len(sys.argv) - 1); sys.exit()
# The file's window and intercept ignored for a stretch; MONOCHROME1 not inverted or the slope applied after the window.
peer("ct intercept window", S, "+Wi 1", "dicomdirtests/77654033/CT2/17106")
peer("cr monochrome1 slope", S, "+Wi 1", "dicomdirtests/77654033/CR1/6154")
# The other modes: the possible range (not min..max), the picture's own min..max, C,W by LINEAR.
peer("none possible range", "--voi none", "", "CT_small.dcm")
peer("minmax", "--voi minmax", "+Wm", "CT_small.dcm")
# Without window or VOI LUT the standard rendering stretches as +Wm does, not over the stored bits' range (which left
# CT_small flat grey and JPGExtended's 12 bits nearly black): 8, 12 and 16 stored bits, signed and not.
peer("standard no window ct", S, "+Wm", "CT_small.dcm")
peer("standard no window jpeg 12 bits", S, "+Wm", "JPGExtended.dcm")
for b, lo, hi in ((8, 20, 90), (12, 100, 900), (16, 1000, 3000)):
    for sg in (0, 1): peer(f"standard no window {b} {'un' * (1 - sg)}signed", S, "+Wm", base(ramp(lo - sg * hi, hi), sg, b))
peer("explicit window", "--voi 40,400", "+Ww 40 400", "CT_small.dcm")
# LINEAR's c-0.5 / w-1 rule, width 1, the N-th window, sign extension of 12 stored bits whose upper bits hold junk.
peer("linear rule", S, "+Wi 1", R(WindowCenter=10.3, WindowWidth=77.7))
peer("width 1", S, "+Wi 1", R(WindowCenter=40, WindowWidth=1))
peer("second window", S + " --window-index 2", "+Wi 2", R(WindowCenter=[40, 300], WindowWidth=[400, 1500]))
peer("masked 12 bits", S, "+Wi 1", base(ramp(-2048, 2047), True, 12, junk=40960, WindowCenter=0, WindowWidth=1000))
# VOI LUT: clamping outside the table, output scaled by the descriptor's bits (not the entries' maximum, not 16 bits),
# a signed first input, the N-th item, the window winning without an index.
peer("voi lut 12 bits", S, "+Wl 1", R12(VOILUTSequence=[lut(np.arange(256) * 8, 1000, 12)]))
peer("voi lut signed first", S, "+Wl 1", base(ramp(-2048, 2047), True, 12, VOILUTSequence=[lut(np.arange(300) * 200, -100, 16, "SS")]))
W = dict(WindowCenter=2048, WindowWidth=4096)
peer("voi lut second item", S + " --voi-lut-index 2", "+Wl 2", R12(**W, VOILUTSequence=[lut(np.arange(256), 0, 8), lut(255 - np.arange(256), 1000, 8)]))
peer("window before voi lut", S, "+Wi 1", R12(**W, VOILUTSequence=[lut(255 - np.arange(256), 1000, 8)]))
# Modality LUT: without a VOI the descriptor's range is mapped (standard: the LUT's values stretched); a window applies
# to the LUT's output.
peer("modality lut", "--voi none", "", R12(ModalityLUTSequence=[lut(np.arange(2048) * 10 + 500, 1000, 16)]))
peer("modality lut stretched", S, "+Wm", R12(ModalityLUTSequence=[lut(np.arange(2048) * 10 + 500, 1000, 16)]))
peer("modality lut window", S, "+Wi 1", R12(ModalityLUTSequence=[lut(np.arange(2048) * 10 + 500, 1000, 16)], WindowCenter=10000, WindowWidth=12000))
# LINEAR_EXACT without the c-0.5 / w-1 rule (narrow, so that LINEAR differs by many levels).
peer("linear exact", S, "exact", R(WindowCenter=40, WindowWidth=10, VOILUTFunction="LINEAR_EXACT"))
# Inversion: MONOCHROME1 with INVERSE still once, INVERSE alone, IDENTITY overriding MONOCHROME1; MONOCHROME1 without
# a window over the possible range (dcm2pnm's inverted stretch runs up to 2 levels light) and stretched.
M1 = lambda **e: base(ramp(0, 4095), bits=12, photo="MONOCHROME1", WindowCenter=1000, WindowWidth=2000, **e)
peer("monochrome1 inverse", S, "+Wi 1", M1(PresentationLUTShape="INVERSE"))
peer("monochrome2 inverse", S, "+Wi 1", R12(WindowCenter=1000, WindowWidth=2000, PresentationLUTShape="INVERSE"))
peer("monochrome1 identity", S, "+Wi 1", M1(PresentationLUTShape="IDENTITY"))
peer("monochrome1 no window", "--voi none", "", base(ramp(0, 4095), bits=12, photo="MONOCHROME1"), 2)
peer("monochrome1 stretched", S, "+Wm", base(ramp(100, 3000), bits=12, photo="MONOCHROME1"), 2)
# Enhanced multi-frame: each frame's own rescale, window and function (SIGMOID's curve), not frame 0's nor the file's;
# shared groups' window before the file's own (dcm2pnm applies the shared rescale).
G = [(2, -1000, 0, 1000), (1, 1000, 3000, 500, "SIGMOID"), (0.5, 0, 500, 800)]
for k, g in enumerate(G): peer(f"per-frame {k}", f"{S} --frame {k}", f"+Wi 1 +F {k + 1}", enhanced([group(*g) for g in G]),
                               **dict(zip(["RescaleSlope", "RescaleIntercept", "WindowCenter", "WindowWidth", "VOILUTFunction"], g)))
peer("shared groups", S + " --frame 1", "+Wi 1 +F 2", enhanced([group(), group()], group(2, -1000, 1000, 2000),
     WindowCenter=3000, WindowWidth=100), WindowCenter=1000, WindowWidth=2000)
# Overlays at the brightest level, on by default with every mode but file: a plane at the origin, one offset and partly
# outside, two planes, the N-th alone, none, big-endian words, a region of interest (listed, not drawn), a plane over
# MONOCHROME1, a two-frame plane from frame 2 of 4, one in bit 12 of the pixel data.
O, P = lambda **e: R12(WindowCenter=2048, WindowWidth=4096, **e), mark(20, 30, 1)
peer("overlay at origin", S, "+Wi 1", ov(O(), P))
peer("overlay partly outside", S, "+Wi 1", ov(O(), P, origin=(-5, 50)))
TWO = lambda: ov(ov(O(), P), mark(9, 70, 2), 0x6002, (40, -3))
peer("two overlays", S, "+Wi 1", TWO())
peer("second overlay only", S + " --overlays 2", "+Wi 1 +O 2", TWO())
peer("overlays none", S + " --overlays none", "+Wi 1 -O", TWO())
for voi, how in (("minmax", "+Wm"), ("1000,2000", "+Ww 1000 2000"), ("none", "")): peer(f"overlays {voi}", "--voi " + voi, how, TWO())
def big_endian(ds):  # pydicom writes OW values as they are: the words are swapped here
    ds.is_little_endian, ds.file_meta.TransferSyntaxUID = False, pydicom.uid.ExplicitVRBigEndian
    for tag in (0x7FE00010, 0x60003000, 0x60023000): ds[tag].value = np.frombuffer(ds[tag].value, "<u2").astype(">u2").tobytes()
    return ds
peer("overlay big endian", S, "+Wi 1", big_endian(TWO()))
peer("roi overlay", S, "+Wi 1 -O", ov(O(), P, kind="R"))
peer("overlay monochrome1", S, "+Wi 1", ov(M1(), P, origin=(3, 3)))
FRAMES = ov(base(np.stack([ramp(0, 4095) // 2 ** k for k in range(4)]), bits=12, WindowCenter=1024, WindowWidth=2048),
            np.stack([mark(20, 30, 3), mark(20, 30, 4)]), origin=(10, 20), frames=2, first=2)
for k in range(4): peer(f"overlay frames {k}", f"{S} --frame {k}", f"+Wi 1 +F {k + 1}", FRAMES)
a, b = ramp(0, 4095), mark(64, 64, 5)
inbits = base(a, bits=12); inbits.PixelData = (a | b << 12).astype("<u2").tobytes()
[inbits.add_new(0x6000 << 16 | e, vr, v) for e, vr, v in ((0x10, "US", 64), (0x11, "US", 64), (0x40, "CS", "G"),
 (0x50, "SS", [1, 1]), (0x100, "US", 16), (0x102, "US", 12))]
peer("overlay in bit 12", S, "+Wm", inbits)
# The plane's bits where pydicom puts them, over a black picture, one frame and the third of four.
peer("overlay bits", "--voi minmax", "bits", ov(base(np.zeros((24, 40), int)), mark(20, 30, 6), origin=(7, 15)))
peer("overlay bits frames", "--voi minmax --frame 2", "bits 2", ov(base(np.zeros((4, 24, 40), int)),
     np.stack([mark(20, 30, 7), mark(20, 30, 8)]), origin=(-2, 12), frames=2, first=2))
print("done")
)PY";
// bad(NAME, OUR OPTIONS, DATA SET): LUT counts against their data, bits 0 and 40, a short descriptor; widths 0 and
// negative, centres without widths, indexes past the end; NaN and huge rescales; missing per-frame groups.
const char* kBadTable = R"PY(
def bad(name, options, ds): save(ds, name + ".dcm"); ours(name, options, name + ".png", name)
L = lambda *a, **k: R12(VOILUTSequence=[lut(*a, **k)])
for n in (300, 65536): bad(f"lut count {n} over 256 entries", S, L(np.arange(256), 1000, 8, count=n))
for b in (0, 40): bad(f"lut bits {b}", S, L(np.arange(256), 1000, b))
bad("lut two descriptor values", S, L(np.arange(256), 0, 8, desc=[256, 0]))
bad("modality lut short", S, R12(ModalityLUTSequence=[lut(np.arange(10), 0, 16, count=4096)]))
for w in (0, -400): bad(f"width {w}", S, R(WindowCenter=40, WindowWidth=w))
bad("center without width", S, R(WindowCenter=40))
bad("more centers than widths", S + " --window-index 2", R(WindowCenter=[40, 50], WindowWidth=400))
bad("window index past the end", S + " --window-index 3", R(WindowCenter=40, WindowWidth=400))
bad("lut index past the end", S + " --voi-lut-index 2", L(np.arange(256), 1000, 8))
bad("slope nan", S, R(RescaleSlope="NaN", RescaleIntercept=0))
bad("slope huge", "--voi minmax", R(RescaleSlope="1e308", RescaleIntercept=0))
bad("slope huge none", "--voi none", R(RescaleSlope="1e308", RescaleIntercept="-1e308"))
bad("intercept inf", S, R(RescaleSlope=1, RescaleIntercept="inf", WindowCenter=40, WindowWidth=400))
bad("per-frame groups short", S + " --frame 2", enhanced([group(c=0, w=1000)], n=3))
bad("per-frame group empty", S + " --frame 1", enhanced([group(c=0, w=1000), Dataset()]))
print("done")
)PY";
// Debian's python running the prelude and SCRIPT in the folder with ARGS; its output lines.
std::vector<std::string> Python(const fs::path& dir, const char* script, const std::vector<std::string>& args = {}) {
    clitest::WriteText(dir / "script.py", std::string(kPrelude) + script);
    std::string out, line, command = "cd " + testsupport::ShellQuote(dir.string()) + " && " + testsupport::Python() + " script.py";
    for (const std::string& a : args) command += " " + testsupport::ShellQuote(a);
    testsupport::Run(command + " 2>&1", &out);
    std::vector<std::string> lines;
    for (std::istringstream in(out); std::getline(in, line);) lines.push_back(line);
    return lines;
}
struct Row { std::string label; std::vector<std::string> args; clitest::ToolRun run; };
// Runs our converter on each line a table printed ("LABEL \t ARGUMENT \t ..."), up to its "done".
std::vector<Row> RunTable(const fs::path& dir, const char* table) {
    const std::vector<std::string> lines = Python(dir, table);
    EXPECT_TRUE(!lines.empty() && lines.back() == "done") << testing::PrintToString(lines);
    std::vector<Row> rows(lines.empty() ? 0 : lines.size() - 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::istringstream in(lines[i]);
        std::getline(in, rows[i].label, '\t');
        for (std::string arg; std::getline(in, arg, '\t');) rows[i].args.push_back(arg);
        rows[i].run = RunConvert(rows[i].args);
    }
    return rows;
}
}  // namespace

// Each case at 8 bits (within its tolerance of the peer) and 16 bits (within 256 times it).
TEST(VoiPeers, StandardRenderingMatchesDcm2pnmAndPydicom) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("dcm2pnm") && testsupport::HavePythonModules("pydicom numpy PIL"), "dcm2pnm, pydicom, numpy, PIL");
    const testsupport::TempDir dir;
    std::vector<std::string> labels;
    for (const Row& r : RunTable(dir.path(), kPeerTable)) {
        EXPECT_EQ(r.run.status, 0) << r.label << ": " << r.run.err;
        labels.push_back(r.label);
    }
    EXPECT_EQ(Python(dir.path(), kPeerTable, labels), std::vector<std::string>{"compared " + std::to_string(labels.size())});
}

// --voi file is today's rendering: a default that drifted would change every existing batch.
TEST(VoiPeers, FileModeIsByteIdenticalToNoOption) {
    const fs::path tests = testsupport::PydicomTestFiles();
    GLINTWISE_NEED_PEER(!tests.empty(), "pydicom test files (python3-pydicom)");
    const testsupport::TempDir dir;
    int converted = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tests)) {
        const std::string in = entry.path().string(), plain = (dir / (std::to_string(converted) + ".png")).string();
        if (!entry.is_regular_file() || RunConvert({"-o", plain, in}).status != 0) continue;
        const auto run = RunConvert({"--voi", "file", "-o", plain + ".file.png", in});
        EXPECT_TRUE(run.status == 0 && testsupport::ReadFile(plain) == testsupport::ReadFile(plain + ".file.png")) << in << run.err;
        ++converted;
    }
    EXPECT_GE(converted, 20);
}

// Lying or odd files: refused with a reason ("PATH: reason", exit 1) or rendered, never a crash nor a usage error (the
// sanitizer build runs this too); --voi values that cannot be windows are refused (exit 2) before any file is read.
TEST(VoiPeers, LyingFilesAreRefusedWithAReasonOrRendered) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("pydicom numpy PIL"), "pydicom, numpy, Pillow");
    const testsupport::TempDir dir;
    for (const Row& r : RunTable(dir.path(), kBadTable)) {
        const size_t reason = std::min(r.run.err.find('\n'), r.run.err.size());   // "PATH: reason"
        EXPECT_TRUE(r.run.status == 0 ? fs::exists(r.args.end()[-2]) : r.run.status == 1 && reason > r.args.back().size() + 3)
            << r.label << ": " << r.run.err;
    }
    for (const char* voi : {"40,0", "40,-1", "abc", "40,", "nan,400"}) {
        const auto run = RunConvert({"--voi", voi, "-o", (dir / "x.png").string(), (dir / "width 0.dcm").string()});
        EXPECT_TRUE(run.status == 2 && run.err.find("--voi") != std::string::npos) << voi << ": " << run.err;
    }
}
