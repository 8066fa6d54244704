// The walker for compressed data: every element is stored for all subsets at
// once, as a reference value R0, the width NBINC of the increments and one
// increment per subset, so the walker reads one column per element.
#include <cmath>

#include "data/decode.hpp"
#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {

constexpr std::uint16_t kIncrementWidthBits = 6;

Result<std::uint64_t> read_bits(BitReader& reader, std::uint16_t width) {
    std::uint64_t v = 0;
    if (!reader.try_read(width, v)) return reader.read_error(width);
    return v;
}

// A new reference value (2 03 YYY) in compressed form: it must be the same in
// every subset, so every increment must be zero.
Result<std::int64_t> read_compressed_new_reference(BitReader& reader, std::uint8_t width, std::uint16_t subsets) {
    KORVANE_TRY(const std::uint64_t r0, read_bits(reader, width));
    KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader, kIncrementWidthBits));
    const auto w = static_cast<std::uint16_t>(nbinc);
    for (unsigned s = 0; s < subsets; ++s) {
        KORVANE_TRY(const std::uint64_t inc, read_bits(reader, w));
        if (inc != 0) return BufrError::table("changed reference values differ between subsets");
    }
    return signed_reference(r0, width);
}

}  // namespace

Result<Column> read_compressed_numeric_column(std::uint32_t code, ValueKind kind, std::uint16_t width,
                                              Int128 reference, std::int64_t scale, bool missing_values,
                                              std::uint16_t subsets, BitReader& reader) {
    KORVANE_TRY(const std::uint64_t r0, read_bits(reader, width));
    KORVANE_TRY(const std::uint64_t nbinc_bits, read_bits(reader, kIncrementWidthBits));
    const auto nbinc = static_cast<std::uint16_t>(nbinc_bits);
    const bool all_missing = missing_values && width <= 63 && r0 == (std::uint64_t{1} << width) - 1;
    const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;  // nbinc <= 63
    const double divisor = power_of_ten(scale);
    // An associated field is a number that is never missing.
    auto make = [&](std::uint64_t raw, bool missing, double value) {
        return kind == ValueKind::AssociatedField ? DecodedValue::associated_field(raw)
                                                  : DecodedValue::numeric(code, raw, missing, value);
    };
    Column column;
    column.reserve(subsets);
    if (nbinc == 0) {
        // Every subset holds R0.
        const double value = all_missing ? 0.0 : scaled_value(r0, reference, divisor);
        column.assign(subsets, make(r0, all_missing, value));
        return column;
    }
    for (unsigned s = 0; s < subsets; ++s) {
        std::uint64_t inc = 0;
        if (!reader.try_read(nbinc, inc)) return reader.read_error(nbinc);
        if (all_missing || (missing_values && inc == missing_increment)) {
            column.push_back(make(r0, true, 0.0));
            continue;
        }
        if (inc > UINT64_MAX - r0)
            return BufrError::table("compressed value of descriptor " + padded_code(code) +
                                    " exceeds 64 bits (reference " + std::to_string(r0) + " plus increment " +
                                    std::to_string(inc) + ")");
        const std::uint64_t raw = r0 + inc;
        column.push_back(make(raw, false, scaled_value(raw, reference, divisor)));
    }
    return column;
}

Result<Column> read_compressed_text_column(std::uint32_t code, ValueKind kind, std::uint16_t width,
                                           ValueCodingState& state, std::uint16_t subsets, BitReader& reader) {
    KORVANE_TRY(std::string r0, reader.read_bytes(width));
    KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader, kIncrementWidthBits));
    // Text indices continue across the columns: column c gives subset j the
    // index c * N + j.
    const std::uint64_t c = state.text_column_counter++;
    const std::uint64_t size_part = width / 8u;
    auto index_of = [&](unsigned s) {
        return static_cast<double>((c * subsets + s + 1) * 1000 + size_part);
    };
    Column column;
    column.reserve(subsets);
    if (nbinc == 0) {
        const std::optional<std::string> text = decode_ia5_text(std::move(r0));
        for (unsigned s = 0; s < subsets; ++s) column.push_back(DecodedValue::character(code, index_of(s), text, kind));
        return column;
    }
    const auto text_width = static_cast<std::uint16_t>(8 * nbinc);
    for (unsigned s = 0; s < subsets; ++s) {
        KORVANE_TRY(std::string bytes, reader.read_bytes(text_width));
        column.push_back(DecodedValue::character(code, index_of(s), decode_ia5_text(std::move(bytes)), kind));
    }
    return column;
}

Result<Column> read_compressed_element_column(const ElementInfo& element, ValueCodingState& state,
                                              std::uint16_t subsets, BitReader& reader,
                                              const DifferenceOverride* diff) {
    const ElementDefinition& def = *element.def;
    if (element.character) {
        const std::uint16_t width =
            state.character_width ? *state.character_width : (diff != nullptr ? diff->width : def.width);
        return read_compressed_text_column(def.code, ValueKind::Character, width, state, subsets, reader);
    }
    KORVANE_TRY(const NumericCoding c, numeric_coding(element, state, diff));
    return read_compressed_numeric_column(def.code, ValueKind::Numeric, c.width, c.reference, c.scale,
                                          !element.class31, subsets, reader);
}

