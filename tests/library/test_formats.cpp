// The text formats (SDM, MDM and FMR documents and their "key: value" header
// lines) read and written back: one table of {what, input, expected text}
// rows through one fixed-point check, then hostile files and file names.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "line.h"
#include "myFMR.h"
#include "myMDM.h"
#include "mySDM.h"
#include "stringmanipulation.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readFile;

namespace {

enum class Kind { SDM, MDM, FMR, Int, Float, Text, YesNo };

template <typename T>
std::string field(std::istream& in)
{
    std::string key;
    in >> key;
    Line<T> line;
    line.readLine(in, key);
    std::ostringstream out;
    line.printLineIfAllSet(out, 1);
    return out.str();
}

// The text read as a document or header line of the kind and written back.
std::string rewrite(Kind kind, const std::string& text)
{
    std::ostringstream out;
    std::istringstream in(text);
    const fs::path path = support::tempDir("format") / "doc";
    support::writeFile(path, text);
    switch (kind) {
    case Kind::SDM: SDM(path.string()).PrintTo(out); return out.str();
    case Kind::MDM: MDM(path.string()).PrintTo(out); return out.str();
    case Kind::FMR: FMR(path.string(), false).PrintTo(out); return out.str();
    case Kind::Int: return field<int>(in);
    case Kind::Float: return field<float>(in);
    case Kind::Text: return field<std::string>(in);
    case Kind::YesNo: {
        std::string key;
        in >> key;
        Line<bool> line;
        readYesNo(line, in, key);
        printYesNoIfAllSet(line, out, 1);
        return out.str();
    }
    }
    return "";
}

// An SDM of two predictors, one data point, written (or read) with this data row.
std::string twoByOne(const std::string& row, bool written = false)
{
    return "NrOfPredictors: 2\nNrOfDataPoints: 1\nFirstConfoundPredictor: 1\n\n" + std::string(written ? "0 0 0   0 0 0\n" : "") +
           "\"a\" \"b\"\n" + row + "\n";
}

// An MDM as the writer lays it out.
std::string mdm(const std::string& type, int studies, const std::string& lines, int version = 3, int rfx = 0,
                int psc = 1, int z = 0, int separate = 0)
{
    return "\nFileVersion:          " + std::to_string(version) + "\nTypeOfFunctionalData: " + type +
           "\n\nRFX-GLM:              " + std::to_string(rfx) + "\n\nPSCTransformation:    " + std::to_string(psc) +
           "\nzTransformation:      " + std::to_string(z) + "\nSeparatePredictors:   " + std::to_string(separate) +
           "\n\nNrOfStudies:          " + std::to_string(studies) + "\n" + lines;
}

const std::string studyAB = "\"/m/a.mtc\"  \"/m/a.vtc\"  \"/m/a.sdm\"\n\"/m/b.vtc\"  \"/m/b.sdm\"\n";

struct Row {
    const char* what;
    Kind kind;
    std::string input, expected;
    std::string again = ""; // what the written text gives when read again, when that is not the same
};

const Row rows[] = {
    // ---- SDM
    {"SDM worked file: tab, integers and nan rows read as 0, negative zero kept", Kind::SDM,
     "FileVersion:   1\n\nNrOfPredictors:  3\nNrOfDataPoints:\t4\nIncludesConstant: 1\nFirstConfoundPredictor:          4\n\n"
     "255 0 0   0 255 0   10 20 30\n\"Trans X\" \"Rot Z [deg]\" \"Constant\"\n 123.500000  -0.500000   1.000000\n"
     "  -0.000000   0.000000   1.000000\n 1 0 0\n  nan  2.000000   1.000000\n",
     "FileVersion:   1\n\nNrOfPredictors:  3\nNrOfDataPoints: 4\nIncludesConstant: 1\nFirstConfoundPredictor:          4\n\n"
     "255 0 0   0 255 0   10 20 30\n\"Trans X\" \"Rot Z [deg]\" \"Constant\"\n  123.500000  -0.500000   1.000000\n"
     "  -0.000000   0.000000   1.000000\n  0.000000   0.000000   0.000000\n  0.000000   0.000000   0.000000\n"},
    {"SDM without version, constant flag, colours and second name, with CR LF; the missing row is 0", Kind::SDM,
     "NrOfPredictors: 2\r\nNrOfDataPoints: 3\r\nFirstConfoundPredictor: 1\r\n\r\n\"only\"\r\n 1.000000  -2.000000\r\n"
     " 3.500000   4.250000\r\n",
     "NrOfPredictors: 2\nNrOfDataPoints: 3\nFirstConfoundPredictor: 1\n\n0 0 0   0 0 0\n\"only\" \"NoName\"\n"
     "  1.000000  -2.000000\n  3.500000   4.250000\n  0.000000   0.000000\n"},
    {"SDM keys in any order, unknown lines, extra names and colours", Kind::SDM,
     "IncludesConstant: 0\nNrOfDataPoints: 1\nSomething else\nNrOfPredictors: 1\nFileVersion: 7\nFirstConfoundPredictor: 1\n\n"
     "1 2 3   4 5 6\n\"a\" \"b\"\n 0.5\n",
     "FileVersion: 7\n\nNrOfPredictors: 1\nNrOfDataPoints: 1\nIncludesConstant: 0\nFirstConfoundPredictor: 1\n\n1 2 3\n\"a\"\n"
     "  0.500000\n"},
    // Found by the SDM fuzz target: written straight after the colon the value was lost.
    {"SDM header values on the line after their keys", Kind::SDM,
     "NrOfPredictors:\n1\nNrOfDataPoints:\n2\nFirstConfoundPredictor:\n1\n\n1 2 3\n\"a\"\n 1.5\n 2.5\n",
     "NrOfPredictors: 1\nNrOfDataPoints: 2\nFirstConfoundPredictor: 1\n\n1 2 3\n\"a\"\n  1.500000\n  2.500000\n"},
    // Values are cut two characters before each decimal point.
    {"SDM data row as written", Kind::SDM, twoByOne(" 1.000000  -0.500000"), twoByOne("  1.000000  -0.500000", true)},
    {"SDM row with exponents", Kind::SDM, twoByOne("  1.000000e+01   2.5"), twoByOne("  10.000000   2.500000", true)},
    {"SDM two characters before a point belong to the value before", Kind::SDM, twoByOne("1.0 .5"),
     twoByOne("  1.000000   0.000000", true)},
    {"SDM values glued together", Kind::SDM, twoByOne("1.52.5"), twoByOne("  1.000000   52.500000", true)},
    {"SDM longer integer parts delimited by blanks", Kind::SDM, twoByOne("  -12.500000  123.250000"),
     twoByOne(" -12.500000   123.250000", true)},
    // Read again, -0.000000 is a negative zero, which is not negative and gets the blank.
    {"SDM tiny negative value", Kind::SDM, twoByOne(" -0.0000001  -7.25"), twoByOne(" -0.000000  -7.250000", true),
     twoByOne("  -0.000000  -7.250000", true)},
    {"SDM row with three points for two predictors stays 0", Kind::SDM, twoByOne(" 1.0  2.0  3.0"),
     twoByOne("  0.000000   0.000000", true)},
    // ---- MDM
    {"MDM worked file", Kind::MDM,
     mdm("VTC", 2, "\"/d/s1/run1.vtc\"  \"/d/s1/run1_3DMC.sdm\"\n\"/d/s 2/run2.vtc\"  \"/d/s 2/run2_3DMC.sdm\"\n"),
     mdm("VTC", 2, "\"/d/s1/run1.vtc\"  \"/d/s1/run1_3DMC.sdm\"\n\"/d/s 2/run2.vtc\"  \"/d/s 2/run2_3DMC.sdm\"\n")},
    // Found by the MDM fuzz target: the next key was read as the missing data type.
    {"MDM without data type", Kind::MDM, mdm("", 0, "", 4, 1), mdm("", 0, "", 4, 1)},
    {"MDM header in any order, seven words before NrOfStudies", Kind::MDM,
     "zTransformation: 1 RFX-GLM: 2\n\n\nTypeOfFunctionalData:   MTC SeparatePredictors: 4 PSCTransformation: 0 "
     "FileVersion: 9 NrOfStudies: 1 trailing words\n\"/x.vtc\"  \"/x.sdm\"\n",
     mdm("MTC", 1, "\"\"  \"/x.vtc\"  \"/x.sdm\"\n", 9, 2, 0, 1, 4)},
    {"MDM whose count is the eighth word is read without studies", Kind::MDM,
     "a b c d e f g NrOfStudies: 1\n\"/x.vtc\"  \"/x.sdm\"\n", mdm("", 0, "", -1)},
    {"MTC study lines with three or two paths", Kind::MDM, "TypeOfFunctionalData: MTC\nNrOfStudies: 2\n" + studyAB,
     mdm("MTC", 2, "\"/m/a.mtc\"  \"/m/a.vtc\"  \"/m/a.sdm\"\n\"\"  \"/m/b.vtc\"  \"/m/b.sdm\"\n", -1)},
    {"VTC study lines by their last two quotes", Kind::MDM, "TypeOfFunctionalData: VTC\nNrOfStudies: 2\n" + studyAB,
     mdm("VTC", 2, "\"/m/b.vtc\"  \"/m/b.sdm\"\n", -1)},
    {"odd quotes", Kind::MDM, "NrOfStudies: 1\n\"odd\" \"quotes\" \"\n", mdm("", 1, "", -1)},
    {"huge count read as far as the file goes", Kind::MDM, "NrOfStudies: 2000000000\n\"a.vtc\"  \"a.sdm\"\n\"b\"  \"c\"\n",
     mdm("", 2000000000, "\"a.vtc\"  \"a.sdm\"\n\"b\"  \"c\"\n", -1)},
    // ---- FMR
    {"FMR with every line, position block and slice timing table", Kind::FMR,
     readFile(fs::path(TREMORA_SOURCE_DIR) / "tests/data/run1.fmr"), readFile(fs::path(TREMORA_SOURCE_DIR) / "tests/data/run1.fmr")},
    // Untitled, they are main lines when read again: NRows and GapThickness
    // are dropped and the block's slice thickness becomes the run's.
    {"FMR block lines without PosInfosVerified follow the main lines untitled", Kind::FMR,
     "\nSliceGap: 0\nPositionInformationFromImageHeaders\nNRows: 64\nSliceThickness: 3\nGapThickness: 1\n",
     "\nSliceGap: 0\nNRows: 64\nSliceThickness: 3\nGapThickness: 1\n\n\n", "\nSliceThickness: 3\nSliceGap: 0\n"},
    {"FMR main key inside the block", Kind::FMR,
     "\nPositionInformationFromImageHeaders\nPosInfosVerified: 1\nNrOfVolumes: 9\nGapThickness: 0\nNrOfVolumes: 8\n",
     "\nNrOfVolumes: 8\n\nPositionInformationFromImageHeaders\n\nPosInfosVerified: 1\nGapThickness: 0\n\n\n"},
    {"FMR key met twice keeps the last; unknown keys skipped", Kind::FMR, "\nTR: 1000\nScannerMood: grumpy\nTR: 2000\n",
     "\nTR: 2000\n"},
    {"FMR slice timing in default float notation", Kind::FMR, "\nSliceTimingTableSize: 3\n0.0\n37.50\n75\n",
     "\nSliceTimingTableSize: 3\n0\n37.5\n75\n"},
    {"FMR slice timing table shorter than its size", Kind::FMR, "\nSliceTimingTableSize: 1000000000\n10\n20\n",
     "\nSliceTimingTableSize: 1000000000\n10\n20\n"},
    {"FMR value that cannot be read ends the document", Kind::FMR, "\nTR: 2000\nTE: thirty\nNrOfSlices: 30\n",
     "\nTR: 2000\nTE: 0\n"},
    {"FMR carriage returns", Kind::FMR, "\r\nTR: 2000\r\nTE: 30\r\n", "\nTR: 2000\nTE: 30\n"},
    // Found by the document fuzz target, as the next two.
    {"FMR values on the line after their keys", Kind::FMR, "\nNrOfVolumes:\n3\nResolutionX:\n64\nPrefix:\n",
     "\nNrOfVolumes: 3\nPrefix: \nResolutionX: 64\n"},
    {"FMR second slice timing table replaces the first", Kind::FMR,
     "\nSliceTimingTableSize: 2\n0\n1\nSliceTimingTableSize: 2\n0\n1000\n", "\nSliceTimingTableSize: 2\n0\n1000\n"},
    // ---- header lines: the value column and the quoting are kept
    {"number in its column", Kind::Int, "NrOfVolumes:          5\n", "NrOfVolumes:          5\n"},
    {"a tab counts as one column", Kind::Int, "NrOfVolumes:\t365\n", "NrOfVolumes: 365\n"},
    {"negative after blanks and a tab", Kind::Int, "NrOfVolumes: \t -7\n", "NrOfVolumes:   -7\n"},
    {"no number: the line is set to 0", Kind::Int, "NrOfSlices: abc\n", "NrOfSlices: 0\n"},
    {"float with a unit after it", Kind::Float, "TR:   2000.5  ms\n", "TR:   2000.5\n"},
    {"quoted text", Kind::Text, "Prefix:   \"run 1\"\n", "Prefix:   \"run 1\"\n"},
    {"unquoted text trimmed", Kind::Text, "Prefix: two words  \t \n", "Prefix: two words\n"},
    {"an opening quote alone is text", Kind::Text, "Prefix: \"open only\n", "Prefix: \"open only\n"},
    {"a carriage return is part of the text", Kind::Text, "Prefix: \"cr\"\r\n", "Prefix: \"cr\"\r\n"},
    {"no text", Kind::Text, "Prefix:\n", "Prefix:\n"},
    {"NO", Kind::YesNo, "Flag:   NO\n", "Flag:   NO\n"},
    {"any word starting with n is no", Kind::YesNo, "Flag:   nope\n", "Flag:   NO\n"},
    {"0 is yes", Kind::YesNo, "Flag:   0\n", "Flag:   YES\n"},
};

} // namespace

