// Rigid-body transforms of the 3D motion correction, the RMS displacement
// between two transforms, and sampling grids of voxel centres moved by them.
//
// Motion parameters travel as six-element vectors in one of two orders:
//  - TM order (the motion SDM's predictors): translations x, y, z in mm, then
//    rotations about x, y, z in degrees;
//  - internal order: rotations about x, y, z in radians, then translations
//    x, y, z with the opposite sign of the TM translations.
//
// A rigid transform matrix holds R = Rz(c)·Ry(b)·Rx(a) (a point is turned first
// about x, then y, then z) and, unlike glm's usual placement, its translation
// in the fourth element of the first three columns: m[0][3], m[1][3], m[2][3].
// A point x moves to x' = R·x + t.
#pragma once

#include <vector>

#include <glm/glm.hpp>

#include "mySDM.h"
#include "vector.h"
#include "volume.h"

// ---------------------------------------------------------------- rigid transforms

// The matrix of internal parameters (6 or 9 elements; elements 6..8 unused) or
// of the 12-element affine form (storage elements 0..11); the identity for any
// other length.
glm::tmat4x4<float> getTrfMatrix(Vector<float> const& p);
// The matrix of TM parameters: getTrfMatrix(convertTMtoInternalParameters(p)).
glm::tmat4x4<float> getTrfMatrixTM(Vector<float> const& p);
// TM order to internal order and back (six elements read and returned).
Vector<float> convertTMtoInternalParameters(Vector<float> const& p);
Vector<float> convertInternaltoTMParameters(Vector<float> const& p);
// The six internal parameters of a rigid matrix; angles whose cosine test
// fails (|x| >= 1, a NaN) stay 0.
Vector<float> getParametersFromRigidTrfMatrix(glm::tmat4x4<float> m);

// Root-mean-square distance between the images of a point under A and under B
// over a solid ball of the given radius about the origin (mm):
// sqrt(radius²/5 · ‖R_B·R_A⁻¹ − I‖²_F + ‖translation of B·A⁻¹‖²).
float dRMS(glm::tmat4x4<float> A, glm::tmat4x4<float> B, float radius);

// The volume-to-volume ("relative") RMS displacement of a motion SDM on a
// 65 mm sphere: element t measures the motion from volume t−1 to t; element 0
// is 0. Throws std::runtime_error for fewer than six predictors.
std::vector<float> getDistanceRMSfrom3DMCSDM(SDM const& sdm);

// ---------------------------------------------------------------- sampling grids

// The voxel-centre positions of a volume of dims voxels and the given physical
// extent (voxel count × voxel size per axis), centred at the origin, in voxel
// order (x fastest).
std::vector<glm::tvec3<float>> getGrid3D(glm::tvec3<int> dims, glm::tvec3<float> extent);
// Every point moved by a rigid transform matrix: x' = R·x + t.
std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat4x4<float> const& m);
// Every point multiplied by a 3×3 matrix (glm's m·p).
std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat3x3<float> const& m);
// The derivatives of the transformed positions with respect to each transform
// parameter (6 or 9 internal parameters, or the 12-element affine form), one
// field of per-point vectors per parameter; empty for any other length.
std::vector<std::vector<glm::tvec3<float>>> getGridDerivatives(std::vector<glm::tvec3<float>> const& grid,
                                                               Vector<float> const& p);
