// Saves that lose nothing. The shared pending-file writer (through the SDM)
// and the host's own map writer are made to fail in every way: on a file
// system that fills up in the middle of the save, in a read-only folder, with
// a folder where the file should be, in a folder that does not exist, and into
// a device that is always full; the other writers on a full file system. Each
// failure must be an exception whose text names the target and the reason,
// and the folder must look exactly as before: the old file unchanged, no
// temporary file left.
// Then the same failures through the plug-in's tasks, where they must reach
// the user as "Error: ..." in a message box.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <typeinfo>

#include "atomicfile.h"
#include "ioerror.h"
#include "maps.h"
#include "myFMR.h"
#include "myMDM.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "plots.h"
#include "run.h"
#include "testing.h"
#include "tmpfs_mount.h"

namespace fs = std::filesystem;
using support::readFile;
using support::writeFile;

namespace {

// ---------------------------------------------------------------- the folder as it was

// Everything below dir, symbolic links not followed: a file by its bytes, a
// link by where it points, a device by its number.
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        const std::string key = fs::relative(p, dir).string();
        const auto status = fs::symlink_status(p);
        struct stat st {};
        ::lstat(p.c_str(), &st);
        if (fs::is_symlink(status))
            entries[key] = "link to " + fs::read_symlink(p).string();
        else if (fs::is_directory(status))
            entries[key] = "folder";
        else if (fs::is_character_file(status))
            entries[key] = "character device " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        else if (fs::is_regular_file(status))
            entries[key] = "file of " + std::to_string(st.st_size) + " bytes: " + readFile(p);
        else
            entries[key] = "something else";
    }
    return entries;
}

// What changed between two snapshots, one line per entry ("" when nothing did).
std::string changes(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after)
{
    const auto brief = [](const std::string& s) { return s.size() > 60 ? s.substr(0, 60) + "..." : s; };
    std::string out;
    for (const auto& [name, was] : before) {
        auto it = after.find(name);
        if (it == after.end())
            out += "  removed " + name + "\n";
        else if (it->second != was)
            out += "  changed " + name + ": was " + brief(was) + ", now " + brief(it->second) + "\n";
    }
    for (const auto& [name, now] : after)
        if (before.count(name) == 0) out += "  added " + name + ": " + brief(now) + "\n";
    return out;
}

// Fills the file system of dir up to the last byte.
void fill(const fs::path& dir)
{
    std::ofstream filler(dir / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), std::streamsize(block.size()))) {
    }
}

const std::string NoSpace = std::strerror(ENOSPC);

// ---------------------------------------------------------------- documents, small and large

// The six rigid-body parameters over n volumes: a slow drift with a wobble.
SDM motion(int n)
{
    SDM sdm;
    sdm.NrOfDataPoints = n;
    const char* names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                            "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    for (int p = 0; p < 6; ++p) {
        std::vector<float> values;
        for (int k = 0; k < n; ++k)
            values.push_back(0.01f * float(k * (p + 1)) + 0.2f * float((k * 7 + p) % 5) - 0.4f);
        sdm.AddPredictor(values, names[p], 40 * p, 255 - 40 * p, 100);
    }
    return sdm;
}

// A matrix of the given size whose predictors are not correlated alike.
SDM matrix(int predictors, int points)
{
    SDM sdm;
    sdm.NrOfDataPoints = points;
    for (int p = 0; p < predictors; ++p) {
        std::vector<float> values;
        for (int k = 0; k < points; ++k) values.push_back(float((k * (p + 3)) % 17) - 0.5f * float(p % 4));
        sdm.AddPredictor(values, "predictor " + std::to_string(p), p % 256, 0, 0);
    }
    return sdm;
}

MDM studies(int n)
{
    MDM mdm;
    mdm.TypeOfFunctionalData = "VTC";
    mdm.NrOfStudies = n;
    for (int i = 0; i < n; ++i) {
        mdm.DataPaths.push_back("/a/rather/long/folder/name/for/the/data/of/study/" + std::to_string(i) + ".vtc");
        mdm.SDMPaths.push_back("/a/rather/long/folder/name/for/the/design/of/study/" + std::to_string(i) + "_3DMC.sdm");
    }
    return mdm;
}

