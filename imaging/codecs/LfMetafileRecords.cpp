// The record interpreters of the metafile player: old-style metafile records (16-bit
// parameters, stored last to first) and enhanced metafile records (32-bit fields). Each
// record is a Record view of exactly its own bytes; variable-length parts (points, strings,
// bitmaps) are checked against it before they are read.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "LfMetafilePlayer.h"

namespace {

using Player = LfMetafilePlayer;
using Record = LfMetafilePlayer::Record;

constexpr uint32_t kMaxTextChars = 8192;
constexpr int kRgnAnd = 1;
constexpr int kRgnCopy = 5;

Player::Color ColorRef(uint32_t v) {
    return {(v & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, ((v >> 16) & 0xFF) / 255.0};
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Single-byte text is taken as Latin-1; control characters are dropped and a NUL ends it.
std::string TextFromBytes(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && p[i] != 0; ++i)
        if (p[i] >= 0x20) AppendUtf8(out, p[i]);
    return out;
}

// UTF-16 little-endian; unpaired surrogates become U+FFFD.
std::string TextFromUtf16(const uint8_t* p, size_t chars) {
    std::string out;
    for (size_t i = 0; i < chars; ++i) {
        uint32_t c = p[2 * i] | (p[2 * i + 1] << 8);
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
            const uint32_t low = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c >= 0x20) AppendUtf8(out, c);
    }
    return out;
}

Player::Object MakePen(uint32_t style, double width, uint32_t color) {
    Player::Object o;
    o.kind = Player::Object::Kind::Pen;
    o.pen.style = style;
    o.pen.width = width;
    o.pen.color = ColorRef(color);
    return o;
}

Player::Object MakeBrush(uint32_t style, uint32_t color, uint32_t hatch) {
    Player::Object o;
    o.kind = Player::Object::Kind::Brush;
    // Pattern styles without a usable bitmap paint in the brush colour.
    o.brush.style = style == 1 || style == 2 ? style : 0;
    o.brush.color = ColorRef(color);
    o.brush.hatch = hatch;
    return o;
}

}  // namespace

// =======================================================================================
// Old-style metafiles

void LfMetafilePlayer::PlayWmf(const uint8_t* data, size_t size, const LfWmfBox& box) {
    emf_ = false;
    const Record file{data, size};
    if (data == nullptr || size < 18) return;
    tableSize_ = file.U16(10);
    state_.winOrg = {static_cast<double>(box.left), static_cast<double>(box.top)};
    state_.winExt = {static_cast<double>(box.right) - box.left, static_cast<double>(box.bottom) - box.top};
    if (state_.winExt.x == 0) state_.winExt.x = 1;
    if (state_.winExt.y == 0) state_.winExt.y = 1;
    UpdateTransform();

    size_t offset = static_cast<size_t>(file.U16(2)) * 2;
    if (offset < 18 || offset > size) offset = 18;
    while (offset <= size && size - offset >= 6) {
        const uint64_t bytes = static_cast<uint64_t>(file.U32(offset)) * 2;
        if (bytes < 6 || bytes > size - offset) break;  // a record that does not fit ends the play
        const uint16_t function = file.U16(offset + 4);
        if (function == 0) break;                       // end of file
        PlayWmfRecord(function, Record{data + offset, static_cast<size_t>(bytes)});
        offset += static_cast<size_t>(bytes);
    }
}

