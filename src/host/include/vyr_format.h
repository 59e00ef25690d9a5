// The host's format engine: turns numbers and texts into fixed-width fields
// under a format (BESTw., w.d, Ew., $w., $CHARw., PERCENTw.d, DATEw., TIMEw.,
// DATETIMEw.). One engine serves the data sets (formatted fetch), the output
// layer and the plots. Implemented in src/host/data.
//
// Dates are days since 1960-01-01, times seconds since midnight, date-times
// seconds since 1960-01-01 00:00:00. Missing values print as "." or their
// letter (".A" prints "A", "._" prints "_"), right-justified.
#pragma once

#include <string>
#include <string_view>

struct NAMESTR;
struct DSHANDLE;

// ---------------------------------------------------------------------------
// The C++ API.
namespace vyr::fmt
{

struct FormatDesc {
    std::string name; // upper case, without width: "BEST", "", "E", "$", "$CHAR", "PERCENT",
                      // "DATE", "TIME", "DATETIME"; "" with a width is the w.d format
    int width = 0;    // 0: the format's default width
    int decimals = 0;
    bool hasDecimals = false;
    bool character() const { return !name.empty() && name[0] == '$'; }
};

// Parses a format text such as "BEST12.", "8.2", "e10.", "$char20.",
// "percent8.1", "date9.", "DATETIME." (a trailing period is optional; the
// period is required to separate decimals). False for an unknown format name
// or a malformed text.
bool parse(std::string_view text, FormatDesc& out);

// The canonical text of a format description ("BEST12.", "8.2", "$CHAR10."), "" for none.
std::string text(const FormatDesc& desc);

// The default width of a format (BEST 12, w.d 8, E 12, $ 8, PERCENT 6, DATE 7,
// TIME 8, DATETIME 16).
int default_width(const FormatDesc& desc);

// A number in exactly width(desc) characters, right-justified. A value that
// does not fit is shown in scientific notation when that fits, else as
// asterisks. A character format given a number falls back to BEST.
std::string format_number(double value, const FormatDesc& desc);
// The same with the format given as text; an unknown format uses BEST of the
// width given by `width` (or 12).
std::string format_number(double value, std::string_view format_text);
// Automatic formatting in `width` characters (BESTw.), right-justified.
std::string best(double value, int width);
// Automatic formatting without padding: the shortest text that keeps the
// value readable in at most 12 characters ("3.5", "1E-12", "." for missing).
std::string best_trim(double value);

// A text in exactly width(desc) characters, left-justified and blank padded,
// cut when longer. Width 0 (no width given) keeps the text as it is.
std::string format_text(std::string_view value, const FormatDesc& desc);

// A value under a descriptor's format (numeric or character): what the
// formatted fetch delivers. Without a format a numeric value uses BEST12. and
// a character value its own text; `width` 0 uses the format's width.
std::string format_value(const NAMESTR& nm, const void* value, int width = 0);

// The format a descriptor's values are shown with by the formatted read
// (format_value with width 0): its own format when the host knows it and it
// suits the variable's type, else BEST12. for a number and $CHARw. (w the
// stored length) for a text; the width is always filled in.
FormatDesc resolve(const NAMESTR& nm);

} // namespace vyr::fmt

// ---------------------------------------------------------------------------
// Procedure-facing services.

// A number in a fixed field of |width| bytes at `buffer` (no NUL):
// right-justified, or left-justified when width is negative. decimals 99 means
// automatic (BEST); otherwise a fixed number of decimals. Returns 0.
int xpfs(double value, int width, int decimals, char* buffer);

// Request block of xfxbpn.
struct WZ_FMTPAR {
    int w = 0;                  // format width (0: the format's default)
    int d = 0;                  // decimals
    const void* from = nullptr; // the value: a double when fromw is 8 and the format is
                                // numeric, else fromw characters
    int fromw = 0;
    char* to = nullptr; // target buffer
    int tow = 0;        // its length; the result is blank padded to it
    int flags = 0;
    int reserved = 0;
};

// Formats the value of request `par` through format `fmtcode` (a descriptor's
// nfcode, from vyr_format_code or xffile) into par->to, right-justified for
// numbers, blank padded to tow. Returns 0, or a negative code for an unknown
// format code (the field is then filled with BEST).
int xfxbpn(WZ_FMTPAR* par, int fmtcode);

// Kernel formats for worker threads (the formatting extension "qxefmt").
// Loads, for each of the n variables numbered in `list` (code 70), a kernel
// format that formats as the formatted read (xvget1v) does before it fits
// the text to the width asked for: the format resolve() gives, at its own
// width for a number and at least the stored length for a text (that width
// in the format's FmtPar.w), reading a double (in_which 0) or the stored
// characters (1) and writing host characters (out_which 1). Each load makes a new format, left in
// the variable's descriptor (nqxfmthandl) for the caller to take; the caller releases it with its
// release operation. `anchor`, `locale` and `journal` are accepted and not read; `ext` is the
// loaded "qxefmt" extension. Returns 0, or a negative code (no extension, a bad variable number, a
// format that could not be made; nqxfmthandl is then null).
int xfrfilet(void* anchor, const char* locale, DSHANDLE* ds, int code, const int* list, int n,
             void* journal, void* ext);
// Deletes a variable's loaded format code. Format codes are shared for the
// whole run here, so nothing needs deleting; returns 0.
int xfrdel(void* anchor, int nfcode);

// The format code of a format text (registered on first use; stable for the
// run), 0 when the text is not a known format.
int vyr_format_code(std::string_view format_text);
// The format description behind a format code (null for 0 or an unknown code).
const vyr::fmt::FormatDesc* vyr_format_desc(int fmtcode);
