// SDM design matrix files: the exact text as read and written, the matrix
// operations and hostile files (failed saves: test_savefailures).
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "mySDM.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readFile;
using support::writeFile;

namespace {

std::string printed(SDM& sdm)
{
    std::ostringstream out;
    sdm.PrintTo(out);
    return out.str();
}

// A file of the given text in a fresh folder, read back as an SDM.
SDM readText(const std::string& text, const std::string& name = "in.sdm")
{
    const fs::path path = support::tempDir("sdm") / name;
    writeFile(path, text);
    return SDM(path.string());
}

// The message of the exception of type E that reading text throws ("" if none).
template <typename E>
std::string readError(const std::string& text, std::string* path = nullptr)
{
    const fs::path file = support::tempDir("bad") / "bad.sdm";
    writeFile(file, text);
    if (path != nullptr) *path = file.string();
    try {
        SDM sdm(file.string());
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<other exception: ") + e.what() + ">";
    }
    return "<no exception>";
}

} // namespace

// Layout ------------------------------------------------------------------

TEST(SDMLayout, DefaultMatrixWritesFiveHeaderLinesAndEmptyLists)
{
    SDM sdm;
    EXPECT_EQ(printed(sdm),
              "FileVersion:            1\n"
              "\n"
              "NrOfPredictors:         0\n"
              "NrOfDataPoints:         0\n"
              "IncludesConstant:       0\n"
              "FirstConfoundPredictor: 0\n"
              "\n"
              "\n"
              "\n");
    EXPECT_TRUE(sdm.FileName.empty());
}

