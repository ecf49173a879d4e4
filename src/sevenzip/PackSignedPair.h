#pragma once

// Packing a file just signed together with its signature file into one 7z archive beside them: what
// the window's "Упаковать файлы 7zip" box and `plombar-cli sign --7z` do after the signature is saved.

#include "platform/Progress.h"
#include "sevenzip/ArchiveWriter.h"

#include <cstddef>
#include <string>

namespace plombar::sevenzip {

inline constexpr char kArchiveCreatedText[] = "Создан архив:";
inline constexpr char kPackingStage[] = "Упаковка"; // the progress dialog's label while packing
inline constexpr UInt32 kSignedPairLevel = 5;
inline constexpr std::size_t kSignedPairMethod = 2; // kArchiveMethodNames[2] = "BZIP2"

// The archive's name for a signature file: the signature path plus ".7z".
std::string signedPairArchivePath(const std::string& signaturePath);

// "Создан архив:" followed directly (no blank) by the archive's full path.
std::string archiveCreatedMessage(const std::string& archivePath);

// Writes signedPairArchivePath(signaturePath): a 7z archive holding the input file and the signature
// file at its top level under their bare names (UTF-16), level 5, method BZip2. An existing archive
// of that name is replaced; a file that no longer exists is left out without a message. Returns the
// archive's path.
//
// `writer` receives the writer as soon as the library is loaded, before anything else can fail, so
// that the caller decides when the library is unloaded: the signing handler keeps it until it ends,
// after the output folder is opened, and lets it go with everything else when an error leaves.
//
// Errors (plombar::Error and its kinds) carry the message the user sees: "Error loading library
// <name>", "<name> is not a 7z library", "<name> is not a Format library", a refused layout, the
// system text of a code the library returns (a refused handler, a rejected property), "Interface not
// supported" (a handler without properties), "Cannot create file "<archive>". <system text>" (the
// archive cannot be written; an existing archive then stays as it was and no partial file is left).
//
// The archive is written on a thread of its own while this thread runs `progress` as the stage
// kPackingStage (saveToFileWithProgress). Whatever `progress` raises (CancelledError) stops the
// library and goes on with nothing written under the archive's name.
std::string packSignedPair(const std::string& inputPath, const std::string& signaturePath,
                           ComPtr<ArchiveWriter>& writer,
                           const std::string& libraryFileName = kLibraryFileName,
                           Progress& progress = ignoredProgress());

} // namespace plombar::sevenzip
