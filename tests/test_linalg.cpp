// Singular value decomposition, inversion and design matrices, checked by
// identities on random matrices and by worked cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "matrixfunctions.h"
#include "myGLMfunctions.h"
#include "mySDM.h"

namespace {

Matrix<float> randomMatrix(int rows, int columns, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Matrix<float> a(rows, columns);
    for (int j = 0; j < columns; ++j)
        for (int i = 0; i < rows; ++i) a.at(i, j) = value(rng);
    // A strong diagonal keeps the matrix well conditioned.
    for (int i = 0; i < std::min(rows, columns); ++i) a.at(i, i) += 3.0f;
    return a;
}

Matrix<float> fromRows(const std::vector<std::vector<float>>& rows)
{
    Matrix<float> a(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (int i = 0; i < a.rows(); ++i)
        for (int j = 0; j < a.columns(); ++j) a.at(i, j) = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    return a;
}

std::string show(const Matrix<float>& a)
{
    std::ostringstream out;
    for (int i = 0; i < a.rows(); ++i) {
        out << "\n  [";
        for (int j = 0; j < a.columns(); ++j) out << (j ? " " : "") << a.at(i, j);
        out << "]";
    }
    return out.str();
}

// Largest |A - U diag(w) V^T| element, summed in double so that the check
// itself adds no rounding.
double reconstructionError(const Matrix<float>& a, const Matrix<float>& u, const Vector<float>& w, const Matrix<float>& v)
{
    double worst = 0.0;
    for (int i = 0; i < a.rows(); ++i)
        for (int j = 0; j < a.columns(); ++j) {
            double sum = 0.0;
            for (int k = 0; k < a.columns(); ++k) sum += double(u.at(i, k)) * double(w[k]) * double(v.at(j, k));
            worst = std::max(worst, std::fabs(sum - double(a.at(i, j))));
        }
    return worst;
}

// Largest |Q^T Q - I| element for the columns of q.
double orthonormalityError(const Matrix<float>& q)
{
    double worst = 0.0;
    for (int a = 0; a < q.columns(); ++a)
        for (int b = 0; b < q.columns(); ++b) {
            double dot = 0.0;
            for (int i = 0; i < q.rows(); ++i) dot += double(q.at(i, a)) * double(q.at(i, b));
            worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
    return worst;
}

} // namespace

TEST(Scalars, SignMaxMinPythag)
{
    struct Case {
        float a, b, sign;
    };
    const Case signs[] = {{-3.0f, 0.0f, 3.0f}, {3.0f, -0.5f, -3.0f}, {-2.0f, 5.0f, 2.0f}, {2.0f, -1e-30f, -2.0f}, {5.0f, -0.0f, 5.0f}};
    for (const Case& c : signs) EXPECT_EQ(SIGN(c.a, c.b), c.sign) << "SIGN(" << c.a << ", " << c.b << ")";

    EXPECT_EQ(MAX(-7.0f, 2.0f), 2.0f);
    EXPECT_EQ(MIN(2.0f, -7.0f), -7.0f);

    struct Hyp {
        float a, b;
        double expected;
    };
    // Squares of 1e30 overflow a float and squares of 1e-30 underflow it:
    // the scaled form must still give sqrt(2) times the value.
    const Hyp hyps[] = {{3.0f, 4.0f, 5.0},       {0.0f, 0.0f, 0.0},         {-5.0f, 12.0f, 13.0},
                        {4.0f, -3.0f, 5.0},      {1e30f, 1e30f, 1.4142135623730951e30}, {1e-30f, 1e-30f, 1.4142135623730951e-30},
                        {0.0f, -2.5f, 2.5}};
    for (const Hyp& h : hyps) {
        const float got = pythag(h.a, h.b);
        // A few float roundings: 4 units in the last place.
        EXPECT_NEAR(got, h.expected, 4.0 * 6e-8 * h.expected) << "pythag(" << h.a << ", " << h.b << ")";
    }
}

TEST(Svd, IdentitiesOnRandomMatrices)
{
    struct Shape {
        int rows, columns;
    };
    const Shape shapes[] = {{1, 1}, {2, 2}, {3, 3}, {5, 3}, {6, 6}, {10, 4}, {30, 7}, {300, 9}, {21, 21}};
    unsigned seed = 1;
    for (const Shape& s : shapes) {
        const Matrix<float> a = randomMatrix(s.rows, s.columns, seed++);
        Matrix<float> u(a);
        Vector<float> w;
        Matrix<float> v;
        ASSERT_TRUE(svdcmp(u, w, v)) << s.rows << "x" << s.columns;
        ASSERT_EQ(w.size(), s.columns);
        ASSERT_EQ(v.rows(), s.columns);
        ASSERT_EQ(v.columns(), s.columns);
        double scale = 0.0;
        for (int k = 0; k < w.size(); ++k) {
            EXPECT_GE(w[k], 0.0f) << s.rows << "x" << s.columns << " w[" << k << "]";
            scale = std::max(scale, double(w[k]));
        }
        // Backward stable in single precision: errors of a few hundred eps
        // times the largest singular value for these sizes.
        const double tolerance = 200.0 * 6e-8 * std::max(1.0, std::sqrt(double(s.rows)));
        EXPECT_LE(reconstructionError(a, u, w, v), tolerance * scale) << s.rows << "x" << s.columns << show(a);
        EXPECT_LE(orthonormalityError(u), tolerance) << "U^T U, " << s.rows << "x" << s.columns;
        EXPECT_LE(orthonormalityError(v), tolerance) << "V^T V, " << s.rows << "x" << s.columns;
    }
}

TEST(Svd, WorkedCases)
{
    struct Case {
        const char* what;
        std::vector<std::vector<float>> rows;
        std::vector<double> singular; // sorted; empty: rank deficient, one value vanishes
        double tolerance;
    };
    const Case cases[] = {
        // A^T A = [[25, 20], [20, 25]] has eigenvalues 45 and 5.
        {"2x2", {{3, 0}, {4, 5}}, {std::sqrt(5.0), std::sqrt(45.0)}, 1e-5},
        // A negative entry comes out positive and A is still rebuilt: the sign went into V.
        {"diagonal with a negative entry", {{3, 0, 0}, {0, -2, 0}, {0, 0, 1}}, {1, 2, 3}, 1e-6},
        // The third column is the sum of the first two.
        {"rank deficient", {{1, 2, 3}, {4, 5, 9}, {7, 8, 15}, {1, 0, 1}}, {}, 1e-5},
    };
    for (const Case& c : cases) {
        Matrix<float> a = fromRows(c.rows);
        const Matrix<float> original(a);
        Vector<float> w;
        Matrix<float> v;
        ASSERT_TRUE(svdcmp(a, w, v)) << c.what;
        std::vector<float> sorted(w.data(), w.data() + w.size());
        std::sort(sorted.begin(), sorted.end());
        if (c.singular.empty()) {
            EXPECT_LE(sorted.front(), 1e-5f * sorted.back()) << c.what;
        } else {
            ASSERT_EQ(sorted.size(), c.singular.size()) << c.what;
            for (std::size_t k = 0; k < sorted.size(); ++k) EXPECT_NEAR(sorted[k], c.singular[k], c.tolerance) << c.what;
        }
        EXPECT_LE(reconstructionError(original, a, w, v), c.singular.empty() ? c.tolerance * sorted.back() : c.tolerance) << c.what;
    }
}

TEST(Svd, NotANumberNeverConvergesAndFails)
{
    // A NaN spreads through the whole bidiagonal form; no element can then
    // pass the negligibility test, so the iteration limit is reached.
    Matrix<float> a = fromRows({{1, 2, 0}, {2, 5, 1}, {0, 1, 3}});
    a.at(1, 1) = std::numeric_limits<float>::quiet_NaN();
    Vector<float> w;
    Matrix<float> v;
    EXPECT_FALSE(svdcmp(a, w, v));
}

TEST(Inversion, WorkedCases)
{
    {
        Matrix<float> a = fromRows({{1, 2, 3}, {4, 5, 6}});
        const Matrix<float> before(a);
        EXPECT_FALSE(invertMatrix(a));
        EXPECT_TRUE(a == before) << show(a);
        EXPECT_THROW(getInverseMatrix(before), std::runtime_error);
    }
    {
        Matrix<float> a = fromRows({{2, 0}, {0, 4}});
        ASSERT_TRUE(invertMatrix(a));
        const float expected[2][2] = {{0.5f, 0.0f}, {0.0f, 0.25f}};
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) EXPECT_NEAR(a.at(i, j), expected[i][j], 1e-7) << i << "," << j << show(a);
    }
    {
        // All singular values are exactly 0 and skipped: the pseudo-inverse is 0.
        Matrix<float> a(2, 2, 0.0f);
        ASSERT_TRUE(invertMatrix(a));
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) EXPECT_EQ(a.at(i, j), 0.0f) << i << "," << j;
    }
    {
        Matrix<float> a(2, 2, std::numeric_limits<float>::quiet_NaN());
        try {
            getInverseMatrix(a);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Matrix inversion failed");
        }
    }
}

