// A reader of delimited text records, shared by the ecCodes element table
// (| separated, # comments, no header) and the WMO CSV files (comma separated,
// a header row, no comments). Fields may be double-quoted, with "" for a quote
// and separators and line ends taken literally inside; CR, LF and CRLF end a
// record; empty lines are no records. Every record must have as many fields
// as the first (or, where the dialect makes a tail of fields optional, both
// must reach that tail) and be valid UTF-8. All failures are Table errors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace korvane {

struct RecordDialect {
    char separator = ',';
    char comment = '\0';      // a line starting with it is skipped; '\0' for none
    bool has_header = false;  // the first record only sets the field count
    // Records of at least this many fields agree whatever their counts: the
    // fields after it are optional. 0 when every record must match exactly.
    std::size_t optional_after = 0;
};

class RecordReader {
public:
    // Opens `path`; failure is a Table error with the operating system's text.
    static Result<RecordReader> open(const std::string& path, RecordDialect dialect);

    RecordReader(RecordReader&& other) noexcept;
    RecordReader& operator=(RecordReader&&) = delete;
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;
    ~RecordReader();

    // Reads the next data record: true when one was read, false at the end.
    Result<bool> next();

    std::size_t field_count() const noexcept { return ends_.size(); }
    // The line on which the current record starts (from 1).
    std::uint64_t record_line() const noexcept { return record_line_; }
    // A field of the current record; valid until the next call of next().
    std::string_view field(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(data_).substr(begin, ends_[i] - begin);
    }

    static constexpr std::size_t kBufferSize = 8192;

private:
    RecordReader(int fd, RecordDialect dialect, std::unique_ptr<char[]> buf) noexcept;

    static constexpr int kEnd = -1;
    static constexpr int kFailed = -2;

    // The next byte, kEnd at the end of the file or kFailed on a read error.
    int peek();
    // Consumes the byte that peek() returned, counting line ends.
    void advance() noexcept;
    bool fill();
    // The number of bytes at `p` (at most n) before a separator or line end.
    std::size_t field_run(const char* p, std::size_t n) const noexcept;

    // Reads one record of any kind (header or data) into data_/ends_.
    Result<bool> read_record();
    Result<void> check_record();
    // True when a record of n fields and the first record both have every
    // field that the dialect requires.
    bool reaches_optional_tail(std::size_t n) const noexcept {
        const std::size_t tail = dialect_.optional_after;
        return tail != 0 && n >= tail && expected_fields_ >= tail;
    }

    int fd_;
    RecordDialect dialect_;
    std::array<bool, 256> ends_field_;  // bytes that end an unquoted run
    std::unique_ptr<char[]> buf_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool at_end_ = false;
    int read_errno_ = 0;

    std::uint64_t offset_ = 0;  // bytes consumed
    std::uint64_t line_ = 1;    // line of the next byte
    bool last_cr_ = false;      // the last byte consumed was a CR

    std::uint64_t records_ = 0;  // records read, header included
    std::uint64_t record_index_ = 0;
    std::uint64_t record_line_ = 0;
    std::uint64_t record_byte_ = 0;
    std::size_t expected_fields_ = 0;
    bool have_expected_ = false;
    bool header_done_ = false;

    std::string data_;
    std::vector<std::size_t> ends_;
};

}  // namespace korvane
