// What the design matrix documents do beyond their text: the SDM's predictor
// operations and the MDM's repair of moved paths through the host's file dialog.
#include <sstream>
#include <stdexcept>

#include "myMDM.h"
#include "mySDM.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readFile;
using Names = std::vector<std::string>;

namespace {

SDM matrix(int points, const std::vector<std::pair<std::vector<float>, std::string>>& predictors)
{
    SDM sdm;
    sdm.NrOfDataPoints = points;
    int colour = 1;
    for (const auto& [values, name] : predictors) sdm.AddPredictor(values, name, colour, colour, colour), ++colour;
    return sdm;
}

} // namespace

TEST(SDMOperations, ConstantPredictorIsFoundAndKeptLast)
{
    // HasBaseline: the last predictor all 1.0.
    const struct {
        std::vector<std::vector<float>> predictors;
        int points;
        bool expected;
    } cases[] = {{{}, 2, false}, {{{0, 2}, {1, 1}}, 2, true}, {{{1, 1}, {0, 2}}, 2, false}, {{{1, 0.999999f}}, 2, false}};
    for (const auto& c : cases) {
        SDM sdm = matrix(c.points, {});
        for (const auto& p : c.predictors) sdm.AddPredictor(p, "p", 0, 0, 0);
        EXPECT_EQ(sdm.HasBaseline(), c.expected) << c.predictors.size() << " predictors";
    }
    const SDM base = matrix(2, {{{3, 4}, "x"}, {{1, 1}, "constant"}});
    const SDM other = matrix(2, {{{5, 6}, "y"}, {{1, 1}, "other constant"}});
    SDM appended = base;
    appended.Append(other);
    EXPECT_EQ(appended.PredictorNames, (Names{"x", "y", "other constant", "constant"}));
    EXPECT_EQ(appended.ColorR, (std::vector<int>{1, 1, 2, 2}));
    EXPECT_EQ(appended.Predictors[1], (std::vector<float>{5, 6}));
    EXPECT_EQ(appended.NrOfPredictors.value(), 4);
    SDM noConstant = other;
    noConstant.Predictors[1][0] = 0;
    noConstant.Append(base);
    EXPECT_EQ(noConstant.PredictorNames, (Names{"y", "other constant", "x", "constant"}));
    SDM self = base;
    self.Append(self);
    EXPECT_EQ(self.PredictorNames, (Names{"x", "x", "constant", "constant"}));
    // Another length changes nothing, for Append as for AddPredictor.
    SDM longer = matrix(3, {});
    longer.Append(other);
    longer.AddPredictor({1, 2}, "short", 1, 2, 3);
    EXPECT_EQ(longer.NrOfPredictors.value(), 0);
    EXPECT_TRUE(longer.Predictors.empty() && longer.PredictorNames.empty());
}

TEST(SDMOperations, ClearKeepsTheHeaderAndBrokenListsAreRefused)
{
    const fs::path path = support::tempDir("clear") / "clear.sdm";
    support::writeFile(path, "FileVersion:  5\nNrOfPredictors: 1\nNrOfDataPoints: 2\nIncludesConstant: 1\n"
                             "FirstConfoundPredictor:   3\n\n9 9 9\n\"a\"\n 1.5\n 2.5\n");
    SDM sdm(path.string());
    sdm.Clear();
    sdm.AddPredictor({7, 8}, "fresh", 1, 2, 3);
    std::ostringstream text;
    sdm.PrintTo(text);
    EXPECT_EQ(text.str(), "FileVersion:  5\n\nNrOfPredictors: 1\nNrOfDataPoints: 2\nIncludesConstant: 0\n"
                          "FirstConfoundPredictor:   1\n\n1 2 3\n\"fresh\"\n  7.000000\n  8.000000\n");
    EXPECT_EQ(sdm.FileName, path.string());
    SDM broken;
    broken.NrOfPredictors = 2; // lists never filled
    EXPECT_THROW(broken.PrintTo(text), std::logic_error);
}

