// Running a program and collecting its output, with no shell between.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct command_result {
    bool ran = false;      // the program was started and ended normally
    int exit_code = -1;
    std::string out;       // standard output, the first kOutputLimit bytes
};
constexpr size_t kOutputLimit = 4096;

// Runs args[0] (searched in PATH unless it holds a slash) with the given
// arguments, standard input from /dev/null, standard output captured, and
// the signals this process watches back at their defaults.
command_result run_program(const std::vector<std::string>& args);
