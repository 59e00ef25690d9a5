// Data sets: opening by name, libraries, variables and descriptors, fetch
// vectors, observation reading and BY groups.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "data_internal.h"
#include "host/messages/catalogue.h"
#include "host/session/session_state.h"
#include "vyr_atomic_file.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_session.h"
#include "vyr_text.h"

using namespace vyr::data;

namespace
{

using vyr::upper;

// Handles opened in the running step, and the fetch/definition vectors.
struct Registry {
    std::vector<std::unique_ptr<DSHANDLE>> sets;
    std::vector<std::unique_ptr<XVHANDLE>> vectors;
    std::string lastCreated;
    // The data sets (as "LIB.MEMBER") this run has made so far.
    std::set<std::string> created;
    bool hooked = false;
};
Registry& reg()
{
    static Registry r;
    return r;
}
std::recursive_mutex g_mutex;

bool is_dir(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A data set looked for in a library folder (member_file).
struct Found {
    vyr::HeldRef folder;  // the folder, as the walk of its path held it
    std::string path;     // its CSV file, as messages name it
    bool exists = false;  // a file of its name is there
    std::string unlisted; // why the folder could not be listed
    std::string refused;  // why its path was not followed
};

// The file of member `member` in folder `dir`: an existing file whose name
// matches "<member>.csv" ignoring case (exact case preferred), else
// "<dir>/<member>.csv". The folder is the step's (step_folder: walked once
// in the step, and held), read through the descriptor held, which the data
// set's files are then read from and written in: no name swapped meanwhile
// leads a read or a write elsewhere. A folder that
// may be searched but not listed (mode 711) is tried under the name as
// written, in lower and in upper case; `unlisted` then says why it could
// not be listed. A path that meets another user's link in a shared folder
// is `refused`, and one that leads nowhere has no such file.
Found member_file(const std::string& dir, const std::string& member)
{
    Found f;
    const std::string want = member + ".csv";
    const std::string sep = (!dir.empty() && dir.back() == '/') ? "" : "/";
    f.path = dir + sep + want;
    std::string why;
    bool refused = false, missing = false;
    f.folder = vyr::step_folder(dir, false, why, &refused, &missing);
    if (f.folder == nullptr) {
        if (refused)
            f.refused = why;
        else if (!missing)
            f.unlisted = why;
        return f;
    }
    std::string found;
    const int listed = ::openat(f.folder->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (d != nullptr) {
        while (dirent* ent = readdir(d)) {
            if (strcasecmp(ent->d_name, want.c_str()) == 0) {
                if (found.empty() || want == ent->d_name)
                    found = ent->d_name;
            }
        }
        closedir(d);
    } else {
        const int err = errno;
        if (listed >= 0)
            ::close(listed);
        std::string lower = want, up = want;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : up)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        up.replace(up.size() - 4, 4, ".csv");
        struct stat st;
        for (const std::string& name : {want, lower, up})
            if (found.empty() &&
                ::fstatat(f.folder->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                found = name;
        if (found.empty())
            f.unlisted = std::strerror(err);
    }
    if (!found.empty()) {
        f.exists = true;
        f.path = dir + sep + found;
    }
    return f;
}

int step_end(bool ok);
int step_hand();

void hook_step_end()
{
    Registry& r = reg();
    if (r.hooked)
        return;
    r.hooked = true;
    // A step that completed its work completes its data sets' files and
    // hands them to the step's files, which are then put in place together,
    // all or none: one that cannot be written fails the step, and its graphs
    // are dropped with it.
    vyr::host_on_step_finish([](const VyrStep&, int& rc) {
        if (rc <= 4 && step_hand() > 0 && rc < 1008)
            rc = 1008;
    });
    vyr::host_on_step_end([](const VyrStep&, int& rc) {
        bool failedWrite = false;
        {
            std::lock_guard<std::recursive_mutex> lock(g_mutex);
            for (auto& ds : reg().sets)
                if (ds->out && ds->out->failed)
                    failedWrite = true;
        }
        int failures = step_end(rc <= 4);
        if ((failedWrite || failures > 0) && rc < 1008)
            rc = 1008;
    });
}

DSHANDLE* register_set(std::unique_ptr<DSHANDLE> ds)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    reg().sets.push_back(std::move(ds));
    return reg().sets.back().get();
}

int open_output(DSHANDLE* ds)
{
    ds->out = std::make_unique<Output>();
    return open_output_file(ds);
}

const Column* column(const DSHANDLE* ds, int varnum)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || varnum < 1 ||
        varnum > static_cast<int>(ds->table.cols.size()))
        return nullptr;
    return &ds->table.cols[static_cast<size_t>(varnum) - 1];
}

// The observation whose values a read delivers: the current one.
long current_obs(const DSHANDLE* ds)
{
    return ds->cur;
}

// Ends the step when the values of a data set left in its file could not be
// read (the load said why): a caller that fetches observation by
// observation would go on with values never fetched.
void end_step_if_unreadable(DSHANDLE* ds)
{
    if (!ds->table.unreadable)
        return;
    ds->finished = true;
    xexit(1008, 0);
}

std::string value_text(const Column& c, long obs)
{
    if (c.numeric) {
        double v = c.num[static_cast<size_t>(obs)];
        return vyr::trim_blanks(vyr::fmt::format_value(c.nm, &v));
    }
    return vyr::trim_blanks(c.chars(obs));
}

} // namespace

