// BufrError: the one error type of the decoder, and Result<T>, the value-or-error
// type that every fallible core operation returns. Nothing in the core throws;
// only the Python binding layer turns a BufrError into an exception.
//
// Every error has two texts. display() is the text of the per-value module
// (korvane._korvane), whose kinds and texts are fixed: the kinds after Io
// name a cause that it folds into Table, and display() gives them the Table
// text they have always had there. describe() is the text of everything
// else (the reader, the tables of observations, the command): it names the
// true cause, with the descriptor, bit position, file and line where known.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvane {

// A stable enumeration: kinds are only ever added at the end.
enum class ErrorKind : std::uint8_t {
    TooShort,
    MissingMarker,
    UnsupportedEdition,
    LengthMismatch,
    SectionTruncated,
    BadTerminator,
    OddDescriptorArea,
    SequenceNotFound,
    IncompleteDelayedReplication,
    UnsupportedReplication,
    ElementNotFound,
    Table,
    Io,
    // The input ends inside a message: it declares more bytes than remain.
    MessageCut,
    // Section 5 ("7777") does not end the message at its declared length.
    LengthsDisagree,
    // The data section ends before the field being read.
    DataEnded,
    // A descriptor, operator or coding the decoder does not read.
    Unsupported,
    // A bound on the work of one decode, or the caller's item budget.
    LimitExceeded,
    // A table file that cannot be read or holds a bad entry.
    TableFile,
    // The caller asked to stop (Ctrl-C).
    Interrupted,
    // A number field wider than 64 bits (a table's width, or one widened by
    // operator 2 01 YYY).
    FieldTooWide,
};

// Each kind carries the numbers, texts and path its texts need. The factory
// functions below are the only way to make one.
class BufrError {
public:
    static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
    // A message whose section 0 declares `declared` bytes, fewer than its own 8.
    static BufrError declares_too_few(std::uint64_t declared) {
        BufrError e(ErrorKind::TooShort, declared);
        e.known_ = true;
        return e;
    }
    static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
    static BufrError unsupported_edition(std::uint8_t edition) {
        return BufrError(ErrorKind::UnsupportedEdition, edition);
    }
    static BufrError length_mismatch(std::uint64_t declared, std::uint64_t actual) {
        return BufrError(ErrorKind::LengthMismatch, declared, actual);
    }
    static BufrError section_truncated(std::uint8_t section, std::uint64_t offset) {
        return BufrError(ErrorKind::SectionTruncated, section, offset);
    }
    // A section that declares `declared` bytes, fewer than the `minimum` of its fixed part.
    static BufrError section_too_short(std::uint8_t section, std::uint64_t offset, std::uint64_t declared,
                                       std::uint16_t minimum) {
        BufrError e(ErrorKind::SectionTruncated, section, offset);
        e.at_ = declared;
        e.width_ = minimum;
        e.known_ = true;
        return e;
    }
    static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
    static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
    static BufrError sequence_not_found(std::uint32_t code) {
        return BufrError(ErrorKind::SequenceNotFound, code);
    }
    // A replication (1 XX YYY) with fewer descriptors after it in its list
    // (`following`) than it takes: XX, and the factor first when delayed.
    static BufrError incomplete_delayed_replication(std::uint32_t code, std::uint64_t following) {
        BufrError e(ErrorKind::IncompleteDelayedReplication, code, following);
        e.known_ = true;
        return e;
    }
    static BufrError unsupported_replication(std::uint32_t code, std::uint64_t following) {
        BufrError e(ErrorKind::UnsupportedReplication, code, following);
        e.known_ = true;
        return e;
    }
    static BufrError element_not_found(std::uint32_t code) {
        return BufrError(ErrorKind::ElementNotFound, code);
    }
    static BufrError table(std::string text) { return with_text(ErrorKind::Table, std::move(text)); }
    // An operating-system error: rendered as "<strerror> (os error N)".
    static BufrError io_errno(int err);
    // An I/O error that carries its own message, rendered as that message.
    static BufrError io_message(std::string message) { return with_text(ErrorKind::Io, std::move(message)); }
    // The message at `offset` declares `declared` bytes; `available` remain from its start.
    static BufrError message_cut(std::uint64_t offset, std::uint64_t declared, std::uint64_t available) {
        BufrError e(ErrorKind::MessageCut, declared, available);
        e.at_ = offset;
        return e;
    }
    // The message declares `declared` bytes; its sections and "7777" end after `sections`.
    static BufrError lengths_disagree(std::uint64_t declared, std::uint64_t sections) {
        return BufrError(ErrorKind::LengthsDisagree, declared, sections);
    }
    // A field of `width` bits at bit `position` of a data section of `bits` bits.
    static BufrError data_ended(std::uint64_t position, std::uint16_t width, std::uint64_t bits,
                                std::uint32_t descriptor) {
        BufrError e(ErrorKind::DataEnded, position, bits);
        e.width_ = width;
        e.code_ = descriptor;
        return e;
    }
    static BufrError unsupported(std::string text) { return with_text(ErrorKind::Unsupported, std::move(text)); }
    static BufrError limit_exceeded(std::string text) {
        return with_text(ErrorKind::LimitExceeded, std::move(text));
    }
    static BufrError interrupted() { return with_text(ErrorKind::Interrupted, "decoding was interrupted"); }
    // A number field of `width` bits, more than 64, at bit `position`
    // (descriptor `descriptor`, when known).
    static BufrError field_too_wide(std::uint16_t width, std::uint64_t position, std::uint32_t descriptor) {
        BufrError e(ErrorKind::FieldTooWide, position);
        e.width_ = width;
        e.code_ = descriptor;
        e.text_ = "cannot read " + std::to_string(width) + " bits into u64";
        return e;
    }

