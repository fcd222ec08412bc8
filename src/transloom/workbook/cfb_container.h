// The OLE2 compound file around the BIFF8 stream, through libgsf: take the
// "Workbook" stream out of a file image, and put one into a new file image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "transloom/workbook/biff_records.h"
#include "transloom/workbook/workbook.h"

namespace workbook::cfb {

// True when the bytes begin with the compound file signature.
bool LooksLikeCompoundFile(const std::uint8_t* file, std::size_t size);

// A file holding only a BIFF5 "Book" stream is reported as unsupported.
Status ReadWorkbookStream(const std::uint8_t* file, std::size_t size,
                          std::vector<std::uint8_t>* stream);

// Writes `stream` under `streamName` ("Workbook" unless a test needs
// another) into a new compound file image.
Status WriteWorkbookFile(const std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>* file,
                         const char* streamName = biff::kWorkbookStreamName);

}  // namespace workbook::cfb