// ---------------------------------------------------------------------------
namespace vyr::data
{

void fill_namestr(Column& c, int varnum)
{
    NAMESTR& nm = c.nm;
    nm = NAMESTR{};
    nm.nvar0 = varnum;
    nm.ntype = c.numeric ? 1 : 2;
    nm.nlng = static_cast<short>(c.numeric ? 8 : c.length);
    nm.user_lng = nm.nlng;
    nm.name_p = c.name.c_str();
    nm.namelen = static_cast<short>(c.name.size());
    nm.label_p = c.label.c_str();
    nm.nlablen = static_cast<short>(c.label.size());
    vyr::fmt::FormatDesc desc;
    if (!c.format.empty() && vyr::fmt::parse(c.format, desc)) {
        std::string name = desc.name;
        nm.nfl = static_cast<short>(std::min<size_t>(name.size(), 8));
        std::memcpy(nm.nform, name.data(), static_cast<size_t>(nm.nfl));
        nm.nformlongl = static_cast<short>(std::min<size_t>(name.size(), 32));
        std::memcpy(nm.nformlong, name.data(), static_cast<size_t>(nm.nformlongl));
        nm.nflen = static_cast<short>(desc.width > 0 ? desc.width : vyr::fmt::default_width(desc));
        nm.nfd = static_cast<short>(desc.hasDecimals ? desc.decimals : 0);
        nm.nfcode = vyr_format_code(c.format);
        if (name.empty() && nm.nfl == 0) {
            // A w.d format has no name: mark it present through its width.
            nm.nformlong[0] = 'F';
            nm.nformlongl = 1;
        }
    } else {
        // No format: the display width is the default one (BEST12. or the length).
        nm.nflen = static_cast<short>(c.numeric ? 12 : c.length);
    }
}

int compare_values(const Column& c, long a, long b)
{
    if (c.numeric) {
        double x = c.num[static_cast<size_t>(a)], y = c.num[static_cast<size_t>(b)];
        bool mx = wzmis(x), my = wzmis(y);
        if (mx || my) {
            if (mx && my) {
                unsigned char bx = korv_missing_byte5(x), by = korv_missing_byte5(y);
                int cx = bx == 0 ? 1000 : -static_cast<signed char>(bx);
                int cy = by == 0 ? 1000 : -static_cast<signed char>(by);
                return cx < cy ? -1 : cx > cy ? 1 : 0;
            }
            return mx ? -1 : 1;
        }
        return x < y ? -1 : x > y ? 1 : 0;
    }
    std::string_view x = c.chars(a), y = c.chars(b);
    size_t n = std::max(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char cx = i < x.size() ? static_cast<unsigned char>(x[i]) : ' ';
        unsigned char cy = i < y.size() ? static_cast<unsigned char>(y[i]) : ' ';
        if (cx != cy)
            return cx < cy ? -1 : 1;
    }
    return 0;
}

std::vector<ColumnInfo> columns(const DSHANDLE* ds)
{
    std::vector<ColumnInfo> r;
    if (ds == nullptr)
        return r;
    if (ds->mode == VYR_DS_INPUT) {
        for (const Column& c : ds->table.cols)
            r.push_back({c.name, c.label, c.numeric, c.numeric ? 8 : c.length, c.format});
    } else if (ds->out) {
        for (const OutVar& v : ds->out->vars)
            r.push_back({v.name, v.label, v.numeric, v.length, v.format});
    }
    return r;
}

double number(const DSHANDLE* ds, long obs, int varnum)
{
    const Column* c =
        column(ds, varnum) ? loaded_column(const_cast<DSHANDLE*>(ds)->table, varnum) : nullptr;
    if (c == nullptr || !c->numeric || obs < 1 || obs > ds->table.nobs)
        return korv_missing();
    return c->num[static_cast<size_t>(obs) - 1];
}

std::string text(const DSHANDLE* ds, long obs, int varnum)
{
    const Column* c =
        column(ds, varnum) ? loaded_column(const_cast<DSHANDLE*>(ds)->table, varnum) : nullptr;
    if (c == nullptr || obs < 1 || obs > ds->table.nobs)
        return {};
    if (c->numeric)
        return vyr::fmt::best_trim(c->num[static_cast<size_t>(obs) - 1]);
    std::string s(c->chars(obs - 1));
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

} // namespace vyr::data

// ---------------------------------------------------------------------------
// Opening.

std::string vyr_data_library(std::string_view libref)
{
    std::string up = upper(libref);
    std::string p = vyr_library_path(up);
    // WORK without a folder has none: the current folder never stands in.
    if (!p.empty() || up == "WORK")
        return p;
    std::string def = upper(vyr_default_library());
    if (up == def || up.empty()) {
        p = vyr_data_dir();
        return p.empty() ? std::string(".") : p;
    }
    return {};
}

namespace
{

namespace fs = std::filesystem;

// The file a data set's rows come from or land in, through any symbolic
// links (also one that leads to a file not made yet).
vyr::FileIdentity data_file_id(const DSHANDLE& ds)
{
    return vyr::file_identity(ds.path);
}

// The names of a data set's files that lead to its files: its CSV file's,
// then its attribute file's, or the CSV file's again where what is at the
// attribute file's name is another user's, which no read follows (so that
// no file it leads to is taken for the data set's).
std::vector<std::string> file_names(const DSHANDLE& ds)
{
    return {ds.path, ds.attrPassedOver ? ds.path : sidecar_path(ds.path)};
}

// A one- or two-level name may not lead out of its library folder, through
// a symbolic link planted in the folder (for the data file or its attribute
// file). Logs the error and returns false when it does.
bool check_inside_library(const DSHANDLE& ds, const std::string& dir)
{
    for (const std::string& p : file_names(ds)) {
        std::string where;
        bool loops = false;
        if (!vyr::inside_folder(p, dir, where, loops)) {
            if (loops)
                xpmlog(kGroup, 4521, ds.display.c_str(), where.c_str());
            else
                xpmlog(kGroup, 102, ds.display.c_str(), where.c_str(), dir.c_str());
            return false;
        }
    }
    return true;
}

// A data set opened in a step must not be another of the step's data sets
// in disguise: an output that would replace the step's input (whichever was
// opened first), or one output named twice. Nor may a data set (its CSV or
// its attribute file) be one of the run's listing, log, HTML or JSON files,
// and an output may not replace a file the run has read. Logs the error and
// returns false.
bool check_collisions(const DSHANDLE& ds)
{
    const std::vector<std::string> names = file_names(ds);
    const vyr::FileIdentity id = data_file_id(ds);
    const vyr::FileIdentity attr = vyr::file_identity(names.back());
    // Two data sets meet when any file of the one (its CSV or its attribute
    // file) is a file of the other: a quoted name can make one data set's
    // CSV file another's attribute file.
    auto meet = [&](const DSHANDLE& other) {
        const vyr::FileIdentity otherId = data_file_id(other);
        const vyr::FileIdentity otherAttr = vyr::file_identity(file_names(other).back());
        return otherId.same(id) || otherId.same(attr) || otherAttr.same(id) || otherAttr.same(attr);
    };
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    for (const auto& other : reg().sets) {
        if (other->mode == VYR_DS_INPUT && ds.mode == VYR_DS_INPUT)
            continue;
        if (!meet(*other))
            continue;
        if (ds.mode != VYR_DS_INPUT && other->mode != VYR_DS_INPUT) {
            const std::string as = ds.display == other->display
                                       ? std::string()
                                       : " (as " + other->display + " and " + ds.display + ")";
            xpmlog(kGroup, 101, ds.display.c_str(), as.c_str());
        } else {
            const DSHANDLE& output = ds.mode == VYR_DS_INPUT ? *other : ds;
            const DSHANDLE& input = ds.mode == VYR_DS_INPUT ? ds : *other;
            xpmlog(kGroup, 100, output.display.c_str(), input.display.c_str());
        }
        return false;
    }
    if (ds.mode != VYR_DS_INPUT) {
        std::string why;
        for (const vyr::FileIdentity* f : {&id, &attr}) {
            if (vyr::is_run_input(*f, why, false)) {
                xpmlog(kGroup, 4000, ds.display.c_str(), f->path.c_str());
                return false;
            }
        }
        // Nor may it land on a graph file, image or catalogue entry the run
        // has written.
        const std::string what = "the output data set " + ds.display;
        for (const vyr::FileIdentity* f : {&id, &attr}) {
            std::string other;
            if (!vyr::claim_output(f->path, vyr::OutputKind::DataSet, what, other)) {
                xpmlog(kGroup, 5300, ds.display.c_str(), f->path.c_str(), other.c_str());
                return false;
            }
        }
    }
    const VyrSettings& st = vyr_settings();
    const std::pair<const char*, const std::string*> files[] = {
        {"listing", &st.listing}, {"log", &st.log}, {"HTML", &st.html}, {"JSON", &st.json}};
    for (const auto& [kind, file] : files) {
        if (file->empty())
            continue;
        const vyr::FileIdentity fid = vyr::file_identity(*file);
        if (!fid.same(id) && !fid.same(attr))
            continue;
        if (ds.mode == VYR_DS_INPUT)
            xpmlog(kGroup, 103, kind, file->c_str(), ds.display.c_str(), kind);
        else
            xpmlog(kGroup, 4001, ds.display.c_str(), kind, file->c_str());
        return false;
    }
    return true;
}

// The words of the statements of the step opening its inputs on this thread.
thread_local std::unordered_set<std::string> g_expected;

// Warns when a run stopped while it put a step's files in place left this
// data set's files (or one of them) holding its new files: the pair may be
// that run's and the earlier one mixed, and the next run that puts files in
// place in the folder puts the earlier files back.
// Returns whether it warned.
bool warn_if_stopped_placing(const DSHANDLE& ds)
{
    const std::string attr = sidecar_path(ds.path);
    vyr::StoppedPlacing stopped;
    if (!vyr::stopped_placing_holds(
            *ds.folder, {ds.path.substr(ds.path.rfind('/') + 1), attr.substr(attr.rfind('/') + 1)},
            stopped))
        return false;
    std::string names;
    for (const std::string& n : stopped.names)
        names += (names.empty() ? "" : ", ") + n;
    xpmlog(kGroup, 4003, ds.display.c_str(), names.c_str(),
           stopped.program.empty() ? "a program" : stopped.program.c_str(), stopped.pid,
           vyr::utc_time_text(stopped.started).c_str());
    xsetrc(4);
    return true;
}

// What the name `name` of the folder held `in` leads to now, as a read
// opens it.
FileStamp stamp_now(const vyr::HeldFolder& in, const std::string& name, bool confined)
{
    struct stat st;
    std::string why;
    return vyr::look_to_read(name, st, why, &in, nullptr, nullptr, confined ? &in : nullptr)
               ? stamp_of(st)
               : FileStamp{};
}

// Whether an attribute file of user `owner` may be taken as the attributes
// of a data set whose CSV file user `csvOwner` owns, in `folder`: the CSV
// file's owner's, root's or the folder's owner's. Any other user who may
// write the folder (a shared one) could otherwise change a data set's types
// and formats, and with them its analysis, by putting a file beside its CSV
// file; a folder tightened since does not tell whose its files are. Only
// where the user namespace hides every owner (the attribute file, the CSV
// file and the folder all show the overflow uid) does a folder that only
// its owner may write vouch for its files: only that owner can have put
// them there.
bool attributes_owner_ok(unsigned owner, unsigned csvOwner, const vyr::HeldFolder& folder)
{
    struct stat st;
    if (::fstat(folder.fd, &st) != 0)
        return false;
    if (vyr::same_owner(owner, csvOwner) || vyr::same_owner(owner, 0) ||
        vyr::same_owner(st.st_uid, owner))
        return true;
    return vyr::owner_unmapped(owner) && vyr::owner_unmapped(csvOwner) &&
           vyr::owner_unmapped(st.st_uid) && vyr::only_owner_writes(folder.fd);
}

// The base name of a path.
std::string base_name(const std::string& path)
{
    return path.substr(path.rfind('/') + 1); // npos + 1: the whole path
}

// Whether what is at the attribute file's name of the input `ds` (in its
// folder held) belongs to a user whose attribute file is not taken (see
// read_pair), so that reads pass it over, never opening or following it.
bool attributes_passed_over(const DSHANDLE& ds)
{
    struct stat at, csv;
    std::string why;
    return ds.folder != nullptr &&
           ::fstatat(ds.folder->fd, base_name(sidecar_path(ds.path)).c_str(), &at,
                     AT_SYMLINK_NOFOLLOW) == 0 &&
           vyr::look_to_read(base_name(ds.path), csv, why, ds.folder.get(), nullptr, nullptr,
                             ds.confined ? ds.folder.get() : nullptr) &&
           !attributes_owner_ok(static_cast<unsigned>(at.st_uid), static_cast<unsigned>(csv.st_uid),
                                *ds.folder);
}

// How the CSV file read differs from the one its attribute file names.
std::string csv_difference(const Sidecar& side, const Table& t)
{
    const std::string named = "it names a CSV file of " + std::to_string(side.csvSize) + " bytes";
    if (side.csvSize != t.read.size)
        return named + ", and the CSV file has " + std::to_string(t.read.size);
    return named + " with other contents than the CSV file's";
}

// Reads an input data set's pair, its attribute file and its values, so
// that it never comes from two runs writing it at once. A reader takes no
// lock: nothing a reader holds makes a writer wait. An attribute file that
// another user put there (neither the CSV file's owner, nor root, nor the
// folder's owner) is not taken, with a warning. An attribute file that
// names the CSV file it was written with (its size and digest) is checked
// against the CSV file read:
//   - they match: a whole pair;
//   - either name now leads to another file than the one read: both are
//     read again (a file whose stamp moved, but not its owner, size and
//     bytes, is the one read: some file systems move a file's time as it
//     is read, or give it another inode number);
//   - the attribute file is not older than the CSV file: the state of a
//     writer between its two renames (the attribute file goes first), or of
//     a run killed there. Where no writer is putting files in place in the
//     folder (writers_at_work), the reader knows it for a killed run's,
//     warns and reads it as it is; else (a writer is at work, or, where
//     each user's runs keep out only each other, other users' writers are
//     not known) it waits, within the step's limit, for either name to lead
//     to another file and reads again, or warns and reads it as it is;
//   - the CSV file is the newer: it was changed after the pair was written
//     (by hand): a note, and it is read with the attributes.
// An attribute file that names no CSV file (one an earlier version wrote,
// or the user's own) is read as it is, and read again when either name led
// to another file by the end of the read. Nothing here looks for writers
// in a table of the machine's locks, which does not see every writer
// (another pid namespace, another machine, some file systems), so the cost
// does not grow with it. Returns 0, or a host code after saying why.
int read_pair(DSHANDLE& ds)
{
    // Both files are read in the folder held, and a link at either name
    // followed only as open_to_read follows it.
    const vyr::HeldFolder& in = *ds.folder;
    const std::string attr = sidecar_path(ds.path);
    const std::string csvName = base_name(ds.path), attrName = base_name(attr);
    // A pair changed this often while it was read is said, not read for ever.
    constexpr int kReads = 100;
    bool saidForeign = false, saidStopped = false;
    // A pair judged to be read as it is, though its files do not match: the
    // digests of their bytes as they were judged. The next read reads the
    // CSV file's values whatever it is, and takes it if both files are
    // those judged.
    struct {
        bool set = false;
        uint64_t csv = 0, attr = 0;
    } judged;
    const auto judge = [&](const Sidecar& side) {
        judged.set = true;
        judged.csv = ds.table.digest;
        judged.attr = side.textDigest;
    };
    for (int reads = 1;; ++reads) {
        if (reads == 1)
            saidStopped = warn_if_stopped_placing(ds);
        // The CSV file's owner decides whose attribute file is taken: the
        // file read must be the one stat found, else all is read again.
        const FileStamp csv = stamp_now(in, csvName, ds.confined);
        Sidecar side;
        ds.table = Table{};
        ds.table.confined = ds.confined;
        const auto accept = [&](const struct stat& st) {
            return attributes_owner_ok(static_cast<unsigned>(st.st_uid), csv.owner, in);
        };
        if (!read_sidecar(in, attrName, attr, side, accept, ds.confined))
            return vyr_code(kFacility, 11);
        if (side.foreign && !saidForeign) {
            saidForeign = true;
            const std::string what = side.kind.empty() ? attr : attr + " (" + side.kind + ")";
            xpmlog(kGroup, 4004, what.c_str(),
                   vyr::owner_text(static_cast<uid_t>(side.read.owner)).c_str(),
                   ds.display.c_str());
            xsetrc(4);
        }
        side.readAsIs = judged.set && side.namesCsv;
        if (!load_csv(ds.path, side, ds.table, g_expected.empty() ? nullptr : &g_expected, &in))
            return vyr_code(kFacility, 1);
        // Whether both names still lead to the files read: their stamps as
        // read, or, where a stamp moved, the same owner, size and bytes.
        // The CSV file's stamp as its bytes were last found the same is
        // kept, so that its bytes are read again only when it moves again.
        FileStamp csvSeen = ds.table.settled;
        const auto unmoved = [&] {
            if (!(stamp_now(in, csvName, ds.confined) == csvSeen)) {
                FileStamp seen;
                if (!same_bytes_now(ds.path, in, ds.confined, ds.table, seen))
                    return false;
                csvSeen = seen;
            }
            return sidecar_stamp(in, attrName, accept, ds.confined) == side.read ||
                   sidecar_same_bytes(in, attrName, side, accept, ds.confined);
        };
        const bool moved = !unmoved();
        if (!(ds.table.read == csv)) {
            // Another file than the one whose owner was looked at.
        } else if (!ds.table.mismatched) {
            // A whole pair; or an attribute file that names no CSV file,
            // taken when neither name moved meanwhile.
            if (side.namesCsv || !moved)
                return 0;
        } else if (side.readAsIs && ds.table.digest == judged.csv &&
                   side.textDigest == judged.attr) {
            // The pair judged, read as it is.
            return 0;
        } else if (moved) {
            // Read again.
        } else if (side.read.timeNs < ds.table.read.timeNs) {
            xpmlog(kGroup, 4007, ds.display.c_str(), csv_difference(side, ds.table).c_str());
            judge(side);
        } else if (saidStopped || vyr::writers_at_work(in.fd) == vyr::WritersAtWork::None) {
            // A new attribute file beside the CSV file it was to replace,
            // and no writer is placing: a run stopped between its renames
            // left them so (said already when that run's record says so).
            // A writer that ended since looking leaves a name moved: read
            // again.
            if (!unmoved())
                continue;
            if (!saidStopped) {
                xpmlog(kGroup, 4005, ds.display.c_str(), csv_difference(side, ds.table).c_str());
                xsetrc(4);
            }
            judge(side);
        } else {
            // The same, where a writer may be between its renames: waits
            // for either name to lead to another file, and reads again (or,
            // once no writer is at work, judges it as above).
            vyr::StepWait wait;
            std::string why;
            while (unmoved()) {
                if (vyr::writers_at_work(in.fd) == vyr::WritersAtWork::None)
                    break;
                if (!wait.round("data set " + ds.display,
                                "a run putting its files in place (its new attribute file is "
                                "there, its new CSV file not yet)",
                                why)) {
                    xpmlog(kGroup, 4006, ds.display.c_str(), csv_difference(side, ds.table).c_str(),
                           why.c_str());
                    xsetrc(4);
                    judge(side);
                    break;
                }
            }
        }
        if (reads == kReads) {
            xpmlog(kGroup, 1, ds.path.c_str(),
                   ("it was replaced while it was read, " + std::to_string(kReads) + " times over")
                       .c_str());
            return vyr_code(kFacility, 1);
        }
    }
}

// Reads an input data set's attribute file and values, or opens an output
// data set's temporary file, and keeps the handle for the step.
int finish_open(std::unique_ptr<DSHANDLE> ds, int mode, DSHANDLE** out)
{
    const std::vector<std::string> names = file_names(*ds);
    if (mode == VYR_DS_INPUT) {
        // An input named by the run is the user's data from here on, read or
        // refused: no output of the run may replace it.
        for (const std::string& name : names)
            vyr::note_run_input(name, vyr::RunInput::DataSet);
    }
    // Its files, and any named as a data set's in its folder, are the user's
    // data: no document of the run lands there.
    vyr::note_data_set(names.front(), names.back());
    if (!check_collisions(*ds))
        return vyr_code(kFacility, mode == VYR_DS_INPUT ? 100 : 101);
    if (mode == VYR_DS_INPUT) {
        const int rc = read_pair(*ds);
        ds->folder.reset();
        if (rc != 0)
            return rc;
        ds->label = ds->table.label;
        for (size_t i = 0; i < ds->table.cols.size(); ++i)
            fill_namestr(ds->table.cols[i], static_cast<int>(i) + 1);
    } else {
        int rc = open_output(ds.get());
        if (rc != 0)
            return rc;
    }
    *out = register_set(std::move(ds));
    return 0;
}

// A quoted name: the user's own file path, used as given. A relative path
// is taken from the program's folder, as LIBNAME folders are.
int open_path(std::unique_ptr<DSHANDLE> ds, std::string_view name, int mode, DSHANDLE** out)
{
    ds->path = std::string(name);
    const std::string& program = vyr_settings().program;
    if (!ds->path.empty() && ds->path[0] != '/' && !program.empty()) {
        size_t slash = program.find_last_of('/');
        if (slash != std::string::npos)
            ds->path = program.substr(0, slash + 1) + ds->path;
    }
    ds->display = ds->path;
    std::string base = ds->path.substr(ds->path.find_last_of('/') + 1);
    if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".csv") == 0)
        base.resize(base.size() - 4);
    ds->member = base;
    if (mode == VYR_DS_INPUT) {
        // Its folder is walked and held, and its files read there.
        std::string why;
        bool refused = false;
        ds->folder = vyr::step_folder(vyr::folder_of(ds->path), false, why, &refused);
        struct stat st;
        if (!refused && ds->folder != nullptr &&
            !vyr::look_to_read(base_name(ds->path), st, why, ds->folder.get(), &refused))
            ds->folder.reset();
        if (refused) {
            xpmlog(kGroup, 1, ds->path.c_str(), why.c_str());
            return vyr_code(kFacility, 1);
        }
        if (ds->folder == nullptr) {
            xpmlog(kGroup, 2, ds->display.c_str(), ds->path.c_str());
            return vyr_code(kFacility, 2);
        }
        ds->attrPassedOver = attributes_passed_over(*ds);
    }
    return finish_open(std::move(ds), mode, out);
}

} // namespace

