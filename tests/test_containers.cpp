// Volume, Matrix and Vector: centred resizing, the mirror rule, bounds-tested
// reads, interpolation, reductions, wrapping integer arithmetic, the matrix
// product and the exact text forms.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "matrix.h"
#include "vector.h"
#include "volume.h"

namespace {

template <typename T>
Volume<T> volumeOf(int nx, int ny, int nz, const std::vector<T>& values)
{
    Volume<T> v(nx, ny, nz);
    v.copyData(values.data());
    return v;
}

template <typename T>
std::vector<T> elements(const Volume<T>& v)
{
    return std::vector<T>(v.data(), v.data() + v.size());
}

// Rows given row by row, stored column by column.
Matrix<float> matrixOfRows(int rows, int columns, const std::vector<float>& rowMajor)
{
    Matrix<float> m(rows, columns);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < columns; ++j) m.at(i, j) = rowMajor[i * columns + j];
    return m;
}

template <typename T>
std::string printed(const T& value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

std::vector<float> iota(int n, float first = 1)
{
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = first + static_cast<float>(i);
    return v;
}

} // namespace

TEST(VolumeResize, KeepsTheOldContentCentredOrReshapes)
{
    struct Case {
        const char* what;
        glm::ivec3 from;
        glm::ivec3 to;
        std::vector<float> expected;  // the old elements are 1, 2, 3, ... in linear order
    };
    const Case cases[] = {
        {"2x2 grown to 4x4: centred block", {2, 2, 1}, {4, 4, 1},
         {0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 4, 0, 0, 0, 0, 0}},
        {"5x5 cropped to 2x2: voxels (1..2, 1..2)", {5, 5, 1}, {2, 2, 1}, {7, 8, 12, 13}},
        {"2 grown to 5: one zero below, two above", {2, 1, 1}, {5, 1, 1}, {0, 1, 2, 0, 0}},
        {"5 cropped to 2: samples 1 and 2 remain", {5, 1, 1}, {2, 1, 1}, {2, 3}},
        {"3x1 grown to 3x2: offset 0, new row above", {3, 1, 1}, {3, 2, 1}, {1, 2, 3, 0, 0, 0}},
        {"1x1x1 grown to 1x1x3: centred slice", {1, 1, 1}, {1, 1, 3}, {0, 1, 0}},
        {"2x3x4 to 4x3x2: same count, same linear order", {2, 3, 4}, {4, 3, 2}, iota(24)},
        {"2x2 to 0x2: nothing left", {2, 2, 1}, {0, 2, 1}, {}},
    };
    for (const Case& c : cases) {
        Volume<float> v = volumeOf(c.from.x, c.from.y, c.from.z, iota(c.from.x * c.from.y * c.from.z));
        v.resize(c.to);
        EXPECT_EQ(v.dimensions(), c.to) << c.what;
        EXPECT_EQ(elements(v), c.expected) << c.what;
    }
}

