#pragma once

// Pseudo-colour table files. Four formats, chosen by the table kind:
//   3  binary, 768 bytes: 256 entries of red, green, blue (".lt1")
//   2  binary, 768 bytes: 256 red values, then 256 green, then 256 blue (".lt2")
//   1  text: 256 lines "r g b", values 0 to 255 (".lt3" and any other extension)
//   0  text: a header line "QORLUT <entries> <maxval>", then that many lines "r g b" with values
//      0 to maxval (2 to 4096 entries, maxval up to 65535), resampled to 256 entries (".lt4")
// In the text formats, empty lines and lines starting with '#' are ignored.
#include <cstdint>
#include <string>

#include "sim/convert/converter.h"

namespace qorsim::conv {

enum class LutResult { Ok, Unreadable, Malformed };

/// Reads a table file of the kind (0 to 3) into `lut`, which is left unchanged on failure.
LutResult readLutFile(const std::string& path, int kind, PseudoLut& lut);

/// Parses the contents of a table file of the kind.
LutResult parseLut(const std::string& contents, int kind, PseudoLut& lut);

}  // namespace qorsim::conv
