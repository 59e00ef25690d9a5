// PNG and PDF files of a graph, made from its SVG text through librsvg.
#pragma once

#include <cstdio>
#include <string>

namespace vgr
{

enum class ImageFormat { Png, Pdf };

// Whether this build can write PNG and PDF (librsvg was found at build time).
bool imageExportAvailable();
// Writes the picture of `svg` to `path` (whole or not at all); false with
// the reason in `why`.
bool writeImage(const std::string& svg, const std::string& path, ImageFormat format,
                std::string& why);
// Writes the picture of `svg` to the open stream `out`; false with the
// reason in `why` (a write error of the stream shows when it is closed).
bool writeImage(const std::string& svg, std::FILE* out, ImageFormat format, std::string& why);

} // namespace vgr
