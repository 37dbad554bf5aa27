// Runs the built tamsel tool as a child process: arguments, a file or bytes for stdin, and
// what came back on stdout, stderr and as the exit status.
#pragma once

#include <string>
#include <vector>

namespace tool_test {

struct result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// `stdin_path` NULL reads /dev/null. `stdout_path` NULL captures stdout.
result run(const std::vector<std::string> &args, const char *stdin_path = nullptr,
           const char *stdout_path = nullptr);
// The same with `input` written to a temporary file and given as stdin.
result run_with_input(const std::vector<std::string> &args, const std::string &input);

std::string slurp(const std::string &path);
void spit(const std::string &path, const std::string &bytes);
// A fresh path in the test's temporary directory.
std::string temp_path(const std::string &name);
// The files of JSONTestSuite's test_parsing whose names start with `prefix`, sorted.
std::vector<std::string> suite_files(const std::string &prefix);
// The real-world documents of tests/data/corpus.
std::vector<std::string> corpus_files();

} // namespace tool_test