TEST(TextFormats, ReadAndWrittenBackToAFixedPoint)
{
    for (const Row& row : rows) {
        EXPECT_EQ(rewrite(row.kind, row.input), row.expected) << row.what << "\n--- input:\n" << row.input;
        const std::string& again = row.again.empty() ? row.expected : row.again;
        EXPECT_EQ(rewrite(row.kind, row.expected), again) << row.what << ": the written text read and written again";
        EXPECT_EQ(rewrite(row.kind, again), again) << row.what << ": a fixed point";
    }
}

TEST(TextFormats, HostileFilesEndWithAnErrorNamingFileAndCause)
{
    const struct {
        Kind kind;
        std::string text, mentions;
    } cases[] = {
        {Kind::SDM, std::string("\x01\x02\xff garbage\0\0 more", 18), "\"FirstConfoundPredictor:\""},
        {Kind::SDM, "NrOfDataPoints: 99999999999\nFirstConfoundPredictor: 1\n", "value of \"NrOfDataPoints:\""},
        {Kind::SDM, "IncludesConstant: 2\nFirstConfoundPredictor: 1\n", "value of \"IncludesConstant:\""},
        {Kind::SDM, "NrOfPredictors: -3\nNrOfDataPoints: 2\nFirstConfoundPredictor: 1\n", "NrOfPredictors is negative (-3)"},
        {Kind::SDM, "NrOfPredictors: 2000000000\nNrOfDataPoints: 0\nFirstConfoundPredictor: 1\n", "announce more values"},
        {Kind::SDM, "NrOfPredictors: 40000\nNrOfDataPoints: 40000\nFirstConfoundPredictor: 1\n", "announce more values"},
        {Kind::SDM, twoByOne(" 1.0  x.5"), ": data row 1, predictor 2 holds no number"},
        {Kind::SDM, twoByOne(" 1.0e99  2.0"), ": data row 1, predictor 1 is out of the range of a float"},
        {Kind::MDM, "FileVersion: 3\nNrOfStudies: -2\n\"a\"  \"b\"\n", "NrOfStudies is negative (-2)"},
        {Kind::MDM, "NrOfStudies: 99999999999\n", "value of \"NrOfStudies:\""},
        {Kind::MDM, "TypeOfFunctionalData:", "value of \"TypeOfFunctionalData:\""},
    };
    for (const auto& c : cases) {
        const fs::path path = support::tempDir("hostile") / "bad";
        support::writeFile(path, c.text);
        const std::string prefix = std::string("Invalid ") + (c.kind == Kind::SDM ? "SDM" : "MDM") + " file " + path.string() + ": ";
        try {
            if (c.kind == Kind::SDM) SDM sdm(path.string());
            if (c.kind == Kind::MDM) MDM list(path.string());
            ADD_FAILURE() << "no error for\n" << c.text;
        } catch (const IOError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
            EXPECT_NE(message.find(c.mentions), std::string::npos) << c.text << "\n-> " << message;
        }
    }
}

