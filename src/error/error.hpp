// BufrError: the one error type of the decoder, and Result<T>, the value-or-error
// type that every fallible core operation returns. Nothing in the core throws;
// only the Python binding layer turns a BufrError into an exception.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvane {

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
};

// Each kind carries at most two numbers and, for Table and Io, a text. The
// factory functions below are the only way to make one, so that the payload of
// a kind is always the one its display text needs.
class BufrError {
public:
    static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
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
    static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
    static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
    static BufrError sequence_not_found(std::uint32_t code) {
        return BufrError(ErrorKind::SequenceNotFound, code);
    }
    static BufrError incomplete_delayed_replication(std::uint32_t code) {
        return BufrError(ErrorKind::IncompleteDelayedReplication, code);
    }
    static BufrError unsupported_replication(std::uint32_t code) {
        return BufrError(ErrorKind::UnsupportedReplication, code);
    }
    static BufrError element_not_found(std::uint32_t code) {
        return BufrError(ErrorKind::ElementNotFound, code);
    }
    static BufrError table(std::string text) {
        BufrError e(ErrorKind::Table);
        e.text_ = std::move(text);
        return e;
    }
    // An operating-system error: rendered as "<strerror> (os error N)".
    static BufrError io_errno(int err);
    // An I/O error that carries its own message, rendered as that message.
    static BufrError io_message(std::string message) {
        BufrError e(ErrorKind::Io);
        e.text_ = std::move(message);
        return e;
    }

    ErrorKind kind() const noexcept { return kind_; }
    std::uint64_t first() const noexcept { return a_; }
    std::uint64_t second() const noexcept { return b_; }
    // The free text of Table, or the rendered I/O error of Io.
    const std::string& text() const noexcept { return text_; }

    // The display text; total, never fails.
    std::string display() const;

private:
    explicit BufrError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0)
        : kind_(kind), a_(a), b_(b) {}

    ErrorKind kind_;
    std::uint64_t a_;
    std::uint64_t b_;
    std::string text_;
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
