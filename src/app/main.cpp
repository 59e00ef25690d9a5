// korvante: runs a program of statements (PROC KORVANTE steps and the global
// statements around them) on CSV data, writing the listing, the log, and the
// HTML, JSON and data set outputs asked for.

#include "app/procedures.h"

#include "vyr_graphics.h"
#include "vyr_output.h"
#include "vyr_session.h"
#include "vyr_text.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace
{

const char* const kUsage =
    "Usage: korvante PROGRAM.vyr [options]\n"
    "\n"
    "Runs the statements in PROGRAM.vyr. The listing goes to standard output and\n"
    "the log to standard error unless redirected.\n"
    "\n"
    "Options:\n"
    "  --data DIR            the data folder, where one-level input names (CSV\n"
    "                        files) are found when WORK does not have them;\n"
    "                        default: the program's folder\n"
    "  --out DIR             folder of the WORK library, where one-level output\n"
    "                        names and WORK.NAME are written (not the data\n"
    "                        folder, unless DIR is that folder); default: a\n"
    "                        temporary folder, removed when the run ends\n"
    "  --listing FILE        write the listing to FILE\n"
    "  --log FILE            write the log to FILE\n"
    "  --html FILE           write the output as one self-contained HTML page\n"
    "  --json FILE           write the output as JSON\n"
    "                        (the folder of each FILE must exist, or be the\n"
    "                        --out folder or one above it, which are made)\n"
    "  --graphics on|off     graphs in the output (default: on): inline in the\n"
    "                        HTML page, and with --out as SVG files in\n"
    "                        OUT/graphs; off: PLOTS= draws device plots into\n"
    "                        the graphics catalogue (WORK.GSEG unless GOUT=)\n"
    "  --images png,pdf      also write each graph as PNG and/or PDF, beside its\n"
    "                        SVG file (needs --out)\n"
    "  --option NAME=VALUE   a system option, as in an OPTIONS statement\n"
    "                        (may be repeated); a switch is one word, as\n"
    "                        in --option NOTHREADS\n"
    "  --registry FILE       read registry settings from FILE\n"
    "  --help                show this text\n"
    "  --version             show the version\n"
    "\n"
    "Data set names: NAME is WORK.NAME for an output; for an input, WORK.NAME\n"
    "when it exists, else NAME.csv in the data folder. LIB.NAME uses the folder\n"
    "of LIBNAME LIB. A name never leads out of its folder; a quoted name is a\n"
    "file path, used as given. An output may not replace the step's input,\n"
    "the program, or (for the listing, log, HTML and JSON files) any file the\n"
    "run reads.\n"
    "\n"
    "Exit status: 0 when every step ended with a return code of 4 or less,\n"
    "1 otherwise (the log says why), 2 for a command-line or program-file error.\n";

// A command-line error: said, and the program is not run (status 2).
int usage_error(const std::string& text)
{
    std::fprintf(stderr, "korvante: %s. Nothing was run.\nTry 'korvante --help'.\n", text.c_str());
    return 2;
}

int run_command(int argc, char** argv)
{
    VyrSettings settings;
    bool haveProgram = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("korvante 0.1.0\n");
            return 0;
        }
        if (arg.rfind("--", 0) == 0) {
            std::string name = arg, value;
            std::size_t eq = arg.find('=');
            bool inlineValue = eq != std::string::npos && arg.rfind("--option", 0) != 0;
            if (inlineValue) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            } else if (arg.rfind("--option=", 0) == 0) {
                name = "--option";
                value = arg.substr(9);
                inlineValue = true;
            }
            static const char* const known[] = {"--data",   "--out",     "--listing",  "--log",
                                                "--html",   "--json",    "--graphics", "--images",
                                                "--option", "--registry"};
            bool isKnown = false;
            for (const char* k : known)
                isKnown = isKnown || name == k;
            if (!isKnown)
                return usage_error("unknown option " + arg);
            if (!inlineValue) {
                if (i + 1 >= argc)
                    return usage_error(name + " needs a value");
                value = argv[++i];
            }
            if (value.empty())
                return usage_error(name + " needs a value");
            if (name == "--data")
                settings.dataDir = value;
            else if (name == "--out")
                settings.outDir = value;
            else if (name == "--listing")
                settings.listing = value;
            else if (name == "--log")
                settings.log = value;
            else if (name == "--html")
                settings.html = value;
            else if (name == "--json")
                settings.json = value;
            else if (name == "--registry")
                settings.registry = value;
            else if (name == "--graphics") {
                if (value == "on" || value == "ON")
                    settings.graphics = true;
                else if (value == "off" || value == "OFF")
                    settings.graphics = false;
                else
                    return usage_error("--graphics takes on or off");
            } else if (name == "--images") {
                // png, pdf or both, separated by a comma.
                settings.graphPng = settings.graphPdf = false;
                std::string rest = value + ",";
                for (std::size_t at = 0, c; (c = rest.find(',', at)) != std::string::npos;
                     at = c + 1) {
                    const std::string kind = vyr::upper(rest.substr(at, c - at));
                    if (kind == "PNG")
                        settings.graphPng = true;
                    else if (kind == "PDF")
                        settings.graphPdf = true;
                    else
                        return usage_error("--images takes png, pdf or png,pdf");
                }
                if (!vyr_graphics_can_export())
                    return usage_error("--images is not available: this korvante was built "
                                       "without librsvg, so graphs are written as SVG only");
            } else if (name == "--option") {
                // NAME=VALUE, or a switch as one word (NOTHREADS, NOCENTER),
                // kept with an empty value.
                std::size_t e = value.find('=');
                if (e == 0 || (e != std::string::npos && e + 1 == value.size()))
                    return usage_error("--option takes NAME=VALUE or a switch such as NOTHREADS");
                if (e == std::string::npos)
                    settings.options[vyr::upper(value)] = "";
                else
                    settings.options[vyr::upper(value.substr(0, e))] = value.substr(e + 1);
            }
            continue;
        }
        if (haveProgram)
            return usage_error("only one program file may be given (" + arg + ")");
        settings.program = arg;
        haveProgram = true;
    }
    if (!haveProgram)
        return usage_error("no program file given");
    // Images are written beside the graph files, which only an output
    // folder holds: without one they would go nowhere.
    if ((settings.graphPng || settings.graphPdf) && settings.outDir.empty())
        return usage_error("--images needs --out: the PNG and PDF files are written beside the "
                           "SVG files, in OUT/graphs and in the folders of device-graphics "
                           "catalogues");
    korv_app_register_procedures();
    vyr_install_signal_handlers();
    // The HTML and JSON files are written on every run, even when no step
    // gets as far as making output.
    vyr_output_install();
    return vyr_run(settings);
}

} // namespace

int main(int argc, char** argv)
{
    // The run catches the failures of each step and statement; anything that
    // still escapes is reported here, after the temporary files are removed,
    // and the exit status says the run failed.
    try {
        // Before anything opens a file: a closed standard stream is held on
        // /dev/null, so that no file of the run takes its descriptor.
        std::string why;
        if (!vyr_hold_standard_streams(why)) {
            std::fprintf(stderr, "korvante: %s; nothing was run\n", why.c_str());
            return 1;
        }
        return run_command(argc, argv);
    } catch (const std::bad_alloc&) {
        return vyr_unexpected_failure("out of memory");
    } catch (const std::exception& e) {
        return vyr_unexpected_failure(e.what());
    } catch (...) {
        return vyr_unexpected_failure("an unknown exception");
    }
}
