// Encoding: the leaf writers of the shared descriptor walk (data/walker.hpp)
// for uncompressed and compressed data, the inverse of the leaf readers of
// walker.cpp. Uncompressed data hold one subset after another, so the walk
// runs once per subset and each leaf writes one item. Compressed data hold,
// for every element, a reference R0, an increment width NBINC and one
// increment per subset, so the walk runs once and each leaf writes the
// column of one item position across the subsets.
//
// A value's bits are the bits it was decoded from, when the items carry them
// and they decode to the value under the coding in force; otherwise
// value * 10^scale - reference, rounded to the nearest integer and checked
// against the width (all bits set is left to missing values). Whatever the
// walk returns to steer itself (replication counts, data present indicators
// that shape bitmaps) is the value that decoding the written bits gives, so
// that the walk takes the same path as it will when the output is decoded.
#include "data/encode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "bitstream/bit_writer.hpp"
#include "data/decoded_value.hpp"
#include "data/walker.hpp"
#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {

constexpr std::uint16_t kIncrementWidthBits = 6;
constexpr std::uint16_t kMaxIncrementWidth = 63;

std::string code_text(std::uint32_t code) { return padded_code(code); }

// The largest bits a field of `width` bits holds for a value: all bits set
// means missing where missing values exist.
std::uint64_t max_bits(std::uint16_t width, bool missing_values) {
    if (width >= 64) return UINT64_MAX;
    const std::uint64_t ones = (std::uint64_t{1} << width) - 1;
    return missing_values ? ones - 1 : ones;  // width 0 with missing values: none (wraps to all ones, never used)
}

// The items, as the writers read them.
class Items {
public:
    explicit Items(const ItemArrays& a) : a_(a) {}

    std::size_t subsets() const noexcept { return a_.subset_bounds.size() - 1; }
    std::uint64_t begin(std::size_t s) const noexcept { return a_.subset_bounds[s]; }
    std::uint64_t end(std::size_t s) const noexcept { return a_.subset_bounds[s + 1]; }
    std::uint64_t size() const noexcept { return a_.value.size(); }

    double value(std::uint64_t i) const noexcept { return a_.value[i]; }
    bool missing(std::uint64_t i) const noexcept {
        return (!a_.missing.empty() && a_.missing[i] != 0) || std::isnan(a_.value[i]);
    }
    bool raw(std::uint64_t i, std::uint64_t& out) const noexcept {
        if (a_.raw.empty()) return false;
        out = a_.raw[i];
        return true;
    }
    bool code_matches(std::uint64_t i, std::uint32_t code) const noexcept {
        return a_.code.empty() || a_.code[i] == code;
    }
    std::uint32_t code(std::uint64_t i) const noexcept { return a_.code[i]; }
    // Whether the items say which of them are texts (a text array).
    bool texts_marked() const noexcept { return !a_.text.empty(); }
    // Whether the item was given as a text (known only with a text array).
    bool given_text(std::uint64_t i) const noexcept { return !a_.text.empty() && a_.text[i] != kNoText; }

    // The text of a text item; none when it is missing.
    Result<std::optional<std::string_view>> text(std::uint64_t i) const {
        if (!a_.missing.empty() && a_.missing[i] != 0) return std::optional<std::string_view>();
        const std::uint64_t id = !a_.text.empty() ? a_.text[i] : (!a_.raw.empty() ? a_.raw[i] : kNoText);
        if (id == kNoText) return std::optional<std::string_view>();
        if (id >= a_.texts.size())
            return BufrError::table(where(i) + ": text " + std::to_string(id) + " is not among the " +
                                    std::to_string(a_.texts.size()) + " texts given");
        return std::optional<std::string_view>(a_.texts[static_cast<std::size_t>(id)]);
    }

    // "subset 2, item 17" (both counted from 0).
    std::string where(std::uint64_t i) const {
        const auto it = std::upper_bound(a_.subset_bounds.begin(), a_.subset_bounds.end(), i);
        const auto s = static_cast<std::size_t>(it - a_.subset_bounds.begin()) - 1;
        return "subset " + std::to_string(s) + ", item " + std::to_string(i - a_.subset_bounds[s]);
    }

