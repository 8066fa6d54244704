#include "tables/record_reader.hpp"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tables/files.hpp"
#include "tables/text.hpp"

namespace korvane {

namespace {

// True when no byte has its high bit set; eight bytes at a time.
bool is_ascii(std::string_view s) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080u) return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
    return true;
}

}  // namespace

std::size_t RecordReader::field_run(const char* p, std::size_t n) const noexcept {
    // Eight bytes at a time: a byte equal to the separator, CR or LF makes the
    // word's XOR with that byte repeated have a zero byte. The lowest flagged
    // byte of the zero-byte test is exact on a little-endian load.
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    const std::uint64_t sep = kOnes * static_cast<unsigned char>(dialect_.separator);
    const std::uint64_t cr = kOnes * '\r';
    const std::uint64_t lf = kOnes * '\n';
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t a = w ^ sep, b = w ^ cr, c = w ^ lf;
            const std::uint64_t hit = ((a - kOnes) & ~a) | ((b - kOnes) & ~b) | ((c - kOnes) & ~c);
            if (hit & kHigh) return i + static_cast<std::size_t>(std::countr_zero(hit & kHigh) / 8);
        }
    }
    while (i < n && !ends_field_[static_cast<unsigned char>(p[i])]) ++i;
    return i;
}

Result<RecordReader> RecordReader::open(const std::string& path, RecordDialect dialect) {
    // The buffer first: should it fail to allocate, no descriptor is left open.
    std::unique_ptr<char[]> buf(new char[kBufferSize]);
    int err = 0;
    const int fd = open_for_reading(path, err);
    if (fd < 0) return BufrError::table(open_error_text(err));
    return RecordReader(fd, dialect, std::move(buf));
}

RecordReader::RecordReader(int fd, RecordDialect dialect, std::unique_ptr<char[]> buf) noexcept
    : fd_(fd), dialect_(dialect), buf_(std::move(buf)) {
    ends_field_.fill(false);
    ends_field_[static_cast<unsigned char>(dialect.separator)] = true;
    ends_field_['\r'] = true;
    ends_field_['\n'] = true;
}