void LfMetafilePlayer::PlayWmfRecord(uint16_t function, const Record& r) {
    // Parameters are 16-bit words after the 6-byte record head.
    auto P = [&](size_t i) -> double { return r.I16(6 + 2 * i); };
    auto points = [&](size_t at, size_t count) {
        std::vector<Point> pts(count);
        for (size_t i = 0; i < count; ++i) pts[i] = {static_cast<double>(r.I16(at + 4 * i)),
                                                     static_cast<double>(r.I16(at + 4 * i + 2))};
        return pts;
    };
    scratch_.clear();
    switch (function) {
    case 0x001E: SaveDc(); break;
    case 0x0127: RestoreDc(r.I16(6)); break;
    case 0x0201: state_.bkColor = ColorRef(r.U32(6)); break;
    case 0x0102: state_.bkOpaque = r.U16(6) == 2; break;
    case 0x0103:
        state_.mapMode = r.U16(6);
        UpdateTransform();
        break;
    case 0x0104: state_.rop2 = r.U16(6); break;
    case 0x0106: state_.winding = r.U16(6) == 2; break;
    case 0x0107: state_.stretchMode = r.U16(6); break;
    case 0x0209: state_.textColor = ColorRef(r.U32(6)); break;
    case 0x012E: state_.textAlign = r.U16(6); break;
    case 0x020B:  // SETWINDOWORG
        state_.winOrg = {P(1), P(0)};
        UpdateTransform();
        break;
    case 0x020C:  // SETWINDOWEXT: an extent of 0 would divide by zero; it is ignored
        if (P(0) != 0 && P(1) != 0) {
            state_.winExt = {P(1), P(0)};
            UpdateTransform();
        }
        break;
    case 0x020F:  // OFFSETWINDOWORG
        state_.winOrg.x += P(1);
        state_.winOrg.y += P(0);
        UpdateTransform();
        break;
    case 0x0410:  // SCALEWINDOWEXT
        if (P(0) != 0 && P(2) != 0 && P(1) != 0 && P(3) != 0) {
            state_.winExt = {state_.winExt.x * P(3) / P(2), state_.winExt.y * P(1) / P(0)};
            UpdateTransform();
        }
        break;
    case 0x0214: MoveTo(P(1), P(0)); break;
    case 0x0213: LineTo(P(1), P(0)); break;
    case 0x041B:
        AddRectangle(P(3), P(2), P(1), P(0));
        Draw(true, true);
        break;
    case 0x0418:
        AddEllipse(P(3), P(2), P(1), P(0));
        Draw(true, true);
        break;
    case 0x061C:
        AddRoundRect(P(5), P(4), P(3), P(2), P(1), P(0));
        Draw(true, true);
        break;
    case 0x0817:  // ARC
    case 0x081A:  // PIE
    case 0x0830: {  // CHORD
        const ArcKind kind = function == 0x0817 ? ArcKind::Arc : function == 0x081A ? ArcKind::Pie : ArcKind::Chord;
        AddArc(kind, P(7), P(6), P(5), P(4), {P(3), P(2)}, {P(1), P(0)});
        Draw(kind != ArcKind::Arc, true);
        break;
    }
    case 0x041F: SetPixel(P(3), P(2), ColorRef(r.U32(6))); break;
    case 0x061D: PatternBlt(P(5), P(4), P(3), P(2), r.U32(6)); break;
    case 0x0324:    // POLYGON
    case 0x0325: {  // POLYLINE
        const size_t count = r.U16(6);
        if (!r.Has(8, count * 4)) break;
        AddPoly(points(8, count), function == 0x0324);
        Draw(function == 0x0324, true);
        break;
    }
    case 0x0538: {  // POLYPOLYGON: polygon count, point counts, then all points
        const size_t polygons = r.U16(6);
        if (!r.Has(8, polygons * 2)) break;
        size_t at = 8 + polygons * 2;
        for (size_t i = 0; i < polygons; ++i) {
            const size_t count = r.U16(8 + 2 * i);
            if (!r.Has(at, count * 4)) break;
            AddPoly(points(at, count), true);
            at += count * 4;
        }
        Draw(true, true);
        break;
    }
    case 0x0521: {  // TEXTOUT: length, string (padded to a word), y, x
        const size_t count = r.U16(6);
        const size_t padded = (count + 1) & ~size_t{1};
        if (!r.Has(8, padded + 4)) break;
        const Point at{static_cast<double>(r.I16(10 + padded)), static_cast<double>(r.I16(8 + padded))};
        DrawText(at, TextFromBytes(r.p + 8, std::min<size_t>(count, kMaxTextChars)), 0, nullptr);
        break;
    }
    case 0x0A32: {  // EXTTEXTOUT: y, x, length, options, [rectangle], string, [widths]
        const Point at{P(1), P(0)};
        const size_t count = r.U16(10);
        const uint32_t options = r.U16(12);
        size_t text = 14;
        double rect[4];
        const bool hasRect = (options & 6) != 0 && r.Has(14, 8);
        if (hasRect) {
            for (int i = 0; i < 4; ++i) rect[i] = r.I16(14 + 2 * i);
            text = 22;
        }
        const size_t avail = r.Has(text, 0) ? r.n - text : 0;
        const size_t n = std::min({count, avail, static_cast<size_t>(kMaxTextChars)});
        DrawText(at, TextFromBytes(r.p + text, n), options, hasRect ? rect : nullptr);
        break;
    }
    case 0x012D: {  // SELECTOBJECT
        const uint32_t index = r.U16(6);
        if (index < wmfObjects_.size() && wmfObjects_[index]) SelectObject(*wmfObjects_[index]);
        break;
    }
    case 0x01F0: DeleteWmfObject(r.U16(6)); break;
    case 0x02FA: CreateWmfObject(MakePen(r.U16(6), r.I16(8), r.U32(12))); break;
    case 0x02FC: CreateWmfObject(MakeBrush(r.U16(6), r.U32(8), r.U16(12))); break;
    case 0x02FB: {  // CREATEFONTINDIRECT
        Object o;
        o.kind = Object::Kind::Font;
        o.font.height = r.I16(6);
        o.font.escapement = r.I16(10);
        o.font.weight = r.I16(14);
        o.font.italic = r.Has(16, 1) && r.p[16];
        o.font.underline = r.Has(17, 1) && r.p[17];
        o.font.strikeout = r.Has(18, 1) && r.p[18];
        if (r.Has(24, 0)) o.font.face = TextFromBytes(r.p + 24, std::min<size_t>(32, r.n - 24));
        CreateWmfObject(std::move(o));
        break;
    }
    case 0x0142: {  // DIBCREATEPATTERNBRUSH: style, colour usage, packed DIB
        Object o = MakeBrush(0, 0, 0);
        if (r.Has(10, 0)) o.brush.image = PatternFromDib(r.p + 10, r.n - 10, nullptr, 0);
        CreateWmfObject(std::move(o));
        break;
    }
    case 0x00F7:    // CREATEPALETTE
    case 0x01F9:    // CREATEPATTERNBRUSH
    case 0x06FF:    // CREATEREGION: they take a slot of the table all the same
        CreateWmfObject(Object{});
        break;
    case 0x0416: ClipToRect(P(3), P(2), P(1), P(0), false); break;
    case 0x0415: ClipToRect(P(3), P(2), P(1), P(0), true); break;
    case 0x0940:  // DIBBITBLT
    case 0x0B41:  // DIBSTRETCHBLT
    case 0x0F43:  // STRETCHDIB
    case 0x0D33:  // SETDIBTODEV
        WmfDib(function, r);
        break;
    default: break;  // not drawn
    }
}