    // Checks that the arrays agree in length and the bounds cover them.
    Result<void> check() const {
        const auto& b = a_.subset_bounds;
        if (b.empty()) return BufrError::table("subset bounds need at least one entry");
        if (b.size() - 1 > 65535)
            return BufrError::table(std::to_string(b.size() - 1) + " subsets do not fit a message (65535 do)");
        if (b.front() != 0 || b.back() != a_.value.size())
            return BufrError::table("subset bounds must run from 0 to the number of items (" +
                                    std::to_string(a_.value.size()) + ")");
        for (std::size_t s = 1; s < b.size(); ++s)
            if (b[s] < b[s - 1]) return BufrError::table("subset bounds must not decrease");
        const std::size_t n = a_.value.size();
        if ((!a_.missing.empty() && a_.missing.size() != n) || (!a_.raw.empty() && a_.raw.size() != n) ||
            (!a_.code.empty() && a_.code.size() != n) || (!a_.text.empty() && a_.text.size() != n))
            return BufrError::table("the item arrays differ in length");
        return Ok{};
    }

    // Bits enough for any output of these items: the bound of the walk.
    std::uint64_t bit_budget() const noexcept {
        std::uint64_t text_bytes = 0;
        for (const std::string_view t : a_.texts) text_bytes += t.size();
        return 64 * (a_.value.size() + a_.references.size() + 1) + 8 * text_bytes;
    }

    std::span<const std::int64_t> references() const noexcept { return a_.references; }

private:
    const ItemArrays& a_;
};

// The bits of item i's numeric value under coding `c` (nullopt: missing).
// `missing_values`: an element outside class 31, whose all-ones bits mean
// missing. `ones_value`: all bits set may be a value, as in compressed data,
// where only an increment of all ones (or R0 of all ones with no
// increments) is missing.
Result<std::optional<std::uint64_t>> numeric_bits(const Items& items, std::uint64_t i, std::uint32_t code,
                                                  const NumericCoding& c, double divisor, bool missing_values,
                                                  bool ones_value = false) {
    if (c.width > 64)
        return BufrError::table(items.where(i) + ": element " + code_text(code) + " is " + std::to_string(c.width) +
                                " bits wide under the operators in force; at most 64 bits can be written");
    const double v = items.value(i);
    if (items.missing(i)) {
        if (!missing_values)
            return BufrError::table(items.where(i) + ": element " + code_text(code) +
                                    " cannot be missing (a replication count or data present indicator "
                                    "needs a value)");
        if (c.width == 64)
            return BufrError::table(items.where(i) + ": element " + code_text(code) +
                                    " is 64 bits wide and cannot be missing");
        return std::optional<std::uint64_t>();
    }
    if (items.given_text(i))
        return BufrError::table(items.where(i) + ": element " + code_text(code) + " needs a number, not a text");
    const bool none = missing_values && c.width == 0;
    const std::uint64_t max = max_bits(c.width, missing_values && !ones_value);
    std::uint64_t raw = 0;
    if (!none && items.raw(i, raw) && raw <= max && scaled_value(raw, c.reference, divisor) == v)
        return std::optional<std::uint64_t>(raw);
    // value * 10^scale, formed as the decoder divides: by 10^scale, or by
    // multiplying with 10^-scale for negative scales.
    const double scaled = c.scale >= 0 ? v * power_of_ten(c.scale) : v / power_of_ten(-c.scale);
    const double rounded = std::round(scaled);
    constexpr double kLimit = 170141183460469231731687303715884105728.0 / 4;  // 2^125
    if (!none && std::isfinite(rounded) && std::fabs(rounded) < kLimit) {
        const Int128 bits = static_cast<Int128>(rounded) - c.reference;
        if (bits >= 0 && bits <= static_cast<Int128>(max)) return std::optional<std::uint64_t>(static_cast<std::uint64_t>(bits));
    }
    std::string range;
    if (none) {
        range = "a width of 0 bits holds only missing values";
    } else {
        range = std::to_string(c.width) + " bits with scale " + std::to_string(c.scale) + " and reference " +
                std::to_string(static_cast<long long>(c.reference)) + " hold " +
                float_text(scaled_value(0, c.reference, divisor)) + " to " +
                float_text(scaled_value(max, c.reference, divisor));
    }
    return BufrError::table(items.where(i) + ": value " + float_text(v) + " of element " + code_text(code) +
                            " does not fit its coding: " + range);
}