RecordReader::RecordReader(RecordReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      dialect_(other.dialect_),
      ends_field_(other.ends_field_),
      buf_(std::move(other.buf_)),
      pos_(other.pos_),
      len_(other.len_),
      at_end_(other.at_end_),
      read_errno_(other.read_errno_),
      offset_(other.offset_),
      line_(other.line_),
      last_cr_(other.last_cr_),
      records_(other.records_),
      record_index_(other.record_index_),
      record_line_(other.record_line_),
      record_byte_(other.record_byte_),
      expected_fields_(other.expected_fields_),
      have_expected_(other.have_expected_),
      header_done_(other.header_done_),
      data_(std::move(other.data_)),
      ends_(std::move(other.ends_)) {}

RecordReader::~RecordReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool RecordReader::fill() {
    if (at_end_ || read_errno_ != 0) return false;
    for (;;) {
        const ssize_t n = ::read(fd_, buf_.get(), kBufferSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            read_errno_ = errno;
            return false;
        }
        if (n == 0) {
            at_end_ = true;
            return false;
        }
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
        return true;
    }
}

inline int RecordReader::peek() {
    if (pos_ == len_ && !fill()) return read_errno_ != 0 ? kFailed : kEnd;
    return static_cast<unsigned char>(buf_[pos_]);
}

inline void RecordReader::advance() noexcept {
    const char c = buf_[pos_++];
    ++offset_;
    // CR, LF and CRLF each end one line.
    if (c == '\r' || (c == '\n' && !last_cr_)) ++line_;
    last_cr_ = c == '\r';
}

Result<bool> RecordReader::read_record() {
    data_.clear();
    ends_.clear();
    const char sep = dialect_.separator;
    const char comment = dialect_.comment;

    // Empty lines and comment lines lie between records.
    for (;;) {
        const int c = peek();
        if (c == kFailed) return BufrError::table(os_error_text(read_errno_));
        if (c == kEnd) return false;
        if (c == '\r' || c == '\n') {
            advance();
            continue;
        }
        if (comment != '\0' && c == static_cast<unsigned char>(comment)) {
            for (;;) {
                const int d = peek();
                if (d == kFailed) return BufrError::table(os_error_text(read_errno_));
                if (d == kEnd || d == '\r' || d == '\n') break;
                advance();
            }
            continue;
        }
        break;
    }

    record_index_ = records_++;
    record_line_ = line_;
    record_byte_ = offset_;

    enum class State { StartField, InField, InQuoted, QuoteInQuoted };
    State st = State::StartField;
    for (;;) {
        const int c = peek();
        if (c == kFailed) return BufrError::table(os_error_text(read_errno_));
        if (c == kEnd) {
            ends_.push_back(data_.size());
            return true;
        }
        switch (st) {
        case State::StartField:
            if (c == '"') {
                advance();
                st = State::InQuoted;
            } else {
                st = State::InField;
            }
            break;
        case State::InField:
            if (c == static_cast<unsigned char>(sep)) {
                advance();
                ends_.push_back(data_.size());
                st = State::StartField;
            } else if (c == '\r' || c == '\n') {
                advance();
                ends_.push_back(data_.size());
                return true;
            } else {
                // Take the run of ordinary bytes in the buffer at once.
                const std::size_t end = pos_ + 1 + field_run(buf_.get() + pos_ + 1, len_ - pos_ - 1);
                data_.append(buf_.get() + pos_, end - pos_);
                offset_ += end - pos_;
                pos_ = end;
                last_cr_ = false;
            }
            break;
        case State::InQuoted:
            if (c == '"') {
                advance();
                st = State::QuoteInQuoted;
            } else {
                // Take everything up to the next quote in the buffer at once;
                // line ends inside a quoted field still count as lines.
                const char* start = buf_.get() + pos_;
                const char* limit = buf_.get() + len_;
                const void* quote = std::memchr(start, '"', static_cast<std::size_t>(limit - start));
                const char* stop = quote != nullptr ? static_cast<const char*>(quote) : limit;
                for (const char* q = start; q < stop; ++q) {
                    if (*q == '\r' || (*q == '\n' && !last_cr_)) ++line_;
                    last_cr_ = *q == '\r';
                }
                const auto n = static_cast<std::size_t>(stop - start);
                data_.append(start, n);
                offset_ += n;
                pos_ += n;
            }
            break;
        case State::QuoteInQuoted:
            if (c == '"') {
                advance();
                data_ += '"';
                st = State::InQuoted;
            } else if (c == static_cast<unsigned char>(sep)) {
                advance();
                ends_.push_back(data_.size());
                st = State::StartField;
            } else if (c == '\r' || c == '\n') {
                advance();
                ends_.push_back(data_.size());
                return true;
            } else {
                advance();
                data_ += static_cast<char>(c);
                st = State::InField;
            }
            break;
        }
    }
}

Result<void> RecordReader::check_record() {
    const std::size_t n = ends_.size();
    if (!have_expected_) {
        expected_fields_ = n;
        have_expected_ = true;
    } else if (n != expected_fields_ && !reaches_optional_tail(n)) {
        return BufrError::table("CSV error: record " + std::to_string(record_index_) +
                                " (line: " + std::to_string(record_line_) +
                                ", byte: " + std::to_string(record_byte_) + "): found record with " +
                                std::to_string(n) + " fields, but the previous record has " +
                                std::to_string(expected_fields_) + " fields");
    }
    // Fields are checked one by one: the field text is stored without its
    // separators, so two invalid halves could look valid when joined.
    if (is_ascii(data_)) return Ok{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view f = field(i);
        const std::size_t good = utf8_valid_up_to(f);
        if (good == f.size()) continue;
        const std::string fi = std::to_string(i);
        return BufrError::table("CSV parse error: record " + std::to_string(record_index_) +
                                " (line " + std::to_string(record_line_) + ", field: " + fi +
                                ", byte: " + std::to_string(record_byte_) +
                                "): invalid utf-8: invalid UTF-8 in field " + fi + " near byte index " +
                                std::to_string(good));
    }
    return Ok{};
}

Result<bool> RecordReader::next() {
    if (dialect_.has_header && !header_done_) {
        header_done_ = true;
        KORVANE_TRY(const bool got, read_record());
        if (!got) return false;
        KORVANE_TRY_VOID(check_record());
    }
    KORVANE_TRY(const bool got, read_record());
    if (!got) return false;
    KORVANE_TRY_VOID(check_record());
    return true;
}

}  // namespace korvane
