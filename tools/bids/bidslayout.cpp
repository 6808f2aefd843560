#include "bidslayout.h"
#include "parallel.h"
#include "stringmanipulation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace tool::bids {

namespace {

bool startsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }


// Index entities are numbers: run-01 and run-1 name the same run.
std::string_view normalised(std::string_view key, std::string_view value)
{
    if (key != "run" && key != "echo") return value;
    if (value.empty() || !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) return value;
    const auto first = value.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view("0") : value.substr(first);
}

// The entities that name a run (desc aside, index entities as numbers) as
// one text: two files are of the same run when their keys are equal.
std::string runKey(const Name& name)
{
    std::vector<const std::pair<std::string, std::string>*> entities;
    entities.reserve(name.entities.size());
    for (const auto& e : name.entities)
        if (e.first != "desc") entities.push_back(&e);
    std::stable_sort(entities.begin(), entities.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string key;
    key.reserve(64);
    for (std::size_t k = 0; k < entities.size(); ++k) {
        // Of a repeated entity the last written counts.
        if (k + 1 < entities.size() && entities[k]->first == entities[k + 1]->first) continue;
        key.append(entities[k]->first).append(1, '-').append(normalised(entities[k]->first, entities[k]->second)).append(1, '_');
    }
    return key;
}

bool listed(const std::vector<std::string>& wanted, const std::string& key, const std::string& value)
{
    if (wanted.empty()) return true;
    return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& w) { return normalised(key, w) == normalised(key, value); });
}

// Each entry of the open folder `fd`, as the kernel lists them (a buffer on
// the stack, none allocated per folder as a DIR stream is).
template <class Visit>
void forEachEntry(int fd, Visit&& visit)
{
    alignas(dirent64) char buffer[32768];
    for (;;) {
        const ssize_t bytes = getdents64(fd, buffer, sizeof buffer);
        if (bytes <= 0) return;
        for (ssize_t at = 0; at < bytes;) {
            const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
            at += e->d_reclen;
            visit(*e);
        }
    }
}

// A folder's files, hidden ones and folders aside, sorted by name, each
// name parsed once. Only names are read: whether a chosen link leads to a
// regular file is asked of it alone (isFile), relative to the folder kept
// open, since asking it of every entry costs a stat of each linked file (a
// study of links, as version-control tools for data keep it).
class Listing {
public:
    struct File {
        std::string_view name; // in the listing's names, each followed by a NUL
        unsigned char type;    // the listing's: DT_REG, DT_LNK or DT_UNKNOWN
        std::optional<Name> parsed;
    };

