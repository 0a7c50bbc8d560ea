// One entry point per reader; Dispatch calls them by FormatCode.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

void ReadPnm(Conversion& cv);
void ReadFitsFile(Conversion& cv, uint16_t variant);
// defaultImageNumber: the image converted when none is asked for; -1 for Panasonic raw.
void ReadTiffFamily(Conversion& cv, int16_t defaultImageNumber);
void ReadPds(Conversion& cv);
void ReadGif(Conversion& cv);
void ReadBmp(Conversion& cv);
void ReadPcx(Conversion& cv);
void ReadTga(Conversion& cv);
void ReadSunRaster(Conversion& cv);
void ReadSbig(Conversion& cv);
void ReadSpe(Conversion& cv);
void ReadT1m(Conversion& cv);
void ReadRawBinary(Conversion& cv, uint16_t variant);
void ReadPostScript(Conversion& cv);
void ListRif(Conversion& cv);
void ReadMx5(Conversion& cv);
void ReadImc(Conversion& cv);
void ReadPer(Conversion& cv);
void ReadDicomFile(Conversion& cv);
void ReadCrw(Conversion& cv);
void ReadRaf(Conversion& cv);

} // namespace korv
