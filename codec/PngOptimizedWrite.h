// The optimising save: the picture's exact pixels in the smallest colour
// type and bit depth that holds them, with the filter and compressor search.
#pragma once

class TTavPNGWriteStream;

// Writes the whole file, signature to IEND, for the encoder's bitmap, mask
// and settings; EncodeImage hands over once it has validated the mask and
// read the palette. The pixels kept are those a reader sees in the normal
// save's file (the grey levels when Grayscale is set), with the mask's
// alpha; every chunk of the normal save is written, the colour-dependent
// ones (sBIT, PLTE, bKGD, tRNS) re-encoded for the chosen layout.
void WriteOptimizedImage(TTavPNGWriteStream& encoder);