TEST(SDMLayout, WorkedFileReadsAndWritesBackAsDescribed)
{
    const std::string text = "FileVersion:   1\n"
                             "\n"
                             "NrOfPredictors:  3\n"
                             "NrOfDataPoints:\t4\n"
                             "IncludesConstant: 1\n"
                             "FirstConfoundPredictor:          4\n"
                             "\n"
                             "255 0 0   0 255 0   10 20 30\n"
                             "\"Trans X\" \"Rot Z [deg]\" \"Constant\"\n"
                             " 123.500000  -0.500000   1.000000\n"
                             "  -0.000000   0.000000   1.000000\n"
                             " 1 0 0\n"
                             "  nan  2.000000   1.000000\n";
    SDM sdm = readText(text);
    EXPECT_EQ(sdm.FileVersion.value(), 1);
    EXPECT_EQ(sdm.NrOfPredictors.value(), 3);
    EXPECT_EQ(sdm.NrOfDataPoints.value(), 4);
    EXPECT_EQ(sdm.NrOfDataPoints.getWidth(), 16) << "a tab counts as one column";
    EXPECT_TRUE(sdm.IncludesConstant.value());
    EXPECT_EQ(sdm.FirstConfoundPredictor.value(), 4);
    EXPECT_EQ(sdm.ColorR, (std::vector<int>{255, 0, 10}));
    EXPECT_EQ(sdm.ColorG, (std::vector<int>{0, 255, 20}));
    EXPECT_EQ(sdm.ColorB, (std::vector<int>{0, 0, 30}));
    EXPECT_EQ(sdm.PredictorNames, (std::vector<std::string>{"Trans X", "Rot Z [deg]", "Constant"}));
    // Rows 3 and 4 have no decimal points (integers) or too few (nan): they stay 0.
    EXPECT_EQ(sdm.Predictors[0], (std::vector<float>{123.5f, -0.0f, 0.0f, 0.0f}));
    EXPECT_TRUE(std::signbit(sdm.Predictors[0][1])) << "negative zero is kept";
    EXPECT_EQ(sdm.Predictors[1], (std::vector<float>{-0.5f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(sdm.Predictors[2], (std::vector<float>{1.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_FALSE(sdm.HasBaseline());

    EXPECT_EQ(printed(sdm), "FileVersion:   1\n"
                            "\n"
                            "NrOfPredictors:  3\n"
                            "NrOfDataPoints: 4\n"
                            "IncludesConstant: 1\n"
                            "FirstConfoundPredictor:          4\n"
                            "\n"
                            "255 0 0   0 255 0   10 20 30\n"
                            "\"Trans X\" \"Rot Z [deg]\" \"Constant\"\n"
                            "  123.500000  -0.500000   1.000000\n"
                            "  -0.000000   0.000000   1.000000\n"
                            "  0.000000   0.000000   0.000000\n"
                            "  0.000000   0.000000   0.000000\n");
}

// Found by the SDM fuzz target: a header value on the line after its key was
// written straight after the colon and lost on the next read.
TEST(SDMLayout, ValueOnTheNextLineIsWrittenApartFromItsKey)
{
    SDM sdm = readText("NrOfPredictors:\n1\nNrOfDataPoints:\n2\nFirstConfoundPredictor:\n1\n\n1 2 3\n\"a\"\n 1.5\n 2.5\n");
    const std::string text = printed(sdm);
    EXPECT_NE(text.find("NrOfPredictors: 1\nNrOfDataPoints: 2\n"), std::string::npos) << text;
    SDM again = readText(text, "again.sdm");
    EXPECT_EQ(again.NrOfPredictors.value(), 1);
    EXPECT_EQ(again.NrOfDataPoints.value(), 2);
    ASSERT_EQ(again.Predictors.size(), 1u);
    EXPECT_EQ(again.Predictors[0], (std::vector<float>{1.5f, 2.5f}));
    EXPECT_EQ(printed(again), text);
}

TEST(SDMLayout, MissingKeysColoursAndNamesAndCarriageReturns)
{
    SDM sdm = readText("NrOfPredictors: 2\r\n"
                       "NrOfDataPoints: 3\r\n"
                       "FirstConfoundPredictor: 1\r\n"
                       "\r\n"
                       "\"only\"\r\n"
                       " 1.000000  -2.000000\r\n"
                       " 3.500000   4.250000\r\n");
    EXPECT_EQ(sdm.FileVersion.value(), -1);
    EXPECT_FALSE(sdm.FileVersion.isSet());
    EXPECT_FALSE(sdm.IncludesConstant.isSet());
    EXPECT_EQ(sdm.ColorR, (std::vector<int>{0, 0}));
    EXPECT_EQ(sdm.PredictorNames, (std::vector<std::string>{"only", "NoName"}));
    EXPECT_EQ(sdm.Predictors[0], (std::vector<float>{1.0f, 3.5f, 0.0f})) << "the missing last row reads as 0";
    EXPECT_EQ(sdm.Predictors[1], (std::vector<float>{-2.0f, 4.25f, 0.0f}));
    EXPECT_EQ(printed(sdm), "NrOfPredictors: 2\n"
                            "NrOfDataPoints: 3\n"
                            "FirstConfoundPredictor: 1\n"
                            "\n"
                            "0 0 0   0 0 0\n"
                            "\"only\" \"NoName\"\n"
                            "  1.000000  -2.000000\n"
                            "  3.500000   4.250000\n"
                            "  0.000000   0.000000\n");
}

TEST(SDMLayout, KeysInAnyOrderAndExtraNamesOrColoursIgnored)
{
    SDM sdm = readText("IncludesConstant: 0\nNrOfDataPoints: 1\nSomething else\nNrOfPredictors: 1\n"
                       "FileVersion: 7\nFirstConfoundPredictor: 1\n\n1 2 3   4 5 6\n\"a\" \"b\"\n 0.5\n");
    EXPECT_EQ(sdm.FileVersion.value(), 7);
    EXPECT_EQ(sdm.ColorR, (std::vector<int>{1}));
    EXPECT_EQ(sdm.ColorB, (std::vector<int>{3}));
    EXPECT_EQ(sdm.PredictorNames, (std::vector<std::string>{"a"}));
    EXPECT_EQ(sdm.Predictors[0], (std::vector<float>{0.5f}));
    // Order of writing is fixed, whatever the order read.
    EXPECT_EQ(printed(sdm), "FileVersion: 7\n\nNrOfPredictors: 1\nNrOfDataPoints: 1\nIncludesConstant: 0\n"
                            "FirstConfoundPredictor: 1\n\n1 2 3\n\"a\"\n  0.500000\n");
}

TEST(SDMLayout, NameWithAQuoteIsWrittenAsIsAndCannotComeBackIntact)
{
    SDM sdm;
    sdm.NrOfDataPoints = 1;
    sdm.AddPredictor({2.0f}, "say \"hi\"", 1, 1, 1);
    const std::string text = printed(sdm);
    EXPECT_NE(text.find("\"say \"hi\"\"\n"), std::string::npos) << text;
    SDM back = readText(text);
    EXPECT_EQ(back.PredictorNames[0], "say ");
}

TEST(SDMLayout, DecimalPointRuleCutsRows)
{
    struct Case {
        std::string row;
        float first, second;
        const char* why;
    };
    const Case cases[] = {
        {" 1.000000  -0.500000", 1.0f, -0.5f, "the written layout"},
        {"\t1.000000\t2.000000", 1.0f, 2.0f, "tabs separate too"},
        {"  1.000000e+01   2.5", 10.0f, 2.5f, "exponents after the digits"},
        {"  12345.678000   9.000000", 12345.678f, 9.0f, "the first value may have any integer part"},
        {"1.0 .5", 1.0f, 0.0f, "two characters before the second point belong to the first value"},
        {"1.52.5", 1.0f, 52.5f, "values glued together are cut two characters before the point"},
        {"  0.500000  -12.500000", 0.5f, -12.5f, "a longer integer part, delimited by blanks, is kept whole"},
        {"  -12.500000  123.250000", -12.5f, 123.25f, "both beyond two characters"},
        {" 1.000000   2.000000   3.000000", 0.0f, 0.0f, "three points for two predictors: row stays 0"},
        {" 1 2", 0.0f, 0.0f, "no decimal points: row stays 0"},
        {"", 0.0f, 0.0f, "an empty row stays 0"},
    };
    for (const auto& c : cases) {
        SDM sdm = readText("NrOfPredictors: 2\nNrOfDataPoints: 1\nFirstConfoundPredictor: 1\n\n\"a\" \"b\"\n" +
                           c.row + "\n");
        // Exact decimal inputs: the float nearest the text is what stof returns.
        EXPECT_EQ(sdm.Predictors[0][0], c.first) << "row '" << c.row << "': " << c.why;
        EXPECT_EQ(sdm.Predictors[1][0], c.second) << "row '" << c.row << "': " << c.why;
    }
}

// Hostile files -------------------------------------------------------------

TEST(SDMHostile, HeaderProblemsEndWithAClearError)
{
    struct Case {
        std::string text;
        std::string mentions;
    };
    const Case cases[] = {
        {"NrOfPredictors: 2\nNrOfDataPoints: 3\n 1.0  2.0\n", "\"FirstConfoundPredictor:\""},
        {"", "\"FirstConfoundPredictor:\""},
        {std::string("\x01\x02\xff garbage\0\0 more", 18), "\"FirstConfoundPredictor:\""},
        {"FirstConfoundPredictor:\n", "value of \"FirstConfoundPredictor:\""},
        {"FirstConfoundPredictor: abc\n", "value of \"FirstConfoundPredictor:\""},
        {"NrOfPredictors: many\nFirstConfoundPredictor: 1\n", "value of \"NrOfPredictors:\""},
        {"NrOfDataPoints: 99999999999\nFirstConfoundPredictor: 1\n", "value of \"NrOfDataPoints:\""},
        {"IncludesConstant: 2\nFirstConfoundPredictor: 1\n", "value of \"IncludesConstant:\""},
        {"NrOfPredictors: -3\nNrOfDataPoints: 2\nFirstConfoundPredictor: 1\n", "NrOfPredictors is negative (-3)"},
        {"NrOfPredictors: 1\nNrOfDataPoints: -1\nFirstConfoundPredictor: 1\n", "NrOfDataPoints is negative (-1)"},
        {"NrOfPredictors: 6\nNrOfDataPoints: 2000000000\nFirstConfoundPredictor: 1\n", "announce more values"},
        {"NrOfPredictors: 2000000000\nNrOfDataPoints: 0\nFirstConfoundPredictor: 1\n", "announce more values"},
        {"NrOfPredictors: 0\nNrOfDataPoints: 2000000000\nFirstConfoundPredictor: 1\n", "announce more values"},
        {"NrOfPredictors: 40000\nNrOfDataPoints: 40000\nFirstConfoundPredictor: 1\n", "announce more values"},
    };
    for (const auto& c : cases) {
        std::string path;
        const std::string message = readError<IOError>(c.text, &path);
        EXPECT_EQ(message.rfind("Invalid SDM file " + path + ": ", 0), 0u) << c.text << "\n-> " << message;
        EXPECT_NE(message.find(c.mentions), std::string::npos) << c.text << "\n-> " << message;
    }
}

TEST(SDMHostile, DataThatIsNoNumberNamesFileAndRow)
{
    std::string path;
    const std::string head = "NrOfPredictors: 2\nNrOfDataPoints: 3\nFirstConfoundPredictor: 1\n\n\"a\" \"b\"\n";
    std::string message = readError<IOError>(head + " 1.0  2.0\n 1.0  x.5\n", &path);
    EXPECT_EQ(message, "Invalid SDM file " + path + ": data row 2, predictor 2 holds no number");
    message = readError<IOError>(head + "..\n", &path);
    EXPECT_EQ(message, "Invalid SDM file " + path + ": data row 1, predictor 1 holds no number");
    message = readError<IOError>(head + " 1.0e99  2.0\n", &path);
    EXPECT_EQ(message, "Invalid SDM file " + path + ": data row 1, predictor 1 is out of the range of a float");
}

TEST(SDMHostile, UnopenableFileThrowsOpenFileError)
{
    const std::string path = (support::tempDir("none") / "missing.sdm").string();
    try {
        SDM sdm(path);
        FAIL() << "no exception";
    } catch (const OpenFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Failed opening for reading: " + path);
        const IOError& base = e;
        const std::runtime_error& root = base;
        EXPECT_EQ(std::string(root.what()), e.what());
    }
}

TEST(SDMHostile, ModestMissingRowsAndManyEmptyRowsStillRead)
{
    // Rows the file lacks are zero, within what a file could plausibly mean.
    SDM sdm = readText("NrOfPredictors: 1\nNrOfDataPoints: 1000\nFirstConfoundPredictor: 1\n\n\"a\"\n 1.5\n");
    ASSERT_EQ(sdm.Predictors[0].size(), 1000u);
    EXPECT_EQ(sdm.Predictors[0][0], 1.5f);
    EXPECT_EQ(sdm.Predictors[0][999], 0.0f);
}

TEST(SDMHostile, BrokenListsAreRefusedByTheWriter)
{
    SDM sdm;
    sdm.NrOfPredictors = 2; // the lists were not filled
    std::ostringstream out;
    EXPECT_THROW(sdm.PrintTo(out), std::logic_error);
}

// Operations ----------------------------------------------------------------

TEST(SDMOperations, HasBaseline)
{
    struct Case {
        std::vector<std::vector<float>> predictors;
        int points;
        bool expected;
    };
    const Case cases[] = {
        {{}, 2, false},
        {{{0.0f, 2.0f}, {1.0f, 1.0f}}, 2, true},
        {{{1.0f, 1.0f}, {0.0f, 2.0f}}, 2, false},
        {{{1.0f, 0.999999f}}, 2, false},
        {{{}}, 0, true},
    };
    for (const auto& c : cases) {
        SDM sdm;
        sdm.NrOfDataPoints = c.points;
        for (const auto& p : c.predictors) sdm.AddPredictor(p, "p", 0, 0, 0);
        ASSERT_EQ(sdm.NrOfPredictors.value(), static_cast<int>(c.predictors.size()));
        EXPECT_EQ(sdm.HasBaseline(), c.expected) << "case with " << c.predictors.size() << " predictors";
    }
}

TEST(SDMOperations, AddPredictorOnlyOfTheRightLength)
{
    SDM sdm;
    sdm.NrOfDataPoints = 3;
    sdm.AddPredictor({1.0f, 2.0f}, "short", 1, 2, 3);
    EXPECT_EQ(sdm.NrOfPredictors.value(), 0);
    EXPECT_TRUE(sdm.Predictors.empty());
    sdm.AddPredictor({1.0f, 2.0f, 3.0f}, "ok", 150, 0, 0);
    EXPECT_EQ(sdm.NrOfPredictors.value(), 1);
    EXPECT_EQ(sdm.PredictorNames, (std::vector<std::string>{"ok"}));
    EXPECT_EQ(sdm.ColorR, (std::vector<int>{150}));
}

TEST(SDMOperations, AppendKeepsTheConstantLast)
{
    SDM base;
    base.NrOfDataPoints = 2;
    base.AddPredictor({3.0f, 4.0f}, "x", 1, 1, 1);
    base.AddPredictor({1.0f, 1.0f}, "constant", 2, 2, 2);
    SDM other;
    other.NrOfDataPoints = 2;
    other.AddPredictor({5.0f, 6.0f}, "y", 3, 3, 3);
    other.AddPredictor({1.0f, 1.0f}, "other constant", 4, 4, 4);

    SDM withConstant = base;
    withConstant.Append(other);
    EXPECT_EQ(withConstant.PredictorNames, (std::vector<std::string>{"x", "y", "other constant", "constant"}));
    EXPECT_EQ(withConstant.ColorR, (std::vector<int>{1, 3, 4, 2}));
    EXPECT_EQ(withConstant.Predictors[1], (std::vector<float>{5.0f, 6.0f}));
    EXPECT_EQ(withConstant.NrOfPredictors.value(), 4);

    SDM empty;
    empty.NrOfDataPoints = 2;
    empty.Append(other);
    EXPECT_EQ(empty.PredictorNames, other.PredictorNames);

    SDM noConstant = other;
    noConstant.Predictors[1][0] = 0.0f;
    noConstant.Append(base);
    EXPECT_EQ(noConstant.PredictorNames, (std::vector<std::string>{"y", "other constant", "x", "constant"}));

    SDM longer;
    longer.NrOfDataPoints = 3;
    longer.Append(other);
    EXPECT_EQ(longer.NrOfPredictors.value(), 0) << "a different length changes nothing";

    SDM self = base;
    self.Append(self);
    EXPECT_EQ(self.PredictorNames, (std::vector<std::string>{"x", "x", "constant", "constant"}));
}

TEST(SDMOperations, ClearKeepsTheHeaderAndCopiesAreDeep)
{
    SDM read = readText("FileVersion:  5\nNrOfPredictors: 1\nNrOfDataPoints: 2\nIncludesConstant: 1\n"
                        "FirstConfoundPredictor:   3\n\n9 9 9\n\"a\"\n 1.5\n 2.5\n",
                        "clear.sdm");
    SDM copy(read);
    copy.Predictors[0][0] = 42.0f;
    EXPECT_EQ(read.Predictors[0][0], 1.5f) << "a copy shares no data";

    copy.Clear();
    EXPECT_EQ(copy.NrOfPredictors.value(), 0);
    EXPECT_EQ(copy.FirstConfoundPredictor.value(), 1);
    EXPECT_FALSE(copy.IncludesConstant.value());
    EXPECT_EQ(copy.NrOfDataPoints.value(), 2);
    EXPECT_EQ(copy.FileVersion.value(), 5);
    EXPECT_EQ(copy.FirstConfoundPredictor.getWidth(), 26);
    EXPECT_EQ(copy.FileName, read.FileName);
    EXPECT_TRUE(copy.Predictors.empty() && copy.PredictorNames.empty() && copy.ColorR.empty());
    EXPECT_EQ(copy.Predictors.capacity(), 0u) << "storage released";
    copy.AddPredictor({7.0f, 8.0f}, "fresh", 1, 2, 3);
    EXPECT_EQ(printed(copy), "FileVersion:  5\n\nNrOfPredictors: 1\nNrOfDataPoints: 2\nIncludesConstant: 0\n"
                             "FirstConfoundPredictor:   1\n\n1 2 3\n\"fresh\"\n  7.000000\n  8.000000\n");
}

// The real motion trace ----------------------------------------------------

TEST(SDMMotionTrace, ThreeHundredSixtyFiveVolumesRoundTripByteForByte)
{
    // The trace holds rotations (radians) then translations (mm); a motion
    // SDM holds translations (mm) then rotations (degrees).
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    ASSERT_TRUE(in) << support::sharedData("mcflirt_movpar.txt");
    std::vector<std::vector<float>> columns(6);
    double rot[3], trans[3];
    while (in >> rot[0] >> rot[1] >> rot[2] >> trans[0] >> trans[1] >> trans[2]) {
        for (int i = 0; i < 3; ++i) columns[i].push_back(static_cast<float>(trans[i]));
        for (int i = 0; i < 3; ++i) columns[3 + i].push_back(static_cast<float>(rot[i] * 180.0 / std::numbers::pi));
    }
    ASSERT_EQ(columns[0].size(), 365u);

    SDM motion;
    motion.NrOfDataPoints = 365;
    const char* names[] = {"Translation X (mm)", "Translation Y (mm)", "Translation Z (mm)",
                           "Rotation X (deg)",   "Rotation Y (deg)",   "Rotation Z (deg)"};
    for (int i = 0; i < 6; ++i) motion.AddPredictor(columns[i], names[i], 255 - 40 * i, 40 * i, 100);
    motion.FirstConfoundPredictor = 1;
    const fs::path path = support::tempDir("motion") / "run1_3DMC.sdm";
    ASSERT_TRUE(motion.SaveAs(path.string()));
    const std::string first = readFile(path);

    // Rows worked out by hand from the first and the last volume of the trace.
    std::istringstream lines(first);
    std::vector<std::string> text;
    for (std::string l; std::getline(lines, l);) text.push_back(l);
    ASSERT_EQ(text.size(), 7u + 2u + 365u);
    EXPECT_EQ(text[0], "FileVersion:            1");
    EXPECT_EQ(text[2], "NrOfPredictors:         6");
    EXPECT_EQ(text[3], "NrOfDataPoints:         365");
    EXPECT_EQ(text[7], "255 0 100   215 40 100   175 80 100   135 120 100   95 160 100   55 200 100");
    EXPECT_EQ(text[9], "  0.310430  -0.751705   0.619666  -0.485927   0.211879   0.196181");
    EXPECT_EQ(text.back(), " -0.335071   0.296729  -0.468606   0.314128  -0.076676  -0.220672");

    SDM back(path.string());
    ASSERT_EQ(back.NrOfDataPoints.value(), 365);
    ASSERT_EQ(back.NrOfPredictors.value(), 6);
    EXPECT_EQ(back.PredictorNames[3], "Rotation X (deg)");
    // Six decimals are written: a value comes back within half a unit of the
    // last digit, plus one float rounding step of numbers below 1.
    for (int i = 0; i < 6; ++i)
        for (int r = 0; r < 365; ++r)
            ASSERT_NEAR(back.Predictors[i][r], columns[i][r], 0.5e-6 + 1.2e-7) << "predictor " << i << " row " << r;

    // A tiny negative value is written as -0.000000 without the extra blank of
    // a value that is not negative; it reads back as a negative zero, which is
    // not negative and gets that blank. Apart from this, saving what was read
    // changes nothing, and from then on the text stays the same byte for byte.
    const fs::path again = path.parent_path() / "again_3DMC.sdm";
    ASSERT_TRUE(back.SaveAs(again.string()));
    const std::string second = readFile(again);
    std::string expected;
    int tinyNegatives = 0;
    std::istringstream firstLines(first);
    int lineNumber = 0;
    for (std::string l; std::getline(firstLines, l); ++lineNumber) {
        if (lineNumber >= 9) {
            std::string rebuilt;
            std::size_t at = 0;
            for (int value = 0; at < l.size(); ++value) {
                const std::size_t begin = l.find_first_not_of(' ', at);
                const std::size_t end = l.find(' ', begin);
                const std::string number = l.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
                std::size_t blanks = begin - at;
                if (number == "-0.000000" && blanks == (value == 0 ? 1u : 2u)) {
                    ++blanks;
                    ++tinyNegatives;
                }
                rebuilt += std::string(blanks, ' ') + number;
                at = end == std::string::npos ? l.size() : end;
            }
            l = rebuilt;
        }
        expected += l + "\n";
    }
    EXPECT_TRUE(second == expected) << tinyNegatives << " tiny negative values; saved again:\n" << second;

    SDM third(again.string());
    ASSERT_TRUE(third.Save());
    EXPECT_TRUE(readFile(again) == second) << "a 365-row SDM read and saved again is unchanged";
}
