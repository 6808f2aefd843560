// The criteria by which one confound model is preferred to another, voxel by
// voxel and across a mask.
#pragma once

#include <cstddef>
#include <vector>

namespace tool::models {

// The Bayesian information criterion of a least-squares fit with Gaussian
// errors, up to a constant all models of the same data share:
// n * ln(sse / n) + k * ln(n), k the model's independent columns (constant and
// censoring columns included: each censored volume costs one).
double bic(double sse, int n, int k);

// P(F' >= f) for F' of the F distribution with (df1, df2) degrees of freedom;
// 1 for f <= 0 or a value that is not finite (a voxel without a fit).
double fUpperTail(double f, int df1, int df2);

// How many of the p-values pass the Benjamini-Hochberg procedure at false
// discovery rate q: the largest i with p_(i) <= i * q / m (0 when none).
std::size_t benjaminiHochbergPassing(std::vector<double> p, double q);

// The median of the values (NaN for none).
double median(std::vector<double> values);

} // namespace tool::models
