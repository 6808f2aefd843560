#include "matrixfunctions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

float SIGN(const float& a, const float& b) { return b >= 0.0f ? std::fabs(a) : -std::fabs(a); }

float MAX(const float& a, const float& b) { return b > a ? b : a; }
int MAX(const int& a, const int& b) { return b > a ? b : a; }
float MIN(const float& a, const float& b) { return b < a ? b : a; }
int MIN(const int& a, const int& b) { return b < a ? b : a; }

float pythag(float a, float b)
{
    const float p = std::fabs(a);
    const float q = std::fabs(b);
    if (p > q) {
        const float ratio = q / p;
        return p * std::sqrt(1.0f + ratio * ratio);
    }
    if (q == 0.0f) return 0.0f;
    const float ratio = p / q;
    return q * std::sqrt(1.0f + ratio * ratio);
}

namespace {

// A value is negligible against the norm of the bidiagonal form when adding
// it to that norm does not change the norm in single precision. The sum is
// kept in a float on purpose: the test is the precision of the arithmetic.
bool negligible(float value, float norm)
{
    const float sum = std::fabs(value) + norm;
    return sum == norm;
}

// Plane rotation of columns p and q of a (rows 0 .. rows-1):
// (col_p, col_q) <- (col_p*c + col_q*s, col_q*c - col_p*s).
void rotateColumns(Matrix<float>& a, int rows, int p, int q, float c, float s)
{
    for (int r = 0; r < rows; ++r) {
        const float x = a.at(r, p);
        const float z = a.at(r, q);
        a.at(r, p) = x * c + z * s;
        a.at(r, q) = z * c - x * s;
    }
}

} // namespace

