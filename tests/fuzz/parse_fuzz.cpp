// Fuzz target for the program reader and the statement parser. Feeds random
// and mutated programs for a bounded time and stops at the first crash or
// sanitizer report (which abort the process). Most inputs go straight to the
// parser with the procedure's grammar; every 50th runs through the whole
// session (the program reader, macro variables, step splitting) with a
// procedure that only parses.
//
//   fuzz_parse [--seconds N] [--seed S] [--verbose]
//
// Built with -DKORV_LIBFUZZER and -fsanitize=fuzzer it is a libFuzzer target
// instead (LLVMFuzzerTestOneInput).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "frame/korvg.h"
#include "host/session/session_state.h"
#include "runtime/procstr.h"
#include "runtime/xsparse.h"
#include "support/fake_env.h"
#include "vyr_host.h"
#include "vyr_parse.h"
#include "vyr_session.h"

namespace
{

std::string g_data_dir, g_out_dir;

const char* kSeeds[] = {
    "proc korvante data=lung plots=(s(cl atrisk(maxlen=5 outside(0.3))=0 to 100 by 25 cb=all "
    "strata=panel) hazard(bw=range(1,5) kernel=e ngrid=50) ls lls d(cl)) method=km;\n"
    "time time*status(0 1) / failcode=1 2;\nstrata age(40 50 60) sex / test=(logrank fh(0.5,1)) "
    "diff=control('1' 'a') adjust=sim(acc=0.01 seed=3 report) stepdown(type=logical(2) report);\n"
    "run;\n",
    "proc korvante data=lung outsurv=o outtest=t timelist=1 2 3 to 9 by 2 reduceout alpha=0.1 "
    "conftype=logit confband=ep bandmin=1 bandmax=9 singular=1e-9 nelson atrisk noleft;\n"
    "time time*status(1); by sex descending age notsorted; freq f / notrunc; id x1-x3 grp;\n"
    "test x1--x3; survival out=work.s alpha=0.2 stderr maxtime=.; run;\n",
    "proc korvante data=lung method=lt intervals=(0, 10 to 100 by 10) width=5 ninterval=7 "
    "lineprinter plots=(s h p) formchar(1 2)='|-' description='x' gout=lib.cat es=dot cs='o' "
    "cc=red;\ntime time*status(0); strata _numeric_ x: a-numeric-b c-char-d / group=grp "
    "order=internal nolabel missing trend notest nodetail;\nrun;\n",
    "proc korvante data=lung rmst(tau=5 cl bc) rmtl(tau=3) plots=(rmst(cl strata=individual) "
    "rmtl cif(cl test)) error=delta rho=0.5 cifvar xcbminopt printphantom sid=on;\n"
    "time t*s(0) / eventcode='01jan2000'd '12:00't '01jan1960:00:00:00'dt;\nweight wt;\nrun;\n",
    "%let a=time*status(1) ;\n%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n"
    "%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\n"
    "%let a=&a&a;\n%let a=&a&a;\n%let a=&a&a;\nproc korvante data=lung;\ntime &a;\n"
    "title \"&a&a\";\nrun;\n",
};

// Programs at the length limits, run through the whole session once at the
// start: a macro variable doubled until it passes its cap, values at the cap
// and one byte over it, and a statement that references grow past the
// longest a statement may become.
std::vector<std::string> limit_programs()
{
    std::vector<std::string> out;
    std::string doubling = "%let a=" + std::string(50, 'x') + ";\n";
    for (int i = 0; i < 29; ++i)
        doubling += "%let a=&a&a;\n";
    out.push_back(doubling + "proc korvante data=lung; time &a; run;\n");
    out.push_back("%let b=" + std::string(vyr::kMacroValueMax, 'y') + ";\n%let c=" +
                  std::string(vyr::kMacroValueMax + 1, 'z') +
                  ";\nproc korvante data=lung; title '&b'; time &c; run;\n");
    std::string grow = "%let b=" + std::string(vyr::kMacroValueMax, 'y') + ";\ntitle \"";
    for (int i = 0; i < 40; ++i)
        grow += "&b";
    out.push_back(grow + "\";\nproc korvante data=lung; time t*s(1); run;\n");
    return out;
}

const char* kWords[] = {
    "proc",     "korvante",
    "data",     "=",
    "(",        ")",
    ",",        "/",
    "*",        "-",
    "--",       ":",
    ";",        "time",
    "strata",   "by",
    "to",       "plots",
    "s",        "h",
    "cl",       "test",
    "all",      "none",
    "'q'",      "\"dq\"",
    "1",        "-2",
    "3.5",      "1e300",
    "1e999",    ".",
    ".a",       "'01jan2000'd",
    "'x",       "_all_",
    "x1-x9",    "lung",
    "lib.mem",  "diff",
    "control",  "adjust",
    "sim",      "bw",
    "range",    "atrisk",
    "outside",  "&data",
    "%let",     "run",
    "quit",     "/*",
    "*/",       "\n",
    "   ",      "\t",
    "\xc3\xa9", "\x01",
    "@",        "survival",
    "out",      "method",
    "lt",       "fh",
    "fleming",  "intervals",
    "timelist", "0 to 1e9 by 1e-9",
    "&a&a",     "%let a=&a&a;",
};

std::string mutate(std::string s, std::mt19937_64& rng)
{
    std::uniform_int_distribution<int> op(0, 7);
    int n = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) {
        std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (op(rng)) {
        case 0: // flip a byte
            if (!s.empty())
                s[at % s.size()] = static_cast<char>(rng() & 0xFF);
            break;
        case 1: // delete a range
            if (!s.empty())
                s.erase(at % s.size(), 1 + rng() % 12);
            break;
        case 2:
        case 3: // insert a word
            s.insert(at, std::string(" ") + kWords[rng() % (sizeof kWords / sizeof *kWords)] + " ");
            break;
        case 4: // duplicate a range
            if (!s.empty()) {
                std::size_t a = at % s.size();
                s.insert(a, s.substr(a, 1 + rng() % 40));
            }
            break;
        case 5: // a run of one character
            s.insert(at, std::string(1 + rng() % 50, "()=,;'\"-"[rng() % 8]));
            break;
        case 6: // splice in part of another seed
        {
            const char* other = kSeeds[rng() % (sizeof kSeeds / sizeof *kSeeds)];
            std::size_t len = std::strlen(other);
            std::size_t from = rng() % len;
            s.insert(at,
                     std::string(other + from, std::min<std::size_t>(len - from, 1 + rng() % 60)));
            break;
        }
        default: // truncate
            s.resize(at);
            break;
        }
    }
    if (s.size() > 20000)
        s.resize(20000);
    return s;
}