// The bits of an associated field or of an element unknown to the tables
// (2 06 YYY): a whole number of `width` bits, all bits set when missing.
// `raw_first`: the item's bits are used whenever it has no value (an
// unknown element decodes to bits without a value).
Result<std::uint64_t> plain_bits(const Items& items, std::uint64_t i, std::uint32_t code, std::uint16_t width,
                                 bool raw_first) {
    if (width > 64)
        return BufrError::table(items.where(i) + ": " + code_text(code) + " is " + std::to_string(width) +
                                " bits wide; at most 64 bits can be written");
    const std::uint64_t ones = width >= 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1;
    const double v = items.value(i);
    std::uint64_t raw = 0;
    const bool has_raw = items.raw(i, raw) && raw <= ones;
    if (raw_first) {
        if (std::isnan(v)) return has_raw ? raw : ones;
    } else {
        if (items.missing(i)) return ones;
        if (has_raw && static_cast<double>(raw) == v) return raw;
    }
    if (v >= 0 && v <= static_cast<double>(ones) && v == std::floor(v) && v < 18446744073709551616.0)
        return static_cast<std::uint64_t>(v);
    return BufrError::table(items.where(i) + ": value " + float_text(v) + " of " + code_text(code) +
                            " is not a whole number of " + std::to_string(width) + " bits");
}

// The reference values of 2 03 YYY, taken in order.
class References {
public:
    explicit References(std::span<const std::int64_t> values) : values_(values) {}

    // The bits of the next reference value for element `code`: the leftmost
    // of `width` bits is the sign (1 negative), the rest the magnitude.
    Result<std::uint64_t> next(std::uint32_t code, std::uint8_t width) {
        if (next_ >= values_.size())
            return BufrError::table("operator 2 03 defines a new reference value for " + code_text(code) + ", but " +
                                    std::to_string(values_.size()) + " reference values are given and all are used");
        const std::int64_t v = values_[next_++];
        if (width > 64)
            return BufrError::table("new reference values of " + std::to_string(width) +
                                    " bits cannot be written (at most 64)");
        const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        if (width == 0 || (width < 64 && magnitude >> (width - 1) != 0) || (width == 64 && magnitude >> 63 != 0))
            return BufrError::table("new reference value " + std::to_string(v) + " of " + code_text(code) +
                                    " does not fit " + std::to_string(width) + " bits (sign and magnitude)");
        const std::uint64_t sign = v < 0 ? std::uint64_t{1} << (width - 1) : 0;
        return sign | magnitude;
    }

    Result<void> check_used() const {
        if (next_ != values_.size())
            return BufrError::table(std::to_string(values_.size()) + " new reference values are given, but the " +
                                    "descriptors define " + std::to_string(next_));
        return Ok{};
    }

private:
    std::span<const std::int64_t> values_;
    std::size_t next_ = 0;
};

// A text must fit its element's `width` bits.
Result<void> check_text_fits(const Items& items, std::uint64_t i, std::uint32_t code,
                             std::optional<std::string_view> text, std::uint16_t width) {
    const std::uint64_t room = (std::uint64_t{width} + 7) / 8;
    if (!text || text->size() <= room) return Ok{};
    return BufrError::table(items.where(i) + ": text \"" + std::string(*text) + "\" of " +
                            std::to_string(text->size()) + " bytes does not fit the " + std::to_string(room) +
                            " bytes of " + code_text(code));
}