// A float run of 16 x 16 x 4 voxels (4 kB a volume) in a folder of its own,
// read back with its slice data and grown to the given number of volumes.
std::unique_ptr<FMR> run(int volumes)
{
    const fs::path dir = support::tempDir("source-run");
    writeFile(dir / "source.fmr", "\nFileVersion:          7\nNrOfVolumes:          1\nNrOfSlices:           4\n"
                                  "Prefix:               \"source\"\nDataType:             2\n"
                                  "ResolutionX:          16\nResolutionY:          16\n");
    std::string stc;
    for (int i = 0; i < 16 * 16 * 4; ++i) {
        const float v = float(i % 97);
        stc.append(reinterpret_cast<const char*>(&v), 4);
    }
    writeFile(dir / "source.stc", stc);
    auto fmr = std::make_unique<FMR>((dir / "source.fmr").string(), true);
    while (int(fmr->Volumes.size()) < volumes) fmr->Volumes.emplace_back(16, 16, 4, float(fmr->Volumes.size()));
    return fmr;
}

// The host's current run as the map writer sees it: its dimensions and voxel sizes.
void hostRun(int nx, int ny, int nz)
{
    host::reset();
    host::State& s = host::state();
    s.run.present = true;
    s.run.header.DimX = nx;
    s.run.header.DimY = ny;
    s.run.header.DimZ = nz;
    s.run.header.VoxelSizeX = s.run.header.VoxelSizeY = s.run.header.VoxelSizeZ = 3.0f;
}

// A map of the host's run, filled with values that do not compress much, saved under name.
void saveHostMap(const std::string& name)
{
    host::State& s = host::state();
    host::createMap(s);
    std::uint32_t seed = 12345;
    for (float& v : s.maps.back().voxels) {
        seed = seed * 1664525u + 1013904223u;
        v = float(seed >> 8) / 65536.0f;
    }
    host::saveMap(s, name);
}

// A plot window of lines of n points titled as the motion SDM, shown with its picture in folder.
void showHostPlot(const fs::path& folder, int lines, int n)
{
    host::reset();
    host::State& s = host::state();
    s.plotFolder = folder.string();
    std::vector<float> x, y;
    for (int k = 0; k < n; ++k) {
        x.push_back(float(k + 1));
        y.push_back(float((k * 37) % 101) / 7.0f);
    }
    const int handle = host::plotLine(s, n, x.data(), y.data(), "line 0");
    for (int l = 1; l < lines; ++l) host::addLineToPlot(s, handle, n, x.data(), y.data(), "line " + std::to_string(l));
    host::findPlot(s, handle)->title = "run_3DMC.sdm";
    host::showPlot(s, handle, 50, 50);
}

// ---------------------------------------------------------------- ways to fail

enum class Mode { FullDisk, ReadOnlyFolder, FolderAtTarget, MissingFolder, FullDevice };

struct Failure {
    Mode mode;
    const char* name;
};

const Failure failures[] = {
    {Mode::FullDisk, "the file system fills up during the save"},
    {Mode::ReadOnlyFolder, "the folder is read-only"},
    {Mode::FolderAtTarget, "a folder stands where the file should be"},
    {Mode::MissingFolder, "the folder does not exist"},
    {Mode::FullDevice, "the target is a link to a device that is always full"},
};

// One writer: the file it writes in a folder, how to put an old version there
// (small), how to save a new one (larger than the file system of the tests),
// and the message of the WriteFileError it must fail with; every failure, or
// only a full file system.
struct Writer {
    const char* name;
    bool everyFailure;
    std::string file;
    std::function<void(const fs::path& dir)> writeOld;
    std::function<void(const fs::path& dir, const fs::path& target)> saveNew;
    std::function<std::string(Mode, const fs::path& dir, const fs::path& target)> message;
};

// The messages of the library's text writers: "Cannot Create file: " and the
// path when the file cannot be made, followed by why when writing it failed.
std::string textWriterMessage(Mode mode, const fs::path& target)
{
    const std::string cannot = "Cannot Create file: " + target.string();
    return mode == Mode::FullDisk || mode == Mode::FullDevice ? cannot + " (writing failed: " + NoSpace + ")" : cannot;
}

