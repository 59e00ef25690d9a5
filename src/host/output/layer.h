// Internals shared by the output layer's files.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "host/output/document.h"
#include "vyr_output.h"

namespace vdq
{

// printf with the host's conventions ("%*s" counted text, "%k" text key,
// leading severity field dropped).
std::string formatText(const char* format, int flen, va_list ap);
std::string formatTextv(const char* format, int flen, ...);
// Catalogue text of group/number: unchanged, or formatted with arguments.
std::string catalogueRaw(int group, int number);
std::string catalogueFormatted(int group, int number, va_list ap);
// Frees every text key (at the end of a step, after rendering).
void releaseTextKeys();

// The document being made by the running step (started on first use).
StepDoc& currentStep();
// Closes the running step's document: returns it and starts a fresh one;
// frees the step's objects.
StepDoc takeCurrentStep();
// Draws the graphs of a step's document (their SVG text into the nodes) and
// writes their files under <out>/graphs; `stepIndex` keeps their ids apart
// from those of the page's other steps. resetGraphFiles starts a run afresh.
// Returns the number of files that could not be written (each said in the
// log).
int drawStepGraphs(StepDoc& doc, size_t stepIndex);
void resetGraphFiles();
// Registers the layer's hooks with the session (once per run).
void attachSession();
// Opens a BY group at the top of the running step's document, with its BY
// variables' values.
void openByGroup(const std::string& byline, std::vector<Dynamic> values = {});

// What a data object holds (for tests and diagnostics): false when `obj`
// is not a data object.
struct DataInfo {
    std::string name, label;
    bool flag336 = false;
    bool columnsEnded = false;
    std::vector<Column> columns;
    std::vector<const void*> addresses; // bound address of each column
    size_t pendingRows = 0;
};
bool dataInfo(xobop obj, DataInfo& out);

} // namespace vdq
