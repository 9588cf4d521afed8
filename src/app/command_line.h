#pragma once
// The command line for scripts and batches. Without arguments the tool is the
// dialogue; with arguments it prints help or its version, or analyses the named
// files without a screen. Results go to standard output, complaints to standard
// error with the program's name in front; exit status 0, 1 or 2.

#include <cstdio>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "app/batch.h"

namespace vantorel::app {

enum class CommandAction {
    Dialogue,  // no arguments
    Help,      // --help or -h
    Version,   // --version
    Batch,     // one or more files
};

struct CommandLine {
    CommandAction action = CommandAction::Dialogue;
    BatchOptions options;
    std::string store;               // the results store's file (--db); none when empty
    std::vector<std::string> files;  // in the order given
};

// What was wrong with a command line, as one sentence without the program's name.
struct CommandLineError {
    std::string message;
};

// Reads the arguments (without the program's own name) from left to right.
// --help, -h and --version decide at once; "--" ends the options, so later
// arguments are files even when they begin with "-". A lone "-" is a file name.
std::variant<CommandLine, CommandLineError> parseCommandLine(std::span<const std::string> arguments);

// The usage text --help prints, and the line --version prints.
std::string usageText();
std::string versionText();

// Runs a command line that has arguments: help or version (exit 0), a wrong
// command line (one line on `errors`, exit 2), or the batch (its exit status).
int runCommandLine(std::span<const std::string> arguments, std::FILE* output, std::FILE* errors);

}  // namespace vantorel::app
