// tamsel validate: is each input one JSON value, or with --lines one JSON value per line?
#include "tool.hpp"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

const char validate_help[] =
    "Usage: tamsel validate [--lines] [OPTIONS] [FILE...]\n"
    "\n"
    "Checks that each input is exactly one JSON value (RFC 8259). Prints nothing when all are\n"
    "valid; otherwise prints FILE:LINE:COLUMN: message for each invalid input on stderr.\n"
    "Memory stays bounded whatever the size of the input, the length of its strings and keys\n"
    "or the length of its lines.\n"
    "\n"
    "  --lines             JSON Lines: each line is one JSON value; every bad line is\n"
    "                      reported with its line number and the column within it. Lines\n"
    "                      holding nothing but whitespace are skipped; the last line may\n"
    "                      lack its newline.\n"
    "  --max-depth=N       most containers open at once (default 10000); deeper input is\n"
    "                      reported as \"nesting exceeds --max-depth N\"\n"
    "  --max-string=BYTES  longest string or key accepted (default unlimited)\n"
    "  --no-utf8-check     accept strings and keys that are not well-formed UTF-8 (checked\n"
    "                      by default: RFC 8259 requires UTF-8 between systems)\n"
    "  --help              show this help\n"
    "\n"
    "FILE '-' or no FILE reads standard input. Exit status: 0 all valid, 1 an input is\n"
    "invalid or over a limit, 2 usage error or an input that could not be read.\n";

bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Cuts an input into lines over a 64 KiB window. A line that fits the window (with the
// blanks in front of it, so columns stay those of the file) is validated in place as a
// buffer; a longer one is streamed through a reader that hands out its bytes and reports eof
// at its newline, so no line is ever held whole. Blanks that run to the end of the window are
// dropped and counted instead of kept, so a run of any length leaves room to read on; the
// count is added to the column of an error on that line.
class line_splitter {
  public:
    explicit line_splitter(input &in) : in_(in) {}

    // Moves to the next line that holds something; false at the end of the input (or when it
    // failed: see input::failed). `line` is advanced past the blank lines.
    bool next_line(uint64_t *line) {
        start_ = pos_;
        dropped_ = 0;
        for (;;) {
            if (pos_ == len_) {
                dropped_ += pos_ - start_; // all blanks: nothing of them is needed again
                start_ = pos_;
                if (!refill()) return false;
            }
            const unsigned char c = window_[pos_];
            if (c == '\n') {
                ++*line;
                ++pos_;
                start_ = pos_;
                dropped_ = 0;
            } else if (is_blank(c)) {
                ++pos_;
            } else {
                at_newline_ = false;
                return true;
            }
        }
    }

    // Validates the line the splitter stands on; the newline is left for skip_rest_of_line.
    tamsel_status validate(tamsel_runtime *runtime, tamsel_error *error) {
        const unsigned char *nl = find_newline();
        if (nl) {
            const size_t end = static_cast<size_t>(nl - window_);
            tamsel_status st =
                tamsel_validate_value_buffer(runtime, window_ + start_, end - start_, error);
            pos_ = end;
            at_newline_ = true;
            return st;
        }
        pending_spaces_ = pos_ - start_;
        return tamsel_validate_value_reader(runtime, reader, this, error);
    }

    // Blanks of the current line that were dropped from the window before its content: the
    // library's columns start after them.
    uint64_t dropped_blanks() const { return dropped_; }

    // Consumes what the validator left of the current line, its newline included.
    void skip_rest_of_line() {
        while (pos_ < len_ || fill()) {
            if (at_newline_) {
                ++pos_;
                return;
            }
            const void *nl = std::memchr(window_ + pos_, '\n', len_ - pos_);
            if (nl) {
                pos_ = static_cast<size_t>(static_cast<const unsigned char *>(nl) - window_) + 1;
                return;
            }
            pos_ = len_;
        }
    }

  private:
    static tamsel_read_result reader(void *user, void *buffer, size_t capacity) {
        return static_cast<line_splitter *>(user)->read_line(static_cast<char *>(buffer), capacity);
    }

    // The newline that ends the current line, reading on while the line (from start_) still
    // fits the window; NULL for a longer line or the last line without one.
    const unsigned char *find_newline() {
        size_t from = pos_;
        for (;;) {
            if (const void *nl = std::memchr(window_ + from, '\n', len_ - from))
                return static_cast<const unsigned char *>(nl);
            if (start_ == 0 && len_ == sizeof window_) return nullptr; // longer than the window
            from = len_ - start_;
            if (!refill()) return nullptr;
        }
    }

    // Reads more, keeping the bytes from start_ on at the front of the window.
    bool refill() {
        const size_t keep = len_ - start_;
        if (keep && start_) std::memmove(window_, window_ + start_, keep);
        pos_ -= start_;
        start_ = 0;
        len_ = keep;
        const size_t n = in_.read(window_ + len_, sizeof window_ - len_);
        len_ += n;
        return n > 0;
    }

    // Reads afresh (the streamed path has handed out everything before pos_).
    bool fill() {
        pos_ = start_ = 0;
        len_ = in_.read(window_, sizeof window_);
        return len_ > 0;
    }

    tamsel_read_result read_line(char *buffer, size_t capacity) {
        tamsel_read_result r = tamsel_default_read_result();
        if (pending_spaces_ > 0) {
            const size_t n = pending_spaces_ < capacity ? pending_spaces_ : capacity;
            std::memset(buffer, ' ', n);
            pending_spaces_ -= n;
            r.bytes = n;
            return r;
        }
        if (at_newline_ || (pos_ == len_ && !fill())) {
            r.eof = 1;
            r.error_code = in_.failed() ? EIO : 0;
            return r;
        }
        size_t n = len_ - pos_ < capacity ? len_ - pos_ : capacity;
        if (const void *nl = std::memchr(window_ + pos_, '\n', n)) {
            n = static_cast<size_t>(static_cast<const unsigned char *>(nl) - (window_ + pos_));
            at_newline_ = true; // the newline stays in the window for skip_rest_of_line
            r.eof = 1;
        }
        std::memcpy(buffer, window_ + pos_, n);
        pos_ += n;
        r.bytes = n;
        return r;
    }

    input &in_;
    unsigned char window_[64 * 1024];
    size_t start_ = 0; // where the current line begins, its leading blanks included
    size_t pos_ = 0;
    size_t len_ = 0;
    uint64_t pending_spaces_ = 0;
    uint64_t dropped_ = 0;
    bool at_newline_ = false;
};

int validate_whole(tamsel_runtime *runtime, input &in, const limits &l) {
    tamsel_error error;
    tamsel_status st = tamsel_validate_value_reader(runtime, input::reader, &in, &error);
    if (st == TAMSEL_STATUS_OK) return exit_ok;
    const int code = report_failure(in, nullptr, st, error, l);
    // A second value that starts a line is most likely JSON Lines read without --lines.
    if (!in.failed() && error.line > 1 && error.column == 1 &&
        std::strcmp(error.message, "visited JSON must contain exactly one value") == 0)
        std::fputs("tamsel validate: one JSON value per line? Check JSON Lines with --lines.\n",
                   stderr);
    return code;
}

int validate_lines(tamsel_runtime *runtime, input &in, const limits &l) {
    line_splitter lines(in);
    uint64_t line = 1;
    int result = exit_ok;
    while (lines.next_line(&line)) {
        tamsel_error error;
        tamsel_status st = lines.validate(runtime, &error);
        if (in.failed()) break;
        if (st != TAMSEL_STATUS_OK) {
            if (st != TAMSEL_STATUS_INVALID_JSON && st != TAMSEL_STATUS_OVERFLOW)
                return report_failure(in, nullptr, st, error, l);
            error.column += static_cast<size_t>(lines.dropped_blanks());
            in.report_error(error, l, static_cast<size_t>(line));
            result = exit_invalid;
        }
        lines.skip_rest_of_line();
        ++line;
    }
    if (in.failed()) {
        in.report_failure();
        return exit_usage;
    }
    return result;
}

} // namespace

int cmd_validate(int argc, char **argv) {
    static const option options[] = {{"lines", no_argument, nullptr, 'l'},
                                     TOOL_COMMON_OPTIONS,
                                     TOOL_UTF8_OPTION,
                                     {nullptr, 0, nullptr, 0}};
    limits l;
    l.utf8_check = true;
    bool lines = false;
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        if (opt == 'l') {
            lines = true;
            continue;
        }
        int code = common_option("validate", validate_help, opt, argc, argv, &l);
        if (code >= 0) return code;
    }
    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;
    int result = exit_ok;
    int i = optind;
    do {
        input in;
        int code = exit_usage;
        if (in.open(i < argc ? argv[i] : nullptr))
            code = lines ? validate_lines(runtime, in, l) : validate_whole(runtime, in, l);
        if (code > result) result = code;
    } while (++i < argc);
    tamsel_free(runtime);
    return result;
}

} // namespace tool