void vyr_data_expect_words(const std::vector<std::string>* upperWords)
{
    g_expected.clear();
    if (upperWords != nullptr)
        g_expected.insert(upperWords->begin(), upperWords->end());
}

std::vector<std::string> vyr_statement_words(const std::vector<std::string_view>& texts)
{
    std::set<std::string> words;
    auto wordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (std::string_view t : texts) {
        size_t i = 0;
        while (i < t.size()) {
            if (!wordChar(t[i])) {
                ++i;
                continue;
            }
            const size_t j0 = i;
            while (i < t.size() && wordChar(t[i]))
                ++i;
            if (std::isdigit(static_cast<unsigned char>(t[j0])))
                continue;
            words.insert(upper(t.substr(j0, i - j0)));
        }
    }
    return std::vector<std::string>(words.begin(), words.end());
}

int vyr_dsopen(std::string_view name, int mode, bool quoted, DSHANDLE** out)
{
    *out = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        hook_step_end();
    }
    auto ds = std::make_unique<DSHANDLE>();
    ds->mode = mode;
    if (quoted && name.find_first_not_of(' ') == std::string_view::npos) {
        // An empty quoted name names no file.
        xpmlog(kGroup, 20, ("'" + std::string(name) + "' (an empty file name)").c_str());
        return vyr_code(kFacility, 20);
    }
    if (quoted)
        return open_path(std::move(ds), name, mode, out);
    // A name: "lib.member", or "member" alone. A one-level output goes to
    // WORK; a one-level input is looked for in WORK first (a data set made
    // earlier in the program), then in the data folder.
    const size_t dot = name.find('.');
    const bool twoLevel = dot != std::string_view::npos;
    std::string lib = twoLevel ? upper(name.substr(0, dot)) : std::string("WORK");
    const std::string member(twoLevel ? name.substr(dot + 1) : name);
    if (!valid_variable_name(member) || (twoLevel && !valid_variable_name(lib))) {
        std::string n(name);
        xpmlog(kGroup, 20, n.c_str());
        return vyr_code(kFacility, 20);
    }
    // WORK's temporary folder is made for a data set written there, not to
    // look for one in it: before it is made, WORK holds nothing of the run.
    // Where it cannot be made, the output fails and says why.
    std::string workWhy;
    std::string dir = lib != "WORK"          ? vyr_data_library(lib)
                      : mode == VYR_DS_INPUT ? vyr_work_dir_made()
                                             : vyr_work_dir(&workWhy);
    Found found = dir.empty() ? Found{} : member_file(dir, member);
    if (!twoLevel && mode == VYR_DS_INPUT) {
        // WORK first only for a data set this run made; one that an earlier
        // run left there gives way to the data folder's, with a note.
        bool madeHere = false;
        {
            std::lock_guard<std::recursive_mutex> lock(g_mutex);
            madeHere = reg().created.count("WORK." + upper(member)) > 0;
        }
        if (!found.exists || !madeHere) {
            const std::string workPath = found.exists ? found.path : std::string();
            const std::string defLib = upper(vyr_default_library());
            const std::string defDir = vyr_data_library(defLib);
            Found inData = defDir.empty() ? Found{} : member_file(defDir, member);
            if (inData.exists || !found.exists) {
                if (inData.exists && !workPath.empty() &&
                    !vyr::file_identity(workPath).same(vyr::file_identity(inData.path)))
                    xpmlog(kGroup, 4522, upper(member).c_str(), inData.path.c_str(),
                           workPath.c_str(), upper(member).c_str());
                lib = defLib;
                dir = defDir;
                found = std::move(inData);
            }
        }
    }
    if (dir.empty() && lib == "WORK") {
        const std::string display = "WORK." + upper(member);
        if (mode == VYR_DS_INPUT) {
            xpmlog(kGroup, 6104, display.c_str());
            return vyr_code(kFacility, 2);
        }
        xpmlog(kGroup, 6101, display.c_str(), workWhy.c_str());
        return vyr_code(kFacility, 12);
    }
    if (dir.empty()) {
        xpmlog(kGroup, 3, lib.c_str());
        return vyr_code(kFacility, 3);
    }
    ds->lib = lib;
    ds->member = member;
    ds->display = ds->lib + "." + upper(member);
    ds->path = found.path;
    if (mode == VYR_DS_INPUT && !found.refused.empty()) {
        // The folder's path meets another user's link in a shared folder.
        xpmlog(kGroup, 1, ds->path.c_str(), found.refused.c_str());
        return vyr_code(kFacility, 1);
    }
    if (mode == VYR_DS_INPUT && !found.exists) {
        // A one-level name was looked for in WORK, then in the data folder:
        // said, with the option that names that folder.
        if (!found.unlisted.empty())
            xpmlog(kGroup, 4520, ds->display.c_str(), dir.c_str(), found.unlisted.c_str());
        else if (!twoLevel)
            xpmlog(kGroup, 6090, ds->display.c_str(), ds->path.c_str());
        else
            xpmlog(kGroup, 2, ds->display.c_str(), ds->path.c_str());
        return vyr_code(kFacility, 2);
    }
    if (mode != VYR_DS_INPUT && !is_dir(dir)) {
        xpmlog(kGroup, 12, ds->display.c_str(), ("the folder " + dir + " does not exist").c_str());
        return vyr_code(kFacility, 12);
    }
    // Read or written in its library's folder, and never out of it.
    ds->confined = true;
    if (mode == VYR_DS_INPUT) {
        // Read in the folder that the walk listed.
        ds->folder = std::move(found.folder);
        ds->attrPassedOver = attributes_passed_over(*ds);
    }
    if (!check_inside_library(*ds, dir))
        return vyr_code(kFacility, 102);
    return finish_open(std::move(ds), mode, out);
}

