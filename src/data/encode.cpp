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
// value * 10^scale, rounded to the nearest integer, less the reference,
// checked against the width (all bits set is left to missing values). Whatever the
// walk returns to steer itself (replication counts, data present indicators
// that shape bitmaps) is the value that decoding the written bits gives, so
// that the walk takes the same path as it will when the output is decoded.
//
// Items come laid out one after another, or, for compressed data that were
// decoded and not changed, as decoding keeps them: one row that every subset
// shares and the columns that vary. A column that does not vary is then
// written without looking at each subset.
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

// Values are written as the reader decodes them (DecodeOptions::reader_rules):
// its values are what callers have, and what the round trip starts from.
constexpr bool kReaderRules = true;

// The inverse of the scaling of scaled_value: value * 10^scale.
inline double unscaled(double value, Scaling scaling) noexcept {
    return scaling.multiply ? value / scaling.factor : value * scaling.factor;
}

std::string code_text(std::uint32_t code) { return padded_code(code); }

// Where an item is, for errors: "subset 2, item 17" (both counted from 0).
struct Where {
    std::size_t subset;
    std::uint64_t item;
    std::string text() const { return "subset " + std::to_string(subset) + ", item " + std::to_string(item); }
};

// One item as the writers read it.
struct Item {
    double value = 0.0;
    std::uint64_t raw = 0;
    std::uint64_t text = kNoText;  // the text the item was given as, or kNoText
    bool missing = false;          // marked missing, or NaN
    bool marked_missing = false;   // marked missing (a text's value means nothing)
    bool has_raw = false;
};

// The items of one position in every subset: subset s's is at s * stride
// from the pointers (stride 0: every subset holds the same item).
struct ColumnView {
    const double* value = nullptr;
    const std::uint8_t* missing = nullptr;  // null: NaN is missing
    const std::uint64_t* raw = nullptr;     // null: no bits known
    const std::uint64_t* text = nullptr;    // null: no texts marked
    std::size_t stride = 0;

    [[gnu::always_inline]] Item at(std::size_t s) const noexcept {
        const std::size_t i = s * stride;
        Item it;
        it.value = value[i];
        it.marked_missing = missing != nullptr && missing[i] != 0;
        it.missing = it.marked_missing || std::isnan(it.value);
        if (raw != nullptr) {
            it.has_raw = true;
            it.raw = raw[i];
        }
        if (text != nullptr) it.text = text[i];
        return it;
    }
};

