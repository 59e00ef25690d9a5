#include "host_probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "vyr_session.h"

namespace
{

std::function<void()>* g_body = nullptr;

int probe_entry()
{
    if (g_body)
        (*g_body)();
    return 0;
}

std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

ProbeRun run_in_step(const std::function<void()>& body, const std::string& registry,
                     const std::map<std::string, std::string>& options,
                     const std::string& program_prefix)
{
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("korv-runtime-basics-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    VyrSettings s;
    s.program = (dir / "probe.vyr").string();
    s.dataDir = dir.string();
    s.outDir = dir.string();
    s.listing = (dir / "probe.lst").string();
    s.log = (dir / "probe.log").string();
    s.graphics = false;
    s.options = options;
    if (!registry.empty()) {
        s.registry = (dir / "probe.reg").string();
        std::ofstream(s.registry, std::ios::binary) << registry;
    }

    std::function<void()> copy = body;
    g_body = &copy;
    vyr_register_procedure("RTPROBE", &probe_entry);
    ProbeRun run;
    run.status = vyr_run_text(s, program_prefix + "proc rtprobe; run;\n");
    g_body = nullptr;
    run.log = slurp(s.log);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return run;
}

int occurrences(const std::string& log, const std::string& text)
{
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}
