// Output data sets: variable definitions bound to addresses or record
// offsets, rows written as CSV to a temporary file, and the commit (rename)
// or drop at step end.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "data_internal.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_session.h"

using namespace vyr::data;

void vyr_data_note_created(const std::string& name);
XVHANDLE* vyr_data_keep_vector(std::unique_ptr<XVHANDLE> h);

namespace
{

constexpr size_t kFlushAt = 1 << 20;
constexpr int kMsgWorkNotKept = 6064;

// Whether the run said that its WORK data sets are not kept.
std::atomic<bool> g_saidNotKept{false};

Output* output_of(XVHANDLE* h)
{
    if (h == nullptr || h->kind != 2 || h->ds == nullptr || !h->ds->out)
        return nullptr;
    return h->ds->out.get();
}

std::string format_text_of(const NAMESTR& nm)
{
    if (nm.nformlongl <= 0 && nm.nfl <= 0)
        return {};
    std::string name = nm.nformlongl > 0 ? std::string(nm.nformlong, nm.nformlongl)
                                         : std::string(nm.nform, nm.nfl);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    if (name == "F")
        name.clear();
    vyr::fmt::FormatDesc desc;
    std::string t = name + (nm.nflen > 0 ? std::to_string(nm.nflen) : std::string()) + "." +
                    (nm.nfd > 0 ? std::to_string(nm.nfd) : std::string());
    if (!vyr::fmt::parse(t, desc))
        return {};
    return vyr::fmt::text(desc);
}

std::string text_of(const char* p, int len)
{
    if (p == nullptr || len <= 0)
        return {};
    std::string s(p, static_cast<size_t>(len));
    size_t z = s.find('\0');
    if (z != std::string::npos)
        s.resize(z);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Notes the first failure of an output data set's writes, with its reason.
void note_failure(Output& o, const std::string& why)
{
    if (!o.failed)
        o.why = why;
    o.failed = true;
}

int write_buffer(DSHANDLE* ds)
{
    Output& o = *ds->out;
    if (o.buffer.empty())
        return 0;
    std::FILE* f = o.file.stream();
    errno = 0;
    if (f == nullptr || std::fwrite(o.buffer.data(), 1, o.buffer.size(), f) != o.buffer.size()) {
        note_failure(o, f == nullptr ? "the file is not open"
                                     : std::strerror(errno != 0 ? errno : EIO));
        o.buffer.clear();
        return vyr_code(kFacility, 40);
    }
    o.written.update(o.buffer.data(), o.buffer.size());
    o.buffer.clear();
    return 0;
}

void write_header(DSHANDLE* ds)
{
    Output& o = *ds->out;
    if (o.headerWritten)
        return;
    o.headerWritten = true;
    for (size_t i = 0; i < o.vars.size(); ++i) {
        if (i)
            o.buffer += ',';
        append_text_field(o.buffer, o.vars[i].name);
    }
    o.buffer += '\n';
}

// The attribute file's text: the CSV file it goes with (its size and
// digest), the data set's label and each variable's type, length, format
// and label.
std::string sidecar_text(const DSHANDLE* ds)
{
    const Output& o = *ds->out;
    std::string s = "# Attributes of " + ds->display + "\n";
    s += "# csv size=" + std::to_string(o.written.size()) +
         " digest=" + digest_text(o.written.finish()) + "\n";
    if (!ds->label.empty())
        s += "dataset label=" + sidecar_quote(ds->label) + "\n";
    for (const OutVar& v : o.vars) {
        s += "variable " + sidecar_quote(v.name) + " type=" + (v.numeric ? "num" : "char") +
             " length=" + std::to_string(v.length);
        if (!v.format.empty())
            s += " format=" + v.format;
        if (!v.label.empty())
            s += " label=" + sidecar_quote(v.label);
        s += "\n";
    }
    return s;
}

// Completes a data set's files under their temporary names: the CSV file
// (its rows already written), then its attribute file beside it, which
// names the CSV file's size and digest and so is written once the CSV file
// is whole (and is never older than it). A device or a pipe (nothing to
// replace), or a descriptor's name, gets the CSV text only. On failure
// `why` says what went wrong.
bool complete_data_set(DSHANDLE* ds, std::string& why)
{
    Output& o = *ds->out;
    if (o.file.temp_path().empty() || o.file.through() >= 0)
        return o.file.finish(why);
    if (!o.file.finish(why))
        return false;
    const std::string side = sidecar_path(ds->path);
    const std::string text = sidecar_text(ds);
    if (!o.attr.open(side, why, o.library.get())) {
        why = side + ": " + why;
        return false;
    }
    o.attr.may_replace_data_sets();
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), o.attr.stream()) != text.size()) {
        why = side + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    if (!o.attr.finish(why)) {
        why = side + ": " + why;
        return false;
    }
    return true;
}

} // namespace