// x rounded to the nearest integer, halves to even, for |x| < 2^51: adding
// and taking away 1.5 * 2^52 leaves no fraction in a double. (std::nearbyint
// is a call into the C library where the target lacks a rounding
// instruction, once for every value written.)
[[gnu::always_inline]] inline double round_even(double x) noexcept {
    constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
    constexpr double kLimit = 2251799813685248.0;  // 2^51
    if (!(std::fabs(x) < kLimit)) return std::nearbyint(x);
    return (x + kMagic) - kMagic;
}

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
    explicit Items(const ItemArrays& a) : a_(a) {
        if (a.row_width != 0) {
            var_index_.assign(a.row_width, kConstant);
            for (std::size_t j = 0; j < a.var_column.size(); ++j)
                if (a.var_column[j] < a.row_width) var_index_[static_cast<std::size_t>(a.var_column[j])] = j;
        }
    }

    std::size_t subsets() const noexcept { return a_.subset_bounds.size() - 1; }
    std::uint64_t count(std::size_t s) const noexcept { return a_.subset_bounds[s + 1] - a_.subset_bounds[s]; }
    std::uint64_t size() const noexcept { return a_.subset_bounds.back(); }
    bool texts_marked() const noexcept { return !a_.text.empty(); }

    // Item k of subset s.
    Item item(std::size_t s, std::uint64_t k) const noexcept {
        if (a_.row_width != 0) return column(k).at(s);
        const ColumnView c = view(a_.subset_bounds[s] + k, 0);
        return c.at(0);
    }

    // Item k of every subset; the subsets hold the same number of items.
    ColumnView column(std::uint64_t k) const noexcept {
        if (a_.row_width == 0) return view(k, subsets() > 1 ? count(0) : 0);
        const std::size_t j = var_index_[static_cast<std::size_t>(k)];
        if (j == kConstant) return view(k, 0);
        const std::size_t at = j * subsets();
        return ColumnView{a_.var_value.data() + at, a_.var_missing.empty() ? nullptr : a_.var_missing.data() + at,
                          a_.var_raw.empty() ? nullptr : a_.var_raw.data() + at, nullptr, 1};
    }

    // Whether item k of subset s is of `code` (when the items say).
    bool code_matches(std::size_t s, std::uint64_t k, std::uint32_t code) const noexcept {
        return a_.code.empty() || code_at(s, k) == code;
    }
    std::uint32_t code_at(std::size_t s, std::uint64_t k) const noexcept {
        return a_.row_width != 0 ? a_.code[k] : a_.code[a_.subset_bounds[s] + k];
    }
    // Whether the codes are one row for every subset.
    bool one_row() const noexcept { return a_.row_width != 0; }

    // The text of a text item; none when it is missing.
    Result<std::optional<std::string_view>> text(const Item& it, Where w) const {
        if (it.marked_missing) return std::optional<std::string_view>();
        const std::uint64_t id = texts_marked() ? it.text : (it.has_raw ? it.raw : kNoText);
        if (id == kNoText) return std::optional<std::string_view>();
        if (id >= a_.texts.size())
            return BufrError::table(w.text() + ": text " + std::to_string(id) + " is not among the " +
                                    std::to_string(a_.texts.size()) + " texts given");
        return std::optional<std::string_view>(a_.texts[static_cast<std::size_t>(id)]);
    }

    // Checks that the arrays agree in length and the bounds cover them.
    Result<void> check() const {
        const auto& b = a_.subset_bounds;
        if (b.empty()) return BufrError::table("subset bounds need at least one entry");
        if (b.size() - 1 > 65535)
            return BufrError::table(std::to_string(b.size() - 1) + " subsets do not fit a message (65535 do)");
        for (std::size_t s = 1; s < b.size(); ++s)
            if (b[s] < b[s - 1]) return BufrError::table("subset bounds must not decrease");
        const std::size_t n = a_.row_width != 0 ? a_.row_width : a_.value.size();
        if (b.front() != 0 || b.back() != (a_.row_width != 0 ? a_.row_width * subsets() : n))
            return BufrError::table("subset bounds must run from 0 to the number of items (" +
                                    std::to_string(a_.value.size()) + ")");
        if ((!a_.missing.empty() && a_.missing.size() != n) || (!a_.raw.empty() && a_.raw.size() != n) ||
            (!a_.code.empty() && a_.code.size() != n) || (!a_.text.empty() && a_.text.size() != n))
            return BufrError::table("the item arrays differ in length");
        if (a_.row_width != 0) {
            // The varying columns have the arrays the row has.
            const std::size_t v = a_.var_column.size() * subsets();
            auto sized = [&](std::size_t row, std::size_t var) { return var == (row != 0 ? v : 0); };
            if (!a_.text.empty() || a_.var_value.size() != v || !sized(a_.missing.size(), a_.var_missing.size()) ||
                !sized(a_.raw.size(), a_.var_raw.size()))
                return BufrError::table("the varying columns differ from the row in their arrays");
            for (std::size_t j = 0; j < a_.var_column.size(); ++j)
                if (a_.var_column[j] >= a_.row_width || (j != 0 && a_.var_column[j] <= a_.var_column[j - 1]))
                    return BufrError::table("the varying columns must name columns of the row, in order");
        }
        return Ok{};
    }

    // Bits enough for any output of these items: the bound of the walk.
    std::uint64_t bit_budget() const noexcept {
        std::uint64_t text_bytes = 0;
        for (const std::string_view t : a_.texts) text_bytes += t.size();
        return 64 * (size() + a_.references.size() + 1) + 8 * text_bytes;
    }

    std::span<const std::int64_t> references() const noexcept { return a_.references; }

private:
    static constexpr std::size_t kConstant = SIZE_MAX;

    // The arrays from item i, subsets `stride` items apart.
    ColumnView view(std::uint64_t i, std::uint64_t stride) const noexcept {
        const auto at = static_cast<std::size_t>(i);
        return ColumnView{a_.value.data() + at, a_.missing.empty() ? nullptr : a_.missing.data() + at,
                          a_.raw.empty() ? nullptr : a_.raw.data() + at,
                          a_.text.empty() ? nullptr : a_.text.data() + at, static_cast<std::size_t>(stride)};
    }

    const ItemArrays& a_;
    std::vector<std::size_t> var_index_;  // rows form: the varying column of each position, or kConstant
};

