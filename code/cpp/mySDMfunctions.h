// Transforms of the predictors of a design matrix (linear detrending,
// temporal derivative, squaring, delay, z-transformation), the statistics they
// rest on, the concatenation of two matrices, a table of predictor
// correlations, and the drawing of all predictors in one host plot window.
// All arithmetic is single precision.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mySDM.h"

// In place, on predictor i (an index into Predictors). Each appends a suffix
// to the predictor's name, so that a name records the chain applied to it.

// Removes the least-squares straight line; " detrended". Fewer than two
// values are left as they are (only the suffix is appended).
void detrendPredictor(SDM& sdm, int i);
// Central difference (c[k+1] − c[k−1])/2, first and last value 0; " derivative".
void derivativePredictor(SDM& sdm, int i);
// Every value squared; " squared".
void squarePredictor(SDM& sdm, int i);
// Value k becomes value k − shift, the first shift values 0; " t-" and shift.
void timeDelayPredictor(SDM& sdm, int i, unsigned int shift);
// Mean 0 and standard deviation 1 (only centred when the deviation is below
// 0.0001); the name is unchanged.
void zTransformPredictor(SDM& sdm, int i);

// The same on every predictor, in order.
void detrendAllPredictors(SDM& sdm);
void derivativeAllPredictors(SDM& sdm);
void squareAllPredictors(SDM& sdm);
void timeDelayAllPredictors(SDM& sdm, unsigned int shift);
void zTransformAllPredictors(SDM& sdm);

// Whole sets made from a motion SDM (the SDM itself is left as it is).

// The squared temporal derivative of the detrended parameters, z-scored: every
// predictor detrended, differentiated (central difference), squared, then
// z-transformed, as the confound sets are; the names record the chain. The
// "derivative1_power2" terms of the 24- and 36-parameter motion models.
SDM squaredDerivativeSet(const SDM& motion);
// One predictor per volume listed, 1 at that volume and 0 elsewhere, named
// "Spike Volume k" (k from 0), with motion's data points and no other
// predictor: the layout of the confound task's spike SDM.
SDM spikeSet(const SDM& motion, const std::vector<int>& volumes);

// Mean and sample standard deviation (divisor n − 1); the deviation of fewer
// than two values is 0.
template <typename T>
std::pair<T, T> meanANDstddev(const std::vector<T>& v);
// Pearson correlation; 0 for vectors of different length or when either
// deviation is below 0.0001.
template <typename T>
T correlation(const std::vector<T>& a, const std::vector<T>& b);
// The indices k, ascending, with v[k] strictly greater than the threshold.
template <typename T>
std::vector<int> indicesGreaterThan(const std::vector<T>& v, T threshold);

// A copy of a with b's predictors added by SDM::Append (a constant last predictor stays last).
SDM combine(const SDM& a, const SDM& b);

// Writes the absolute correlations between all predictors as a table
// (" ; "-separated, two decimals) to FileName with the extension ".csv".
// Throws WriteFileError "Cannot Create file: " + path when the file cannot
// be created or written; an existing table is replaced only by a complete one.
void saveCorrelationMatrix(const SDM& sdm);

// Shows every predictor as a line of one host plot window, titled with the
// file name of FileName, x from 1 to NrOfDataPoints and a y range symmetric
// about 0 beyond the largest absolute value. A matrix without predictors or
// data points is not plotted.
void plot(SDM& sdm, int lineSize, int legendA, int legendB);
