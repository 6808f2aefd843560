// Subcommands of the tremora program, each declared once: name, summary,
// options with their kinds, defaults, ranges and whether they are required,
// and examples. The help text, the parsing and the validation of values are
// all derived from the declaration.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// Bad command-line use: printed as one line, exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure of the work itself (a missing file, say): one line, exit status 1.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Kind {
    Flag,    // no value
    Text,    // any text, or one of the choices when there are any
    Path,    // a file or folder path (at most 511 bytes: it must fit the host's buffers)
    Number,  // a decimal number
    Integer, // a whole number
    List,    // comma-separated words from a fixed set (choices), or "all"
};

// One end of the range of a Number or Integer option.
struct Bound {
    double value = 0;
    bool inclusive = true;
};

// The longest path the host's 512-byte buffers hold.
constexpr std::size_t MaxPathBytes = 511;

struct Option {
    std::string name;        // "--fmr"
    Kind kind = Kind::Text;
    std::string value;       // what the value is called in the help: "FILE", "MM"
    std::string help;        // one line
    std::string defaultText; // shown in the help; also the value when the option is absent
    bool repeatable = false;
    int count = 1;           // values per use (3 for "--dims X Y Z")
    std::string meaning;     // for errors: "a number of millimetres"
    std::vector<std::string> choices; // for List and for Text with a fixed set
    bool required = false;
    std::optional<Bound> min, max; // every value of a Number or Integer lies within
    std::string defaultNote; // a default that is no fixed value: "the number of processors"
    // A rule the value must follow beyond its kind, described by meaning.
    std::function<bool(const std::string&)> accepts;
    bool following = false;  // takes every following word up to the next option ("--participant-label 01 02")

    // Refinements, chained onto a declaration: number(...).above(0).byDefault("50").
    Option& byDefault(std::string text);
    Option& byDefaultNote(std::string text);
    Option& mandatory();
    Option& means(std::string text);
    Option& from(double v);  // at least v
    Option& above(double v); // greater than v
    Option& to(double v);    // at most v
    Option& oneOf(std::vector<std::string> words);
    Option& values(int n);
    Option& many();
    Option& upToNextOption(); // following, and repeatable
    Option& only(std::function<bool(const std::string&)> rule);
};

Option flag(std::string name, std::string help);
Option text(std::string name, std::string value, std::string help);
Option path(std::string name, std::string value, std::string help);
Option number(std::string name, std::string value, std::string help);
Option integer(std::string name, std::string value, std::string help);
Option list(std::string name, std::string value, std::string help, std::vector<std::string> choices);

// What a value of the option must be, as errors and the help say it:
// "a number of millimetres greater than 0", "one of fsl, spm, afni, fmriprep".
std::string requirement(const Option& option);

struct Positional {
    std::string name; // "TASK"
    std::string help;
    bool required = true;
    bool many = false; // takes every remaining word
    Kind kind = Kind::Text;
};

class Args;

struct Command {
    std::string name;
    std::string summary;
    std::string description; // a paragraph or more, printed in --help
    std::vector<Positional> positionals;
    std::vector<Option> options;
    std::vector<std::string> examples;
    std::function<int(const Args&)> run;
};

// The parsed words of one command line.
class Args {
public:
    bool has(const std::string& option) const;
    // The option's single value, or its declared default.
    std::string text(const std::string& option) const;
    // Every value of a repeatable option, in order.
    std::vector<std::string> all(const std::string& option) const;
    double number(const std::string& option) const;
    long integer(const std::string& option) const;
    // A List option, expanded ("all" gives every choice).
    std::vector<std::string> list(const std::string& option) const;
    const std::vector<std::string>& positionals() const { return positionals_; }

private:
    friend Args parse(const Command&, const std::vector<std::string>&);
    const Command* command_ = nullptr;
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positionals_;
    const Option& option(const std::string& name) const;
};

// Parses the words after the command name; throws UsageError naming the
// option: "--jobs must be a whole number from 1 to 1024, got '0'".
Args parse(const Command& command, const std::vector<std::string>& words);

// The command's --help text.
std::string help(const Command& command);

// Registry of every subcommand, in the order they were added.
void add(Command command);
const std::vector<Command>& commands();
const Command* find(const std::string& name);

// A path must fit the host's buffers; what names the option (or the options
// whose values make the path). Throws UsageError.
void checkPathLength(const std::string& what, const std::string& path);

} // namespace cli
