#include "gridtransformations.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace {

constexpr float kPi = 3.1415927f;

float sign(float v) { return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f); }

// The rotation block R = Rz(c)·Ry(b)·Rx(a), glm column i, element j.
glm::tmat3x3<float> rotation(float a, float b, float c)
{
    const float sa = std::sin(a), ca = std::cos(a), sb = std::sin(b), cb = std::cos(b), sc = std::sin(c),
                cc = std::cos(c);
    glm::tmat3x3<float> r;
    r[0] = {cb * cc, cb * sc, -sb};
    r[1] = {sa * sb * cc - ca * sc, sa * sb * sc + ca * cc, sa * cb};
    r[2] = {ca * sb * cc + sa * sc, ca * sb * sc - sa * cc, ca * cb};
    return r;
}

} // namespace

glm::tmat4x4<float> getTrfMatrix(Vector<float> const& p)
{
    glm::tmat4x4<float> m(1.0f);
    if (p.size() == 6 || p.size() == 9) {
        const glm::tmat3x3<float> r = rotation(p[0], p[1], p[2]);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = r[i][j];
        m[0][3] = p[3];
        m[1][3] = p[4];
        m[2][3] = p[5];
    } else if (p.size() == 12) {
        for (int k = 0; k < 12; ++k) m[k / 4][k % 4] = p[k];
        m[3] = glm::tvec4<float>(0.0f, 0.0f, 0.0f, 1.0f);
    }
    return m;
}

Vector<float> convertTMtoInternalParameters(Vector<float> const& p)
{
    Vector<float> q(6);
    q[0] = p[3] * kPi / 180.0f;
    q[1] = p[4] * kPi / 180.0f;
    q[2] = p[5] * kPi / 180.0f;
    q[3] = -p[0];
    q[4] = -p[1];
    q[5] = -p[2];
    return q;
}

Vector<float> convertInternaltoTMParameters(Vector<float> const& q)
{
    Vector<float> p(6);
    p[0] = -q[3];
    p[1] = -q[4];
    p[2] = -q[5];
    p[3] = q[0] * 180.0f / kPi;
    p[4] = q[1] * 180.0f / kPi;
    p[5] = q[2] * 180.0f / kPi;
    return p;
}

glm::tmat4x4<float> getTrfMatrixTM(Vector<float> const& p)
{
    return getTrfMatrix(convertTMtoInternalParameters(p));
}

Vector<float> getParametersFromRigidTrfMatrix(glm::tmat4x4<float> m)
{
    Vector<float> r(6, 0.0f);
    const float b = std::asin(-m[0][2]);
    r[1] = b;
    const float cb = std::cos(b);
    const float x = m[0][0] / cb;
    if (std::fabs(x) < 1.0f) {
        const float c = std::acos(x);
        r[2] = c;
        if (sign(m[0][1]) != sign(std::sin(c) * cb)) r[2] = -c;
    }
    const float y = m[2][2] / cb;
    if (std::fabs(y) < 1.0f) {
        const float a = std::acos(y);
        r[0] = a;
        if (sign(m[1][2]) != sign(std::sin(a) * cb)) r[0] = -a;
    }
    r[3] = m[0][3];
    r[4] = m[1][3];
    r[5] = m[2][3];
    return r;
}

float dRMS(glm::tmat4x4<float> A, glm::tmat4x4<float> B, float radius)
{
    // The mean squared displacement of a rigid motion over a ball of radius r
    // is r²/5 · ‖R − I‖²_F + ‖t‖², for D = B·A⁻¹ taking A's image to B's.
    const glm::tmat4x4<float> D = B * glm::inverse(A);
    float S = 0.0f;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const float e = D[i][j] - (i == j ? 1.0f : 0.0f);
            S += e * e;
        }
    const float d2 = D[0][3] * D[0][3] + D[1][3] * D[1][3] + D[2][3] * D[2][3];
    return std::sqrt(0.2f * radius * radius * S + d2);
}

std::vector<float> getDistanceRMSfrom3DMCSDM(SDM const& sdm)
{
    if (sdm.NrOfPredictors.value() < 6 || sdm.Predictors.size() < 6)
        throw std::runtime_error("The motion SDM " + sdm.FileName + " holds " +
                                 std::to_string(sdm.NrOfPredictors.value()) +
                                 " predictors; the RMS displacement needs the six motion parameters.");
    const int n = sdm.NrOfDataPoints.value();
    std::vector<float> result(static_cast<std::size_t>(n > 0 ? n : 0), 0.0f);
    if (n < 2) return result;
    Vector<float> p(6);
    const auto at = [&](int t) {
        for (int k = 0; k < 6; ++k) p[k] = sdm.Predictors[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)];
        return getTrfMatrixTM(p);
    };
    glm::tmat4x4<float> previous = at(0);
    for (int i = 0; i + 1 < n; ++i) {
        const glm::tmat4x4<float> next = at(i + 1);
        result[static_cast<std::size_t>(i + 1)] = dRMS(previous, next, 65.0f);
        previous = next;
    }
    return result;
}

