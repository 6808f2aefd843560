// MDM files: the exact text as read and written, study lines, hostile
// headers, and the repair of moved paths through the host's file dialog
// (failed saves: test_savefailures).
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "myMDM.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readFile;
using support::writeFile;

namespace {

std::string printed(MDM& mdm)
{
    std::ostringstream out;
    mdm.PrintTo(out);
    return out.str();
}

MDM readText(const std::string& text)
{
    const fs::path path = support::tempDir("mdm") / "in.mdm";
    writeFile(path, text);
    return MDM(path.string());
}

const std::string header = "\n"
                           "FileVersion:          3\n"
                           "TypeOfFunctionalData: VTC\n"
                           "\n"
                           "RFX-GLM:              0\n"
                           "\n"
                           "PSCTransformation:    1\n"
                           "zTransformation:      0\n"
                           "SeparatePredictors:   0\n"
                           "\n";

using Paths = std::vector<std::string>;

} // namespace

TEST(MDMLayout, NewMatrixWritesTheDefaults)
{
    MDM mdm;
    EXPECT_EQ(printed(mdm), "\n"
                            "FileVersion:          3\n"
                            "TypeOfFunctionalData: \n"
                            "\n"
                            "RFX-GLM:              0\n"
                            "\n"
                            "PSCTransformation:    1\n"
                            "zTransformation:      0\n"
                            "SeparatePredictors:   0\n"
                            "\n"
                            "NrOfStudies:          0\n");
}

// Found by the MDM fuzz target: a list written without a data type read the
// next key as the type and lost the RFX-GLM line on the way back.
TEST(MDMLayout, NewListWithoutDataTypeReadsBackTheSame)
{
    MDM fresh;
    fresh.RFX_GLM = 1;
    fresh.FileVersion = 4;
    const std::string text = printed(fresh);
    MDM again = readText(text);
    EXPECT_EQ(again.TypeOfFunctionalData, "");
    EXPECT_EQ(again.RFX_GLM, 1);
    EXPECT_EQ(again.FileVersion, 4);
    EXPECT_EQ(printed(again), text);
}

TEST(MDMLayout, WorkedFileReadsAndWritesBackTheSameText)
{
    const std::string text = header + "NrOfStudies:          2\n"
                                      "\"/d/s1/run1.vtc\"  \"/d/s1/run1_3DMC.sdm\"\n"
                                      "\"/d/s 2/run2.vtc\"  \"/d/s 2/run2_3DMC.sdm\"\n";
    MDM mdm = readText(text);
    EXPECT_EQ(mdm.FileVersion, 3);
    EXPECT_EQ(mdm.TypeOfFunctionalData, "VTC");
    EXPECT_EQ(mdm.NrOfStudies, 2);
    EXPECT_EQ(mdm.DataPaths, (Paths{"/d/s1/run1.vtc", "/d/s 2/run2.vtc"}));
    EXPECT_EQ(mdm.SDMPaths, (Paths{"/d/s1/run1_3DMC.sdm", "/d/s 2/run2_3DMC.sdm"}));
    EXPECT_TRUE(mdm.LeadingPaths.empty());
    EXPECT_EQ(printed(mdm), text);

    const fs::path copy = support::tempDir("copy") / "copy.mdm";
    ASSERT_TRUE(mdm.SaveAs(copy.string()));
    EXPECT_EQ(mdm.FileName, copy.string());
    EXPECT_EQ(readFile(copy), text);
    MDM again(copy.string());
    EXPECT_EQ(again.SDMPaths, mdm.SDMPaths);
    EXPECT_EQ(printed(again), text);
}

