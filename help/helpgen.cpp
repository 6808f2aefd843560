// tremora_helpgen: the plug-in's help page and the README's script reference,
// both made from the tasks' parameter declarations (code/cpp/taskparameters.h).
//
//   tremora_helpgen page TEMPLATE OUT      writes the help page from its template
//   tremora_helpgen readme README          rewrites the README's script reference
//   tremora_helpgen check-readme README    exit status 1 when that section differs
//
// In the template, a line holding only "<!-- generate: parameters NAME -->"
// becomes the parameter table of task NAME ("task" for the parameter every
// request sets), "<!-- generate: files NAME -->" the table of the files the
// task writes, and "@VERSION@" the plug-in's version. Every task's parameter
// table must appear exactly once.
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "taskparameters.h"
#include "tremora.h"

namespace {

// The motion SDM the file names of the documentation are made from.
const std::string kExampleSdm = "run1_3DMC.sdm";

const char* kReadmeBegin = "<!-- script-reference:begin (generated from code/cpp/taskparameters.h by `make readme`) -->";
const char* kReadmeEnd = "<!-- script-reference:end -->";

std::string html(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string markdown(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '|') out += '\\';
        out += c;
    }
    return out;
}

bool isSwitch(const script::Parameter& p) { return p.type == script::HostType::Int; }

// The cells of one row, the same for the page and the README. Code spans are
// marked `like this`; each output format renders them its own way.
struct Row {
    std::string name, type, unit, meaning, values, suggested;
};

Row row(const script::Parameter& p)
{
    // Built by appending: g++ 12 warns falsely about "literal" + std::string here.
    Row r;
    r.name.append("`").append(p.name).append("`");
    if (p.direction == script::Direction::Written) r.name.append(", set by the task");
    r.type.append(script::typeName(p.type)).append(isSwitch(p) ? ", yes/no" : "");
    r.type.append(" (`").append(script::hostFunction(p)).append("`)");
    r.unit.append(*p.unit ? p.unit : "-");
    r.meaning.append(p.meaning);
    if (isSwitch(p)) {
        r.values.append("1: ").append(p.yes);
        const std::string file = script::outputFileName(p, kExampleSdm);
        if (!file.empty()) r.values.append(" `").append(file).append("`");
        r.values.append("; 0: ").append(p.no);
    } else {
        r.values.append("-");
    }
    r.suggested.append(*p.suggested ? p.suggested : "-");
    return r;
}

// Text with `code spans` as HTML.
std::string htmlWithCode(const std::string& text)
{
    std::string out;
    bool code = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '`') continue;
        out += html(text.substr(start, i - start));
        if (i < text.size()) out += code ? "</code>" : "<code>";
        code = !code;
        start = i + 1;
    }
    return out;
}

std::vector<const script::Parameter*> parametersOf(const std::string& name)
{
    if (name == "task") return {&script::taskParameter};
    for (const script::Task& task : script::tasks)
        if (task.name == name) {
            std::vector<const script::Parameter*> list;
            for (const script::Parameter& p : task.parameters) list.push_back(&p);
            return list;
        }
    throw std::runtime_error("no task named '" + name + "'");
}

