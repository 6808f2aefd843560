// Volume, Matrix and Vector by hand-worked cases. The element-wise kernels are
// shared by the three containers: each is checked once, through Volume where
// it has one, and the others are checked for their own code only.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

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

template <typename C>
auto elements(const C& c)
{
    return std::vector(c.data(), c.data() + c.size());
}

// Rows given row by row.
Matrix<float> matrixOfRows(int rows, int columns, const std::vector<float>& rowMajor)
{
    Matrix<float> m(rows, columns);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < columns; ++j) m.at(i, j) = rowMajor[std::size_t(i * columns + j)];
    return m;
}

std::vector<float> iota(int n, float first = 1)
{
    std::vector<float> v(std::size_t(std::max(n, 0)));
    std::iota(v.begin(), v.end(), first);
    return v;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

} // namespace

TEST(ContainerShape, ResizingKeepsTheOldContentCentredOrReshapes)
{
    const struct {
        const char* what;
        glm::ivec3 from, to;
        std::vector<float> expected; // the old elements are 1, 2, 3, ... in linear order
    } cases[] = {
        {"2x2 grown to 4x4: centred block", {2, 2, 1}, {4, 4, 1}, {0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 4, 0, 0, 0, 0, 0}},
        {"5x5 cropped to 2x2: voxels (1..2, 1..2)", {5, 5, 1}, {2, 2, 1}, {7, 8, 12, 13}},
        {"2 grown to 5: one zero below, two above", {2, 1, 1}, {5, 1, 1}, {0, 1, 2, 0, 0}},
        {"5 cropped to 2: samples 1 and 2 remain", {5, 1, 1}, {2, 1, 1}, {2, 3}},
        {"1x1x1 grown to 1x1x3: centred slice", {1, 1, 1}, {1, 1, 3}, {0, 1, 0}},
        {"2x3x4 to 4x3x2: same count, same linear order", {2, 3, 4}, {4, 3, 2}, iota(24)},
        {"2x2 to 0x2: nothing left", {2, 2, 1}, {0, 2, 1}, {}},
    };
    for (const auto& c : cases) {
        Volume<float> v = volumeOf(c.from.x, c.from.y, c.from.z, iota(c.from.x * c.from.y * c.from.z));
        v.resize(c.to);
        EXPECT_EQ(v.dimensions(), c.to) << c.what;
        EXPECT_EQ(elements(v), c.expected) << c.what;
    }
    Matrix<float> m = matrixOfRows(2, 3, iota(6));
    const float* before = m.data();
    m.resize(3, 2);
    EXPECT_EQ(m.data(), before) << "the same count keeps the storage";
    EXPECT_EQ(elements(m), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    Vector<double> x(7, 2.5);

    // Counts that are negative or wrap in 32 bits (65536² to 0, 1291³ past
    // 2^31 - 1) fail instead of allocating a wrong size; a failed resize
    // leaves the container as it was.
    EXPECT_THROW(Volume<float>(-1, 2, 2), std::bad_alloc);
    EXPECT_THROW(Volume<float>(65536, 65536, 1), std::bad_alloc);
    EXPECT_THROW(Volume<float>(glm::ivec3(1291), 0.0f), std::bad_alloc);
    EXPECT_THROW(Matrix<double>(65536, 65537), std::bad_alloc);
    Volume<float> v(2, 2, 2, 1.0f);
    EXPECT_THROW(v.resize(65536, 65536, 4), std::bad_alloc);
    EXPECT_THROW(x.resize(-1), std::bad_alloc);
    EXPECT_EQ(v.dimensions(), glm::ivec3(2, 2, 2));
    EXPECT_EQ(x.size(), 7);
}

TEST(ContainerShape, CopiesAreDeepAndMovedFromObjectsCanBeAssigned)
{
    Volume<float> a(2, 1, 1, 3.0f), b = a, d;
    b[0] = 9;
    EXPECT_EQ(a[0], 3.0f);
    Volume<float> c = std::move(b);
    b = a; // moved-from: extents kept, no array; assignment must give it one
    d = c;
    EXPECT_EQ(elements(b), (std::vector<float>{3, 3}));
    EXPECT_EQ(elements(d), (std::vector<float>{9, 3}));
    Matrix<float> m(2, 2, 1.0f), n(std::move(m));
    m = Matrix<float>::identity(2);
    EXPECT_EQ(elements(m), (std::vector<float>{1, 0, 0, 1}));
    Vector<float> p(std::vector<float>{1, 2, 3}), q(std::move(p));
    p = q;
    q[0] = 7;
    EXPECT_EQ(elements(p), (std::vector<float>{1, 2, 3}));
}

TEST(ContainerReads, MirrorRuleBoundsAndInterpolation)
{
    // Reflection about the first and last sample without repeating them.
    const struct {
        int i, n, expected;
    } mirrors[] = {{-1, 4, 1}, {-3, 4, 3}, {4, 4, 2}, {5, 4, 1}, {6, 4, 0}, {7, 4, 1}, {3, 4, 3}, {13, 5, 3},
                   {17, 1, 0}, {-9, 1, 0}, {INT_MIN, 4, 2}, {INT_MAX, 2, 1}, {-2, 2, 0}};
    for (const auto& c : mirrors) EXPECT_EQ(Volume<float>::mirrorIndex(c.i, c.n), c.expected) << "i=" << c.i << " n=" << c.n;
    EXPECT_EQ(Vector<float>(std::vector<float>{10, 11, 12, 13}).mirror(-3), 13.0f);
    const Volume<float> v = volumeOf(3, 2, 2, iota(12, 0)); // value = linear index
    EXPECT_EQ(v.mirror(-1, 2, -1), v.at(1, 0, 1));
    const Matrix<float> m = matrixOfRows(2, 3, iota(6));
    EXPECT_EQ(m.mirror(glm::ivec2(2, -1)), m.at(0, 1));

    // Outside: 0 or the fallback.
    for (const glm::ivec3 p : {glm::ivec3(-1, 0, 0), glm::ivec3(3, 0, 0), glm::ivec3(0, 2, 0), glm::ivec3(0, 0, 2)})
        EXPECT_EQ(v.get(p), 0.0f) << p.x << "," << p.y << "," << p.z;
    EXPECT_EQ(v.get(2, 1, 1), 11.0f);
    EXPECT_EQ(m.get(1, 2, 7.5f), 6.0f);
    EXPECT_EQ(m.get(glm::ivec2(0, -1), 7.5f), 7.5f);

    // Trilinear: corners outside count as 0. Weights of 0, 1/2 and 1/8 are
    // exact in binary: the results are exact.
    const Volume<float> row = volumeOf(4, 1, 1, std::vector<float>{2, 4, 0, 0}), pair = volumeOf(2, 1, 1, std::vector<float>{6, 8}),
                        cube = volumeOf(2, 2, 2, iota(8));
    const struct {
        const Volume<float>* vol;
        glm::vec3 p;
        float expected;
    } points[] = {{&row, {0.5f, 0, 0}, 3},       {&row, {1, 0, 0}, 4},        {&pair, {1.5f, 0, 0}, 4},   {&pair, {-0.5f, 0, 0}, 3},
                  {&pair, {0.25f, 0, 0}, 6.5f},  {&cube, {0.5f, 0.5f, 0.5f}, 4.5f}, {&cube, {1, 0.5f, 0.25f}, 4},
                  {&pair, {-1.5f, 0, 0}, 0},     {&pair, {-1e10f, 0, 0}, 0}, {&pair, {3e9f, 0, 0}, 0},   {&pair, {kNaN, 0, 0}, 0},
                  {&cube, {0.5f, 2.5f, 0}, 0}};
    for (const auto& c : points) EXPECT_EQ(c.vol->linear(c.p), c.expected) << c.p.x << "," << c.p.y << "," << c.p.z;
    // Integer volumes interpolate in double and round to the nearest value.
    const Volume<unsigned char> u = volumeOf(2, 1, 1, std::vector<unsigned char>{10, 20});
    EXPECT_EQ(u.linear(0.5f, 0, 0), 15);
    EXPECT_EQ(u.linear(0.26f, 0, 0), 13);
    const Vector<float> w(std::vector<float>{2, 4, 8});
    for (auto [x, expected] : {std::pair{0.5f, 3.0f}, {1.75f, 7.0f}, {2.5f, 4.0f}, {-0.5f, 1.0f}, {-2.0f, 0.0f}, {3.5f, 0.0f}})
        EXPECT_EQ(w.linear(x), expected) << "x=" << x;
}

TEST(ContainerArithmetic, ReductionsAndStandardDeviation)
{
    const Volume<float> v = volumeOf(2, 2, 1, std::vector<float>{3, -1, 7, 1});
    EXPECT_EQ((std::array{v.min(), v.max(), v.mean()}), (std::array{-1.0f, 7.0f, 2.5f})) << "min, max, mean";
    EXPECT_TRUE(std::isnan(Volume<float>().mean()));
    EXPECT_EQ(volumeOf(3, 1, 1, std::vector<unsigned char>{200, 201, 255}).mean(), 219) << "656 / 3, no wrap in the sum";
    Volume<float> lo = volumeOf(3, 1, 1, std::vector<float>{1, 5, 3}), hi = lo;
    lo.min(volumeOf(3, 1, 1, std::vector<float>{2, 4, 3}));
    hi.max(volumeOf(3, 1, 1, std::vector<float>{2, 4, 3}));
    EXPECT_EQ(elements(lo), (std::vector<float>{1, 4, 3}));
    EXPECT_EQ(elements(hi), (std::vector<float>{2, 5, 3}));
    const Vector<float> x(std::vector<float>{4, -2, 6, 0});
    EXPECT_EQ(x.sum(), 8.0f);
    EXPECT_EQ(x.dot(Vector<float>(std::vector<float>{1, 2, 3, 4, 100})), 18.0f);
    // Tolerance: a few float ulps from the mean and the square root.
    const struct {
        std::vector<float> values;
        float expected;
    } cases[] = {{{1, 2, 3}, 1}, {{5}, 0}, {{1, 1.005f}, 0} /* s = 1.25e-5, below the cut-off */, {{1, 1.02f}, 0.0141421f},
                 {{}, 0},        {{2, 4, 4, 4, 5, 5, 7, 9}, 2.1380899f} /* divisor n - 1 */};
    for (const auto& c : cases) EXPECT_NEAR(Vector<float>(c.values).std(), c.expected, 4e-6f) << c.values.size() << " values";
}

TEST(ContainerArithmetic, ElementWiseOperatorsAndTheirCompoundForms)
{
    const Volume<float> a = volumeOf(2, 1, 2, std::vector<float>{1, 2, 4, 8}), b = volumeOf(2, 1, 2, std::vector<float>{2, 2, 2, 0.5f});
    // Each operation once; the compound forms share it and differ in the in-place loop alone.
    Volume<float> c[2] = {a, a};
    c[0] -= 1, c[1] /= b;
    const struct {
        const char* what;
        Volume<float> result;
        std::vector<float> expected;
    } cases[] = {
        {"+s", a + 1.0f, {2, 3, 5, 9}},    {"-s", a - 1.0f, {0, 1, 3, 7}},    {"*s", a * 2.0f, {2, 4, 8, 16}},   {"/s", a / 4.0f, {0.25f, 0.5f, 1, 2}},
        {"+v", a + b, {3, 4, 6, 8.5f}},     {"-v", a - b, {-1, 0, 2, 7.5f}},   {"*v", a * b, {2, 4, 8, 4}},        {"/v", a / b, {0.5f, 1, 2, 16}},
        {"-=s", c[0], {0, 1, 3, 7}},       {"/=v", c[1], {0.5f, 1, 2, 16}},   {"unary -", -a, {-1, -2, -4, -8}}, {"square", a.square(), {1, 4, 16, 64}},
        {"sqrt", a.square().sqrt(), {1, 2, 4, 8}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result.dimensions(), a.dimensions()) << c.what;
        EXPECT_EQ(elements(c.result), c.expected) << c.what;
    }
    const Vector<double> x(std::vector<double>{1, 4, 9}), y(std::vector<double>{1, 2, 3});
    EXPECT_EQ(elements((x + y) * (x - y) / y), (std::vector<double>{0, 6, 24}));
    EXPECT_EQ(elements((-y).squared() / 1.0), (std::vector<double>{1, 4, 9}));

    // Equality: extents and every element pair; NaN is never equal.
    const Volume<float> withNaN = volumeOf(2, 1, 1, std::vector<float>{1, kNaN});
    EXPECT_TRUE(volumeOf(2, 1, 1, std::vector<float>{1, 2}) != volumeOf(1, 2, 1, std::vector<float>{1, 2}));
    EXPECT_FALSE(withNaN == withNaN);
    EXPECT_TRUE(Volume<float>() == Volume<float>(0, 0, 0));
    EXPECT_FALSE(Volume<float>() == Volume<float>(0, 3, 3)) << "no elements, but other extents";
}

TEST(MatrixProduct, AgainstHandComputedProductsAndTransposes)
{
    const Matrix<float> a = matrixOfRows(2, 3, {1, 2, 3, 4, 5, 6}), b = matrixOfRows(3, 2, {7, 8, 9, 10, 11, 12});
    // 1·7 + 2·9 + 3·11 = 58, 1·8 + 2·10 + 3·12 = 64, 4·7 + 5·9 + 6·11 = 139, 4·8 + 5·10 + 6·12 = 154
    EXPECT_EQ(a * b, matrixOfRows(2, 2, {58, 64, 139, 154}));
    EXPECT_EQ(b * a, matrixOfRows(3, 3, {39, 54, 69, 49, 68, 87, 59, 82, 105}));
    Matrix<float> c = a;
    c *= b;
    EXPECT_EQ(c, a * b);
    EXPECT_EQ(elements(a * Vector<float>(std::vector<float>{1, 0, -1})), (std::vector<float>{-2, -2}));
    EXPECT_EQ(-a + a * 2.0f - b.transpose() / 0.5f, a - b.transpose() * 2.0f);
    Matrix<float> square = matrixOfRows(3, 3, iota(9)), wide = a;
    square.transposeInPlace(), wide.transposeInPlace();
    EXPECT_EQ(square, matrixOfRows(3, 3, {1, 4, 7, 2, 5, 8, 3, 6, 9}));
    EXPECT_EQ(wide, matrixOfRows(3, 2, {1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(a.transpose(), wide);
    const Volume<float> vt = volumeOf(3, 2, 2, iota(12, 0)).transposeXY();
    EXPECT_EQ(vt.dimensions(), glm::ivec3(2, 3, 2));
    EXPECT_EQ(elements(vt), (std::vector<float>{0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11}));
}
