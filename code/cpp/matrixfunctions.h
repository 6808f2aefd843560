// Dense linear algebra in single precision: the singular value decomposition
// and the inversion of a square matrix through it.
#pragma once

#include "matrix.h"
#include "vector.h"

// |a| with the sign of b (b >= 0 counts as positive, so SIGN(-3, 0) is 3).
float SIGN(const float& a, const float& b);

float MAX(const float& a, const float& b);
int MAX(const int& a, const int& b);
float MIN(const float& a, const float& b);
int MIN(const int& a, const int& b);

// sqrt(a*a + b*b), scaled so that neither square overflows nor underflows.
float pythag(float a, float b);

// Singular value decomposition a = U * diag(w) * V^T of an m x n matrix.
// On success a holds U (m x n), w the n non-negative singular values
// (unsorted) and v the n x n matrix V itself. False when the QR
// diagonalisation does not converge; a, w and v are then partly transformed.
bool svdcmp(Matrix<float>& a, Vector<float>& w, Matrix<float>& v);

// Replaces a square matrix by its inverse, V * diag(1/w) * U^T, skipping
// singular values that are exactly 0 (so a singular matrix yields its
// pseudo-inverse). False, a unchanged, when a is not square; false when the
// decomposition fails.
bool invertMatrix(Matrix<float>& a);

// The inverse of a as a new matrix; throws std::runtime_error
// "Matrix inversion failed" when invertMatrix fails.
Matrix<float> getInverseMatrix(const Matrix<float>& a);

// The pseudo-inverse V * diag(1/w) * U^T of an m x n matrix (n x m) and the
// matrix's numerical rank. A singular value at or below max(m, n) * FLT_EPSILON
// times the largest one is rounding noise (the trace of a column that is a
// combination of others) and counts as 0, so a design with redundant columns
// is fitted as the design without them. Throws std::runtime_error "Matrix
// inversion failed" when the decomposition does not converge.
struct PseudoInverse {
    Matrix<float> inverse;
    int rank = 0;
};
PseudoInverse getPseudoInverse(const Matrix<float>& a);
