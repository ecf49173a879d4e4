#include "sevenzip/PackSignedPair.h"

#include "platform/Paths.h"

namespace plombar::sevenzip {

std::string SignedPairArchivePath(const std::string& signaturePath) {
    return signaturePath + ".7z";
}

std::string ArchiveCreatedMessage(const std::string& archivePath) {
    return std::string(kArchiveCreatedText) + archivePath;
}

std::string PackSignedPair(const std::string& inputPath, const std::string& signaturePath,
                           ComPtr<I7zArchiveWriter>& writer, const std::string& libraryFileName) {
    writer = CreateArchiveWriter(ClassId7zFormat, libraryFileName);
    // Bare names only: the archive unpacks into the pair itself, not into the folders it came from.
    writer->AddFile(inputPath, utf8ToUtf16(fileNameOf(inputPath)));
    writer->AddFile(signaturePath, utf8ToUtf16(fileNameOf(signaturePath)));
    SetLevelProperty(*writer, kSignedPairLevel);
    SetMethodProperty(*writer, kSignedPairMethod);
    const std::string archivePath = SignedPairArchivePath(signaturePath);
    writer->SaveToFile(archivePath);
    return archivePath;
}

} // namespace plombar::sevenzip