// The common cases of numeric_bits without its Result: a missing value, or a
// value with the bits it was decoded from. Returns false for numeric_bits to
// decide (and explain) the rest.
[[gnu::always_inline]] inline bool quick_bits(const Item& it, bool marked, const NumericCoding& c, Scaling scaling,
                                              bool missing_values, bool compressed, std::uint64_t& bits,
                                              bool& missing) {
    if (c.width > 63 || marked) return false;
    if (it.missing) {
        missing = true;
        return missing_values;
    }
    if (!it.has_raw) return false;
    const std::uint64_t ones = (std::uint64_t{1} << c.width) - 1;
    const std::uint64_t max = compressed ? UINT64_MAX : (missing_values ? ones - 1 : ones);
    if (it.raw > max || (missing_values && c.width == 0)) return false;
    // The bits the value gives are the bits it carries: either way they are
    // the bits to write, found with a multiplication (most values of real
    // data). Otherwise the bits are kept if they decode to the value
    // exactly (values beyond the precision of a double), which takes the
    // decoder's division.
    constexpr double kExact = 4503599627370496.0;  // 2^52
    const double scaled = round_even(unscaled(it.value, scaling));
    if (!(std::fabs(scaled) < kExact && static_cast<Int128>(static_cast<std::int64_t>(scaled)) - c.reference ==
                                            static_cast<Int128>(it.raw)) &&
        scaled_value(it.raw, c.reference, scaling) != it.value)
        return false;
    missing = false;
    bits = it.raw;
    return true;
}

// The bits of a numeric value under coding `c` (nullopt: missing).
// `missing_values`: an element outside class 31, whose all-ones bits mean
// missing. `compressed`: for compressed data, where only an increment of all
// ones (or R0 of all ones with no increments) is missing, so that all bits
// set may be a value; and where R0 plus an increment can reach beyond the
// width, bits that decode to the value are kept whatever their size.
// `marked`: the item was given as a text.
Result<std::optional<std::uint64_t>> numeric_bits(const Item& it, bool marked, Where w, std::uint32_t code,
                                                  const NumericCoding& c, Scaling scaling, bool missing_values,
                                                  bool compressed) {
    if (c.width > 64)
        return BufrError::table(w.text() + ": element " + code_text(code) + " is " + std::to_string(c.width) +
                                " bits wide under the operators in force; at most 64 bits can be written");
    if (marked) return BufrError::table(w.text() + ": element " + code_text(code) + " needs a number, not a text");
    const double v = it.value;
    if (it.missing) {
        if (!missing_values)
            return BufrError::table(w.text() + ": element " + code_text(code) +
                                    " cannot be missing (a replication count or data present indicator "
                                    "needs a value)");
        if (c.width == 64)
            return BufrError::table(w.text() + ": element " + code_text(code) + " is 64 bits wide and cannot be missing");
        return std::optional<std::uint64_t>();
    }
    const bool none = missing_values && c.width == 0;
    const std::uint64_t max = max_bits(c.width, missing_values && !compressed);
    if (!none && it.has_raw && (compressed || it.raw <= max) && scaled_value(it.raw, c.reference, scaling) == v)
        return std::optional<std::uint64_t>(it.raw);
    // value * 10^scale, rounded to the nearest integer (halves to even).
    const double rounded = round_even(unscaled(v, scaling));
    constexpr double kLimit = 170141183460469231731687303715884105728.0 / 4;  // 2^125
    if (!none && std::isfinite(rounded) && std::fabs(rounded) < kLimit) {
        const Int128 bits = static_cast<Int128>(rounded) - c.reference;
        if (bits >= 0 && bits <= static_cast<Int128>(max))
            return std::optional<std::uint64_t>(static_cast<std::uint64_t>(bits));
    }
    std::string range;
    if (none) {
        range = "a width of 0 bits holds only missing values";
    } else {
        range = std::to_string(c.width) + " bits with scale " + std::to_string(c.scale) + " and reference " +
                std::to_string(static_cast<long long>(c.reference)) + " hold " +
                float_text(scaled_value(0, c.reference, scaling)) + " to " +
                float_text(scaled_value(max, c.reference, scaling));
    }
    return BufrError::table(w.text() + ": value " + float_text(v) + " of element " + code_text(code) +
                            " does not fit its coding: " + range);
}

