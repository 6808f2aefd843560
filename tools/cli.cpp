#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace cli {

namespace {

std::vector<Command>& registry()
{
    static std::vector<Command> all;
    return all;
}

std::string kindMeaning(const Option& o)
{
    if (!o.meaning.empty()) return o.meaning;
    switch (o.kind) {
    case Kind::Number: return "a number";
    case Kind::Integer: return "a whole number";
    case Kind::Path: return "a path";
    default: return "a value";
    }
}

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    std::istringstream in(text);
    while (std::getline(in, word, ','))
        if (!word.empty()) words.push_back(word);
    return words;
}

void validate(const Option& o, const std::string& value)
{
    switch (o.kind) {
    case Kind::Number: {
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
            throw UsageError(o.name + " must be " + kindMeaning(o) + ", got '" + value + "'");
        break;
    }
    case Kind::Integer: {
        errno = 0;
        char* end = nullptr;
        const long v = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno == ERANGE || v < -2147483647L || v > 2147483647L)
            throw UsageError(o.name + " must be " + kindMeaning(o) + ", got '" + value + "'");
        break;
    }
    case Kind::Path:
        if (value.empty()) throw UsageError(o.name + " must be " + kindMeaning(o) + ", got an empty text");
        checkPathLength(o.name, value);
        break;
    case Kind::List: {
        const auto words = splitList(value);
        if (words.empty()) throw UsageError(o.name + " needs at least one of: " + [&] {
            std::string s;
            for (const auto& c : o.choices) s += (s.empty() ? "" : ",") + c;
            return s + ",all";
        }());
        for (const auto& w : words) {
            if (w == "all") continue;
            bool known = false;
            for (const auto& c : o.choices) known = known || c == w;
            if (!known) {
                std::string s;
                for (const auto& c : o.choices) s += (s.empty() ? "" : ",") + c;
                throw UsageError(o.name + " takes words from " + s + " or all, got '" + w + "'");
            }
        }
        break;
    }
    case Kind::Text:
        if (!o.choices.empty()) {
            bool known = false;
            for (const auto& c : o.choices) known = known || c == value;
            if (!known) {
                std::string s;
                for (const auto& c : o.choices) s += (s.empty() ? "" : "|") + c;
                throw UsageError(o.name + " must be one of " + s + ", got '" + value + "'");
            }
        }
        break;
    case Kind::Flag: break;
    }
}

} // namespace

void checkPathLength(const std::string& what, const std::string& path)
{
    if (path.size() > 511)
        throw UsageError(what + ": the path is " + std::to_string(path.size()) +
                         " bytes long; the host's buffers hold at most 511");
}

const Option& Args::option(const std::string& name) const
{
    for (const auto& o : command_->options)
        if (o.name == name) return o;
    throw std::logic_error("undeclared option " + name);
}

bool Args::has(const std::string& name) const
{
    option(name);
    return values_.count(name) != 0;
}

std::string Args::text(const std::string& name) const
{
    const Option& o = option(name);
    auto it = values_.find(name);
    if (it == values_.end() || it->second.empty()) return o.defaultText;
    return it->second.back();
}

std::vector<std::string> Args::all(const std::string& name) const
{
    option(name);
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>{} : it->second;
}

double Args::number(const std::string& name) const
{
    const std::string t = text(name);
    return std::strtod(t.c_str(), nullptr);
}

long Args::integer(const std::string& name) const
{
    const std::string t = text(name);
    return std::strtol(t.c_str(), nullptr, 10);
}

std::vector<std::string> Args::list(const std::string& name) const
{
    const Option& o = option(name);
    std::vector<std::string> result;
    for (const auto& w : splitList(text(name))) {
        if (w == "all") return o.choices;
        result.push_back(w);
    }
    return result;
}