TEST(MDMLayout, HeaderInAnyOrderWithinSevenWords)
{
    struct Case {
        std::string head;
        int fileVersion;
        std::string type;
        int rfx, psc, z, separate, studies;
    };
    const Case cases[] = {
        {"NrOfStudies: 1\n", -1, "", 0, 1, 0, 0, 1},
        {"zTransformation: 1 RFX-GLM: 2\n\n\nTypeOfFunctionalData:   MTC SeparatePredictors: 4 "
         "PSCTransformation: 0 FileVersion: 9 NrOfStudies: 1 trailing words\n",
         9, "MTC", 2, 0, 1, 4, 1},
        {"Comment FileVersion: 2 NrOfStudies: 1\n", 2, "", 0, 1, 0, 0, 1},
        // Seven words are read before NrOfStudies: none is left for it.
        {"a b c d e f g NrOfStudies: 1\n", -1, "", 0, 1, 0, 0, 0},
        {"FileVersion: 3\n", 3, "", 0, 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        MDM mdm = readText(c.head + "\"/x.vtc\"  \"/x.sdm\"\n");
        EXPECT_EQ(mdm.FileVersion, c.fileVersion) << c.head;
        EXPECT_EQ(mdm.TypeOfFunctionalData, c.type) << c.head;
        EXPECT_EQ(mdm.RFX_GLM, c.rfx) << c.head;
        EXPECT_EQ(mdm.PSCTransformation, c.psc) << c.head;
        EXPECT_EQ(mdm.zTransformation, c.z) << c.head;
        EXPECT_EQ(mdm.SeparatePredictors, c.separate) << c.head;
        EXPECT_EQ(mdm.NrOfStudies, c.studies) << c.head;
        EXPECT_EQ(mdm.SDMPaths.size(), static_cast<std::size_t>(c.studies)) << c.head;
    }
}

TEST(MDMLayout, StudyLinesByTheirQuotes)
{
    struct Case {
        std::string type;
        int studies;
        std::string lines;
        Paths leading, data, sdm;
        std::string written;
    };
    const Case cases[] = {
        {"MTC", 2, "\"/m/a.mtc\"  \"/m/a.vtc\"  \"/m/a.sdm\"\n\"/m/b.vtc\"  \"/m/b.sdm\"\n",
         Paths{"/m/a.mtc", ""}, Paths{"/m/a.vtc", "/m/b.vtc"}, Paths{"/m/a.sdm", "/m/b.sdm"},
         "\"/m/a.mtc\"  \"/m/a.vtc\"  \"/m/a.sdm\"\n\"\"  \"/m/b.vtc\"  \"/m/b.sdm\"\n"},
        {"VTC", 2, "\"/m/a.mtc\"  \"/m/a.vtc\"  \"/m/a.sdm\"\n\"/m/b.vtc\"  \"/m/b.sdm\"\n", Paths{},
         Paths{"/m/b.vtc"}, Paths{"/m/b.sdm"}, "\"/m/b.vtc\"  \"/m/b.sdm\"\n"},
        {"VTC", 2, "\n\"/m/a.vtc\"  \"/m/a.sdm\"\n\"/m/b.vtc\"  \"/m/b.sdm\"\n", Paths{}, Paths{"/m/a.vtc"},
         Paths{"/m/a.sdm"}, "\"/m/a.vtc\"  \"/m/a.sdm\"\n"},
        {"FMR", 5, "\"/m/a.fmr\"\t\"/m/a.sdm\"   trailing\n", Paths{}, Paths{"/m/a.fmr"}, Paths{"/m/a.sdm"},
         "\"/m/a.fmr\"  \"/m/a.sdm\"\n"},
        {"VTC", 1, "\"odd\" \"quotes\" \"\n", Paths{}, Paths{}, Paths{}, ""},
        {"VTC", 0, "\"/m/a.vtc\"  \"/m/a.sdm\"\n", Paths{}, Paths{}, Paths{}, ""},
    };
    for (const auto& c : cases) {
        const std::string head = "FileVersion: 3\nTypeOfFunctionalData: " + c.type +
                                 "\nNrOfStudies: " + std::to_string(c.studies) + "\n";
        MDM mdm = readText(head + c.lines);
        EXPECT_EQ(mdm.LeadingPaths, c.leading) << c.type << ":\n" << c.lines;
        EXPECT_EQ(mdm.DataPaths, c.data) << c.type << ":\n" << c.lines;
        EXPECT_EQ(mdm.SDMPaths, c.sdm) << c.type << ":\n" << c.lines;
        EXPECT_EQ(mdm.NrOfStudies, c.studies) << "written back as read, not recounted";
        const std::string text = printed(mdm);
        const std::string studyLine = "NrOfStudies:          " + std::to_string(c.studies) + "\n";
        ASSERT_NE(text.find(studyLine), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.find(studyLine) + studyLine.size()), c.written) << c.type << ":\n" << c.lines;
    }
}

TEST(MDMLayout, MTCListShorterThanTheOthersIsWrittenSafely)
{
    MDM mdm;
    mdm.TypeOfFunctionalData = "MTC";
    mdm.NrOfStudies = 2;
    mdm.DataPaths = {"a.vtc", "b.vtc"};
    mdm.SDMPaths = {"a.sdm", "b.sdm"};
    mdm.LeadingPaths = {"a.mtc"};
    const std::string text = printed(mdm);
    EXPECT_NE(text.find("\"a.mtc\"  \"a.vtc\"  \"a.sdm\"\n\"\"  \"b.vtc\"  \"b.sdm\"\n"), std::string::npos) << text;
}