// A text of `width` bits: the text, padded with spaces; all bits set when
// missing.
Result<void> write_text_field(BitWriter& out, const Items& items, std::uint64_t i, std::uint32_t code,
                              std::optional<std::string_view> text, std::uint16_t width) {
    KORVANE_TRY_VOID(check_text_fits(items, i, code, text, width));
    if (!text)
        out.ones(width);
    else
        out.write_bytes(*text, width, ' ');
    return Ok{};
}

// A text item holds a text or is missing: a number where a text belongs is an
// error (known when the items say which of them are texts).
Result<void> check_text_item(const Items& items, std::uint64_t i, std::uint32_t code) {
    if (items.texts_marked() && !items.given_text(i) && !items.missing(i))
        return BufrError::table(items.where(i) + ": " + code_text(code) + " needs a text, not a number");
    return Ok{};
}

// ---- uncompressed data: one item per leaf ------------------------------------------

class SubsetWriter {
public:
    static constexpr const char* kDepthError = "descriptor encode exceeded recursion depth";

    SubsetWriter(const Items& items, BitWriter& out, ValueCodingState& state, References& references)
        : items_(items), out_(out), state_(state), references_(references) {}

    void begin_subset(std::size_t s) {
        subset_ = s;
        cursor_ = items_.begin(s);
        end_ = items_.end(s);
    }

    Result<void> end_subset() const {
        if (cursor_ == end_) return Ok{};
        return BufrError::table("subset " + std::to_string(subset_) + " has " +
                                std::to_string(end_ - items_.begin(subset_)) + " items, but its descriptors take " +
                                std::to_string(cursor_ - items_.begin(subset_)));
    }

    std::uint64_t position() const noexcept { return cursor_; }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride* diff, bool) {
        const ElementDefinition& def = *info.def;
        KORVANE_TRY(const std::uint64_t i, take(def.code));
        if (info.character) {
            KORVANE_TRY_VOID(write_text(i, def.code, text_width(info, state_, diff)));
            return std::optional<double>();
        }
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, divisor));
        KORVANE_TRY(const std::optional<std::uint64_t> bits,
                    numeric_bits(items_, i, def.code, c, divisor, !info.class31));
        if (!bits) {
            out_.ones(c.width);
            return std::optional<double>();
        }
        out_.write(*bits, c.width);
        return std::optional<double>(scaled_value(*bits, c.reference, divisor));
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        KORVANE_TRY(const std::optional<double> value, element(info, nullptr, true));
        return replication_count(value);
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY(const std::uint64_t i, take(code));
        KORVANE_TRY(const std::uint64_t bits, plain_bits(items_, i, code, width, true));
        out_.write(bits, width);
        return Ok{};
    }

    Result<void> associated(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t i, take(kAssociatedFieldCode));
        KORVANE_TRY(const std::uint64_t bits, plain_bits(items_, i, kAssociatedFieldCode, width, false));
        out_.write(bits, width);
        return Ok{};
    }

    Result<void> placeholder(std::uint32_t code) {
        KORVANE_TRY_VOID(take(code));
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        KORVANE_TRY(const std::uint64_t i, take(code));
        return write_text(i, code, static_cast<std::uint16_t>(8u * y));
    }

    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, references_.next(code, width));
        out_.write(bits, width);
        return signed_reference(bits, width);
    }