    // The folder `relative` to the open folder `base` (AT_FDCWD: the current
    // one), named `folder` in paths: a study's folders are opened from its
    // root, not walked from / each time.
    Listing(int base, const std::string& relative, std::string folder)
        : folder_(std::move(folder)), fd_(openat(base, relative.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ < 0) return;
        // The names one after the other in one text (not a string each).
        struct Entry {
            std::size_t at, size;
            unsigned char type;
        };
        std::vector<Entry> entries;
        forEachEntry(fd_, [&](const dirent64& e) {
            if (e.d_name[0] == '.') return;
            unsigned char type = e.d_type;
            struct stat st;
            if (type == DT_UNKNOWN && fstatat(fd_, e.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
            if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) return;
            const std::size_t size = std::strlen(e.d_name);
            entries.push_back({names_.size(), size, type});
            names_.append(e.d_name, size + 1);
        });
        files_.reserve(entries.size());
        for (const Entry& e : entries) {
            const std::string_view name(names_.data() + e.at, e.size);
            files_.push_back({name, e.type, parseName(name)});
        }
        std::sort(files_.begin(), files_.end(), [](const File& x, const File& y) { return x.name < y.name; });
    }
    explicit Listing(const fs::path& folder) : Listing(AT_FDCWD, folder.string(), folder.string()) {}
    ~Listing()
    {
        if (fd_ >= 0) close(fd_);
    }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    const std::vector<File>& files() const { return files_; }
    const std::string& folder() const { return folder_; }
    // The runKey of a file's parsed name (computed when first asked).
    const std::string& runOf(const File& file) const
    {
        if (runs_.empty()) {
            runs_.resize(files_.size());
            for (std::size_t k = 0; k < files_.size(); ++k)
                if (files_[k].parsed) runs_[k] = runKey(*files_[k].parsed);
        }
        return runs_[std::size_t(&file - files_.data())];
    }
    std::string path(const File& file) const
    {
        std::string path;
        path.reserve(folder_.size() + 1 + file.name.size());
        return path.append(folder_).append(1, '/').append(file.name);
    }
    bool isFile(const File& file) const
    {
        struct stat st;
        return file.type == DT_REG || (fd_ >= 0 && fstatat(fd_, file.name.data(), &st, 0) == 0 && S_ISREG(st.st_mode));
    }

private:
    std::string folder_;
    int fd_;
    std::string names_;
    std::vector<File> files_;
    mutable std::vector<std::string> runs_;
};

// The names of the folders in `relative` (to the open folder `base`, or to
// the current one: AT_FDCWD) that start with `prefix`, sorted; a link to a
// folder counts as one. `folder` names it in the error.
std::vector<std::string> foldersIn(int base, const std::string& relative, const std::string& folder, const std::string& prefix)
{
    const int fd = openat(base, relative.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read the folder " + folder + ": " + std::strerror(errno));
    std::vector<std::string> names;
    forEachEntry(fd, [&](const dirent64& e) {
        if (std::strncmp(e.d_name, prefix.c_str(), prefix.size()) != 0) return;
        struct stat st;
        if (e.d_type == DT_DIR ||
            ((e.d_type == DT_LNK || e.d_type == DT_UNKNOWN) && fstatat(fd, e.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)))
            names.emplace_back(e.d_name);
    });
    close(fd);
    std::sort(names.begin(), names.end());
    return names;
}
std::vector<std::string> foldersIn(const fs::path& folder, const std::string& prefix)
{
    return foldersIn(AT_FDCWD, folder.string(), folder.string(), prefix);
}

std::string fileNames(const std::vector<std::string>& files)
{
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(fs::path(f).filename().string());
    return joined(names, ", ");
}

// fMRIPrep's confounds table and boldref of the run, in the derivatives'
// folder of the run. Of several references the one of the head-motion
// correction comes first (desc-hmc), then one without desc, then any other.
void pairWithFMRIPrep(Run& run, const Listing& listing)
{
    std::vector<std::string> tables, regressors;
    std::vector<std::pair<int, std::string>> references;
    std::vector<std::string> masks;
    const std::string key = runKey(run.name);
    for (const auto& file : listing.files()) {
        const auto& name = file.parsed;
        if (!name || listing.runOf(file) != key || name->get("space") != "") continue;
        const bool image = name->extension == ".nii.gz" || name->extension == ".nii";
        const bool table = name->get("desc") == "confounds" && name->extension == ".tsv";
        if (table && name->suffix == "timeseries" && listing.isFile(file)) tables.push_back(listing.path(file));
        if (table && name->suffix == "regressors" && listing.isFile(file)) regressors.push_back(listing.path(file));
        if (image && name->suffix == "boldref" && listing.isFile(file)) {
            const std::string desc = name->get("desc");
            references.emplace_back(desc == "hmc" ? 0 : desc.empty() ? 1 : 2, listing.path(file));
        }
        if (image && name->suffix == "mask" && name->get("desc") == "brain" && listing.isFile(file)) masks.push_back(listing.path(file));
    }
    const auto& found = tables.empty() ? regressors : tables;
    if (found.empty()) {
        run.skipped = "no motion estimates: no " + run.stem() + "_desc-confounds_timeseries.tsv in " + listing.folder();
        return;
    }
    run.motion = found.front();
    std::sort(references.begin(), references.end());
    if (!references.empty()) run.boldref = references.front().second;
    if (masks.size() == 1) run.brainMask = masks.front();
}

// Another package's motion file of the run: beside it or in the derivatives.
void pairWithMotionFile(Run& run, MotionFormat format, const std::vector<fs::path>& folders)
{
    std::vector<std::string> found;
    for (const auto& folder : folders) {
        const Listing listing(folder);
        for (const auto& file : listing.files()) {
            if (motionFormatOfFileName(std::string(file.name)) != format) continue;
            const auto parsed = format == MotionFormat::SPM ? parseName(file.name.substr(3)) : file.parsed; // rp_
            if (parsed && sameRun(*parsed, run.name) && listing.isFile(file)) found.push_back(listing.path(file));
        }
    }
    static const char* const patterns[] = {"*.par", "rp_*.txt", "*.1D", "*_desc-confounds_timeseries.tsv"};
    if (found.empty())
        run.skipped = "no motion estimates: no " + motionPackageName(format) + " motion file (" + patterns[int(format)] +
                      ") of its entities beside it or in the derivatives";
    else if (found.size() > 1)
        run.skipped = "several " + motionPackageName(format) + " motion files of its entities: " + fileNames(found);
    else
        run.motion = found.front();
}

} // namespace

std::string Name::get(const std::string& key) const
{
    for (const auto& [k, v] : entities)
        if (k == key) return v;
    return "";
}

std::string Name::stem() const
{
    std::string text;
    for (const auto& [k, v] : entities) text += (text.empty() ? "" : "_") + k + "-" + v;
    return text;
}

std::optional<Name> parseName(std::string_view fileName)
{
    Name name;
    const auto dot = fileName.find('.');
    if (dot != std::string::npos) name.extension = fileName.substr(dot);
    const std::string_view body = std::string_view(fileName).substr(0, dot);
    name.entities.reserve(std::size_t(std::count(body.begin(), body.end(), '_')) + 1);
    // Key-value parts while they last; the rest, joined again, is the suffix.
    std::size_t start = 0;
    bool entities = true;
    while (start <= body.size()) {
        const auto end = std::min(body.find('_', start), body.size());
        const std::string_view part = body.substr(start, end - start);
        const auto dash = part.find('-');
        if (entities && (dash == std::string_view::npos || dash == 0 || dash + 1 == part.size())) entities = false;
        if (entities) {
            name.entities.emplace_back(std::string(part.substr(0, dash)), std::string(part.substr(dash + 1)));
        } else {
            if (!name.suffix.empty()) name.suffix += '_';
            name.suffix += part;
        }
        start = end + 1;
    }
    if (name.entities.empty()) return std::nullopt;
    return name;
}

bool sameRun(const Name& a, const Name& b) { return runKey(a) == runKey(b); }

std::string label(const std::string& text, const std::string& prefix)
{
    return startsWith(text, prefix) ? text.substr(prefix.size()) : text;
}

bool Filters::accepts(const Name& bold) const
{
    return listed(participants, "sub", bold.get("sub")) && listed(sessions, "ses", bold.get("ses")) &&
           listed(tasks, "task", bold.get("task")) && listed(runs, "run", bold.get("run")) &&
           (bolds.empty() || std::find(bolds.begin(), bolds.end(), bold.stem()) != bolds.end());
}

Dataset discover(const fs::path& root, const std::optional<fs::path>& derivatives, std::optional<MotionFormat> format,
                 const Filters& filters)
{
    Dataset dataset;
    std::error_code ec;
    dataset.root = fs::absolute(root, ec).lexically_normal();
    if (derivatives) {
        fs::path d = fs::absolute(*derivatives, ec).lexically_normal();
        // fMRIPrep before release 21 wrote its dataset into OUTPUT/fmriprep.
        if (foldersIn(d, "sub-").empty() && fs::is_directory(d / "fmriprep", ec)) d /= "fmriprep";
        dataset.derivatives = d;
    } else if (fs::is_directory(dataset.root / "derivatives" / "fmriprep", ec)) {
        dataset.derivatives = dataset.root / "derivatives" / "fmriprep";
    }
    const MotionFormat motionFormat = format.value_or(MotionFormat::FMRIPrep);
    // The datasets' folders stay open: the folders of the runs are opened
    // relative to them (from / when one cannot be opened).
    struct Open {
        int fd;
        ~Open()
        {
            if (fd >= 0) close(fd);
        }
    };
    const Open rawRoot{open(dataset.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const Open derivedRoot{dataset.derivatives ? open(dataset.derivatives->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1};
    const auto listing = [](const Open& base, const fs::path& root, const fs::path& relative) {
        const fs::path whole = root / relative;
        return std::make_unique<Listing>(base.fd >= 0 ? base.fd : AT_FDCWD, base.fd >= 0 ? relative.string() : whole.string(),
                                         whole.string());
    };
    // One participant's runs; the participants are read on all cores (a
    // study of thousands is mostly waiting on the file system), each into
    // its own place, so the order is that of their folders.
    const auto runsOf = [&](const std::string& subject) {
        std::vector<Run> runs;
        // Each func folder relative to the root, with its session's folder ("" for none).
        std::vector<std::pair<fs::path, std::string>> funcs = {{fs::path(subject) / "func", ""}};
        const std::string whole = (dataset.root / subject).string();
        for (auto& session : foldersIn(rawRoot.fd >= 0 ? rawRoot.fd : AT_FDCWD, rawRoot.fd >= 0 ? subject : whole, whole, "ses-"))
            funcs.emplace_back(fs::path(subject) / session / "func", std::move(session));
        for (const auto& [relative, session] : funcs) {
            // The derivatives' folder of these runs, read once for all of them.
            std::unique_ptr<Listing> derived;
            const std::unique_ptr<Listing> listed = listing(rawRoot, dataset.root, relative);
            const Listing& raw = *listed;
            for (const auto& file : raw.files()) {
                if (!file.name.ends_with("_bold.nii.gz") && !file.name.ends_with("_bold.nii")) continue;
                const auto& name = file.parsed;
                if (!name || name->suffix != "bold" || !filters.accepts(*name)) continue;
                Run run;
                run.name = *name;
                run.bold = raw.path(file);
                run.folder = relative;
                run.format = motionFormat;
                // A run whose file is a link to nothing (data whose content
                // was never fetched) is named, not left out unseen.
                if (!raw.isFile(file)) {
                    run.skipped = "its file is a link that leads to no file (is its content fetched?)";
                } else if ("sub-" + name->get("sub") != subject ||
                           (session.empty() ? !name->get("ses").empty() : "ses-" + name->get("ses") != session)) {
                    run.skipped = "its name does not match its folder " + run.folder.string();
                } else if (motionFormat == MotionFormat::FMRIPrep) {
                    if (dataset.derivatives) {
                        if (!derived) derived = listing(derivedRoot, *dataset.derivatives, run.folder);
                        pairWithFMRIPrep(run, *derived);
                    }
                    else
                        run.skipped = "no motion estimates: no fMRIPrep derivatives (give --derivatives, or keep them in " +
                                      (dataset.root / "derivatives" / "fmriprep").string() + ")";
                } else {
                    std::vector<fs::path> folders = {dataset.root / relative};
                    if (dataset.derivatives) folders.push_back(*dataset.derivatives / run.folder);
                    pairWithMotionFile(run, motionFormat, folders);
                }
                runs.push_back(std::move(run));
            }
        }
        return runs;
    };
    std::vector<std::string> subjects;
    // One participant's job in a study of thousands walks its own folders only.
    for (auto& subject : foldersIn(dataset.root, "sub-"))
        if (listed(filters.participants, "sub", label(subject, "sub-"))) subjects.push_back(std::move(subject));
    std::vector<std::vector<Run>> found(subjects.size());
    std::vector<std::exception_ptr> failed(subjects.size());
    // Few participants are read on the calling thread alone.
    const int threads = int(std::min<std::size_t>(std::size_t(parallel::availableCores()), subjects.size() / 64 + 1));
    parallel::forEach(subjects.size(), threads, [&](std::size_t k, int) {
        try {
            found[k] = runsOf(subjects[k]);
        } catch (...) {
            failed[k] = std::current_exception(); // the first participant's in order is the one thrown
        }
    });
    for (std::size_t k = 0; k < subjects.size(); ++k) {
        if (failed[k]) std::rethrow_exception(failed[k]);
        for (auto& run : found[k]) dataset.runs.push_back(std::move(run));
    }
    return dataset;
}

fs::path outputName(const Run& run, const std::string& desc, const std::string& suffix, const std::string& extension)
{
    return run.folder / (run.stem() + "_desc-" + desc + "_" + suffix + extension);
}

fs::path recordName(const Run& run) { return run.folder / (run.stem() + "_desc-tremora_provenance.json"); }

std::string uri(const fs::path& file, const Dataset& dataset)
{
    const auto inside = [&](const fs::path& root) {
        const fs::path relative = file.lexically_relative(root);
        return !relative.empty() && *relative.begin() != "..";
    };
    if (dataset.derivatives && inside(*dataset.derivatives)) return "bids:derivatives:" + file.lexically_relative(*dataset.derivatives).string();
    if (inside(dataset.root)) return "bids:raw:" + file.lexically_relative(dataset.root).string();
    return file.string();
}

} // namespace tool::bids
