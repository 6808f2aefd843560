// Volumes, matrices and vectors: resizing, mirroring, interpolation,
// reductions, arithmetic by element type, products and print forms.
#include <cmath>
#include <limits>
#include <new>
#include <sstream>

#include "matrix.h"
#include "testing.h"
#include "vector.h"
#include "volume.h"

namespace {

template <typename X>
std::string printed(const X& x)
{
    std::ostringstream out;
    out << x;
    return out.str();
}

Volume<float> ramp(int nx, int ny, int nz)
{
    Volume<float> v(nx, ny, nz);
    for (int i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i + 1);
    return v;
}

} // namespace

TEST(VolumeResize, GrowingCentresTheOldContent)
{
    Volume<float> v(2, 2, 1);
    for (int i = 0; i < 4; ++i) v[i] = static_cast<float>(i + 1);
    v.resize(4, 4, 1);
    ASSERT_EQ(v.dimensions(), glm::tvec3<int>(4, 4, 1));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 2;
            const float expected = inside ? static_cast<float>((y - 1) * 2 + (x - 1) + 1) : 0.0f;
            EXPECT_EQ(v.at(x, y, 0), expected) << x << "," << y;
        }
}

TEST(VolumeResize, ShrinkingKeepsTheCentreAndSameCountReshapes)
{
    Volume<float> v = ramp(5, 5, 1);
    v.resize(2, 2, 1);
    // Offset -1: old samples 1 and 2 remain along each axis.
    EXPECT_EQ(v.at(0, 0, 0), 1 + 1 + 5 * 1.0f);
    EXPECT_EQ(v.at(1, 0, 0), 1 + 2 + 5 * 1.0f);
    EXPECT_EQ(v.at(0, 1, 0), 1 + 1 + 5 * 2.0f);
    EXPECT_EQ(v.at(1, 1, 0), 1 + 2 + 5 * 2.0f);

    Volume<float> r = ramp(2, 3, 4);
    r.resize(4, 3, 2);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(r[i], static_cast<float>(i + 1)) << i;

    Volume<float> odd = ramp(2, 1, 1);
    odd.resize(5, 1, 1); // offset 1: one zero below, two above
    EXPECT_EQ(printed(odd), "volume (5x1x1):\n  slice 0:\n    [0 1 ... 0]");
    EXPECT_EQ(odd.at(2, 0, 0), 2.0f);
    EXPECT_EQ(odd.at(3, 0, 0), 0.0f);
}

TEST(Containers, MatrixAndVectorResizeKeepTheirElementsOnlyForTheSameCount)
{
    Matrix<float> m(2, 3);
    for (int i = 0; i < 6; ++i) m.data()[i] = static_cast<float>(i);
    m.resize(3, 2);
    EXPECT_EQ(m.dimensions(), glm::tvec2<int>(3, 2));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.data()[i], static_cast<float>(i));
    m.resize(3, 3);
    EXPECT_EQ(m.size(), 9);
}