void LfMetafilePlayer::WmfDib(uint16_t function, const Record& r) {
    auto P = [&](size_t i) -> double { return r.I16(6 + 2 * i); };
    const uint32_t rop = r.U32(6);
    // The bit-block records exist with and without a bitmap; without one they are one word
    // longer than their function's high byte says and carry a reserved word.
    const bool noBitmap = r.n / 2 == static_cast<size_t>((function >> 8) + 3);
    switch (function) {
    case 0x0940:  // rop, ySrc, xSrc, height, width, yDest, xDest, DIB
        if (noBitmap) {  // rop, ySrc, xSrc, reserved, height, width, yDest, xDest
            PatternBlt(P(8), P(7), P(6), P(5), rop);
        } else if (r.Has(22, 0)) {
            DrawDib(r.p + 22, r.n - 22, nullptr, 0, P(7), P(6), P(5), P(4), P(3), P(2), P(5), P(4), rop);
        }
        break;
    case 0x0B41:  // rop, srcHeight, srcWidth, ySrc, xSrc, destHeight, destWidth, yDest, xDest, DIB
        if (noBitmap) {  // the same with a reserved word before the destination
            PatternBlt(P(10), P(9), P(8), P(7), rop);
        } else if (r.Has(26, 0)) {
            DrawDib(r.p + 26, r.n - 26, nullptr, 0, P(9), P(8), P(7), P(6), P(5), P(4), P(3), P(2), rop);
        }
        break;
    case 0x0F43:  // rop, usage, srcHeight, srcWidth, ySrc, xSrc, destHeight, destWidth, yDest, xDest, DIB
        if (r.Has(28, 0))
            DrawDib(r.p + 28, r.n - 28, nullptr, 0, P(10), P(9), P(8), P(7), P(6), P(5), P(4), P(3), rop);
        break;
    case 0x0D33:  // usage, scans, start scan, ySrc, xSrc, height, width, yDest, xDest, DIB
        if (r.Has(24, 0))
            DrawDib(r.p + 24, r.n - 24, nullptr, 0, P(8), P(7), P(6), P(5), P(4), P(3), P(6), P(5), 0x00CC0020);
        break;
    default: break;
    }
}