std::vector<glm::tvec3<float>> getGrid3D(glm::tvec3<int> dims, glm::tvec3<float> extent)
{
    const int count = dims.x * dims.y * dims.z;
    std::vector<glm::tvec3<float>> grid;
    if (dims.x <= 0 || dims.y <= 0 || dims.z <= 0 || count <= 0) return grid;
    grid.reserve(static_cast<std::size_t>(count));
    const float sx = extent.x / static_cast<float>(dims.x), sy = extent.y / static_cast<float>(dims.y),
                sz = extent.z / static_cast<float>(dims.z);
    for (int k = 0; k < dims.z; ++k)
        for (int j = 0; j < dims.y; ++j)
            for (int i = 0; i < dims.x; ++i)
                grid.emplace_back(static_cast<float>(i) * sx + (sx - extent.x) * 0.5f,
                                  static_cast<float>(j) * sy + (sy - extent.y) * 0.5f,
                                  static_cast<float>(k) * sz + (sz - extent.z) * 0.5f);
    return grid;
}

std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat4x4<float> const& m)
{
    std::vector<glm::tvec3<float>> out(grid.size());
    const float m00 = m[0][0], m10 = m[1][0], m20 = m[2][0], m03 = m[0][3];
    const float m01 = m[0][1], m11 = m[1][1], m21 = m[2][1], m13 = m[1][3];
    const float m02 = m[0][2], m12 = m[1][2], m22 = m[2][2], m23 = m[2][3];
    const std::size_t n = grid.size();
    const glm::tvec3<float>* __restrict in = grid.data();
    glm::tvec3<float>* __restrict o = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        const float x = in[i].x, y = in[i].y, z = in[i].z;
        o[i].x = (m00 * x + m10 * y) + m20 * z + m03;
        o[i].y = (m01 * x + m11 * y) + m21 * z + m13;
        o[i].z = (m02 * x + m12 * y) + m22 * z + m23;
    }
    return out;
}

std::vector<glm::tvec3<float>> getTransformedGrid3D(std::vector<glm::tvec3<float>> const& grid,
                                                    glm::tmat3x3<float> const& m)
{
    std::vector<glm::tvec3<float>> out(grid.size());
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const float x = grid[i].x, y = grid[i].y, z = grid[i].z;
        out[i].x = m[0][0] * x + m[1][0] * y + m[2][0] * z;
        out[i].y = m[0][1] * x + m[1][1] * y + m[2][1] * z;
        out[i].z = m[0][2] * x + m[1][2] * y + m[2][2] * z;
    }
    return out;
}

std::vector<std::vector<glm::tvec3<float>>> getGridDerivatives(std::vector<glm::tvec3<float>> const& grid,
                                                               Vector<float> const& p)
{
    std::vector<std::vector<glm::tvec3<float>>> fields;
    const std::size_t n = grid.size();
    if (p.size() == 6 || p.size() == 9) {
        const float a = p[0], b = p[1], c = p[2];
        const float sa = std::sin(a), ca = std::cos(a), sb = std::sin(b), cb = std::cos(b), sc = std::sin(c),
                    cc = std::cos(c);
        glm::tmat3x3<float> da(0.0f), db(0.0f), dc(0.0f);
        // Partial derivatives of the rotation block, entry by entry.
        da[1] = {ca * sb * cc + sa * sc, ca * sb * sc - sa * cc, ca * cb};
        da[2] = {ca * sc - sa * sb * cc, -ca * cc - sa * sb * sc, -sa * cb};
        db[0] = {-sb * cc, -sb * sc, -cb};
        db[1] = {sa * cb * cc, sa * cb * sc, -sa * sb};
        db[2] = {ca * cb * cc, ca * cb * sc, -ca * sb};
        dc[0] = {-cb * sc, cb * cc, 0.0f};
        dc[1] = {-sa * sb * sc - ca * cc, sa * sb * cc - ca * sc, 0.0f};
        dc[2] = {-ca * sb * sc + sa * cc, ca * sb * cc + sa * sc, 0.0f};
        fields.push_back(getTransformedGrid3D(grid, da));
        fields.push_back(getTransformedGrid3D(grid, db));
        fields.push_back(getTransformedGrid3D(grid, dc));
        fields.emplace_back(n, glm::tvec3<float>(1.0f, 0.0f, 0.0f));
        fields.emplace_back(n, glm::tvec3<float>(0.0f, 1.0f, 0.0f));
        fields.emplace_back(n, glm::tvec3<float>(0.0f, 0.0f, 1.0f));
        if (p.size() == 9) {
            const glm::tmat3x3<float> r = rotation(a, b, c);
            for (int row = 0; row < 3; ++row) {
                const glm::tvec3<float> rowOfR(r[0][row], r[1][row], r[2][row]);
                std::vector<glm::tvec3<float>> field(n);
                for (std::size_t i = 0; i < n; ++i) field[i] = grid[i][row] * rowOfR;
                fields.push_back(std::move(field));
            }
        }
    } else if (p.size() == 12) {
        fields.assign(12, std::vector<glm::tvec3<float>>(n, glm::tvec3<float>(0.0f)));
        for (std::size_t i = 0; i < n; ++i) {
            const float x = grid[i].x, y = grid[i].y, z = grid[i].z;
            fields[0][i] = {x, 0, 0};
            fields[1][i] = {y, 0, 0};
            fields[2][i] = {z, 0, 0};
            fields[3][i] = {1, 0, 0};
            fields[4][i] = {0, x, 0};
            fields[5][i] = {0, y, 0};
            fields[6][i] = {0, z, 0};
            fields[7][i] = {0, 1, 0};
            fields[8][i] = {0, 0, x};
            fields[9][i] = {0, 0, y};
            fields[10][i] = {0, 0, z};
            fields[11][i] = {0, 0, 1};
        }
    }
    return fields;
}
