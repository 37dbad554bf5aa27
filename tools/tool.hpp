// The tamsel command-line tool: what the subcommands share. The tool is a program over the
// public C API only; its JSON text comes from the library's own text rules.
#pragma once

#include <tamsel.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace tool {

// Exit codes of every subcommand.
constexpr int exit_ok = 0;
constexpr int exit_invalid = 1; // invalid JSON, or JSON over a configured limit
constexpr int exit_usage = 2;   // usage error, or an input or output that failed

// Nesting the tool accepts unless --max-depth says otherwise: every command walks with an
// explicit stack of one byte a level, so depth costs no machine stack.
constexpr uint64_t default_max_depth = 10000;
// A number reaches the visitor whole, so the library gathers it: this is the longest one read.
constexpr uint64_t max_number_bytes = 1ull << 20;

// Limits the user may set on the command line; 0 means "not given". `utf8_check`: strings and
// keys must be well-formed UTF-8; the commands that check set it, --no-utf8-check clears it.
struct limits {
    uint64_t max_depth = 0;
    uint64_t max_string = 0;
    bool utf8_check = false;
    uint64_t depth() const { return max_depth ? max_depth : default_max_depth; }
};

// A runtime configured for the tool: value limits for the visitor, which every command reads
// through (strings and keys are streamed, so they are unlimited unless --max-string says
// otherwise), and the UTF-8 check when `l` asks for it. Prints the failure and returns NULL
// when the runtime cannot be made.
tamsel_runtime *make_runtime(const limits &l);

// The message the tool prints for an error the library reported: limits are named by the
// option that sets them ("nesting exceeds --max-depth 64"), ill-formed UTF-8 names the option
// that accepts it, the rest as the library words them. `buffer` holds the text when it is not the
// library's own.
const char *describe(const tamsel_error &error, const limits &l, char *buffer, size_t size);

// A progress line on stderr for inputs over 64 MiB, only when stderr is a terminal, redrawn
// at most four times a second.
class progress {
  public:
    void start(const char *name, uint64_t size, bool size_known);
    void update(uint64_t bytes) {
        if (enabled_ && bytes >= next_check_) tick(bytes);
    }
    // Erases the line if one was drawn.
    void finish();

  private:
    void tick(uint64_t bytes);
    bool enabled_ = false;
    bool shown_ = false;
    const char *name_ = nullptr;
    uint64_t size_ = 0;
    bool size_known_ = false;
    uint64_t next_check_ = 0;
    timespec started_{};
    timespec drawn_{};
};

// One input: a named file or standard input, read through a descriptor with the bytes
// counted. `reader` is the tamsel_reader over it (user data: the input).
class input {
  public:
    input() = default;
    input(const input &) = delete;
    input &operator=(const input &) = delete;
    ~input();

    // Opens `arg` ("-" or NULL: standard input). Prints "tamsel: FILE: reason" and returns
    // false when it cannot.
    bool open(const char *arg);
    // Reads up to `capacity` bytes; 0 with eof() at the end; 0 with failed() on an error.
    size_t read(void *buffer, size_t capacity);
    static tamsel_read_result reader(void *user, void *buffer, size_t capacity);

    const char *name() const { return name_; }
    uint64_t bytes() const { return bytes_; }
    bool eof() const { return eof_; }
    // Whether anything but whitespace has been read.
    bool saw_content() const { return saw_content_; }
    // The first byte read that is not whitespace, or -1.
    int first_content() const { return first_content_; }
    bool failed() const { return errno_ != 0; }
    // Prints "tamsel: FILE: strerror" for a failed read.
    void report_failure();
    // Prints "FILE:LINE:COLUMN: message" for an error in the input.
    void report_error(size_t line, size_t column, const char *message);
    // The same for an error the library reported, worded by describe(); an input that held
    // nothing but whitespace is "empty input" at 1:1.
    void report_error(const tamsel_error &error, const limits &l, size_t line);
    void finish_progress() { progress_.finish(); }

  private:
    void note_content(const void *bytes, size_t len);
    const char *name_ = "<stdin>";
    int fd_ = -1;
    bool owned_ = false;
    bool eof_ = false;
    bool saw_content_ = false;
    int first_content_ = -1;
    int errno_ = 0;
    uint64_t bytes_ = 0;
    progress progress_;
};

