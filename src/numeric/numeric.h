// The numerical library: distributions, quantiles, band distributions, the
// distributions of multiple comparisons (studentized range and maximum
// modulus, multivariate normal rectangles), solvers, vector and matrix
// kernels, quadrature, splines and print widths.
#pragma once

#include "numeric/bands.h"
#include "numeric/binorm.h"
#include "numeric/format.h"
#include "numeric/gamma.h"
#include "numeric/matrix.h"
#include "numeric/mcdist.h"
#include "numeric/mvn.h"
#include "numeric/normal.h"
#include "numeric/quad.h"
#include "numeric/solvers.h"
#include "numeric/vector.h"
