// Saves that lose nothing: the shared pending-file writer made to fail in every
// way, each writer on a full disk. Each failure is a WriteFileError naming
// the target and the reason; the folder stays as it was.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "atomicfile.h"
#include "fixtures.h"
#include "ioerror.h"
#include "maps.h"
#include "myFMR.h"
#include "run.h"
#include "testing.h"
#include "tmpfs_mount.h"

namespace fs = std::filesystem;
using support::readFile;
using support::writeFile;

namespace {

// Everything below dir, links not followed: a file by its bytes, a link by
// where it points, a device by its number.
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        const auto status = fs::symlink_status(p);
        struct stat st {};
        ::lstat(p.c_str(), &st);
        std::string& entry = entries[fs::relative(p, dir).string()];
        if (fs::is_symlink(status)) entry = "link to " + fs::read_symlink(p).string();
        else if (fs::is_directory(status)) entry = "folder";
        else if (fs::is_character_file(status)) entry = "device " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        else if (fs::is_regular_file(status)) entry = "file: " + readFile(p);
        else entry = "something else";
    }
    return entries;
}

const std::string NoSpace = std::strerror(ENOSPC);

// A float run of 16 x 16 x 4 voxels (4 kB a volume), grown to `volumes` in memory.
std::unique_ptr<FMR> run(int volumes)
{
    auto fmr = std::make_unique<FMR>(support::writeRun(support::tempDir("source-run"), "source", {.nx = 16, .ny = 16, .nz = 4, .volumes = 1}).string(), true);
    while (int(fmr->Volumes.size()) < volumes) fmr->Volumes.emplace_back(16, 16, 4, float(fmr->Volumes.size()));
    return fmr;
}

// A map of nx x ny x nz voxels of values that do not compress much, saved by the host under name.
void saveHostMap(int nx, int ny, int nz, const std::string& name)
{
    host::reset();
    host::State& s = host::state();
    s.run.present = true;
    s.run.header.DimX = nx, s.run.header.DimY = ny, s.run.header.DimZ = nz;
    s.run.header.VoxelSizeX = s.run.header.VoxelSizeY = s.run.header.VoxelSizeZ = 3.0f;
    host::createMap(s);
    std::uint32_t seed = 12345;
    for (float& v : s.maps.back().voxels) v = float((seed = seed * 1664525u + 1013904223u) >> 8) / 65536.0f;
    host::saveMap(s, name);
}

std::string cannotCreate(const fs::path& target) { return "Cannot Create file: " + target.string(); }

// A writer: its file, how to put a small old version in dir, how to save a
// large new one (more than the 64 kB disk) to target, and its message.
struct Writer {
    const char* name;
    std::string file;
    std::function<void(const fs::path& dir)> writeOld, saveNew;
    std::function<std::string(const fs::path& target)> cannot;
};

} // namespace

// The SDM through the shared pending-file writer, the others with files of their own.
TEST(SaveFailures, EachWriterOnAFullDiskReportsTheTargetAndTheReasonAndKeepsTheFolderAsItWas)
{
    const Writer writers[] = {
        {"SDM", "run_3DMC.sdm", [](const fs::path& dir) { support::saveMotionSdm(dir / "run_3DMC.sdm", support::stillRows(3)); },
         [](const fs::path& target) { support::saveMotionSdm(target, support::stillRows(5000)); }, cannotCreate},
        // The document is small and written first; its slice data (120 kB) do not fit.
        {"FMR with its slice data", "run.fmr", [](const fs::path& dir) { run(1)->SaveAs((dir / "run.fmr").string()); },
         [](const fs::path& target) { run(30)->SaveAs(target.string()); },
         [](const fs::path& target) { return "Failed opening STC for writing: " + fs::path(target).replace_extension(".stc").string(); }},
        // The host writes a map named "..._MaxAbsolute.map" as "..._MaxAbsolute.nii.gz".
        {"NIfTI map", "run_3DMC_MaxAbsolute.nii.gz", [](const fs::path& dir) { saveHostMap(2, 2, 2, (dir / "run_3DMC_MaxAbsolute.map").string()); },
         [](const fs::path& target) { saveHostMap(64, 64, 16, (target.parent_path() / "run_3DMC_MaxAbsolute.map").string()); },
         [](const fs::path& target) { return "Cannot write map " + target.string(); }},
    };
    for (const Writer& w : writers) {
        SCOPED_TRACE(w.name);
        TmpfsMount disk("savefail", "64k");
        if (!disk.mounted()) GTEST_SKIP() << disk.reason();
        const fs::path target = disk.dir() / w.file;
        w.writeOld(disk.dir());
        ASSERT_TRUE(fs::is_regular_file(target)) << "the old file was not written";
        const auto before = snapshot(disk.dir());
        std::string message = "<no WriteFileError>";
        try {
            w.saveNew(target);
        } catch (const WriteFileError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, w.cannot(target) + " (writing failed: " + NoSpace + ")");
        EXPECT_EQ(snapshot(disk.dir()), before) << "the folder changed";
    }
}