DSHANDLE* vyr_dsopen(std::string_view name, int mode, bool quoted)
{
    DSHANDLE* ds = nullptr;
    vyr_dsopen(name, mode, quoted, &ds);
    return ds;
}

int vyr_dsopen_path(const std::string& path, int mode, DSHANDLE** out)
{
    return vyr_dsopen(path, mode, true, out);
}

std::string vyr_dsname(const DSHANDLE* ds)
{
    return ds ? ds->display : std::string();
}
std::string vyr_dspath(const DSHANDLE* ds)
{
    return ds ? ds->path : std::string();
}

std::string vyr_dsvar_why_text(const DSHANDLE* ds, int varnum)
{
    const Column* c = column(ds, varnum);
    return c && !c->numeric ? c->whyText : std::string();
}

long vyr_dsnobs(const DSHANDLE* ds)
{
    if (ds == nullptr)
        return 0;
    if (ds->mode == VYR_DS_INPUT)
        return ds->table.nobs;
    return ds->out ? ds->out->rows : 0;
}

std::string vyr_data_last_created()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return reg().lastCreated;
}

void vyr_data_note_created(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    reg().lastCreated = name;
    reg().created.insert(name);
}

XVHANDLE* vyr_data_keep_vector(std::unique_ptr<XVHANDLE> h)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    reg().vectors.push_back(std::move(h));
    return reg().vectors.back().get();
}