// The bits of an associated field or of an element unknown to the tables
// (2 06 YYY): a whole number of `width` bits, all bits set when missing.
// `raw_first`: the item's bits are used whenever it has no value (an
// unknown element decodes to bits without a value).
Result<std::uint64_t> plain_bits(const Item& it, bool marked, Where w, std::uint32_t code, std::uint16_t width,
                                 bool raw_first) {
    if (width > 64)
        return BufrError::table(w.text() + ": " + code_text(code) + " is " + std::to_string(width) +
                                " bits wide; at most 64 bits can be written");
    if (marked) return BufrError::table(w.text() + ": " + code_text(code) + " needs a number, not a text");
    const std::uint64_t ones = width >= 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1;
    const double v = it.value;
    const bool has_raw = it.has_raw && it.raw <= ones;
    if (raw_first) {
        if (std::isnan(v)) return has_raw ? it.raw : ones;
    } else {
        if (it.missing) return ones;
        if (has_raw && static_cast<double>(it.raw) == v) return it.raw;
    }
    if (v >= 0 && v <= static_cast<double>(ones) && v == std::floor(v) && v < 18446744073709551616.0)
        return static_cast<std::uint64_t>(v);
    return BufrError::table(w.text() + ": value " + float_text(v) + " of " + code_text(code) +
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
Result<void> check_text_fits(Where w, std::uint32_t code, std::optional<std::string_view> text, std::uint16_t width) {
    const std::uint64_t room = (std::uint64_t{width} + 7) / 8;
    if (!text || text->size() <= room) return Ok{};
    return BufrError::table(w.text() + ": text \"" + std::string(*text) + "\" of " + std::to_string(text->size()) +
                            " bytes does not fit the " + std::to_string(room) + " bytes of " + code_text(code));
}

// A text of `width` bits: the text, padded with spaces; all bits set when
// missing.
Result<void> write_text_field(BitWriter& out, Where w, std::uint32_t code, std::optional<std::string_view> text,
                              std::uint16_t width) {
    KORVANE_TRY_VOID(check_text_fits(w, code, text, width));
    if (!text)
        out.ones(width);
    else
        out.write_bytes(*text, width, ' ');
    return Ok{};
}

// The text of a text item, which holds a text or is missing: a number where a
// text belongs is an error (known when the items say which are texts).
Result<std::optional<std::string_view>> text_of(const Items& items, const Item& it, Where w, std::uint32_t code) {
    if (items.texts_marked() && it.text == kNoText && !it.missing)
        return BufrError::table(w.text() + ": " + code_text(code) + " needs a text, not a number");
    return items.text(it, w);
}

// Keeps the first value of year ... second (0 04 001 to 0 04 006).
void note_date(FirstDate* date, std::uint32_t code, double value) {
    if (date == nullptr || code < 4001 || code > 4006) return;
    std::optional<double>& slot = (*date)[code - 4001];
    if (!slot) slot = value;
}

// ---- uncompressed data: one item per leaf ------------------------------------------

class SubsetWriter {
public:
    static constexpr const char* kDepthError = "descriptor encode exceeded recursion depth";

    SubsetWriter(const Items& items, BitWriter& out, ValueCodingState& state, References& references,
                 FirstDate* first_date)
        : items_(items), out_(out), state_(state), references_(references), first_date_(first_date) {}

    void begin_subset(std::size_t s) {
        subset_ = s;
        next_ = 0;
        end_ = items_.count(s);
    }

    Result<void> end_subset() const {
        if (next_ == end_) return Ok{};
        return BufrError::table("subset " + std::to_string(subset_) + " has " + std::to_string(end_) +
                                " items, but its descriptors take " + std::to_string(next_));
    }

    std::uint64_t position() const noexcept { return next_; }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride* diff, bool) {
        const ElementDefinition& def = *info.def;
        KORVANE_TRY(const std::uint64_t k, take(def.code));
        const Item it = items_.item(subset_, k);
        if (info.character) {
            KORVANE_TRY_VOID(write_text(it, k, def.code, text_width(info, state_, diff)));
            return std::optional<double>();
        }
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, kReaderRules, scaling));
        const bool marked = marked_text(it);
        std::uint64_t quick = 0;
        bool missing = false;
        std::optional<std::uint64_t> bits;
        if (quick_bits(it, marked, c, scaling, info.all_ones_missing, false, quick, missing)) {
            if (!missing) bits = quick;
        } else {
            KORVANE_TRY(bits, numeric_bits(it, marked, Where{subset_, k}, def.code, c, scaling, info.all_ones_missing, false));
        }
        if (!bits) {
            out_.ones(c.width);
            return std::optional<double>();
        }
        out_.write(*bits, c.width);
        const double value = scaled_value(*bits, c.reference, scaling);
        if (subset_ == 0) note_date(first_date_, def.code, value);
        return std::optional<double>(value);
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        KORVANE_TRY(const std::optional<double> value, element(info, nullptr, true));
        return replication_count(value);
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY(const std::uint64_t k, take(code));
        const Item it = items_.item(subset_, k);
        KORVANE_TRY(const std::uint64_t bits, plain_bits(it, marked_text(it), Where{subset_, k}, code, width, true));
        out_.write(bits, width);
        return Ok{};
    }

    Result<void> associated(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t k, take(kAssociatedFieldCode));
        const Item it = items_.item(subset_, k);
        KORVANE_TRY(const std::uint64_t bits,
                    plain_bits(it, marked_text(it), Where{subset_, k}, kAssociatedFieldCode, width, false));
        out_.write(bits, width);
        return Ok{};
    }

    Result<void> placeholder(std::uint32_t code) {
        KORVANE_TRY_VOID(take(code));
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        KORVANE_TRY(const std::uint64_t k, take(code));
        return write_text(items_.item(subset_, k), k, code, static_cast<std::uint16_t>(8u * y));
    }

    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, references_.next(code, width));
        out_.write(bits, width);
        return signed_reference(bits, width);
    }

