// Helpers of the output data set definers.
#pragma once

#include <string>
#include <vector>

#include "common/korvcom.h"
#include "vyr_data.h"

namespace korv_results
{

void setLabel(NAMESTR& d, const char* text, int length);
void setName(NAMESTR& d, const char* text, int length);
// Label = the unchanged catalogue text of message 326/number.
void labelFromCatalogue(NAMESTR& d, int number);
// Sets a data set's label; a refusal is logged and the data set goes on
// without it.
void setDataSetLabel(void* ds, const char* text, int length);
void defineByVariables(KorvPtr q, void* handle);
void defineStrataCopies(KorvPtr q, void* handle);
void defineGroupCopy(KorvPtr q, void* handle);
// Names of the SID= variables: "_" and each STRATA variable's name, cut to
// 32 characters; a name that equals one taken before (case-insensitive) gets
// a number in its last characters instead.
std::vector<std::string> sidNames(const std::vector<std::string>& strataNames,
                                  const std::vector<std::string>& taken);

} // namespace korv_results
