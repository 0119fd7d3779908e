#include "RefusalWords.h"

#include "TransferSyntax.h"

namespace {

// The reader's reason after its leading "cannot open the file: ".
std::string AfterColon(const std::string& text) {
    const size_t colon = text.find(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

RefusalWords SyntaxWords(const std::string& uid) {
    const TransferSyntax* syntax = FindTransferSyntax(uid);
    if (syntax != nullptr && syntax->encapsulated)
        return {"This file's pixel data is compressed as %1, which cannot be read yet.", syntax->name};
    return {"This file's data is encoded as %1, which cannot be read yet.", syntax != nullptr ? syntax->name : uid};
}

// The reader names the storage class in parentheses when it knows it.
RefusalWords NoPictureWords(const std::string& text) {
    const size_t open = text.find('(');
    if (open != std::string::npos && text.back() == ')')
        return {"This file holds no picture (%1).", text.substr(open + 1, text.size() - open - 2)};
    return {"This file holds no picture.", ""};
}

}  // namespace

RefusalWords WordsForRefusal(const DicomReader& reader) {
    const std::string& text = reader.refusalText();
    switch (reader.refusal()) {
    case DicomRefusal::CannotOpen: return {"This file cannot be opened (%1).", AfterColon(text)};
    case DicomRefusal::NotDicom: return {"not a DICOM file", ""};
    case DicomRefusal::TransferSyntax:
        // An encoding the reader knows but has no decoder for names itself in the text.
        return SyntaxWords(reader.transferSyntax());
    case DicomRefusal::Layout: return {"This file's picture is stored in a way that cannot be shown yet (%1).", text};
    case DicomRefusal::NoPixelData: return NoPictureWords(text);
    case DicomRefusal::Rendering: return {"The grey levels asked for cannot be applied to this file (%1).", text};
    case DicomRefusal::Damaged:
    case DicomRefusal::None: break;
    }
    return {"This file is damaged (%1).", text.empty() ? "no picture could be read" : text};
}

std::string EnglishWords(const RefusalWords& words) {
    std::string text = words.message;
    const size_t mark = text.find("%1");
    if (mark != std::string::npos) text.replace(mark, 2, words.argument);
    return text;
}

bool IsUnreadable(DicomRefusal refusal) {
    return refusal == DicomRefusal::CannotOpen || refusal == DicomRefusal::NotDicom ||
           refusal == DicomRefusal::Damaged || refusal == DicomRefusal::None;
}
