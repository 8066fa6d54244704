#include "tables/expand.hpp"

#include <string>

#include "descriptor/descriptor.hpp"
#include "descriptor/replication.hpp"

namespace korvane {

namespace {

BufrError too_many_codes() {
    return BufrError::limit_exceeded("descriptor expansion exceeds " + std::to_string(kMaxExpandedCodes) + " codes");
}

BufrError too_many_steps() {
    return BufrError::limit_exceeded("descriptor expansion exceeds " + std::to_string(kMaxExpansionSteps) +
                            " descriptor visits");
}

}  // namespace

Result<std::size_t> expand_into(const TableSet& tables, std::span<const std::uint32_t> codes,
                                std::vector<std::uint32_t>& out, ExpansionState& state, unsigned depth) {
    if (depth > kMaxExpansionDepth) return BufrError::limit_exceeded("sequence expansion exceeded recursion depth");
    const std::size_t before = out.size();
    std::size_t i = 0;
    while (i < codes.size()) {
        if (++state.steps > kMaxExpansionSteps) return too_many_steps();
        const std::uint32_t c = codes[i];
        const Fxy d = split_code(c);
        switch (d.f) {
        case 0:
        {
            const bool marked = state.associated_field_width != 0 && d.x != 31;
            if (out.size() + (marked ? 2 : 1) > kMaxExpandedCodes) return too_many_codes();
            if (marked) out.push_back(kAssociatedFieldCode);
            out.push_back(c);
        }
            ++i;
            break;
        case 1: {
            KORVANE_TRY(const Replication rep, replication_at(codes, i));
            if (!rep.delayed) {
                const auto block = codes.subspan(rep.group_begin, rep.group_size);
                for (unsigned k = 0; k < d.y; ++k) {
                    auto r = expand_into(tables, block, out, state, depth + 1);
                    if (!r) return std::move(r).error();
                }
            } else {
                // Delayed: the factor descriptor, then one copy of the block.
                auto r = expand_into(tables, codes.subspan(i + 1, rep.group_size + 1), out, state, depth + 1);
                if (!r) return std::move(r).error();
            }
            i = rep.next;
            break;
        }
        case 2:
            switch (d.x) {
            case 4:
                state.associated_field_width = d.y;
                break;
            case 1: case 2: case 6: case 7: case 8:
                // Width, scale and reference changes leave the list as it is.
                break;
            default:
                if (out.size() + 1 > kMaxExpandedCodes) return too_many_codes();
                out.push_back(c);
            }
            ++i;
            break;
        case 3: {
            const SequenceDefinition* seq = tables.find_sequence(c);
            if (seq == nullptr) return BufrError::sequence_not_found(c);
            auto r = expand_into(tables, seq->members, out, state, depth + 1);
            if (!r) return std::move(r).error();
            ++i;
            break;
        }
        default:
            return BufrError::table("invalid descriptor " + padded_code(c));
        }
    }
    return out.size() - before;
}

Result<std::vector<std::uint32_t>> expand_codes(const TableSet& tables,
                                                std::span<const std::uint32_t> codes) {
    std::vector<std::uint32_t> out;
    ExpansionState state;
    auto r = expand_into(tables, codes, out, state, 0);
    if (!r) return std::move(r).error();
    return out;
}

}  // namespace korvane
