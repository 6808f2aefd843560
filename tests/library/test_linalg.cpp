// Singular value decomposition, inversion, the pseudo-inverse and design
// matrices, checked by identities on random matrices (in double) and by
// worked cases. (The inverse of a design's normal matrix, and a NaN in it:
// through the analysis, against fits in double.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "matrixfunctions.h"
#include "myGLMfunctions.h"
#include "mySDM.h"

namespace {

using Dense = std::vector<std::vector<double>>;

Matrix<float> randomMatrix(int rows, int columns, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Matrix<float> a(rows, columns);
    for (int j = 0; j < columns; ++j)
        for (int i = 0; i < rows; ++i) a.at(i, j) = value(rng);
    for (int i = 0; i < std::min(rows, columns); ++i) a.at(i, i) += 3.0f; // well conditioned
    return a;
}

Matrix<float> fromRows(const Dense& rows)
{
    Matrix<float> a(int(rows.size()), int(rows[0].size()));
    for (int i = 0; i < a.rows(); ++i)
        for (int j = 0; j < a.columns(); ++j) a.at(i, j) = float(rows[std::size_t(i)][std::size_t(j)]);
    return a;
}

Dense dense(const Matrix<float>& x)
{
    Dense d(std::size_t(x.rows()), std::vector<double>(std::size_t(x.columns())));
    for (int i = 0; i < x.rows(); ++i)
        for (int j = 0; j < x.columns(); ++j) d[std::size_t(i)][std::size_t(j)] = x.at(i, j);
    return d;
}

Dense product(const Dense& x, const Dense& y, bool transposeY = false)
{
    const std::size_t columns = transposeY ? y.size() : y[0].size(), inner = x[0].size();
    Dense r(x.size(), std::vector<double>(columns, 0.0));
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < columns; ++j)
            for (std::size_t k = 0; k < inner; ++k) r[i][j] += x[i][k] * (transposeY ? y[j][k] : y[k][j]);
    return r;
}

// Largest |x − y| element, or |x − yᵀ|.
double distance(const Dense& x, const Dense& y, bool transposed = false)
{
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < x[i].size(); ++j) worst = std::max(worst, std::fabs(x[i][j] - (transposed ? y[j][i] : y[i][j])));
    return worst;
}

Dense identity(int n) { return dense(Matrix<float>::identity(n)); }

// The decomposition's three factors, checked in double: |A − U diag(w) Vᵀ|,
// |UᵀU − I| and |VᵀV − I|, the singular values sorted.
struct Checked {
    bool ok;
    std::vector<float> w;
    double rebuilt, u, v;
};

Checked decompose(const Matrix<float>& a)
{
    Matrix<float> u(a), v;
    Vector<float> w;
    Checked c{svdcmp(u, w, v), {}, 0, 0, 0};
    if (!c.ok) return c;
    c.w.assign(w.data(), w.data() + w.size());
    Dense uw = dense(u);
    for (auto& row : uw)
        for (std::size_t k = 0; k < row.size(); ++k) row[k] *= c.w[k];
    c.rebuilt = distance(product(uw, dense(v), true), dense(a));
    const Dense ut = dense(u.transpose()), vt = dense(v.transpose());
    c.u = distance(product(ut, ut, true), identity(u.columns()));
    c.v = distance(product(vt, vt, true), identity(v.columns()));
    std::sort(c.w.begin(), c.w.end());
    return c;
}

} // namespace

TEST(Svd, IdentitiesOnRandomMatrices)
{
    unsigned seed = 1;
    for (auto [rows, columns] : {std::pair{1, 1}, {2, 2}, {5, 3}, {6, 6}, {10, 4}, {30, 7}, {300, 9}, {21, 21}}) {
        const Checked c = decompose(randomMatrix(rows, columns, seed++));
        ASSERT_TRUE(c.ok) << rows << "x" << columns;
        ASSERT_EQ(c.w.size(), std::size_t(columns));
        EXPECT_GE(c.w.front(), 0.0f) << rows << "x" << columns;
        // Backward stable in single precision: a few hundred eps times the
        // largest singular value for these sizes.
        const double tolerance = 200.0 * 6e-8 * std::max(1.0, std::sqrt(double(rows)));
        EXPECT_LE(c.rebuilt, tolerance * c.w.back()) << rows << "x" << columns;
        EXPECT_LE(c.u, tolerance) << "UᵀU, " << rows << "x" << columns;
        EXPECT_LE(c.v, tolerance) << "VᵀV, " << rows << "x" << columns;
    }
}