int xvputi(DSHANDLE* ds, int count, int flags, XVHANDLE** handle)
{
    if (handle)
        *handle = nullptr;
    if (ds == nullptr || !ds->out || handle == nullptr)
        return vyr_code(kFacility, 30);
    Output& o = *ds->out;
    if (o.defined || o.headerWritten)
        return vyr_code(kFacility, 41);
    o.defining = true;
    o.vars.reserve(static_cast<size_t>(std::max(count, 0)));
    auto h = std::make_unique<XVHANDLE>();
    h->kind = 2;
    h->ds = ds;
    // Kept with the step's other vectors (freed at step end).
    *handle = vyr_data_keep_vector(std::move(h));
    return 0;
}

static bool name_taken(const Output& o, const std::string& name)
{
    for (const OutVar& v : o.vars)
        if (strcasecmp(v.name.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

int xvputd(XVHANDLE* handle, const NAMESTR* nm, long offset, const void* address, int length,
           int reserved1, int reserved2)
{
    Output* o = output_of(handle);
    if (o == nullptr || nm == nullptr)
        return vyr_code(kFacility, 34);
    if (o->defined || o->headerWritten)
        return vyr_code(kFacility, 41);
    OutVar v;
    v.name = text_of(nm->name_p, nm->namelen);
    if (v.name.empty())
        return vyr_code(kFacility, 42);
    if (name_taken(*o, v.name)) {
        xpmlog(kGroup, 17, v.name.c_str(), handle->ds->display.c_str());
        return vyr_code(kFacility, 43);
    }
    v.label = text_of(nm->label_p, nm->nlablen);
    v.numeric = nm->ntype != 2;
    v.length = vyr_namestr_length(*nm);
    v.format = format_text_of(*nm);
    v.offset = offset;
    v.address = address;
    v.vlen = length > 0 ? length : v.length;
    if (!v.numeric)
        v.vlen = std::min(v.vlen, v.length);
    o->vars.push_back(std::move(v));
    return 0;
}

int xvpute(XVHANDLE* handle)
{
    Output* o = output_of(handle);
    if (o == nullptr)
        return vyr_code(kFacility, 34);
    o->defining = false;
    o->defined = true;
    handle->ended = true;
    write_header(handle->ds);
    return 0;
}

int xvputcv(XVHANDLE* handle, DSHANDLE* input, const int* list, int nvar, int* ovlist)
{
    Output* o = output_of(handle);
    if (o == nullptr || input == nullptr || input->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 34);
    if (o->defined || o->headerWritten)
        return vyr_code(kFacility, 41);
    int n = list ? nvar : static_cast<int>(input->table.cols.size());
    int rc = 0;
    for (int i = 0; i < n; ++i) {
        int var = list ? std::abs(list[i]) : i + 1;
        if (var < 1 || var > static_cast<int>(input->table.cols.size())) {
            rc = vyr_code(kFacility, 33);
            if (ovlist)
                ovlist[i] = 0;
            continue;
        }
        Column& c = input->table.cols[static_cast<size_t>(var) - 1];
        c.wanted = true; // copied values are read with the other bound columns
        if (name_taken(*o, c.name)) {
            xpmlog(kGroup, 17, c.name.c_str(), handle->ds->display.c_str());
            if (ovlist)
                ovlist[i] = 0;
            continue;
        }
        OutVar v;
        v.name = c.name;
        v.label = c.label;
        v.numeric = c.numeric;
        v.length = c.numeric ? 8 : c.length;
        v.format = c.format;
        v.vlen = v.length;
        v.copyFrom = input;
        v.copyVar = var;
        o->vars.push_back(std::move(v));
        if (ovlist)
            ovlist[i] = static_cast<int>(o->vars.size());
    }
    return rc;
}

int xyvput(XVHANDLE* handle, const void* record)
{
    Output* o = output_of(handle);
    if (o == nullptr)
        return vyr_code(kFacility, 34);
    DSHANDLE* ds = handle->ds;
    if (o->closed) {
        o->lastWriteRc = vyr_code(kFacility, 44);
        return o->lastWriteRc;
    }
    if (!o->headerWritten) {
        o->defined = true;
        write_header(ds);
    }
    const char* rec = static_cast<const char*>(record);
    std::string& b = o->buffer;
    for (size_t i = 0; i < o->vars.size(); ++i) {
        const OutVar& v = o->vars[i];
        if (i)
            b += ',';
        if (v.copyFrom != nullptr) {
            DSHANDLE* in = v.copyFrom;
            long obs = in->cur;
            if (obs < in->gs || obs >= in->ge)
                obs = in->gs;
            if (obs < 0 || obs >= in->table.nobs) {
                if (v.numeric)
                    b += '.';
                continue;
            }
            const Column& c = in->table.cols[static_cast<size_t>(v.copyVar) - 1];
            if (!c.loaded && !load_columns(in->table, v.copyVar - 1)) {
                note_failure(*o, "the values to copy from " + in->display + " could not be read");
                if (v.numeric)
                    b += '.';
                continue;
            }
            if (c.numeric)
                append_number(b, c.num[static_cast<size_t>(obs)]);
            else {
                std::string s(c.chars(obs));
                while (!s.empty() && s.back() == ' ')
                    s.pop_back();
                append_text_field(b, s);
            }
            continue;
        }
        const char* p =
            v.address ? static_cast<const char*>(v.address) : (rec ? rec + v.offset : nullptr);
        if (p == nullptr) {
            if (v.numeric)
                b += '.';
            continue;
        }
        if (v.numeric) {
            double d;
            std::memcpy(&d, p, sizeof d);
            append_number(b, d);
        } else {
            append_text_field(b, text_of(p, v.vlen));
        }
    }
    b += '\n';
    ++o->rows;
    int rc = 0;
    if (b.size() >= kFlushAt)
        rc = write_buffer(ds);
    o->lastWriteRc = rc;
    return rc;
}

int xoadd(DSHANDLE* ds)
{
    if (ds == nullptr || !ds->out)
        return vyr_code(kFacility, 30);
    return ds->out->lastWriteRc;
}

int xoadd(XO_PARMS* parms)
{
    if (parms == nullptr)
        return vyr_code(kFacility, 30);
    parms->rc = xoadd(parms->ds);
    return parms->rc;
}

namespace vyr::data
{

void reset_not_kept_note()
{
    g_saidNotKept.store(false);
}

int open_output_file(DSHANDLE* ds)
{
    std::string why;
    // A library's data set is written in the folder the step reached under
    // its library's path, or in one inside it: a link at its name that
    // leads out is judged where the file is made, not only by a look before.
    if (ds->confined) {
        ds->out->library = vyr::step_folder(vyr::folder_of(ds->path), false, why);
        if (ds->out->library == nullptr) {
            xpmlog(kGroup, 12, ds->display.c_str(), why.c_str());
            return vyr_code(kFacility, 12);
        }
    }
    if (!ds->out->file.open(ds->path, why, ds->out->library.get())) {
        xpmlog(kGroup, 12, ds->display.c_str(), why.c_str());
        return vyr_code(kFacility, 12);
    }
    ds->out->file.may_replace_data_sets();
    return 0;
}

} // namespace vyr::data

// Completes an output data set's files under their temporary names: the
// rows still buffered, then the attribute file. Nothing is put in place yet:
// the step's other files (graphs, other data sets) are completed too before
// any of them is. A data set that fails says which one and why, and is
// dropped.
int vyr_data_complete_output(DSHANDLE* ds)
{
    Output& o = *ds->out;
    if (o.closed || o.completed)
        return 0;
    if (!o.failed) {
        write_header(ds);
        write_buffer(ds);
    }
    if (!o.failed && o.vars.empty()) {
        // Nothing was defined (the step stopped short of it): an empty file
        // would not even read back, so none is made.
        xpmlog(kGroup, 23, ds->display.c_str());
        o.file.abandon();
        o.closed = true;
        return 0;
    }
    std::string why = o.why;
    if (o.failed || !complete_data_set(ds, why)) {
        o.file.abandon();
        o.attr.abandon();
        o.closed = true;
        // A failure the procedure reported (xofprc) was said with its
        // reason then.
        if (!ds->writeReported)
            xpmlog(kGroup, 12, ds->display.c_str(), why.empty() ? "unknown error" : why.c_str());
        return vyr_code(kFacility, 12);
    }
    o.completed = true;
    return 0;
}

// Hands a completed data set's files to the step's files, its attribute
// file first: they are put in place with them (all or none, under the
// library folder's lock, so that a reader, who shares the lock, never sees
// the CSV file of one run with the attribute file of another), or dropped
// with them. Outside a step they are put in place at once. A data set that
// fails says which one and why.
// The order matters to readers that do not share the lock: a writer
// stopped between the two renames (or killed there) leaves a new attribute
// file beside the old CSV file, never the other way round, so a reader that
// finds an attribute file naming another CSV file and not older than the
// one beside it knows it for a placing not yet done (see read_pair).
int vyr_data_hand_output(DSHANDLE* ds)
{
    Output& o = *ds->out;
    if (o.closed || !o.completed || o.handed)
        return 0;
    const std::string what = "the output data set " + ds->display;
    std::string why;
    if (!o.attr.hand_to_step(what, why) || !o.file.hand_to_step(what, why)) {
        o.file.abandon();
        o.attr.abandon();
        o.closed = true;
        xpmlog(kGroup, 12, ds->display.c_str(), why.c_str());
        return vyr_code(kFacility, 12);
    }
    o.handed = true;
    if (!vyr::step_files_open()) {
        const vyr::Placing placed = vyr::place_step_files();
        if (!placed.ok) {
            o.closed = true;
            xpmlog(kGroup, 12, ds->display.c_str(), placed.why.c_str());
            return vyr_code(kFacility, 12);
        }
    }
    return 0;
}

// Ends an output data set. Committed, its files are completed and handed to
// the step's files if they were not yet (and put in place at once outside a
// step); once in place it is said. Dropped, any earlier file of its name is
// left as it was, and a data set the step wrote to is said not to be
// replaced (one whose files were handed to the step's placing, which
// failed, was said there).
int vyr_data_finish_output(DSHANDLE* ds, bool commit)
{
    Output& o = *ds->out;
    if (commit && !o.handed) {
        if (const int rc = vyr_data_complete_output(ds); rc != 0)
            return rc;
        if (const int rc = vyr_data_hand_output(ds); rc != 0)
            return rc;
    }
    if (o.closed)
        return 0;
    o.closed = true;
    if (!commit) {
        o.file.abandon();
        o.attr.abandon();
        if (!o.handed && (o.rows > 0 || o.defined))
            xpmlog(kGroup, 14, ds->display.c_str());
        return 0;
    }
    xpmlog(kGroup, 13, ds->display.c_str(), o.rows, static_cast<int>(o.vars.size()));
    vyr_data_note_created(ds->display);
    // Without --out, WORK is a temporary folder that goes when the run ends:
    // said once, so that no one looks for the files afterwards (and only of
    // a data set written there: WORK is never any other folder then).
    if (ds->lib == "WORK" && vyr_work_is_temporary() && !g_saidNotKept.exchange(true))
        xpmlog(kGroup, kMsgWorkNotKept, ds->display.c_str());
    return 0;
}