Args parse(const Command& command, const std::vector<std::string>& words)
{
    Args args;
    args.command_ = &command;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (!optionsEnded && w == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && w.size() > 1 && w[0] == '-' && !(w.size() > 1 && (std::isdigit(static_cast<unsigned char>(w[1])) || w[1] == '.'))) {
            std::string name = w, inlineValue;
            bool hasInline = false;
            if (auto eq = w.find('='); eq != std::string::npos && w.rfind("--", 0) == 0) {
                name = w.substr(0, eq);
                inlineValue = w.substr(eq + 1);
                hasInline = true;
            }
            const Option* o = nullptr;
            for (const auto& candidate : command.options)
                if (candidate.name == name) o = &candidate;
            if (o == nullptr) throw UsageError("unknown option " + name + " (see tremora " + command.name + " --help)");
            if (!o->repeatable && args.values_.count(o->name))
                throw UsageError(o->name + " is given more than once");
            auto& slot = args.values_[o->name];
            if (o->kind == Kind::Flag) {
                if (hasInline) throw UsageError(o->name + " takes no value");
                slot.push_back("1");
                continue;
            }
            std::vector<std::string> values;
            if (hasInline) {
                if (o->count != 1) throw UsageError(o->name + " takes " + std::to_string(o->count) + " values");
                values.push_back(inlineValue);
            } else {
                for (int k = 0; k < o->count; ++k) {
                    if (i + 1 >= words.size())
                        throw UsageError(o->name + " needs " + (o->count == 1 ? std::string("a value") : std::to_string(o->count) + " values") +
                                         (o->value.empty() ? "" : " (" + o->value + ")"));
                    values.push_back(words[++i]);
                }
                while (o->many && i + 1 < words.size() && !words[i + 1].empty() && words[i + 1][0] != '-') values.push_back(words[++i]);
            }
            for (const auto& v : values) {
                validate(*o, v);
                slot.push_back(v);
            }
            continue;
        }
        args.positionals_.push_back(w);
    }
    // Positional arguments.
    std::size_t needed = 0;
    bool many = false;
    for (const auto& p : command.positionals) {
        if (p.required) ++needed;
        many = many || p.many;
    }
    if (args.positionals_.size() < needed) {
        for (std::size_t k = args.positionals_.size(); k < command.positionals.size(); ++k)
            if (command.positionals[k].required)
                throw UsageError("missing " + command.positionals[k].name + " (see tremora " + command.name + " --help)");
    }
    if (!many && args.positionals_.size() > command.positionals.size())
        throw UsageError("unexpected argument '" + args.positionals_[command.positionals.size()] + "'");
    for (std::size_t k = 0; k < args.positionals_.size(); ++k) {
        const Positional& p = command.positionals[std::min(k, command.positionals.size() - 1)];
        if (p.kind == Kind::Path) {
            if (args.positionals_[k].empty()) throw UsageError(p.name + " must be a path, got an empty text");
            checkPathLength(p.name, args.positionals_[k]);
        }
    }
    return args;
}

std::string help(const Command& command)
{
    std::ostringstream out;
    out << "tremora " << command.name << ": " << command.summary << "\n\nUsage: tremora " << command.name;
    for (const auto& p : command.positionals)
        out << " " << (p.required ? "" : "[") << p.name << (p.many ? "..." : "") << (p.required ? "" : "]");
    if (!command.options.empty()) out << " [options]";
    out << "\n";
    if (!command.description.empty()) out << "\n" << command.description << "\n";
    if (!command.positionals.empty()) {
        out << "\nArguments:\n";
        for (const auto& p : command.positionals) out << "  " << p.name << "\n      " << p.help << "\n";
    }
    if (!command.options.empty()) {
        out << "\nOptions:\n";
        for (const auto& o : command.options) {
            out << "  " << o.name;
            for (int k = 0; k < (o.kind == Kind::Flag ? 0 : o.count); ++k) out << " " << (o.value.empty() ? "VALUE" : o.value);
            out << (o.many ? "..." : "") << (o.repeatable ? "  (repeatable)" : "") << "\n      " << o.help;
            if (o.kind == Kind::List && !o.choices.empty()) {
                out << "\n      words: ";
                for (std::size_t k = 0; k < o.choices.size(); ++k) out << (k ? "," : "") << o.choices[k];
                out << ", or all";
            }
            if (!o.defaultText.empty()) out << "\n      default: " << o.defaultText;
            out << "\n";
        }
    }
    out << "  --help\n      show this help\n";
    if (!command.examples.empty()) {
        out << "\nExamples:\n";
        for (const auto& e : command.examples) out << "  " << e << "\n";
    }
    return out.str();
}

void add(Command command) { registry().push_back(std::move(command)); }

const std::vector<Command>& commands() { return registry(); }

const Command* find(const std::string& name)
{
    for (const auto& c : registry())
        if (c.name == name) return &c;
    return nullptr;
}

} // namespace cli