private:
    bool marked_text(const Item& it) const noexcept { return items_.texts_marked() && it.text != kNoText; }

    // The next item of the subset, which the descriptors give as `code`.
    Result<std::uint64_t> take(std::uint32_t code) {
        if (next_ >= end_)
            return BufrError::table("subset " + std::to_string(subset_) + " has " + std::to_string(end_) +
                                    " items, but its descriptors take more: the next would be " + code_text(code));
        if (!items_.code_matches(subset_, next_, code))
            return BufrError::table(Where{subset_, next_}.text() + " is " + code_text(items_.code_at(subset_, next_)) +
                                    " where the descriptors give " + code_text(code));
        return next_++;
    }

    Result<void> write_text(const Item& it, std::uint64_t k, std::uint32_t code, std::uint16_t width) {
        const Where w{subset_, k};
        KORVANE_TRY(const std::optional<std::string_view> text, text_of(items_, it, w, code));
        KORVANE_TRY_VOID(write_text_field(out_, w, code, text, width));
        state_.text_counter += 1;
        return Ok{};
    }

    const Items& items_;
    BitWriter& out_;
    ValueCodingState& state_;
    References& references_;
    FirstDate* first_date_;
    std::size_t subset_ = 0;
    std::uint64_t next_ = 0;
    std::uint64_t end_ = 0;
};

// ---- compressed data: one column per leaf ------------------------------------------

class ColumnWriter {
public:
    static constexpr const char* kDepthError = "compressed descriptor encode exceeded recursion depth";

    ColumnWriter(const Items& items, BitWriter& out, ValueCodingState& state, References& references,
                 FirstDate* first_date)
        : items_(items), out_(out), state_(state), references_(references), first_date_(first_date),
          subsets_(items.subsets()),
          row_(subsets_ != 0 ? items.count(0) : 0), bits_(subsets_), missing_(subsets_) {}

