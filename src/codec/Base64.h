#pragma once

// Stream-to-stream Base64 (RFC 4648 alphabet, "=" padding) as the signature files use it.

#include "platform/Streams.h"

namespace plombar {

// Reads `input` from its current position to its end and writes padded Base64 text at the current
// position of `output`: lines of exactly 76 characters, each full line followed by CR LF, no break
// after a shorter last line. The input is read in blocks of 510 bytes and each block's text goes out
// in one write (a final write of 0 bytes follows the last block). Neither stream is rewound or
// truncated; the output position ends after the text. Errors of the streams pass through, and a
// short write raises StreamError ("Stream write error"); what was written before stays.
void Base64EncodeStream(TStream& input, TStream& output);

// Reads `input` from its current position to its end and writes the decoded bytes at the current
// position of `output`. Every byte outside the alphabet and "=" is dropped wherever it stands; the
// text is decoded in cycles of up to 76 accepted characters, one write per cycle, and a pad shortens
// only its own quantum, so Base64 texts written one after another decode one after another. Nothing
// is validated and no error of its own is raised, except StreamError ("Stream write error") for a
// short write.
void Base64DecodeStream(TStream& input, TStream& output);

} // namespace plombar
