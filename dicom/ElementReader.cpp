#include "ElementReader.h"

#include <cstdio>

#include "VrDictionary.h"

bool IsLongFormVr(const char vr[2]) {
    static const char* const kLong[] = {"OB", "OW", "OF", "SQ", "UT", "UN",
                                        "OD", "OL", "OV", "SV", "UV", "UC", "UR"};
    for (const char* v : kLong)
        if (vr[0] == v[0] && vr[1] == v[1]) return true;
    return false;
}

std::string VrText(const char vr[2]) {
    std::string text;
    for (int i = 0; i < 2; ++i) {
        const unsigned char c = static_cast<unsigned char>(vr[i]);
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

uint16_t ElementReader::u16(const uint8_t* b) const {
    return encoding_.bigEndian ? static_cast<uint16_t>((b[0] << 8) | b[1])
                               : static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t ElementReader::u32(const uint8_t* b) const {
    if (encoding_.bigEndian) return (uint32_t{u16(b)} << 16) | u16(b + 2);
    return u16(b) | (uint32_t{u16(b + 2)} << 16);
}

bool ElementReader::read16(uint16_t& value) {
    uint8_t b[2];
    if (!source_.read(b, 2)) return false;
    value = u16(b);
    return true;
}

bool ElementReader::read32(uint32_t& value) {
    uint8_t b[4];
    if (!source_.read(b, 4)) return false;
    value = u32(b);
    return true;
}

bool ElementReader::fail(std::string text) {
    error_ = std::move(text);
    return false;
}

ElementReader::Next ElementReader::next(ElementHeader& h) {
    h = ElementHeader{};
    if (!read16(h.group)) {
        fail("no pixel data before the end of the file");
        return Next::End;
    }
    if (!read16(h.element)) return fail("truncated element header"), Next::Error;
    return readHeaderAfterTag(h) ? Next::Element : Next::Error;
}

bool ElementReader::readHeaderAfterTag(ElementHeader& h) {
    if (!encoding_.explicitVr) {
        const char* vr = ImplicitVr(h.group, h.element);
        h.vr[0] = vr[0];
        h.vr[1] = vr[1];
        if (!read32(h.length)) return fail("truncated element header");
        return true;
    }
    if (!source_.read(h.vr, 2)) return fail("truncated element header");
    if (IsLongFormVr(h.vr)) {
        if (!read16(h.reserved) || !read32(h.length)) return fail("truncated element");
        return true;
    }
    uint16_t length = 0;
    if (!read16(length)) return fail("truncated element");
    h.length = length;
    return true;
}

bool ElementReader::readValue(const ElementHeader& h, std::vector<uint8_t>& value, size_t limit) {
    if (h.undefinedLength() || h.length > limit) return fail("a " + VrText(h.vr) + " value too long to read");
    if (h.length > source_.remaining()) return fail("element length runs past the end of the file");
    value.resize(h.length);
    if (!source_.read(value.data(), value.size())) return fail("truncated element");
    return true;
}

bool ElementReader::skipValue(const ElementHeader& h) { return skipElement(h, 0); }

bool ElementReader::skipElement(const ElementHeader& h, int depth) {
    if (encoding_.explicitVr && IsLongFormVr(h.vr) && h.reserved != 0)
        return fail("non-zero reserved bytes in a " + VrText(h.vr) + " element");
    if (!h.undefinedLength()) {
        if (!source_.skip(h.length)) return fail("element length runs past the end of the file");
        return true;
    }
    // A value of undefined length is a list of items ended by (FFFE,E0DD). An unknown (UN)
    // value is a sequence whose items are written with implicit VRs.
    const bool implicitItems = !encoding_.explicitVr || h.hasVr("UN");
    return skipItems(implicitItems, depth + 1);
}

bool ElementReader::readItemHeader(uint16_t& element, uint32_t& length) {
    uint16_t group = 0;
    if (!read16(group) || !read16(element) || !read32(length)) return false;
    if (group != 0xFFFE) element = 0;  // not an item tag at all
    return true;
}

// Skips items up to and including the sequence delimiter. Items of undefined length are
// walked element by element, so the delimiters of nested sequences are told from its own.
bool ElementReader::skipItems(bool implicitVr, int depth) {
    if (depth > kMaxNesting) return fail("sequences nested too deeply");
    for (;;) {
        uint16_t element = 0;
        uint32_t length = 0;
        if (!readItemHeader(element, length)) return fail("undefined-length value without its delimiter");
        if (element == 0xE0DD) return true;
        if (element != 0xE000) return fail("damaged item in an undefined-length value");
        if (length != 0xFFFFFFFFu) {
            if (!source_.skip(length)) return fail("item length runs past the end of the file");
            continue;
        }
        if (!skipItemElements(implicitVr, depth)) return false;
    }
}

// Skips the elements of an item of undefined length, up to and including (FFFE,E00D).
bool ElementReader::skipItemElements(bool implicitVr, int depth) {
    for (;;) {
        uint16_t group = 0, element = 0;
        if (!read16(group) || !read16(element)) return fail("item without its delimiter");
        if (group == 0xFFFE && element == 0xE00D) {
            if (!source_.skip(4)) return fail("truncated delimiter");
            return true;
        }
        if (group == 0xFFFE) return fail("damaged item in an undefined-length value");
        ElementHeader h;
        h.group = group;
        h.element = element;
        if (implicitVr) {
            if (!read32(h.length)) return fail("truncated element");
            if (h.undefinedLength()) {
                if (!skipItems(true, depth + 1)) return false;
            } else if (!source_.skip(h.length)) {
                return fail("element length runs past the end of the file");
            }
            continue;
        }
        if (!source_.read(h.vr, 2)) return fail("truncated element header");
        if (IsLongFormVr(h.vr)) {
            if (!read16(h.reserved) || !read32(h.length)) return fail("truncated element");
        } else {
            uint16_t length = 0;
            if (!read16(length)) return fail("truncated element");
            h.length = length;
        }
        if (!skipElement(h, depth)) return false;
    }
}

bool ElementReader::forEachItemElement(const ElementHeader& sequence, const ItemVisitor& visit, int depth) {
    if (depth > kMaxNesting) return fail("sequences nested too deeply");
    if (encoding_.explicitVr && IsLongFormVr(sequence.vr) && sequence.reserved != 0)
        return fail("non-zero reserved bytes in a " + VrText(sequence.vr) + " element");
    const DataSetEncoding saved = encoding_;
    if (sequence.hasVr("UN")) encoding_ = DataSetEncoding{false, false};
    const bool ok = walkItems(sequence, visit);
    encoding_ = saved;
    return ok;
}

bool ElementReader::walkItems(const ElementHeader& sequence, const ItemVisitor& visit) {
    const bool defined = !sequence.undefinedLength();
    if (defined && sequence.length > source_.remaining()) return fail("sequence runs past the end of the file");
    const uint64_t end = source_.position() + (defined ? sequence.length : 0);
    for (int item = 0;; ++item) {
        if (defined && source_.position() >= end) return true;
        uint16_t element = 0;
        uint32_t length = 0;
        if (!readItemHeader(element, length)) return fail("sequence without its delimiter");
        if (element == 0xE0DD && !defined) return true;
        if (element != 0xE000) return fail("damaged item in a sequence");
        if (!walkItemElements(item, length, visit)) return false;
        if (defined && source_.position() > end) return fail("item runs past the end of its sequence");
    }
}

bool ElementReader::walkItemElements(int item, uint32_t length, const ItemVisitor& visit) {
    const bool defined = length != 0xFFFFFFFFu;
    if (defined && length > source_.remaining()) return fail("item runs past the end of the file");
    const uint64_t end = source_.position() + (defined ? length : 0);
    for (;;) {
        if (defined && source_.position() >= end) {
            return source_.position() == end || fail("element runs past the end of its item");
        }
        ElementHeader h;
        if (!read16(h.group) || !read16(h.element)) return fail("item without its delimiter");
        if (!defined && h.group == 0xFFFE && h.element == 0xE00D) {
            if (!source_.skip(4)) return fail("truncated delimiter");
            return true;
        }
        if (h.group == 0xFFFE) return fail("damaged item in a sequence");
        if (!readHeaderAfterTag(h) || !visit(item, h)) return false;
    }
}