// Standard output gathered into 64 KiB pieces. `sink` is the tamsel_sink over it (user data:
// the output); once a write failed every later piece fails with status 10.
class output {
  public:
    tamsel_status put(const void *data, size_t len);
    tamsel_status put(const char *text);
    // A newline and `spaces` spaces: the indentation of laid-out JSON.
    tamsel_status newline(size_t spaces);
    bool flush();
    bool failed() const { return errno_ != 0; }
    // How many bytes have been put so far: a mark to come back to.
    uint64_t mark() const { return passed_ + len_; }
    // The bytes put since `mark` while all of them are still in the buffer (NULL once some
    // have been written out), and taking them back.
    const char *since(uint64_t mark, size_t *len) const;
    void take_back(uint64_t mark);
    // Prints "tamsel: <stdout>: strerror".
    void report_failure() const;
    static tamsel_status sink(void *user, const void *data, size_t len, tamsel_error *error);

  private:
    bool write_out(const void *data, size_t len);
    static constexpr size_t capacity = 64 * 1024;
    char buffer_[capacity];
    size_t len_ = 0;      // the buffer holds the last len_ bytes put
    uint64_t passed_ = 0; // bytes put that have left the buffer
    int errno_ = 0;
};

// A sink over `out` that lays the compact JSON text passing through it out with `indent`
// spaces per level (see reindent.cpp).
class reindent {
  public:
    reindent(output &out, unsigned indent);
    static tamsel_status sink(void *user, const void *data, size_t len, tamsel_error *error);

  private:
    tamsel_status feed(const char *p, size_t n);
    output &out_;
    unsigned indent_;
    size_t depth_ = 0;
    bool in_string_ = false;
    bool escaped_ = false; // the next string byte follows a backslash
    bool opened_ = false;  // the last byte opened a container
};

// Settles a failed library call on an input: a read failure (exit 2), a JSON error or a limit
// with its position (exit 1), or any other failure (exit 2). `out` may be NULL.
int report_failure(input &in, const output *out, tamsel_status status, const tamsel_error &error,
                   const limits &l);

// Prints `text` on stdout: exit_ok, or exit_usage with "tamsel: <stdout>: reason" when it
// could not be written (a full disk, a closed pipe).
int print_text(const char *text);

// Parses an unsigned decimal option value; false when it is not one.
bool parse_count(const char *text, uint64_t *out);

// Long options every subcommand takes, and their getopt values.
enum common_option : int { opt_max_depth = 0x100, opt_max_string, opt_help, opt_no_utf8_check };
#define TOOL_COMMON_OPTIONS                                                                        \
    {"max-depth", required_argument, nullptr, tool::opt_max_depth},                                \
        {"max-string", required_argument, nullptr, tool::opt_max_string}, {                        \
        "help", no_argument, nullptr, tool::opt_help                                               \
    }

// The option of the commands that check UTF-8 (validate, fmt, items, rewrite).
#define TOOL_UTF8_OPTION                                                                           \
    { "no-utf8-check", no_argument, nullptr, tool::opt_no_utf8_check }

// Handles one getopt_long result that is not the subcommand's own: the limits, --help and
// errors. Returns -1 to go on, or the exit code to leave with (--help prints `help`).
int common_option(const char *command, const char *help, int opt, int argc, char **argv, limits *l);

// `--pretty 4` leaves 4 as an operand: an optional value must be joined with '='. `next` is
// the argument that followed a bare --pretty (NULL when none). Prints a usage message naming
// --pretty=N and returns true when `next` ended up among the operands, reads as an
// indentation of 1 to 16 and names no file.
bool misplaced_pretty_value(const char *command, const char *next, int argc, char **argv);

// The subcommands: each gets argc/argv starting at its own name.
int cmd_validate(int argc, char **argv);
int cmd_fmt(int argc, char **argv);
int cmd_stats(int argc, char **argv);
int cmd_items(int argc, char **argv);
int cmd_sse(int argc, char **argv);
int cmd_rewrite(int argc, char **argv);

} // namespace tool