TEST(Containers, MirrorIndex)
{
    const struct {
        int i, n, expected;
    } cases[] = {{-1, 4, 1}, {-3, 4, 3}, {4, 4, 2}, {5, 4, 1}, {6, 4, 0}, {7, 4, 1}, {0, 4, 0},
                 {-1, 5, 1}, {5, 5, 3}, {12345, 1, 0}, {-7, 1, 0}, {2, 2, 0}, {3, 2, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(Volume<float>::mirrorIndex(c.i, c.n), c.expected) << c.i << " in " << c.n;
        EXPECT_EQ(Matrix<float>::mirrorIndex(c.i, c.n), c.expected) << c.i << " in " << c.n;
    }
    Vector<float> v(std::vector<float>{10, 20, 30, 40});
    EXPECT_EQ(v.mirror(-1), 20.0f);
    EXPECT_EQ(v.mirror(4), 30.0f);
    const Volume<float> vol = ramp(3, 3, 3);
    EXPECT_EQ(vol.mirror(-1, 3, 1), vol.at(1, 1, 1));
}

TEST(Containers, BoundsTestedReads)
{
    const Volume<float> v = ramp(2, 2, 2);
    EXPECT_EQ(v.get(-1, 0, 0), 0.0f);
    EXPECT_EQ(v.get(0, 2, 0), 0.0f);
    EXPECT_EQ(v.get(1, 1, 1), 8.0f);
    Matrix<float> m(2, 2, 1.0f);
    EXPECT_EQ(m.get(2, 0, 7.5f), 7.5f);
    EXPECT_EQ(m.get(0, -1, 7.5f), 7.5f);
    EXPECT_EQ(m.get(1, 1, 7.5f), 1.0f);
    Vector<float> vec(3, 2.0f);
    EXPECT_EQ(vec.get(3, -1.0f), -1.0f);
}

TEST(Containers, TrilinearInterpolation)
{
    Volume<float> row(3, 1, 1, 0.0f);
    row.at(0, 0, 0) = 2.0f;
    row.at(1, 0, 0) = 4.0f;
    EXPECT_FLOAT_EQ(row.linear(0.5f, 0, 0), 3.0f);
    EXPECT_FLOAT_EQ(row.linear(-0.5f, 0, 0), 1.0f) << "half the first voxel before it";
    Volume<float> two(2, 1, 1, 0.0f);
    two.at(1, 0, 0) = 6.0f;
    EXPECT_FLOAT_EQ(two.linear(1.5f, 0, 0), 3.0f);
    const Volume<float> v = ramp(4, 4, 4);
    EXPECT_EQ(v.linear(2, 1, 3), v.at(2, 1, 3)) << "an integer position returns its voxel";
    // The ramp is linear in x, y and z inside the volume.
    EXPECT_NEAR(v.linear(1.25f, 2.5f, 0.75f), 1 + 1.25f + 4 * 2.5f + 16 * 0.75f, 1e-4f);
    Volume<double> d(2, 2, 2, 1.0);
    EXPECT_DOUBLE_EQ(d.linear(0.5f, 0.5f, 0.5f), 1.0);
    Vector<float> vec(std::vector<float>{2, 4});
    EXPECT_FLOAT_EQ(vec.linear(0.25f), 2.5f);
    EXPECT_FLOAT_EQ(vec.linear(-1.0f), 0.0f);
}

TEST(Containers, ReductionsAndStandardDeviation)
{
    Vector<float> v(std::vector<float>{1, 2, 3});
    EXPECT_FLOAT_EQ(v.std(), 1.0f);
    EXPECT_EQ(Vector<float>(1, 5.0f).std(), 0.0f);
    EXPECT_EQ(Vector<float>(std::vector<float>{1.0f, 1.005f}).std(), 0.0f) << "below the 0.0001 cut-off";
    EXPECT_EQ(Vector<double>(std::vector<double>{1.0, 1.005}).std(), 0.0);
    EXPECT_EQ(Vector<float>().std(), 0.0f);
    EXPECT_FLOAT_EQ(v.mean(), 2.0f);
    EXPECT_FLOAT_EQ(v.sum(), 6.0f);
    EXPECT_FLOAT_EQ(v.dot(v), 14.0f);
    Volume<float> vol = ramp(2, 2, 1);
    vol[2] = -3.0f;
    EXPECT_EQ(vol.min(), -3.0f);
    EXPECT_EQ(vol.max(), 4.0f);
    EXPECT_FLOAT_EQ(vol.mean(), (1 + 2 - 3 + 4) / 4.0f);
    EXPECT_TRUE(std::isnan(Volume<float>().mean()));
    Volume<float> other(2, 2, 1, 0.0f);
    Volume<float> low = vol;
    low.min(other);
    EXPECT_EQ(low[0], 0.0f);
    EXPECT_EQ(low[2], -3.0f);
    vol.max(other);
    EXPECT_EQ(vol[2], 0.0f);
    EXPECT_EQ(vol[3], 4.0f);
}

TEST(Containers, ArithmeticByElementType)
{
    Volume<unsigned char> c(1, 1, 1, 200);
    EXPECT_EQ((c + static_cast<unsigned char>(100))[0], 44) << "wraps modulo 256";
    EXPECT_EQ((c / static_cast<unsigned char>(3))[0], 66);
    EXPECT_EQ(Volume<unsigned short>(1, 1, 1, 17).sqrt()[0], 4) << "truncated square root";
    EXPECT_EQ((-Volume<unsigned short>(1, 1, 1, 1))[0], 65535);
    Volume<float> f = ramp(2, 1, 1);
    EXPECT_EQ((f * f)[1], 4.0f) << "element-wise, not a matrix product";
    EXPECT_EQ((f / f)[0], 1.0f);
    EXPECT_TRUE(std::isinf((f / 0.0f)[0]));
    f += 1.0f;
    EXPECT_EQ(f[1], 3.0f);
    EXPECT_EQ(f.square()[1], 9.0f);
    EXPECT_TRUE(std::isnan(Volume<float>(1, 1, 1, -1.0f).sqrt()[0]));
    Vector<double> a(std::vector<double>{1, 2}), b(std::vector<double>{3, 5});
    EXPECT_EQ((a - b)[1], -3.0);
    EXPECT_EQ((a * 2.0)[1], 4.0);
    EXPECT_EQ(a.squared()[1], 4.0);
}

TEST(Containers, NaNMakesVolumesUnequal)
{
    Volume<float> a = ramp(2, 1, 1), b = ramp(2, 1, 1);
    EXPECT_EQ(a, b);
    b[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(a, b);
    EXPECT_NE(b, b);
    EXPECT_NE(ramp(2, 1, 1), ramp(1, 2, 1)) << "extents count";
}

TEST(Containers, CopiesAreDeepAndMovesTakeTheArray)
{
    Volume<float> a = ramp(2, 2, 2);
    Volume<float> b = a;
    b[0] = 99;
    EXPECT_EQ(a[0], 1.0f);
    Volume<float> c = std::move(b);
    EXPECT_EQ(c[0], 99.0f);
    b = a; // a moved-from object can be assigned to
    EXPECT_EQ(b, a);
    Matrix<float> m(2, 2, 3.0f), n;
    n = m;
    n.at(0, 0) = 1;
    EXPECT_EQ(m.at(0, 0), 3.0f);
}

TEST(Containers, ImpossibleExtentsFailToAllocate)
{
    EXPECT_THROW(Volume<float>(-1, 2, 2), std::bad_alloc);
    EXPECT_THROW(Volume<float>(2000, 2000, 2000), std::bad_alloc) << "the count overflows 32 bits";
    EXPECT_THROW(Matrix<float>(-3, 2), std::bad_alloc);
    EXPECT_THROW(Vector<float>(-1), std::bad_alloc);
    Volume<float> v(2, 2, 2);
    EXPECT_THROW(v.resize(70000, 70000, 1), std::bad_alloc);
}

TEST(MatrixAlgebra, ProductsAgainstAHandComputation)
{
    Matrix<float> a(2, 3), b(3, 2);
    const float av[2][3] = {{1, 2, 3}, {4, 5, 6}}, bv[3][2] = {{7, 8}, {9, 10}, {11, 12}};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) a.at(i, j) = av[i][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j) b.at(i, j) = bv[i][j];
    const Matrix<float> c = a * b;
    ASSERT_EQ(c.dimensions(), glm::tvec2<int>(2, 2));
    EXPECT_EQ(c.at(0, 0), 58.0f);
    EXPECT_EQ(c.at(0, 1), 64.0f);
    EXPECT_EQ(c.at(1, 0), 139.0f);
    EXPECT_EQ(c.at(1, 1), 154.0f);
    Vector<float> v(std::vector<float>{1, 0, -1});
    const Vector<float> av1 = a * v;
    EXPECT_EQ(av1.size(), 2);
    EXPECT_EQ(av1[0], -2.0f);
    EXPECT_EQ(av1[1], -2.0f);
    Matrix<float> p = a;
    p *= b;
    EXPECT_EQ(p, c);
    EXPECT_EQ(Matrix<float>::identity(3) * b, b);
    EXPECT_EQ(a.data()[1], 4.0f) << "column-major: element (1, 0) is second";
}

TEST(MatrixAlgebra, Transposition)
{
    Matrix<float> a(2, 3);
    for (int i = 0; i < 6; ++i) a.data()[i] = static_cast<float>(i);
    const Matrix<float> t = a.transpose();
    ASSERT_EQ(t.dimensions(), glm::tvec2<int>(3, 2));
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(t.at(j, i), a.at(i, j));
    Matrix<float> inPlace = a;
    inPlace.transposeInPlace();
    EXPECT_EQ(inPlace, t);
    Matrix<float> sq(3, 3);
    for (int i = 0; i < 9; ++i) sq.data()[i] = static_cast<float>(i);
    Matrix<float> sqt = sq;
    sqt.transposeInPlace();
    EXPECT_EQ(sqt, sq.transpose());
    Volume<float> v = ramp(3, 2, 2);
    const Volume<float> vt = v.transposeXY();
    ASSERT_EQ(vt.dimensions(), glm::tvec3<int>(2, 3, 2));
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(vt.at(y, x, z), v.at(x, y, z));
}

TEST(PrintForms, ExactText)
{
    EXPECT_EQ(printed(Volume<float>(1, 1, 1, 7.0f)), "volume (1x1x1):\n  slice 0:\n    [7]");
    EXPECT_EQ(printed(Volume<float>()), "empty volume");
    EXPECT_EQ(printed(ramp(4, 4, 4)),
              "volume (4x4x4):"
              "\n  slice 0:\n    [1 2 ... 4]\n    [5 6 ... 8]\n     ...\n    [13 14 ... 16]"
              "\n  slice 1:\n    [17 18 ... 20]\n    [21 22 ... 24]\n     ...\n    [29 30 ... 32]"
              "\n   ..."
              "\n  slice 3:\n    [49 50 ... 52]\n    [53 54 ... 56]\n     ...\n    [61 62 ... 64]");
    EXPECT_EQ(printed(Volume<unsigned char>(2, 1, 1, 'A')), "volume (2x1x1):\n  slice 0:\n    [A A]");
    EXPECT_EQ(printed(Vector<float>(std::vector<float>{1, 2, 3, 4, 5})), "[1 2 ... 5]");
    EXPECT_EQ(printed(Vector<float>(std::vector<float>{1, 2, 3})), "[1 2 3]");
    EXPECT_EQ(printed(Vector<float>()), "[]");
    EXPECT_EQ(printed(Matrix<float>::identity(0)), "empty matrix");
    EXPECT_EQ(printed(Matrix<float>::identity(2)), "matrix (2x2):\n  [1 0]\n  [0 1]");

    Matrix<float> wide(1, 21);
    for (int j = 0; j < 21; ++j) wide.at(0, j) = static_cast<float>(j);
    EXPECT_EQ(printed(wide), "matrix (1x21):\n  [0 1 2 3 4 5 6 7 8 9 ... 11 12 13 14 15 16 17 18 19 20]");
    Matrix<float> twenty(1, 20, 1.0f);
    EXPECT_EQ(printed(twenty), "matrix (1x20):\n  [1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1]");
    Matrix<float> tall(21, 1);
    for (int i = 0; i < 21; ++i) tall.at(i, 0) = static_cast<float>(i);
    std::string expected = "matrix (21x1):";
    for (int i = 0; i < 10; ++i) expected += "\n  [" + std::to_string(i) + "]";
    expected += "\n   ...";
    for (int i = 11; i < 21; ++i) expected += "\n  [" + std::to_string(i) + "]";
    EXPECT_EQ(printed(tall), expected);
}
