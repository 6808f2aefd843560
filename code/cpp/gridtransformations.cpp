#include "gridtransformations.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "mySDM.h"

namespace {

// The single-precision value of pi used by the angle conversions.
constexpr float pi = 3.1415927f;

void requireSixParameters(Vector<float> const& p, const char* operation)
{
    if (p.size() < 6)
        throw std::runtime_error(std::string(operation) + ": six motion parameters are needed, got " +
                                 std::to_string(p.size()));
}

float sign(float v) { return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f); }

} // namespace

glm::tmat4x4<float> getTrfMatrix(Vector<float> const& p)
{
    glm::tmat4x4<float> m(1.0f);
    const int n = p.size();
    if (n == 6 || n == 9) {
        const float a = p[0], b = p[1], c = p[2];
        const float sa = std::sin(a), ca = std::cos(a);
        const float sb = std::sin(b), cb = std::cos(b);
        const float sc = std::sin(c), cc = std::cos(c);
        m[0][0] = cb * cc;
        m[0][1] = cb * sc;
        m[0][2] = -sb;
        m[0][3] = p[3];
        m[1][0] = sa * sb * cc - ca * sc;
        m[1][1] = sa * sb * sc + ca * cc;
        m[1][2] = sa * cb;
        m[1][3] = p[4];
        m[2][0] = ca * sb * cc + sa * sc;
        m[2][1] = ca * sb * sc - sa * cc;
        m[2][2] = ca * cb;
        m[2][3] = p[5];
        m[3] = glm::tvec4<float>(0.0f, 0.0f, 0.0f, 1.0f);
    } else if (n == 12) {
        for (int k = 0; k < 12; ++k) m[k / 4][k % 4] = p[k];
        m[3] = glm::tvec4<float>(0.0f, 0.0f, 0.0f, 1.0f);
    }
    return m;
}

glm::tmat4x4<float> getTrfMatrixTM(Vector<float> const& p)
{
    return getTrfMatrix(convertTMtoInternalParameters(p));
}

Vector<float> convertTMtoInternalParameters(Vector<float> const& p)
{
    requireSixParameters(p, "convertTMtoInternalParameters");
    Vector<float> q(6);
    q[0] = p[3] * pi / 180.0f;
    q[1] = p[4] * pi / 180.0f;
    q[2] = p[5] * pi / 180.0f;
    q[3] = -p[0];
    q[4] = -p[1];
    q[5] = -p[2];
    return q;
}

Vector<float> convertInternaltoTMParameters(Vector<float> const& q)
{
    requireSixParameters(q, "convertInternaltoTMParameters");
    Vector<float> p(6);
    p[0] = -q[3];
    p[1] = -q[4];
    p[2] = -q[5];
    p[3] = q[0] * 180.0f / pi;
    p[4] = q[1] * 180.0f / pi;
    p[5] = q[2] * 180.0f / pi;
    return p;
}

Vector<float> getParametersFromRigidTrfMatrix(glm::tmat4x4<float> m)
{
    Vector<float> r(6, 0.0f);
    const float b = std::asin(-m[0][2]);
    r[1] = b;
    const float cb = std::cos(b);
    // The cosines of c and a follow from the first and last diagonal terms;
    // the sign of the angle from the matching sine term.
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
    // D takes a point's image under A to its image under B. Averaged over a
    // solid ball of radius r, |(R - I)x + t|² has the mean r²/5·|R - I|²_F + |t|².
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
    const int n = sdm.NrOfDataPoints;
    if (n <= 0) return {};
    if (sdm.Predictors.size() < 6)
        throw std::runtime_error("The motion SDM " + sdm.FileName + " has " + std::to_string(sdm.Predictors.size()) +
                                 " predictors; the six motion parameters are needed");
    for (int k = 0; k < 6; ++k)
        if (static_cast<int>(sdm.Predictors[k].size()) < n)
            throw std::runtime_error("The motion SDM " + sdm.FileName + " has predictor " + std::to_string(k + 1) +
                                     " with " + std::to_string(sdm.Predictors[k].size()) + " values for " +
                                     std::to_string(n) + " data points");
    std::vector<float> result(n, 0.0f);
    // The radius of a ball about the size of a head, in mm.
    const float radius = 65.0f;
    Vector<float> p(6);
    auto parametersAt = [&](int t) {
        for (int k = 0; k < 6; ++k) p[k] = sdm.Predictors[k][t];
        return getTrfMatrixTM(p);
    };
    glm::tmat4x4<float> previous = parametersAt(0);
    for (int t = 1; t < n; ++t) {
        const glm::tmat4x4<float> current = parametersAt(t);
        result[t] = dRMS(previous, current, radius);
        previous = current;
    }
    return result;
}