// What saveTextAtomically says of saving text to path: "saved" or its error.
std::string attempt(const fs::path& path, const std::string& text)
{
    try {
        saveTextAtomically(path.string(), [&](std::ostream& out) { out << text; });
    } catch (const std::exception& e) {
        return e.what();
    }
    return "saved";
}

// A writer's exception, permissions and links; a device or a pipe is written
// into, never replaced: the full device reports a full disk, the null device
// takes everything, a pipe nobody reads is refused; a folder where the file
// should be, a missing folder and a read-only one are refused.
TEST(AtomicSave, WriterExceptionsPermissionsLinksDevicesAndPipes)
{
    const fs::path dir = support::tempDir("atomic");
    const fs::path target = dir / "table.csv", link = dir / "link.csv";
    writeFile(target, "old\n");
    ::chmod(target.c_str(), 0640);
    EXPECT_THROW(saveTextAtomically(target.string(), [](std::ostream& out) { out << "half", throw std::logic_error("writer broke"); }), std::logic_error);
    EXPECT_EQ(snapshot(dir), (std::map<std::string, std::string>{{"table.csv", "file: old\n"}})) << "no temporary file left";
    EXPECT_EQ(attempt(target, "new\n"), "saved");
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << "a replaced file keeps its permissions";
    fs::create_symlink(target, link);
    EXPECT_EQ(attempt(link, "through the link\n"), "saved");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "through the link\n");

    TmpfsMount disk("devices", "64k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const fs::path devices = disk.dir();
    if (::mknod((devices / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0 ||
        ::mknod((devices / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make device nodes: " << std::strerror(errno);
    ASSERT_EQ(::mkfifo((devices / "pipe").c_str(), 0666), 0) << std::strerror(errno);
    fs::create_directory(devices / "folder");
    writeFile(devices / "folder" / "inside", "a file in a folder where the file should be\n");
    writeFile(devices / "old.sdm", "old\n");
    const auto before = snapshot(devices);
    const std::string large(100000, 'x');
    EXPECT_EQ(attempt(devices / "full", large), cannotCreate(devices / "full") + " (writing failed: " + NoSpace + ")");
    EXPECT_EQ(attempt(devices / "null", large), "saved");
    EXPECT_EQ(attempt(devices / "pipe", large), cannotCreate(devices / "pipe"));
    for (const fs::path& target : {devices / "folder", devices / "absent" / "run.sdm"}) EXPECT_EQ(attempt(target, "new\n"), cannotCreate(target));
    if (disk.makeReadOnly()) EXPECT_EQ(attempt(devices / "old.sdm", "new\n"), cannotCreate(devices / "old.sdm"));
    EXPECT_EQ(snapshot(devices), before);
}

class TaskSaveFailures : public support::HostTest {};

// The confound task on a full disk: one error message, the busy cursor stopped, the earlier result in place.
TEST_F(TaskSaveFailures, AFailedSaveIsShownAsAnErrorAndTheOldFileStays)
{
    support::openRunOnDisk(support::tempDir("task-run"), {.volumes = 20});
    TmpfsMount disk("taskfail", "64k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const fs::path dir = disk.dir(), target = dir / "run_3DMC_detr.sdm";
    support::MotionRows rows = support::realTraceRows();
    rows.resize(20);
    support::saveMotionSdm(dir / "run_3DMC.sdm", rows);
    writeFile(target, "the result of an earlier run\n");
    support::setParameters(support::confoundParameters(dir / "run_3DMC.sdm", {"create_detrended"}));
    for (std::ofstream filler(dir / "filler", std::ios::binary); filler.write(std::string(4096, 'f').data(), 4096);) {
    }
    const auto before = snapshot(dir);
    support::runTask("confound");
    EXPECT_EQ(hostState().messages, (std::vector<std::string>{"Error: " + cannotCreate(target) + " (writing failed: " + NoSpace + ")"}));
    EXPECT_EQ(hostState().busyShown, hostState().busyStopped) << "the busy cursor is stopped after the error";
    EXPECT_EQ(snapshot(dir), before) << "the folder changed";
}
