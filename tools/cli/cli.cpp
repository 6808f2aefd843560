#include "cli.h"
#include "stringmanipulation.h"

#include <cctype>
#include <cerrno>
#include <climits>
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

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    std::istringstream in(text);
    while (std::getline(in, word, ','))
        if (!word.empty()) words.push_back(word);
    return words;
}

bool isChoice(const Option& o, const std::string& word)
{
    for (const auto& c : o.choices)
        if (c == word) return true;
    return false;
}

std::string numberText(double v)
{
    std::ostringstream out;
    out.precision(12);
    out << v;
    return out.str();
}

// The declared range, with a whole number's own limits where none is declared.
std::pair<std::optional<Bound>, std::optional<Bound>> range(const Option& o)
{
    if (o.kind != Kind::Integer) return {o.min, o.max};
    return {o.min ? o.min : Bound{-double(INT_MAX)}, o.max ? o.max : Bound{double(INT_MAX)}};
}

std::string rangeText(const Option& o)
{
    const auto [lo, hi] = range(o);
    if (lo && hi && lo->inclusive && hi->inclusive) return " from " + numberText(lo->value) + " to " + numberText(hi->value);
    std::string lower, upper;
    if (lo) lower = lo->inclusive ? "of " + numberText(lo->value) + " or more" : "greater than " + numberText(lo->value);
    if (hi) upper = hi->inclusive ? "of " + numberText(hi->value) + " or less" : "less than " + numberText(hi->value);
    if (lower.empty() && upper.empty()) return "";
    return " " + lower + (lower.empty() || upper.empty() ? "" : " and ") + upper;
}

bool inRange(const Option& o, double v)
{
    const auto [lo, hi] = range(o);
    if (lo && (lo->inclusive ? v < lo->value : v <= lo->value)) return false;
    if (hi && (hi->inclusive ? v > hi->value : v >= hi->value)) return false;
    return true;
}

bool valid(const Option& o, const std::string& value)
{
    switch (o.kind) {
    case Kind::Number: {
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
        return inRange(o, v);
    }
    case Kind::Integer: {
        errno = 0;
        char* end = nullptr;
        const long v = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno == ERANGE) return false;
        return inRange(o, double(v));
    }
    case Kind::Path: return !value.empty();
    case Kind::List: {
        const auto words = splitList(value);
        if (words.empty()) return false;
        for (const auto& w : words)
            if (w != "all" && !isChoice(o, w)) return false;
        return true;
    }
    case Kind::Text:
        if (!o.choices.empty() && !isChoice(o, value)) return false;
        return !o.accepts || o.accepts(value);
    case Kind::Flag: return true;
    }
    return true;
}

void validate(const Option& o, const std::string& value)
{
    if (!valid(o, value)) throw UsageError(o.name + " must be " + requirement(o) + ", got '" + value + "'");
    if (o.kind == Kind::Path) checkPathLength(o.name, value);
}

} // namespace

Option& Option::byDefault(std::string text) { return defaultText = std::move(text), *this; }
Option& Option::byDefaultNote(std::string text) { return defaultNote = std::move(text), *this; }
Option& Option::mandatory() { return required = true, *this; }
Option& Option::means(std::string text) { return meaning = std::move(text), *this; }
Option& Option::from(double v) { return min = Bound{v, true}, *this; }
Option& Option::above(double v) { return min = Bound{v, false}, *this; }
Option& Option::to(double v) { return max = Bound{v, true}, *this; }
Option& Option::oneOf(std::vector<std::string> words) { return choices = std::move(words), *this; }
Option& Option::values(int n) { return count = n, *this; }
Option& Option::many() { return repeatable = true, *this; }
Option& Option::upToNextOption() { return following = repeatable = true, *this; }
Option& Option::only(std::function<bool(const std::string&)> rule) { return accepts = std::move(rule), *this; }

namespace {

Option declared(std::string name, Kind kind, std::string value, std::string help)
{
    Option o;
    o.name = std::move(name);
    o.kind = kind;
    o.value = std::move(value);
    o.help = std::move(help);
    return o;
}

} // namespace