TEST(Svd, WorkedCasesAndNotANumber)
{
    const struct {
        const char* what;
        Dense rows;
        std::vector<double> singular; // sorted; empty: rank deficient
        double tolerance;
    } cases[] = {
        {"AᵀA = [[25, 20], [20, 25]], eigenvalues 45 and 5", {{3, 0}, {4, 5}}, {std::sqrt(5.0), std::sqrt(45.0)}, 1e-5},
        {"a negative entry comes out positive: the sign goes into V", {{3, 0, 0}, {0, -2, 0}, {0, 0, 1}}, {1, 2, 3}, 1e-6},
        {"third column the sum of the first two", {{1, 2, 3}, {4, 5, 9}, {7, 8, 15}, {1, 0, 1}}, {}, 1e-5},
    };
    for (const auto& c : cases) {
        const Checked d = decompose(fromRows(c.rows));
        ASSERT_TRUE(d.ok) << c.what;
        if (c.singular.empty()) EXPECT_LE(d.w.front(), 1e-5f * d.w.back()) << c.what;
        for (std::size_t k = 0; k < c.singular.size(); ++k) EXPECT_NEAR(d.w[k], c.singular[k], c.tolerance) << c.what;
        EXPECT_LE(d.rebuilt, c.singular.empty() ? c.tolerance * d.w.back() : c.tolerance) << c.what;
    }
    // A NaN spreads through the whole bidiagonal form; no element can then pass
    // the negligibility test and the iteration limit is reached.
    Matrix<float> a = fromRows({{1, 2, 0}, {2, std::nan(""), 1}, {0, 1, 3}}), v;
    Vector<float> w;
    EXPECT_FALSE(svdcmp(a, w, v));
}

TEST(Inversion, ProductWithTheInverseIsTheIdentity)
{
    for (int n : {1, 2, 3, 5, 8, 13}) {
        const Matrix<float> a = randomMatrix(n, n, 100u + unsigned(n));
        // Condition numbers of these diagonally dominant matrices are below 10.
        EXPECT_LT(distance(product(dense(a), dense(getInverseMatrix(a))), identity(n)), 2e-5) << "n=" << n;
    }
    Matrix<float> diagonal = fromRows({{2, 0}, {0, 4}});
    ASSERT_TRUE(invertMatrix(diagonal));
    EXPECT_EQ(dense(diagonal), (Dense{{0.5, 0}, {0, 0.25}}));
    Matrix<float> wide = fromRows({{1, 2, 3}, {4, 5, 6}});
    const Matrix<float> before(wide);
    EXPECT_FALSE(invertMatrix(wide)) << "not square";
    EXPECT_TRUE(wide == before);
    EXPECT_THROW(getInverseMatrix(before), std::runtime_error);
    // All singular values exactly 0 are skipped: the pseudo-inverse 0.
    Matrix<float> zero(2, 2, 0.0f);
    ASSERT_TRUE(invertMatrix(zero));
    EXPECT_EQ(dense(zero), (Dense{{0, 0}, {0, 0}}));
}

