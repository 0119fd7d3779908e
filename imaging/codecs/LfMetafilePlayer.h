// LfMetafilePlayer: plays the records of an old-style Windows metafile (WMF) or an enhanced
// metafile (EMF) into a cairo context whose target is the output picture. It keeps a device
// context of its own (mapping, world transform, pens, brushes, fonts, colours, modes, paths,
// clipping and a stack of saved states) and draws every shape through cairo.
//
// Files are untrusted: every record is checked against the bytes that exist before any field
// is read, object indices are checked against the table, point counts against the record
// size, and device coordinates are clamped so that no extent or transform in a file can make
// cairo allocate or loop without bound. A record that does not fit ends the playback (what
// was drawn stays); a record that is not understood is skipped.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The bounding box of a placeable metafile, in the metafile's logical units.
struct LfWmfBox {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

class LfMetafilePlayer {
public:
    // Draws into cr; its target is width x height pixels.
    LfMetafilePlayer(cairo_t* cr, int width, int height);
    ~LfMetafilePlayer();
    LfMetafilePlayer(const LfMetafilePlayer&) = delete;
    LfMetafilePlayer& operator=(const LfMetafilePlayer&) = delete;

    // data starts with the 18-byte metafile header; the box maps onto the whole picture
    // until the metafile sets a window of its own.
    void PlayWmf(const uint8_t* data, size_t size, const LfWmfBox& box);
    // data starts with the header record; its frame maps onto the whole picture.
    void PlayEmf(const uint8_t* data, size_t size);

public:
    struct Color {
        double r = 0, g = 0, b = 0;
    };
    struct Point {
        double x = 0, y = 0;
    };
    struct Pen {
        uint32_t style = 0;      // PS_* style, end cap, join and type bits
        double width = 0;        // logical units; 0 draws one device pixel
        Color color;
    };
    struct Brush {
        uint32_t style = 0;      // BS_SOLID, BS_NULL, BS_HATCHED or a pattern
        Color color{1, 1, 1};
        uint32_t hatch = 0;
        std::shared_ptr<cairo_surface_t> image;  // pattern brushes
    };
    struct Font {
        double height = 0;       // logical units; < 0 em height, > 0 cell height, 0 default
        double escapement = 0;   // tenths of a degree, counter-clockwise
        int weight = 400;
        bool italic = false;
        bool underline = false;
        bool strikeout = false;
        std::string face;
    };
    struct Object {
        enum class Kind { Pen, Brush, Font, Other } kind = Kind::Other;
        Pen pen;
        Brush brush;
        Font font;
    };
    // One step of a path, in device coordinates.
    struct PathOp {
        enum Kind { Move, Line, Curve, Close } kind;
        double x[3];
        double y[3];
    };
    using Path = std::vector<PathOp>;

    // A view of one record's bytes; reads beyond its end give 0.
    struct Record {
        const uint8_t* p;
        size_t n;
        bool Has(size_t offset, size_t length) const { return offset <= n && length <= n - offset; }
        uint16_t U16(size_t o) const { return Has(o, 2) ? static_cast<uint16_t>(p[o] | (p[o + 1] << 8)) : 0; }
        int16_t I16(size_t o) const { return static_cast<int16_t>(U16(o)); }
        uint32_t U32(size_t o) const {
            return Has(o, 4) ? (static_cast<uint32_t>(p[o]) | (static_cast<uint32_t>(p[o + 1]) << 8) |
                                (static_cast<uint32_t>(p[o + 2]) << 16) | (static_cast<uint32_t>(p[o + 3]) << 24))
                             : 0;
        }
        int32_t I32(size_t o) const { return static_cast<int32_t>(U32(o)); }
        float F32(size_t o) const;
    };

private:
    struct State {
        Pen pen;
        Brush brush;
        Font font;
        Color textColor{0, 0, 0};
        Color bkColor{1, 1, 1};
        bool bkOpaque = true;
        bool winding = false;
        int rop2 = 13;                 // R2_COPYPEN
        uint32_t textAlign = 0;
        uint32_t stretchMode = 1;
        int mapMode = 1;               // MM_TEXT
        Point winOrg{0, 0}, winExt{1, 1}, vpOrg{0, 0}, vpExt{1, 1};
        cairo_matrix_t world;
        Point current;
        bool clockwise = false;
    };