// =======================================================================================
// Enhanced metafiles

bool LfMetafilePlayer::ReadEmfHeader(const Record& r) {
    if (r.U32(0) != 1 || r.U32(4) < 88) return false;
    tableSize_ = r.U16(56);
    const double devX = r.I32(72), devY = r.I32(76), mmX = r.I32(80), mmY = r.I32(84);
    if (devX > 0 && devY > 0 && mmX > 0 && mmY > 0) {
        refPixelsPerMm_[0] = devX / mmX;
        refPixelsPerMm_[1] = devY / mmY;
    }
    // The frame (hundredths of a millimetre) fills the picture; without a usable frame the
    // bounds (reference device pixels) do.
    double l = r.I32(24) * refPixelsPerMm_[0] / 100, t = r.I32(28) * refPixelsPerMm_[1] / 100;
    double rr = r.I32(32) * refPixelsPerMm_[0] / 100, b = r.I32(36) * refPixelsPerMm_[1] / 100;
    if (!(rr > l && b > t)) {
        l = r.I32(8);
        t = r.I32(12);
        rr = r.I32(16);
        b = r.I32(20);
    }
    const double w = rr > l ? rr - l : 1, h = b > t ? b - t : 1;
    cairo_matrix_init(&refToOut_, width_ / w, 0, 0, height_ / h, -l * width_ / w, -t * height_ / h);
    return true;
}

void LfMetafilePlayer::PlayEmf(const uint8_t* data, size_t size) {
    emf_ = true;
    const Record file{data, size};
    if (data == nullptr || !ReadEmfHeader(file)) return;
    UpdateTransform();
    size_t offset = 0;
    while (offset <= size && size - offset >= 8) {
        const uint32_t type = file.U32(offset);
        const uint32_t bytes = file.U32(offset + 4);
        if (bytes < 8 || bytes > size - offset) break;  // a record that does not fit ends the play
        if (type == 14) break;                         // EOF
        if (offset != 0) PlayEmfRecord(type, Record{data + offset, bytes});  // past the header
        offset += bytes;
    }
}