// Output commit/drop lives in output.cpp.
int vyr_data_finish_output(DSHANDLE* ds, bool commit);
int vyr_data_complete_output(DSHANDLE* ds);
int vyr_data_hand_output(DSHANDLE* ds);

void vyr_data_step_end(bool ok)
{
    step_end(ok);
}

void vyr::data_session_start()
{
    std::vector<std::unique_ptr<DSHANDLE>> sets;
    std::vector<std::unique_ptr<XVHANDLE>> vectors;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        sets.swap(reg().sets);
        vectors.swap(reg().vectors);
        reg().lastCreated.clear();
        reg().created.clear();
    }
    data::reset_not_kept_note();
    // An output an earlier run left open was never committed: its temporary
    // file goes, without a word in this run's log.
    for (auto& ds : sets)
        if (ds->out && !ds->out->closed) {
            ds->out->closed = true;
            ds->out->file.abandon();
        }
}

namespace
{
// The step's output data sets.
std::vector<DSHANDLE*> step_outputs()
{
    std::vector<DSHANDLE*> sets;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    for (auto& ds : reg().sets)
        if (ds->out)
            sets.push_back(ds.get());
    return sets;
}

// Completes the step's output data sets under their temporary names, then,
// when all are whole, hands them to the step's files; returns the number
// that could not be written or handed.
int step_hand()
{
    int failures = 0;
    for (DSHANDLE* ds : step_outputs())
        if (vyr_data_complete_output(ds) != 0)
            ++failures;
    if (failures == 0)
        for (DSHANDLE* ds : step_outputs())
            if (vyr_data_hand_output(ds) != 0)
                ++failures;
    return failures;
}

// Ends the step's data sets; returns the number of output data sets that
// could not be committed.
int step_end(bool ok)
{
    int failures = 0;
    std::vector<std::unique_ptr<DSHANDLE>> sets;
    std::vector<std::unique_ptr<XVHANDLE>> vectors;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        sets.swap(reg().sets);
        vectors.swap(reg().vectors);
    }
    for (auto& ds : sets)
        if (ds->out && vyr_data_finish_output(ds.get(), ok) != 0)
            ++failures;
    return failures;
}
} // namespace

