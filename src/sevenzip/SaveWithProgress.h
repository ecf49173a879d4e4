#pragma once

// Saving an archive while the caller's thread shows its progress and may cancel it.

#include "platform/Progress.h"
#include "sevenzip/ArchiveWriter.h"

#include <string>
#include <string_view>

namespace plombar::sevenzip {

// Writes the archive of `writer`'s items to `fileName` as saveToFile does (whole or not at all; an
// existing file stays as it was after any failure), but on a thread of its own: the calling thread
// meanwhile runs `progress` as stage `stage` with the library's total and counts, and calls it at
// least every few hundredths of a second even while the library reports nothing, so that a window
// behind it keeps repainting. The stage begins (with an unknown total) before the file is created.
//
// When `progress` raises (CancelledError once the user cancelled), the library's next progress call
// answers E_ABORT, the save's thread is waited for, nothing is written under `fileName` and the
// exception goes on. The library's own errors are raised on the calling thread as saveToFile raises
// them. The writer's progress callback is taken for the save and cleared afterwards.
void saveToFileWithProgress(ArchiveWriter& writer, const std::string& fileName, Progress& progress,
                            std::string_view stage);

} // namespace plombar::sevenzip