void LfMetafilePlayer::PlayEmfRecord(uint32_t type, const Record& r) {
    auto X = [&](size_t o) -> double { return r.I32(o); };
    auto rect = [&](size_t o) { return std::array<double, 4>{X(o), X(o + 4), X(o + 8), X(o + 12)}; };
    scratch_.clear();
    switch (type) {
    case 2: case 3: case 4: case 5: case 6: case 7: case 8:
    case 85: case 86: case 87: case 88: case 89: case 90: case 91:
        EmfPoly(type, r);
        break;
    case 9:  // SETWINDOWEXTEX
    case 11:  // SETVIEWPORTEXTEX: an extent of 0 would divide by zero; it is ignored
        if (X(8) != 0 && X(12) != 0) {
            (type == 9 ? state_.winExt : state_.vpExt) = {X(8), X(12)};
            UpdateTransform();
        }
        break;
    case 10: state_.winOrg = {X(8), X(12)}; UpdateTransform(); break;
    case 12: state_.vpOrg = {X(8), X(12)}; UpdateTransform(); break;
    case 31:  // SCALEVIEWPORTEXTEX
    case 32: {  // SCALEWINDOWEXTEX
        if (X(8) == 0 || X(12) == 0 || X(16) == 0 || X(20) == 0) break;
        Point& ext = type == 31 ? state_.vpExt : state_.winExt;
        ext = {ext.x * X(8) / X(12), ext.y * X(16) / X(20)};
        UpdateTransform();
        break;
    }
    case 15: SetPixel(X(8), X(12), ColorRef(r.U32(16))); break;
    case 17:
        if (r.U32(8) >= 1 && r.U32(8) <= 8) {
            state_.mapMode = static_cast<int>(r.U32(8));
            UpdateTransform();
        }
        break;
    case 18: state_.bkOpaque = r.U32(8) == 2; break;
    case 19: state_.winding = r.U32(8) == 2; break;
    case 20: state_.rop2 = static_cast<int>(r.U32(8)); break;
    case 21: state_.stretchMode = r.U32(8); break;
    case 22: state_.textAlign = r.U32(8); break;
    case 24: state_.textColor = ColorRef(r.U32(8)); break;
    case 25: state_.bkColor = ColorRef(r.U32(8)); break;
    case 27: MoveTo(X(8), X(12)); break;
    case 29: case 30: {  // EXCLUDECLIPRECT, INTERSECTCLIPRECT
        const auto b = rect(8);
        ClipToRect(b[0], b[1], b[2], b[3], type == 29);
        break;
    }
    case 33: SaveDc(); break;
    case 34: RestoreDc(r.I32(8)); break;
    case 35:    // SETWORLDTRANSFORM
    case 36: {  // MODIFYWORLDTRANSFORM
        cairo_matrix_t m;
        cairo_matrix_init(&m, r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28));
        const double det = m.xx * m.yy - m.xy * m.yx;
        const bool usable = std::isfinite(det) && det != 0 && std::isfinite(m.x0) && std::isfinite(m.y0);
        const uint32_t mode = type == 35 ? 4 : r.U32(32);
        cairo_matrix_t result = state_.world;
        if (mode == 1) cairo_matrix_init_identity(&result);
        else if (!usable) break;
        else if (mode == 2) cairo_matrix_multiply(&result, &m, &state_.world);   // new one first
        else if (mode == 3) cairo_matrix_multiply(&result, &state_.world, &m);
        else if (mode == 4) result = m;
        else break;
        state_.world = result;
        UpdateTransform();
        break;
    }
    case 37: {  // SELECTOBJECT: the high bit names a stock object
        const uint32_t index = r.U32(8);
        if (index & 0x80000000u) {
            SelectStockObject(index & 0x7FFFFFFFu);
        } else {
            const auto it = emfObjects_.find(index);
            if (it != emfObjects_.end()) SelectObject(it->second);
        }
        break;
    }
    case 38: CreateEmfObject(r.U32(8), MakePen(r.U32(12), X(16), r.U32(24))); break;
    case 39: CreateEmfObject(r.U32(8), MakeBrush(r.U32(12), r.U32(16), r.U32(20))); break;
    case 40: emfObjects_.erase(r.U32(8)); break;
    case 49: CreateEmfObject(r.U32(8), Object{}); break;  // CREATEPALETTE
    case 82: {  // EXTCREATEFONTINDIRECTW
        Object o;
        o.kind = Object::Kind::Font;
        o.font.height = X(12);
        o.font.escapement = X(20);
        o.font.weight = r.I32(28);
        o.font.italic = r.Has(32, 1) && r.p[32];
        o.font.underline = r.Has(33, 1) && r.p[33];
        o.font.strikeout = r.Has(34, 1) && r.p[34];
        if (r.Has(40, 0)) o.font.face = TextFromUtf16(r.p + 40, std::min<size_t>(32, (r.n - 40) / 2));
        CreateEmfObject(r.U32(8), std::move(o));
        break;
    }
    case 93:    // CREATEMONOBRUSH
    case 94: {  // CREATEDIBPATTERNBRUSHPT: index, usage, bitmap info and bits
        Object o = MakeBrush(0, 0, 0);
        const uint32_t offBmi = r.U32(16), cbBmi = r.U32(20), offBits = r.U32(24), cbBits = r.U32(28);
        if (r.Has(offBmi, cbBmi) && r.Has(offBits, cbBits))
            o.brush.image = PatternFromDib(r.p + offBmi, cbBmi, r.p + offBits, cbBits);
        CreateEmfObject(r.U32(8), std::move(o));
        break;
    }
    case 95: {  // EXTCREATEPEN: cosmetic pens are one pixel wide whatever they say
        const uint32_t style = r.U32(28);
        const bool geometric = (style & 0x10000) != 0;
        Object o = MakePen(style, geometric ? static_cast<double>(r.U32(32)) : 0.0, r.U32(40));
        if (r.U32(36) == 1) o.pen.style = (style & ~0xFu) | 5;  // a null brush draws nothing
        CreateEmfObject(r.U32(8), std::move(o));
        break;
    }
    case 41: {  // ANGLEARC: a line to the start of the arc, then the arc (degrees, y up)
        const double cx = X(8), cy = X(12), radius = r.U32(16);
        const double start = r.F32(20), sweep = r.F32(24);
        if (!std::isfinite(start) || !std::isfinite(sweep) || std::fabs(sweep) > 36000) break;
        const double rad = std::numbers::pi / 180;
        const double t0 = -start * rad, t1 = -(start + sweep) * rad;
        Path& p = Target();
        if (!inPath_ || p.empty()) {
            const Point c = ToDevice(state_.current.x, state_.current.y);
            p.push_back({PathOp::Move, {c.x}, {c.y}});
        }
        AddEllipseSpan(cx, cy, radius, radius, t0, t1, true);
        state_.current = {cx + radius * std::cos(t1), cy + radius * std::sin(t1)};
        Draw(false, true);
        break;
    }
    case 42: { const auto b = rect(8); AddEllipse(b[0], b[1], b[2], b[3]); Draw(true, true); break; }
    case 43: { const auto b = rect(8); AddRectangle(b[0], b[1], b[2], b[3]); Draw(true, true); break; }
    case 44: {
        const auto b = rect(8);
        AddRoundRect(b[0], b[1], b[2], b[3], X(24), X(28));
        Draw(true, true);
        break;
    }
    case 45: case 46: case 47: case 55: {  // ARC, CHORD, PIE, ARCTO
        const auto b = rect(8);
        const ArcKind kind = type == 45 ? ArcKind::Arc : type == 46 ? ArcKind::Chord
                           : type == 47 ? ArcKind::Pie : ArcKind::ArcTo;
        AddArc(kind, b[0], b[1], b[2], b[3], {X(24), X(28)}, {X(32), X(36)});
        Draw(kind == ArcKind::Chord || kind == ArcKind::Pie, true);
        break;
    }
    case 54: LineTo(X(8), X(12)); break;
    case 57: state_.clockwise = r.U32(8) == 2; break;
    case 59: inPath_ = true; path_.clear(); break;           // BEGINPATH
    case 60: inPath_ = false; break;                          // ENDPATH
    case 61:                                                  // CLOSEFIGURE
        if (inPath_ && !path_.empty()) path_.push_back({PathOp::Close, {0}, {0}});
        break;
    case 62: FillPath(path_, state_.winding); path_.clear(); inPath_ = false; break;
    case 63: Paint(path_, true, true); path_.clear(); inPath_ = false; break;
    case 64: Paint(path_, false, true); path_.clear(); inPath_ = false; break;
    case 67: {  // SELECTCLIPPATH
        const int mode = static_cast<int>(r.U32(8));
        if (mode == kRgnCopy) ResetClip();
        if ((mode == kRgnCopy || mode == kRgnAnd) && !path_.empty()) {
            EmitPath(path_);
            cairo_set_fill_rule(cr_, state_.winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
            cairo_clip(cr_);
        }
        path_.clear();
        inPath_ = false;
        break;
    }
    case 68: path_.clear(); inPath_ = false; break;           // ABORTPATH
    case 75: EmfClipRegion(r); break;
    case 76: case 77: case 80: case 81: EmfDib(type, r); break;
    case 83: case 84: EmfText(r); break;
    default: break;  // not drawn
    }
}