    // ---- the two record interpreters
    void PlayWmfRecord(uint16_t function, const Record& r);
    void PlayEmfRecord(uint32_t type, const Record& r);
    bool ReadEmfHeader(const Record& r);
    void WmfDib(uint16_t function, const Record& r);
    void EmfDib(uint32_t type, const Record& r);
    void EmfPoly(uint32_t type, const Record& r);
    void EmfText(const Record& r);
    void EmfClipRegion(const Record& r);

    // ---- objects
    void CreateWmfObject(Object object);
    void CreateEmfObject(uint32_t index, Object object);
    void SelectObject(const Object& object);
    void SelectStockObject(uint32_t index);
    void DeleteWmfObject(uint32_t index);

    // ---- device context
    void SaveDc();
    void RestoreDc(int32_t which);
    void UpdateTransform();
    Point ToDevice(double x, double y) const;
    double DeviceScale() const;      // how long one logical unit is on the device
    double DeviceYScale() const;     // for font heights

    // ---- drawing (logical coordinates in, device paths out)
    Path& Target();
    void MoveTo(double x, double y);
    void LineTo(double x, double y);
    void AddPoly(const std::vector<Point>& points, bool close);
    void AddBeziers(const std::vector<Point>& points, bool fromCurrent);
    void AddRectangle(double l, double t, double r, double b);
    void AddRoundRect(double l, double t, double r, double b, double w, double h);
    void AddEllipse(double l, double t, double r, double b);
    enum class ArcKind { Arc, ArcTo, Pie, Chord };
    void AddArc(ArcKind kind, double l, double t, double r, double b, Point start, Point end);
    void AddEllipseSpan(double cx, double cy, double rx, double ry, double t0, double t1, bool connect);
    void Draw(bool fill, bool stroke);   // the scratch path, unless a path bracket is open
    void Paint(const Path& path, bool fill, bool stroke);
    void FillPath(const Path& path, bool winding);
    void EmitPath(const Path& path);
    bool SetBrushSource();
    bool SetPenSource();
    void FillDeviceRect(Point a, Point b, Color c);
    void SetPixel(double x, double y, Color c);
    void ClipToRect(double l, double t, double r, double b, bool exclude);
    void ResetClip();

    // ---- text and bitmaps
    void DrawText(Point reference, const std::string& utf8, uint32_t options, const double* rect);
    void DrawDib(const uint8_t* bmi, size_t bmiSize, const uint8_t* bits, size_t bitsSize,
                 double xDest, double yDest, double wDest, double hDest, double xSrc, double ySrc,
                 double wSrc, double hSrc, uint32_t rop);
    void PatternBlt(double x, double y, double w, double h, uint32_t rop);
    // A pattern brush image. Here and in DrawDib, bits null means a packed DIB: its bits
    // follow the header and colour table.
    static std::shared_ptr<cairo_surface_t> PatternFromDib(const uint8_t* dib, size_t size,
                                                           const uint8_t* bits, size_t bitsSize);

    cairo_t* cr_;
    int width_;
    int height_;
    bool emf_ = false;
    State state_;
    std::vector<State> saved_;
    cairo_matrix_t full_;            // logical -> output pixels
    cairo_matrix_t refToOut_;        // EMF reference device pixels -> output pixels
    double refPixelsPerMm_[2] = {96 / 25.4, 96 / 25.4};

    // WMF objects take the lowest free slot of a table of the header's size; EMF objects
    // name their slot, which must lie below the header's handle count.
    std::vector<std::unique_ptr<Object>> wmfObjects_;
    std::set<uint32_t> wmfFree_;
    uint32_t tableSize_ = 0;
    std::unordered_map<uint32_t, Object> emfObjects_;

    bool inPath_ = false;
    Path path_;                      // the bracket path (EMF)
    Path scratch_;                   // the shape being drawn now
};