private:
    // The next item of the subset, which the descriptors give as `code`.
    Result<std::uint64_t> take(std::uint32_t code) {
        if (cursor_ >= end_)
            return BufrError::table("subset " + std::to_string(subset_) + " has " +
                                    std::to_string(end_ - items_.begin(subset_)) +
                                    " items, but its descriptors take more: the next would be " + code_text(code));
        if (!items_.code_matches(cursor_, code))
            return BufrError::table(items_.where(cursor_) + " is " + code_text(items_.code(cursor_)) +
                                    " where the descriptors give " + code_text(code));
        return cursor_++;
    }

    Result<void> write_text(std::uint64_t i, std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY_VOID(check_text_item(items_, i, code));
        KORVANE_TRY(const std::optional<std::string_view> text, items_.text(i));
        KORVANE_TRY_VOID(write_text_field(out_, items_, i, code, text, width));
        state_.text_counter += 1;
        return Ok{};
    }

    const Items& items_;
    BitWriter& out_;
    ValueCodingState& state_;
    References& references_;
    std::size_t subset_ = 0;
    std::uint64_t cursor_ = 0;
    std::uint64_t end_ = 0;
};

// ---- compressed data: one column per leaf ------------------------------------------

class ColumnWriter {
public:
    static constexpr const char* kDepthError = "compressed descriptor encode exceeded recursion depth";

    ColumnWriter(const Items& items, BitWriter& out, ValueCodingState& state, References& references)
        : items_(items), out_(out), state_(state), references_(references), subsets_(items.subsets()),
          row_(subsets_ != 0 ? items.end(0) - items.begin(0) : 0), bits_(subsets_), missing_(subsets_) {}

    // Every subset must hold the same items.
    Result<void> check_rows() const {
        for (std::size_t s = 1; s < subsets_; ++s) {
            const std::uint64_t n = items_.end(s) - items_.begin(s);
            if (n != row_)
                return BufrError::table("compressed data hold the same items in every subset: subset 0 has " +
                                        std::to_string(row_) + " items, subset " + std::to_string(s) + " has " +
                                        std::to_string(n));
        }
        return Ok{};
    }

    Result<void> check_end() const {
        if (column_ == row_ || subsets_ == 0) return Ok{};
        return BufrError::table("every subset has " + std::to_string(row_) + " items, but the descriptors take " +
                                std::to_string(column_));
    }

    std::uint64_t position() const noexcept { return column_; }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride* diff, bool need_value) {
        const ElementDefinition& def = *info.def;
        KORVANE_TRY(const std::uint64_t col, take(def.code));
        if (info.character) {
            // Its value, should a bitmap ask for it, is the first subset's text index.
            const std::uint64_t c = state_.text_column_counter;
            const std::uint16_t width = text_width(info, state_, diff);
            KORVANE_TRY_VOID(text_column(col, def.code, width));
            if (!need_value) return std::optional<double>();
            if (subsets_ == 0) return std::optional<double>(0.0);
            return std::optional<double>(static_cast<double>((c * subsets_ + 1) * 1000 + width / 8u));
        }
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, divisor));
        for (std::size_t s = 0; s < subsets_; ++s) {
            KORVANE_TRY(const std::optional<std::uint64_t> bits,
                        numeric_bits(items_, items_.begin(s) + col, def.code, c, divisor, !info.class31, true));
            missing_[s] = bits ? 0 : 1;
            bits_[s] = bits ? *bits : 0;
        }
        KORVANE_TRY_VOID(numeric_column(def.code, c.width, !info.class31));
        if (subsets_ == 0) return std::optional<double>(0.0);
        if (missing_[0]) return std::optional<double>();
        return std::optional<double>(scaled_value(bits_[0], c.reference, divisor));
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        const std::uint32_t code = info.def->code;
        if (info.character)
            return BufrError::table("a text element (" + code_text(code) + ") cannot be a replication count");
        const std::uint64_t col = column_;
        KORVANE_TRY(const std::optional<double> first, element(info, nullptr, true));
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, nullptr, divisor));
        const std::uint64_t count = replication_count(first);
        for (std::size_t s = 1; s < subsets_; ++s) {
            const std::optional<double> v =
                missing_[s] ? std::nullopt : std::optional<double>(scaled_value(bits_[s], c.reference, divisor));
            const std::uint64_t n = replication_count(v);
            if (n != count)
                return BufrError::table("compressed data hold one replication count for every subset: " +
                                        code_text(code) + " (item " + std::to_string(col) + ") is " +
                                        std::to_string(count) + " in subset 0 and " + std::to_string(n) +
                                        " in subset " + std::to_string(s));
        }
        return count;
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY(const std::uint64_t col, take(code));
        return plain_column(col, code, width, true);
    }

    Result<void> associated(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t col, take(kAssociatedFieldCode));
        return plain_column(col, kAssociatedFieldCode, width, false);
    }

    Result<void> placeholder(std::uint32_t code) {
        KORVANE_TRY_VOID(take(code));
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        KORVANE_TRY(const std::uint64_t col, take(code));
        return text_column(col, code, static_cast<std::uint16_t>(8u * y));
    }

    // One value for every subset: R0 and NBINC 0.
    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, references_.next(code, width));
        out_.write(bits, width);
        out_.write(0, kIncrementWidthBits);
        return signed_reference(bits, width);
    }

