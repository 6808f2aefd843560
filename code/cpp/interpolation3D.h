// Interpolation kernels on raw voxel arrays in Volume order
// (index x + nx·(y + ny·z)): cubic B-splines (coefficients once, then values
// and gradients at any positions) and trilinear interpolation with gradient.
//
// Positions come as a sampling grid and are turned into continuous voxel
// indices with the volume's physical extent (voxel count × voxel size):
// u = (p.x - (step - extent.x)·0.5) / step with step = extent.x / nx, and
// likewise for v and w. An x extent of exactly 0 means the positions are
// voxel indices already. Gradients are per voxel index step.
#pragma once

#include <vector>

#include <glm/glm.hpp>

// The cubic B-spline coefficients of a volume (zero outside it), so that the
// spline through them passes through every voxel value. The largest
// dimension should be at least 2; a single voxel gets 1.5 times its value.
std::vector<double> computeBSplineCoeff3D(float const* data, glm::tvec3<int> dims);

// value[i] = the spline at grid[i]; 0 far outside the volume.
void evalBSpline3D(double* coeff, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid, float* value,
                   glm::tvec3<float> extent);
// The spline and its derivatives along x, y and z at every grid point.
void evalBSplineAndGrad3D(double* coeff, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid,
                          float* value, float* dx, float* dy, float* dz, glm::tvec3<float> extent);
// Trilinear value and gradient; all four are 0 unless the point lies strictly
// inside the first and last voxel centres along every axis.
void evalLinearAndGrad3D(float const* data, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid,
                         float* value, float* dx, float* dy, float* dz, glm::tvec3<float> extent);
