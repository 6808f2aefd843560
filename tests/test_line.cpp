// Header fields and path helpers: how one "key: value" line is read and
// written back, and how file names are taken apart and put together.
#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "line.h"
#include "stringmanipulation.h"

namespace {

// Reads one header line the way the document readers do: the key as a
// word, then the field's readLine with the stream just after it.
template <typename T>
Line<T> readField(const std::string& text, std::istream*& rest)
{
    static std::istringstream in;
    in.clear();
    in.str(text);
    std::string key;
    in >> key;
    Line<T> field;
    field.readLine(in, key);
    rest = &in;
    return field;
}

template <typename T>
std::string printed(const Line<T>& field, int newlines)
{
    std::ostringstream out;
    field.printLineIfAllSet(out, newlines);
    return out.str();
}

} // namespace

TEST(LineNumeric, ReadKeepsNameWidthAndValueAndWritesTheLineBack)
{
    struct Case {
        std::string text;
        std::string name;
        int width;
        int value;
        std::string written;
    };
    const Case cases[] = {
        {"NrOfVolumes:          5\n", "NrOfVolumes", 12 + 10, 5, "NrOfVolumes:          5\n"},
        {"NrOfVolumes:\t365\n", "NrOfVolumes", 12 + 1, 365, "NrOfVolumes: 365\n"},
        {"NrOfVolumes: \t -7\n", "NrOfVolumes", 12 + 3, -7, "NrOfVolumes:   -7\n"},
        {"A: 0\n", "A", 3, 0, "A: 0\n"},
    };
    for (const auto& c : cases) {
        std::istream* in = nullptr;
        const auto field = readField<int>(c.text, in);
        EXPECT_TRUE(field.isSet()) << c.text;
        EXPECT_FALSE(in->fail()) << c.text;
        EXPECT_EQ(field.getName(), c.name) << c.text;
        EXPECT_EQ(field.getWidth(), c.width) << c.text;
        EXPECT_EQ(int(field), c.value) << c.text;
        EXPECT_EQ(printed(field, 1), c.written) << c.text;
    }
}

TEST(LineNumeric, FloatAndBoolValuesUseTheStreamsFormats)
{
    std::istream* in = nullptr;
    auto tr = readField<float>("TR:   2000.5  ms\n", in);
    EXPECT_FLOAT_EQ(tr.value(), 2000.5f);
    std::string restOfLine;
    std::getline(*in, restOfLine);
    EXPECT_EQ(restOfLine, "  ms") << "the rest of the line stays in the stream";
    EXPECT_EQ(printed(tr, 2), "TR:   2000.5\n\n");

    auto flag = readField<bool>("IncludesConstant: 1\n", in);
    EXPECT_TRUE(flag.value());
    EXPECT_EQ(printed(flag, 1), "IncludesConstant: 1\n");
    flag = false; // the value only: name, width and set flag stay
    EXPECT_EQ(printed(flag, 0), "IncludesConstant: 0");

    std::ostringstream out;
    out << std::boolalpha;
    flag.printLineIfAllSet(out, 1);
    EXPECT_EQ(out.str(), "IncludesConstant: 0\n") << "bool fields are written as digits";
}

TEST(LineNumeric, FailedExtractionSetsTheFieldAndFailsTheStream)
{
    std::istream* in = nullptr;
    const auto field = readField<int>("NrOfSlices: abc\n", in);
    EXPECT_TRUE(field.isSet());
    EXPECT_TRUE(in->fail());
}

TEST(LineNumeric, UnsetFieldsWriteNothingAndLongNamesAreNotCut)
{
    EXPECT_EQ(printed(Line<int>(), 5), "");
    Line<int> field;
    field = 3;
    EXPECT_FALSE(field.isSet()) << "assigning a value does not set the field";
    EXPECT_EQ(printed(field, 1), "");

    EXPECT_EQ(printed(Line<int>("AVeryLongKeyName", 4, 5), 1), "AVeryLongKeyName:4\n");
    EXPECT_EQ(printed(Line<int>("K", 4, 5), -2), "K:   4") << "negative line feed counts write none";

    Line<float> later;
    later.set("Later", 1.5f, 8);
    EXPECT_TRUE(later.isSet());
    later.updateValue(2.25f);
    EXPECT_EQ(printed(later, 1), "Later:  2.25\n");
}