// The poly records: 32-bit points (types 2-8) or 16-bit points (85-91), single or several.
void LfMetafilePlayer::EmfPoly(uint32_t type, const Record& r) {
    const bool small = type >= 85;
    const uint32_t kind = small ? type - 83 : type;  // 2 Bezier .. 8 poly-polygon
    const size_t pointSize = small ? 4 : 8;
    auto readPoints = [&](size_t at, size_t count) {
        std::vector<Point> pts(count);
        for (size_t i = 0; i < count; ++i) {
            const size_t o = at + i * pointSize;
            pts[i] = small ? Point{static_cast<double>(r.I16(o)), static_cast<double>(r.I16(o + 2))}
                           : Point{static_cast<double>(r.I32(o)), static_cast<double>(r.I32(o + 4))};
        }
        return pts;
    };

    if (kind == 7 || kind == 8) {  // count of polygons, total points, counts, points
        const uint64_t polygons = r.U32(24), total = r.U32(28);
        if (!r.Has(32, polygons * 4)) return;
        size_t at = 32 + static_cast<size_t>(polygons) * 4;
        if (!r.Has(at, total * pointSize)) return;
        uint64_t used = 0;
        for (size_t i = 0; i < polygons; ++i) {
            const uint64_t count = r.U32(32 + 4 * i);
            if (count > total - used) break;  // the counts claim more than the points given
            AddPoly(readPoints(at, count), kind == 8);
            at += count * pointSize;
            used += count;
        }
        Draw(kind == 8, true);
        return;
    }

    const uint64_t count = r.U32(24);
    if (!r.Has(28, count * pointSize)) return;  // also refuses counts of 10^9
    std::vector<Point> pts = readPoints(28, static_cast<size_t>(count));
    switch (kind) {
    case 2: AddBeziers(pts, false); Draw(false, true); break;
    case 3: AddPoly(pts, true); Draw(true, true); break;
    case 4: AddPoly(pts, false); Draw(false, true); break;
    case 5: AddBeziers(pts, true); Draw(false, true); break;
    case 6: {  // POLYLINETO: from the current position
        if (pts.empty()) break;
        Path& p = Target();
        if (!inPath_ || p.empty()) {
            const Point c = ToDevice(state_.current.x, state_.current.y);
            p.push_back({PathOp::Move, {c.x}, {c.y}});
        }
        for (const Point& q : pts) {
            const Point d = ToDevice(q.x, q.y);
            p.push_back({PathOp::Line, {d.x}, {d.y}});
        }
        state_.current = pts.back();
        Draw(false, true);
        break;
    }
    default: break;
    }
}

