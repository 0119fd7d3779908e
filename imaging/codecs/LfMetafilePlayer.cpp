// The device context of the metafile player and its drawing operations; the record
// interpreters are in LfMetafileRecords.cpp.
#include "LfMetafilePlayer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "LfFile.h"
#include "LfImageBMP.h"
#include "LfLittleEndian.h"

namespace {

// Device coordinates are kept well inside cairo's 24.8 fixed-point range, so that extents of
// 2^31 or huge transforms in a file cannot wrap or blow up the rasteriser's work.
constexpr double kDeviceLimit = 1 << 22;
constexpr size_t kMaxSavedStates = 4096;
constexpr double kMaxPenWidth = 16384;
constexpr double kMaxFontPixels = 4096;
constexpr int kMaxArcSegments = 2048;
constexpr uint64_t kMaxDibPixels = uint64_t{1} << 24;
constexpr double kMaxDashes = 200000;

enum : uint32_t {
    PS_SOLID = 0, PS_DASH = 1, PS_DOT = 2, PS_DASHDOT = 3, PS_DASHDOTDOT = 4, PS_NULL = 5,
    PS_STYLE_MASK = 0xF, PS_ENDCAP_SQUARE = 0x100, PS_ENDCAP_FLAT = 0x200,
    PS_JOIN_BEVEL = 0x1000, PS_JOIN_MITER = 0x2000, PS_GEOMETRIC = 0x10000,
};
enum : uint32_t { BS_SOLID = 0, BS_NULL = 1, BS_HATCHED = 2, BS_PATTERN = 3, BS_DIBPATTERN = 5,
                  BS_DIBPATTERNPT = 6 };
enum : uint32_t { TA_UPDATECP = 1, TA_RIGHT = 2, TA_CENTER = 6, TA_BOTTOM = 8, TA_BASELINE = 24 };
enum : uint32_t { ETO_OPAQUE = 2, ETO_CLIPPED = 4 };
enum : int { R2_BLACK = 1, R2_NOP = 11, R2_WHITE = 16 };
enum : int { MM_TEXT = 1, MM_LOMETRIC, MM_HIMETRIC, MM_LOENGLISH, MM_HIENGLISH, MM_TWIPS,
             MM_ISOTROPIC, MM_ANISOTROPIC };

double Clamp(double v) {
    if (!std::isfinite(v)) return 0;
    return std::clamp(v, -kDeviceLimit, kDeviceLimit);
}

bool IsFiniteMatrix(const cairo_matrix_t& m) {
    return std::isfinite(m.xx) && std::isfinite(m.yx) && std::isfinite(m.xy) && std::isfinite(m.yy) &&
           std::isfinite(m.x0) && std::isfinite(m.y0);
}

struct DibLayout {
    uint32_t headerSize = 0;
    int64_t width = 0;
    int64_t height = 0;     // negative: rows top-down
    uint32_t bitCount = 0;
    uint32_t compression = 0;
    size_t tableBytes = 0;  // masks and colour table after the header
};

// Checks a DIB header and its colour table against the bytes given, and the pixel bits
// against their size, before anything is allocated for it.
bool ReadDibLayout(const uint8_t* bmi, size_t bmiSize, size_t bitsSize, DibLayout& d) {
    if (bmi == nullptr || bmiSize < 12) return false;
    d.headerSize = Get32(bmi);
    uint64_t colors = 0;
    size_t entry = 4;
    if (d.headerSize == 12) {
        d.width = bmi[4] | (bmi[5] << 8);
        d.height = bmi[6] | (bmi[7] << 8);
        d.bitCount = bmi[10] | (bmi[11] << 8);
        entry = 3;
        if (d.bitCount <= 8) colors = uint64_t{1} << d.bitCount;
    } else {
        if (d.headerSize < 40 || d.headerSize > bmiSize) return false;
        d.width = static_cast<int32_t>(Get32(bmi + 4));
        d.height = static_cast<int32_t>(Get32(bmi + 8));
        d.bitCount = bmi[14] | (bmi[15] << 8);
        d.compression = Get32(bmi + 16);
        colors = Get32(bmi + 32);
        if (colors == 0 && d.bitCount <= 8) colors = uint64_t{1} << d.bitCount;
        if (d.bitCount <= 8 && colors > 256) return false;
    }
    uint64_t table = colors * entry;
    if (d.headerSize == 40 && d.compression == 3) table += 12;  // bit-field masks
    if (table > bmiSize - d.headerSize) return false;
    d.tableBytes = static_cast<size_t>(table);

    const uint64_t rows = static_cast<uint64_t>(d.height < 0 ? -d.height : d.height);
    if (d.width <= 0 || rows == 0 || static_cast<uint64_t>(d.width) * rows > kMaxDibPixels) return false;
    if (d.compression == 0 || d.compression == 3) {
        const uint64_t stride = (static_cast<uint64_t>(d.width) * d.bitCount + 31) / 32 * 4;
        return stride * rows <= bitsSize;
    }
    // A run-length packet of two bytes paints at most 255 pixels; a picture much larger than
    // its packets could paint is a lie, not worth its allocation.
    return (d.compression == 1 || d.compression == 2) && bitsSize > 0 &&
           static_cast<uint64_t>(d.width) * rows <= static_cast<uint64_t>(bitsSize) * 256;
}

// Decodes a DIB (header and colour table, then pixel bits, possibly stored apart) with the
// BMP decoder, by laying them out as a BMP file, and returns its pixels as a top-down
// surface. Alpha is ignored, as bit-block transfers ignore it.
cairo_surface_t* DecodeDib(const uint8_t* bmi, size_t bmiSize, const uint8_t* bits, size_t bitsSize,
                           bool& bottomUp) {
    DibLayout d;
    if (!ReadDibLayout(bmi, bmiSize, bitsSize, d)) return nullptr;
    bottomUp = d.height > 0;
    const size_t infoBytes = d.headerSize + d.tableBytes;
    std::vector<uint8_t> file(14 + infoBytes + bitsSize);
    const uint32_t pixelOffset = static_cast<uint32_t>(14 + infoBytes);
    file[0] = 'B';
    file[1] = 'M';
    for (int i = 0; i < 4; ++i) file[10 + i] = static_cast<uint8_t>(pixelOffset >> (8 * i));
    std::memcpy(file.data() + 14, bmi, infoBytes);
    if (bitsSize) std::memcpy(file.data() + pixelOffset, bits, bitsSize);

    LfMemFile stream(file.data(), static_cast<int32_t>(file.size()));
    LfImageBMP image;
    if (!image.Decode(&stream)) return nullptr;
    const int w = static_cast<int>(image.Width());
    const int h = static_cast<int>(image.Height());
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    cairo_surface_flush(surface);
    uint8_t* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < h; ++y) {
        auto* out = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        const uint32_t stored = static_cast<uint32_t>(h - 1 - y);
        const uint8_t* row = image.Row(stored);
        for (int x = 0; x < w; ++x) {
            LfRgbQuad c;
            if (image.IsIndexed()) c = image.PaletteColor(image.PixelIndexUnchecked(x, static_cast<int32_t>(stored)));
            else c = LfRgbQuad{row[3 * x], row[3 * x + 1], row[3 * x + 2], 0};
            out[x] = (static_cast<uint32_t>(c.red) << 16) | (static_cast<uint32_t>(c.green) << 8) | c.blue;
        }
    }
    cairo_surface_mark_dirty(surface);
    return surface;
}