TEST(Inversion, ProductWithInverseIsIdentity)
{
    for (int n : {1, 2, 3, 5, 8, 13}) {
        const Matrix<float> a = randomMatrix(n, n, 100u + unsigned(n));
        const Matrix<float> inverse = getInverseMatrix(a);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double sum = 0.0;
                for (int k = 0; k < n; ++k) sum += double(a.at(i, k)) * double(inverse.at(k, j));
                // Condition numbers of these diagonally dominant matrices are
                // below 10: a few hundred eps is ample.
                EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 2e-5) << "n=" << n << " (" << i << "," << j << ")";
            }
    }
}

// The four conditions that define the Moore-Penrose inverse P of A:
// APA = A, PAP = P, AP and PA symmetric. A design whose columns repeat one
// another (exactly, or to the last bit) must get the rank of its independent
// columns and a pseudo-inverse of ordinary size.
TEST(PseudoInverse, MoorePenroseConditionsAndRank)
{
    const auto withColumn = [](Matrix<float> a, int j, float x, int j1, float y, int j2) {
        for (int i = 0; i < a.rows(); ++i) a.at(i, j) = x * a.at(i, j1) + y * a.at(i, j2);
        return a;
    };
    struct Case {
        const char* what;
        Matrix<float> a;
        int rank;
    };
    const Case cases[] = {
        {"tall, full column rank", randomMatrix(9, 4, 7u), 4},
        {"square", randomMatrix(5, 5, 8u), 5},
        {"a column repeated", withColumn(randomMatrix(9, 4, 9u), 3, 1.0f, 1, 0.0f, 0), 3},
        // Rounded to float, the combination lies next to the span of the
        // others by about 1e-7 of its size: rounding, not information.
        {"a column a rounded combination", withColumn(randomMatrix(12, 5, 10u), 4, 0.3f, 0, -1.7f, 2), 4},
        {"two columns combinations", withColumn(withColumn(randomMatrix(12, 6, 11u), 5, 0.7f, 0, 0.2f, 1), 4, 2.5f, 2, -0.4f, 3), 4},
        {"wide", randomMatrix(3, 6, 12u), 3},
        {"zero", Matrix<float>(4, 3, 0.0f), 0},
    };
    using Dense = std::vector<std::vector<double>>;
    const auto dense = [](const Matrix<float>& x) {
        Dense d(std::size_t(x.rows()), std::vector<double>(std::size_t(x.columns())));
        for (int i = 0; i < x.rows(); ++i)
            for (int j = 0; j < x.columns(); ++j) d[std::size_t(i)][std::size_t(j)] = x.at(i, j);
        return d;
    };
    const auto product = [](const Dense& x, const Dense& y) {
        Dense r(x.size(), std::vector<double>(y[0].size(), 0.0));
        for (std::size_t i = 0; i < x.size(); ++i)
            for (std::size_t j = 0; j < y[0].size(); ++j)
                for (std::size_t k = 0; k < y.size(); ++k) r[i][j] += x[i][k] * y[k][j];
        return r;
    };
    // Largest |x - y| element, or |x - y^T| when transposed.
    const auto distance = [](const Dense& x, const Dense& y, bool transposed) {
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i)
            for (std::size_t j = 0; j < x[i].size(); ++j) worst = std::max(worst, std::fabs(x[i][j] - (transposed ? y[j][i] : y[i][j])));
        return worst;
    };
    for (const Case& c : cases) {
        const PseudoInverse p = getPseudoInverse(c.a);
        EXPECT_EQ(p.rank, c.rank) << c.what;
        ASSERT_EQ(p.inverse.rows(), c.a.columns()) << c.what;
        ASSERT_EQ(p.inverse.columns(), c.a.rows()) << c.what;
        const Dense a = dense(c.a), pinv = dense(p.inverse), ap = product(a, pinv), pa = product(pinv, a);
        // Entries are of order 1 to 4 and no kept singular value is below
        // 0.05: float rounding stays below 1e-4, and no element of the
        // pseudo-inverse reaches 20 (an inverted rounding error would).
        EXPECT_LT(distance(pinv, Dense(pinv.size(), std::vector<double>(pinv[0].size(), 0.0)), false), 20.0) << c.what;
        EXPECT_LT(distance(product(ap, a), a, false), 1e-4) << c.what << ": APA = A";
        EXPECT_LT(distance(product(pa, pinv), pinv, false), 1e-4) << c.what << ": PAP = P";
        EXPECT_LT(distance(ap, ap, true), 1e-4) << c.what << ": AP symmetric";
        EXPECT_LT(distance(pa, pa, true), 1e-4) << c.what << ": PA symmetric";
    }
    EXPECT_THROW(getPseudoInverse(Matrix<float>(3, 2, std::numeric_limits<float>::quiet_NaN())), std::runtime_error);
}

