#pragma once

// The command groups of plombar-cli, one source file each. A command returns its exit code or
// raises CliError; main() turns every error into a message on stderr and an exit code.

#include <string>
#include <vector>

namespace plombar::cli {

// `arguments` are those after the group's name ("store list ..." gets {"list", ...}).
int runStoreCommand(const std::vector<std::string>& arguments);
int runSignCommand(const std::vector<std::string>& arguments);
int runVerifyCommand(const std::vector<std::string>& arguments);
int runEncryptCommand(const std::vector<std::string>& arguments);
int runDecryptCommand(const std::vector<std::string>& arguments);

struct CommandGroup {
    const char* name;
    int (*run)(const std::vector<std::string>& arguments);
    const char* summary; // one line for the overview
};

// Every command group, in the order the overview lists them.
extern const CommandGroup kCommandGroups[];
extern const std::size_t kCommandGroupCount;

} // namespace plombar::cli
