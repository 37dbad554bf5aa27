#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

namespace tool_test {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every path handed out is removed when the test process ends, whether or not the test that
// asked for it got as far as removing it.
std::string temp_path(const std::string &name) {
    static std::atomic<int> serial{0};
    static struct made {
        std::vector<std::string> paths;
        ~made() {
            for (const auto &p : paths)
                unlink(p.c_str());
        }
    } made;
    made.paths.push_back(::testing::TempDir() + "tamsel_tool_" + std::to_string(getpid()) + "_" +
                         std::to_string(serial++) + "_" + name);
    return made.paths.back();
}

result run(const std::vector<std::string> &args, const char *stdin_path, const char *stdout_path) {
    const std::string out_path = stdout_path ? stdout_path : temp_path("stdout");
    const std::string err_path = temp_path("stderr");
    std::vector<char *> argv;
    std::string tool = TAMSEL_TOOL;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int in = open(stdin_path ? stdin_path : "/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    result r;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!stdout_path) r.out = slurp(out_path);
    r.err = slurp(err_path);
    if (!stdout_path) unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

result run_with_input(const std::vector<std::string> &args, const std::string &input) {
    const std::string path = temp_path("stdin");
    spit(path, input);
    result r = run(args, path.c_str());
    unlink(path.c_str());
    return r;
}

std::vector<std::string> suite_files(const std::string &prefix) {
    std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing";
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> out;
    for (const char *name : {"canada.json", "citm_catalog.json", "github_events.json",
                             "gsoc-2018.json", "mesh.json", "twitter.json"})
        out.push_back(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name);
    return out;
}

} // namespace tool_test
