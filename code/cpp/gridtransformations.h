// Rigid-body motion and sampling grids.
//
// Motion parameters travel as six-element Vector<float> in one of two orders:
//  - TM order (the host's 3DMC SDM predictors): translations x, y, z in mm,
//    then rotations about x, y, z in degrees;
//  - internal order: rotations a, b, c about x, y, z in radians, then the
//    translations with the opposite sign.
// A rigid transform is a glm 4x4 float matrix holding R = Rz(c)·Ry(b)·Rx(a)
// in its upper-left block and the translation t in the fourth element of its
// first three columns, m[0][3], m[1][3], m[2][3]; m[3] is (0, 0, 0, 1). A
// point moves as x' = R·x + t.
//
// A sampling grid lists the physical positions of the voxel centres of a
// volume, in voxel order, with the volume's centre at the origin.
#pragma once

#include <utility>
#include <vector>

#include <glm/glm.hpp>

#include "vector.h"
#include "volume.h"

class SDM;

// ---- Rigid-body transforms and RMS displacement -----------------------------

// Matrix from internal parameters (6 or 9 elements; elements 6 to 8 unused),
// or from a 12-element affine form (storage elements 0..11, then 0, 0, 0, 1).
// Any other length gives the identity.
glm::tmat4x4<float> getTrfMatrix(Vector<float> const& p);
// Matrix from TM parameters: getTrfMatrix(convertTMtoInternalParameters(p)).
glm::tmat4x4<float> getTrfMatrixTM(Vector<float> const& p);
// TM order to internal order and back. Throw std::runtime_error for fewer
// than six parameters; further elements are ignored.
Vector<float> convertTMtoInternalParameters(Vector<float> const& p);
Vector<float> convertInternaltoTMParameters(Vector<float> const& p);
// Internal parameters of a rigid matrix (getTrfMatrix inverted). An angle
// whose cosine term cannot be inverted (|value| not below 1) stays 0.
Vector<float> getParametersFromRigidTrfMatrix(glm::tmat4x4<float> m);
// Root-mean-square distance between the images of a point under A and under
// B over a solid ball of the given radius about the origin.
float dRMS(glm::tmat4x4<float> A, glm::tmat4x4<float> B, float radius);
// The volume-to-volume RMS displacement of a 3DMC SDM over a 65 mm ball, in
// mm: element t measures the motion from volume t - 1 to t; element 0 is 0.
// Throws std::runtime_error for an SDM with data points but fewer than six
// predictors, or with motion predictors shorter than NrOfDataPoints.
std::vector<float> getDistanceRMSfrom3DMCSDM(SDM const& sdm);

// ---- Sampling grids ---------------------------------------------------------

// A volume with its physical size along x, y and z (voxel count × voxel
// size, in mm). For the gradient and B-spline samplers an x extent of exactly
// 0 means grid positions are voxel indices.
template <typename T>
class MRVolume : public Volume<T> {
public:
    MRVolume() = default;
    MRVolume(Volume<T> volume, glm::tvec3<float> extent) : Volume<T>(std::move(volume)), extent(extent) {}
    MRVolume(glm::tvec3<int> dims, glm::tvec3<float> extent) : Volume<T>(dims), extent(extent) {}

    glm::tvec3<float> extent{0.0f, 0.0f, 0.0f};
};

// The voxel-centre positions of a volume of dims voxels and the given
// physical extent, centred at the origin, x fastest, then y, then z.
std::vector<glm::tvec3<float>> getGrid3D(glm::tvec3<int> dims, glm::tvec3<float> extent);
// Every point moved by the rigid transform m: R·p + t, t from m[0][3], m[1][3], m[2][3].
std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat4x4<float> const& m);
// Every point multiplied by m (glm's m·p).
std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat3x3<float> const& m);

// Trilinear samples at the grid points, 0 outside the volume.
std::vector<float> evaluateGridLinear3D(MRVolume<float> const& vol, std::vector<glm::tvec3<float>> const& grid);
std::vector<std::vector<float>> evaluateAllGridLinear3D(std::vector<MRVolume<float>> const& vols,
                                                        std::vector<glm::tvec3<float>> const& grid);
// Four lists: value and derivatives along x, y, z (per voxel step).
std::vector<std::vector<float>> evaluateGridLinearAndGrad3D(MRVolume<float> const& vol,
                                                            std::vector<glm::tvec3<float>> const& grid);
// Cubic B-spline samples; the coefficients are computed on each call.
std::vector<float> evaluateGridSpline3D(MRVolume<float> const& vol, std::vector<glm::tvec3<float>> const& grid);
std::vector<std::vector<float>> evaluateAllGridSpline3D(std::vector<MRVolume<float>> const& vols,
                                                        std::vector<glm::tvec3<float>> const& grid);
std::vector<std::vector<float>> evaluateGridSplineAndGrad3D(MRVolume<float> const& vol,
                                                            std::vector<glm::tvec3<float>> const& grid);

// Drops, in place and keeping the order, the points whose trilinear sample is exactly 0.
void removeBackgroundGridPoints(std::vector<glm::tvec3<float>>& grid, MRVolume<float> const& vol);

// Derivatives of the transformed positions with respect to the parameters,
// one field of per-point vectors per parameter. Six internal parameters give
// the three rotation and three translation fields; nine add three fields
// (x, y, z times the rows of R); twelve affine elements (row by row) give
// twelve fields. Any other length gives none.
std::vector<std::vector<glm::tvec3<float>>> getGridDerivatives(std::vector<glm::tvec3<float>> const& grid,
                                                               Vector<float> const& p);