    // Every subset must hold the same items.
    Result<void> check_rows() const {
        for (std::size_t s = 1; s < subsets_; ++s) {
            const std::uint64_t n = items_.count(s);
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
        KORVANE_TRY(const std::uint64_t k, take(def.code));
        if (info.character) {
            // Its value, should a bitmap ask for it, is the first subset's text index.
            const std::uint64_t c = state_.text_column_counter;
            const std::uint16_t width = text_width(info, state_, diff);
            KORVANE_TRY_VOID(text_column(k, def.code, width));
            if (!need_value) return std::optional<double>();
            if (subsets_ == 0) return std::optional<double>(0.0);
            return std::optional<double>(static_cast<double>((c * subsets_ + 1) * 1000 + width / 8u));
        }
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, kReaderRules, scaling));
        const ColumnView col = items_.column(k);
        const std::size_t n = distinct(col);
        std::uint64_t* __restrict bits = bits_.data();
        std::uint8_t* __restrict missing = missing_.data();
        const bool missing_values = info.all_ones_missing;
        std::size_t s = items_.texts_marked() ? 0 : decoded_bits(col, n, c, scaling, missing_values);
        for (; s < n; ++s) {
            const Item it = col.at(s);
            const bool marked = marked_text(it);
            bool is_missing = false;
            if (quick_bits(it, marked, c, scaling, missing_values, true, bits[s], is_missing)) [[likely]] {
                missing[s] = is_missing ? 1 : 0;
                continue;
            }
            KORVANE_TRY(const std::optional<std::uint64_t> b,
                        numeric_bits(it, marked, Where{s, k}, def.code, c, scaling, missing_values, true));
            missing[s] = b ? 0 : 1;
            bits[s] = b ? *b : 0;
        }
        KORVANE_TRY_VOID(numeric_column(n, def.code, c.width, missing_values));
        if (subsets_ == 0) return std::optional<double>(0.0);
        if (missing_[0]) return std::optional<double>();
        const double value = scaled_value(bits_[0], c.reference, scaling);
        note_date(first_date_, def.code, value);
        return std::optional<double>(value);
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        const std::uint32_t code = info.def->code;
        if (info.character) {
            // A text counts by its text index, as decoding has it: the same in
            // every subset only when there is one.
            const std::uint64_t c = state_.text_column_counter;
            const std::uint16_t width = text_width(info, state_, nullptr);
            KORVANE_TRY(const std::uint64_t k, take(code));
            KORVANE_TRY_VOID(text_column(k, code, width));
            if (subsets_ == 0) return std::uint64_t{0};
            if (subsets_ > 1)
                return BufrError::table("a text element (" + code_text(code) +
                                        ") cannot be the replication count of compressed data");
            return replication_count(static_cast<double>((c + 1) * 1000 + width / 8u));
        }
        const std::uint64_t k = column_;
        KORVANE_TRY(const std::optional<double> first, element(info, nullptr, true));
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, nullptr, kReaderRules, scaling));
        const std::uint64_t count = replication_count(first);
        const std::size_t n = distinct(items_.column(k));
        for (std::size_t s = 1; s < n; ++s) {
            const std::optional<double> v =
                missing_[s] ? std::nullopt : std::optional<double>(scaled_value(bits_[s], c.reference, scaling));
            const std::uint64_t other = replication_count(v);
            if (other != count)
                return BufrError::table("compressed data hold one replication count for every subset: " +
                                        code_text(code) + " (item " + std::to_string(k) + ") is " +
                                        std::to_string(count) + " in subset 0 and " + std::to_string(other) +
                                        " in subset " + std::to_string(s));
        }
        return count;
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY(const std::uint64_t k, take(code));
        return plain_column(k, code, width, true);
    }

    Result<void> associated(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t k, take(kAssociatedFieldCode));
        return plain_column(k, kAssociatedFieldCode, width, false);
    }

    Result<void> placeholder(std::uint32_t code) {
        KORVANE_TRY_VOID(take(code));
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        KORVANE_TRY(const std::uint64_t k, take(code));
        return text_column(k, code, static_cast<std::uint16_t>(8u * y));
    }

    // One value for every subset: R0 and NBINC 0.
    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, references_.next(code, width));
        out_.write(bits, width);
        out_.write(0, kIncrementWidthBits);
        return signed_reference(bits, width);
    }