std::vector<Writer> writers()
{
    return {
        {"SDM", true, "run_3DMC.sdm",
         [](const fs::path& dir) { motion(3).SaveAs((dir / "run_3DMC.sdm").string()); },
         [](const fs::path&, const fs::path& target) { motion(5000).SaveAs(target.string()); }, // 330 kB
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},

        {"MDM", false, "study.mdm",
         [](const fs::path& dir) { studies(1).SaveAs((dir / "study.mdm").string()); },
         [](const fs::path&, const fs::path& target) { studies(3000).SaveAs(target.string()); }, // 330 kB
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},

        // The document is small and written first; the slice data (120 kB) do not fit.
        {"FMR with its slice data", false, "run.fmr",
         [](const fs::path& dir) { run(1)->SaveAs((dir / "run.fmr").string()); },
         [](const fs::path&, const fs::path& target) { run(30)->SaveAs(target.string()); },
         [](Mode, const fs::path& dir, const fs::path&) {
             return "Failed opening STC for writing: " + (dir / "run.stc").string() + " (writing failed: " + NoSpace + ")";
         }},

        {"correlation table", false, "run_3DMC.csv",
         [](const fs::path& dir) {
             SDM sdm = matrix(3, 10);
             sdm.FileName = (dir / "run_3DMC.sdm").string();
             saveCorrelationMatrix(sdm);
         },
         [](const fs::path&, const fs::path& target) {
             SDM sdm = matrix(150, 20); // 150 x 150 cells: 170 kB
             sdm.FileName = fs::path(target).replace_extension(".sdm").string();
             saveCorrelationMatrix(sdm);
         },
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},

        // The host writes a map named "..._MaxAbsolute.map" as "..._MaxAbsolute.nii.gz".
        {"NIfTI map", true, "run_3DMC_MaxAbsolute.nii.gz",
         [](const fs::path& dir) {
             hostRun(2, 2, 2);
             saveHostMap((dir / "run_3DMC_MaxAbsolute.map").string());
         },
         [](const fs::path&, const fs::path& target) {
             hostRun(64, 64, 16); // 256 kB of floats that gzip cannot shrink much
             saveHostMap((target.parent_path() / "run_3DMC_MaxAbsolute.map").string());
         },
         [](Mode mode, const fs::path& dir, const fs::path& target) {
             const std::string cannot = "Cannot write map " + target.string();
             switch (mode) {
             case Mode::FullDisk:
             case Mode::FullDevice: return cannot + " (writing failed: " + NoSpace + ")";
             case Mode::ReadOnlyFolder:
                 return cannot + ": the folder " + dir.string() + " is not writable (" + std::strerror(EROFS) + ")";
             case Mode::FolderAtTarget: return cannot + ": a folder of that name exists";
             case Mode::MissingFolder: return cannot + ": the folder " + target.parent_path().string() + " does not exist";
             }
             return std::string();
         }},

        // The host draws a shown plot window as an SVG picture named by its title.
        {"SVG plot", false, "run_3DMC.sdm.svg",
         [](const fs::path& dir) { showHostPlot(dir, 1, 10); },
         [](const fs::path&, const fs::path& target) { showHostPlot(target.parent_path(), 6, 4000); }, // 300 kB
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},
    };
}

// Makes the prepared folder fail in the given way; returns the path to save
// to, or "" with a reason when this machine cannot set the failure up.
fs::path prepare(Mode mode, TmpfsMount& disk, const std::string& file, std::string& skip)
{
    const fs::path dir = disk.dir();
    const fs::path target = dir / file;
    switch (mode) {
    case Mode::FullDisk: break;
    case Mode::ReadOnlyFolder:
        if (!disk.makeReadOnly()) skip = disk.reason();
        break;
    case Mode::FolderAtTarget:
        fs::remove(target);
        fs::create_directory(target);
        writeFile(target / "inside", "a file in the folder\n");
        break;
    case Mode::MissingFolder: return dir / "absent" / file;
    case Mode::FullDevice:
        fs::remove(target);
        // A node of the full device (char 1,7) of our own, so that a writer
        // that replaced its target would replace this node and not the system's.
        if (::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
            skip = std::string("cannot make a device node: ") + std::strerror(errno);
            break;
        }
        fs::create_symlink("full", target);
        break;
    }
    return target;
}

} // namespace

// ================================================================ each writer, each failure

