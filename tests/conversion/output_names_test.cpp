// Output names from patterns: what each field gives, padding, values no file system would
// take, empty values, and the suffixes that keep inputs from sharing a name.
#include <gtest/gtest.h>

#include "OutputNames.h"
#include "TextAttributes.h"

using namespace convert;

namespace {

std::string Name(const std::string& text, const NameValues& values) {
    NamePattern pattern;
    std::string error;
    EXPECT_TRUE(ParseNamePattern(text, pattern, error)) << text << ": " << error;
    return ApplyNamePattern(pattern, values);
}

NameValues Ct() {
    NameValues v;
    v.attributes = {{tags::PatientId, "P-17"},          {tags::PatientName, "Doe^Jane"},
                    {tags::StudyDate, "20240131"},      {tags::StudyTime, "101500.25"},
                    {tags::StudyDescription, "CT HEAD"}, {tags::AccessionNumber, "ACC9"},
                    {tags::Modality, "CT"},             {tags::SeriesNumber, "3"},
                    {tags::SeriesDescription, "AX 5mm"}, {tags::InstanceNumber, "42"},
                    {tags::SopInstanceUid, "1.2.3.4"},  {tags::StudyInstanceUid, "1.2.3"},
                    {tags::SeriesInstanceUid, "1.2.3.9"}};
    v.stem = "IM0042";
    v.rel = "cd/series3";
    v.frame = 7;
    return v;
}

}  // namespace

// Every field once, padding, and values that would make a path mean something else; a fault
// here writes outside the output folder, into device names, or over another file.
TEST(NamePatterns, FieldsPaddingAndUnsafeValues) {
    const struct {
        const char* pattern;
        std::pair<uint32_t, std::string> value;  // set before naming; tag 0: Ct() as it is
        const char* name;
    } cases[] = {
        {"{PatientID}/{PatientName}/{StudyDate}_{StudyTime}", {0, ""}, "P-17/Doe^Jane/20240131_101500.25"},
        {"{StudyDescription}-{AccessionNumber}-{Modality}", {0, ""}, "CT HEAD-ACC9-CT"},
        {"{SeriesNumber}_{SeriesDescription}/{InstanceNumber}", {0, ""}, "3_AX 5mm/42"},
        {"{SOPInstanceUID}/{StudyInstanceUID}/{SeriesInstanceUID}", {0, ""}, "1.2.3.4/1.2.3/1.2.3.9"},
        {"{rel}/{stem}_{frame}", {0, ""}, "cd/series3/IM0042_7"},
        {"x_{rel}", {0, ""}, "x_cd_series3"},  // within a name, the sub-folders' '/' is not a separator
        {"{InstanceNumber:04}_{frame:03}", {0, ""}, "0042_007"},
        {"{InstanceNumber:01}", {0, ""}, "42"},  // never cut to the width
        {"{SeriesNumber:04}", {tags::SeriesNumber, "-3"}, "-3"},  // only plain numbers are padded
        {"{PatientID}/x", {tags::PatientId, "../../etc"}, ".._.._etc/x"},
        {"{PatientID}/x", {tags::PatientId, ".."}, "unknown/x"},
        {"{PatientID}", {tags::PatientId, "a\\b/c"}, "a_b_c"},
        {"{PatientID}", {tags::PatientId, "tab\there\x01\x7f"}, "tab_here__"},
        {"{PatientID}", {tags::PatientId, "a<b>c:d\"e|f?g*"}, "a_b_c_d_e_f_g_"},
        {"{PatientID}", {tags::PatientId, "  spaced out.  "}, "spaced out"},
        {"{PatientID}", {tags::PatientId, "CON"}, "_CON"},
        {"{PatientID}", {tags::PatientId, "nul.txt"}, "_nul.txt"},
        {"{PatientID}", {tags::PatientId, "com7"}, "_com7"},
        {"{PatientID}", {tags::PatientId, "COM10"}, "COM10"},
        {"{PatientID}", {tags::PatientId, "CONSOLE"}, "CONSOLE"},
        {"{PatientID}", {tags::PatientId, ""}, "unknown"},
        {"{PatientID}", {tags::PatientId, "   "}, "unknown"},
        {"{PatientID}_{SeriesNumber}", {tags::PatientId, ""}, "unknown_3"},
        {"{rel}/{stem}", {tags::PatientId, ""}, "cd/series3/IM0042"},
    };
    for (const auto& c : cases) {
        NameValues values = Ct();
        if (c.value.first != 0) values.attributes[c.value.first] = c.value.second;
        EXPECT_EQ(Name(c.pattern, values), c.name) << c.pattern << " with '" << c.value.second << "'";
    }
    NameValues bare = Ct();
    bare.attributes.clear();
    bare.rel.clear();
    EXPECT_EQ(Name("{rel}/{PatientID}/{Modality}", bare), "unknown/unknown");  // no sub-folder: no folder
}

// Long values are cut to 100 bytes without splitting a character, so the name stays valid
// UTF-8 and within every file system's component limit.
TEST(NamePatterns, LongValuesAreCutOnCharacterBoundaries) {
    NameValues values = Ct();
    std::string longName;
    for (int i = 0; i < 60; ++i) longName += "\xC3\xA9";  // é, 2 bytes each
    values.attributes[tags::PatientName] = "x" + longName;
    const std::string name = Name("{PatientName}", values);
    EXPECT_EQ(name.size(), 99u);  // 100 would split the 50th é
    EXPECT_EQ(name, "x" + longName.substr(0, 98));
    // Each value is cut, then the whole name: 99 bytes and the next value's "x".
    EXPECT_EQ(Name("{PatientName}{PatientName}", values), name + "x");
}

// Patterns the converter must refuse before reading any input.
TEST(NamePatterns, BadPatternsAreRefusedWithTheirReason) {
    const struct {
        const char* pattern;
        const char* reason;
    } cases[] = {
        {"{PatientId}", "unknown field {PatientId}"},
        {"{Patient", "unbalanced '{'"},
        {"{Patient{ID}}", "unbalanced '{'"},
        {"Patient}", "unbalanced '}'"},
        {"{InstanceNumber:4}", "padding"},
        {"{InstanceNumber:04x}", "padding"},
        {"{InstanceNumber:00}", "padding"},
        {"{InstanceNumber:}", "padding"},
        {"", "needs a pattern"},
        {"/{PatientID}", "empty"},
        {"{PatientID}//x", "empty"},
        {"{PatientID}/", "empty"},
        {"../{PatientID}", "'..'"},
        {"{PatientID}/./x", "'..'"},
    };
    for (const auto& c : cases) {
        NamePattern pattern;
        std::string error;
        EXPECT_FALSE(ParseNamePattern(c.pattern, pattern, error)) << c.pattern;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.pattern << ": " << error;
    }
}

// Later inputs get _2, _3, ... in list order; a name already made so is skipped, and names
// that differ only in case collide (they would on Windows and macOS).
TEST(NamePatterns, CollisionsTakeSuffixesInInputOrder) {
    EXPECT_EQ(UniqueNames({"a/1", "a/1", "b/1", "a/1", "a/1_2", "A/1", "a/10"}),
              (std::vector<std::string>{"a/1", "a/1_2", "b/1", "a/1_3", "a/1_2_2", "A/1_4", "a/10"}));
}