// Splits at ";" outside quotes, as a reader would (the session's reader is
// exercised separately through vyr_run_text).
std::vector<PARSESTMT> split(const std::string& program)
{
    std::vector<PARSESTMT> out;
    std::string cur;
    char quote = 0;
    for (char c : program) {
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ';') {
            PARSESTMT p;
            p.text = cur;
            out.push_back(p);
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (!cur.empty()) {
        PARSESTMT p;
        p.text = cur;
        out.push_back(p);
    }
    return out;
}

void parse_direct(const std::string& program)
{
    FakeEnv env;
    PARSECONTROL pc{};
    pc.grammar = korvg_grammar();
    vyr_parse_statements(&pc, split(program), env);
    // Walk every record the parse left: the fields must be consistent.
    for (STMT* s = pc.head; s; s = s->next)
        for (int k = 0; k < s->nfld; ++k) {
            const STLIST& f = s->fld[k];
            volatile double sink = 0;
            if (f.type == STL_NUMBERS)
                for (int i = 0; i < f.n; ++i)
                    sink = sink + f.dvals[i];
            if (f.type == STL_VARS || f.type == STL_CODES || f.type == STL_POSITIONS)
                for (int i = 0; i < f.n; ++i)
                    sink = sink + f.ivals[i];
            if (f.type == STL_TEXTS)
                for (int i = 0; i < f.n; ++i)
                    sink = sink + static_cast<double>(std::strlen(f.texts[i].s));
            if (f.text)
                sink = sink + static_cast<double>(std::strlen(f.text));
            (void)sink;
        }
}

int parse_step()
{
    xinit();
    PARSECONTROL* pc = korvg();
    xsparse(pc, nullptr);
    return pc->error ? pc->error : 0;
}

void run_session(const std::string& program)
{
    static bool registered = false;
    if (!registered) {
        vyr_register_procedure("KORVANTE", parse_step);
        registered = true;
    }
    // Real data (the bundled examples) so that variable lists resolve;
    // output data sets go to a scratch folder.
    static std::string& data_dir = g_data_dir;
    static std::string& out_dir = g_out_dir;
    if (out_dir.empty()) {
        const char* src = std::getenv("KORV_SOURCE_DIR");
        data_dir = std::string(src ? src : ".") + "/examples";
        char tmpl[] = "/tmp/korv_fuzz_XXXXXX";
        const char* d = mkdtemp(tmpl);
        out_dir = d ? d : "/tmp";
    }
    VyrSettings s;
    s.dataDir = data_dir;
    s.outDir = out_dir;
    std::string listing, log;
    vyr::print_capture(&listing, &log);
    vyr_run_text(s, program);
    vyr::print_capture(nullptr, nullptr);
}

} // namespace

#ifdef KORV_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string program(reinterpret_cast<const char*>(data), size);
    parse_direct(program);
    if (size % 16 == 0)
        run_session(program);
    return 0;
}
#else
int main(int argc, char** argv)
{
    double seconds = 20;
    uint64_t seed = std::random_device{}();
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--verbose"))
            verbose = true;
    }
    std::printf("fuzz_parse: seed %llu, %.0f s\n", static_cast<unsigned long long>(seed), seconds);
    std::fflush(stdout);
    std::mt19937_64 rng(seed);
    auto start = std::chrono::steady_clock::now();
    long n = 0;
    for (const std::string& program : limit_programs())
        run_session(program);
    std::vector<std::string> pool(std::begin(kSeeds), std::end(kSeeds));
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
           seconds) {
        std::string base = pool[rng() % pool.size()];
        std::string input = mutate(base, rng);
        if (verbose)
            std::fprintf(stderr, "--- %ld\n%s\n", n, input.c_str());
        parse_direct(input);
        if (n % 50 == 0)
            run_session(input);
        // Keep some mutants as new starting points, so errors compound.
        if (rng() % 8 == 0) {
            if (pool.size() < 64)
                pool.push_back(input);
            else
                pool[4 + rng() % (pool.size() - 4)] = input;
        }
        ++n;
    }
    std::printf("fuzz_parse: %ld inputs, no crash\n", n);
    if (!g_out_dir.empty() && g_out_dir != "/tmp") {
        std::error_code ec;
        std::filesystem::remove_all(g_out_dir, ec);
    }
    return 0;
}
#endif
