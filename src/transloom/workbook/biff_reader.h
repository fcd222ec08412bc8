// Reads the cells of every worksheet out of a BIFF8 workbook stream. Every
// length and offset is checked against the stream; a damaged or hostile
// stream gives an error, never a read outside it or an endless walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "transloom/workbook/workbook.h"

namespace workbook {

Status ReadBiffStream(const std::uint8_t* stream, std::size_t size,
                      std::vector<std::unique_ptr<Sheet>>* sheets);

}  // namespace workbook