namespace {

SDM makeSdm(int points, const std::vector<std::vector<float>>& predictors)
{
    SDM sdm;
    sdm.NrOfDataPoints = points;
    int k = 0;
    for (const auto& p : predictors) sdm.AddPredictor(p, "p" + std::to_string(k++), 250, 250, 250);
    return sdm;
}

} // namespace

TEST(DesignMatrix, ConstantColumnOnlyWhenMissing)
{
    const std::vector<float> ramp = {0, 1, 2, 3}, wave = {1, -1, 1, -1}, ones = {1, 1, 1, 1};
    struct Case {
        const char* what;
        std::vector<std::vector<float>> predictors;
        int columns;
    };
    const Case cases[] = {
        {"no constant", {ramp, wave}, 3},
        {"own constant last", {ramp, wave, ones}, 3},
        {"constant not last", {ones, ramp}, 3},
        {"only a constant", {ones}, 1},
        {"no predictors", {}, 1},
    };
    for (const Case& c : cases) {
        const SDM sdm = makeSdm(4, c.predictors);
        const Matrix<float> x = getDesignMatrix(sdm);
        ASSERT_EQ(x.rows(), 4) << c.what;
        ASSERT_EQ(x.columns(), c.columns) << c.what;
        for (int p = 0; p < static_cast<int>(c.predictors.size()); ++p)
            for (int t = 0; t < 4; ++t) EXPECT_EQ(x.at(t, p), c.predictors[std::size_t(p)][std::size_t(t)]) << c.what;
        for (int t = 0; t < 4; ++t) EXPECT_EQ(x.at(t, c.columns - 1), 1.0f) << c.what << " last column, row " << t;
    }
}