// A packed DIB holds its bits right after the header and colour table: split it in two.
bool SplitPackedDib(const uint8_t*& bmi, size_t& bmiSize, const uint8_t*& bits, size_t& bitsSize) {
    DibLayout d;
    if (!ReadDibLayout(bmi, bmiSize, bmiSize, d)) return false;
    const size_t info = d.headerSize + d.tableBytes;  // checked against bmiSize above
    bits = bmi + info;
    bitsSize = bmiSize - info;
    bmiSize = info;
    return true;
}

// Length of a device path, curves counted by their control polygons (never less).
double PathLength(const LfMetafilePlayer::Path& path) {
    double length = 0, x = 0, y = 0, startX = 0, startY = 0;
    for (const LfMetafilePlayer::PathOp& op : path) {
        switch (op.kind) {
        case LfMetafilePlayer::PathOp::Move:
            x = startX = op.x[0];
            y = startY = op.y[0];
            break;
        case LfMetafilePlayer::PathOp::Line:
        case LfMetafilePlayer::PathOp::Curve: {
            const int points = op.kind == LfMetafilePlayer::PathOp::Line ? 1 : 3;
            for (int k = 0; k < points; ++k) {
                length += std::hypot(op.x[k] - x, op.y[k] - y);
                x = op.x[k];
                y = op.y[k];
            }
            break;
        }
        case LfMetafilePlayer::PathOp::Close:
            length += std::hypot(startX - x, startY - y);
            x = startX;
            y = startY;
            break;
        }
    }
    return length;
}

void SetColor(cairo_t* cr, const LfMetafilePlayer::Color& c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

// The six hatch styles as 8 x 8 tiles of brush colour over the background (or nothing).
cairo_pattern_t* HatchPattern(uint32_t hatch, const LfMetafilePlayer::Color& fg,
                              const LfMetafilePlayer::Color* bg) {
    cairo_surface_t* tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
    cairo_t* t = cairo_create(tile);
    if (bg) {
        SetColor(t, *bg);
        cairo_paint(t);
    }
    SetColor(t, fg);
    cairo_set_line_width(t, 1);
    cairo_set_antialias(t, CAIRO_ANTIALIAS_NONE);
    const bool horizontal = hatch == 0 || hatch == 4;
    const bool vertical = hatch == 1 || hatch == 4;
    if (horizontal) cairo_rectangle(t, 0, 3, 8, 1);
    if (vertical) cairo_rectangle(t, 3, 0, 1, 8);
    for (int i = 0; i < 8; ++i) {
        if (hatch == 2 || hatch == 5) cairo_rectangle(t, i, 7 - i, 1, 1);  // forward diagonal
        if (hatch == 3 || hatch == 5) cairo_rectangle(t, i, i, 1, 1);      // backward diagonal
    }
    cairo_fill(t);
    cairo_destroy(t);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(tile);
    cairo_surface_destroy(tile);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
    return pattern;
}

}  // namespace