Result<void> decode_compressed_descriptors_inner(std::span<const std::uint32_t> descriptors, WalkContext& ctx,
                                                 ValueCodingState& state, std::vector<Column>& columns,
                                                 std::uint16_t subsets, int depth) {
    if (depth > kMaxDescriptorDepth)
        return BufrError::table("compressed descriptor decode exceeded recursion depth");
    BitReader& reader = ctx.reader;
    auto append = [&](Column&& column) -> Result<void> {
        KORVANE_TRY_VOID(ctx.add_values(column.size()));
        columns.push_back(std::move(column));
        return Ok{};
    };
    const std::size_t n = descriptors.size();
    std::size_t i = 0;
    while (i < n) {
        KORVANE_TRY_VOID(ctx.step());
        const std::uint32_t code = descriptors[i];
        const Fxy d = split_code(code);
        switch (d.f) {
        case 0: {
            if (state.new_reference_width != 0) {
                KORVANE_TRY(const std::int64_t ref,
                            read_compressed_new_reference(reader, state.new_reference_width, subsets));
                state.new_references.insert_or_assign(code, ref);
                ++i;
                break;
            }
            if (d.x != 31 && state.associated_width != 0) {
                KORVANE_TRY(Column assoc,
                            read_compressed_numeric_column(kAssociatedFieldCode, ValueKind::AssociatedField,
                                                           state.associated_width, 0, 0, false, subsets, reader));
                KORVANE_TRY_VOID(append(std::move(assoc)));
            }
            const ElementInfo* found = ctx.elements.find(code);
            if (found == nullptr) return BufrError::element_not_found(code);
            const ElementInfo info = *found;
            KORVANE_TRY(Column column, read_compressed_element_column(info, state, subsets, reader));
            if (code == kDataPresentIndicator && takes_bitmap_indicator(state)) {
                // The bitmap is shaped by the first subset's indicators.
                const std::optional<double> first =
                    column.empty() ? std::nullopt : column.front().raw_value();
                state.bitmap.push_back(first ? bitmap_byte(*first) : 0);
            } else {
                state.element_history.push_back(info.def);
            }
            KORVANE_TRY_VOID(append(std::move(column)));
            state.local_width.reset();
            ++i;
            break;
        }
        case 1: {
            const std::size_t x = d.x;
            if (x == 0 || i + x >= n) return BufrError::unsupported_replication(code);
            if (d.y > 0) {
                const auto group = descriptors.subspan(i + 1, x);
                for (unsigned k = 0; k < d.y; ++k)
                    KORVANE_TRY_VOID(
                        decode_compressed_descriptors_inner(group, ctx, state, columns, subsets, depth + 1));
                i += x + 1;
                break;
            }
            if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(code);
            const std::uint32_t factor_code = descriptors[i + 1];
            const ElementInfo* found = ctx.elements.find(factor_code);
            if (found == nullptr) return BufrError::element_not_found(factor_code);
            const ElementInfo info = *found;
            KORVANE_TRY(Column column, read_compressed_element_column(info, state, subsets, reader));
            std::uint64_t count = 0;
            if (!column.empty() && column.front().raw_value()) {
                const double first = *column.front().raw_value();
                for (const DecodedValue& v : column) {
                    // Within 2^-52 of the first subset's factor counts as equal.
                    const std::optional<double> f = v.raw_value();
                    if (!f || !(std::fabs(*f - first) <= 2.220446049250313e-16))
                        return BufrError::table("compressed delayed replication with varying factors is not implemented");
                }
                count = replication_count(first);
            }
            KORVANE_TRY_VOID(append(std::move(column)));
            state.element_history.push_back(info.def);
            const auto group = descriptors.subspan(i + 2, x);
            for (std::uint64_t k = 0; k < count; ++k)
                KORVANE_TRY_VOID(decode_compressed_descriptors_inner(group, ctx, state, columns, subsets, depth + 1));
            i += x + 2;
            break;
        }
        case 2: {
            switch (operator_step(d.x, d.y, state)) {
            case OperatorAction::None:
                break;
            case OperatorAction::Placeholder:
                KORVANE_TRY_VOID(append(Column(subsets, DecodedValue::placeholder(code))));
                break;
            case OperatorAction::Marker: {
                KORVANE_TRY(const ElementDefinition* target, state.next_bitmap_element());
                if (target == nullptr) break;
                const ElementInfo* found = ctx.elements.find(target->code);
                if (found == nullptr) return BufrError::element_not_found(target->code);
                const ElementInfo info = *found;
                const DifferenceOverride diff = difference_override(*target);
                KORVANE_TRY(Column column, read_compressed_element_column(info, state, subsets, reader,
                                                                          d.x == 25 ? &diff : nullptr));
                KORVANE_TRY_VOID(append(std::move(column)));
                break;
            }
            case OperatorAction::Text: {
                KORVANE_TRY(Column column, read_compressed_text_column(code, ValueKind::InsertedText,
                                                                       static_cast<std::uint16_t>(8u * d.y), state,
                                                                       subsets, reader));
                KORVANE_TRY_VOID(append(std::move(column)));
                break;
            }
            }
            ++i;
            break;
        }
        case 3: {
            const SequenceDefinition* seq = ctx.tables.find_sequence(code);
            if (seq == nullptr) return BufrError::sequence_not_found(code);
            KORVANE_TRY_VOID(
                decode_compressed_descriptors_inner(seq->members, ctx, state, columns, subsets, depth + 1));
            ++i;
            break;
        }
        default:
            return BufrError::table("invalid descriptor " + padded_code(code));
        }
    }
    return Ok{};
}

}  // namespace korvane