private:
    // The next item position, which the descriptors give as `code`.
    Result<std::uint64_t> take(std::uint32_t code) {
        if (subsets_ == 0) return column_++;  // no items: the columns are written empty
        if (column_ >= row_)
            return BufrError::table("every subset has " + std::to_string(row_) +
                                    " items, but the descriptors take more: the next would be " + code_text(code));
        for (std::size_t s = 0; s < subsets_; ++s) {
            const std::uint64_t i = items_.begin(s) + column_;
            if (!items_.code_matches(i, code))
                return BufrError::table(items_.where(i) + " is " + code_text(items_.code(i)) +
                                        " where the descriptors give " + code_text(code));
        }
        return column_++;
    }

    // An associated field or an unknown element: bits without missing values.
    Result<void> plain_column(std::uint64_t col, std::uint32_t code, std::uint16_t width, bool raw_first) {
        for (std::size_t s = 0; s < subsets_; ++s) {
            KORVANE_TRY(bits_[s], plain_bits(items_, items_.begin(s) + col, code, width, raw_first));
            missing_[s] = 0;
        }
        return numeric_column(code, width, false);
    }

    // The column of bits_ (missing_ marking the missing values): R0 the
    // least value, NBINC the fewest bits that hold every difference from it
    // and, where values can be missing, leave all bits set to them.
    Result<void> numeric_column(std::uint32_t code, std::uint16_t width, bool missing_values) {
        std::uint64_t lo = UINT64_MAX;
        std::uint64_t hi = 0;
        bool any_missing = false;
        bool any_value = false;
        for (std::size_t s = 0; s < subsets_; ++s) {
            if (missing_[s]) {
                any_missing = true;
                continue;
            }
            any_value = true;
            lo = std::min(lo, bits_[s]);
            hi = std::max(hi, bits_[s]);
        }
        if (!any_value) {
            // Every subset missing: R0 all ones, no increments.
            out_.ones(width);
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        if (missing_values && width < 64 && lo == (std::uint64_t{1} << width) - 1) {
            std::size_t s = 0;
            while (missing_[s]) ++s;
            return BufrError::table(items_.where(items_.begin(s) + column_ - 1) + ": element " + code_text(code) +
                                    " has all its " + std::to_string(width) +
                                    " bits set in every subset, which compressed data read as missing");
        }
        const std::uint64_t range = hi - lo;
        std::uint16_t nbinc = 0;
        if (range != 0 || any_missing) {
            if (missing_values && range == UINT64_MAX)
                return BufrError::table("the values of " + code_text(code) +
                                        " differ by more than compressed increments can hold");
            nbinc = static_cast<std::uint16_t>(std::bit_width(missing_values ? range + 1 : range));
        }
        if (nbinc > kMaxIncrementWidth)
            return BufrError::table("the values of " + code_text(code) + " differ by " + std::to_string(range) +
                                    ", more than compressed increments of at most 63 bits can hold");
        out_.write(lo, width);
        out_.write(nbinc, kIncrementWidthBits);
        if (nbinc == 0) return Ok{};
        const std::uint64_t ones = (std::uint64_t{1} << nbinc) - 1;
        for (std::size_t s = 0; s < subsets_; ++s) out_.write(missing_[s] ? ones : bits_[s] - lo, nbinc);
        return Ok{};
    }

    // A text column of `width` bits: one text in R0 when every subset holds
    // it, else R0 of zeros and each subset's text in NBINC octets, as many as
    // the longest text has.
    Result<void> text_column(std::uint64_t col, std::uint32_t code, std::uint16_t width) {
        state_.text_column_counter += 1;
        texts_.resize(subsets_);
        bool same = true;
        for (std::size_t s = 0; s < subsets_; ++s) {
            const std::uint64_t i = items_.begin(s) + col;
            KORVANE_TRY_VOID(check_text_item(items_, i, code));
            KORVANE_TRY(texts_[s], items_.text(i));
            KORVANE_TRY_VOID(check_text_fits(items_, i, code, texts_[s], width));
            if (s != 0 && texts_[s] != texts_[0]) same = false;
        }
        if (subsets_ == 0) {
            out_.ones(width);
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        if (same) {
            KORVANE_TRY_VOID(write_text_field(out_, items_, items_.begin(0) + col, code, texts_[0], width));
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        // The increments are as wide as the longest text: the trailing
        // spaces that pad a text to its element's width are not written.
        std::uint64_t octets = 1;
        for (const std::optional<std::string_view>& t : texts_)
            if (t) octets = std::max<std::uint64_t>(octets, t->size());
        if (octets > kMaxIncrementWidth)
            return BufrError::table("texts of " + code_text(code) + " differ between subsets, and at " +
                                    std::to_string(octets) +
                                    " bytes they are longer than compressed data can hold (63 bytes)");
        out_.write_bytes(std::string_view(), width, 0);
        out_.write(octets, kIncrementWidthBits);
        const auto field = static_cast<std::uint16_t>(8 * octets);
        for (std::size_t s = 0; s < subsets_; ++s)
            KORVANE_TRY_VOID(write_text_field(out_, items_, items_.begin(s) + col, code, texts_[s], field));
        return Ok{};
    }

    const Items& items_;
    BitWriter& out_;
    ValueCodingState& state_;
    References& references_;
    std::size_t subsets_;
    std::uint64_t row_;
    std::uint64_t column_ = 0;
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint8_t> missing_;
    std::vector<std::optional<std::string_view>> texts_;
};

}  // namespace

Result<std::vector<std::uint8_t>> encode_data(std::span<const std::uint32_t> descriptors, const TableSet& tables,
                                              const ItemArrays& arrays, const EncodeOptions& options) {
    const Items items(arrays);
    KORVANE_TRY_VOID(items.check());
    const auto subsets = static_cast<std::uint16_t>(items.subsets());
    BitWriter out;
    ElementCache elements(tables);
    WalkContext ctx(tables, elements, items.bit_budget(), subsets, "encoding");
    ctx.interrupt = options.interrupt;
    ValueCodingState state;
    References references(items.references());
    Structure structure(nullptr);
    if (!options.compressed) {
        out.reserve_bits(items.size() * 16);
        SubsetWriter writer(items, out, state, references);
        Walker<SubsetWriter> walker(ctx, state, writer, structure);
        for (std::size_t s = 0; s < subsets; ++s) {
            state.reset();  // a fresh state per subset, as decoding has it
            writer.begin_subset(s);
            KORVANE_TRY_VOID(walker.walk(descriptors, 0, static_cast<std::uint32_t>(s)));
            KORVANE_TRY_VOID(writer.end_subset());
        }
    } else {
        ColumnWriter writer(items, out, state, references);
        KORVANE_TRY_VOID(writer.check_rows());
        Walker<ColumnWriter> walker(ctx, state, writer, structure);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, 0));
        KORVANE_TRY_VOID(writer.check_end());
    }
    KORVANE_TRY_VOID(references.check_used());
    return out.finish();
}

}  // namespace korvane
