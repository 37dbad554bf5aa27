// The buffer reader read in place: chunks handed out as tamsel_buffer_reader_read would hand
// them out, without the copy, and the unconsumed rest of a chunk held between calls.
#include "io/internal.hpp"

#include <algorithm>

namespace tamsel::io {

void in_place_reads::bind(tamsel_reader reader, void *user, size_t chunk) noexcept {
    *this = in_place_reads{};
    if (reader == tamsel_buffer_reader_read && user) {
        reader_ = static_cast<tamsel_buffer_reader *>(user);
        chunk_ = chunk;
    }
}

bool in_place_reads::refill(const unsigned char *&win, size_t &pos, size_t &end, size_t &avail,
                            bool *eof) noexcept {
    active_ = false;
    if (!reader_ || !reader_->data || reader_->pos >= reader_->len) return false;
    const size_t at = reader_->pos;
    const size_t n = std::min(reader_->len - at, chunk_);
    win = static_cast<const unsigned char *>(reader_->data);
    pos = at;
    end = at + n;
    avail = reader_->len;
    reader_->pos = end;
    *eof = end >= reader_->len;
    active_ = true;
    return true;
}

void in_place_reads::cover(size_t pos, size_t &end, bool *eof) noexcept {
    if (pos <= end) return;
    const size_t chunks = (pos - end - 1) / chunk_ + 1;
    end = std::min(end + chunks * chunk_, reader_->len);
    reader_->pos = end;
    *eof = end >= reader_->len;
}

void in_place_reads::hold(unsigned char *own, const unsigned char *&win, size_t &pos, size_t &end,
                          size_t &avail) noexcept {
    active_ = false;
    const size_t n = end - pos;
    if (n) std::memcpy(own, win + pos, n);
    held_ = true;
    data_ = reader_->data;
    len_ = reader_->len;
    handed_ = reader_->pos;
    from_ = pos;
    win = own;
    pos = 0;
    end = avail = n;
}

void in_place_reads::take_back(const unsigned char *&win, size_t &pos, size_t &end,
                               size_t &avail) noexcept {
    held_ = false;
    // Bytes the stream holds and a reader with bytes left: the same record, the same bytes.
    if (pos >= end || reader_->data != data_ || reader_->len != len_ || reader_->pos != handed_ ||
        handed_ >= len_)
        return;
    const auto *bytes = static_cast<const unsigned char *>(data_);
    if (std::memcmp(win + pos, bytes + from_ + pos, end - pos) != 0) return;
    win = bytes;
    pos += from_;
    end += from_;
    avail = len_;
    active_ = true;
}

} // namespace tamsel::io