TEST(SaveFailures, EveryWriterReportsTheTargetAndTheReasonAndKeepsTheFolderAsItWas)
{
    int ran = 0;
    std::vector<std::string> skipped;
    for (const Writer& writer : writers()) {
        for (const Failure& failure : failures) {
            if (!writer.everyFailure && failure.mode != Mode::FullDisk) continue;
            SCOPED_TRACE(std::string(writer.name) + ", " + failure.name);
            TmpfsMount disk("savefail", "64k");
            if (!disk.mounted()) GTEST_SKIP() << disk.reason();
            writer.writeOld(disk.dir());
            ASSERT_TRUE(fs::is_regular_file(disk.dir() / writer.file)) << "the old file was not written";
            std::string skip;
            const fs::path target = prepare(failure.mode, disk, writer.file, skip);
            if (!skip.empty()) {
                skipped.push_back(std::string(writer.name) + ", " + failure.name + ": " + skip);
                continue;
            }
            const auto before = snapshot(disk.dir());

            std::string message = "<no exception>", type;
            try {
                writer.saveNew(disk.dir(), target);
            } catch (const WriteFileError& e) {
                message = e.what();
                type = "WriteFileError";
            } catch (const std::exception& e) {
                message = e.what();
                type = typeid(e).name();
            }
            EXPECT_EQ(type, "WriteFileError") << message;
            EXPECT_EQ(message, writer.message(failure.mode, disk.dir(), target));
            EXPECT_EQ(changes(before, snapshot(disk.dir())), "") << "the folder changed";
            ++ran;
        }
    }
    for (const auto& s : skipped) std::cout << "[ skipped  ] " << s << "\n";
    EXPECT_GT(ran, 0);
}

// A save that worked after one that failed: the failure left nothing in the way.
TEST(SaveFailures, TheNextSaveAfterAFailureSucceeds)
{
    TmpfsMount disk("again", "64k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const std::string path = (disk.dir() / "run_3DMC.sdm").string();
    EXPECT_THROW(motion(5000).SaveAs(path), WriteFileError);
    SDM small = motion(4);
    ASSERT_TRUE(small.SaveAs(path));
    std::ostringstream expected;
    small.PrintTo(expected);
    EXPECT_EQ(readFile(path), expected.str());
    EXPECT_EQ(snapshot(disk.dir()).size(), 1u);
}

// ================================================================ the helper beneath the text writers

TEST(AtomicSave, WriterExceptionsKindsPermissionsAndLinks)
{
    const fs::path dir = support::tempDir("atomic");
    const fs::path target = dir / "table.csv";
    writeFile(target, "old\n");
    ::chmod(target.c_str(), 0640);

    EXPECT_THROW(saveTextAtomically(
                     target.string(),
                     [](std::ostream& out) {
                         out << "half";
                         throw std::logic_error("writer broke");
                     }),
                 std::logic_error);
    EXPECT_EQ(readFile(target), "old\n");
    EXPECT_EQ(snapshot(dir).size(), 1u) << "no temporary file left";

    saveTextAtomically(target.string(), [](std::ostream& out) { out << "new\n"; });
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << "a replaced file keeps its permissions";

    const fs::path link = dir / "link.csv";
    fs::create_symlink(target, link);
    saveTextAtomically(link.string(), [](std::ostream& out) { out << "through the link\n"; });
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "through the link\n");

    const std::string missing = (dir / "no" / "run.stc").string();
    try {
        saveTextAtomically(missing, [](std::ostream& out) { out << 1; }, "Failed opening STC for writing: " + missing);
        FAIL() << "no exception";
    } catch (const WriteFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Failed opening STC for writing: " + missing);
    }
}

