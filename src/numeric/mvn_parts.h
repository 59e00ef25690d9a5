// Parts shared by the multivariate normal integrals of a rectangle
// (mvn.cpp) and of the largest of several normals (mvnmax.cpp).
#pragma once

#include <cstdint>
#include <vector>

namespace korv_mvn
{

// The pivoted Cholesky factor of an m x m correlation, pivoting on the
// largest conditional variance and stopping when none is left above 1e-10:
// each row's coordinates in the rank's dimensions (m x *rank, by rows).
std::vector<double> rankFactor(int m, const std::vector<double>& R, int* rank);

// Eigenvalues and eigenvectors (the columns of an n x n matrix, by rows) of
// a symmetric n x n matrix, by Jacobi rotations.
void symmetricEigen(int n, std::vector<double> S, std::vector<double>& values,
                    std::vector<double>& vectors);

// How evenly m factored rows (m x r, unit length) constrain their space:
// the smallest over the largest eigenvalue of sum_i g_i g_i'. Near 0 there
// is a direction w in which every |g_i . w| is small, and the region the
// rows bound stretches far along it.
double looseness(int r, const std::vector<double>& G, int m, std::vector<double>* values = nullptr,
                 std::vector<double>* vectors = nullptr);

// The generator of the Richtmyer lattice in dim dimensions: the fractional
// parts of the square roots of the first dim primes.
std::vector<double> latticeSteps(int dim);

// M random shifts of that lattice, drawn from the counter-based generator
// keyed by seed.
std::vector<std::vector<double>> latticeShifts(int dim, int M, uint64_t seed);

} // namespace korv_mvn
