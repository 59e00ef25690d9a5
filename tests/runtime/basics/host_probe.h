// Runs a piece of procedure code inside a real step of the stand-in host,
// with a registry file and system options of the test's choosing, and hands
// back the log the step wrote.
#pragma once

#include <functional>
#include <map>
#include <string>

struct ProbeRun {
    int status = -1; // exit status of the run
    std::string log; // the whole log
};

// Runs `body` as the entry of a one-step program. `registry` is the text of
// the registry file (empty: no --registry); `options` are --option values.
ProbeRun run_in_step(const std::function<void()>& body, const std::string& registry = {},
                     const std::map<std::string, std::string>& options = {},
                     const std::string& program_prefix = {});

// Number of times `text` occurs in `log`.
int occurrences(const std::string& log, const std::string& text);
