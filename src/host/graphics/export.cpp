// PNG and PDF made from a graph's SVG text through librsvg, so that every
// format shows exactly the drawing of the SVG (nothing is drawn a second
// time). Built only where librsvg is found; elsewhere the writers refuse.
#include "host/graphics/export.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "vyr_atomic_file.h"

#ifdef KORV_HAVE_RSVG
#include <cairo-pdf.h>
#include <cairo.h>
#include <librsvg/rsvg.h>
#endif

namespace vgr
{

bool imageExportAvailable()
{
#ifdef KORV_HAVE_RSVG
    return true;
#else
    return false;
#endif
}

#ifdef KORV_HAVE_RSVG
namespace
{

cairo_status_t toFile(void* closure, const unsigned char* data, unsigned int length)
{
    auto* f = static_cast<std::FILE*>(closure);
    return std::fwrite(data, 1, length, f) == length ? CAIRO_STATUS_SUCCESS
                                                     : CAIRO_STATUS_WRITE_ERROR;
}

// The parsed SVG and its size in pixels; null with the reason on failure.
RsvgHandle* load(const std::string& svg, double& w, double& h, std::string& why)
{
    GError* err = nullptr;
    RsvgHandle* handle =
        rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), svg.size(), &err);
    if (!handle) {
        why = err ? err->message : "the SVG could not be read";
        if (err)
            g_error_free(err);
        return nullptr;
    }
    rsvg_handle_set_dpi(handle, 96);
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h) || w <= 0 || h <= 0) {
        why = "the SVG has no size";
        g_object_unref(handle);
        return nullptr;
    }
    return handle;
}

cairo_status_t toString(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// Whether this cairo writes a creation date it is given as a PDF date
// ("D:" and the digits); some versions leave the "D:" out, which makes the
// date unreadable. Tried once on an empty page.
bool writesPdfDates()
{
    static const bool writes = [] {
        std::string out;
        cairo_surface_t* s = cairo_pdf_surface_create_for_stream(toString, &out, 1, 1);
        cairo_pdf_surface_set_metadata(s, CAIRO_PDF_METADATA_CREATE_DATE, "2000-01-01T00:00:00Z");
        cairo_surface_finish(s);
        cairo_surface_destroy(s);
        return out.find("(D:20000101") != std::string::npos;
    }();
    return writes;
}

// The creation date a PDF carries: the time SOURCE_DATE_EPOCH gives (in
// seconds since 1970, UTC), so that a run can be repeated byte for byte;
// without it none, since a clock time would make every run's file differ.
// An empty text leaves the date out.
std::string pdfCreationDate()
{
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0' || !writesPdfDates())
        return std::string();
    char* end = nullptr;
    errno = 0;
    const long long secs = std::strtoll(epoch, &end, 10);
    if (errno != 0 || *end != '\0' || secs < 0 || secs > 253402300799LL) // up to 9999
        return std::string();
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return std::string();
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool render(RsvgHandle* handle, cairo_t* cr, double w, double h, std::string& why)
{
    RsvgRectangle viewport{0, 0, w, h};
    GError* err = nullptr;
    if (!rsvg_handle_render_document(handle, cr, &viewport, &err)) {
        why = err ? err->message : "the SVG could not be drawn";
        if (err)
            g_error_free(err);
        return false;
    }
    return true;
}

} // namespace

bool writeImage(const std::string& svg, std::FILE* out, ImageFormat format, std::string& why)
{
    double w = 0, h = 0;
    RsvgHandle* handle = load(svg, w, h, why);
    if (!handle)
        return false;
    bool ok = out != nullptr;
    if (!ok)
        why = "the file is not open";
    if (ok && format == ImageFormat::Png) {
        // Twice the pixel size, so that the picture stays sharp on a screen
        // of high density and in print.
        constexpr double kScale = 2;
        cairo_surface_t* s =
            cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w * kScale + 0.5),
                                       static_cast<int>(h * kScale + 0.5));
        cairo_t* cr = cairo_create(s);
        cairo_scale(cr, kScale, kScale);
        ok = render(handle, cr, w, h, why);
        cairo_destroy(cr);
        if (ok && cairo_surface_write_to_png_stream(s, toFile, out) != CAIRO_STATUS_SUCCESS) {
            why = std::strerror(errno != 0 ? errno : EIO);
            ok = false;
        }
        cairo_surface_destroy(s);
    } else if (ok) {
        // A pixel is three quarters of a point.
        cairo_surface_t* s = cairo_pdf_surface_create_for_stream(toFile, out, w * 0.75, h * 0.75);
        cairo_pdf_surface_set_metadata(s, CAIRO_PDF_METADATA_CREATE_DATE,
                                       pdfCreationDate().c_str());
        cairo_t* cr = cairo_create(s);
        cairo_scale(cr, 0.75, 0.75);
        ok = render(handle, cr, w, h, why);
        cairo_destroy(cr);
        cairo_surface_finish(s);
        if (ok && cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
            why = cairo_status_to_string(cairo_surface_status(s));
            ok = false;
        }
        cairo_surface_destroy(s);
    }
    g_object_unref(handle);
    return ok;
}

bool writeImage(const std::string& svg, const std::string& path, ImageFormat format,
                std::string& why)
{
    vyr::AtomicFile file;
    if (!file.open(path, why))
        return false;
    if (!writeImage(svg, file.stream(), format, why)) {
        file.abandon();
        return false;
    }
    return file.commit(why);
}

#else

bool writeImage(const std::string&, const std::string&, ImageFormat, std::string& why)
{
    why = "this build of korvante has no PNG or PDF writer (librsvg was not found)";
    return false;
}

bool writeImage(const std::string&, std::FILE*, ImageFormat, std::string& why)
{
    why = "this build of korvante has no PNG or PDF writer (librsvg was not found)";
    return false;
}

#endif

} // namespace vgr