float LfMetafilePlayer::Record::F32(size_t o) const {
    const uint32_t bits = U32(o);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

LfMetafilePlayer::LfMetafilePlayer(cairo_t* cr, int width, int height)
    : cr_(cr), width_(width), height_(height) {
    cairo_matrix_init_identity(&state_.world);
    cairo_matrix_init_identity(&full_);
    cairo_matrix_init_identity(&refToOut_);
    cairo_save(cr_);
}

LfMetafilePlayer::~LfMetafilePlayer() {
    // Unbalanced saves in the file leave cairo states behind; drop them all.
    for (size_t i = 0; i < saved_.size(); ++i) cairo_restore(cr_);
    cairo_restore(cr_);
}

// ---------------------------------------------------------------------------------------
// Objects

void LfMetafilePlayer::CreateWmfObject(Object object) {
    uint32_t slot;
    if (!wmfFree_.empty()) {
        slot = *wmfFree_.begin();
        wmfFree_.erase(wmfFree_.begin());
    } else if (wmfObjects_.size() < tableSize_) {
        slot = static_cast<uint32_t>(wmfObjects_.size());
        wmfObjects_.emplace_back();
    } else {
        return;  // the table is full: creation fails, as it would on the device
    }
    wmfObjects_[slot] = std::make_unique<Object>(std::move(object));
}

void LfMetafilePlayer::DeleteWmfObject(uint32_t index) {
    if (index >= wmfObjects_.size() || !wmfObjects_[index]) return;
    wmfObjects_[index].reset();
    wmfFree_.insert(index);
}

void LfMetafilePlayer::CreateEmfObject(uint32_t index, Object object) {
    if (index == 0 || index >= tableSize_) return;  // slot 0 is the metafile itself
    emfObjects_[index] = std::move(object);
}

void LfMetafilePlayer::SelectObject(const Object& object) {
    switch (object.kind) {
    case Object::Kind::Pen: state_.pen = object.pen; break;
    case Object::Kind::Brush: state_.brush = object.brush; break;
    case Object::Kind::Font: state_.font = object.font; break;
    case Object::Kind::Other: break;
    }
}

void LfMetafilePlayer::SelectStockObject(uint32_t index) {
    Object o;
    auto brush = [&](double grey, uint32_t style = BS_SOLID) {
        o.kind = Object::Kind::Brush;
        o.brush.style = style;
        o.brush.color = {grey, grey, grey};
    };
    auto pen = [&](double grey, uint32_t style = PS_SOLID) {
        o.kind = Object::Kind::Pen;
        o.pen.style = style;
        o.pen.color = {grey, grey, grey};
    };
    switch (index) {
    case 0: brush(1); break;                         // WHITE_BRUSH
    case 1: brush(192 / 255.0); break;               // LTGRAY_BRUSH
    case 2: brush(128 / 255.0); break;               // GRAY_BRUSH
    case 3: brush(64 / 255.0); break;                // DKGRAY_BRUSH
    case 4: brush(0); break;                         // BLACK_BRUSH
    case 5: brush(0, BS_NULL); break;                // NULL_BRUSH
    case 6: pen(1); break;                           // WHITE_PEN
    case 7: pen(0); break;                           // BLACK_PEN
    case 8: pen(0, PS_NULL); break;                  // NULL_PEN
    case 10: case 11: case 12: case 13: case 14: case 16: case 17:
        o.kind = Object::Kind::Font;                 // stock fonts: the default font
        break;
    case 18: brush(1); break;                        // DC_BRUSH
    case 19: pen(0); break;                          // DC_PEN
    default: return;
    }
    SelectObject(o);
}

// ---------------------------------------------------------------------------------------
// Device context

void LfMetafilePlayer::SaveDc() {
    if (saved_.size() >= kMaxSavedStates) return;
    saved_.push_back(state_);
    cairo_save(cr_);  // the clip travels with the saved state
}

// A negative value counts back from the newest saved state, a positive one names a level.
void LfMetafilePlayer::RestoreDc(int32_t which) {
    const int64_t depth = static_cast<int64_t>(saved_.size());
    const int64_t target = which < 0 ? depth + which : static_cast<int64_t>(which) - 1;
    if (target < 0 || target >= depth) return;
    while (static_cast<int64_t>(saved_.size()) > target + 1) {
        saved_.pop_back();
        cairo_restore(cr_);
    }
    state_ = saved_.back();
    saved_.pop_back();
    cairo_restore(cr_);
    UpdateTransform();
}

// Builds the logical -> output mapping. A WMF's window (at first its box) covers the picture; an
// EMF goes world transform -> page (map mode, window, viewport) -> reference device -> the
// picture, the frame of its header filling the picture.
void LfMetafilePlayer::UpdateTransform() {
    const State& s = state_;
    cairo_matrix_t page;
    if (!emf_) {
        const Point org = s.winOrg, ext = s.winExt;
        double sx = width_ / ext.x, sy = height_ / ext.y;
        if (s.mapMode == MM_ISOTROPIC) {
            const double m = std::min(std::fabs(sx), std::fabs(sy));
            sx = std::copysign(m, sx);
            sy = std::copysign(m, sy);
        }
        cairo_matrix_init(&page, sx, 0, 0, sy, -org.x * sx, -org.y * sy);
        full_ = page;
    } else {
        double kx = 1, ky = 1;
        const double mm[] = {0, 0, 0.1, 0.01, 0.254, 0.0254, 25.4 / 1440};
        switch (s.mapMode) {
        case MM_LOMETRIC: case MM_HIMETRIC: case MM_LOENGLISH: case MM_HIENGLISH: case MM_TWIPS:
            kx = refPixelsPerMm_[0] * mm[s.mapMode];
            ky = -refPixelsPerMm_[1] * mm[s.mapMode];  // y grows upwards
            break;
        case MM_ISOTROPIC:
        case MM_ANISOTROPIC:
            kx = s.vpExt.x / s.winExt.x;
            ky = s.vpExt.y / s.winExt.y;
            if (s.mapMode == MM_ISOTROPIC) {
                const double m = std::min(std::fabs(kx), std::fabs(ky));
                kx = std::copysign(m, kx);
                ky = std::copysign(m, ky);
            }
            break;
        default: break;
        }
        cairo_matrix_init(&page, kx, 0, 0, ky, s.vpOrg.x - s.winOrg.x * kx, s.vpOrg.y - s.winOrg.y * ky);
        cairo_matrix_t worldPage;
        cairo_matrix_multiply(&worldPage, &s.world, &page);
        cairo_matrix_multiply(&full_, &worldPage, &refToOut_);
    }
    if (!IsFiniteMatrix(full_)) cairo_matrix_init_scale(&full_, 0, 0);
}

LfMetafilePlayer::Point LfMetafilePlayer::ToDevice(double x, double y) const {
    cairo_matrix_transform_point(&full_, &x, &y);
    return {Clamp(x), Clamp(y)};
}

double LfMetafilePlayer::DeviceScale() const {
    const double det = full_.xx * full_.yy - full_.xy * full_.yx;
    const double s = std::sqrt(std::fabs(det));
    return std::isfinite(s) ? s : 0;
}

double LfMetafilePlayer::DeviceYScale() const {
    const double s = std::hypot(full_.xy, full_.yy);
    return std::isfinite(s) ? s : 0;
}

// ---------------------------------------------------------------------------------------
// Paths

LfMetafilePlayer::Path& LfMetafilePlayer::Target() { return inPath_ ? path_ : scratch_; }

void LfMetafilePlayer::MoveTo(double x, double y) {
    state_.current = {x, y};
    if (inPath_) {
        const Point d = ToDevice(x, y);
        path_.push_back({PathOp::Move, {d.x}, {d.y}});
    }
}

// A line from the current position; drawn at once outside a path bracket.
void LfMetafilePlayer::LineTo(double x, double y) {
    const Point from = ToDevice(state_.current.x, state_.current.y);
    const Point to = ToDevice(x, y);
    state_.current = {x, y};
    if (inPath_) {
        if (path_.empty()) path_.push_back({PathOp::Move, {from.x}, {from.y}});
        path_.push_back({PathOp::Line, {to.x}, {to.y}});
        return;
    }
    scratch_.clear();
    scratch_.push_back({PathOp::Move, {from.x}, {from.y}});
    scratch_.push_back({PathOp::Line, {to.x}, {to.y}});
    Paint(scratch_, false, true);
}

void LfMetafilePlayer::AddPoly(const std::vector<Point>& points, bool close) {
    Path& p = Target();
    for (size_t i = 0; i < points.size(); ++i) {
        const Point d = ToDevice(points[i].x, points[i].y);
        p.push_back({i == 0 ? PathOp::Move : PathOp::Line, {d.x}, {d.y}});
    }
    if (close && !points.empty()) p.push_back({PathOp::Close, {0}, {0}});
}

// Cubic Bezier segments: three points each, after a start point (or the current position).
void LfMetafilePlayer::AddBeziers(const std::vector<Point>& points, bool fromCurrent) {
    Path& p = Target();
    size_t i = 0;
    if (fromCurrent) {
        if (!inPath_ || p.empty()) {
            const Point d = ToDevice(state_.current.x, state_.current.y);
            p.push_back({PathOp::Move, {d.x}, {d.y}});
        }
    } else {
        if (points.empty()) return;
        const Point d = ToDevice(points[0].x, points[0].y);
        p.push_back({PathOp::Move, {d.x}, {d.y}});
        i = 1;
    }
    for (; i + 3 <= points.size(); i += 3) {
        PathOp op{PathOp::Curve, {}, {}};
        for (int k = 0; k < 3; ++k) {
            const Point d = ToDevice(points[i + k].x, points[i + k].y);
            op.x[k] = d.x;
            op.y[k] = d.y;
        }
        p.push_back(op);
    }
    if (fromCurrent && i > 0 && i <= points.size()) state_.current = points[i - 1];
}

void LfMetafilePlayer::AddRectangle(double l, double t, double r, double b) {
    AddPoly({{l, t}, {r, t}, {r, b}, {l, b}}, true);
}

// Points of an ellipse (centre, radii, logical units) from parameter t0 to t1, flattened
// finely enough for the device size but never into more than a bounded number of segments.
void LfMetafilePlayer::AddEllipseSpan(double cx, double cy, double rx, double ry, double t0, double t1,
                                      bool connect) {
    const double radius = std::max(std::fabs(rx), std::fabs(ry)) * DeviceScale();
    const double step = radius > 0.5 ? 2 * std::sqrt(0.5 / radius) : 1.0;
    const double sweep = t1 - t0;
    const double wanted = std::ceil(std::fabs(sweep) / step);  // may be infinite or NaN
    const int n = wanted >= 2 ? static_cast<int>(std::min<double>(wanted, kMaxArcSegments)) : 2;
    Path& p = Target();
    for (int i = 0; i <= n; ++i) {
        const double t = t0 + sweep * i / n;
        const Point d = ToDevice(cx + rx * std::cos(t), cy + ry * std::sin(t));
        const bool move = i == 0 && (!connect || p.empty());
        p.push_back({move ? PathOp::Move : PathOp::Line, {d.x}, {d.y}});
    }
}

void LfMetafilePlayer::AddEllipse(double l, double t, double r, double b) {
    Path& p = Target();
    const size_t before = p.size();
    AddEllipseSpan((l + r) / 2, (t + b) / 2, (r - l) / 2, (b - t) / 2, 0, 2 * std::numbers::pi, false);
    if (p.size() > before) p[before].kind = PathOp::Move;
    p.push_back({PathOp::Close, {0}, {0}});
}

void LfMetafilePlayer::AddRoundRect(double l, double t, double r, double b, double w, double h) {
    if (l > r) std::swap(l, r);
    if (t > b) std::swap(t, b);
    const double rx = std::min(std::fabs(w) / 2, (r - l) / 2);
    const double ry = std::min(std::fabs(h) / 2, (b - t) / 2);
    const double pi = std::numbers::pi;
    Path& p = Target();
    const size_t before = p.size();
    AddEllipseSpan(r - rx, t + ry, rx, ry, -pi / 2, 0, true);
    AddEllipseSpan(r - rx, b - ry, rx, ry, 0, pi / 2, true);
    AddEllipseSpan(l + rx, b - ry, rx, ry, pi / 2, pi, true);
    AddEllipseSpan(l + rx, t + ry, rx, ry, pi, 3 * pi / 2, true);
    if (p.size() > before) p[before].kind = PathOp::Move;
    p.push_back({PathOp::Close, {0}, {0}});
}

// Arcs run from the ray through the start point to the ray through the end point,
// counter-clockwise as seen on a y-down device unless the arc direction says clockwise.
void LfMetafilePlayer::AddArc(ArcKind kind, double l, double t, double r, double b, Point start, Point end) {
    const double cx = (l + r) / 2, cy = (t + b) / 2, rx = (r - l) / 2, ry = (b - t) / 2;
    if (rx == 0 || ry == 0) return;
    // Parameter of the ellipse point on the ray from the centre towards p.
    auto param = [&](Point p) { return std::atan2((p.y - cy) * std::fabs(rx), (p.x - cx) * std::fabs(ry)); };
    double t0 = param(start), t1 = param(end);
    const double twoPi = 2 * std::numbers::pi;
    if (state_.clockwise) {
        while (t1 <= t0) t1 += twoPi;
    } else {
        while (t1 >= t0) t1 -= twoPi;
    }
    // The parameter runs on a circle scaled by the radii; with a negative radius the
    // direction on the device flips, so mirror the angles to keep the arc's side.
    if ((rx < 0) != (ry < 0)) {
        t0 = -t0;
        t1 = -t1;
    }
    Path& p = Target();
    if (kind == ArcKind::Arc && !inPath_) p.clear();
    const size_t before = p.size();
    if (kind == ArcKind::Pie) {
        const Point c = ToDevice(cx, cy);
        p.push_back({PathOp::Move, {c.x}, {c.y}});
    }
    const bool connect = kind == ArcKind::Pie || kind == ArcKind::ArcTo;
    if (kind == ArcKind::ArcTo && (!inPath_ || p.empty())) {
        const Point c = ToDevice(state_.current.x, state_.current.y);
        p.push_back({PathOp::Move, {c.x}, {c.y}});
    }
    AddEllipseSpan(cx, cy, std::fabs(rx), std::fabs(ry), t0, t1, connect);
    if (!connect && p.size() > before) p[before].kind = PathOp::Move;
    if (kind == ArcKind::Pie || kind == ArcKind::Chord) p.push_back({PathOp::Close, {0}, {0}});
    if (kind == ArcKind::ArcTo)
        state_.current = {cx + std::fabs(rx) * std::cos(t1), cy + std::fabs(ry) * std::sin(t1)};
}

void LfMetafilePlayer::Draw(bool fill, bool stroke) {
    if (inPath_) return;  // the shape went into the bracket path
    Paint(scratch_, fill, stroke);
    scratch_.clear();
}

void LfMetafilePlayer::EmitPath(const Path& path) {
    cairo_new_path(cr_);
    for (const PathOp& op : path) {
        switch (op.kind) {
        case PathOp::Move: cairo_move_to(cr_, op.x[0], op.y[0]); break;
        case PathOp::Line: cairo_line_to(cr_, op.x[0], op.y[0]); break;
        case PathOp::Curve:
            cairo_curve_to(cr_, op.x[0], op.y[0], op.x[1], op.y[1], op.x[2], op.y[2]);
            break;
        case PathOp::Close: cairo_close_path(cr_); break;
        }
    }
}

// Sets the source for filling; false when the brush paints nothing.
bool LfMetafilePlayer::SetBrushSource() {
    const Brush& b = state_.brush;
    if (state_.rop2 == R2_NOP || b.style == BS_NULL) return false;
    if (state_.rop2 == R2_BLACK || state_.rop2 == R2_WHITE) {
        const double v = state_.rop2 == R2_WHITE ? 1 : 0;
        cairo_set_source_rgb(cr_, v, v, v);
        return true;
    }
    if (b.style == BS_HATCHED) {
        cairo_pattern_t* pattern = HatchPattern(b.hatch, b.color, state_.bkOpaque ? &state_.bkColor : nullptr);
        cairo_set_source(cr_, pattern);
        cairo_pattern_destroy(pattern);
    } else if (b.image) {
        cairo_pattern_t* pattern = cairo_pattern_create_for_surface(b.image.get());
        cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
        cairo_set_source(cr_, pattern);
        cairo_pattern_destroy(pattern);
    } else {
        SetColor(cr_, b.color);
    }
    return true;
}

// Sets colour, width, caps, joins and dashes for stroking; false for a null pen.
bool LfMetafilePlayer::SetPenSource() {
    const Pen& p = state_.pen;
    const uint32_t style = p.style & PS_STYLE_MASK;
    if (state_.rop2 == R2_NOP || style == PS_NULL) return false;
    if (state_.rop2 == R2_BLACK || state_.rop2 == R2_WHITE) {
        const double v = state_.rop2 == R2_WHITE ? 1 : 0;
        cairo_set_source_rgb(cr_, v, v, v);
    } else {
        SetColor(cr_, p.color);
    }
    double width = p.width * DeviceScale();
    width = std::clamp(std::isfinite(width) ? width : 1.0, 1.0, kMaxPenWidth);
    cairo_set_line_width(cr_, width);
    const bool geometric = (p.style & PS_GEOMETRIC) != 0;
    cairo_set_line_cap(cr_, !geometric                       ? CAIRO_LINE_CAP_ROUND
                            : (p.style & PS_ENDCAP_FLAT)     ? CAIRO_LINE_CAP_BUTT
                            : (p.style & PS_ENDCAP_SQUARE)   ? CAIRO_LINE_CAP_SQUARE
                                                             : CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr_, !geometric                     ? CAIRO_LINE_JOIN_ROUND
                             : (p.style & PS_JOIN_MITER)    ? CAIRO_LINE_JOIN_MITER
                             : (p.style & PS_JOIN_BEVEL)    ? CAIRO_LINE_JOIN_BEVEL
                                                            : CAIRO_LINE_JOIN_ROUND);
    const double u = std::max(width, 1.0);
    const double dash[] = {6 * u, 2 * u}, dot[] = {u, u}, dashDot[] = {6 * u, 2 * u, u, 2 * u},
                 dashDotDot[] = {6 * u, 2 * u, u, 2 * u, u, 2 * u};
    switch (style) {
    case PS_DASH: cairo_set_dash(cr_, dash, 2, 0); break;
    case PS_DOT: cairo_set_dash(cr_, dot, 2, 0); break;
    case PS_DASHDOT: cairo_set_dash(cr_, dashDot, 4, 0); break;
    case PS_DASHDOTDOT: cairo_set_dash(cr_, dashDotDot, 6, 0); break;
    default: cairo_set_dash(cr_, nullptr, 0, 0); break;
    }
    return true;
}

void LfMetafilePlayer::Paint(const Path& path, bool fill, bool stroke) {
    if (path.empty()) return;
    EmitPath(path);
    cairo_set_fill_rule(cr_, state_.winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
    if (fill && SetBrushSource()) cairo_fill_preserve(cr_);
    if (stroke && SetPenSource()) {
        // The rasteriser walks every dash, also those off the picture: a path millions of
        // pixels long would take minutes, so such a path is stroked solid.
        if (cairo_get_dash_count(cr_) > 0 && PathLength(path) / std::max(cairo_get_line_width(cr_), 1.0) > kMaxDashes)
            cairo_set_dash(cr_, nullptr, 0, 0);
        cairo_stroke_preserve(cr_);
    }
    cairo_new_path(cr_);
}

void LfMetafilePlayer::FillPath(const Path& path, bool winding) {
    if (path.empty() || !SetBrushSource()) return;
    EmitPath(path);
    cairo_set_fill_rule(cr_, winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill(cr_);
}

void LfMetafilePlayer::FillDeviceRect(Point a, Point b, Color c) {
    cairo_new_path(cr_);
    cairo_rectangle(cr_, std::min(a.x, b.x), std::min(a.y, b.y), std::fabs(b.x - a.x), std::fabs(b.y - a.y));
    SetColor(cr_, c);
    cairo_fill(cr_);
}

void LfMetafilePlayer::SetPixel(double x, double y, Color c) {
    const Point d = ToDevice(x, y);
    const Point e{std::floor(d.x), std::floor(d.y)};
    FillDeviceRect(e, {e.x + 1, e.y + 1}, c);
}

void LfMetafilePlayer::ClipToRect(double l, double t, double r, double b, bool exclude) {
    Path rect;
    std::swap(rect, scratch_);
    const bool wasInPath = inPath_;
    inPath_ = false;
    AddRectangle(l, t, r, b);
    inPath_ = wasInPath;
    std::swap(rect, scratch_);
    EmitPath(rect);
    if (exclude) {
        // Everything but the rectangle: the whole picture with the rectangle cut out.
        cairo_rectangle(cr_, -kDeviceLimit, -kDeviceLimit, 2 * kDeviceLimit, 2 * kDeviceLimit);
        cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_EVEN_ODD);
    } else {
        cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    }
    cairo_clip(cr_);
}

void LfMetafilePlayer::ResetClip() { cairo_reset_clip(cr_); }

// ---------------------------------------------------------------------------------------
// Text

void LfMetafilePlayer::DrawText(Point reference, const std::string& utf8, uint32_t options, const double* rect) {
    const State& s = state_;
    if (s.rop2 == R2_NOP) return;
    if (rect && (options & ETO_OPAQUE)) {
        FillDeviceRect(ToDevice(rect[0], rect[1]), ToDevice(rect[2], rect[3]), s.bkColor);
    }
    if (utf8.empty()) return;
    const bool updateCp = (s.textAlign & TA_UPDATECP) != 0;
    const Point origin = ToDevice(updateCp ? s.current.x : reference.x, updateCp ? s.current.y : reference.y);

    cairo_save(cr_);
    if (rect && (options & ETO_CLIPPED)) {
        const Point a = ToDevice(rect[0], rect[1]), b = ToDevice(rect[2], rect[3]);
        cairo_rectangle(cr_, std::min(a.x, b.x), std::min(a.y, b.y), std::fabs(b.x - a.x), std::fabs(b.y - a.y));
        cairo_clip(cr_);
    }
    // The face name comes from the file: only a plain printable name goes to the font lookup.
    std::string face = s.font.face;
    const bool plain = !face.empty() && std::all_of(face.begin(), face.end(), [](char c) {
        return c >= 0x20 && c < 0x7F;
    });
    cairo_select_font_face(cr_, plain ? face.c_str() : "sans-serif",
                           s.font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           s.font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    double size = std::fabs(s.font.height) * DeviceYScale();
    if (s.font.height == 0) size = 16;  // the default font
    size = std::min(std::isfinite(size) ? size : 0.0, kMaxFontPixels);
    if (size < 0.5) {
        cairo_restore(cr_);
        return;
    }
    cairo_set_font_size(cr_, size);
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    if (s.font.height > 0 && fe.ascent + fe.descent > 0) {
        // A positive height is the whole cell: ascent plus descent.
        size = std::min(size * size / (fe.ascent + fe.descent), kMaxFontPixels);
        cairo_set_font_size(cr_, size);
        cairo_font_extents(cr_, &fe);
    }
    cairo_text_extents_t te;
    cairo_text_extents(cr_, utf8.c_str(), &te);
    const double advance = te.x_advance;

    double dx = 0, dy = 0;
    if ((s.textAlign & TA_CENTER) == TA_CENTER) dx = -advance / 2;
    else if (s.textAlign & TA_RIGHT) dx = -advance;
    if ((s.textAlign & TA_BASELINE) == TA_BASELINE) dy = 0;
    else if (s.textAlign & TA_BOTTOM) dy = -fe.descent;
    else dy = fe.ascent;

    cairo_translate(cr_, origin.x, origin.y);
    double angle = s.font.escapement / 10.0 * std::numbers::pi / 180.0;
    if (!std::isfinite(angle)) angle = 0;
    cairo_rotate(cr_, -angle);
    if (s.bkOpaque) {
        cairo_rectangle(cr_, dx, dy - fe.ascent, advance, fe.ascent + fe.descent);
        SetColor(cr_, s.bkColor);
        cairo_fill(cr_);
    }
    SetColor(cr_, s.rop2 == R2_BLACK ? Color{0, 0, 0} : s.rop2 == R2_WHITE ? Color{1, 1, 1} : s.textColor);
    cairo_move_to(cr_, dx, dy);
    cairo_show_text(cr_, utf8.c_str());
    const double lineWidth = std::max(1.0, size / 14);
    if (s.font.underline) cairo_rectangle(cr_, dx, dy + fe.descent / 2, advance, lineWidth);
    if (s.font.strikeout) cairo_rectangle(cr_, dx, dy - fe.ascent / 3, advance, lineWidth);
    cairo_fill(cr_);
    cairo_restore(cr_);

    if (updateCp) {
        const double scale = std::hypot(full_.xx, full_.yx);
        if (scale > 0 && std::isfinite(scale)) state_.current.x += advance / scale;
    }
}

// ---------------------------------------------------------------------------------------
// Bitmaps

namespace {
enum : uint32_t {
    kSrcCopy = 0x00CC0020, kSrcPaint = 0x00EE0086, kSrcAnd = 0x008800C6, kSrcInvert = 0x00660046,
    kPatCopy = 0x00F00021, kPatInvert = 0x005A0049, kBlackness = 0x00000042, kWhiteness = 0x00FF0062,
    kDstInvert = 0x00550009, kNop = 0x00AA0029,
};
}

// Fills a logical rectangle for the raster operations that use no source bitmap.
void LfMetafilePlayer::PatternBlt(double x, double y, double w, double h, uint32_t rop) {
    const Point a = ToDevice(x, y), b = ToDevice(x + w, y + h);
    switch (rop) {
    case kBlackness: FillDeviceRect(a, b, {0, 0, 0}); break;
    case kWhiteness: FillDeviceRect(a, b, {1, 1, 1}); break;
    case kPatCopy:
    case kPatInvert: {
        Path rect;
        std::swap(rect, scratch_);
        const bool wasInPath = inPath_;
        inPath_ = false;
        AddRectangle(x, y, x + w, y + h);
        inPath_ = wasInPath;
        std::swap(rect, scratch_);
        FillPath(rect, true);
        break;
    }
    default: break;  // operations on the destination alone are not drawn
    }
}

// Draws the source rectangle of a DIB stretched onto the destination rectangle (logical).
// Source rows count from the bottom of a bottom-up DIB, as bit-block transfers do.
void LfMetafilePlayer::DrawDib(const uint8_t* bmi, size_t bmiSize, const uint8_t* bits, size_t bitsSize,
                               double xDest, double yDest, double wDest, double hDest, double xSrc,
                               double ySrc, double wSrc, double hSrc, uint32_t rop) {
    if (rop == kNop || rop == kDstInvert || state_.rop2 == R2_NOP) return;
    if (rop == kBlackness || rop == kWhiteness || rop == kPatCopy || rop == kPatInvert) {
        PatternBlt(xDest, yDest, wDest, hDest, rop);
        return;
    }
    if (bits == nullptr && !SplitPackedDib(bmi, bmiSize, bits, bitsSize)) return;
    bool bottomUp = true;
    cairo_surface_t* image = DecodeDib(bmi, bmiSize, bits, bitsSize, bottomUp);
    if (!image) return;
    const double imageW = cairo_image_surface_get_width(image);
    const double imageH = cairo_image_surface_get_height(image);
    const double top = bottomUp ? imageH - ySrc - hSrc : ySrc;

    // The destination must land on the device at a sane size, and the mapping must be
    // invertible, or cairo would refuse every later drawing.
    const Point a = ToDevice(xDest, yDest), b = ToDevice(xDest + wDest, yDest + hDest);
    const bool sane = wSrc != 0 && hSrc != 0 && wDest != 0 && hDest != 0 && std::fabs(a.x) < kDeviceLimit &&
                      std::fabs(a.y) < kDeviceLimit && std::fabs(b.x) < kDeviceLimit &&
                      std::fabs(b.y) < kDeviceLimit && DeviceScale() > 1e-9 && std::fabs(wSrc) <= imageW * 4 + 4 &&
                      std::fabs(hSrc) <= imageH * 4 + 4;
    if (sane) {
        cairo_save(cr_);
        cairo_matrix_t m = full_;
        cairo_matrix_translate(&m, xDest, yDest);
        cairo_matrix_scale(&m, wDest / wSrc, hDest / hSrc);
        cairo_matrix_translate(&m, -xSrc, -top);
        const double det = m.xx * m.yy - m.xy * m.yx;
        if (IsFiniteMatrix(m) && std::fabs(det) > 1e-12) {
            cairo_set_matrix(cr_, &m);
            cairo_set_source_surface(cr_, image, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr_),
                                     state_.stretchMode == 4 ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_NEAREST);
            cairo_pattern_set_extend(cairo_get_source(cr_), CAIRO_EXTEND_PAD);
            switch (rop) {
            case kSrcAnd: cairo_set_operator(cr_, CAIRO_OPERATOR_MULTIPLY); break;
            case kSrcPaint: cairo_set_operator(cr_, CAIRO_OPERATOR_LIGHTEN); break;
            case kSrcInvert: cairo_set_operator(cr_, CAIRO_OPERATOR_DIFFERENCE); break;
            default: break;
            }
            cairo_new_path(cr_);
            cairo_rectangle(cr_, xSrc, top, wSrc, hSrc);
            cairo_fill(cr_);
        }
        cairo_restore(cr_);
    }
    cairo_surface_destroy(image);
}

// A pattern brush from a DIB; with bits null the DIB is packed.
std::shared_ptr<cairo_surface_t> LfMetafilePlayer::PatternFromDib(const uint8_t* dib, size_t size,
                                                                 const uint8_t* bits, size_t bitsSize) {
    if (bits == nullptr && !SplitPackedDib(dib, size, bits, bitsSize)) return nullptr;
    bool bottomUp = true;
    cairo_surface_t* s = DecodeDib(dib, size, bits, bitsSize, bottomUp);
    if (!s) return nullptr;
    return std::shared_ptr<cairo_surface_t>(s, cairo_surface_destroy);
}