void vyr_dsforget(DSHANDLE* ds)
{
    std::unique_ptr<DSHANDLE> gone;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto& sets = reg().sets;
        for (auto it = sets.begin(); it != sets.end(); ++it)
            if (it->get() == ds) {
                gone = std::move(*it);
                sets.erase(it);
                break;
            }
    }
    if (gone && gone->out && !gone->out->closed) {
        gone->out->closed = true;
        gone->out->file.abandon();
    }
}

int vyr_dsclose(DSHANDLE* ds, bool commit)
{
    if (ds == nullptr || !ds->out)
        return 0;
    return vyr_data_finish_output(ds, commit);
}

int xvfind(DSHANDLE* ds, std::string_view name)
{
    if (ds == nullptr)
        return 0;
    std::string n = upper(vyr::trim_blanks(name));
    if (ds->mode == VYR_DS_INPUT) {
        for (size_t i = 0; i < ds->table.cols.size(); ++i)
            if (upper(ds->table.cols[i].name) == n)
                return static_cast<int>(i) + 1;
    } else if (ds->out) {
        for (size_t i = 0; i < ds->out->vars.size(); ++i)
            if (upper(ds->out->vars[i].name) == n)
                return static_cast<int>(i) + 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Information and descriptors.

int xvallvr(DSHANDLE* ds, int* nv)
{
    if (ds == nullptr)
        return vyr_code(kFacility, 30);
    int n = ds->mode == VYR_DS_INPUT ? static_cast<int>(ds->table.cols.size())
                                     : (ds->out ? static_cast<int>(ds->out->vars.size()) : 0);
    if (nv)
        *nv = n;
    return 0;
}

int xvsele(DSHANDLE* ds)
{
    return ds ? 0 : vyr_code(kFacility, 30);
}

int xoinfo(DSHANDLE* ds, int item, void* out)
{
    if (ds == nullptr)
        return vyr_code(kFacility, 30);
    int nvars = 0;
    xvallvr(ds, &nvars);
    switch (item) {
    case 1: {
        if (out == nullptr)
            return vyr_code(kFacility, 31);
        char* b = static_cast<char*>(out);
        std::memset(b, 0, 160);
        std::memcpy(b + 128, &nvars, sizeof nvars);
        std::memset(b + 160, ' ', 258);
        std::memcpy(b + 160, ds->label.data(), std::min<size_t>(ds->label.size(), 258));
        return 0;
    }
    case 3: {
        // The observation count (all BY groups) into a long.
        long n = vyr_dsnobs(ds);
        if (out)
            std::memcpy(out, &n, sizeof n);
        return 0;
    }
    case 22: {
        if (out == nullptr)
            return vyr_code(kFacility, 31);
        int16_t len;
        std::memcpy(&len, out, sizeof len);
        if (len < 0)
            return vyr_code(kFacility, 31);
        ds->label.assign(static_cast<const char*>(out) + 2, static_cast<size_t>(len));
        while (!ds->label.empty() && (ds->label.back() == ' ' || ds->label.back() == '\0'))
            ds->label.pop_back();
        return 0;
    }
    case 23:
        return nvars >= 1 ? 1 : 0;
    case 81: {
        if (out == nullptr)
            return vyr_code(kFacility, 31);
        std::string n = ds->display.substr(0, 41);
        std::memcpy(out, n.c_str(), n.size() + 1);
        return 0;
    }
    case 95:
        if (out)
            std::memcpy(out, &nvars, sizeof nvars);
        return nvars;
    case 128:
        return 0;
    default:
        return vyr_code(kFacility, 32);
    }
}

int vyr_namestr_length(const NAMESTR& nm)
{
    if (nm.ntype != 2)
        return 8;
    if (nm.nlng > 0)
        return nm.nlng;
    if (nm.user_lng > 0)
        return nm.user_lng;
    return 8;
}

void xvnamei(NAMESTR* descriptor)
{
    if (descriptor)
        *descriptor = NAMESTR{};
}

int xvname(DSHANDLE* ds, int varnum, NAMESTR** descriptor)
{
    Column* c = nullptr;
    if (ds && ds->mode == VYR_DS_INPUT && varnum >= 1 &&
        varnum <= static_cast<int>(ds->table.cols.size()))
        c = &ds->table.cols[static_cast<size_t>(varnum) - 1];
    if (descriptor)
        *descriptor = c ? &c->nm : nullptr;
    return c ? 0 : vyr_code(kFacility, 33);
}

NAMESTR* xvname(DSHANDLE* ds, int varnum)
{
    NAMESTR* nm = nullptr;
    xvname(ds, varnum, &nm);
    return nm;
}

int xffile(DSHANDLE* ds, int code, const int* list, int n)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    int rc = 0;
    for (int i = 0; list && i < n; ++i) {
        int v = std::abs(list[i]);
        if (v < 1 || v > static_cast<int>(ds->table.cols.size())) {
            rc = vyr_code(kFacility, 33);
            continue;
        }
        Column& c = ds->table.cols[static_cast<size_t>(v) - 1];
        if (!c.format.empty() && c.nm.nfcode == 0)
            c.nm.nfcode = vyr_format_code(c.format);
    }
    return rc;
}

// ---------------------------------------------------------------------------
// Fetch vectors.

static XVHANDLE* new_vector(DSHANDLE* ds, int kind)
{
    auto h = std::make_unique<XVHANDLE>();
    h->kind = kind;
    h->ds = ds;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    reg().vectors.push_back(std::move(h));
    return reg().vectors.back().get();
}

int xvgeti(DSHANDLE* ds, int count, XVHANDLE** handle)
{
    if (handle)
        *handle = nullptr;
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || handle == nullptr)
        return vyr_code(kFacility, 30);
    *handle = new_vector(ds, 1);
    (*handle)->binds.reserve(static_cast<size_t>(std::max(count, 0)));
    return 0;
}