class MDMRepair : public support::HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        ASSERT_TRUE(InitZRAccess());
        dir = support::tempDir("repair");
        fresh = (dir / "new").string();
        fs::create_directories(dir / "new" / "s1");
        support::writeFile(dir / "new" / "s1" / "run1_3DMC.sdm", "FirstConfoundPredictor: 1\n");
        path = (dir / "study.mdm").string();
    }
    // A list whose studies were in /gone/old, saved and read again.
    MDM moved(const std::string& type = "VTC")
    {
        MDM mdm;
        mdm.TypeOfFunctionalData = type;
        mdm.NrOfStudies = 2;
        if (type == "MTC") mdm.LeadingPaths = {"/gone/old/s1/run1.mtc", "/gone/old/s2/run2.mtc"};
        mdm.DataPaths = {"/gone/old/s1/run1.vtc", "/gone/old/s2/run2.vtc"};
        mdm.SDMPaths = {"/gone/old/s1/run1_3DMC.sdm", "/gone/old/s2/run2_3DMC.sdm"};
        mdm.SaveAs(path);
        return MDM(path);
    }
    fs::path dir;
    std::string fresh, path;
};

TEST_F(MDMRepair, TheHeadOfEveryPathIsSwappedForTheChosenOnesAndSaved)
{
    const struct {
        std::string type, answer;
        Names sdm, data, leading;
    } cases[] = {
        // The common tail is "/s1/run1_3DMC.sdm" ("old" and "new" differ in their last letter).
        {"VTC", "/s1/run1_3DMC.sdm", {"/s1/run1_3DMC.sdm", "/s2/run2_3DMC.sdm"}, {"/s1/run1.vtc", "/s2/run2.vtc"}, {}},
        {"MTC", "/s1/run1_3DMC.sdm", {"/s1/run1_3DMC.sdm", "/s2/run2_3DMC.sdm"}, {"/s1/run1.vtc", "/s2/run2.vtc"},
         {"/s1/run1.mtc", "/s2/run2.mtc"}},
        // Common tail ".sdm": the first 22 characters of every path are replaced, a shorter path whole.
        {"VTC", "/s1/other.sdm", {"/s1/other.sdm", "/s1/other.sdm"}, {"/s1/other", "/s1/other"}, {}},
    };
    for (const auto& c : cases) {
        hostState().dialogs.clear();
        MDM mdm = moved(c.type);
        hostState().dialogAnswers.push_back(fresh + c.answer);
        ASSERT_TRUE(mdm.CheckAndCorrectPath()) << c.answer;
        const auto under = [&](const Names& tails) {
            Names full;
            for (const auto& t : tails) full.push_back(fresh + t);
            return full;
        };
        EXPECT_EQ(mdm.SDMPaths, under(c.sdm)) << c.type << " " << c.answer;
        EXPECT_EQ(mdm.DataPaths, under(c.data)) << c.type << " " << c.answer;
        EXPECT_EQ(mdm.LeadingPaths, under(c.leading)) << c.type << " " << c.answer;
        EXPECT_EQ(MDM(path).SDMPaths, mdm.SDMPaths) << "saved";
        ASSERT_EQ(hostState().dialogs.size(), 1u);
        EXPECT_EQ(hostState().dialogs[0].title, "SDM not found. Select run1_3DMC.sdm manually.");
        EXPECT_EQ(hostState().dialogs[0].filter, "Single Subject Desgin Matrix (run1_3DMC.sdm)");
        EXPECT_EQ(hostState().dialogs[0].startFolder, dir.string() + "/");
        // Once the first SDM opens, no dialog.
        if (fs::exists(mdm.SDMPaths[0])) EXPECT_TRUE(MDM(path).CheckAndCorrectPath());
        EXPECT_EQ(hostState().dialogs.size(), 1u);
    }
}

TEST_F(MDMRepair, CancelShortAnswerAndAFailedSaveLeaveTheFile)
{
    for (const std::optional<std::string>& answer : {std::optional<std::string>(), std::optional<std::string>("x.sdm")}) {
        MDM mdm = moved();
        const std::string before = readFile(path);
        hostState().dialogAnswers.push_back(answer);
        EXPECT_FALSE(mdm.CheckAndCorrectPath()) << answer.value_or("cancel");
        EXPECT_EQ(mdm.SDMPaths[0], "/gone/old/s1/run1_3DMC.sdm");
        EXPECT_EQ(readFile(path), before);
    }
    MDM mdm = moved();
    mdm.FileName = (dir / "absent" / "study.mdm").string();
    hostState().dialogAnswers.push_back(fresh + "/s1/run1_3DMC.sdm");
    try {
        mdm.CheckAndCorrectPath();
        ADD_FAILURE() << "no error";
    } catch (const WriteFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot Create file: " + mdm.FileName);
    }
    EXPECT_EQ(mdm.SDMPaths[0], fresh + "/s1/run1_3DMC.sdm") << "the paths in memory are repaired";
}
