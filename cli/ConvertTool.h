// glintwise-convert as a function: parse, plan, run, report. main() passes argv and the
// standard streams; the tests call it in-process.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace convert {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

// args are the arguments after the program name. progressBar: standard error is a
// terminal, `columns` wide. standardInput feeds "--files-from -" (null: std::cin). Returns
// the exit status.
int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progressBar, int columns = 80, std::istream* standardInput = nullptr);

// Asks a running RunTool to start no further conversion; the ones under way finish, so no
// output is left half-written, and the summary counts what was not started. Safe to call
// from a signal handler.
void RequestStop();

}  // namespace convert