// Golub-Reinsch: Householder reduction to upper bidiagonal form, accumulation
// of the two orthogonal factors, then implicit-shift QR sweeps on the
// bidiagonal form until every superdiagonal element is negligible.
bool svdcmp(Matrix<float>& a, Vector<float>& w, Matrix<float>& v)
{
    const int m = a.rows();
    const int n = a.columns();
    w.resize(n);
    v.resize(n, n);
    // e[i] is the superdiagonal element coupling w[i-1] and w[i]; e[0] stays 0.
    std::vector<float> e(static_cast<std::size_t>(n > 0 ? n : 0), 0.0f);
    // Scratch for the row reflector of the current step.
    std::vector<float> rowReflector(static_cast<std::size_t>(n > 0 ? n : 0), 0.0f);

    // ---- 1. bidiagonalisation
    // Column step i zeroes a(i+1.., i) with a reflector stored in a(i.., i);
    // row step i zeroes a(i, i+2..) with a reflector stored in a(i, i+1..).
    // Each reflector is built on the vector scaled by the sum of its absolute
    // values, which keeps the squares away from overflow and underflow.
    float g = 0.0f;
    float scale = 0.0f;
    float anorm = 0.0f;
    for (int i = 0; i < n; ++i) {
        const int next = i + 1;
        e[static_cast<std::size_t>(i)] = scale * g;
        g = 0.0f;
        scale = 0.0f;
        float s = 0.0f;
        if (i < m) {
            for (int k = i; k < m; ++k) scale += std::fabs(a.at(k, i));
            if (scale != 0.0f) {
                for (int k = i; k < m; ++k) {
                    a.at(k, i) /= scale;
                    s += a.at(k, i) * a.at(k, i);
                }
                const float f = a.at(i, i);
                g = -SIGN(std::sqrt(s), f);
                const float h = f * g - s;
                a.at(i, i) = f - g;
                for (int j = next; j < n; ++j) {
                    float dot = 0.0f;
                    for (int k = i; k < m; ++k) dot += a.at(k, i) * a.at(k, j);
                    const float factor = dot / h;
                    for (int k = i; k < m; ++k) a.at(k, j) += factor * a.at(k, i);
                }
                for (int k = i; k < m; ++k) a.at(k, i) *= scale;
            }
        }
        w[i] = scale * g;

        g = 0.0f;
        scale = 0.0f;
        s = 0.0f;
        if (i < m && i != n - 1) {
            for (int k = next; k < n; ++k) scale += std::fabs(a.at(i, k));
            if (scale != 0.0f) {
                for (int k = next; k < n; ++k) {
                    a.at(i, k) /= scale;
                    s += a.at(i, k) * a.at(i, k);
                }
                const float f = a.at(i, next);
                g = -SIGN(std::sqrt(s), f);
                const float h = f * g - s;
                a.at(i, next) = f - g;
                for (int k = next; k < n; ++k) rowReflector[static_cast<std::size_t>(k)] = a.at(i, k) / h;
                for (int j = next; j < m; ++j) {
                    float dot = 0.0f;
                    for (int k = next; k < n; ++k) dot += a.at(j, k) * a.at(i, k);
                    for (int k = next; k < n; ++k) a.at(j, k) += dot * rowReflector[static_cast<std::size_t>(k)];
                }
                for (int k = next; k < n; ++k) a.at(i, k) *= scale;
            }
        }
        anorm = MAX(anorm, std::fabs(w[i]) + std::fabs(e[static_cast<std::size_t>(i)]));
    }

    // ---- 2. right-hand factor V, from the row reflectors, last one first
    for (int i = n - 1; i >= 0; --i) {
        const int next = i + 1;
        if (i < n - 1) {
            if (g != 0.0f) {
                // Two divisions rather than one product: a(i, next) * g may underflow.
                for (int j = next; j < n; ++j) v.at(j, i) = (a.at(i, j) / a.at(i, next)) / g;
                for (int j = next; j < n; ++j) {
                    float dot = 0.0f;
                    for (int k = next; k < n; ++k) dot += a.at(i, k) * v.at(k, j);
                    for (int k = next; k < n; ++k) v.at(k, j) += dot * v.at(k, i);
                }
            }
            for (int j = next; j < n; ++j) {
                v.at(i, j) = 0.0f;
                v.at(j, i) = 0.0f;
            }
        }
        v.at(i, i) = 1.0f;
        g = e[static_cast<std::size_t>(i)];
    }

    // ---- 3. left-hand factor U, in place of a, from the column reflectors
    for (int i = MIN(m, n) - 1; i >= 0; --i) {
        const int next = i + 1;
        g = w[i];
        for (int j = next; j < n; ++j) a.at(i, j) = 0.0f;
        if (g != 0.0f) {
            g = 1.0f / g;
            for (int j = next; j < n; ++j) {
                float dot = 0.0f;
                for (int k = next; k < m; ++k) dot += a.at(k, i) * a.at(k, j);
                const float factor = (dot / a.at(i, i)) * g;
                for (int k = i; k < m; ++k) a.at(k, j) += factor * a.at(k, i);
            }
            for (int j = i; j < m; ++j) a.at(j, i) *= g;
        } else {
            for (int j = i; j < m; ++j) a.at(j, i) = 0.0f;
        }
        a.at(i, i) += 1.0f;
    }

    // ---- 4. diagonalisation of the bidiagonal form, bottom singular value first
    constexpr int maxTests = 30;
    for (int k = n - 1; k >= 0; --k) {
        for (int test = 1; test <= maxTests; ++test) {
            // Find the top l of the unreduced block ending at k. Stop at a
            // negligible e[l] (the block splits there) or at a negligible
            // w[l-1] (then e[l] must first be chased out by rotations).
            bool chaseOut = true;
            int l = k;
            for (; l >= 0; --l) {
                // e[0] is 0: the block always ends at l = 0 at the latest.
                if (l == 0 || negligible(e[static_cast<std::size_t>(l)], anorm)) {
                    chaseOut = false;
                    break;
                }
                if (negligible(w[l - 1], anorm)) break;
            }
            if (chaseOut) {
                // w[l-1] is zero in effect: rotate e[l] .. e[k] into it.
                const int above = l - 1;
                float c = 0.0f;
                float s = 1.0f;
                for (int i = l; i <= k; ++i) {
                    const float f = s * e[static_cast<std::size_t>(i)];
                    e[static_cast<std::size_t>(i)] = c * e[static_cast<std::size_t>(i)];
                    if (negligible(f, anorm)) break;
                    const float diag = w[i];
                    const float r = pythag(f, diag);
                    w[i] = r;
                    c = diag / r;
                    s = -f / r;
                    rotateColumns(a, m, above, i, c, s);
                }
            }
            const float z = w[k];
            if (l == k) {
                // Converged. Singular values are non-negative: flip the sign
                // of the value together with its right singular vector.
                if (z < 0.0f) {
                    w[k] = -z;
                    for (int j = 0; j < n; ++j) v.at(j, k) = -v.at(j, k);
                }
                break;
            }
            if (test == maxTests) return false;

            // Shift from the trailing 2 x 2 block (Wilkinson-like), then one
            // implicit QR sweep from l to k chasing the bulge down.
            float x = w[l];
            const int penultimate = k - 1;
            float y = w[penultimate];
            float gk = e[static_cast<std::size_t>(penultimate)];
            float hk = e[static_cast<std::size_t>(k)];
            float f = ((y - z) * (y + z) + (gk - hk) * (gk + hk)) / (2.0f * hk * y);
            gk = pythag(f, 1.0f);
            f = ((x - z) * (x + z) + hk * ((y / (f + SIGN(gk, f))) - hk)) / x;

            float c = 1.0f;
            float s = 1.0f;
            for (int j = l; j <= penultimate; ++j) {
                const int i = j + 1;
                float gi = e[static_cast<std::size_t>(i)];
                y = w[i];
                float h = s * gi;
                gi = c * gi;
                float r = pythag(f, h);
                e[static_cast<std::size_t>(j)] = r;
                c = f / r;
                s = h / r;
                f = x * c + gi * s;
                gi = gi * c - x * s;
                h = y * s;
                y *= c;
                rotateColumns(v, n, j, i, c, s);
                r = pythag(f, h);
                w[j] = r;
                if (r != 0.0f) {
                    const float inv = 1.0f / r;
                    c = f * inv;
                    s = h * inv;
                }
                f = c * gi + s * y;
                x = c * y - s * gi;
                rotateColumns(a, m, j, i, c, s);
            }
            e[static_cast<std::size_t>(l)] = 0.0f;
            e[static_cast<std::size_t>(k)] = f;
            w[k] = x;
        }
    }
    return true;
}

