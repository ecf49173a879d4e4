#include "sevenzip/PackSignedPair.h"

#include "platform/Paths.h"
#include "sevenzip/SaveWithProgress.h"

namespace plombar::sevenzip {

std::string signedPairArchivePath(const std::string& signaturePath) {
    return signaturePath + ".7z";
}

std::string archiveCreatedMessage(const std::string& archivePath) {
    return std::string(kArchiveCreatedText) + archivePath;
}

std::string packSignedPair(const std::string& inputPath, const std::string& signaturePath,
                           ComPtr<ArchiveWriter>& writer, const std::string& libraryFileName,
                           Progress& progress) {
    writer = createArchiveWriter(kClassId7zFormat, libraryFileName);
    // Bare names only: the archive unpacks into the pair itself, not into the folders it came from.
    writer->addFile(inputPath, utf8ToUtf16(fileNameOf(inputPath)));
    writer->addFile(signaturePath, utf8ToUtf16(fileNameOf(signaturePath)));
    setLevelProperty(*writer, kSignedPairLevel);
    setMethodProperty(*writer, kSignedPairMethod);
    const std::string archivePath = signedPairArchivePath(signaturePath);
    saveToFileWithProgress(*writer, archivePath, progress, kPackingStage);
    return archivePath;
}

} // namespace plombar::sevenzip