// A target that is a device or a pipe is written into, never replaced by a
// regular file: the full device reports a full disk, the null device takes
// everything, and a pipe that nobody reads is refused rather than waited on.
TEST(AtomicSave, DevicesAndPipesAreWrittenIntoNotReplaced)
{
    TmpfsMount disk("devices", "64k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const fs::path dir = disk.dir();
    if (::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0 ||
        ::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make device nodes: " << std::strerror(errno);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0666), 0) << std::strerror(errno);
    const auto before = snapshot(dir);

    const auto save = [](const fs::path& path) {
        try {
            saveTextAtomically(path.string(), [](std::ostream& out) { out << std::string(100000, 'x'); });
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("saved");
    };
    EXPECT_EQ(save(dir / "full"), "Cannot Create file: " + (dir / "full").string() + " (writing failed: " + NoSpace + ")");
    EXPECT_EQ(save(dir / "null"), "saved");
    EXPECT_EQ(save(dir / "pipe"), "Cannot Create file: " + (dir / "pipe").string());
    EXPECT_EQ(changes(before, snapshot(dir)), "");
}

// ================================================================ through the plug-in's tasks

namespace {

// A task whose one save fails: the motion SDM on a small disk of its own,
// the result (a confound set, a map or a plot picture) written beside it.
struct TaskSave {
    const char* name;
    std::string task;
    std::string file; // the result, in the motion SDM's folder
    std::map<std::string, std::string> parameters;
    std::function<std::string(Mode, const fs::path& dir, const fs::path& target)> message;
};

std::vector<TaskSave> taskSaves()
{
    const std::map<std::string, std::string> noSets = {
        {"spike_threshold", "0.5"},   {"create_detrended", "0"}, {"create_derivative", "0"},
        {"create_spikes", "0"},       {"create_squared", "0"},   {"create_delayed1", "0"},
        {"create_delayed1sq", "0"},   {"create_delayed2", "0"},  {"create_delayed2sq", "0"},
        {"plot_regular", "0"},        {"plot_detrended", "0"}};
    auto detrended = noSets;
    detrended["create_detrended"] = "1";
    auto plotted = noSets;
    plotted["plot_regular"] = "1";
    return {
        {"confound set", "confound", "run_3DMC_detr.sdm", detrended,
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},
        {"plot picture", "confound", "run_3DMC.sdm.svg", plotted,
         [](Mode mode, const fs::path&, const fs::path& target) { return textWriterMessage(mode, target); }},
        {"displacement map", "displacement", "run_3DMC_MaxAbsolute.nii.gz",
         {{"fmr_threshold", "0"},  {"map_max_abs", "1"},   {"map_mean_abs", "0"}, {"map_max_rel", "0"},
          {"map_mean_rel", "0"},   {"map_max_abs_x", "0"}, {"map_max_abs_y", "0"}, {"map_max_abs_z", "0"},
          {"plot_regular", "0"},   {"plot_detrended", "0"}},
         [](Mode, const fs::path&, const fs::path& target) {
             return "Cannot write map " + target.string() + " (writing failed: " + NoSpace + ")";
         }},
    };
}

// A run of 4 x 3 x 2 voxels and 20 volumes, outside the small disk.
fs::path smallRun()
{
    const fs::path dir = support::tempDir("task-run");
    writeFile(dir / "run.fmr", "\nFileVersion:          7\nNrOfVolumes:          20\nNrOfSlices:           2\n"
                               "Prefix:               \"run\"\nDataType:             2\nResolutionX:          4\n"
                               "ResolutionY:          3\nInplaneResolutionX:   3\nInplaneResolutionY:   3\n"
                               "SliceThickness:       3\nSliceGap:             0\n");
    std::string stc;
    for (int i = 0; i < 4 * 3 * 2 * 20; ++i) {
        const float v = 500.0f + float(i % 13);
        stc.append(reinterpret_cast<const char*>(&v), 4);
    }
    writeFile(dir / "run.stc", stc);
    return dir / "run.fmr";
}

class TaskSaveFailures : public support::HostTest {};

} // namespace

TEST_F(TaskSaveFailures, AFailedSaveIsShownAsAnErrorAndTheOldFileStays)
{
    const Failure taskFailures[] = {failures[0]};
    const fs::path fmr = smallRun();
    for (const TaskSave& save : taskSaves()) {
        for (const Failure& failure : taskFailures) {
            SCOPED_TRACE(std::string(save.name) + ", " + failure.name);
            host::reset();
            host::State& s = hostState();
            host::openRun(s, fmr.string());
            TmpfsMount disk("taskfail", "64k");
            if (!disk.mounted()) GTEST_SKIP() << disk.reason();
            const fs::path dir = disk.dir();
            motion(20).SaveAs((dir / "run_3DMC.sdm").string());
            const fs::path target = dir / save.file;
            writeFile(target, "the result of an earlier run\n");
            for (const auto& [name, value] : save.parameters) s.parameters[name] = value;
            s.parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
            s.plotFolder = dir.string();
            std::string skip;
            if (failure.mode == Mode::FullDisk) fill(dir);
            prepare(failure.mode, disk, save.file, skip);
            if (!skip.empty()) GTEST_SKIP() << skip;
            const auto before = snapshot(dir);

            support::runTask(save.task);
            EXPECT_EQ(s.messages, (std::vector<std::string>{"Error: " + save.message(failure.mode, dir, target)}));
            EXPECT_EQ(s.busyShown, s.busyStopped) << "the busy cursor is stopped after the error";
            EXPECT_EQ(changes(before, snapshot(dir)), "") << "the folder changed";
        }
    }
}
