// tremora: the host for people without the desktop application.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace {

void overview(std::ostream& out)
{
    out << "tremora: voxel-wise displacement maps and motion confound predictors for fMRI runs\n\n"
           "Usage: tremora COMMAND [arguments] [options]\n"
           "       tremora COMMAND --help\n\nCommands:\n";
    for (const auto& c : cli::commands()) {
        std::string name = c.name;
        name.resize(14, ' ');
        out << "  " << name << c.summary << "\n";
    }
    out << "\nExit status: 0 on success, 1 when the work failed, 2 on bad command-line use.\n";
}

} // namespace

int main(int argc, char** argv)
{
    tool::addAllCommands();
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        overview(std::cerr);
        return 2;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() > 1) {
            if (const cli::Command* c = cli::find(words[1])) {
                std::cout << cli::help(*c);
                return 0;
            }
            std::cerr << "tremora: unknown command '" << words[1] << "'\n";
            return 2;
        }
        overview(std::cout);
        return 0;
    }
    if (words[0] == "--version") {
        std::cout << "tremora 2.0\n";
        return 0;
    }
    const cli::Command* command = cli::find(words[0]);
    if (command == nullptr) {
        std::cerr << "tremora: unknown command '" << words[0] << "' (see tremora --help)\n";
        return 2;
    }
    std::vector<std::string> rest(words.begin() + 1, words.end());
    for (const auto& w : rest)
        if (w == "--help" || w == "-h") {
            std::cout << cli::help(*command);
            return 0;
        }
    try {
        const cli::Args args = cli::parse(*command, rest);
        return command->run(args);
    } catch (const cli::UsageError& e) {
        std::cerr << "tremora " << command->name << ": " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tremora " << command->name << ": " << e.what() << "\n";
        return 1;
    }
}