TEST(FileNames, TakenApartAndPutTogether)
{
    const struct {
        std::string name, path, file, noExtension, afterUnderscore;
    } parts[] = {
        {"/data/s1/run1_3DMC.sdm", "/data/s1/", "run1_3DMC.sdm", "/data/s1/run1_3DMC", "3DMC.sdm"},
        {"C:\\data/mixed\\x.y.sdm", "C:\\data/mixed\\", "x.y.sdm", "C:\\data/mixed\\x.y", "C:\\data/mixed\\x.y.sdm"},
        {"/data/folder/", "/data/folder/", "", "/data/folder/", "/data/folder/"},
        {"/data.v2/file", "/data.v2/", "file", "/data", "/data.v2/file"},
        {"a_b_c", "", "a_b_c", "a_b_c", "c"},
    };
    for (const auto& c : parts) {
        EXPECT_EQ(getPath(c.name), c.path) << c.name;
        EXPECT_EQ(getFileName(c.name), c.file) << c.name;
        EXPECT_EQ(removeExtension(c.name), c.noExtension) << c.name;
        EXPECT_EQ(getPartAfterLastUnderscore(c.name), c.afterUnderscore) << c.name;
    }
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{{"\"a\"  \"b\"", "a"}, {"x \"only one", "only one"}, {"no quotes", ""}})
        EXPECT_EQ(extractPartBetweenQuotes(text), expected) << text;
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{{"  a b \t", "a b"}, {"   ", "   "}, {" a\r", "a\r"}})
        EXPECT_EQ(removeEnclosingWhiteSpaces(text), expected) << "'" << text << "'";
    EXPECT_TRUE(hasExtension("x.tar.gz", "tar.gz") && hasExtension(".sdm", "sdm"));
    EXPECT_FALSE(hasExtension("run_3DMC.SDM", "sdm") || hasExtension("asdm", "sdm") || hasExtension("sdm", "sdm"));

    const struct {
        std::string name, addition, added, newExtension;
    } joined[] = {
        {"/d/run1_3DMC.sdm", "_MaxAbsolute.map", "/d/run1_3DMC_MaxAbsolute.map.sdm", "/d/run1_3DMC_MaxAbsolute.map"},
        {"a.b.c", "_x", "a.b_x.c", "a.b_x"},
        {"/d.x/file", "_y", "/d_y.x/file", "/d_y"},
    };
    for (const auto& c : joined) {
        EXPECT_EQ(addToFileName(c.name, c.addition), c.added) << c.name << " + " << c.addition;
        EXPECT_EQ(addToFileNameNewExtension(c.name, c.addition), c.newExtension) << c.name << " + " << c.addition;
    }
    EXPECT_THROW(addToFileName("/data/noextension", "_x"), std::out_of_range);
    EXPECT_EQ(replaceExtension("/d/a.b.sdm", "csv"), "/d/a.b.csv");
    EXPECT_EQ(replacePath("C:\\old\\run.sdm", ""), "run.sdm");
}
