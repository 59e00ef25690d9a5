// Runs a piece of code as the body of a one-step program in the stand-in
// host, with --option values, program text before the step and a registry
// file of the test's choosing, and hands back the log. Header-only so that several test
// folders can share it.
#pragma once

#include "vyr_session.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace step_probe
{

inline std::function<void()>*& body()
{
    static std::function<void()>* b = nullptr;
    return b;
}

inline int entry()
{
    if (body())
        (*body())();
    return 0;
}

struct Run {
    int status = -1;
    std::string log;
    std::string listing;
};

inline std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline Run run(const std::function<void()>& fn,
               const std::map<std::string, std::string>& options = {},
               const std::string& prefix = {}, const std::string& registry = {})
{
    namespace fs = std::filesystem;
    static int counter = 0;
    const fs::path dir =
        fs::temp_directory_path() /
        ("korv-kernel-probe-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
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
    std::function<void()> copy = fn;
    body() = &copy;
    vyr_register_procedure("KPROBE", &entry);
    Run r;
    r.status = vyr_run_text(s, prefix + "proc kprobe; run;\n");
    body() = nullptr;
    r.log = slurp(s.log);
    r.listing = slurp(s.listing);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
}

inline int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace step_probe
