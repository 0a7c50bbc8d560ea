// The parts of the TIFF-family reader that live in separate files: the tag
// handlers of the main directory walk, and the unpacking of the chosen image.
#pragma once

#include "readers/tiff/tiff_container.h"

namespace korv {

// Starts a directory from the TIFF defaults of the image structure.
void ResetDirectoryState(TiffReader& t);
// Applies the handler of a tag of the image structure; false when the tag is
// not one of them (the metadata hook then takes it). Appends the label to t.Line.
bool HandleImageTag(TiffReader& t, const TiffEntry& e);
// "rvba={r,v,b,a}" or "rvb={r,v,b}" with the channel weights of the options.
std::string ChannelWeightsText(const ImageState& st, bool four);

// Chooses the unpack mode of the image from its bit layout (when no rule did).
void ChooseUnpackMode(TiffReader& t);
// Refuses, before any output, a geometry whose data the file cannot hold.
void CheckImageData(TiffReader& t);
// Decodes every row of the chosen image and hands it to the output.
void DecodeTiffRows(TiffReader& t);

} // namespace korv