XVHANDLE* xvgeti(DSHANDLE* ds, int count)
{
    XVHANDLE* h = nullptr;
    xvgeti(ds, count, &h);
    return h;
}

int xvgetd(XVHANDLE* handle, int varnum, long offset, void* address, int length, int mode)
{
    if (handle == nullptr || handle->kind != 1)
        return vyr_code(kFacility, 34);
    const Column* c = column(handle->ds, varnum);
    if (c == nullptr)
        return vyr_code(kFacility, 33);
    if (mode != 4 && mode != 8)
        return vyr_code(kFacility, 35);
    Binding b;
    b.var = varnum;
    b.offset = offset;
    b.address = address;
    b.length = length;
    b.mode = mode;
    if (b.length <= 0)
        b.length = mode == 8 ? (c->numeric ? 8 : c->length) : c->nm.nflen;
    handle->binds.push_back(b);
    handle->ds->table.cols[static_cast<size_t>(varnum) - 1].wanted = true;
    return 0;
}

int xvgete(XVHANDLE* handle)
{
    if (handle == nullptr)
        return vyr_code(kFacility, 34);
    handle->ended = true;
    return 0;
}

int xvgett(XVHANDLE* handle)
{
    if (handle == nullptr)
        return 0;
    handle->binds.clear();
    return 0;
}

int xyvget(XVHANDLE* handle, void* base)
{
    if (handle == nullptr || handle->kind != 1)
        return vyr_code(kFacility, 34);
    DSHANDLE* ds = handle->ds;
    long obs = current_obs(ds);
    if (obs < 0 || obs >= ds->table.nobs)
        return vyr_code(kFacility, 36);
    char* rec = static_cast<char*>(base);
    for (Binding& b : handle->binds) {
        char* to = b.address ? static_cast<char*>(b.address) : rec + b.offset;
        if (to == nullptr)
            continue;
        const Column& c = ds->table.cols[static_cast<size_t>(b.var) - 1];
        if (!c.loaded && !load_columns(ds->table, b.var - 1)) {
            end_step_if_unreadable(ds);
            return vyr_code(kFacility, 36);
        }
        if (b.mode == 8) {
            if (c.numeric) {
                double v = c.num[static_cast<size_t>(obs)];
                std::memcpy(to, &v, static_cast<size_t>(std::min(b.length, 8)));
            } else {
                std::string_view s = c.chars(obs);
                size_t n = std::min(s.size(), static_cast<size_t>(b.length));
                std::memcpy(to, s.data(), n);
                std::memset(to + n, ' ', static_cast<size_t>(b.length) - n);
            }
        } else {
            // The formatted text depends only on the column and the value.
            std::string key;
            if (c.numeric) {
                double v = c.num[static_cast<size_t>(obs)];
                key.assign(reinterpret_cast<const char*>(&v), sizeof v);
            } else {
                key.assign(c.chars(obs));
            }
            auto hit = b.formatted.find(key);
            if (hit != b.formatted.end()) {
                std::memcpy(to, hit->second.data(), static_cast<size_t>(b.length));
                continue;
            }
            std::string s;
            if (c.numeric) {
                s = vyr::fmt::format_value(c.nm, key.data(), b.length);
            } else {
                std::string padded(key);
                padded.resize(static_cast<size_t>(c.length), ' ');
                s = vyr::fmt::format_value(c.nm, padded.data(), b.length);
            }
            s.resize(static_cast<size_t>(b.length), ' ');
            std::memcpy(to, s.data(), static_cast<size_t>(b.length));
            if (b.formatted.size() < kFormattedCacheSize)
                b.formatted.emplace(std::move(key), std::move(s));
        }
    }
    return 0;
}

static const Column* positioned(DSHANDLE* ds, int varnum)
{
    const Column* c = column(ds, varnum) ? loaded_column(ds->table, varnum) : nullptr;
    if (c == nullptr || ds->cur < 0 || ds->cur >= ds->table.nobs)
        return nullptr;
    return c;
}

int xvget1f(DSHANDLE* ds, int varnum, double* value)
{
    const Column* c = positioned(ds, varnum);
    if (c == nullptr || value == nullptr)
        return vyr_code(kFacility, 36);
    *value = c->numeric ? c->num[static_cast<size_t>(ds->cur)] : korv_missing();
    return 0;
}

int xvget1v(DSHANDLE* ds, int varnum, int length, char* buffer)
{
    const Column* c = positioned(ds, varnum);
    if (c == nullptr || buffer == nullptr || length <= 0)
        return vyr_code(kFacility, 36);
    // The same text as a fetch vector's formatted binding of this length.
    std::string s;
    if (c->numeric) {
        double v = c->num[static_cast<size_t>(ds->cur)];
        s = vyr::fmt::format_value(c->nm, &v, length);
    } else {
        std::string padded(c->chars(ds->cur));
        padded.resize(static_cast<size_t>(c->length), ' ');
        s = vyr::fmt::format_value(c->nm, padded.data(), length);
    }
    s.resize(static_cast<size_t>(length), ' ');
    std::memcpy(buffer, s.data(), static_cast<size_t>(length));
    return 0;
}

int xvget1c(DSHANDLE* ds, int varnum, int length, char* buffer)
{
    const Column* c = positioned(ds, varnum);
    if (c == nullptr || c->numeric || buffer == nullptr || length <= 0)
        return vyr_code(kFacility, 36);
    std::string_view v = c->chars(ds->cur);
    size_t n = std::min(v.size(), static_cast<size_t>(length));
    std::memcpy(buffer, v.data(), n);
    std::memset(buffer + n, ' ', static_cast<size_t>(length) - n);
    return 0;
}

// ---------------------------------------------------------------------------
// BY groups and observations.