// The four conditions that define the Moore-Penrose inverse P of A: APA = A,
// PAP = P, AP and PA symmetric. A design whose columns repeat one another
// (exactly, or to the last bit) gets the rank of its independent columns and
// a pseudo-inverse of ordinary size.
TEST(PseudoInverse, MoorePenroseConditionsAndRank)
{
    const auto withColumn = [](Matrix<float> a, int j, float x, int j1, float y, int j2) {
        for (int i = 0; i < a.rows(); ++i) a.at(i, j) = x * a.at(i, j1) + y * a.at(i, j2);
        return a;
    };
    const struct {
        const char* what;
        Matrix<float> a;
        int rank;
    } cases[] = {
        {"tall, full column rank", randomMatrix(9, 4, 7u), 4},
        {"square", randomMatrix(5, 5, 8u), 5},
        {"a column repeated", withColumn(randomMatrix(9, 4, 9u), 3, 1.0f, 1, 0.0f, 0), 3},
        // Rounded to float, the combination lies next to the span of the others
        // by about 1e-7 of its size: rounding, not information.
        {"a column a rounded combination", withColumn(randomMatrix(12, 5, 10u), 4, 0.3f, 0, -1.7f, 2), 4},
        {"two columns combinations", withColumn(withColumn(randomMatrix(12, 6, 11u), 5, 0.7f, 0, 0.2f, 1), 4, 2.5f, 2, -0.4f, 3), 4},
        {"wide", randomMatrix(3, 6, 12u), 3},
        {"zero", Matrix<float>(4, 3, 0.0f), 0},
    };
    for (const auto& c : cases) {
        const PseudoInverse p = getPseudoInverse(c.a);
        EXPECT_EQ(p.rank, c.rank) << c.what;
        ASSERT_EQ(p.inverse.dimensions(), glm::ivec2(c.a.columns(), c.a.rows())) << c.what;
        const Dense a = dense(c.a), pinv = dense(p.inverse), ap = product(a, pinv), pa = product(pinv, a);
        // Entries of order 1 to 4 and no kept singular value below 0.05: float
        // rounding stays below 1e-4, and no element of the pseudo-inverse
        // reaches 20 (an inverted rounding error would).
        EXPECT_LT(distance(pinv, Dense(pinv.size(), std::vector<double>(pinv[0].size(), 0.0))), 20.0) << c.what;
        EXPECT_LT(distance(product(ap, a), a), 1e-4) << c.what << ": APA = A";
        EXPECT_LT(distance(product(pa, pinv), pinv), 1e-4) << c.what << ": PAP = P";
        EXPECT_LT(distance(ap, ap, true), 1e-4) << c.what << ": AP symmetric";
        EXPECT_LT(distance(pa, pa, true), 1e-4) << c.what << ": PA symmetric";
    }
    // The tolerance follows the matrix's scale: the rounded combination in
    // millimetres times 1000 is as redundant as before.
    EXPECT_EQ(getPseudoInverse(withColumn(randomMatrix(12, 5, 10u), 4, 0.3f, 0, -1.7f, 2) * 1000.0f).rank, 4) << "large columns";
}

TEST(DesignMatrix, ConstantColumnOnlyWhenMissing)
{
    const auto sdmOf = [](const std::vector<std::vector<float>>& predictors, int points = 4) {
        SDM sdm;
        sdm.NrOfDataPoints = points;
        for (const auto& p : predictors) sdm.AddPredictor(p, "p", 250, 250, 250);
        return sdm;
    };
    const std::vector<float> ramp = {0, 1, 2, 3}, wave = {1, -1, 1, -1}, ones = {1, 1, 1, 1};
    const struct {
        const char* what;
        std::vector<std::vector<float>> predictors;
        int columns;
    } cases[] = {{"no constant", {ramp, wave}, 3}, {"own constant last", {ramp, wave, ones}, 3}, {"constant not last", {ones, ramp}, 3},
                 {"only a constant", {ones}, 1},  {"no predictors", {}, 1}};
    for (const auto& c : cases) {
        const Matrix<float> x = getDesignMatrix(sdmOf(c.predictors));
        ASSERT_EQ(x.dimensions(), glm::ivec2(4, c.columns)) << c.what;
        for (std::size_t p = 0; p < c.predictors.size(); ++p)
            for (int t = 0; t < 4; ++t) EXPECT_EQ(x.at(t, int(p)), c.predictors[p][std::size_t(t)]) << c.what;
        for (int t = 0; t < 4; ++t) EXPECT_EQ(x.at(t, c.columns - 1), 1.0f) << c.what << " last column, row " << t;
    }
}