TEST(LineString, QuotingTrimmingAndCarriageReturns)
{
    struct Case {
        std::string text;
        std::string value;
        bool quoted;
        int width;
        std::string written;
    };
    const Case cases[] = {
        {"Prefix:   \"run 1\"\n", "run 1", true, 10, "Prefix:   \"run 1\"\n"},
        {"Prefix: two words  \t \n", "two words", false, 8, "Prefix: two words\n"},
        {"Prefix: \"open only\n", "\"open only", false, 8, "Prefix: \"open only\n"},
        {"Prefix: \"\n", "", true, 8, "Prefix: \"\"\n"},
        {"Prefix: \"\"\n", "", true, 8, "Prefix: \"\"\n"},
        {"Prefix: \"cr\"\r\n", "\"cr\"\r", false, 8, "Prefix: \"cr\"\r\n"},
        {"Prefix: plain\r\n", "plain\r", false, 8, "Prefix: plain\r\n"},
        {"Prefix:\n", "", false, 7, "Prefix:\n"},
    };
    for (const auto& c : cases) {
        std::istream* in = nullptr;
        const auto field = readField<std::string>(c.text, in);
        EXPECT_TRUE(field.isSet()) << c.text;
        EXPECT_EQ(field.value(), c.value) << c.text;
        EXPECT_EQ(field.quoted(), c.quoted) << c.text;
        EXPECT_EQ(field.getWidth(), c.width) << c.text;
        EXPECT_EQ(printed(field, 1), c.written) << c.text;
    }
}

TEST(LineString, ReadingConsumesTheLineFeedOnly)
{
    std::istringstream in("Prefix: \"a\"\nNext: 1\n");
    std::string key;
    in >> key;
    Line<std::string> field;
    field.readLine(in, key);
    std::string next;
    std::getline(in, next);
    EXPECT_EQ(next, "Next: 1");
}

TEST(YesNo, FirstLetterNMeansNoAndEverythingElseYes)
{
    struct Case {
        std::string value;
        bool expected;
    };
    const Case cases[] = {{"NO", false}, {"no", false}, {"Nope", false}, {"n", false}, {"YES", true},
                          {"yes", true}, {"1", true},     {"0", true},    {"", true}};
    for (const auto& c : cases) {
        std::istringstream in("Flag:   " + c.value + "\nNext: 2\n");
        std::string key;
        in >> key;
        Line<bool> field;
        readYesNo(field, in, key);
        EXPECT_EQ(field.value(), c.expected) << "value '" << c.value << "'";
        EXPECT_EQ(field.getWidth(), 8) << c.value;
        std::string next;
        std::getline(in, next);
        EXPECT_EQ(next, "Next: 2") << "the rest of the line is discarded for '" << c.value << "'";
        std::ostringstream out;
        printYesNoIfAllSet(field, out, 1);
        EXPECT_EQ(out.str(), std::string("Flag:   ") + (c.expected ? "YES" : "NO") + "\n") << c.value;
    }
    Line<bool> unset;
    std::ostringstream out;
    printYesNoIfAllSet(unset, out, 3);
    EXPECT_EQ(out.str(), "");
}

TEST(LineStream, PaddingFlagsStayLeftOnTheStream)
{
    std::ostringstream out;
    out.fill('.');
    Line<int>("K", 1, 4).printLineIfAllSet(out, 0);
    out << std::setw(3) << 7;
    EXPECT_EQ(out.str(), "K:..17..") << "left adjustment stays; the fill character is the stream's";
}

// Path helpers ------------------------------------------------------------

TEST(PathHelpers, TakingNamesApart)
{
    struct Case {
        std::string name;
        std::string path, file, noExtension, afterUnderscore;
    };
    const Case cases[] = {
        {"/data/s1/run1_3DMC.sdm", "/data/s1/", "run1_3DMC.sdm", "/data/s1/run1_3DMC", "3DMC.sdm"},
        {"C:\\data\\s1\\run1.sdm", "C:\\data\\s1\\", "run1.sdm", "C:\\data\\s1\\run1", "C:\\data\\s1\\run1.sdm"},
        {"C:\\data/mixed\\x.y.sdm", "C:\\data/mixed\\", "x.y.sdm", "C:\\data/mixed\\x.y", "C:\\data/mixed\\x.y.sdm"},
        {"bare.sdm", "", "bare.sdm", "bare", "bare.sdm"},
        {"/data/folder/", "/data/folder/", "", "/data/folder/", "/data/folder/"},
        {"/data.v2/file", "/data.v2/", "file", "/data", "/data.v2/file"},
        {"noext", "", "noext", "noext", "noext"},
        {"a_b_c", "", "a_b_c", "a_b_c", "c"},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(getPath(c.name), c.path) << "getPath(" << c.name << ")";
        EXPECT_EQ(getFileName(c.name), c.file) << "getFileName(" << c.name << ")";
        EXPECT_EQ(removeExtension(c.name), c.noExtension) << "removeExtension(" << c.name << ")";
        EXPECT_EQ(getPartAfterLastUnderscore(c.name), c.afterUnderscore) << c.name;
        EXPECT_EQ(getPath(c.name) + getFileName(c.name), c.name) << "folder and file make the name again";
    }
}