private:
    bool marked_text(const Item& it) const noexcept { return items_.texts_marked() && it.text != kNoText; }

    // quick_bits over the first n subsets of a column, for items that carry
    // their bits (decoded values): fills bits_ and missing_ while the items
    // are missing or keep their bits, and returns the number done; the rest
    // go the common way.
    std::size_t decoded_bits(const ColumnView& col, std::size_t n, const NumericCoding& c, Scaling scaling,
                             bool missing_values) {
        constexpr std::int64_t kHalf = std::int64_t{1} << 62;
        if (col.raw == nullptr || c.width > 63 || (missing_values && c.width == 0) || c.reference < -kHalf ||
            c.reference > kHalf)
            return 0;
        const auto reference = static_cast<std::int64_t>(c.reference);
        const std::uint64_t max = (std::uint64_t{1} << c.width) - 1;
        const std::size_t stride = col.stride;
        const double* __restrict value = col.value;
        const std::uint64_t* __restrict raw = col.raw;
        const std::uint8_t* __restrict marks = col.missing;
        std::uint64_t* __restrict bits = bits_.data();
        std::uint8_t* __restrict missing = missing_.data();
        constexpr double kExact = 4503599627370496.0;  // 2^52
        std::size_t s = 0;
        for (; s < n; ++s) {
            const double v = value[s * stride];
            const std::uint64_t r = raw[s * stride];
            if ((marks != nullptr && marks[s * stride] != 0) || std::isnan(v)) {
                if (!missing_values) break;
                missing[s] = 1;
                bits[s] = 0;
                continue;
            }
            const double scaled = round_even(unscaled(v, scaling));
            if (r > max || !(std::fabs(scaled) < kExact) ||
                static_cast<std::int64_t>(scaled) - reference != static_cast<std::int64_t>(r))
                break;
            missing[s] = 0;
            bits[s] = r;
        }
        return s;
    }

    // The subsets whose items differ: all of them, or only the first when
    // every subset holds the same item.
    std::size_t distinct(const ColumnView& col) const noexcept { return col.stride == 0 ? std::min<std::size_t>(subsets_, 1) : subsets_; }

    // The next item position, which the descriptors give as `code`.
    Result<std::uint64_t> take(std::uint32_t code) {
        if (subsets_ == 0) return column_++;  // no items: the columns are written empty
        if (column_ >= row_)
            return BufrError::table("every subset has " + std::to_string(row_) +
                                    " items, but the descriptors take more: the next would be " + code_text(code));
        const std::size_t checked = items_.one_row() ? 1 : subsets_;
        for (std::size_t s = 0; s < checked; ++s)
            if (!items_.code_matches(s, column_, code))
                return BufrError::table(Where{s, column_}.text() + " is " + code_text(items_.code_at(s, column_)) +
                                        " where the descriptors give " + code_text(code));
        return column_++;
    }

    // An associated field or an unknown element: bits without missing values.
    Result<void> plain_column(std::uint64_t k, std::uint32_t code, std::uint16_t width, bool raw_first) {
        const ColumnView col = items_.column(k);
        const std::size_t n = distinct(col);
        for (std::size_t s = 0; s < n; ++s) {
            const Item it = col.at(s);
            KORVANE_TRY(bits_[s], plain_bits(it, marked_text(it), Where{s, k}, code, width, raw_first));
            missing_[s] = 0;
        }
        return numeric_column(n, code, width, false);
    }

    // The column of the first n entries of bits_ (missing_ marking the
    // missing values; n is 1 when every subset holds the same item): R0 the
    // least value, NBINC the fewest bits that hold every difference from it
    // and, where values can be missing, leave all bits set to them.
    Result<void> numeric_column(std::size_t n, std::uint32_t code, std::uint16_t width, bool missing_values) {
        const std::uint64_t* __restrict bits = bits_.data();
        const std::uint8_t* __restrict missing = missing_.data();
        std::uint64_t lo = UINT64_MAX;
        std::uint64_t hi = 0;
        std::size_t missing_count = 0;
        for (std::size_t s = 0; s < n; ++s) {
            // Without branches: a missing entry leaves lo and hi as they are.
            const std::uint64_t keep = missing[s] != 0 ? ~std::uint64_t{0} : 0;
            lo = std::min(lo, bits[s] | keep);
            hi = std::max(hi, bits[s] & ~keep);
            missing_count += missing[s];
        }
        const bool any_missing = missing_count != 0;
        const bool any_value = missing_count != n;
        if (!any_value) {
            // Every subset missing: R0 all ones, no increments.
            out_.ones(width);
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        // R0 holds the least value where its width can, and where values
        // can be missing never all ones (every subset missing): a column of
        // values with all bits set, or beyond the width (decoded R0s plus
        // increments), starts lower.
        const std::uint64_t ones = width >= 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1;
        const std::uint64_t r0_max = missing_values && width >= 1 && width < 64 ? ones - 1 : ones;
        lo = std::min(lo, r0_max);
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
        const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;
        auto increment = [&](std::size_t s) { return missing[s] != 0 ? missing_increment : bits[s] - lo; };
        if (nbinc <= 56) {
            out_.write_n(subsets_, nbinc, increment);
        } else {
            for (std::size_t s = 0; s < subsets_; ++s) out_.write(increment(s), nbinc);
        }
        return Ok{};
    }

    // A text column of `width` bits: one text in R0 when every subset holds
    // it, else R0 of zeros and each subset's text in NBINC octets.
    Result<void> text_column(std::uint64_t k, std::uint32_t code, std::uint16_t width) {
        state_.text_column_counter += 1;
        if (subsets_ == 0) {
            out_.ones(width);
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        const ColumnView col = items_.column(k);
        const std::size_t n = distinct(col);
        texts_.resize(subsets_);
        bool same = true;
        for (std::size_t s = 0; s < n; ++s) {
            const Where w{s, k};
            KORVANE_TRY(texts_[s], text_of(items_, col.at(s), w, code));
            KORVANE_TRY_VOID(check_text_fits(w, code, texts_[s], width));
            if (s != 0 && texts_[s] != texts_[0]) same = false;
        }
        if (same) {
            KORVANE_TRY_VOID(write_text_field(out_, Where{0, k}, code, texts_[0], width));
            out_.write(0, kIncrementWidthBits);
            return Ok{};
        }
        // The increments are as wide as the element, as producers write them
        // and readers such as ecCodes expect (a narrower increment is read as
        // a shorter text). An element wider than NBINC can state (63 octets,
        // after 2 08 YYY) takes increments as wide as the longest text.
        std::uint64_t octets = (std::uint64_t{width} + 7) / 8;
        if (octets > kMaxIncrementWidth) {
            octets = 1;
            for (const std::optional<std::string_view>& t : texts_)
                if (t) octets = std::max<std::uint64_t>(octets, t->size());
        }
        if (octets > kMaxIncrementWidth)
            return BufrError::table("texts of " + code_text(code) + " differ between subsets, and at " +
                                    std::to_string(octets) +
                                    " bytes they are longer than compressed data can hold (63 bytes)");
        out_.write_bytes(std::string_view(), width, 0);
        out_.write(octets, kIncrementWidthBits);
        const auto field = static_cast<std::uint16_t>(8 * octets);
        for (std::size_t s = 0; s < subsets_; ++s)
            KORVANE_TRY_VOID(write_text_field(out_, Where{s, k}, code, texts_[s], field));
        return Ok{};
    }

    const Items& items_;
    BitWriter& out_;
    ValueCodingState& state_;
    References& references_;
    FirstDate* first_date_;
    std::size_t subsets_;
    std::uint64_t row_;
    std::uint64_t column_ = 0;
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint8_t> missing_;
    std::vector<std::optional<std::string_view>> texts_;
};

}  // namespace

