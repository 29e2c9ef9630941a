#pragma once

#include <optional>

namespace marlox::CommandLine {

// --version and --help print and answer the exit status, and so does
// `search` (it reads the index and never starts the application); anything
// else is left to the application (which takes no options: settings live in
// the settings window). An unknown option prints the help and answers 2.
std::optional<int> handle(int argc, char **argv);

} // namespace marlox::CommandLine