std::string parameterTableHtml(const std::string& name)
{
    std::ostringstream out;
    out << "<table class=\"parameters\" id=\"parameters-" << name << "\">\n"
        << "<thead><tr><th>Parameter</th><th>Host type</th><th>Unit</th><th>Meaning</th><th>0 / 1</th>"
           "<th>Suggested</th></tr></thead>\n<tbody>\n";
    for (const script::Parameter* p : parametersOf(name)) {
        const Row r = row(*p);
        out << "<tr id=\"parameter-" << name << "-" << p->name << "\"><td>" << htmlWithCode(r.name) << "</td><td>"
            << htmlWithCode(r.type) << "</td><td>" << html(r.unit) << "</td><td>" << htmlWithCode(r.meaning)
            << "</td><td>" << htmlWithCode(r.values) << "</td><td>" << htmlWithCode(r.suggested) << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n";
    return out.str();
}

std::string parameterTableMarkdown(const std::string& name)
{
    std::ostringstream out;
    out << "| Parameter | Host type | Unit | Meaning | 0 / 1 | Suggested |\n|---|---|---|---|---|---|\n";
    for (const script::Parameter* p : parametersOf(name)) {
        const Row r = row(*p);
        out << "| " << markdown(r.name) << " | " << markdown(r.type) << " | " << markdown(r.unit) << " | "
            << markdown(r.meaning) << " | " << markdown(r.values) << " | " << markdown(r.suggested) << " |\n";
    }
    return out.str();
}

std::string fileTableHtml(const std::string& name)
{
    std::ostringstream out;
    out << "<table class=\"files\" id=\"files-" << name << "\">\n"
        << "<thead><tr><th>File</th><th>Written when</th><th>Holds</th><th>Unit</th></tr></thead>\n<tbody>\n";
    int rows = 0;
    for (const script::Parameter* p : parametersOf(name)) {
        const std::string file = script::outputFileName(*p, kExampleSdm);
        if (file.empty()) continue;
        ++rows;
        out << "<tr><td><code>" << html(file) << "</code></td><td><code>" << html(p->name) << "</code> = 1</td><td>"
            << html(p->contents) << "</td><td>" << html(p->outputUnit) << "</td></tr>\n";
    }
    if (rows == 0) throw std::runtime_error("task '" + name + "' writes no file");
    out << "</tbody>\n</table>\n";
    return out.str();
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string trimmed(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

std::string page(const std::string& templateText)
{
    std::map<std::string, int> placed;
    std::istringstream in(templateText);
    std::ostringstream out;
    std::string line;
    const std::string open = "<!-- generate: ", close = " -->";
    while (std::getline(in, line)) {
        const std::string marker = trimmed(line);
        if (marker.rfind(open, 0) == 0 && marker.size() > open.size() + close.size() &&
            marker.compare(marker.size() - close.size(), close.size(), close) == 0) {
            std::istringstream words(marker.substr(open.size(), marker.size() - open.size() - close.size()));
            std::string what, name;
            words >> what >> name;
            if (what == "parameters") {
                out << parameterTableHtml(name);
                ++placed[name];
            } else if (what == "files") {
                out << fileTableHtml(name);
            } else {
                throw std::runtime_error("unknown generated part: " + marker);
            }
            continue;
        }
        for (std::size_t at; (at = line.find("@VERSION@")) != std::string::npos;)
            line.replace(at, 9, getPluginVersion());
        out << line << '\n';
    }
    std::vector<std::string> names = {"task"};
    for (const script::Task& task : script::tasks) names.push_back(task.name);
    for (const auto& name : names)
        if (placed[name] != 1)
            throw std::runtime_error("the template must hold the parameter table of '" + name + "' once, not " +
                                     std::to_string(placed[name]) + " times");
    return out.str();
}

std::string readmeSection()
{
    std::ostringstream out;
    out << kReadmeBegin << "\n\nEvery request sets:\n\n" << parameterTableMarkdown("task");
    int number = 1;
    for (const script::Task& task : script::tasks) {
        bool reads = false;
        for (const script::Parameter& p : task.parameters) reads = reads || p.direction == script::Direction::Read;
        out << "\n### " << number++ << ". `" << task.name << "`: " << task.title << "\n\n" << task.summary
            << (reads ? " Parameters in the order the task reads them:\n\n" : " It reads no parameter and sets:\n\n")
            << parameterTableMarkdown(task.name);
    }
    out << "\n" << kReadmeEnd;
    return out.str();
}

// The README with its script reference replaced by text.
std::string withSection(const std::string& readme, const std::string& section, const std::string& path)
{
    const auto begin = readme.find("<!-- script-reference:begin");
    const auto end = readme.find(kReadmeEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        throw std::runtime_error(path + " has no script reference section (" + kReadmeEnd + ")");
    return readme.substr(0, begin) + section + readme.substr(end + std::string(kReadmeEnd).size());
}

int usage()
{
    std::cerr << "usage: tremora_helpgen page TEMPLATE OUT | readme README | check-readme README\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 3 && args[0] == "page") {
            writeText(args[2], page(readText(args[1])));
            return 0;
        }
        if (args.size() == 2 && (args[0] == "readme" || args[0] == "check-readme")) {
            const std::string readme = readText(args[1]);
            const std::string updated = withSection(readme, readmeSection(), args[1]);
            if (args[0] == "readme") {
                if (updated != readme) writeText(args[1], updated);
                return 0;
            }
            if (updated == readme) return 0;
            std::cerr << args[1] << ": the script reference differs from the task declarations in "
                      << "code/cpp/taskparameters.h; run `make readme` and commit the result\n";
            return 1;
        }
        return usage();
    } catch (const std::exception& e) {
        std::cerr << "tremora_helpgen: " << e.what() << "\n";
        return 1;
    }
}