Option flag(std::string name, std::string help) { return declared(std::move(name), Kind::Flag, "", std::move(help)); }
Option text(std::string name, std::string value, std::string help)
{
    return declared(std::move(name), Kind::Text, std::move(value), std::move(help));
}
Option path(std::string name, std::string value, std::string help)
{
    return declared(std::move(name), Kind::Path, std::move(value), std::move(help));
}
Option number(std::string name, std::string value, std::string help)
{
    return declared(std::move(name), Kind::Number, std::move(value), std::move(help));
}
Option integer(std::string name, std::string value, std::string help)
{
    return declared(std::move(name), Kind::Integer, std::move(value), std::move(help));
}
Option list(std::string name, std::string value, std::string help, std::vector<std::string> choices)
{
    return declared(std::move(name), Kind::List, std::move(value), std::move(help)).oneOf(std::move(choices));
}

std::string requirement(const Option& o)
{
    switch (o.kind) {
    case Kind::Number: return (o.meaning.empty() ? "a number" : o.meaning) + rangeText(o);
    case Kind::Integer: return (o.meaning.empty() ? "a whole number" : o.meaning) + rangeText(o);
    case Kind::Path: return "a path";
    case Kind::List: return "comma-separated words from " + joined(o.choices, ", ") + ", or all";
    case Kind::Text:
        if (!o.choices.empty()) return "one of " + joined(o.choices, ", ");
        return o.meaning.empty() ? "a text" : o.meaning;
    case Kind::Flag: return "given without a value";
    }
    return "";
}

void checkPathLength(const std::string& what, const std::string& path)
{
    if (path.size() > MaxPathBytes)
        throw UsageError(what + " must be a path of at most " + std::to_string(MaxPathBytes) +
                         " bytes (the host's buffers), got one of " + std::to_string(path.size()) + " bytes");
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

namespace {

// An option word, as against a value or a negative number.
bool looksLikeOption(const std::string& w)
{
    return w.size() > 1 && w[0] == '-' && !std::isdigit(static_cast<unsigned char>(w[1])) && w[1] != '.';
}

} // namespace

Args parse(const Command& command, const std::vector<std::string>& words)
{
    Args args;
    args.command_ = &command;
    const std::string seeHelp = " (see tremora " + command.name + " --help)";
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (!optionsEnded && w == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !looksLikeOption(w)) {
            args.positionals_.push_back(w);
            continue;
        }
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
        if (o == nullptr) throw UsageError("unknown option " + name + seeHelp);
        if (!o->repeatable && args.values_.count(o->name)) throw UsageError(o->name + " is given more than once");
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
            while (o->following && i + 1 < words.size() && !words[i + 1].empty() && words[i + 1][0] != '-') values.push_back(words[++i]);
        }
        for (const auto& v : values) {
            validate(*o, v);
            slot.push_back(v);
        }
    }
    for (const auto& o : command.options)
        if (o.required && !args.values_.count(o.name)) throw UsageError(o.name + " is required" + seeHelp);

    bool many = false;
    for (std::size_t k = 0; k < command.positionals.size(); ++k) {
        const Positional& p = command.positionals[k];
        if (p.required && args.positionals_.size() <= k) {
            // Words are placed by their order: with several, say which come in which order.
            std::string order;
            for (const auto& q : command.positionals) order += " " + q.name;
            throw UsageError(p.name + " is required" +
                             (command.positionals.size() > 1 ? " (tremora " + command.name + order + ")" : std::string()) + seeHelp);
        }
        many = many || p.many;
    }
    if (!many && args.positionals_.size() > command.positionals.size())
        throw UsageError("unexpected argument '" + args.positionals_[command.positionals.size()] + "'" + seeHelp);
    for (std::size_t k = 0; k < args.positionals_.size(); ++k) {
        const Positional& p = command.positionals[std::min(k, command.positionals.size() - 1)];
        if (p.kind == Kind::Path) {
            if (args.positionals_[k].empty()) throw UsageError(p.name + " must be a path, got ''");
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
            out << (o.following ? "..." : "") << (o.required ? "  (required)" : "") << (o.repeatable ? "  (repeatable)" : "") << "\n      " << o.help;
            if (o.kind == Kind::List || !o.choices.empty() || o.accepts ||
                ((o.kind == Kind::Number || o.kind == Kind::Integer) && !rangeText(o).empty()))
                out << "\n      " << (o.count > 1 ? "each value: " : "value: ") << requirement(o);
            if (!o.defaultText.empty() || !o.defaultNote.empty())
                out << "\n      default: " << (o.defaultText.empty() ? o.defaultNote : o.defaultText);
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