TEST(DesignMatrix, ListsAndInverseOfNormalMatrix)
{
    EXPECT_TRUE(getDesignMatrices({}).empty());
    EXPECT_TRUE(getInverseDMDMs({}).empty());

    const std::vector<float> a = {0, 1, 2, 3, 4, 5}, b = {1, 0, 2, 1, 0, 3};
    const std::vector<SDM> sdms = {makeSdm(6, {a}), makeSdm(6, {a, b})};
    const std::vector<Matrix<float>> xs = getDesignMatrices(sdms);
    ASSERT_EQ(xs.size(), 2u);
    EXPECT_EQ(xs[0].columns(), 2);
    EXPECT_EQ(xs[1].columns(), 3);
    const std::vector<Matrix<float>> inverses = getInverseDMDMs(xs);
    ASSERT_EQ(inverses.size(), 2u);
    // (X^T X) * inverse = I, with X^T X formed in double here.
    for (std::size_t m = 0; m < xs.size(); ++m) {
        const Matrix<float>& x = xs[m];
        const int p = x.columns();
        ASSERT_EQ(inverses[m].rows(), p);
        ASSERT_EQ(inverses[m].columns(), p);
        for (int i = 0; i < p; ++i)
            for (int j = 0; j < p; ++j) {
                double sum = 0.0;
                for (int k = 0; k < p; ++k) {
                    double xtx = 0.0;
                    for (int t = 0; t < x.rows(); ++t) xtx += double(x.at(t, i)) * double(x.at(t, k));
                    sum += xtx * double(inverses[m].at(k, j));
                }
                EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-4) << "model " << m << " (" << i << "," << j << ")";
            }
    }

    // A singular normal matrix that cannot be decomposed ends the list with the error.
    std::vector<Matrix<float>> broken = xs;
    broken[1].at(2, 1) = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(getInverseDMDMs(broken), std::runtime_error);
}