TEST(PathHelpers, PuttingNamesTogether)
{
    struct Case {
        std::string name, addition;
        std::string added, newExtension;
    };
    const Case cases[] = {
        {"/d/run1_3DMC.sdm", "_derivative", "/d/run1_3DMC_derivative.sdm", "/d/run1_3DMC_derivative"},
        {"/d/run1_3DMC.sdm", "_MaxAbsolute.map", "/d/run1_3DMC_MaxAbsolute.map.sdm", "/d/run1_3DMC_MaxAbsolute.map"},
        {"a.b.c", "_x", "a.b_x.c", "a.b_x"},
        {"/d.x/file", "_y", "/d_y.x/file", "/d_y"},
        {".sdm", "_z", "_z.sdm", "_z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(addToFileName(c.name, c.addition), c.added) << c.name << " + " << c.addition;
        EXPECT_EQ(addToFileNameNewExtension(c.name, c.addition), c.newExtension) << c.name << " + " << c.addition;
    }
    EXPECT_THROW(addToFileName("/data/noextension", "_x"), std::out_of_range);
    EXPECT_EQ(addToFileNameNewExtension("noext", ".csv"), "noext.csv");

    EXPECT_EQ(replaceExtension("a.sdm", "mdm"), "a.mdm");
    EXPECT_EQ(replaceExtension("/d/a", "mdm"), "/d/a.mdm");
    EXPECT_EQ(replaceExtension("/d/a.b.sdm", "csv"), "/d/a.b.csv");
    EXPECT_EQ(replacePath("/old/place/run.sdm", "/new/"), "/new/run.sdm");
    EXPECT_EQ(replacePath("/old/place/run.sdm", "/new"), "/newrun.sdm") << "no separator is added";
    EXPECT_EQ(replacePath("C:\\old\\run.sdm", ""), "run.sdm");
    EXPECT_EQ(replacePath("run.sdm", "/x/"), "/x/run.sdm");
}

TEST(TextHelpers, QuotesLastCharactersAndWhiteSpace)
{
    struct Quote {
        std::string text, expected;
    };
    const Quote quotes[] = {{"\"a\"  \"b\"", "a"}, {"x \"only one", "only one"}, {"no quotes", ""},
                            {"\"\"", ""},           {"\"", ""},                  {"pre \"mid\" post", "mid"}};
    for (const auto& q : quotes) EXPECT_EQ(extractPartBetweenQuotes(q.text), q.expected) << q.text;

    EXPECT_EQ(getLastCharacters("run1_3DMC.sdm", 8), "3DMC.sdm");
    EXPECT_EQ(getLastCharacters("abc", 10), "abc");
    EXPECT_EQ(getLastCharacters("abc", 3), "abc");
    EXPECT_EQ(getLastCharacters("abc", 0), "");

    struct Trim {
        std::string text, expected;
    };
    const Trim trims[] = {{"  a b \t", "a b"}, {"\t\tx", "x"},     {"   ", "   "}, {"", ""},
                          {" \t ", " \t "},    {" a\r", "a\r"},    {"\na\n ", "\na\n"}};
    for (const auto& t : trims)
        EXPECT_EQ(removeEnclosingWhiteSpaces(t.text), t.expected) << "'" << t.text << "'";
}

TEST(TextHelpers, HasExtensionIsExactAndCaseSensitive)
{
    struct Case {
        std::string name, extension;
        bool expected;
    };
    const Case cases[] = {
        {"run_3DMC.sdm", "sdm", true},  {"run_3DMC.SDM", "sdm", false}, {"sdm", "sdm", false},
        {".sdm", "sdm", true},          {"a.mdm", "sdm", false},        {"asdm", "sdm", false},
        {"x.tar.gz", "tar.gz", true},   {"", "sdm", false},             {"a.", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hasExtension(c.name, c.extension), c.expected) << c.name << " / " << c.extension;
}