TEST(ContainerResize, MatrixAndVectorKeepStorageOnlyForTheSameCount)
{
    Matrix<float> m = matrixOfRows(2, 3, {1, 2, 3, 4, 5, 6});
    const float* before = m.data();
    m.resize(3, 2);
    EXPECT_EQ(m.data(), before);
    EXPECT_EQ(m.dimensions(), glm::ivec2(3, 2));
    EXPECT_EQ(std::vector<float>(m.data(), m.data() + 6), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    m.resize(3, 3);
    EXPECT_EQ(m.size(), 9);
    EXPECT_EQ(m.sizeInBytes(), 9 * sizeof(float));

    Vector<double> v(4, 2.5);
    v.resize(4);
    EXPECT_EQ(v[3], 2.5);
    v.resize(7);
    EXPECT_EQ(v.size(), 7);
}

TEST(ContainerAllocation, NegativeOrOverflowingCountsFailInsteadOfAllocatingAWrongSize)
{
    // 65536*65536 wraps to 0 and 65536*65537 to 65536 in 32 bits, 1291³ just
    // exceeds 2^31 - 1: all must fail rather than allocate a wrapped count.
    EXPECT_THROW(Volume<float>(-1, 2, 2), std::bad_alloc);
    EXPECT_THROW(Volume<float>(-1, -1, 1), std::bad_alloc);
    EXPECT_THROW(Volume<float>(65536, 65536, 1), std::bad_alloc);
    EXPECT_THROW(Volume<unsigned char>(2000, 2000, 2000), std::bad_alloc);
    EXPECT_THROW(Volume<float>(glm::ivec3(1291, 1291, 1291), 0.0f), std::bad_alloc);
    EXPECT_THROW(Matrix<double>(65536, 65537), std::bad_alloc);
    EXPECT_THROW(Matrix<float>(glm::ivec2(-3, 4)), std::bad_alloc);
    EXPECT_THROW(Vector<float>(-5), std::bad_alloc);
    EXPECT_THROW(Vector<float>(-5, 1.0f), std::bad_alloc);

    Volume<float> v(2, 2, 2, 1.0f);
    EXPECT_THROW(v.resize(65536, 65536, 4), std::bad_alloc);
    Matrix<float> m(2, 2, 1.0f);
    EXPECT_THROW(m.resize(-2, -2), std::bad_alloc);
    Vector<float> x(3, 1.0f);
    EXPECT_THROW(x.resize(-1), std::bad_alloc);
    // A failed resize leaves the container as it was.
    EXPECT_EQ(v.dimensions(), glm::ivec3(2, 2, 2));
    EXPECT_EQ(x.size(), 3);
}

TEST(ContainerOwnership, CopiesAreDeepAndMovedFromObjectsCanBeAssigned)
{
    Volume<float> a(2, 1, 1, 3.0f);
    Volume<float> b = a;
    b[0] = 9;
    EXPECT_EQ(a[0], 3.0f);
    Volume<float> c = std::move(b);
    EXPECT_EQ(c[0], 9.0f);
    b = a;  // moved-from: extents kept, no array; assignment must give it one
    EXPECT_EQ(elements(b), (std::vector<float>{3, 3}));
    Volume<float> d;
    EXPECT_EQ(d.size(), 0);
    EXPECT_EQ(d.data(), nullptr);
    d = c;
    EXPECT_EQ(elements(d), (std::vector<float>{9, 3}));

    Matrix<float> m(2, 2, 1.0f), n(std::move(m));
    m = Matrix<float>::identity(2);
    EXPECT_EQ(m.at(1, 1), 1.0f);
    EXPECT_EQ(m.at(0, 1), 0.0f);

    Vector<float> p(std::vector<float>{1, 2, 3}), q(std::move(p));
    p = q;
    q[0] = 7;
    EXPECT_EQ(p[0], 1.0f);
    EXPECT_EQ(p.size(), 3);
}

TEST(MirrorRule, ReflectsAboutTheFirstAndLastSampleWithoutRepeating)
{
    struct Case {
        int i, n, expected;
    };
    const Case cases[] = {
        {-1, 4, 1}, {-3, 4, 3}, {4, 4, 2}, {5, 4, 1}, {6, 4, 0}, {7, 4, 1}, {0, 4, 0}, {3, 4, 3},
        {-1, 5, 1}, {5, 5, 3}, {13, 5, 3}, {0, 1, 0}, {17, 1, 0}, {-9, 1, 0}, {INT_MIN, 4, 2},
        {INT_MAX, 2, 1}, {-2, 2, 0},
    };
    const Vector<float> probe4(std::vector<float>{10, 11, 12, 13});
    for (const Case& c : cases) {
        EXPECT_EQ(Volume<float>::mirrorIndex(c.i, c.n), c.expected) << "i=" << c.i << " n=" << c.n;
        EXPECT_EQ(Matrix<double>::mirrorIndex(c.i, c.n), c.expected) << "i=" << c.i << " n=" << c.n;
        if (c.n == 4) {
            EXPECT_EQ(probe4.mirrorIndex(c.i), c.expected) << "i=" << c.i;
            EXPECT_EQ(probe4.mirror(c.i), 10.0f + static_cast<float>(c.expected)) << "i=" << c.i;
        }
    }
    const Volume<float> v = volumeOf(3, 2, 2, iota(12, 0));  // value = linear index
    EXPECT_EQ(v.mirror(-1, 2, -1), v.at(1, 0, 1));
    EXPECT_EQ(v.mirror(glm::ivec3(3, -1, 2)), v.at(1, 1, 0));
    const Matrix<float> m = matrixOfRows(2, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(m.mirror(2, 3), m.at(0, 1));
    EXPECT_EQ(m.mirror(glm::ivec2(-1, -1)), m.at(1, 1));
}

TEST(BoundsTestedReads, OutsideGivesZeroOrTheFallback)
{
    const Volume<float> v = volumeOf(2, 2, 2, iota(8));
    struct Case {
        glm::ivec3 p;
        float expected;
    };
    const Case cases[] = {{{-1, 0, 0}, 0}, {{2, 0, 0}, 0}, {{0, -1, 0}, 0}, {{0, 2, 0}, 0},
                          {{0, 0, -1}, 0}, {{0, 0, 2}, 0}, {{1, 1, 1}, 8}, {{1, 0, 1}, 6}};
    for (const Case& c : cases) {
        EXPECT_EQ(v.get(c.p), c.expected) << c.p.x << "," << c.p.y << "," << c.p.z;
        EXPECT_EQ(v.get(c.p.x, c.p.y, c.p.z), c.expected);
    }
    const Matrix<float> m = matrixOfRows(2, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(m.get(1, 2, 7.5f), 6.0f);
    EXPECT_EQ(m.get(2, 0, 7.5f), 7.5f);
    EXPECT_EQ(m.get(0, 3, 7.5f), 7.5f);
    EXPECT_EQ(m.get(glm::ivec2(-1, 0), 7.5f), 7.5f);
    EXPECT_EQ(m[glm::ivec2(1, 0)], 4.0f);
    const Vector<double> x(std::vector<double>{1, 2});
    EXPECT_EQ(x.get(1, 9.0), 2.0);
    EXPECT_EQ(x.get(2, 9.0), 9.0);
    EXPECT_EQ(x.get(-1, 9.0), 9.0);
}

TEST(TrilinearInterpolation, WorkedCasesAndFadingBorders)
{
    // Weights of 0, 1/2 and 1/8 are exact in binary: the results below are exact.
    const Volume<float> row = volumeOf(4, 1, 1, std::vector<float>{2, 4, 0, 0});
    const Volume<float> pair = volumeOf(2, 1, 1, std::vector<float>{6, 8});
    const Volume<float> cube = volumeOf(2, 2, 2, iota(8));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        const Volume<float>* vol;
        glm::vec3 p;
        float expected;
    };
    const Case cases[] = {
        {"between 2 and 4", &row, {0.5f, 0, 0}, 3},
        {"voxel itself", &row, {1, 0, 0}, 4},
        {"past the last voxel: half of it", &pair, {1.5f, 0, 0}, 4},
        {"before the first voxel: half of it", &pair, {-0.5f, 0, 0}, 3},
        {"a quarter in", &pair, {0.25f, 0, 0}, 6.5f},
        {"centre of a cube: the mean", &cube, {0.5f, 0.5f, 0.5f}, 4.5f},
        {"upper corner", &cube, {1, 1, 1}, 8},
        {"wholly below", &pair, {-1.5f, 0, 0}, 0},
        {"far below", &pair, {-1e10f, 0, 0}, 0},
        {"far above", &pair, {3e9f, 0, 0}, 0},
        {"not a number", &pair, {nan, 0, 0}, 0},
        {"outside in y", &cube, {0.5f, 2.5f, 0}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.vol->linear(c.p), c.expected) << c.what;
        EXPECT_EQ(c.vol->linear(c.p.x, c.p.y, c.p.z), c.expected) << c.what;
    }
    const Volume<double> d = volumeOf(2, 1, 1, std::vector<double>{6, 8});
    EXPECT_EQ(d.linear(0.25f, 0, 0), 6.5);
    // Integer volumes interpolate in double and round to the nearest value.
    const Volume<unsigned char> u = volumeOf(2, 1, 1, std::vector<unsigned char>{10, 20});
    EXPECT_EQ(u.linear(0.5f, 0, 0), 15);
    EXPECT_EQ(u.linear(0.26f, 0, 0), 13);

    const Vector<float> v(std::vector<float>{2, 4, 8});
    const std::pair<float, float> vcases[] = {{0.5f, 3}, {1.75f, 7}, {2, 8}, {2.5f, 4}, {-0.5f, 1}, {-2, 0}, {3.5f, 0}};
    for (auto [x, expected] : vcases) EXPECT_EQ(v.linear(x), expected) << "x=" << x;
}

TEST(Reductions, MinMaxMeanSumDotAndStandardDeviation)
{
    const Volume<float> v = volumeOf(2, 2, 1, std::vector<float>{3, -1, 7, 1});
    EXPECT_EQ(v.min(), -1.0f);
    EXPECT_EQ(v.max(), 7.0f);
    EXPECT_EQ(v.mean(), 2.5f);
    EXPECT_TRUE(std::isnan(Volume<float>().mean()));
    const Volume<unsigned char> u = volumeOf(3, 1, 1, std::vector<unsigned char>{200, 201, 255});
    EXPECT_EQ(u.mean(), 219);  // 656 / 3 = 218.67, no wrap in the sum
    EXPECT_EQ(u.min(), 200);

    Volume<float> a = volumeOf(3, 1, 1, std::vector<float>{1, 5, 3}), b = volumeOf(3, 1, 1, std::vector<float>{2, 4, 3});
    Volume<float> lo = a, hi = a;
    lo.min(b);
    hi.max(b);
    EXPECT_EQ(elements(lo), (std::vector<float>{1, 4, 3}));
    EXPECT_EQ(elements(hi), (std::vector<float>{2, 5, 3}));

    const Vector<float> x(std::vector<float>{4, -2, 6, 0});
    EXPECT_EQ(x.min(), -2.0f);
    EXPECT_EQ(x.max(), 6.0f);
    EXPECT_EQ(x.sum(), 8.0f);
    EXPECT_EQ(x.mean(), 2.0f);
    EXPECT_EQ(x.dot(Vector<float>(std::vector<float>{1, 2, 3, 4, 100})), 18.0f);

    // Tolerance: a few float ulps of the result, from the mean and the square root.
    struct StdCase {
        const char* what;
        std::vector<float> values;
        float expected;
    };
    const StdCase cases[] = {
        {"1 2 3", {1, 2, 3}, 1.0f},
        {"one element", {5}, 0.0f},
        {"1 and 1.005: s = 1.25e-5 below the cut-off", {1, 1.005f}, 0.0f},
        {"1 and 1.02: s = 2e-4 above the cut-off", {1, 1.02f}, 0.0141421f},
        {"empty", {}, 0.0f},
        {"divisor n - 1", {2, 4, 4, 4, 5, 5, 7, 9}, 2.1380899f},
        {"constant", {3, 3, 3, 3}, 0.0f},
    };
    for (const StdCase& c : cases) {
        EXPECT_NEAR(Vector<float>(c.values).std(), c.expected, 4e-6f) << c.what;
        std::vector<double> dv(c.values.begin(), c.values.end());
        EXPECT_NEAR(Vector<double>(dv).std(), c.expected, 4e-6) << c.what << " (double)";
    }
}

TEST(ElementWise, ScalarAndVolumeOperationsAndTheirCompoundForms)
{
    const Volume<float> a = volumeOf(2, 1, 2, std::vector<float>{1, 2, 4, 8});
    const Volume<float> b = volumeOf(2, 1, 2, std::vector<float>{2, 2, 2, 0.5f});
    struct Case {
        const char* what;
        Volume<float> result;
        std::vector<float> expected;
    };
    Volume<float> c1 = a, c2 = a, c3 = a, c4 = a, c5 = a, c6 = a, c7 = a, c8 = a;
    c1 += 1, c2 -= 1, c3 *= 2, c4 /= 4, c5 += b, c6 -= b, c7 *= b, c8 /= b;
    const Case cases[] = {
        {"+s", a + 1.0f, {2, 3, 5, 9}},      {"-s", a - 1.0f, {0, 1, 3, 7}},
        {"*s", a * 2.0f, {2, 4, 8, 16}},     {"/s", a / 4.0f, {0.25f, 0.5f, 1, 2}},
        {"+v", a + b, {3, 4, 6, 8.5f}},       {"-v", a - b, {-1, 0, 2, 7.5f}},
        {"*v", a * b, {2, 4, 8, 4}},          {"/v", a / b, {0.5f, 1, 2, 16}},
        {"+=s", c1, {2, 3, 5, 9}},            {"-=s", c2, {0, 1, 3, 7}},
        {"*=s", c3, {2, 4, 8, 16}},           {"/=s", c4, {0.25f, 0.5f, 1, 2}},
        {"+=v", c5, {3, 4, 6, 8.5f}},         {"-=v", c6, {-1, 0, 2, 7.5f}},
        {"*=v", c7, {2, 4, 8, 4}},            {"/=v", c8, {0.5f, 1, 2, 16}},
        {"unary -", -a, {-1, -2, -4, -8}},    {"unary +", +a, {1, 2, 4, 8}},
        {"square", a.square(), {1, 4, 16, 64}}, {"sqrt", a.square().sqrt(), {1, 2, 4, 8}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result.dimensions(), a.dimensions()) << c.what;
        EXPECT_EQ(elements(c.result), c.expected) << c.what;
    }
    EXPECT_TRUE(std::isinf((a / 0.0f)[0]));
    EXPECT_TRUE(std::isnan((-a).sqrt()[0]));

    const Vector<double> x(std::vector<double>{1, 4, 9}), y(std::vector<double>{1, 2, 3});
    Vector<double> z = x;
    z -= y;
    z *= 2.0;
    const Vector<double> r = (x + y) * (x - y) / y;  // (x² - y²)/y
    EXPECT_EQ(std::vector<double>(r.data(), r.data() + 3), (std::vector<double>{0, 6, 24}));
    EXPECT_EQ(std::vector<double>(z.data(), z.data() + 3), (std::vector<double>{0, 4, 12}));
    const Vector<double> s = x.sqrt() - y + 1.0, q = (-y).squared() / 1.0;
    EXPECT_EQ(std::vector<double>(s.data(), s.data() + 3), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(std::vector<double>(q.data(), q.data() + 3), (std::vector<double>{1, 4, 9}));
}

TEST(ElementWise, SmallUnsignedTypesWrapAndTruncate)
{
    using UC = Volume<unsigned char>;
    using US = Volume<unsigned short>;
    const UC a = volumeOf(3, 1, 1, std::vector<unsigned char>{200, 10, 7});
    EXPECT_EQ((a + static_cast<unsigned char>(100))[0], 44);
    EXPECT_EQ((a - static_cast<unsigned char>(20))[1], 246);
    EXPECT_EQ((a * static_cast<unsigned char>(2))[0], 144);
    EXPECT_EQ((-a)[1], 246);
    EXPECT_EQ((a / static_cast<unsigned char>(2))[2], 3);
    EXPECT_EQ(a.sqrt()[0], 14);  // sqrt(200) = 14.14
    EXPECT_EQ(a.sqrt()[2], 2);   // sqrt(7) = 2.65, truncated
    const US b = volumeOf(2, 1, 1, std::vector<unsigned short>{65535, 3});
    EXPECT_EQ(b.square()[0], 1);  // (2^16 - 1)² = 1 modulo 2^16
    EXPECT_EQ((b + b)[0], 65534);
    EXPECT_EQ((b * b)[1], 9);
}

TEST(Equality, ExtentsAndEveryElementPairAndNaNIsNeverEqual)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Volume<float> a = volumeOf(2, 1, 1, std::vector<float>{1, 2});
    const Volume<float> withNaN = volumeOf(2, 1, 1, std::vector<float>{1, nan});
    EXPECT_TRUE(a == volumeOf(2, 1, 1, std::vector<float>{1, 2}));
    EXPECT_TRUE(a != volumeOf(1, 2, 1, std::vector<float>{1, 2}));
    EXPECT_TRUE(a != withNaN);
    EXPECT_TRUE(withNaN != withNaN);
    EXPECT_FALSE(withNaN == withNaN);
    EXPECT_TRUE(Volume<float>() == Volume<float>(0, 0, 0));
    EXPECT_FALSE(Volume<float>() == Volume<float>(0, 3, 3));  // no elements, but other extents

    Matrix<double> m = Matrix<double>::identity(2);
    EXPECT_TRUE(m == Matrix<double>::identity(2));
    m.at(0, 1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(m != m);
}

TEST(MatrixProduct, AgainstHandComputedProducts)
{
    const Matrix<float> a = matrixOfRows(2, 3, {1, 2, 3, 4, 5, 6});
    const Matrix<float> b = matrixOfRows(3, 2, {7, 8, 9, 10, 11, 12});
    // 1*7 + 2*9 + 3*11 = 58, 1*8 + 2*10 + 3*12 = 64, 4*7 + 5*9 + 6*11 = 139, 4*8 + 5*10 + 6*12 = 154
    const Matrix<float> ab = a * b;
    EXPECT_EQ(ab, matrixOfRows(2, 2, {58, 64, 139, 154})) << printed(ab);
    const Matrix<float> ba = b * a;
    EXPECT_EQ(ba, matrixOfRows(3, 3, {39, 54, 69, 49, 68, 87, 59, 82, 105})) << printed(ba);
    EXPECT_EQ(a * Matrix<float>::identity(3), a);
    Matrix<float> c = a;
    c *= b;
    EXPECT_EQ(c, ab);
    const Vector<float> v = a * Vector<float>(std::vector<float>{1, 0, -1});
    ASSERT_EQ(v.size(), 2);
    EXPECT_EQ(v[0], -2.0f);
    EXPECT_EQ(v[1], -2.0f);
    EXPECT_EQ(a * 2.0f, a + a);
    EXPECT_EQ((a * 2.0f) / 2.0f, a);
    EXPECT_EQ(-a + a, Matrix<float>(2, 3, 0.0f));
    Matrix<float> d = a * 3.0f;
    d -= a, d += b.transpose(), d *= 3.0f, d /= 3.0f; // (3a - a + bᵀ)·3/3
    EXPECT_EQ(d, a + a + b.transpose());
    EXPECT_EQ(Matrix<float>::identity(3) * 1.0f - Matrix<float>::identity(3), Matrix<float>(3, 3, 0.0f));
}

TEST(MatrixTranspose, SquareAndNonSquareInPlaceAgreeWithTranspose)
{
    const std::pair<int, int> shapes[] = {{3, 3}, {2, 3}, {3, 2}, {1, 4}, {1, 1}};
    for (auto [rows, columns] : shapes) {
        const Matrix<float> m = matrixOfRows(rows, columns, iota(rows * columns));
        const Matrix<float> t = m.transpose();
        Matrix<float> inPlace = m;
        inPlace.transposeInPlace();
        EXPECT_EQ(t.dimensions(), glm::ivec2(columns, rows));
        EXPECT_EQ(inPlace, t) << rows << "x" << columns << ": " << printed(inPlace);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < columns; ++j)
                EXPECT_EQ(t.at(j, i), static_cast<float>(1 + i * columns + j)) << rows << "x" << columns;
        inPlace.transposeInPlace();
        EXPECT_EQ(inPlace, m);
    }
    const Volume<float> v = volumeOf(3, 2, 2, iota(12, 0));
    const Volume<float> vt = v.transposeXY();
    EXPECT_EQ(vt.dimensions(), glm::ivec3(2, 3, 2));
    EXPECT_EQ(elements(vt), (std::vector<float>{0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11}));
}

TEST(TextForms, ExactPrintedFormsWithElision)
{
    std::vector<float> m21(21 * 21), m20(20);
    for (int k = 0; k < 21 * 21; ++k) m21[k] = static_cast<float>(k);
    for (int k = 0; k < 20; ++k) m20[k] = static_cast<float>(k);
    std::string expected21 = "matrix (21x21):";
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}) {
        if (i < 0) {
            expected21 += "\n   ...";
            continue;
        }
        expected21 += "\n  [";
        for (int j : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) expected21 += (j ? " " : "") + std::to_string(i * 21 + j);
        expected21 += " ...";
        for (int j = 11; j < 21; ++j) expected21 += " " + std::to_string(i * 21 + j);
        expected21 += "]";
    }
    struct Case {
        const char* what;
        std::string actual;
        std::string expected;
    };
    const Case cases[] = {
        {"vector of 5", printed(Vector<float>(iota(5))), "[1 2 ... 5]"},
        {"vector of 4", printed(Vector<double>(std::vector<double>{1, 2.5, 3, 4})), "[1 2.5 ... 4]"},
        {"vector of 3", printed(Vector<float>(iota(3))), "[1 2 3]"},
        {"empty vector", printed(Vector<float>()), "[]"},
        {"1x1x1 volume", printed(Volume<float>(1, 1, 1, 7.0f)), "volume (1x1x1):\n  slice 0:\n    [7]"},
        {"empty volume", printed(Volume<double>(3, 0, 2)), "empty volume"},
        {"3x2x1 volume", printed(volumeOf(3, 2, 1, iota(6))), "volume (3x2x1):\n  slice 0:\n    [1 2 3]\n    [4 5 6]"},
        {"4x4x4 volume", printed(volumeOf(4, 4, 4, iota(64, 0))),
         "volume (4x4x4):"
         "\n  slice 0:\n    [0 1 ... 3]\n    [4 5 ... 7]\n     ...\n    [12 13 ... 15]"
         "\n  slice 1:\n    [16 17 ... 19]\n    [20 21 ... 23]\n     ...\n    [28 29 ... 31]"
         "\n   ..."
         "\n  slice 3:\n    [48 49 ... 51]\n    [52 53 ... 55]\n     ...\n    [60 61 ... 63]"},
        {"unsigned char as characters", printed(volumeOf(2, 1, 1, std::vector<unsigned char>{'A', 'b'})),
         "volume (2x1x1):\n  slice 0:\n    [A b]"},
        {"unsigned short as numbers", printed(volumeOf(2, 1, 1, std::vector<unsigned short>{65, 66})),
         "volume (2x1x1):\n  slice 0:\n    [65 66]"},
        {"2x2 matrix", printed(matrixOfRows(2, 2, {1, 2, 3, 4})), "matrix (2x2):\n  [1 2]\n  [3 4]"},
        {"20 columns printed whole", printed(matrixOfRows(1, 20, m20)),
         "matrix (1x20):\n  [0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19]"},
        {"21x21 matrix", printed(matrixOfRows(21, 21, m21)), expected21},
        {"identity(0)", printed(Matrix<float>::identity(0)), "empty matrix"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}
