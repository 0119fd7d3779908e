// Descriptive attributes: kept by the header step, decoded by their character set.
#include <gtest/gtest.h>

#include "DicomReader.h"
#include "TestSupport.h"

using namespace testsupport;

// Each of pydicom's character set files: the patient's name as the file's set spells it.
// A fault here shows names as mojibake in the window's details and in output file names.
TEST(TextAttributes, PatientNamesInEveryCharacterSet) {
    const fs::path dir = PydicomTestFiles().parent_path() / "charset_files";
    GLINTWISE_NEED_PEER(fs::exists(dir / "chrX2.dcm"), "pydicom's charset_files");
    const struct {
        const char* file;
        const char* name;
    } cases[] = {
        {"chrFren.dcm", "Buc^Jérôme"},
        {"chrGerm.dcm", "Äneas^Rüdiger"},
        {"chrGreek.dcm", "Διονυσιος"},
        {"chrRuss.dcm", "Люкceмбypг"},
        {"chrHbrw.dcm", "שרון^דבורה"},
        {"chrArab.dcm", "قباني^لنزار"},
        {"chrX1.dcm", "Wang^XiaoDong=王^小東="},
        {"chrX2.dcm", "Wang^XiaoDong=王^小东="},
        {"chrH31.dcm", "Yamada^Tarou=山田^太郎=やまだ^たろう"},
        {"chrH32.dcm", "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"},
        {"chrI2.dcm", "Hong^Gildong=洪^吉洞=홍^길동"},
    };
    for (const auto& c : cases) {
        DicomReader reader;
        reader.parseHeader((dir / c.file).c_str());
        EXPECT_EQ(reader.textAttributes().value(tags::PatientName), c.name) << c.file;
    }
}

// Bytes no set maps, unknown escapes and a missing character set never give invalid UTF-8.
TEST(TextAttributes, UndecodableBytesBecomeReplacements) {
    EXPECT_EQ(DecodeDicomText("M\xfcller", ""), "Müller");
    EXPECT_EQ(DecodeDicomText("a\xff" "b", "ISO_IR 192"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(DecodeDicomText("a\x1b%Zb", "ISO_IR 100"), "a\xEF\xBF\xBD%Zb");
    EXPECT_EQ(DecodeDicomText("\xcd", "GB18030"), "\xEF\xBF\xBD");
    EXPECT_EQ(DecodeDicomText("x\xe9", "NO SUCH SET"), "xé");
}
