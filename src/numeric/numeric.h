// The numerical library: distributions, quantiles, band distributions,
// solvers, vector and matrix kernels, quadrature, splines and print widths.
#pragma once

#include "numeric/bands.h"
#include "numeric/binorm.h"
#include "numeric/format.h"
#include "numeric/gamma.h"
#include "numeric/matrix.h"
#include "numeric/normal.h"
#include "numeric/quad.h"
#include "numeric/solvers.h"
#include "numeric/vector.h"