Result<BitWriter::Bytes> encode_data(std::span<const std::uint32_t> descriptors, const TableSet& tables,
                                     const ItemArrays& arrays, const EncodeOptions& options, FirstDate* first_date) {
    const Items items(arrays);
    KORVANE_TRY_VOID(items.check());
    const auto subsets = static_cast<std::uint16_t>(items.subsets());
    BitWriter out;
    ElementCache elements(tables, kReaderRules);
    WalkContext ctx(tables, elements, std::max(items.bit_budget(), options.budget_bits), subsets, "encoding",
                    kReaderRules);
    ctx.interrupt = options.interrupt;
    ValueCodingState state;
    References references(items.references());
    Structure structure(nullptr);
    if (!options.compressed) {
        SubsetWriter writer(items, out, state, references, first_date);
        Walker<SubsetWriter> walker(ctx, state, writer, structure);
        for (std::size_t s = 0; s < subsets; ++s) {
            state.reset();  // a fresh state per subset, as decoding has it
            writer.begin_subset(s);
            KORVANE_TRY_VOID(walker.walk(descriptors, 0, static_cast<std::uint32_t>(s)));
            KORVANE_TRY_VOID(writer.end_subset());
        }
    } else {
        ColumnWriter writer(items, out, state, references, first_date);
        KORVANE_TRY_VOID(writer.check_rows());
        Walker<ColumnWriter> walker(ctx, state, writer, structure);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, 0));
        KORVANE_TRY_VOID(writer.check_end());
    }
    KORVANE_TRY_VOID(references.check_used());
    return out.finish();
}

}  // namespace korvane