TEST(MDMHostile, BadHeadersEndWithAClearErrorAndHugeCountsEndQuickly)
{
    struct Case {
        std::string text;
        std::string mentions;
    };
    const Case cases[] = {
        {"FileVersion: 3\nNrOfStudies: -2\n\"a\"  \"b\"\n", "NrOfStudies is negative (-2)"},
        {"FileVersion: three\nNrOfStudies: 1\n", "value of \"FileVersion:\""},
        {"NrOfStudies: 99999999999\n", "value of \"NrOfStudies:\""},
        {"TypeOfFunctionalData:", "value of \"TypeOfFunctionalData:\""},
    };
    for (const auto& c : cases) {
        const fs::path path = support::tempDir("bad") / "bad.mdm";
        writeFile(path, c.text);
        try {
            MDM mdm(path.string());
            ADD_FAILURE() << "no exception for\n" << c.text;
        } catch (const IOError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("Invalid MDM file " + path.string() + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
        }
    }
    // Two thousand million announced studies in a file of two: read as far as
    // the file goes, stored as read.
    MDM huge = readText("NrOfStudies: 2000000000\n\"a.vtc\"  \"a.sdm\"\n\"b.vtc\"  \"b.sdm\"\n");
    EXPECT_EQ(huge.SDMPaths, (Paths{"a.sdm", "b.sdm"}));
    EXPECT_EQ(huge.NrOfStudies, 2000000000);

    const std::string missing = (support::tempDir("none") / "none.mdm").string();
    try {
        MDM mdm(missing);
        ADD_FAILURE() << "no exception";
    } catch (const OpenFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Failed opening for reading: " + missing);
    }
}

// Path repair through the host's file dialog -------------------------------

class MDMRepair : public support::HostTest {
protected:
    void SetUp() override
    {
        support::HostTest::SetUp();
        ASSERT_TRUE(InitZRAccess());
        dir = support::tempDir("repair");
        newDir = (dir / "new").string();
        fs::create_directories(dir / "new" / "s1");
        writeFile(dir / "new" / "s1" / "run1_3DMC.sdm", "FirstConfoundPredictor: 1\n");
        mdmPath = (dir / "study.mdm").string();
    }

    // An MDM file whose studies were in /gone/old.
    MDM writeMoved(const std::string& type = "VTC")
    {
        MDM mdm;
        mdm.TypeOfFunctionalData = type;
        mdm.NrOfStudies = 2;
        if (type == "MTC") mdm.LeadingPaths = {"/gone/old/s1/run1.mtc", "/gone/old/s2/run2.mtc"};
        mdm.DataPaths = {"/gone/old/s1/run1.vtc", "/gone/old/s2/run2.vtc"};
        mdm.SDMPaths = {"/gone/old/s1/run1_3DMC.sdm", "/gone/old/s2/run2_3DMC.sdm"};
        mdm.SaveAs(mdmPath);
        return MDM(mdmPath);
    }

    fs::path dir;
    std::string newDir;
    std::string mdmPath;
};

TEST_F(MDMRepair, MovedFolderIsSwappedInEveryPathAndSaved)
{
    MDM mdm = writeMoved();
    hostState().dialogAnswers.push_back(newDir + "/s1/run1_3DMC.sdm");
    ASSERT_TRUE(mdm.CheckAndCorrectPath());

    ASSERT_EQ(hostState().dialogs.size(), 1u);
    EXPECT_EQ(hostState().dialogs[0].title, "SDM not found. Select run1_3DMC.sdm manually.");
    EXPECT_EQ(hostState().dialogs[0].filter, "Single Subject Desgin Matrix (run1_3DMC.sdm)");
    EXPECT_EQ(hostState().dialogs[0].startFolder, dir.string() + "/");

    // The common tail is "/s1/run1_3DMC.sdm" ("old" and "new" differ in their last letter).
    EXPECT_EQ(mdm.SDMPaths, (Paths{newDir + "/s1/run1_3DMC.sdm", newDir + "/s2/run2_3DMC.sdm"}));
    EXPECT_EQ(mdm.DataPaths, (Paths{newDir + "/s1/run1.vtc", newDir + "/s2/run2.vtc"}));
    EXPECT_EQ(readFile(mdmPath), header + "NrOfStudies:          2\n\"" + newDir + "/s1/run1.vtc\"  \"" + newDir +
                                     "/s1/run1_3DMC.sdm\"\n\"" + newDir + "/s2/run2.vtc\"  \"" + newDir +
                                     "/s2/run2_3DMC.sdm\"\n");

    // Repaired, the first SDM opens: no second dialog.
    EXPECT_TRUE(mdm.CheckAndCorrectPath());
    EXPECT_EQ(hostState().dialogs.size(), 1u);
}

TEST_F(MDMRepair, AnotherFileNameLeavesOnlyTheCommonEnding)
{
    MDM mdm = writeMoved();
    hostState().dialogAnswers.push_back(newDir + "/s1/other.sdm");
    ASSERT_TRUE(mdm.CheckAndCorrectPath());
    // Common tail ".sdm": the first 22 characters ("/gone/old/s1/run1_3DMC") of every path
    // are replaced by position, the whole of a shorter one.
    EXPECT_EQ(mdm.SDMPaths, (Paths{newDir + "/s1/other.sdm", newDir + "/s1/other.sdm"}));
    EXPECT_EQ(mdm.DataPaths, (Paths{newDir + "/s1/other", newDir + "/s1/other"}));
}

TEST_F(MDMRepair, MTCLeadingPathsAreRepairedToo)
{
    MDM mdm = writeMoved("MTC");
    hostState().dialogAnswers.push_back(newDir + "/s1/run1_3DMC.sdm");
    ASSERT_TRUE(mdm.CheckAndCorrectPath());
    EXPECT_EQ(mdm.LeadingPaths, (Paths{newDir + "/s1/run1.mtc", newDir + "/s2/run2.mtc"}));
    EXPECT_NE(readFile(mdmPath).find("\"" + newDir + "/s2/run2.mtc\"  \"" + newDir + "/s2/run2.vtc\"  \""),
              std::string::npos);
}

TEST_F(MDMRepair, CancelAndTooShortAnswersChangeNothing)
{
    struct Case {
        std::optional<std::string> answer;
        const char* what;
    };
    const Case cases[] = {{std::nullopt, "cancel"}, {std::string("x.sdm"), "shorter than run1_3DMC.sdm"}};
    for (const auto& c : cases) {
        MDM mdm = writeMoved();
        const std::string before = readFile(mdmPath);
        hostState().dialogAnswers.push_back(c.answer);
        EXPECT_FALSE(mdm.CheckAndCorrectPath()) << c.what;
        EXPECT_EQ(mdm.SDMPaths[0], "/gone/old/s1/run1_3DMC.sdm") << c.what;
        EXPECT_EQ(mdm.DataPaths[1], "/gone/old/s2/run2.vtc") << c.what;
        EXPECT_EQ(readFile(mdmPath), before) << c.what;
    }
    EXPECT_EQ(hostState().dialogs.size(), 2u);
}

TEST_F(MDMRepair, OpenFirstSDMOrNoStudyNeedsNoDialog)
{
    MDM mdm;
    mdm.FileName = mdmPath; // never written: a save would create it
    mdm.NrOfStudies = 2;
    mdm.DataPaths = {"a.vtc", "/gone/b.vtc"};
    mdm.SDMPaths = {newDir + "/s1/run1_3DMC.sdm", "/gone/b.sdm"};
    EXPECT_TRUE(mdm.CheckAndCorrectPath());
    MDM empty;
    empty.FileName = mdmPath;
    EXPECT_TRUE(empty.CheckAndCorrectPath());
    EXPECT_TRUE(hostState().dialogs.empty());
    EXPECT_FALSE(fs::exists(mdmPath)) << "nothing was saved";
    EXPECT_EQ(mdm.SDMPaths[1], "/gone/b.sdm");
}

TEST_F(MDMRepair, RepairedMatrixThatCannotBeSavedThrows)
{
    MDM mdm = writeMoved();
    mdm.FileName = (dir / "absent" / "study.mdm").string();
    hostState().dialogAnswers.push_back(newDir + "/s1/run1_3DMC.sdm");
    try {
        mdm.CheckAndCorrectPath();
        ADD_FAILURE() << "no exception";
    } catch (const WriteFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot Create file: " + mdm.FileName);
    }
    EXPECT_EQ(mdm.SDMPaths[0], newDir + "/s1/run1_3DMC.sdm") << "the paths in memory are repaired";
}
