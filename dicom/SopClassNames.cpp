#include "SopClassNames.h"

namespace {

struct SopClass {
    const char* uid;
    const char* name;
};

constexpr SopClass kClasses[] = {
    {"1.2.840.10008.1.3.10", "Media Storage Directory"},
    {"1.2.840.10008.5.1.4.1.1.11.1", "Grayscale Softcopy Presentation State Storage"},
    {"1.2.840.10008.5.1.4.1.1.9.1.1", "12-lead ECG Waveform Storage"},
    {"1.2.840.10008.5.1.4.1.1.9.1.2", "General ECG Waveform Storage"},
    {"1.2.840.10008.5.1.4.1.1.66", "Raw Data Storage"},
    {"1.2.840.10008.5.1.4.1.1.66.1", "Spatial Registration Storage"},
    {"1.2.840.10008.5.1.4.1.1.66.4", "Segmentation Storage"},
    {"1.2.840.10008.5.1.4.1.1.88.11", "Basic Text SR Storage"},
    {"1.2.840.10008.5.1.4.1.1.88.22", "Enhanced SR Storage"},
    {"1.2.840.10008.5.1.4.1.1.88.33", "Comprehensive SR Storage"},
    {"1.2.840.10008.5.1.4.1.1.88.59", "Key Object Selection Document Storage"},
    {"1.2.840.10008.5.1.4.1.1.104.1", "Encapsulated PDF Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.2", "RT Dose Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.3", "RT Structure Set Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.4", "RT Beams Treatment Record Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.5", "RT Plan Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.8", "RT Ion Plan Storage"},
    {"1.2.840.10008.5.1.4.1.1.481.9", "RT Ion Beams Treatment Record Storage"},
};

}  // namespace

std::string SopClassName(const std::string& uid) {
    for (const SopClass& c : kClasses)
        if (uid == c.uid) return c.name;
    return "";
}