void LfMetafilePlayer::EmfText(const Record& r) {
    const bool wide = r.U32(0) == 84;
    const Point reference{static_cast<double>(r.I32(36)), static_cast<double>(r.I32(40))};
    const uint64_t chars = std::min<uint32_t>(r.U32(44), kMaxTextChars);
    const uint32_t offset = r.U32(48);
    const uint32_t options = r.U32(52);
    double rect[4];
    for (int i = 0; i < 4; ++i) rect[i] = r.I32(56 + 4 * i);
    std::string text;
    if (r.Has(offset, chars * (wide ? 2 : 1)))
        text = wide ? TextFromUtf16(r.p + offset, chars) : TextFromBytes(r.p + offset, chars);
    DrawText(reference, text, options, rect);
}

// A clipping region given as rectangles in reference device pixels.
void LfMetafilePlayer::EmfClipRegion(const Record& r) {
    const uint32_t dataSize = r.U32(8);
    const int mode = static_cast<int>(r.U32(12));
    if (mode != kRgnCopy && mode != kRgnAnd) return;
    if (mode == kRgnCopy) ResetClip();
    if (dataSize < 32 || !r.Has(16, dataSize)) return;
    const uint64_t count = r.U32(24);
    if (count * 16 > dataSize - 32) return;
    cairo_new_path(cr_);
    for (size_t i = 0; i < count; ++i) {
        const size_t o = 48 + 16 * i;
        double x0 = r.I32(o), y0 = r.I32(o + 4), x1 = r.I32(o + 8), y1 = r.I32(o + 12);
        cairo_matrix_transform_point(&refToOut_, &x0, &y0);
        cairo_matrix_transform_point(&refToOut_, &x1, &y1);
        auto clamp = [](double v) { return std::isfinite(v) ? std::clamp(v, -4.0e6, 4.0e6) : 0.0; };
        x0 = clamp(x0), y0 = clamp(y0), x1 = clamp(x1), y1 = clamp(y1);
        cairo_rectangle(cr_, std::min(x0, x1), std::min(y0, y1), std::fabs(x1 - x0), std::fabs(y1 - y0));
    }
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    cairo_clip(cr_);
}