int xbyset(DSHANDLE* ds, const int* varnums, const unsigned char* descending, int n, bool notsorted)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    std::vector<int> vars;
    std::vector<unsigned char> desc;
    for (int i = 0; i < n; ++i) {
        int v = varnums ? varnums[i] : 0;
        if (v < 1 || v > static_cast<int>(ds->table.cols.size()))
            return vyr_code(kFacility, 33);
        vars.push_back(v);
        desc.push_back(descending ? descending[i] : 0);
        ds->table.cols[static_cast<size_t>(v) - 1].wanted = true;
    }
    ds->byvars = std::move(vars);
    ds->bydesc = std::move(desc);
    ds->notsorted = notsorted;
    ds->started = false;
    ds->finished = false;
    ds->cur = -1;
    return 0;
}

namespace
{
void (*bygroup_hook)(const char*, const VyrByValue*, int) = nullptr;
}

void vyr_data_on_bygroup(void (*hook)(const char* byline, const VyrByValue* values, int count))
{
    bygroup_hook = hook;
}

int xbynext(DSHANDLE* ds)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || ds->finished)
        return 0;
    const long nobs = ds->table.nobs;
    if (ds->byvars.empty()) {
        if (ds->started) {
            ds->finished = true;
            return 0;
        }
        ds->started = true;
        ds->gs = 0;
        ds->ge = nobs;
        ds->cur = -1;
        return 1;
    }
    long gs = ds->started ? ds->ge : 0;
    ds->started = true;
    if (gs >= nobs) {
        ds->finished = true;
        return 0;
    }
    auto& cols = ds->table.cols;
    for (int v : ds->byvars)
        if (!cols[static_cast<size_t>(v) - 1].loaded && !load_columns(ds->table, v - 1)) {
            ds->finished = true;
            xexit(1008, 0);
        }
    long ge = gs + 1;
    while (ge < nobs) {
        bool same = true;
        for (int v : ds->byvars)
            if (compare_values(cols[static_cast<size_t>(v) - 1], ge - 1, ge) != 0) {
                same = false;
                break;
            }
        if (!same)
            break;
        ++ge;
    }
    // The observation that ends the group must not come before it in the
    // BY order. Checked before the group is handed out: a group cut short by
    // data out of order is not analysed, and the error is all that is said.
    if (ge < nobs && !ds->notsorted) {
        for (size_t i = 0; i < ds->byvars.size(); ++i) {
            const Column& c = cols[static_cast<size_t>(ds->byvars[i]) - 1];
            int r = compare_values(c, ge - 1, ge);
            if (r == 0)
                continue;
            bool desc = ds->bydesc[i] != 0;
            if ((!desc && r > 0) || (desc && r < 0)) {
                ds->finished = true;
                std::string now = value_text(c, ge), before = value_text(c, ge - 1);
                xpmlog(vyr::data::kGroup, 10, ds->display.c_str(),
                       desc ? "descending" : "ascending", ge + 1, c.name.c_str(), now.c_str(),
                       before.c_str());
                xexit(1008, 0);
            }
            break;
        }
    }
    ds->gs = gs;
    ds->ge = ge;
    ds->cur = gs - 1;
    // Each BY group's output is headed by its BY line ("sex=1 ph_ecog=0").
    std::string byline;
    std::vector<std::string> texts;
    std::vector<VyrByValue> values;
    for (int v : ds->byvars) {
        const Column& c = cols[static_cast<size_t>(v) - 1];
        if (!byline.empty())
            byline += ' ';
        byline += c.name + "=" + value_text(c, gs);
        std::string_view t = c.numeric ? std::string_view() : c.chars(gs);
        while (!t.empty() && t.back() == ' ')
            t.remove_suffix(1);
        texts.emplace_back(t);
    }
    for (size_t i = 0; i < ds->byvars.size(); ++i) {
        const Column& c = cols[static_cast<size_t>(ds->byvars[i]) - 1];
        values.push_back({c.name.c_str(), c.numeric,
                          c.numeric ? c.num[static_cast<size_t>(gs)] : 0.0, texts[i].c_str()});
    }
    ds->byline = byline;
    if (bygroup_hook != nullptr)
        bygroup_hook(byline.c_str(), values.data(), static_cast<int>(values.size()));
    return 1;
}

int xbyline(DSHANDLE* ds, const char** text)
{
    if (text)
        *text = ds ? ds->byline.c_str() : "";
    return ds ? static_cast<int>(ds->byline.size()) : 0;
}

int xbyrwnd(DSHANDLE* ds, int code)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    if (!ds->started) {
        // Not yet in a group: the first group starts at the beginning.
        ds->cur = -1;
        return 0;
    }
    ds->cur = ds->gs - 1;
    return 0;
}

int xybyget(XO_PARMS* parms)
{
    if (parms == nullptr)
        return vyr_code(kFacility, 30);
    int rc = xybyget(parms->ds);
    parms->rc = rc;
    if (rc == 0)
        parms->obs = parms->ds->cur + 1;
    return rc;
}

int xybyget(DSHANDLE* ds)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    long gs = ds->started ? ds->gs : 0;
    long ge = ds->started ? ds->ge : ds->table.nobs;
    if (ds->cur < gs - 1)
        ds->cur = gs - 1;
    if (ds->cur + 1 >= ge)
        return XO_EOG;
    ++ds->cur;
    return 0;
}

int xopnt(XO_PARMS* parms)
{
    if (parms == nullptr || parms->ds == nullptr || parms->ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    parms->ds->across = -1;
    parms->ds->cur = -1;
    parms->rc = 0;
    return 0;
}

int xoget(XO_PARMS* parms)
{
    if (parms == nullptr || parms->ds == nullptr || parms->ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    DSHANDLE* ds = parms->ds;
    if (ds->across + 1 >= ds->table.nobs) {
        parms->rc = XO_EOG;
        return XO_EOG;
    }
    ds->cur = ++ds->across;
    parms->obs = ds->cur + 1;
    parms->rc = 0;
    return 0;
}

namespace
{
// A reason set inside a message: without its own full stop.
void strip_stop(std::string& why)
{
    while (!why.empty() && (why.back() == '.' || why.back() == ' '))
        why.pop_back();
}
} // namespace

int xofprc(DSHANDLE* ds, int status, int mode)
{
    if (status == 0 || status == XO_EOG || ds == nullptr)
        return 0;
    // Said in words: the reason the file gave (a full disk, a file too
    // large), else what the host's code stands for.
    std::string why;
    if (mode == 4 || ds->mode != VYR_DS_INPUT) {
        if (ds->out) {
            why = ds->out->why;
            ds->out->failed = true;
        }
        if (!ds->writeReported) {
            ds->writeReported = true;
            if (why.empty())
                why = vyr::host_code_text(status);
            strip_stop(why);
            xpmlog(vyr::data::kGroup, 16, ds->display.c_str(), why.c_str());
        }
    } else {
        // Values that could not be loaded from the file: the load said why.
        end_step_if_unreadable(ds);
        if (!ds->readReported) {
            ds->readReported = true;
            why = vyr::host_code_text(status);
            strip_stop(why);
            xpmlog(vyr::data::kGroup, 15, ds->display.c_str(), why.c_str());
        }
    }
    xsetrc(1008);
    return 0;
}

int xofprc(XO_PARMS* parms, int status, int mode)
{
    if (parms == nullptr)
        return 0;
    return xofprc(parms->ds, status, mode);
}