    // A Table error met while reading the file at `path` (line `line`, or 0
    // when the failure is not on one line) becomes a TableFile error; an Io
    // error keeps its kind and learns the path. Other kinds are unchanged.
    BufrError at_file(std::string path, std::uint64_t line = 0) &&;
    // The table directories the descriptor was looked for in (not-found kinds).
    BufrError in_tables(std::string directories) &&;
    // The descriptor being read when the data section ended, unless known.
    BufrError reading(std::uint32_t descriptor) && {
        if ((kind_ == ErrorKind::DataEnded || kind_ == ErrorKind::FieldTooWide) && code_ == 0) code_ = descriptor;
        return std::move(*this);
    }

    ErrorKind kind() const noexcept { return kind_; }
    std::uint64_t first() const noexcept { return a_; }
    std::uint64_t second() const noexcept { return b_; }
    // The message's offset in the input (MessageCut).
    std::uint64_t offset() const noexcept { return at_; }
    // The free text of the text-carrying kinds, or the rendered I/O error of Io.
    const std::string& text() const noexcept { return text_; }
    // The file (TableFile, Io) or the table directories (not-found kinds).
    const std::string& path() const noexcept { return path_; }

    // The text of the per-value module; total, never fails.
    std::string display() const;
    // The text of the reader and the command: the true cause, in plain words.
    std::string describe() const;

private:
    explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0) : kind_(kind), a_(a), b_(b) {}
    static BufrError with_text(ErrorKind kind, std::string text) {
        BufrError e(kind);
        e.text_ = std::move(text);
        return e;
    }

    ErrorKind kind_;
    std::uint16_t width_ = 0;
    std::uint32_t code_ = 0;
    std::uint64_t a_;
    std::uint64_t b_;
    std::uint64_t at_ = 0;
    // Whether the factory recorded the numbers describe() adds (the per-value
    // module's texts never show them).
    bool known_ = false;
    std::string text_;
    std::string path_;
};

// "<description> (os error N)", the standard rendering of an errno value.
std::string os_error_text(int err);

// A descriptor code written with at least six digits, zero-filled (1001 -> 001001).
std::string padded_code(std::uint32_t code);

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(BufrError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    BufrError& error() & { return std::get<1>(v_); }
    BufrError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, BufrError> v_;
};

struct Ok {};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Ok) {}
    Result(BufrError error) : err_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return err_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    BufrError& error() & { return std::get<1>(err_); }
    BufrError&& error() && { return std::get<1>(std::move(err_)); }

private:
    std::variant<std::monostate, BufrError> err_;
};

}  // namespace korvane

// Propagate the error of a Result expression, or bind its value.
#define KORVANE_CONCAT_INNER(a, b) a##b
#define KORVANE_CONCAT(a, b) KORVANE_CONCAT_INNER(a, b)
#define KORVANE_TRY_VOID(expr)                                    \
    do {                                                          \
        auto korvane_try_r_ = (expr);                             \
        if (!korvane_try_r_.ok()) return std::move(korvane_try_r_).error(); \
    } while (0)
#define KORVANE_TRY_IMPL(tmp, decl, expr)                         \
    auto tmp = (expr);                                            \
    if (!tmp.ok()) return std::move(tmp).error();                 \
    decl = std::move(tmp).value()
#define KORVANE_TRY(decl, expr) KORVANE_TRY_IMPL(KORVANE_CONCAT(korvane_try_, __LINE__), decl, expr)