void LfMetafilePlayer::EmfDib(uint32_t type, const Record& r) {
    auto X = [&](size_t o) -> double { return r.I32(o); };
    uint32_t offBmi, cbBmi, offBits, cbBits, rop;
    double xDest = X(24), yDest = X(28), wDest, hDest, xSrc, ySrc, wSrc, hSrc;
    switch (type) {
    case 76:    // BITBLT
    case 77: {  // STRETCHBLT
        wDest = X(32), hDest = X(36), rop = r.U32(40), xSrc = X(44), ySrc = X(48);
        offBmi = r.U32(84), cbBmi = r.U32(88), offBits = r.U32(92), cbBits = r.U32(96);
        wSrc = type == 77 ? X(100) : wDest;
        hSrc = type == 77 ? X(104) : hDest;
        if (cbBmi == 0) {  // no source: a pattern or constant fill
            PatternBlt(xDest, yDest, wDest, hDest, rop);
            return;
        }
        break;
    }
    case 80:  // SETDIBITSTODEVICE
        xSrc = X(32), ySrc = X(36), wSrc = wDest = X(40), hSrc = hDest = X(44);
        offBmi = r.U32(48), cbBmi = r.U32(52), offBits = r.U32(56), cbBits = r.U32(60);
        rop = 0x00CC0020;
        break;
    case 81:  // STRETCHDIBITS
        xSrc = X(32), ySrc = X(36), wSrc = X(40), hSrc = X(44);
        offBmi = r.U32(48), cbBmi = r.U32(52), offBits = r.U32(56), cbBits = r.U32(60);
        rop = r.U32(68), wDest = X(72), hDest = X(76);
        break;
    default: return;
    }
    if (!r.Has(offBmi, cbBmi) || !r.Has(offBits, cbBits)) return;
    DrawDib(r.p + offBmi, cbBmi, r.p + offBits, cbBits, xDest, yDest, wDest, hDest, xSrc, ySrc, wSrc, hSrc, rop);
}