bool invertMatrix(Matrix<float>& a)
{
    if (a.rows() != a.columns()) return false;
    const int n = a.rows();
    Vector<float> w;
    Matrix<float> v;
    if (!svdcmp(a, w, v)) return false;

    // a now holds U: the inverse is V * diag(1/w) * U^T, where a singular
    // value of exactly 0 contributes nothing.
    Matrix<float> result(n, n, 0.0f);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k)
                if (w[k] != 0.0f) result.at(i, j) += a.at(j, k) * v.at(i, k) / w[k];
    a = result;
    return true;
}

Matrix<float> getInverseMatrix(const Matrix<float>& a)
{
    Matrix<float> inverse(a);
    if (!invertMatrix(inverse)) throw std::runtime_error("Matrix inversion failed");
    return inverse;
}

PseudoInverse getPseudoInverse(const Matrix<float>& a)
{
    const int m = a.rows(), n = a.columns();
    Matrix<float> u(a);
    Vector<float> w;
    Matrix<float> v;
    if (!svdcmp(u, w, v)) throw std::runtime_error("Matrix inversion failed");

    float largest = 0.0f;
    for (int k = 0; k < n; ++k) largest = std::max(largest, w[k]);
    // The relative tolerance of the decomposition's own rounding (as numpy's
    // pinv takes it): below it a singular value says nothing about the data,
    // and its reciprocal would only amplify noise.
    const float tolerance = static_cast<float>(std::max(m, n)) * std::numeric_limits<float>::epsilon() * largest;
    PseudoInverse result{Matrix<float>(n, m, 0.0f), 0};
    for (int k = 0; k < n; ++k) {
        if (!(w[k] > tolerance)) continue;
        ++result.rank;
        const float reciprocal = 1.0f / w[k];
        for (int j = 0; j < m; ++j) {
            const float scaled = u.at(j, k) * reciprocal;
            for (int i = 0; i < n; ++i) result.inverse.at(i, j) += v.at(i, k) * scaled;
        }
    }
    return result;
}
