// The PNG decoder TTavPNGReadStream and encoder TTavPNGWriteStream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "codec/TavStream.h"
#include "codec/TavZLIB.h"
#include "platform/Exceptions.h"

class TBitmap;

// Format errors of the PNG codec, with fixed English messages.
class ETavPNG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

// Row events: transform Count bytes at Row in place with Key.
using TPNGRowEvent = std::function<void(TObject* sender, uint8_t* row, int32_t count, int32_t rowIndex,
                                        const std::string& key)>;
using TPNGKeyRequestEvent = std::function<void(TObject* sender, std::string& key)>;

// "Tav3" read as a big-endian number: the marker of the private chunk tpNG.
constexpr uint32_t TpngMarker = 0x54617633;

// ---- decoder ---------------------------------------------------------

// ---- encoder ---------------------------------------------------------
